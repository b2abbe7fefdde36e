// The end-to-end tests' hands and eyes inside a Wine prefix:
//
//   e2e_tool.exe state OUT_FILE          what the machine holds, as JSON
//   e2e_tool.exe add-printer NAME        a printer of the product (data type RAW)
//   e2e_tool.exe add-monitor             registers the product's port monitor
//   e2e_tool.exe queue-delete PATH       queues PATH for deletion at restart
//   e2e_tool.exe hold-dll PATH READY_FILE SECONDS
//                                        keeps PATH loaded; READY_FILE tells it is
//   e2e_tool.exe wait-window CLASS TITLE SECONDS
//                                        exit 0 once the window exists ("-": any title)
//   e2e_tool.exe wait-no-window CLASS TITLE SECONDS
//   e2e_tool.exe wait-windows CLASS TITLE COUNT SECONDS
//                                        exit 0 once COUNT such top-level windows exist
//   e2e_tool.exe load-library NAME      loads NAME the ordinary way (the search
//                                        order that starts with the program's folder)
//
// Exit code 0 on success, the Win32 error otherwise.
#include <windows.h>
#include <shellapi.h>
#include <winspool.h>

#include <string>

#include "utf8.h"
#include <vector>

namespace {

constexpr wchar_t kProductDriver[] = L"Lumenquill printer";
constexpr wchar_t kProductPort[] = L"Lumenquill:";
constexpr char kTrayMutex[] = "{3F6D2C81-7B4E-4A19-9C55-1E2D8A0B7F46}";
constexpr wchar_t kTrayClass[] = L"lqs::{6B0E4D27-91A3-4F58-B2C4-7D19E35A0C8B}";

std::string Json(const std::wstring& text) {
  std::string out = "\"";
  for (unsigned char c : Utf8(text)) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escape[8];
      wsprintfA(escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string JsonOrNull(LPCWSTR text) {
  return text != nullptr ? Json(text) : "null";
}

// The two-call fetch of a spooler enumeration.
template <typename Call>
std::vector<BYTE> Fetch(Call call, DWORD* count) {
  DWORD needed = 0;
  *count = 0;
  if (call(nullptr, 0, &needed, count) || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return {};
  }
  std::vector<BYTE> buffer(needed);
  if (!call(buffer.data(), needed, &needed, count)) {
    *count = 0;
    return {};
  }
  return buffer;
}

std::string MonitorsJson() {
  DWORD count = 0;
  auto data = Fetch(
      [](LPBYTE b, DWORD s, LPDWORD n, LPDWORD c) { return EnumMonitorsW(nullptr, 2, b, s, n, c); },
      &count);
  std::string out = "[";
  auto* records = reinterpret_cast<MONITOR_INFO_2W*>(data.data());
  for (DWORD i = 0; i < count; ++i) {
    out += std::string(i ? "," : "") + "{\"name\":" + JsonOrNull(records[i].pName) +
           ",\"dll\":" + JsonOrNull(records[i].pDLLName) + "}";
  }
  return out + "]";
}

std::string DriversJson() {
  DWORD count = 0;
  auto data = Fetch(
      [](LPBYTE b, DWORD s, LPDWORD n, LPDWORD c) {
        return EnumPrinterDriversW(nullptr, const_cast<LPWSTR>(L"Windows x64"), 3, b, s, n, c);
      },
      &count);
  std::string out = "[";
  auto* records = reinterpret_cast<DRIVER_INFO_3W*>(data.data());
  for (DWORD i = 0; i < count; ++i) {
    out += std::string(i ? "," : "") + "{\"name\":" + JsonOrNull(records[i].pName) +
           ",\"driver\":" + JsonOrNull(records[i].pDriverPath) +
           ",\"config\":" + JsonOrNull(records[i].pConfigFile) +
           ",\"help\":" + JsonOrNull(records[i].pHelpFile) + "}";
  }
  return out + "]";
}

std::string PrintersJson() {
  DWORD count = 0;
  auto data = Fetch(
      [](LPBYTE b, DWORD s, LPDWORD n, LPDWORD c) {
        return EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, b, s, n, c);
      },
      &count);
  std::string out = "[";
  auto* records = reinterpret_cast<PRINTER_INFO_2W*>(data.data());
  for (DWORD i = 0; i < count; ++i) {
    out += std::string(i ? "," : "") + "{\"name\":" + JsonOrNull(records[i].pPrinterName) +
           ",\"port\":" + JsonOrNull(records[i].pPortName) +
           ",\"driver\":" + JsonOrNull(records[i].pDriverName) +
           ",\"comment\":" + JsonOrNull(records[i].pComment) + "}";
  }
  return out + "]";
}

std::string DefaultPrinterJson() {
  wchar_t name[512] = {};
  DWORD size = 512;
  return GetDefaultPrinterW(name, &size) ? Json(name) : "null";
}

std::string AutostartJson() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", 0,
                    KEY_READ, &key) != ERROR_SUCCESS) {
    return "null";
  }
  wchar_t value[1024] = {};
  DWORD size = sizeof(value) - sizeof(wchar_t);
  LSTATUS status = RegQueryValueExW(key, L"LumenquillTray", nullptr, nullptr,
                                    reinterpret_cast<LPBYTE>(value), &size);
  RegCloseKey(key);
  return status == ERROR_SUCCESS ? Json(value) : "null";
}

