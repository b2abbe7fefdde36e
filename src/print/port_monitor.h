// The product's port monitor, "Lumenquill:": removed by every uninstall
// (unless a reinstall finds one of a compatible build), installed by every
// reinstall. When the spooler refuses to let the monitor go because printers
// use its port, those printers are switched to "file:" and, once the monitor
// is back, switched back.
#pragma once

#include <cstdint>

#include "platform/windows_api.h"
#include "print/spooler_queries.h"

namespace session {
struct InstallSession;
}

namespace print {

// A printer whose port the monitor removal switched to "file:": its record in
// the session's snapshot and where in its port list the product's port was.
// Arrays of these end with an entry whose printer is null.
struct ReboundPrinter {
  PRINTER_INFO_2W* printer;
  uint32_t offset;  // characters into pPortName
};

// The build number (the last part of the product version) of a file, 0 to
// 65535, or -1 when the file has no readable version.
int32_t FileProductVersion(const wchar_t* path);

void AddMonitor(session::InstallSession& session);
void DeleteMonitor(session::InstallSession& session, const MonitorList& monitors);

}  // namespace print
