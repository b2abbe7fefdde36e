// lumtray.exe: the Lumenquill tray companion.
//
// Started at log-on (and by the installer) with its quoted path as the whole
// command line. It shows an icon in the notification area whose menu opens
// the folder of captured jobs, and it keeps the promises in tray_contract.h:
// the installer stops it through its window and knows it has ended when the
// mutex is released.
#include <windows.h>
#include <shellapi.h>

#include "jobs_folder.h"
#include "tray_contract.h"

namespace {

constexpr UINT kNotifyMessage = WM_APP + 1;
constexpr UINT kIconId = 1;
constexpr int kIconResource = 1;
constexpr wchar_t kTitle[] = L"Lumenquill";

// Sent by the shell to every top-level window when the taskbar is (re)created:
// an icon added before the shell was up, or before Explorer restarted, has to
// be added again then.
UINT taskbar_created = 0;
HICON icon = nullptr;
HANDLE single_instance = nullptr;

NOTIFYICONDATAW IconData(HWND window) {
  NOTIFYICONDATAW data = {};
  data.cbSize = sizeof(data);
  data.hWnd = window;
  data.uID = kIconId;
  return data;
}

// A missing shell is no reason to end: the icon comes when the taskbar does.
void AddIcon(HWND window) {
  NOTIFYICONDATAW data = IconData(window);
  data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  data.uCallbackMessage = kNotifyMessage;
  data.hIcon = icon;
  lstrcpynW(data.szTip, L"Lumenquill printer", ARRAYSIZE(data.szTip));
  Shell_NotifyIconW(NIM_ADD, &data);
}

DWORD WINAPI RemoveIcon(void* window) {
  NOTIFYICONDATAW data = IconData(static_cast<HWND>(window));
  Shell_NotifyIconW(NIM_DELETE, &data);
  return 0;
}

// The shell usually lets an icon go at once, but a busy shell can keep the
// call waiting for seconds (Wine's has been seen to take two every time).
// Whoever asked the companion to end is waiting for it (the installer then
// deletes its file), so the removal gets only a short while before the
// companion goes on ending; the shell drops the icon when it gets to it.
void RemoveIconPromptly(HWND window) {
  constexpr DWORD kMaxWait = 250;  // milliseconds
  HANDLE remover = CreateThread(nullptr, 0, RemoveIcon, window, 0, nullptr);
  if (remover == nullptr) {
    RemoveIcon(window);
    return;
  }
  WaitForSingleObject(remover, kMaxWait);
  CloseHandle(remover);
}

// Opens the user's own folder of jobs. The port monitor makes it, as the
// system, with the user's first job; the companion runs as the user and
// makes nothing (a folder the user made would be the user's, and the monitor
// writes into none such), so until then it says so.
void OpenJobsFolder(HWND window) {
  wchar_t folder[MAX_PATH];
  if (!payload::OwnJobsFolder(folder)) {
    MessageBoxW(window, L"The folder of your printed jobs could not be found.", kTitle,
                MB_OK | MB_ICONWARNING);
    return;
  }
  if (GetFileAttributesW(folder) == INVALID_FILE_ATTRIBUTES &&
      (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)) {
    wchar_t text[MAX_PATH + 160];
    wsprintfW(text,
              L"You have no printed jobs yet. Your jobs will be saved in\n\n%s\n\nThe folder "
              L"is made when your first job arrives.",
              folder);
    MessageBoxW(window, text, kTitle, MB_OK | MB_ICONINFORMATION);
    return;
  }
  if (reinterpret_cast<INT_PTR>(
          ShellExecuteW(window, L"open", folder, nullptr, nullptr, SW_SHOWNORMAL)) <= 32) {
    MessageBoxW(window, L"The folder of your printed jobs could not be opened.", kTitle,
                MB_OK | MB_ICONWARNING);
  }
}

void ShowMenu(HWND window) {
  HMENU menu = CreatePopupMenu();
  if (menu == nullptr) {
    return;
  }
  AppendMenuW(menu, MF_STRING, tray::kOpenJobsCommand, L"&Open jobs folder");
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu, MF_STRING, tray::kExitCommand, L"E&xit");
  SetMenuDefaultItem(menu, tray::kOpenJobsCommand, FALSE);
  POINT at = {};
  GetCursorPos(&at);
  // Without the foreground the menu would stay open when the user clicks
  // elsewhere; the posted message lets it close properly the next time.
  SetForegroundWindow(window);
  TrackPopupMenu(menu, TPM_RIGHTBUTTON, at.x, at.y, 0, window, nullptr);
  PostMessageW(window, WM_NULL, 0, 0);
  DestroyMenu(menu);
}

