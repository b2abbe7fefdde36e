#include "print/spooler_queries.h"

#include <cwchar>

#include "platform/system_api.h"
#include "product.h"
#include "session/install_session.h"
#include "base/memory.h"
#include "session/session_log.h"

namespace print {
namespace {

using platform::Sys;
using session::LogLine;

constexpr DWORD kOutOfMemory = 0x8007000E;  // E_OUTOFMEMORY
constexpr size_t kSnapshotSlack = 32;       // zero bytes after the spooler's data

LPWSTR Writable(const wchar_t* text) {
  return const_cast<LPWSTR>(text);
}

// Record sizes of the published structures, and where pName sits in them.
struct RecordLayout {
  uint32_t level;
  size_t size;
  size_t name_offset;
};
constexpr RecordLayout kMonitorLayouts[] = {{1, sizeof(MONITOR_INFO_1W), 0},
                                            {2, sizeof(MONITOR_INFO_2W), 0}};
constexpr RecordLayout kDriverLayouts[] = {
    {1, sizeof(DRIVER_INFO_1W), offsetof(DRIVER_INFO_1W, pName)},
    {2, sizeof(DRIVER_INFO_2W), offsetof(DRIVER_INFO_2W, pName)},
    {3, sizeof(DRIVER_INFO_3W), offsetof(DRIVER_INFO_3W, pName)},
    {4, sizeof(DRIVER_INFO_4W), offsetof(DRIVER_INFO_4W, pName)},
    {5, sizeof(DRIVER_INFO_5W), offsetof(DRIVER_INFO_5W, pName)},
    {6, sizeof(DRIVER_INFO_6W), offsetof(DRIVER_INFO_6W, pName)},
};
static_assert(sizeof(MONITOR_INFO_2W) == 24 && sizeof(DRIVER_INFO_2W) == 48 &&
                  sizeof(DRIVER_INFO_3W) == 80 && sizeof(DRIVER_INFO_4W) == 88 &&
                  sizeof(DRIVER_INFO_5W) == 64 && sizeof(DRIVER_INFO_6W) == 136,
              "the 64-bit layouts of the spooler's records");

template <size_t N>
int FindByName(const RecordLayout (&layouts)[N], const void* entries, uint32_t level,
               uint32_t count, const wchar_t* name) {
  if (entries == nullptr || count == 0) {
    return -1;
  }
  for (const RecordLayout& layout : layouts) {
    if (layout.level != level) {
      continue;
    }
    for (uint32_t i = 0; i < count; ++i) {
      const auto* record = static_cast<const char*>(entries) + i * layout.size;
      const auto* record_name =
          *reinterpret_cast<const wchar_t* const*>(record + layout.name_offset);
      if (record_name != nullptr && std::wcscmp(record_name, name) == 0) {
        return static_cast<int>(i);
      }
    }
  }
  return -1;
}

// The two-call fetch: the size query, then a zero-filled block of the
// reported size (plus `slack` zero bytes) and the fetch into it. Returns the
// block, or null with the thread's last error telling why; `failed` (when
// given) tells a failure from a size query that found nothing to fetch.
template <typename SizeQuery, typename Fetch>
void* FetchBlock(SizeQuery size_query, Fetch fetch, size_t slack, DWORD* size,
                 bool* failed = nullptr) {
  bool ignored = false;
  bool& failure = failed != nullptr ? *failed : ignored;
  failure = true;
  DWORD needed = 0;
  if (size_query(&needed)) {
    failure = false;
    return nullptr;
  }
  if (Sys().GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return nullptr;
  }
  void* block = base::AllocateBlock(needed + slack);
  if (block == nullptr) {
    Sys().SetLastError(kOutOfMemory);
    return nullptr;
  }
  if (!fetch(static_cast<LPBYTE>(block), needed)) {
    DWORD error = Sys().GetLastError();
    base::FreeBlock(block);
    Sys().SetLastError(error);
    return nullptr;
  }
  failure = false;
  *size = needed;
  return block;
}

// The line of EnumerateMonitors for a failed call: the system's text for the
// error, line break and all.
void LogEnumFailure(session::InstallSession& session, const wchar_t* format, DWORD error) {
  LPWSTR text = session::SystemMessageWithLineBreak(error);
  LogLine(session, format, text != nullptr ? text : L"No Error or no description");
  if (text != nullptr) {
    Sys().LocalFree(text);
  }
  Sys().SetLastError(error);
}

// Frees a record's block; a record without a block holds nothing.
template <typename Record>
void ReleaseEntries(Record& record) {
  base::FreeBlock(record.entries);
  record.entries = nullptr;
  record.count = 0;
}

}  // namespace

MonitorList& EnumerateMonitors(MonitorList& list, session::InstallSession& session) {
  list = MonitorList{nullptr, 2, 0};
  DWORD needed = 0, count = 0;
  if (Sys().EnumMonitorsW(nullptr, 2, nullptr, 0, &needed, &count)) {
    LogLine(session, L"1. EnumMonitors returns true");
    return list;
  }
  DWORD error = Sys().GetLastError();
  if (error != ERROR_INSUFFICIENT_BUFFER) {
    LogEnumFailure(session, L"2. EnumMonitors  failed with code: %s", error);
    return list;
  }
  void* block = base::AllocateBlock(needed);
  if (block == nullptr) {
    LogLine(session, L"3. EnumMonitors - can't allocate memory for buffer");
    Sys().SetLastError(kOutOfMemory);
    return list;
  }
  if (!Sys().EnumMonitorsW(nullptr, 2, static_cast<LPBYTE>(block), needed, &needed, &count)) {
    error = Sys().GetLastError();
    base::FreeBlock(block);
    LogEnumFailure(session, L"3. EnumMonitors  failed with code: %s", error);
    return list;
  }
  list.entries = block;
  list.count = count;
  return list;
}

DriverList& EnumerateDrivers(DriverList& list, const wchar_t* environment) {
  list = DriverList{nullptr, 6, 0, false};
  DWORD count = 0, size = 0;
  list.entries = FetchBlock(
      [&](DWORD* needed) {
        return Sys().EnumPrinterDriversW(nullptr, Writable(environment), 6, nullptr, 0, needed,
                                         &count);
      },
      [&](LPBYTE block, DWORD needed) {
        return Sys().EnumPrinterDriversW(nullptr, Writable(environment), 6, block, needed, &needed,
                                         &count);
      },
      0, &size, &list.failed);
  list.count = list.entries != nullptr ? count : 0;
  return list;
}

PrinterInfoBlock& QueryPrinterInfo(PrinterInfoBlock& info, HANDLE printer) {
  info = PrinterInfoBlock{};
  DWORD size = 0;
  info.block =
      FetchBlock([&](DWORD* needed) { return Sys().GetPrinterW(printer, 2, nullptr, 0, needed); },
                 [&](LPBYTE block, DWORD needed) {
                   return Sys().GetPrinterW(printer, 2, block, needed, &needed);
                 },
                 0, &size);
  info.size = info.block != nullptr ? size : 0;
  return info;
}

void* QueryDriverInfo(HANDLE printer) {
  DWORD size = 0;
  // The size query names the environment; the fetch names none, so the
  // spooler answers for its own.
  return FetchBlock(
      [&](DWORD* needed) {
        return Sys().GetPrinterDriverW(printer, Writable(product::kEnvironmentX64), 2, nullptr, 0,
                                       needed);
      },
      [&](LPBYTE block, DWORD needed) {
        return Sys().GetPrinterDriverW(printer, nullptr, 2, block, needed, &needed);
      },
      0, &size);
}

void TakePrinterSnapshot(PrinterSnapshot& snapshot) {
  FreePrinterSnapshot(snapshot);
  constexpr DWORD kFlags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
  DWORD count = 0, size = 0;
  // The fetch is told the reported size although the block is larger, so the
  // bytes after the spooler's data stay zero.
  snapshot.entries = FetchBlock(
      [&](DWORD* needed) {
        return Sys().EnumPrintersW(kFlags, nullptr, 2, nullptr, 0, needed, &count);
      },
      [&](LPBYTE block, DWORD needed) {
        return Sys().EnumPrintersW(kFlags, nullptr, 2, block, needed, &needed, &count);
      },
      kSnapshotSlack, &size);
  snapshot.count = snapshot.entries != nullptr ? count : 0;
}

void FreePrinterSnapshot(PrinterSnapshot& snapshot) {
  ReleaseEntries(snapshot);
}

void FreeList(MonitorList& list) {
  ReleaseEntries(list);
}

void FreeList(DriverList& list) {
  ReleaseEntries(list);
}

void FreeInfo(PrinterInfoBlock& info) {
  base::FreeBlock(info.block);
  info = PrinterInfoBlock{};
}

int FindProductMonitor(const MonitorList& list) {
  return FindByName(kMonitorLayouts, list.entries, list.level, list.count, product::kMonitorName);
}

int FindProductDriver(const DriverList& list) {
  return FindByName(kDriverLayouts, list.entries, list.level, list.count, product::kDriverName);
}

bool IsProductDriver(const wchar_t* name) {
  return name != nullptr && std::wcscmp(name, product::kDriverName) == 0;
}

void LogNameListing(session::InstallSession& session, const wchar_t* header, const void* entries,
                    size_t record_size, size_t name_offset, uint32_t count, const wchar_t* ruler) {
  LogLine(session, header, static_cast<int>(count));
  for (uint32_t i = 0; entries != nullptr && i < count; ++i) {
    const auto* record = static_cast<const char*>(entries) + i * record_size;
    const auto* name = *reinterpret_cast<const wchar_t* const*>(record + name_offset);
    LogLine(session, L"%d. %s", static_cast<int>(i + 1), name != nullptr ? name : L"***EMPTY***");
  }
  LogLine(session, L"%s", ruler);
}

void LogMonitorList(session::InstallSession& session, const MonitorList& list) {
  // Read as level-2 records, whatever the list's level says.
  LogNameListing(session, L"------- %d existing monitors ----------", list.entries,
                 sizeof(MONITOR_INFO_2W), offsetof(MONITOR_INFO_2W, pName), list.count,
                 L"---------------------------------------");
}

BOOL SpoolClosePrinter(HANDLE printer) {
  return Sys().ClosePrinter(printer);
}

HANDLE SpoolAddPrinter(PRINTER_INFO_2W& printer) {
  return Sys().AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&printer));
}

BOOL SpoolDeletePrinter(HANDLE printer) {
  // Queued jobs would keep the printer alive: drop them first, whether or not
  // that works.
  Sys().SetPrinterW(printer, 0, nullptr, PRINTER_CONTROL_PURGE);
  return Sys().DeletePrinter(printer);
}

BOOL SpoolAddDriver(DRIVER_INFO_6W& driver) {
  return Sys().AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(&driver),
                                   APD_COPY_ALL_FILES);
}

BOOL SpoolDeleteMonitor(const wchar_t* environment) {
  return Sys().DeleteMonitorW(nullptr, Writable(environment), Writable(product::kMonitorName));
}

}  // namespace print