std::string PendingRenamesJson() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                    KEY_READ, &key) != ERROR_SUCCESS) {
    return "[]";
  }
  DWORD size = 0;
  std::vector<wchar_t> data;
  if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, nullptr, &size) ==
      ERROR_SUCCESS) {
    data.resize(size / sizeof(wchar_t) + 2);
    RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr,
                     reinterpret_cast<LPBYTE>(data.data()), &size);
  }
  RegCloseKey(key);
  std::string out = "[";
  size_t chars = size / sizeof(wchar_t);
  bool first = true;
  for (size_t start = 0; start < chars;) {
    std::wstring item(data.data() + start);
    if (item.empty() && start + 1 >= chars) {
      break;
    }
    out += std::string(first ? "" : ",") + Json(item);
    first = false;
    start += item.size() + 1;
  }
  return out + "]";
}

bool TrayMutexExists() {
  HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, kTrayMutex);
  if (mutex == nullptr) {
    return false;
  }
  CloseHandle(mutex);
  return true;
}

int State(const wchar_t* out_file) {
  std::string json =
      "{\"monitors\":" + MonitorsJson() + ",\"drivers\":" + DriversJson() +
      ",\"printers\":" + PrintersJson() + ",\"default\":" + DefaultPrinterJson() +
      ",\"autostart\":" + AutostartJson() + ",\"pending_renames\":" + PendingRenamesJson() +
      ",\"tray_mutex\":" + (TrayMutexExists() ? "true" : "false") +
      ",\"tray_window\":" + (FindWindowW(kTrayClass, nullptr) != nullptr ? "true" : "false") +
      ",\"help_window\":" +
      (FindWindowW(L"HH Parent", L"Lumenquill Help") != nullptr ? "true" : "false") + "}";
  HANDLE file = CreateFileW(out_file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return static_cast<int>(GetLastError());
  }
  DWORD written = 0;
  WriteFile(file, json.data(), static_cast<DWORD>(json.size()), &written, nullptr);
  CloseHandle(file);
  return 0;
}

int AddProductPrinter(const wchar_t* name) {
  PRINTER_INFO_2W info{};
  info.pPrinterName = const_cast<LPWSTR>(name);
  info.pPortName = const_cast<LPWSTR>(kProductPort);
  info.pDriverName = const_cast<LPWSTR>(kProductDriver);
  info.pPrintProcessor = const_cast<LPWSTR>(L"WinPrint");
  info.pDatatype = const_cast<LPWSTR>(L"RAW");  // Wine cannot open a printer without one
  HANDLE printer = AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
  if (printer == nullptr) {
    return static_cast<int>(GetLastError());
  }
  ClosePrinter(printer);
  return 0;
}

