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
  platform::OwnedService manager(Sys().OpenSCManagerW(nullptr, nullptr, kManagerAccess));
  if (!manager.Held()) {
    ReportError(session, ErrorNumber::kOpenServiceManager);
    return false;
  }
  platform::OwnedService spooler(Sys().OpenServiceW(manager.get(), kSpoolerName, kCheckAccess));
  if (!spooler.Held()) {
    ReportError(session, ErrorNumber::kOpenSpooler);
    return false;
  }
  SERVICE_STATUS status{};
  // A status that cannot be read starts nothing and is no error.
  if (Sys().QueryServiceStatus(spooler.get(), &status) &&
      status.dwCurrentState != SERVICE_RUNNING && !StartSpoolerAndWait(spooler.get())) {
    ReportError(session, ErrorNumber::kStartSpooler);
    return false;
  }
  return true;
}

void RestartSpooler(SpoolerStop& stop, session::InstallSession* log) {
  if (log != nullptr) {
    LogLine(*log, L">Restart Spooler");
  }
  stop.log = log;
  stop.spooler.Reset();
  stop.manager.Reset(Sys().OpenSCManagerW(nullptr, nullptr, kManagerAccess));
  if (!stop.manager.Held()) {
    if (log != nullptr) {
      ReportError(*log, ErrorNumber::kOpenServiceManager);
    }
    return;
  }
  stop.spooler.Reset(Sys().OpenServiceW(stop.manager.get(), kSpoolerName, kRestartAccess));
  if (!stop.spooler.Held()) {
    if (log != nullptr) {
      ReportError(*log, ErrorNumber::kOpenSpooler);
    }
    return;
  }
  SERVICE_STATUS status{};
  if (!Sys().ControlService(stop.spooler.get(), SERVICE_CONTROL_STOP, &status)) {
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
  if (!PollFor(stop.spooler.get(), SERVICE_STOPPED) && log != nullptr) {
    ReportError(*log, ErrorNumber::kStopSpooler);
  }
}

void ResumeSpooler(SpoolerStop& stop) {
  if (stop.spooler.Held() && stop.stopped != 0 && !StartSpoolerAndWait(stop.spooler.get()) &&
      stop.log != nullptr) {
    ReportError(*stop.log, ErrorNumber::kStartSpooler);
  }
  stop.spooler.Reset();
  stop.manager.Reset();
}

}  // namespace services
