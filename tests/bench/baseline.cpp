// The benchmark's baseline: a GUI program of the same build as install.exe
// that does nothing, so that what it costs to start a program under Wine can
// be told apart from what install.exe itself costs.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  return 0;
}
