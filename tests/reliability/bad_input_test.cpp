// Bad input: command lines, restart-time queue values, printer names, port
// lists, comments, settings bindings and autostart values the program did
// not write, at and past the platform's limits, of the wrong type, and
// carrying printf directives. Random inputs come from fixed seeds, so every
// run tries the same ones. The corpus tables hold edge cases tried on every
// run whatever the generators make; an input that ever goes wrong is added
// there, so that it is tried for ever. (None of the random inputs has gone
// wrong so far.)
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "entry/dispatch.h"
#include "reliability/command_runs.h"
#include "services/pending_renames.h"
#include "support/scenario.h"

namespace reliability {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing_support::AddPrinter;
using testing_support::InstallProduct;

constexpr uint32_t kCommandLineSeed = 0x1C0FFEE;
constexpr int kCommandLines = 1000;
constexpr uint32_t kQueueSeed = 0x0DD0A7A;
constexpr int kQueueValues = 1500;
constexpr int kQueuesThatChangeSize = 200;
constexpr int kQueuesThroughCommands = 60;

// mt19937 is the same on every standard library; the reductions below are
// the test's own, so a seed always gives the same inputs.
class Random {
 public:
  explicit Random(uint32_t seed) : engine_(seed) {}
  uint32_t Below(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(engine_() % n); }
  bool OneIn(uint32_t n) { return Below(n) == 0; }
  template <typename T>
  const T& Pick(const std::vector<T>& items) {
    return items[Below(static_cast<uint32_t>(items.size()))];
  }

 private:
  std::mt19937 engine_;
};

// A machine on which a command word met at random can run: the setup
// package's files, a tray program, the log shown after every session.
void PrepareMachine(sim::SimWindows& sim) {
  testing_support::PutInstallerFiles(sim);
  testing_support::RegisterTrayProgram(sim);
  sim.shift_down = true;
}

std::string Describe(const std::wstring& text) {
  std::string shown = Utf8(text.substr(0, 120));
  return "\"" + shown +
         (text.size() > 120 ? "...\" (" + std::to_string(text.size()) + " chars)" : "\"");
}

// ---------------------------------------------------------------- command lines

// The window argument read as the platform reads a signed decimal, worked
// out on the digits as text: no arithmetic that could overflow.
int32_t ExpectedWindowNumber(const std::wstring& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == L' ' || (text[i] >= L'\t' && text[i] <= L'\r'))) {
    ++i;
  }
  bool negative = i < text.size() && text[i] == L'-';
  if (i < text.size() && (text[i] == L'-' || text[i] == L'+')) {
    ++i;
  }
  std::wstring digits;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    if (!digits.empty() || text[i] != L'0') {
      digits += text[i];
    }
  }
  const std::wstring limit = negative ? L"2147483648" : L"2147483647";
  if (digits.size() > limit.size() || (digits.size() == limit.size() && digits > limit)) {
    return negative ? INT32_MIN : INT32_MAX;
  }
  int64_t value = digits.empty() ? 0 : std::stoll(digits);
  return static_cast<int32_t>(negative ? -value : value);
}

std::wstring RandomUnits(Random& random, size_t length, wchar_t lowest, wchar_t highest) {
  std::wstring text;
  for (size_t i = 0; i < length; ++i) {
    text += static_cast<wchar_t>(lowest + random.Below(highest - lowest + 1));
  }
  return text;
}

std::wstring RandomArgument(Random& random) {
  static const std::vector<std::wstring> kWords = {
      L"in",        L"install",   L"serverinstall", L"in_notray",  L"un",
      L"uninstall", L"onInit",    L"onChkDrv",      L"removetray", L"def.set",
      L"DEF.SET",   L"def.set\t", L"installx",      L"uninstal",   L"\u0130N"};
  switch (random.Below(9)) {
    case 0: {  // a command word, its letters in any case, now and then cut or extended
      std::wstring word = random.Pick(kWords);
      for (wchar_t& c : word) {
        if (c >= L'a' && c <= L'z' && random.OneIn(3)) {
          c = static_cast<wchar_t>(c - 32);
        }
      }
      if (random.OneIn(6)) {
        word += RandomUnits(random, 1 + random.Below(3), L'!', L'~');
      }
      return word;
    }
    case 1:
      return RandomUnits(random, 1 + random.Below(20), L'!', L'~');
    case 2:  // any UTF-16 unit, unpaired surrogates included
      return RandomUnits(random, 1 + random.Below(40), 1, 0xFFFF);
    case 3:  // very long
      return RandomUnits(random, 1000 + random.Below(20000), L'0', L'z');
    case 4: {  // what a window number may look like
      std::wstring number = random.OneIn(2) ? L"" : std::wstring(random.Below(4), L' ');
      if (random.OneIn(2)) {
        number += random.OneIn(2) ? L"-" : L"+";
      }
      number += RandomUnits(random, 1 + random.Below(30), L'0', L'9');
      if (random.OneIn(3)) {
        number += RandomUnits(random, 1 + random.Below(5), L'!', L'~');
      }
      return number;
    }
    case 5: {  // quotes and backslashes in every arrangement
      static const std::vector<std::wstring> kPieces = {L"\"", L"\\", L"\\\"",   L"\"\"",   L" ",
                                                        L"\t", L"a",  L"\\\\\"", L"\"\"\"", L"x y"};
      std::wstring soup;
      for (uint32_t i = 1 + random.Below(12); i > 0; --i) {
        soup += random.Pick(kPieces);
      }
      return soup;
    }
    case 6:
      return L"\"\"";
    case 7: {
      // Arguments are drawn one after the other: the order of the draws
      // must not depend on how a compiler orders a call's arguments.
      uint32_t blanks = 1 + random.Below(3);
      return std::wstring(blanks, random.OneIn(2) ? L' ' : L'\t');
    }
    default:
      return L"\"" + RandomUnits(random, random.Below(30), L' ', L'~') + L"\"";
  }
}

