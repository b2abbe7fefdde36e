// The seam between the program and the operating system.
//
// Every operating-system call the program makes goes through SystemApi, with
// the platform's own function name and argument list, so that a reader sees
// exactly which Win32 call is made. The production implementation
// (Win32System) forwards each call unchanged; tests install a simulated
// Windows for the duration of one test.
#pragma once

#include "platform/windows_api.h"

namespace platform {

class SystemApi {
 public:
  virtual ~SystemApi() = default;

  // Service control manager.
  virtual SC_HANDLE OpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access) = 0;
  virtual SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access) = 0;
  virtual BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) = 0;
  virtual BOOL StartServiceW(SC_HANDLE service, DWORD argc, LPCWSTR* argv) = 0;
  virtual BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) = 0;
  virtual BOOL CloseServiceHandle(SC_HANDLE handle) = 0;

  // Print spooler (winspool.drv).
  virtual BOOL EnumMonitorsW(LPWSTR server, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                             LPDWORD returned) = 0;
  virtual BOOL EnumPrinterDriversW(LPWSTR server, LPWSTR environment, DWORD level, LPBYTE buffer,
                                   DWORD size, LPDWORD needed, LPDWORD returned) = 0;
  virtual BOOL EnumPrintersW(DWORD flags, LPWSTR name, DWORD level, LPBYTE buffer, DWORD size,
                             LPDWORD needed, LPDWORD returned) = 0;
  virtual BOOL GetPrinterW(HANDLE printer, DWORD level, LPBYTE buffer, DWORD size,
                           LPDWORD needed) = 0;
  virtual BOOL GetPrinterDriverW(HANDLE printer, LPWSTR environment, DWORD level, LPBYTE buffer,
                                 DWORD size, LPDWORD needed) = 0;
  virtual BOOL GetPrinterDriverDirectoryW(LPWSTR server, LPWSTR environment, DWORD level,
                                          LPBYTE buffer, DWORD size, LPDWORD needed) = 0;
  virtual BOOL AddMonitorW(LPWSTR server, DWORD level, LPBYTE monitor) = 0;
  virtual BOOL DeleteMonitorW(LPWSTR server, LPWSTR environment, LPWSTR monitor) = 0;
  virtual BOOL AddPrinterDriverExW(LPWSTR server, DWORD level, LPBYTE driver, DWORD flags) = 0;
  virtual BOOL DeletePrinterDriverExW(LPWSTR server, LPWSTR environment, LPWSTR driver,
                                      DWORD delete_flags, DWORD version) = 0;
  virtual HANDLE AddPrinterW(LPWSTR server, DWORD level, LPBYTE printer) = 0;
  virtual BOOL DeletePrinter(HANDLE printer) = 0;
  virtual BOOL OpenPrinterW(LPWSTR name, LPHANDLE printer, LPPRINTER_DEFAULTSW defaults) = 0;
  virtual BOOL ClosePrinter(HANDLE printer) = 0;
  virtual BOOL SetPrinterW(HANDLE printer, DWORD level, LPBYTE info, DWORD command) = 0;
  virtual DWORD GetPrinterDataA(HANDLE printer, LPSTR value, LPDWORD type, LPBYTE data, DWORD size,
                                LPDWORD needed) = 0;
  virtual DWORD GetPrinterDataExA(HANDLE printer, LPCSTR key, LPCSTR value, LPDWORD type,
                                  LPBYTE data, DWORD size, LPDWORD needed) = 0;
  virtual DWORD SetPrinterDataA(HANDLE printer, LPSTR value, DWORD type, LPBYTE data,
                                DWORD size) = 0;
  virtual DWORD SetPrinterDataExA(HANDLE printer, LPCSTR key, LPCSTR value, DWORD type, LPBYTE data,
                                  DWORD size) = 0;
  virtual BOOL GetDefaultPrinterW(LPWSTR buffer, LPDWORD chars) = 0;
  virtual BOOL SetDefaultPrinterW(LPCWSTR printer) = 0;

  // Registry.
  virtual LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subkey, DWORD options, REGSAM access,
                                PHKEY result) = 0;
  virtual LSTATUS RegQueryValueExW(HKEY key, LPCWSTR value, LPDWORD reserved, LPDWORD type,
                                   LPBYTE data, LPDWORD size) = 0;
  virtual LSTATUS RegSetValueExW(HKEY key, LPCWSTR value, DWORD reserved, DWORD type,
                                 const BYTE* data, DWORD size) = 0;
  virtual LSTATUS RegDeleteValueA(HKEY key, LPCSTR value) = 0;
  virtual LSTATUS RegCloseKey(HKEY key) = 0;

  // Files.
  virtual HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share,
                             LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                             HANDLE template_file) = 0;
  virtual BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read,
                        LPOVERLAPPED overlapped) = 0;
  virtual BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written,
                         LPOVERLAPPED overlapped) = 0;
  virtual BOOL CloseHandle(HANDLE handle) = 0;
  virtual HANDLE GetStdHandle(DWORD which) = 0;
  virtual DWORD GetFileType(HANDLE file) = 0;
  virtual BOOL DeleteFileW(LPCWSTR path) = 0;
  virtual BOOL MoveFileExW(LPCWSTR existing, LPCWSTR replacement, DWORD flags) = 0;
  virtual DWORD GetFileAttributesW(LPCWSTR path) = 0;
  virtual DWORD GetFinalPathNameByHandleW(HANDLE file, LPWSTR buffer, DWORD size, DWORD flags) = 0;
  virtual BOOL SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class,
                                          LPVOID info, DWORD size) = 0;
  virtual DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) = 0;
  virtual UINT GetSystemDirectoryW(LPWSTR buffer, UINT size) = 0;

  // File version resources (version.dll).
  virtual DWORD GetFileVersionInfoSizeW(LPCWSTR path, LPDWORD handle) = 0;
  virtual BOOL GetFileVersionInfoW(LPCWSTR path, DWORD handle, DWORD size, LPVOID data) = 0;
  virtual BOOL VerQueryValueW(LPCVOID block, LPCWSTR sub_block, LPVOID* buffer, PUINT length) = 0;

  // Memory blocks.
  virtual HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) = 0;
  virtual HGLOBAL GlobalFree(HGLOBAL block) = 0;
  virtual HANDLE GetProcessHeap() = 0;
  virtual LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) = 0;
  virtual LPVOID HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes) = 0;
  virtual BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID block) = 0;
  virtual HLOCAL LocalFree(HLOCAL block) = 0;

  // Errors and system texts.
  virtual DWORD GetLastError() = 0;
  virtual void SetLastError(DWORD error) = 0;
  virtual DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD message, DWORD language,
                               LPWSTR buffer, DWORD size, va_list* arguments) = 0;
  virtual int MultiByteToWideChar(UINT code_page, DWORD flags, LPCCH text, int bytes, LPWSTR buffer,
                                  int chars) = 0;

  // Time.
  virtual void Sleep(DWORD milliseconds) = 0;
  virtual DWORD GetTickCount() = 0;

  // Windows, messages, dialogs and the keyboard.
  virtual HWND FindWindowW(LPCWSTR class_name, LPCWSTR title) = 0;
  virtual BOOL PostMessageW(HWND window, UINT message, WPARAM wparam, LPARAM lparam) = 0;
  virtual BOOL IsWindow(HWND window) = 0;
  virtual SHORT GetAsyncKeyState(int key) = 0;
  virtual INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR dialog, HWND owner, DLGPROC procedure,
                                  LPARAM parameter) = 0;
  virtual BOOL EndDialog(HWND dialog, INT_PTR result) = 0;
  virtual BOOL SetDlgItemTextW(HWND dialog, int item, LPCWSTR text) = 0;
  virtual BOOL SetWindowTextW(HWND window, LPCWSTR text) = 0;
  virtual BOOL ShowWindow(HWND window, int command) = 0;
  virtual HWINSTA GetProcessWindowStation() = 0;
  virtual BOOL GetUserObjectInformationW(HANDLE object, int index, PVOID info, DWORD size,
                                         LPDWORD needed) = 0;

  // Mutexes, waits, processes and the platform version.
  virtual HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES security, BOOL owned, LPCSTR name) = 0;
  virtual DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) = 0;
  virtual BOOL CreateProcessW(LPCWSTR application, LPWSTR command_line,
                              LPSECURITY_ATTRIBUTES process_security,
                              LPSECURITY_ATTRIBUTES thread_security, BOOL inherit_handles,
                              DWORD creation_flags, LPVOID environment, LPCWSTR directory,
                              LPSTARTUPINFOW startup, LPPROCESS_INFORMATION process) = 0;
  virtual BOOL GetVersionExA(LPOSVERSIONINFOA version) = 0;
  virtual DWORD GetCurrentProcessId() = 0;
  virtual BOOL ProcessIdToSessionId(DWORD process, DWORD* session) = 0;

  // Restart Manager (rstrtmgr.dll): ends the programs that use a file, in
  // every session.
  virtual DWORD RmStartSession(DWORD* session, DWORD flags, WCHAR key[]) = 0;
  virtual DWORD RmRegisterResources(DWORD session, UINT file_count, LPCWSTR files[],
                                    UINT application_count, RM_UNIQUE_PROCESS applications[],
                                    UINT service_count, LPCWSTR services[]) = 0;
  virtual DWORD RmShutdown(DWORD session, ULONG flags, RM_WRITE_STATUS_CALLBACK status) = 0;
  virtual DWORD RmEndSession(DWORD session) = 0;

  // Command line and the DLL search path.
  virtual LPWSTR GetCommandLineW() = 0;
  virtual LPWSTR* CommandLineToArgvW(LPCWSTR command_line, int* count) = 0;
  // Missing before Windows 8 and on Windows 7 without update KB2533623: then
  // it fails with ERROR_PROC_NOT_FOUND.
  virtual BOOL SetDefaultDllDirectories(DWORD flags) = 0;
  virtual BOOL SetDllDirectoryW(LPCWSTR directory) = 0;
};

// The implementation in force: the production one unless a test has installed
// another with SystemScope.
SystemApi& Sys();

// Installs an implementation for the lifetime of the scope (tests only).
class SystemScope {
 public:
  explicit SystemScope(SystemApi& system);
  ~SystemScope();
  SystemScope(const SystemScope&) = delete;
  SystemScope& operator=(const SystemScope&) = delete;

 private:
  SystemApi* previous_;
};

}  // namespace platform
