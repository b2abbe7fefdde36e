// Everything the program learns about the print system: the records that own
// the blocks the spooler fills, the search for the product's monitor and
// driver, the monitor listing for the log, the printer snapshot, and thin
// wrappers around the spooler's add and delete calls.
//
// Every query uses two calls: a size query without a buffer, then a fetch
// into a zero-filled block of the reported size.
#pragma once

#include <cstdint>

#include "base/memory.h"
#include "platform/windows_api.h"
#include "session/session_log.h"

namespace session {
struct InstallSession;
}

namespace print {

// Records of one type that the spooler wrote into one block, their strings
// after them. The list owns the block: an empty list holds none, and the
// block goes with Free or at the end of the list's scope.
template <typename Record>
struct RecordList {
  Record* records = nullptr;
  uint32_t count = 0;

  RecordList() = default;
  ~RecordList() { Free(); }
  RecordList(const RecordList&) = delete;
  RecordList& operator=(RecordList&& other) {  // takes the other's block over
    if (this != &other) {
      Free();
      records = other.records;
      count = other.count;
      other.records = nullptr;
      other.count = 0;
    }
    return *this;
  }
  Record& operator[](uint32_t index) const { return records[index]; }
  void Free() {
    base::FreeBlock(records);
    records = nullptr;
    count = 0;
  }
};

using MonitorList = RecordList<MONITOR_INFO_2W>;
struct DriverList : RecordList<DRIVER_INFO_6W> {
  // The query failed: the list says nothing about which drivers exist.
  bool failed = false;
};
// All local printers and connections, with 32 zero bytes after the
// spooler's data; or one printer's record.
using PrinterSnapshot = RecordList<PRINTER_INFO_2W>;

// Lists the monitors (level 2) and writes what went wrong into the log.
void EnumerateMonitors(MonitorList& list, session::InstallSession& session);
void EnumerateDrivers(DriverList& list, const wchar_t* environment);
// The printer's PRINTER_INFO_2W, or an empty list.
void QueryPrinterInfo(PrinterSnapshot& info, HANDLE printer);
// The DRIVER_INFO_2W of the printer's driver, or an empty list.
void QueryDriverInfo(RecordList<DRIVER_INFO_2W>& info, HANDLE printer);
void TakePrinterSnapshot(PrinterSnapshot& snapshot);

// 0-based index of the first record named exactly "Lumenquill:" /
// "Lumenquill printer", or -1.
int FindProductMonitor(const MonitorList& list);
int FindProductDriver(const DriverList& list);
// Whether a name is exactly the product's driver name.
bool IsProductDriver(const wchar_t* name);

void LogMonitorList(session::InstallSession& session, const MonitorList& list);
// A listing for the log: the header (formatted with the count), one numbered
// line per record with its name ("***EMPTY***" without one), the ruler.
template <typename Record>
void LogNameListing(session::InstallSession& session, const wchar_t* header,
                    const RecordList<Record>& list, const wchar_t* ruler) {
  session::LogLine(session, header, static_cast<int>(list.count));
  for (uint32_t i = 0; i < list.count; ++i) {
    const wchar_t* name = list[i].pName;
    session::LogLine(session, L"%d. %s", static_cast<int>(i + 1),
                     name != nullptr ? name : L"***EMPTY***");
  }
  session::LogLine(session, L"%s", ruler);
}

HANDLE SpoolAddPrinter(PRINTER_INFO_2W& printer);
// Drops the printer's queued jobs, then deletes it; the handle stays open.
bool SpoolDeletePrinter(HANDLE printer);
bool SpoolAddDriver(DRIVER_INFO_6W& driver);
bool SpoolDeleteMonitor(const wchar_t* environment);

}  // namespace print
