// Whole commands on the simulated Windows, as a setup package runs them.
//
// A scenario is a file of this folder (*.scn): the machine in the language of
// sim/sim.h, added to the machine of base.machine; command lines, each after
// "> "; then "===" and the transcript the run must give: for every command
// its exit code, the virtual time it took, the log dialog with the log it
// showed, anything it left allocated or open, and every line of the machine
// it changed ("-" before, "+" after). A run that differs leaves its whole file, with the transcript
// it gave, in the build folder (ACTUAL_DIR); with UPDATE_SCENARIOS=1 it
// rewrites the scenario.
//
// Two lines steer the runner: "no-logs" leaves the logs out of the transcript
// and "sweep" puts the scenario into the fault sweeps.
//
// Fault sweeps: every scenario marked "sweep" is run once to count the calls
// that can fail and the allocations of its last command, then once for every
// N with the Nth of them failing, once and from then on. Whatever failed, a
// run must end without a leak or endless wait, within its time, with an exit
// code of its command, the spooler running unless the log says why not, no
// user's printer gone without a numbered error, no file of another program
// changed, the companion never registered by a bare name, and success
// reported only for what was done.
//
// Contract cases: the simulated Windows answers as the real platform does,
// where Wine does as Windows does: each case runs once on Wine's own calls
// and once on the model, and both must see the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "entry/dispatch.h"
#include "sim/sim.h"

namespace scenarios {
namespace {

using platform::SystemApi;

struct Script {
  std::string name, path;
  std::string head;                 // the file up to and with its "===" line
  std::vector<std::wstring> lines;  // machine lines and commands, in order
  std::string expected;             // the transcript after "==="
  bool sweep = false, logs = true;

  friend void PrintTo(const Script& script, std::ostream* out) { *out << script.name; }
};

// What a run gave. `exit`, `log` and `elapsed` are those of the last command.
struct Outcome {
  std::unique_ptr<sim::Sim> sim = sim::Sim::New();
  std::string transcript;
  uint32_t exit = 0;
  std::wstring log;
  uint64_t elapsed = 0;
  std::vector<std::wstring> before, after;  // the machine before and after the last command
  std::vector<std::string> leaks;
};

std::string Utf8(const std::wstring& text) {
  std::string narrow(text.size() * 3, '\0');
  int length =
      ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(),
                            static_cast<int>(narrow.size()), nullptr, nullptr);
  narrow.resize(static_cast<size_t>(std::max(length, 0)));
  return narrow;
}

std::wstring FromUtf8(const std::string& text) {
  std::wstring wide(text.size(), L'\0');
  int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                     wide.data(), static_cast<int>(wide.size()));
  wide.resize(static_cast<size_t>(std::max(length, 0)));
  return wide;
}

// The log as lines ending in LF; a line that did not end in CR LF is marked.
std::string LogLines(const std::wstring& log) {
  std::string lines;
  for (size_t start = 0; start < log.size();) {
    size_t end = log.find(L"\r\n", start);
    std::wstring line = log.substr(start, end - start);
    bool broken = end == std::wstring::npos || line.find_first_of(L"\r\n") != std::wstring::npos;
    lines += Utf8(line) + (broken ? " <- not a line ending in CR LF\n" : "\n");
    start = end == std::wstring::npos ? log.size() : end + 2;
  }
  return lines;
}

