// The Windows side of the end-to-end tests: plays the setup package, looks at
// the machine and drives the payload, printing what it sees for the test to
// compare with what it expects.
//
//   e2e_tool setup [--hidden-station] PROGRAM ARG...
//                                   runs PROGRAM as a setup package does
//                                   ("{hwnd}": its window; its output on a
//                                   pipe), closes the log dialog, prints exit
//                                   code, dialog, log and output
//   e2e_tool add-printer NAME       a printer of the product's driver and port
//   e2e_tool print PRINTER TEXT     a raw job, printed as the spooler's client
//   e2e_tool hold PATH SECONDS [HELD]
//                                   keeps a DLL loaded (and then makes the
//                                   file HELD)
//   e2e_tool queue-delete PATH      queues a deletion for the next restart
//   e2e_tool payload FOLDER         what the monitor and driver DLLs answer
//   e2e_tool tray-exit PATH [restart-manager]
//                                   starts the companion and chooses Exit in
//                                   its menu, or asks it to close as the
//                                   Restart Manager does
//   e2e_tool msi-cancel PACKAGE TEXT
//                                   installs PACKAGE as a user who presses
//                                   Cancel when a custom action logs TEXT
//   e2e_tool monitor-cases [FIRST LAST]
//                                   jobs through a copy of the monitor that
//                                   answers as Windows would where Wine cannot
#include <windows.h>
#include <msi.h>
#include <sddl.h>
#include <winddiui.h>
#include <winspool.h>
#include <winsplp.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "jobs_folder.h"
#include "monitor_calls.h"
#include "tray_contract.h"

