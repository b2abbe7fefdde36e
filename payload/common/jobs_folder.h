// Where captured print jobs are kept: one folder per user,
//   <root>\Jobs\<the user's SID>
// named by the security identifier of the job's owner, where the root is
// <common application data>\Lumenquill, or the folder the monitor recorded
// when somebody else's folder kept that name taken. Only the port monitor
// makes these folders, as the system and with access lists of its own; the
// tray companion and the driver's page run as the user and only name the
// user's folder: a folder the user made would belong to the user, and the
// monitor writes into no such folder.
#pragma once

#include <windows.h>
#include <sddl.h>
#include <shlobj.h>

namespace payload {

inline constexpr wchar_t kRootName[] = L"Lumenquill";
inline constexpr wchar_t kJobsName[] = L"Jobs";
// The root the monitor made under a name of its own, recorded where only
// administrators and SYSTEM may write.
inline constexpr wchar_t kRecordKey[] = L"SOFTWARE\\Korvane Software KFT\\Lumenquill";
inline constexpr wchar_t kRecordValue[] = L"JobsRoot";
// Such a root's name: kRootName, '-' and this many hex digits.
inline constexpr int kRandomDigits = 16;

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

// Whether `root` is <common application data>\Lumenquill-<kRandomDigits
// lowercase hex digits>, given the common application data folder.
inline bool IsOwnRoot(const wchar_t* common, const wchar_t* root) {
  int base = lstrlenW(common), name = lstrlenW(kRootName);
  if (lstrlenW(root) != base + 2 + name + kRandomDigits ||
      CompareStringOrdinal(root, base, common, base, TRUE) != CSTR_EQUAL || root[base] != L'\\' ||
      CompareStringOrdinal(root + base + 1, name, kRootName, name, TRUE) != CSTR_EQUAL ||
      root[base + 1 + name] != L'-') {
    return false;
  }
  for (const wchar_t* digit = root + base + 2 + name; *digit != 0; ++digit) {
    if (!((*digit >= L'0' && *digit <= L'9') || (*digit >= L'a' && *digit <= L'f'))) {
      return false;
    }
  }
  return true;
}

// The folder that holds Jobs: the root recorded, when there is one of the
// form the monitor gives its own, else <common application data>\Lumenquill.
// A record of any other form is not followed: the monitor would check, and
// set aside, folders wherever it pointed.
inline bool RootFolder(wchar_t (&path)[MAX_PATH]) {
  if (!CommonAppData(path)) {
    return false;
  }
  wchar_t recorded[MAX_PATH] = {};
  DWORD size = sizeof(recorded) - sizeof(wchar_t);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kRecordKey, kRecordValue, RRF_RT_REG_SZ, nullptr, recorded,
                   &size) == ERROR_SUCCESS &&
      IsOwnRoot(path, recorded)) {
    lstrcpyW(path, recorded);
    return true;
  }
  return AppendLevel(path, kRootName);
}

// <root>\Jobs.
inline bool JobsRoot(wchar_t (&path)[MAX_PATH]) {
  return RootFolder(path) && AppendLevel(path, kJobsName);
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
