// InstallSession: the record one install or uninstall command works on from
// start to end. Creating it checks the spooler, fixes the file set, finds the
// directories, and takes the snapshot of the installed printers with the
// default printer marked; freeing it releases everything the steps left in it.
#pragma once

#include <cstdint>

#include "base/wide_string.h"
#include "print/spooler_queries.h"

namespace services {
struct PendingDeleteNode;
}
namespace print {
struct PrinterRestoreNode;
struct ReboundPrinter;
}  // namespace print

namespace session {

// Mode flags of InitSession.
inline constexpr uint32_t ModeX64 = 2;     // the 64-bit file set, environment "Windows x64"
inline constexpr uint32_t ModeNoTray = 4;  // the tray companion is not started

struct InstallSession {
  base::WideString InstallerDirectory;  // the program's own directory, with its separator
  base::WideString SystemDirectory;     // with a trailing backslash
  base::WideString SessionLog;
  base::WideString DriverDirectory;  // the spooler's driver directory, with a trailing backslash
  const wchar_t* Environment = nullptr;
  const wchar_t* MonitorFile = nullptr;
  const wchar_t* DriverFile = nullptr;
  const wchar_t* HelpFile = nullptr;
  const wchar_t* ConfigFile = nullptr;
  uint8_t Is64Bit = 0;
  uint8_t CheckMonitorVersion = 0;
  uint8_t InstallMonitor = 1;
  uint8_t LaunchTray = 1;
  uint8_t CopyMonitor = 1;
  int32_t ErrorCount = 0;
  int32_t Depth = 0;
  services::PendingDeleteNode* PendingDeletes = nullptr;
  print::PrinterRestoreNode* RestoreList = nullptr;
  // Product printers a reinstall kept because it could not learn how to
  // re-create them: they stand in for the printer "Lumenquill".
  uint32_t KeptPrinters = 0;
  print::PrinterSnapshot Printers;
  // The snapshot records whose port the monitor removal switched to
  // "file:", ended by an entry without a printer; null when none was made.
  print::ReboundPrinter* ReboundPrinters = nullptr;
};

InstallSession& InitSession(InstallSession& session, uint32_t mode);
void FreeSession(InstallSession& session);
// Takes the printer snapshot and marks the default printer in it.
void MarkDefaultPrinter(InstallSession& session);

}  // namespace session
