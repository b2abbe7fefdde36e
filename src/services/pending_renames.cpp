#include "services/pending_renames.h"

#include <cwchar>

#include "platform/system_api.h"
#include "session/memory.h"

namespace services {
namespace {

using platform::Sys;

constexpr char kSessionManagerKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr wchar_t kQueueValue[] = L"PendingFileRenameOperations";

// The raw value, or null. Its size is the one the second read reported.
wchar_t* ReadQueue(DWORD* size) {
  HKEY key = nullptr;
  if (Sys().RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return nullptr;
  }
  void* data = nullptr;
  DWORD bytes = 0;
  if (Sys().RegQueryValueExW(key, kQueueValue, nullptr, nullptr, nullptr, &bytes) ==
          ERROR_SUCCESS &&
      bytes != 0) {
    data = session::AllocateBlock(bytes);
    DWORD reported = bytes;
    // The value may have grown in between: that read fails and is treated as
    // no data; one that shrank is read as far as it goes.
    if (data != nullptr &&
        (Sys().RegQueryValueExW(key, kQueueValue, nullptr, nullptr, static_cast<LPBYTE>(data),
                                &reported) != ERROR_SUCCESS ||
         reported > bytes)) {
      session::FreeBlock(data);
      data = nullptr;
    }
    bytes = reported;
  }
  Sys().RegCloseKey(key);
  *size = data != nullptr ? bytes : 0;
  return static_cast<wchar_t*>(data);
}

// Walks the strings of the queue without ever reading past its data: the
// characters before the value's final terminator, a last string without a
// terminator ending with the data.
class QueueReader {
 public:
  QueueReader(const wchar_t* data, DWORD bytes)
      : data_(data),
        available_(bytes / sizeof(wchar_t)),
        limit_((static_cast<int64_t>(bytes) - 2) / 2) {}

  bool More() const { return position_ < limit_; }
  // The string at the current position and its length; moves past it.
  const wchar_t* Next(size_t* length) {
    const wchar_t* start = data_ + position_;
    size_t count = 0;
    while (static_cast<size_t>(position_) + count < available_ && start[count] != 0) {
      ++count;
    }
    position_ += static_cast<int64_t>(count) + 1;
    *length = count;
    return start;
  }

 private:
  const wchar_t* data_;
  size_t available_;
  int64_t limit_;
  int64_t position_ = 0;
};

// A drive path or a UNC path. The system carries out its queue on full
// paths only; a relative one would name a file of the program's current
// directory, which may be anyone's.
bool IsFullPath(const wchar_t* path) {
  bool letter = (path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z');
  if (letter && path[1] == L':') {
    return path[2] == L'\\' || path[2] == L'/';
  }
  return path[0] == L'\\' && path[1] == L'\\';
}

bool IsExistingFile(const wchar_t* path) {
  if (!IsFullPath(path)) {
    return false;
  }
  DWORD attributes = Sys().GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

const wchar_t* PathOfEntry(const wchar_t* entry) {
  return std::wcsncmp(entry, L"\\??\\", 4) == 0 ? entry + 4 : entry;
}

PendingRenameTable LoadPendingRenameTable() {
  PendingRenameTable table;
  DWORD bytes = 0;
  wchar_t* data = ReadQueue(&bytes);
  if (data == nullptr) {
    return table;
  }
  uint32_t strings = 0;
  for (QueueReader reader(data, bytes); reader.More(); ++strings) {
    size_t length = 0;
    reader.Next(&length);
  }
  uint32_t count = strings / 2;  // a last string without a partner is ignored
  if (count != 0) {
    table.names = static_cast<wchar_t**>(session::AllocateBlock(2 * count * sizeof(wchar_t*)));
    table.flags = static_cast<uint32_t*>(session::AllocateBlock(2 * count * sizeof(uint32_t)));
    if (table.names == nullptr || table.flags == nullptr) {
      FreePendingRenameTable(table);
    } else {
      table.count = count;
      QueueReader reader(data, bytes);
      for (uint32_t i = 0; reader.More() && i < 2 * count; ++i) {
        size_t length = 0;
        const wchar_t* text = reader.Next(&length);
        if (length == 0) {
          continue;  // an empty string: null name, flag 0
        }
        table.names[i] = session::CopyText(text, length);
        table.flags[i] = table.names[i] != nullptr && IsExistingFile(PathOfEntry(table.names[i]));
      }
    }
  }
  session::FreeBlock(data);
  return table;
}

void PurgePendingRenameDeletes(PendingRenameTable& table) {
  for (uint32_t pair = 0; pair < table.count; ++pair) {
    const wchar_t* source = table.names[2 * pair];
    bool deletion = table.names[2 * pair + 1] == nullptr;
    if (table.flags[2 * pair] != 0 && source != nullptr && deletion &&
        Sys().DeleteFileW(PathOfEntry(source))) {
      table.flags[2 * pair] = 0;
    }
  }
}

void FreePendingRenameTable(PendingRenameTable& table) {
  if (table.names != nullptr) {
    for (uint32_t i = 0; i < 2 * table.count; ++i) {
      session::FreeBlock(table.names[i]);
    }
  }
  session::FreeBlock(table.names);
  session::FreeBlock(table.flags);
  table = PendingRenameTable{};
}

}  // namespace services
