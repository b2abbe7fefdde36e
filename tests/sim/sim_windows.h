// The simulated Windows: an in-memory model of exactly the parts of Windows
// that the program touches, installed behind the seam for one test.
//
// It answers with the platform's return values and last-error codes, runs on a
// virtual clock (Sleep advances it at once), lets a test make any call fail on
// its Nth use or any allocation fail, records the calls made, and catches
// leaked or double-closed handles and leaked, double-freed or overrun blocks.
// The state is public so that tests can seed it and inspect what was left.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/system_api.h"

namespace sim {

// Upper-cases A to Z only, as the platform compares file, key and object names.
std::wstring Fold(std::wstring text);
std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

// ---------------------------------------------------------------- the clock
// Virtual time in milliseconds. Events scheduled by other simulated processes
// (a service finishing its start, a window closing) run when time reaches
// them, inside Sleep and waits.
struct Clock {
  uint64_t now = 0;
  DWORD tick_base = 1000000;  // GetTickCount() = tick_base + now, wrapping at 2^32
  std::multimap<uint64_t, std::function<void()>> events;

  void At(uint64_t when, std::function<void()> action) { events.emplace(when, std::move(action)); }
  void After(uint64_t delay, std::function<void()> action) { At(now + delay, std::move(action)); }
  // Runs every event up to `until` in time order and leaves the clock there.
  void AdvanceTo(uint64_t until);
  // Time of the first pending event, if any.
  std::optional<uint64_t> NextEvent() const;
};

// ---------------------------------------------------------------- files
struct FileVersion {
  WORD product[4] = {1, 0, 0, 0};
  WORD file[4] = {1, 0, 0, 0};
  // Bytes of the fixed part the resource holds, and VerQueryValueW reports:
  // fewer than a VS_FIXEDFILEINFO in a damaged or hand-made resource.
  size_t fixed_length = sizeof(VS_FIXEDFILEINFO);
};

struct File {
  std::string bytes;
  DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
  std::optional<FileVersion> version;
  // Reasons the file is held as a loaded image (a running program, a DLL the
  // spooler loaded, ...): such a file refuses deletion with ERROR_ACCESS_DENIED
  // and opening for write with ERROR_SHARING_VIOLATION.
  std::multiset<std::string> image_locks;
  // Makes reads or writes through any handle stop after this many bytes in
  // all (a damaged medium, a full disk), with the error given.
  std::optional<size_t> read_limit, write_limit;
  DWORD read_error = ERROR_READ_FAULT, write_error = ERROR_DISK_FULL;
};

struct FileSystem {
  // Keyed by the folded full path; the value keeps the path as first written.
  std::map<std::wstring, std::pair<std::wstring, File>> files;
  std::set<std::wstring> directories;  // folded, without trailing separator
  std::wstring current_directory = L"C:\\Program Files\\Lumenquill\\x64";

  // The absolute, folded form of a path: forward slashes taken as
  // backslashes, relative paths taken from the current directory, no
  // trailing separator.
  std::wstring Key(const std::wstring& path) const;

  // Adds or replaces a file, creating its directories.
  File& Put(const std::wstring& path, std::string bytes = {});
  void MakeDirectory(const std::wstring& path);
  File* Find(const std::wstring& path);
  bool Exists(const std::wstring& path) { return Find(path) != nullptr; }
  bool DirectoryExists(const std::wstring& path) const;
  void Remove(const std::wstring& path);
};

// ---------------------------------------------------------------- registry
struct RegValue {
  DWORD type = REG_SZ;
  std::string data;  // raw bytes as stored
};
RegValue WideValue(const std::wstring& text, DWORD type = REG_SZ);  // with terminator
RegValue MultiString(const std::vector<std::wstring>& strings);     // REG_MULTI_SZ

struct RegKey {
  std::map<std::wstring, std::pair<std::wstring, RegValue>> values;  // folded name
  LSTATUS open_error = ERROR_SUCCESS;  // refuse every open of this key
};

struct Registry {
  // Full paths such as "HKLM\SYSTEM\CurrentControlSet\Control\Session Manager",
  // folded.
  std::map<std::wstring, RegKey> keys;

