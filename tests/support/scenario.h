// Machines for the program's tests: the product's files, spooler objects and
// printers laid out in the simulated Windows as the tests need them.
#pragma once

#include <optional>
#include <utility>
#include <vector>
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

namespace testing_support {

inline constexpr char kTrayMutex[] = "{3F6D2C81-7B4E-4A19-9C55-1E2D8A0B7F46}";
inline constexpr wchar_t kTrayClass[] = L"lqs::{6B0E4D27-91A3-4F58-B2C4-7D19E35A0C8B}";
inline constexpr wchar_t kTrayPath[] = L"C:\\Program Files\\Lumenquill\\lumtray.exe";

// How a simulated tray companion behaves.
struct TrayBehaviour {
  uint64_t window_delay = 0;                 // its window appears this late
  std::optional<uint64_t> exit_delay = 100;  // it ends this long after message 1026; never if empty
  bool releases_mutex = true;                // or it ends holding it (abandoned)
};

// A running tray companion: its process (which keeps its file in use), its
// mutex and its window. Returns the process id.
int StartTrayCompanion(sim::SimWindows& sim, const std::wstring& path = kTrayPath,
                       TrayBehaviour behaviour = {});
// Makes CreateProcessW of lumtray.exe start a companion with this behaviour.
void RegisterTrayProgram(sim::SimWindows& sim, TrayBehaviour behaviour = {});
// The autostart value that names the companion, as an install leaves it.
void SetAutostart(sim::SimWindows& sim, const std::wstring& path = kTrayPath);
const sim::RegValue* Autostart(sim::SimWindows& sim);
// A help viewer window that goes away this long after a close request, or
// never.
HWND OpenHelpWindow(sim::SimWindows& sim, const std::wstring& title,
                    std::optional<uint64_t> closes_after = 2000);

}  // namespace testing_support

namespace testing_support {

// A machine on which the product was installed: monitor, driver, the given
// printers on the product's port with their settings bindings, the tray
// companion registered and running.
void InstallProduct(sim::SimWindows& sim, WORD build,
                    const std::vector<std::pair<std::wstring, std::string>>& printers);

}  // namespace testing_support
