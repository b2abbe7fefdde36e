#include "print/spooler_queries.h"

#include <cwchar>

#include "base/memory.h"
#include "platform/system_api.h"
#include "product.h"
#include "session/install_session.h"
#include "session/session_log.h"

namespace print {
namespace {

using platform::Sys;
using session::LogLine;

constexpr auto kOutOfMemory = static_cast<DWORD>(E_OUTOFMEMORY);
constexpr size_t kSnapshotSlack = 32;  // zero bytes after the spooler's data

LPWSTR Writable(const wchar_t* text) {
  return const_cast<LPWSTR>(text);
}

// Where the two calls of a query ended.
enum class Fetched { kNothing, kRecords, kQueryFailed, kNoMemory, kFetchFailed };

// The two-call protocol: `call(buffer, size, &needed, &count)` without a
// buffer for the size, then into a zero-filled block of that size (and
// `slack` zero bytes more, which the fetch is not told of). The list is
// empty, with the thread's last error telling why, unless records came.
template <typename Record, typename Call>
Fetched FetchRecords(RecordList<Record>& list, Call call, size_t slack = 0) {
  list.Free();
  DWORD needed = 0, count = 0;
  if (call(nullptr, 0, &needed, &count)) {
    return Fetched::kNothing;
  }
  if (Sys().GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return Fetched::kQueryFailed;
  }
  void* block = base::AllocateBlock(needed + slack);
  if (block == nullptr) {
    Sys().SetLastError(kOutOfMemory);
    return Fetched::kNoMemory;
  }
  if (!call(static_cast<LPBYTE>(block), needed, &needed, &count)) {
    DWORD error = Sys().GetLastError();
    base::FreeBlock(block);
    Sys().SetLastError(error);
    return Fetched::kFetchFailed;
  }
  list.records = static_cast<Record*>(block);
  list.count = count;
  return Fetched::kRecords;
}

template <typename Record>
int FindByName(const RecordList<Record>& list, const wchar_t* name) {
  for (uint32_t i = 0; i < list.count; ++i) {
    if (list[i].pName != nullptr && std::wcscmp(list[i].pName, name) == 0) {
      return static_cast<int>(i);
    }
  }
  return -1;
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

}  // namespace

void EnumerateMonitors(MonitorList& list, session::InstallSession& session) {
  switch (FetchRecords(list, [](LPBYTE buffer, DWORD size, LPDWORD needed, LPDWORD count) {
    return Sys().EnumMonitorsW(nullptr, 2, buffer, size, needed, count);
  })) {
    case Fetched::kNothing:
      LogLine(session, L"1. EnumMonitors returns true");
      break;
    case Fetched::kQueryFailed:
      LogEnumFailure(session, L"2. EnumMonitors  failed with code: %s", Sys().GetLastError());
      break;
    case Fetched::kNoMemory:
      LogLine(session, L"3. EnumMonitors - can't allocate memory for buffer");
      Sys().SetLastError(kOutOfMemory);
      break;
    case Fetched::kFetchFailed:
      LogEnumFailure(session, L"3. EnumMonitors  failed with code: %s", Sys().GetLastError());
      break;
    case Fetched::kRecords:
      break;
  }
}

void EnumerateDrivers(DriverList& list, const wchar_t* environment) {
  Fetched fetched =
      FetchRecords(list, [&](LPBYTE buffer, DWORD size, LPDWORD needed, LPDWORD count) {
        return Sys().EnumPrinterDriversW(nullptr, Writable(environment), 6, buffer, size, needed,
                                         count);
      });
  list.failed = fetched != Fetched::kNothing && fetched != Fetched::kRecords;
}

void QueryPrinterInfo(PrinterSnapshot& info, HANDLE printer) {
  FetchRecords(info, [&](LPBYTE buffer, DWORD size, LPDWORD needed, LPDWORD count) {
    *count = 1;
    return Sys().GetPrinterW(printer, 2, buffer, size, needed);
  });
}

void QueryDriverInfo(RecordList<DRIVER_INFO_2W>& info, HANDLE printer) {
  // The size query names the environment; the fetch names none, so the
  // spooler answers for its own.
  FetchRecords(info, [&](LPBYTE buffer, DWORD size, LPDWORD needed, LPDWORD count) {
    *count = 1;
    const wchar_t* environment = buffer == nullptr ? product::kEnvironmentX64 : nullptr;
    return Sys().GetPrinterDriverW(printer, Writable(environment), 2, buffer, size, needed);
  });
}

void TakePrinterSnapshot(PrinterSnapshot& snapshot) {
  constexpr DWORD kFlags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
  FetchRecords(
      snapshot,
      [](LPBYTE buffer, DWORD size, LPDWORD needed, LPDWORD count) {
        return Sys().EnumPrintersW(kFlags, nullptr, 2, buffer, size, needed, count);
      },
      kSnapshotSlack);
}

int FindProductMonitor(const MonitorList& list) {
  return FindByName(list, product::kMonitorName);
}

int FindProductDriver(const DriverList& list) {
  return FindByName(list, product::kDriverName);
}

bool IsProductDriver(const wchar_t* name) {
  return name != nullptr && std::wcscmp(name, product::kDriverName) == 0;
}

void LogMonitorList(session::InstallSession& session, const MonitorList& list) {
  LogNameListing(session, L"------- %d existing monitors ----------", list,
                 L"---------------------------------------");
}

HANDLE SpoolAddPrinter(PRINTER_INFO_2W& printer) {
  return Sys().AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&printer));
}

bool SpoolDeletePrinter(HANDLE printer) {
  // Queued jobs would keep the printer alive: drop them first, whether or not
  // that works.
  Sys().SetPrinterW(printer, 0, nullptr, PRINTER_CONTROL_PURGE);
  return Sys().DeletePrinter(printer) != FALSE;
}

bool SpoolAddDriver(DRIVER_INFO_6W& driver) {
  return Sys().AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(&driver),
                                   APD_COPY_ALL_FILES) != FALSE;
}

bool SpoolDeleteMonitor(const wchar_t* environment) {
  return Sys().DeleteMonitorW(nullptr, Writable(environment), Writable(product::kMonitorName)) !=
         FALSE;
}

}  // namespace print
