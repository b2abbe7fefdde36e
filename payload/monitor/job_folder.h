// The folder a job is written into: <common application data>\Lumenquill\Jobs
// \<the owner's SID>, made and checked level by level.
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

// Opens the owner's folder, making the levels that are missing. Returns 0, or
// the reason no job may be written there: ERROR_CANT_ACCESS_FILE for a level
// that is a link, junction or mount point, ERROR_DIRECTORY for one that is not
// a folder, ERROR_INVALID_OWNER for one that is not the system's, or the error
// of the call that failed. Nothing is created below a level that failed.
DWORD OpenJobFolder(const Calls& calls, PSID owner, JobFolder& folder);

}  // namespace monitor
