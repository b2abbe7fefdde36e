#include "installer_log.h"

#include <cstdarg>
#include <cwchar>

namespace custom_action {
namespace {

// The installer's answer: IDCANCEL once its user has cancelled.
int Send(MSIHANDLE install, INSTALLMESSAGE kind, const wchar_t* text) {
  MSIHANDLE record = MsiCreateRecord(1);
  if (record == 0) {
    return 0;
  }
  MsiRecordSetStringW(record, 0, L"[1]");
  MsiRecordSetStringW(record, 1, text);
  int answer = MsiProcessMessage(install, kind, record);
  MsiCloseHandle(record);
  return answer;
}

}  // namespace

bool LogLine(MSIHANDLE install, const wchar_t* text) {
  return Send(install, INSTALLMESSAGE_INFO, text) == IDCANCEL;
}

bool Note(MSIHANDLE install, const wchar_t* format, ...) {
  constexpr wchar_t kPrefix[] = L"Lumenquill: ";
  constexpr int kPrefixLength = sizeof(kPrefix) / sizeof(kPrefix[0]) - 1;
  wchar_t text[1024];
  wmemcpy(text, kPrefix, kPrefixLength);
  va_list arguments;
  va_start(arguments, format);
  int length = _vsnwprintf(text + kPrefixLength, 1023 - kPrefixLength, format, arguments);
  va_end(arguments);
  text[length < 0 ? 1023 : kPrefixLength + length] = 0;
  return LogLine(install, text);
}

void ShowWarning(MSIHANDLE install, const wchar_t* text) {
  Send(install, static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONWARNING), text);
}

}  // namespace custom_action