std::wstring RandomArguments(Random& random) {
  uint32_t count = random.OneIn(10) ? 20 + random.Below(600) : random.Below(5);
  std::wstring line;
  for (uint32_t i = 0; i < count && line.size() < 30000; ++i) {
    line += RandomArgument(random);
    uint32_t blanks = 1 + random.Below(2);
    line += std::wstring(blanks, random.OneIn(4) ? L'\t' : L' ');
  }
  return line.substr(0, 32000);  // the platform's longest command line is 32767
}

// Edge cases of the splitting rules and of the window number.
const std::vector<std::wstring>& CommandLineCorpus() {
  static const std::vector<std::wstring> corpus = {
      L"",
      L"install \"",
      L"\"un\"install",
      L"removetray 99999999999999999999999999",
      L"def.set -2147483649",
  };
  return corpus;
}

// What the inputs of a test were like, shown with its result.
struct Tally {
  int commands = 0, many_arguments = 0, long_lines = 0, window_numbers = 0;
};

void CheckCommandLine(const std::wstring& arguments, std::vector<std::string>& problems,
                      Tally& tally) {
  Machine machine;
  sim::SimWindows& sim = machine.sim();
  PrepareMachine(sim);
  std::wstring line = L"\"" + sim.module_path + L"\" " + arguments;
  // The model splits lines with the platform's own rules: so do we.
  int count = 0;
  LPWSTR* split = ::CommandLineToArgvW(line.c_str(), &count);
  std::vector<std::wstring> words;
  for (int i = 0; split != nullptr && i < count; ++i) {
    words.push_back(split[i]);
  }
  ::LocalFree(split);
  std::wstring word = words.size() >= 2 ? words[1] : L"";
  tally.commands += NamesACommand(word) ? 1 : 0;
  tally.many_arguments += words.size() > 20 ? 1 : 0;
  tally.long_lines += arguments.size() > 1000 ? 1 : 0;
  tally.window_numbers += words.size() == 3 ? 1 : 0;

  sim.calls.clear();
  Outcome outcome = RunAndTake(machine, arguments);
  std::vector<std::string> found = CheckOutcome(word, outcome);
  if (!NamesACommand(word)) {
    for (const std::string& call : sim.calls) {
      std::string name = call.substr(0, call.find('('));
      if (name != "SetDefaultDllDirectories" && name != "GetCommandLineW" &&
          name != "CommandLineToArgvW" && name != "LocalFree" && name != "IsWindow") {
        found.push_back("no command word, yet " + name + " was called");
        break;
      }
    }
  }
  for (size_t i = 1; i < words.size(); ++i) {
    int32_t read = entry::ParseWindowNumber(words[i].c_str());
    if (read != ExpectedWindowNumber(words[i])) {
      found.push_back("argument " + Describe(words[i]) + " read as window " + std::to_string(read));
    }
  }
  for (const std::string& problem : found) {
    problems.push_back(Describe(arguments) + ": " + problem);
  }
}

TEST(BadCommandLines, RandomLinesRunOnlyTheCommandTheirWordNames) {
  std::vector<std::string> problems;
  Tally tally;
  for (const std::wstring& arguments : CommandLineCorpus()) {
    CheckCommandLine(arguments, problems, tally);
  }
  Random random(kCommandLineSeed);
  for (int i = 0; i < kCommandLines; ++i) {
    CheckCommandLine(RandomArguments(random), problems, tally);
  }
  EXPECT_THAT(problems, IsEmpty());
  // The generator must reach every kind of line it is meant to make.
  EXPECT_GT(tally.commands, kCommandLines / 20);
  EXPECT_GT(tally.many_arguments, kCommandLines / 40);
  EXPECT_GT(tally.long_lines, kCommandLines / 20);
  EXPECT_GT(tally.window_numbers, kCommandLines / 20);
  std::printf(
      "[ inputs   ] %zu corpus and %d random command lines: %d named a command, %d had "
      "more than 20 arguments, %d were over 1000 characters, %d had a window argument\n",
      CommandLineCorpus().size(), kCommandLines, tally.commands, tally.many_arguments,
      tally.long_lines, tally.window_numbers);
}

// ---------------------------------------------------------------- restart-time queue

constexpr wchar_t kQueueDirectory[] = L"C:\\Queue\\";

struct ExpectedTable {
  std::vector<std::optional<std::wstring>> names;
  std::vector<uint32_t> flags;
};

