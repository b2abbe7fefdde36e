// The simulated Windows' machinery and every part of it but the spooler: the
// clock, faults, handles, memory, files, the registry, the spooler service,
// windows, dialogs, mutexes and programs.
#include "sim/sim.h"

#include <cstdlib>
#include <cstring>

namespace sim {
namespace {

constexpr size_t kGuard = 16;
constexpr char kTrayMutex[] = "{3F6D2C81-7B4E-4A19-9C55-1E2D8A0B7F46}";
constexpr wchar_t kTrayClass[] = L"lqs::{6B0E4D27-91A3-4F58-B2C4-7D19E35A0C8B}";

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

// The full path: a relative one is taken from the current directory, as the
// platform would, and a doubled backslash is one.
std::wstring Key(std::wstring path) {
  for (wchar_t& c : path) {
    c = c == L'/' ? L'\\' : c;
  }
  bool full =
      (path.size() > 2 && path[1] == L':' && path[2] == L'\\') || path.rfind(L"\\\\", 0) == 0;
  path = full ? path : L"C:\\Users\\Me\\" + path;
  for (size_t at = path.find(L"\\\\", 1); at != std::wstring::npos; at = path.find(L"\\\\", 1)) {
    path.erase(at, 1);
  }
  return path;
}

std::wstring Parent(const std::wstring& path) {
  size_t cut = path.rfind(L'\\');
  return cut == std::wstring::npos ? L"" : path.substr(0, cut);
}

// The build and the size of the fixed part of a file's version resource; a
// build of -1 when it has none.
std::pair<int, UINT> VersionOf(const File* file) {
  size_t at = file != nullptr ? file->bytes.find("version=") : std::string::npos;
  if (at == std::string::npos) {
    return {-1, 0};
  }
  char* end = nullptr;
  int build = static_cast<int>(std::strtol(file->bytes.c_str() + at + 8, &end, 10));
  return {build, *end == '/' ? std::strtoul(end + 1, nullptr, 10) : sizeof(VS_FIXEDFILEINFO)};
}

}  // namespace

std::wstring Fold(std::wstring text) {
  for (wchar_t& c : text) {
    c = c >= L'a' && c <= L'z' ? c - 32 : c;
  }
  return text;
}

Sim::~Sim() {
  for (auto& [block, _] : blocks_) {
    std::free(block);
  }
}

// ---------------------------------------------------------------- machinery

void Sim::Advance(uint64_t until) {
  while (!events.empty() && events.begin()->first <= until) {
    auto event = events.begin();
    now = std::max(now, event->first);
    auto action = std::move(event->second);
    events.erase(event);
    action();
  }
  now = std::max(now, until);
}

bool Sim::Failing(const char* call) {
  if (auto duration = durations.find(call); duration != durations.end()) {
    Advance(now + duration->second);
  }
  ++failable;
  for (Fault& fault : faults) {
    int n = fault.call == "*" || fault.call == call ? ++fault.seen : 0;
    if (n >= fault.nth && n > 0 && (fault.times < 0 || n < fault.nth + fault.times)) {
      last_error_ = fault.error != 0 ? fault.error : UsualError(call);
      failed.push_back(call);
      return true;
    }
  }
  return false;
}

HANDLE Sim::NewHandle(Handle handle) {
  next_handle_ += 4;
  handles_[next_handle_] = std::move(handle);
  return reinterpret_cast<HANDLE>(next_handle_);
}

Sim::Handle* Sim::Find(HANDLE handle, char kind) {
  auto found = handles_.find(reinterpret_cast<uintptr_t>(handle));
  return found != handles_.end() && found->second.kind == kind ? &found->second : nullptr;
}

bool Sim::Close(HANDLE handle, const char* kinds, const char* call) {
  auto found = handles_.find(reinterpret_cast<uintptr_t>(handle));
  if (found == handles_.end() || std::strchr(kinds, found->second.kind) == nullptr) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
      violations.push_back(std::string(call) + " of a handle that is not open");
    }
    return Fail(ERROR_INVALID_HANDLE);
  }
  if (found->second.kind == 'x') {
    auto mutex = mutexes.find(std::string(found->second.name.begin(), found->second.name.end()));
    if (--mutex->second.handles <= 0 && mutex->second.holders.empty()) {
      mutexes.erase(mutex);
    }
  }
  handles_.erase(found);
  return TRUE;
}

