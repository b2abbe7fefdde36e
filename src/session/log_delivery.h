// What becomes of the session log when an install or uninstall command has
// done its work: the caller's standard output gets all of it when the caller
// redirected that output (as nsExec::ExecToLog and installer custom actions
// do), and the log dialog shows it when an error was reported or Shift is
// held, unless nobody could see the dialog.
#pragma once

#include "platform/windows_api.h"

namespace session {

struct InstallSession;

// Writes the log to a redirected standard output (a file or a pipe), as
// UTF-16LE without a byte order mark, lines ending in CR LF, then shows the
// dialog owned by `parent` where it is due and visible.
void DeliverLog(InstallSession& session, HWND parent);

}  // namespace session