namespace {

std::wstring Text(HWND window) {
  wchar_t text[65536] = {};
  SendMessageW(window, WM_GETTEXT, 65536, reinterpret_cast<LPARAM>(text));
  std::wstring result = text;
  std::erase(result, L'\r');
  return result;
}

// The log dialog of install.exe, whichever program started it.
BOOL CALLBACK FindDialog(HWND window, LPARAM found) {
  wchar_t title[64] = {};
  GetWindowTextW(window, title, 64);
  if (wcsncmp(title, L"Lumenquill build", 16) == 0 && IsWindowVisible(window)) {
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
  }
  return TRUE;
}

int Setup(int count, wchar_t** arguments) {
  bool hidden = std::wstring(arguments[0]) == L"--hidden-station";
  arguments += hidden ? 1 : 0;
  count -= hidden ? 1 : 0;
  HWND owner = CreateWindowExW(0, L"STATIC", L"Lumenquill Setup", WS_OVERLAPPEDWINDOW, 0, 0, 200,
                               100, nullptr, nullptr, nullptr, nullptr);
  std::wstring line;
  for (int i = 0; i < count; ++i) {
    std::wstring argument = arguments[i];
    if (argument == L"{hwnd}") {
      argument = std::to_wstring(reinterpret_cast<intptr_t>(owner));
    }
    bool blank =
        argument.find(L' ') != std::wstring::npos && argument.find(L'=') == std::wstring::npos;
    line += (i > 0 ? L" " : L"") + (blank ? L"\"" + argument + L"\"" : argument);
  }
  // Its standard output is a pipe read while it runs, as setup packages that
  // keep the program's output read it.
  HANDLE reader = nullptr, writer = nullptr;
  SECURITY_ATTRIBUTES inherited{sizeof(inherited), nullptr, TRUE};
  CreatePipe(&reader, &writer, &inherited, 0);
  SetHandleInformation(reader, HANDLE_FLAG_INHERIT, 0);
  std::string bytes;
  // False once the pipe has no writer left.
  auto drain = [&] {
    DWORD available = 0, read = 0;
    while (PeekNamedPipe(reader, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
      std::string chunk(available, '\0');
      ReadFile(reader, chunk.data(), available, &read, nullptr);
      bytes.append(chunk.data(), read);
    }
    return GetLastError() != ERROR_BROKEN_PIPE;
  };
  STARTUPINFOW startup{sizeof(startup)};
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writer;
  // Where Wine's traces go (scripts/bench --profile); never otherwise, for
  // the program would hand the handle on to what it starts.
  if (_wgetenv(L"E2E_TRACE") != nullptr) {
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  }
  if (hidden) {  // a window station without WSF_VISIBLE, as a service has
    HWINSTA own = GetProcessWindowStation();
    SetProcessWindowStation(CreateWindowStationW(L"hidden", 0, WINSTA_ALL_ACCESS, nullptr));
    CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    SetProcessWindowStation(own);
    startup.lpDesktop = const_cast<LPWSTR>(L"hidden\\Default");
  }
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process)) {
    wprintf(L"not started: %lu\n", GetLastError());
    return 0;
  }
  CloseHandle(writer);
  // Two minutes at most: the program's own waits are far shorter. Looked at
  // every 10 ms, so that a dialog waits for its "user" little longer than it
  // takes to read it.
  HWND closed = nullptr;
  std::wstring shown;
  ULONGLONG waited = 0;  // the time the dialog waited for its user, told to scripts/bench
  for (int tick = 0; tick < 12000; ++tick) {
    if (MsgWaitForMultipleObjects(1, &process.hProcess, FALSE, 10, QS_ALLINPUT) == WAIT_OBJECT_0) {
      break;
    }
    drain();
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      DispatchMessageW(&message);
    }
    HWND dialog = nullptr;
    EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&dialog));
    if (dialog != nullptr && dialog != closed) {
      // Until it has its text, 5 s at most (and longer when the demo
      // photographs it).
      for (int wait = 0; wait < 100 && Text(GetDlgItem(dialog, 1001)).empty(); ++wait) {
        Sleep(50);
      }
      ULONGLONG found = GetTickCount64();  // from here on the dialog waits for its user
      if (const wchar_t* pause = _wgetenv(L"E2E_DIALOG_PAUSE")) {
        Sleep(_wtoi(pause));
      }
      HWND setup = GetWindow(dialog, GW_OWNER);
      shown = Text(GetDlgItem(dialog, 1001));
      wprintf(L"dialog \"%ls\" %ls%ls\n%ls", Text(dialog).c_str(),
              setup != nullptr ? L"owned by " : L"not owned", Text(setup).c_str(), shown.c_str());
      PostMessageW(GetDlgItem(dialog, 1), BM_CLICK, 0, 0);
      closed = dialog;
      waited += GetTickCount64() - found;
    }
  }
  if (closed != nullptr) {
    fwprintf(stderr, L"dialog waited %llu ms\n", waited);
  }
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  wprintf(L"exit %lu\n", code);
  // The pipe ends with the program, unless it handed its end on.
  bool open = drain();
  for (int tick = 0; open && tick < 20; ++tick) {
    Sleep(50);
    open = drain();
  }
  // Read as UTF-16LE: the log the dialog showed, or shown in full.
  std::wstring written(bytes.size() / 2, L'\0');
  std::memcpy(written.data(), bytes.data(), written.size() * sizeof(wchar_t));
  std::erase(written, L'\r');
  if (!bytes.empty()) {
    wprintf(written == shown ? L"stdout: the log shown\n" : L"stdout:\n%ls", written.c_str());
  }
  if (open) {
    wprintf(L"stdout: still open 1 s after the program ended\n");
  }
  return 0;
}

