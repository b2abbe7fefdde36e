// The simulated Windows: a small model of the parts of Windows the program
// touches, installed behind the seam for one run. It answers with the
// platform's return values and error codes, runs on a virtual clock, fails
// any call or allocation on request, and catches leaked or double-closed
// handles, leaked or overrun blocks and waits without end (`violations`).
// Its state is written and read as text by machine_text.h.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/system_api.h"

namespace sim {

std::wstring Fold(std::wstring text);  // A to Z upper-cased, as the platform compares names

// Orders names as the platform compares them, keeping the spelling first written.
struct FoldLess {
  bool operator()(const std::wstring& a, const std::wstring& b) const { return Fold(a) < Fold(b); }
};

// A file's version resource is written into its bytes, so that copies carry
// it: "version=2542" gives the build 2542; "version=2542/40" a resource
// whose fixed part holds only 40 bytes.
struct File {
  std::string bytes;
  bool folder = false;
  std::string lock;    // "spooler": loaded by the spooler; "p<id>": the image of a running
                       // program; "open": held open by another program, "shared": the same
                       // with others allowed to write
  uint64_t until = 0;  // the lock ends at this time (0: never by itself)
};

struct Value {
  DWORD type = REG_SZ;
  std::string data;
};

struct Monitor {
  std::wstring name, dll, ports;  // ports: a comma-separated list
};

struct Driver {
  std::wstring name, env, driver, data, config, help, maker, url, provider;
};

struct Printer {
  std::wstring name, port, driver, comment, location, processor = L"WinPrint", datatype = L"RAW";
  DWORD attributes = PRINTER_ATTRIBUTE_LOCAL;
  int jobs = 0;
  std::map<std::wstring, Value, FoldLess> data;  // "key\value"; plain calls: "PrinterDriverData"
};

struct Window {
  std::wstring class_name, title;
  int process = 0;
  std::function<void(UINT message, WPARAM wparam)> on_post;
};

struct Mutex {
  int owner = 0;          // the process that owns it (the program is 1); 0: free
  int handles = 0;        // the program's handles
  std::set<int> holders;  // other programs that hold a handle
  bool abandoned = false;
};

// What a tray companion does: its window may come late, and it ends this long
// after it is asked to (never when `exit_after` is negative), releasing or
// abandoning its mutex.
struct TrayBehaviour {
  int64_t window_after = 0, exit_after = 100;
  bool abandons = false;
};

// The user in front of the log dialog: the command they give it.
enum class DialogUser { kClose, kEscape, kNothing };

struct DialogSeen {
  HWND owner;
  std::wstring title, text;
  INT_PTR result = -1;
};

class Sim final : public platform::SystemApi {
 public:
  ~Sim() override;

  // ---- the machine
  uint64_t now = 0;
  DWORD tick_base = 1000000;
  std::multimap<uint64_t, std::function<void()>> events;
  std::map<std::wstring, File, FoldLess> files;  // by full path
  std::map<std::wstring, std::map<std::wstring, Value, FoldLess>, FoldLess> registry;
  DWORD service = SERVICE_RUNNING;
  int64_t start_time = 80, stop_time = 30;  // negative: never completes
  DWORD stop_refusal = 0;
  int service_starts = 0, service_stops = 0;
  bool monitor_stays_loaded = false;  // a deleted monitor's DLL stays loaded until a stop
  std::vector<Monitor> monitors;
  std::vector<Driver> drivers;
  std::vector<Printer> printers;
  std::wstring default_printer;
  std::map<HWND, Window> windows;
  std::map<int, std::wstring> processes;  // running programs by id, with their command line
  std::map<std::string, Mutex> mutexes;
  TrayBehaviour tray_program;  // how a companion started by the program behaves
  bool shift = false;
  DialogUser user = DialogUser::kClose;
  std::vector<DialogSeen> dialogs;
  std::wstring command_line, module = L"C:\\Program Files\\Lumenquill\\x64\\install.exe",
                             system = L"C:\\Windows\\system32";
  DWORD windows_version = 0x0602, dll_directories = 0;
  std::map<std::string, int64_t> durations;  // virtual ms a call of this name takes

  // ---- faults: the nth call of that name (or of any failable one, "*")
  // fails `times` times in a row (-1: for ever), with `error` (0: the usual)
  struct Fault {
    std::string call;
    int nth, times;
    DWORD error;
    int seen = 0;
  };
  std::vector<Fault> faults;
  int alloc_fail_nth = 0, alloc_fail_times = 1;
  int failable = 0, allocations = 0;  // counted so far
  std::vector<std::string> failed;    // the calls made to fail
  std::vector<std::string> violations;

