// UTF-8 for what the harness programs write out.
#pragma once

#include <windows.h>

#include <string>

inline std::string Utf8(const std::wstring& text) {
  if (text.empty()) {
    return {};
  }
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                  0, nullptr, nullptr);
  std::string result(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), bytes,
                      nullptr, nullptr);
  return result;
}
