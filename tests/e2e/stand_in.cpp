// Stands in for install.exe in setup packages built from
// packaging/lumenquill.wxs and lumenquill.nsi, so that the test chooses every
// exit code: it appends its build (STAND_IN_BUILD: the tests build one of
// this build and one of the next, to upgrade one with the other), its command
// line, how many handles besides its output it inherited and the autostart
// value it finds to C:\stand-in\calls.txt, writes a log to
// its standard output as install.exe does, and ends with the number in
// C:\stand-in\WORD (0 without one; before 101 it queues a DLL of the
// product's name for deletion at the next restart, as install.exe does).
// Files, because the deferred actions run in msiexec's service, which the
// test's environment does not reach.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  int inherited = 0;  // counted before any file of its own is open
  for (uintptr_t value = 4; value < 0x1000; value += 4) {
    DWORD flags = 0;
    auto* handle = reinterpret_cast<HANDLE>(value);
    inherited +=
        handle != out && GetHandleInformation(handle, &flags) && (flags & HANDLE_FLAG_INHERIT);
  }
  const wchar_t* word = __argc > 1 ? __wargv[1] : L"";
  wchar_t path[MAX_PATH];
  _snwprintf(path, MAX_PATH - 1, L"C:\\stand-in\\%ls", word);
  int code = 0;
  if (FILE* file = _wfopen(path, L"r")) {
    code = fscanf(file, "%d", &code) == 1 ? code : 0;
    fclose(file);
  }
  wchar_t tray[MAX_PATH + 2] = L"none";
  DWORD size = sizeof(tray);
  RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run",
               L"LumenquillTray", RRF_RT_REG_SZ, nullptr, tray, &size);
  if (FILE* calls = _wfopen(L"C:\\stand-in\\calls.txt", L"a")) {
    fwprintf(calls, L"build %d: %ls; other handles inherited: %d; autostart value: %ls\n",
             STAND_IN_BUILD, GetCommandLineW(), inherited, tray);
    fclose(calls);
  }
  if (code == 101) {
    CloseHandle(CreateFileW(L"C:\\stand-in\\kvnui64.dll", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            0, nullptr));
    MoveFileExW(L"C:\\stand-in\\kvnui64.dll", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  }
  // A byte order mark, bracketed text the installer must not format (Wine's
  // does), non-ASCII letters, a line longer than a pipe holds and a last line
  // without CR LF, written in two pieces that cut a character in half.
  static wchar_t log[48000];
  int length = _snwprintf(log, 1000,
                          L"\xFEFFstand-in %ls: Drucker \x201E"
                          L"B\xFCro\x201C [1] {[2]}\r\n",
                          word);
  wmemset(log + length, L'x', 40000);
  length += 40000 + _snwprintf(log + length + 40000, 1000, L"\r\nstand-in %ls: last line", word);
  DWORD written = 0;
  WriteFile(out, log, 5, &written, nullptr);
  WriteFile(out, reinterpret_cast<char*>(log) + 5, length * 2 - 5, &written, nullptr);
  return code;
}
