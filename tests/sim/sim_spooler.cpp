// The print spooler of the simulated Windows: port monitors, printer drivers,
// printers with their data, the default printer, and the two-call size
// queries of its enumerations. It refuses what the real spooler refuses, with
// the same error codes.
#include <cstring>

#include "sim/sim_windows.h"

namespace sim {
namespace {

const wchar_t* const kEnvironments[] = {L"Windows x64", L"Windows NT x86", L"Windows IA64",
                                        L"Windows 4.0"};

bool KnownEnvironment(const std::wstring& environment) {
  for (const wchar_t* known : kEnvironments) {
    if (Fold(environment) == Fold(known)) {
      return true;
    }
  }
  return false;
}

std::wstring Text(LPCWSTR text) {
  return text != nullptr ? text : L"";
}

std::wstring FileNameOf(const std::wstring& path) {
  size_t cut = path.find_last_of(L"\\/:");
  return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

std::vector<std::wstring> SplitPorts(const std::wstring& list) {
  std::vector<std::wstring> ports;
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(L',', start);
    std::wstring port = list.substr(start, comma == std::wstring::npos ? comma : comma - start);
    while (!port.empty() && port.front() == L' ') {
      port.erase(port.begin());
    }
    if (!port.empty()) {
      ports.push_back(port);
    }
    if (comma == std::wstring::npos) {
      break;
    }
    start = comma + 1;
  }
  return ports;
}

// Lays out enumeration results as the spooler does: the fixed records first,
// their strings packed at the end of the reported size. Run once to count
// (no buffer), once to write.
class Packer {
 public:
  Packer(LPBYTE buffer, size_t records_bytes, size_t total)
      : base_(buffer), top_(total), counted_(records_bytes) {}

  LPWSTR String(const std::wstring& text) {
    size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    counted_ += bytes;
    if (base_ == nullptr) {
      return nullptr;
    }
    top_ -= bytes;
    std::memcpy(base_ + top_, text.c_str(), bytes);
    return reinterpret_cast<LPWSTR>(base_ + top_);
  }
  // Null for an empty text.
  LPWSTR Optional(const std::wstring& text) { return text.empty() ? nullptr : String(text); }
  template <typename Record>
  Record* At(size_t index) {
    return base_ == nullptr ? &scratch<Record>() : reinterpret_cast<Record*>(base_) + index;
  }
  size_t Total() const { return counted_; }

