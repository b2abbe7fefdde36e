// The program's outward contract: one command word (and optionally the setup
// package's window) in, one exit code out.
#pragma once

#include "entry/exit_code.h"
#include "platform/windows_api.h"

namespace entry {

// Runs the command the command line names and returns its exit code.
ExitCode Run(HINSTANCE instance);

// The parent-window argument read as a signed decimal number, clamped to 32
// bits: leading white space skipped, an optional sign, digits up to the first
// other character, 0 without digits.
int32_t ParseWindowNumber(const wchar_t* text);

}  // namespace entry
