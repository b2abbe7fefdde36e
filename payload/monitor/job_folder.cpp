// The folders that hold captured jobs belong to the system. The monitor runs
// as SYSTEM inside the spooler and writes whatever users print: were a level a
// link, or a folder some user made or may change (who could make it a link at
// any moment), the spooler would write user-chosen bytes wherever it points,
// with the system's rights. So every level is made with an access list of its
// own, and every level, made now or found, is checked before anything is made
// inside it.
//
// Any user may make <common application data>\Lumenquill before the first job,
// the previous version made its folders with the printing user's token, and
// under such a Jobs one user can make another's folder first. Refusing such a
// level would deny printing for good, so a level that fails the check is set
// aside: locked for SYSTEM and the Administrators and renamed, never used,
// never followed, nothing in it deleted; the monitor makes the level afresh.
// Whoever holds a level open can keep it from being renamed, but not from
// being locked (share modes do not apply to taking ownership or to replacing
// an access list); then the jobs go into a root of a new, unpredictable name
// that nobody can have made first or hold, recorded in the registry for the
// tray companion and the driver's page to find.
#include "job_folder.h"

#include <ntsecapi.h>
#include <sddl.h>

#include <cstdarg>
#include <cwchar>

#include "jobs_folder.h"

namespace monitor {
namespace {

// The root and Jobs: full control for SYSTEM and the Administrators, who own
// them; users may pass through and list (0x1000a1: list, traverse, read
// attributes, synchronize), not add, rename or delete anything. Protected,
// because users may create folders in the common application data folder and
// nothing of its list may come through.
constexpr wchar_t kCommonLevel[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1000a1;;;BU)";
// A user's folder, followed by the user's SID and ")": the user may read and
// delete the jobs (0x1300a9: read, list, traverse, read attributes and
// permissions, delete, synchronize) and nobody else but SYSTEM and the
// Administrators may do anything.
constexpr wchar_t kOwnerLevel[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1300a9;;;";
// A job of the previous version moved into its owner's folder, followed by
// the owner's SID and ")": what the jobs the monitor writes there inherit.
constexpr wchar_t kOwnerJob[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1300a9;;;";
// What is set aside: the Administrators' own, for them and SYSTEM alone. A
// level whose holder keeps it from being renamed stays where it is, and its
// holder may keep rights granted before the lock; the entry for the Null SID,
// which no token holds and which so gives nobody anything, keeps the check
// from ever taking it for the system's, whether or not the new root could be
// recorded.
constexpr wchar_t kLocked[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;WD;;;S-1-0-0)";
constexpr wchar_t kLockedJob[] = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)";
// What a user holds on the user's own folder (kOwnerLevel).
constexpr ACCESS_MASK kOwnerRights = FILE_LIST_DIRECTORY | FILE_READ_EA | FILE_TRAVERSE |
                                     FILE_READ_ATTRIBUTES | DELETE | READ_CONTROL | SYNCHRONIZE;
static_assert(kOwnerRights == 0x1300a9, "the rights the folder's access list grants its owner");

// Rights that let their holder change a folder or what is in it: add files
// or folders, write its attributes (a folder turns into a junction so), delete
// or rename it or its entries, change its access list or owner.
constexpr ACCESS_MASK kChanging = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_WRITE_EA |
                                  FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC |
                                  WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// Rights that share modes do not apply to, and every kind of sharing: users
// may list and traverse the shared levels, and one who opened a level with no
// sharing must not be able to stop the jobs of everyone. The monitor reaches
// the next level by its full path (nobody needs traverse rights for that).
constexpr DWORD kCheckAccess = READ_CONTROL | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Whatever it is, the object itself, never what a link leads to.
constexpr DWORD kAsItself = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
constexpr DWORD kLockAccess = WRITE_OWNER | WRITE_DAC | READ_CONTROL | FILE_READ_ATTRIBUTES;

// Bounds on the work for one level set aside: the names tried beside it, how
// deep its folders are followed (the previous version kept jobs in
// Lumenquill\Jobs and in per-user folders below that) and how many entries
// are looked at in all.
constexpr int kMaxAsideNames = 100;
constexpr int kMaxDepth = 2;
constexpr int kMaxEntries = 4096;
constexpr int kMaxAside = 3;  // one per level

// The platform's formatter (%s takes a wide text; user32's wsprintfW would
// load user32 into the spooler for nothing). It does not terminate a text
// that fills the count: the last character is kept for that.
void FormatV(wchar_t* text, int count, const wchar_t* format, va_list arguments) {
  _vsnwprintf(text, count - 1, format, arguments);
  text[count - 1] = L'\0';
}

template <int N>
void Format(wchar_t (&text)[N], const wchar_t* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  FormatV(text, N, format, arguments);
  va_end(arguments);
}

// SYSTEM, the Administrators, or the account the monitor runs as (SYSTEM, in
// the spooler): nobody who prints.
bool Trusted(PSID sid, PSID self) {
  return IsWellKnownSid(sid, WinLocalSystemSid) ||
         IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
         (self != nullptr && EqualSid(sid, self));
}

// Whether the access list lets anybody else change the folder or what is in
// it, beyond the read and delete that `user` holds on the user's own folder.
// No list at all lets everybody do everything. Entries that do not apply to
// the folder itself, and denials, give nobody anything; an allowing entry of
// a kind not read here counts as allowing everything.
bool OpenToOthers(PACL dacl, PSID user, PSID self) {
  if (dacl == nullptr) {
    return true;
  }
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&header))) {
      return true;
    }
    BYTE type = header->AceType;
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0 || type == ACCESS_DENIED_ACE_TYPE ||
        type == ACCESS_DENIED_OBJECT_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_ACE_TYPE ||
        type == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE) {
      continue;
    }
    if (type != ACCESS_ALLOWED_ACE_TYPE) {
      return true;
    }
    auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    PSID trustee = &ace->SidStart;
    ACCESS_MASK changing = ace->Mask & kChanging;
    if (user != nullptr && EqualSid(trustee, user)) {
      changing &= ~kOwnerRights;
    }
    if (changing != 0 && !Trusted(trustee, self)) {
      return true;
    }
  }
  return false;
}

