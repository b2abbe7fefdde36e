// The simulated print spooler: monitors, drivers, printers and their data,
// the default printer, and the two-call size protocol of its queries. It
// refuses what the spooler refuses, with the same error codes.
#include <cstring>

#include "sim/sim.h"

namespace sim {
namespace {

// The spooler's own folder, wherever the program looks for the system's.
constexpr wchar_t kDrivers[] = L"C:\\Windows\\system32\\spool\\DRIVERS\\";

std::wstring Text(LPCWSTR text) {
  return text != nullptr ? text : L"";
}

std::wstring Widen(LPCSTR text) {
  return std::wstring(text, text + std::strlen(text));
}

bool KnownEnvironment(LPCWSTR env) {
  return env == nullptr || Fold(env) == L"WINDOWS X64" || Fold(env) == L"WINDOWS NT X86";
}

bool Same(const std::wstring& a, const std::wstring& b) {
  return Fold(a) == Fold(b);
}

// Lays strings out at the end of a buffer, as the spooler does; without a
// buffer it only counts.
struct Packer {
  LPBYTE base;
  size_t top, total;
  LPWSTR operator()(const std::wstring& text) {
    size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    total += bytes;
    if (base == nullptr) {
      return nullptr;
    }
    top -= bytes;
    std::memcpy(base + top, text.c_str(), bytes);
    return reinterpret_cast<LPWSTR>(base + top);
  }
};

template <typename Record>
void FillDriver(Packer& put, Record& record, const Driver& driver) {
  record.cVersion = 3;
  record.pName = put(driver.name);
  record.pEnvironment = put(driver.env);
  record.pDriverPath = put(driver.driver);
  record.pDataFile = put(driver.data);
  record.pConfigFile = put(driver.config);
}

void FillDriver6(Packer& put, DRIVER_INFO_6W& record, const Driver& driver) {
  FillDriver(put, record, driver);
  record.pHelpFile = put(driver.help);
  record.pszMfgName = put(driver.maker);
  record.pszOEMUrl = put(driver.url);
  record.pszProvider = put(driver.provider);
}

void FillMonitor(Packer& put, MONITOR_INFO_2W& record, const Monitor& monitor) {
  record.pName = put(monitor.name);
  record.pEnvironment = put(L"Windows x64");
  record.pDLLName = put(monitor.dll);
}

void FillPrinter(Packer& put, PRINTER_INFO_2W& record, const Printer& printer) {
  record.pPrinterName = put(printer.name);
  record.pPortName = put(printer.port);
  record.pDriverName = put(printer.driver);
  record.pComment = put(printer.comment);
  record.pLocation = put(printer.location);
  record.pPrintProcessor = put(printer.processor);
  record.pDatatype = put(printer.datatype);
  record.Attributes = printer.attributes;
  record.cJobs = static_cast<DWORD>(printer.jobs);
}

template <typename Item>
std::vector<const Item*> All(const std::vector<Item>& items) {
  std::vector<const Item*> all;
  for (const Item& item : items) {
    all.push_back(&item);
  }
  return all;
}

// Whether every port of a comma-separated list is a port of some monitor.
bool PortsExist(const std::vector<Monitor>& monitors, const std::wstring& list) {
  std::wstring known = L",";
  for (const Monitor& monitor : monitors) {
    known += Fold(monitor.ports) + L",";
  }
  for (size_t start = 0, end = 0; start <= list.size(); start = end + 1) {
    end = std::min(list.find(L',', start), list.size());
    if (known.find(L"," + Fold(list.substr(start, end - start)) + L",") == std::wstring::npos) {
      return false;
    }
  }
  return true;
}

}  // namespace

template <typename Record, typename Item, typename Fill>
BOOL Sim::Deliver(const char* call, const std::vector<const Item*>& items, LPBYTE buffer,
                  DWORD size, LPDWORD needed, LPDWORD returned, Fill fill) {
  Packer count{nullptr, 0, items.size() * sizeof(Record)};
  for (const Item* item : items) {
    Record scratch{};
    fill(count, scratch, *item);
  }
  *needed = static_cast<DWORD>(count.total);
  if (returned != nullptr) {
    *returned = 0;
  }
  if (items.empty() && returned != nullptr) {
    return TRUE;  // nothing to list: the size query itself succeeds
  }
  CheckRoom(call, buffer, size);
  REFUSE_IF(buffer == nullptr || size < count.total, ERROR_INSUFFICIENT_BUFFER, FALSE);
  Packer write{buffer, count.total, 0};
  for (size_t i = 0; i < items.size(); ++i) {
    reinterpret_cast<Record*>(buffer)[i] = Record{};
    fill(write, reinterpret_cast<Record*>(buffer)[i], *items[i]);
  }
  if (returned != nullptr) {
    *returned = static_cast<DWORD>(items.size());
  }
  return TRUE;
}

Printer* Sim::PrinterOf(const char* call, HANDLE handle) {
  Handle* open = Find(handle, 'p');
  if (Failing(call)) {
    return nullptr;
  }
  REFUSE_IF(service != SERVICE_RUNNING, RPC_S_SERVER_UNAVAILABLE, nullptr);
  for (Printer& printer : printers) {
    if (open != nullptr && Fold(printer.name) == open->name) {
      return &printer;
    }
  }
  return Fail(ERROR_INVALID_HANDLE), nullptr;
}

BOOL Sim::EnumMonitorsW(LPWSTR, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                        LPDWORD returned) {
  FAULT(FALSE);
  REFUSE_IF(service != SERVICE_RUNNING, RPC_S_SERVER_UNAVAILABLE, FALSE);
  REFUSE_IF(level != 2, ERROR_INVALID_LEVEL, FALSE);
  return Deliver<MONITOR_INFO_2W>(__func__, All(monitors), buffer, size, needed, returned,
                                  FillMonitor);
}

BOOL Sim::EnumPrinterDriversW(LPWSTR, LPWSTR env, DWORD level, LPBYTE buffer, DWORD size,
                              LPDWORD needed, LPDWORD returned) {
  FAULT(FALSE);
  REFUSE_IF(service != SERVICE_RUNNING, RPC_S_SERVER_UNAVAILABLE, FALSE);
  REFUSE_IF(level != 6, ERROR_INVALID_LEVEL, FALSE);
  REFUSE_IF(!KnownEnvironment(env), ERROR_INVALID_ENVIRONMENT, FALSE);
  std::vector<const Driver*> items;
  for (const Driver& driver : drivers) {
    if (Same(driver.env, env != nullptr ? env : L"Windows x64")) {
      items.push_back(&driver);
    }
  }
  return Deliver<DRIVER_INFO_6W>(__func__, items, buffer, size, needed, returned, FillDriver6);
}

BOOL Sim::EnumPrintersW(DWORD flags, LPWSTR, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                        LPDWORD returned) {
  FAULT(FALSE);
  REFUSE_IF(service != SERVICE_RUNNING, RPC_S_SERVER_UNAVAILABLE, FALSE);
  REFUSE_IF(level != 2, ERROR_INVALID_LEVEL, FALSE);
  std::vector<const Printer*> items =
      (flags & PRINTER_ENUM_LOCAL) != 0 ? All(printers) : std::vector<const Printer*>{};
  return Deliver<PRINTER_INFO_2W>(__func__, items, buffer, size, needed, returned, FillPrinter);
}

BOOL Sim::GetPrinterW(HANDLE handle, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed) {
  Printer* printer = PrinterOf(__func__, handle);
  REFUSE_IF(printer == nullptr, GetLastError(), FALSE);
  REFUSE_IF(level != 2, ERROR_INVALID_LEVEL, FALSE);
  return Deliver<PRINTER_INFO_2W>(__func__, std::vector<const Printer*>{printer}, buffer, size,
                                  needed, nullptr, FillPrinter);
}

BOOL Sim::GetPrinterDriverW(HANDLE handle, LPWSTR env, DWORD level, LPBYTE buffer, DWORD size,
                            LPDWORD needed) {
  Printer* printer = PrinterOf(__func__, handle);
  REFUSE_IF(printer == nullptr, GetLastError(), FALSE);
  REFUSE_IF(level != 2 || !KnownEnvironment(env), ERROR_INVALID_LEVEL, FALSE);
  std::vector<const Driver*> items;
  for (const Driver& driver : drivers) {
    if (Same(driver.name, printer->driver) &&
        Same(driver.env, env != nullptr ? env : L"Windows x64")) {
      items.push_back(&driver);
    }
  }
  REFUSE_IF(items.empty(), ERROR_UNKNOWN_PRINTER_DRIVER, FALSE);
  return Deliver<DRIVER_INFO_2W>(__func__, items, buffer, size, needed, nullptr,
                                 FillDriver<DRIVER_INFO_2W>);
}

BOOL Sim::GetPrinterDriverDirectoryW(LPWSTR, LPWSTR env, DWORD level, LPBYTE buffer, DWORD size,
                                     LPDWORD needed) {
  FAULT(FALSE);
  REFUSE_IF(service != SERVICE_RUNNING, RPC_S_SERVER_UNAVAILABLE, FALSE);
  REFUSE_IF(level != 1 || !KnownEnvironment(env), ERROR_INVALID_LEVEL, FALSE);
  bool x86 = env != nullptr && Same(env, L"Windows NT x86");
  std::wstring path = kDrivers + std::wstring(x86 ? L"W32X86" : L"x64");
  *needed = static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t));
  CheckRoom(__func__, buffer, size);
  REFUSE_IF(buffer == nullptr || size < *needed, ERROR_INSUFFICIENT_BUFFER, FALSE);
  std::memcpy(buffer, path.c_str(), *needed);
  return TRUE;
}

