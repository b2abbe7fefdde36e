#pragma once

#include "platform/system_api.h"

namespace platform {

// The real Win32 calls. winspool.drv, version.dll and rstrtmgr.dll are loaded
// from the system directory only (never from the program's folder, which may
// be a Downloads folder anyone can write to), at the first call that needs
// one of them, not before.
SystemApi& ProductionSystem();

}  // namespace platform
