// The simulated print spooler: monitors, drivers, printers and their data,
// the default printer, and the two-call size protocol of its queries. It
// refuses what the spooler refuses, with the same error codes.
#include <algorithm>
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

std::wstring Env(LPCWSTR env) {
  return env != nullptr ? Fold(env) : L"WINDOWS X64";
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
void FillDriver(Packer& put, Record& record, const Object& driver) {
  record.cVersion = 3;
  record.pName = put(driver.name);
  record.pEnvironment = put(driver[L"env"]);
  record.pDriverPath = put(driver[L"driver"]);
  record.pDataFile = put(driver[L"data"]);
  record.pConfigFile = put(driver[L"config"]);
}

void FillDriver6(Packer& put, DRIVER_INFO_6W& record, const Object& driver) {
  FillDriver(put, record, driver);
  record.pHelpFile = put(driver[L"help"]);
  record.pszMfgName = put(driver[L"maker"]);
  record.pszOEMUrl = put(driver[L"url"]);
  record.pszProvider = put(driver[L"provider"]);
}

void FillMonitor(Packer& put, MONITOR_INFO_2W& record, const Object& monitor) {
  record.pName = put(monitor.name);
  record.pEnvironment = put(L"Windows x64");
  record.pDLLName = put(monitor[L"dll"]);
}

void FillPrinter(Packer& put, PRINTER_INFO_2W& record, const Object& printer) {
  record.pPrinterName = put(printer.name);
  record.pPortName = put(printer[L"port"]);
  record.pDriverName = put(printer[L"driver"]);
  record.pComment = put(printer[L"comment"]);
  record.pLocation = put(printer[L"location"]);
  record.pPrintProcessor = put(L"WinPrint");
  record.pDatatype = put(L"RAW");
  record.Attributes = static_cast<DWORD>(printer.Number(L"attributes", PRINTER_ATTRIBUTE_LOCAL));
  record.cJobs = static_cast<DWORD>(printer.Number(L"jobs"));
}

}  // namespace

template <typename Record, typename Fill>
BOOL Sim::Deliver(const char* call, const std::vector<Object*>& items, LPBYTE buffer, DWORD size,
                  LPDWORD needed, LPDWORD returned, Fill fill) {
  Packer count{nullptr, 0, items.size() * sizeof(Record)};
  for (const Object* item : items) {
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

// Whether every port of a comma-separated list is a port of some monitor.
static bool PortsExist(Sim& sim, const std::wstring& list) {
  std::wstring known = L",";
  for (Object* monitor : sim.Each(L"monitor")) {
    known += Fold((*monitor)[L"ports"].empty() ? monitor->name : (*monitor)[L"ports"]) + L",";
  }
  for (size_t start = 0, end = 0; start <= list.size(); start = end + 1) {
    end = std::min(list.find(L',', start), list.size());
    if (known.find(L"," + Fold(list.substr(start, end - start)) + L",") == std::wstring::npos) {
      return false;
    }
  }
  return true;
}

#define SPOOLER_RUNS(failure)                                                                  \
  REFUSE_IF((*Find(L"service", L"spooler"))[L"state"] != L"running", RPC_S_SERVER_UNAVAILABLE, \
            failure)

Object* Sim::PrinterOf(const char* call, HANDLE handle) {
  Handle* open = Find(handle, 'p');
  if (Failing(call)) {
    return nullptr;
  }
  SPOOLER_RUNS(nullptr);
  Object* printer = open != nullptr ? Find(L"printer", open->name) : nullptr;
  REFUSE_IF(printer == nullptr, ERROR_INVALID_HANDLE, nullptr);
  return printer;
}

BOOL Sim::EnumMonitorsW(LPWSTR, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                        LPDWORD returned) {
  FAULT(FALSE);
  SPOOLER_RUNS(FALSE);
  REFUSE_IF(level != 2, ERROR_INVALID_LEVEL, FALSE);
  return Deliver<MONITOR_INFO_2W>(__func__, Each(L"monitor"), buffer, size, needed, returned,
                                  FillMonitor);
}

BOOL Sim::EnumPrinterDriversW(LPWSTR, LPWSTR env, DWORD level, LPBYTE buffer, DWORD size,
                              LPDWORD needed, LPDWORD returned) {
  FAULT(FALSE);
  SPOOLER_RUNS(FALSE);
  REFUSE_IF(level != 6, ERROR_INVALID_LEVEL, FALSE);
  REFUSE_IF(!KnownEnvironment(env), ERROR_INVALID_ENVIRONMENT, FALSE);
  std::vector<Object*> items = Each(L"driver");
  std::erase_if(items, [&](Object* driver) { return Fold((*driver)[L"env"]) != Env(env); });
  return Deliver<DRIVER_INFO_6W>(__func__, items, buffer, size, needed, returned, FillDriver6);
}

BOOL Sim::EnumPrintersW(DWORD flags, LPWSTR, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                        LPDWORD returned) {
  FAULT(FALSE);
  SPOOLER_RUNS(FALSE);
  REFUSE_IF(level != 2, ERROR_INVALID_LEVEL, FALSE);
  std::vector<Object*> items =
      (flags & PRINTER_ENUM_LOCAL) != 0 ? Each(L"printer") : std::vector<Object*>{};
  return Deliver<PRINTER_INFO_2W>(__func__, items, buffer, size, needed, returned, FillPrinter);
}

BOOL Sim::GetPrinterW(HANDLE handle, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed) {
  Object* printer = PrinterOf(__func__, handle);
  REFUSE_IF(printer == nullptr, GetLastError(), FALSE);
  REFUSE_IF(level != 2, ERROR_INVALID_LEVEL, FALSE);
  return Deliver<PRINTER_INFO_2W>(__func__, {printer}, buffer, size, needed, nullptr, FillPrinter);
}

BOOL Sim::GetPrinterDriverW(HANDLE handle, LPWSTR env, DWORD level, LPBYTE buffer, DWORD size,
                            LPDWORD needed) {
  Object* printer = PrinterOf(__func__, handle);
  REFUSE_IF(printer == nullptr, GetLastError(), FALSE);
  REFUSE_IF(level != 2 || !KnownEnvironment(env), ERROR_INVALID_LEVEL, FALSE);
  Object* driver = Find(L"driver", (*printer)[L"driver"]);
  REFUSE_IF(driver == nullptr || Fold((*driver)[L"env"]) != Env(env), ERROR_UNKNOWN_PRINTER_DRIVER,
            FALSE);
  return Deliver<DRIVER_INFO_2W>(__func__, {driver}, buffer, size, needed, nullptr,
                                 FillDriver<DRIVER_INFO_2W>);
}

BOOL Sim::GetPrinterDriverDirectoryW(LPWSTR, LPWSTR env, DWORD level, LPBYTE buffer, DWORD size,
                                     LPDWORD needed) {
  FAULT(FALSE);
  SPOOLER_RUNS(FALSE);
  REFUSE_IF(level != 1 || !KnownEnvironment(env), ERROR_INVALID_LEVEL, FALSE);
  std::wstring path = kDrivers + std::wstring(Env(env) == L"WINDOWS X64" ? L"x64" : L"W32X86");
  *needed = static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t));
  CheckRoom(__func__, buffer, size);
  REFUSE_IF(buffer == nullptr || size < *needed, ERROR_INSUFFICIENT_BUFFER, FALSE);
  std::memcpy(buffer, path.c_str(), *needed);
  return TRUE;
}

