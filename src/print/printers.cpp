#include "print/printers.h"

#include <cstring>

#include "base/memory.h"
#include "platform/owned_handles.h"
#include "platform/system_api.h"
#include "print/spooler_queries.h"
#include "product.h"
#include "session/install_session.h"
#include "session/session_log.h"

namespace print {
namespace {

using platform::Sys;
using session::ErrorNumber;
using session::LogLine;
using session::ReportError;

constexpr char kSubKeyValue[] = "SubKey";
constexpr char kUserKey[] = "DsUser";
constexpr char kSettingsBase[] = "Software\\Korvane Software KFT\\Lumenquill";
constexpr char kSettingsPrefix[] = "Lumenquills\\";
constexpr DWORD kDeleteAccess = DELETE | PRINTER_ACCESS_ADMINISTER;
constexpr size_t kNameBuffer = 260;

const wchar_t* NameOrStar(const wchar_t* name) {
  return name != nullptr ? name : L"*";
}

// How a read of the settings binding answered.
enum class SubKeyRead { kFound, kAbsent, kFailed };

// A read that fills at most kSubKeyCapacity bytes of a zero-filled buffer,
// so that the text ends there even without a terminator of its own, and
// finds the binding only in a REG_SZ value; anything else leaves the buffer
// empty.
template <typename Read>
SubKeyRead ReadSubKey(Read read, char* buffer) {
  std::memset(buffer, 0, kSubKeyCapacity + 1);
  DWORD type = 0, needed = 0;
  LSTATUS status = static_cast<LSTATUS>(read(&type, reinterpret_cast<LPBYTE>(buffer), &needed));
  if (status == ERROR_SUCCESS && type == REG_SZ && needed <= kSubKeyCapacity) {
    return SubKeyRead::kFound;
  }
  buffer[0] = 0;
  // No value, one too long, or one that is not a text: the printer has no
  // binding to carry over. Any other failure says nothing about the value.
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND || status == ERROR_MORE_DATA
             ? SubKeyRead::kAbsent
             : SubKeyRead::kFailed;
}

}  // namespace

bool GetPrinterSubKey(HANDLE printer, char* buffer) {
  buffer[0] = 0;
  SubKeyRead plain = ReadSubKey(
      [&](DWORD* type, LPBYTE data, DWORD* needed) {
        return Sys().GetPrinterDataA(printer, const_cast<LPSTR>(kSubKeyValue), type, data,
                                     kSubKeyCapacity, needed);
      },
      buffer);
  if (plain == SubKeyRead::kFound) {
    return true;
  }
  SubKeyRead user = ReadSubKey(
      [&](DWORD* type, LPBYTE data, DWORD* needed) {
        return Sys().GetPrinterDataExA(printer, kUserKey, kSubKeyValue, type, data, kSubKeyCapacity,
                                       needed);
      },
      buffer);
  return user == SubKeyRead::kFound ||
         (plain == SubKeyRead::kAbsent && user == SubKeyRead::kAbsent);
}

bool SetPrinterSubKey(HANDLE printer, const char* subkey) {
  auto bytes = static_cast<DWORD>(std::strlen(subkey) + 1);
  auto* data = reinterpret_cast<LPBYTE>(const_cast<char*>(subkey));
  Sys().SetPrinterDataA(printer, const_cast<LPSTR>(kSubKeyValue), REG_SZ, data, bytes);
  return Sys().SetPrinterDataExA(printer, kUserKey, kSubKeyValue, REG_SZ, data, bytes) ==
         ERROR_SUCCESS;
}

bool ClearDeletedMark(const char* relative_key) {
  // The base key, a backslash and the relative key.
  char path[512];
  size_t base = sizeof(kSettingsBase) - 1;
  size_t relative = std::strlen(relative_key);
  if (base + 1 + relative >= sizeof(path)) {
    return false;  // a cut path would name another key
  }
  std::memcpy(path, kSettingsBase, base);
  path[base] = '\\';
  std::memcpy(path + base + 1, relative_key, relative + 1);
  platform::OwnedKey key = platform::OpenKey(HKEY_CURRENT_USER, path, KEY_ALL_ACCESS);
  return key.Held() && Sys().RegDeleteValueA(key.get(), "deleted") == ERROR_SUCCESS;
}

Remembered RememberPrinter(session::InstallSession& session, PRINTER_INFO_2W& record) {
  platform::OwnedPrinter printer = platform::OpenPrinter(record.pPrinterName);
  if (!printer.Held()) {
    return Remembered::kCannotOpen;
  }
  char subkey[kNameBuffer] = {};
  Remembered result =
      GetPrinterSubKey(printer.get(), subkey) ? Remembered::kKnown : Remembered::kUnknown;
  if (subkey[0] != 0) {
    auto* node = static_cast<PrinterRestoreNode*>(base::AllocateBlock(sizeof(PrinterRestoreNode)));
    char* copy = node != nullptr ? base::CopyText(subkey) : nullptr;
    if (copy != nullptr) {
      *node = PrinterRestoreNode{copy, &record, session.RestoreList};
      session.RestoreList = node;
    } else {
      base::FreeBlock(node);
      result = Remembered::kUnknown;
    }
  }
  return result;
}

void DeletePrinter(session::InstallSession& session, const wchar_t* name) {
  LogLine(session, L">DeletePrinter(%s)", NameOrStar(name));
  session::LogStep step(session);
  PRINTER_DEFAULTSW defaults{nullptr, nullptr, kDeleteAccess};
  platform::OwnedPrinter printer = platform::OpenPrinter(name, &defaults);
  if (!printer.Held()) {
    ReportError(session, ErrorNumber::kOpenPrinter, NameOrStar(name));
  } else if (SpoolDeletePrinter(printer.get())) {
    LogLine(session, L"OK");
  } else {
    ReportError(session, ErrorNumber::kDeletePrinter, NameOrStar(name));
  }
}

void DeleteAllPrinters(session::InstallSession& session) {
  LogLine(session, L">DeleteAllPrinters");
  session::LogStep step(session);
  PRINTER_INFO_2W* records = session.Printers.records;
  for (uint32_t i = 0; i < session.Printers.count; ++i) {
    if (!IsProductDriver(records[i].pDriverName)) {
      continue;
    }
    // A reinstall (the one removal that checks the monitor's version) that
    // cannot tell how to re-create a printer keeps it: deleted, it would be
    // gone for good.
    Remembered remembered = RememberPrinter(session, records[i]);
    if (remembered != Remembered::kKnown && session.CheckMonitorVersion != 0) {
      ++session.KeptPrinters;  // it counts as a printer that came back
      if (remembered == Remembered::kCannotOpen) {
        ReportError(session, ErrorNumber::kOpenPrinter, NameOrStar(records[i].pPrinterName));
      } else {
        LogLine(session, L"Can't read the settings of printer %s, it is kept",
                NameOrStar(records[i].pPrinterName));
      }
      continue;
    }
    DeletePrinter(session, records[i].pPrinterName);
  }
}

platform::OwnedPrinter AddPrinter(session::InstallSession& session, const wchar_t* name) {
  LogLine(session, L">AddPrinter(%s)", NameOrStar(name));
  session::LogStep step(session);
  LogLine(session, L"Let's check our port monitors");
  // Only logged: the printer is added whatever the check finds.
  MonitorList monitors;
  EnumerateMonitors(monitors, session);
  if (FindProductMonitor(monitors) >= 0) {
    LogLine(session, L"Port monitor is found");
  } else {
    LogLine(session, L"No Lumenquill port monitor was found.");
    if (monitors.count != 0) {
      LogMonitorList(session, monitors);
    } else {
      LogLine(session, L"BTW, there is no port monitors on this system.");
    }
  }

  PRINTER_INFO_2W info{};
  info.pPrinterName = const_cast<LPWSTR>(name);
  info.pPortName = const_cast<LPWSTR>(product::kMonitorName);
  info.pDriverName = const_cast<LPWSTR>(product::kDriverName);
  info.pComment = const_cast<LPWSTR>(L"");
  info.pPrintProcessor = const_cast<LPWSTR>(product::kPrintProcessor);
  platform::OwnedPrinter printer(SpoolAddPrinter(info));
  if (printer.Held()) {
    LogLine(session, L"OK :)");
  } else {
    ReportError(session, ErrorNumber::kAddPrinter, NameOrStar(name));
  }
  return printer;
}

void RestorePrinters(session::InstallSession& session) {
  int restored = 0;
  for (PrinterRestoreNode* node = session.RestoreList; node != nullptr; node = node->next) {
    const PRINTER_INFO_2W& old = *node->printer;
    platform::OwnedPrinter printer = AddPrinter(session, old.pPrinterName);
    if (!printer.Held()) {
      continue;
    }
    if (SetPrinterSubKey(printer.get(), node->subkey)) {
      // The key named by the value read back from the new printer.
      char key[kNameBuffer] = {};
      std::memcpy(key, kSettingsPrefix, sizeof(kSettingsPrefix) - 1);
      GetPrinterSubKey(printer.get(), key + sizeof(kSettingsPrefix) - 1);
      if (key[sizeof(kSettingsPrefix) - 1] != 0) {
        ClearDeletedMark(key);
      }
    }
    PrinterSnapshot info;
    QueryPrinterInfo(info, printer.get());
    if (info.count != 0) {
      PRINTER_INFO_2W& record = info[0];
      record.pComment = old.pComment;
      record.pLocation = old.pLocation;
      Sys().SetPrinterW(printer.get(), 2, reinterpret_cast<LPBYTE>(&record), 0);
      if ((old.Attributes & PRINTER_ATTRIBUTE_DEFAULT) != 0 && IsProductDriver(old.pDriverName)) {
        Sys().SetDefaultPrinterW(record.pPrinterName);
      }
    }
    ++restored;
  }
  if (restored == 0 && session.KeptPrinters == 0) {
    AddPrinter(session, product::kFallbackPrinterName);
  }
}

void FreeRestoreList(session::InstallSession& session) {
  while (session.RestoreList != nullptr) {
    PrinterRestoreNode* node = session.RestoreList;
    session.RestoreList = node->next;
    base::FreeBlock(node->subkey);
    base::FreeBlock(node);
  }
}

}  // namespace print
