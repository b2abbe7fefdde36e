// The calls whose answers decide where, and whether, the port monitor writes a
// job, and those that leave what it did where somebody looks: who owns the
// job, whose a folder or file is and who may change it, what the spooler says
// of the job, the folders it makes and the access lists it sets, the job's
// data written, and the event log. kvnmon64.dll takes them straight from the
// system (kSystemCalls). They come through a table so that the end-to-end
// tool can drive a copy of the monitor that answers as Windows would where
// Wine cannot: Wine has a single user, keeps no access lists, gives jobs no
// states, has no event log and never runs out of disk space on cue.
#pragma once

#include <windows.h>
#include <aclapi.h>
#include <winspool.h>
#include <winsplp.h>

namespace monitor {

struct Calls {
  decltype(&::GetTokenInformation) GetTokenInformation;          // the job's owner
  decltype(&::CreateDirectoryW) CreateDirectoryW;                // with the folder's access list
  decltype(&::GetSecurityInfo) GetSecurityInfo;                  // owner and access list
  decltype(&::SetKernelObjectSecurity) SetKernelObjectSecurity;  // what is set aside, locked
  decltype(&::ReportEventW) ReportEventW;                        // repairs and lost jobs
  decltype(&::WriteFile) WriteFile;                              // the job's data
  decltype(&::GetJobW) GetJobW;                                  // whether the job was deleted
};

extern const Calls kSystemCalls;

// What InitializePrintMonitor2 does, with the calls given.
LPMONITOR2 InitializeMonitor(const Calls* calls, PHANDLE monitor);

}  // namespace monitor
