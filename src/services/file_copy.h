// Copies one of the installer's files, by name, into a target directory with
// a plain read-and-write loop, opening the target with a bounded retry.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/windows_api.h"

namespace session {
struct InstallSession;
}

namespace services {

inline constexpr DWORD kCopyChunk = 8192;
inline constexpr int kOpenAttempts = 100;
inline constexpr DWORD kOpenPause = 50;         // ms
inline constexpr DWORD kOpenTimeLimit = 10000;  // ms since the first attempt

// Copies `file` from the installer's directory into `directory`. When
// `target` is given it receives the full target path (at most `capacity`
// characters with the terminator) before anything is opened. Errors 8 to 10
// are reported only with `report_errors`. Returns S_OK or E_FAIL; a copy that
// could not read or write everything has failed.
HRESULT CopyFile(session::InstallSession& session, const wchar_t* directory, const wchar_t* file,
                 wchar_t* target, size_t capacity, uint8_t report_errors);

// Opens the file for writing, created or truncated, trying up to 100 times
// 50 ms apart for at most 10 s; INVALID_HANDLE_VALUE when it gives up.
HANDLE OpenForWriteWithRetry(session::InstallSession& session, const wchar_t* path);

}  // namespace services
