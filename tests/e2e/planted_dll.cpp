// A DLL planted next to install.exe under a system DLL's name. Loading it
// leaves a marker file beside it, "planted-<its file name>.marker".
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    wchar_t path[MAX_PATH + 32];
    DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
    wchar_t* name = path + length;
    while (name > path && name[-1] != L'\\' && name[-1] != L'/') {
      --name;
    }
    wchar_t file_name[MAX_PATH];
    lstrcpyW(file_name, name);
    lstrcpyW(name, L"planted-");
    lstrcatW(name, file_name);
    lstrcatW(name, L".marker");
    HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    CloseHandle(marker);
  }
  return TRUE;
}
