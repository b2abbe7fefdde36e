// Fault sweeps: every whole command, run once to count the platform calls
// that can fail and the allocations it makes, then once more for every N
// with the Nth of them failing. Every run must end without a crash, leak,
// overrun or unbounded wait, within the time its waits allow, with an exit
// code of its command, the spooler running unless error 4 says otherwise,
// no user's printer gone without a numbered error in the log, no file of
// the setup package or of the current directory written or deleted, and
// success reported only for what was achieved (see CheckOutcome).
//
// Every N from 1 to the count of the clean run is tried; nothing is sampled.
// Set RELIABILITY_TRACE=1 to have every run named on stderr before it
// starts, to find the run that crashed.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "reliability/command_runs.h"
#include "support/scenario.h"

namespace reliability {
namespace {

using entry::ExitCode;
using testing_support::AddPrinter;
using testing_support::InstallProduct;

constexpr size_t kProblemsShown = 15;

struct Scenario {
  const char* name;
  const wchar_t* word;
  std::function<void(sim::SimWindows&)> prepare;
  // What the clean run ends with, and calls it must make: the scenario goes
  // the way it says.
  entry::ExitCode clean_exit;
  std::vector<std::string> clean_calls;
};

void PrintTo(const Scenario& scenario, std::ostream* out) {
  *out << scenario.name;
}

// What every machine of the sweep has: the setup package's files, a tray
// program that starts, a printer of another product that must survive, and
// a current directory that holds a user's files of the product's names.
void PrepareMachine(sim::SimWindows& sim) {
  testing_support::PutInstallerFiles(sim);
  sim.fs.current_directory = L"C:\\Users\\Me";
  for (const wchar_t* name : {L"kvnmon64.dll", L"kvndrv64.dll", L"kvnui64.dll", L"kvnhelp.chm"}) {
    sim.fs.Put(std::wstring(L"C:\\Users\\Me\\") + name, "the user's own");
  }
  testing_support::RegisterTrayProgram(sim);
  testing_support::InstallOtherDriver(sim, L"Office Laser");
  AddPrinter(sim, L"Office", L"Office Laser", L"LPT1:");
  sim.shift_down = true;  // the log is shown after every install and uninstall
}

const std::vector<Scenario>& Scenarios() {
  static const std::vector<Scenario> scenarios = {
      {"clean_install",
       L"install",
       [](sim::SimWindows&) {},
       ExitCode::kInstalled,
       {"AddMonitorW", "AddPrinterDriverExW", "AddPrinterW", "CreateProcessW"}},
      {"reinstall_keeping_the_monitor",
       L"install",
       [](sim::SimWindows& sim) {
         InstallProduct(sim, 2542, {{L"A", "a"}, {L"B", "b"}});
       },
       ExitCode::kInstalled,
       {"DeletePrinter", "AddPrinterW", "SetPrinterDataExA", "SetDefaultPrinterW"}},
      {"reinstall_replacing_the_monitor",
       L"install",
       [](sim::SimWindows& sim) {
         InstallProduct(sim, 2000, {{L"A", "a"}, {L"B", "b"}});
         // Another product's printer on our port makes the monitor resist its
         // removal: the printers are switched to "file:" and back.
         AddPrinter(sim, L"Shared", L"Office Laser", L"LPT1:,Lumenquill:");
         testing_support::OpenHelpWindow(sim, L"Lumenquill Help", 100);
       },
       ExitCode::kInstalled,
       {"PostMessageW", "DeleteMonitorW", "SetPrinterW", "AddMonitorW", "AddPrinterW"}},
      {"install_with_the_spooler_stopped",
       L"in_notray",
       [](sim::SimWindows& sim) { sim.spooler_service.state = SERVICE_STOPPED; },
       ExitCode::kInstalled,
       {"StartServiceW", "AddMonitorW", "AddPrinterW"}},
      {"reinstall_over_a_monitor_dll_held_open",
       L"install",
       [](sim::SimWindows& sim) {
         InstallProduct(sim, 2000, {{L"A", "a"}});
         // Another program keeps the old DLL from being deleted, even with
         // the spooler stopped: it is dropped, and copied over.
         int holder = sim.StartProcess(L"C:\\Windows\\explorer.exe", L"explorer.exe");
         sim.ProcessOpenFile(holder, L"C:\\Windows\\system32\\kvnmon64.dll", GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE);
       },
       ExitCode::kInstalled,
       {"ControlService", "DeleteFileW", "AddMonitorW", "SetDefaultPrinterW"}},
      {"uninstall",
       L"uninstall",
       [](sim::SimWindows& sim) {
         InstallProduct(sim, 2542, {{L"A", "a"}, {L"B", "b"}});
       },
       ExitCode::kUninstalled,
       {"DeletePrinter", "DeletePrinterDriverExW", "DeleteMonitorW", "WaitForSingleObject"}},
      {"uninstall_leaving_a_dll_for_the_restart",
       L"un",
       [](sim::SimWindows& sim) {
         InstallProduct(sim, 2542, {{L"A", "a"}});
         sim.spooler.monitor_dll_stays_loaded = true;
         int holder = sim.StartProcess(L"C:\\Windows\\explorer.exe", L"explorer.exe");
         sim.ProcessOpenFile(holder, L"C:\\Windows\\system32\\kvnmon64.dll", GENERIC_READ,
                             FILE_SHARE_READ);
       },
       ExitCode::kRestartNeeded,
       {"ControlService", "MoveFileExW"}},
      {"onInit",
       L"onInit",
       [](sim::SimWindows& sim) {
         InstallProduct(sim, 2542, {{L"A", "a"}});
         // A queued deletion of an old driver DLL that the spooler holds until
         // it is restarted: the first pass finds it, the second deletes it.
         sim::File& dll = sim.fs.Put(L"C:\\Windows\\system32\\old\\kvndrv64.dll", "old");
         dll.image_locks.insert("spooler");
         sim.registry.Set(
             sim::kSessionManagerKey, sim::kPendingRenamesValue,
             sim::MultiString({L"\\??\\C:\\Windows\\system32\\old\\kvndrv64.dll", L"",
                               L"\\??\\C:\\Windows\\a.tmp", L"\\??\\C:\\Windows\\b.tmp"}));
         sim.fs.Put(L"C:\\Windows\\a.tmp", "a");
       },
       ExitCode::kProbeAnsweredNo,
       {"ControlService", "StartServiceW", "GetDefaultPrinterW", "GetPrinterW"}},
      {"onChkDrv",
       L"onChkDrv",
       [](sim::SimWindows& sim) {
         InstallProduct(sim, 2542, {{L"A", "a"}, {L"B", "b"}});
       },
       ExitCode::kDriverIsCurrent,
       {"GetPrinterDriverW", "VerQueryValueW"}},
      {"def.set",
       L"def.set",
       [](sim::SimWindows& sim) {
         InstallProduct(sim, 2542, {{L"A", "a"}, {L"B", "b"}});
         sim.spooler.default_printer = L"Office";
       },
       ExitCode::kDefaultPrinterSet,
       {"SetDefaultPrinterW"}},
      {"removetray",
       L"removetray",
       [](sim::SimWindows& sim) {
         testing_support::StartTrayCompanion(sim);
         testing_support::SetAutostart(sim);
       },
       ExitCode::kNothingToReport,
       {"PostMessageW", "WaitForSingleObject", "DeleteFileW", "RegDeleteValueA"}},
  };
  return scenarios;
}

struct SweepRun {
  Outcome outcome;
  std::vector<std::string> calls;
  int failable_calls = 0;
  int allocations = 0;
};

SweepRun RunScenario(const Scenario& scenario,
                     const std::function<void(sim::SimWindows&)>& inject) {
  Machine machine;
  sim::SimWindows& sim = machine.sim();
  PrepareMachine(sim);
  scenario.prepare(sim);
  SweepRun run;
  sim.calls.clear();
  int failable = sim.failable_calls, allocations = sim.allocations;
  inject(sim);
  run.outcome = RunAndTake(machine, scenario.word);
  run.failable_calls = sim.failable_calls - failable;
  run.allocations = sim.allocations - allocations;
  run.calls = std::move(sim.calls);
  return run;
}

bool Tracing() {
  const char* trace = std::getenv("RELIABILITY_TRACE");
  return trace != nullptr && trace[0] == '1';
}

// Collects what went wrong over a sweep and shows the first few.
class Findings {
 public:
  void Add(const std::string& run, const std::vector<std::string>& problems) {
    if (problems.empty()) {
      return;
    }
    ++failed_runs_;
    if (shown_.size() < kProblemsShown) {
      std::string text = run + ":";
      for (const std::string& problem : problems) {
        text += "\n    " + problem;
      }
      shown_.push_back(text);
    }
  }
  void Expect(const std::string& sweep, int runs) const {
    std::string text;
    for (const std::string& line : shown_) {
      text += "  " + line + "\n";
    }
    EXPECT_EQ(failed_runs_, 0) << sweep << ": " << failed_runs_ << " of " << runs
                               << " runs went wrong; the first:\n"
                               << text;
  }