void* Sim::Allocate(char kind, size_t bytes, bool zero, bool counted) {
  int n = counted ? ++allocations : 0;
  if (counted && alloc_fail_nth > 0 && n >= alloc_fail_nth &&
      (alloc_fail_times < 0 || n < alloc_fail_nth + alloc_fail_times)) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY), nullptr;
  }
  auto* block = static_cast<unsigned char*>(std::malloc(bytes + kGuard));
  std::memset(block, zero ? 0 : 0xCD, bytes);
  std::memset(block + bytes, 0xFD, kGuard);
  blocks_[block] = {kind, bytes};
  return block;
}

bool Sim::Free(void* block, char kind) {
  auto found = blocks_.find(block);
  if (block == nullptr || found == blocks_.end() || found->second.kind != kind) {
    if (block != nullptr) {
      violations.push_back(std::string("a block freed twice or by the wrong call: ") + kind);
    }
    return false;
  }
  auto* guard = static_cast<unsigned char*>(block) + found->second.size;
  if (std::any_of(guard, guard + kGuard, [](unsigned char c) { return c != 0xFD; })) {
    violations.push_back("a block written past its end");
  }
  blocks_.erase(found);
  std::free(block);
  return true;
}

void Sim::CheckRoom(const char* call, const void* buffer, size_t bytes) {
  auto after = blocks_.upper_bound(const_cast<void*>(buffer));
  if (buffer == nullptr || after == blocks_.begin()) {
    return;
  }
  auto block = std::prev(after);
  auto offset = static_cast<const char*>(buffer) - static_cast<const char*>(block->first);
  if (static_cast<size_t>(offset) < block->second.size && offset + bytes > block->second.size) {
    violations.push_back(std::string(call) + " told of more room than its block has");
  }
}

std::vector<std::string> Sim::Leaks() const {
  std::vector<std::string> leaks = violations;
  for (const auto& [value, handle] : handles_) {
    leaks.push_back(std::string("a handle left open: ") + handle.kind);
  }
  for (const auto& [block, info] : blocks_) {
    leaks.push_back(std::string("a block left allocated: ") + info.kind + " " +
                    std::to_string(info.size));
  }
  return leaks;
}

LPVOID Sim::HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes) {
  auto found = blocks_.find(block);
  if (found == blocks_.end()) {
    violations.push_back("HeapReAlloc of a block that is not live");
    return nullptr;
  }
  size_t old = found->second.size;
  void* moved = HeapAlloc(heap, flags, bytes);
  if (moved != nullptr) {  // it always moves: a caller that keeps the old pointer is caught
    std::memcpy(moved, block, std::min(old, bytes));
    Free(block, 'h');
  }
  return moved;
}

// ---------------------------------------------------------------- files

File& Sim::Put(const std::wstring& path, std::string bytes) {
  std::wstring key = Key(path);
  for (std::wstring folder = Parent(key); folder.size() > 2; folder = Parent(folder)) {
    files[folder].folder = true;
  }
  File& file = files[key];
  file.bytes = std::move(bytes);
  return file;
}

File* Sim::Find(const std::wstring& path) {
  auto found = files.find(Key(path));
  return found != files.end() ? &found->second : nullptr;
}

void Sim::Remove(const std::wstring& path) {
  files.erase(Key(path));
}

bool Sim::Locked(const File& file) const {
  return !file.lock.empty() && (file.until == 0 || now < file.until);
}

