#include "base/ascii_text.h"

namespace base {
namespace {

wchar_t FoldAscii(wchar_t c) {
  return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c;
}

}  // namespace

bool EqualIgnoringAsciiCase(const wchar_t* a, const wchar_t* b) {
  for (; *a != 0 && *b != 0; ++a, ++b) {
    if (FoldAscii(*a) != FoldAscii(*b)) {
      return false;
    }
  }
  return *a == *b;
}

bool IsFullPath(const wchar_t* path) {
  bool letter = (path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z');
  if (letter && path[1] == L':') {
    return path[2] == L'\\' || path[2] == L'/';
  }
  return path[0] == L'\\' && path[1] == L'\\';
}

const wchar_t* FileNamePart(const wchar_t* path) {
  const wchar_t* name = path;
  for (const wchar_t* c = path; *c != 0; ++c) {
    if (*c == L'\\' || *c == L'/' || *c == L':') {
      name = c + 1;
    }
  }
  return name;
}

}  // namespace base
