#pragma once

#include "platform/system_api.h"

namespace platform {

// The real Win32 calls. winspool.drv and version.dll are loaded from the
// system directory only (never from the program's folder, which may be a
// Downloads folder anyone can write to), the first time this is called.
SystemApi& ProductionSystem();

}  // namespace platform