HANDLE Sim::CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                        DWORD disposition, DWORD, HANDLE) {
  FAULT(INVALID_HANDLE_VALUE);
  std::wstring key = Key(path);
  File* file = Find(path);
  bool writing = (access & GENERIC_WRITE) != 0;
  REFUSE_IF(file == nullptr && files.count(Parent(key)) == 0, ERROR_PATH_NOT_FOUND,
            INVALID_HANDLE_VALUE);
  REFUSE_IF(file == nullptr && disposition == OPEN_EXISTING, ERROR_FILE_NOT_FOUND,
            INVALID_HANDLE_VALUE);
  REFUSE_IF(file != nullptr && file->folder, ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
  REFUSE_IF(file != nullptr && disposition == CREATE_NEW, ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
  REFUSE_IF(file != nullptr && writing && Locked(*file) && file->lock != "shared",
            ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);
  for (const auto& [value, open] : handles_) {
    REFUSE_IF(open.kind == 'f' && Fold(open.name) == Fold(key) &&
                  ((writing && (open.share & FILE_SHARE_WRITE) == 0) ||
                   ((open.access & GENERIC_WRITE) != 0 && (share & FILE_SHARE_WRITE) == 0)),
              ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);
  }
  if (file == nullptr || disposition == CREATE_ALWAYS) {
    Put(path);
  }
  SetLastError(0);
  return NewHandle({'f', key, access, share});
}

BOOL Sim::ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED) {
  *read = 0;
  FAULT(FALSE);
  Handle* handle = Find(file, 'f');
  REFUSE_IF(handle == nullptr, ERROR_INVALID_HANDLE, FALSE);
  CheckRoom(__func__, buffer, size);
  const std::string& bytes = files[handle->name].bytes;
  size_t count = std::min<size_t>(size, bytes.size() - std::min(bytes.size(), handle->position));
  std::memcpy(buffer, bytes.data() + handle->position, count);
  handle->position += count;
  *read = static_cast<DWORD>(count);
  return TRUE;
}

BOOL Sim::WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED) {
  *written = 0;
  FAULT(FALSE);
  Handle* handle = Find(file, 'f');
  REFUSE_IF(handle == nullptr || (handle->access & GENERIC_WRITE) == 0, ERROR_ACCESS_DENIED, FALSE);
  std::string& bytes = files[handle->name].bytes;
  bytes.resize(std::max(bytes.size(), handle->position + size));
  std::memcpy(bytes.data() + handle->position, buffer, size);
  handle->position += size;
  *written = size;
  return TRUE;
}

BOOL Sim::DeleteFileW(LPCWSTR path) {
  FAULT(FALSE);
  std::wstring key = Key(path);
  File* file = Find(path);
  REFUSE_IF(file == nullptr && files.count(Parent(key)) == 0, ERROR_PATH_NOT_FOUND, FALSE);
  REFUSE_IF(file == nullptr, ERROR_FILE_NOT_FOUND, FALSE);
  bool held_open = file->lock == "open" || file->lock == "shared";
  REFUSE_IF(file->folder || (Locked(*file) && !held_open), ERROR_ACCESS_DENIED, FALSE);
  REFUSE_IF(Locked(*file), ERROR_SHARING_VIOLATION, FALSE);
  for (const auto& [value, handle] : handles_) {
    REFUSE_IF(handle.kind == 'f' && Fold(handle.name) == Fold(key) &&
                  (handle.share & FILE_SHARE_DELETE) == 0,
              ERROR_SHARING_VIOLATION, FALSE);
  }
  Remove(path);
  return TRUE;
}

// The program only ever queues deletions: the queue gets the path and an
// empty target, as the platform writes them.
BOOL Sim::MoveFileExW(LPCWSTR existing, LPCWSTR replacement, DWORD flags) {
  FAULT(FALSE);
  REFUSE_IF((flags & MOVEFILE_DELAY_UNTIL_REBOOT) == 0 || replacement != nullptr,
            ERROR_INVALID_PARAMETER, FALSE);
  Value* queue = Reg(kSessionManager, L"PendingFileRenameOperations");
  std::wstring added = std::wstring(L"\\??\\") + existing + L'\0' + L'\0';
  std::string bytes(reinterpret_cast<const char*>(added.data()), added.size() * 2);
  if (queue == nullptr || queue->data.size() < 2) {
    SetReg(kSessionManager, L"PendingFileRenameOperations", {REG_MULTI_SZ, bytes + '\0' + '\0'});
  } else {
    queue->data.insert(queue->data.size() - 2, bytes);
  }
  return TRUE;
}

DWORD Sim::GetFileAttributesW(LPCWSTR path) {
  FAULT(INVALID_FILE_ATTRIBUTES);
  File* file = Find(path);
  REFUSE_IF(file == nullptr,
            files.count(Parent(Key(path))) != 0 ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND,
            INVALID_FILE_ATTRIBUTES);
  return file->folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
}

