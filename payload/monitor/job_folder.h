// The folder a job is written into: <root>\Jobs\<the owner's SID>, where the
// root is <common application data>\Lumenquill or the one the monitor
// recorded (jobs_folder.h), made, checked and, where somebody else's stands
// in the way, repaired level by level.
#pragma once

#include "monitor_calls.h"

namespace monitor {

// The owner's folder. Its levels are not held open while a job is written: a
// handle that shares everything, as one that nobody can block must, stops no
// rename. What keeps the path naming what was checked is the levels' access
// lists, which let no user add, rename or delete anything in them, and the
// check verifies exactly that.
struct JobFolder {
  wchar_t path[MAX_PATH];
};

// Opens the owner's folder, making the levels that are missing. A level that
// is not the system's (a link, junction or mount point, not a folder, owned
// by somebody else, or one that others may change) is set aside and made
// afresh; where its name stays taken, the jobs move to a root of a new name.
// Returns 0, or the error of the call that failed; nothing is created below a
// level that is not the system's.
DWORD OpenJobFolder(const Calls& calls, PSID owner, JobFolder& folder);

// Renames what `object` (opened with DELETE) is to the full path `target`,
// never replacing anything of that name. False with the last error set.
bool RenameTo(HANDLE object, const wchar_t* target);

// Writes a line into the Windows Application event log, source
// "Lumenquill", as `format` makes it (%s: a wide text).
void Report(const Calls& calls, WORD type, DWORD id, const wchar_t* format, ...);

// The event ids: a level set aside, a new root, jobs of a level set aside
// moved or locked, a job that could not be written whole.
enum Event : DWORD { kSetAside = 1, kNewRoot, kMovedJobs, kPartialJob };

}  // namespace monitor
