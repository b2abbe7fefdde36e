#include "entry/dispatch.h"

// A GUI program without a window of its own: it runs one command and ends
// with its exit code.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  return static_cast<int>(entry::Run(instance));
}