bool IsFile(sim::SimWindows& sim, const std::wstring& path) {
  return sim.fs.Find(path) != nullptr && !sim.fs.DirectoryExists(path);
}

std::wstring PathOf(const std::wstring& entry) {
  return entry.rfind(L"\\??\\", 0) == 0 ? entry.substr(4) : entry;
}

// Only a drive or UNC path names a file wherever the program runs.
bool IsFullPath(const std::wstring& path) {
  bool letter = path.size() >= 3 &&
                ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'));
  bool drive = letter && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/');
  return drive || path.rfind(L"\\\\", 0) == 0;
}

// The table the queue's raw bytes must give: the characters before the
// value's final terminator, split at each zero; a last string without a
// terminator ends with the data; an odd last byte is no character.
ExpectedTable ParseQueue(sim::SimWindows& sim, const std::string& bytes) {
  std::wstring chars(bytes.size() / 2, L'\0');
  std::memcpy(chars.data(), bytes.data(), chars.size() * sizeof(wchar_t));
  int64_t limit = (static_cast<int64_t>(bytes.size()) - 2) / 2;
  std::vector<std::wstring> strings;
  int64_t position = 0;
  while (position < limit) {
    size_t end = chars.find(L'\0', static_cast<size_t>(position));
    if (end == std::wstring::npos) {
      end = chars.size();
    }
    strings.push_back(chars.substr(static_cast<size_t>(position), end - position));
    position = static_cast<int64_t>(end) + 1;
  }
  ExpectedTable table;
  for (size_t i = 0; i < strings.size() / 2 * 2; ++i) {
    if (strings[i].empty()) {
      table.names.push_back(std::nullopt);
      table.flags.push_back(0);
    } else {
      table.names.push_back(strings[i]);
      std::wstring path = PathOf(strings[i]);
      table.flags.push_back(IsFullPath(path) && IsFile(sim, path) ? 1 : 0);
    }
  }
  return table;
}

// Files the queue may name: some there, one a directory, one held open by
// another program, some gone, and one in the current directory that only a
// relative name reaches.
std::vector<std::wstring> PlaceQueueFiles(sim::SimWindows& sim) {
  std::wstring d = kQueueDirectory;
  for (const wchar_t* name : {L"a.dll", L"kvnmon64.dll", L"KVNUI64.DLL", L"b.tmp"}) {
    sim.fs.Put(d + name, "x");
  }
  sim.fs.Put(d + L"locked.dll", "x").image_locks.insert("explorer");
  sim.fs.MakeDirectory(d + L"folder");
  sim.fs.Put(sim.fs.current_directory + L"\\kvndrv64.dll", "the current directory's");
  return {d + L"a.dll",    d + L"kvnmon64.dll",        d + L"KVNUI64.DLL",
          d + L"b.tmp",    d + L"locked.dll",          d + L"folder",
          d + L"gone.dll", d + L"kvndrv64.dll",        L"C:\\no\\such\\dir\\x.dll",
          L"kvndrv64.dll", L"\\\\server\\share\\x.dll"};
}

std::string RandomQueueBytes(Random& random, const std::vector<std::wstring>& paths) {
  std::wstring chars;
  for (uint32_t i = random.Below(9); i > 0; --i) {
    switch (random.Below(6)) {
      case 0:
        break;  // an empty string
      case 1:
      case 2:
        chars += L"\\??\\" + random.Pick(paths);
        break;
      case 3:
        chars += (random.OneIn(2) ? L"!\\??\\" : L"") + random.Pick(paths);
        break;
      case 4:
        chars += RandomUnits(random, random.Below(30), 1, 0xFFFF);
        break;
      default:
        chars += L"\\??\\C:\\" + RandomUnits(random, 200 + random.Below(2000), L'a', L'z');
        break;
    }
    chars += L'\0';
  }
  if (random.OneIn(2)) {
    chars += L'\0';  // the list's own terminator
  }
  std::string bytes(reinterpret_cast<const char*>(chars.data()), chars.size() * sizeof(wchar_t));
  if (random.OneIn(3)) {
    bytes.resize(random.Below(static_cast<uint32_t>(bytes.size()) + 1));  // cut anywhere
  }
  if (random.OneIn(4)) {
    bytes.push_back(static_cast<char>(random.Below(256)));  // an odd byte count
  }
  return bytes;
}

DWORD RandomQueueType(Random& random) {
  static const std::vector<DWORD> kTypes = {REG_MULTI_SZ,  REG_MULTI_SZ, REG_MULTI_SZ, REG_SZ,
                                            REG_EXPAND_SZ, REG_BINARY,   REG_DWORD,    REG_NONE};
  return random.Pick(kTypes);
}

