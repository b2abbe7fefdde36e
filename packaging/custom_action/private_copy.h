// A program from the package's Binary table, written to disk for a check that
// runs before the installation has put anything there.
#pragma once

#include <windows.h>
#include <msi.h>

namespace custom_action {

struct PrivateCopy {
  wchar_t folder[MAX_PATH] = {};
  wchar_t path[MAX_PATH] = {};
  HANDLE held = INVALID_HANDLE_VALUE;
};

// Writes the Binary table's stream BINARY as FILE_NAME into a new folder
// under the Windows folder's Temp that only the system and administrators
// may change, and keeps the file open against writes and deletion. Returns 0
// or the error that stopped it. Needs elevation.
DWORD MakePrivateCopy(MSIHANDLE install, const wchar_t* binary, const wchar_t* file_name,
                      PrivateCopy& copy);
void DiscardPrivateCopy(PrivateCopy& copy);

}  // namespace custom_action
