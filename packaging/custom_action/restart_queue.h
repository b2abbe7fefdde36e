// The system's queue of file operations for the next restart, as install.exe
// onInit reads it.
#pragma once

namespace custom_action {

// Whether the queue names an existing file of one of the product's DLLs:
// until the restart, install.exe onInit refuses every installation.
bool ProductDllAwaitsRestart();

}  // namespace custom_action
