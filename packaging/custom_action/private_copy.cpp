#include "private_copy.h"

#include <msiquery.h>
#include <ntsecapi.h>
#include <sddl.h>

#include <cwchar>

namespace custom_action {
namespace {

constexpr int kFolderAttempts = 100;
constexpr DWORD kChunk = 8192;

// A new folder, never one that existed: the Windows folder's Temp lets users
// create folders but not rename or delete those of others, and this one's
// access list (not inherited) admits only the system and administrators. Its
// name is random: a user who made the likely names first would otherwise
// stop the check.
DWORD CreatePrivateFolder(wchar_t (&folder)[MAX_PATH]) {
  wchar_t windows[MAX_PATH];
  UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    return ERROR_PATH_NOT_FOUND;
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", SDDL_REVISION_1, &descriptor, nullptr)) {
    return GetLastError();
  }
  SECURITY_ATTRIBUTES security{sizeof(security), descriptor, FALSE};
  DWORD error = ERROR_ALREADY_EXISTS;
  for (int attempt = 0; attempt < kFolderAttempts && error == ERROR_ALREADY_EXISTS; ++attempt) {
    wchar_t name[MAX_PATH] = {};
    DWORD bits[4] = {};
    if (!RtlGenRandom(bits, sizeof(bits))) {
      error = ERROR_GEN_FAILURE;
      break;
    }
    int written = _snwprintf(name, MAX_PATH - 1, L"%ls\\Temp\\Lumenquill-%08lx%08lx%08lx%08lx",
                             windows, bits[0], bits[1], bits[2], bits[3]);
    if (written < 0) {
      error = ERROR_FILENAME_EXCED_RANGE;
    } else {
      error = CreateDirectoryW(name, &security) ? ERROR_SUCCESS : GetLastError();
    }
    if (error == ERROR_SUCCESS) {
      wcscpy(folder, name);  // only a folder made here is ever removed again
    }
  }
  LocalFree(descriptor);
  return error;
}

// Copies the stream in chunks from the record into FILE.
DWORD CopyStream(MSIHANDLE record, HANDLE file) {
  char chunk[kChunk];
  for (;;) {
    DWORD size = kChunk, written = 0;
    UINT error = MsiRecordReadStream(record, 1, chunk, &size);
    if (error != ERROR_SUCCESS || size == 0) {
      return error;
    }
    if (!WriteFile(file, chunk, size, &written, nullptr) || written != size) {
      return GetLastError();
    }
  }
}

DWORD WriteBinary(MSIHANDLE install, const wchar_t* name, const wchar_t* path) {
  PMSIHANDLE database = MsiGetActiveDatabase(install);
  PMSIHANDLE view, record, key = MsiCreateRecord(1);
  MsiRecordSetStringW(key, 1, name);
  UINT error =
      database == 0
          ? ERROR_INVALID_HANDLE
          : MsiDatabaseOpenViewW(database, L"SELECT `Data` FROM `Binary` WHERE `Name` = ?", &view);
  if (error == ERROR_SUCCESS) {
    error = MsiViewExecute(view, key);
  }
  if (error == ERROR_SUCCESS) {
    error = MsiViewFetch(view, &record);
  }
  if (error != ERROR_SUCCESS) {
    return error;
  }
  HANDLE file =
      CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return GetLastError();
  }
  error = CopyStream(record, file);
  if (!CloseHandle(file) && error == ERROR_SUCCESS) {
    error = GetLastError();
  }
  return error;
}

}  // namespace

DWORD MakePrivateCopy(MSIHANDLE install, const wchar_t* binary, const wchar_t* file_name,
                      PrivateCopy& copy) {
  DWORD error = CreatePrivateFolder(copy.folder);
  if (error == ERROR_SUCCESS &&
      _snwprintf(copy.path, MAX_PATH - 1, L"%ls\\%ls", copy.folder, file_name) < 0) {
    error = ERROR_FILENAME_EXCED_RANGE;
  }
  if (error == ERROR_SUCCESS) {
    error = WriteBinary(install, binary, copy.path);
  }
  if (error == ERROR_SUCCESS) {
    // Readers may share it (the program's own start is one), writers not.
    copy.held = CreateFileW(copy.path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    error = copy.held != INVALID_HANDLE_VALUE ? ERROR_SUCCESS : GetLastError();
  }
  return error;
}

void DiscardPrivateCopy(PrivateCopy& copy) {
  if (copy.held != INVALID_HANDLE_VALUE) {
    CloseHandle(copy.held);
    copy.held = INVALID_HANDLE_VALUE;
  }
  if (copy.path[0] != 0) {
    DeleteFileW(copy.path);
  }
  if (copy.folder[0] != 0) {
    RemoveDirectoryW(copy.folder);
  }
}

}  // namespace custom_action