  // ---- what other programs and the machine do
  void Advance(uint64_t until);  // runs the events due until then
  File& Put(const std::wstring& path, std::string bytes = {});
  File* Find(const std::wstring& path);
  void Remove(const std::wstring& path);
  Value* Reg(const std::wstring& key, const std::wstring& name);
  void SetReg(const std::wstring& key, const std::wstring& name, Value value);
  int StartProgram(const std::wstring& image, const std::wstring& command_line);
  void EndProgram(int process);
  int StartTray(const std::wstring& image, TrayBehaviour behaviour);
  HWND AddWindow(int process, const std::wstring& class_name, const std::wstring& title);
  void OpenHelp(const std::wstring& title, int64_t closes_after);
  void Restart();  // queued deletions carried out, programs ended, spooler running
  void SpoolerStarted();
  void SpoolerStopped();
  bool Locked(const File& file) const;
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
  BOOL DeleteFileW(LPCWSTR path) override;
  BOOL MoveFileExW(LPCWSTR existing, LPCWSTR replacement, DWORD flags) override;
  DWORD GetFileAttributesW(LPCWSTR path) override;
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
  DWORD GetTickCount() override { return static_cast<DWORD>(tick_base + now); }

  HWND FindWindowW(LPCWSTR class_name, LPCWSTR title) override;
  BOOL PostMessageW(HWND window, UINT message, WPARAM wparam, LPARAM) override;
  BOOL IsWindow(HWND window) override { return windows.count(window) != 0; }
  SHORT GetAsyncKeyState(int key) override { return key == VK_SHIFT && shift ? SHORT{-32767} : 0; }
  INT_PTR DialogBoxParamW(HINSTANCE, LPCWSTR dialog, HWND owner, DLGPROC procedure,
                          LPARAM parameter) override;
  BOOL EndDialog(HWND dialog, INT_PTR result) override;
  BOOL SetDlgItemTextW(HWND dialog, int item, LPCWSTR text) override;
  BOOL SetWindowTextW(HWND window, LPCWSTR text) override;

  HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL owned, LPCSTR name) override;
  DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) override;
  BOOL CreateProcessW(LPCWSTR application, LPWSTR command_line, LPSECURITY_ATTRIBUTES,
                      LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW,
                      LPPROCESS_INFORMATION process) override;
  BOOL GetVersionExA(LPOSVERSIONINFOA version) override;

  LPWSTR GetCommandLineW() override { return command_line.data(); }
  LPWSTR* CommandLineToArgvW(LPCWSTR line, int* count) override;
  BOOL SetDefaultDllDirectories(DWORD flags) override;

 private:
  struct Handle {
    char kind;  // m: service manager, s: service, p: printer, k: key, f: file,
                // x: mutex, P: process, t: thread
    std::wstring name;
    DWORD access = 0, share = 0;
    size_t position = 0;
  };
  struct Block {
    char kind;
    size_t size;
  };

  bool Failing(const char* call);  // counts a failable call; true (error set) when it must fail
  BOOL Fail(DWORD error) {
    last_error_ = error;
    return FALSE;
  }
  HANDLE NewHandle(Handle handle);
  Handle* Find(HANDLE handle, char kind);
  bool Close(HANDLE handle, const char* kinds, const char* call);
  void* Allocate(char kind, size_t bytes, bool zero, bool counted = true);
  bool Free(void* block, char kind);
  void CheckRoom(const char* call, const void* buffer, size_t bytes);  // told of too much room?
  bool Allowed(const char* call, SC_HANDLE service, DWORD access);     // a service call's checks
  Printer* PrinterOf(const char* call, HANDLE handle);  // also fails as the spooler does
  DWORD ReadData(const char* call, HANDLE printer, LPCSTR key, LPCSTR value, LPDWORD type,
                 LPBYTE data, DWORD size, LPDWORD needed);
  DWORD WriteData(const char* call, HANDLE printer, LPCSTR key, LPCSTR value, DWORD type,
                  LPBYTE data, DWORD size);
  // The two-call protocol of the spooler's queries: the records of `items`,
  // their strings packed after them.
  template <typename Record, typename Item, typename Fill>
  BOOL Deliver(const char* call, const std::vector<const Item*>& items, LPBYTE buffer, DWORD size,
               LPDWORD needed, LPDWORD returned, Fill fill);

  DWORD last_error_ = 0;
  std::map<uintptr_t, Handle> handles_;
  std::map<void*, Block> blocks_;
  uintptr_t next_handle_ = 0x1000, next_window_ = 0x20000;
  int next_process_ = 2;
  HWND open_dialog_ = nullptr;
  bool dialog_ended_ = false;
};

inline const wchar_t kRunKey[] = L"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
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