// Wine finds a port's monitor only through this key, which Windows' spooler
// does not need and Wine's monitors cannot write.
int AddProductPrinter(const wchar_t* name) {
  HKEY key = nullptr;
  RegCreateKeyExW(
      HKEY_LOCAL_MACHINE,
      L"System\\CurrentControlSet\\Control\\Print\\Monitors\\Lumenquill:\\Ports\\Lumenquill:", 0,
      nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
  RegCloseKey(key);
  PRINTER_INFO_2W info{};
  info.pPrinterName = const_cast<LPWSTR>(name);
  info.pPortName = const_cast<LPWSTR>(L"Lumenquill:");
  info.pDriverName = const_cast<LPWSTR>(L"Lumenquill printer");
  info.pPrintProcessor = const_cast<LPWSTR>(L"WinPrint");
  info.pDatatype = const_cast<LPWSTR>(L"RAW");
  HANDLE printer = AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
  return printer != nullptr && ClosePrinter(printer) ? 0 : 1;
}

int PrintRaw(const wchar_t* name, const wchar_t* text) {
  // Windows' spooler calls the port monitor impersonating the job's owner;
  // Wine's runs it in the printing thread, which does the same this way.
  ImpersonateSelf(SecurityImpersonation);
  HANDLE printer = nullptr;
  DOC_INFO_1W document{const_cast<LPWSTR>(L"e2e"), nullptr, const_cast<LPWSTR>(L"RAW")};
  DWORD written = 0;
  bool printed = OpenPrinterW(const_cast<LPWSTR>(name), &printer, nullptr) &&
                 StartDocPrinterW(printer, 1, reinterpret_cast<LPBYTE>(&document)) &&
                 WritePrinter(printer, const_cast<wchar_t*>(text), lstrlenW(text) * 2, &written) &&
                 EndDocPrinter(printer);
  ClosePrinter(printer);
  return printed ? 0 : 1;
}

template <typename Function>
Function Export(const std::wstring& dll, const char* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void*>(GetProcAddress(LoadLibraryW(dll.c_str()), name)));
}

// Prints a call's result and the last error after it.
void Show(const wchar_t* what, BOOL result) {
  DWORD error = GetLastError();
  wprintf(L"%ls: %d %lu\n", what, result, result ? 0 : error);
}

// The port monitor as the spooler drives it.
void Monitor(const std::wstring& folder) {
  auto initialize = Export<LPMONITOR2(WINAPI*)(PMONITORINIT, PHANDLE)>(folder + L"\\kvnmon64.dll",
                                                                       "InitializePrintMonitor2");
  MONITORINIT init{sizeof(init)};
  HANDLE monitor = nullptr, port = nullptr, other = nullptr, xcv = nullptr;
  LPMONITOR2 table = initialize(&init, &monitor);
  DWORD needed = 0, count = 0, written = 0;
  BYTE ports[512] = {};
  for (DWORD level : {1, 2, 3}) {
    BOOL listed =
        table->pfnEnumPorts(monitor, nullptr, level, ports, sizeof(ports), &needed, &count);
    auto* info = reinterpret_cast<PORT_INFO_2W*>(ports);
    wprintf(L"EnumPorts level %lu: %d, %lu bytes, %lu ports", level, listed, needed, count);
    // Both levels start with the port's name.
    wprintf(level == 2   ? L": %ls %ls %ls %lu\n"
            : level == 1 ? L": %ls\n"
                         : L"\n",
            info->pPortName, info->pMonitorName, info->pDescription, info->fPortType);
  }
  Show(L"OpenPort LPT1:", table->pfnOpenPort(monitor, const_cast<LPWSTR>(L"LPT1:"), &other));
  Show(L"OpenPort lumenquill:",
       table->pfnOpenPort(monitor, const_cast<LPWSTR>(L"lumenquill:"), &port));
  Show(L"WritePort outside a document", table->pfnWritePort(port, ports, 1, &written));
  Show(L"EndDocPort outside a document", table->pfnEndDocPort(port));
  Show(L"StartDocPort of nobody's job",
       table->pfnStartDocPort(port, nullptr, 7, 1, nullptr));  // the thread impersonates no one
  ImpersonateSelf(SecurityImpersonation);
  for (int job = 0; job < 3; ++job) {
    Show(L"StartDocPort", table->pfnStartDocPort(port, nullptr, 7, 1, nullptr));
    Show(L"StartDocPort again", table->pfnStartDocPort(port, nullptr, 7, 1, nullptr));
    Show(L"WritePort",
         table->pfnWritePort(port, reinterpret_cast<LPBYTE>(const_cast<char*>("data")),
                             job == 2 ? 0 : 4, &written));
    wprintf(L"written %lu\n", written);
    if (job == 1) {  // cut short: nothing of it may look like a finished job
      Show(L"ClosePort", table->pfnClosePort(port));
      Show(L"OpenPort", table->pfnOpenPort(monitor, const_cast<LPWSTR>(L"Lumenquill:"), &port));
    } else {
      Show(L"EndDocPort", table->pfnEndDocPort(port));
    }
  }
  for (ACCESS_MASK granted : {0ul, static_cast<ACCESS_MASK>(SERVER_ACCESS_ADMINISTER)}) {
    Show(L"XcvOpenPort", table->pfnXcvOpenPort(monitor, L",XcvMonitor Lumenquill:", granted, &xcv));
    wprintf(L"XcvDataPort: %lu\n",
            table->pfnXcvDataPort(xcv, L"Config", nullptr, 0, nullptr, 0, &needed));
    Show(L"XcvClosePort", table->pfnXcvClosePort(xcv));
  }
  Show(L"ClosePort", table->pfnClosePort(port));
  Show(L"ClosePort of a closed port", table->pfnClosePort(port));
  table->pfnShutdown(monitor);
}

