// The simulated Windows: a small model of the parts of Windows the program
// touches, installed behind the seam for one run. It answers with the
// platform's return values and error codes, runs on a virtual clock, fails
// any call or allocation on request, and catches leaked or double-closed
// handles, leaked blocks and waits without end (`violations`).
//
// Its whole state is a list of objects, each a kind, a name and named
// values, so that one small text language (Load, Dump) arranges a machine
// before a run and describes it after one:
//
//   file "C:\Windows\system32\kvnmon64.dll" bytes="old version=2542" lock=spooler
//   monitor "Lumenquill:" dll=kvnmon64.dll
//   printer "Mine" port=Lumenquill: driver="Lumenquill printer" comment="2nd floor"
//   data "Mine|PrinterDriverData\SubKey" sz "u1\a"
//   value "HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run|LumenquillTray" sz "C:\x.exe"
//   service "spooler" state=stopped start=-1
//   fail "DeletePrinterDriverExW" times=2 error=3001
//   link "C:\Users\Me\Temp\x" to="C:\Windows"
//   at 5 value "HKLM\...|PendingFileRenameOperations" multi ...   (another program, 5 ms on)
//
// A file's version resource is written into its bytes, so that copies carry
// it: "version=2542" is the build 2542, "version=2542/40" a resource whose
// fixed part holds only 40 bytes. File locks: "spooler" (loaded by the
// spooler), "p<id>" (a running program's image), "open" (held open by a
// program), "shared" (the same, letting others write); "until" ends one.
// Programs: "tray" (window-after, exit-after, abandons) and "help" (a viewer
// that closes closes-after ms after it is asked to, never when negative).
// The program's own process: "machine stdout=file|pipe|console" (the
// standard output its caller gave it), "station=hidden" (a service's window
// station), "started=hidden" (its first ShowWindow hides the window).
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "platform/system_api.h"

namespace sim {

std::wstring Fold(std::wstring text);  // A to Z upper-cased, as the platform compares names

struct Object {
  std::wstring kind, name;
  std::map<std::wstring, std::wstring> values;

  const std::wstring& operator[](const std::wstring& key) const;  // empty when absent
  std::wstring& operator[](const std::wstring& key) { return values[key]; }
  int64_t Number(const std::wstring& key, int64_t otherwise = 0) const;
};

// The user in front of the log dialog, and what the dialog showed.
struct DialogSeen {
  HWND owner;
  std::wstring title, text;
  INT_PTR result = -1;
};

// Loads one line of the machine language; false when it means nothing.
class Sim;
bool Load(Sim& sim, const std::wstring& line);
// Every object as a line of the same language.
std::vector<std::wstring> Dump(const Sim& sim);

class Sim final : public platform::SystemApi {
 public:
  ~Sim() override;

  std::list<Object> objects;  // in the order they were made
  uint64_t now = 0;
  std::multimap<uint64_t, std::function<void()>> events;  // what other programs do, and when
  std::vector<DialogSeen> dialogs;
  int failable = 0, allocations = 0;  // counted so far
  std::vector<std::string> failed;    // the calls made to fail
  std::vector<std::string> violations;
  std::string output;  // what the program wrote to the standard output it was given

  Object* Find(const std::wstring& kind, const std::wstring& name);  // names compared folded
  Object& Make(const std::wstring& kind, const std::wstring& name);  // found, or made
  void Erase(const std::wstring& kind, const std::wstring& name);
  std::vector<Object*> Each(const std::wstring& kind);
  Object& Machine() { return Make(L"machine", L""); }  // settings: shift, module, system, ...

  void Advance(uint64_t until);  // runs the events due until then
  Object& Put(const std::wstring& path, const std::wstring& bytes = {});  // a file, and its folders
  Object* FileAt(const std::wstring& path);  // the file a path names, or null
  std::wstring Resolve(const std::wstring& path);  // the full path, past every link
  bool Locked(const Object& file) const;
  int Start(const std::wstring& image, const std::wstring& command_line, Object settings = {});
  void End(std::wstring process);
  void Restart();  // queued deletions carried out, programs ended, spooler running
  void Spooler(bool running);
  std::vector<std::string> Leaks() const;  // handles and blocks still held, and violations

