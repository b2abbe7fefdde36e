// The custom actions of the Windows Installer package (packaging/lumenquill.wxs).
// Most run install.exe and turn its exit code into the installer's terms:
// success or failure (msiexec ends with 1603 and rolls back), and its session
// log goes into the installer log. After the script, RequestRestart asks for
// a restart at the end (3010) and StartTray starts the tray companion.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include "entry/exit_code.h"
#include "heap_text.h"
#include "install_exe.h"
#include "installer_log.h"
#include "private_copy.h"
#include "restart_queue.h"

namespace {

using custom_action::Note;
using custom_action::RunResult;
using entry::ExitCode;

bool Is(DWORD code, ExitCode expected) {
  return code == static_cast<DWORD>(expected);
}

bool ReadProperty(MSIHANDLE install, const wchar_t* name, custom_action::HeapText& value) {
  wchar_t empty[1] = L"";
  DWORD size = 0;
  if (MsiGetPropertyW(install, name, empty, &size) != ERROR_MORE_DATA || !value.Reserve(size)) {
    return false;
  }
  ++size;
  return MsiGetPropertyW(install, name, value.get(), &size) == ERROR_SUCCESS;
}

// The exit codes no command word gives: a crash, or a program that is not ours.
UINT UnknownOutcome(MSIHANDLE install, const wchar_t* word, DWORD code) {
  Note(install,
       code >= 0xC0000000 ? L"install.exe %ls crashed (0x%08lx)"
                          : L"install.exe %ls never ends with %lu",
       word, code);
  return ERROR_INSTALL_FAILURE;
}

// Logs how install.exe ended: ERROR_SUCCESS when it ran and the installer's
// user did not cancel meanwhile, else what the action ends with. A cancel is
// honoured only now that install.exe was let finish: the action ends as
// cancelled, and the installer rolls back what it did.
UINT Ran(MSIHANDLE install, const wchar_t* word, const RunResult& run) {
  bool cancel = run.started ? Note(install, L"install.exe %ls ended with %lu", word, run.code)
                            : Note(install, L"install.exe %ls could not be started (error %lu)",
                                   word, run.error);
  if (run.cancelled || cancel) {
    Note(install, L"the installation was cancelled: install.exe %ls was let finish first", word);
    return ERROR_INSTALL_USEREXIT;
  }
  return run.started ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// Runs the installed install.exe, whose path the action's CustomActionData
// holds, with WORD; DONE is its exit code for success.
UINT RunInstalled(MSIHANDLE install, const wchar_t* word, ExitCode done) {
  custom_action::HeapText program;
  if (!ReadProperty(install, L"CustomActionData", program) || program.empty()) {
    Note(install, L"this action was given no path of install.exe");
    return ERROR_INSTALL_FAILURE;
  }
  RunResult run = custom_action::RunInstallExe(install, program.get(), word);
  if (UINT ended = Ran(install, word, run); ended != ERROR_SUCCESS) {
    return ended;
  }
  if (Is(run.code, done)) {
    return ERROR_SUCCESS;
  }
  if (Is(run.code, ExitCode::kRestartNeeded)) {
    Note(install, L"files wait for deletion at the next restart");
    return ERROR_SUCCESS;
  }
  if (Is(run.code, ExitCode::kErrors)) {
    Note(install, L"install.exe %ls reported errors; its log is above", word);
    return ERROR_INSTALL_FAILURE;
  }
  return UnknownOutcome(install, word, run.code);
}

bool ProcessIsElevated() {
  HANDLE token = nullptr;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  bool elevated =
      OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
      GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size) &&
      elevation.TokenIsElevated != 0;
  if (token != nullptr) {
    CloseHandle(token);
  }
  return elevated;
}

// Whether this process runs as the system account; when that cannot be told,
// it counts as so.
bool ProcessRunsAsSystem() {
  HANDLE token = nullptr;
  union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } buffer;
  DWORD size = 0;
  bool other = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
               GetTokenInformation(token, TokenUser, &buffer, sizeof(buffer), &size) &&
               !IsWellKnownSid(buffer.user.User.Sid, WinLocalSystemSid);
  if (token != nullptr) {
    CloseHandle(token);
  }
  return !other;
}

}  // namespace