 private:
  template <typename Record>
  static Record& scratch() {
    static Record record;
    return record;
  }
  LPBYTE base_;
  size_t top_;
  size_t counted_;
};

// The two-call protocol shared by every enumeration and query: the size is
// reported through `needed`, ERROR_INSUFFICIENT_BUFFER when the buffer is
// missing or short, and the records are written only when they fit.
template <typename Record, typename Fill>
BOOL Deliver(SimWindows& sim, size_t count, LPBYTE buffer, DWORD size, LPDWORD needed,
             LPDWORD returned, Fill fill) {
  Packer counter(nullptr, count * sizeof(Record), 0);
  for (size_t i = 0; i < count; ++i) {
    fill(counter, *counter.At<Record>(i), i);
  }
  size_t total = counter.Total();
  if (needed != nullptr) {
    *needed = static_cast<DWORD>(total);
  }
  if (returned != nullptr) {
    *returned = 0;
  }
  if (count == 0) {
    return TRUE;  // nothing to return: the size query itself succeeds
  }
  if (buffer == nullptr || size < total) {
    return sim.Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  Packer writer(buffer, count * sizeof(Record), total);
  for (size_t i = 0; i < count; ++i) {
    Record* record = writer.At<Record>(i);
    *record = Record{};
    fill(writer, *record, i);
  }
  if (returned != nullptr) {
    *returned = static_cast<DWORD>(count);
  }
  return TRUE;
}

template <typename Record>
void FillPrinter(Packer& packer, Record& record, const Printer& printer) {
  record.pServerName = nullptr;
  record.pPrinterName = packer.String(printer.name);
  record.pShareName = packer.Optional(printer.share);
  record.pPortName = packer.String(printer.port);
  record.pDriverName = packer.String(printer.driver);
  record.pComment = packer.String(printer.comment);
  record.pLocation = packer.String(printer.location);
  record.pDevMode = nullptr;
  record.pSepFile = packer.Optional(printer.separator_file);
  record.pPrintProcessor = packer.String(printer.print_processor);
  record.pDatatype = packer.String(printer.datatype);
  record.pParameters = packer.Optional(printer.parameters);
  record.pSecurityDescriptor = nullptr;
  record.Attributes = printer.attributes;
  record.Priority = printer.priority;
  record.DefaultPriority = printer.default_priority;
  record.Status = printer.status;
  record.cJobs = static_cast<DWORD>(printer.jobs);
}

template <typename Record>
void FillDriverCommon(Packer& packer, Record& record, const Driver& driver) {
  record.cVersion = driver.version;
  record.pName = packer.String(driver.name);
  record.pEnvironment = packer.String(driver.environment);
  record.pDriverPath = packer.String(driver.driver_path);
  record.pDataFile = packer.String(driver.data_file);
  record.pConfigFile = packer.String(driver.config_file);
}

}  // namespace

// ---------------------------------------------------------------- state helpers

void Printer::SetData(const std::wstring& key, const std::wstring& value, RegValue stored) {
  data[Fold(key)][Fold(value)] = {value, std::move(stored)};
}

const RegValue* Printer::Data(const std::wstring& key, const std::wstring& value) const {
  auto values = data.find(Fold(key));
  if (values == data.end()) {
    return nullptr;
  }
  auto found = values->second.find(Fold(value));
  return found == values->second.end() ? nullptr : &found->second.second;
}

Monitor* Spooler::FindMonitor(const std::wstring& name) {
  for (Monitor& monitor : monitors) {
    if (Fold(monitor.name) == Fold(name)) {
      return &monitor;
    }
  }
  return nullptr;
}

Driver* Spooler::FindDriver(const std::wstring& name, const std::wstring& environment) {
  for (Driver& driver : drivers) {
    if (Fold(driver.name) == Fold(name) && Fold(driver.environment) == Fold(environment)) {
      return &driver;
    }
  }
  return nullptr;
}

Printer* Spooler::FindPrinter(const std::wstring& name) {
  for (Printer& printer : printers) {
    if (Fold(printer.name) == Fold(name)) {
      return &printer;
    }
  }
  return nullptr;
}

Printer& Spooler::AddPrinter(Printer printer) {
  printers.push_back(std::move(printer));
  return printers.back();
}

std::wstring Spooler::DriverDirectory(const std::wstring& environment) const {
  if (Fold(environment) == Fold(kEnvX64)) {
    return drivers_root + L"\\x64";
  }
  if (Fold(environment) == Fold(kEnvX86)) {
    return drivers_root + L"\\W32X86";
  }
  return {};
}

namespace {

// The environment a call names, the machine's own when it names none.
std::wstring EnvironmentOf(LPWSTR environment) {
  return environment != nullptr ? std::wstring(environment) : std::wstring(kEnvX64);
}

bool PortKnown(Spooler& spooler, const std::wstring& port) {
  for (const Monitor& monitor : spooler.monitors) {
    for (const std::wstring& served : monitor.ports) {
      if (Fold(served) == Fold(port)) {
        return true;
      }
    }
  }
  return false;
}

// Checks what both AddPrinterW and SetPrinterW refuse; 0 when acceptable.
DWORD CheckPrinterRecord(Spooler& spooler, const PRINTER_INFO_2W& info) {
  if (info.pPrinterName == nullptr || info.pPrinterName[0] == 0 || info.pPortName == nullptr ||
      info.pDriverName == nullptr || info.pPrintProcessor == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  if (wcslen(info.pPrinterName) > MAX_PATH || wcschr(info.pPrinterName, L',') != nullptr ||
      wcschr(info.pPrinterName, L'\\') != nullptr) {
    return ERROR_INVALID_PRINTER_NAME;
  }
  if (spooler.FindDriver(info.pDriverName, kEnvX64) == nullptr) {
    return ERROR_UNKNOWN_PRINTER_DRIVER;
  }
  auto ports = SplitPorts(info.pPortName);
  if (ports.empty()) {
    return ERROR_UNKNOWN_PORT;
  }
  for (const auto& port : ports) {
    if (!PortKnown(spooler, port)) {
      return ERROR_UNKNOWN_PORT;
    }
  }
  if (Fold(info.pPrintProcessor) != Fold(L"WinPrint")) {
    return ERROR_UNKNOWN_PRINTPROCESSOR;
  }
  return 0;
}

void StoreRecord(Printer& printer, const PRINTER_INFO_2W& info) {
  printer.name = Text(info.pPrinterName);
  printer.share = Text(info.pShareName);
  printer.port = Text(info.pPortName);
  printer.driver = Text(info.pDriverName);
  printer.comment = Text(info.pComment);
  printer.location = Text(info.pLocation);
  printer.separator_file = Text(info.pSepFile);
  printer.print_processor = Text(info.pPrintProcessor);
  printer.datatype = info.pDatatype != nullptr ? info.pDatatype : L"RAW";
  printer.parameters = Text(info.pParameters);
  // The default mark is not a stored attribute: SetDefaultPrinterW sets it.
  printer.attributes = (info.Attributes & ~PRINTER_ATTRIBUTE_DEFAULT) | PRINTER_ATTRIBUTE_LOCAL;
  printer.priority = info.Priority != 0 ? info.Priority : 1;
  printer.default_priority = info.DefaultPriority;
}

}  // namespace

// ---------------------------------------------------------------- monitors

BOOL SimWindows::EnumMonitorsW(LPWSTR, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                               LPDWORD returned) {
  if (auto error = Enter("EnumMonitorsW")) {
    return Fail(*error);
  }
  CheckCapacity("EnumMonitorsW", buffer, size);
  if (!SpoolerRunning()) {
    return Fail(RPC_S_SERVER_UNAVAILABLE);
  }
  const auto& list = spooler.monitors;
  if (level == 1) {
    return Deliver<MONITOR_INFO_1W>(
        *this, list.size(), buffer, size, needed, returned,
        [&](Packer& p, MONITOR_INFO_1W& r, size_t i) { r.pName = p.String(list[i].name); });
  }
  if (level == 2) {
    return Deliver<MONITOR_INFO_2W>(*this, list.size(), buffer, size, needed, returned,
                                    [&](Packer& p, MONITOR_INFO_2W& r, size_t i) {
                                      r.pName = p.String(list[i].name);
                                      r.pEnvironment = p.String(list[i].environment);
                                      r.pDLLName = p.String(list[i].dll);
                                    });
  }
  return Fail(ERROR_INVALID_LEVEL);
}

BOOL SimWindows::AddMonitorW(LPWSTR, DWORD level, LPBYTE info) {
  if (auto error = Enter("AddMonitorW")) {
    return Fail(*error);
  }
  if (!SpoolerRunning()) {
    return Fail(RPC_S_SERVER_UNAVAILABLE);
  }
  if (level != 2) {
    return Fail(ERROR_INVALID_LEVEL);
  }
  const auto* monitor = reinterpret_cast<const MONITOR_INFO_2W*>(info);
  if (monitor == nullptr || monitor->pName == nullptr || monitor->pName[0] == 0 ||
      monitor->pDLLName == nullptr || monitor->pDLLName[0] == 0) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  std::wstring environment = EnvironmentOf(monitor->pEnvironment);
  if (!KnownEnvironment(environment)) {
    return Fail(ERROR_INVALID_ENVIRONMENT);
  }
  if (spooler.FindMonitor(monitor->pName) != nullptr) {
    return Fail(ERROR_PRINT_MONITOR_ALREADY_INSTALLED);
  }
  File* dll = fs.Find(system_directory + L"\\" + monitor->pDLLName);
  if (dll == nullptr) {
    return Fail(ERROR_MOD_NOT_FOUND);
  }
  // A port monitor of this product serves one port named like the monitor.
  spooler.monitors.push_back({monitor->pName, environment, monitor->pDLLName, {monitor->pName}});
  dll->image_locks.insert("spooler");
  return TRUE;
}

BOOL SimWindows::DeleteMonitorW(LPWSTR, LPWSTR environment, LPWSTR name) {
  if (auto error = Enter("DeleteMonitorW", name ? Narrow(name) : "")) {
    return Fail(*error);
  }
  if (!SpoolerRunning()) {
    return Fail(RPC_S_SERVER_UNAVAILABLE);
  }
  if (environment != nullptr && !KnownEnvironment(environment)) {
    return Fail(ERROR_INVALID_ENVIRONMENT);
  }
  Monitor* monitor = name != nullptr ? spooler.FindMonitor(name) : nullptr;
  if (monitor == nullptr) {
    return Fail(ERROR_UNKNOWN_PRINT_MONITOR);
  }
  for (const Printer& printer : spooler.printers) {
    for (const auto& port : SplitPorts(printer.port)) {
      for (const auto& served : monitor->ports) {
        if (Fold(port) == Fold(served)) {
          return Fail(ERROR_PRINT_MONITOR_IN_USE);
        }
      }
    }
  }
  std::wstring dll = monitor->dll;
  spooler.monitors.erase(spooler.monitors.begin() + (monitor - spooler.monitors.data()));
  if (!spooler.monitor_dll_stays_loaded) {
    if (File* file = fs.Find(system_directory + L"\\" + dll)) {
      auto lock = file->image_locks.find("spooler");
      if (lock != file->image_locks.end()) {
        file->image_locks.erase(lock);
      }
    }
  }
  return TRUE;
}

// ---------------------------------------------------------------- drivers

BOOL SimWindows::EnumPrinterDriversW(LPWSTR, LPWSTR environment, DWORD level, LPBYTE buffer,
                                     DWORD size, LPDWORD needed, LPDWORD returned) {
  if (auto error = Enter("EnumPrinterDriversW")) {
    return Fail(*error);
  }
  CheckCapacity("EnumPrinterDriversW", buffer, size);
  if (!SpoolerRunning()) {
    return Fail(RPC_S_SERVER_UNAVAILABLE);
  }
  std::wstring wanted = EnvironmentOf(environment);
  bool all = Fold(wanted) == Fold(L"all");
  if (!all && !KnownEnvironment(wanted)) {
    return Fail(ERROR_INVALID_ENVIRONMENT);
  }
  std::vector<const Driver*> list;
  for (const Driver& driver : spooler.drivers) {
    if (all || Fold(driver.environment) == Fold(wanted)) {
      list.push_back(&driver);
    }
  }
  switch (level) {
    case 1:
      return Deliver<DRIVER_INFO_1W>(
          *this, list.size(), buffer, size, needed, returned,
          [&](Packer& p, DRIVER_INFO_1W& r, size_t i) { r.pName = p.String(list[i]->name); });
    case 2:
      return Deliver<DRIVER_INFO_2W>(
          *this, list.size(), buffer, size, needed, returned,
          [&](Packer& p, DRIVER_INFO_2W& r, size_t i) { FillDriverCommon(p, r, *list[i]); });
    case 3:
      return Deliver<DRIVER_INFO_3W>(*this, list.size(), buffer, size, needed, returned,
                                     [&](Packer& p, DRIVER_INFO_3W& r, size_t i) {
                                       FillDriverCommon(p, r, *list[i]);
                                       r.pHelpFile = p.String(list[i]->help_file);
                                     });
    case 6:
      return Deliver<DRIVER_INFO_6W>(*this, list.size(), buffer, size, needed, returned,
                                     [&](Packer& p, DRIVER_INFO_6W& r, size_t i) {
                                       FillDriverCommon(p, r, *list[i]);
                                       r.pHelpFile = p.String(list[i]->help_file);
                                       r.pszMfgName = p.Optional(list[i]->manufacturer);
                                       r.pszOEMUrl = p.Optional(list[i]->oem_url);
                                       r.pszProvider = p.Optional(list[i]->provider);
                                     });
    default:
      return Fail(ERROR_INVALID_LEVEL);
  }
}

BOOL SimWindows::GetPrinterDriverDirectoryW(LPWSTR, LPWSTR environment, DWORD level, LPBYTE buffer,
                                            DWORD size, LPDWORD needed) {
  if (auto error = Enter("GetPrinterDriverDirectoryW")) {
    return Fail(*error);
  }
  CheckCapacity("GetPrinterDriverDirectoryW", buffer, size);
  if (!SpoolerRunning()) {
    return Fail(RPC_S_SERVER_UNAVAILABLE);
  }
  if (level != 1) {
    return Fail(ERROR_INVALID_LEVEL);
  }
  std::wstring directory = spooler.DriverDirectory(EnvironmentOf(environment));
  if (directory.empty()) {
    return Fail(ERROR_INVALID_ENVIRONMENT);
  }
  DWORD bytes = static_cast<DWORD>((directory.size() + 1) * sizeof(wchar_t));
  if (needed != nullptr) {
    *needed = bytes;
  }
  if (buffer == nullptr || size < bytes) {
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(buffer, directory.c_str(), bytes);
  return TRUE;
}

BOOL SimWindows::AddPrinterDriverExW(LPWSTR, DWORD level, LPBYTE info, DWORD) {
  if (auto error = Enter("AddPrinterDriverExW")) {
    return Fail(*error);
  }
  if (!SpoolerRunning()) {
    return Fail(RPC_S_SERVER_UNAVAILABLE);
  }
  if (level != 2 && level != 3 && level != 6) {
    return Fail(ERROR_INVALID_LEVEL);
  }
  // Levels 2, 3 and 6 share their leading fields.
  const auto* record = reinterpret_cast<const DRIVER_INFO_3W*>(info);
  if (record == nullptr || record->pName == nullptr || record->pName[0] == 0 ||
      Text(record->pDriverPath).empty() || Text(record->pDataFile).empty() ||
      Text(record->pConfigFile).empty()) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  std::wstring environment = EnvironmentOf(record->pEnvironment);
  std::wstring directory = spooler.DriverDirectory(environment);
  if (directory.empty()) {
    return Fail(ERROR_INVALID_ENVIRONMENT);
  }
  std::wstring help = level >= 3 ? Text(record->pHelpFile) : std::wstring();
  std::vector<std::wstring> sources = {record->pDriverPath, record->pDataFile, record->pConfigFile};
  if (!help.empty()) {
    sources.push_back(help);
  }
  for (const auto& source : sources) {
    if (fs.Find(source) == nullptr) {
      return Fail(ERROR_FILE_NOT_FOUND);
    }
  }
  // The files are copied into the version folder of the driver directory.
  std::wstring version_directory = directory + L"\\3\\";
  auto install = [&](const std::wstring& source) {
    std::wstring target = version_directory + FileNameOf(source);
    File* existing = fs.Find(target);
    if (fs.Key(target) != fs.Key(source) &&
        (existing == nullptr || existing->image_locks.empty())) {
      File copy = *fs.Find(source);
      copy.image_locks.clear();
      fs.Put(target) = copy;
    }
    return target;
  };
  Driver driver;
  driver.name = record->pName;
  driver.environment = environment;
  driver.version = record->cVersion;
  driver.driver_path = install(record->pDriverPath);
  driver.data_file = install(record->pDataFile);
  driver.config_file = install(record->pConfigFile);
  driver.help_file = help.empty() ? std::wstring() : install(help);
  if (level == 6) {
    const auto* six = reinterpret_cast<const DRIVER_INFO_6W*>(info);
    driver.manufacturer = Text(six->pszMfgName);
    driver.oem_url = Text(six->pszOEMUrl);
    driver.provider = Text(six->pszProvider);
  }
  if (Driver* existing = spooler.FindDriver(driver.name, environment)) {
    *existing = driver;
  } else {
    spooler.drivers.push_back(driver);
  }
  return TRUE;
}

BOOL SimWindows::DeletePrinterDriverExW(LPWSTR, LPWSTR environment, LPWSTR name, DWORD delete_flags,
                                        DWORD version) {
  if (auto error = Enter("DeletePrinterDriverExW", name ? Narrow(name) : "")) {
    return Fail(*error);
  }
  if (!SpoolerRunning()) {
    return Fail(RPC_S_SERVER_UNAVAILABLE);
  }
  std::wstring wanted = EnvironmentOf(environment);
  if (!KnownEnvironment(wanted)) {
    return Fail(ERROR_INVALID_ENVIRONMENT);
  }
  Driver* driver = name != nullptr ? spooler.FindDriver(name, wanted) : nullptr;
  if (driver == nullptr ||
      ((delete_flags & DPD_DELETE_SPECIFIC_VERSION) != 0 && driver->version != version)) {
    return Fail(ERROR_UNKNOWN_PRINTER_DRIVER);
  }
  for (const Printer& printer : spooler.printers) {
    if (Fold(printer.driver) == Fold(driver->name)) {
      return Fail(ERROR_PRINTER_DRIVER_IN_USE);
    }
  }
  Driver gone = *driver;
  spooler.drivers.erase(spooler.drivers.begin() + (driver - spooler.drivers.data()));
  if ((delete_flags & (DPD_DELETE_ALL_FILES | DPD_DELETE_UNUSED_FILES)) != 0) {
    for (const auto& file : {gone.driver_path, gone.data_file, gone.config_file, gone.help_file}) {
      File* existing = file.empty() ? nullptr : fs.Find(file);
      if (existing != nullptr && existing->image_locks.empty()) {
        fs.Remove(file);
      }
    }
  }
  return TRUE;
}

// ---------------------------------------------------------------- printers

BOOL SimWindows::EnumPrintersW(DWORD flags, LPWSTR, DWORD level, LPBYTE buffer, DWORD size,
                               LPDWORD needed, LPDWORD returned) {
  if (auto error = Enter("EnumPrintersW")) {
    return Fail(*error);
  }
  CheckCapacity("EnumPrintersW", buffer, size);
  if (!SpoolerRunning()) {
    return Fail(RPC_S_SERVER_UNAVAILABLE);
  }
  if (level != 2) {
    return Fail(ERROR_INVALID_LEVEL);
  }
  size_t count =
      (flags & (PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS)) != 0 ? spooler.printers.size() : 0;
  return Deliver<PRINTER_INFO_2W>(
      *this, count, buffer, size, needed, returned,
      [&](Packer& p, PRINTER_INFO_2W& r, size_t i) { FillPrinter(p, r, spooler.printers[i]); });
}

namespace {
// The printer a handle refers to, or null (with the error the call reports).
Printer* PrinterOf(SimWindows& sim, HANDLE handle, DWORD* error, DWORD* access = nullptr) {
  HandleEntry* entry = sim.Lookup(handle, HandleEntry::kPrinter);
  if (entry == nullptr || entry->stale) {
    *error = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if (!sim.SpoolerRunning()) {
    *error = RPC_S_SERVER_UNAVAILABLE;
    return nullptr;
  }
  Printer* printer = sim.spooler.FindPrinter(entry->path);
  if (printer == nullptr) {
    *error = ERROR_INVALID_HANDLE;
  }
  if (access != nullptr) {
    *access = entry->access;
  }
  return printer;
}
}  // namespace

BOOL SimWindows::OpenPrinterW(LPWSTR name, LPHANDLE handle, LPPRINTER_DEFAULTSW defaults) {
  if (handle != nullptr) {
    *handle = nullptr;
  }
  if (auto error = Enter("OpenPrinterW", name ? Narrow(name) : "")) {
    return Fail(*error);
  }
  if (!SpoolerRunning()) {
    return Fail(RPC_S_SERVER_UNAVAILABLE);
  }
  Printer* printer = name != nullptr ? spooler.FindPrinter(name) : nullptr;
  if (printer == nullptr) {
    return Fail(ERROR_INVALID_PRINTER_NAME);
  }
  HandleEntry entry{HandleEntry::kPrinter};
  entry.path = printer->name;
  entry.access = defaults != nullptr && defaults->DesiredAccess != 0 ? defaults->DesiredAccess
                                                                     : PRINTER_ACCESS_USE;
  *handle = NewHandle(entry);
  return TRUE;
}

BOOL SimWindows::ClosePrinter(HANDLE handle) {
  Enter("ClosePrinter");
  return Close(handle, {HandleEntry::kPrinter}, "ClosePrinter") ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

BOOL SimWindows::GetPrinterW(HANDLE handle, DWORD level, LPBYTE buffer, DWORD size,
                             LPDWORD needed) {
  if (auto error = Enter("GetPrinterW")) {
    return Fail(*error);
  }
  CheckCapacity("GetPrinterW", buffer, size);
  DWORD error = 0;
  Printer* printer = PrinterOf(*this, handle, &error);
  if (printer == nullptr) {
    return Fail(error);
  }
  if (level != 2) {
    return Fail(ERROR_INVALID_LEVEL);
  }
  return Deliver<PRINTER_INFO_2W>(
      *this, 1, buffer, size, needed, nullptr,
      [&](Packer& p, PRINTER_INFO_2W& r, size_t) { FillPrinter(p, r, *printer); });
}

BOOL SimWindows::GetPrinterDriverW(HANDLE handle, LPWSTR environment, DWORD level, LPBYTE buffer,
                                   DWORD size, LPDWORD needed) {
  if (auto error = Enter("GetPrinterDriverW")) {
    return Fail(*error);
  }
  CheckCapacity("GetPrinterDriverW", buffer, size);
  DWORD error = 0;
  Printer* printer = PrinterOf(*this, handle, &error);
  if (printer == nullptr) {
    return Fail(error);
  }
  std::wstring wanted = EnvironmentOf(environment);
  if (!KnownEnvironment(wanted)) {
    return Fail(ERROR_INVALID_ENVIRONMENT);
  }
  const Driver* driver = spooler.FindDriver(printer->driver, wanted);
  if (driver == nullptr) {
    return Fail(ERROR_UNKNOWN_PRINTER_DRIVER);
  }
  if (level == 2) {
    return Deliver<DRIVER_INFO_2W>(
        *this, 1, buffer, size, needed, nullptr,
        [&](Packer& p, DRIVER_INFO_2W& r, size_t) { FillDriverCommon(p, r, *driver); });
  }
  return Fail(ERROR_INVALID_LEVEL);
}

HANDLE SimWindows::AddPrinterW(LPWSTR, DWORD level, LPBYTE info) {
  if (auto error = Enter("AddPrinterW")) {
    Fail(*error);
    return nullptr;
  }
  if (!SpoolerRunning()) {
    Fail(RPC_S_SERVER_UNAVAILABLE);
    return nullptr;
  }
  if (level != 2) {
    Fail(ERROR_INVALID_LEVEL);
    return nullptr;
  }
  const auto* record = reinterpret_cast<const PRINTER_INFO_2W*>(info);
  if (record == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (DWORD refusal = CheckPrinterRecord(spooler, *record)) {
    Fail(refusal);
    return nullptr;
  }
  if (spooler.FindPrinter(record->pPrinterName) != nullptr) {
    Fail(ERROR_PRINTER_ALREADY_EXISTS);
    return nullptr;
  }
  Printer printer;
  StoreRecord(printer, *record);
  spooler.printers.push_back(printer);
  // The first printer on a machine without a default becomes the default.
  if (spooler.default_printer.empty()) {
    spooler.default_printer = printer.name;
  }
  HandleEntry entry{HandleEntry::kPrinter};
  entry.path = printer.name;
  entry.access = PRINTER_ALL_ACCESS;
  return NewHandle(entry);
}

BOOL SimWindows::DeletePrinter(HANDLE handle) {
  if (auto error = Enter("DeletePrinter")) {
    return Fail(*error);
  }
  DWORD error = 0, access = 0;
  Printer* printer = PrinterOf(*this, handle, &error, &access);
  if (printer == nullptr) {
    return Fail(error);
  }
  if ((access & DELETE) == 0) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  if (Fold(spooler.default_printer) == Fold(printer->name)) {
    spooler.default_printer.clear();
  }
  spooler.printers.erase(spooler.printers.begin() + (printer - spooler.printers.data()));
  return TRUE;
}

BOOL SimWindows::SetPrinterW(HANDLE handle, DWORD level, LPBYTE info, DWORD command) {
  if (auto error = Enter("SetPrinterW", std::to_string(level) + "," + std::to_string(command))) {
    return Fail(*error);
  }
  DWORD error = 0, access = 0;
  Printer* printer = PrinterOf(*this, handle, &error, &access);
  if (printer == nullptr) {
    return Fail(error);
  }
  if ((access & PRINTER_ACCESS_ADMINISTER) == 0) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  if (level == 0) {
    if (info != nullptr || command < PRINTER_CONTROL_PAUSE || command > PRINTER_CONTROL_PURGE) {
      return Fail(ERROR_INVALID_PARAMETER);
    }
    if (command == PRINTER_CONTROL_PURGE) {
      printer->jobs = 0;
    }
    return TRUE;
  }
  if (level != 2) {
    return Fail(ERROR_INVALID_LEVEL);
  }
  const auto* record = reinterpret_cast<const PRINTER_INFO_2W*>(info);
  if (record == nullptr || command != 0) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (DWORD refusal = CheckPrinterRecord(spooler, *record)) {
    return Fail(refusal);
  }
  Printer* other = spooler.FindPrinter(record->pPrinterName);
  if (other != nullptr && other != printer) {
    return Fail(ERROR_PRINTER_ALREADY_EXISTS);
  }
  std::wstring old_name = printer->name;
  StoreRecord(*printer, *record);
  for (auto& [value, entry] : handles_) {
    if (entry.kind == HandleEntry::kPrinter && Fold(entry.path) == Fold(old_name)) {
      entry.path = printer->name;
    }
  }
  return TRUE;
}

// ---------------------------------------------------------------- printer data

namespace {

bool StringType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// The narrow form of stored data, as the "A" calls hand it out.
std::string NarrowData(const RegValue& value) {
  if (!StringType(value.type)) {
    return value.data;
  }
  std::wstring wide(value.data.size() / sizeof(wchar_t), L'\0');
  std::memcpy(wide.data(), value.data.data(), wide.size() * sizeof(wchar_t));
  return Narrow(wide);
}

DWORD ReadData(const RegValue* value, LPDWORD type, LPBYTE data, DWORD size, LPDWORD needed) {
  if (value == nullptr) {
    return ERROR_FILE_NOT_FOUND;
  }
  std::string bytes = NarrowData(*value);
  if (type != nullptr) {
    *type = value->type;
  }
  if (needed != nullptr) {
    *needed = static_cast<DWORD>(bytes.size());
  }
  if (size < bytes.size()) {
    return ERROR_MORE_DATA;
  }
  if (data != nullptr) {
    std::memcpy(data, bytes.data(), bytes.size());
  }
  return ERROR_SUCCESS;
}

RegValue WideData(DWORD type, LPBYTE data, DWORD size) {
  std::string raw(reinterpret_cast<const char*>(data), data != nullptr ? size : 0);
  if (!StringType(type)) {
    return RegValue{type, raw};
  }
  std::wstring wide = Widen(raw);
  return RegValue{
      type, std::string(reinterpret_cast<const char*>(wide.data()), wide.size() * sizeof(wchar_t))};
}

const wchar_t kDriverDataKey[] = L"PrinterDriverData";

}  // namespace

DWORD SimWindows::GetPrinterDataA(HANDLE handle, LPSTR value, LPDWORD type, LPBYTE data, DWORD size,
                                  LPDWORD needed) {
  if (auto error = Enter("GetPrinterDataA", value ? value : "")) {
    return *error;
  }
  CheckCapacity("GetPrinterDataA", data, size);
  DWORD error = 0;
  Printer* printer = PrinterOf(*this, handle, &error);
  if (printer == nullptr) {
    return error;
  }
  return ReadData(printer->Data(kDriverDataKey, Widen(value ? value : "")), type, data, size,
                  needed);
}

DWORD SimWindows::GetPrinterDataExA(HANDLE handle, LPCSTR key, LPCSTR value, LPDWORD type,
                                    LPBYTE data, DWORD size, LPDWORD needed) {
  if (auto error =
          Enter("GetPrinterDataExA", std::string(key ? key : "") + "," + (value ? value : ""))) {
    return *error;
  }
  CheckCapacity("GetPrinterDataExA", data, size);
  DWORD error = 0;
  Printer* printer = PrinterOf(*this, handle, &error);
  if (printer == nullptr) {
    return error;
  }
  return ReadData(printer->Data(Widen(key ? key : ""), Widen(value ? value : "")), type, data, size,
                  needed);
}

DWORD SimWindows::SetPrinterDataA(HANDLE handle, LPSTR value, DWORD type, LPBYTE data, DWORD size) {
  if (auto error = Enter("SetPrinterDataA", value ? value : "")) {
    return *error;
  }
  CheckCapacity("SetPrinterDataA", data, size);
  DWORD error = 0, access = 0;
  Printer* printer = PrinterOf(*this, handle, &error, &access);
  if (printer == nullptr) {
    return error;
  }
  if ((access & PRINTER_ACCESS_ADMINISTER) == 0) {
    return ERROR_ACCESS_DENIED;
  }
  printer->SetData(kDriverDataKey, Widen(value ? value : ""), WideData(type, data, size));
  return ERROR_SUCCESS;
}

DWORD SimWindows::SetPrinterDataExA(HANDLE handle, LPCSTR key, LPCSTR value, DWORD type,
                                    LPBYTE data, DWORD size) {
  if (auto error =
          Enter("SetPrinterDataExA", std::string(key ? key : "") + "," + (value ? value : ""))) {
    return *error;
  }
  CheckCapacity("SetPrinterDataExA", data, size);
  DWORD error = 0, access = 0;
  Printer* printer = PrinterOf(*this, handle, &error, &access);
  if (printer == nullptr) {
    return error;
  }
  if ((access & PRINTER_ACCESS_ADMINISTER) == 0) {
    return ERROR_ACCESS_DENIED;
  }
  if (key == nullptr || key[0] == 0) {
    return ERROR_INVALID_PARAMETER;
  }
  printer->SetData(Widen(key), Widen(value ? value : ""), WideData(type, data, size));
  return ERROR_SUCCESS;
}

// ---------------------------------------------------------------- default printer

BOOL SimWindows::GetDefaultPrinterW(LPWSTR buffer, LPDWORD chars) {
  if (auto error = Enter("GetDefaultPrinterW")) {
    return Fail(*error);
  }
  if (chars == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  CheckCapacity("GetDefaultPrinterW", buffer, *chars * sizeof(wchar_t));
  if (spooler.default_printer.empty()) {
    return Fail(ERROR_FILE_NOT_FOUND);
  }
  DWORD wanted = static_cast<DWORD>(spooler.default_printer.size() + 1);
  if (buffer == nullptr || *chars < wanted) {
    *chars = wanted;
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(buffer, spooler.default_printer.c_str(), wanted * sizeof(wchar_t));
  *chars = wanted;
  return TRUE;
}

BOOL SimWindows::SetDefaultPrinterW(LPCWSTR name) {
  if (auto error = Enter("SetDefaultPrinterW", name ? Narrow(name) : "")) {
    return Fail(*error);
  }
  if (name == nullptr || name[0] == 0) {
    if (spooler.default_printer.empty() && !spooler.printers.empty()) {
      spooler.default_printer = spooler.printers.front().name;
    }
    return TRUE;
  }
  Printer* printer = spooler.FindPrinter(name);
  if (printer == nullptr) {
    return Fail(ERROR_INVALID_PRINTER_NAME);
  }
  spooler.default_printer = printer->name;
  return TRUE;
}

}  // namespace sim
