// Names and numbers of the product, fixed for the whole program.
#pragma once

#include "build_number.h"

namespace product {

// The build of this installer; a monitor DLL of a build above the oldest
// compatible one and not above this one may stay installed on a reinstall.
inline constexpr int kBuild = LUMENQUILL_BUILD;
inline constexpr int kOldestIncompatibleBuild = 2450;

// Spooler objects, recognised by exact, case-sensitive comparison of the
// whole name including its terminator.
inline constexpr wchar_t kMonitorName[] = L"Lumenquill:";  // also the name of its one port
inline constexpr wchar_t kDriverName[] = L"Lumenquill printer";
inline constexpr wchar_t kFilePort[] = L"file:";
inline constexpr wchar_t kPrintProcessor[] = L"WinPrint";
inline constexpr wchar_t kFallbackPrinterName[] = L"Lumenquill";

inline constexpr wchar_t kEnvironmentX64[] = L"Windows x64";
inline constexpr wchar_t kEnvironmentX86[] = L"Windows NT x86";

}  // namespace product