// Immediate, before anything is installed: asks install.exe onInit, with the
// copy the package carries in its Binary table, whether files of an earlier
// installation still wait for the next restart, and stops the installation
// if they do.
extern "C" UINT __stdcall CheckRestartFirst(MSIHANDLE install) {
  // An immediate action runs as the user who started the installation; in an
  // installation started without elevation that is a user without
  // administrator rights even after the consent prompt, and install.exe
  // (which requires them) cannot be started. The installation goes on: the
  // elevated install.exe install carries out every queued deletion it can.
  if (!ProcessIsElevated()) {
    Note(install,
         L"not elevated here: install.exe onInit cannot be asked whether files "
         L"wait for the next restart");
    return ERROR_SUCCESS;
  }
  custom_action::PrivateCopy copy;
  DWORD error = custom_action::MakePrivateCopy(install, L"InstallExeCopy", L"install.exe", copy);
  RunResult run;
  if (error == ERROR_SUCCESS) {
    run = custom_action::RunInstallExe(install, copy.path, L"onInit");
  }
  custom_action::DiscardPrivateCopy(copy);
  if (error != ERROR_SUCCESS) {
    Note(install, L"could not write a copy of install.exe to run (error %lu)", error);
    return ERROR_INSTALL_FAILURE;
  }
  if (UINT ended = Ran(install, L"onInit", run); ended != ERROR_SUCCESS) {
    return ended;
  }
  if (Is(run.code, ExitCode::kFilesPending)) {
    Note(install, L"files of an earlier installation wait for the next restart");
    custom_action::ShowWarning(
        install,
        L"Files of an earlier Lumenquill installation are still waiting to be removed when "
        L"Windows restarts.\r\n\r\nPlease restart Windows first, then run this setup again.");
    return ERROR_INSTALL_FAILURE;
  }
  if (Is(run.code, ExitCode::kDefaultIsNotProduct) || Is(run.code, ExitCode::kProbeAnsweredNo)) {
    return ERROR_SUCCESS;
  }
  return UnknownOutcome(install, L"onInit", run.code);
}

// Deferred, elevated, after InstallFiles. Without the tray companion: this
// runs as the system account, in a session nobody sees, where the companion
// would show nothing and hold its file; StartTray starts it for the user.
extern "C" UINT __stdcall InstallPrinter(MSIHANDLE install) {
  return RunInstalled(install, L"in_notray", ExitCode::kInstalled);
}

// Deferred, elevated: on removal before its registry values and files go,
// and as the rollback of InstallPrinter, so that a failed or cancelled
// installation takes away what install.exe added. It never fails, whatever
// install.exe came to (errors, a crash, a code it never gives, no start at
// all): a failed removal is rolled back, and a product that cannot be
// removed cannot be upgraded either (a major upgrade removes it first).
// What install.exe left stays, and its log above says what; what it added
// lies outside the product's folder, so nothing that stays uses the files
// the removal takes away.
// A cancel is not honoured here either: install.exe has taken the printers
// away by then, and rolling the removal back would bring back files that no
// printer uses.
extern "C" UINT __stdcall UninstallPrinter(MSIHANDLE install) {
  UINT result = RunInstalled(install, L"uninstall", ExitCode::kUninstalled);
  if (result == ERROR_INSTALL_USEREXIT) {
    Note(install, L"the %ls goes on all the same: install.exe has removed the printer",
         MsiGetMode(install, MSIRUNMODE_ROLLBACK) ? L"rollback" : L"removal");
  } else if (result != ERROR_SUCCESS) {
    Note(install, L"warning: the %ls goes on; what install.exe could not remove stays",
         MsiGetMode(install, MSIRUNMODE_ROLLBACK) ? L"rollback" : L"removal");
  }
  return ERROR_SUCCESS;
}

// Immediate, after InstallFinalize: asks for a restart (msiexec then ends
// with 3010) when a product DLL waits in the restart queue, which is when
// install.exe onInit would refuse the next setup. The deferred actions that
// learn of a restart cannot ask for it themselves, and what they could leave
// for this one in memory (a global atom) belongs to a window station this
// one need not share; the queue is the machine's.
extern "C" UINT __stdcall RequestRestart(MSIHANDLE install) {
  if (custom_action::ProductDllAwaitsRestart()) {
    Note(install,
         L"a product DLL waits in the restart queue: Windows must restart to complete this");
    MsiSetMode(install, MSIRUNMODE_REBOOTATEND, TRUE);
  }
  return ERROR_SUCCESS;
}

// Immediate, impersonated, after InstallFinalize of an installation that
// succeeded: starts the tray companion as the user who installed, in that
// user's session. Not when the installation runs as the system account (a
// deployment tool's): nobody sees that session, and the autostart value
// starts the companion at each log-on.
extern "C" UINT __stdcall StartTray(MSIHANDLE install) {
  if (ProcessRunsAsSystem()) {
    Note(install, L"installing as the system account: the tray companion starts at log-on");
    return ERROR_SUCCESS;
  }
  custom_action::HeapText folder, line;
  if (!ReadProperty(install, L"ProductFolder", folder) || folder.empty() ||
      !line.Format(wcslen(folder.get()) + 14, L"\"%lslumtray.exe\"", folder.get())) {
    Note(install, L"the tray companion's folder is not known");
    return ERROR_SUCCESS;
  }
  // No handle of the installer's, standard ones included (without
  // STARTF_USESTDHANDLES Wine hands the companion its parent's): it outlives
  // the installation, and would keep them open.
  STARTUPINFOW startup{sizeof(startup)};
  startup.dwFlags = STARTF_USESTDHANDLES;
  PROCESS_INFORMATION process{};
  if (CreateProcessW(nullptr, line.get(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                     &process)) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    Note(install, L"started the tray companion %ls", line.get());
  } else {
    Note(install, L"could not start the tray companion %ls (error %lu)", line.get(),
         GetLastError());
  }
  return ERROR_SUCCESS;
}