int AddProductMonitor() {
  MONITOR_INFO_2W monitor{const_cast<LPWSTR>(kProductPort), const_cast<LPWSTR>(L"Windows x64"),
                          const_cast<LPWSTR>(L"kvnmon64.dll")};
  return AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&monitor))
             ? 0
             : static_cast<int>(GetLastError());
}

int QueueDelete(const wchar_t* path) {
  return MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) ? 0
                                                                 : static_cast<int>(GetLastError());
}

int HoldDll(const wchar_t* path, const wchar_t* ready_file, int seconds) {
  HMODULE dll = LoadLibraryW(path);
  if (dll == nullptr) {
    return static_cast<int>(GetLastError());
  }
  HANDLE ready = CreateFileW(ready_file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  CloseHandle(ready);
  Sleep(static_cast<DWORD>(seconds) * 1000);
  FreeLibrary(dll);
  return 0;
}

int WaitWindow(const wchar_t* class_name, const wchar_t* title, int seconds, bool present) {
  const wchar_t* wanted_title = std::wstring(title) == L"-" ? nullptr : title;
  DWORD start = GetTickCount();
  do {
    bool found = FindWindowW(class_name, wanted_title) != nullptr;
    if (found == present) {
      return 0;
    }
    Sleep(50);
  } while (GetTickCount() - start < static_cast<DWORD>(seconds) * 1000);
  return 1;
}

struct WindowCount {
  const wchar_t* class_name;
  const wchar_t* title;
  int found;
};

BOOL CALLBACK CountWindow(HWND window, LPARAM parameter) {
  auto* count = reinterpret_cast<WindowCount*>(parameter);
  wchar_t class_name[256] = {}, title[256] = {};
  GetClassNameW(window, class_name, 256);
  GetWindowTextW(window, title, 256);
  if (lstrcmpiW(class_name, count->class_name) == 0 && lstrcmpiW(title, count->title) == 0) {
    ++count->found;
  }
  return TRUE;
}

int WaitWindows(const wchar_t* class_name, const wchar_t* title, int wanted, int seconds) {
  DWORD start = GetTickCount();
  do {
    WindowCount count{class_name, title, 0};
    EnumWindows(CountWindow, reinterpret_cast<LPARAM>(&count));
    if (count.found >= wanted) {
      return 0;
    }
    Sleep(50);
  } while (GetTickCount() - start < static_cast<DWORD>(seconds) * 1000);
  return 1;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  std::wstring verb = count > 1 ? arguments[1] : L"";
  int result = 87;
  if (verb == L"state" && count == 3) {
    result = State(arguments[2]);
  } else if (verb == L"add-printer" && count == 3) {
    result = AddProductPrinter(arguments[2]);
  } else if (verb == L"add-monitor" && count == 2) {
    result = AddProductMonitor();
  } else if (verb == L"queue-delete" && count == 3) {
    result = QueueDelete(arguments[2]);
  } else if (verb == L"hold-dll" && count == 5) {
    result = HoldDll(arguments[2], arguments[3], _wtoi(arguments[4]));
  } else if (verb == L"wait-window" && count == 5) {
    result = WaitWindow(arguments[2], arguments[3], _wtoi(arguments[4]), true);
  } else if (verb == L"wait-windows" && count == 6) {
    result = WaitWindows(arguments[2], arguments[3], _wtoi(arguments[4]), _wtoi(arguments[5]));
  } else if (verb == L"load-library" && count == 3) {
    result = LoadLibraryW(arguments[2]) != nullptr ? 0 : static_cast<int>(GetLastError());
  } else if (verb == L"wait-no-window" && count == 5) {
    result = WaitWindow(arguments[2], arguments[3], _wtoi(arguments[4]), false);
  }
  LocalFree(arguments);
  return result;
}
