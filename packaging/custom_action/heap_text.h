// Text on the process heap that frees itself: the DLL keeps clear of the C++
// library, whose strings alone would bring in ten times its own code.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <cwchar>

namespace custom_action {

class HeapText {
 public:
  HeapText() = default;
  explicit HeapText(size_t characters) { Reserve(characters); }
  HeapText(const HeapText&) = delete;
  HeapText& operator=(const HeapText&) = delete;
  ~HeapText() { Reserve(0); }

  // Room for CHARACTERS and a terminator, all zero; false if there is none.
  bool Reserve(size_t characters) {
    if (text_ != nullptr) {
      HeapFree(GetProcessHeap(), 0, text_);
    }
    text_ = characters == 0 ? nullptr
                            : static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY,
                                                              (characters + 1) * sizeof(wchar_t)));
    capacity_ = text_ != nullptr ? characters : 0;
    return text_ != nullptr;
  }
  // Formats like _snwprintf (%ls for wide strings); false if it did not fit.
  bool Format(size_t characters, const wchar_t* format, ...) {
    if (!Reserve(characters)) {
      return false;
    }
    va_list arguments;
    va_start(arguments, format);
    int length = _vsnwprintf(text_, capacity_, format, arguments);
    va_end(arguments);
    return length >= 0 && static_cast<size_t>(length) < capacity_;
  }

  wchar_t* get() const { return text_; }
  size_t capacity() const { return capacity_; }
  bool empty() const { return text_ == nullptr || text_[0] == 0; }

 private:
  wchar_t* text_ = nullptr;
  size_t capacity_ = 0;
};

}  // namespace custom_action
