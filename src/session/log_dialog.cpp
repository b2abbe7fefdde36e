#include "session/log_dialog.h"

#include "base/module_instance.h"
#include "log_dialog_ids.h"
#include "platform/system_api.h"
#include "product.h"
#include "session/install_session.h"
#include "session/session_log.h"

namespace session {
namespace {

using platform::Sys;

constexpr size_t kTitleCapacity = 264;

INT_PTR CALLBACK LogDialogProcedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_INITDIALOG) {
    const auto& session = *reinterpret_cast<const InstallSession*>(lparam);
    Sys().SetDlgItemTextW(dialog, IDC_LOG_TEXT, base::Text(session.SessionLog));
    wchar_t title[kTitleCapacity];
    size_t used =
        FormatText(title, kTitleCapacity, L"Lumenquill build %d- Install", product::kBuild);
    FormatText(title + used, kTitleCapacity - used,
               session.ErrorCount != 0 ? L" error log!" : L" log.");
    Sys().SetWindowTextW(dialog, title);
    // A caller that starts the program hidden (STARTF_USESHOWWINDOW with
    // SW_HIDE, as nsExec does) has the first ShowWindow of the process hide
    // its window: were that the dialog manager's, the dialog would wait
    // unseen. This call takes that first turn; the dialog manager's own then
    // shows the dialog.
    Sys().ShowWindow(dialog, SW_SHOWNORMAL);
  } else if (message == WM_COMMAND) {
    switch (LOWORD(wparam)) {
      case IDC_LOG_CLOSE:  // the Close button, or Enter through the default button
        Sys().EndDialog(dialog, 1);
        break;
      case IDCANCEL:  // Escape, or the close box
        Sys().EndDialog(dialog, 0);
        break;
    }
  }
  // Always 0, also for WM_INITDIALOG: the dialog manager sets no initial focus,
  // so the log text is not shown selected.
  return 0;
}

}  // namespace

INT_PTR LogDialog(InstallSession& session, HWND owner) {
  return Sys().DialogBoxParamW(base::ModuleInstance(), MAKEINTRESOURCEW(IDD_LOG_DIALOG), owner,
                               LogDialogProcedure, reinterpret_cast<LPARAM>(&session));
}

bool ShiftKeyDown() {
  return (Sys().GetAsyncKeyState(VK_SHIFT) & 0x8000) != 0;
}

}  // namespace session
