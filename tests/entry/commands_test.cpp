// Whole commands on the simulated Windows, as a setup package runs them:
// the exit code, the log, the objects left behind, the calls made and the
// virtual time spent.
#include <fstream>
#include <sstream>
#include <string>

#include "entry/dispatch.h"
#include "support/scenario.h"
#include "support/sim_test.h"

namespace entry {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testing_support::AddPrinter;
using testing_support::Autostart;
using testing_support::InstallProduct;
using testing_support::SimTest;
using testing_support::Utf8;

constexpr wchar_t kMonitorDll[] = L"C:\\Windows\\system32\\kvnmon64.dll";

class CommandTest : public SimTest {
 protected:
  void SetUp() override {
    testing_support::PutInstallerFiles(sim);
    testing_support::RegisterTrayProgram(sim);
    setup_window = sim.CreateWindowFor(50, L"#32770", L"Lumenquill Setup");
  }

  ExitCode Run(const std::wstring& arguments) {
    sim.command_line = L"\"" + sim.module_path + L"\" " + arguments;
    return entry::Run(reinterpret_cast<HINSTANCE>(0x140000000));
  }
  std::wstring WithParent(const std::wstring& word) {
    return word + L" " + std::to_wstring(reinterpret_cast<uintptr_t>(setup_window));
  }
  // The log as the dialog showed it.
  std::wstring ShownLog() const {
    return sim.dialogs.empty() ? L"" : sim.dialogs.back().item_texts.at(1001);
  }
  // Compares the shown log with a kept copy, line for line; a mismatch
  // leaves the actual log beside the build for review.
  void ExpectGoldenLog(const std::string& name) {
    std::wstring shown = ShownLog();
    std::string actual;
    for (size_t start = 0; start < shown.size();) {
      size_t end = shown.find(L"\r\n", start);
      ASSERT_NE(end, std::wstring::npos) << "every line ends with CR LF";
      std::wstring line = shown.substr(start, end - start);
      ASSERT_EQ(line.find_first_of(L"\r\n"), std::wstring::npos) << "a lone line break";
      actual += Utf8(line) + "\n";
      start = end + 2;
    }
    std::ifstream kept(GOLDEN_DIR "/" + name + ".log", std::ios::binary);
    std::stringstream expected;
    expected << kept.rdbuf();
    if (expected.str() != actual) {
      std::ofstream(ACTUAL_DIR "/" + name + ".log", std::ios::binary) << actual;
    }
    EXPECT_EQ(expected.str(), actual) << "the log differs from " << name << ".log";
  }