// A name that does not fit is cut to the buffer, which it fills.
DWORD Sim::GetModuleFileNameW(HMODULE, LPWSTR buffer, DWORD size) {
  FAULT(0);
  DWORD count = std::min<DWORD>(static_cast<DWORD>(module.size()), size - 1);
  std::wmemcpy(buffer, module.c_str(), count);
  buffer[count] = 0;
  REFUSE_IF(count < module.size(), ERROR_INSUFFICIENT_BUFFER, size);
  return count;
}

UINT Sim::GetSystemDirectoryW(LPWSTR buffer, UINT size) {
  FAULT(0);
  if (system.size() + 1 > size) {
    return static_cast<UINT>(system.size() + 1);
  }
  std::wmemcpy(buffer, system.c_str(), system.size() + 1);
  return static_cast<UINT>(system.size());
}

// A version block: "SIMV", the bytes of the fixed part it holds, the part.
DWORD Sim::GetFileVersionInfoSizeW(LPCWSTR path, LPDWORD handle) {
  FAULT(0);
  *handle = 0;
  REFUSE_IF(VersionOf(Find(path)).first < 0, ERROR_RESOURCE_TYPE_NOT_FOUND, 0);
  return 8 + sizeof(VS_FIXEDFILEINFO);
}

BOOL Sim::GetFileVersionInfoW(LPCWSTR path, DWORD, DWORD size, LPVOID data) {
  FAULT(FALSE);
  auto [build, fixed] = VersionOf(Find(path));
  REFUSE_IF(build < 0, ERROR_RESOURCE_TYPE_NOT_FOUND, FALSE);
  CheckRoom(__func__, data, size);
  unsigned char block[8 + sizeof(VS_FIXEDFILEINFO)] = {'S', 'I', 'M', 'V'};
  std::memcpy(block + 4, &fixed, 4);
  VS_FIXEDFILEINFO info{
      0xFEEF04BD, 0x10000, 0x10000, static_cast<DWORD>(build), 0x10000, static_cast<DWORD>(build)};
  std::memcpy(block + 8, &info, sizeof(info));
  std::memcpy(data, block, std::min<size_t>(size, sizeof(block)));
  return TRUE;
}

BOOL Sim::VerQueryValueW(LPCVOID block, LPCWSTR sub_block, LPVOID* buffer, PUINT length) {
  FAULT(FALSE);
  const auto* bytes = static_cast<const unsigned char*>(block);
  REFUSE_IF(std::wcscmp(sub_block, L"\\") != 0 || std::memcmp(bytes, "SIMV", 4) != 0,
            ERROR_RESOURCE_TYPE_NOT_FOUND, FALSE);
  *buffer = const_cast<unsigned char*>(bytes + 8);
  std::memcpy(length, bytes + 4, sizeof(UINT));
  return TRUE;
}

// ---------------------------------------------------------------- registry

Value* Sim::Reg(const std::wstring& key, const std::wstring& name) {
  auto found = registry.find(key);
  auto value = found != registry.end() ? found->second.find(name) : decltype(found->second.end()){};
  return found != registry.end() && value != found->second.end() ? &value->second : nullptr;
}

void Sim::SetReg(const std::wstring& key, const std::wstring& name, Value value) {
  for (std::wstring path = key; !path.empty(); path = Parent(path)) {
    registry[path];
  }
  registry[key].insert_or_assign(name, std::move(value));
}

LSTATUS Sim::RegOpenKeyExA(HKEY root, LPCSTR subkey, DWORD, REGSAM access, PHKEY result) {
  *result = nullptr;
  FAULT(static_cast<LSTATUS>(last_error_));
  std::wstring path = root == HKEY_LOCAL_MACHINE ? L"HKLM\\" : L"HKCU\\";
  path += Widen(subkey);
  if (registry.count(path) == 0) {
    return ERROR_FILE_NOT_FOUND;
  }
  *result = static_cast<HKEY>(NewHandle({'k', path, access}));
  return ERROR_SUCCESS;
}