// Whether the level at path is the system's: a folder, not a link, junction
// or mount point, owned by SYSTEM, the Administrators or the monitor's
// account, and one that nobody else may change (but its user, on a user's
// folder, as much as the monitor grants). Returns 0, or the reason it is not:
// ERROR_CANT_ACCESS_FILE (a link), ERROR_DIRECTORY (not a folder),
// ERROR_INVALID_OWNER (somebody else's), ERROR_INVALID_ACL (others may change
// it), ERROR_ACCESS_DENIED (the system may not even read it); or the error of
// the call that failed.
DWORD CheckLevel(const Calls& calls, const wchar_t* path, PSID user) {
  HANDLE level =
      CreateFileW(path, kCheckAccess, kShareAll, nullptr, OPEN_EXISTING, kAsItself, nullptr);
  if (level == INVALID_HANDLE_VALUE) {
    return GetLastError();
  }
  // The handle's answer describes exactly what was opened. The path's is
  // asked as well because some file systems report a link only there (Wine's
  // Unix links among them).
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  DWORD by_path = GetFileAttributesW(path);
  DWORD error = ERROR_SUCCESS;
  if (!GetFileInformationByHandleEx(level, FileAttributeTagInfo, &tag, sizeof(tag)) ||
      by_path == INVALID_FILE_ATTRIBUTES) {
    error = GetLastError();
  } else if (((tag.FileAttributes | by_path) & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    error = ERROR_CANT_ACCESS_FILE;
  } else if ((tag.FileAttributes & by_path & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    error = ERROR_DIRECTORY;
  }
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR security = nullptr;
  if (error == ERROR_SUCCESS) {
    error = calls.GetSecurityInfo(level, SE_FILE_OBJECT,
                                  OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                  nullptr, &dacl, nullptr, &security);
  }
  if (error == ERROR_SUCCESS) {
    payload::TokenUserBuffer buffer;
    PSID self = payload::ProcessUser(buffer);
    error = owner == nullptr || !Trusted(owner, self) ? ERROR_INVALID_OWNER
            : OpenToOthers(dacl, user, self)          ? ERROR_INVALID_ACL
                                                      : ERROR_SUCCESS;
  }
  LocalFree(security);
  CloseHandle(level);
  return error;
}

// What makes a level not the system's, in words for the event log; null for
// anything else (a failure, not a level to set aside).
const wchar_t* WhyNotOurs(DWORD reason) {
  switch (reason) {
    case ERROR_CANT_ACCESS_FILE:
      return L"a link, junction or mount point";
    case ERROR_DIRECTORY:
      return L"not a folder";
    case ERROR_INVALID_OWNER:
      return L"owned by somebody else";
    case ERROR_INVALID_ACL:
      return L"others may change it";
    case ERROR_ACCESS_DENIED:
      return L"closed to the system";
  }
  return nullptr;
}

// sddl, then `sid` and ")" (the access lists of a user's folder and jobs).
bool WithSid(wchar_t (&sddl)[320], const wchar_t* prefix, const wchar_t* sid) {
  if (lstrlenW(prefix) + lstrlenW(sid) + 2 > static_cast<int>(ARRAYSIZE(sddl))) {
    SetLastError(ERROR_INVALID_SID);
    return false;
  }
  lstrcpyW(sddl, prefix);
  lstrcatW(sddl, sid);
  lstrcatW(sddl, L")");
  return true;
}

// Makes the folder at path with the access list sddl; 0 or the error.
DWORD Make(const Calls& calls, const wchar_t* path, const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR security = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &security,
                                                            nullptr)) {
    return GetLastError();
  }
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), security, FALSE};
  DWORD error = calls.CreateDirectoryW(path, &attributes) ? ERROR_SUCCESS : GetLastError();
  LocalFree(security);
  return error;
}

