// Files, directories, version resources and the restart-time rename queue of
// the simulated Windows.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "sim/sim_windows.h"

namespace sim {
namespace {

std::wstring ParentOf(const std::wstring& key) {
  size_t slash = key.rfind(L'\\');
  return slash == std::wstring::npos ? std::wstring() : key.substr(0, slash);
}

// What GetFileVersionInfoW writes: a block that VerQueryValueW recognises.
struct VersionBlock {
  char magic[4];
  uint32_t fixed_length;
  VS_FIXEDFILEINFO fixed;
};

// The size of the block: the fixed part only as far as the resource holds it.
DWORD VersionBlockSize(const FileVersion& version) {
  return static_cast<DWORD>(offsetof(VersionBlock, fixed) +
                            std::min(version.fixed_length, sizeof(VS_FIXEDFILEINFO)));
}

}  // namespace

// ---------------------------------------------------------------- FileSystem

std::wstring FileSystem::Key(const std::wstring& path) const {
  std::wstring text = path;
  for (wchar_t& c : text) {
    if (c == L'/') {
      c = L'\\';
    }
  }
  if (text.rfind(L"\\\\?\\", 0) == 0 || text.rfind(L"\\??\\", 0) == 0) {
    text = text.substr(4);
  }
  bool absolute = text.size() >= 2 && text[1] == L':';
  if (!absolute && !text.empty()) {
    text = current_directory + L"\\" + text;
  }
  while (text.size() > 2 && text.back() == L'\\') {
    text.pop_back();
  }
  return Fold(text);
}

File& FileSystem::Put(const std::wstring& path, std::string bytes) {
  std::wstring key = Key(path);
  MakeDirectory(ParentOf(key));
  auto& entry = files[key];
  entry.first = path;
  entry.second = File{};
  entry.second.bytes = std::move(bytes);
  return entry.second;
}

void FileSystem::MakeDirectory(const std::wstring& path) {
  std::wstring key = Key(path);
  while (key.size() > 2 && directories.insert(key).second) {
    key = ParentOf(key);
  }
}

File* FileSystem::Find(const std::wstring& path) {
  auto found = files.find(Key(path));
  return found == files.end() ? nullptr : &found->second.second;
}

bool FileSystem::DirectoryExists(const std::wstring& path) const {
  std::wstring key = Key(path);
  return (key.size() == 2 && key[1] == L':') || directories.count(key) != 0;
}

void FileSystem::Remove(const std::wstring& path) {
  files.erase(Key(path));
}

// ---------------------------------------------------------------- file calls

bool SimWindows::FileInUse(const std::wstring& path, DWORD* error) {
  File* file = fs.Find(path);
  if (file != nullptr && !file->image_locks.empty()) {
    *error = ERROR_ACCESS_DENIED;
    return true;
  }
  return false;
}

HANDLE SimWindows::CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                               DWORD disposition, DWORD, HANDLE) {
  std::wstring name = path != nullptr ? path : L"";
  if (auto error = Enter("CreateFileW", Narrow(name))) {
    Fail(*error);
    return INVALID_HANDLE_VALUE;
  }
  std::wstring key = fs.Key(name);
  if (name.empty() || !fs.DirectoryExists(ParentOf(key))) {
    Fail(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (fs.DirectoryExists(name)) {
    Fail(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  File* file = fs.Find(name);
  bool wants_write = (access & (GENERIC_WRITE | FILE_WRITE_DATA)) != 0;
  bool wants_read = (access & (GENERIC_READ | FILE_READ_DATA)) != 0;
  if (file == nullptr && (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING)) {
    Fail(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (file != nullptr) {
    if (disposition == CREATE_NEW) {
      Fail(ERROR_FILE_EXISTS);
      return INVALID_HANDLE_VALUE;
    }
    if (wants_write && (file->attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      Fail(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    if (wants_write && !file->image_locks.empty()) {
      Fail(ERROR_SHARING_VIOLATION);
      return INVALID_HANDLE_VALUE;
    }
    for (const auto& [value, other] : handles_) {
      if (!other.open || other.kind != HandleEntry::kFile || fs.Key(other.path) != key) {
        continue;
      }
      bool other_reads = (other.access & (GENERIC_READ | FILE_READ_DATA)) != 0;
      bool other_writes = (other.access & (GENERIC_WRITE | FILE_WRITE_DATA)) != 0;
      if ((wants_read && (other.share & FILE_SHARE_READ) == 0) ||
          (wants_write && (other.share & FILE_SHARE_WRITE) == 0) ||
          (other_reads && (share & FILE_SHARE_READ) == 0) ||
          (other_writes && (share & FILE_SHARE_WRITE) == 0)) {
        Fail(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
      }
    }
  }
  bool existed = file != nullptr;
  if (!existed) {
    file = &fs.Put(name);
  } else if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) {
    file->bytes.clear();
  }
  HandleEntry entry{HandleEntry::kFile};
  entry.path = name;
  entry.access = access;
  entry.share = share;
  last_error_ = existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
                    ? ERROR_ALREADY_EXISTS
                    : ERROR_SUCCESS;
  return NewHandle(entry);
}

BOOL SimWindows::ReadFile(HANDLE handle, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED) {
  if (read != nullptr) {
    *read = 0;
  }
  if (auto error = Enter("ReadFile", std::to_string(size))) {
    return Fail(*error);
  }
  CheckCapacity("ReadFile", buffer, size);
  HandleEntry* entry = Lookup(handle, HandleEntry::kFile);
  if (entry == nullptr) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  if ((entry->access & (GENERIC_READ | FILE_READ_DATA)) == 0) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  File* file = fs.Find(entry->path);
  size_t end = file->bytes.size();
  if (file->read_limit && *file->read_limit < end) {
    if (entry->position >= *file->read_limit) {
      return Fail(file->read_error);
    }
    end = *file->read_limit;
  }
  size_t count = std::min<size_t>(size, end > entry->position ? end - entry->position : 0);
  std::memcpy(buffer, file->bytes.data() + entry->position, count);
  entry->position += count;
  if (read != nullptr) {
    *read = static_cast<DWORD>(count);
  }
  return TRUE;
}

BOOL SimWindows::WriteFile(HANDLE handle, LPCVOID buffer, DWORD size, LPDWORD written,
                           LPOVERLAPPED) {
  if (written != nullptr) {
    *written = 0;
  }
  if (auto error = Enter("WriteFile", std::to_string(size))) {
    return Fail(*error);
  }
  CheckCapacity("WriteFile", buffer, size);
  HandleEntry* entry = Lookup(handle, HandleEntry::kFile);
  if (entry == nullptr) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  if ((entry->access & (GENERIC_WRITE | FILE_WRITE_DATA)) == 0) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  File* file = fs.Find(entry->path);
  size_t count = size;
  bool short_write = false;
  if (file->write_limit && entry->position + size > *file->write_limit) {
    count = *file->write_limit > entry->position ? *file->write_limit - entry->position : 0;
    short_write = true;
  }
  if (file->bytes.size() < entry->position + count) {
    file->bytes.resize(entry->position + count);
  }
  std::memcpy(file->bytes.data() + entry->position, buffer, count);
  entry->position += count;
  if (written != nullptr) {
    *written = static_cast<DWORD>(count);
  }
  return short_write ? Fail(file->write_error) : TRUE;
}

BOOL SimWindows::CloseHandle(HANDLE handle) {
  Enter("CloseHandle");
  auto found = handles_.find(reinterpret_cast<uintptr_t>(handle));
  bool was_mutex =
      found != handles_.end() && found->second.open && found->second.kind == HandleEntry::kMutex;
  std::string mutex_name = was_mutex ? found->second.mutex_name : std::string();
  if (!Close(handle,
             {HandleEntry::kFile, HandleEntry::kMutex, HandleEntry::kProcess, HandleEntry::kThread},
             "CloseHandle")) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  if (was_mutex) {
    auto mutex = mutexes.find(mutex_name);
    if (mutex != mutexes.end() && --mutex->second.handles == 0) {
      mutexes.erase(mutex);  // the last handle is gone, and the object with it
    }
  }
  return TRUE;
}

BOOL SimWindows::DeleteFileW(LPCWSTR path) {
  std::wstring name = path != nullptr ? path : L"";
  if (auto error = Enter("DeleteFileW", Narrow(name))) {
    return Fail(*error);
  }
  std::wstring key = fs.Key(name);
  if (name.empty() || !fs.DirectoryExists(ParentOf(key))) {
    return Fail(ERROR_PATH_NOT_FOUND);
  }
  if (fs.DirectoryExists(name)) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  File* file = fs.Find(name);
  if (file == nullptr) {
    return Fail(ERROR_FILE_NOT_FOUND);
  }
  if ((file->attributes & FILE_ATTRIBUTE_READONLY) != 0 || !file->image_locks.empty()) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  for (const auto& [value, other] : handles_) {
    if (other.open && other.kind == HandleEntry::kFile && fs.Key(other.path) == key &&
        (other.share & FILE_SHARE_DELETE) == 0) {
      return Fail(ERROR_SHARING_VIOLATION);
    }
  }
  fs.Remove(name);
  return TRUE;
}

BOOL SimWindows::MoveFileExW(LPCWSTR existing, LPCWSTR replacement, DWORD flags) {
  std::wstring source = existing != nullptr ? existing : L"";
  if (auto error = Enter("MoveFileExW", Narrow(source))) {
    return Fail(*error);
  }
  if ((flags & MOVEFILE_DELAY_UNTIL_REBOOT) == 0) {
    return Fail(ERROR_INVALID_PARAMETER);  // the program only queues operations for a restart
  }
  if (source.empty()) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  // The system queue: pairs of "\??\source" and "\??\target" (empty for a
  // deletion), each string terminated, the whole list closed by one more NUL.
  std::wstring target = replacement != nullptr && replacement[0] != 0
                            ? std::wstring(L"\\??\\") + replacement
                            : std::wstring();
  std::wstring entry = L"\\??\\" + source + L'\0' + target + L'\0';
  RegKey& key = registry.Key(kSessionManagerKey);
  auto& slot = key.values[Fold(kPendingRenamesValue)];
  std::string& data = slot.second.data;
  if (slot.first.empty()) {
    slot.first = kPendingRenamesValue;
    slot.second.type = REG_MULTI_SZ;
  }
  if (data.size() >= 2) {
    data.resize(data.size() - 2);  // drop the closing NUL of the list
  }
  data.append(reinterpret_cast<const char*>(entry.data()), entry.size() * sizeof(wchar_t));
  data.append(2, '\0');
  return TRUE;
}

DWORD SimWindows::GetFileAttributesW(LPCWSTR path) {
  std::wstring name = path != nullptr ? path : L"";
  if (auto error = Enter("GetFileAttributesW", Narrow(name))) {
    Fail(*error);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (fs.DirectoryExists(name) && !name.empty()) {
    return FILE_ATTRIBUTE_DIRECTORY;
  }
  if (File* file = fs.Find(name)) {
    return file->attributes;
  }
  Fail(fs.DirectoryExists(ParentOf(fs.Key(name))) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
  return INVALID_FILE_ATTRIBUTES;
}

namespace {
// Copies text into a caller's buffer the way the "get a path" calls do.
DWORD CopyOut(const std::wstring& text, LPWSTR buffer, DWORD size) {
  DWORD count = std::min<DWORD>(static_cast<DWORD>(text.size()), size > 0 ? size - 1 : 0);
  if (size > 0) {
    std::memcpy(buffer, text.data(), count * sizeof(wchar_t));
    buffer[count] = 0;
  }
  return count;
}
}  // namespace

DWORD SimWindows::GetModuleFileNameW(HMODULE, LPWSTR buffer, DWORD size) {
  if (auto error = Enter("GetModuleFileNameW")) {
    return Fail(*error);
  }
  CheckCapacity("GetModuleFileNameW", buffer, size * sizeof(wchar_t));
  DWORD count = CopyOut(module_path, buffer, size);
  if (module_path.size() >= size) {
    last_error_ = ERROR_INSUFFICIENT_BUFFER;
    return size;
  }
  return count;
}

UINT SimWindows::GetSystemDirectoryW(LPWSTR buffer, UINT size) {
  if (auto error = Enter("GetSystemDirectoryW")) {
    return Fail(*error);
  }
  CheckCapacity("GetSystemDirectoryW", buffer, size * sizeof(wchar_t));
  if (system_directory.size() >= size) {
    return static_cast<UINT>(system_directory.size() + 1);
  }
  return CopyOut(system_directory, buffer, size);
}

// ---------------------------------------------------------------- version resources

DWORD SimWindows::GetFileVersionInfoSizeW(LPCWSTR path, LPDWORD handle) {
  if (handle != nullptr) {
    *handle = 0;
  }
  if (auto error = Enter("GetFileVersionInfoSizeW", path ? Narrow(path) : "")) {
    return Fail(*error);
  }
  File* file = path != nullptr ? fs.Find(path) : nullptr;
  if (file == nullptr) {
    return Fail(ERROR_FILE_NOT_FOUND);
  }
  if (!file->version) {
    return Fail(ERROR_RESOURCE_DATA_NOT_FOUND);  // a file without any resources
  }
  return VersionBlockSize(*file->version);
}

BOOL SimWindows::GetFileVersionInfoW(LPCWSTR path, DWORD, DWORD size, LPVOID data) {
  if (auto error = Enter("GetFileVersionInfoW", path ? Narrow(path) : "")) {
    return Fail(*error);
  }
  CheckCapacity("GetFileVersionInfoW", data, size);
  File* file = path != nullptr ? fs.Find(path) : nullptr;
  if (file == nullptr) {
    return Fail(ERROR_FILE_NOT_FOUND);
  }
  if (!file->version) {
    return Fail(ERROR_RESOURCE_DATA_NOT_FOUND);
  }
  const FileVersion& v = *file->version;
  if (size < VersionBlockSize(v)) {
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  VersionBlock block{{'S', 'I', 'M', 'V'}, static_cast<uint32_t>(v.fixed_length), {}};
  block.fixed.dwSignature = VS_FFI_SIGNATURE;
  block.fixed.dwStrucVersion = VS_FFI_STRUCVERSION;
  block.fixed.dwFileVersionMS = MAKELONG(v.file[1], v.file[0]);
  block.fixed.dwFileVersionLS = MAKELONG(v.file[3], v.file[2]);
  block.fixed.dwProductVersionMS = MAKELONG(v.product[1], v.product[0]);
  block.fixed.dwProductVersionLS = MAKELONG(v.product[3], v.product[2]);
  std::memcpy(data, &block, VersionBlockSize(v));
  return TRUE;
}

BOOL SimWindows::VerQueryValueW(LPCVOID block, LPCWSTR sub_block, LPVOID* buffer, PUINT length) {
  if (auto error = Enter("VerQueryValueW")) {
    return Fail(*error);
  }
  const auto* version = static_cast<const VersionBlock*>(block);
  if (version == nullptr || std::memcmp(version->magic, "SIMV", 4) != 0 || sub_block == nullptr ||
      std::wstring(sub_block) != L"\\") {
    return Fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
  }
  *buffer = const_cast<VS_FIXEDFILEINFO*>(&version->fixed);
  *length = version->fixed_length;
  return TRUE;
}

}  // namespace sim
