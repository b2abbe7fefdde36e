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

// Whether a failed copy reports errors 8 to 10, or leaves that to a second try.
enum class CopyErrors : uint8_t { kQuiet = 0, kReport = 1 };

// Where a copy's full target path goes (at most `capacity` characters with
// the terminator), before anything is opened; none without a buffer.
struct TargetPath {
  wchar_t* buffer = nullptr;
  size_t capacity = 0;
};

// Copies `file` from the installer's directory into `directory`. True when
// it was copied whole; a copy that could not read or write everything has
// failed.
bool CopyFile(session::InstallSession& session, const wchar_t* directory, const wchar_t* file,
              TargetPath target, CopyErrors errors);

// Opens the file for writing, created or truncated, trying up to 100 times
// 50 ms apart for at most 10 s; INVALID_HANDLE_VALUE when it gives up.
HANDLE OpenForWriteWithRetry(session::InstallSession& session, const wchar_t* path);

}  // namespace services