// "{setup}" in a command line is the setup package's window; "{0xNN}" the
// character of that code (a line of a scenario holds no line break).
std::string Command(sim::Sim& sim, std::wstring words, bool logs, Outcome& outcome) {
  for (size_t at = words.find(L'{'); at != std::wstring::npos; at = words.find(L'{', at + 1)) {
    if (words.compare(at, 7, L"{setup}") == 0) {
      words.replace(at, 7, L"131074");
    } else if (words.compare(at, 3, L"{0x") == 0) {
      words.replace(at, 6, 1, static_cast<wchar_t>(std::wcstoul(&words[at + 3], nullptr, 16)));
    }
  }
  sim.SetCommandLine(L"\"" + sim.Machine()[L"module"] + L"\" " + words);
  size_t dialogs = sim.dialogs.size();
  uint64_t start = sim.now;
  sim.failable = sim.allocations = 0;
  outcome.exit = static_cast<uint32_t>(entry::Run(reinterpret_cast<HINSTANCE>(0x140000000)));
  outcome.elapsed = sim.now - start;
  outcome.log.clear();
  std::string text =
      "exit " + std::to_string(outcome.exit) + ", " + std::to_string(outcome.elapsed) + " ms\n";
  for (size_t i = dialogs; i < sim.dialogs.size(); ++i) {
    const sim::DialogSeen& dialog = sim.dialogs[i];
    outcome.log = dialog.text;
    // The owner's title, "setup" for the setup package's window, "none" without one.
    sim::Object* owner = dialog.owner ? sim.Find(L"window", sim::Sim::Name(dialog.owner)) : nullptr;
    std::wstring title = owner != nullptr ? (*owner)[L"title"] : L"none";
    text += "dialog \"" + Utf8(dialog.title) +
            "\" owner=" + (title == L"Lumenquill Setup" ? "setup" : Utf8(title)) +
            " result=" + std::to_string(dialog.result) + "\n" + (logs ? LogLines(dialog.text) : "");
  }
  if (!sim.output.empty()) {  // read as UTF-16LE: the dialog's log, or shown in full
    std::wstring written(sim.output.size() / 2, L'\0');
    std::memcpy(written.data(), sim.output.data(), written.size() * sizeof(wchar_t));
    bool whole = sim.output.size() % 2 == 0;
    text += whole && written == outcome.log
                ? "stdout: the log above\n"
                : "stdout:\n" + LogLines(written) + (whole ? "" : "and an odd byte\n");
    sim.output.clear();
  }
  outcome.leaks = sim.Leaks();
  sim.violations.clear();
  for (const std::string& leak : outcome.leaks) {
    text += "leak: " + leak + "\n";
  }
  return text;
}

// The lines of `before` that `after` lacks, and the other way round, each
// line counted as often as it occurs.
std::string Changes(const std::vector<std::wstring>& before, std::vector<std::wstring> after) {
  std::string removed, added;
  for (const std::wstring& line : before) {
    auto found = std::find(after.begin(), after.end(), line);
    if (found == after.end()) {
      removed += "- " + Utf8(line) + "\n";
    } else {
      after.erase(found);
    }
  }
  for (const std::wstring& line : after) {
    added += "+ " + Utf8(line) + "\n";
  }
  return removed + added;
}

// A scenario file, or the machine every scenario's machine starts from
// (base.machine: the setup package's files, the spooler's own monitors, the
// keys the program opens, the setup package's window, a user's files that
// bear the product's names in the current directory, which no command may
// touch, and the DLL search as every command sets it, so that a transcript
// shows it only where a command leaves it otherwise).
Script Read(const std::filesystem::path& path) {
  Script script{path.stem().string(), path.string()};
  std::ifstream file(path, std::ios::binary);
  std::string line;
  while (std::getline(file, line)) {
    script.head += line + "\n";
    if (line == "===") {
      break;
    }
    script.sweep = script.sweep || line == "sweep";
    script.logs = script.logs && line != "no-logs";
    if (line != "sweep" && line != "no-logs") {
      script.lines.push_back(FromUtf8(line));
    }
  }
  script.expected.assign(std::istreambuf_iterator<char>(file), {});
  return script;
}

