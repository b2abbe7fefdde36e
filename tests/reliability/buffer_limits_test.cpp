// Every buffer the program fills from the system is bounded by its
// capacity: each bound tried at its limit, just inside and just past it.
// Buffers that are blocks of the simulated Windows are also checked on
// every call against the size the call is told (see CheckCapacity); the
// fixed buffers on the program's stack show their bounds here, by what the
// program does with a text that just fits and one that just does not.
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "print/printers.h"
#include "print/spooler_queries.h"
#include "reliability/command_runs.h"
#include "services/pending_renames.h"
#include "session/install_session.h"
#include "support/scenario.h"

namespace reliability {
namespace {

using entry::ExitCode;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using testing_support::AddPrinter;
using testing_support::InstallProduct;

constexpr wchar_t kProductDriver[] = L"Lumenquill printer";
constexpr wchar_t kProductPort[] = L"Lumenquill:";

// The setup package's files in a directory of the test's choice, each
// saying where it came from.
void PutInstallerFilesIn(sim::SimWindows& sim, const std::wstring& directory,
                         const std::string& origin) {
  for (const wchar_t* name : {L"kvnmon64.dll", L"kvndrv64.dll", L"kvnui64.dll", L"kvnhelp.chm"}) {
    sim.fs.Put(directory + name, origin + " " + sim::Narrow(name)).version =
        testing_support::Build(2542);
  }
}

std::string Contents(sim::SimWindows& sim, const std::wstring& path) {
  const sim::File* file = sim.fs.Find(path);
  return file != nullptr ? file->bytes : "(none)";
}

// ---------------------------------------------------------------- default printer names

// The session reads the default printer's name into 255 characters; a
// re-created printer is made the default again only when the name fitted.
TEST(BufferLimits, ASessionMarksADefaultPrinterNameOfAtMost254Characters) {
  for (size_t length : {size_t{254}, size_t{255}}) {
    Machine machine;
    sim::SimWindows& sim = machine.sim();
    testing_support::PutInstallerFiles(sim);
    InstallProduct(sim, 2542, {});
    std::wstring name(length, L'd');
    AddPrinter(sim, name, kProductDriver, kProductPort, "d");
    AddPrinter(sim, L"Q", kProductDriver, kProductPort, "q");
    sim.spooler.default_printer = name;
    Outcome outcome = RunAndTake(machine, L"install");
    EXPECT_THAT(CheckOutcome(L"install", outcome), IsEmpty()) << length;
    // Q comes back first and, on a machine without a default, becomes it.
    EXPECT_EQ(sim.spooler.default_printer, length == 254 ? name : L"Q") << length;
  }
}

// The probe reads it into 260 characters: a name that does not fit is a
// default it cannot examine.
TEST(BufferLimits, AProbeExaminesADefaultPrinterNameOfAtMost259Characters) {
  const struct {
    size_t length;
    ExitCode exit;
  } cases[] = {{259, ExitCode::kProbeAnsweredNo}, {260, ExitCode::kDefaultIsNotProduct}};
  for (const auto& c : cases) {
    Machine machine;
    sim::SimWindows& sim = machine.sim();
    InstallProduct(sim, 2542, {{std::wstring(c.length, L'd'), "d"}});
    Outcome outcome = RunAndTake(machine, L"onInit");
    EXPECT_THAT(CheckOutcome(L"onInit", outcome), IsEmpty()) << c.length;
    EXPECT_EQ(outcome.exit, c.exit) << c.length;
  }
}

// ---------------------------------------------------------------- the program's own path

// GetModuleFileNameW cuts a path that does not fit its 260 characters; the
// directory of a cut path may be another directory, so the installer's
// files are never looked for there.
TEST(BufferLimits, TheProgramsOwnPathIsUsedOnlyWhenItFits260Characters) {
  const std::wstring fits = L"C:\\" + std::wstring(244, L'm') + L"\\";      // 248 + 11 = 259
  const std::wstring at_limit = L"C:\\" + std::wstring(245, L'm') + L"\\";  // 249 + 11 = 260
  const std::wstring long_one = L"C:\\Setup\\" + std::wstring(280, L'x') + L"\\";
  const struct {
    const char* name;
    std::wstring directory;
    bool installed;  // from its own directory; else from nowhere
  } cases[] = {
      {"259 characters", fits, true},
      {"260 characters", at_limit, false},
      {"a path cut inside its directory", long_one, false},
  };
  for (const auto& c : cases) {
    Machine machine;
    sim::SimWindows& sim = machine.sim();
    sim.module_path = c.directory + L"install.exe";
    PutInstallerFilesIn(sim, c.directory, "own");
    // What a cut path would name instead: the folder above, where anyone
    // may have put files of the same names.
    PutInstallerFilesIn(sim, L"C:\\Setup\\", "planted");
    sim.fs.MakeDirectory(L"C:\\Windows\\Temp");
    sim.fs.current_directory = L"C:\\Windows\\Temp";
    Outcome outcome = RunAndTake(machine, L"install");
    EXPECT_THAT(CheckOutcome(L"install", outcome), IsEmpty()) << c.name;
    std::string monitor = Contents(sim, L"C:\\Windows\\system32\\kvnmon64.dll");
    EXPECT_EQ(monitor, c.installed ? "own kvnmon64.dll" : "(none)") << c.name;
    EXPECT_EQ(outcome.exit, c.installed ? ExitCode::kInstalled : ExitCode::kErrors) << c.name;
  }
}

// ---------------------------------------------------------------- the system directory

TEST(BufferLimits, TheSystemDirectoryIsUsedOnlyWhenItFits260Characters) {
  for (size_t length : {size_t{259}, size_t{260}}) {
    Machine machine;
    sim::SimWindows& sim = machine.sim();
    sim.system_directory = L"C:\\" + std::wstring(length - 3, L's');
    sim.fs.MakeDirectory(sim.system_directory);
    testing_support::PutInstallerFiles(sim);
    Outcome outcome = RunAndTake(machine, L"install");
    EXPECT_THAT(CheckOutcome(L"install", outcome), IsEmpty()) << length;
    std::string monitor = Contents(sim, sim.system_directory + L"\\kvnmon64.dll");
    std::string cut = Contents(sim, sim.system_directory.substr(0, 259) + L"\\kvnmon64.dll");
    if (length == 259) {
      EXPECT_EQ(monitor, "contents of kvnmon64.dll");
      EXPECT_EQ(outcome.exit, ExitCode::kInstalled);
    } else {
      EXPECT_THAT(outcome.log, HasSubstr(L"Error(7): Can`t retrieve system directory."));
      EXPECT_EQ(cut, "(none)") << "nothing is written where a cut path points";
      EXPECT_EQ(outcome.exit, ExitCode::kErrors);
    }
    EXPECT_EQ(Contents(sim, std::wstring(testing_support::kInstallerDirectory) + L"kvnmon64.dll"),
              "contents of kvnmon64.dll")
        << length << ": the installer's own file is left as it was";
  }
}

// ---------------------------------------------------------------- staged driver paths

// Each staged path must fit 264 characters with its terminator: the driver
// directory and "kvndrv64.dll" in 263 characters.
TEST(BufferLimits, StagedDriverPathsAreUsedOnlyWhenTheyFit264Characters) {
  for (size_t length : {size_t{263}, size_t{264}}) {
    Machine machine;
    sim::SimWindows& sim = machine.sim();
    testing_support::PutInstallerFiles(sim);
    // The root, "\x64\" and the file name.
    std::wstring root = L"C:\\" + std::wstring(length - 17 - 3, L'r');
    sim.spooler.drivers_root = root;
    sim.fs.MakeDirectory(root + L"\\x64\\3");
    std::wstring staged = root + L"\\x64\\kvndrv64.dll";
    ASSERT_EQ(staged.size(), length);
    Outcome outcome = RunAndTake(machine, L"install");
    EXPECT_THAT(CheckOutcome(L"install", outcome), IsEmpty()) << length;
    bool registered = sim.spooler.FindDriver(kProductDriver, sim::kEnvX64) != nullptr;
    EXPECT_EQ(registered, length == 263) << length;
    EXPECT_FALSE(sim.fs.Exists(staged.substr(0, 263))) << length << ": no cut path is written";
    if (length == 264) {
      EXPECT_THAT(outcome.log, HasSubstr(L"Error(9): Cant't open destination file: " + staged));
    }
  }
}

// ---------------------------------------------------------------- version resources

TEST(BufferLimits, AVersionIsReadOnlyFromAWholeFixedPart) {
  const size_t kWhole = sizeof(VS_FIXEDFILEINFO);
  const struct {
    size_t held;
    ExitCode exit;
  } cases[] = {{kWhole, ExitCode::kDriverIsCurrent},
               {kWhole - 1, ExitCode::kProbeAnsweredNo},
               {0, ExitCode::kProbeAnsweredNo}};
  for (const auto& c : cases) {
    Machine machine;
    sim::SimWindows& sim = machine.sim();
    InstallProduct(sim, 2542, {{L"A", "a"}});
    std::wstring driver = std::wstring(testing_support::kDriverDirectory) + L"3\\kvndrv64.dll";
    sim.fs.Find(driver)->version->fixed_length = c.held;
    Outcome outcome = RunAndTake(machine, L"onChkDrv");
    EXPECT_THAT(CheckOutcome(L"onChkDrv", outcome), IsEmpty()) << c.held;
    EXPECT_EQ(outcome.exit, c.exit) << c.held;
  }
  // The monitor's version, read by a reinstall, likewise.
  for (size_t held : {kWhole, kWhole - 1}) {
    Machine machine;
    sim::SimWindows& sim = machine.sim();
    testing_support::PutInstallerFiles(sim);
    InstallProduct(sim, 2542, {});
    sim.fs.Find(L"C:\\Windows\\system32\\kvnmon64.dll")->version->fixed_length = held;
    sim.shift_down = true;
    Outcome outcome = RunAndTake(machine, L"install");
    EXPECT_THAT(CheckOutcome(L"install", outcome), IsEmpty()) << held;
    EXPECT_THAT(outcome.log,
                HasSubstr(held == kWhole ? L"Version (2542) is compatible"
                                         : L"Version is unknown, proceed with reinstall"))
        << held;
  }
}

// ---------------------------------------------------------------- printer data

TEST(BufferLimits, ASettingsBindingReadFillsAtMost64Bytes) {
  const struct {
    size_t characters;
    bool read;
  } cases[] = {{63, true}, {64, false}, {1000, false}};
  for (const auto& c : cases) {
    Machine machine;
    sim::SimWindows& sim = machine.sim();
    InstallProduct(sim, 2542, {});
    AddPrinter(sim, L"P", kProductDriver, kProductPort, std::string(c.characters, 'k'));
    HANDLE printer = nullptr;
    ASSERT_TRUE(platform::Sys().OpenPrinterW(const_cast<LPWSTR>(L"P"), &printer, nullptr));
    // A block of exactly the capacity: a read told more, or writing more,
    // is caught by the model.
    auto* buffer = static_cast<char*>(platform::Sys().GlobalAlloc(GPTR, print::kSubKeyCapacity));
    EXPECT_TRUE(print::GetPrinterSubKey(printer, buffer)) << c.characters;
    EXPECT_EQ(std::string(buffer), c.read ? std::string(c.characters, 'k') : "") << c.characters;
    platform::Sys().GlobalFree(buffer);
    platform::Sys().ClosePrinter(printer);
    EXPECT_THAT(sim.Leaks(), IsEmpty()) << c.characters;
  }
}

// The spooler's data may grow or shrink between the size query and the
// fetch: a fetch into a block of the old size must fail, never overrun it.
TEST(BufferLimits, SpoolerDataThatChangesSizeBetweenTheTwoCallsIsNeverOverrun) {
  const std::wstring longer(300, L'g');
  const struct {
    const char* name;
    const char* call;
    std::function<void(sim::SimWindows&, bool grow)> change;
    std::function<bool()> query;  // whether the query gave a result
  } cases[] = {
      {"printers", "EnumPrintersW",
       [&](sim::SimWindows& sim, bool grow) {
         sim.spooler.FindPrinter(L"A")->comment = grow ? longer : L"";
       },
       [] {
         print::PrinterSnapshot snapshot;
         print::TakePrinterSnapshot(snapshot);
         bool got = snapshot.entries != nullptr;
         print::FreePrinterSnapshot(snapshot);
         return got;
       }},
      {"drivers", "EnumPrinterDriversW",
       [&](sim::SimWindows& sim, bool grow) {
         sim.spooler.FindDriver(kProductDriver, sim::kEnvX64)->help_file = grow ? longer : L"h";
       },
       [] {
         print::DriverList list;
         print::EnumerateDrivers(list, sim::kEnvX64);
         bool got = list.entries != nullptr && !list.failed;
         print::FreeList(list);
         return got;
       }},
      {"one printer", "GetPrinterW",
       [&](sim::SimWindows& sim, bool grow) {
         sim.spooler.FindPrinter(L"A")->location = grow ? longer : L"";
       },
       [] {
         HANDLE printer = nullptr;
         platform::Sys().OpenPrinterW(const_cast<LPWSTR>(L"A"), &printer, nullptr);
         print::PrinterInfoBlock info;
         print::QueryPrinterInfo(info, printer);
         bool got = info.block != nullptr;
         print::FreeInfo(info);
         platform::Sys().ClosePrinter(printer);
         return got;
       }},
      {"a printer's driver", "GetPrinterDriverW",
       [&](sim::SimWindows& sim, bool grow) {
         sim.spooler.FindDriver(kProductDriver, sim::kEnvX64)->config_file = grow ? longer : L"c";
       },
       [] {
         HANDLE printer = nullptr;
         platform::Sys().OpenPrinterW(const_cast<LPWSTR>(L"A"), &printer, nullptr);
         void* driver = print::QueryDriverInfo(printer);
         bool got = driver != nullptr;
         platform::Sys().GlobalFree(driver);
         platform::Sys().ClosePrinter(printer);
         return got;
       }},
  };
  for (const auto& c : cases) {
    for (bool grow : {true, false}) {
      Machine machine;
      sim::SimWindows& sim = machine.sim();
      InstallProduct(sim, 2542, {{L"A", "a"}});
      sim.before_call[c.call] = [&sim, &c, grow](int call) {
        if (call == 2) {
          c.change(sim, grow);
        }
      };
      EXPECT_EQ(c.query(), !grow) << c.name << (grow ? " grew" : " shrank");
      EXPECT_THAT(sim.Leaks(), IsEmpty()) << c.name << (grow ? " grew" : " shrank");
    }
  }
}

// ---------------------------------------------------------------- registry reads

// The queue is read into a block of the size its first read reported; a
// value that grew by as little as a byte since is not read at all.
TEST(BufferLimits, TheQueueIsReadOnlyIntoABlockOfTheSizeFirstReported) {
  // Two queued deletions and the closing zero of the list.
  std::wstring pairs = std::wstring(L"\\??\\C:\\q\\a.dll") + L'\0' + L'\0' + L"\\??\\C:\\q\\b.dll" +
                       L'\0' + L'\0' + L'\0';
  const std::string bytes(reinterpret_cast<const char*>(pairs.data()), pairs.size() * 2);
  const struct {
    const char* name;
    std::string second;
    uint32_t pairs;
  } cases[] = {
      {"the same size", bytes, 2},
      {"one byte more", bytes + '\0', 0},
      {"one character more", bytes + std::string(2, '\0'), 0},
      // The last pair loses its target: the characters before the value's
      // final terminator end inside it.
      {"one byte less", bytes.substr(0, bytes.size() - 1), 1},
      {"empty", "", 0},
  };
  for (const auto& c : cases) {
    Machine machine;
    sim::SimWindows& sim = machine.sim();
    sim.fs.Put(L"C:\\q\\a.dll", "a");
    sim.registry.Set(sim::kSessionManagerKey, sim::kPendingRenamesValue,
                     sim::RegValue{REG_MULTI_SZ, bytes});
    sim.before_call["RegQueryValueExW"] = [&sim, &c](int call) {
      if (call == 2) {
        sim.registry.Set(sim::kSessionManagerKey, sim::kPendingRenamesValue,
                         sim::RegValue{REG_MULTI_SZ, c.second});
      }
    };
    services::PendingRenameTable table = services::LoadPendingRenameTable();
    EXPECT_EQ(table.count, c.pairs) << c.name;
    services::FreePendingRenameTable(table);
    EXPECT_THAT(sim.Leaks(), IsEmpty()) << c.name;
  }
}

}  // namespace
}  // namespace reliability