// The spooler loads the monitor's DLL from the system directory and keeps it.
BOOL Sim::AddMonitorW(LPWSTR, DWORD level, LPBYTE info) {
  FAULT(FALSE);
  SPOOLER_RUNS(FALSE);
  const auto* added = reinterpret_cast<const MONITOR_INFO_2W*>(info);
  REFUSE_IF(level != 2 || !KnownEnvironment(added->pEnvironment), ERROR_INVALID_LEVEL, FALSE);
  REFUSE_IF(Find(L"monitor", Text(added->pName)) != nullptr, ERROR_PRINT_MONITOR_ALREADY_INSTALLED,
            FALSE);
  Object* dll = FileAt(Machine()[L"system"] + L"\\" + Text(added->pDLLName));
  REFUSE_IF(dll == nullptr, ERROR_MOD_NOT_FOUND, FALSE);
  Make(L"monitor", added->pName)[L"dll"] = added->pDLLName;
  (*dll)[L"lock"] = (*dll)[L"lock"].empty() ? L"spooler" : (*dll)[L"lock"];
  return TRUE;
}

// A monitor whose port a printer uses cannot go; a deleted one's DLL is let
// go, unless the spooler keeps it loaded.
BOOL Sim::DeleteMonitorW(LPWSTR, LPWSTR env, LPWSTR name) {
  FAULT(FALSE);
  SPOOLER_RUNS(FALSE);
  Object* monitor = Find(L"monitor", Text(name));
  REFUSE_IF(monitor == nullptr || !KnownEnvironment(env), ERROR_UNKNOWN_PRINT_MONITOR, FALSE);
  for (Object* printer : Each(L"printer")) {
    REFUSE_IF((L"," + Fold((*printer)[L"port"]) + L",").find(L"," + Fold(monitor->name) + L",") !=
                  std::wstring::npos,
              ERROR_PRINT_MONITOR_IN_USE, FALSE);
  }
  Object* dll = FileAt(Machine()[L"system"] + L"\\" + (*monitor)[L"dll"]);
  if (dll != nullptr && (*dll)[L"lock"] == L"spooler" && Machine()[L"stays-loaded"].empty()) {
    (*dll)[L"lock"] = L"";
  }
  Erase(L"monitor", monitor->name);
  return TRUE;
}

