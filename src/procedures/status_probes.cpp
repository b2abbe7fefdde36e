#include "procedures/status_probes.h"

#include <cwchar>

#include "base/ascii_text.h"
#include "base/memory.h"
#include "platform/owned_handles.h"
#include "platform/system_api.h"
#include "print/port_monitor.h"
#include "print/spooler_queries.h"
#include "product.h"
#include "services/pending_renames.h"
#include "services/spooler_service.h"

namespace procedures {
namespace {

using platform::Sys;

constexpr int kPendingPasses = 2;
constexpr DWORD kDefaultNameCapacity = 260;
constexpr const wchar_t* kProductDlls[] = {L"kvnmon64.dll", L"kvndrv64.dll", L"kvnui64.dll"};

// Whether an existing source of the queue is named like a product DLL.
bool QueueNamesProductDll(const services::PendingRenameTable& table) {
  for (const wchar_t* dll : kProductDlls) {
    for (uint32_t pair = 0; pair < table.count; ++pair) {
      const wchar_t* source = table.names[2 * pair];
      if (table.flags[2 * pair] != 0 && source != nullptr &&
          base::EqualIgnoringAsciiCase(base::FileNamePart(services::PathOfEntry(source)), dll)) {
        return true;
      }
    }
  }
  return false;
}

// The first record of the snapshot whose driver is the product's, or null.
PRINTER_INFO_2W* FirstProductPrinter(const print::PrinterSnapshot& snapshot) {
  for (uint32_t i = 0; i < snapshot.count; ++i) {
    if (print::IsProductDriver(snapshot[i].pDriverName)) {
      return &snapshot[i];
    }
  }
  return nullptr;
}

}  // namespace

bool CheckPendingFiles() {
  for (int pass = 0; pass < kPendingPasses; ++pass) {
    services::PendingRenameTable table = services::LoadPendingRenameTable();
    services::PurgePendingRenameDeletes(table);
    bool found = QueueNamesProductDll(table);
    services::FreePendingRenameTable(table);
    if (!found) {
      return false;
    }
    // A restart of the spooler lets go of the DLLs it held.
    services::SpoolerStop stop;
    services::RestartSpooler(stop, nullptr);
    services::ResumeSpooler(stop);
  }
  return true;
}

bool CheckDefaultPrinter() {
  wchar_t name[kDefaultNameCapacity] = {};
  DWORD capacity = kDefaultNameCapacity;
  Sys().GetDefaultPrinterW(name, &capacity);
  name[kDefaultNameCapacity - 1] = 0;
  if (name[0] == 0) {
    return true;
  }
  platform::OwnedPrinter printer = platform::OpenPrinter(name);
  if (!printer.Held()) {
    return true;
  }
  print::PrinterSnapshot info;
  print::QueryPrinterInfo(info, printer.get());
  return info.count == 0 || !print::IsProductDriver(info[0].pDriverName);
}

bool CheckDriverVersion() {
  print::PrinterSnapshot snapshot;
  print::TakePrinterSnapshot(snapshot);
  PRINTER_INFO_2W* first = FirstProductPrinter(snapshot);
  if (first == nullptr) {
    return false;
  }
  platform::OwnedPrinter printer = platform::OpenPrinter(first->pPrinterName);
  if (!printer.Held()) {
    return false;
  }
  print::RecordList<DRIVER_INFO_2W> driver;
  print::QueryDriverInfo(driver, printer.get());
  const wchar_t* path = driver.count != 0 ? driver[0].pDriverPath : nullptr;
  return path != nullptr && print::FileProductVersion(path) > product::kOldestIncompatibleBuild;
}

void SelectDefaultPrinter() {
  print::PrinterSnapshot snapshot;
  print::TakePrinterSnapshot(snapshot);
  if (PRINTER_INFO_2W* first = FirstProductPrinter(snapshot)) {
    Sys().SetDefaultPrinterW(first->pPrinterName);
  }
}

}  // namespace procedures