// The scenarios of this folder; with `swept`, only those marked "sweep".
std::vector<Script> Scripts(bool swept = false) {
  std::vector<Script> scripts;
  for (const auto& entry : std::filesystem::directory_iterator(SCENARIO_DIR)) {
    if (entry.path().extension() != ".scn") {
      continue;
    }
    Script script = Read(entry.path());
    if (script.sweep || !swept) {
      scripts.push_back(std::move(script));
    }
  }
  std::sort(scripts.begin(), scripts.end(),
            [](const Script& a, const Script& b) { return a.name < b.name; });
  return scripts;
}

void LoadBase(sim::Sim& sim) {
  static const Script base = Read(SCENARIO_DIR "/base.machine");
  for (const std::wstring& line : base.lines) {
    sim::Load(sim, line);
  }
}

// Runs a script on a machine of its own; `fault`, a machine line, is loaded
// just before its last command.
Outcome RunScript(const Script& script, const std::wstring& fault = {}) {
  Outcome outcome;
  sim::Sim& sim = *outcome.sim;
  platform::SystemScope scope(sim);
  LoadBase(sim);
  size_t last = 0;
  for (size_t i = 0; i < script.lines.size(); ++i) {
    last = script.lines[i].rfind(L"> ", 0) == 0 ? i : last;
  }
  for (size_t i = 0; i < script.lines.size(); ++i) {
    const std::wstring& line = script.lines[i];
    if (line.rfind(L"> ", 0) != 0) {
      if (!sim::Load(sim, line)) {
        outcome.transcript += "not a machine line: " + Utf8(line) + "\n";
      }
      continue;
    }
    if (i == last && !fault.empty()) {
      sim::Load(sim, fault);
    }
    outcome.before = sim::Dump(sim);
    outcome.transcript += Utf8(line) + "\n" + Command(sim, line.substr(2), script.logs, outcome);
    outcome.after = sim::Dump(sim);
    outcome.transcript += Changes(outcome.before, outcome.after);
  }
  return outcome;
}

class Scenario : public ::testing::TestWithParam<Script> {};

TEST_P(Scenario, GivesItsTranscript) {
  const Script& script = GetParam();
  std::string actual = RunScript(script).transcript;
  if (actual != script.expected) {
    const char* update = std::getenv("UPDATE_SCENARIOS");
    bool rewrite = update != nullptr && update[0] == '1';
    std::ofstream(rewrite ? script.path : ACTUAL_DIR "/" + script.name + ".scn", std::ios::binary)
        << script.head << actual;
  }
  EXPECT_EQ(script.expected, actual) << script.name << ".scn";
}

INSTANTIATE_TEST_SUITE_P(All, Scenario, ::testing::ValuesIn(Scripts()),
                         [](const auto& info) { return info.param.name; });

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

std::vector<std::string> Problems(const std::wstring& word, const Outcome& run) {
  sim::Sim& sim = *run.sim;
  std::vector<std::string> problems = run.leaks;
  bool install = word == L"IN" || word == L"INSTALL" || word == L"IN_NOTRAY";
  bool uninstall = word == L"UN" || word == L"UNINSTALL";
  std::map<std::wstring, std::vector<uint32_t>> codes = {
      {L"ONINIT", {200, 102, 3}}, {L"ONCHKDRV", {103, 3}}, {L"DEF.SET", {4}}, {L"", {6}}};
  std::vector<uint32_t> allowed = install     ? std::vector<uint32_t>{1, 100, 101}
                                  : uninstall ? std::vector<uint32_t>{2, 100, 101}
                                              : codes[codes.count(word) != 0 ? word : L""];
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
  Outcome clean = RunScript(script);
  ASSERT_EQ(Problems(word, clean), std::vector<std::string>{});
  // Each fault in the machine's own words, for N from 1 to the count.
  const std::pair<const wchar_t*, int> modes[] = {
      {L"fail \"*\" nth=%d", clean.sim->failable},
      {L"fail \"*\" times=-1 nth=%d", clean.sim->failable},
      {L"machine out-of-memory=%d", clean.sim->allocations},
      {L"machine out-of-memory-times=-1 out-of-memory=%d", clean.sim->allocations}};
  for (const auto& [fault, count] : modes) {
    int failed_runs = 0;
    std::string first;
    for (int n = 1; n <= count; ++n) {
      wchar_t line[64];
      std::swprintf(line, 64, fault, n);
      std::vector<std::string> problems = Problems(word, RunScript(script, line));
      if (!problems.empty() && failed_runs++ == 0) {
        first = Utf8(line) + ": " + problems.front();
      }
    }
    EXPECT_EQ(failed_runs, 0) << failed_runs << " of " << count << " runs went wrong, the first "
                              << first;
  }
}