LSTATUS Sim::RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data,
                              LPDWORD size) {
  FAULT(static_cast<LSTATUS>(last_error_));
  Handle* handle = Find(key, 'k');
  Value* value = handle != nullptr ? Reg(handle->name, name) : nullptr;
  if (value == nullptr) {
    return handle == nullptr ? ERROR_INVALID_HANDLE : ERROR_FILE_NOT_FOUND;
  }
  if (type != nullptr) {
    *type = value->type;
  }
  CheckRoom(__func__, data, data != nullptr ? *size : 0);
  DWORD room = *size;
  *size = static_cast<DWORD>(value->data.size());
  if (data != nullptr && room < value->data.size()) {
    return ERROR_MORE_DATA;
  }
  if (data != nullptr) {
    std::memcpy(data, value->data.data(), value->data.size());
  }
  return ERROR_SUCCESS;
}

LSTATUS Sim::RegSetValueExW(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE* data,
                            DWORD size) {
  FAULT(static_cast<LSTATUS>(last_error_));
  Handle* handle = Find(key, 'k');
  if (handle == nullptr || (handle->access & KEY_SET_VALUE) == 0) {
    return handle == nullptr ? ERROR_INVALID_HANDLE : ERROR_ACCESS_DENIED;
  }
  SetReg(handle->name, name, {type, std::string(reinterpret_cast<const char*>(data), size)});
  return ERROR_SUCCESS;
}

LSTATUS Sim::RegDeleteValueA(HKEY key, LPCSTR name) {
  FAULT(static_cast<LSTATUS>(last_error_));
  Handle* handle = Find(key, 'k');
  if (handle == nullptr || (handle->access & KEY_SET_VALUE) == 0) {
    return handle == nullptr ? ERROR_INVALID_HANDLE : ERROR_ACCESS_DENIED;
  }
  return registry[handle->name].erase(Widen(name)) != 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

// ---------------------------------------------------------------- the spooler service

SC_HANDLE Sim::OpenSCManagerW(LPCWSTR, LPCWSTR, DWORD access) {
  FAULT(nullptr);
  return static_cast<SC_HANDLE>(NewHandle({'m', L"", access}));
}

SC_HANDLE Sim::OpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access) {
  FAULT(nullptr);
  Handle* handle = Find(manager, 'm');
  REFUSE_IF(handle == nullptr || (handle->access & SC_MANAGER_CONNECT) == 0, ERROR_ACCESS_DENIED,
            nullptr);
  REFUSE_IF(Fold(name) != L"SPOOLER", ERROR_SERVICE_DOES_NOT_EXIST, nullptr);
  return static_cast<SC_HANDLE>(NewHandle({'s', L"spooler", access}));
}

bool Sim::Allowed(const char* call, SC_HANDLE handle, DWORD access) {
  if (Failing(call)) {
    return false;
  }
  Handle* spooler = Find(handle, 's');
  REFUSE_IF(spooler == nullptr || (spooler->access & access) != access, ERROR_ACCESS_DENIED, false);
  return true;
}

BOOL Sim::QueryServiceStatus(SC_HANDLE handle, LPSERVICE_STATUS status) {
  if (!Allowed(__func__, handle, SERVICE_QUERY_STATUS)) {
    return FALSE;
  }
  *status = SERVICE_STATUS{SERVICE_WIN32_SHARE_PROCESS, service};
  return TRUE;
}

BOOL Sim::StartServiceW(SC_HANDLE handle, DWORD, LPCWSTR*) {
  if (!Allowed(__func__, handle, SERVICE_START)) {
    return FALSE;
  }
  REFUSE_IF(service != SERVICE_STOPPED, ERROR_SERVICE_ALREADY_RUNNING, FALSE);
  service = SERVICE_START_PENDING;
  ++service_starts;
  if (start_time >= 0) {
    events.emplace(now + start_time, [this] {
      service = SERVICE_RUNNING;
      SpoolerStarted();
    });
  }
  return TRUE;
}

BOOL Sim::ControlService(SC_HANDLE handle, DWORD control, LPSERVICE_STATUS status) {
  if (!Allowed(__func__, handle, control == SERVICE_CONTROL_STOP ? SERVICE_STOP : ~0u)) {
    return FALSE;
  }
  *status = SERVICE_STATUS{SERVICE_WIN32_SHARE_PROCESS, service};
  REFUSE_IF(stop_refusal != 0, stop_refusal, FALSE);
  REFUSE_IF(service == SERVICE_STOPPED, ERROR_SERVICE_NOT_ACTIVE, FALSE);
  REFUSE_IF(service != SERVICE_RUNNING, ERROR_SERVICE_CANNOT_ACCEPT_CTRL, FALSE);
  service = status->dwCurrentState = SERVICE_STOP_PENDING;
  ++service_stops;
  if (stop_time >= 0) {
    events.emplace(now + stop_time, [this] {
      service = SERVICE_STOPPED;
      SpoolerStopped();
    });
  }
  return TRUE;
}