// What Wine cannot show: every token is its one user's, a file's owner is
// always that user, access lists are not kept, jobs have no states, there is
// no event log. These jobs go through the tool's copy of the monitor, whose
// calls answer as Windows would: the job's owner is the case's; folders are
// made by the system's call, and the access lists given to them or set on
// anything are printed, as are events; the level a case names is answered as
// the case found it (made first, as its user would, when missing), a file the
// scenario laid out as owned by the SID that begins its name, and everything
// else as Wine has it (the monitor's own, which passes its check); the spooler
// reports the case's status. A case: what it is, the job's owner, a level
// (under the common application data folder), its owner and access list as
// found (SDDL), whether a user holds it open with no sharing while the job
// runs, the job's status, and the error its write fails with.
struct Case {
  const wchar_t *what, *owner, *level, *found;
  bool held;
  DWORD status, write_error;
} acting;
BY_HANDLE_FILE_INFORMATION level;  // the case's level, as found

PSID Sid(const wchar_t* text) {
  PSID sid = nullptr;  // kept until the tool ends
  return ConvertStringSidToSidW(text, &sid) ? sid : nullptr;
}

std::wstring Sddl(PSECURITY_DESCRIPTOR security, SECURITY_INFORMATION which) {
  LPWSTR sddl = nullptr;
  ConvertSecurityDescriptorToStringSecurityDescriptorW(
      security, SDDL_REVISION_1, which & (OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION),
      &sddl, nullptr);
  return sddl != nullptr ? sddl : L"";  // kept until the tool ends
}

// What a handle is open on, without "\\?\".
std::wstring PathOf(HANDLE object) {
  wchar_t path[MAX_PATH] = {};
  GetFinalPathNameByHandleW(object, path, MAX_PATH, 0);
  return path + 4;
}