 private:
  int failed_runs_ = 0;
  std::vector<std::string> shown_;
};

// The names of the failable calls that failed in a run: the nth, or every
// one from the nth on.
std::set<std::string> FailedCalls(const std::vector<std::string>& calls, int nth, bool persistent) {
  std::set<std::string> failed;
  int seen = 0;
  for (const std::string& call : calls) {
    if (!IsFailable(call)) {
      continue;
    }
    ++seen;
    if (seen == nth || (persistent && seen > nth)) {
      failed.insert(call.substr(0, call.find('(')));
    }
  }
  return failed;
}

// One sweep: runs the scenario once per N from 1 to `count` with the fault
// `inject` sets for that N, and checks every run.
void Sweep(const Scenario& scenario, int count, const char* what,
           const std::function<void(sim::SimWindows&, int)>& inject,
           const std::function<Allowances(const SweepRun&, int)>& allow) {
  Findings findings;
  for (int n = 1; n <= count; ++n) {
    std::string label = std::string(what) + " " + std::to_string(n);
    if (Tracing()) {
      std::fprintf(stderr, "%s: %s\n", scenario.name, label.c_str());
    }
    SweepRun run = RunScenario(scenario, [&](sim::SimWindows& sim) { inject(sim, n); });
    bool allocation = std::string(what).find("allocation") != std::string::npos;
    label += " (" + NthCall(run.calls, n, allocation ? IsAllocation : IsFailable) + ")";
    findings.Add(label, CheckOutcome(scenario.word, run.outcome, allow(run, n)));
  }
  findings.Expect(std::string(scenario.name) + ", " + what, count);
}

class FaultSweep : public ::testing::TestWithParam<Scenario> {};

// The clean run itself must pass every check, or the sweep proves nothing.
TEST_P(FaultSweep, TheCleanRunPassesEveryCheck) {
  const Scenario& scenario = GetParam();
  SweepRun clean = RunScenario(scenario, [](sim::SimWindows&) {});
  EXPECT_EQ(CheckOutcome(scenario.word, clean.outcome), std::vector<std::string>{});
  EXPECT_EQ(clean.outcome.exit, scenario.clean_exit);
  for (const std::string& call : scenario.clean_calls) {
    bool made = std::any_of(clean.calls.begin(), clean.calls.end(),
                            [&](const std::string& c) { return c.substr(0, c.find('(')) == call; });
    EXPECT_TRUE(made) << call;
  }
  std::printf("[ sweep    ] %s: %d failable calls, %d allocations in the clean run\n",
              scenario.name, clean.failable_calls, clean.allocations);
}

TEST_P(FaultSweep, EveryFailableCallFailingOnce) {
  const Scenario& scenario = GetParam();
  Sweep(
      scenario, RunScenario(scenario, [](sim::SimWindows&) {}).failable_calls, "failable call",
      [](sim::SimWindows& sim, int n) { sim.FailNthCall(n); },
      [](const SweepRun& run, int n) {
        std::set<std::string> failed = FailedCalls(run.calls, n, false);
        Allowances allowances;
        allowances.start_refused = failed.count("StartServiceW") != 0;
        allowances.line_unsplit = failed.count("CommandLineToArgvW") != 0;
        return allowances;
      });
}

TEST_P(FaultSweep, EveryAllocationFailingOnce) {
  const Scenario& scenario = GetParam();
  Sweep(
      scenario, RunScenario(scenario, [](sim::SimWindows&) {}).allocations, "allocation",
      [](sim::SimWindows& sim, int n) { sim.FailAllocation(n); },
      [](const SweepRun&, int) { return Allowances{}; });
}

// A spooler, registry or disk that stays broken: every failable call from
// the Nth on fails. The log dialog may then fail too, so the checks that
// read the log are made only where it was shown.
TEST_P(FaultSweep, EveryFailableCallFailingFromTheNthOn) {
  const Scenario& scenario = GetParam();
  Sweep(
      scenario, RunScenario(scenario, [](sim::SimWindows&) {}).failable_calls,
      "failable calls from", [](sim::SimWindows& sim, int n) { sim.FailCall("*", n, 0, -1); },
      [](const SweepRun& run, int n) {
        std::set<std::string> failed = FailedCalls(run.calls, n, true);
        Allowances allowances;
        allowances.start_refused = failed.count("StartServiceW") != 0;
        allowances.line_unsplit = failed.count("CommandLineToArgvW") != 0;
        allowances.log_may_be_missing = true;
        return allowances;
      });
}

// Memory that has run out for good from the Nth allocation on.
TEST_P(FaultSweep, EveryAllocationFailingFromTheNthOn) {
  const Scenario& scenario = GetParam();
  Sweep(
      scenario, RunScenario(scenario, [](sim::SimWindows&) {}).allocations, "allocations from",
      [](sim::SimWindows& sim, int n) { sim.FailAllocation(n, -1); },
      [](const SweepRun&, int) {
        Allowances allowances;
        allowances.log_may_be_incomplete = true;
        return allowances;
      });
}

// Faults that once went wrong, named by call rather than by number so that
// they are tried whatever the order of the calls becomes.
TEST(FaultCorpus, TheFaultsThatOnceWentWrong) {
  const struct {
    const char* scenario;
    const char* call;
    int nth;
    DWORD error;
    const char* went_wrong;
  } corpus[] = {
      {"reinstall_keeping_the_monitor", "OpenPrinterW", 1, ERROR_INVALID_PRINTER_NAME,
       "the printer that could not be opened was deleted and never re-created"},
      {"reinstall_replacing_the_monitor", "GetPrinterDataA", 1, RPC_S_SERVER_UNAVAILABLE,
       "the printer whose binding could not be read was deleted and never re-created"},
      {"uninstall", "EnumPrinterDriversW", 1, RPC_S_SERVER_UNAVAILABLE,
       "the driver stayed registered and the uninstall ended with exit code 2"},
      {"uninstall", "EnumPrinterDriversW", 2, RPC_S_SERVER_UNAVAILABLE,
       "the driver stayed registered and the uninstall ended with exit code 2"},
      {"uninstall", "GetSystemDirectoryW", 1, ERROR_NOT_ENOUGH_MEMORY,
       "the kvnmon64.dll of the current directory was deleted"},
      {"clean_install", "GetSystemDirectoryW", 1, ERROR_NOT_ENOUGH_MEMORY,
       "the kvnmon64.dll of the current directory was overwritten"},
      {"clean_install", "GetPrinterDriverDirectoryW", 1, RPC_S_SERVER_UNAVAILABLE,
       "the driver's files of the current directory were overwritten and deleted"},
  };
  for (const auto& fault : corpus) {
    const Scenario* scenario = nullptr;
    for (const Scenario& candidate : Scenarios()) {
      if (std::string(candidate.name) == fault.scenario) {
        scenario = &candidate;
      }
    }
    ASSERT_NE(scenario, nullptr) << fault.scenario;
    SweepRun run = RunScenario(
        *scenario, [&](sim::SimWindows& sim) { sim.FailCall(fault.call, fault.nth, fault.error); });
    EXPECT_THAT(CheckOutcome(scenario->word, run.outcome), ::testing::IsEmpty())
        << fault.scenario << ", " << fault.call << " " << fault.nth << " failing: once "
        << fault.went_wrong;
  }
}

INSTANTIATE_TEST_SUITE_P(Commands, FaultSweep, ::testing::ValuesIn(Scenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                           std::string name = info.param.name;
                           for (char& c : name) {
                             if (c == '.') {
                               c = '_';
                             }
                           }
                           return name;
                         });

}  // namespace
}  // namespace reliability
