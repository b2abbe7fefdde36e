#include "session/install_session.h"

#include <cwchar>

#include "base/memory.h"
#include "base/module_instance.h"
#include "platform/system_api.h"
#include "print/printers.h"
#include "product.h"
#include "services/pending_deletes.h"
#include "services/spooler_service.h"
#include "session/session_log.h"

namespace session {
namespace {

using platform::Sys;

constexpr DWORD kPathCapacity = 260;
constexpr DWORD kDefaultNameCapacity = 255;

bool EndsWithBackslash(const base::WideString& text) {
  size_t length = base::Length(text);
  return length > 0 && base::Text(text)[length - 1] == L'\\';
}

void AddTrailingBackslash(base::WideString& text) {
  if (base::Length(text) > 0 && !EndsWithBackslash(text)) {
    base::Append(text, L"\\", 1);
  }
}

void FindDriverDirectory(InstallSession& session) {
  LPWSTR environment = const_cast<LPWSTR>(session.Environment);
  DWORD needed = 0;
  if (Sys().GetPrinterDriverDirectoryW(nullptr, environment, 1, nullptr, 0, &needed) ||
      Sys().GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    ReportError(session, ErrorNumber::kDriverDirectory);
    return;
  }
  // Room for one more character, so the text is terminated even if the
  // spooler fills the whole size it reported.
  base::OwnedBlock<wchar_t> directory(base::AllocateBlock(needed + sizeof(wchar_t)));
  if (directory.get() == nullptr) {
    Sys().SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    ReportError(session, ErrorNumber::kDriverDirectory);
    return;
  }
  if (!Sys().GetPrinterDriverDirectoryW(
          nullptr, environment, 1, reinterpret_cast<LPBYTE>(directory.get()), needed, &needed)) {
    ReportError(session, ErrorNumber::kDriverDirectory);
    return;
  }
  LogLine(session, L"PrinterDriverDirectory(1):%s", directory.get());
  base::Assign(session.DriverDirectory, directory.get());
  AddTrailingBackslash(session.DriverDirectory);
  LogLine(session, L"PrinterDriverDirectory(2):%s", base::Text(session.DriverDirectory));
}

void FindInstallerDirectory(InstallSession& session) {
  wchar_t path[kPathCapacity] = {};
  DWORD length = Sys().GetModuleFileNameW(base::ModuleInstance(), path, kPathCapacity);
  // A name that fills the buffer was cut, and the directory of a cut name
  // may be another directory, one anybody could have filled with files of
  // the product's names: such a name is no name.
  if (length == 0 || length >= kPathCapacity) {
    return;
  }
  // Keep everything up to and including the last separator.
  size_t keep = 0;
  for (size_t i = 0; path[i] != 0; ++i) {
    if (path[i] == L'/' || path[i] == L':' || path[i] == L'\\') {
      keep = i + 1;
    }
  }
  base::Assign(session.InstallerDirectory, path, keep);
}

void FindSystemDirectory(InstallSession& session) {
  wchar_t path[kPathCapacity] = {};
  UINT length = Sys().GetSystemDirectoryW(path, kPathCapacity);
  // A length that does not fit the buffer is the size it would need: the
  // buffer holds no path then.
  if (length == 0 || length >= kPathCapacity) {
    ReportError(session, ErrorNumber::kSystemDirectory);
    return;
  }
  base::Assign(session.SystemDirectory, path, length);
  AddTrailingBackslash(session.SystemDirectory);
}

}  // namespace

InstallSession& InitSession(InstallSession& session, uint32_t mode) {
  session = InstallSession{};
  LogLine(session, L"Lumenquill %d", product::kBuild);
  session.CheckMonitorVersion = 0;
  session.InstallMonitor = 1;
  session.LaunchTray = (mode & ModeNoTray) != 0 ? 0 : 1;
  session.CopyMonitor = 1;
  services::CheckSpooler(session);

  session.Is64Bit = (mode & ModeX64) != 0 ? 1 : 0;
  if (session.Is64Bit != 0) {
    session.Environment = product::kEnvironmentX64;
    session.MonitorFile = L"kvnmon64.dll";
    session.DriverFile = L"kvndrv64.dll";
    session.ConfigFile = L"kvnui64.dll";
  } else {
    session.Environment = product::kEnvironmentX86;
    session.MonitorFile = L"kvnmon32.dll";
    session.DriverFile = L"kvndrv32.dll";
    session.ConfigFile = L"kvnui32.dll";
  }
  FindDriverDirectory(session);
  session.HelpFile = L"kvnhelp.chm";
  session.ReboundPrinters = nullptr;
  FindInstallerDirectory(session);
  FindSystemDirectory(session);
  MarkDefaultPrinter(session);
  return session;
}

void MarkDefaultPrinter(InstallSession& session) {
  print::TakePrinterSnapshot(session.Printers);
  wchar_t name[kDefaultNameCapacity] = {};
  DWORD capacity = kDefaultNameCapacity;
  if (!Sys().GetDefaultPrinterW(name, &capacity)) {
    return;
  }
  name[kDefaultNameCapacity - 1] = 0;
  PRINTER_INFO_2W* records = session.Printers.records;
  for (uint32_t i = 0; i < session.Printers.count; ++i) {
    // Exact: a name that differs only in letter case is another printer.
    if (records[i].pPrinterName != nullptr && std::wcscmp(records[i].pPrinterName, name) == 0) {
      records[i].Attributes |= PRINTER_ATTRIBUTE_DEFAULT;
    }
  }
}

void FreeSession(InstallSession& session) {
  base::FreeBlock(session.ReboundPrinters);
  session.ReboundPrinters = nullptr;
  session.Printers.Free();
  print::FreeRestoreList(session);
  services::DiscardPendingDeletes(session);
  base::Release(session.DriverDirectory);
  base::Release(session.SessionLog);
  base::Release(session.SystemDirectory);
  base::Release(session.InstallerDirectory);
}

}  // namespace session