  RegKey& Key(const std::wstring& path);  // creates it and its parents
  RegKey* Find(const std::wstring& path);
  void Set(const std::wstring& key, const std::wstring& name, RegValue value);
  const RegValue* Get(const std::wstring& key, const std::wstring& name);
  void Delete(const std::wstring& key, const std::wstring& name);
};

inline const wchar_t kRunKey[] = L"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
inline const wchar_t kSessionManagerKey[] =
    L"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager";
inline const wchar_t kPendingRenamesValue[] = L"PendingFileRenameOperations";

// ---------------------------------------------------------------- service
struct Service {
  std::wstring name = L"Spooler";
  DWORD state = SERVICE_RUNNING;
  uint64_t start_time = 80;  // virtual ms from the start request to SERVICE_RUNNING
  uint64_t stop_time = 30;
  bool start_never_completes = false;  // stays START_PENDING
  bool stop_never_completes = false;   // stays STOP_PENDING
  DWORD stop_refusal = 0;              // ControlService(STOP) fails with this error
};

// ---------------------------------------------------------------- spooler
struct Monitor {
  std::wstring name, environment, dll;
  std::vector<std::wstring> ports;
};

struct Driver {
  std::wstring name, environment;
  DWORD version = 3;
  std::wstring driver_path, data_file, config_file, help_file;
  std::wstring manufacturer, oem_url, provider;
};

struct Printer {
  std::wstring name, share, port, driver, comment, location,
      print_processor = L"WinPrint", datatype = L"RAW", parameters, separator_file;
  DWORD attributes = PRINTER_ATTRIBUTE_LOCAL, priority = 1, default_priority = 0, status = 0;
  // Printer data: key ("PrinterDriverData" for the plain calls, "DsUser", ...)
  // -> values; strings are stored wide, as the spooler keeps them.
  std::map<std::wstring, std::map<std::wstring, std::pair<std::wstring, RegValue>>> data;
  int jobs = 0;

  void SetData(const std::wstring& key, const std::wstring& value, RegValue data);
  const RegValue* Data(const std::wstring& key, const std::wstring& value) const;
};

struct Spooler {
  std::vector<Monitor> monitors;
  std::vector<Driver> drivers;
  std::vector<Printer> printers;
  std::wstring default_printer;
  std::wstring drivers_root = L"C:\\Windows\\system32\\spool\\DRIVERS";
  // The monitor DLL stays loaded (and locked) after DeleteMonitorW until the
  // spooler stops, as happens when the spooler cannot unload it.
  bool monitor_dll_stays_loaded = false;

  Monitor* FindMonitor(const std::wstring& name);
  Driver* FindDriver(const std::wstring& name, const std::wstring& environment);
  Printer* FindPrinter(const std::wstring& name);
  Printer& AddPrinter(Printer printer);
  // The spooler's directory for an environment ("x64", "W32X86"), or empty.
  std::wstring DriverDirectory(const std::wstring& environment) const;
};

inline const wchar_t kEnvX64[] = L"Windows x64";
inline const wchar_t kEnvX86[] = L"Windows NT x86";

// ---------------------------------------------------------------- windowing
struct Message {
  UINT message;
  WPARAM wparam;
  LPARAM lparam;
  uint64_t time;
};

struct Window {
  std::wstring class_name, title;
  int process = 0;
  bool alive = true;
  std::vector<Message> received;
  std::function<void(const Message&)> on_message;  // runs when a message is posted
};

struct Mutex {
  std::string name;
  int owner = 0;  // process id, 0 when free
  int recursion = 0;
  bool abandoned = false;
  int handles = 0;
};

struct Process {
  std::wstring command_line, image;
  bool running = true;
  std::vector<HANDLE> handles;  // handles this process holds (mutexes)
};

// A scripted user in front of a modal dialog: the commands (control IDs) it
// sends, in order.
struct DialogRun {
  HINSTANCE instance;
  std::wstring template_name;  // "#101" for an integer resource
  HWND owner;
  LPARAM parameter;
  std::wstring title;
  std::map<int, std::wstring> item_texts;
  INT_PTR result = -1;
  bool ended = false;
};

// ---------------------------------------------------------------- memory
struct Block {
  enum Kind { kGlobal, kHeap, kLocal } kind;
  size_t size;
  std::string origin;
};

// ---------------------------------------------------------------- handles
struct HandleEntry {
  enum Kind { kFile, kScManager, kService, kPrinter, kRegKey, kMutex, kProcess, kThread } kind;
  explicit HandleEntry(Kind of = kFile) : kind(of) {}