std::string RawWide(const std::wstring& text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

// Raw values at the edges of the parse (nothing, half a character, one
// character, an empty string followed by an odd byte, a list without its
// closing zero), and values that once went wrong.
const std::vector<std::string>& QueueCorpus() {
  static const std::vector<std::string> corpus = {
      std::string(),
      std::string(1, '\0'),
      std::string("\\\0", 2),
      std::string("a\0\0\0b", 5),
      std::string("a\0\0\0b\0\0\0", 8),
      // Once deleted the file of that name in the current directory.
      RawWide(std::wstring(L"kvndrv64.dll\0\0\0", 15)),
      RawWide(std::wstring(L"\\??\\kvndrv64.dll\0\0\0", 19)),
  };
  return corpus;
}

std::vector<std::string> CompareTable(const services::PendingRenameTable& table,
                                      const ExpectedTable& expected) {
  std::vector<std::string> problems;
  if (table.count * 2 != expected.names.size()) {
    problems.push_back(std::to_string(table.count) + " pairs, expected " +
                       std::to_string(expected.names.size() / 2));
    return problems;
  }
  for (size_t i = 0; i < expected.names.size(); ++i) {
    const wchar_t* name = table.names[i];
    if (expected.names[i].has_value() != (name != nullptr) ||
        (name != nullptr && *expected.names[i] != name)) {
      problems.push_back("entry " + std::to_string(i) + " is " +
                         (name != nullptr ? Describe(name) : std::string("null")) + ", expected " +
                         (expected.names[i] ? Describe(*expected.names[i]) : std::string("null")));
    }
    if (table.flags[i] != expected.flags[i]) {
      problems.push_back("flag " + std::to_string(i) + " is " + std::to_string(table.flags[i]));
    }
  }
  return problems;
}

// Loads the queue (changed to `second` between the two reads when given),
// compares the table with what the bytes must give, purges, and checks that
// exactly the queued deletions of deletable files went.
std::vector<std::string> CheckQueue(const std::string& bytes, DWORD type,
                                    const std::optional<std::string>& second) {
  Machine machine;
  sim::SimWindows& sim = machine.sim();
  std::vector<std::wstring> paths = PlaceQueueFiles(sim);
  sim.registry.Set(sim::kSessionManagerKey, sim::kPendingRenamesValue, sim::RegValue{type, bytes});
  if (second) {
    sim.before_call["RegQueryValueExW"] = [&sim, &second, type](int call) {
      if (call == 2) {
        sim.registry.Set(sim::kSessionManagerKey, sim::kPendingRenamesValue,
                         sim::RegValue{type, *second});
      }
    };
  }
  // A value that grew between the reads is not read at all.
  ExpectedTable expected;
  if (!second) {
    expected = ParseQueue(sim, bytes);
  } else if (second->size() <= bytes.size()) {
    expected = ParseQueue(sim, *second);
  }
  services::PendingRenameTable table = services::LoadPendingRenameTable();
  std::vector<std::string> problems = CompareTable(table, expected);
  if (problems.empty()) {
    // The purge deletes exactly the queued deletions of files it may delete.
    std::set<std::wstring> deletable;
    for (size_t pair = 0; pair < expected.names.size() / 2; ++pair) {
      const auto& source = expected.names[2 * pair];
      if (expected.flags[2 * pair] != 0 && !expected.names[2 * pair + 1] &&
          sim.fs.Find(PathOf(*source))->image_locks.empty()) {
        deletable.insert(sim.fs.Key(PathOf(*source)));
      }
    }
    std::vector<std::wstring> files;
    for (const std::wstring& path : paths) {
      if (IsFile(sim, path)) {
        files.push_back(path);
      }
    }
    services::PurgePendingRenameDeletes(table);
    for (const std::wstring& path : files) {
      bool gone = !sim.fs.Exists(path);
      if (gone != (deletable.count(sim.fs.Key(path)) != 0)) {
        problems.push_back(Utf8(path) + (gone ? " was deleted" : " was not deleted"));
      }
    }
  }
  services::FreePendingRenameTable(table);
  for (const std::string& leak : sim.Leaks()) {
    problems.push_back(leak);
  }
  return problems;
}

TEST(BadQueueValues, EveryValueIsParsedOnlyAsFarAsItsDataGoes) {
  std::vector<std::string> problems;
  auto check = [&](const std::string& bytes, DWORD type, const std::optional<std::string>& second,
                   const std::string& what) {
    for (const std::string& problem : CheckQueue(bytes, type, second)) {
      problems.push_back(what + ", " + std::to_string(bytes.size()) + " bytes of type " +
                         std::to_string(type) + ": " + problem);
    }
  };
  for (const std::string& bytes : QueueCorpus()) {
    check(bytes, REG_MULTI_SZ, std::nullopt, "corpus");
  }
  Random random(kQueueSeed);
  std::vector<std::wstring> paths;
  {
    sim::SimWindows names;
    paths = PlaceQueueFiles(names);
  }
  int odd = 0, unterminated = 0, grown = 0, shrunk = 0;
  for (int i = 0; i < kQueueValues; ++i) {
    std::string bytes = RandomQueueBytes(random, paths);
    odd += bytes.size() % 2;
    unterminated +=
        bytes.size() < 4 || bytes.compare(bytes.size() - 4, 4, std::string(4, '\0')) ? 1 : 0;
    check(bytes, RandomQueueType(random), std::nullopt, "value " + std::to_string(i));
  }
  for (int i = 0; i < kQueuesThatChangeSize; ++i) {
    std::string first = RandomQueueBytes(random, paths);
    std::string second = RandomQueueBytes(random, paths);
    grown += second.size() > first.size() ? 1 : 0;
    shrunk += second.size() < first.size() ? 1 : 0;
    check(first, REG_MULTI_SZ, second, "changing value " + std::to_string(i));
  }
  EXPECT_THAT(problems, IsEmpty());
  EXPECT_GT(odd, kQueueValues / 10);
  EXPECT_GT(unterminated, kQueueValues / 10);
  EXPECT_GT(grown, kQueuesThatChangeSize / 10);
  EXPECT_GT(shrunk, kQueuesThatChangeSize / 10);
  std::printf(
      "[ inputs   ] %zu corpus and %d random queue values (%d of an odd byte count, %d "
      "without the closing pair of zeros), %d that changed size between the reads (%d "
      "grew, %d shrank)\n",
      QueueCorpus().size(), kQueueValues, odd, unterminated, kQueuesThatChangeSize, grown, shrunk);
}

// The same values met by the commands that read the queue.
TEST(BadQueueValues, CommandsThatReadTheQueueStayWithinTheirRules) {
  Random random(kQueueSeed + 1);
  std::vector<std::string> problems;
  for (int i = 0; i < kQueuesThroughCommands; ++i) {
    Machine machine;
    sim::SimWindows& sim = machine.sim();
    PrepareMachine(sim);
    std::vector<std::wstring> paths = PlaceQueueFiles(sim);
    sim.registry.Set(sim::kSessionManagerKey, sim::kPendingRenamesValue,
                     sim::RegValue{RandomQueueType(random), RandomQueueBytes(random, paths)});
    const wchar_t* word = i % 3 == 0 ? L"install" : L"onInit";
    for (const std::string& problem : CheckOutcome(word, RunAndTake(machine, word))) {
      problems.push_back("queue " + std::to_string(i) + ": " + problem);
    }
  }
  EXPECT_THAT(problems, IsEmpty());
}

// ---------------------------------------------------------------- printer names, ports, comments

TEST(BadPrinterRecords, NamesAndCommentsAtAndPastTheLimitsComeBackOrAreNumberedErrors) {
  const struct {
    const char* name;
    std::wstring printer;
    std::wstring comment;
    bool recreated;
  } cases[] = {
      {"a one-letter name", L"P", L"", true},
      {"a name of 259 characters", std::wstring(259, L'n'), L"c", true},
      {"a name of 260 characters", std::wstring(260, L'n'), L"c", true},
      {"a name of 261 characters", std::wstring(261, L'n'), L"c", false},
      {"a name longer than a log line", std::wstring(1500, L'n'), L"c", false},
      {"a name with a comma", L"a,b", L"c", false},
      {"a name with a backslash", L"a\\b", L"c", false},
      {"a comment of 256 characters", L"P", std::wstring(256, L'c'), true},
      {"a comment of 10000 characters", L"P", std::wstring(10000, L'c'), true},
      {"characters outside the code page", L"\u4E2D\u6587 \U0001F5A8", L"\u00E9\u00E8", true},
  };
  for (const auto& c : cases) {
    Machine machine;
    sim::SimWindows& sim = machine.sim();
    PrepareMachine(sim);
    InstallProduct(sim, 2542, {});
    sim::Printer& printer = AddPrinter(sim, c.printer, L"Lumenquill printer", L"Lumenquill:", "k");
    printer.comment = c.comment;
    printer.location = L"room " + c.comment.substr(0, 300);
    Outcome outcome = RunAndTake(machine, L"install");
    EXPECT_THAT(CheckOutcome(L"install", outcome), IsEmpty()) << c.name;
    EXPECT_THAT(LogLineProblems(outcome.log), IsEmpty()) << c.name;
    const sim::Printer* now = sim.spooler.FindPrinter(c.printer);
    ASSERT_EQ(now != nullptr, c.recreated) << c.name;
    if (c.recreated) {
      EXPECT_EQ(now->comment, c.comment) << c.name;
      EXPECT_EQ(now->location, L"room " + c.comment.substr(0, 300)) << c.name;
      EXPECT_EQ(outcome.exit, entry::ExitCode::kInstalled) << c.name;
    } else {
      std::wstring line = L"Error(15): Can`t add printer '" + c.printer;
      EXPECT_THAT(outcome.log, HasSubstr(line.substr(0, 1000))) << c.name;
      EXPECT_EQ(outcome.exit, entry::ExitCode::kErrors) << c.name;
    }
  }
}

// Another product's printer on our port while the monitor is replaced: its
// port list is switched to "file:" and back, and must end as it began.
TEST(BadPrinterRecords, PortListsAtAndPastTheLimitsEndAsTheyBegan) {
  std::wstring many;
  for (int i = 0; i < 900; ++i) {
    many += L"LPT1:,";
  }
  const struct {
    const char* name;
    std::wstring ports;
    bool kept;  // else changed, and only with an error reported
  } cases[] = {
      {"the product's port alone", L"Lumenquill:", true},
      {"in the middle", L"LPT1:,Lumenquill:,COM1:", true},
      {"at the end of a long list", many + L"Lumenquill:", true},
      {"at the start of a long list", L"Lumenquill:," + many + L"NUL:", true},
      {"after a file port", L"FILE:,Lumenquill:", true},
      {"with blanks", L"LPT1:, Lumenquill:", true},
      {"twice", L"Lumenquill:,Lumenquill:", false},
  };
  for (const auto& c : cases) {
    Machine machine;
    sim::SimWindows& sim = machine.sim();
    PrepareMachine(sim);
    InstallProduct(sim, 2000, {});
    testing_support::InstallOtherDriver(sim, L"Office Laser");
    AddPrinter(sim, L"Shared", L"Office Laser", c.ports);
    Outcome outcome = RunAndTake(machine, L"install");
    EXPECT_THAT(CheckOutcome(L"install", outcome), IsEmpty()) << c.name;
    EXPECT_THAT(LogLineProblems(outcome.log), IsEmpty()) << c.name;
    const std::wstring& now = sim.spooler.FindPrinter(L"Shared")->port;
    if (c.kept) {
      EXPECT_EQ(now, c.ports) << c.name;
      EXPECT_EQ(outcome.exit, entry::ExitCode::kInstalled) << c.name;
    } else {
      EXPECT_EQ(outcome.exit, entry::ExitCode::kErrors) << c.name << ": changed silently";
    }
  }
}

// ---------------------------------------------------------------- printf directives

// Text from the system goes into the log as an argument, never as a format:
// every directive shows as written, and none reads or writes anything.
TEST(BadPrinterRecords, PrintfDirectivesInSystemTextsShowVerbatim) {
  const std::wstring root = L"C:\\Windows\\system32\\spool\\100%s%n%x";
  const std::wstring settings = L"HKCU\\Software\\Korvane Software KFT\\Lumenquill\\Lumenquills\\";
  const struct {
    const char* name;
    std::function<void(sim::SimWindows&)> arrange;
    std::vector<std::wstring> lines;
    std::function<bool(sim::SimWindows&)> after;
  } cases[] = {
      {"names of printers, monitors, drivers and directories",
       [&](sim::SimWindows& sim) {
         InstallProduct(sim, 2000, {{L"100%s%n%x", "k%s%n"}});
         sim.registry.Set(settings + L"k%s%n", L"deleted",
                          sim::RegValue{REG_DWORD, std::string("\1\0\0\0", 4)});
         sim.spooler.monitors.push_back({L"%s%n%x monitor", sim::kEnvX64, L"pct.dll", {}});
         testing_support::InstallOtherDriver(sim, L"%n%s driver");
         sim.spooler.drivers_root = root;
         sim.fs.MakeDirectory(root + L"\\x64\\3");
       },
       {L">DeletePrinter(100%s%n%x)\r\n", L". %s%n%x monitor\r\n", L". %n%s driver\r\n",
        L"PrinterDriverDirectory(1):" + root + L"\\x64\r\n",
        L">CopyFile kvndrv64.dll to " + root + L"\\x64\\ [1])\r\n", L">AddPrinter(100%s%n%x)\r\n"},
       [&](sim::SimWindows& sim) {
         // The binding, directives and all, named the key whose mark it cleared.
         return sim.spooler.FindPrinter(L"100%s%n%x") != nullptr &&
                sim.registry.Get(settings + L"k%s%n", L"deleted") == nullptr;
       }},
      {"a printer name in an error",
       [](sim::SimWindows& sim) {
         InstallProduct(sim, 2542, {{L"100%s%n%x", "k"}});
         sim.FailCall("AddPrinterW", 1, ERROR_UNKNOWN_PRINTER_DRIVER);
         sim.messages[ERROR_UNKNOWN_PRINTER_DRIVER] = L"driver 100%s%n%x unknown\r\n";
       },
       {L"Error(15): Can`t add printer '100%s%n%x' - (driver 100%s%n%x unknown)\r\n"},
       [](sim::SimWindows& sim) { return sim.spooler.FindPrinter(L"Lumenquill") != nullptr; }},
      {"a destination path in an error",
       [&](sim::SimWindows& sim) {
         sim.spooler.drivers_root = root;
         sim.fs.MakeDirectory(root + L"\\x64\\3");
         sim.fs.Put(root + L"\\x64\\kvndrv64.dll").attributes = FILE_ATTRIBUTE_READONLY;
       },
       {L"Error(9): Cant't open destination file: " + root +
        L"\\x64\\kvndrv64.dll - (Access is denied.)\r\n"},
       [](sim::SimWindows&) { return true; }},
      {"system texts of errors",
       [](sim::SimWindows& sim) {
         sim.FailCall("OpenServiceW", 1, ERROR_ACCESS_DENIED);
         sim.messages[ERROR_ACCESS_DENIED] = L"Access %s%n%x denied.\r\n";
         sim.FailCall("EnumMonitorsW", 1, RPC_S_SERVER_UNAVAILABLE);
         sim.messages[RPC_S_SERVER_UNAVAILABLE] = L"RPC %n%s%x%p down\r\n";
       },
       {L"Error(2): Can't open the spooler - (Access %s%n%x denied.)\r\n",
        L"2. EnumMonitors  failed with code: RPC %n%s%x%p down\r\n"},
       [](sim::SimWindows&) { return true; }},
  };
  for (const auto& c : cases) {
    Machine machine;
    sim::SimWindows& sim = machine.sim();
    PrepareMachine(sim);
    c.arrange(sim);
    Outcome outcome = RunAndTake(machine, L"install");
    EXPECT_THAT(CheckOutcome(L"install", outcome), IsEmpty()) << c.name;
    for (const std::wstring& line : c.lines) {
      EXPECT_THAT(outcome.log, HasSubstr(line)) << c.name;
    }
    EXPECT_TRUE(c.after(sim)) << c.name;
  }
}

// ---------------------------------------------------------------- settings bindings

sim::RegValue Narrowed(DWORD type, const std::string& narrow) {
  // The spooler keeps strings wide; the "A" calls hand them out narrowed.
  if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
    std::wstring wide(narrow.begin(), narrow.end());
    return sim::RegValue{type, std::string(reinterpret_cast<const char*>(wide.data()),
                                           wide.size() * sizeof(wchar_t))};
  }
  return sim::RegValue{type, narrow};
}

