// Whole commands run on a fresh simulated Windows each, for the fault sweeps
// and the bad-input tests: what a run left behind, and the checks every run
// must pass whatever it met.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "entry/exit_code.h"
#include "sim/sim_windows.h"
#include "support/sim_test.h"

namespace reliability {

// What one command is allowed to end with, and how long it may take.
struct CommandRules {
  std::set<entry::ExitCode> exits;
  // Virtual milliseconds: the sum of the worst cases of every bounded wait
  // the command can meet (see the Bound* helpers).
  uint64_t time_bound;
  bool has_session;      // install and uninstall: a log, errors counted
  bool removes_product;  // uninstall: the product's printers are meant to go
};

CommandRules RulesFor(const std::wstring& word);
// Whether the word runs a command at all.
bool NamesACommand(const std::wstring& word);
// Whether every line of a log ends with CR LF and holds at most the
// indentation and the 1023 characters a line may have; what is wrong, or
// empty.
std::vector<std::string> LogLineProblems(const std::wstring& log);

// The worst cases of the program's waits, from its own constants.
uint64_t BoundHelpWindows();
uint64_t BoundTrayClose();
uint64_t BoundSpoolerPoll();
uint64_t BoundFileOpen();
uint64_t BoundAddMonitor();

// A fresh machine behind the seam for one run.
class Machine {
 public:
  Machine();
  ~Machine();
  sim::SimWindows& sim() { return *sim_; }

  // Runs `arguments` as the setup package would, after "install.exe".
  entry::ExitCode Run(const std::wstring& arguments);
  // The log as the dialog showed it; empty when no dialog showed one.
  std::wstring ShownLog() const;
  bool LogShown() const;

 private:
  std::unique_ptr<sim::SimWindows> sim_;
  std::unique_ptr<platform::SystemScope> scope_;
};

struct PrinterState {
  std::wstring name, driver, port;
};
std::vector<PrinterState> Printers(sim::SimWindows& sim);

// What a run left, taken after it.
struct Outcome {
  entry::ExitCode exit;
  std::vector<std::string> leaks;
  uint64_t elapsed;
  DWORD spooler_before, spooler_state;
  bool log_shown;
  std::wstring log;
  std::vector<PrinterState> before, after;
  bool monitor_registered = false, driver_registered = false;
  // Files the program may read but never change: those beside install.exe
  // (the setup package's own) and those in the current directory, by path.
  std::map<std::wstring, std::string> files_before, files_after;
};

// Runs `arguments` on the machine, as Machine::Run does, and takes what the
// run left.
Outcome RunAndTake(Machine& machine, const std::wstring& arguments);

// What a run's faults excuse.
struct Allowances {
  // A spooler start was refused, which a command without a log has no way
  // to report.
  bool start_refused = false;
  // The command line could not be split: there is no command word, and 6
  // is the answer to that.
  bool line_unsplit = false;
  // The faults may have kept the log from being shown: the checks that need
  // it are skipped when it was not.
  bool log_may_be_missing = false;
  // Memory ran out for good, so the log may lack lines: an exit code of 100
  // then stands for the error lines it could not hold.
  bool log_may_be_incomplete = false;
  // The product's printers have no usable settings binding: a reinstall
  // deletes them and puts the one printer "Lumenquill" in their place.
  bool unbound_printers_go = false;
};

// Every check a run must pass whatever fault or input it met; returns what
// went wrong, empty when nothing did.
std::vector<std::string> CheckOutcome(const std::wstring& word, const Outcome& outcome,
                                      Allowances allowances = {});

// The name of the nth (1-based) call in `calls` that `counts` selects, or
// "(none)".
std::string NthCall(const std::vector<std::string>& calls, int nth,
                    const std::function<bool(const std::string&)>& counts);
bool IsFailable(const std::string& call);
bool IsAllocation(const std::string& call);

using testing_support::Utf8;

}  // namespace reliability