INSTANTIATE_TEST_SUITE_P(All, Sweep, ::testing::ValuesIn(Scripts(true)),
                         [](const auto& info) { return info.param.name; });

// " N", appended rather than concatenated: GCC 12 at -O3 takes " " + text
// for an overlapping copy (-Wrestrict).
std::string Number(DWORD number) {
  return std::string(" ").append(std::to_string(number));
}

// A result and, when it failed, the error.
std::string Result(SystemApi& s, BOOL result) {
  return result ? " ok" : Number(s.GetLastError());
}

// Waits until the spooler is in `state`, then asks for it once more.
std::string Service(SystemApi& s) {
  SC_HANDLE manager = s.OpenSCManagerW(nullptr, nullptr, 0xF0001);
  SC_HANDLE spooler = s.OpenServiceW(manager, L"spooler", 0x34);
  SERVICE_STATUS status{};
  std::string seen;
  s.StartServiceW(spooler, 0, nullptr);
  for (DWORD state : {SERVICE_RUNNING, SERVICE_STOPPED, SERVICE_RUNNING}) {
    for (int i = 0;
         i < 100 && s.QueryServiceStatus(spooler, &status) && status.dwCurrentState != state; ++i) {
      s.Sleep(50);
    }
    seen += " state " + std::to_string(status.dwCurrentState);
    seen += Result(s, state == SERVICE_STOPPED ? s.StartServiceW(spooler, 0, nullptr)
                                               : s.ControlService(spooler, 1, &status));
  }
  return seen + Result(s, s.CloseServiceHandle(spooler)) + Result(s, s.CloseServiceHandle(manager));
}

std::string Spooler(SystemApi& s) {
  DWORD needed = 0, count = 0;
  std::string seen = Result(s, s.EnumMonitorsW(nullptr, 2, nullptr, 0, &needed, &count));
  std::string buffer(needed, '\0');
  seen += Result(s, s.EnumMonitorsW(nullptr, 2, reinterpret_cast<LPBYTE>(buffer.data()), needed,
                                    &needed, &count));
  seen += " first " + Utf8(reinterpret_cast<MONITOR_INFO_2W*>(buffer.data())->pName);
  seen += Result(s, s.EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &count));
  seen += Number(needed);
  seen += Result(s, s.GetPrinterDriverDirectoryW(nullptr, nullptr, 1, nullptr, 0, &needed));
  MONITOR_INFO_2W monitor{const_cast<LPWSTR>(L"Lumenquill:"), const_cast<LPWSTR>(L"Windows x64"),
                          const_cast<LPWSTR>(L"kvnmon64.dll")};
  for (int i = 0; i < 2; ++i) {
    seen += Result(s, s.AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&monitor)));
  }
  for (int i = 0; i < 2; ++i) {
    seen += Result(s, s.DeleteMonitorW(nullptr, nullptr, const_cast<LPWSTR>(L"Lumenquill:")));
  }
  HANDLE printer = nullptr;
  wchar_t name[8];
  DWORD size = 8;
  seen += Result(s, s.OpenPrinterW(const_cast<LPWSTR>(L"none"), &printer, nullptr)) +
          Result(s, s.GetDefaultPrinterW(name, &size));
  // A printer's data through a handle that is not a printer's.
  char value[] = "SubKey";
  BYTE data[8] = {};
  for (DWORD answer :
       {s.GetPrinterDataA(nullptr, value, nullptr, data, 8, &size),
        s.GetPrinterDataExA(nullptr, "PrinterDriverData", value, nullptr, data, 8, &size),
        s.SetPrinterDataA(nullptr, value, REG_SZ, data, 1),
        s.SetPrinterDataExA(nullptr, "PrinterDriverData", value, REG_SZ, data, 1)}) {
    seen += Number(answer);
  }
  return seen;
}

