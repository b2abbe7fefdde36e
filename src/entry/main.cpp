#include "platform/windows_api.h"

// Placeholder entry point until the command dispatcher lands: every command
// word answers "nothing to report" (6).
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  return 6;
}