const monitor::Calls kWindowsLike = {
    [](HANDLE, TOKEN_INFORMATION_CLASS, LPVOID info, DWORD size, PDWORD) -> BOOL {
      auto* user = static_cast<TOKEN_USER*>(info);
      user->User.Sid = user + 1;
      return CopySid(size - sizeof(TOKEN_USER), user + 1, Sid(acting.owner));
    },
    [](LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) -> BOOL {
      std::wstring sddl = Sddl(attributes->lpSecurityDescriptor,
                               OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION);
      BOOL made = CreateDirectoryW(path, attributes);
      wprintf(made ? L"  made %ls %ls\n" : L"", path, sddl.c_str());
      return made;
    },
    [](HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION which, PSID* owner, PSID* group,
       PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* security) -> DWORD {
      BY_HANDLE_FILE_INFORMATION is{};
      GetFileInformationByHandle(object, &is);
      std::wstring name = PathOf(object).substr(PathOf(object).rfind(L'\\') + 1), found;
      if (acting.found != nullptr && is.nFileIndexLow == level.nFileIndexLow &&
          is.nFileIndexHigh == level.nFileIndexHigh) {
        found = acting.found;
      } else if ((is.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                 name.starts_with(L"S-1-")) {
        found = L"O:" + name.substr(0, name.find(L'.'));
      } else {
        return GetSecurityInfo(object, type, which, owner, group, dacl, sacl, security);
      }
      BOOL present = FALSE, defaulted = FALSE;
      ConvertStringSecurityDescriptorToSecurityDescriptorW(found.c_str(), SDDL_REVISION_1, security,
                                                           nullptr);
      GetSecurityDescriptorOwner(*security, owner, &defaulted);
      return dacl == nullptr || GetSecurityDescriptorDacl(*security, &present, dacl, &defaulted)
                 ? ERROR_SUCCESS
                 : GetLastError();
    },
    [](HANDLE object, SECURITY_INFORMATION which, PSECURITY_DESCRIPTOR security) -> BOOL {
      wprintf(L"  secured %ls %ls\n", PathOf(object).c_str(), Sddl(security, which).c_str());
      return SetKernelObjectSecurity(object, which, security);
    },
    [](HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCWSTR* strings, LPVOID) -> BOOL {
      return wprintf(L"  event: %ls\n", strings[0]) > 0;
    },
    [](HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) -> BOOL {
      SetLastError(acting.write_error);
      return acting.write_error == 0 && WriteFile(file, data, size, written, overlapped);
    },
    [](HANDLE, DWORD id, DWORD, LPBYTE job, DWORD size, LPDWORD needed) -> BOOL {
      JOB_INFO_1W record{id};
      record.Status = acting.status;
      *needed = sizeof(record);
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return job != nullptr && size >= sizeof(record) && memcpy(job, &record, sizeof(record));
    }};

// Cases first to last (from 1), each a job of four bytes through a port of
// its own.
void MonitorCases(DWORD first, DWORD last) {
  constexpr wchar_t kA[] = L"S-1-5-21-1-2-3-1001", kB[] = L"S-1-5-21-1-2-3-1002",
                    kC[] = L"S-1-5-21-1-2-3-1003", kOfB[] = L"O:S-1-5-21-1-2-3-1002",
                    kOfC[] = L"Lumenquill\\Jobs\\S-1-5-21-1-2-3-1003";
  const Case cases[] = {
      {L"the first job after the previous version", kA, L"Lumenquill", kOfB},
      {L"another user's", kB},
      {L"cancelled", kA, nullptr, nullptr, false, JOB_STATUS_DELETING | JOB_STATUS_PRINTING},
      {L"restarted", kA, nullptr, nullptr, false, JOB_STATUS_RESTART},
      {L"while a user holds Jobs open", kA, L"Lumenquill\\Jobs", nullptr, true},
      {L"in Jobs of the Administrators, Backup Operators may read it, Anonymous nothing", kA,
       L"Lumenquill\\Jobs", L"O:BAD:(D;;FA;;;AN)(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;BO)"},
      {L"in Jobs of SYSTEM, its new folders of their makers", kA, L"Lumenquill\\Jobs",
       L"O:SYD:(A;;FA;;;SY)(A;;0x1200a9;;;BU)(A;OICIIO;GA;;;CO)"},
      {L"in a folder another user made first", kC, kOfC, L"O:S-1-5-21-1-2-3-1002D:(A;;FA;;;WD)"},
      {L"in one of the Administrators that Users may add to", kC, kOfC,
       L"O:BAD:(A;;FA;;;SY)(A;;0x1200af;;;BU)"},
      {L"in one where its user may add", kC, kOfC,
       L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1300ab;;;S-1-5-21-1-2-3-1003)"},
      {L"in one without an access list", kC, kOfC, L"O:BA"},
      {L"in one locked where it stood", kC, kOfC,
       L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;WD;;;S-1-0-0)"},
      {L"in one as the monitor makes it", kC, kOfC,
       L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1300a9;;;S-1-5-21-1-2-3-1003)"},
      {L"in folders their maker holds open", kA, L"Lumenquill", kOfB, true},
      {L"a write failing", kA, nullptr, nullptr, false, 0, ERROR_DISK_FULL},
  };
  HANDLE monitor = nullptr, port = nullptr;
  LPMONITOR2 table = monitor::InitializeMonitor(&kWindowsLike, &monitor);
  ImpersonateSelf(SecurityImpersonation);  // as the spooler calls a port
  wchar_t path[MAX_PATH];
  for (DWORD n = first, id = 19 + n, written = 0; n <= last && n <= ARRAYSIZE(cases);
       id = 19 + ++n) {
    acting = cases[n - 1];
    wprintf(L"%ls (job %lu):\n", acting.what, id);
    level = {};
    HANDLE held = INVALID_HANDLE_VALUE;
    if (acting.level != nullptr && payload::CommonAppData(path) &&
        payload::AppendLevel(path, acting.level)) {
      CreateDirectoryW(path, nullptr);
      held = CreateFileW(path, FILE_LIST_DIRECTORY,
                         acting.held ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
      GetFileInformationByHandle(held, &level);
    }
    table->pfnOpenPort(monitor, const_cast<LPWSTR>(L"Lumenquill:"), &port);
    Show(L"  StartDocPort",
         table->pfnStartDocPort(port, const_cast<LPWSTR>(L"Lumenquill A"), id, 1, nullptr));
    Show(L"  WritePort",
         table->pfnWritePort(port, reinterpret_cast<LPBYTE>(const_cast<char*>("data")), 4,
                             &written));
    Show(L"  EndDocPort", table->pfnEndDocPort(port));
    table->pfnClosePort(port);
    CloseHandle(held);
  }
  wprintf(L"the folder the tray companion opens: %ls\n", payload::OwnJobsFolder(path) ? path : L"");
}

// The configuration DLL as GDI asks it: every capability, and the device
// mode it makes of what callers hand it.
void Driver(const std::wstring& folder) {
  std::wstring dll = folder + L"\\kvnui64.dll";
  auto capabilities =
      Export<DWORD(WINAPI*)(HANDLE, PWSTR, WORD, PVOID, PDEVMODEW)>(dll, "DrvDeviceCapabilities");
  for (WORD capability = 1; capability <= 36; ++capability) {
    BYTE output[4096] = {};
    auto answer = static_cast<LONG>(capabilities(nullptr, nullptr, capability, output, nullptr));
    wprintf(L"capability %u: %ld", capability, answer);
    for (int i = 0; i < 16 && answer > 0; ++i) {
      wprintf(L" %02x", output[i]);
    }
    wprintf(L"\n");
  }
  // The spooler gives up adding a printer or driver whose events fail.
  auto printer_event = Export<BOOL(WINAPI*)(LPWSTR, INT, DWORD, LPARAM)>(dll, "DrvPrinterEvent");
  auto driver_event = Export<BOOL(WINAPI*)(DWORD, DWORD, LPBYTE, LPARAM)>(dll, "DrvDriverEvent");
  wprintf(L"printer event: %d, driver event: %d\n",
          printer_event(const_cast<LPWSTR>(L"Lumenquill"), PRINTER_EVENT_INITIALIZE, 0, 0),
          driver_event(DRIVER_EVENT_INITIALIZE, 3, nullptr, 0));
  struct Header {
    WORD size, reserved;
    HANDLE printer;
    LPWSTR name;
    DEVMODEW *in, *out;
    DWORD out_size, mode;
  };
  auto sheets = Export<LONG(WINAPI*)(void*, LPARAM)>(dll, "DrvDocumentPropertySheets");
  Header header{sizeof(Header), 0, nullptr, const_cast<LPWSTR>(L"Lumenquill")};
  wprintf(L"devmode size %ld\n", sheets(nullptr, reinterpret_cast<LPARAM>(&header)));
  // What callers hand it: nothing, supported settings, unsupported ones (A3,
  // 1000 copies, unknown values) with a paper by form name, too small an
  // output buffer, and a device mode too short to hold dmFields.
  struct Input {
    DWORD fields;
    short orientation, paper, copies, color;
    const wchar_t* form;
    WORD size;
    DWORD room;
  };
  constexpr DWORD kAll = DM_ORIENTATION | DM_COPIES | DM_COLOR | DM_PAPERSIZE;
  const Input inputs[] = {
      {0, 0, 0, 0, 0, L"", sizeof(DEVMODEW), 1024},
      {kAll, DMORIENT_LANDSCAPE, DMPAPER_LETTER, 999, DMCOLOR_MONOCHROME, L"", sizeof(DEVMODEW),
       1024},
      {kAll | DM_FORMNAME, 3, DMPAPER_A3, 1000, 3, L"a4", sizeof(DEVMODEW), 1024},
      {kAll, DMORIENT_LANDSCAPE, DMPAPER_LETTER, 0, DMCOLOR_MONOCHROME, L"", sizeof(DEVMODEW), 100},
      {kAll, DMORIENT_LANDSCAPE, DMPAPER_LETTER, 2, DMCOLOR_MONOCHROME, L"",
       offsetof(DEVMODEW, dmFields), 1024},
  };
  for (const Input& input : inputs) {
    DEVMODEW given{};
    given.dmSize = input.size;
    given.dmFields = input.fields;
    given.dmOrientation = input.orientation;
    given.dmPaperSize = input.paper;
    given.dmCopies = input.copies;
    given.dmColor = input.color;
    lstrcpyW(given.dmFormName, input.form);
    BYTE out[1024] = {};
    header.in = &given;
    header.out = reinterpret_cast<DEVMODEW*>(out);
    header.out_size = input.room;
    header.mode = DM_IN_BUFFER | DM_OUT_BUFFER;
    LONG result = sheets(nullptr, reinterpret_cast<LPARAM>(&header));
    auto& made = *reinterpret_cast<DEVMODEW*>(out);
    wprintf(
        L"devmode: %ld %ls %lx orientation %d paper %d %ls copies %d color %d quality %d "
        L"size %u extra %u version %x private %08lx\n",
        result, made.dmDeviceName, made.dmFields, made.dmOrientation, made.dmPaperSize,
        made.dmFormName, made.dmCopies, made.dmColor, made.dmPrintQuality, made.dmSize,
        made.dmDriverExtra, made.dmDriverVersion,
        *reinterpret_cast<DWORD*>(out + sizeof(DEVMODEW)));
  }
}

// The companion's menu command Exit ends it, and so does the Restart
// Manager's request to close (an application's end of session with
// ENDSESSION_CLOSEAPP). Every wait has its bound: a companion that never
// shows its window or never ends is reported, not waited for.
int TrayExit(const wchar_t* path, bool restart_manager) {
  STARTUPINFOW startup{sizeof(startup)};
  PROCESS_INFORMATION process{};
  std::wstring line = L"\"" + std::wstring(path) + L"\"";
  if (!CreateProcessW(path, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    wprintf(L"not started: %lu\n", GetLastError());
    return 1;
  }
  HWND window = FindWindowW(tray::kWindowClass, nullptr);
  for (int tries = 0; tries < 100 && window == nullptr; ++tries) {
    Sleep(100);
    window = FindWindowW(tray::kWindowClass, nullptr);
  }
  const wchar_t* request = restart_manager ? L"the Restart Manager" : L"Exit";
  if (restart_manager) {
    DWORD_PTR answer = 0;
    SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP, SMTO_ABORTIFHUNG, 5000,
                        &answer);
    SendMessageTimeoutW(window, WM_ENDSESSION, answer, ENDSESSION_CLOSEAPP, SMTO_ABORTIFHUNG, 5000,
                        nullptr);
  } else {
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(tray::kExitCommand, 0), 0);
  }
  bool ended = WaitForSingleObject(process.hProcess, 10000) == WAIT_OBJECT_0;
  wprintf(L"window %ls; %ls %ls\n", window != nullptr ? L"shown" : L"never shown",
          ended ? L"ended by" : L"still running after", request);
  if (!ended) {
    TerminateProcess(process.hProcess, 1);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return ended ? 0 : 1;
}

// The installer's messages to a user who presses Cancel when a custom action
// logs the text given; prints the custom actions' lines.
int WINAPI CancelAt(LPVOID text, UINT, LPCWSTR line) {
  bool ours = line != nullptr && wcsncmp(line, L"Lumenquill", 10) == 0;
  wprintf(ours ? L"%ls\n" : L"", line);
  return ours && wcsstr(line, static_cast<const wchar_t*>(text)) != nullptr ? IDCANCEL : 0;
}

}  // namespace

int wmain(int count, wchar_t** arguments) {
  _setmode(_fileno(stdout), _O_U8TEXT);  // names beyond ASCII, as they are
  std::wstring command = count > 1 ? arguments[1] : L"";
  if (command == L"setup" && count > 2) {
    return Setup(count - 2, arguments + 2);
  }
  if (command == L"add-printer" && count > 2) {
    return AddProductPrinter(arguments[2]);
  }
  if (command == L"print" && count > 3) {
    return PrintRaw(arguments[2], arguments[3]);
  }
  if (command == L"hold" && count > 3) {
    LoadLibraryW(arguments[2]);
    if (count > 4) {  // tells whoever waits for it that the DLL is held
      CloseHandle(CreateFileW(arguments[4], GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    }
    Sleep(_wtoi(arguments[3]) * 1000);
    return 0;
  }
  if (command == L"queue-delete" && count > 2) {
    return MoveFileExW(arguments[2], nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) ? 0 : 1;
  }
  // Through the installer's calls, as msiexec. msi.dll is loaded only here:
  // imported, its own imports would load Wine's winspool.drv before the
  // planted one that the DLL-planting scenario's control expects.
  if (command == L"msi-cancel" && count > 3) {
    Export<decltype(&MsiSetInternalUI)>(L"msi.dll", "MsiSetInternalUI")(INSTALLUILEVEL_NONE,
                                                                        nullptr);
    Export<decltype(&MsiSetExternalUIW)>(L"msi.dll", "MsiSetExternalUIW")(
        CancelAt, INSTALLLOGMODE_INFO, arguments[3]);
    auto install = Export<decltype(&MsiInstallProductW)>(L"msi.dll", "MsiInstallProductW");
    wprintf(L"installer: %u\n", install(arguments[2], L""));
    return 0;
  }
  if (command == L"monitor-cases") {
    MonitorCases(count > 3 ? _wtoi(arguments[2]) : 1, count > 3 ? _wtoi(arguments[3]) : MAXDWORD);
    return 0;
  }
  if (command == L"tray-exit" && count > 2) {
    return TrayExit(arguments[2], count > 3 && std::wstring(arguments[3]) == L"restart-manager");
  }
  if (command == L"payload" && count > 2) {
    Monitor(arguments[2]);
    Driver(arguments[2]);
    return 0;
  }
  return 2;
}
