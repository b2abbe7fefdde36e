// The session's log: progress lines, numbered error reports, and the system's
// English texts for error codes. The log lives in memory only; the log dialog
// and the caller's standard output are its readers (log_delivery.h).
#pragma once

#include <cstdint>

#include "platform/windows_api.h"

namespace session {

struct InstallSession;

// The numbered errors; each number has exactly one message (ErrorFormat).
// Fixed, numbers and messages alike: support and the people who read the
// log dialog know them by heart, and searches for them find old answers.
enum class ErrorNumber : uint32_t {
  kOpenServiceManager = 1,
  kOpenSpooler = 2,
  kStopSpooler = 3,
  kStartSpooler = 4,
  kControlService = 5,  // the service call's error code, twice
  kDriverDirectory = 6,
  kSystemDirectory = 7,
  kCopyShortWrite = 8,   // destination path
  kOpenDestination = 9,  // destination path
  kOpenSource = 10,      // file name
  kInstallMonitor = 11,
  kRemoveMonitor = 12,
  kInstallDriver = 13,
  kRemoveDriver = 14,
  kAddPrinter = 15,     // printer name
  kOpenPrinter = 16,    // printer name
  kDeletePrinter = 17,  // printer name
};

const wchar_t* ErrorFormat(ErrorNumber number);

// Lines hold at most this many characters before indentation; longer texts
// are cut.
inline constexpr size_t kLineLimit = 1023;

// Formats one line (wide printf conventions: %s is a wide text) and appends
// it at the session's depth. The texts the callers pass are fixed as the
// error messages are: the scenario transcripts pin each one, odd spellings
// included; a change of one is a change of behaviour.
void LogLine(InstallSession& session, const wchar_t* format, ...);
// A step of the log: the lines written while it lives are indented `levels`
// deeper (two spaces a level), and the depth goes back however it ends.
class LogStep {
 public:
  explicit LogStep(InstallSession& session, int32_t levels = 1);
  ~LogStep();
  LogStep(const LogStep&) = delete;
  LogStep& operator=(const LogStep&) = delete;

 private:
  InstallSession& session_;
  int32_t levels_;
};

// Appends indentation, the text (none when null) and CR LF.
void AppendLogLine(InstallSession& session, const wchar_t* text);
// Appends "Error(N): " and the error's message formatted with the arguments,
// followed by the system's text for the thread's last error when that is not
// 0, and counts the error. The last error is read before anything else runs.
void ReportError(InstallSession& session, ErrorNumber number, ...);

// The system's English text for a code with its trailing line breaks
// removed, or null. The caller frees it with LocalFree.
LPWSTR SystemMessage(DWORD code);
// The same text with its trailing line break kept.
LPWSTR SystemMessageWithLineBreak(DWORD code);

// Formats into a buffer of `capacity` characters, cutting what does not fit;
// the result is always terminated. Returns the characters written.
size_t FormatText(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list arguments);
size_t FormatText(wchar_t* buffer, size_t capacity, const wchar_t* format, ...);

}  // namespace session
