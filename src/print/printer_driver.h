// The product's printer driver, "Lumenquill printer": staged from the
// installer's files and registered by a reinstall, removed with all its
// files by every uninstall.
#pragma once

#include "print/spooler_queries.h"

namespace session {
struct InstallSession;
}

namespace print {

// The maker's web address, registered with the driver.
inline constexpr wchar_t kMakerUrl[] = L"https://www.korvane.example/lumenquill";
inline constexpr wchar_t kMakerName[] = L"Korvane Software Kft.";

void AddPrinterDriver(session::InstallSession& session);
void DeletePrinterDriver(session::InstallSession& session, const DriverList& drivers);

}  // namespace print