  bool open = true;
  int process = 1;  // the program is process 1
  // What the handle refers to.
  std::wstring path;  // file path, registry key path, printer name
  DWORD access = 0;
  DWORD share = 0;         // file share mode
  size_t position = 0;     // file pointer
  std::string mutex_name;  // mutexes
  int target_process = 0;  // process and thread handles
  bool stale = false;      // printer handle that outlived the spooler
};

// ---------------------------------------------------------------- faults
struct Fault {
  std::string call;  // a call name, or "*" for the Nth failable call of any name
  int nth;           // 1-based, counted from when the fault was set
  DWORD error;
  int times = 1;  // consecutive failures from the Nth on; -1 for ever
  int seen = 0;
};

class SimWindows final : public platform::SystemApi {
 public:
  SimWindows();
  ~SimWindows() override;
  SimWindows(const SimWindows&) = delete;
  SimWindows& operator=(const SimWindows&) = delete;

  // ---- state a test seeds and inspects
  Clock clock;
  FileSystem fs;
  Registry registry;
  Service spooler_service;
  Spooler spooler;
  std::map<HWND, Window> windows;
  std::map<int, Process> processes;
  std::map<std::string, Mutex> mutexes;  // folded name
  std::vector<DialogRun> dialogs;
  std::vector<std::vector<int>> dialog_scripts;  // one script a dialog, taken in order
  bool shift_down = false;
  std::wstring command_line = L"install.exe";
  std::wstring module_path = L"C:\\Program Files\\Lumenquill\\x64\\install.exe";
  std::wstring system_directory = L"C:\\Windows\\system32";
  OSVERSIONINFOA os_version{sizeof(OSVERSIONINFOA), 6, 2, 9200, VER_PLATFORM_WIN32_NT, ""};
  DWORD dll_directories = 0;
  // System message texts by code (English). Codes without a text make
  // FormatMessageW fail with ERROR_MR_MID_NOT_FOUND.
  std::map<DWORD, std::wstring> messages;
  // Launchers for programs by folded file name: run when CreateProcessW starts
  // that file, with the new process id.
  std::map<std::wstring, std::function<void(int)>> programs;

  // ---- faults
  // The nth call (1-based, counted from now) of `call` fails with `error`,
  // `times` times in a row (-1: every call from then on).
  void FailCall(const std::string& call, int nth, DWORD error, int times = 1);
  // The nth failable call of any name fails with the error that call
  // typically returns.
  void FailNthCall(int nth);
  // The nth allocation (GlobalAlloc, HeapAlloc, HeapReAlloc), counted from
  // now, fails, `times` times in a row (-1: for ever). With a kind, only
  // allocations of that kind count and fail.
  void FailAllocation(int nth, int times = 1, std::optional<int> kind = std::nullopt);
  // The error a failing call of this name usually reports; 0 when the call
  // cannot fail.
  static DWORD TypicalError(const std::string& call);

  // Virtual time a call of this name takes (a slow disk, a busy spooler).
  std::map<std::string, uint64_t> call_durations;
  // Runs just before each call of this name, with its 1-based number: lets a
  // test change the machine between two calls.
  std::map<std::string, std::function<void(int)>> before_call;

  // ---- what happened
  std::vector<std::string> calls;  // "Name" or "Name(detail)" in order
  int failable_calls = 0;
  int allocations = 0;
  std::vector<std::string> violations;  // double closes, double frees, overruns, hangs

  int Count(const std::string& call) const;
  std::vector<std::string> CallsNamed(const std::set<std::string>& names) const;
  // Handles and blocks the program still holds, and every violation seen.
  std::vector<std::string> Leaks() const;
  size_t LiveBlocks() const { return blocks_.size(); }
  size_t BlockSize(const void* block) const;

  // ---- other processes, for scenarios
  int StartProcess(const std::wstring& image, const std::wstring& command_line);
  void EndProcess(int id);  // ends it; mutexes it owns become abandoned
  HWND CreateWindowFor(int process, const std::wstring& class_name, const std::wstring& title);
  void DestroyWindow(HWND window);
  // Another process creates (and owns, when `owned`) a named mutex.
  HANDLE ProcessCreateMutex(int process, const std::string& name, bool owned);
  void ProcessReleaseMutex(int process, const std::string& name);
  // Another process holds the file open with this access and share mode.
  HANDLE ProcessOpenFile(int process, const std::wstring& path, DWORD access, DWORD share);
  // A machine restart: pending renames carried out, processes ended,
  // services back to running.
  void Restart();

