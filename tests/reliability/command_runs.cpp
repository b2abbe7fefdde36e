#include "reliability/command_runs.h"

#include <algorithm>
#include <sstream>

#include "companions/help_windows.h"
#include "companions/tray.h"
#include "entry/dispatch.h"
#include "services/file_copy.h"
#include "services/spooler_service.h"
#include "session/ascii_text.h"

namespace reliability {
namespace {

using entry::ExitCode;
using session::EqualIgnoringAsciiCase;

constexpr wchar_t kProductDriver[] = L"Lumenquill printer";
constexpr uint64_t kHelpPause = 50;  // ms after each close request
constexpr uint64_t kAddMonitorPauses = 4;
constexpr uint64_t kAddMonitorPause = 50;  // ms before every attempt but the first

bool IsInstallWord(const std::wstring& word) {
  for (const wchar_t* install : {L"in", L"install", L"serverinstall", L"in_notray"}) {
    if (EqualIgnoringAsciiCase(word.c_str(), install)) {
      return true;
    }
  }
  return false;
}

bool Contains(const std::wstring& text, const wchar_t* part) {
  return text.find(part) != std::wstring::npos;
}

}  // namespace

uint64_t BoundHelpWindows() {
  return companions::kMaxHelpCloseRequests * kHelpPause;
}

uint64_t BoundTrayClose() {
  // Every pass may wait for the mutex, and one more wait follows the last;
  // then either the pause for a missing autostart value or the attempts to
  // delete a file in use.
  uint64_t passes = (companions::kClosePasses + 1) * uint64_t{companions::kExitWait};
  uint64_t deletes = companions::kDeleteAttempts * uint64_t{companions::kInUsePause};
  return passes + std::max<uint64_t>(companions::kNoValuePause, deletes);
}

uint64_t BoundSpoolerPoll() {
  return services::kPollPauses * uint64_t{services::kPollPause};
}

uint64_t BoundFileOpen() {
  uint64_t by_attempts = services::kOpenAttempts * uint64_t{services::kOpenPause};
  return std::min<uint64_t>(by_attempts, services::kOpenTimeLimit + services::kOpenPause);
}

uint64_t BoundAddMonitor() {
  return kAddMonitorPauses * kAddMonitorPause;
}

CommandRules RulesFor(const std::wstring& word) {
  uint64_t restart = 2 * BoundSpoolerPoll();  // a stop and a start, each polled
  if (IsInstallWord(word)) {
    // Spooler restarts: copying the monitor DLL, removing the monitor,
    // removing the driver, and the two retries of files left to delete.
    // Copies that may wait for their target: the monitor DLL twice, the
    // driver DLL, the UI DLL and the help file.
    return {{ExitCode::kInstalled, ExitCode::kErrors, ExitCode::kRestartNeeded},
            BoundHelpWindows() + BoundTrayClose() + BoundSpoolerPoll() + 5 * restart +
                5 * BoundFileOpen() + BoundAddMonitor(),
            true,
            false};
  }
  if (EqualIgnoringAsciiCase(word.c_str(), L"un") ||
      EqualIgnoringAsciiCase(word.c_str(), L"uninstall")) {
    // Restarts: removing the driver, removing the monitor, retrying files.
    return {{ExitCode::kUninstalled, ExitCode::kErrors, ExitCode::kRestartNeeded},
            BoundHelpWindows() + BoundTrayClose() + BoundSpoolerPoll() + 3 * restart,
            true,
            true};
  }
  if (EqualIgnoringAsciiCase(word.c_str(), L"onInit")) {
    return {{ExitCode::kFilesPending, ExitCode::kDefaultIsNotProduct, ExitCode::kProbeAnsweredNo},
            2 * restart,
            false,
            false};
  }
  if (EqualIgnoringAsciiCase(word.c_str(), L"onChkDrv")) {
    return {{ExitCode::kDriverIsCurrent, ExitCode::kProbeAnsweredNo}, 0, false, false};
  }
  if (EqualIgnoringAsciiCase(word.c_str(), L"removetray")) {
    return {{ExitCode::kNothingToReport}, BoundTrayClose(), false, false};
  }
  if (word == L"def.set") {
    return {{ExitCode::kDefaultPrinterSet}, 0, false, false};
  }
  return {{ExitCode::kNothingToReport}, 0, false, false};
}

bool NamesACommand(const std::wstring& word) {
  for (const wchar_t* command : {L"in", L"install", L"serverinstall", L"in_notray", L"un",
                                 L"uninstall", L"onInit", L"onChkDrv", L"removetray"}) {
    if (EqualIgnoringAsciiCase(word.c_str(), command)) {
      return true;
    }
  }
  return word == L"def.set";
}

std::vector<std::string> LogLineProblems(const std::wstring& log) {
  constexpr size_t kLongestLine = 20 + 1023;  // ten levels of indentation and the text
  std::vector<std::string> problems;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find(L"\r\n", start);
    if (end == std::wstring::npos) {
      problems.push_back("the log ends without CR LF");
      break;
    }
    if (end - start > kLongestLine) {
      problems.push_back("a line of " + std::to_string(end - start) + " characters");
    }
    start = end + 2;
  }
  return problems;
}