// The driver's files are copied into the spooler's folder for its version.
BOOL Sim::AddPrinterDriverExW(LPWSTR, DWORD level, LPBYTE info, DWORD flags) {
  FAULT(FALSE);
  SPOOLER_RUNS(FALSE);
  const auto* added = reinterpret_cast<const DRIVER_INFO_6W*>(info);
  REFUSE_IF(
      level != 6 || !KnownEnvironment(added->pEnvironment) || (flags & APD_COPY_ALL_FILES) == 0,
      ERROR_INVALID_PARAMETER, FALSE);
  Object driver{L"driver", Text(added->pName)};
  const wchar_t* keys[] = {L"driver", L"data", L"config", L"help"};
  LPWSTR sources[] = {added->pDriverPath, added->pDataFile, added->pConfigFile, added->pHelpFile};
  for (int i = 0; i < 4; ++i) {
    std::wstring source = Text(sources[i]);
    Object* file = source.empty() ? nullptr : FileAt(source);
    REFUSE_IF(file == nullptr && (i < 3 || !source.empty()), ERROR_FILE_NOT_FOUND, FALSE);
    if (file != nullptr) {
      driver[keys[i]] = kDrivers + std::wstring(L"x64\\3") + source.substr(source.rfind(L'\\'));
      std::wstring bytes = (*file)[L"bytes"];
      Put(driver[keys[i]], bytes);
    }
  }
  driver[L"env"] = Text(added->pEnvironment);
  driver[L"maker"] = Text(added->pszMfgName);
  driver[L"url"] = Text(added->pszOEMUrl);
  driver[L"provider"] = Text(added->pszProvider);
  Erase(L"driver", driver.name);
  objects.push_back(driver);
  return TRUE;
}

BOOL Sim::DeletePrinterDriverExW(LPWSTR, LPWSTR env, LPWSTR name, DWORD flags, DWORD) {
  FAULT(FALSE);
  SPOOLER_RUNS(FALSE);
  Object* driver = Find(L"driver", Text(name));
  REFUSE_IF(driver == nullptr || Fold((*driver)[L"env"]) != Env(env), ERROR_UNKNOWN_PRINTER_DRIVER,
            FALSE);
  for (Object* printer : Each(L"printer")) {
    REFUSE_IF(Fold((*printer)[L"driver"]) == Fold(driver->name), ERROR_PRINTER_DRIVER_IN_USE,
              FALSE);
  }
  for (const wchar_t* key : {L"driver", L"config", L"help"}) {
    if ((flags & DPD_DELETE_ALL_FILES) != 0) {
      Erase(L"file", (*driver)[key]);  // the spooler's own paths: already whole
    }
  }
  Erase(L"driver", driver->name);
  return TRUE;
}

HANDLE Sim::AddPrinterW(LPWSTR, DWORD level, LPBYTE info) {
  FAULT(nullptr);
  SPOOLER_RUNS(nullptr);
  const auto* added = reinterpret_cast<const PRINTER_INFO_2W*>(info);
  REFUSE_IF(level != 2, ERROR_INVALID_LEVEL, nullptr);
  std::wstring name = Text(added->pPrinterName);
  REFUSE_IF(name.empty(), ERROR_INVALID_PRINTER_NAME, nullptr);
  REFUSE_IF(Find(L"driver", Text(added->pDriverName)) == nullptr, ERROR_UNKNOWN_PRINTER_DRIVER,
            nullptr);
  REFUSE_IF(!PortsExist(*this, Text(added->pPortName)), ERROR_UNKNOWN_PORT, nullptr);
  REFUSE_IF(Fold(Text(added->pPrintProcessor)) != L"WINPRINT", ERROR_UNKNOWN_PRINTPROCESSOR,
            nullptr);
  REFUSE_IF(Find(L"printer", name) != nullptr, ERROR_PRINTER_ALREADY_EXISTS, nullptr);
  Object& printer = Make(L"printer", name);
  printer.values = {{L"port", Text(added->pPortName)},
                    {L"driver", Text(added->pDriverName)},
                    {L"comment", Text(added->pComment)},
                    {L"location", Text(added->pLocation)}};
  return NewHandle({'p', name, PRINTER_ALL_ACCESS});
}

// A printer with jobs goes when they are done: it is only marked.
BOOL Sim::DeletePrinter(HANDLE handle) {
  Object* printer = PrinterOf(__func__, handle);
  REFUSE_IF(printer == nullptr, GetLastError(), FALSE);
  REFUSE_IF((Find(handle, 'p')->access & DELETE) == 0, ERROR_ACCESS_DENIED, FALSE);
  if (printer->Number(L"jobs") > 0) {
    (*printer)[L"attributes"] = L"0x20040";
    return TRUE;
  }
  Erase(L"default", printer->name);
  objects.remove_if([&](const Object& o) {
    return o.kind == L"data" && Fold(o.name).rfind(Fold(printer->name) + L"|", 0) == 0;
  });
  Erase(L"printer", printer->name);
  return TRUE;
}

