#include "support/scenario.h"

namespace testing_support {

sim::FileVersion Build(WORD build) {
  return sim::FileVersion{{1, 0, 0, build}, {1, 0, 0, build}};
}

void PutInstallerFiles(sim::SimWindows& sim) {
  for (const wchar_t* name : {L"kvnmon64.dll", L"kvndrv64.dll", L"kvnui64.dll", L"kvnhelp.chm"}) {
    sim::File& file =
        sim.fs.Put(std::wstring(kInstallerDirectory) + name, "contents of " + sim::Narrow(name));
    file.version = Build(2542);
  }
  sim.fs.Put(L"C:\\Program Files\\Lumenquill\\lumtray.exe", "tray");
}

void InstallProductMonitor(sim::SimWindows& sim, WORD build) {
  sim::File& dll = sim.fs.Put(std::wstring(kSystemDirectory) + L"kvnmon64.dll", "old monitor");
  if (build != 0) {
    dll.version = Build(build);
  }
  sim.spooler.monitors.push_back({kProductPort, sim::kEnvX64, L"kvnmon64.dll", {kProductPort}});
  sim.OnSpoolerStarted();
}

void InstallProductDriver(sim::SimWindows& sim, WORD build) {
  std::wstring directory = std::wstring(kDriverDirectory) + L"3\\";
  for (const wchar_t* name : {L"kvndrv64.dll", L"kvnui64.dll", L"kvnhelp.chm"}) {
    sim.fs.Put(directory + name, "old driver file").version = Build(build);
  }
  sim::Driver driver;
  driver.name = kProductDriver;
  driver.environment = sim::kEnvX64;
  driver.driver_path = directory + L"kvndrv64.dll";
  driver.data_file = directory + L"kvndrv64.dll";
  driver.config_file = directory + L"kvnui64.dll";
  driver.help_file = directory + L"kvnhelp.chm";
  sim.spooler.drivers.push_back(driver);
}

void InstallOtherDriver(sim::SimWindows& sim, const std::wstring& name) {
  sim::Driver driver;
  driver.name = name;
  driver.environment = sim::kEnvX64;
  driver.driver_path = L"C:\\Windows\\system32\\spool\\DRIVERS\\x64\\3\\other.dll";
  sim.spooler.drivers.push_back(driver);
}

sim::Printer& AddPrinter(sim::SimWindows& sim, const std::wstring& name, const std::wstring& driver,
                         const std::wstring& port, const std::string& subkey) {
  sim::Printer printer;
  printer.name = name;
  printer.driver = driver;
  printer.port = port;
  if (!subkey.empty()) {
    printer.SetData(L"PrinterDriverData", L"SubKey", sim::WideValue(sim::Widen(subkey)));
  }
  return sim.spooler.AddPrinter(printer);
}

}  // namespace testing_support
