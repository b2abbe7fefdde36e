#include "session/session_log.h"

#include <cstdarg>
#include <cwchar>

#include "platform/system_api.h"
#include "session/install_session.h"

namespace session {
namespace {

using platform::Sys;

// The messages of the numbered errors as they have always read. The odd
// spellings ("Can`t", "Cant't", the missing space before 'Lumenquill:') are
// part of what support and scripts match: never correct them. The same holds
// for every progress line the program logs.
constexpr const wchar_t* kErrorFormats[] = {
    nullptr,
    L"Can't open service manager.",
    L"Can't open the spooler",
    L"Can't stop the spooler",
    L"Can't start the spooler",
    L"ControlService failed with code %d (0x%x)",
    L"Can`t retrieve printer driver directory.",
    L"Can`t retrieve system directory.",
    L"CopyFile(..,%s)",
    L"Cant't open destination file: %s",
    L"Cant't open source file: %s",
    L"Can`t install a local port monitor'Lumenquill:'",
    L"Can`t remove the port monitor 'Lumenquill:'",
    L"Can`t install a printer driver 'Lumenquill printer'",
    L"Can`t remove the printer-driver 'Lumenquill printer'",
    L"Can`t add printer '%s'",
    L"Can`t open printer '%s'",
    L"Can`t delete printer '%s'",
};

constexpr int kMaxIndentLevels = 10;
constexpr wchar_t kSpaces[] = L"                    ";  // 2 x kMaxIndentLevels

LPWSTR LookUpSystemMessage(DWORD code) {
  LPWSTR text = nullptr;
  DWORD length = Sys().FormatMessageW(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
      nullptr, code, 1033, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  if (length == 0 || text == nullptr) {
    if (text != nullptr) {
      Sys().LocalFree(text);
    }
    return nullptr;
  }
  return text;
}

}  // namespace

const wchar_t* ErrorFormat(ErrorNumber number) {
  auto index = static_cast<uint32_t>(number);
  return index >= 1 && index <= 17 ? kErrorFormats[index] : L"";
}

size_t FormatText(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list arguments) {
  if (capacity == 0) {
    return 0;
  }
  // The platform's formatter: %s takes a wide text. It does not terminate a
  // text that fills the count, and reports -1 when it cut the text.
  int written = _vsnwprintf(buffer, capacity - 1, format, arguments);
  buffer[capacity - 1] = 0;
  return written < 0 ? capacity - 1 : static_cast<size_t>(written);
}

size_t FormatText(wchar_t* buffer, size_t capacity, const wchar_t* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  size_t written = FormatText(buffer, capacity, format, arguments);
  va_end(arguments);
  return written;
}

LogStep::LogStep(InstallSession& session, int32_t levels) : session_(session), levels_(levels) {
  session_.Depth += levels_;
}

LogStep::~LogStep() {
  session_.Depth -= levels_;
}

void AppendLogLine(InstallSession& session, const wchar_t* text) {
  int levels = session.Depth < kMaxIndentLevels ? session.Depth : kMaxIndentLevels;
  if (levels > 0) {
    base::Append(session.SessionLog, kSpaces, 2 * static_cast<size_t>(levels));
  }
  if (text != nullptr && text[0] != 0) {
    base::Append(session.SessionLog, text);
  }
  base::Append(session.SessionLog, L"\r\n", 2);
}

void LogLine(InstallSession& session, const wchar_t* format, ...) {
  wchar_t line[kLineLimit + 1];
  va_list arguments;
  va_start(arguments, format);
  FormatText(line, kLineLimit + 1, format, arguments);
  va_end(arguments);
  AppendLogLine(session, line);
}

void ReportError(InstallSession& session, ErrorNumber number, ...) {
  // Before anything else: formatting and appending may change the last error.
  DWORD error = Sys().GetLastError();
  wchar_t line[kLineLimit + 1];
  size_t used = FormatText(line, kLineLimit + 1, L"Error(%d): ", static_cast<int>(number));
  va_list arguments;
  va_start(arguments, number);
  used += FormatText(line + used, kLineLimit + 1 - used, ErrorFormat(number), arguments);
  va_end(arguments);
  LPWSTR system_text = nullptr;
  if (error != 0) {
    system_text = SystemMessage(error);
    if (system_text != nullptr) {
      FormatText(line + used, kLineLimit + 1 - used, L" - (%s)", system_text);
    } else {
      FormatText(line + used, kLineLimit + 1 - used, L" - ( No Description )");
    }
  }
  AppendLogLine(session, line);
  ++session.ErrorCount;
  if (system_text != nullptr) {
    Sys().LocalFree(system_text);
  }
}

LPWSTR SystemMessageWithLineBreak(DWORD code) {
  return LookUpSystemMessage(code);
}

LPWSTR SystemMessage(DWORD code) {
  LPWSTR text = LookUpSystemMessage(code);
  if (text != nullptr) {
    size_t length = std::wcslen(text);
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n')) {
      text[--length] = 0;
    }
  }
  return text;
}

}  // namespace session