  // ---- the seam
  SC_HANDLE OpenSCManagerW(LPCWSTR, LPCWSTR, DWORD access) override;
  SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access) override;
  BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) override;
  BOOL StartServiceW(SC_HANDLE service, DWORD, LPCWSTR*) override;
  BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) override;
  BOOL CloseServiceHandle(SC_HANDLE handle) override { return Close(handle, "ms", __func__); }

  BOOL EnumMonitorsW(LPWSTR, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                     LPDWORD returned) override;
  BOOL EnumPrinterDriversW(LPWSTR, LPWSTR env, DWORD level, LPBYTE buffer, DWORD size,
                           LPDWORD needed, LPDWORD returned) override;
  BOOL EnumPrintersW(DWORD flags, LPWSTR, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                     LPDWORD returned) override;
  BOOL GetPrinterW(HANDLE printer, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed) override;
  BOOL GetPrinterDriverW(HANDLE printer, LPWSTR env, DWORD level, LPBYTE buffer, DWORD size,
                         LPDWORD needed) override;
  BOOL GetPrinterDriverDirectoryW(LPWSTR, LPWSTR env, DWORD level, LPBYTE buffer, DWORD size,
                                  LPDWORD needed) override;
  BOOL AddMonitorW(LPWSTR, DWORD level, LPBYTE monitor) override;
  BOOL DeleteMonitorW(LPWSTR, LPWSTR env, LPWSTR name) override;
  BOOL AddPrinterDriverExW(LPWSTR, DWORD level, LPBYTE driver, DWORD flags) override;
  BOOL DeletePrinterDriverExW(LPWSTR, LPWSTR env, LPWSTR name, DWORD flags, DWORD) override;
  HANDLE AddPrinterW(LPWSTR, DWORD level, LPBYTE printer) override;
  BOOL DeletePrinter(HANDLE printer) override;
  BOOL OpenPrinterW(LPWSTR name, LPHANDLE printer, LPPRINTER_DEFAULTSW defaults) override;
  BOOL ClosePrinter(HANDLE printer) override { return Close(printer, "p", __func__); }
  BOOL SetPrinterW(HANDLE printer, DWORD level, LPBYTE info, DWORD command) override;
  // The plain calls reach the key "PrinterDriverData".
  DWORD GetPrinterDataA(HANDLE printer, LPSTR value, LPDWORD type, LPBYTE data, DWORD size,
                        LPDWORD needed) override {
    return ReadData(__func__, printer, "PrinterDriverData", value, type, data, size, needed);
  }
  DWORD GetPrinterDataExA(HANDLE printer, LPCSTR key, LPCSTR value, LPDWORD type, LPBYTE data,
                          DWORD size, LPDWORD needed) override {
    return ReadData(__func__, printer, key, value, type, data, size, needed);
  }
  DWORD SetPrinterDataA(HANDLE printer, LPSTR value, DWORD type, LPBYTE data, DWORD size) override {
    return WriteData(__func__, printer, "PrinterDriverData", value, type, data, size);
  }
  DWORD SetPrinterDataExA(HANDLE printer, LPCSTR key, LPCSTR value, DWORD type, LPBYTE data,
                          DWORD size) override {
    return WriteData(__func__, printer, key, value, type, data, size);
  }
  BOOL GetDefaultPrinterW(LPWSTR buffer, LPDWORD chars) override;
  BOOL SetDefaultPrinterW(LPCWSTR printer) override;

  LSTATUS RegOpenKeyExA(HKEY root, LPCSTR subkey, DWORD, REGSAM access, PHKEY result) override;
  LSTATUS RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data,
                           LPDWORD size) override;
  LSTATUS RegSetValueExW(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE* data,
                         DWORD size) override;
  LSTATUS RegDeleteValueA(HKEY key, LPCSTR name) override;
  LSTATUS RegCloseKey(HKEY key) override {
    return Close(key, "k", __func__) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
  }

  HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                     DWORD disposition, DWORD, HANDLE) override;
  BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED) override;
  BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED) override;
  BOOL CloseHandle(HANDLE handle) override { return Close(handle, "fxPt", __func__); }
  HANDLE GetStdHandle(DWORD which) override;
  DWORD GetFileType(HANDLE file) override;
  BOOL DeleteFileW(LPCWSTR path) override;
  BOOL MoveFileExW(LPCWSTR existing, LPCWSTR replacement, DWORD flags) override;
  DWORD GetFileAttributesW(LPCWSTR path) override;
  DWORD GetFinalPathNameByHandleW(HANDLE file, LPWSTR buffer, DWORD size, DWORD flags) override;
  BOOL SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class, LPVOID info,
                                  DWORD size) override;
  DWORD GetModuleFileNameW(HMODULE, LPWSTR buffer, DWORD size) override;
  UINT GetSystemDirectoryW(LPWSTR buffer, UINT size) override;

  DWORD GetFileVersionInfoSizeW(LPCWSTR path, LPDWORD handle) override;
  BOOL GetFileVersionInfoW(LPCWSTR path, DWORD, DWORD size, LPVOID data) override;
  BOOL VerQueryValueW(LPCVOID block, LPCWSTR sub_block, LPVOID* buffer, PUINT length) override;

  HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) override {
    return Allocate('g', bytes, (flags & GMEM_ZEROINIT) != 0);
  }
  HGLOBAL GlobalFree(HGLOBAL block) override { return Free(block, 'g') ? nullptr : block; }
  HANDLE GetProcessHeap() override { return reinterpret_cast<HANDLE>(0x7ff00000); }
  LPVOID HeapAlloc(HANDLE, DWORD flags, SIZE_T bytes) override {
    return Allocate('h', bytes, (flags & HEAP_ZERO_MEMORY) != 0);
  }
  LPVOID HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes) override;
  BOOL HeapFree(HANDLE, DWORD, LPVOID block) override { return Free(block, 'h'); }
  HLOCAL LocalFree(HLOCAL block) override { return Free(block, 'l') ? nullptr : block; }

  DWORD GetLastError() override { return last_error_; }
  void SetLastError(DWORD error) override { last_error_ = error; }
  DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD message, DWORD language, LPWSTR buffer,
                       DWORD size, va_list* arguments) override;
  int MultiByteToWideChar(UINT code_page, DWORD flags, LPCCH text, int bytes, LPWSTR buffer,
                          int chars) override;

  void Sleep(DWORD milliseconds) override { Advance(now + milliseconds); }
  DWORD GetTickCount() override { return static_cast<DWORD>(Machine().Number(L"ticks") + now); }

  HWND FindWindowW(LPCWSTR class_name, LPCWSTR title) override;
  BOOL PostMessageW(HWND window, UINT message, WPARAM wparam, LPARAM) override;
  BOOL IsWindow(HWND window) override { return Find(L"window", Name(window)) != nullptr; }
  SHORT GetAsyncKeyState(int key) override {
    return key == VK_SHIFT && Machine().Number(L"shift") ? SHORT{-32767} : 0;
  }
  INT_PTR DialogBoxParamW(HINSTANCE, LPCWSTR dialog, HWND owner, DLGPROC procedure,
                          LPARAM parameter) override;
  BOOL EndDialog(HWND dialog, INT_PTR result) override;
  BOOL SetDlgItemTextW(HWND dialog, int item, LPCWSTR text) override;
  BOOL SetWindowTextW(HWND window, LPCWSTR text) override;
  BOOL ShowWindow(HWND window, int command) override;
  HWINSTA GetProcessWindowStation() override;
  BOOL GetUserObjectInformationW(HANDLE object, int index, PVOID info, DWORD size,
                                 LPDWORD needed) override;

  HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL owned, LPCSTR name) override;
  DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) override;
  BOOL CreateProcessW(LPCWSTR application, LPWSTR command_line, LPSECURITY_ATTRIBUTES,
                      LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW,
                      LPPROCESS_INFORMATION process) override;
  BOOL GetVersionExA(LPOSVERSIONINFOA version) override;
  DWORD GetCurrentProcessId() override { return 1; }
  BOOL ProcessIdToSessionId(DWORD process, DWORD* session) override;

  DWORD RmStartSession(DWORD* session, DWORD, WCHAR key[]) override;
  DWORD RmRegisterResources(DWORD session, UINT file_count, LPCWSTR files[], UINT,
                            RM_UNIQUE_PROCESS[], UINT, LPCWSTR[]) override;
  DWORD RmShutdown(DWORD session, ULONG flags, RM_WRITE_STATUS_CALLBACK) override;
  DWORD RmEndSession(DWORD session) override;

  LPWSTR GetCommandLineW() override { return command_line_.data(); }
  LPWSTR* CommandLineToArgvW(LPCWSTR line, int* count) override;
  BOOL SetDefaultDllDirectories(DWORD flags) override;
  BOOL SetDllDirectoryW(LPCWSTR directory) override;

  void SetCommandLine(std::wstring line) {  // a new process
    command_line_ = std::move(line);
    shown_once_ = false;
  }
  static std::wstring Name(const void* handle);  // a handle's number, as a window's name

 private:
  struct Handle {
    char kind;  // m: service manager, s: service, p: printer, k: key, f: file,
                // x: mutex, P: process, t: thread, r: Restart Manager session
    std::wstring name;
    DWORD access = 0, share = 0;
    size_t position = 0;
  };

  bool Failing(const char* call);  // counts a failable call; true (error set) when it must fail
  BOOL Fail(DWORD error) {
    last_error_ = error;
    return FALSE;
  }
  HANDLE NewHandle(Handle handle);
  Handle* Find(HANDLE handle, char kind);
  bool Close(HANDLE handle, const char* kinds, const char* call);
  void* Allocate(char kind, size_t bytes, bool zero);
  bool Free(void* block, char kind);
  void CheckRoom(const char* call, const void* buffer, size_t bytes);  // told of too much room?
  bool Allowed(const char* call, SC_HANDLE service, DWORD access);     // a service call's checks
  Object* PrinterOf(const char* call, HANDLE handle);  // also fails as the spooler does
  DWORD ReadData(const char* call, HANDLE printer, LPCSTR key, LPCSTR value, LPDWORD type,
                 LPBYTE data, DWORD size, LPDWORD needed);
  DWORD WriteData(const char* call, HANDLE printer, LPCSTR key, LPCSTR value, DWORD type,
                  LPBYTE data, DWORD size);
  // The two-call protocol of the spooler's queries: the records of `items`,
  // their strings packed after them.
  template <typename Record, typename Fill>
  BOOL Deliver(const char* call, const std::vector<Object*>& items, LPBYTE buffer, DWORD size,
               LPDWORD needed, LPDWORD returned, Fill fill);

  DWORD last_error_ = 0;
  std::wstring command_line_;
  std::map<uintptr_t, Handle> handles_;
  std::map<void*, std::pair<char, size_t>> blocks_;
  uintptr_t next_handle_ = 0x1000;
  int next_process_ = 2;
  HWND open_dialog_ = nullptr;
  bool dialog_ended_ = false, dialog_visible_ = false, shown_once_ = false;
};

inline const wchar_t kSessionManager[] =
    L"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager";

// Every call of the seam starts with FAULT(its failure value): a fault set
// for the call makes it fail there.
#define FAULT(failure)   \
  if (Failing(__func__)) \
  return failure
// Refuses a call as the platform does: the error set, the failure returned.
#define REFUSE_IF(condition, error, failure) \
  if (condition)                             \
  return Fail(error), failure

}  // namespace sim