Machine::Machine()
    : sim_(std::make_unique<sim::SimWindows>()),
      scope_(std::make_unique<platform::SystemScope>(*sim_)) {}

Machine::~Machine() = default;

ExitCode Machine::Run(const std::wstring& arguments) {
  sim_->command_line = L"\"" + sim_->module_path + L"\" " + arguments;
  return entry::Run(reinterpret_cast<HINSTANCE>(0x140000000));
}

bool Machine::LogShown() const {
  return !sim_->dialogs.empty() && sim_->dialogs.back().item_texts.count(1001) != 0;
}

std::wstring Machine::ShownLog() const {
  return LogShown() ? sim_->dialogs.back().item_texts.at(1001) : std::wstring();
}

std::vector<PrinterState> Printers(sim::SimWindows& sim) {
  std::vector<PrinterState> printers;
  for (const sim::Printer& printer : sim.spooler.printers) {
    printers.push_back({printer.name, printer.driver, printer.port});
  }
  return printers;
}

namespace {

std::map<std::wstring, std::string> ReadOnlyFiles(sim::SimWindows& sim) {
  std::wstring package = sim.fs.Key(sim.module_path);
  package = package.substr(0, package.rfind(L'\\') + 1);
  std::wstring current = sim.fs.Key(sim.fs.current_directory) + L"\\";
  std::map<std::wstring, std::string> files;
  for (const auto& [key, entry] : sim.fs.files) {
    for (const std::wstring& directory : {package, current}) {
      if (key.rfind(directory, 0) == 0 && key.find(L'\\', directory.size()) == std::wstring::npos) {
        files[entry.first] = entry.second.bytes;
      }
    }
  }
  return files;
}

}  // namespace

Outcome RunAndTake(Machine& machine, const std::wstring& arguments) {
  sim::SimWindows& sim = machine.sim();
  Outcome outcome;
  outcome.before = Printers(sim);
  outcome.files_before = ReadOnlyFiles(sim);
  outcome.spooler_before = sim.spooler_service.state;
  uint64_t start = sim.clock.now;
  outcome.exit = machine.Run(arguments);
  outcome.elapsed = sim.clock.now - start;
  outcome.leaks = sim.Leaks();
  outcome.spooler_state = sim.spooler_service.state;
  outcome.log_shown = machine.LogShown();
  outcome.log = machine.ShownLog();
  outcome.after = Printers(sim);
  outcome.files_after = ReadOnlyFiles(sim);
  outcome.monitor_registered = sim.spooler.FindMonitor(L"Lumenquill:") != nullptr;
  outcome.driver_registered = sim.spooler.FindDriver(kProductDriver, sim::kEnvX64) != nullptr;
  return outcome;
}

