// The simulated Windows answers as the real platform does, where Wine does as
// Windows does: each case runs once on Wine's own calls and once on the model,
// and both must see the same.
#include <gtest/gtest.h>

#include <string>

#include "scenarios/runner.h"

namespace scenarios {
namespace {

using platform::SystemApi;

// " N", appended rather than concatenated: GCC 12 at -O3 takes " " + text
// for an overlapping copy (-Wrestrict).
std::string Number(DWORD number) {
  return std::string(" ").append(std::to_string(number));
}

std::string Error(SystemApi& s) {
  return Number(s.GetLastError());
}

// A result and, when it failed, the error.
std::string Result(SystemApi& s, BOOL result) {
  return result ? " ok" : Error(s);
}

// Waits until the spooler is in `state`, then asks for it once more.
std::string Service(SystemApi& s) {
  SC_HANDLE manager = s.OpenSCManagerW(nullptr, nullptr, 0xF0001);
  SC_HANDLE spooler = s.OpenServiceW(manager, L"spooler", 0x34);
  SERVICE_STATUS status{};
  std::string seen;
  s.StartServiceW(spooler, 0, nullptr);
  for (DWORD state : {SERVICE_RUNNING, SERVICE_STOPPED, SERVICE_RUNNING}) {
    for (int i = 0;
         i < 100 && s.QueryServiceStatus(spooler, &status) && status.dwCurrentState != state; ++i) {
      s.Sleep(50);
    }
    seen += " state " + std::to_string(status.dwCurrentState);
    seen += Result(s, state == SERVICE_STOPPED ? s.StartServiceW(spooler, 0, nullptr)
                                               : s.ControlService(spooler, 1, &status));
  }
  return seen + Result(s, s.CloseServiceHandle(spooler)) + Result(s, s.CloseServiceHandle(manager));
}

std::string Spooler(SystemApi& s) {
  DWORD needed = 0, count = 0;
  std::string seen = Result(s, s.EnumMonitorsW(nullptr, 2, nullptr, 0, &needed, &count));
  std::string buffer(needed, '\0');
  seen += Result(s, s.EnumMonitorsW(nullptr, 2, reinterpret_cast<LPBYTE>(buffer.data()), needed,
                                    &needed, &count));
  seen += " first " + Utf8(reinterpret_cast<MONITOR_INFO_2W*>(buffer.data())->pName);
  seen += Result(s, s.EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &count));
  seen += Number(needed);
  seen += Result(s, s.GetPrinterDriverDirectoryW(nullptr, nullptr, 1, nullptr, 0, &needed));
  MONITOR_INFO_2W monitor{const_cast<LPWSTR>(L"Lumenquill:"), const_cast<LPWSTR>(L"Windows x64"),
                          const_cast<LPWSTR>(L"kvnmon64.dll")};
  for (int i = 0; i < 2; ++i) {
    seen += Result(s, s.AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&monitor)));
  }
  for (int i = 0; i < 2; ++i) {
    seen += Result(s, s.DeleteMonitorW(nullptr, nullptr, const_cast<LPWSTR>(L"Lumenquill:")));
  }
  HANDLE printer = nullptr;
  wchar_t name[8];
  DWORD size = 8;
  seen += Result(s, s.OpenPrinterW(const_cast<LPWSTR>(L"none"), &printer, nullptr)) +
          Result(s, s.GetDefaultPrinterW(name, &size));
  // A printer's data through a handle that is not a printer's.
  char value[] = "SubKey";
  BYTE data[8] = {};
  for (DWORD answer :
       {s.GetPrinterDataA(nullptr, value, nullptr, data, 8, &size),
        s.GetPrinterDataExA(nullptr, "PrinterDriverData", value, nullptr, data, 8, &size),
        s.SetPrinterDataA(nullptr, value, REG_SZ, data, 1),
        s.SetPrinterDataExA(nullptr, "PrinterDriverData", value, REG_SZ, data, 1)}) {
    seen += Number(answer);
  }
  return seen;
}

std::string Files(SystemApi& s) {
  const wchar_t* path = L"C:\\Users\\Me\\contract.tmp";
  HANDLE file = s.CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  std::string seen = Result(s, s.WriteFile(file, "version=2542", 12, &written, nullptr));
  seen += Result(s, s.DeleteFileW(path)) + Result(s, s.CloseHandle(file));
  seen += Result(s, s.DeleteFileW(L"C:\\Users\\Me\\none.tmp"));
  seen += Result(s, s.DeleteFileW(L"C:\\Users\\None\\none.tmp"));
  seen += Result(s, s.MoveFileExW(L"C:\\Users\\Me\\kvnmon64.dll", nullptr, 4));
  HKEY key = nullptr;
  s.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                  KEY_ALL_ACCESS, &key);
  DWORD type = 0, bytes = 0;
  s.RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, nullptr, &bytes);
  std::wstring queue(bytes / 2, L'\0');
  DWORD small = 2;
  seen += Number(s.RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr,
                                    reinterpret_cast<LPBYTE>(queue.data()), &small));
  s.RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr,
                     reinterpret_cast<LPBYTE>(queue.data()), &bytes);
  s.RegDeleteValueA(key, "PendingFileRenameOperations");
  s.RegCloseKey(key);
  for (wchar_t& c : queue) {
    c = c == 0 ? L'|' : c;
  }
  // A deletion through the handle of what a path names.
  HANDLE named = s.CreateFileW(L"C:\\Users\\Me\\named.tmp", GENERIC_WRITE | DELETE, 0, nullptr,
                               CREATE_ALWAYS, 0, nullptr);
  FILE_DISPOSITION_INFO disposition{TRUE};
  seen += Number(s.GetFinalPathNameByHandleW(named, nullptr, 0, 0));
  seen += Result(s, s.SetFileInformationByHandle(named, FileDispositionInfo, &disposition,
                                                 sizeof(disposition)));
  seen += Result(s, s.CloseHandle(named));
  seen += Result(s, s.GetFileAttributesW(L"C:\\Users\\Me\\named.tmp") != INVALID_FILE_ATTRIBUTES);
  HANDLE first = s.CreateMutexA(nullptr, FALSE, "contract"),
         second = s.CreateMutexA(nullptr, FALSE, "contract");
  seen += Error(s) + Result(s, s.CloseHandle(first)) + Result(s, s.CloseHandle(second));
  return seen + " type " + std::to_string(type) + " " + Utf8(queue);
}

TEST(Contract, TheModelAnswersAsWineDoes) {
  for (auto* run : {Service, Spooler, Files}) {
    ::CreateDirectoryW(L"C:\\Users\\Me", nullptr);
    ::CopyFileW(PAYLOAD_MONITOR, L"C:\\windows\\system32\\kvnmon64.dll", 0);
    std::string wine = run(platform::Sys());
    ::DeleteFileW(L"C:\\windows\\system32\\kvnmon64.dll");
    std::unique_ptr<sim::Sim> model = sim::Sim::New();
    platform::SystemScope scope(*model);
    for (const wchar_t* line :
         {LR"(service "spooler" state=running)",
          LR"(monitor "Local Port" dll=localspl.dll ports=LPT1:)", LR"(dir "C:\Users\Me")",
          LR"(file "C:\Windows\system32\kvnmon64.dll")", LR"(machine system=C:\Windows\system32)",
          LR"(key "HKLM\SYSTEM\CurrentControlSet\Control\Session Manager")"}) {
      sim::Load(*model, line);
    }
    EXPECT_EQ(wine, run(*model));
  }
}

}  // namespace
}  // namespace scenarios