TEST(BadBindings, OnlyATerminatedTextOfAtMost63CharactersIsCarriedOver) {
  const std::string k63(63, 'k'), k64(64, 'k'), k1000(1000, 'k');
  const struct {
    const char* name;
    std::optional<sim::RegValue> plain, user;
    std::string carried;  // empty: the printer is not re-created
  } cases[] = {
      {"63 characters", Narrowed(REG_SZ, k63 + '\0'), std::nullopt, k63},
      {"64 characters", Narrowed(REG_SZ, k64 + '\0'), std::nullopt, ""},
      {"1000 characters", Narrowed(REG_SZ, k1000 + '\0'), std::nullopt, ""},
      {"63 characters without a terminator", Narrowed(REG_SZ, k63), std::nullopt, ""},
      {"64 characters without a terminator", Narrowed(REG_SZ, k64), std::nullopt, ""},
      {"an empty text", Narrowed(REG_SZ, std::string(1, '\0')), std::nullopt, ""},
      {"no bytes at all", sim::RegValue{REG_SZ, ""}, std::nullopt, ""},
      {"a number", sim::RegValue{REG_DWORD, std::string("\7\0\0\0", 4)}, std::nullopt, ""},
      {"binary bytes", sim::RegValue{REG_BINARY, "abc\0"}, std::nullopt, ""},
      {"an expandable text", Narrowed(REG_EXPAND_SZ, "x\0"), std::nullopt, ""},
      {"a list of texts", Narrowed(REG_MULTI_SZ, std::string("a\0b\0\0", 5)), std::nullopt, ""},
      {"too long, but right under DsUser", Narrowed(REG_SZ, k64 + '\0'),
       Narrowed(REG_SZ, k63 + '\0'), k63},
      {"a number, but a text under DsUser", sim::RegValue{REG_DWORD, std::string(4, '\0')},
       Narrowed(REG_SZ, std::string("ds\0", 3)), "ds"},
      {"printf directives", Narrowed(REG_SZ, std::string("%s%n%x%s\0", 9)), std::nullopt,
       "%s%n%x%s"},
  };
  for (const auto& c : cases) {
    Machine machine;
    sim::SimWindows& sim = machine.sim();
    PrepareMachine(sim);
    InstallProduct(sim, 2542, {});
    sim::Printer& printer = AddPrinter(sim, L"P", L"Lumenquill printer", L"Lumenquill:");
    if (c.plain) {
      printer.SetData(L"PrinterDriverData", L"SubKey", *c.plain);
    }
    if (c.user) {
      printer.SetData(L"DsUser", L"SubKey", *c.user);
    }
    Outcome outcome = RunAndTake(machine, L"install");
    Allowances allowances;
    allowances.unbound_printers_go = c.carried.empty();
    EXPECT_THAT(CheckOutcome(L"install", outcome, allowances), IsEmpty()) << c.name;
    EXPECT_EQ(outcome.exit, entry::ExitCode::kInstalled) << c.name;
    const sim::Printer* now = sim.spooler.FindPrinter(L"P");
    ASSERT_EQ(now != nullptr, !c.carried.empty()) << c.name;
    if (now != nullptr) {
      std::wstring expected = std::wstring(c.carried.begin(), c.carried.end()) + L'\0';
      for (const wchar_t* key : {L"PrinterDriverData", L"DsUser"}) {
        const sim::RegValue* written = now->Data(key, L"SubKey");
        ASSERT_NE(written, nullptr) << c.name;
        EXPECT_EQ(written->data, std::string(reinterpret_cast<const char*>(expected.data()),
                                             expected.size() * sizeof(wchar_t)))
            << c.name;
      }
    } else {
      EXPECT_NE(sim.spooler.FindPrinter(L"Lumenquill"), nullptr) << c.name << ": the fallback";
    }
  }
}

