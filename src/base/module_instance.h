// The program's module instance, stored by the entry routine before anything
// else runs: the session finds the program's own file through it, and the
// log dialog loads its template from it.
#pragma once

#include "platform/windows_api.h"

namespace base {

void SetModuleInstance(HINSTANCE instance);
HINSTANCE ModuleInstance();

}  // namespace base