void ReleaseSingleInstance() {
  if (single_instance != nullptr) {
    ReleaseMutex(single_instance);
    CloseHandle(single_instance);
    single_instance = nullptr;
  }
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case tray::kExitMessage:
      DestroyWindow(window);
      return 0;
    case kNotifyMessage:
      switch (LOWORD(lparam)) {
        case WM_RBUTTONUP:
        case WM_CONTEXTMENU:
          ShowMenu(window);
          break;
        case WM_LBUTTONDBLCLK:
          OpenJobsFolder(window);
          break;
      }
      return 0;
    case WM_COMMAND:
      if (LOWORD(wparam) == tray::kOpenJobsCommand) {
        OpenJobsFolder(window);
      } else if (LOWORD(wparam) == tray::kExitCommand) {
        DestroyWindow(window);
      }
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      if (wparam && (lparam & ENDSESSION_CLOSEAPP) != 0) {
        // The Restart Manager asks for the companion's file (an uninstall or
        // update, maybe from another session): end at once.
        DestroyWindow(window);
      } else if (wparam) {
        // The session ends without a way back to the message loop: let go
        // of the mutex now, so that it is released, not abandoned.
        RemoveIconPromptly(window);
        ReleaseSingleInstance();
      }
      return 0;
    case WM_DESTROY:
      RemoveIconPromptly(window);
      PostQuitMessage(0);
      return 0;
  }
  if (message == taskbar_created && taskbar_created != 0) {
    AddIcon(window);
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace

// The command line is not read: the companion takes no arguments.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // Owned from the start, so that the installer's wait on it returns only
  // once this process has released it on its way out.
  single_instance = CreateMutexW(nullptr, TRUE, tray::kMutexName);
  if (single_instance == nullptr) {
    return 1;
  }
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    // Another companion runs; this one was never the owner.
    CloseHandle(single_instance);
    return 0;
  }
  // Registered with the Restart Manager as one that may be closed and started
  // again: the installer closes companions through it only when every
  // program that holds the file is so registered, never a service or some
  // other program that has the file open. Not after a crash or a hang.
  RegisterApplicationRestart(L"", RESTART_NO_CRASH | RESTART_NO_HANG);

  icon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON,
                                       GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                       LR_DEFAULTCOLOR));
  WNDCLASSEXW window_class = {};
  window_class.cbSize = sizeof(window_class);
  window_class.lpfnWndProc = WindowProc;
  window_class.hInstance = instance;
  window_class.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(kIconResource));
  window_class.lpszClassName = tray::kWindowClass;
  // A top-level window that is never shown: the installer finds it with
  // FindWindow, which does not see message-only windows.
  HWND window = nullptr;
  if (RegisterClassExW(&window_class)) {
    window =
        CreateWindowExW(0, tray::kWindowClass, kTitle, WS_OVERLAPPED, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
  }
  if (window == nullptr) {
    ReleaseSingleInstance();
    return 1;
  }

  taskbar_created = RegisterWindowMessageW(L"TaskbarCreated");
  // Started by the elevated installer, the companion runs elevated while the
  // shell does not: let the shell's messages through.
  if (taskbar_created != 0) {
    ChangeWindowMessageFilterEx(window, taskbar_created, MSGFLT_ALLOW, nullptr);
  }
  ChangeWindowMessageFilterEx(window, kNotifyMessage, MSGFLT_ALLOW, nullptr);
  AddIcon(window);

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  ReleaseSingleInstance();
  if (icon != nullptr) {
    DestroyIcon(icon);
  }
  return 0;
}
