// The production side of the seam: every method forwards to the Win32 call of
// the same name, unchanged.
//
// The spooler, version and Restart Manager functions are bound at run time
// from the copies of winspool.drv, version.dll and rstrtmgr.dll in the system
// directory. None is a known DLL, so importing them the usual way would let a
// planted copy next to the program be loaded into this elevated process
// before any code of ours runs. They are loaded on the first call that needs
// one, after the program has restricted the DLL search to the system
// directory, so that no dependency of theirs comes from anywhere else either.
// GetDefaultPrinterW and SetDefaultPrinterW are bound by their ordinals.
#include "platform/win32_system.h"

namespace platform {
namespace {

// Where the loader cannot be told to search the system directory alone
// (Windows 7 without KB2533623), the DLL is loaded by its full path there,
// and its own imports are searched from that directory first.
HMODULE LoadSystemLibrary(const wchar_t* name) {
  HMODULE library = ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (library != nullptr) {
    return library;
  }
  wchar_t path[MAX_PATH];
  UINT length = ::GetSystemDirectoryW(path, MAX_PATH);
  if (length == 0 || length + 1 + ::lstrlenW(name) >= MAX_PATH) {
    return nullptr;
  }
  path[length] = L'\\';
  ::lstrcpyW(path + length + 1, name);
  return ::LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

template <typename Function>
Function Bind(HMODULE library, const char* name) {
  if (library == nullptr) {
    return nullptr;
  }
  return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(library, name)));
}

// A function that could not be bound fails the way a missing export does.
template <typename Result>
Result Unbound(Result failure) {
  ::SetLastError(ERROR_PROC_NOT_FOUND);
  return failure;
}

#define BOUND(function) decltype(&::function) function##_ = nullptr
#define BIND(library, function) function##_ = Bind<decltype(&::function)>(library, #function)

// Each library's functions, bound when the first of them is called: a
// command that never prints loads no spooler client (the largest of the
// three, a tenth of a second under Wine).
struct SpoolerCalls {
  SpoolerCalls() {
    HMODULE spooler = LoadSystemLibrary(L"winspool.drv");
    BIND(spooler, EnumMonitorsW);
    BIND(spooler, EnumPrinterDriversW);
    BIND(spooler, EnumPrintersW);
    BIND(spooler, GetPrinterW);
    BIND(spooler, GetPrinterDriverW);
    BIND(spooler, GetPrinterDriverDirectoryW);
    BIND(spooler, AddMonitorW);
    BIND(spooler, DeleteMonitorW);
    BIND(spooler, AddPrinterDriverExW);
    BIND(spooler, DeletePrinterDriverExW);
    BIND(spooler, AddPrinterW);
    BIND(spooler, DeletePrinter);
    BIND(spooler, OpenPrinterW);
    BIND(spooler, ClosePrinter);
    BIND(spooler, SetPrinterW);
    BIND(spooler, GetPrinterDataA);
    BIND(spooler, GetPrinterDataExA);
    BIND(spooler, SetPrinterDataA);
    BIND(spooler, SetPrinterDataExA);
    GetDefaultPrinterW_ = Bind<decltype(&::GetDefaultPrinterW)>(spooler, MAKEINTRESOURCEA(203));
    SetDefaultPrinterW_ = Bind<decltype(&::SetDefaultPrinterW)>(spooler, MAKEINTRESOURCEA(204));
  }

  BOUND(EnumMonitorsW);
  BOUND(EnumPrinterDriversW);
  BOUND(EnumPrintersW);
  BOUND(GetPrinterW);
  BOUND(GetPrinterDriverW);
  BOUND(GetPrinterDriverDirectoryW);
  BOUND(AddMonitorW);
  BOUND(DeleteMonitorW);
  BOUND(AddPrinterDriverExW);
  BOUND(DeletePrinterDriverExW);
  BOUND(AddPrinterW);
  BOUND(DeletePrinter);
  BOUND(OpenPrinterW);
  BOUND(ClosePrinter);
  BOUND(SetPrinterW);
  BOUND(GetPrinterDataA);
  BOUND(GetPrinterDataExA);
  BOUND(SetPrinterDataA);
  BOUND(SetPrinterDataExA);
  BOUND(GetDefaultPrinterW);
  BOUND(SetDefaultPrinterW);
};

struct VersionCalls {
  VersionCalls() {
    HMODULE version = LoadSystemLibrary(L"version.dll");
    BIND(version, GetFileVersionInfoSizeW);
    BIND(version, GetFileVersionInfoW);
    BIND(version, VerQueryValueW);
  }