// ---------------------------------------------------------------- autostart value

std::string WideBytes(const std::wstring& text, bool terminated) {
  std::string bytes(reinterpret_cast<const char*>(text.c_str()),
                    (text.size() + (terminated ? 1 : 0)) * sizeof(wchar_t));
  return bytes;
}

TEST(BadAutostartValues, OnlyAWholeTerminatedPathNamesTheFileToDelete) {
  // C:\T\ and a name: paths of 263 and 264 characters.
  const std::wstring p263 = L"C:\\T\\" + std::wstring(254, L'a') + L".exe";
  const std::wstring p264 = p263 + L"x";
  const std::wstring p1000 = L"C:\\T\\" + std::wstring(995, L'b');
  const struct {
    const char* name;
    sim::RegValue value;
    const std::wstring* deleted;  // the one file that goes, or none
  } cases[] = {
      {"263 characters and the terminator", {REG_SZ, WideBytes(p263, true)}, &p263},
      {"264 characters without a terminator", {REG_SZ, WideBytes(p264, false)}, nullptr},
      {"264 characters and the terminator", {REG_SZ, WideBytes(p264, true)}, nullptr},
      {"1000 characters", {REG_SZ, WideBytes(p1000, true)}, nullptr},
      {"an odd byte count", {REG_SZ, WideBytes(p264, false).substr(0, 527)}, nullptr},
      {"an expandable text", {REG_EXPAND_SZ, WideBytes(p263, true)}, &p263},
      {"an empty text", {REG_SZ, WideBytes(L"", true)}, nullptr},
      {"no bytes", {REG_SZ, ""}, nullptr},
      {"binary bytes that spell a path", {REG_BINARY, WideBytes(p263, true)}, nullptr},
      {"a list of texts", {REG_MULTI_SZ, WideBytes(p263 + L'\0', true)}, nullptr},
      {"a number", {REG_DWORD, std::string("\1\0\0\0", 4)}, nullptr},
      {"no type", {REG_NONE, WideBytes(p263, true)}, nullptr},
  };
  for (const auto& c : cases) {
    Machine machine;
    sim::SimWindows& sim = machine.sim();
    for (const std::wstring* path : {&p263, &p264, &p1000}) {
      sim.fs.Put(*path, "tray");
    }
    sim.registry.Set(sim::kRunKey, L"LumenquillTray", c.value);
    Outcome outcome = RunAndTake(machine, L"removetray");
    EXPECT_THAT(CheckOutcome(L"removetray", outcome), IsEmpty()) << c.name;
    for (const std::wstring* path : {&p263, &p264, &p1000}) {
      EXPECT_EQ(sim.fs.Exists(*path), path != c.deleted) << c.name << ": " << path->size();
    }
    EXPECT_EQ(testing_support::Autostart(sim), nullptr) << c.name << ": the value stays";
  }
}

