#include "base/memory.h"

#include <cstring>
#include <cwchar>

#include "platform/system_api.h"

namespace base {

using platform::Sys;

void* AllocateBlock(size_t bytes) {
  return Sys().GlobalAlloc(GPTR, bytes);
}

void FreeBlock(void* block) {
  if (block != nullptr) {
    Sys().GlobalFree(block);
  }
}

wchar_t* CopyText(const wchar_t* text) {
  return CopyText(text, std::wcslen(text));
}

wchar_t* CopyText(const wchar_t* text, size_t length) {
  auto* copy = static_cast<wchar_t*>(AllocateBlock((length + 1) * sizeof(wchar_t)));
  if (copy != nullptr) {
    std::memcpy(copy, text, length * sizeof(wchar_t));
  }
  return copy;
}

char* CopyText(const char* text) {
  size_t length = std::strlen(text);
  auto* copy = static_cast<char*>(AllocateBlock(length + 1));
  if (copy != nullptr) {
    std::memcpy(copy, text, length);
  }
  return copy;
}

}  // namespace base
