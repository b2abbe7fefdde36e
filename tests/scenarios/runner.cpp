#include "scenarios/runner.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "entry/dispatch.h"

namespace scenarios {
namespace {

// What every scenario's machine has before its own lines: the setup
// package's files, the spooler's own monitors, the keys the program opens,
// the setup package's window, and a user's files that bear the product's
// names in the current directory, which no command may touch. The DLL
// search is preset as every command sets it (system32 alone), so that a
// transcript shows it only where a command leaves it otherwise.
constexpr const wchar_t* kBaseMachine[] = {
    LR"(file "C:\Program Files\Lumenquill\x64\install.exe" bytes=install)",
    LR"(file "C:\Program Files\Lumenquill\x64\kvnmon64.dll" bytes="monitor version=2542")",
    LR"(file "C:\Program Files\Lumenquill\x64\kvndrv64.dll" bytes="driver version=2542")",
    LR"(file "C:\Program Files\Lumenquill\x64\kvnui64.dll" bytes="ui version=2542")",
    LR"(file "C:\Program Files\Lumenquill\x64\kvnhelp.chm" bytes=help)",
    LR"(file "C:\Program Files\Lumenquill\lumtray.exe" bytes=tray)",
    LR"(file "C:\Users\Me\kvnmon64.dll" bytes="the user's own")",
    LR"(file "C:\Users\Me\lumtray.exe" bytes="the user's own")",
    LR"(dir "C:\Windows\system32\spool\DRIVERS\x64\3")",
    LR"(service "spooler" state=running)",
    LR"(monitor "Local Port" dll=localspl.dll ports=LPT1:,FILE:)",
    LR"(monitor "Standard TCP/IP Port" dll=tcpmon.dll ports=IP_10.0.0.9)",
    LR"(key "HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run")",
    LR"(key "HKLM\SYSTEM\CurrentControlSet\Control\Session Manager")",
    LR"(window "131074" class=#32770 title="Lumenquill Setup")",
    LR"(program "lumtray.exe" role=tray)",
    LR"(machine module="C:\Program Files\Lumenquill\x64\install.exe" system=C:\Windows\system32)",
    LR"(machine windows=6.2 ticks=1000000)",
    LR"(dll-search "2048")",
};

std::wstring FromUtf8(const std::string& text) {
  std::wstring wide(text.size(), L'\0');
  int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                     wide.data(), static_cast<int>(wide.size()));
  wide.resize(static_cast<size_t>(std::max(length, 0)));
  return wide;
}

// A window's title, "setup" for the setup package's, "none" without one.
std::string WindowName(sim::Sim& sim, HWND handle) {
  sim::Object* window = handle != nullptr ? sim.Find(L"window", sim::Sim::Name(handle)) : nullptr;
  std::wstring title = window != nullptr ? (*window)[L"title"] : L"none";
  return title == L"Lumenquill Setup" ? "setup" : Utf8(title);
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

std::string Command(sim::Sim& sim, std::wstring words, bool logs, Outcome& outcome) {
  if (words == L"restart") {
    sim.Restart();
    return "";
  }
  size_t setup = words.find(L"{setup}");
  if (setup != std::wstring::npos) {
    words.replace(setup, 7, L"131074");  // the setup package's window
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
    text += "dialog \"" + Utf8(dialog.title) + "\" owner=" + WindowName(sim, dialog.owner) +
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

}  // namespace

std::string Utf8(const std::wstring& text) {
  std::string narrow(text.size() * 3, '\0');
  int length =
      ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(),
                            static_cast<int>(narrow.size()), nullptr, nullptr);
  narrow.resize(static_cast<size_t>(std::max(length, 0)));
  return narrow;
}

void PrintTo(const Script& script, std::ostream* out) {
  *out << script.name;
}

std::vector<Script> Scripts() {
  std::vector<Script> scripts;
  for (const auto& entry : std::filesystem::directory_iterator(SCENARIO_DIR)) {
    if (entry.path().extension() != ".scn") {
      continue;
    }
    Script script{entry.path().stem().string(), entry.path().string()};
    std::ifstream file(entry.path(), std::ios::binary);
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
    std::stringstream rest;
    rest << file.rdbuf();
    script.expected = rest.str();
    scripts.push_back(script);
  }
  std::sort(scripts.begin(), scripts.end(),
            [](const Script& a, const Script& b) { return a.name < b.name; });
  return scripts;
}

Outcome RunScript(sim::Sim& sim, const Script& script,
                  const std::function<void(sim::Sim&)>& prepare) {
  platform::SystemScope scope(sim);
  Outcome outcome;
  for (const wchar_t* line : kBaseMachine) {
    sim::Load(sim, line);
  }
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
    if (i == last && prepare) {
      prepare(sim);
    }
    outcome.before = sim::Dump(sim);
    outcome.transcript += Utf8(line) + "\n" + Command(sim, line.substr(2), script.logs, outcome);
    outcome.after = sim::Dump(sim);
    outcome.transcript += Changes(outcome.before, outcome.after);
  }
  return outcome;
}

}  // namespace scenarios
