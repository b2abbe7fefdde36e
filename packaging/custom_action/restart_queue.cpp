#include "restart_queue.h"

#include <windows.h>

#include <cwchar>

#include "base/ascii_text.h"
#include "heap_text.h"

namespace custom_action {
namespace {

constexpr wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr wchar_t kQueue[] = L"PendingFileRenameOperations";
constexpr const wchar_t* kProductDlls[] = {L"kvnmon64.dll", L"kvndrv64.dll", L"kvnui64.dll"};
// The value may grow between the query of its size and the read.
constexpr int kReadAttempts = 3;

bool NamesExistingProductDll(const wchar_t* source) {
  const wchar_t* path = std::wcsncmp(source, L"\\??\\", 4) == 0 ? source + 4 : source;
  bool named = false;
  for (const wchar_t* dll : kProductDlls) {
    named = named || base::EqualIgnoringAsciiCase(base::FileNamePart(path), dll);
  }
  if (!named || !base::IsFullPath(path)) {
    return false;
  }
  DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The value's data, then a terminator of our own after its last whole
// character: the data may lack its final terminators. False without a value.
bool ReadQueue(HeapText& data, DWORD& bytes) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  LSTATUS status = ERROR_MORE_DATA;
  for (int attempt = 0; attempt < kReadAttempts && status == ERROR_MORE_DATA; ++attempt) {
    bytes = 0;
    status = RegQueryValueExW(key, kQueue, nullptr, nullptr, nullptr, &bytes);
    if (status == ERROR_SUCCESS) {
      status = data.Reserve(bytes / sizeof(wchar_t) + 1)
                   ? RegQueryValueExW(key, kQueue, nullptr, nullptr,
                                      reinterpret_cast<BYTE*>(data.get()), &bytes)
                   : ERROR_NOT_ENOUGH_MEMORY;
    }
  }
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) {
    return false;
  }
  data.get()[bytes / sizeof(wchar_t)] = 0;
  return true;
}

}  // namespace

// Read as install.exe reads it: strings that begin before the value's final
// terminator, in pairs of source and target (a last string without a target
// is no pair), a source's path behind the "\??\" the queue puts before it.
bool ProductDllAwaitsRestart() {
  HeapText data;
  DWORD bytes = 0;
  if (!ReadQueue(data, bytes)) {
    return false;
  }
  const long long limit = (static_cast<long long>(bytes) - 2) / 2;
  long long position = 0;
  for (bool source = true; position < limit; source = !source) {
    const wchar_t* text = data.get() + position;
    position += static_cast<long long>(std::wcslen(text)) + 1;
    if (source && position < limit && text[0] != 0 && NamesExistingProductDll(text)) {
      return true;
    }
  }
  return false;
}

}  // namespace custom_action
