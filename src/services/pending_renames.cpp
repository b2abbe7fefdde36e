#include "services/pending_renames.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "base/ascii_text.h"
#include "base/memory.h"
#include "platform/system_api.h"

namespace services {
namespace {

using platform::Sys;

constexpr char kSessionManagerKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr wchar_t kQueueValue[] = L"PendingFileRenameOperations";

// The raw value and its type, or null. Its size is the one the second read
// reported.
wchar_t* ReadValue(HKEY key, uint32_t* size, uint32_t* type) {
  void* data = nullptr;
  DWORD bytes = 0;
  if (Sys().RegQueryValueExW(key, kQueueValue, nullptr, nullptr, nullptr, &bytes) ==
          ERROR_SUCCESS &&
      bytes != 0) {
    data = base::AllocateBlock(bytes);
    DWORD reported = bytes;
    // The value may have grown in between: that read fails and is treated as
    // no data; one that shrank is read as far as it goes.
    DWORD value_type = 0;
    if (data != nullptr &&
        (Sys().RegQueryValueExW(key, kQueueValue, nullptr, &value_type, static_cast<LPBYTE>(data),
                                &reported) != ERROR_SUCCESS ||
         reported > bytes)) {
      base::FreeBlock(data);
      data = nullptr;
    }
    bytes = reported;
    *type = value_type;
  }
  *size = data != nullptr ? bytes : 0;
  return static_cast<wchar_t*>(data);
}

HKEY OpenSessionManager(REGSAM access) {
  HKEY key = nullptr;
  return Sys().RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, access, &key) ==
                 ERROR_SUCCESS
             ? key
             : nullptr;
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
  int64_t Position() const { return position_; }
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

bool IsExistingFile(const wchar_t* path) {
  if (!base::IsFullPath(path)) {
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
  HKEY key = OpenSessionManager(KEY_READ);
  if (key == nullptr) {
    return table;
  }
  table.value = ReadValue(key, &table.bytes, &table.type);
  Sys().RegCloseKey(key);
  uint32_t strings = 0;
  for (QueueReader reader(table.value, table.bytes); table.value != nullptr && reader.More();
       ++strings) {
    size_t length = 0;
    reader.Next(&length);
  }
  uint32_t count = strings / 2;  // a last string without a partner is ignored
  table.names = static_cast<wchar_t**>(base::AllocateBlock(2 * count * sizeof(wchar_t*)));
  table.flags = static_cast<uint32_t*>(base::AllocateBlock(2 * count * sizeof(uint32_t)));
  table.bounds = static_cast<uint32_t*>(base::AllocateBlock((count + 1) * sizeof(uint32_t)));
  bool whole =
      count != 0 && table.names != nullptr && table.flags != nullptr && table.bounds != nullptr;
  table.count = whole ? count : 0;
  QueueReader reader(table.value, table.bytes);
  for (uint32_t i = 0; whole && reader.More() && i < 2 * count; ++i) {
    if (i % 2 == 0) {
      table.bounds[i / 2] = static_cast<uint32_t>(reader.Position());
    }
    size_t length = 0;
    const wchar_t* text = reader.Next(&length);
    if (length == 0) {
      continue;  // an empty string: null name, flag 0
    }
    table.names[i] = base::CopyText(text, length);
    // A copy that cannot be made leaves no table at all: a rename whose
    // target were missing would read as a deletion of its source.
    whole = table.names[i] != nullptr;
    table.flags[i] = whole && IsExistingFile(PathOfEntry(table.names[i]));
  }
  if (!whole) {
    FreePendingRenameTable(table);
    return table;
  }
  table.bounds[count] = static_cast<uint32_t>(
      std::min<int64_t>(reader.Position(), static_cast<int64_t>(table.bytes / sizeof(wchar_t))));
  return table;
}

namespace {

// Writes the queue back without the pairs marked in `carried`, byte for byte
// otherwise, or removes it when no pair is left; but only when it is still
// the value that was read, so that an entry another program added meanwhile
// is never lost. A write that fails changes nothing.
void DropCarriedOut(const PendingRenameTable& table, const uint8_t* carried) {
  HKEY key = OpenSessionManager(KEY_QUERY_VALUE | KEY_SET_VALUE);
  if (key == nullptr) {
    return;
  }
  uint32_t bytes = 0, type = 0;
  wchar_t* now = ReadValue(key, &bytes, &type);
  auto* kept = static_cast<BYTE*>(base::AllocateBlock(table.bytes));
  if (now != nullptr && kept != nullptr && bytes == table.bytes && type == table.type &&
      std::memcmp(now, table.value, bytes) == 0) {
    const auto* value = reinterpret_cast<const BYTE*>(table.value);
    uint32_t length = 0, pairs = 0;
    for (uint32_t pair = 0; pair < table.count; ++pair) {
      if (carried[pair] == 0) {
        uint32_t from = table.bounds[pair] * sizeof(wchar_t);
        uint32_t to = table.bounds[pair + 1] * sizeof(wchar_t);
        std::memcpy(kept + length, value + from, to - from);
        length += to - from;
        ++pairs;
      }
    }
    uint32_t tail = table.bounds[table.count] * sizeof(wchar_t);
    std::memcpy(kept + length, value + tail, bytes - tail);
    length += bytes - tail;
    if (pairs == 0) {
      Sys().RegDeleteValueA(key, "PendingFileRenameOperations");
    } else {
      Sys().RegSetValueExW(key, kQueueValue, 0, type, kept, length);
    }
  }
  base::FreeBlock(kept);
  base::FreeBlock(now);
  Sys().RegCloseKey(key);
}

}  // namespace

void PurgePendingRenameDeletes(PendingRenameTable& table) {
  auto* carried = static_cast<uint8_t*>(base::AllocateBlock(table.count + 1));
  bool any = false;
  for (uint32_t pair = 0; pair < table.count; ++pair) {
    const wchar_t* source = table.names[2 * pair];
    bool deletion = table.names[2 * pair + 1] == nullptr;
    if (table.flags[2 * pair] != 0 && source != nullptr && deletion &&
        Sys().DeleteFileW(PathOfEntry(source))) {
      table.flags[2 * pair] = 0;
      any = true;
      if (carried != nullptr) {
        carried[pair] = 1;
      }
    }
  }
  // Without memory to tell which were carried out, the queue stays as it is:
  // the restart then finds those files gone, as it did before.
  if (any && carried != nullptr) {
    DropCarriedOut(table, carried);
  }
  base::FreeBlock(carried);
}

void FreePendingRenameTable(PendingRenameTable& table) {
  if (table.names != nullptr) {
    for (uint32_t i = 0; i < 2 * table.count; ++i) {
      base::FreeBlock(table.names[i]);
    }
  }
  base::FreeBlock(table.names);
  base::FreeBlock(table.flags);
  base::FreeBlock(table.bounds);
  base::FreeBlock(table.value);
  table = PendingRenameTable{};
}

}  // namespace services
