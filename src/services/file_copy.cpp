#include "services/file_copy.h"

#include <cwchar>

#include "base/wide_string.h"
#include "platform/owned_handles.h"
#include "platform/system_api.h"
#include "session/install_session.h"
#include "session/session_log.h"

namespace services {
namespace {

using base::WideString;
using platform::Sys;
using session::ErrorNumber;
using session::LogLine;
using session::ReportError;

// directory + a backslash unless it already ends in one + file; an empty
// directory gives the bare file name. Empty when memory runs out: a part of
// the path would name another file.
WideString JoinPath(const wchar_t* directory, const wchar_t* file) {
  WideString path;
  bool whole = base::Assign(path, directory);
  size_t length = base::Length(path);
  if (whole && length > 0 && base::Text(path)[length - 1] != L'\\') {
    whole = base::Append(path, L"\\", 1);
  }
  if (!whole || !base::Append(path, file)) {
    base::Release(path);
  }
  return path;
}

// Logs a line without disturbing the last error a report will read.
void LogKeepingLastError(session::InstallSession& session, const wchar_t* text) {
  DWORD error = Sys().GetLastError();
  LogLine(session, L"%s", text);
  Sys().SetLastError(error);
}

// The read-and-write loop. False when a read failed or a write wrote less
// than was read.
bool CopyContents(HANDLE source, HANDLE target) {
  static_assert(kCopyChunk == 8192);
  BYTE buffer[kCopyChunk];
  for (;;) {
    DWORD read = 0;
    if (!Sys().ReadFile(source, buffer, kCopyChunk, &read, nullptr)) {
      return false;
    }
    if (read != 0) {
      DWORD written = 0;
      Sys().WriteFile(target, buffer, read, &written, nullptr);
      if (written != read) {
        return false;
      }
    }
    if (read != kCopyChunk) {
      return true;  // a short read is the end of the file
    }
  }
}

}  // namespace

HANDLE OpenForWriteWithRetry(session::InstallSession& session, const wchar_t* path) {
  DWORD start = Sys().GetTickCount();
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    HANDLE file =
        Sys().CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      return file;
    }
    // Unsigned difference: a wrap of the tick counter does no harm.
    if (Sys().GetTickCount() - start > kOpenTimeLimit) {
      LogKeepingLastError(session, L"CreateFile - timeout");
      return INVALID_HANDLE_VALUE;
    }
    Sys().Sleep(kOpenPause);
  }
  return INVALID_HANDLE_VALUE;
}

bool CopyFile(session::InstallSession& session, const wchar_t* directory, const wchar_t* file,
              TargetPath target, CopyErrors errors) {
  bool report = errors == CopyErrors::kReport;
  LogLine(session, L">CopyFile %s to %s [%d])", file, directory, static_cast<int>(report));
  session::LogStep step(session);
  bool copied = false;
  // Without the installer's directory there is no source: a bare name would
  // be looked for in the current directory, which may be anyone's.
  base::OwnedString source_path(base::Length(session.InstallerDirectory) != 0
                                    ? JoinPath(base::Text(session.InstallerDirectory), file)
                                    : WideString{});
  base::OwnedString target_path(JoinPath(directory, file));
  const wchar_t* destination = base::Text(target_path);
  size_t length = base::Length(target_path);
  if (length == 0 || (target.buffer != nullptr && length + 1 > target.capacity)) {
    // A cut path would name another file: the caller gets none at all.
    if (target.buffer != nullptr && target.capacity > 0) {
      target.buffer[0] = 0;
    }
    Sys().SetLastError(length == 0 ? ERROR_NOT_ENOUGH_MEMORY : ERROR_FILENAME_EXCED_RANGE);
    if (report) {
      ReportError(session, ErrorNumber::kOpenDestination, destination);
    }
  } else {
    if (target.buffer != nullptr) {
      std::wmemcpy(target.buffer, destination, length + 1);
    }
    platform::OwnedObject source;
    if (base::Length(source_path) != 0) {
      source.Reset(Sys().CreateFileW(base::Text(source_path), GENERIC_READ, FILE_SHARE_READ,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
    } else {
      Sys().SetLastError(base::Length(session.InstallerDirectory) == 0 ? ERROR_PATH_NOT_FOUND
                                                                       : ERROR_NOT_ENOUGH_MEMORY);
    }
    if (!source.Held()) {
      if (report) {
        ReportError(session, ErrorNumber::kOpenSource, file);
      }
    } else {
      platform::OwnedObject output(OpenForWriteWithRetry(session, destination));
      if (!output.Held()) {
        if (report) {
          ReportError(session, ErrorNumber::kOpenDestination, destination);
        }
      } else if (CopyContents(source.get(), output.get())) {
        copied = true;
      } else if (report) {
        // A truncated copy must not pass for an installed file.
        ReportError(session, ErrorNumber::kCopyShortWrite, destination);
      }
    }
  }
  LogLine(session, copied ? L"Copy Succeeded :)" : L"Copy Failed :(");
  return copied;
}

}  // namespace services
