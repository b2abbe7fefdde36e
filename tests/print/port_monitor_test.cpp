#include "print/port_monitor.h"

#include <string>

#include "services/pending_deletes.h"
#include "session/install_session.h"
#include "support/scenario.h"
#include "support/session_test.h"

namespace print {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testing_support::AddPrinter;
using testing_support::Build;

constexpr wchar_t kMonitorDll[] = L"C:\\Windows\\system32\\kvnmon64.dll";

class PortMonitorTest : public testing_support::SessionTest {
 protected:
  void SetUp() override {
    testing_support::PutInstallerFiles(sim);
    testing_support::InstallOtherDriver(sim, L"Other");
  }
  // A session as a reinstall has it when it removes the monitor.
  void StartSession(bool check_version) {
    SessionTest::StartSession();
    session.CheckMonitorVersion = check_version ? 1 : 0;
  }
  void Delete() {
    MonitorList monitors;
    EnumerateMonitors(monitors, session);
    DeleteMonitor(session, monitors);
    FreeList(monitors);
  }
  std::wstring PortOf(const wchar_t* printer) { return sim.spooler.FindPrinter(printer)->port; }
};

TEST_F(PortMonitorTest, FileProductVersionIsTheLastPartOfTheProductVersion) {
  sim::File& file = sim.fs.Put(L"C:\\x.dll");
  file.version = sim::FileVersion{{3, 1, 7, 12}, {9, 9, 9, 9}};
  EXPECT_EQ(FileProductVersion(L"C:\\x.dll"), 12);
  file.version = sim::FileVersion{{1, 0, 0, 65535}, {1, 0, 0, 1}};
  EXPECT_EQ(FileProductVersion(L"C:\\x.dll"), 65535);
  sim.fs.Put(L"C:\\plain.dll");
  EXPECT_EQ(FileProductVersion(L"C:\\plain.dll"), -1);
  EXPECT_EQ(FileProductVersion(L"C:\\missing.dll"), -1);
  sim.FailAllocation(1);
  EXPECT_EQ(FileProductVersion(L"C:\\x.dll"), -1);
  sim.FailCall("VerQueryValueW", 1, ERROR_RESOURCE_TYPE_NOT_FOUND);
  EXPECT_EQ(FileProductVersion(L"C:\\x.dll"), -1);
}

TEST_F(PortMonitorTest, AMonitorOfACompatibleBuildIsKeptByAReinstall) {
  const struct {
    WORD build;
    bool kept;
    const wchar_t* line;
  } cases[] = {
      {2542, true, L"Version (2542) is compatible, proceed without uninstall"},
      {2451, true, L"Version (2451) is compatible, proceed without uninstall"},
      {2450, false, L"Version (2450) is not supported, proceed with reinstall"},
      {2543, false, L"Version (2543) is not supported, proceed with reinstall"},
      {0, false, L"Version is unknown, proceed with reinstall"},
  };
  for (const auto& c : cases) {
    sim::SimWindows model;
    platform::SystemScope scope(model);
    testing_support::InstallProductMonitor(model, c.build);
    session::InstallSession local;
    session::InitSession(local, session::ModeX64);
    local.CheckMonitorVersion = 1;
    MonitorList monitors;
    EnumerateMonitors(monitors, local);
    DeleteMonitor(local, monitors);
    FreeList(monitors);
    std::wstring log = session::Text(local.SessionLog);
    EXPECT_THAT(log, HasSubstr(c.line)) << c.build;
    EXPECT_EQ(model.spooler.FindMonitor(L"Lumenquill:") != nullptr, c.kept) << c.build;
    EXPECT_EQ(model.fs.Exists(kMonitorDll), c.kept) << c.build;
    EXPECT_EQ(local.InstallMonitor, c.kept ? 0 : 1) << c.build;
    EXPECT_EQ(local.CopyMonitor, 1) << c.build;
    if (c.kept) {
      EXPECT_THAT(log, HasSubstr(L"InstallMonitor == 0, CopyMonitor == 1\r\n"));
    } else {
      EXPECT_THAT(log, HasSubstr(L"Monitor was removed :)"));
    }
    EXPECT_EQ(local.ErrorCount, 0);
    session::FreeSession(local);
    EXPECT_THAT(model.Leaks(), ::testing::IsEmpty());
  }
}

TEST_F(PortMonitorTest, AnUnregisteredCompatibleDllIsRegisteredWithoutCopying) {
  sim.fs.Put(kMonitorDll, "compatible").version = Build(2500);
  StartSession(true);
  Delete();
  EXPECT_EQ(Log(),
            L">DeleteMonitor\r\n"
            L"  ------- 2 existing monitors ----------\r\n"
            L"  1. Local Port\r\n"
            L"  2. Standard TCP/IP Port\r\n"
            L"  ---------------------------------------\r\n"
            L"  No Lumenquill port monitor was found.\r\n"
            L"  Computing monitor filename\r\n"
            L"  Auto calculated monitor file name: C:\\Windows\\system32\\kvnmon64.dll\r\n"
            L"  Version (2500) is compatible, proceed without uninstall\r\n"
            L"  InstallMonitor == 1, CopyMonitor == 0\r\n");
  session::Release(session.SessionLog);
  AddMonitor(session);
  EXPECT_THAT(Log(), HasSubstr(L"Skip copy monitor file"));
  EXPECT_EQ(sim.fs.Find(kMonitorDll)->bytes, "compatible");
  EXPECT_NE(sim.spooler.FindMonitor(L"Lumenquill:"), nullptr);
}

TEST_F(PortMonitorTest, WithoutAVersionCheckTheMonitorAndItsDllAreRemoved) {
  testing_support::InstallProductMonitor(sim, 2542);
  sim.spooler.monitor_dll_stays_loaded = true;  // so the DLL must wait
  StartSession(false);
  Delete();
  EXPECT_THAT(Log(), HasSubstr(L"  Port monitor is found. Index=3\r\n"
                               L"  Trying to get monitor filename from MONITOR_INFO_2\r\n"
                               L"  Auto calculated monitor file name: "
                               L"C:\\Windows\\system32\\kvnmon64.dll\r\n"
                               L"  There is no check for monitor version\r\n"
                               L"  Monitor was removed :)\r\n"));
  EXPECT_EQ(sim.spooler.FindMonitor(L"Lumenquill:"), nullptr);
  ASSERT_NE(session.PendingDeletes, nullptr);
  EXPECT_STREQ(session.PendingDeletes->path, kMonitorDll);
}

TEST_F(PortMonitorTest, NoMonitorNoDeletionNoError) {
  StartSession(false);
  Delete();
  EXPECT_THAT(Log(), HasSubstr(L"  Can't delete monitor and monitor was not found. So everything "
                               L"should be ok\r\n"));
  EXPECT_EQ(session.ErrorCount, 0);
  EXPECT_EQ(sim.Count("DeleteFileW"), 0);
}

TEST_F(PortMonitorTest, PrintersOnTheProductPortAreSwitchedToFileAndBackToWhereTheyWere) {
  testing_support::InstallProductMonitor(sim, 2000);
  AddPrinter(sim, L"Alone", L"Other", L"Lumenquill:");
  AddPrinter(sim, L"Middle", L"Other", L"LPT1:,Lumenquill:,COM1:");
  AddPrinter(sim, L"After file", L"Other", L"file:,Lumenquill:");
  AddPrinter(sim, L"Elsewhere", L"Other", L"LPT1:");
  StartSession(true);
  Delete();
  EXPECT_EQ(PortOf(L"Alone"), L"file:");
  EXPECT_EQ(PortOf(L"Middle"), L"LPT1:,file:,COM1:");
  EXPECT_EQ(PortOf(L"After file"), L"file:,file:");
  EXPECT_EQ(PortOf(L"Elsewhere"), L"LPT1:");
  EXPECT_THAT(Log(), HasSubstr(L"  Can't delete monitor from the first try\r\n"
                               L"  SetPrinter(Alone) - ok\r\n"
                               L"  SetPrinter(Middle) - ok\r\n"
                               L"  SetPrinter(After file) - ok\r\n"
                               L"  Monitor was removed :)\r\n"));
  ASSERT_NE(session.ReboundPrinters, nullptr);
  EXPECT_EQ(session.ReboundPrinters[3].printer, nullptr) << "three rebound, then the end";

  AddMonitor(session);
  EXPECT_EQ(PortOf(L"Alone"), L"Lumenquill:");
  EXPECT_EQ(PortOf(L"Middle"), L"LPT1:,Lumenquill:,COM1:");
  EXPECT_EQ(PortOf(L"After file"), L"file:,Lumenquill:") << "the port goes back where it was";
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(PortMonitorTest, APrinterDeletedEarlierIsRewrittenInMemoryOnly) {
  testing_support::InstallProductMonitor(sim, 2000);
  AddPrinter(sim, L"Gone", L"Other", L"Lumenquill:");
  StartSession(true);
  sim.spooler.printers.clear();  // deleted after the snapshot was taken
  sim.FailCall("DeleteMonitorW", 1, ERROR_PRINT_MONITOR_IN_USE);
  Delete();
  EXPECT_THAT(Log(), HasSubstr(L"  Can't open printer Gone\r\n"));
  ASSERT_NE(session.ReboundPrinters, nullptr);
  EXPECT_STREQ(session.ReboundPrinters[0].printer->pPortName, L"file:");
  AddMonitor(session);
  EXPECT_STREQ(session.ReboundPrinters[0].printer->pPortName, L"Lumenquill:");
}

TEST_F(PortMonitorTest, AMonitorThatResistsEvenARestartIsErrorTwelveAndItsDllStays) {
  testing_support::InstallProductMonitor(sim, 2000);
  StartSession(false);
  sim.FailCall("DeleteMonitorW", 1, ERROR_PRINT_MONITOR_IN_USE, 3);
  Delete();
  EXPECT_THAT(Log(), HasSubstr(L"  Can't delete monitor from the first try\r\n"
                               L"  >Restart Spooler\r\n"
                               L"  Error(12): Can`t remove the port monitor 'Lumenquill:' - "
                               L"(The specified print monitor is currently in use.)\r\n"));
  EXPECT_EQ(session.ReboundPrinters, nullptr) << "an empty snapshot makes no array";
  EXPECT_TRUE(sim.fs.Exists(kMonitorDll));
  EXPECT_EQ(session.ErrorCount, 1);
  EXPECT_EQ(sim.spooler_service.state, DWORD{SERVICE_RUNNING});
}

TEST_F(PortMonitorTest, WithoutMemoryForTheArrayNoPrinterIsSwitched) {
  testing_support::InstallProductMonitor(sim, 2000);
  AddPrinter(sim, L"Mine", L"Other", L"Lumenquill:");
  StartSession(false);
  sim.before_call["DeleteMonitorW"] = [&](int number) {
    if (number == 1) {
      sim.FailAllocation(1, 1, sim::Block::kGlobal);  // the array of rebound printers
    }
  };
  Delete();
  EXPECT_EQ(PortOf(L"Mine"), L"Lumenquill:");
  EXPECT_STREQ(session.Printers.Records()[0].pPortName, L"Lumenquill:");
  EXPECT_THAT(Log(), HasSubstr(L"Error(12)")) << "still in use after the restart";
  EXPECT_EQ(sim.Count("DeleteMonitorW"), 3);
}

// Without the system directory the monitor's DLL has no path: its bare
// name would be a file of the current directory.
TEST_F(PortMonitorTest, WithoutTheSystemDirectoryNoFileIsCopiedReadOrDeletedByItsBareName) {
  sim.fs.current_directory = L"C:\\Users\\Me";
  sim.fs.Put(L"C:\\Users\\Me\\kvnmon64.dll", "mine").version = Build(2542);
  for (bool check_version : {true, false}) {
    testing_support::InstallProductMonitor(sim, 2000);
    sim.FailCall("GetSystemDirectoryW", 1, ERROR_NOT_ENOUGH_MEMORY);
    session::FreeSession(session);
    StartSession(check_version);
    Delete();
    AddMonitor(session);
    const sim::File* mine = sim.fs.Find(L"C:\\Users\\Me\\kvnmon64.dll");
    ASSERT_NE(mine, nullptr) << check_version;
    EXPECT_EQ(mine->bytes, "mine") << check_version;
    EXPECT_EQ(sim.Count("GetFileVersionInfoSizeW(kvnmon64.dll)"), 0) << check_version;
    EXPECT_THAT(Log(), HasSubstr(L"No system directory: the monitor file is not copied"));
    if (check_version) {
      EXPECT_THAT(Log(), HasSubstr(L"Version is unknown, proceed with reinstall"));
    }
    sim.spooler.monitors.erase(sim.spooler.monitors.begin() + 2, sim.spooler.monitors.end());
  }
}

TEST_F(PortMonitorTest, RegistrationIsTriedFiveTimes50MsApart) {
  StartSession(false);
  sim.FailCall("AddMonitorW", 1, ERROR_ACCESS_DENIED, 2);
  AddMonitor(session);
  EXPECT_EQ(Log(),
            L">AddMonitor\r\n"
            L"  Copy monitor file\r\n"
            L"  >CopyFile kvnmon64.dll to C:\\Windows\\system32\\ [0])\r\n"
            L"    Copy Succeeded :)\r\n"
            L"  AddMonitor - failed. Trying to wait and install again\r\n"
            L"  AddMonitor - failed. Trying to wait and install again\r\n"
            L"  AddMonitor - OK :)\r\n");
  EXPECT_EQ(sim.clock.now, 100u);
  EXPECT_EQ(sim.fs.Find(kMonitorDll)->bytes, "contents of kvnmon64.dll");

  session::Release(session.SessionLog);
  sim.clock.now = 0;
  session.CopyMonitor = 0;
  AddMonitor(session);  // already registered: refused every time
  EXPECT_EQ(sim.clock.now, 200u);
  EXPECT_THAT(Log(), HasSubstr(L"  Error(11): Can`t install a local port monitor'Lumenquill:' - "
                               L"(The specified print monitor has already been installed.)\r\n"));
  EXPECT_EQ(session.ErrorCount, 1);
}

TEST_F(PortMonitorTest, ALockedOldDllIsReplacedWithTheSpoolerStopped) {
  sim.fs.Put(kMonitorDll, "old").image_locks.insert("spooler");
  StartSession(false);
  AddMonitor(session);
  EXPECT_THAT(Log(), HasSubstr(L"    Copy Failed :(\r\n"
                               L"  >Restart Spooler\r\n"
                               L"  >CopyFile kvnmon64.dll to C:\\Windows\\system32\\ [1])\r\n"
                               L"    Copy Succeeded :)\r\n"
                               L"  AddMonitor - OK :)\r\n"));
  EXPECT_EQ(sim.fs.Find(kMonitorDll)->bytes, "contents of kvnmon64.dll");
  EXPECT_EQ(session.ErrorCount, 0);
}

}  // namespace
}  // namespace print