  // ---- the seam
  SC_HANDLE OpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access) override;
  SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access) override;
  BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) override;
  BOOL StartServiceW(SC_HANDLE service, DWORD argc, LPCWSTR* argv) override;
  BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) override;
  BOOL CloseServiceHandle(SC_HANDLE handle) override;

  BOOL EnumMonitorsW(LPWSTR server, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                     LPDWORD returned) override;
  BOOL EnumPrinterDriversW(LPWSTR server, LPWSTR environment, DWORD level, LPBYTE buffer,
                           DWORD size, LPDWORD needed, LPDWORD returned) override;
  BOOL EnumPrintersW(DWORD flags, LPWSTR name, DWORD level, LPBYTE buffer, DWORD size,
                     LPDWORD needed, LPDWORD returned) override;
  BOOL GetPrinterW(HANDLE printer, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed) override;
  BOOL GetPrinterDriverW(HANDLE printer, LPWSTR environment, DWORD level, LPBYTE buffer, DWORD size,
                         LPDWORD needed) override;
  BOOL GetPrinterDriverDirectoryW(LPWSTR server, LPWSTR environment, DWORD level, LPBYTE buffer,
                                  DWORD size, LPDWORD needed) override;
  BOOL AddMonitorW(LPWSTR server, DWORD level, LPBYTE monitor) override;
  BOOL DeleteMonitorW(LPWSTR server, LPWSTR environment, LPWSTR monitor) override;
  BOOL AddPrinterDriverExW(LPWSTR server, DWORD level, LPBYTE driver, DWORD flags) override;
  BOOL DeletePrinterDriverExW(LPWSTR server, LPWSTR environment, LPWSTR driver, DWORD delete_flags,
                              DWORD version) override;
  HANDLE AddPrinterW(LPWSTR server, DWORD level, LPBYTE printer) override;
  BOOL DeletePrinter(HANDLE printer) override;
  BOOL OpenPrinterW(LPWSTR name, LPHANDLE printer, LPPRINTER_DEFAULTSW defaults) override;
  BOOL ClosePrinter(HANDLE printer) override;
  BOOL SetPrinterW(HANDLE printer, DWORD level, LPBYTE info, DWORD command) override;
  DWORD GetPrinterDataA(HANDLE printer, LPSTR value, LPDWORD type, LPBYTE data, DWORD size,
                        LPDWORD needed) override;
  DWORD GetPrinterDataExA(HANDLE printer, LPCSTR key, LPCSTR value, LPDWORD type, LPBYTE data,
                          DWORD size, LPDWORD needed) override;
  DWORD SetPrinterDataA(HANDLE printer, LPSTR value, DWORD type, LPBYTE data, DWORD size) override;
  DWORD SetPrinterDataExA(HANDLE printer, LPCSTR key, LPCSTR value, DWORD type, LPBYTE data,
                          DWORD size) override;
  BOOL GetDefaultPrinterW(LPWSTR buffer, LPDWORD chars) override;
  BOOL SetDefaultPrinterW(LPCWSTR printer) override;

  LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subkey, DWORD options, REGSAM access,
                        PHKEY result) override;
  LSTATUS RegQueryValueExW(HKEY key, LPCWSTR value, LPDWORD reserved, LPDWORD type, LPBYTE data,
                           LPDWORD size) override;
  LSTATUS RegSetValueExW(HKEY key, LPCWSTR value, DWORD reserved, DWORD type, const BYTE* data,
                         DWORD size) override;
  LSTATUS RegDeleteValueA(HKEY key, LPCSTR value) override;
  LSTATUS RegCloseKey(HKEY key) override;

  HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                     DWORD disposition, DWORD flags, HANDLE template_file) override;
  BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read,
                LPOVERLAPPED overlapped) override;
  BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written,
                 LPOVERLAPPED overlapped) override;
  BOOL CloseHandle(HANDLE handle) override;
  BOOL DeleteFileW(LPCWSTR path) override;
  BOOL MoveFileExW(LPCWSTR existing, LPCWSTR replacement, DWORD flags) override;
  DWORD GetFileAttributesW(LPCWSTR path) override;
  DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) override;
  UINT GetSystemDirectoryW(LPWSTR buffer, UINT size) override;

  DWORD GetFileVersionInfoSizeW(LPCWSTR path, LPDWORD handle) override;
  BOOL GetFileVersionInfoW(LPCWSTR path, DWORD handle, DWORD size, LPVOID data) override;
  BOOL VerQueryValueW(LPCVOID block, LPCWSTR sub_block, LPVOID* buffer, PUINT length) override;

  HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) override;
  HGLOBAL GlobalFree(HGLOBAL block) override;
  HANDLE GetProcessHeap() override;
  LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) override;
  LPVOID HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes) override;
  BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID block) override;
  HLOCAL LocalFree(HLOCAL block) override;

  DWORD GetLastError() override;
  void SetLastError(DWORD error) override;
  DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD message, DWORD language, LPWSTR buffer,
                       DWORD size, va_list* arguments) override;
  int MultiByteToWideChar(UINT code_page, DWORD flags, LPCCH text, int bytes, LPWSTR buffer,
                          int chars) override;

  void Sleep(DWORD milliseconds) override;
  DWORD GetTickCount() override;

  HWND FindWindowW(LPCWSTR class_name, LPCWSTR title) override;
  BOOL PostMessageW(HWND window, UINT message, WPARAM wparam, LPARAM lparam) override;
  BOOL IsWindow(HWND window) override;
  SHORT GetAsyncKeyState(int key) override;
  INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR dialog, HWND owner, DLGPROC procedure,
                          LPARAM parameter) override;
  BOOL EndDialog(HWND dialog, INT_PTR result) override;
  BOOL SetDlgItemTextW(HWND dialog, int item, LPCWSTR text) override;
  BOOL SetWindowTextW(HWND window, LPCWSTR text) override;

  HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES security, BOOL owned, LPCSTR name) override;
  DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) override;
  BOOL CreateProcessW(LPCWSTR application, LPWSTR command_line,
                      LPSECURITY_ATTRIBUTES process_security, LPSECURITY_ATTRIBUTES thread_security,
                      BOOL inherit_handles, DWORD creation_flags, LPVOID environment,
                      LPCWSTR directory, LPSTARTUPINFOW startup,
                      LPPROCESS_INFORMATION process) override;
  BOOL GetVersionExA(LPOSVERSIONINFOA version) override;

  LPWSTR GetCommandLineW() override;
  LPWSTR* CommandLineToArgvW(LPCWSTR command_line, int* count) override;
  BOOL SetDefaultDllDirectories(DWORD flags) override;

  // ---- internals shared by the model's source files
  std::optional<DWORD> Enter(const char* call, const std::string& detail = {});
  BOOL Fail(DWORD error);  // sets the last error, returns FALSE
  HANDLE NewHandle(HandleEntry entry);
  HandleEntry* Lookup(HANDLE handle, HandleEntry::Kind kind);
  // Closes a handle of one of `kinds`; false (and a violation for a handle
  // that was closed before) when it is not an open handle of those kinds.
  bool Close(HANDLE handle, std::initializer_list<HandleEntry::Kind> kinds, const char* call);
  void* Allocate(Block::Kind kind, size_t bytes, bool zero, const std::string& origin,
                 bool counted = true);
  bool Free(Block::Kind kind, void* block, const char* call);
  // A call told that `buffer` holds `bytes`: when the buffer lies in a live
  // block, more than the block holds from there is a violation, for the real
  // call would read or write past its end. Buffers outside the model's
  // blocks (on the program's stack) cannot be checked here.
  void CheckCapacity(const char* call, const void* buffer, size_t bytes);
  bool SpoolerRunning() const { return spooler_service.state == SERVICE_RUNNING; }
  void OnSpoolerStopped();
  void OnSpoolerStarted();
  bool FileInUse(const std::wstring& path, DWORD* error);
  std::optional<std::wstring> ResolveKey(HKEY key, const std::string& subkey);

 private:
  DWORD last_error_ = 0;
  std::vector<Fault> faults_;
  struct AllocationFault {
    int nth, times;
    std::optional<int> kind;
    int seen = 0;
  };
  std::vector<AllocationFault> allocation_faults_;
  std::map<std::string, int> call_numbers_;
  std::map<void*, Block> blocks_;
  std::map<uintptr_t, HandleEntry> handles_;
  uintptr_t next_handle_ = 0x1000;
  uintptr_t next_window_ = 0x20000;
  int next_process_ = 2;
  HANDLE heap_ = reinterpret_cast<HANDLE>(0x7ff00000);
  std::wstring command_line_storage_;
  std::map<HWND, size_t> open_dialogs_;  // dialog window -> index in dialogs
};

}  // namespace sim
