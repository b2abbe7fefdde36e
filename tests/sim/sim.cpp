// The simulated Windows: the machinery behind sim.h (the clock, faults,
// handles, memory) and every call of the seam: files, the registry, the
// spooler service, the spooler, windows, dialogs, mutexes and programs.
#include "sim/sim.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace sim {
namespace {

constexpr uintptr_t kPage = 4096;

// A block the program is given ends where an inaccessible page begins, so
// that reading or writing past its end stops the program at once; a block it
// has freed is gone, so that a later use faults too. Blocks are therefore
// not aligned beyond their size, as with the system's page heap set to
// unaligned; x64 reads and writes them all the same.
void* Guarded(size_t bytes) {
  size_t span = (bytes + kPage - 1) / kPage * kPage + kPage;
  auto* pages = static_cast<char*>(VirtualAlloc(nullptr, span, MEM_COMMIT, PAGE_READWRITE));
  DWORD was = 0;
  VirtualProtect(pages + span - kPage, kPage, PAGE_NOACCESS, &was);
  return pages + span - kPage - bytes;
}

void Unguard(void* block) {
  VirtualFree(reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(block) & ~(kPage - 1)), 0,
              MEM_RELEASE);
}

// The standard output and the window station the program was given: handles
// it never closes.
const auto kOutput = reinterpret_cast<HANDLE>(0x7fff0010);
const auto kStation = reinterpret_cast<HWINSTA>(0x7fff0020);

// The error a failing call reports unless the fault names one.
DWORD UsualError(const std::string& call) {
  static const std::map<std::string, DWORD> errors = {{"ReadFile", ERROR_READ_FAULT},
                                                      {"WriteFile", ERROR_DISK_FULL},
                                                      {"OpenPrinterW", 1801},
                                                      {"FormatMessageW", ERROR_MR_MID_NOT_FOUND},
                                                      {"GetDefaultPrinterW", 2},
                                                      {"DeletePrinterDriverExW", 3001},
                                                      {"DeleteMonitorW", 3008},
                                                      {"EnumMonitorsW", RPC_S_SERVER_UNAVAILABLE},
                                                      {"EnumPrintersW", RPC_S_SERVER_UNAVAILABLE}};
  auto found = errors.find(call);
  return found != errors.end() ? found->second : ERROR_ACCESS_DENIED;
}

std::wstring Widen(const char* text) {
  return std::wstring(text, text + std::strlen(text));
}

// The build and the size of the fixed part of a file's version resource; a
// build of -1 when it has none.
std::pair<int, UINT> VersionOf(const Object* file) {
  size_t at = file != nullptr ? (*file)[L"bytes"].find(L"version=") : std::wstring::npos;
  if (at == std::wstring::npos) {
    return {-1, 0};
  }
  wchar_t* end = nullptr;
  int build = static_cast<int>(std::wcstol((*file)[L"bytes"].c_str() + at + 8, &end, 10));
  return {build, *end == L'/' ? std::wcstoul(end + 1, nullptr, 10) : sizeof(VS_FIXEDFILEINFO)};
}

// The spooler's own folder, wherever the program looks for the system's.
constexpr wchar_t kDrivers[] = L"C:\\Windows\\system32\\spool\\DRIVERS\\";

std::wstring Text(LPCWSTR text) {
  return text != nullptr ? text : L"";
}

bool KnownEnvironment(LPCWSTR env) {
  return env == nullptr || Fold(env) == L"WINDOWS X64" || Fold(env) == L"WINDOWS NT X86";
}

std::wstring Env(LPCWSTR env) {
  return env != nullptr ? Fold(env) : L"WINDOWS X64";
}

// Lays strings out at the end of a buffer, as the spooler does; without a
// buffer it only counts.
struct Packer {
  LPBYTE base;
  size_t top, total;
  LPWSTR operator()(const std::wstring& text) {
    size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    total += bytes;
    if (base == nullptr) {
      return nullptr;
    }
    top -= bytes;
    std::memcpy(base + top, text.c_str(), bytes);
    return reinterpret_cast<LPWSTR>(base + top);
  }
};

template <typename Record>
void FillDriver(Packer& put, Record& record, const Object& driver) {
  record.cVersion = 3;
  record.pName = put(driver.name);
  record.pEnvironment = put(driver[L"env"]);
  record.pDriverPath = put(driver[L"driver"]);
  record.pDataFile = put(driver[L"data"]);
  record.pConfigFile = put(driver[L"config"]);
}

void FillDriver6(Packer& put, DRIVER_INFO_6W& record, const Object& driver) {
  FillDriver(put, record, driver);
  record.pHelpFile = put(driver[L"help"]);
}

void FillMonitor(Packer& put, MONITOR_INFO_2W& record, const Object& monitor) {
  record.pName = put(monitor.name);
  record.pEnvironment = put(L"Windows x64");
  record.pDLLName = put(monitor[L"dll"]);
}

void FillPrinter(Packer& put, PRINTER_INFO_2W& record, const Object& printer) {
  record.pPrinterName = put(printer.name);
  record.pPortName = put(printer[L"port"]);
  record.pDriverName = put(printer[L"driver"]);
  record.pComment = put(printer[L"comment"]);
  record.pLocation = put(printer[L"location"]);
  record.pPrintProcessor = put(L"WinPrint");
  record.pDatatype = put(L"RAW");
  record.Attributes = static_cast<DWORD>(printer.Number(L"attributes", PRINTER_ATTRIBUTE_LOCAL));
  record.cJobs = static_cast<DWORD>(printer.Number(L"jobs"));
}

const wchar_t* const kStates[] = {L"", L"stopped", L"start-pending", L"stop-pending", L"running"};

DWORD State(const Object& service) {
  return static_cast<DWORD>(std::find(kStates, kStates + 5, service[L"state"]) - kStates);
}

// Whether every port of a comma-separated list is a port of some monitor.
bool PortsExist(Sim& sim, const std::wstring& list) {
  std::wstring known = L",";
  for (Object* monitor : sim.Each(L"monitor")) {
    known += Fold((*monitor)[L"ports"].empty() ? monitor->name : (*monitor)[L"ports"]) + L",";
  }
  for (size_t start = 0, end = 0; start <= list.size(); start = end + 1) {
    end = std::min(list.find(L',', start), list.size());
    if (known.find(L"," + Fold(list.substr(start, end - start)) + L",") == std::wstring::npos) {
      return false;
    }
  }
  return true;
}

// Every call of the seam starts with FAULT(its failure value): a fault set
// for the call makes it fail there.
#define FAULT(failure)   \
  if (Failing(__func__)) \
  return failure
// Refuses a call as the platform does: the error set, the failure returned.
#define REFUSE_IF(condition, error, failure) \
  if (condition)                             \
  return last_error_ = (error), failure
#define SPOOLER_RUNS(failure)                                                                  \
  REFUSE_IF((*Find(L"service", L"spooler"))[L"state"] != L"running", RPC_S_SERVER_UNAVAILABLE, \
            failure)

class Windows final : public Sim {
 public:
  ~Windows() override {
    for (auto& [block, _] : blocks_) {
      Unguard(block);
    }
  }
  void SetCommandLine(std::wstring line) override {
    command_line_ = std::move(line);
    shown_once_ = false;
  }

  std::vector<std::string> Leaks() const override {
    std::vector<std::string> leaks = violations;
    for (const auto& [value, handle] : handles_) {
      leaks.push_back(std::string("a handle left open: ") + handle.kind);
    }
    for (const auto& [block, info] : blocks_) {
      leaks.push_back(std::string("a block left allocated: ") + info.first);
    }
    return leaks;
  }

  // ---------------------------------------------------------------- memory

  HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) override {
    return Allocate('g', bytes, (flags & GMEM_ZEROINIT) != 0);
  }
  HGLOBAL GlobalFree(HGLOBAL block) override { return Free(block, 'g') ? nullptr : block; }
  HANDLE GetProcessHeap() override { return reinterpret_cast<HANDLE>(0x7ff00000); }
  LPVOID HeapAlloc(HANDLE, DWORD flags, SIZE_T bytes) override {
    return Allocate('h', bytes, (flags & HEAP_ZERO_MEMORY) != 0);
  }
  BOOL HeapFree(HANDLE, DWORD, LPVOID block) override { return Free(block, 'h'); }
  HLOCAL LocalFree(HLOCAL block) override { return Free(block, 'l') ? nullptr : block; }

  LPVOID HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes) override {
    auto found = blocks_.find(block);
    if (found == blocks_.end()) {
      violations.push_back("HeapReAlloc of a block that is not live");
      return nullptr;
    }
    size_t old = found->second.second;
    void* moved = HeapAlloc(heap, flags, bytes);
    if (moved != nullptr) {  // it always moves: a caller that keeps the old pointer is caught
      std::memcpy(moved, block, std::min(old, bytes));
      Free(block, 'h');
    }
    return moved;
  }

  // ---------------------------------------------------------------- files

  HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                     DWORD disposition, DWORD, HANDLE) override {
    FAULT(INVALID_HANDLE_VALUE);
    std::wstring key = Resolve(path);
    Object* file = Find(L"file", key);
    bool writing = (access & GENERIC_WRITE) != 0;
    REFUSE_IF(Find(L"dir", key) != nullptr, ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    REFUSE_IF(file == nullptr && Find(L"dir", Parent(key)) == nullptr, ERROR_PATH_NOT_FOUND,
              INVALID_HANDLE_VALUE);
    REFUSE_IF(file == nullptr && disposition == OPEN_EXISTING, ERROR_FILE_NOT_FOUND,
              INVALID_HANDLE_VALUE);
    REFUSE_IF(file != nullptr && disposition == CREATE_NEW, ERROR_FILE_EXISTS,
              INVALID_HANDLE_VALUE);
    bool locked = file != nullptr && Locked(*file);
    REFUSE_IF(locked && writing, ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);
    REFUSE_IF(locked && (access & DELETE) != 0 && (*file)[L"lock"] == L"open",
              ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);
    for (const auto& [value, open] : handles_) {
      REFUSE_IF(open.kind == 'f' && Fold(open.name) == Fold(key) &&
                    ((writing && (open.share & FILE_SHARE_WRITE) == 0) ||
                     ((open.access & GENERIC_WRITE) != 0 && (share & FILE_SHARE_WRITE) == 0)),
                ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);
    }
    if (file == nullptr || disposition == CREATE_ALWAYS) {
      Put(key);
    }
    SetLastError(0);
    // Named as the file is, whatever letter case the path had.
    return NewHandle({'f', file != nullptr ? file->name : key, access, share});
  }

  BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED) override {
    *read = 0;
    FAULT(FALSE);
    Handle* handle = Opened(file, 'f');
    REFUSE_IF(handle == nullptr, ERROR_INVALID_HANDLE, FALSE);
    CheckRoom(__func__, buffer, size);
    const std::wstring& bytes = (*Find(L"file", handle->name))[L"bytes"];
    while (*read < size && handle->position < bytes.size()) {
      static_cast<BYTE*>(buffer)[(*read)++] = static_cast<BYTE>(bytes[handle->position++]);
    }
    return TRUE;
  }

  BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED) override {
    *written = 0;
    FAULT(FALSE);
    if (file == kOutput) {
      output.append(static_cast<const char*>(buffer), size);
      *written = size;
      return TRUE;
    }
    Handle* handle = Opened(file, 'f');
    REFUSE_IF(handle == nullptr || (handle->access & GENERIC_WRITE) == 0, ERROR_ACCESS_DENIED,
              FALSE);
    std::wstring& bytes = Make(L"file", handle->name)[L"bytes"];
    bytes.resize(std::max(bytes.size(), handle->position + size));
    for (; *written < size; ++*written) {
      bytes[handle->position++] = static_cast<const BYTE*>(buffer)[*written];
    }
    return TRUE;
  }

  BOOL CloseHandle(HANDLE handle) override { return Close(handle, "fxPt", __func__); }

  BOOL DeleteFileW(LPCWSTR path) override {
    FAULT(FALSE);
    std::wstring key = Resolve(path);
    Object* file = Find(L"file", key);
    REFUSE_IF(file == nullptr && Find(L"dir", Parent(key)) == nullptr, ERROR_PATH_NOT_FOUND, FALSE);
    REFUSE_IF(file == nullptr, Find(L"dir", key) ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND,
              FALSE);
    REFUSE_IF(Locked(*file),
              (*file)[L"lock"] == L"open" ? ERROR_SHARING_VIOLATION : ERROR_ACCESS_DENIED, FALSE);
    for (const auto& [value, handle] : handles_) {
      REFUSE_IF(handle.kind == 'f' && Fold(handle.name) == Fold(key) &&
                    (handle.share & FILE_SHARE_DELETE) == 0,
                ERROR_SHARING_VIOLATION, FALSE);
    }
    Erase(L"file", key);
    return TRUE;
  }

  HANDLE GetStdHandle(DWORD which) override {
    FAULT(INVALID_HANDLE_VALUE);
    return which == STD_OUTPUT_HANDLE && !Machine()[L"stdout"].empty() ? kOutput : nullptr;
  }

  DWORD GetFileType(HANDLE file) override {
    FAULT(FILE_TYPE_UNKNOWN);
    REFUSE_IF(file != kOutput, ERROR_INVALID_HANDLE, FILE_TYPE_UNKNOWN);
    const std::wstring& type = Machine()[L"stdout"];
    return type == L"file" ? FILE_TYPE_DISK : type == L"pipe" ? FILE_TYPE_PIPE : FILE_TYPE_CHAR;
  }

  // The program only ever queues deletions: the queue gets the path and an
  // empty target, as the platform writes them.
  BOOL MoveFileExW(LPCWSTR existing, LPCWSTR replacement, DWORD flags) override {
    FAULT(FALSE);
    REFUSE_IF((flags & MOVEFILE_DELAY_UNTIL_REBOOT) == 0 || replacement != nullptr,
              ERROR_INVALID_PARAMETER, FALSE);
    Object& queue = Make(L"value", kQueue);
    std::wstring& bytes = queue[L"bytes"];
    std::wstring encoded = Encode(std::wstring(L"\\??\\") + existing + L'\0' + L'\0', true);
    bytes.insert(bytes.size() >= 2 ? bytes.size() - 2 : 0, encoded);
    bytes += bytes.size() == encoded.size() ? std::wstring(2, L'\0') : L"";
    queue[L"type"] = std::to_wstring(REG_MULTI_SZ);
    return TRUE;
  }

  DWORD GetFileAttributesW(LPCWSTR path) override {
    FAULT(INVALID_FILE_ATTRIBUTES);
    std::wstring key = Resolve(path);
    if (Find(L"dir", key) != nullptr) {
      return FILE_ATTRIBUTE_DIRECTORY;
    }
    REFUSE_IF(Find(L"file", key) == nullptr,
              Find(L"dir", Parent(key)) != nullptr ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND,
              INVALID_FILE_ATTRIBUTES);
    return FILE_ATTRIBUTE_ARCHIVE;
  }

  // The path of what was opened, past every link.
  DWORD GetFinalPathNameByHandleW(HANDLE file, LPWSTR buffer, DWORD size, DWORD flags) override {
    FAULT(0);
    Handle* handle = Opened(file, 'f');
    REFUSE_IF(handle == nullptr || flags != 0, ERROR_INVALID_PARAMETER, 0);
    std::wstring path = L"\\\\?\\" + handle->name;
    if (path.rfind(L"\\\\?\\\\\\", 0) == 0) {  // a share: \\?\UNC\server\...
      path = L"\\\\?\\UNC" + path.substr(5);
    }
    CheckRoom(__func__, buffer, size * sizeof(wchar_t));
    if (size <= path.size()) {
      return static_cast<DWORD>(path.size() + 1);
    }
    std::wmemcpy(buffer, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
  }

  // Only deletion through the handle is known here.
  BOOL SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class, LPVOID info,
                                  DWORD) override {
    FAULT(FALSE);
    Handle* handle = Opened(file, 'f');
    REFUSE_IF(
        handle == nullptr || info_class != FileDispositionInfo || (handle->access & DELETE) == 0,
        ERROR_INVALID_PARAMETER, FALSE);
    Object* named = Find(L"file", handle->name);
    REFUSE_IF(named != nullptr && Locked(*named), ERROR_ACCESS_DENIED, FALSE);
    // The member is DeleteFile: <windows.h> renames it with its own macro.
    if (static_cast<FILE_DISPOSITION_INFO*>(info)->DeleteFileW) {
      Erase(L"file", handle->name);
    }
    return TRUE;
  }

  // A name that does not fit is cut to the buffer, which it fills.
  DWORD GetModuleFileNameW(HMODULE, LPWSTR buffer, DWORD size) override {
    FAULT(0);
    std::wstring module = Machine()[L"module"];
    DWORD count = std::min<DWORD>(static_cast<DWORD>(module.size()), size - 1);
    std::wmemcpy(buffer, module.c_str(), count);
    buffer[count] = 0;
    REFUSE_IF(count < module.size(), ERROR_INSUFFICIENT_BUFFER, size);
    return count;
  }

  UINT GetSystemDirectoryW(LPWSTR buffer, UINT size) override {
    FAULT(0);
    std::wstring system = Machine()[L"system"];
    if (system.size() + 1 > size) {
      return static_cast<UINT>(system.size() + 1);
    }
    std::wmemcpy(buffer, system.c_str(), system.size() + 1);
    return static_cast<UINT>(system.size());
  }

  // A version block: "SIMV", the bytes of the fixed part it holds, the part.
  DWORD GetFileVersionInfoSizeW(LPCWSTR path, LPDWORD handle) override {
    FAULT(0);
    *handle = 0;
    REFUSE_IF(VersionOf(Find(L"file", Key(path))).first < 0, ERROR_RESOURCE_TYPE_NOT_FOUND, 0);
    return 8 + sizeof(VS_FIXEDFILEINFO);
  }

  BOOL GetFileVersionInfoW(LPCWSTR path, DWORD, DWORD size, LPVOID data) override {
    FAULT(FALSE);
    auto [build, fixed] = VersionOf(Find(L"file", Key(path)));
    REFUSE_IF(build < 0, ERROR_RESOURCE_TYPE_NOT_FOUND, FALSE);
    CheckRoom(__func__, data, size);
    unsigned char block[8 + sizeof(VS_FIXEDFILEINFO)] = {'S', 'I', 'M', 'V'};
    std::memcpy(block + 4, &fixed, 4);
    VS_FIXEDFILEINFO info{0xFEEF04BD, 0x10000,
                          0x10000,    static_cast<DWORD>(build),
                          0x10000,    static_cast<DWORD>(build)};
    std::memcpy(block + 8, &info, sizeof(info));
    std::memcpy(data, block, std::min<size_t>(size, sizeof(block)));
    return TRUE;
  }

  BOOL VerQueryValueW(LPCVOID block, LPCWSTR sub_block, LPVOID* buffer, PUINT length) override {
    FAULT(FALSE);
    const auto* bytes = static_cast<const unsigned char*>(block);
    REFUSE_IF(std::wcscmp(sub_block, L"\\") != 0 || std::memcmp(bytes, "SIMV", 4) != 0,
              ERROR_RESOURCE_TYPE_NOT_FOUND, FALSE);
    *buffer = const_cast<unsigned char*>(bytes + 8);
    std::memcpy(length, bytes + 4, sizeof(UINT));
    return TRUE;
  }

  // ---------------------------------------------------------------- registry

  LSTATUS RegOpenKeyExA(HKEY root, LPCSTR subkey, DWORD, REGSAM access, PHKEY result) override {
    *result = nullptr;
    FAULT(static_cast<LSTATUS>(last_error_));
    std::wstring path = (root == HKEY_LOCAL_MACHINE ? L"HKLM\\" : L"HKCU\\") + Widen(subkey);
    if (Find(L"key", path) == nullptr) {
      return ERROR_FILE_NOT_FOUND;
    }
    *result = static_cast<HKEY>(NewHandle({'k', path, access}));
    return ERROR_SUCCESS;
  }

  LSTATUS RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data,
                           LPDWORD size) override {
    FAULT(static_cast<LSTATUS>(last_error_));
    Handle* handle = Opened(key, 'k');
    Object* value = handle != nullptr ? Find(L"value", handle->name + L"|" + name) : nullptr;
    if (value == nullptr) {
      return handle == nullptr ? ERROR_INVALID_HANDLE : ERROR_FILE_NOT_FOUND;
    }
    const std::wstring& bytes = (*value)[L"bytes"];
    if (type != nullptr) {
      *type = static_cast<DWORD>(value->Number(L"type"));
    }
    CheckRoom(__func__, data, data != nullptr ? *size : 0);
    DWORD room = *size;
    *size = static_cast<DWORD>(bytes.size());
    if (data != nullptr && room < bytes.size()) {
      return ERROR_MORE_DATA;
    }
    std::transform(bytes.begin(), data != nullptr ? bytes.end() : bytes.begin(), data,
                   [](wchar_t c) { return static_cast<BYTE>(c); });
    return ERROR_SUCCESS;
  }

  LSTATUS RegSetValueExW(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE* data,
                         DWORD size) override {
    FAULT(static_cast<LSTATUS>(last_error_));
    Handle* handle = Opened(key, 'k');
    if (handle == nullptr || (handle->access & KEY_SET_VALUE) == 0) {
      return handle == nullptr ? ERROR_INVALID_HANDLE : ERROR_ACCESS_DENIED;
    }
    Object& value = Make(L"value", handle->name + L"|" + name);
    value[L"type"] = std::to_wstring(type);
    value[L"bytes"] = std::wstring(data, data + size);
    return ERROR_SUCCESS;
  }

  LSTATUS RegCloseKey(HKEY key) override {
    return Close(key, "k", __func__) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
  }

  LSTATUS RegDeleteValueA(HKEY key, LPCSTR name) override {
    FAULT(static_cast<LSTATUS>(last_error_));
    Handle* handle = Opened(key, 'k');
    std::wstring path = handle != nullptr ? handle->name + L"|" + Widen(name) : L"";
    if (handle == nullptr || (handle->access & KEY_SET_VALUE) == 0 || !Find(L"value", path)) {
      return handle == nullptr                       ? ERROR_INVALID_HANDLE
             : (handle->access & KEY_SET_VALUE) == 0 ? ERROR_ACCESS_DENIED
                                                     : ERROR_FILE_NOT_FOUND;
    }
    Erase(L"value", path);
    return ERROR_SUCCESS;
  }

  // ---------------------------------------------------------------- the spooler service

  SC_HANDLE OpenSCManagerW(LPCWSTR, LPCWSTR, DWORD access) override {
    FAULT(nullptr);
    return static_cast<SC_HANDLE>(NewHandle({'m', L"", access}));
  }

  SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access) override {
    FAULT(nullptr);
    Handle* handle = Opened(manager, 'm');
    REFUSE_IF(handle == nullptr || (handle->access & SC_MANAGER_CONNECT) == 0, ERROR_ACCESS_DENIED,
              nullptr);
    REFUSE_IF(Find(L"service", name) == nullptr, ERROR_SERVICE_DOES_NOT_EXIST, nullptr);
    return static_cast<SC_HANDLE>(NewHandle({'s', name, access}));
  }

  BOOL CloseServiceHandle(SC_HANDLE handle) override { return Close(handle, "ms", __func__); }

  BOOL QueryServiceStatus(SC_HANDLE handle, LPSERVICE_STATUS status) override {
    FAULT(FALSE);
    REFUSE_IF(!Permits(handle, SERVICE_QUERY_STATUS), ERROR_ACCESS_DENIED, FALSE);
    *status = SERVICE_STATUS{SERVICE_WIN32_SHARE_PROCESS, State(*Find(L"service", L"spooler"))};
    return TRUE;
  }

  BOOL StartServiceW(SC_HANDLE handle, DWORD, LPCWSTR*) override {
    FAULT(FALSE);
    REFUSE_IF(!Permits(handle, SERVICE_START), ERROR_ACCESS_DENIED, FALSE);
    Object& service = *Find(L"service", L"spooler");
    REFUSE_IF(State(service) != SERVICE_STOPPED, ERROR_SERVICE_ALREADY_RUNNING, FALSE);
    service[L"state"] = L"start-pending";
    service[L"starts"] = std::to_wstring(service.Number(L"starts") + 1);
    if (service.Number(L"start", 80) >= 0) {
      events.emplace(now + service.Number(L"start", 80), [this] { Spooler(true); });
    }
    return TRUE;
  }

  BOOL ControlService(SC_HANDLE handle, DWORD control, LPSERVICE_STATUS status) override {
    FAULT(FALSE);
    DWORD access = control == SERVICE_CONTROL_STOP ? SERVICE_STOP : ~0u;
    REFUSE_IF(!Permits(handle, access), ERROR_ACCESS_DENIED, FALSE);
    Object& service = *Find(L"service", L"spooler");
    *status = SERVICE_STATUS{SERVICE_WIN32_SHARE_PROCESS, State(service)};
    REFUSE_IF(service.Number(L"refuse-stop") != 0, DWORD(service.Number(L"refuse-stop")), FALSE);
    REFUSE_IF(State(service) == SERVICE_STOPPED, ERROR_SERVICE_NOT_ACTIVE, FALSE);
    REFUSE_IF(State(service) != SERVICE_RUNNING, ERROR_SERVICE_CANNOT_ACCEPT_CTRL, FALSE);
    service[L"state"] = L"stop-pending";
    status->dwCurrentState = SERVICE_STOP_PENDING;
    service[L"stops"] = std::to_wstring(service.Number(L"stops") + 1);
    if (service.Number(L"stop", 30) >= 0) {
      events.emplace(now + service.Number(L"stop", 30), [this] { Spooler(false); });
    }
    return TRUE;
  }

  // ---------------------------------------------------------------- the spooler

  BOOL EnumMonitorsW(LPWSTR, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                     LPDWORD returned) override {
    FAULT(FALSE);
    SPOOLER_RUNS(FALSE);
    REFUSE_IF(level != 2, ERROR_INVALID_LEVEL, FALSE);
    return Deliver<MONITOR_INFO_2W>(__func__, Each(L"monitor"), buffer, size, needed, returned,
                                    FillMonitor);
  }

  BOOL EnumPrinterDriversW(LPWSTR, LPWSTR env, DWORD level, LPBYTE buffer, DWORD size,
                           LPDWORD needed, LPDWORD returned) override {
    FAULT(FALSE);
    SPOOLER_RUNS(FALSE);
    REFUSE_IF(level != 6, ERROR_INVALID_LEVEL, FALSE);
    REFUSE_IF(!KnownEnvironment(env), ERROR_INVALID_ENVIRONMENT, FALSE);
    std::vector<Object*> items = Each(L"driver");
    std::erase_if(items, [&](Object* driver) { return Fold((*driver)[L"env"]) != Env(env); });
    return Deliver<DRIVER_INFO_6W>(__func__, items, buffer, size, needed, returned, FillDriver6);
  }

  BOOL EnumPrintersW(DWORD flags, LPWSTR, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                     LPDWORD returned) override {
    FAULT(FALSE);
    SPOOLER_RUNS(FALSE);
    REFUSE_IF(level != 2, ERROR_INVALID_LEVEL, FALSE);
    std::vector<Object*> items =
        (flags & PRINTER_ENUM_LOCAL) != 0 ? Each(L"printer") : std::vector<Object*>{};
    return Deliver<PRINTER_INFO_2W>(__func__, items, buffer, size, needed, returned, FillPrinter);
  }

  BOOL GetPrinterW(HANDLE handle, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed) override {
    Object* printer = PrinterOf(__func__, handle);
    REFUSE_IF(printer == nullptr, GetLastError(), FALSE);
    REFUSE_IF(level != 2, ERROR_INVALID_LEVEL, FALSE);
    return Deliver<PRINTER_INFO_2W>(__func__, {printer}, buffer, size, needed, nullptr,
                                    FillPrinter);
  }

  BOOL GetPrinterDriverW(HANDLE handle, LPWSTR env, DWORD level, LPBYTE buffer, DWORD size,
                         LPDWORD needed) override {
    Object* printer = PrinterOf(__func__, handle);
    REFUSE_IF(printer == nullptr, GetLastError(), FALSE);
    REFUSE_IF(level != 2 || !KnownEnvironment(env), ERROR_INVALID_LEVEL, FALSE);
    Object* driver = Find(L"driver", (*printer)[L"driver"]);
    REFUSE_IF(driver == nullptr || Fold((*driver)[L"env"]) != Env(env),
              ERROR_UNKNOWN_PRINTER_DRIVER, FALSE);
    return Deliver<DRIVER_INFO_2W>(__func__, {driver}, buffer, size, needed, nullptr,
                                   FillDriver<DRIVER_INFO_2W>);
  }

  BOOL GetPrinterDriverDirectoryW(LPWSTR, LPWSTR env, DWORD level, LPBYTE buffer, DWORD size,
                                  LPDWORD needed) override {
    FAULT(FALSE);
    SPOOLER_RUNS(FALSE);
    REFUSE_IF(level != 1 || !KnownEnvironment(env), ERROR_INVALID_LEVEL, FALSE);
    std::wstring path = kDrivers + std::wstring(Env(env) == L"WINDOWS X64" ? L"x64" : L"W32X86");
    *needed = static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t));
    CheckRoom(__func__, buffer, size);
    REFUSE_IF(buffer == nullptr || size < *needed, ERROR_INSUFFICIENT_BUFFER, FALSE);
    std::memcpy(buffer, path.c_str(), *needed);
    return TRUE;
  }

  // The spooler loads the monitor's DLL from the system directory and keeps it.
  BOOL AddMonitorW(LPWSTR, DWORD level, LPBYTE info) override {
    FAULT(FALSE);
    SPOOLER_RUNS(FALSE);
    const auto* added = reinterpret_cast<const MONITOR_INFO_2W*>(info);
    REFUSE_IF(level != 2 || !KnownEnvironment(added->pEnvironment), ERROR_INVALID_LEVEL, FALSE);
    REFUSE_IF(Find(L"monitor", Text(added->pName)) != nullptr,
              ERROR_PRINT_MONITOR_ALREADY_INSTALLED, FALSE);
    Object* dll = FileAt(Machine()[L"system"] + L"\\" + Text(added->pDLLName));
    REFUSE_IF(dll == nullptr, ERROR_MOD_NOT_FOUND, FALSE);
    Make(L"monitor", added->pName)[L"dll"] = added->pDLLName;
    (*dll)[L"lock"] = (*dll)[L"lock"].empty() ? L"spooler" : (*dll)[L"lock"];
    return TRUE;
  }

  // A monitor whose port a printer uses cannot go; a deleted one's DLL is let
  // go, unless the spooler keeps it loaded.
  BOOL DeleteMonitorW(LPWSTR, LPWSTR env, LPWSTR name) override {
    FAULT(FALSE);
    SPOOLER_RUNS(FALSE);
    Object* monitor = Find(L"monitor", Text(name));
    REFUSE_IF(monitor == nullptr || !KnownEnvironment(env), ERROR_UNKNOWN_PRINT_MONITOR, FALSE);
    for (Object* printer : Each(L"printer")) {
      REFUSE_IF((L"," + Fold((*printer)[L"port"]) + L",").find(L"," + Fold(monitor->name) + L",") !=
                    std::wstring::npos,
                ERROR_PRINT_MONITOR_IN_USE, FALSE);
    }
    Object* dll = FileAt(Machine()[L"system"] + L"\\" + (*monitor)[L"dll"]);
    if (dll != nullptr && (*dll)[L"lock"] == L"spooler" && Machine()[L"stays-loaded"].empty()) {
      (*dll)[L"lock"] = L"";
    }
    Erase(L"monitor", monitor->name);
    return TRUE;
  }

  // The driver's files are copied into the spooler's folder for its version.
  BOOL AddPrinterDriverExW(LPWSTR, DWORD level, LPBYTE info, DWORD flags) override {
    FAULT(FALSE);
    SPOOLER_RUNS(FALSE);
    const auto* added = reinterpret_cast<const DRIVER_INFO_6W*>(info);
    REFUSE_IF(
        level != 6 || !KnownEnvironment(added->pEnvironment) || (flags & APD_COPY_ALL_FILES) == 0,
        ERROR_INVALID_PARAMETER, FALSE);
    Object driver{L"driver", Text(added->pName)};
    const wchar_t* keys[] = {L"driver", L"data", L"config", L"help"};
    LPWSTR sources[] = {added->pDriverPath, added->pDataFile, added->pConfigFile, added->pHelpFile};
    for (int i = 0; i < 4; ++i) {
      std::wstring source = Text(sources[i]);
      Object* file = source.empty() ? nullptr : FileAt(source);
      REFUSE_IF(file == nullptr && (i < 3 || !source.empty()), ERROR_FILE_NOT_FOUND, FALSE);
      if (file != nullptr) {
        driver[keys[i]] = kDrivers + std::wstring(L"x64\\3") + source.substr(source.rfind(L'\\'));
        std::wstring bytes = (*file)[L"bytes"];
        Put(driver[keys[i]], bytes);
      }
    }
    driver[L"env"] = Text(added->pEnvironment);
    Erase(L"driver", driver.name);
    objects.push_back(driver);
    return TRUE;
  }

  BOOL DeletePrinterDriverExW(LPWSTR, LPWSTR env, LPWSTR name, DWORD flags, DWORD) override {
    FAULT(FALSE);
    SPOOLER_RUNS(FALSE);
    Object* driver = Find(L"driver", Text(name));
    REFUSE_IF(driver == nullptr || Fold((*driver)[L"env"]) != Env(env),
              ERROR_UNKNOWN_PRINTER_DRIVER, FALSE);
    for (Object* printer : Each(L"printer")) {
      REFUSE_IF(Fold((*printer)[L"driver"]) == Fold(driver->name), ERROR_PRINTER_DRIVER_IN_USE,
                FALSE);
    }
    for (const wchar_t* key : {L"driver", L"config", L"help"}) {
      if ((flags & DPD_DELETE_ALL_FILES) != 0) {
        Erase(L"file", (*driver)[key]);  // the spooler's own paths: already whole
      }
    }
    Erase(L"driver", driver->name);
    return TRUE;
  }

  HANDLE AddPrinterW(LPWSTR, DWORD level, LPBYTE info) override {
    FAULT(nullptr);
    SPOOLER_RUNS(nullptr);
    const auto* added = reinterpret_cast<const PRINTER_INFO_2W*>(info);
    REFUSE_IF(level != 2, ERROR_INVALID_LEVEL, nullptr);
    std::wstring name = Text(added->pPrinterName);
    REFUSE_IF(name.empty(), ERROR_INVALID_PRINTER_NAME, nullptr);
    REFUSE_IF(Find(L"driver", Text(added->pDriverName)) == nullptr, ERROR_UNKNOWN_PRINTER_DRIVER,
              nullptr);
    REFUSE_IF(!PortsExist(*this, Text(added->pPortName)), ERROR_UNKNOWN_PORT, nullptr);
    REFUSE_IF(Fold(Text(added->pPrintProcessor)) != L"WINPRINT", ERROR_UNKNOWN_PRINTPROCESSOR,
              nullptr);
    REFUSE_IF(Find(L"printer", name) != nullptr, ERROR_PRINTER_ALREADY_EXISTS, nullptr);
    Object& printer = Make(L"printer", name);
    printer.values = {{L"port", Text(added->pPortName)},
                      {L"driver", Text(added->pDriverName)},
                      {L"comment", Text(added->pComment)},
                      {L"location", Text(added->pLocation)}};
    return NewHandle({'p', name, PRINTER_ALL_ACCESS});
  }

  // A printer with jobs goes when they are done: it is only marked.
  BOOL DeletePrinter(HANDLE handle) override {
    Object* printer = PrinterOf(__func__, handle);
    REFUSE_IF(printer == nullptr, GetLastError(), FALSE);
    REFUSE_IF((Opened(handle, 'p')->access & DELETE) == 0, ERROR_ACCESS_DENIED, FALSE);
    if (printer->Number(L"jobs") > 0) {
      (*printer)[L"attributes"] = L"0x20040";
      return TRUE;
    }
    Erase(L"default", printer->name);
    objects.remove_if([&](const Object& o) {
      return o.kind == L"data" && Fold(o.name).rfind(Fold(printer->name) + L"|", 0) == 0;
    });
    Erase(L"printer", printer->name);
    return TRUE;
  }

  BOOL OpenPrinterW(LPWSTR name, LPHANDLE result, LPPRINTER_DEFAULTSW defaults) override {
    *result = nullptr;
    FAULT(FALSE);
    SPOOLER_RUNS(FALSE);
    REFUSE_IF(name == nullptr || Find(L"printer", name) == nullptr, ERROR_INVALID_PRINTER_NAME,
              FALSE);
    *result =
        NewHandle({'p', name, defaults != nullptr ? defaults->DesiredAccess : PRINTER_ACCESS_USE});
    return TRUE;
  }

  BOOL ClosePrinter(HANDLE printer) override { return Close(printer, "p", __func__); }

  BOOL SetPrinterW(HANDLE handle, DWORD level, LPBYTE info, DWORD command) override {
    Object* printer = PrinterOf(__func__, handle);
    REFUSE_IF(printer == nullptr, GetLastError(), FALSE);
    REFUSE_IF((Opened(handle, 'p')->access & PRINTER_ACCESS_ADMINISTER) == 0, ERROR_ACCESS_DENIED,
              FALSE);
    if (level == 0 && command == PRINTER_CONTROL_PURGE) {
      printer->values.erase(L"jobs");
      return TRUE;
    }
    const auto* record = reinterpret_cast<const PRINTER_INFO_2W*>(info);
    REFUSE_IF(level != 2 || record == nullptr || command != 0, ERROR_INVALID_LEVEL, FALSE);
    REFUSE_IF(!PortsExist(*this, Text(record->pPortName)), ERROR_UNKNOWN_PORT, FALSE);
    (*printer)[L"port"] = Text(record->pPortName);
    (*printer)[L"comment"] = Text(record->pComment);
    (*printer)[L"location"] = Text(record->pLocation);
    return TRUE;
  }

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

  BOOL GetDefaultPrinterW(LPWSTR buffer, LPDWORD chars) override {
    FAULT(FALSE);
    std::vector<Object*> chosen = Each(L"default");
    REFUSE_IF(chosen.empty(), ERROR_FILE_NOT_FOUND, FALSE);
    const std::wstring& name = chosen[0]->name;
    DWORD size = static_cast<DWORD>(name.size() + 1);
    bool fits = buffer != nullptr && *chars >= size;
    *chars = size;
    REFUSE_IF(!fits, ERROR_INSUFFICIENT_BUFFER, FALSE);
    std::wmemcpy(buffer, name.c_str(), size);
    return TRUE;
  }

  BOOL SetDefaultPrinterW(LPCWSTR name) override {
    FAULT(FALSE);
    SPOOLER_RUNS(FALSE);
    Object* printer = name != nullptr ? Find(L"printer", name) : nullptr;
    REFUSE_IF(printer == nullptr, ERROR_INVALID_PRINTER_NAME, FALSE);
    objects.remove_if([](const Object& o) { return o.kind == L"default"; });
    Make(L"default", printer->name);
    return TRUE;
  }

  // ---------------------------------------------------------------- windows and dialogs

  HWND FindWindowW(LPCWSTR class_name, LPCWSTR title) override {
    FAULT(nullptr);
    for (Object* window : Each(L"window")) {
      if (Fold((*window)[L"class"]) == Fold(class_name) &&
          (!title || (*window)[L"title"] == title)) {
        return reinterpret_cast<HWND>(
            static_cast<intptr_t>(std::wcstoll(window->name.c_str(), nullptr, 10)));
      }
    }
    return last_error_ = ERROR_FILE_NOT_FOUND, nullptr;
  }

  // A tray companion ends when asked to exit, a help viewer when asked to close.
  BOOL PostMessageW(HWND handle, UINT message, WPARAM wparam, LPARAM) override {
    FAULT(FALSE);
    Object* window = Find(L"window", Name(handle));
    REFUSE_IF(window == nullptr, ERROR_INVALID_WINDOW_HANDLE, FALSE);
    Object* process = Find(L"process", (*window)[L"process"]);
    bool tray = process != nullptr && (*process)[L"role"] == L"tray" && message == WM_USER + 2;
    bool help = process != nullptr && (*process)[L"role"] == L"help" && message == WM_SYSCOMMAND &&
                wparam == SC_CLOSE;
    int64_t after =
        process != nullptr ? process->Number(tray ? L"exit-after" : L"closes-after", 100) : -1;
    if ((tray || help) && after >= 0) {
      std::wstring id = process->name;
      bool abandons = !(*process)[L"abandons"].empty();
      events.emplace(now + after, [this, id, tray, abandons] {
        Object* mutex = Find(L"mutex", kTrayMutex);
        if (tray && !abandons && mutex != nullptr && (*mutex)[L"owner"] == id) {
          (*mutex)[L"owner"] = L"";
        }
        End(id);
      });
    }
    return TRUE;
  }

  BOOL IsWindow(HWND window) override { return Find(L"window", Name(window)) != nullptr; }
  SHORT GetAsyncKeyState(int key) override {
    return key == VK_SHIFT && Machine().Number(L"shift") ? SHORT{-32767} : 0;
  }

  // The dialog's procedure runs as the dialog manager runs it; the user presses
  // Close (or Escape).
  INT_PTR DialogBoxParamW(HINSTANCE, LPCWSTR dialog, HWND owner, DLGPROC procedure,
                          LPARAM parameter) override {
    FAULT(-1);
    REFUSE_IF(dialog != MAKEINTRESOURCEW(101), ERROR_RESOURCE_NAME_NOT_FOUND, -1);
    REFUSE_IF(owner != nullptr && !IsWindow(owner), ERROR_INVALID_WINDOW_HANDLE, -1);
    open_dialog_ = reinterpret_cast<HWND>(0x7fff0000);
    Make(L"window", Name(open_dialog_));
    dialog_ended_ = dialog_visible_ = false;
    dialogs.push_back({owner});
    procedure(open_dialog_, WM_INITDIALOG, 0, parameter);
    ShowWindow(open_dialog_, SW_SHOWNORMAL);  // the dialog manager's own
    if (!dialog_visible_) {
      violations.push_back("the log dialog is not visible");
    } else {
      procedure(open_dialog_, WM_COMMAND, Machine()[L"user"] == L"escape" ? IDCANCEL : IDOK, 0);
    }
    if (!dialog_ended_) {
      violations.push_back("the log dialog never ended");
    }
    Erase(L"window", Name(open_dialog_));
    open_dialog_ = nullptr;
    return dialogs.back().result;
  }

  BOOL EndDialog(HWND dialog, INT_PTR result) override {
    REFUSE_IF(dialog != open_dialog_ || dialog == nullptr, ERROR_INVALID_WINDOW_HANDLE, FALSE);
    dialog_ended_ = true;
    dialogs.back().result = result;
    return TRUE;
  }

  BOOL SetDlgItemTextW(HWND dialog, int item, LPCWSTR text) override {
    FAULT(FALSE);
    REFUSE_IF(dialog != open_dialog_ || item != 1001, ERROR_CONTROL_ID_NOT_FOUND, FALSE);
    dialogs.back().text = text;
    return TRUE;
  }

  BOOL SetWindowTextW(HWND window, LPCWSTR text) override {
    FAULT(FALSE);
    REFUSE_IF(window != open_dialog_ || window == nullptr, ERROR_INVALID_WINDOW_HANDLE, FALSE);
    dialogs.back().title = text;
    return TRUE;
  }

  // A program started hidden has its first ShowWindow hide the window, whatever
  // it asked for.
  BOOL ShowWindow(HWND window, int command) override {
    bool hide = command == SW_HIDE || (Machine()[L"started"] == L"hidden" && !shown_once_);
    shown_once_ = true;
    bool was = window == open_dialog_ && dialog_visible_;
    dialog_visible_ = window == open_dialog_ ? !hide : dialog_visible_;
    return was;
  }

  HWINSTA GetProcessWindowStation() override {
    FAULT(nullptr);
    return kStation;
  }

  BOOL GetUserObjectInformationW(HANDLE object, int index, PVOID info, DWORD size,
                                 LPDWORD needed) override {
    FAULT(FALSE);
    REFUSE_IF(object != kStation || index != UOI_FLAGS || size < sizeof(USEROBJECTFLAGS),
              ERROR_INVALID_PARAMETER, FALSE);
    *needed = sizeof(USEROBJECTFLAGS);
    *static_cast<USEROBJECTFLAGS*>(info) =
        USEROBJECTFLAGS{FALSE, FALSE, Machine()[L"station"] == L"hidden" ? 0u : WSF_VISIBLE};
    return TRUE;
  }

  // ---------------------------------------------------------------- mutexes and programs

  // A mutex lives while a handle to it is open: the program's, or a running
  // tray companion's (which owns the tray's mutex from its start).
  HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL owned, LPCSTR name) override {
    FAULT(nullptr);
    Object& mutex = Make(L"mutex", Widen(name));
    bool created = mutex.Number(L"handles") == 0 && mutex[L"owner"].empty();
    mutex[L"handles"] = std::to_wstring(mutex.Number(L"handles") + 1);
    mutex[L"owner"] = created && owned ? L"1" : mutex[L"owner"];
    SetLastError(created ? 0 : ERROR_ALREADY_EXISTS);
    return NewHandle({'x', Widen(name)});
  }

  // A wait on a mutex lets the other programs run until it is free or the time
  // is up.
  DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) override {
    FAULT(WAIT_FAILED);
    Handle* waited = Opened(handle, 'x');
    REFUSE_IF(waited == nullptr, ERROR_INVALID_HANDLE, WAIT_FAILED);
    Object& mutex = Make(L"mutex", waited->name);
    uint64_t deadline = now + milliseconds;
    while (!mutex[L"owner"].empty() && mutex[L"owner"] != L"1") {
      if (milliseconds == INFINITE && events.empty()) {
        violations.push_back("a wait without end");
        return WAIT_FAILED;
      }
      if (events.empty() || (milliseconds != INFINITE && events.begin()->first > deadline)) {
        Advance(deadline);
        return WAIT_TIMEOUT;
      }
      Advance(events.begin()->first);
    }
    mutex[L"owner"] = L"1";
    bool abandoned = !mutex[L"abandoned"].empty();
    mutex[L"abandoned"] = L"";
    return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
  }

  BOOL CreateProcessW(LPCWSTR application, LPWSTR command_line, LPSECURITY_ATTRIBUTES,
                      LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW,
                      LPPROCESS_INFORMATION process) override {
    FAULT(FALSE);
    std::wstring line = command_line, image = application != nullptr ? application : L"";
    if (image.empty()) {
      image = line[0] == L'"' ? line.substr(1, line.find(L'"', 1) - 1)
                              : line.substr(0, line.find(L' '));
    }
    REFUSE_IF(Find(L"file", Key(image)) == nullptr, ERROR_FILE_NOT_FOUND, FALSE);
    Object* program = Find(L"program", Key(image).substr(Key(image).rfind(L'\\') + 1));
    int id = Start(image, line, program != nullptr ? *program : Object{});
    *process = {NewHandle({'P', image}), NewHandle({'t', image}), static_cast<DWORD>(id), 1};
    return TRUE;
  }

  DWORD GetCurrentProcessId() override { return 1; }
  BOOL ProcessIdToSessionId(DWORD process, DWORD* session) override {
    FAULT(FALSE);
    REFUSE_IF(process != GetCurrentProcessId(), ERROR_INVALID_PARAMETER, FALSE);
    *session = static_cast<DWORD>(Machine().Number(L"session", 1));
    return TRUE;
  }

  // ---------------------------------------------------------------- the Restart Manager

  DWORD RmStartSession(DWORD* session, DWORD, WCHAR key[]) override {
    FAULT(last_error_);
    *session = static_cast<DWORD>(reinterpret_cast<uintptr_t>(NewHandle({'r', L""})));
    key[0] = 0;
    return ERROR_SUCCESS;
  }

  DWORD RmRegisterResources(DWORD session, UINT file_count, LPCWSTR files[], UINT,
                            RM_UNIQUE_PROCESS[], UINT, LPCWSTR[]) override {
    FAULT(last_error_);
    Handle* handle = Opened(reinterpret_cast<HANDLE>(uintptr_t{session}), 'r');
    REFUSE_IF(handle == nullptr, ERROR_INVALID_HANDLE, DWORD{ERROR_INVALID_HANDLE});
    for (UINT i = 0; i < file_count; ++i) {
      handle->name += Fold(Key(files[i])) + L"|";
    }
    return ERROR_SUCCESS;
  }

  // Every program whose image is a registered file ends, in whatever session;
  // with RmShutdownOnlyRegistered none does while one of them is not
  // registered for a restart ("registered=0": a companion of an older build).
  DWORD RmShutdown(DWORD session, ULONG flags, RM_WRITE_STATUS_CALLBACK) override {
    FAULT(last_error_);
    Handle* handle = Opened(reinterpret_cast<HANDLE>(uintptr_t{session}), 'r');
    REFUSE_IF(handle == nullptr, ERROR_INVALID_HANDLE, DWORD{ERROR_INVALID_HANDLE});
    std::vector<std::wstring> using_file;
    bool all_registered = true;
    for (Object* process : Each(L"process")) {
      std::wstring image = (*process)[L"command"];
      image = image[0] == L'"' ? image.substr(1, image.find(L'"', 1) - 1) : image;
      if (handle->name.find(Fold(Key(image)) + L"|") != std::wstring::npos) {
        using_file.push_back(process->name);
        all_registered = all_registered && (*process)[L"registered"] != L"0";
      }
    }
    if ((flags & RmShutdownOnlyRegistered) != 0 && !all_registered) {
      return 350;  // ERROR_FAIL_NOACTION_REBOOT: nothing was shut down
    }
    for (const std::wstring& id : using_file) {
      End(id);
    }
    return ERROR_SUCCESS;
  }

  DWORD RmEndSession(DWORD session) override {
    return Close(reinterpret_cast<HANDLE>(uintptr_t{session}), "r", __func__)
               ? ERROR_SUCCESS
               : ERROR_INVALID_HANDLE;
  }

  BOOL GetVersionExA(LPOSVERSIONINFOA version) override {
    FAULT(FALSE);
    REFUSE_IF(version->dwOSVersionInfoSize < sizeof(OSVERSIONINFOA), ERROR_INSUFFICIENT_BUFFER,
              FALSE);
    wchar_t* minor = nullptr;
    version->dwMajorVersion = std::wcstoul(Machine()[L"windows"].c_str(), &minor, 10);
    version->dwMinorVersion = std::wcstoul(minor + (*minor == L'.'), nullptr, 10);
    version->dwPlatformId = VER_PLATFORM_WIN32_NT;
    return TRUE;
  }

  // ------------------------------------------------------- texts, time and the command line

  DWORD GetLastError() override { return last_error_; }
  void SetLastError(DWORD error) override { last_error_ = error; }
  void Sleep(DWORD milliseconds) override { Advance(now + milliseconds); }
  DWORD GetTickCount() override { return static_cast<DWORD>(Machine().Number(L"ticks") + now); }

  // System texts come from the platform's own table, in a block of the model's.
  DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD message, DWORD language, LPWSTR buffer,
                       DWORD size, va_list* arguments) override {
    FAULT(0);
    LPWSTR text = nullptr;
    if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) == 0 ||
        ::FormatMessageW(flags, source, message, language, reinterpret_cast<LPWSTR>(&text), size,
                         arguments) == 0) {
      return 0;
    }
    size_t length = std::wcslen(text);
    auto* copy = static_cast<wchar_t*>(Guarded((length + 1) * sizeof(wchar_t)));
    blocks_[copy] = {'l', (length + 1) * sizeof(wchar_t)};
    std::wmemcpy(copy, text, length + 1);
    ::LocalFree(text);
    *reinterpret_cast<LPWSTR*>(buffer) = copy;
    return static_cast<DWORD>(length);
  }

  int MultiByteToWideChar(UINT code_page, DWORD flags, LPCCH text, int bytes, LPWSTR buffer,
                          int chars) override {
    FAULT(0);
    CheckRoom(__func__, buffer, static_cast<size_t>(chars) * sizeof(wchar_t));
    return ::MultiByteToWideChar(code_page, flags, text, bytes, buffer, chars);
  }

  LPWSTR GetCommandLineW() override { return command_line_.data(); }
  // The platform splits the line; the vector is copied into a block of the model's.
  LPWSTR* CommandLineToArgvW(LPCWSTR line, int* count) override {
    FAULT(nullptr);
    LPWSTR* real = ::CommandLineToArgvW(line, count);
    size_t bytes = (*count + 1) * sizeof(LPWSTR);
    for (int i = 0; i < *count; ++i) {
      bytes += (std::wcslen(real[i]) + 1) * sizeof(wchar_t);
    }
    auto* copy = static_cast<LPWSTR*>(Guarded(bytes));
    blocks_[copy] = {'l', bytes};
    auto* text = reinterpret_cast<wchar_t*>(copy + *count + 1);
    for (int i = 0; i < *count; ++i) {
      copy[i] = text;
      text = std::wcscpy(text, real[i]) + std::wcslen(real[i]) + 1;
    }
    copy[*count] = nullptr;
    ::LocalFree(real);
    return copy;
  }

  BOOL SetDefaultDllDirectories(DWORD flags) override {
    FAULT(FALSE);
    objects.remove_if([](const Object& o) { return o.kind == L"dll-search"; });
    Make(L"dll-search", std::to_wstring(flags));
    return TRUE;
  }

  BOOL SetDllDirectoryW(LPCWSTR directory) override {
    FAULT(FALSE);
    objects.remove_if([](const Object& o) { return o.kind == L"dll-directory"; });
    Make(L"dll-directory", directory);
    return TRUE;
  }

 private:
  struct Handle {
    char kind;  // m: service manager, s: service, p: printer, k: key, f: file,
                // x: mutex, P: process, t: thread, r: Restart Manager session
    std::wstring name;
    DWORD access = 0, share = 0;
    size_t position = 0;
  };

  // Counts a failable call; true, with the error set, when it must fail.
  bool Failing(const char* call) {
    Advance(now + Machine().Number(L"slow-" + Widen(call)));
    ++failable;
    for (Object* fault : Each(L"fail")) {
      if (fault->name == L"*" || fault->name == Widen(call)) {
        int64_t n = fault->Number(L"seen") + 1, nth = fault->Number(L"nth", 1);
        int64_t times = fault->Number(L"times", 1);
        (*fault)[L"seen"] = std::to_wstring(n);
        if (n >= nth && (times < 0 || n < nth + times)) {
          int64_t error = fault->Number(L"error");
          last_error_ = error != 0 ? static_cast<DWORD>(error) : UsualError(call);
          failed.push_back(call);
          return true;
        }
      }
    }
    return false;
  }

  HANDLE NewHandle(Handle handle) {
    next_handle_ += 4;
    handles_[next_handle_] = std::move(handle);
    return reinterpret_cast<HANDLE>(next_handle_);
  }

  Handle* Opened(HANDLE handle, char kind) {
    auto found = handles_.find(reinterpret_cast<uintptr_t>(handle));
    return found != handles_.end() && found->second.kind == kind ? &found->second : nullptr;
  }

  bool Close(HANDLE handle, const char* kinds, const char* call) {
    auto found = handles_.find(reinterpret_cast<uintptr_t>(handle));
    if (found == handles_.end() || std::strchr(kinds, found->second.kind) == nullptr) {
      if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
        violations.push_back(std::string(call) + " of a handle that is not open");
      }
      return last_error_ = ERROR_INVALID_HANDLE, false;
    }
    // The program's last handle gone, so is its ownership.
    if (Object* mutex = found->second.kind == 'x' ? Find(L"mutex", found->second.name) : nullptr) {
      (*mutex)[L"handles"] = std::to_wstring(mutex->Number(L"handles") - 1);
      (*mutex)[L"owner"] =
          (*mutex)[L"handles"] == L"0" && (*mutex)[L"owner"] == L"1" ? L"" : (*mutex)[L"owner"];
    }
    handles_.erase(found);
    return TRUE;
  }

  void* Allocate(char kind, size_t bytes, bool zero) {
    int n = ++allocations, nth = static_cast<int>(Machine().Number(L"out-of-memory"));
    int times = static_cast<int>(Machine().Number(L"out-of-memory-times", 1));
    REFUSE_IF(nth > 0 && n >= nth && (times < 0 || n < nth + times), ERROR_NOT_ENOUGH_MEMORY,
              nullptr);
    void* block = Guarded(bytes);
    std::memset(block, zero ? 0 : 0xCD, bytes);
    blocks_[block] = {kind, bytes};
    return block;
  }

  bool Free(void* block, char kind) {
    auto found = blocks_.find(block);
    if (block == nullptr || found == blocks_.end() || found->second.first != kind) {
      if (block != nullptr) {
        violations.push_back(std::string("a block freed twice or by the wrong call: ") + kind);
      }
      return false;
    }
    blocks_.erase(found);
    Unguard(block);
    return true;
  }

  // Whether a call was told of more room than the block has.
  void CheckRoom(const char* call, const void* buffer, size_t bytes) {
    auto after = blocks_.upper_bound(const_cast<void*>(buffer));
    if (buffer == nullptr || after == blocks_.begin()) {
      return;
    }
    auto block = std::prev(after);
    auto offset = static_cast<const char*>(buffer) - static_cast<const char*>(block->first);
    if (static_cast<size_t>(offset) < block->second.second &&
        offset + bytes > block->second.second) {
      violations.push_back(std::string(call) + " told of more room than its block has");
    }
  }

  // A link ("link" PATH to=TARGET) that a path runs through leads to its target.
  std::wstring Resolve(const std::wstring& path) {
    std::wstring key = Key(path);
    for (Object* link : Each(L"link")) {
      std::wstring name = Fold(link->name);
      if (Fold(key).rfind(name, 0) == 0 &&
          (key.size() == name.size() || key[name.size()] == L'\\')) {
        return Key((*link)[L"to"]) + key.substr(name.size());
      }
    }
    return key;
  }

  // Whether a handle is the service's, with that access.
  bool Permits(SC_HANDLE handle, DWORD access) {
    Handle* service = Opened(handle, 's');
    return service != nullptr && (service->access & access) == access;
  }

  // The two-call protocol of the spooler's queries: the records of `items`,
  // their strings packed after them.
  template <typename Record, typename Fill>
  BOOL Deliver(const char* call, const std::vector<Object*>& items, LPBYTE buffer, DWORD size,
               LPDWORD needed, LPDWORD returned, Fill fill) {
    Packer count{nullptr, 0, items.size() * sizeof(Record)};
    for (const Object* item : items) {
      Record scratch{};
      fill(count, scratch, *item);
    }
    *needed = static_cast<DWORD>(count.total);
    if (returned != nullptr) {
      *returned = 0;
    }
    if (items.empty() && returned != nullptr) {
      return TRUE;  // nothing to list: the size query itself succeeds
    }
    CheckRoom(call, buffer, size);
    REFUSE_IF(buffer == nullptr || size < count.total, ERROR_INSUFFICIENT_BUFFER, FALSE);
    Packer write{buffer, count.total, 0};
    for (size_t i = 0; i < items.size(); ++i) {
      reinterpret_cast<Record*>(buffer)[i] = Record{};
      fill(write, reinterpret_cast<Record*>(buffer)[i], *items[i]);
    }
    if (returned != nullptr) {
      *returned = static_cast<DWORD>(items.size());
    }
    return TRUE;
  }

  // The printer of a handle; fails as the spooler does.
  Object* PrinterOf(const char* call, HANDLE handle) {
    Handle* open = Opened(handle, 'p');
    if (Failing(call)) {
      return nullptr;
    }
    SPOOLER_RUNS(nullptr);
    Object* printer = open != nullptr ? Find(L"printer", open->name) : nullptr;
    REFUSE_IF(printer == nullptr, ERROR_INVALID_HANDLE, nullptr);
    return printer;
  }

  DWORD ReadData(const char* call, HANDLE handle, LPCSTR key, LPCSTR value, LPDWORD type,
                 LPBYTE data, DWORD size, LPDWORD needed) {
    Object* printer = PrinterOf(call, handle);
    Object* found = printer != nullptr
                        ? Find(L"data", printer->name + L"|" + Widen(key) + L"\\" + Widen(value))
                        : nullptr;
    if (found == nullptr) {
      return printer == nullptr ? GetLastError() : ERROR_FILE_NOT_FOUND;
    }
    const std::wstring& bytes = (*found)[L"bytes"];
    CheckRoom(call, data, size);
    *needed = static_cast<DWORD>(bytes.size());
    *type = static_cast<DWORD>(found->Number(L"type"));
    if (size < *needed) {
      return ERROR_MORE_DATA;
    }
    std::transform(bytes.begin(), bytes.end(), data,
                   [](wchar_t c) { return static_cast<BYTE>(c); });
    return ERROR_SUCCESS;
  }

  DWORD WriteData(const char* call, HANDLE handle, LPCSTR key, LPCSTR value, DWORD type,
                  LPBYTE data, DWORD size) {
    Object* printer = PrinterOf(call, handle);
    if (printer == nullptr) {
      return GetLastError();
    }
    Object& stored = Make(L"data", printer->name + L"|" + Widen(key) + L"\\" + Widen(value));
    stored[L"type"] = std::to_wstring(type);
    stored[L"bytes"] = std::wstring(data, data + size);
    return ERROR_SUCCESS;
  }

  DWORD last_error_ = 0;
  std::wstring command_line_;
  std::map<uintptr_t, Handle> handles_;
  std::map<void*, std::pair<char, size_t>> blocks_;
  uintptr_t next_handle_ = 0x1000;
  HWND open_dialog_ = nullptr;
  bool dialog_ended_ = false, dialog_visible_ = false, shown_once_ = false;
};

}  // namespace

std::unique_ptr<Sim> Sim::New() {
  return std::make_unique<Windows>();
}

}  // namespace sim