// The spooler loads the monitor's DLL from the system directory and keeps it.
BOOL Sim::AddMonitorW(LPWSTR, DWORD level, LPBYTE info) {
  FAULT(FALSE);
  REFUSE_IF(service != SERVICE_RUNNING, RPC_S_SERVER_UNAVAILABLE, FALSE);
  const auto* added = reinterpret_cast<const MONITOR_INFO_2W*>(info);
  REFUSE_IF(level != 2 || !KnownEnvironment(added->pEnvironment), ERROR_INVALID_LEVEL, FALSE);
  for (const Monitor& existing : monitors) {
    REFUSE_IF(Same(existing.name, Text(added->pName)), ERROR_PRINT_MONITOR_ALREADY_INSTALLED,
              FALSE);
  }
  File* dll = Find(system + L"\\" + Text(added->pDLLName));
  REFUSE_IF(dll == nullptr || dll->folder, ERROR_MOD_NOT_FOUND, FALSE);
  monitors.push_back({added->pName, added->pDLLName, added->pName});
  dll->lock = dll->lock.empty() ? "spooler" : dll->lock;
  return TRUE;
}

// A monitor whose port a printer uses cannot go; a deleted one's DLL is let go.
BOOL Sim::DeleteMonitorW(LPWSTR, LPWSTR env, LPWSTR name) {
  FAULT(FALSE);
  REFUSE_IF(service != SERVICE_RUNNING, RPC_S_SERVER_UNAVAILABLE, FALSE);
  auto monitor = std::find_if(monitors.begin(), monitors.end(),
                              [&](const Monitor& m) { return Same(m.name, Text(name)); });
  REFUSE_IF(monitor == monitors.end() || !KnownEnvironment(env), ERROR_UNKNOWN_PRINT_MONITOR,
            FALSE);
  for (const Printer& printer : printers) {
    REFUSE_IF((L"," + Fold(printer.port) + L",").find(L"," + Fold(monitor->ports) + L",") !=
                  std::wstring::npos,
              ERROR_PRINT_MONITOR_IN_USE, FALSE);
  }
  if (File* dll = Find(system + L"\\" + monitor->dll); dll != nullptr && !monitor_stays_loaded) {
    dll->lock = dll->lock == "spooler" ? "" : dll->lock;
  }
  monitors.erase(monitor);
  return TRUE;
}

