// The log dialog: a modal window that shows the whole session log at the end
// of an install or uninstall command when an error was reported or the Shift
// key is held.
#pragma once

#include "platform/windows_api.h"

namespace session {

struct InstallSession;

// Shows the log modally, owned by `owner` (or none); returns 1 for Close or
// Enter, 0 for Escape or the close box, -1 when it could not be shown.
INT_PTR LogDialog(InstallSession& session, HWND owner);

// Whether the Shift key is down at this moment.
bool ShiftKeyDown();

}  // namespace session
