// Plays the setup package: owns a top-level window, runs install.exe with a
// command word and that window's handle, waits for the log dialog when one
// appears (checks that its window owns it, reads the log from the edit
// control, presses Close), and reports the exit code and the log.
//
//   setup_harness.exe RESULT_FILE [--wait-for GO_FILE] INSTALL_EXE ARGUMENT...
//
// "{hwnd}" in an argument is replaced by the harness window's handle in
// decimal. With --wait-for, the harness shows its window and waits until
// GO_FILE exists before it starts install.exe (a test presses keys in the
// meantime). RESULT_FILE receives, in UTF-8:
//   exit=N / wall_ms / dialog_ms (of that, the time the dialog waited for its
//   "user") / peak_bytes (the program's peak working set) / dialog=0|1 /
//   owned=0|1 / title=... / a line "log:" and the log.
// The harness's own exit code is install.exe's.
#include <windows.h>
#include <psapi.h>
#include <shellapi.h>

#include <string>

#include "utf8.h"
#include <vector>

namespace {

constexpr wchar_t kWindowClass[] = L"LumenquillSetupHarness";
constexpr wchar_t kWindowTitle[] = L"Lumenquill Setup Harness";
constexpr DWORD kTimeLimit = 300000;  // ms for the whole command

struct Dialog {
  bool seen = false;
  bool owned = false;
  std::wstring title;
  std::wstring log;
};

// How long the program ran, how long of that its dialog waited for the
// "user", and the most memory it held.
struct Measures {
  double wall_ms = 0;
  double dialog_ms = 0;
  SIZE_T peak_bytes = 0;
};

double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) /
         static_cast<double>(frequency.QuadPart);
}

std::wstring WindowText(HWND window) {
  auto length = static_cast<int>(SendMessageW(window, WM_GETTEXTLENGTH, 0, 0));
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
  text.resize(wcslen(text.c_str()));
  return text;
}

struct Search {
  DWORD process;
  HWND found;
};

BOOL CALLBACK FindDialogOf(HWND window, LPARAM parameter) {
  auto* search = reinterpret_cast<Search*>(parameter);
  DWORD owner_process = 0;
  GetWindowThreadProcessId(window, &owner_process);
  wchar_t class_name[16] = {};
  GetClassNameW(window, class_name, 16);
  if (owner_process == search->process && wcscmp(class_name, L"#32770") == 0 &&
      IsWindowVisible(window)) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

void PumpMessages() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

bool FileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Runs the command line and drives its log dialog; returns the exit code.
DWORD RunInstall(std::wstring command_line, HWND harness, Dialog& dialog, Measures& measures) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  LARGE_INTEGER started, dialog_seen{}, dialog_closed{}, ended;
  QueryPerformanceCounter(&started);
  if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return 0xFFFFFFFF;
  }
  DWORD start = GetTickCount();
  for (;;) {
    DWORD wait = MsgWaitForMultipleObjects(1, &process.hProcess, FALSE, 50, QS_ALLINPUT);
    if (wait == WAIT_OBJECT_0) {
      break;
    }
    PumpMessages();
    if (!dialog.seen) {
      Search search{process.dwProcessId, nullptr};
      EnumWindows(FindDialogOf, reinterpret_cast<LPARAM>(&search));
      if (search.found != nullptr) {
        QueryPerformanceCounter(&dialog_seen);
        Sleep(200);  // let the dialog finish setting its title and text
        dialog.seen = true;
        dialog.owned = GetWindow(search.found, GW_OWNER) == harness;
        dialog.title = WindowText(search.found);
        dialog.log = WindowText(GetDlgItem(search.found, 1001));
        PostMessageW(GetDlgItem(search.found, 1), BM_CLICK, 0, 0);
        QueryPerformanceCounter(&dialog_closed);
      }
    }
    if (GetTickCount() - start > kTimeLimit) {
      TerminateProcess(process.hProcess, 0xFFFFFFFE);
      break;
    }
  }
  QueryPerformanceCounter(&ended);
  measures.wall_ms = Milliseconds(started, ended);
  measures.dialog_ms = dialog.seen ? Milliseconds(dialog_seen, dialog_closed) : 0;
  PROCESS_MEMORY_COUNTERS memory{};
  if (K32GetProcessMemoryInfo(process.hProcess, &memory, sizeof(memory))) {
    measures.peak_bytes = memory.PeakWorkingSetSize;
  }
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return code;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  int next = 1;
  if (count < 3) {
    return 0xFFFFFFFD;
  }
  std::wstring result_file = arguments[next++];
  std::wstring go_file;
  if (std::wstring(arguments[next]) == L"--wait-for" && next + 1 < count) {
    go_file = arguments[next + 1];
    next += 2;
  }

  WNDCLASSW window_class{};
  window_class.lpfnWndProc = DefWindowProcW;
  window_class.hInstance = instance;
  window_class.lpszClassName = kWindowClass;
  RegisterClassW(&window_class);
  HWND harness = CreateWindowExW(0, kWindowClass, kWindowTitle, WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                 40, 40, 400, 200, nullptr, nullptr, instance, nullptr);
  std::wstring handle = std::to_wstring(reinterpret_cast<uintptr_t>(harness));

  std::wstring command_line = L"\"" + std::wstring(arguments[next++]) + L"\"";
  for (; next < count; ++next) {
    std::wstring argument = arguments[next];
    size_t marker = argument.find(L"{hwnd}");
    if (marker != std::wstring::npos) {
      argument.replace(marker, 6, handle);
    }
    command_line += L" " + argument;
  }

  if (!go_file.empty()) {
    DWORD start = GetTickCount();
    while (!FileExists(go_file) && GetTickCount() - start < kTimeLimit) {
      PumpMessages();
      Sleep(20);
    }
  }

  Dialog dialog;
  Measures measures;
  DWORD code = RunInstall(command_line, harness, dialog, measures);
  std::string report =
      "exit=" + std::to_string(code) + "\n" + "wall_ms=" + std::to_string(measures.wall_ms) + "\n" +
      "dialog_ms=" + std::to_string(measures.dialog_ms) + "\n" +
      "peak_bytes=" + std::to_string(measures.peak_bytes) + "\n" +
      "dialog=" + (dialog.seen ? "1" : "0") + "\n" + "owned=" + (dialog.owned ? "1" : "0") + "\n" +
      "title=" + Utf8(dialog.title) + "\n" + "log:\n" + Utf8(dialog.log);
  HANDLE file =
      CreateFileW(result_file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, report.data(), static_cast<DWORD>(report.size()), &written, nullptr);
  CloseHandle(file);
  DestroyWindow(harness);
  LocalFree(arguments);
  return static_cast<int>(code);
}
