// The command line: which word runs which command, the parent window, and
// the exit code of every answer.
#include "entry/dispatch.h"

#include <string>

#include "support/scenario.h"
#include "support/sim_test.h"

namespace entry {
namespace {

using testing_support::AddPrinter;
using testing_support::SimTest;
using testing_support::Utf8;

class DispatchTest : public SimTest {
 protected:
  void SetUp() override { testing_support::PutInstallerFiles(sim); }
  ExitCode Run(const std::wstring& line) {
    sim.command_line = line;
    sim.calls.clear();
    return entry::Run(nullptr);
  }
  // Which command ran, told by the calls it made.
  std::string CommandRun() const {
    if (sim.Count("GetPrinterDriverDirectoryW") > 0) {
      return sim.Count("AddMonitorW") + sim.Count("AddPrinterDriverExW") > 0 ? "install"
                                                                             : "uninstall";
    }
    if (sim.Count("SetDefaultPrinterW") > 0 ||
        (sim.Count("EnumPrintersW") > 0 && sim.Count("GetDefaultPrinterW") == 0)) {
      return sim.Count("OpenPrinterW") > 0 ? "onChkDrv" : "def.set";
    }
    if (sim.Count("GetDefaultPrinterW") > 0) {
      return "onInit";
    }
    if (sim.Count("CreateMutexA") > 0) {
      return "removetray";
    }
    return "nothing";
  }
};

TEST_F(DispatchTest, EveryCommandWordIgnoresAsciiCaseButDefSetIsExact) {
  testing_support::InstallProductDriver(sim);
  AddPrinter(sim, L"Ours", L"Lumenquill printer", L"FILE:");
  const struct {
    const wchar_t* word;
    ExitCode code;
    const char* command;
  } cases[] = {
      {L"onChkDrv", ExitCode::kDriverIsCurrent, "onChkDrv"},
      {L"ONCHKDRV", ExitCode::kDriverIsCurrent, "onChkDrv"},
      {L"OnInit", ExitCode::kDefaultIsNotProduct, "onInit"},
      {L"oninit", ExitCode::kDefaultIsNotProduct, "onInit"},
      {L"removeTray", ExitCode::kNothingToReport, "removetray"},
      {L"def.set", ExitCode::kDefaultPrinterSet, "def.set"},
      {L"Def.set", ExitCode::kNothingToReport, "nothing"},
      {L"def.SET", ExitCode::kNothingToReport, "nothing"},
      {L"def.set2", ExitCode::kNothingToReport, "nothing"},
      {L"def.se", ExitCode::kNothingToReport, "nothing"},
      {L"unknown", ExitCode::kNothingToReport, "nothing"},
      {L"onInit2", ExitCode::kNothingToReport, "nothing"},
      {L"\u0130nstall", ExitCode::kNothingToReport, "nothing"},  // a non-ASCII capital I
      {L"UN", ExitCode::kUninstalled, "uninstall"},
      {L"UnInstall", ExitCode::kUninstalled, "uninstall"},
      {L"IN", ExitCode::kInstalled, "install"},
      {L"Install", ExitCode::kInstalled, "install"},
      {L"SERVERINSTALL", ExitCode::kInstalled, "install"},
      {L"In_NoTray", ExitCode::kInstalled, "install"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Run(std::wstring(L"install.exe ") + c.word), c.code) << Utf8(c.word);
    EXPECT_EQ(CommandRun(), c.command) << Utf8(c.word);
  }
}

TEST_F(DispatchTest, WithoutACommandWordNothingRuns) {
  for (const wchar_t* line : {L"install.exe", L""}) {
    EXPECT_EQ(Run(line), ExitCode::kNothingToReport);
    EXPECT_EQ(CommandRun(), "nothing");
    EXPECT_TRUE(sim.dialogs.empty());
  }
  sim.FailCall("CommandLineToArgvW", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(Run(L"install.exe install"), ExitCode::kNothingToReport);
}

TEST_F(DispatchTest, OnInitAsksForTheDefaultPrinterOnlyWithNothingPending) {
  sim.fs.Put(L"C:\\Windows\\system32\\kvnmon64.dll").image_locks.insert("explorer");
  sim.registry.Set(sim::kSessionManagerKey, sim::kPendingRenamesValue,
                   sim::MultiString({L"\\??\\C:\\Windows\\system32\\kvnmon64.dll", L""}));
  EXPECT_EQ(Run(L"install.exe onInit"), ExitCode::kFilesPending);
  EXPECT_EQ(sim.Count("GetDefaultPrinterW"), 0);
  EXPECT_EQ(sim.Count("ControlService"), 2);

  testing_support::InstallProductDriver(sim);
  AddPrinter(sim, L"Ours", L"Lumenquill printer", L"FILE:");
  sim.spooler.default_printer = L"Ours";
  sim.registry.Delete(sim::kSessionManagerKey, sim::kPendingRenamesValue);
  EXPECT_EQ(Run(L"install.exe onInit"), ExitCode::kProbeAnsweredNo);
}

TEST_F(DispatchTest, TheParentWindowIsTakenOnlyFromExactlyThreeLiveArguments) {
  HWND setup = sim.CreateWindowFor(9, L"#32770", L"Setup");
  std::wstring handle = std::to_wstring(reinterpret_cast<uintptr_t>(setup));
  const struct {
    std::wstring arguments;
    bool owned;
  } cases[] = {
      {L"install " + handle, true},
      {L"install \"  " + handle + L"\"", true},
      {L"install +" + handle, true},
      {L"install " + handle + L"xyz", true},
      {L"install " + handle + L" extra", false},
      {L"install", false},
      {L"install nodigits", false},
      {L"install 12345", false},
      {L"install 99999999999999", false},
  };
  sim.shift_down = true;
  for (const auto& c : cases) {
    sim.dialogs.clear();
    EXPECT_EQ(Run(L"install.exe " + c.arguments), ExitCode::kInstalled) << Utf8(c.arguments);
    ASSERT_EQ(sim.dialogs.size(), 1u) << Utf8(c.arguments);
    EXPECT_EQ(sim.dialogs[0].owner, c.owned ? setup : nullptr) << Utf8(c.arguments);
  }
}

TEST_F(DispatchTest, WindowNumbersAreReadLikeSignedDecimalsAndClamped) {
  const struct {
    const wchar_t* text;
    int32_t value;
  } cases[] = {
      {L"123", 123},
      {L" \t\r\n\v\f42", 42},
      {L"-5", -5},
      {L"+7", 7},
      {L"12abc", 12},
      {L"abc", 0},
      {L"", 0},
      {L"-", 0},
      {L"2147483647", INT32_MAX},
      {L"2147483648", INT32_MAX},
      {L"-2147483648", INT32_MIN},
      {L"-99999999999999999999", INT32_MIN},
      {L"99999999999999999999", INT32_MAX},
      {L"0x1F", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseWindowNumber(c.text), c.value) << Utf8(c.text);
  }
}

}  // namespace
}  // namespace entry
