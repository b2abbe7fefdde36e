// The install and uninstall procedures: the fixed chains of steps, the log
// depths, where the spooler is stopped, and where files that could not be
// deleted are retried, dropped or left for the next restart. No step's
// failure stops a chain; only the error count, read at the end, does.
#pragma once

#include <cstdint>

#include "platform/windows_api.h"

namespace session {
struct InstallSession;
}

namespace procedures {

// Removes everything of the product: tray companion, printers, driver,
// monitor.
void UnInstall(session::InstallSession& session);
// The whole install: the removal with the monitor version check, clean-up,
// then monitor, driver, printers and tray companion.
void ReInstall(session::InstallSession& session);
// The removal followed by the clean-up of files that could not be deleted.
void UninstallAndPurge(session::InstallSession& session);
// The complete uninstall command, with its own session and log dialog.
// True when errors were reported; `scheduled` receives the number of files
// left for deletion at the next restart.
bool UninstallCommand(HWND parent, uint32_t& scheduled);

}  // namespace procedures
