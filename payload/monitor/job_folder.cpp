// The folders that hold captured jobs belong to the system. The monitor runs
// as SYSTEM inside the spooler and writes whatever users print: were a level a
// link, or a folder some user made (who could make it a link at any moment),
// the spooler would write user-chosen bytes wherever it points, with the
// system's rights. So every level is made with an access list of its own, and
// every level, made now or found, is checked before anything is made inside it.
#include "job_folder.h"

#include <sddl.h>

#include "jobs_folder.h"

namespace monitor {
namespace {

// Lumenquill and Jobs: full control for SYSTEM and the Administrators, who
// own them; users may pass through and list (0x1000a1: list, traverse, read
// attributes, synchronize), not add, rename or delete anything. Protected,
// because users may create folders in the common application data folder and
// nothing of its list may come through.
constexpr wchar_t kCommonLevel[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1000a1;;;BU)";
// A user's folder, followed by the user's SID and ")": the user may read and
// delete the jobs (0x1300a9: read, list, traverse, read attributes and
// permissions, delete, synchronize) and nobody else but SYSTEM and the
// Administrators may do anything.
constexpr wchar_t kOwnerLevel[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1300a9;;;";

// Rights that share modes do not apply to, and every kind of sharing: users
// may list and traverse the shared levels, and one who opened a level with no
// sharing must not be able to stop the jobs of everyone. The monitor reaches
// the next level by its full path (nobody needs traverse rights for that).
constexpr DWORD kCheckAccess = READ_CONTROL | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// SYSTEM, the Administrators, or the account the monitor runs as (SYSTEM, in
// the spooler): nobody who prints can make or replace such a folder.
bool OwnedBySystem(PSID owner) {
  if (IsWellKnownSid(owner, WinLocalSystemSid) ||
      IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) {
    return true;
  }
  payload::TokenUserBuffer user;
  PSID self = payload::ProcessUser(user);
  return self != nullptr && EqualSid(owner, self);
}

// The handle's answer describes exactly what was opened. The path's is asked
// as well because some file systems report a link only there (Wine's Unix
// links among them).
DWORD CheckLevel(const Calls& calls, HANDLE level, const wchar_t* path) {
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  if (!GetFileInformationByHandleEx(level, FileAttributeTagInfo, &tag, sizeof(tag))) {
    return GetLastError();
  }
  DWORD by_path = GetFileAttributesW(path);
  if (by_path == INVALID_FILE_ATTRIBUTES) {
    return GetLastError();
  }
  if (((tag.FileAttributes | by_path) & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return ERROR_CANT_ACCESS_FILE;
  }
  if ((tag.FileAttributes & by_path & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return ERROR_DIRECTORY;
  }
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR security = nullptr;
  DWORD error = calls.GetSecurityInfo(level, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                      nullptr, nullptr, nullptr, &security);
  if (error == ERROR_SUCCESS && (owner == nullptr || !OwnedBySystem(owner))) {
    error = ERROR_INVALID_OWNER;
  }
  LocalFree(security);
  return error;
}

// Appends one level to path, makes it when missing (with the access list
// sddl) and checks it.
DWORD OpenLevel(const Calls& calls, wchar_t (&path)[MAX_PATH], const wchar_t* name,
                const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR security = nullptr;
  if (!payload::AppendLevel(path, name) || !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                                               sddl, SDDL_REVISION_1, &security, nullptr)) {
    return GetLastError();
  }
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), security, FALSE};
  DWORD error = ERROR_SUCCESS;
  if (!calls.CreateDirectoryW(path, &attributes)) {
    error = GetLastError();
  }
  LocalFree(security);
  // A level that exists is used as it is, once it passes the check.
  if (error != ERROR_SUCCESS && error != ERROR_ALREADY_EXISTS) {
    return error;
  }
  // Opened as itself, never through it, whatever it is.
  HANDLE level = CreateFileW(path, kCheckAccess, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (level == INVALID_HANDLE_VALUE) {
    return GetLastError();
  }
  error = CheckLevel(calls, level, path);
  CloseHandle(level);
  return error;
}

}  // namespace

DWORD OpenJobFolder(const Calls& calls, PSID owner, JobFolder& folder) {
  ZeroMemory(&folder, sizeof(folder));
  LPWSTR sid = nullptr;
  if (!ConvertSidToStringSidW(owner, &sid)) {
    return GetLastError();
  }
  wchar_t own_sddl[320];
  DWORD error = ERROR_SUCCESS;
  if (lstrlenW(kOwnerLevel) + lstrlenW(sid) + 2 > static_cast<int>(ARRAYSIZE(own_sddl))) {
    error = ERROR_INVALID_SID;
  } else {
    lstrcpyW(own_sddl, kOwnerLevel);
    lstrcatW(own_sddl, sid);
    lstrcatW(own_sddl, L")");
  }
  if (error == ERROR_SUCCESS && !payload::CommonAppData(folder.path)) {
    error = GetLastError();
  }
  const wchar_t* const names[] = {payload::kJobsLevels[0], payload::kJobsLevels[1], sid};
  for (int i = 0; i < 3 && error == ERROR_SUCCESS; ++i) {
    error = OpenLevel(calls, folder.path, names[i], i < 2 ? kCommonLevel : own_sddl);
  }
  LocalFree(sid);
  return error;
}

}  // namespace monitor