  BOUND(GetFileVersionInfoSizeW);
  BOUND(GetFileVersionInfoW);
  BOUND(VerQueryValueW);
};

struct RestartCalls {
  RestartCalls() {
    HMODULE restart = LoadSystemLibrary(L"rstrtmgr.dll");
    BIND(restart, RmStartSession);
    BIND(restart, RmRegisterResources);
    BIND(restart, RmShutdown);
    BIND(restart, RmEndSession);
  }

  BOUND(RmStartSession);
  BOUND(RmRegisterResources);
  BOUND(RmShutdown);
  BOUND(RmEndSession);
};
#undef BIND

template <typename Calls>
const Calls& Bound() {
  static const Calls calls;
  return calls;
}

#define CALL(library, function, failure, ...)                                          \
  (Bound<library>().function##_ != nullptr ? Bound<library>().function##_(__VA_ARGS__) \
                                           : Unbound(failure))
// The printer-data and Restart Manager calls answer with an error code.
#define CALL_CODE(library, function, ...)                                              \
  (Bound<library>().function##_ != nullptr ? Bound<library>().function##_(__VA_ARGS__) \
                                           : DWORD{ERROR_PROC_NOT_FOUND})

class Win32System final : public SystemApi {
 public:
  // Resolved at run time: importing it would keep the program from starting
  // at all where it is missing. Taken from kernel32, which is loaded already:
  // this loads nothing.
  Win32System()
      : SetDefaultDllDirectories_(Bind<decltype(&::SetDefaultDllDirectories)>(
            ::GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")) {}

  SC_HANDLE OpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access) override {
    return ::OpenSCManagerW(machine, database, access);
  }
  SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access) override {
    return ::OpenServiceW(manager, name, access);
  }
  BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) override {
    return ::QueryServiceStatus(service, status);
  }
  BOOL StartServiceW(SC_HANDLE service, DWORD argc, LPCWSTR* argv) override {
    return ::StartServiceW(service, argc, argv);
  }
  BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) override {
    return ::ControlService(service, control, status);
  }
  BOOL CloseServiceHandle(SC_HANDLE handle) override { return ::CloseServiceHandle(handle); }

  BOOL EnumMonitorsW(LPWSTR server, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                     LPDWORD returned) override {
    return CALL(SpoolerCalls, EnumMonitorsW, FALSE, server, level, buffer, size, needed, returned);
  }
  BOOL EnumPrinterDriversW(LPWSTR server, LPWSTR environment, DWORD level, LPBYTE buffer,
                           DWORD size, LPDWORD needed, LPDWORD returned) override {
    return CALL(SpoolerCalls, EnumPrinterDriversW, FALSE, server, environment, level, buffer, size,
                needed, returned);
  }
  BOOL EnumPrintersW(DWORD flags, LPWSTR name, DWORD level, LPBYTE buffer, DWORD size,
                     LPDWORD needed, LPDWORD returned) override {
    return CALL(SpoolerCalls, EnumPrintersW, FALSE, flags, name, level, buffer, size, needed,
                returned);
  }
  BOOL GetPrinterW(HANDLE printer, DWORD level, LPBYTE buffer, DWORD size,
                   LPDWORD needed) override {
    return CALL(SpoolerCalls, GetPrinterW, FALSE, printer, level, buffer, size, needed);
  }
  BOOL GetPrinterDriverW(HANDLE printer, LPWSTR environment, DWORD level, LPBYTE buffer, DWORD size,
                         LPDWORD needed) override {
    return CALL(SpoolerCalls, GetPrinterDriverW, FALSE, printer, environment, level, buffer, size,
                needed);
  }
  BOOL GetPrinterDriverDirectoryW(LPWSTR server, LPWSTR environment, DWORD level, LPBYTE buffer,
                                  DWORD size, LPDWORD needed) override {
    return CALL(SpoolerCalls, GetPrinterDriverDirectoryW, FALSE, server, environment, level, buffer,
                size, needed);
  }
  BOOL AddMonitorW(LPWSTR server, DWORD level, LPBYTE monitor) override {
    return CALL(SpoolerCalls, AddMonitorW, FALSE, server, level, monitor);
  }
  BOOL DeleteMonitorW(LPWSTR server, LPWSTR environment, LPWSTR monitor) override {
    return CALL(SpoolerCalls, DeleteMonitorW, FALSE, server, environment, monitor);
  }
  BOOL AddPrinterDriverExW(LPWSTR server, DWORD level, LPBYTE driver, DWORD flags) override {
    return CALL(SpoolerCalls, AddPrinterDriverExW, FALSE, server, level, driver, flags);
  }
  BOOL DeletePrinterDriverExW(LPWSTR server, LPWSTR environment, LPWSTR driver, DWORD delete_flags,
                              DWORD version) override {
    return CALL(SpoolerCalls, DeletePrinterDriverExW, FALSE, server, environment, driver,
                delete_flags, version);
  }
  HANDLE AddPrinterW(LPWSTR server, DWORD level, LPBYTE printer) override {
    return CALL(SpoolerCalls, AddPrinterW, HANDLE{nullptr}, server, level, printer);
  }
  BOOL DeletePrinter(HANDLE printer) override {
    return CALL(SpoolerCalls, DeletePrinter, FALSE, printer);
  }
  BOOL OpenPrinterW(LPWSTR name, LPHANDLE printer, LPPRINTER_DEFAULTSW defaults) override {
    return CALL(SpoolerCalls, OpenPrinterW, FALSE, name, printer, defaults);
  }
  BOOL ClosePrinter(HANDLE printer) override {
    return CALL(SpoolerCalls, ClosePrinter, FALSE, printer);
  }
  BOOL SetPrinterW(HANDLE printer, DWORD level, LPBYTE info, DWORD command) override {
    return CALL(SpoolerCalls, SetPrinterW, FALSE, printer, level, info, command);
  }
  DWORD GetPrinterDataA(HANDLE printer, LPSTR value, LPDWORD type, LPBYTE data, DWORD size,
                        LPDWORD needed) override {
    return CALL_CODE(SpoolerCalls, GetPrinterDataA, printer, value, type, data, size, needed);
  }
  DWORD GetPrinterDataExA(HANDLE printer, LPCSTR key, LPCSTR value, LPDWORD type, LPBYTE data,
                          DWORD size, LPDWORD needed) override {
    return CALL_CODE(SpoolerCalls, GetPrinterDataExA, printer, key, value, type, data, size,
                     needed);
  }
  DWORD SetPrinterDataA(HANDLE printer, LPSTR value, DWORD type, LPBYTE data, DWORD size) override {
    return CALL_CODE(SpoolerCalls, SetPrinterDataA, printer, value, type, data, size);
  }
  DWORD SetPrinterDataExA(HANDLE printer, LPCSTR key, LPCSTR value, DWORD type, LPBYTE data,
                          DWORD size) override {
    return CALL_CODE(SpoolerCalls, SetPrinterDataExA, printer, key, value, type, data, size);
  }
  BOOL GetDefaultPrinterW(LPWSTR buffer, LPDWORD chars) override {
    return CALL(SpoolerCalls, GetDefaultPrinterW, FALSE, buffer, chars);
  }
  BOOL SetDefaultPrinterW(LPCWSTR printer) override {
    return CALL(SpoolerCalls, SetDefaultPrinterW, FALSE, printer);
  }

  LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subkey, DWORD options, REGSAM access,
                        PHKEY result) override {
    return ::RegOpenKeyExA(key, subkey, options, access, result);
  }
  LSTATUS RegQueryValueExW(HKEY key, LPCWSTR value, LPDWORD reserved, LPDWORD type, LPBYTE data,
                           LPDWORD size) override {
    return ::RegQueryValueExW(key, value, reserved, type, data, size);
  }
  LSTATUS RegSetValueExW(HKEY key, LPCWSTR value, DWORD reserved, DWORD type, const BYTE* data,
                         DWORD size) override {
    return ::RegSetValueExW(key, value, reserved, type, data, size);
  }
  LSTATUS RegDeleteValueA(HKEY key, LPCSTR value) override { return ::RegDeleteValueA(key, value); }
  LSTATUS RegCloseKey(HKEY key) override { return ::RegCloseKey(key); }

  HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                     DWORD disposition, DWORD flags, HANDLE template_file) override {
    return ::CreateFileW(path, access, share, security, disposition, flags, template_file);
  }
  BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read,
                LPOVERLAPPED overlapped) override {
    return ::ReadFile(file, buffer, size, read, overlapped);
  }
  BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written,
                 LPOVERLAPPED overlapped) override {
    return ::WriteFile(file, buffer, size, written, overlapped);
  }
  BOOL CloseHandle(HANDLE handle) override { return ::CloseHandle(handle); }
  HANDLE GetStdHandle(DWORD which) override { return ::GetStdHandle(which); }
  DWORD GetFileType(HANDLE file) override { return ::GetFileType(file); }
  BOOL DeleteFileW(LPCWSTR path) override { return ::DeleteFileW(path); }
  BOOL MoveFileExW(LPCWSTR existing, LPCWSTR replacement, DWORD flags) override {
    return ::MoveFileExW(existing, replacement, flags);
  }
  DWORD GetFileAttributesW(LPCWSTR path) override { return ::GetFileAttributesW(path); }
  DWORD GetFinalPathNameByHandleW(HANDLE file, LPWSTR buffer, DWORD size, DWORD flags) override {
    return ::GetFinalPathNameByHandleW(file, buffer, size, flags);
  }
  BOOL SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class, LPVOID info,
                                  DWORD size) override {
    return ::SetFileInformationByHandle(file, info_class, info, size);
  }
  DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) override {
    return ::GetModuleFileNameW(module, buffer, size);
  }
  UINT GetSystemDirectoryW(LPWSTR buffer, UINT size) override {
    return ::GetSystemDirectoryW(buffer, size);
  }

  DWORD GetFileVersionInfoSizeW(LPCWSTR path, LPDWORD handle) override {
    return CALL(VersionCalls, GetFileVersionInfoSizeW, DWORD{0}, path, handle);
  }
  BOOL GetFileVersionInfoW(LPCWSTR path, DWORD handle, DWORD size, LPVOID data) override {
    return CALL(VersionCalls, GetFileVersionInfoW, FALSE, path, handle, size, data);
  }
  BOOL VerQueryValueW(LPCVOID block, LPCWSTR sub_block, LPVOID* buffer, PUINT length) override {
    return CALL(VersionCalls, VerQueryValueW, FALSE, block, sub_block, buffer, length);
  }

  HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) override { return ::GlobalAlloc(flags, bytes); }
  HGLOBAL GlobalFree(HGLOBAL block) override { return ::GlobalFree(block); }
  HANDLE GetProcessHeap() override { return ::GetProcessHeap(); }
  LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) override {
    return ::HeapAlloc(heap, flags, bytes);
  }
  LPVOID HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes) override {
    return ::HeapReAlloc(heap, flags, block, bytes);
  }
  BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID block) override {
    return ::HeapFree(heap, flags, block);
  }
  HLOCAL LocalFree(HLOCAL block) override { return ::LocalFree(block); }

  DWORD GetLastError() override { return ::GetLastError(); }
  void SetLastError(DWORD error) override { ::SetLastError(error); }
  DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD message, DWORD language, LPWSTR buffer,
                       DWORD size, va_list* arguments) override {
    return ::FormatMessageW(flags, source, message, language, buffer, size, arguments);
  }
  int MultiByteToWideChar(UINT code_page, DWORD flags, LPCCH text, int bytes, LPWSTR buffer,
                          int chars) override {
    return ::MultiByteToWideChar(code_page, flags, text, bytes, buffer, chars);
  }

  void Sleep(DWORD milliseconds) override { ::Sleep(milliseconds); }
  DWORD GetTickCount() override { return ::GetTickCount(); }

  HWND FindWindowW(LPCWSTR class_name, LPCWSTR title) override {
    return ::FindWindowW(class_name, title);
  }
  BOOL PostMessageW(HWND window, UINT message, WPARAM wparam, LPARAM lparam) override {
    return ::PostMessageW(window, message, wparam, lparam);
  }
  BOOL IsWindow(HWND window) override { return ::IsWindow(window); }
  SHORT GetAsyncKeyState(int key) override { return ::GetAsyncKeyState(key); }
  INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR dialog, HWND owner, DLGPROC procedure,
                          LPARAM parameter) override {
    return ::DialogBoxParamW(instance, dialog, owner, procedure, parameter);
  }
  BOOL EndDialog(HWND dialog, INT_PTR result) override { return ::EndDialog(dialog, result); }
  BOOL SetDlgItemTextW(HWND dialog, int item, LPCWSTR text) override {
    return ::SetDlgItemTextW(dialog, item, text);
  }
  BOOL SetWindowTextW(HWND window, LPCWSTR text) override { return ::SetWindowTextW(window, text); }
  BOOL ShowWindow(HWND window, int command) override { return ::ShowWindow(window, command); }
  HWINSTA GetProcessWindowStation() override { return ::GetProcessWindowStation(); }
  BOOL GetUserObjectInformationW(HANDLE object, int index, PVOID info, DWORD size,
                                 LPDWORD needed) override {
    return ::GetUserObjectInformationW(object, index, info, size, needed);
  }

  HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES security, BOOL owned, LPCSTR name) override {
    return ::CreateMutexA(security, owned, name);
  }
  DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) override {
    return ::WaitForSingleObject(handle, milliseconds);
  }
  BOOL CreateProcessW(LPCWSTR application, LPWSTR command_line,
                      LPSECURITY_ATTRIBUTES process_security, LPSECURITY_ATTRIBUTES thread_security,
                      BOOL inherit_handles, DWORD creation_flags, LPVOID environment,
                      LPCWSTR directory, LPSTARTUPINFOW startup,
                      LPPROCESS_INFORMATION process) override {
    return ::CreateProcessW(application, command_line, process_security, thread_security,
                            inherit_handles, creation_flags, environment, directory, startup,
                            process);
  }
  BOOL GetVersionExA(LPOSVERSIONINFOA version) override { return ::GetVersionExA(version); }
  DWORD GetCurrentProcessId() override { return ::GetCurrentProcessId(); }
  BOOL ProcessIdToSessionId(DWORD process, DWORD* session) override {
    return ::ProcessIdToSessionId(process, session);
  }

  DWORD RmStartSession(DWORD* session, DWORD flags, WCHAR key[]) override {
    return CALL_CODE(RestartCalls, RmStartSession, session, flags, key);
  }
  DWORD RmRegisterResources(DWORD session, UINT file_count, LPCWSTR files[], UINT application_count,
                            RM_UNIQUE_PROCESS applications[], UINT service_count,
                            LPCWSTR services[]) override {
    return CALL_CODE(RestartCalls, RmRegisterResources, session, file_count, files,
                     application_count, applications, service_count, services);
  }
  DWORD RmShutdown(DWORD session, ULONG flags, RM_WRITE_STATUS_CALLBACK status) override {
    return CALL_CODE(RestartCalls, RmShutdown, session, flags, status);
  }
  DWORD RmEndSession(DWORD session) override {
    return CALL_CODE(RestartCalls, RmEndSession, session);
  }

  LPWSTR GetCommandLineW() override { return ::GetCommandLineW(); }
  LPWSTR* CommandLineToArgvW(LPCWSTR command_line, int* count) override {
    return ::CommandLineToArgvW(command_line, count);
  }
  BOOL SetDefaultDllDirectories(DWORD flags) override {
    return SetDefaultDllDirectories_ != nullptr ? SetDefaultDllDirectories_(flags) : Unbound(FALSE);
  }
  BOOL SetDllDirectoryW(LPCWSTR directory) override { return ::SetDllDirectoryW(directory); }

 private:
  decltype(&::SetDefaultDllDirectories) SetDefaultDllDirectories_;
};

}  // namespace

SystemApi& ProductionSystem() {
  static Win32System system;
  return system;
}

}  // namespace platform
