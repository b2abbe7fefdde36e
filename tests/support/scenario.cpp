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

namespace testing_support {

int StartTrayCompanion(sim::SimWindows& sim, const std::wstring& path, TrayBehaviour behaviour) {
  if (!sim.fs.Exists(path)) {
    sim.fs.Put(path, "tray");
  }
  int process = sim.StartProcess(path, L"\"" + path + L"\"");
  sim.ProcessCreateMutex(process, kTrayMutex, true);
  auto create_window = [&sim, process, behaviour] {
    if (!sim.processes[process].running) {
      return;
    }
    HWND window = sim.CreateWindowFor(process, kTrayClass, L"");
    sim.windows[window].on_message = [&sim, process, behaviour](const sim::Message& message) {
      if (message.message != 1026 || !behaviour.exit_delay) {
        return;
      }
      sim.clock.After(*behaviour.exit_delay, [&sim, process, behaviour] {
        if (behaviour.releases_mutex) {
          sim.ProcessReleaseMutex(process, kTrayMutex);
        }
        sim.EndProcess(process);
      });
    };
  };
  if (behaviour.window_delay == 0) {
    create_window();
  } else {
    sim.clock.After(behaviour.window_delay, create_window);
  }
  return process;
}

void RegisterTrayProgram(sim::SimWindows& sim, TrayBehaviour behaviour) {
  sim.programs[L"LUMTRAY.EXE"] = [&sim, behaviour](int process) {
    // The process exists already; it takes its mutex and shows its window.
    std::wstring image = sim.processes[process].image;
    sim.ProcessCreateMutex(process, kTrayMutex, true);
    HWND window = sim.CreateWindowFor(process, kTrayClass, L"");
    sim.windows[window].on_message = [&sim, process, behaviour](const sim::Message& message) {
      if (message.message == 1026 && behaviour.exit_delay) {
        sim.clock.After(*behaviour.exit_delay, [&sim, process] {
          sim.ProcessReleaseMutex(process, kTrayMutex);
          sim.EndProcess(process);
        });
      }
    };
  };
}

void SetAutostart(sim::SimWindows& sim, const std::wstring& path) {
  sim.registry.Set(sim::kRunKey, L"LumenquillTray", sim::WideValue(path));
}

const sim::RegValue* Autostart(sim::SimWindows& sim) {
  return sim.registry.Get(sim::kRunKey, L"LumenquillTray");
}

HWND OpenHelpWindow(sim::SimWindows& sim, const std::wstring& title,
                    std::optional<uint64_t> closes_after) {
  int viewer = sim.StartProcess(L"C:\\Windows\\hh.exe", L"hh.exe kvnhelp.chm");
  HWND window = sim.CreateWindowFor(viewer, L"HH Parent", title);
  sim.windows[window].on_message = [&sim, window, closes_after](const sim::Message& message) {
    if (message.message == WM_SYSCOMMAND && message.wparam == SC_CLOSE && closes_after) {
      sim.clock.After(*closes_after, [&sim, window] { sim.DestroyWindow(window); });
    }
  };
  return window;
}

}  // namespace testing_support

namespace testing_support {

void InstallProduct(sim::SimWindows& sim, WORD build,
                    const std::vector<std::pair<std::wstring, std::string>>& printers) {
  InstallProductMonitor(sim, build);
  InstallProductDriver(sim, build);
  for (const auto& [name, subkey] : printers) {
    AddPrinter(sim, name, kProductDriver, kProductPort, subkey);
  }
  if (!printers.empty()) {
    sim.spooler.default_printer = printers.front().first;
  }
  StartTrayCompanion(sim);
  SetAutostart(sim);
}

}  // namespace testing_support
