// The kinds of handle install.exe holds, each closed through the seam by the
// call that fits it.
#pragma once

#include "base/owned_handle.h"
#include "platform/system_api.h"

namespace platform {

inline void CloseService(SC_HANDLE handle) {
  Sys().CloseServiceHandle(handle);
}
inline void CloseKey(HKEY key) {
  Sys().RegCloseKey(key);
}
inline void ClosePrinterHandle(HANDLE printer) {
  Sys().ClosePrinter(printer);
}
inline void CloseObject(HANDLE object) {
  Sys().CloseHandle(object);
}

using OwnedService = base::OwnedHandle<SC_HANDLE, CloseService>;  // manager or service
using OwnedKey = base::OwnedHandle<HKEY, CloseKey>;
using OwnedPrinter = base::OwnedHandle<HANDLE, ClosePrinterHandle>;
using OwnedObject = base::OwnedHandle<HANDLE, CloseObject>;  // file, process, thread, mutex

// Opened, or none when the call fails, whatever it left in its out-parameter.
inline OwnedKey OpenKey(HKEY root, const char* path, REGSAM access) {
  HKEY key = nullptr;
  return OwnedKey(Sys().RegOpenKeyExA(root, path, 0, access, &key) == ERROR_SUCCESS ? key
                                                                                    : nullptr);
}
inline OwnedPrinter OpenPrinter(const wchar_t* name, PRINTER_DEFAULTSW* defaults = nullptr) {
  HANDLE printer = nullptr;
  return OwnedPrinter(Sys().OpenPrinterW(const_cast<LPWSTR>(name), &printer, defaults) ? printer
                                                                                       : nullptr);
}

}  // namespace platform
