#include "print/printer_driver.h"

#include "platform/system_api.h"
#include "product.h"
#include "services/file_copy.h"
#include "services/pending_deletes.h"
#include "services/spooler_service.h"
#include "session/install_session.h"
#include "session/session_log.h"

namespace print {
namespace {

using platform::Sys;
using session::ErrorNumber;
using session::LogLine;
using session::ReportError;

constexpr size_t kStagedPathCapacity = 264;

BOOL DeleteProductDriver(const session::InstallSession& session) {
  return Sys().DeletePrinterDriverExW(nullptr, const_cast<LPWSTR>(session.Environment),
                                      const_cast<LPWSTR>(product::kDriverName),
                                      DPD_DELETE_ALL_FILES, 0);
}

}  // namespace

void AddPrinterDriver(session::InstallSession& session) {
  LogLine(session, L">Add Printer Driver");
  session::LogStep step(session);
  // Without the driver directory (error 6 has told) the copies would go to
  // the current directory, which may be anyone's, and be deleted from there.
  if (base::Length(session.DriverDirectory) == 0) {
    LogLine(session, L"No printer driver directory: the driver is not staged");
    return;
  }
  const wchar_t* directory = base::Text(session.DriverDirectory);
  wchar_t driver_path[kStagedPathCapacity] = {};
  wchar_t config_path[kStagedPathCapacity] = {};
  wchar_t help_path[kStagedPathCapacity] = {};
  constexpr auto kReport = services::CopyErrors::kReport;
  if (!services::CopyFile(session, directory, session.DriverFile,
                          {driver_path, kStagedPathCapacity}, kReport) ||
      !services::CopyFile(session, directory, session.ConfigFile,
                          {config_path, kStagedPathCapacity}, kReport)) {
    return;  // no driver without both DLLs
  }
  if (!services::CopyFile(session, directory, session.HelpFile, {help_path, kStagedPathCapacity},
                          kReport)) {
    help_path[0] = 0;  // the driver goes in without a help file
  }

  DRIVER_INFO_6W driver{};
  driver.cVersion = 3;
  driver.pName = const_cast<LPWSTR>(product::kDriverName);
  driver.pEnvironment = const_cast<LPWSTR>(session.Environment);
  driver.pDriverPath = driver_path;
  driver.pDataFile = driver_path;  // the driver DLL is its own data file
  driver.pConfigFile = config_path;
  driver.pHelpFile = help_path;
  driver.pszMfgName = const_cast<LPWSTR>(kMakerName);
  driver.pszOEMUrl = const_cast<LPWSTR>(kMakerUrl);
  driver.pszProvider = const_cast<LPWSTR>(kMakerName);
  if (SpoolAddDriver(driver)) {
    LogLine(session, L"OK :)");
  } else {
    ReportError(session, ErrorNumber::kInstallDriver);
  }
  // The spooler has copied what it needs: the staged files go, now or later.
  services::DeleteOrDefer(session, driver_path);
  services::DeleteOrDefer(session, config_path);
  if (help_path[0] != 0) {
    services::DeleteOrDefer(session, help_path);
  }
}

void DeletePrinterDriver(session::InstallSession& session, const DriverList& drivers) {
  LogLine(session, L">DeletePrinterDriver for %s", session.Environment);
  session::LogStep step(session);
  if (drivers.count != 0) {
    LogNameListing(session, L"------------ %d existing drivers-----------", drivers,
                   L"-------------------------------------------");
  } else if (drivers.failed) {
    LogLine(session, L"Can't list the printer drivers");
  } else {
    LogLine(session, L"BTW, there is no printer drivers on this system.");
  }
  int index = FindProductDriver(drivers);
  // Without a list there is no knowing whether the driver is there: the
  // deletion itself tells, rather than an uninstall claiming it removed it.
  if (index < 0 && !drivers.failed) {
    LogLine(session, L"No Lumenquill driver was found");
    return;
  }
  if (index >= 0) {
    LogLine(session, L"Driver is found. Index=%d", index + 1);
  }
  if (DeleteProductDriver(session)) {
    LogLine(session, L"OK :)");
  } else if (index < 0 && Sys().GetLastError() == ERROR_UNKNOWN_PRINTER_DRIVER) {
    LogLine(session, L"No Lumenquill driver was found");
  } else {
    LogLine(session, L"Can't delete driver. Trying to restart spooler");
    services::SpoolerStop stop;
    services::RestartSpooler(stop, &session);
    services::ResumeSpooler(stop);
    if (DeleteProductDriver(session)) {
      LogLine(session, L"OK :)");
    } else {
      ReportError(session, ErrorNumber::kRemoveDriver);
    }
  }
}

}  // namespace print
