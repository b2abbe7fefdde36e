#include "entry/dispatch.h"

#include <cwchar>

#include "base/ascii_text.h"
#include "base/module_instance.h"
#include "companions/help_windows.h"
#include "companions/tray.h"
#include "platform/system_api.h"
#include "procedures/procedures.h"
#include "procedures/status_probes.h"
#include "services/pending_deletes.h"
#include "session/install_session.h"
#include "session/log_delivery.h"
#include "session/session_log.h"

namespace entry {
namespace {

using base::EqualIgnoringAsciiCase;
using platform::Sys;

enum class InstallMode { kNone, kWithTray, kWithoutTray };

bool IsWhiteSpace(wchar_t c) {
  return c == L' ' || (c >= L'\t' && c <= L'\r');
}

// The window the setup package named, when it is a live window.
HWND ParentWindow(const wchar_t* argument) {
  auto window = reinterpret_cast<HWND>(static_cast<intptr_t>(ParseWindowNumber(argument)));
  return Sys().IsWindow(window) ? window : nullptr;
}

InstallMode InstallModeOf(const wchar_t* word) {
  if (EqualIgnoringAsciiCase(word, L"in") || EqualIgnoringAsciiCase(word, L"install") ||
      EqualIgnoringAsciiCase(word, L"serverinstall")) {
    return InstallMode::kWithTray;
  }
  if (EqualIgnoringAsciiCase(word, L"in_notray")) {
    return InstallMode::kWithoutTray;
  }
  return InstallMode::kNone;
}

ExitCode Install(InstallMode mode, HWND parent) {
  companions::CloseHelpWindows();
  session::InstallSession session;
  session::InitSession(session, mode == InstallMode::kWithTray
                                    ? session::ModeX64
                                    : session::ModeX64 | session::ModeNoTray);
  session::LogLine(session, L">>0010");
  procedures::ReInstall(session);
  uint32_t scheduled = services::ScheduleRebootDeletes(session);
  session::DeliverLog(session, parent);
  int32_t errors = session.ErrorCount;
  session::LogLine(session, L">>0020");  // after the dialog: never shown
  session::FreeSession(session);
  if (errors != 0) {
    return ExitCode::kErrors;
  }
  return scheduled > 0 ? ExitCode::kRestartNeeded : ExitCode::kInstalled;
}

ExitCode Dispatch(int count, LPWSTR* arguments) {
  if (count < 2) {
    return ExitCode::kNothingToReport;
  }
  const wchar_t* word = arguments[1];
  // The window is read only from exactly three arguments.
  HWND parent = count == 3 ? ParentWindow(arguments[2]) : nullptr;
  InstallMode mode = InstallModeOf(word);

  if (EqualIgnoringAsciiCase(word, L"onChkDrv")) {
    return procedures::CheckDriverVersion() ? ExitCode::kDriverIsCurrent
                                            : ExitCode::kProbeAnsweredNo;
  }
  if (EqualIgnoringAsciiCase(word, L"onInit")) {
    if (procedures::CheckPendingFiles()) {
      return ExitCode::kFilesPending;
    }
    return procedures::CheckDefaultPrinter() ? ExitCode::kDefaultIsNotProduct
                                             : ExitCode::kProbeAnsweredNo;
  }
  if (EqualIgnoringAsciiCase(word, L"un") || EqualIgnoringAsciiCase(word, L"uninstall")) {
    companions::CloseHelpWindows();
    uint32_t scheduled = 0;
    if (procedures::UninstallCommand(parent, scheduled)) {
      return ExitCode::kErrors;
    }
    return scheduled > 0 ? ExitCode::kRestartNeeded : ExitCode::kUninstalled;
  }
  if (EqualIgnoringAsciiCase(word, L"removetray")) {
    companions::CloseTray();
    return ExitCode::kNothingToReport;
  }
  if (mode != InstallMode::kNone) {
    return Install(mode, parent);
  }
  // Exact, all eight characters with the terminator: no other case, no suffix.
  if (std::wcscmp(word, L"def.set") == 0) {
    procedures::SelectDefaultPrinter();
    return ExitCode::kDefaultPrinterSet;
  }
  return ExitCode::kNothingToReport;
}

}  // namespace

int32_t ParseWindowNumber(const wchar_t* text) {
  while (IsWhiteSpace(*text)) {
    ++text;
  }
  bool negative = *text == L'-';
  if (*text == L'-' || *text == L'+') {
    ++text;
  }
  int64_t value = 0;
  for (; *text >= L'0' && *text <= L'9'; ++text) {
    value = value * 10 + (*text - L'0');
    if (value > int64_t{INT32_MAX} + 1) {
      value = int64_t{INT32_MAX} + 1;  // already past either limit
    }
  }
  value = negative ? -value : value;
  if (value > INT32_MAX) {
    return INT32_MAX;
  }
  return static_cast<int32_t>(value < INT32_MIN ? INT32_MIN : value);
}

ExitCode Run(HINSTANCE instance) {
  base::SetModuleInstance(instance);
  // The program is often started from a folder anyone can write to: no DLL
  // is ever loaded from it, nor from the current directory.
  if (!Sys().SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    Sys().SetDllDirectoryW(L"");  // older systems: at least not the current directory
  }
  int count = 0;
  LPWSTR* arguments = Sys().CommandLineToArgvW(Sys().GetCommandLineW(), &count);
  if (arguments == nullptr) {
    return ExitCode::kNothingToReport;  // a line that cannot be split names no command
  }
  ExitCode code = Dispatch(count, arguments);
  Sys().LocalFree(arguments);
  return code;
}

}  // namespace entry