// The driver's files are copied into the spooler's folder for its version.
BOOL Sim::AddPrinterDriverExW(LPWSTR, DWORD level, LPBYTE info, DWORD flags) {
  FAULT(FALSE);
  REFUSE_IF(service != SERVICE_RUNNING, RPC_S_SERVER_UNAVAILABLE, FALSE);
  const auto* added = reinterpret_cast<const DRIVER_INFO_6W*>(info);
  REFUSE_IF(
      level != 6 || !KnownEnvironment(added->pEnvironment) || (flags & APD_COPY_ALL_FILES) == 0,
      ERROR_INVALID_PARAMETER, FALSE);
  Driver driver{Text(added->pName), Text(added->pEnvironment)};
  std::wstring* targets[] = {&driver.driver, &driver.data, &driver.config, &driver.help};
  LPWSTR sources[] = {added->pDriverPath, added->pDataFile, added->pConfigFile, added->pHelpFile};
  for (int i = 0; i < 4; ++i) {
    File* source = Text(sources[i]).empty() ? nullptr : Find(sources[i]);
    REFUSE_IF(source == nullptr && (i < 3 || !Text(sources[i]).empty()), ERROR_FILE_NOT_FOUND,
              FALSE);
    if (source != nullptr) {
      *targets[i] = kDrivers + std::wstring(L"x64\\3") +
                    Text(sources[i]).substr(Text(sources[i]).rfind(L'\\'));
      Put(*targets[i], source->bytes);
    }
  }
  driver.maker = Text(added->pszMfgName);
  driver.url = Text(added->pszOEMUrl);
  driver.provider = Text(added->pszProvider);
  std::erase_if(drivers, [&](const Driver& d) {
    return Same(d.name, driver.name) && Same(d.env, driver.env);
  });
  drivers.push_back(driver);
  return TRUE;
}

