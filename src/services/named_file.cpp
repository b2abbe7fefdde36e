#include "services/named_file.h"

#include "base/memory.h"
#include "platform/owned_handles.h"
#include "platform/system_api.h"

namespace services {
namespace {

using platform::Sys;

// The share modes of DeleteFileW: whatever lets it delete lets this delete.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kFinalPathFlags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;

wchar_t Folded(wchar_t c) {
  if (c == L'/') {
    return L'\\';
  }
  return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c;
}

// The system reports "\\?\C:\..." for a drive and "\\?\UNC\server\..." for a
// share; the paths it is compared with are "C:\..." and "\\server\...".
bool SamePath(const wchar_t* reported, const wchar_t* path) {
  const wchar_t kLocal[] = L"\\\\?\\";
  const wchar_t kShare[] = L"\\\\?\\UNC\\";
  auto starts = [](const wchar_t* text, const wchar_t* prefix) {
    for (; *prefix != 0; ++text, ++prefix) {
      if (*text != *prefix) {
        return false;
      }
    }
    return true;
  };
  if (starts(reported, kShare)) {
    reported += 7;  // to the second backslash of "\\server"
    if (Folded(path[0]) != L'\\') {
      return false;
    }
    ++path;
  } else if (starts(reported, kLocal)) {
    reported += 4;
  }
  for (; *reported != 0 && *path != 0; ++reported, ++path) {
    if (Folded(*reported) != Folded(*path)) {
      return false;
    }
  }
  return *reported == *path;
}

// Whether the opened file is the one the path names. A path the system
// cannot tell, or one that changed between its two answers, is not.
bool IsNamedFile(HANDLE file, const wchar_t* path) {
  DWORD needed = Sys().GetFinalPathNameByHandleW(file, nullptr, 0, kFinalPathFlags);
  base::OwnedBlock<wchar_t> reported(needed != 0 ? base::AllocateBlock(needed * sizeof(wchar_t))
                                                 : nullptr);
  DWORD length = reported.get() != nullptr ? Sys().GetFinalPathNameByHandleW(
                                                 file, reported.get(), needed, kFinalPathFlags)
                                           : 0;
  if (length == 0 || length >= needed || !SamePath(reported.get(), path)) {
    Sys().SetLastError(ERROR_CANT_ACCESS_FILE);
    return false;
  }
  return true;
}

}  // namespace

bool DeleteNamedFile(const wchar_t* path) {
  platform::OwnedObject file(Sys().CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES, kShareAll,
                                               nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                               nullptr));
  if (!file.Held()) {
    return false;
  }
  FILE_DISPOSITION_INFO disposition{TRUE};
  bool deleted = IsNamedFile(file.get(), path) &&
                 Sys().SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition,
                                                  sizeof(disposition));
  // The error that decided is kept over the close's.
  DWORD error = Sys().GetLastError();
  file.Reset();
  Sys().SetLastError(error);
  return deleted;
}

}  // namespace services