// Gives `object` the access list of sddl, protected, and its owner when sddl
// names one (when it cannot, the list alone). SetKernelObjectSecurity sets
// that object's own and carries nothing into what lies below, where a planted
// junction could lead anywhere.
bool Secure(const Calls& calls, HANDLE object, const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR security = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &security,
                                                            nullptr)) {
    return false;
  }
  constexpr SECURITY_INFORMATION kList =
      DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
  bool owned = sddl[0] == L'O';
  bool done = (owned && calls.SetKernelObjectSecurity(object, kList | OWNER_SECURITY_INFORMATION,
                                                      security)) ||
              calls.SetKernelObjectSecurity(object, kList, security);
  LocalFree(security);
  return done;
}

// Setting aside has to work whatever the level's maker did to it, who may
// have denied SYSTEM every right: with the privileges to back up, restore and
// take ownership, an object opened with FILE_FLAG_BACKUP_SEMANTICS can be
// read, locked and renamed anyway. They are enabled in a token of this thread
// alone, for that work alone (RevertToSelf ends it); the spooler's own token
// stays as it is. Those the account lacks stay off: the work goes as far as
// its rights go.
void EnableRepairPrivileges() {
  HANDLE token = nullptr;
  if (!ImpersonateSelf(SecurityImpersonation) ||
      !OpenThreadToken(GetCurrentThread(), TOKEN_ADJUST_PRIVILEGES, TRUE, &token)) {
    return;
  }
  struct {
    DWORD count;
    LUID_AND_ATTRIBUTES privileges[3];
  } wanted = {3, {}};
  const wchar_t* const names[] = {SE_BACKUP_NAME, SE_RESTORE_NAME, SE_TAKE_OWNERSHIP_NAME};
  for (int i = 0; i < 3; ++i) {
    LookupPrivilegeValueW(nullptr, names[i], &wanted.privileges[i].Luid);
    wanted.privileges[i].Attributes = SE_PRIVILEGE_ENABLED;
  }
  AdjustTokenPrivileges(token, FALSE, reinterpret_cast<TOKEN_PRIVILEGES*>(&wanted), 0, nullptr,
                        nullptr);
  CloseHandle(token);
}

