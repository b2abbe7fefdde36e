// The service control manager of the simulated Windows, with its one service
// of interest: the print spooler. Starting and stopping take virtual time.
#include <cstdio>

#include "sim/sim_windows.h"

namespace sim {
namespace {

void FillStatus(const Service& service, LPSERVICE_STATUS status) {
  if (status == nullptr) {
    return;
  }
  *status = SERVICE_STATUS{};
  status->dwServiceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
  status->dwCurrentState = service.state;
  status->dwControlsAccepted = service.state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
}

}  // namespace

void SimWindows::OnSpoolerStopped() {
  for (auto& [value, entry] : handles_) {
    if (entry.kind == HandleEntry::kPrinter) {
      entry.stale = true;
    }
  }
  for (auto& [key, file] : fs.files) {
    while (file.second.image_locks.erase("spooler") != 0) {
    }
  }
}

void SimWindows::OnSpoolerStarted() {
  for (const Monitor& monitor : spooler.monitors) {
    if (File* dll = fs.Find(system_directory + L"\\" + monitor.dll)) {
      dll->image_locks.insert("spooler");
    }
  }
}

SC_HANDLE SimWindows::OpenSCManagerW(LPCWSTR, LPCWSTR, DWORD access) {
  if (auto error = Enter("OpenSCManagerW")) {
    Fail(*error);
    return nullptr;
  }
  HandleEntry entry{HandleEntry::kScManager};
  entry.access = access;
  return static_cast<SC_HANDLE>(NewHandle(entry));
}

SC_HANDLE SimWindows::OpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access) {
  std::wstring service = name != nullptr ? name : L"";
  char detail[16];
  std::snprintf(detail, sizeof(detail), ",0x%x", static_cast<unsigned>(access));
  if (auto error = Enter("OpenServiceW", Narrow(service) + detail)) {
    Fail(*error);
    return nullptr;
  }
  if (Lookup(manager, HandleEntry::kScManager) == nullptr) {
    Fail(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (Fold(service) != Fold(spooler_service.name)) {
    Fail(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  HandleEntry entry{HandleEntry::kService};
  entry.path = service;
  entry.access = access;
  return static_cast<SC_HANDLE>(NewHandle(entry));
}

BOOL SimWindows::QueryServiceStatus(SC_HANDLE handle, LPSERVICE_STATUS status) {
  if (auto error = Enter("QueryServiceStatus")) {
    return Fail(*error);
  }
  HandleEntry* entry = Lookup(handle, HandleEntry::kService);
  if (entry == nullptr) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  if ((entry->access & SERVICE_QUERY_STATUS) == 0) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  FillStatus(spooler_service, status);
  return TRUE;
}

BOOL SimWindows::StartServiceW(SC_HANDLE handle, DWORD, LPCWSTR*) {
  if (auto error = Enter("StartServiceW")) {
    return Fail(*error);
  }
  HandleEntry* entry = Lookup(handle, HandleEntry::kService);
  if (entry == nullptr) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  if ((entry->access & SERVICE_START) == 0) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  if (spooler_service.state != SERVICE_STOPPED) {
    return Fail(ERROR_SERVICE_ALREADY_RUNNING);
  }
  spooler_service.state = SERVICE_START_PENDING;
  if (!spooler_service.start_never_completes) {
    clock.After(spooler_service.start_time, [this] {
      spooler_service.state = SERVICE_RUNNING;
      OnSpoolerStarted();
    });
  }
  return TRUE;
}

BOOL SimWindows::ControlService(SC_HANDLE handle, DWORD control, LPSERVICE_STATUS status) {
  if (auto error = Enter("ControlService", std::to_string(control))) {
    return Fail(*error);
  }
  HandleEntry* entry = Lookup(handle, HandleEntry::kService);
  if (entry == nullptr) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  if (control != SERVICE_CONTROL_STOP) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if ((entry->access & SERVICE_STOP) == 0) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  if (spooler_service.stop_refusal != 0) {
    return Fail(spooler_service.stop_refusal);
  }
  if (spooler_service.state == SERVICE_STOPPED) {
    return Fail(ERROR_SERVICE_NOT_ACTIVE);
  }
  if (spooler_service.state != SERVICE_RUNNING) {
    return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  }
  spooler_service.state = SERVICE_STOP_PENDING;
  if (!spooler_service.stop_never_completes) {
    clock.After(spooler_service.stop_time, [this] {
      spooler_service.state = SERVICE_STOPPED;
      OnSpoolerStopped();
    });
  }
  FillStatus(spooler_service, status);
  return TRUE;
}

BOOL SimWindows::CloseServiceHandle(SC_HANDLE handle) {
  Enter("CloseServiceHandle");
  if (!Close(handle, {HandleEntry::kScManager, HandleEntry::kService}, "CloseServiceHandle")) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  return TRUE;
}

}  // namespace sim
