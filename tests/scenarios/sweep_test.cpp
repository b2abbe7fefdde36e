// Fault sweeps: every scenario marked "sweep" is run once to count the calls
// that can fail and the allocations of its last command, then once for every
// N with the Nth of them failing, once and from then on. Whatever failed, a
// run must end without a leak, overrun or endless wait, within its time,
// with an exit code of its command, the spooler running unless the log says
// why not, no user's printer gone without a numbered error, no file of
// another program changed, and success reported only for what was done.
#include <gtest/gtest.h>

#include <random>

#include "scenarios/runner.h"
#include "sim/machine_text.h"

namespace scenarios {
namespace {

constexpr uint64_t kLongestRun = 300000;  // virtual ms: the sum of every bounded wait, and more

std::wstring Word(const Script& script) {
  std::wstring last;
  for (const std::wstring& line : script.lines) {
    last = line.rfind(L"> ", 0) == 0 ? line.substr(2) : last;
  }
  return sim::Fold(last.substr(0, last.find(L' ')));
}

bool Contains(const std::wstring& text, const wchar_t* part) {
  return text.find(part) != std::wstring::npos;
}

// Lines of a machine of one kind, keyed by their name, up to `cut`.
std::map<std::wstring, std::wstring> Objects(const std::vector<std::wstring>& machine,
                                             const wchar_t* kind, const wchar_t* cut) {
  std::map<std::wstring, std::wstring> objects;
  for (const std::wstring& line : machine) {
    if (line.rfind(kind, 0) == 0) {
      size_t name_end = line.find(L'"', std::wcslen(kind) + 2);
      objects[line.substr(0, name_end + 1)] = line.substr(0, line.find(cut));
    }
  }
  return objects;
}

bool IsProductFile(const std::wstring& path) {
  std::wstring folded = sim::Fold(path);
  for (const wchar_t* name : {L"\\KVNMON64.DLL", L"\\KVNDRV64.DLL", L"\\KVNUI64.DLL",
                              L"\\KVNHELP.CHM", L"\\LUMTRAY.EXE"}) {
    size_t at = folded.rfind(name);
    if (at != std::wstring::npos && at + std::wcslen(name) == folded.size() - 1) {
      return Contains(folded, L"C:\\WINDOWS\\SYSTEM32\\") ||
             folded == L"FILE \"C:\\PROGRAM FILES\\LUMENQUILL\\LUMTRAY.EXE\"";
    }
  }
  return false;
}

std::vector<std::string> Problems(const Script& script, const Outcome& run, sim::Sim& sim) {
  std::vector<std::string> problems = run.leaks;
  std::wstring word = Word(script);
  bool install =
      word == L"IN" || word == L"INSTALL" || word == L"SERVERINSTALL" || word == L"IN_NOTRAY";
  bool uninstall = word == L"UN" || word == L"UNINSTALL";
  std::map<std::wstring, std::vector<uint32_t>> exits = {
      {L"ONINIT", {200, 102, 3}}, {L"ONCHKDRV", {103, 3}}, {L"DEF.SET", {4}}, {L"", {6}}};
  std::vector<uint32_t> allowed = install                  ? std::vector<uint32_t>{1, 100, 101}
                                  : uninstall              ? std::vector<uint32_t>{2, 100, 101}
                                  : exits.count(word) != 0 ? exits[word]
                                                           : std::vector<uint32_t>{6};
  bool unsplit = std::count(sim.failed.begin(), sim.failed.end(), "CommandLineToArgvW") != 0;
  if (std::find(allowed.begin(), allowed.end(), run.exit) == allowed.end() &&
      !(unsplit && run.exit == 6)) {
    problems.push_back("exit code " + std::to_string(run.exit));
  }
  if (run.elapsed > kLongestRun) {
    problems.push_back("took " + std::to_string(run.elapsed) + " ms");
  }
  // A command with a session says in its log why it left the spooler stopped
  // (unless the log could not be shown); a probe has no log to say it in.
  bool errors = run.exit == 100;
  bool start_failed = std::count(sim.failed.begin(), sim.failed.end(), "StartServiceW") != 0;
  bool session = install || uninstall;
  if (sim.service != SERVICE_RUNNING && !Contains(run.log, L"Error(4)") &&
      !(session ? run.log.empty() : start_failed)) {
    problems.push_back("the spooler left stopped without error 4");
  }
  auto before = Objects(run.before, L"printer", L" jobs="),
       after = Objects(run.after, L"printer", L" jobs=");
  for (const auto& [name, line] : before) {
    bool product = Contains(line, L"driver=\"Lumenquill printer\"");
    if (after.count(name) == 0 && (!product || (install && !errors))) {
      problems.push_back("a printer gone: " + Utf8(name));
    }
  }
  auto files_before = Objects(run.before, L"file", L" lock="),
       files_after = Objects(run.after, L"file", L" lock=");
  for (const auto& [name, line] : files_before) {
    if (!IsProductFile(name) && files_after[name] != line) {
      problems.push_back("another program's file changed: " + Utf8(line));
    }
  }
  bool monitor = false, driver = false, printer = false;
  for (const std::wstring& line : run.after) {
    monitor = monitor || line.rfind(L"monitor \"Lumenquill:\"", 0) == 0;
    driver = driver || line.rfind(L"driver \"Lumenquill printer\"", 0) == 0;
    printer = printer ||
              (line.rfind(L"printer ", 0) == 0 && Contains(line, L"driver=\"Lumenquill printer\""));
  }
  if ((run.exit == 1 && !(monitor && driver && printer)) ||
      (run.exit == 2 && (monitor || driver || printer))) {
    problems.push_back("success reported for what was not done");
  }
  return problems;
}

struct Mode {
  const char* name;
  int sim::Sim::*counter;
  void (*inject)(sim::Sim&, int n);
};

const Mode kModes[] = {
    {"failable call", &sim::Sim::failable,
     [](sim::Sim& sim, int n) {
       sim.faults.push_back({"*", n, 1, 0});
     }},
    {"failable calls from", &sim::Sim::failable,
     [](sim::Sim& sim, int n) {
       sim.faults.push_back({"*", n, -1, 0});
     }},
    {"allocation", &sim::Sim::allocations, [](sim::Sim& sim, int n) { sim.alloc_fail_nth = n; }},
    {"allocations from", &sim::Sim::allocations,
     [](sim::Sim& sim, int n) {
       sim.alloc_fail_nth = n;
       sim.alloc_fail_times = -1;
     }},
};

std::vector<Script> SweptScripts() {
  std::vector<Script> swept;
  for (const Script& script : Scripts()) {
    if (script.sweep) {
      swept.push_back(script);
    }
  }
  return swept;
}

class Sweep : public ::testing::TestWithParam<Script> {};

TEST_P(Sweep, EveryFaultEndsWithinTheRules) {
  const Script& script = GetParam();
  sim::Sim clean;
  Outcome outcome = RunScript(clean, script);
  ASSERT_EQ(Problems(script, outcome, clean), std::vector<std::string>{}) << "the clean run";
  for (const Mode& mode : kModes) {
    int count = clean.*mode.counter, failed_runs = 0;
    std::string first;
    for (int n = 1; n <= count; ++n) {
      sim::Sim sim;
      Outcome run = RunScript(sim, script, [&](sim::Sim& s) { mode.inject(s, n); });
      std::vector<std::string> problems = Problems(script, run, sim);
      if (!problems.empty() && failed_runs++ == 0) {
        first = "with " + std::string(mode.name) + " " + std::to_string(n) +
                " failing: " + problems.front();
      }
    }
    EXPECT_EQ(failed_runs, 0) << failed_runs << " of " << count << " runs went wrong, the first "
                              << first;
  }
}

INSTANTIATE_TEST_SUITE_P(All, Sweep, ::testing::ValuesIn(SweptScripts()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace scenarios