void Sim::SpoolerStarted() {
  for (const Monitor& monitor : monitors) {
    if (File* dll = Find(system + L"\\" + monitor.dll); dll != nullptr && dll->lock.empty()) {
      dll->lock = "spooler";
    }
  }
}

void Sim::SpoolerStopped() {
  for (auto& [key, file] : files) {
    file.lock = file.lock == "spooler" ? "" : file.lock;
  }
}

// ---------------------------------------------------------------- windows and dialogs

HWND Sim::AddWindow(int process, const std::wstring& class_name, const std::wstring& title) {
  next_window_ += 2;
  HWND window = reinterpret_cast<HWND>(next_window_);
  windows[window] = Window{class_name, title, process, nullptr};
  return window;
}

HWND Sim::FindWindowW(LPCWSTR class_name, LPCWSTR title) {
  FAULT(nullptr);
  for (const auto& [window, info] : windows) {
    if (Fold(info.class_name) == Fold(class_name) && (title == nullptr || info.title == title)) {
      return window;
    }
  }
  return Fail(ERROR_FILE_NOT_FOUND), nullptr;
}

BOOL Sim::PostMessageW(HWND window, UINT message, WPARAM wparam, LPARAM) {
  FAULT(FALSE);
  auto found = windows.find(window);
  REFUSE_IF(found == windows.end(), ERROR_INVALID_WINDOW_HANDLE, FALSE);
  if (found->second.on_post) {
    found->second.on_post(message, wparam);
  }
  return TRUE;
}

// The dialog's procedure is run as the dialog manager runs it; the user
// presses Close (or Escape, or nothing).
INT_PTR Sim::DialogBoxParamW(HINSTANCE, LPCWSTR dialog, HWND owner, DLGPROC procedure,
                             LPARAM parameter) {
  FAULT(-1);
  REFUSE_IF(dialog != MAKEINTRESOURCEW(101), ERROR_RESOURCE_NAME_NOT_FOUND, -1);
  REFUSE_IF(owner != nullptr && !IsWindow(owner), ERROR_INVALID_WINDOW_HANDLE, -1);
  open_dialog_ = AddWindow(1, L"#32770", L"");
  dialog_ended_ = false;
  dialogs.push_back({owner});
  procedure(open_dialog_, WM_INITDIALOG, 0, parameter);
  if (user != DialogUser::kNothing) {
    procedure(open_dialog_, WM_COMMAND, user == DialogUser::kClose ? IDOK : IDCANCEL, 0);
  }
  if (!dialog_ended_) {
    violations.push_back("the log dialog never ended");
  }
  windows.erase(open_dialog_);
  open_dialog_ = nullptr;
  return dialogs.back().result;
}

BOOL Sim::EndDialog(HWND dialog, INT_PTR result) {
  REFUSE_IF(dialog != open_dialog_ || dialog == nullptr, ERROR_INVALID_WINDOW_HANDLE, FALSE);
  dialog_ended_ = true;
  dialogs.back().result = result;
  return TRUE;
}

BOOL Sim::SetDlgItemTextW(HWND dialog, int item, LPCWSTR text) {
  FAULT(FALSE);
  REFUSE_IF(dialog != open_dialog_ || item != 1001, ERROR_CONTROL_ID_NOT_FOUND, FALSE);
  dialogs.back().text = text;
  return TRUE;
}

BOOL Sim::SetWindowTextW(HWND window, LPCWSTR text) {
  FAULT(FALSE);
  REFUSE_IF(windows.count(window) == 0, ERROR_INVALID_WINDOW_HANDLE, FALSE);
  windows[window].title = text;
  if (window == open_dialog_) {
    dialogs.back().title = text;
  }
  return TRUE;
}

// ---------------------------------------------------------------- mutexes and programs

