// The tray companion, lumtray.exe: asked to exit and unregistered before the
// product is removed, registered for log-on and started after it is
// installed. What the installer relies on of the companion: it holds its
// mutex while it runs, it has a top-level window of its class, message 1026
// to that window ends it, it runs from its quoted path without arguments, and
// its file cannot be deleted while it runs.
#pragma once

#include "base/wide_string.h"
#include "platform/windows_api.h"

namespace session {
struct InstallSession;
}

namespace companions {

inline constexpr char kTrayMutex[] = "{3F6D2C81-7B4E-4A19-9C55-1E2D8A0B7F46}";
inline constexpr wchar_t kTrayWindowClass[] = L"lqs::{6B0E4D27-91A3-4F58-B2C4-7D19E35A0C8B}";
inline constexpr UINT kTrayExitMessage = 1026;
inline constexpr char kAutostartKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr wchar_t kAutostartValue[] = L"LumenquillTray";
inline constexpr int kClosePasses = 20;
inline constexpr DWORD kExitWait = 5000;      // ms, for the mutex after an exit request
inline constexpr DWORD kNoWindowPause = 250;  // ms
inline constexpr DWORD kNoValuePause = 1000;  // ms
inline constexpr int kDeleteAttempts = 10;
inline constexpr DWORD kInUsePause = 100;          // ms, after ERROR_ACCESS_DENIED
inline constexpr DWORD kOtherFailurePause = 10;    // ms
inline constexpr size_t kAutostartCapacity = 264;  // characters
inline constexpr size_t kCommandPathLimit = 259;   // characters of the path in the command line

// Stops a running tray companion, deletes the program file its autostart
// entry names and removes the entry. Fails silently. A program file equal to
// `keep` (letter case aside) is not deleted: a reinstall must not delete the
// companion it is about to start.
void CloseTray(const wchar_t* keep = nullptr);
// Where the companion lies: beside the installer's folder, in its parent.
base::WideString TrayProgramPath(const session::InstallSession& session);
// Registers the companion beside the installer's folder for log-on and
// starts it, unless the session says not to or the platform is too old.
void StartTray(session::InstallSession& session);

}  // namespace companions
