#include "base/wide_string.h"

#include <cstring>
#include <cwchar>

#include "platform/system_api.h"

namespace base {
namespace {

using platform::Sys;

constexpr size_t kStep = 32;  // characters

size_t& LengthField(void* block) {
  return *static_cast<size_t*>(block);
}
wchar_t* Characters(void* block) {
  return reinterpret_cast<wchar_t*>(static_cast<char*>(block) + sizeof(uint64_t));
}

static_assert(sizeof(size_t) == sizeof(uint64_t), "the length header is 64 bits");

// Whether `text` points into the string's own block.
bool Inside(const WideString& string, const wchar_t* text) {
  if (string.block == nullptr) {
    return false;
  }
  const wchar_t* begin = Characters(string.block);
  return text >= begin && text <= begin + LengthField(string.block);
}

}  // namespace

size_t BlockBytes(size_t length) {
  size_t capacity = (length + 1 + kStep - 1) / kStep * kStep;
  return sizeof(uint64_t) + capacity * sizeof(wchar_t);
}

size_t Length(const WideString& string) {
  return string.block == nullptr ? 0 : LengthField(string.block);
}

const wchar_t* Text(const WideString& string) {
  return string.block == nullptr ? L"" : Characters(string.block);
}

bool Resize(WideString& target, size_t length) {
  if (length == 0) {
    Release(target);
    return true;
  }
  size_t new_bytes = BlockBytes(length);
  size_t old_bytes = target.block == nullptr ? 0 : BlockBytes(LengthField(target.block));
  if (new_bytes != old_bytes) {
    HANDLE heap = Sys().GetProcessHeap();
    void* block = target.block == nullptr ? Sys().HeapAlloc(heap, 0, new_bytes)
                                          : Sys().HeapReAlloc(heap, 0, target.block, new_bytes);
    if (block == nullptr) {
      return false;  // the old block, if any, is still the target's
    }
    target.block = block;
  }
  Characters(target.block)[length] = 0;
  LengthField(target.block) = length;
  return true;
}

void Release(WideString& target) {
  if (target.block != nullptr) {
    Sys().HeapFree(Sys().GetProcessHeap(), 0, target.block);
    target.block = nullptr;
  }
}

bool Assign(WideString& target, const wchar_t* text) {
  return Assign(target, text, text == nullptr ? 0 : std::wcslen(text));
}

bool Assign(WideString& target, const wchar_t* text, size_t count) {
  if (text == nullptr || count == 0) {
    Release(target);
    return true;
  }
  if (Inside(target, text)) {
    // Resizing may move the block the text lives in: build the copy aside.
    WideString copy;
    if (!Assign(copy, text, count)) {
      return false;
    }
    Release(target);
    target = copy;
    return true;
  }
  if (!Resize(target, count)) {
    return false;
  }
  std::memcpy(Characters(target.block), text, count * sizeof(wchar_t));
  return true;
}

bool Append(WideString& target, const wchar_t* text) {
  return Append(target, text, std::wcslen(text));
}

bool Append(WideString& target, const wchar_t* text, size_t count) {
  if (count == 0) {
    return true;
  }
  size_t length = Length(target);
  // Resizing may move the block an appended part of the string itself lives in.
  ptrdiff_t own_offset = Inside(target, text) ? text - Characters(target.block) : -1;
  if (!Resize(target, length + count)) {
    return false;
  }
  const wchar_t* source = own_offset >= 0 ? Characters(target.block) + own_offset : text;
  std::memmove(Characters(target.block) + length, source, count * sizeof(wchar_t));
  return true;
}

WideString FromNarrow(const char* text) {
  WideString result;
  int needed = Sys().MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, nullptr, 0);
  if (needed <= 1) {
    return result;  // empty text, or no conversion
  }
  size_t length = static_cast<size_t>(needed) - 1;
  void* block = Sys().HeapAlloc(Sys().GetProcessHeap(), 0, BlockBytes(length));
  if (block == nullptr) {
    return result;
  }
  LengthField(block) = length;
  Characters(block)[length] = 0;
  if (Sys().MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, Characters(block), needed) !=
      needed) {
    Sys().HeapFree(Sys().GetProcessHeap(), 0, block);
    return result;
  }
  result.block = block;
  return result;
}

WideString ParentDirectory(const WideString& source) {
  WideString result;
  const wchar_t* text = Text(source);
  const wchar_t* separator = std::wcsrchr(text, L'\\');
  if (separator == nullptr) {
    separator = std::wcsrchr(text, L'/');
  }
  if (separator == nullptr || separator == text) {
    return result;
  }
  Assign(result, text, static_cast<size_t>(separator - text));
  return result;
}

WideString Copy(const WideString& source) {
  WideString result;
  if (source.block == nullptr) {
    return result;
  }
  size_t bytes = BlockBytes(LengthField(source.block));
  void* block = Sys().HeapAlloc(Sys().GetProcessHeap(), 0, bytes);
  if (block != nullptr) {
    std::memcpy(block, source.block, bytes);
    result.block = block;
  }
  return result;
}

}  // namespace base
