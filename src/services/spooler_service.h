// Control of the print spooler service. Steps that need the spooler stopped
// call RestartSpooler, do their work, and call ResumeSpooler before they
// return: nothing leaves the spooler stopped for a later step. Every wait is
// a bounded poll.
#pragma once

#include <cstdint>

#include "platform/owned_handles.h"

namespace session {
struct InstallSession;
}

namespace services {

// What RestartSpooler did, for ResumeSpooler to undo.
struct SpoolerStop {
  // Where the lines and errors go; none writes and counts nothing.
  session::InstallSession* log = nullptr;
  platform::OwnedService manager;
  platform::OwnedService spooler;
  uint8_t stopped = 0;  // the stop request was sent
};

// Access the operations ask for.
inline constexpr DWORD kManagerAccess = STANDARD_RIGHTS_REQUIRED | SC_MANAGER_CONNECT;
inline constexpr DWORD kCheckAccess = SERVICE_QUERY_STATUS | SERVICE_START;
inline constexpr DWORD kRestartAccess = kCheckAccess | SERVICE_STOP;
inline constexpr int kPollPauses = 50;
inline constexpr DWORD kPollPause = 200;  // ms

// Starts the spooler if it is installed but not running. False after any
// reported error.
bool CheckSpooler(session::InstallSession& session);
// Starts the service and waits until it runs, at most 50 pauses of 200 ms.
bool StartSpoolerAndWait(SC_HANDLE spooler);
// Stops the spooler and records what has to be undone.
void RestartSpooler(SpoolerStop& stop, session::InstallSession* log);
// Starts the spooler again if it was stopped, and closes the handles.
void ResumeSpooler(SpoolerStop& stop);

}  // namespace services
