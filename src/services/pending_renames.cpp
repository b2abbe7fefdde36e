#include "services/pending_renames.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "base/ascii_text.h"
#include "base/memory.h"
#include "platform/owned_handles.h"
#include "platform/system_api.h"
#include "services/named_file.h"

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
  platform::OwnedKey key = platform::OpenKey(HKEY_LOCAL_MACHINE, kSessionManagerKey, KEY_READ);
  if (!key.Held()) {
    return table;
  }
  table.value = ReadValue(key.get(), &table.bytes, &table.type);
  key.Reset();
  uint32_t strings = 0;
  for (QueueReader reader(table.value, table.bytes); table.value != nullptr && reader.More();
       ++strings) {
    size_t length = 0;
    reader.Next(&length);
  }
  uint32_t count = strings / 2;  // a last string without a partner is ignored
  table.names = static_cast<wchar_t**>(base::AllocateBlock(2 * count * sizeof(wchar_t*)));
  table.flags = static_cast<uint32_t*>(base::AllocateBlock(2 * count * sizeof(uint32_t)));
  bool whole = count != 0 && table.names != nullptr && table.flags != nullptr;
  table.count = whole ? count : 0;
  QueueReader reader(table.value, table.bytes);
  for (uint32_t i = 0; whole && reader.More() && i < 2 * count; ++i) {
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
  }
  return table;
}

namespace {

// Another program may change the queue between a read and a write: the value
// is read again and compared before it is written, this many times at most.
constexpr int kRewriteAttempts = 3;

// The queue `value` without the deletions carried out (`carried`, sources as
// stored, each taking out the first pair that deletes exactly it; a taken
// entry is set to null): the kept pairs and whatever follows the last pair,
// byte for byte, written to `kept`, which has room for `bytes`. Returns the
// bytes kept and counts the pairs kept.
uint32_t WithoutCarriedOut(const wchar_t* value, uint32_t bytes, const wchar_t** carried,
                           uint32_t carried_count, BYTE* kept, uint32_t* pairs) {
  const auto* raw = reinterpret_cast<const BYTE*>(value);
  const int64_t characters = bytes / sizeof(wchar_t);
  uint32_t length = 0;
  int64_t done = 0;  // characters up to the end of the last whole pair
  *pairs = 0;
  for (QueueReader reader(value, bytes); reader.More();) {
    size_t source_length = 0, target_length = 0;
    const wchar_t* source = reader.Next(&source_length);
    if (!reader.More()) {
      break;  // a last string without a partner stays with the rest
    }
    reader.Next(&target_length);
    int64_t end = std::min(reader.Position(), characters);
    bool taken = false;
    for (uint32_t i = 0; i < carried_count && target_length == 0 && !taken; ++i) {
      taken = carried[i] != nullptr && std::wcslen(carried[i]) == source_length &&
              std::wmemcmp(carried[i], source, source_length) == 0;
      carried[i] = taken ? nullptr : carried[i];
    }
    if (!taken) {
      auto from = static_cast<uint32_t>(done * sizeof(wchar_t));
      auto to = static_cast<uint32_t>(end * sizeof(wchar_t));
      std::memcpy(kept + length, raw + from, to - from);
      length += to - from;
      ++*pairs;
    }
    done = end;
  }
  auto rest = static_cast<uint32_t>(done * sizeof(wchar_t));
  std::memcpy(kept + length, raw + rest, bytes - rest);
  return length + bytes - rest;
}

// Takes the deletions carried out (`carried`, `carried_count` sources) out of
// the queue, or removes the queue when no pair is left; every other entry
// stays as it is. The value is written only while it is still the one last
// read, so that an entry another program added meanwhile is never lost; when
// it changed, the deletions are looked for in the new value, and a deletion
// carried out never stays queued for a restart that would delete a new file
// of the same name. A write that fails changes nothing.
void DropCarriedOut(const PendingRenameTable& table, const wchar_t** carried,
                    uint32_t carried_count) {
  platform::OwnedKey key =
      platform::OpenKey(HKEY_LOCAL_MACHINE, kSessionManagerKey, KEY_QUERY_VALUE | KEY_SET_VALUE);
  if (!key.Held()) {
    return;
  }
  base::OwnedBlock<wchar_t> changed(nullptr);
  const wchar_t* expected = table.value;
  uint32_t expected_bytes = table.bytes, expected_type = table.type;
  for (int attempt = 0; attempt < kRewriteAttempts; ++attempt) {
    uint32_t bytes = 0, type = 0;
    base::OwnedBlock<wchar_t> now(ReadValue(key.get(), &bytes, &type));
    if (now.get() == nullptr) {
      break;  // gone, or unreadable: nothing to take out
    }
    if (bytes != expected_bytes || type != expected_type ||
        std::memcmp(now.get(), expected, bytes) != 0) {
      changed.Reset(now.Release());
      expected = changed.get();
      expected_bytes = bytes;
      expected_type = type;
      continue;
    }
    base::OwnedBlock<const wchar_t*> left(base::AllocateBlock(carried_count * sizeof(wchar_t*)));
    base::OwnedBlock<BYTE> kept(base::AllocateBlock(bytes));
    if (left.get() == nullptr || kept.get() == nullptr) {
      break;
    }
    std::memcpy(left.get(), carried, carried_count * sizeof(wchar_t*));
    uint32_t pairs = 0;
    uint32_t length =
        WithoutCarriedOut(now.get(), bytes, left.get(), carried_count, kept.get(), &pairs);
    if (pairs == 0) {
      Sys().RegDeleteValueA(key.get(), "PendingFileRenameOperations");
    } else {
      Sys().RegSetValueExW(key.get(), kQueueValue, 0, type, kept.get(), length);
    }
    break;
  }
}

}  // namespace

void PurgePendingRenameDeletes(PendingRenameTable& table) {
  // The sources of the deletions carried out, as stored.
  base::OwnedBlock<const wchar_t*> carried(
      base::AllocateBlock((table.count + 1) * sizeof(wchar_t*)));
  uint32_t carried_count = 0;
  bool any = false;
  for (uint32_t pair = 0; pair < table.count; ++pair) {
    const wchar_t* source = table.names[2 * pair];
    bool deletion = table.names[2 * pair + 1] == nullptr;
    if (table.flags[2 * pair] != 0 && source != nullptr && deletion &&
        DeleteNamedFile(PathOfEntry(source))) {
      table.flags[2 * pair] = 0;
      any = true;
      if (carried.get() != nullptr) {
        carried.get()[carried_count++] = source;
      }
    }
  }
  // Without memory to tell which were carried out, the queue stays as it is:
  // the restart then finds those files gone, as it did before.
  if (any && carried.get() != nullptr) {
    DropCarriedOut(table, carried.get(), carried_count);
  }
}

void FreePendingRenameTable(PendingRenameTable& table) {
  if (table.names != nullptr) {
    for (uint32_t i = 0; i < 2 * table.count; ++i) {
      base::FreeBlock(table.names[i]);
    }
  }
  base::FreeBlock(table.names);
  base::FreeBlock(table.flags);
  base::FreeBlock(table.value);
  table = PendingRenameTable{};
}

}  // namespace services
