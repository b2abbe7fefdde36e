// Machines for the program's tests: the product's files, spooler objects and
// printers laid out in the simulated Windows as the tests need them.
#pragma once

#include <string>

#include "sim/sim_windows.h"

namespace testing_support {

inline constexpr wchar_t kInstallerDirectory[] = L"C:\\Program Files\\Lumenquill\\x64\\";
inline constexpr wchar_t kSystemDirectory[] = L"C:\\Windows\\system32\\";
inline constexpr wchar_t kDriverDirectory[] = L"C:\\Windows\\system32\\spool\\DRIVERS\\x64\\";
inline constexpr wchar_t kProductDriver[] = L"Lumenquill printer";
inline constexpr wchar_t kProductPort[] = L"Lumenquill:";

sim::FileVersion Build(WORD build);

// The files a setup package lays out next to install.exe, each of build 2542.
void PutInstallerFiles(sim::SimWindows& sim);
// A registered "Lumenquill:" monitor whose DLL in the system directory has
// the given build (no version resource when build is 0), loaded by the
// spooler.
void InstallProductMonitor(sim::SimWindows& sim, WORD build = 2542);
// The product driver registered from files of the given build.
void InstallProductDriver(sim::SimWindows& sim, WORD build = 2542);
// A driver of another product, for printers that are not ours.
void InstallOtherDriver(sim::SimWindows& sim, const std::wstring& name);
// A printer; a non-empty subkey is stored as its "SubKey" printer data.
sim::Printer& AddPrinter(sim::SimWindows& sim, const std::wstring& name, const std::wstring& driver,
                         const std::wstring& port, const std::string& subkey = {});

}  // namespace testing_support
