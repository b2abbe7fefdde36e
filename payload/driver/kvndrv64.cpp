// kvndrv64.dll: the printer driver's rendering DLL.
//
// Lumenquill does not render. Its printers take jobs that arrive already in
// the printer's language (the RAW data type) and the port monitor stores them
// as they are. The spooler still requires a driver file, so this one says
// what kind of driver it is and, when GDI asks it to render, refuses.
#include <windows.h>

// From the display and printer driver interface (winddi.h), which the
// MinGW-w64 headers cannot compile outside a kernel-mode build; only what
// these entry points name is declared here.
#define DRVQUERY_USERMODE 0x00000001
struct DRVFN;
struct DRVENABLEDATA {
  ULONG iDriverVersion;
  ULONG c;
  DRVFN* pdrvfn;
};

extern "C" {

// A user-mode driver (version 3). The spooler asks this before it loads a
// driver into a process other than its own.
BOOL APIENTRY DrvQueryDriverInfo(DWORD mode, PVOID buffer, DWORD size, PDWORD needed) {
  if (mode != DRVQUERY_USERMODE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (needed != nullptr) {
    *needed = sizeof(DWORD);
  }
  if (buffer == nullptr || size < sizeof(DWORD)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  *static_cast<DWORD*>(buffer) = TRUE;
  return TRUE;
}

// GDI calls this when an application creates a device context for one of the
// printers. There is no renderer to hand out, so the device context cannot be
// made; programs that print raw data (the data type RAW) do not need one.
BOOL APIENTRY DrvEnableDriver(ULONG, ULONG, DRVENABLEDATA*) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

// Nothing was set up by DrvEnableDriver, so there is nothing to release.
VOID APIENTRY DrvDisableDriver() {}

}  // extern "C"