  HWND setup_window = nullptr;
};

TEST_F(CommandTest, ACleanInstallPutsEverythingInPlaceWithoutWaitingBeyondItsPauses) {
  sim.shift_down = true;  // to see the log
  EXPECT_EQ(Run(WithParent(L"install")), ExitCode::kInstalled);
  ExpectGoldenLog("clean_install");
  ASSERT_NE(sim.spooler.FindMonitor(L"Lumenquill:"), nullptr);
  EXPECT_EQ(sim.fs.Find(kMonitorDll)->bytes, "contents of kvnmon64.dll");
  ASSERT_NE(sim.spooler.FindDriver(L"Lumenquill printer", sim::kEnvX64), nullptr);
  ASSERT_EQ(sim.spooler.printers.size(), 1u);
  EXPECT_EQ(sim.spooler.printers[0].name, L"Lumenquill");
  EXPECT_EQ(sim.spooler.printers[0].port, L"Lumenquill:");
  ASSERT_NE(Autostart(sim), nullptr);
  EXPECT_NE(sim.FindWindowW(testing_support::kTrayClass, nullptr), nullptr) << "tray started";
  EXPECT_EQ(sim.dll_directories, DWORD{LOAD_LIBRARY_SEARCH_SYSTEM32});
  // The one pause: the autostart value that a clean machine does not have.
  EXPECT_EQ(sim.clock.now, 1000u);
  EXPECT_EQ(sim.Count("ControlService"), 0) << "no spooler stop on the success path";
  EXPECT_EQ(sim.dialogs.back().owner, setup_window);
  EXPECT_EQ(sim.dialogs.back().title, L"Lumenquill build 2542- Install log.");
}

TEST_F(CommandTest, AReinstallKeepsACompatibleMonitorAndRecreatesThePrinters) {
  InstallProduct(sim, 2542, {{L"First", "u1\\a"}, {L"Second", "u1\\b"}});
  sim.shift_down = true;
  EXPECT_EQ(Run(L"install"), ExitCode::kInstalled);
  ExpectGoldenLog("reinstall_two_printers");
  EXPECT_EQ(sim.Count("AddMonitorW"), 0);
  EXPECT_EQ(sim.fs.Find(kMonitorDll)->bytes, "old monitor") << "the kept monitor's DLL";
  ASSERT_EQ(sim.spooler.printers.size(), 2u);
  EXPECT_EQ(sim.spooler.printers[0].name, L"Second");
  EXPECT_EQ(sim.spooler.printers[1].name, L"First");
  EXPECT_EQ(sim.spooler.default_printer, L"First");
  EXPECT_EQ(sim.spooler.FindDriver(L"Lumenquill printer", sim::kEnvX64)->config_file,
            L"C:\\Windows\\system32\\spool\\DRIVERS\\x64\\3\\kvnui64.dll");
  EXPECT_NE(sim.FindWindowW(testing_support::kTrayClass, nullptr), nullptr);
}

TEST_F(CommandTest, AReinstallOverAnIncompatibleMonitorReplacesIt) {
  InstallProduct(sim, 2450, {{L"Mine", "m"}});
  EXPECT_EQ(Run(L"in_notray"), ExitCode::kInstalled);
  EXPECT_EQ(sim.Count("AddMonitorW"), 1);
  EXPECT_EQ(sim.fs.Find(kMonitorDll)->bytes, "contents of kvnmon64.dll");
  EXPECT_EQ(sim.FindWindowW(testing_support::kTrayClass, nullptr), nullptr)
      << "the old companion stopped, no new one started";
  EXPECT_EQ(Autostart(sim), nullptr);
  EXPECT_TRUE(sim.dialogs.empty());
}

TEST_F(CommandTest, AnOldMonitorDllThatStaysLockedIsDroppedNotLeftForARestart) {
  InstallProduct(sim, 2000, {});
  int holder = sim.StartProcess(L"C:\\Windows\\explorer.exe", L"explorer.exe");
  sim.ProcessOpenFile(holder, kMonitorDll, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
  EXPECT_EQ(Run(L"install"), ExitCode::kInstalled);
  EXPECT_EQ(sim.registry.Get(sim::kSessionManagerKey, sim::kPendingRenamesValue), nullptr);
  EXPECT_EQ(sim.fs.Find(kMonitorDll)->bytes, "contents of kvnmon64.dll") << "copied over it";
  EXPECT_EQ(sim.Count("ControlService"), 1) << "one stop to retry the old DLL";
}

TEST_F(CommandTest, AnUninstallWhoseMonitorDllStaysLockedAsksForARestart) {
  InstallProduct(sim, 2542, {{L"Mine", "m"}});
  sim.spooler.monitor_dll_stays_loaded = true;
  int holder = sim.StartProcess(L"C:\\Windows\\explorer.exe", L"explorer.exe");
  sim.ProcessOpenFile(holder, kMonitorDll, GENERIC_READ, FILE_SHARE_READ);
  sim.shift_down = true;
  EXPECT_EQ(Run(WithParent(L"uninstall")), ExitCode::kRestartNeeded);
  ExpectGoldenLog("uninstall_locked_dll");
  EXPECT_EQ(sim.spooler.FindMonitor(L"Lumenquill:"), nullptr);
  EXPECT_EQ(sim.spooler.FindDriver(L"Lumenquill printer", sim::kEnvX64), nullptr);
  EXPECT_TRUE(sim.spooler.printers.empty());
  EXPECT_EQ(Autostart(sim), nullptr);
  const sim::RegValue* queue = sim.registry.Get(sim::kSessionManagerKey, sim::kPendingRenamesValue);
  ASSERT_NE(queue, nullptr);
  std::wstring queued(reinterpret_cast<const wchar_t*>(queue->data.data()), queue->data.size() / 2);
  EXPECT_EQ(queued, std::wstring(L"\\??\\") + kMonitorDll + std::wstring(3, L'\0'));
  sim.Restart();
  EXPECT_FALSE(sim.fs.Exists(kMonitorDll));
}

TEST_F(CommandTest, AnErrorShowsTheLogOwnedByTheSetupWindowAndWinsOverARestart) {
  InstallProduct(sim, 2000, {});
  sim.spooler.monitor_dll_stays_loaded = true;
  int holder = sim.StartProcess(L"C:\\Windows\\explorer.exe", L"explorer.exe");
  sim.ProcessOpenFile(holder, kMonitorDll, GENERIC_READ, FILE_SHARE_READ);
  sim.FailCall("DeletePrinterDriverExW", 1, ERROR_PRINTER_DRIVER_IN_USE, 2);
  EXPECT_EQ(Run(WithParent(L"uninstall")), ExitCode::kErrors);
  ASSERT_EQ(sim.dialogs.size(), 1u);
  EXPECT_EQ(sim.dialogs[0].owner, setup_window);
  EXPECT_EQ(sim.dialogs[0].title, L"Lumenquill build 2542- Install error log!");
  EXPECT_THAT(ShownLog(), HasSubstr(L"Error(14)"));
  EXPECT_EQ(sim.Count("GetAsyncKeyState"), 0) << "with errors Shift is not asked";
  EXPECT_NE(sim.registry.Get(sim::kSessionManagerKey, sim::kPendingRenamesValue), nullptr);
}

TEST_F(CommandTest, WithoutErrorsTheLogIsShownOnlyWhileShiftIsHeld) {
  sim.shift_down = false;
  EXPECT_EQ(Run(L"install"), ExitCode::kInstalled);
  EXPECT_TRUE(sim.dialogs.empty());
  EXPECT_EQ(sim.Count("GetAsyncKeyState"), 1);
  sim.shift_down = true;
  EXPECT_EQ(Run(L"install 12345"), ExitCode::kInstalled);
  ASSERT_EQ(sim.dialogs.size(), 1u);
  EXPECT_EQ(sim.dialogs[0].owner, nullptr) << "not a live window";
  EXPECT_THAT(ShownLog(), Not(HasSubstr(L">>0020")));
  EXPECT_THAT(ShownLog(), HasSubstr(L">>0010\r\n>ReInstall\r\n    >UnInstall\r\n"));
}

TEST_F(CommandTest, UninstallingANeverInstalledProductStopsNothing) {
  EXPECT_EQ(Run(L"un"), ExitCode::kUninstalled);
  EXPECT_EQ(sim.Count("ControlService"), 0);
  EXPECT_EQ(sim.Count("MoveFileExW"), 0);
  sim.shift_down = true;
  EXPECT_EQ(Run(L"uninstall"), ExitCode::kUninstalled);
  EXPECT_THAT(ShownLog(), Not(HasSubstr(L"DeleteFile-try")));
  EXPECT_THAT(ShownLog(), HasSubstr(L"Lumenquill 2542\r\n>Check Spooler\r\n"));
  EXPECT_THAT(ShownLog(), HasSubstr(L">UnInstall\r\n  EnumMonitors\r\n"));
}

TEST_F(CommandTest, HelpWindowsAreClosedBeforeInstallAndUninstallOnly) {
  for (const wchar_t* word : {L"install", L"uninstall", L"onInit", L"removetray"}) {
    HWND help = testing_support::OpenHelpWindow(sim, L"Lumenquill Help", 100);
    Run(word);
    bool closed = !sim.IsWindow(help);
    bool expected = std::wstring(word) == L"install" || std::wstring(word) == L"uninstall";
    EXPECT_EQ(closed, expected) << Utf8(word);
    sim.DestroyWindow(help);
  }
}

TEST_F(CommandTest, RemovetrayStopsTheCompanionAndAnswersSix) {
  int tray = testing_support::StartTrayCompanion(sim);
  testing_support::SetAutostart(sim);
  EXPECT_EQ(Run(L"removetray"), ExitCode::kNothingToReport);
  EXPECT_FALSE(sim.processes[tray].running);
  EXPECT_EQ(Autostart(sim), nullptr);
  EXPECT_FALSE(sim.fs.Exists(testing_support::kTrayPath));
}

}  // namespace
}  // namespace entry
