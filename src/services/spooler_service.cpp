#include "services/spooler_service.h"

#include "platform/system_api.h"
#include "session/install_session.h"
#include "session/session_log.h"

namespace services {
namespace {

using platform::Sys;
using session::ErrorNumber;
using session::LogLine;
using session::ReportError;

constexpr wchar_t kSpoolerName[] = L"spooler";

// Queries until the service reports `state`, at most 50 pauses of 200 ms.
// A failed query leaves the last status as it was.
bool PollFor(SC_HANDLE service, DWORD state) {
  SERVICE_STATUS status{};
  Sys().QueryServiceStatus(service, &status);
  for (int pause = 0; pause < kPollPauses; ++pause) {
    if (status.dwCurrentState == state) {
      return true;
    }
    Sys().Sleep(kPollPause);
    Sys().QueryServiceStatus(service, &status);
  }
  return status.dwCurrentState == state;
}

}  // namespace

bool StartSpoolerAndWait(SC_HANDLE spooler) {
  // A service that is already running or starting refuses the start; the
  // poll decides.
  Sys().StartServiceW(spooler, 0, nullptr);
  return PollFor(spooler, SERVICE_RUNNING);
}

bool CheckSpooler(session::InstallSession& session) {
  LogLine(session, L">Check Spooler");
  session::LogStep step(session);
  bool result = true;
  SC_HANDLE manager = Sys().OpenSCManagerW(nullptr, nullptr, kManagerAccess);
  if (manager == nullptr) {
    ReportError(session, ErrorNumber::kOpenServiceManager);
    return false;
  }
  SC_HANDLE spooler = Sys().OpenServiceW(manager, kSpoolerName, kCheckAccess);
  if (spooler == nullptr) {
    ReportError(session, ErrorNumber::kOpenSpooler);
    result = false;
  } else {
    SERVICE_STATUS status{};
    // A status that cannot be read starts nothing and is no error.
    if (Sys().QueryServiceStatus(spooler, &status) && status.dwCurrentState != SERVICE_RUNNING &&
        !StartSpoolerAndWait(spooler)) {
      ReportError(session, ErrorNumber::kStartSpooler);
      result = false;
    }
    Sys().CloseServiceHandle(spooler);
  }
  Sys().CloseServiceHandle(manager);
  return result;
}

void RestartSpooler(SpoolerStop& stop, session::InstallSession* log) {
  if (log != nullptr) {
    LogLine(*log, L">Restart Spooler");
  }
  stop.log = log;
  stop.spooler = nullptr;
  stop.manager = Sys().OpenSCManagerW(nullptr, nullptr, kManagerAccess);
  if (stop.manager == nullptr) {
    if (log != nullptr) {
      ReportError(*log, ErrorNumber::kOpenServiceManager);
    }
    return;
  }
  stop.spooler = Sys().OpenServiceW(stop.manager, kSpoolerName, kRestartAccess);
  if (stop.spooler == nullptr) {
    if (log != nullptr) {
      ReportError(*log, ErrorNumber::kOpenSpooler);
    }
    return;
  }
  SERVICE_STATUS status{};
  if (!Sys().ControlService(stop.spooler, SERVICE_CONTROL_STOP, &status)) {
    DWORD error = Sys().GetLastError();
    // A spooler that was not running is no error.
    if (error != ERROR_SERVICE_NOT_ACTIVE && log != nullptr) {
      ReportError(*log, ErrorNumber::kControlService, static_cast<int>(error),
                  static_cast<int>(error));
    }
  }
  // Set whatever the stop request answered, so that ResumeSpooler starts the
  // spooler whenever it could be opened.
  stop.stopped = 1;
  if (!PollFor(stop.spooler, SERVICE_STOPPED) && log != nullptr) {
    ReportError(*log, ErrorNumber::kStopSpooler);
  }
}

void ResumeSpooler(SpoolerStop& stop) {
  if (stop.spooler != nullptr) {
    if (stop.stopped != 0 && !StartSpoolerAndWait(stop.spooler) && stop.log != nullptr) {
      ReportError(*stop.log, ErrorNumber::kStartSpooler);
    }
    Sys().CloseServiceHandle(stop.spooler);
  }
  // Also when the manager could not be opened: closing null simply fails.
  Sys().CloseServiceHandle(stop.manager);
}

}  // namespace services