HANDLE Sim::CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL owned, LPCSTR name) {
  FAULT(nullptr);
  Mutex& mutex = mutexes[name];
  bool created = mutex.handles == 0 && mutex.holders.empty();
  ++mutex.handles;
  mutex.owner = created && owned ? 1 : mutex.owner;
  SetLastError(created ? 0 : ERROR_ALREADY_EXISTS);
  return NewHandle({'x', Widen(name)});
}

// A wait on a mutex lets the other programs run until it is free or the time
// is up.
DWORD Sim::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  FAULT(WAIT_FAILED);
  Handle* waited = Find(handle, 'x');
  REFUSE_IF(waited == nullptr, ERROR_INVALID_HANDLE, WAIT_FAILED);
  Mutex& mutex = mutexes[std::string(waited->name.begin(), waited->name.end())];
  uint64_t deadline = now + milliseconds;
  while (mutex.owner != 0 && mutex.owner != 1) {
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
  mutex.owner = 1;
  bool abandoned = mutex.abandoned;
  mutex.abandoned = false;
  return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

int Sim::StartProgram(const std::wstring& image, const std::wstring& line) {
  int process = next_process_++;
  processes[process] = line;
  if (File* file = Find(image); file != nullptr && file->lock.empty()) {
    file->lock = "p" + std::to_string(process);
  }
  return process;
}

void Sim::EndProgram(int process) {
  if (processes.erase(process) == 0) {
    return;  // it has ended already
  }
  std::string image = "p" + std::to_string(process);
  for (auto& [key, file] : files) {
    file.lock = file.lock == image ? "" : file.lock;
  }
  std::erase_if(windows,
                [process](const auto& window) { return window.second.process == process; });
  for (auto mutex = mutexes.begin(); mutex != mutexes.end();) {
    mutex->second.abandoned = mutex->second.abandoned || mutex->second.owner == process;
    mutex->second.owner = mutex->second.owner == process ? 0 : mutex->second.owner;
    mutex->second.holders.erase(process);
    bool gone = mutex->second.handles <= 0 && mutex->second.holders.empty();
    mutex = gone ? mutexes.erase(mutex) : std::next(mutex);
  }
}

int Sim::StartTray(const std::wstring& image, TrayBehaviour behaviour) {
  int process = StartProgram(image, L"\"" + image + L"\"");
  Mutex& mutex = mutexes[kTrayMutex];
  mutex.holders.insert(process);
  mutex.owner = mutex.owner == 0 ? process : mutex.owner;
  auto show = [this, process, behaviour] {
    if (processes.count(process) == 0) {
      return;
    }
    windows[AddWindow(process, kTrayClass, L"")].on_post = [=, this](UINT message, WPARAM) {
      if (message == WM_USER + 2 && behaviour.exit_after >= 0) {
        events.emplace(now + behaviour.exit_after, [=, this] {
          Mutex& held = mutexes[kTrayMutex];
          held.owner = !behaviour.abandons && held.owner == process ? 0 : held.owner;
          EndProgram(process);
        });
      }
    };
  };
  events.emplace(now + behaviour.window_after, show);
  Advance(now);
  return process;
}

void Sim::OpenHelp(const std::wstring& title, int64_t closes_after) {
  int process = StartProgram(L"C:\\Windows\\hh.exe", L"hh.exe kvnhelp.chm");
  windows[AddWindow(process, L"HH Parent", title)].on_post = [=, this](UINT message,
                                                                       WPARAM wparam) {
    if (message == WM_SYSCOMMAND && wparam == SC_CLOSE && closes_after >= 0) {
      events.emplace(now + closes_after, [=, this] { EndProgram(process); });
    }
  };
}

BOOL Sim::CreateProcessW(LPCWSTR application, LPWSTR command_line, LPSECURITY_ATTRIBUTES,
                         LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW,
                         LPPROCESS_INFORMATION process) {
  FAULT(FALSE);
  std::wstring line = command_line, image = application != nullptr ? application : L"";
  if (image.empty()) {
    image =
        line[0] == L'"' ? line.substr(1, line.find(L'"', 1) - 1) : line.substr(0, line.find(L' '));
  }
  REFUSE_IF(Find(image) == nullptr, ERROR_FILE_NOT_FOUND, FALSE);
  std::wstring key = Fold(Key(image));
  bool tray = key.size() >= 12 && key.compare(key.size() - 12, 12, L"\\LUMTRAY.EXE") == 0;
  int id = tray ? StartTray(image, tray_program) : StartProgram(image, line);
  processes[id] = line;
  *process = {NewHandle({'P', key}), NewHandle({'t', key}), static_cast<DWORD>(id), 1};
  return TRUE;
}

BOOL Sim::GetVersionExA(LPOSVERSIONINFOA version) {
  FAULT(FALSE);
  REFUSE_IF(version->dwOSVersionInfoSize < sizeof(OSVERSIONINFOA), ERROR_INSUFFICIENT_BUFFER,
            FALSE);
  version->dwMajorVersion = windows_version >> 8;
  version->dwMinorVersion = windows_version & 0xFF;
  version->dwPlatformId = VER_PLATFORM_WIN32_NT;
  return TRUE;
}

void Sim::Restart() {
  if (Value* queue = Reg(kSessionManager, L"PendingFileRenameOperations")) {
    std::wstring text(reinterpret_cast<const wchar_t*>(queue->data.data()), queue->data.size() / 2);
    std::vector<std::wstring> strings;
    for (size_t start = 0, end = 0; start < text.size(); start = end + 1) {
      end = std::min(text.find(L'\0', start), text.size());
      strings.push_back(text.substr(start, end - start));
    }
    for (size_t i = 0; i + 1 < strings.size(); i += 2) {
      if (strings[i + 1].empty()) {
        Remove(strings[i].substr(strings[i].rfind(L"\\??\\", 0) == 0 ? 4 : 0));
      }
    }
    registry[kSessionManager].erase(L"PendingFileRenameOperations");
  }
  while (!processes.empty()) {
    EndProgram(processes.begin()->first);
  }
  for (auto& [key, file] : files) {
    file.lock.clear();
  }
  service = SERVICE_RUNNING;
  SpoolerStarted();
}

// ---------------------------------------------------------------- texts and the command line

// System texts come from the platform's own table, in a block of the model's.
DWORD Sim::FormatMessageW(DWORD flags, LPCVOID source, DWORD message, DWORD language, LPWSTR buffer,
                          DWORD size, va_list* arguments) {
  FAULT(0);
  LPWSTR text = nullptr;
  if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) == 0 ||
      ::FormatMessageW(flags, source, message, language, reinterpret_cast<LPWSTR>(&text), size,
                       arguments) == 0) {
    return 0;
  }
  size_t length = std::wcslen(text);
  auto* copy = static_cast<wchar_t*>(Allocate('l', (length + 1) * sizeof(wchar_t), false, false));
  std::wmemcpy(copy, text, length + 1);
  ::LocalFree(text);
  *reinterpret_cast<LPWSTR*>(buffer) = copy;
  return static_cast<DWORD>(length);
}