BOOL Sim::DeletePrinterDriverExW(LPWSTR, LPWSTR env, LPWSTR name, DWORD flags, DWORD) {
  FAULT(FALSE);
  REFUSE_IF(service != SERVICE_RUNNING, RPC_S_SERVER_UNAVAILABLE, FALSE);
  auto driver = std::find_if(drivers.begin(), drivers.end(), [&](const Driver& d) {
    return Same(d.name, Text(name)) && Same(d.env, Text(env));
  });
  REFUSE_IF(driver == drivers.end(), ERROR_UNKNOWN_PRINTER_DRIVER, FALSE);
  for (const Printer& printer : printers) {
    REFUSE_IF(Same(printer.driver, driver->name), ERROR_PRINTER_DRIVER_IN_USE, FALSE);
  }
  if ((flags & DPD_DELETE_ALL_FILES) != 0) {
    for (const std::wstring& path : {driver->driver, driver->config, driver->help}) {
      Remove(path);
    }
  }
  drivers.erase(driver);
  return TRUE;
}

HANDLE Sim::AddPrinterW(LPWSTR, DWORD level, LPBYTE info) {
  FAULT(nullptr);
  REFUSE_IF(service != SERVICE_RUNNING, RPC_S_SERVER_UNAVAILABLE, nullptr);
  const auto* added = reinterpret_cast<const PRINTER_INFO_2W*>(info);
  REFUSE_IF(level != 2, ERROR_INVALID_LEVEL, nullptr);
  Printer printer{Text(added->pPrinterName), Text(added->pPortName), Text(added->pDriverName),
                  Text(added->pComment),     Text(added->pLocation), Text(added->pPrintProcessor)};
  REFUSE_IF(printer.name.empty(), ERROR_INVALID_PRINTER_NAME, nullptr);
  REFUSE_IF(std::none_of(drivers.begin(), drivers.end(),
                         [&](const Driver& d) { return Same(d.name, printer.driver); }),
            ERROR_UNKNOWN_PRINTER_DRIVER, nullptr);
  REFUSE_IF(!PortsExist(monitors, printer.port), ERROR_UNKNOWN_PORT, nullptr);
  REFUSE_IF(!Same(printer.processor, L"WinPrint"), ERROR_UNKNOWN_PRINTPROCESSOR, nullptr);
  REFUSE_IF(std::any_of(printers.begin(), printers.end(),
                        [&](const Printer& p) { return Same(p.name, printer.name); }),
            ERROR_PRINTER_ALREADY_EXISTS, nullptr);
  printers.push_back(printer);
  return NewHandle({'p', Fold(printer.name), PRINTER_ALL_ACCESS});
}

// A printer with jobs goes when they are done: it is only marked.
BOOL Sim::DeletePrinter(HANDLE handle) {
  Printer* printer = PrinterOf(__func__, handle);
  REFUSE_IF(printer == nullptr, GetLastError(), FALSE);
  REFUSE_IF((Find(handle, 'p')->access & DELETE) == 0, ERROR_ACCESS_DENIED, FALSE);
  if (printer->jobs > 0) {
    printer->attributes |= 0x20000;
    return TRUE;
  }
  default_printer = Same(default_printer, printer->name) ? L"" : default_printer;
  printers.erase(printers.begin() + (printer - printers.data()));
  return TRUE;
}