BOOL Sim::OpenPrinterW(LPWSTR name, LPHANDLE result, LPPRINTER_DEFAULTSW defaults) {
  *result = nullptr;
  FAULT(FALSE);
  SPOOLER_RUNS(FALSE);
  REFUSE_IF(name == nullptr || Find(L"printer", name) == nullptr, ERROR_INVALID_PRINTER_NAME,
            FALSE);
  *result =
      NewHandle({'p', name, defaults != nullptr ? defaults->DesiredAccess : PRINTER_ACCESS_USE});
  return TRUE;
}

BOOL Sim::SetPrinterW(HANDLE handle, DWORD level, LPBYTE info, DWORD command) {
  Object* printer = PrinterOf(__func__, handle);
  REFUSE_IF(printer == nullptr, GetLastError(), FALSE);
  REFUSE_IF((Find(handle, 'p')->access & PRINTER_ACCESS_ADMINISTER) == 0, ERROR_ACCESS_DENIED,
            FALSE);
  if (level == 0 && command == PRINTER_CONTROL_PURGE) {
    printer->values.erase(L"jobs");
    return TRUE;
  }
  const auto* record = reinterpret_cast<const PRINTER_INFO_2W*>(info);
  REFUSE_IF(level != 2 || record == nullptr || command != 0, ERROR_INVALID_LEVEL, FALSE);
  REFUSE_IF(!PortsExist(*this, Text(record->pPortName)), ERROR_UNKNOWN_PORT, FALSE);
  (*printer)[L"port"] = Text(record->pPortName);
  (*printer)[L"comment"] = Text(record->pComment);
  (*printer)[L"location"] = Text(record->pLocation);
  return TRUE;
}

DWORD Sim::ReadData(const char* call, HANDLE handle, LPCSTR key, LPCSTR value, LPDWORD type,
                    LPBYTE data, DWORD size, LPDWORD needed) {
  Object* printer = PrinterOf(call, handle);
  Object* found = printer != nullptr
                      ? Find(L"data", printer->name + L"|" + Widen(key) + L"\\" + Widen(value))
                      : nullptr;
  if (found == nullptr) {
    return printer == nullptr ? GetLastError() : ERROR_FILE_NOT_FOUND;
  }
  const std::wstring& bytes = (*found)[L"bytes"];
  CheckRoom(call, data, size);
  *needed = static_cast<DWORD>(bytes.size());
  *type = static_cast<DWORD>(found->Number(L"type"));
  if (size < *needed) {
    return ERROR_MORE_DATA;
  }
  std::transform(bytes.begin(), bytes.end(), data, [](wchar_t c) { return static_cast<BYTE>(c); });
  return ERROR_SUCCESS;
}

DWORD Sim::WriteData(const char* call, HANDLE handle, LPCSTR key, LPCSTR value, DWORD type,
                     LPBYTE data, DWORD size) {
  Object* printer = PrinterOf(call, handle);
  if (printer == nullptr) {
    return GetLastError();
  }
  Object& stored = Make(L"data", printer->name + L"|" + Widen(key) + L"\\" + Widen(value));
  stored[L"type"] = std::to_wstring(type);
  stored[L"bytes"] = std::wstring(data, data + size);
  return ERROR_SUCCESS;
}

BOOL Sim::GetDefaultPrinterW(LPWSTR buffer, LPDWORD chars) {
  FAULT(FALSE);
  std::vector<Object*> chosen = Each(L"default");
  REFUSE_IF(chosen.empty(), ERROR_FILE_NOT_FOUND, FALSE);
  const std::wstring& name = chosen[0]->name;
  DWORD size = static_cast<DWORD>(name.size() + 1);
  bool fits = buffer != nullptr && *chars >= size;
  *chars = size;
  REFUSE_IF(!fits, ERROR_INSUFFICIENT_BUFFER, FALSE);
  std::wmemcpy(buffer, name.c_str(), size);
  return TRUE;
}

BOOL Sim::SetDefaultPrinterW(LPCWSTR name) {
  FAULT(FALSE);
  SPOOLER_RUNS(FALSE);
  Object* printer = name != nullptr ? Find(L"printer", name) : nullptr;
  REFUSE_IF(printer == nullptr, ERROR_INVALID_PRINTER_NAME, FALSE);
  objects.remove_if([](const Object& o) { return o.kind == L"default"; });
  Make(L"default", printer->name);
  return TRUE;
}

}  // namespace sim
