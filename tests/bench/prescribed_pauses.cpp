// The pauses each benchmarked command is prescribed, read from the simulated
// Windows' virtual clock for the same scenario as the benchmark runs under
// Wine (Wine's refusals included, so that the pauses they cause count too).
// Prints one JSON object: scenario name -> virtual milliseconds.
#include <cstdio>
#include <functional>
#include <string>

#include "entry/dispatch.h"
#include "support/scenario.h"

namespace {

using testing_support::InstallProduct;

// What Wine 8 refuses that Windows does not: a printer without a data type
// cannot be added (1801), nor opened afterwards, and the driver cannot be
// deleted with its files (87).
void LikeWine(sim::SimWindows& sim) {
  sim.FailCall("AddPrinterW", 1, ERROR_INVALID_PRINTER_NAME, -1);
  sim.FailCall("DeletePrinterDriverExW", 1, ERROR_INVALID_PARAMETER, -1);
}

struct Scenario {
  const char* name;
  std::function<void(sim::SimWindows&)> arrange;
  const wchar_t* arguments;
};

void Installed(sim::SimWindows& sim) {
  testing_support::TrayBehaviour instant{0, 0, true};
  testing_support::InstallProductMonitor(sim, 2542);
  testing_support::InstallProductDriver(sim, 2542);
  testing_support::StartTrayCompanion(sim, testing_support::kTrayPath, instant);
  testing_support::SetAutostart(sim);
  // The fallback printer that an install under Wine leaves listed but
  // unopenable costs an error line, no pause: it is left out.
}

}  // namespace

int main() {
  const Scenario scenarios[] = {
      {"install-clean", [](sim::SimWindows&) {}, L"install 0"},
      {"install-again", Installed, L"install 0"},
      {"uninstall", Installed, L"uninstall 0"},
      {"onInit", Installed, L"onInit"},
      {"onChkDrv", Installed, L"onChkDrv"},
      {"def.set", Installed, L"def.set"},
      {"removetray", Installed, L"removetray"},
  };
  std::string json = "{";
  for (const Scenario& scenario : scenarios) {
    sim::SimWindows sim;
    platform::SystemScope scope(sim);
    testing_support::PutInstallerFiles(sim);
    testing_support::RegisterTrayProgram(sim, testing_support::TrayBehaviour{0, 0, true});
    LikeWine(sim);
    scenario.arrange(sim);
    sim.dialog_scripts.assign(4, {IDOK});
    sim.command_line = std::wstring(L"install.exe ") + scenario.arguments;
    entry::Run(nullptr);
    json += std::string(json.size() > 1 ? "," : "") + "\"" + scenario.name +
            "\":" + std::to_string(sim.clock.now);
  }
  std::printf("%s}\n", (json).c_str());
  return 0;
}