// ---------------------------------------------------------------- values of the wrong type

// Every value the program reads, stored with each type it does not expect,
// met by every command that reads it.
TEST(BadValueTypes, EveryValueReadOfTheWrongTypeLeavesTheCommandWithinItsRules) {
  const std::wstring tray = testing_support::kTrayPath;
  const std::wstring queued = L"\\??\\C:\\Queue\\kvnmon64.dll";
  const std::vector<DWORD> types = {
      REG_NONE, REG_SZ,       REG_EXPAND_SZ, REG_BINARY,       REG_DWORD, REG_DWORD_BIG_ENDIAN,
      REG_LINK, REG_MULTI_SZ, REG_QWORD,     REG_RESOURCE_LIST};
  const std::vector<std::string> contents = {"", std::string("\1\0\0\0", 4), WideBytes(tray, true),
                                             WideBytes(queued + L'\0' + L'\0', true),
                                             std::string(7, '\xFF')};
  std::vector<std::string> problems;
  for (DWORD type : types) {
    for (const std::string& bytes : contents) {
      for (const wchar_t* word : {L"install", L"uninstall", L"onInit", L"removetray"}) {
        Machine machine;
        sim::SimWindows& sim = machine.sim();
        PrepareMachine(sim);
        InstallProduct(sim, 2542, {{L"P", ""}});
        sim.spooler.FindPrinter(L"P")->SetData(L"PrinterDriverData", L"SubKey",
                                               sim::RegValue{type, bytes});
        sim.registry.Set(sim::kRunKey, L"LumenquillTray", sim::RegValue{type, bytes});
        sim.fs.Put(L"C:\\Queue\\kvnmon64.dll", "x");
        sim.registry.Set(sim::kSessionManagerKey, sim::kPendingRenamesValue,
                         sim::RegValue{type, bytes});
        Outcome outcome = RunAndTake(machine, word);
        std::string what = Utf8(word) + " with values of type " + std::to_string(type) +
                           " holding " + std::to_string(bytes.size()) + " bytes: ";
        Allowances allowances;
        allowances.unbound_printers_go = true;  // the binding is of the wrong type
        for (const std::string& problem : CheckOutcome(word, outcome, allowances)) {
          problems.push_back(what + problem);
        }
        bool text = type == REG_SZ || type == REG_EXPAND_SZ;
        if (!text && !sim.fs.Exists(tray)) {
          problems.push_back(what + "the tray program was deleted by a value that is no text");
        }
      }
    }
  }
  EXPECT_THAT(problems, IsEmpty());
}

}  // namespace
}  // namespace reliability
