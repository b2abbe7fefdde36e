// The simulated Windows' machinery and every part of it but the spooler: the
// objects, the clock, faults, handles, memory, files, the registry, the
// spooler service, windows, dialogs, mutexes and programs.
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
constexpr char kTrayMutex[] = "{3F6D2C81-7B4E-4A19-9C55-1E2D8A0B7F46}";
constexpr wchar_t kQueue[] =
    L"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager|"
    L"PendingFileRenameOperations";

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
  std::replace(path.begin(), path.end(), L'/', L'\\');
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
std::pair<int, UINT> VersionOf(const Object* file) {
  size_t at = file != nullptr ? (*file)[L"bytes"].find(L"version=") : std::wstring::npos;
  if (at == std::wstring::npos) {
    return {-1, 0};
  }
  wchar_t* end = nullptr;
  int build = static_cast<int>(std::wcstol((*file)[L"bytes"].c_str() + at + 8, &end, 10));
  return {build, *end == L'/' ? std::wcstoul(end + 1, nullptr, 10) : sizeof(VS_FIXEDFILEINFO)};
}

const std::wstring kNothing;

}  // namespace

std::wstring Fold(std::wstring text) {
  for (wchar_t& c : text) {
    c = c >= L'a' && c <= L'z' ? c - 32 : c;
  }
  return text;
}

const std::wstring& Object::operator[](const std::wstring& key) const {
  auto found = values.find(key);
  return found != values.end() ? found->second : kNothing;
}

int64_t Object::Number(const std::wstring& key, int64_t otherwise) const {
  const std::wstring& text = (*this)[key];
  return text.empty() ? otherwise : std::wcstoll(text.c_str(), nullptr, 0);
}

Sim::~Sim() {
  for (auto& [block, _] : blocks_) {
    Unguard(block);
  }
}

std::wstring Sim::Name(const void* handle) {
  return std::to_wstring(reinterpret_cast<intptr_t>(handle));
}

// ---------------------------------------------------------------- objects and machinery

Object* Sim::Find(const std::wstring& kind, const std::wstring& name) {
  for (Object& object : objects) {
    if (object.kind == kind && Fold(object.name) == Fold(name)) {
      return &object;
    }
  }
  return nullptr;
}

Object& Sim::Make(const std::wstring& kind, const std::wstring& name) {
  Object* found = Find(kind, name);
  return found != nullptr ? *found : objects.emplace_back(Object{kind, name});
}

void Sim::Erase(const std::wstring& kind, const std::wstring& name) {
  objects.remove_if([&](const Object& o) { return o.kind == kind && Fold(o.name) == Fold(name); });
}

