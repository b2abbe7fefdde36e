// Runs install.exe for the installer: its session log goes into the
// installer log line by line while it runs, and its exit code comes back.
#pragma once

#include <windows.h>
#include <msi.h>

namespace custom_action {

struct RunResult {
  bool started = false;
  DWORD error = 0;         // why it could not be started
  DWORD code = 0;          // its exit code, when it was started
  bool cancelled = false;  // the installer's user cancelled meanwhile
};

// Runs PROGRAM WORD and waits for it, holding the program file open against
// writes and deletion while it runs. A cancel of the installation is noted
// and the program let finish: ended half-way, it would leave the spooler
// stopped or a printer half made.
RunResult RunInstallExe(MSIHANDLE install, const wchar_t* program, const wchar_t* word);

}  // namespace custom_action
