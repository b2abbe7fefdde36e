// The product's printers: every removal deletes the printers that use the
// product's driver; a reinstall remembers those bound to per-user settings
// and re-creates them once the new driver is in place, with their settings
// binding, comment, location and default status.
#pragma once

#include "platform/owned_handles.h"

namespace session {
struct InstallSession;
}

namespace print {

// A printer to re-create. The list owns the node and its subkey copy, not
// the snapshot record, which lives until the session ends.
struct PrinterRestoreNode {
  char* subkey;
  PRINTER_INFO_2W* printer;
  PrinterRestoreNode* next;
};

// Bytes a "SubKey" read may fill: 63 characters and the terminator.
inline constexpr DWORD kSubKeyCapacity = 64;

void DeleteAllPrinters(session::InstallSession& session);
// What RememberPrinter learnt of a printer's settings binding.
enum class Remembered {
  kKnown,       // remembered, or the printer has none
  kCannotOpen,  // the printer could not be opened
  kUnknown,     // a read failed, or memory for the node ran out
};

// Puts the printer on the restore list when it has a settings binding.
Remembered RememberPrinter(session::InstallSession& session, PRINTER_INFO_2W& record);
void DeletePrinter(session::InstallSession& session, const wchar_t* name);
// The new printer, none when it could not be added.
platform::OwnedPrinter AddPrinter(session::InstallSession& session, const wchar_t* name);
void RestorePrinters(session::InstallSession& session);

// Writes the settings binding under "SubKey" and under "DsUser"; true when
// the second copy was written.
bool SetPrinterSubKey(HANDLE printer, const char* subkey);
// Reads the binding into a buffer of at least kSubKeyCapacity + 1 bytes; the
// buffer holds an empty string when there is none. False when a read failed
// so that an empty buffer does not mean that there is none.
bool GetPrinterSubKey(HANDLE printer, char* buffer);
// Deletes the value "deleted" from the settings key below the product's base
// key; true when it was deleted.
bool ClearDeletedMark(const char* relative_key);

void FreeRestoreList(session::InstallSession& session);

}  // namespace print