std::string Files(SystemApi& s) {
  const wchar_t* path = L"C:\\Users\\Me\\contract.tmp";
  HANDLE file = s.CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  std::string seen = Result(s, s.WriteFile(file, "version=2542", 12, &written, nullptr));
  seen += Result(s, s.DeleteFileW(path)) + Result(s, s.CloseHandle(file));
  seen += Result(s, s.DeleteFileW(L"C:\\Users\\Me\\none.tmp"));
  seen += Result(s, s.DeleteFileW(L"C:\\Users\\None\\none.tmp"));
  seen += Result(s, s.MoveFileExW(L"C:\\Users\\Me\\kvnmon64.dll", nullptr, 4));
  HKEY key = nullptr;
  s.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                  KEY_ALL_ACCESS, &key);
  DWORD type = 0, bytes = 0;
  s.RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, nullptr, &bytes);
  std::wstring queue(bytes / 2, L'\0');
  DWORD small = 2;
  seen += Number(s.RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr,
                                    reinterpret_cast<LPBYTE>(queue.data()), &small));
  s.RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr,
                     reinterpret_cast<LPBYTE>(queue.data()), &bytes);
  s.RegDeleteValueA(key, "PendingFileRenameOperations");
  s.RegCloseKey(key);
  std::replace(queue.begin(), queue.end(), L'\0', L'|');
  // A deletion through the handle of what a path names.
  HANDLE named = s.CreateFileW(L"C:\\Users\\Me\\named.tmp", GENERIC_WRITE | DELETE, 0, nullptr,
                               CREATE_ALWAYS, 0, nullptr);
  FILE_DISPOSITION_INFO disposition{TRUE};
  seen += Number(s.GetFinalPathNameByHandleW(named, nullptr, 0, 0));
  seen += Result(s, s.SetFileInformationByHandle(named, FileDispositionInfo, &disposition,
                                                 sizeof(disposition)));
  seen += Result(s, s.CloseHandle(named));
  seen += Result(s, s.GetFileAttributesW(L"C:\\Users\\Me\\named.tmp") != INVALID_FILE_ATTRIBUTES);
  HANDLE first = s.CreateMutexA(nullptr, FALSE, "contract"),
         second = s.CreateMutexA(nullptr, FALSE, "contract");
  seen +=
      Number(s.GetLastError()) + Result(s, s.CloseHandle(first)) + Result(s, s.CloseHandle(second));
  return seen + " type " + std::to_string(type) + " " + Utf8(queue);
}

TEST(Contract, TheModelAnswersAsWineDoes) {
  for (auto* run : {Service, Spooler, Files}) {
    ::CreateDirectoryW(L"C:\\Users\\Me", nullptr);
    ::CopyFileW(PAYLOAD_MONITOR, L"C:\\windows\\system32\\kvnmon64.dll", 0);
    std::string wine = run(platform::Sys());
    ::DeleteFileW(L"C:\\windows\\system32\\kvnmon64.dll");
    std::unique_ptr<sim::Sim> model = sim::Sim::New();
    platform::SystemScope scope(*model);
    LoadBase(*model);
    sim::Load(*model, LR"(file "C:\Windows\system32\kvnmon64.dll")");
    EXPECT_EQ(wine, run(*model));
  }
}

}  // namespace
}  // namespace scenarios
