// Everything the program learns about the print system: the records that own
// the blocks the spooler fills, the search for the product's monitor and
// driver, the monitor listing for the log, the printer snapshot, and thin
// wrappers around the spooler's add and delete calls.
//
// Every query uses two calls: a size query without a buffer, then a fetch
// into a zero-filled block of the reported size. A record that holds no block
// has a count of 0.
#pragma once

#include <cstdint>

#include "platform/windows_api.h"

namespace session {
struct InstallSession;
}

namespace print {

struct MonitorList {
  void* entries = nullptr;  // MONITOR_INFO_2W records
  uint32_t level = 0;
  uint32_t count = 0;
};

struct DriverList {
  void* entries = nullptr;  // DRIVER_INFO_6W records
  uint32_t level = 0;
  uint32_t count = 0;
  // The query failed: the list says nothing about which drivers exist.
  bool failed = false;
};

struct PrinterInfoBlock {
  void* block = nullptr;  // one PRINTER_INFO_2W and its strings
  uint32_t size = 0;
};

struct PrinterSnapshot {
  // PRINTER_INFO_2W records of all local printers and connections, their
  // strings, and 32 zero bytes after the spooler's data.
  void* entries = nullptr;
  uint32_t count = 0;

  PRINTER_INFO_2W* Records() const { return static_cast<PRINTER_INFO_2W*>(entries); }
};

// Lists the monitors (level 2) and writes what went wrong into the log.
MonitorList& EnumerateMonitors(MonitorList& list, session::InstallSession& session);
DriverList& EnumerateDrivers(DriverList& list, const wchar_t* environment);
PrinterInfoBlock& QueryPrinterInfo(PrinterInfoBlock& info, HANDLE printer);
// The DRIVER_INFO_2W of the printer's driver, in a block the caller frees, or
// null.
void* QueryDriverInfo(HANDLE printer);
void TakePrinterSnapshot(PrinterSnapshot& snapshot);
void FreePrinterSnapshot(PrinterSnapshot& snapshot);
void FreeList(MonitorList& list);
void FreeList(DriverList& list);
void FreeInfo(PrinterInfoBlock& info);

// 0-based index of the first record named exactly "Lumenquill:" /
// "Lumenquill printer", or -1.
int FindProductMonitor(const MonitorList& list);
int FindProductDriver(const DriverList& list);
// Whether a name is exactly the product's driver name.
bool IsProductDriver(const wchar_t* name);

void LogMonitorList(session::InstallSession& session, const MonitorList& list);
// A listing for the log: the header (formatted with the count), one numbered
// line per record with its name ("***EMPTY***" without one), the ruler.
void LogNameListing(session::InstallSession& session, const wchar_t* header, const void* entries,
                    size_t record_size, size_t name_offset, uint32_t count, const wchar_t* ruler);

BOOL SpoolClosePrinter(HANDLE printer);
HANDLE SpoolAddPrinter(PRINTER_INFO_2W& printer);
// Drops the printer's queued jobs, then deletes it; the handle stays open.
BOOL SpoolDeletePrinter(HANDLE printer);
BOOL SpoolAddDriver(DRIVER_INFO_6W& driver);
BOOL SpoolDeleteMonitor(const wchar_t* environment);

}  // namespace print
