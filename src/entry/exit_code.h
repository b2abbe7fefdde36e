// Every exit code the program can end with: the setup package reads the
// outcome of the command from it.
//
// Fixed: both setup packages, deployment scripts and support read these
// numbers. Never renumber one or give one a second meaning; a new outcome
// gets a new number, and the packages are taught it.
#pragma once

#include <cstdint>

namespace entry {

enum class ExitCode : uint32_t {
  kInstalled = 1,              // install: no error, nothing left for a restart
  kUninstalled = 2,            // uninstall: no error, nothing left for a restart
  kProbeAnsweredNo = 3,        // "onChkDrv", "onInit"
  kDefaultPrinterSet = 4,      // "def.set", whatever it achieved
  kNothingToReport = 6,        // no word, an unknown word, "removetray"
  kErrors = 100,               // install or uninstall reported errors
  kRestartNeeded = 101,        // no error, but files wait for the next restart
  kDefaultIsNotProduct = 102,  // "onInit": no default printer of the product
  kDriverIsCurrent = 103,      // "onChkDrv": the product's driver is of a supported build
  kFilesPending = 200,         // "onInit": the system must restart first
};

}  // namespace entry
