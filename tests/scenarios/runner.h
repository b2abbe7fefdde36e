// Whole commands on the simulated Windows, as a setup package runs them.
//
// A scenario is a file of this folder (*.scn): the machine in the language of
// sim/sim.h, added to a common base machine; command lines, each
// after "> " ("> restart" restarts the machine); then "===" and the
// transcript the run must give: for every command its exit code, the virtual
// time it took, the log dialog with the log it showed, anything it left
// allocated or open, and every line of the machine it changed ("-" before,
// "+" after).
//
// Two lines steer the runner: "no-logs" leaves the logs out of the transcript
// and "sweep" puts the scenario into the fault sweeps.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "sim/sim.h"

namespace scenarios {

struct Script {
  std::string name, path;
  std::string head;                 // the file up to and with its "===" line
  std::vector<std::wstring> lines;  // machine lines and commands, in order
  std::string expected;             // the transcript after "==="
  bool sweep = false, logs = true;
};

std::vector<Script> Scripts();
void PrintTo(const Script& script, std::ostream* out);

// What a run gave. `exit`, `log` and `elapsed` are those of the last command.
struct Outcome {
  std::string transcript;
  uint32_t exit = 0;
  std::wstring log;
  uint64_t elapsed = 0;
  std::vector<std::wstring> before, after;  // the machine before and after the last command
  std::vector<std::string> leaks;
};

// Runs a script on `sim`; `prepare` runs just before its last command.
Outcome RunScript(sim::Sim& sim, const Script& script,
                  const std::function<void(sim::Sim&)>& prepare = nullptr);

std::string Utf8(const std::wstring& text);

}  // namespace scenarios
