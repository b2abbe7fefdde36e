// Where captured print jobs are kept: one folder per user,
//   <common application data>\Lumenquill\Jobs\<the user's SID>
// named by the security identifier of the job's owner. Only the port monitor
// makes these folders, as the system and with access lists of its own; the
// tray companion and the driver's page run as the user and only name the
// user's folder: a folder the user made would belong to the user, and the
// monitor refuses to write into such a folder.
#pragma once

#include <windows.h>
#include <sddl.h>
#include <shlobj.h>

namespace payload {

// The levels between the common application data folder and the users'
// folders, outermost first.
inline constexpr const wchar_t* kJobsLevels[] = {L"Lumenquill", L"Jobs"};

// Appends "\name" to path; false with ERROR_FILENAME_EXCED_RANGE when it
// would not fit.
inline bool AppendLevel(wchar_t (&path)[MAX_PATH], const wchar_t* name) {
  if (lstrlenW(path) + 1 + lstrlenW(name) >= MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  lstrcatW(path, L"\\");
  lstrcatW(path, name);
  return true;
}

// The common application data folder (usually C:\ProgramData). Returns false
// with the thread's last error set when it cannot be found.
inline bool CommonAppData(wchar_t (&path)[MAX_PATH]) {
  HRESULT result =
      SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path);
  if (FAILED(result)) {
    SetLastError(HRESULT_FACILITY(result) == FACILITY_WIN32 ? HRESULT_CODE(result)
                                                            : ERROR_PATH_NOT_FOUND);
    return false;
  }
  return true;
}

// <common application data>\Lumenquill\Jobs.
inline bool JobsRoot(wchar_t (&path)[MAX_PATH]) {
  if (!CommonAppData(path)) {
    return false;
  }
  for (const wchar_t* level : kJobsLevels) {
    if (!AppendLevel(path, level)) {
      return false;
    }
  }
  return true;
}

// Room for the user of a token.
struct TokenUserBuffer {
  alignas(TOKEN_USER) BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
};

// The security identifier of the user this process runs as, kept in `user`;
// null with the thread's last error set when it cannot be read.
inline PSID ProcessUser(TokenUserBuffer& user) {
  HANDLE token = nullptr;
  DWORD size = 0;
  bool read = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
              GetTokenInformation(token, TokenUser, user.bytes, sizeof(user.bytes), &size);
  if (token != nullptr) {
    CloseHandle(token);
  }
  return read ? reinterpret_cast<TOKEN_USER*>(user.bytes)->User.Sid : nullptr;
}

// The folder of the user this process runs as. Nothing is created.
inline bool OwnJobsFolder(wchar_t (&path)[MAX_PATH]) {
  TokenUserBuffer user;
  PSID self = JobsRoot(path) ? ProcessUser(user) : nullptr;
  LPWSTR sid = nullptr;
  bool fits = self != nullptr && ConvertSidToStringSidW(self, &sid) && AppendLevel(path, sid);
  LocalFree(sid);
  return fits;
}

}  // namespace payload