std::vector<Object*> Sim::Each(const std::wstring& kind) {
  std::vector<Object*> found;
  for (Object& object : objects) {
    if (object.kind == kind) {
      found.push_back(&object);
    }
  }
  return found;
}

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
  Advance(now + Machine().Number(L"slow-" + Widen(call)));
  ++failable;
  for (Object* fault : Each(L"fail")) {
    if (fault->name != L"*" && fault->name != Widen(call)) {
      continue;
    }
    int64_t n = fault->Number(L"seen") + 1, nth = fault->Number(L"nth", 1);
    (*fault)[L"seen"] = std::to_wstring(n);
    if (n >= nth && (fault->Number(L"times", 1) < 0 || n < nth + fault->Number(L"times", 1))) {
      last_error_ = fault->Number(L"error") != 0 ? static_cast<DWORD>(fault->Number(L"error"))
                                                 : UsualError(call);
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
  // The program's last handle gone, so is its ownership.
  if (Object* mutex = found->second.kind == 'x' ? Find(L"mutex", found->second.name) : nullptr) {
    (*mutex)[L"handles"] = std::to_wstring(mutex->Number(L"handles") - 1);
    (*mutex)[L"owner"] =
        (*mutex)[L"handles"] == L"0" && (*mutex)[L"owner"] == L"1" ? L"" : (*mutex)[L"owner"];
  }
  handles_.erase(found);
  return TRUE;
}

void* Sim::Allocate(char kind, size_t bytes, bool zero) {
  int n = ++allocations, nth = static_cast<int>(Machine().Number(L"out-of-memory"));
  int times = static_cast<int>(Machine().Number(L"out-of-memory-times", 1));
  REFUSE_IF(nth > 0 && n >= nth && (times < 0 || n < nth + times), ERROR_NOT_ENOUGH_MEMORY,
            nullptr);
  void* block = Guarded(bytes);
  std::memset(block, zero ? 0 : 0xCD, bytes);
  blocks_[block] = {kind, bytes};
  return block;
}

bool Sim::Free(void* block, char kind) {
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

void Sim::CheckRoom(const char* call, const void* buffer, size_t bytes) {
  auto after = blocks_.upper_bound(const_cast<void*>(buffer));
  if (buffer == nullptr || after == blocks_.begin()) {
    return;
  }
  auto block = std::prev(after);
  auto offset = static_cast<const char*>(buffer) - static_cast<const char*>(block->first);
  if (static_cast<size_t>(offset) < block->second.second && offset + bytes > block->second.second) {
    violations.push_back(std::string(call) + " told of more room than its block has");
  }
}

std::vector<std::string> Sim::Leaks() const {
  std::vector<std::string> leaks = violations;
  for (const auto& [value, handle] : handles_) {
    leaks.push_back(std::string("a handle left open: ") + handle.kind);
  }
  for (const auto& [block, info] : blocks_) {
    leaks.push_back(std::string("a block left allocated: ") + info.first);
  }
  return leaks;
}

LPVOID Sim::HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes) {
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

Object& Sim::Put(const std::wstring& path, const std::wstring& bytes) {
  std::wstring key = Key(path);
  for (std::wstring folder = Parent(key); folder.size() > 2; folder = Parent(folder)) {
    Make(L"dir", folder);
  }
  Object& file = Make(L"file", key);
  file[L"bytes"] = bytes;
  return file;
}

Object* Sim::FileAt(const std::wstring& path) {
  return Find(L"file", Key(path));
}

// A link ("link" PATH to=TARGET) anywhere in a path leads to its target.
std::wstring Sim::Resolve(const std::wstring& path) {
  std::wstring key = Key(path);
  for (int depth = 0; depth < 8; ++depth) {
    Object* link = nullptr;
    for (Object* each : Each(L"link")) {
      std::wstring name = Fold(each->name);
      link = Fold(key).rfind(name, 0) == 0 && (key.size() == name.size() || key[name.size()] == L'\\')
                 ? each
                 : link;
    }
    if (link == nullptr) {
      break;
    }
    key = Key((*link)[L"to"]) + key.substr(link->name.size());
  }
  return key;
}

bool Sim::Locked(const Object& file) const {
  return !file[L"lock"].empty() &&
         (file.Number(L"until") == 0 || now < uint64_t(file.Number(L"until")));
}

HANDLE Sim::CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                        DWORD disposition, DWORD, HANDLE) {
  FAULT(INVALID_HANDLE_VALUE);
  std::wstring key = Resolve(path);
  Object* file = Find(L"file", key);
  bool writing = (access & GENERIC_WRITE) != 0;
  REFUSE_IF(Find(L"dir", key) != nullptr, ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
  REFUSE_IF(file == nullptr && Find(L"dir", Parent(key)) == nullptr, ERROR_PATH_NOT_FOUND,
            INVALID_HANDLE_VALUE);
  REFUSE_IF(file == nullptr && disposition == OPEN_EXISTING, ERROR_FILE_NOT_FOUND,
            INVALID_HANDLE_VALUE);
  REFUSE_IF(file != nullptr && disposition == CREATE_NEW, ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
  REFUSE_IF(file != nullptr && writing && Locked(*file) && (*file)[L"lock"] != L"shared",
            ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);
  bool held_open = file != nullptr && Locked(*file) &&
                   ((*file)[L"lock"] == L"open" || (*file)[L"lock"] == L"shared");
  REFUSE_IF((access & DELETE) != 0 && held_open, ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);
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

BOOL Sim::ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED) {
  *read = 0;
  FAULT(FALSE);
  Handle* handle = Find(file, 'f');
  REFUSE_IF(handle == nullptr, ERROR_INVALID_HANDLE, FALSE);
  CheckRoom(__func__, buffer, size);
  const std::wstring& bytes = (*Find(L"file", handle->name))[L"bytes"];
  while (*read < size && handle->position < bytes.size()) {
    static_cast<BYTE*>(buffer)[(*read)++] = static_cast<BYTE>(bytes[handle->position++]);
  }
  return TRUE;
}

BOOL Sim::WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED) {
  *written = 0;
  FAULT(FALSE);
  if (file == kOutput) {
    output.append(static_cast<const char*>(buffer), size);
    *written = size;
    return TRUE;
  }
  Handle* handle = Find(file, 'f');
  REFUSE_IF(handle == nullptr || (handle->access & GENERIC_WRITE) == 0, ERROR_ACCESS_DENIED, FALSE);
  std::wstring& bytes = Make(L"file", handle->name)[L"bytes"];
  bytes.resize(std::max(bytes.size(), handle->position + size));
  for (; *written < size; ++*written) {
    bytes[handle->position++] = static_cast<const BYTE*>(buffer)[*written];
  }
  return TRUE;
}

BOOL Sim::DeleteFileW(LPCWSTR path) {
  FAULT(FALSE);
  std::wstring key = Resolve(path);
  Object* file = Find(L"file", key);
  REFUSE_IF(file == nullptr && Find(L"dir", Parent(key)) == nullptr, ERROR_PATH_NOT_FOUND, FALSE);
  REFUSE_IF(file == nullptr, Find(L"dir", key) ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND, FALSE);
  bool held_open = (*file)[L"lock"] == L"open" || (*file)[L"lock"] == L"shared";
  REFUSE_IF(Locked(*file), held_open ? ERROR_SHARING_VIOLATION : ERROR_ACCESS_DENIED, FALSE);
  for (const auto& [value, handle] : handles_) {
    REFUSE_IF(handle.kind == 'f' && Fold(handle.name) == Fold(key) &&
                  (handle.share & FILE_SHARE_DELETE) == 0,
              ERROR_SHARING_VIOLATION, FALSE);
  }
  Erase(L"file", key);
  return TRUE;
}

HANDLE Sim::GetStdHandle(DWORD which) {
  FAULT(INVALID_HANDLE_VALUE);
  return which == STD_OUTPUT_HANDLE && !Machine()[L"stdout"].empty() ? kOutput : nullptr;
}

DWORD Sim::GetFileType(HANDLE file) {
  FAULT(FILE_TYPE_UNKNOWN);
  REFUSE_IF(file != kOutput, ERROR_INVALID_HANDLE, FILE_TYPE_UNKNOWN);
  const std::wstring& type = Machine()[L"stdout"];
  return type == L"file" ? FILE_TYPE_DISK : type == L"pipe" ? FILE_TYPE_PIPE : FILE_TYPE_CHAR;
}

// The program only ever queues deletions: the queue gets the path and an
// empty target, as the platform writes them.
BOOL Sim::MoveFileExW(LPCWSTR existing, LPCWSTR replacement, DWORD flags) {
  FAULT(FALSE);
  REFUSE_IF((flags & MOVEFILE_DELAY_UNTIL_REBOOT) == 0 || replacement != nullptr,
            ERROR_INVALID_PARAMETER, FALSE);
  Object& queue = Make(L"value", kQueue);
  std::wstring& bytes = queue[L"bytes"];
  std::wstring added = std::wstring(L"\\??\\") + existing + L'\0' + L'\0';
  std::wstring encoded;
  for (wchar_t c : added) {
    encoded += {static_cast<wchar_t>(c & 0xFF), static_cast<wchar_t>(c >> 8)};
  }
  bytes.insert(bytes.size() >= 2 ? bytes.size() - 2 : 0, encoded);
  bytes += bytes.size() == encoded.size() ? std::wstring(2, L'\0') : L"";
  queue[L"type"] = std::to_wstring(REG_MULTI_SZ);
  return TRUE;
}

DWORD Sim::GetFileAttributesW(LPCWSTR path) {
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
DWORD Sim::GetFinalPathNameByHandleW(HANDLE file, LPWSTR buffer, DWORD size, DWORD flags) {
  FAULT(0);
  Handle* handle = Find(file, 'f');
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
BOOL Sim::SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class,
                                     LPVOID info, DWORD) {
  FAULT(FALSE);
  Handle* handle = Find(file, 'f');
  REFUSE_IF(handle == nullptr || info_class != FileDispositionInfo || (handle->access & DELETE) == 0,
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
DWORD Sim::GetModuleFileNameW(HMODULE, LPWSTR buffer, DWORD size) {
  FAULT(0);
  std::wstring module = Machine()[L"module"];
  DWORD count = std::min<DWORD>(static_cast<DWORD>(module.size()), size - 1);
  std::wmemcpy(buffer, module.c_str(), count);
  buffer[count] = 0;
  REFUSE_IF(count < module.size(), ERROR_INSUFFICIENT_BUFFER, size);
  return count;
}

UINT Sim::GetSystemDirectoryW(LPWSTR buffer, UINT size) {
  FAULT(0);
  std::wstring system = Machine()[L"system"];
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
  REFUSE_IF(VersionOf(Find(L"file", Key(path))).first < 0, ERROR_RESOURCE_TYPE_NOT_FOUND, 0);
  return 8 + sizeof(VS_FIXEDFILEINFO);
}

BOOL Sim::GetFileVersionInfoW(LPCWSTR path, DWORD, DWORD size, LPVOID data) {
  FAULT(FALSE);
  auto [build, fixed] = VersionOf(Find(L"file", Key(path)));
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

LSTATUS Sim::RegOpenKeyExA(HKEY root, LPCSTR subkey, DWORD, REGSAM access, PHKEY result) {
  *result = nullptr;
  FAULT(static_cast<LSTATUS>(last_error_));
  std::wstring path = (root == HKEY_LOCAL_MACHINE ? L"HKLM\\" : L"HKCU\\") + Widen(subkey);
  if (Find(L"key", path) == nullptr) {
    return ERROR_FILE_NOT_FOUND;
  }
  *result = static_cast<HKEY>(NewHandle({'k', path, access}));
  return ERROR_SUCCESS;
}

LSTATUS Sim::RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data,
                              LPDWORD size) {
  FAULT(static_cast<LSTATUS>(last_error_));
  Handle* handle = Find(key, 'k');
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
  for (size_t i = 0; data != nullptr && i < bytes.size(); ++i) {
    data[i] = static_cast<BYTE>(bytes[i]);
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
  Object& value = Make(L"value", handle->name + L"|" + name);
  value[L"type"] = std::to_wstring(type);
  value[L"bytes"] = std::wstring(data, data + size);
  return ERROR_SUCCESS;
}

LSTATUS Sim::RegDeleteValueA(HKEY key, LPCSTR name) {
  FAULT(static_cast<LSTATUS>(last_error_));
  Handle* handle = Find(key, 'k');
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

SC_HANDLE Sim::OpenSCManagerW(LPCWSTR, LPCWSTR, DWORD access) {
  FAULT(nullptr);
  return static_cast<SC_HANDLE>(NewHandle({'m', L"", access}));
}

SC_HANDLE Sim::OpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access) {
  FAULT(nullptr);
  Handle* handle = Find(manager, 'm');
  REFUSE_IF(handle == nullptr || (handle->access & SC_MANAGER_CONNECT) == 0, ERROR_ACCESS_DENIED,
            nullptr);
  REFUSE_IF(Find(L"service", name) == nullptr, ERROR_SERVICE_DOES_NOT_EXIST, nullptr);
  return static_cast<SC_HANDLE>(NewHandle({'s', name, access}));
}

bool Sim::Allowed(const char* call, SC_HANDLE handle, DWORD access) {
  if (Failing(call)) {
    return false;
  }
  Handle* spooler = Find(handle, 's');
  REFUSE_IF(spooler == nullptr || (spooler->access & access) != access, ERROR_ACCESS_DENIED, false);
  return true;
}

namespace {
const wchar_t* const kStates[] = {L"", L"stopped", L"start-pending", L"stop-pending", L"running"};

DWORD State(const Object& service) {
  return static_cast<DWORD>(std::find(kStates, kStates + 5, service[L"state"]) - kStates);
}
}  // namespace

BOOL Sim::QueryServiceStatus(SC_HANDLE handle, LPSERVICE_STATUS status) {
  if (!Allowed(__func__, handle, SERVICE_QUERY_STATUS)) {
    return FALSE;
  }
  *status = SERVICE_STATUS{SERVICE_WIN32_SHARE_PROCESS, State(*Find(L"service", L"spooler"))};
  return TRUE;
}

BOOL Sim::StartServiceW(SC_HANDLE handle, DWORD, LPCWSTR*) {
  if (!Allowed(__func__, handle, SERVICE_START)) {
    return FALSE;
  }
  Object& service = *Find(L"service", L"spooler");
  REFUSE_IF(State(service) != SERVICE_STOPPED, ERROR_SERVICE_ALREADY_RUNNING, FALSE);
  service[L"state"] = L"start-pending";
  service[L"starts"] = std::to_wstring(service.Number(L"starts") + 1);
  if (service.Number(L"start", 80) >= 0) {
    events.emplace(now + service.Number(L"start", 80), [this] { Spooler(true); });
  }
  return TRUE;
}

BOOL Sim::ControlService(SC_HANDLE handle, DWORD control, LPSERVICE_STATUS status) {
  if (!Allowed(__func__, handle, control == SERVICE_CONTROL_STOP ? SERVICE_STOP : ~0u)) {
    return FALSE;
  }
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

// A running spooler holds the DLL of every monitor; a stopped one holds none.
void Sim::Spooler(bool running) {
  Make(L"service", L"spooler")[L"state"] = running ? L"running" : L"stopped";
  for (Object* file : Each(L"file")) {
    (*file)[L"lock"] = (*file)[L"lock"] == L"spooler" ? L"" : (*file)[L"lock"];
  }
  for (Object* monitor : Each(L"monitor")) {
    Object* dll = FileAt(Machine()[L"system"] + L"\\" + (*monitor)[L"dll"]);
    if (running && dll != nullptr && (*dll)[L"lock"].empty()) {
      (*dll)[L"lock"] = L"spooler";
    }
  }
}

// ---------------------------------------------------------------- windows and dialogs

HWND Sim::FindWindowW(LPCWSTR class_name, LPCWSTR title) {
  FAULT(nullptr);
  for (Object* window : Each(L"window")) {
    if (Fold((*window)[L"class"]) == Fold(class_name) && (!title || (*window)[L"title"] == title)) {
      return reinterpret_cast<HWND>(
          static_cast<intptr_t>(std::wcstoll(window->name.c_str(), nullptr, 10)));
    }
  }
  return Fail(ERROR_FILE_NOT_FOUND), nullptr;
}

// A tray companion ends when asked to exit, a help viewer when asked to close.
BOOL Sim::PostMessageW(HWND handle, UINT message, WPARAM wparam, LPARAM) {
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
      Object* mutex = Find(L"mutex", Widen(kTrayMutex));
      if (tray && !abandons && mutex != nullptr && (*mutex)[L"owner"] == id) {
        (*mutex)[L"owner"] = L"";
      }
      End(id);
    });
  }
  return TRUE;
}

// The dialog's procedure runs as the dialog manager runs it; the user presses
// Close (or Escape, or nothing).
INT_PTR Sim::DialogBoxParamW(HINSTANCE, LPCWSTR dialog, HWND owner, DLGPROC procedure,
                             LPARAM parameter) {
  FAULT(-1);
  REFUSE_IF(dialog != MAKEINTRESOURCEW(101), ERROR_RESOURCE_NAME_NOT_FOUND, -1);
  REFUSE_IF(owner != nullptr && !IsWindow(owner), ERROR_INVALID_WINDOW_HANDLE, -1);
  open_dialog_ = reinterpret_cast<HWND>(0x7fff0000);
  Make(L"window", Name(open_dialog_));
  dialog_ended_ = false;
  dialogs.push_back({owner});
  dialog_visible_ = false;
  procedure(open_dialog_, WM_INITDIALOG, 0, parameter);
  ShowWindow(open_dialog_, SW_SHOWNORMAL);  // the dialog manager's own
  if (!dialog_visible_) {
    violations.push_back("the log dialog is not visible");
  } else if (Machine()[L"user"] != L"nothing") {
    procedure(open_dialog_, WM_COMMAND, Machine()[L"user"] == L"escape" ? IDCANCEL : IDOK, 0);
  }
  if (!dialog_ended_) {
    violations.push_back("the log dialog never ended");
  }
  Erase(L"window", Name(open_dialog_));
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
  REFUSE_IF(window != open_dialog_ || window == nullptr, ERROR_INVALID_WINDOW_HANDLE, FALSE);
  dialogs.back().title = text;
  return TRUE;
}

// A program started hidden has its first ShowWindow hide the window, whatever
// it asked for.
BOOL Sim::ShowWindow(HWND window, int command) {
  bool hide = command == SW_HIDE || (Machine()[L"started"] == L"hidden" && !shown_once_);
  shown_once_ = true;
  bool was = window == open_dialog_ && dialog_visible_;
  dialog_visible_ = window == open_dialog_ ? !hide : dialog_visible_;
  return was;
}

HWINSTA Sim::GetProcessWindowStation() {
  FAULT(nullptr);
  return kStation;
}

BOOL Sim::GetUserObjectInformationW(HANDLE object, int index, PVOID info, DWORD size,
                                    LPDWORD needed) {
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
HANDLE Sim::CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL owned, LPCSTR name) {
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
DWORD Sim::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  FAULT(WAIT_FAILED);
  Handle* waited = Find(handle, 'x');
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

// A program runs from its image, which it holds; a tray companion takes the
// tray's mutex and shows its window, a help viewer shows its window.
int Sim::Start(const std::wstring& image, const std::wstring& line, Object settings) {
  std::wstring id = std::to_wstring(next_process_++);
  Object& process = Make(L"process", id);
  process.values = settings.values;
  process[L"command"] = line;
  Object* file = Find(L"file", Key(image));
  if (file != nullptr && (*file)[L"lock"].empty()) {
    (*file)[L"lock"] = L"p" + id;
  }
  // A program of another session has its mutex and its windows there.
  bool here = process[L"session"].empty();
  if (process[L"role"] == L"tray" && here) {
    Object& mutex = Make(L"mutex", Widen(kTrayMutex));
    mutex[L"owner"] = mutex[L"owner"].empty() ? id : mutex[L"owner"];
  }
  std::wstring title = process[L"role"] == L"help" ? process[L"title"] : L"";
  std::wstring window_class =
      process[L"role"] == L"help" ? L"HH Parent" : L"lqs::{6B0E4D27-91A3-4F58-B2C4-7D19E35A0C8B}";
  if (!process[L"role"].empty() && here) {
    events.emplace(now + process.Number(L"window-after"), [=, this] {
      if (Find(L"process", id) != nullptr) {
        Object& window = Make(L"window", std::to_wstring(0x20000 + 2 * std::stoi(id)));
        window.values = {{L"class", window_class}, {L"title", title}, {L"process", id}};
      }
    });
    Advance(now);
  }
  return std::stoi(id);
}

void Sim::End(std::wstring id) {
  if (Find(L"process", id) == nullptr) {
    return;  // it has ended already
  }
  Erase(L"process", id);
  for (Object* file : Each(L"file")) {
    (*file)[L"lock"] = (*file)[L"lock"] == L"p" + id ? L"" : (*file)[L"lock"];
  }
  objects.remove_if([&](const Object& o) { return o.kind == L"window" && o[L"process"] == id; });
  for (Object* mutex : Each(L"mutex")) {
    if ((*mutex)[L"owner"] == id) {
      (*mutex)[L"owner"] = L"";
      (*mutex)[L"abandoned"] = L"1";
    }
  }
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
  REFUSE_IF(Find(L"file", Key(image)) == nullptr, ERROR_FILE_NOT_FOUND, FALSE);
  std::wstring name = Fold(Key(image)).substr(Key(image).rfind(L'\\') + 1);
  Object* program = Find(L"program", name);
  int id = Start(image, line, program != nullptr ? *program : Object{});
  *process = {NewHandle({'P', image}), NewHandle({'t', image}), static_cast<DWORD>(id), 1};
  return TRUE;
}

BOOL Sim::ProcessIdToSessionId(DWORD process, DWORD* session) {
  FAULT(FALSE);
  REFUSE_IF(process != GetCurrentProcessId(), ERROR_INVALID_PARAMETER, FALSE);
  *session = static_cast<DWORD>(Machine().Number(L"session", 1));
  return TRUE;
}

// ---------------------------------------------------------------- the Restart Manager

DWORD Sim::RmStartSession(DWORD* session, DWORD, WCHAR key[]) {
  FAULT(last_error_);
  *session = static_cast<DWORD>(reinterpret_cast<uintptr_t>(NewHandle({'r', L""})));
  key[0] = 0;
  return ERROR_SUCCESS;
}

DWORD Sim::RmRegisterResources(DWORD session, UINT file_count, LPCWSTR files[], UINT,
                               RM_UNIQUE_PROCESS[], UINT, LPCWSTR[]) {
  FAULT(last_error_);
  Handle* handle = Find(reinterpret_cast<HANDLE>(uintptr_t{session}), 'r');
  if (handle == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  for (UINT i = 0; i < file_count; ++i) {
    handle->name += Fold(Key(files[i])) + L"|";
  }
  return ERROR_SUCCESS;
}

// Every program whose image is a registered file ends, in whatever session;
// with RmShutdownOnlyRegistered none does while one of them is not
// registered for a restart ("registered=0": a companion of an older build).
DWORD Sim::RmShutdown(DWORD session, ULONG flags, RM_WRITE_STATUS_CALLBACK) {
  FAULT(last_error_);
  Handle* handle = Find(reinterpret_cast<HANDLE>(uintptr_t{session}), 'r');
  if (handle == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
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

DWORD Sim::RmEndSession(DWORD session) {
  return Close(reinterpret_cast<HANDLE>(uintptr_t{session}), "r", __func__) ? ERROR_SUCCESS
                                                                             : ERROR_INVALID_HANDLE;
}

BOOL Sim::GetVersionExA(LPOSVERSIONINFOA version) {
  FAULT(FALSE);
  REFUSE_IF(version->dwOSVersionInfoSize < sizeof(OSVERSIONINFOA), ERROR_INSUFFICIENT_BUFFER,
            FALSE);
  wchar_t* minor = nullptr;
  version->dwMajorVersion = std::wcstoul(Machine()[L"windows"].c_str(), &minor, 10);
  version->dwMinorVersion = std::wcstoul(minor + (*minor == L'.'), nullptr, 10);
  version->dwPlatformId = VER_PLATFORM_WIN32_NT;
  return TRUE;
}

void Sim::Restart() {
  if (Object* queue = Find(L"value", kQueue)) {
    std::wstring text;
    for (size_t i = 0; i + 1 < (*queue)[L"bytes"].size(); i += 2) {
      text += static_cast<wchar_t>((*queue)[L"bytes"][i] | (*queue)[L"bytes"][i + 1] << 8);
    }
    std::vector<std::wstring> strings;
    for (size_t start = 0, end = 0; start < text.size(); start = end + 1) {
      end = std::min(text.find(L'\0', start), text.size());
      strings.push_back(text.substr(start, end - start));
    }
    for (size_t i = 0; i + 1 < strings.size(); i += 2) {
      if (strings[i + 1].empty()) {
        Erase(L"file", Key(strings[i].substr(strings[i].rfind(L"\\??\\", 0) == 0 ? 4 : 0)));
      }
    }
    Erase(L"value", kQueue);
  }
  for (Object* process : Each(L"process")) {
    End(process->name);
  }
  for (Object* file : Each(L"file")) {
    (*file)[L"lock"] = L"";
  }
  Spooler(true);
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
  auto* copy = static_cast<wchar_t*>(Guarded((length + 1) * sizeof(wchar_t)));
  blocks_[copy] = {'l', (length + 1) * sizeof(wchar_t)};
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

BOOL Sim::SetDefaultDllDirectories(DWORD flags) {
  FAULT(FALSE);
  objects.remove_if([](const Object& o) { return o.kind == L"dll-search"; });
  Make(L"dll-search", std::to_wstring(flags));
  return TRUE;
}

BOOL Sim::SetDllDirectoryW(LPCWSTR directory) {
  FAULT(FALSE);
  objects.remove_if([](const Object& o) { return o.kind == L"dll-directory"; });
  Make(L"dll-directory", directory);
  return TRUE;
}

}  // namespace sim
