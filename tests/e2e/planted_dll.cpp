// A DLL planted next to install.exe under a system DLL's name. Loading it
// leaves a marker file beside it, "planted-<its file name>.marker".
#include <windows.h>

#include <string>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    wchar_t path[MAX_PATH];
    std::wstring marker(path, GetModuleFileNameW(instance, path, MAX_PATH));
    marker.insert(marker.find_last_of(L"\\/") + 1, L"planted-");
    marker += L".marker";
    CloseHandle(CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  }
  return TRUE;
}