int Sim::MultiByteToWideChar(UINT code_page, DWORD flags, LPCCH text, int bytes, LPWSTR buffer,
                             int chars) {
  FAULT(0);
  CheckRoom(__func__, buffer, static_cast<size_t>(chars) * sizeof(wchar_t));
  return ::MultiByteToWideChar(code_page, flags, text, bytes, buffer, chars);
}

// The platform splits the line; the vector is copied into a block of the model's.
LPWSTR* Sim::CommandLineToArgvW(LPCWSTR line, int* count) {
  FAULT(nullptr);
  LPWSTR* real = ::CommandLineToArgvW(line, count);
  size_t bytes = (*count + 1) * sizeof(LPWSTR);
  for (int i = 0; i < *count; ++i) {
    bytes += (std::wcslen(real[i]) + 1) * sizeof(wchar_t);
  }
  auto* copy = static_cast<LPWSTR*>(Allocate('l', bytes, false, false));
  auto* text = reinterpret_cast<wchar_t*>(copy + *count + 1);
  for (int i = 0; i < *count; ++i) {
    copy[i] = text;
    text = std::wcscpy(text, real[i]) + std::wcslen(real[i]) + 1;
  }
  copy[*count] = nullptr;
  ::LocalFree(real);
  return copy;
}

BOOL Sim::SetDefaultDllDirectories(DWORD flags) {
  FAULT(FALSE);
  dll_directories = flags;
  return TRUE;
}

}  // namespace sim