// A level set aside that is a plain folder, open for listing, and the name
// it has now.
struct Aside {
  HANDLE listing;
  wchar_t name[MAX_PATH];
};

// One job's way down to its owner's folder: the path so far, and the
// folders set aside on the way, whose jobs are moved once the owners'
// folders are there.
struct Walk {
  const Calls& calls;
  wchar_t path[MAX_PATH];
  Aside aside[kMaxAside];
  int asides;
};

// Renames the level (`deletable`, opened with DELETE) beside itself:
// <name>.set-aside-<yyyymmdd-hhmmss>, then -2, -3, ... when taken. Returns 0
// or the error.
DWORD RenameAside(HANDLE deletable, const wchar_t* path, wchar_t (&aside)[MAX_PATH]) {
  if (deletable == INVALID_HANDLE_VALUE) {
    return GetLastError();
  }
  SYSTEMTIME now;
  GetLocalTime(&now);
  DWORD error = ERROR_ALREADY_EXISTS;
  for (int attempt = 1;
       attempt <= kMaxAsideNames && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS);
       ++attempt) {
    wchar_t counter[16] = L"";
    if (attempt > 1) {
      Format(counter, L"-%d", attempt);
    }
    if (lstrlenW(path) + 40 >= MAX_PATH) {
      error = ERROR_FILENAME_EXCED_RANGE;
      break;
    }
    Format(aside, L"%s.set-aside-%04u%02u%02u-%02u%02u%02u%s", path, now.wYear, now.wMonth,
           now.wDay, now.wHour, now.wMinute, now.wSecond, counter);
    error = RenameTo(deletable, aside) ? ERROR_SUCCESS : GetLastError();
  }
  return error;
}

