// The folder that holds captured print jobs: <common application data>\Lumenquill\Jobs.
// The port monitor writes into it and the tray companion opens it, so both
// take the path from here.
#pragma once

#include <windows.h>
#include <shlobj.h>

namespace payload {

// Creates the folder level by level when it is missing. Returns false with the
// thread's last error set when the path cannot be found or a level cannot be
// created.
inline bool JobsFolder(wchar_t (&path)[MAX_PATH]) {
  HRESULT result =
      SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path);
  if (FAILED(result)) {
    SetLastError(HRESULT_FACILITY(result) == FACILITY_WIN32 ? HRESULT_CODE(result)
                                                            : ERROR_PATH_NOT_FOUND);
    return false;
  }
  static const wchar_t* const kLevels[] = {L"\\Lumenquill", L"\\Jobs"};
  for (const wchar_t* level : kLevels) {
    if (lstrlenW(path) + lstrlenW(level) >= MAX_PATH) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return false;
    }
    lstrcatW(path, level);
    if (!CreateDirectoryW(path, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      return false;
    }
  }
  return true;
}

}  // namespace payload