BOOL Sim::OpenPrinterW(LPWSTR name, LPHANDLE result, LPPRINTER_DEFAULTSW defaults) {
  *result = nullptr;
  FAULT(FALSE);
  REFUSE_IF(service != SERVICE_RUNNING, RPC_S_SERVER_UNAVAILABLE, FALSE);
  REFUSE_IF(name == nullptr || std::none_of(printers.begin(), printers.end(),
                                            [&](const Printer& p) { return Same(p.name, name); }),
            ERROR_INVALID_PRINTER_NAME, FALSE);
  DWORD access = defaults != nullptr ? defaults->DesiredAccess : PRINTER_ACCESS_USE;
  *result = NewHandle({'p', Fold(name), access});
  return TRUE;
}

BOOL Sim::SetPrinterW(HANDLE handle, DWORD level, LPBYTE info, DWORD command) {
  Printer* printer = PrinterOf(__func__, handle);
  REFUSE_IF(printer == nullptr, GetLastError(), FALSE);
  REFUSE_IF((Find(handle, 'p')->access & PRINTER_ACCESS_ADMINISTER) == 0, ERROR_ACCESS_DENIED,
            FALSE);
  if (level == 0 && command == PRINTER_CONTROL_PURGE) {
    printer->jobs = 0;
    return TRUE;
  }
  const auto* record = reinterpret_cast<const PRINTER_INFO_2W*>(info);
  REFUSE_IF(level != 2 || record == nullptr || command != 0, ERROR_INVALID_LEVEL, FALSE);
  REFUSE_IF(!PortsExist(monitors, Text(record->pPortName)), ERROR_UNKNOWN_PORT, FALSE);
  printer->port = Text(record->pPortName);
  printer->comment = Text(record->pComment);
  printer->location = Text(record->pLocation);
  return TRUE;
}

DWORD Sim::ReadData(const char* call, HANDLE handle, LPCSTR key, LPCSTR value, LPDWORD type,
                    LPBYTE data, DWORD size, LPDWORD needed) {
  Printer* printer = PrinterOf(call, handle);
  auto found = printer != nullptr ? printer->data.find(Widen(key) + L"\\" + Widen(value))
                                  : decltype(printer->data.end()){};
  if (printer == nullptr || found == printer->data.end()) {
    return printer == nullptr ? GetLastError() : ERROR_FILE_NOT_FOUND;
  }
  CheckRoom(call, data, size);
  *needed = static_cast<DWORD>(found->second.data.size());
  *type = found->second.type;
  if (size < *needed) {
    return ERROR_MORE_DATA;
  }
  std::memcpy(data, found->second.data.data(), *needed);
  return ERROR_SUCCESS;
}

DWORD Sim::WriteData(const char* call, HANDLE handle, LPCSTR key, LPCSTR value, DWORD type,
                     LPBYTE data, DWORD size) {
  Printer* printer = PrinterOf(call, handle);
  if (printer == nullptr) {
    return GetLastError();
  }
  printer->data[Widen(key) + L"\\" + Widen(value)] = {
      type, std::string(reinterpret_cast<const char*>(data), size)};
  return ERROR_SUCCESS;
}

BOOL Sim::GetDefaultPrinterW(LPWSTR buffer, LPDWORD chars) {
  FAULT(FALSE);
  REFUSE_IF(default_printer.empty(), ERROR_FILE_NOT_FOUND, FALSE);
  DWORD size = static_cast<DWORD>(default_printer.size() + 1);
  bool fits = buffer != nullptr && *chars >= size;
  *chars = size;
  REFUSE_IF(!fits, ERROR_INSUFFICIENT_BUFFER, FALSE);
  std::wmemcpy(buffer, default_printer.c_str(), size);
  return TRUE;
}

BOOL Sim::SetDefaultPrinterW(LPCWSTR name) {
  FAULT(FALSE);
  REFUSE_IF(service != SERVICE_RUNNING, RPC_S_SERVER_UNAVAILABLE, FALSE);
  for (const Printer& printer : printers) {
    if (name != nullptr && Same(printer.name, name)) {
      default_printer = printer.name;
      return TRUE;
    }
  }
  return Fail(ERROR_INVALID_PRINTER_NAME);
}

}  // namespace sim
