// What other programs may rely on about lumtray.exe: the installer finds,
// stops and waits for it through these, so they never change.
#pragma once

#include <windows.h>

namespace tray {

// Held by the running companion from its start until it ends; its existence
// also keeps a second companion from starting.
inline constexpr wchar_t kMutexName[] = L"{3F6D2C81-7B4E-4A19-9C55-1E2D8A0B7F46}";
// The class of its top-level window.
inline constexpr wchar_t kWindowClass[] = L"lqs::{6B0E4D27-91A3-4F58-B2C4-7D19E35A0C8B}";
// Posted to that window (wParam 0, lParam 0), it ends the companion.
inline constexpr UINT kExitMessage = WM_USER + 2;

// The notification icon's menu commands, sent as WM_COMMAND to the window.
inline constexpr WORD kOpenJobsCommand = 1;
inline constexpr WORD kExitCommand = 2;

}  // namespace tray
