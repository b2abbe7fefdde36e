#include "print/port_monitor.h"

#include <cstring>
#include <cwchar>

#include "base/memory.h"
#include "platform/owned_handles.h"
#include "platform/system_api.h"
#include "product.h"
#include "services/file_copy.h"
#include "services/pending_deletes.h"
#include "services/spooler_service.h"
#include "session/install_session.h"
#include "session/session_log.h"

namespace print {
namespace {

using platform::Sys;
using session::ErrorNumber;
using session::LogLine;
using session::ReportError;

constexpr int kAddAttempts = 5;
constexpr DWORD kAddPause = 50;  // ms, before every attempt but the first
constexpr size_t kProductPortLength = 11;
constexpr size_t kFilePortLength = 5;
static_assert(sizeof(product::kMonitorName) / sizeof(wchar_t) == kProductPortLength + 1);
static_assert(sizeof(product::kFilePort) / sizeof(wchar_t) == kFilePortLength + 1);

bool Compatible(int32_t build) {
  return build > product::kOldestIncompatibleBuild && build <= product::kBuild;
}

// Replaces "Lumenquill:" at `offset` by "file:", in place; the string
// becomes 6 characters shorter.
void SwitchToFilePort(wchar_t* ports, size_t offset) {
  wchar_t* at = ports + offset;
  wchar_t* rest = at + kProductPortLength;
  std::wmemcpy(at, product::kFilePort, kFilePortLength);
  std::wmemmove(at + kFilePortLength, rest, std::wcslen(rest) + 1);
}

// Replaces "file:" at `offset` by "Lumenquill:", in place. Only done to a
// string that SwitchToFilePort shortened, so the room is there.
void SwitchToProductPort(wchar_t* ports, size_t offset) {
  wchar_t* at = ports + offset;
  wchar_t* rest = at + kFilePortLength;
  std::wmemmove(at + kProductPortLength, rest, std::wcslen(rest) + 1);
  std::wmemcpy(at, product::kMonitorName, kProductPortLength);
}

// Sets the printer's port list as the snapshot record now holds it.
void Rebind(session::InstallSession& session, PRINTER_INFO_2W& record) {
  PRINTER_DEFAULTSW defaults{nullptr, nullptr, PRINTER_ALL_ACCESS};
  platform::OwnedPrinter printer = platform::OpenPrinter(record.pPrinterName, &defaults);
  if (!printer.Held()) {
    LogLine(session, L"Can't open printer %s", record.pPrinterName);
    return;
  }
  bool set = Sys().SetPrinterW(printer.get(), 2, reinterpret_cast<LPBYTE>(&record), 0) != FALSE;
  LogLine(session, set ? L"SetPrinter(%s) - ok" : L"SetPrinter(%s) - failed", record.pPrinterName);
}

// Switches every printer of the snapshot that uses the product's port to
// "file:", remembering each in a new array of the session.
void ReboundPrinters(session::InstallSession& session) {
  base::FreeBlock(session.ReboundPrinters);
  session.ReboundPrinters = nullptr;
  uint32_t count = session.Printers.count;
  if (count == 0) {
    return;
  }
  auto* rebound =
      static_cast<ReboundPrinter*>(base::AllocateBlock((count + 1) * sizeof(ReboundPrinter)));
  if (rebound == nullptr) {
    return;  // a printer switched but not remembered would stay on "file:" for good
  }
  session.ReboundPrinters = rebound;
  PRINTER_INFO_2W* records = session.Printers.records;
  for (uint32_t i = 0; i < count; ++i) {
    wchar_t* ports = records[i].pPortName;
    const wchar_t* found = ports != nullptr ? std::wcsstr(ports, product::kMonitorName) : nullptr;
    if (found == nullptr) {
      continue;
    }
    auto offset = static_cast<uint32_t>(found - ports);
    *rebound++ = ReboundPrinter{&records[i], offset};
    SwitchToFilePort(ports, offset);
    Rebind(session, records[i]);
  }
}

// Where to put the product's port back: where it was taken from, or failing
// that the first "file:" of the list.
const wchar_t* FilePortToSwitchBack(const ReboundPrinter& entry) {
  wchar_t* ports = entry.printer->pPortName;
  if (ports == nullptr) {
    return nullptr;
  }
  size_t length = std::wcslen(ports);
  if (entry.offset + kFilePortLength <= length &&
      std::wcsncmp(ports + entry.offset, product::kFilePort, kFilePortLength) == 0) {
    return ports + entry.offset;
  }
  return std::wcsstr(ports, product::kFilePort);
}

void CopyMonitorFile(session::InstallSession& session) {
  // Without the system directory the copy would go to the current
  // directory, which may be anyone's (error 7 has told already).
  if (base::Length(session.SystemDirectory) == 0) {
    LogLine(session, L"No system directory: the monitor file is not copied");
    return;
  }
  const wchar_t* directory = base::Text(session.SystemDirectory);
  if (services::CopyFile(session, directory, session.MonitorFile, {},
                         services::CopyErrors::kQuiet)) {
    return;
  }
  // The old DLL may still be loaded by the spooler: copy with it stopped.
  services::SpoolerStop stop;
  services::RestartSpooler(stop, &session);
  services::CopyFile(session, directory, session.MonitorFile, {}, services::CopyErrors::kReport);
  services::ResumeSpooler(stop);
}

// Switches the printers that DeleteMonitor moved to "file:" back to the
// product's port.
void SwitchPrintersBack(session::InstallSession& session) {
  for (ReboundPrinter* entry = session.ReboundPrinters;
       entry != nullptr && entry->printer != nullptr; ++entry) {
    const wchar_t* file_port = FilePortToSwitchBack(*entry);
    if (file_port == nullptr) {
      continue;
    }
    SwitchToProductPort(entry->printer->pPortName,
                        static_cast<size_t>(file_port - entry->printer->pPortName));
    Rebind(session, *entry->printer);
  }
}

// The monitor's DLL in the system directory, under its registered name when
// the monitor was found with one. Only a path in the system directory names
// it (`located`): without the directory (error 7 has told), or without
// memory for its copy, the bare name would name a file of the current
// directory.
base::WideString MonitorPath(session::InstallSession& session, const MonitorList& monitors,
                             int index, bool& located) {
  base::WideString path = base::Copy(session.SystemDirectory);
  located = base::Length(session.SystemDirectory) != 0 &&
            base::Length(path) == base::Length(session.SystemDirectory);
  const wchar_t* dll = session.MonitorFile;
  if (index < 0) {
    LogLine(session, L"Computing monitor filename");
  } else {
    LogLine(session, L"Trying to get monitor filename from MONITOR_INFO_2");
    const wchar_t* registered = monitors[index].pDLLName;
    // A registration without a DLL name still names our DLL, never the bare
    // system directory.
    if (registered != nullptr && registered[0] != 0) {
      dll = registered;
    }
  }
  if (dll != nullptr && dll[0] != 0) {
    base::Append(path, dll);
  }
  LogLine(session, L"Auto calculated monitor file name: %s", base::Text(path));
  return path;
}

// Whether a reinstall keeps the installed monitor, its DLL (`path`, null when
// it is not located) being of a compatible build; the session's flags then
// say what the install skips.
bool KeepsCompatibleMonitor(session::InstallSession& session, const wchar_t* path, int index) {
  if (session.CheckMonitorVersion == 0) {
    LogLine(session, L"There is no check for monitor version");
    return false;
  }
  int32_t build = path != nullptr ? FileProductVersion(path) : -1;
  if (!Compatible(build)) {
    if (build == -1) {
      LogLine(session, L"Version is unknown, proceed with reinstall");
    } else {
      LogLine(session, L"Version (%d) is not supported, proceed with reinstall", build);
    }
    return false;
  }
  LogLine(session, L"Version (%d) is compatible, proceed without uninstall", build);
  if (index >= 0) {
    session.InstallMonitor = 0;
  } else {
    session.CopyMonitor = 0;
  }
  LogLine(session, L"InstallMonitor == %d, CopyMonitor == %d",
          static_cast<int>(session.InstallMonitor), static_cast<int>(session.CopyMonitor));
  return true;
}

// Deletes the monitor's registration; when the spooler refuses, once more
// with the printers on the product's port switched to "file:", and once more
// after a spooler restart. False when it stays registered, or was not there.
bool RemoveRegistration(session::InstallSession& session, int index) {
  if (SpoolDeleteMonitor(session.Environment)) {
    return true;
  }
  if (index < 0) {
    LogLine(session, L"Can't delete monitor and monitor was not found. So everything should be ok");
    return false;
  }
  LogLine(session, L"Can't delete monitor from the first try");
  ReboundPrinters(session);
  if (SpoolDeleteMonitor(session.Environment)) {
    return true;
  }
  services::SpoolerStop stop;
  services::RestartSpooler(stop, &session);
  services::ResumeSpooler(stop);
  if (SpoolDeleteMonitor(session.Environment)) {
    return true;
  }
  ReportError(session, ErrorNumber::kRemoveMonitor);
  return false;
}

}  // namespace

int32_t FileProductVersion(const wchar_t* path) {
  DWORD handle = 0;
  DWORD size = Sys().GetFileVersionInfoSizeW(path, &handle);
  if (size == 0) {
    return -1;
  }
  void* block = base::AllocateBlock(size);
  if (block == nullptr) {
    return -1;
  }
  int32_t build = -1;
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (Sys().GetFileVersionInfoW(path, 0, size, block) &&
      Sys().VerQueryValueW(block, L"\\", reinterpret_cast<LPVOID*>(&info), &length) &&
      info != nullptr && length >= sizeof(VS_FIXEDFILEINFO)) {
    build = LOWORD(info->dwProductVersionLS);
  }
  base::FreeBlock(block);
  return build;
}

void AddMonitor(session::InstallSession& session) {
  LogLine(session, L">AddMonitor");
  session::LogStep step(session);
  if (session.CopyMonitor != 0) {
    LogLine(session, L"Copy monitor file");
    CopyMonitorFile(session);
  } else {
    LogLine(session, L"Skip copy monitor file");
  }

  MONITOR_INFO_2W monitor{const_cast<LPWSTR>(product::kMonitorName),
                          const_cast<LPWSTR>(session.Environment),
                          const_cast<LPWSTR>(session.MonitorFile)};
  bool added = false;
  for (int attempt = 0; attempt < kAddAttempts && !added; ++attempt) {
    if (attempt > 0) {
      Sys().Sleep(kAddPause);
    }
    added = Sys().AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&monitor)) != FALSE;
    if (!added) {
      DWORD error = Sys().GetLastError();
      LogLine(session, L"AddMonitor - failed. Trying to wait and install again");
      Sys().SetLastError(error);
    }
  }
  if (!added) {
    ReportError(session, ErrorNumber::kInstallMonitor);
    return;
  }
  LogLine(session, L"AddMonitor - OK :)");
  SwitchPrintersBack(session);
}

void DeleteMonitor(session::InstallSession& session, const MonitorList& monitors) {
  LogLine(session, L">DeleteMonitor");
  session::LogStep step(session);
  if (monitors.count != 0) {
    LogMonitorList(session, monitors);
  } else {
    LogLine(session, L"BTW, there is no port monitors on this system.");
  }
  int index = FindProductMonitor(monitors);
  if (index < 0) {
    LogLine(session, L"No Lumenquill port monitor was found.");
  } else {
    LogLine(session, L"Port monitor is found. Index=%d", index + 1);
  }
  bool located = false;
  base::OwnedString path(MonitorPath(session, monitors, index, located));
  if (KeepsCompatibleMonitor(session, located ? base::Text(path) : nullptr, index) ||
      !RemoveRegistration(session, index)) {
    return;
  }
  if (located && base::Length(path) > base::Length(session.SystemDirectory)) {
    services::DeleteOrDefer(session, base::Text(path));
  }
  LogLine(session, L"Monitor was removed :)");
}

}  // namespace print
