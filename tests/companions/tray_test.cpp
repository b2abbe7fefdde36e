#include "companions/tray.h"

#include <string>

#include "session/install_session.h"
#include "support/scenario.h"
#include "support/sim_test.h"

namespace companions {
namespace {

using testing_support::Autostart;
using testing_support::kTrayPath;
using testing_support::SetAutostart;
using testing_support::SimTest;
using testing_support::StartTrayCompanion;
using testing_support::TrayBehaviour;

class TrayTest : public SimTest {
 protected:
  std::vector<std::string> WaitsAndSleeps() const {
    return sim.CallsNamed({"WaitForSingleObject", "Sleep", "PostMessageW"});
  }
};

TEST_F(TrayTest, ACompanionThatEndsOnTheFirstRequestIsClosedAndUnregistered) {
  int tray = StartTrayCompanion(sim);
  SetAutostart(sim);
  CloseTray();
  EXPECT_FALSE(sim.processes[tray].running);
  EXPECT_THAT(WaitsAndSleeps(),
              ::testing::ElementsAre("PostMessageW(1026)", "WaitForSingleObject(5000)"));
  EXPECT_EQ(sim.clock.now, 100u);
  EXPECT_FALSE(sim.fs.Exists(kTrayPath));
  EXPECT_EQ(Autostart(sim), nullptr);
  EXPECT_TRUE(sim.mutexes.empty()) << "the installer let go of the mutex";
}

TEST_F(TrayTest, AWindowThatAppearsLateIsWaitedFor250MsAPass) {
  StartTrayCompanion(sim, kTrayPath, TrayBehaviour{600});
  SetAutostart(sim);
  CloseTray();
  EXPECT_THAT(WaitsAndSleeps(),
              ::testing::ElementsAre("Sleep(250)", "Sleep(250)", "Sleep(250)", "PostMessageW(1026)",
                                     "WaitForSingleObject(5000)"));
  EXPECT_FALSE(sim.fs.Exists(kTrayPath));
}

TEST_F(TrayTest, ACompanionThatIgnoresRequestsIsAskedTwentyTimesAndItsFileLeft) {
  int tray = StartTrayCompanion(sim, kTrayPath, TrayBehaviour{0, std::nullopt});
  SetAutostart(sim);
  CloseTray();
  EXPECT_TRUE(sim.processes[tray].running);
  EXPECT_EQ(sim.Count("PostMessageW"), 20);
  EXPECT_EQ(sim.Count("WaitForSingleObject"), 21);
  EXPECT_EQ(sim.Count("DeleteFileW"), 10);
  EXPECT_EQ(sim.Count("Sleep(100)"), 10);
  EXPECT_EQ(sim.clock.now, 21 * 5000u + 1000u);
  EXPECT_TRUE(sim.fs.Exists(kTrayPath));
  EXPECT_EQ(Autostart(sim), nullptr) << "the value goes all the same";
}

TEST_F(TrayTest, ACompanionThatEndsHoldingItsMutexIsSeenGone) {
  int tray = StartTrayCompanion(sim, kTrayPath, TrayBehaviour{0, 300, false});
  SetAutostart(sim);
  CloseTray();
  EXPECT_FALSE(sim.processes[tray].running);
  EXPECT_THAT(WaitsAndSleeps(),
              ::testing::ElementsAre("PostMessageW(1026)", "WaitForSingleObject(5000)",
                                     "WaitForSingleObject(5000)"))
      << "abandoned, then no window and one more wait";
  EXPECT_FALSE(sim.fs.Exists(kTrayPath));
}

TEST_F(TrayTest, WithoutACompanionTheRegistryPartStillRuns) {
  const struct {
    const char* name;
    std::function<void(sim::SimWindows&)> arrange;
    uint64_t time;
    int deletions;
    bool file_left;
  } cases[] = {
      {"no value", [](sim::SimWindows&) {}, 1000, 0, true},
      {"a value naming an idle companion", [](sim::SimWindows& s) { SetAutostart(s); }, 0, 1,
       false},
      {"a value naming a missing file",
       [](sim::SimWindows& s) { SetAutostart(s, L"C:\\Program Files\\Lumenquill\\old.exe"); }, 0, 1,
       true},
      {"a value naming a missing folder",
       [](sim::SimWindows& s) { SetAutostart(s, L"C:\\Elsewhere\\lumtray.exe"); }, 100, 10, true},
      {"an empty value", [](sim::SimWindows& s) { SetAutostart(s, L""); }, 0, 0, true},
      {"a value that is not a text",
       [](sim::SimWindows& s) {
         s.registry.Set(sim::kRunKey, L"LumenquillTray", sim::RegValue{REG_DWORD, "C\0\0\0"});
       },
       0, 0, true},
      {"264 characters without a terminator",
       [](sim::SimWindows& s) {
         std::wstring text(264, L'x');
         s.registry.Set(
             sim::kRunKey, L"LumenquillTray",
             sim::RegValue{REG_SZ, std::string(reinterpret_cast<const char*>(text.data()), 528)});
       },
       1000, 0, true},
      {"a value longer than the buffer",
       [](sim::SimWindows& s) { SetAutostart(s, std::wstring(300, L'y')); }, 1000, 0, true},
  };
  for (const auto& c : cases) {
    sim::SimWindows model;
    platform::SystemScope scope(model);
    model.fs.Put(kTrayPath, "tray");
    c.arrange(model);
    CloseTray();
    EXPECT_EQ(model.clock.now, c.time) << c.name;
    EXPECT_EQ(model.Count("DeleteFileW"), c.deletions) << c.name;
    EXPECT_EQ(model.fs.Exists(kTrayPath), c.file_left) << c.name;
    EXPECT_EQ(Autostart(model), nullptr) << c.name;
    EXPECT_EQ(model.Count("PostMessageW"), 0) << c.name;
    EXPECT_THAT(model.Leaks(), ::testing::IsEmpty()) << c.name;
  }
}

TEST_F(TrayTest, WithoutTheMutexOnlyTheValueIsRemoved) {
  int tray = StartTrayCompanion(sim);
  SetAutostart(sim);
  sim.FailCall("CreateMutexA", 1, ERROR_ACCESS_DENIED);
  CloseTray();
  EXPECT_TRUE(sim.processes[tray].running);
  EXPECT_EQ(sim.Count("DeleteFileW"), 0);
  EXPECT_EQ(Autostart(sim), nullptr);
}

TEST_F(TrayTest, WithoutTheAutostartKeyNothingIsDeleted) {
  SetAutostart(sim);
  sim.registry.Key(sim::kRunKey).open_error = ERROR_ACCESS_DENIED;
  sim.fs.Put(kTrayPath, "tray");
  CloseTray();
  EXPECT_TRUE(sim.fs.Exists(kTrayPath));
  EXPECT_NE(Autostart(sim), nullptr);
}

class StartTrayTest : public SimTest {
 protected:
  void TearDown() override {
    session::Release(session.InstallerDirectory);
    SimTest::TearDown();
  }
  void Start(const std::wstring& installer_directory) {
    session::Assign(session.InstallerDirectory, installer_directory.c_str());
    StartTray(session);
  }
  std::wstring AutostartText() {
    const sim::RegValue* value = Autostart(sim);
    if (value == nullptr) {
      return L"<none>";
    }
    EXPECT_EQ(value->type, DWORD{REG_SZ});
    return std::wstring(reinterpret_cast<const wchar_t*>(value->data.data()),
                        value->data.size() / 2);
  }
  session::InstallSession session;
};

TEST_F(StartTrayTest, TheCompanionBesideTheInstallersFolderIsRegisteredAndStarted) {
  const struct {
    const wchar_t* installer;
    std::wstring value;  // with its terminator
    const wchar_t* command;
  } cases[] = {
      {L"C:\\Product\\x64\\", std::wstring(L"C:\\Product\\lumtray.exe\0", 23),
       L"\"C:\\Product\\lumtray.exe\""},
      {L"C:\\Product\\", std::wstring(L"C:\\lumtray.exe\0", 15), L"\"C:\\lumtray.exe\""},
      {L"C:\\", std::wstring(L"lumtray.exe\0", 12), L"\"lumtray.exe\""},
      {L"D:/Setup/x64/", std::wstring(L"D:/Setup\\lumtray.exe\0", 21),
       L"\"D:/Setup\\lumtray.exe\""},
  };
  for (const auto& c : cases) {
    sim.calls.clear();
    Start(c.installer);
    EXPECT_EQ(AutostartText(), c.value);
    EXPECT_THAT(sim.CallsNamed({"CreateProcessW"}),
                ::testing::ElementsAre("CreateProcessW(" + sim::Narrow(c.command) + ")"));
  }
}

// A bare "lumtray.exe" would be looked for in other directories, the
// current one among them, and started with the installer's rights.
TEST_F(StartTrayTest, TheCompanionIsNeverStartedByABareNameForWantOfItsPlaceOrOfMemory) {
  Start(L"");
  EXPECT_EQ(sim.Count("CreateProcessW"), 0) << "without the installer's directory";
  EXPECT_EQ(AutostartText(), L"<none>");
  for (int nth = 1; nth <= 10; ++nth) {
    sim.calls.clear();
    session::Release(session.InstallerDirectory);
    session::Assign(session.InstallerDirectory, L"C:\\Product\\x64\\");
    sim.FailAllocation(nth, 1, sim::Block::kHeap);
    StartTray(session);
    for (const std::string& call : sim.CallsNamed({"CreateProcessW"})) {
      EXPECT_EQ(call, "CreateProcessW(\"C:\\Product\\lumtray.exe\")") << nth;
    }
  }
}

TEST_F(StartTrayTest, TheStartedCompanionRunsDetached) {
  sim.fs.Put(L"C:\\Product\\lumtray.exe", "tray");
  testing_support::RegisterTrayProgram(sim);
  Start(L"C:\\Product\\x64\\");
  HWND window = sim.FindWindowW(testing_support::kTrayClass, nullptr);
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(sim.processes[sim.windows[window].process].running);
  EXPECT_EQ(sim.Count("WaitForSingleObject"), 0);
}

TEST_F(StartTrayTest, AVeryLongPathIsCutInTheCommandLineButStoredWhole) {
  std::wstring directory = L"C:\\" + std::wstring(280, L'd') + L"\\x64\\";
  Start(directory);
  std::wstring path = L"C:\\" + std::wstring(280, L'd') + L"\\lumtray.exe";
  EXPECT_EQ(AutostartText(), path + L'\0');
  std::string command = sim.CallsNamed({"CreateProcessW"}).front();
  EXPECT_EQ(command, "CreateProcessW(\"" + sim::Narrow(path.substr(0, 259)) + "\")");
}

TEST_F(StartTrayTest, NothingHappensWithoutTrayOrOnAnOldPlatform) {
  const struct {
    const char* name;
    uint8_t launch;
    DWORD major, platform;
  } cases[] = {{"in_notray", 0, 6, VER_PLATFORM_WIN32_NT},
               {"Windows XP", 1, 5, VER_PLATFORM_WIN32_NT},
               {"not NT", 1, 6, VER_PLATFORM_WIN32_WINDOWS}};
  for (const auto& c : cases) {
    session.LaunchTray = c.launch;
    sim.os_version.dwMajorVersion = c.major;
    sim.os_version.dwPlatformId = c.platform;
    Start(L"C:\\Product\\x64\\");
    EXPECT_EQ(AutostartText(), L"<none>") << c.name;
    EXPECT_EQ(sim.Count("CreateProcessW"), 0) << c.name;
  }
}

TEST_F(StartTrayTest, ARegistryThatRefusesStillStartsAndAFailedStartKeepsTheValue) {
  sim.registry.Key(sim::kRunKey).open_error = ERROR_ACCESS_DENIED;
  sim.fs.Put(L"C:\\Product\\lumtray.exe", "tray");
  Start(L"C:\\Product\\x64\\");
  EXPECT_EQ(sim.Count("CreateProcessW"), 1);
  sim.registry.Key(sim::kRunKey).open_error = ERROR_SUCCESS;
  sim.fs.Remove(L"C:\\Product\\lumtray.exe");
  Start(L"C:\\Product\\x64\\");
  EXPECT_EQ(AutostartText(), std::wstring(L"C:\\Product\\lumtray.exe\0", 23));
}

}  // namespace
}  // namespace companions
