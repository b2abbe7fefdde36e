#include "session/log_delivery.h"

#include <algorithm>

#include "base/wide_string.h"
#include "platform/system_api.h"
#include "session/install_session.h"
#include "session/log_dialog.h"

namespace session {
namespace {

using platform::Sys;

// A console would show UTF-16 bytes as noise, and an absent handle has no
// reader: only a file or a pipe that the caller set up receives the log.
HANDLE RedirectedOutput() {
  HANDLE output = Sys().GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == nullptr || output == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  DWORD type = Sys().GetFileType(output);
  return type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE ? output : nullptr;
}

// The whole log, in as many writes as the handle takes; a write that fails
// or takes nothing ends it (the reader has gone).
void WriteLog(HANDLE output, const base::WideString& log) {
  const auto* bytes = reinterpret_cast<const BYTE*>(base::Text(log));
  size_t left = base::Length(log) * sizeof(wchar_t);
  while (left > 0) {
    DWORD written = 0;
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(left, 0x10000));
    if (!Sys().WriteFile(output, bytes, chunk, &written, nullptr) || written == 0) {
      return;
    }
    bytes += written;
    left -= written;
  }
}

// A service's window station has no user: a modal dialog there would wait
// for ever. One whose flags cannot be read is taken as visible, as before.
bool WindowStationVisible() {
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  HWINSTA station = Sys().GetProcessWindowStation();
  if (station == nullptr ||
      !Sys().GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), &needed)) {
    return true;
  }
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

// From Windows Vista on nobody sees session 0, the services' session,
// although its interactive window station reports itself visible: a dialog
// there would wait for ever. A session that cannot be learned is taken as
// any other.
bool InServicesSession() {
  DWORD session = 0;
  return Sys().ProcessIdToSessionId(Sys().GetCurrentProcessId(), &session) && session == 0;
}

}  // namespace

void DeliverLog(InstallSession& session, HWND parent) {
  // Written before the dialog, so that the caller has the log even when the
  // user leaves the dialog open.
  if (HANDLE output = RedirectedOutput()) {
    WriteLog(output, session.SessionLog);
  }
  // Shift is only looked at when no error opens the dialog anyway.
  if ((session.ErrorCount != 0 || ShiftKeyDown()) && WindowStationVisible() &&
      !InServicesSession()) {
    LogDialog(session, parent);
  }
}

}  // namespace session
