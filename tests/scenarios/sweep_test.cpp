// Fault sweeps: every scenario marked "sweep" is run once to count the calls
// that can fail and the allocations of its last command, then once for every
// N with the Nth of them failing, once and from then on. Whatever failed, a
// run must end without a leak or endless wait, within its time, with an exit
// code of its command, the spooler running unless the log says why not, no
// user's printer gone without a numbered error, no file of another program
// changed, the companion never registered by a bare name, and success
// reported only for what was done.
#include <gtest/gtest.h>

#include "scenarios/runner.h"

namespace scenarios {
namespace {

bool Has(const std::wstring& text, const wchar_t* part) {
  return text.find(part) != std::wstring::npos;
}

// The lines of a machine of one kind, by name, without what may change.
std::map<std::wstring, std::wstring> Objects(const std::vector<std::wstring>& machine,
                                             const wchar_t* kind, const wchar_t* cut) {
  std::map<std::wstring, std::wstring> objects;
  for (const std::wstring& line : machine) {
    if (line.rfind(kind, 0) == 0) {
      objects[line.substr(0, line.find(L'"', std::wcslen(kind) + 2))] =
          line.substr(0, line.find(cut));
    }
  }
  return objects;
}

// The product's own files: where it installs them, by their names.
bool IsProductFile(const std::wstring& name) {
  std::wstring path = sim::Fold(name.substr(6));  // after: file "
  std::wstring file = path.substr(path.rfind(L'\\') + 1);
  return (path.rfind(L"C:\\WINDOWS\\SYSTEM32\\", 0) == 0 && file.rfind(L"KVN", 0) == 0) ||
         path == L"C:\\PROGRAM FILES\\LUMENQUILL\\LUMTRAY.EXE";
}

// The strings of the restart queue as a machine shows it.
std::vector<std::wstring> Queue(const std::vector<std::wstring>& machine) {
  std::vector<std::wstring> strings;
  for (const std::wstring& line : machine) {
    if (line.find(L"|PendingFileRenameOperations\" multi") != std::wstring::npos) {
      std::vector<std::wstring> words = sim::Words(line);
      strings.insert(strings.end(), words.begin() + 3, words.end());
    }
  }
  return strings;
}

std::vector<std::string> Problems(const std::wstring& word, const Outcome& run, sim::Sim& sim) {
  std::vector<std::string> problems = run.leaks;
  bool install = word == L"IN" || word == L"INSTALL" || word == L"IN_NOTRAY";
  bool uninstall = word == L"UN" || word == L"UNINSTALL";
  std::map<std::wstring, std::vector<uint32_t>> codes = {
      {L"ONINIT", {200, 102, 3}}, {L"ONCHKDRV", {103, 3}}, {L"DEF.SET", {4}}};
  std::vector<uint32_t> allowed = install                  ? std::vector<uint32_t>{1, 100, 101}
                                  : uninstall              ? std::vector<uint32_t>{2, 100, 101}
                                  : codes.count(word) != 0 ? codes[word]
                                                           : std::vector<uint32_t>{6};
  bool unsplit = std::count(sim.failed.begin(), sim.failed.end(), "CommandLineToArgvW") != 0;
  if (std::count(allowed.begin(), allowed.end(), run.exit) == 0 && !(unsplit && run.exit == 6)) {
    problems.push_back("exit code " + std::to_string(run.exit));
  }
  if (run.elapsed > 300000) {
    problems.push_back("took " + std::to_string(run.elapsed) + " ms");
  }
  // A command with a session says in its log why it left the spooler stopped
  // (unless the log could not be shown); a probe has no log to say it in.
  bool start_failed = std::count(sim.failed.begin(), sim.failed.end(), "StartServiceW") != 0;
  if ((*sim.Find(L"service", L"spooler"))[L"state"] != L"running" && !Has(run.log, L"Error(4)") &&
      !(install || uninstall ? run.log.empty() : start_failed)) {
    problems.push_back("the spooler left stopped without error 4");
  }
  auto printers_before = Objects(run.before, L"printer", L" jobs=");
  auto printers_after = Objects(run.after, L"printer", L" jobs=");
  for (const auto& [name, line] : printers_before) {
    bool product = Has(line, L"driver=\"Lumenquill printer\"");
    if (printers_after.count(name) == 0 && (!product || (install && run.exit != 100))) {
      problems.push_back("a printer gone: " + Utf8(name));
    }
  }
  // Another program's file may go only when the queue holds its deletion.
  // The queue keeps every pair in its order but the deletions carried out
  // (each of which stays when its removal failed), and may end with the
  // product's own deletions.
  auto files_before = Objects(run.before, L"file", L" lock="),
       files_after = Objects(run.after, L"file", L" lock=");
  std::vector<std::wstring> queue = Queue(run.before), after = Queue(run.after);
  size_t next = 0;
  for (size_t i = 0; i + 1 < queue.size(); i += 2) {
    std::wstring file = L"file \"" + queue[i].substr(queue[i].rfind(L"\\??\\", 0) == 0 ? 4 : 0);
    bool carried_out = queue[i + 1].empty() && files_before.count(file) && !files_after.count(file);
    bool kept =
        next + 1 < after.size() && after[next] == queue[i] && after[next + 1] == queue[i + 1];
    next += kept ? 2 : 0;
    files_before.erase(carried_out ? file : L"");
    if (!kept && !carried_out) {
      problems.push_back("the restart queue lost " + Utf8(queue[i]));
    }
  }
  for (; next + 1 < after.size(); next += 2) {
    if (!after[next + 1].empty() || !IsProductFile(L"file \"" + after[next].substr(4))) {
      problems.push_back("the restart queue got " + Utf8(after[next]));
    }
  }
  for (const auto& [name, line] : files_before) {
    if (!IsProductFile(name) && files_after[name] != line) {
      problems.push_back("another program's file changed: " + Utf8(line));
    }
  }
  // An autostart value the command wrote names the companion by a full
  // path: log-on would look for a bare name anywhere.
  for (const std::wstring& line : run.after) {
    size_t value = line.find(L"|LumenquillTray\" sz \"");
    std::wstring path = value == std::wstring::npos ? L"" : line.substr(value + 21);
    path.erase(0, path.find_first_not_of(L'"'));
    if (value != std::wstring::npos && !sim::FullPath(path) &&
        std::count(run.before.begin(), run.before.end(), line) == 0) {
      problems.push_back("the companion registered without its folder: " + Utf8(line));
    }
  }
  bool monitor = false, driver = false, printer = false;
  for (const std::wstring& line : run.after) {
    monitor = monitor || line.rfind(L"monitor \"Lumenquill:\"", 0) == 0;
    driver = driver || line.rfind(L"driver \"Lumenquill printer\"", 0) == 0;
    printer = printer || (line.rfind(L"printer ", 0) == 0 && Has(line, L"Lumenquill printer"));
  }
  if ((run.exit == 1 && !(monitor && driver && printer)) ||
      (run.exit == 2 && (monitor || driver || printer))) {
    problems.push_back("success reported for what was not done");
  }
  return problems;
}

class Sweep : public ::testing::TestWithParam<Script> {};

TEST_P(Sweep, EveryFaultEndsWithinTheRules) {
  const Script& script = GetParam();
  std::wstring word = script.lines.back().substr(2);
  word = sim::Fold(word.substr(0, word.find(L' ')));
  std::unique_ptr<sim::Sim> clean = sim::Sim::New();
  ASSERT_EQ(Problems(word, RunScript(*clean, script), *clean), std::vector<std::string>{});
  // Each fault in the machine's own words, for N from 1 to the count.
  const std::pair<const wchar_t*, int> modes[] = {
      {L"fail \"*\" nth=%d", clean->failable},
      {L"fail \"*\" times=-1 nth=%d", clean->failable},
      {L"machine out-of-memory=%d", clean->allocations},
      {L"machine out-of-memory-times=-1 out-of-memory=%d", clean->allocations}};
  for (const auto& [fault, count] : modes) {
    int failed_runs = 0;
    std::string first;
    for (int n = 1; n <= count; ++n) {
      wchar_t line[64];
      std::swprintf(line, 64, fault, n);
      std::unique_ptr<sim::Sim> sim = sim::Sim::New();
      Outcome run = RunScript(*sim, script, [&](sim::Sim& s) { sim::Load(s, line); });
      std::vector<std::string> problems = Problems(word, run, *sim);
      if (!problems.empty() && failed_runs++ == 0) {
        first = Utf8(line) + ": " + problems.front();
      }
    }
    EXPECT_EQ(failed_runs, 0) << failed_runs << " of " << count << " runs went wrong, the first "
                              << first;
  }
}

std::vector<Script> SweptScripts() {
  std::vector<Script> swept = Scripts();
  std::erase_if(swept, [](const Script& script) { return !script.sweep; });
  return swept;
}

INSTANTIATE_TEST_SUITE_P(All, Sweep, ::testing::ValuesIn(SweptScripts()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace scenarios