// Sets the level at walk.path aside: opened as itself, locked for SYSTEM and
// the Administrators, and renamed beside itself through its handle. Returns
// whether its name is free again. A plain folder stays open in the walk for
// its jobs to be moved.
bool SetAside(Walk& walk, const wchar_t* why) {
  EnableRepairPrivileges();
  DWORD by_path = GetFileAttributesW(walk.path);
  HANDLE level =
      CreateFileW(walk.path, kLockAccess, kShareAll, nullptr, OPEN_EXISTING, kAsItself, nullptr);
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  FILE_STANDARD_INFO standard = {};
  DWORD error = ERROR_SUCCESS;
  if (level == INVALID_HANDLE_VALUE || by_path == INVALID_FILE_ATTRIBUTES ||
      !GetFileInformationByHandleEx(level, FileAttributeTagInfo, &tag, sizeof(tag)) ||
      !GetFileInformationByHandleEx(level, FileStandardInfo, &standard, sizeof(standard))) {
    error = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_GEN_FAILURE;
  } else if ((by_path & ~tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
             standard.NumberOfLinks != 1) {
    // A handle that sees no link where the path does was led through it
    // (Wine opens a Unix link's target even when asked for the link itself),
    // and a file of several names is somebody's file elsewhere too (a user
    // may link a system file here): locking it would lock that file. Nothing
    // is done through either.
    error = ERROR_CANT_ACCESS_FILE;
  } else if (!Secure(walk.calls, level, kLocked)) {
    error = GetLastError();
  }
  bool locked = error == ERROR_SUCCESS;
  HANDLE deletable =
      locked ? ReOpenFile(level, DELETE | SYNCHRONIZE, kShareAll, kAsItself) : INVALID_HANDLE_VALUE;
  wchar_t name[MAX_PATH];
  if (locked && (error = RenameAside(deletable, walk.path, name)) == ERROR_SUCCESS) {
    Report(walk.calls, EVENTLOG_WARNING_TYPE, kSetAside,
           L"%s was not the system's (%s): it is locked for SYSTEM and the Administrators and set "
           L"aside as %s.",
           walk.path, why, name);
  } else if (locked) {
    lstrcpyW(name, walk.path);
    Report(walk.calls, EVENTLOG_WARNING_TYPE, kSetAside,
           L"%s was not the system's (%s): it is locked for SYSTEM and the Administrators, but "
           L"could not be renamed (error %lu); it stays where it is and is not used.",
           walk.path, why, error);
  } else {
    Report(walk.calls, EVENTLOG_ERROR_TYPE, kSetAside,
           L"%s is not the system's (%s) and could not be locked (error %lu); it stays as it is "
           L"and is not used.",
           walk.path, why, error);
  }
  // Only a plain folder is looked into: what a link leads to is nobody's
  // business here.
  if (locked && ((tag.FileAttributes | by_path) & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
      (tag.FileAttributes & by_path & FILE_ATTRIBUTE_DIRECTORY) != 0 && walk.asides < kMaxAside) {
    // Reopened from the handle that renamed it: Wine keeps the name a handle
    // was opened by, and only the renaming one learns the new name.
    Aside& aside = walk.aside[walk.asides];
    aside.listing = ReOpenFile(deletable != INVALID_HANDLE_VALUE ? deletable : level,
                               FILE_LIST_DIRECTORY | SYNCHRONIZE, kShareAll, kAsItself);
    if (aside.listing != INVALID_HANDLE_VALUE) {
      lstrcpyW(aside.name, name);
      ++walk.asides;
    }
  }
  const HANDLE opened[] = {level, deletable};
  for (HANDLE handle : opened) {
    if (handle != INVALID_HANDLE_VALUE) {
      CloseHandle(handle);
    }
  }
  RevertToSelf();
  return locked && error == ERROR_SUCCESS;
}

// Makes the level at walk.path ours: made now with the access list sddl,
// found and passing the check, or found failing it, set aside and made anew.
// `fresh` asks for a level made now. ERROR_ALREADY_EXISTS says that what
// stands at the name is not ours and keeps it.
DWORD OurLevel(Walk& walk, const wchar_t* sddl, PSID user, bool fresh) {
  DWORD error = Make(walk.calls, walk.path, sddl);
  if (error != ERROR_ALREADY_EXISTS || fresh) {
    // Made now, it must pass: there is nothing of anybody's to repair.
    return error == ERROR_SUCCESS ? CheckLevel(walk.calls, walk.path, user) : error;
  }
  error = CheckLevel(walk.calls, walk.path, user);
  const wchar_t* why = WhyNotOurs(error);
  if (why == nullptr) {
    return error;
  }
  if (!SetAside(walk, why)) {
    return ERROR_ALREADY_EXISTS;
  }
  // Somebody may have taken the name again meanwhile: that one is not ours
  // either.
  error = Make(walk.calls, walk.path, sddl);
  return error == ERROR_SUCCESS ? CheckLevel(walk.calls, walk.path, user) : error;
}

// <common application data>\Lumenquill-<16 random hex digits>.
bool NewRoot(wchar_t (&path)[MAX_PATH]) {
  BYTE random[payload::kRandomDigits / 2];
  if (!RtlGenRandom(random, sizeof(random))) {
    SetLastError(ERROR_GEN_FAILURE);
    return false;
  }
  wchar_t digits[payload::kRandomDigits + 1] = {}, name[32];
  for (int i = 0; i < payload::kRandomDigits; ++i) {
    digits[i] = L"0123456789abcdef"[(random[i / 2] >> (i % 2 == 0 ? 4 : 0)) & 0xf];
  }
  Format(name, L"%s-%s", payload::kRootName, digits);
  return payload::CommonAppData(path) && payload::AppendLevel(path, name);
}

DWORD Record(const wchar_t* root) {
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, payload::kRecordKey, 0, nullptr, 0,
                                   KEY_SET_VALUE, nullptr, &key, nullptr);
  if (status == ERROR_SUCCESS) {
    status =
        RegSetValueExW(key, payload::kRecordValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(root),
                       (lstrlenW(root) + 1) * sizeof(wchar_t));
    RegCloseKey(key);
  }
  return static_cast<DWORD>(status);
}

// Whether a job's owner is somebody who prints: an account of this machine or
// a domain (S-1-5-21-...), as the previous version's jobs got from the
// printing user's token; not SYSTEM, the Administrators or a service.
bool IsUser(PSID sid, PSID self) {
  static const SID_IDENTIFIER_AUTHORITY kNt = SECURITY_NT_AUTHORITY;
  return IsValidSid(sid) && memcmp(GetSidIdentifierAuthority(sid), &kNt, sizeof(kNt)) == 0 &&
         *GetSidSubAuthorityCount(sid) > 1 &&
         *GetSidSubAuthority(sid, 0) == SECURITY_NT_NON_UNIQUE && !Trusted(sid, self);
}

// How the jobs of the levels set aside fared.
struct Tally {
  int moved, kept, untouched, budget;
};

// Gives a job of a level set aside its owner's access list and moves it into
// the owner's folder under `jobs`, made as for the owner's own jobs when
// missing and used only when it passes the check. False when there are no
// owners' folders (jobs null), the job has no user for its owner, or it
// cannot go there.
bool MoveToOwner(const Calls& calls, HANDLE job, const wchar_t* name, const wchar_t* jobs) {
  if (jobs == nullptr) {
    return false;
  }
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR security = nullptr;
  LPWSTR sid = nullptr;
  wchar_t folder[MAX_PATH], target[MAX_PATH], sddl[320];
  payload::TokenUserBuffer buffer;
  bool moved = calls.GetSecurityInfo(job, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                     nullptr, nullptr, nullptr, &security) == ERROR_SUCCESS &&
               owner != nullptr && IsUser(owner, payload::ProcessUser(buffer)) &&
               ConvertSidToStringSidW(owner, &sid) && lstrcpynW(folder, jobs, MAX_PATH) &&
               payload::AppendLevel(folder, sid) && WithSid(sddl, kOwnerLevel, sid);
  DWORD made = moved ? Make(calls, folder, sddl) : ERROR_SUCCESS;
  moved = moved && (made == ERROR_SUCCESS || made == ERROR_ALREADY_EXISTS) &&
          CheckLevel(calls, folder, owner) == ERROR_SUCCESS && WithSid(sddl, kOwnerJob, sid) &&
          Secure(calls, job, sddl);
  HANDLE deletable =
      moved ? ReOpenFile(job, DELETE | SYNCHRONIZE, kShareAll, kAsItself) : INVALID_HANDLE_VALUE;
  moved = deletable != INVALID_HANDLE_VALUE && lstrcpyW(target, folder) &&
          payload::AppendLevel(target, name) && RenameTo(deletable, target);
  if (deletable != INVALID_HANDLE_VALUE) {
    CloseHandle(deletable);
  }
  LocalFree(sid);
  LocalFree(security);
  return moved;
}

void MoveJobs(const Calls& calls, HANDLE folder, const wchar_t* jobs, int depth, Tally& tally);

// One entry of a folder set aside, opened by its file ID, never by its name
// (a name could be swapped for a link meanwhile). Only plain files (no
// reparse point, one link: a second link would make the job elsewhere too)
// and plain folders are touched; nothing is deleted.
void MoveEntry(const Calls& calls, HANDLE folder, const FILE_ID_BOTH_DIR_INFO& entry,
               const wchar_t* jobs, int depth, Tally& tally) {
  wchar_t name[MAX_PATH] = {};
  int length = static_cast<int>(entry.FileNameLength / sizeof(wchar_t));
  if (length >= MAX_PATH) {
    ++tally.untouched;
    return;
  }
  CopyMemory(name, entry.FileName, entry.FileNameLength);
  if (lstrcmpW(name, L".") == 0 || lstrcmpW(name, L"..") == 0) {
    return;
  }
  FILE_ID_DESCRIPTOR id = {sizeof(id), FileIdType, {}};
  id.FileId = entry.FileId;
  HANDLE object = (entry.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0
                      ? INVALID_HANDLE_VALUE
                      : OpenFileById(folder, &id, kLockAccess, kShareAll, nullptr, kAsItself);
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  FILE_STANDARD_INFO standard = {};
  bool plain =
      object != INVALID_HANDLE_VALUE &&
      GetFileInformationByHandleEx(object, FileAttributeTagInfo, &tag, sizeof(tag)) &&
      GetFileInformationByHandleEx(object, FileStandardInfo, &standard, sizeof(standard)) &&
      (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
  if (plain && standard.Directory && depth < kMaxDepth && Secure(calls, object, kLocked)) {
    HANDLE inner = ReOpenFile(object, FILE_LIST_DIRECTORY | SYNCHRONIZE, kShareAll, kAsItself);
    if (inner != INVALID_HANDLE_VALUE) {
      MoveJobs(calls, inner, jobs, depth + 1, tally);
      CloseHandle(inner);
    }
  } else if (plain && !standard.Directory && standard.NumberOfLinks == 1 &&
             MoveToOwner(calls, object, name, jobs)) {
    ++tally.moved;
  } else if (plain && !standard.Directory && standard.NumberOfLinks == 1 &&
             Secure(calls, object, kLockedJob)) {
    ++tally.kept;
  } else {
    ++tally.untouched;
  }
  if (object != INVALID_HANDLE_VALUE) {
    CloseHandle(object);
  }
}

// Moves the jobs in a folder set aside (`folder`, open for listing) into
// their owners' folders under `jobs`, and locks the rest where they are.
// Listed through the handle, at most tally.budget entries in all.
void MoveJobs(const Calls& calls, HANDLE folder, const wchar_t* jobs, int depth, Tally& tally) {
  alignas(FILE_ID_BOTH_DIR_INFO) BYTE buffer[4096];
  for (auto kind = FileIdBothDirectoryRestartInfo;
       tally.budget > 0 && GetFileInformationByHandleEx(folder, kind, buffer, sizeof(buffer));
       kind = FileIdBothDirectoryInfo) {
    for (BYTE* at = buffer; tally.budget-- > 0;) {
      const auto& entry = *reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
      MoveEntry(calls, folder, entry, jobs, depth, tally);
      if (entry.NextEntryOffset == 0) {
        break;
      }
      at += entry.NextEntryOffset;
    }
  }
}

}  // namespace

bool RenameTo(HANDLE object, const wchar_t* target) {
  alignas(FILE_RENAME_INFO) BYTE buffer[sizeof(FILE_RENAME_INFO) + MAX_PATH * sizeof(wchar_t)];
  ZeroMemory(buffer, sizeof(buffer));
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer);
  rename->ReplaceIfExists = FALSE;
  rename->FileNameLength = lstrlenW(target) * sizeof(wchar_t);
  CopyMemory(rename->FileName, target, rename->FileNameLength);
  return SetFileInformationByHandle(object, FileRenameInfo, rename, sizeof(buffer)) != FALSE;
}

void Report(const Calls& calls, WORD type, DWORD id, const wchar_t* format, ...) {
  wchar_t text[1024];
  va_list arguments;
  va_start(arguments, format);
  FormatV(text, ARRAYSIZE(text), format, arguments);
  va_end(arguments);
  // An unregistered source is fine: the viewer shows the text as the
  // event's inserted string.
  HANDLE source = RegisterEventSourceW(nullptr, L"Lumenquill");
  LPCWSTR strings[] = {text};
  calls.ReportEventW(source, type, 0, id, nullptr, 1, 0, strings, nullptr);
  if (source != nullptr) {
    DeregisterEventSource(source);
  }
}

DWORD OpenJobFolder(const Calls& calls, PSID owner, JobFolder& folder) {
  ZeroMemory(&folder, sizeof(folder));
  LPWSTR sid = nullptr;
  if (!ConvertSidToStringSidW(owner, &sid)) {
    return GetLastError();
  }
  // Jobs of several printers may start at once: one walk must not take the
  // level another one just made afresh for somebody else's and set it aside.
  static SRWLOCK walking = SRWLOCK_INIT;
  AcquireSRWLockExclusive(&walking);
  Walk walk = {calls, {}, {}, 0};
  wchar_t own_sddl[320], root[MAX_PATH];
  DWORD error = WithSid(own_sddl, kOwnerLevel, sid) && payload::RootFolder(root) ? ERROR_SUCCESS
                                                                                 : GetLastError();
  // The recorded root or the default one first; where a level's name stays
  // taken, a new root once.
  for (int attempt = 0; attempt < 2 && error == ERROR_SUCCESS; ++attempt) {
    lstrcpyW(walk.path, root);
    const wchar_t* const below[] = {payload::kJobsName, sid};
    error = OurLevel(walk, kCommonLevel, nullptr, attempt > 0);
    if (attempt > 0 && error == ERROR_SUCCESS) {
      // Unrecorded, the root still holds this job safely; the next one
      // makes another.
      DWORD recorded = Record(root);
      Report(calls, EVENTLOG_WARNING_TYPE, kNewRoot,
             recorded == ERROR_SUCCESS
                 ? L"Jobs are now kept in %s, recorded as %s under HKEY_LOCAL_MACHINE\\%s."
                 : L"Jobs are now kept in %s, but it could not be recorded as %s under "
                   L"HKEY_LOCAL_MACHINE\\%s (error %lu).",
             root, payload::kRecordValue, payload::kRecordKey, recorded);
    }
    for (int i = 0; i < 2 && error == ERROR_SUCCESS; ++i) {
      error = payload::AppendLevel(walk.path, below[i])
                  ? OurLevel(walk, i == 0 ? kCommonLevel : own_sddl, i == 0 ? nullptr : owner,
                             attempt > 0)
                  : GetLastError();
    }
    if (error == ERROR_ALREADY_EXISTS && attempt == 0) {
      error = NewRoot(root) ? ERROR_SUCCESS : GetLastError();
    } else {
      break;
    }
  }
  LocalFree(sid);
  if (error == ERROR_SUCCESS) {
    lstrcpyW(folder.path, walk.path);
    // <root>\Jobs: the path without the owner's level.
    *wcsrchr(walk.path, L'\\') = L'\0';
  }
  // Without the owners' folders (the way down failed) every job stays
  // locked where it is: no level set aside is ever looked at again.
  for (int i = 0; i < walk.asides; ++i) {
    EnableRepairPrivileges();
    Tally tally = {0, 0, 0, kMaxEntries};
    MoveJobs(calls, walk.aside[i].listing, error == ERROR_SUCCESS ? walk.path : nullptr, 0, tally);
    RevertToSelf();
    CloseHandle(walk.aside[i].listing);
    if (tally.moved + tally.kept + tally.untouched > 0) {
      Report(calls, EVENTLOG_WARNING_TYPE, kMovedJobs,
             L"Jobs found in %s: %d moved into their owners' folders, %d kept there for SYSTEM "
             L"and the Administrators alone, %d entries left untouched.",
             walk.aside[i].name, tally.moved, tally.kept, tally.untouched);
    }
  }
  ReleaseSRWLockExclusive(&walking);
  return error;
}

}  // namespace monitor