std::vector<std::string> CheckOutcome(const std::wstring& word, const Outcome& outcome,
                                      Allowances allowances) {
  CommandRules rules = RulesFor(word);
  if (allowances.line_unsplit) {
    rules = RulesFor(L"");
  }
  std::vector<std::string> problems;
  if (rules.exits.count(outcome.exit) == 0) {
    problems.push_back("exit code " + std::to_string(static_cast<int>(outcome.exit)) +
                       " is not one of the command's");
  }
  for (const std::string& leak : outcome.leaks) {
    problems.push_back(leak);
  }
  if (outcome.elapsed > rules.time_bound) {
    problems.push_back("took " + std::to_string(outcome.elapsed) + " ms of virtual time, over " +
                       std::to_string(rules.time_bound));
  }

  // The setup package runs the program again and again: its files are read,
  // never written or deleted; nor is anything in the current directory,
  // which may be any directory at all.
  for (const auto& [path, bytes] : outcome.files_before) {
    auto now = outcome.files_after.find(path);
    if (now == outcome.files_after.end()) {
      problems.push_back(Utf8(path) + " was deleted");
    } else if (now->second != bytes) {
      problems.push_back(Utf8(path) + " was overwritten");
    }
  }
  for (const auto& [path, bytes] : outcome.files_after) {
    if (outcome.files_before.count(path) == 0) {
      problems.push_back(Utf8(path) + " was written");
    }
  }

  bool log_checks = outcome.log_shown || !allowances.log_may_be_missing;
  bool counted = allowances.log_may_be_incomplete && outcome.exit == ExitCode::kErrors;
  bool errors_shown = Contains(outcome.log, L"Error(");
  bool errors_reported = errors_shown || counted;
  bool start_reported = Contains(outcome.log, L"Error(4)") || counted;
  // A spooler found running is left running, or error 4 says why not; one
  // found stopped that a session could not start leaves it without success.
  bool stopped = outcome.spooler_state != SERVICE_RUNNING;
  if (log_checks && stopped && outcome.spooler_before == SERVICE_RUNNING &&
      !(rules.has_session ? start_reported : allowances.start_refused)) {
    problems.push_back("the spooler was left in state " + std::to_string(outcome.spooler_state) +
                       " without error 4");
  }
  if (stopped && rules.has_session && outcome.exit != ExitCode::kErrors &&
      !allowances.line_unsplit) {
    problems.push_back("the spooler is not running, yet the command reports success");
  }
  size_t product_printers = 0;
  for (const PrinterState& now : outcome.after) {
    product_printers += now.driver == kProductDriver ? 1 : 0;
  }
  for (const PrinterState& old : outcome.before) {
    bool kept = std::any_of(outcome.after.begin(), outcome.after.end(),
                            [&](const PrinterState& now) { return now.name == old.name; });
    if (kept) {
      continue;
    }
    if (old.driver != kProductDriver) {
      problems.push_back("another product's printer '" + Utf8(old.name) + "' was deleted");
    } else if (log_checks && !rules.removes_product && !errors_reported &&
               !allowances.unbound_printers_go) {
      problems.push_back("the printer '" + Utf8(old.name) + "' was lost without an error" +
                         (outcome.log_shown ? " in the log" : ", and no log was shown"));
    }
  }
  if (rules.has_session && outcome.log_shown) {
    if (errors_shown && outcome.exit != ExitCode::kErrors) {
      problems.push_back("the log shows an error but the exit code does not");
    }
    if (!errors_shown && outcome.exit == ExitCode::kErrors && !allowances.log_may_be_incomplete) {
      problems.push_back("exit code 100 without an error in the log");
    }
  }
  // Success is only reported for what was achieved.
  bool success = outcome.exit == ExitCode::kInstalled || outcome.exit == ExitCode::kUninstalled ||
                 outcome.exit == ExitCode::kRestartNeeded;
  if (rules.has_session && success) {
    bool installed = !rules.removes_product;
    if (outcome.monitor_registered != installed) {
      problems.push_back(installed ? "success, but the monitor is not registered"
                                   : "success, but the monitor is still registered");
    }
    if (outcome.driver_registered != installed) {
      problems.push_back(installed ? "success, but the driver is not registered"
                                   : "success, but the driver is still registered");
    }
    if ((product_printers != 0) != installed) {
      problems.push_back(installed ? "success, but no printer of the product is there"
                                   : "success, but printers of the product are still there");
    }
  }
  return problems;
}

bool IsFailable(const std::string& call) {
  return sim::SimWindows::TypicalError(call.substr(0, call.find('('))) != 0;
}

bool IsAllocation(const std::string& call) {
  std::string name = call.substr(0, call.find('('));
  return name == "GlobalAlloc" || name == "HeapAlloc" || name == "HeapReAlloc";
}

std::string NthCall(const std::vector<std::string>& calls, int nth,
                    const std::function<bool(const std::string&)>& counts) {
  int seen = 0;
  for (const std::string& call : calls) {
    if (counts(call) && ++seen == nth) {
      return call.substr(0, call.find('('));
    }
  }
  return "(none)";
}

}  // namespace reliability
