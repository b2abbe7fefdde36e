// WideString: the program's one owned string type. A single pointer to a heap
// block holding a 64-bit length, the UTF-16 characters and a terminator, or
// null for the empty string. The capacity is never stored: it is the smallest
// multiple of 32 characters that holds the length and the terminator, so
// appends within a step of 32 cost no reallocation and a shrink gives memory
// back at once.
//
// When memory runs out an operation leaves every string valid: the target
// unchanged, a new result empty. The boolean results say whether it worked;
// most callers have nothing better to do than to go on.
#pragma once

#include <cstddef>
#include <cstdint>

namespace base {

struct WideString {
  void* block = nullptr;
};

// Characters in the string, terminator excluded.
size_t Length(const WideString& string);
// The text, or a static empty text for an empty string.
const wchar_t* Text(const WideString& string);
// Bytes the block of a string of this length occupies.
size_t BlockBytes(size_t length);

bool Resize(WideString& target, size_t length);
// Frees the block; the string is empty afterwards.
void Release(WideString& target);
bool Assign(WideString& target, const wchar_t* text);  // null or empty makes it empty
bool Assign(WideString& target, const wchar_t* text, size_t count);
bool Append(WideString& target, const wchar_t* text);
bool Append(WideString& target, const wchar_t* text, size_t count);

// The text converted from the system's ANSI code page.
WideString FromNarrow(const char* text);
// The part before the last backslash (or, when there is none, the last
// slash); empty when there is no separator or it is the first character.
WideString ParentDirectory(const WideString& source);
WideString Copy(const WideString& source);

// A string that one scope owns from start to end: released however the scope
// ends. It is a WideString for every function above.
struct OwnedString : WideString {
  OwnedString() = default;
  explicit OwnedString(WideString owned) : WideString(owned) {}
  ~OwnedString() { Release(*this); }
  OwnedString(const OwnedString&) = delete;
  OwnedString& operator=(const OwnedString&) = delete;
};

}  // namespace base
