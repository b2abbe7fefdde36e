#include "payload_support.h"

#include <shlobj.h>

#define PAYLOAD_WIDEN_(text) L##text
#define PAYLOAD_WIDEN(text) PAYLOAD_WIDEN_(text)

namespace payload_test {

std::wstring PayloadFile(const wchar_t* name) {
  std::wstring path = PAYLOAD_WIDEN(PAYLOAD_DIR_PATH);
  for (wchar_t& c : path) {
    if (c == L'/') {
      c = L'\\';
    }
  }
  return path + L"\\" + name;
}

std::wstring JobsFolder() {
  wchar_t base[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, base))) {
    return L"";
  }
  return std::wstring(base) + L"\\Lumenquill\\Jobs";
}

std::vector<std::wstring> FileNames(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) {
    return names;
  }
  do {
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      names.push_back(data.cFileName);
    }
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return names;
}

bool ReadWholeFile(const std::wstring& path, std::string* bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  bytes->clear();
  char chunk[4096];
  DWORD read = 0;
  bool ok = true;
  while ((ok = ReadFile(file, chunk, sizeof(chunk), &read, nullptr)) && read > 0) {
    bytes->append(chunk, read);
  }
  CloseHandle(file);
  return ok;
}

std::wstring NewScratchFolder(const wchar_t* name) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring folder = std::wstring(temp) + name + L"." + std::to_wstring(GetCurrentProcessId()) +
                        L"." + std::to_wstring(GetTickCount());
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

std::wstring ToWide(const char* text) {
  int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  std::wstring wide(length > 0 ? length - 1 : 0, L'\0');
  if (length > 1) {
    MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), length);
  }
  return wide;
}

}  // namespace payload_test
