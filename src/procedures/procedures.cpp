#include "procedures/procedures.h"

#include "companions/tray.h"
#include "print/port_monitor.h"
#include "print/printer_driver.h"
#include "print/printers.h"
#include "print/spooler_queries.h"
#include "services/pending_deletes.h"
#include "services/pending_renames.h"
#include "services/spooler_service.h"
#include "session/install_session.h"
#include "session/log_delivery.h"
#include "session/session_log.h"

namespace procedures {
namespace {

using session::LogLine;

// Carries out the queued restart-time deletions of files that exist now.
void PurgeQueuedDeletions() {
  services::PendingRenameTable table = services::LoadPendingRenameTable();
  services::PurgePendingRenameDeletes(table);
  services::FreePendingRenameTable(table);
}

// Retries the files that could not be deleted, with the spooler stopped if
// some still resist.
void RetryPendingDeletes(session::InstallSession& session) {
  if (session.PendingDeletes == nullptr) {
    return;
  }
  services::DeleteFileTry(session);
  if (session.PendingDeletes != nullptr) {
    services::SpoolerStop stop;
    services::RestartSpooler(stop, &session);
    services::DeleteFileTry(session);
    services::ResumeSpooler(stop);
  }
}

}  // namespace

void UnInstall(session::InstallSession& session) {
  LogLine(session, L">UnInstall");
  session::LogStep step(session);
  {
    // A reinstall (the one removal that checks the monitor's version) starts
    // the companion from this very file again: it keeps it.
    base::OwnedString keep(session.CheckMonitorVersion != 0 ? companions::TrayProgramPath(session)
                                                            : base::WideString{});
    companions::CloseTray(base::Length(keep) != 0 ? base::Text(keep) : nullptr);
  }

  LogLine(session, L"EnumMonitors");
  print::MonitorList monitors;
  print::EnumerateMonitors(monitors, session);
  LogLine(session, L"%d Monitors found.", static_cast<int>(monitors.count));

  LogLine(session, L"EnumPrinterDrivers for %s", session.Environment);
  print::DriverList drivers;
  print::EnumerateDrivers(drivers, session.Environment);
  LogLine(session, L"%d drivers found", static_cast<int>(drivers.count));

  // Printers first: the spooler keeps a driver a printer uses, and a
  // monitor whose port a printer uses.
  print::DeleteAllPrinters(session);
  print::DeletePrinterDriver(session, drivers);
  print::DeleteMonitor(session, monitors);
  if (session.PendingDeletes != nullptr) {
    services::DeleteFileTry(session);
  }
}

void ReInstall(session::InstallSession& session) {
  LogLine(session, L">ReInstall");
  session::LogStep step(session, 2);
  session.CheckMonitorVersion = 1;
  UnInstall(session);
  if (session.PendingDeletes != nullptr) {
    // What still resists with the spooler stopped is dropped, not left for
    // the next restart: the installation is about to replace it.
    services::SpoolerStop stop;
    services::RestartSpooler(stop, &session);
    services::DeleteFileTry(session);
    services::DiscardPendingDeletes(session);
    services::ResumeSpooler(stop);
  }
  PurgeQueuedDeletions();
  if (session.InstallMonitor != 0) {
    print::AddMonitor(session);
  }
  print::AddPrinterDriver(session);
  print::RestorePrinters(session);
  companions::StartTray(session);
  RetryPendingDeletes(session);
}

void UninstallAndPurge(session::InstallSession& session) {
  UnInstall(session);
  PurgeQueuedDeletions();
  RetryPendingDeletes(session);
}

bool UninstallCommand(HWND parent, uint32_t& scheduled) {
  session::InstallSession session;
  session::InitSession(session, session::ModeX64);
  UninstallAndPurge(session);
  scheduled = services::ScheduleRebootDeletes(session);
  session::DeliverLog(session, parent);
  bool errors = session.ErrorCount != 0;
  session::FreeSession(session);
  return errors;
}

}  // namespace procedures
