#include "print/printer_driver.h"

#include <string>

#include "services/pending_deletes.h"
#include "session/install_session.h"
#include "support/scenario.h"
#include "support/session_test.h"

namespace print {
namespace {

using ::testing::HasSubstr;
using testing_support::kDriverDirectory;

class PrinterDriverTest : public testing_support::SessionTest {
 protected:
  void SetUp() override { testing_support::PutInstallerFiles(sim); }
  void Delete() {
    DriverList drivers;
    EnumerateDrivers(drivers, session.Environment);
    DeletePrinterDriver(session, drivers);
    FreeList(drivers);
  }
  std::wstring Staged(const wchar_t* name) { return std::wstring(kDriverDirectory) + name; }
};

TEST_F(PrinterDriverTest, TheDriverIsRegisteredFromStagedCopiesThatAreRemovedAfterwards) {
  StartSession();
  AddPrinterDriver(session);
  const sim::Driver* driver = sim.spooler.FindDriver(L"Lumenquill printer", sim::kEnvX64);
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(driver->version, 3u);
  EXPECT_EQ(driver->driver_path, Staged(L"3\\kvndrv64.dll"));
  EXPECT_EQ(driver->data_file, Staged(L"3\\kvndrv64.dll"));
  EXPECT_EQ(driver->config_file, Staged(L"3\\kvnui64.dll"));
  EXPECT_EQ(driver->help_file, Staged(L"3\\kvnhelp.chm"));
  EXPECT_EQ(driver->manufacturer, L"Korvane Software Kft.");
  EXPECT_EQ(driver->provider, L"Korvane Software Kft.");
  EXPECT_THAT(driver->oem_url, HasSubstr(L".example/"));
  for (const wchar_t* name : {L"kvndrv64.dll", L"kvnui64.dll", L"kvnhelp.chm"}) {
    EXPECT_FALSE(sim.fs.Exists(Staged(name))) << "staged copy left behind";
    EXPECT_TRUE(sim.fs.Exists(Staged(L"3\\") + name));
  }
  EXPECT_THAT(Log(), HasSubstr(L"  OK :)\r\n"));
  EXPECT_EQ(session.ErrorCount, 0);
  EXPECT_EQ(session.PendingDeletes, nullptr);
}

TEST_F(PrinterDriverTest, WithoutAHelpFileTheDriverGoesInWithoutOne) {
  sim.fs.Remove(std::wstring(testing_support::kInstallerDirectory) + L"kvnhelp.chm");
  StartSession();
  AddPrinterDriver(session);
  const sim::Driver* driver = sim.spooler.FindDriver(L"Lumenquill printer", sim::kEnvX64);
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(driver->help_file, L"");
  EXPECT_EQ(session.ErrorCount, 1) << "the failed copy";
  EXPECT_THAT(Log(), HasSubstr(L"Error(10): Cant't open source file: kvnhelp.chm"));
  EXPECT_EQ(sim.Count("DeleteFileW"), 2);
}

TEST_F(PrinterDriverTest, WithoutTheUiDllNothingIsRegisteredAndTheStagedDriverStays) {
  sim.fs.Remove(std::wstring(testing_support::kInstallerDirectory) + L"kvnui64.dll");
  StartSession();
  AddPrinterDriver(session);
  EXPECT_EQ(sim.spooler.FindDriver(L"Lumenquill printer", sim::kEnvX64), nullptr);
  EXPECT_TRUE(sim.fs.Exists(Staged(L"kvndrv64.dll")));
  EXPECT_EQ(sim.Count("AddPrinterDriverExW"), 0);
  EXPECT_EQ(session.Depth, 0);
}

TEST_F(PrinterDriverTest, ARefusedRegistrationIsErrorThirteenAndTheStagedCopiesGoAnyway) {
  StartSession();
  sim.fs.Put(Staged(L"kvnui64.dll"));
  sim.before_call["AddPrinterDriverExW"] = [&](int) {
    sim.fs.Find(Staged(L"kvnui64.dll"))->image_locks.insert("explorer");
  };
  sim.FailCall("AddPrinterDriverExW", 1, ERROR_ACCESS_DENIED);
  AddPrinterDriver(session);
  EXPECT_THAT(Log(), HasSubstr(L"  Error(13): Can`t install a printer driver 'Lumenquill "
                               L"printer' - (Access is denied.)\r\n"));
  EXPECT_FALSE(sim.fs.Exists(Staged(L"kvndrv64.dll")));
  ASSERT_NE(session.PendingDeletes, nullptr) << "the locked copy waits";
  EXPECT_EQ(std::wstring(session.PendingDeletes->path), Staged(L"kvnui64.dll"));
  EXPECT_EQ(session.PendingDeletes->next, nullptr);
}

// Without the driver directory the copies would go to the current
// directory, and be deleted from there.
TEST_F(PrinterDriverTest, WithoutTheDriverDirectoryNothingIsStaged) {
  sim.fs.current_directory = L"C:\\Users\\Me";
  sim.fs.Put(L"C:\\Users\\Me\\kvndrv64.dll", "mine");
  sim.FailCall("GetPrinterDriverDirectoryW", 1, RPC_S_SERVER_UNAVAILABLE);
  StartSession();
  AddPrinterDriver(session);
  EXPECT_EQ(Log(),
            L">Add Printer Driver\r\n"
            L"  No printer driver directory: the driver is not staged\r\n");
  EXPECT_EQ(sim.Count("CreateFileW"), 0);
  EXPECT_EQ(sim.Count("AddPrinterDriverExW"), 0);
  const sim::File* mine = sim.fs.Find(L"C:\\Users\\Me\\kvndrv64.dll");
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(mine->bytes, "mine");
}

TEST_F(PrinterDriverTest, TheDriverListIsLoggedAndTheProductDriverFoundByItsExactName) {
  testing_support::InstallOtherDriver(sim, L"First");
  testing_support::InstallProductDriver(sim);
  testing_support::InstallOtherDriver(sim, L"Lumenquill printer (old)");
  StartSession();
  Delete();
  EXPECT_EQ(Log(),
            L">DeletePrinterDriver for Windows x64\r\n"
            L"  ------------ 3 existing drivers-----------\r\n"
            L"  1. First\r\n"
            L"  2. Lumenquill printer\r\n"
            L"  3. Lumenquill printer (old)\r\n"
            L"  -------------------------------------------\r\n"
            L"  Driver is found. Index=2\r\n"
            L"  OK :)\r\n");
  EXPECT_EQ(sim.spooler.drivers.size(), 2u);
  EXPECT_EQ(sim.spooler.FindDriver(L"First", sim::kEnvX64)->name, L"First");
  EXPECT_FALSE(sim.fs.Exists(Staged(L"3\\kvndrv64.dll"))) << "its files go with it";
  EXPECT_EQ(sim.CallsNamed({"DeletePrinterDriverExW"}).size(), 1u);
}

TEST_F(PrinterDriverTest, NoDriversNoProductDriverNothingDeleted) {
  testing_support::InstallOtherDriver(sim, L"LUMENQUILL PRINTER");
  StartSession();
  Delete();
  EXPECT_THAT(Log(), HasSubstr(L"  No Lumenquill driver was found\r\n"));
  EXPECT_EQ(sim.Count("DeletePrinterDriverExW"), 0);
  sim.spooler.drivers.clear();
  session::Release(session.SessionLog);
  Delete();
  EXPECT_EQ(Log(),
            L">DeletePrinterDriver for Windows x64\r\n"
            L"  BTW, there is no printer drivers on this system.\r\n"
            L"  No Lumenquill driver was found\r\n");
}

// A list that could not be taken says nothing about the driver: the
// deletion is tried, and the spooler's answer decides.
TEST_F(PrinterDriverTest, WithoutADriverListTheDeletionIsTriedAllTheSame) {
  const struct {
    const char* name;
    bool installed;
    int refusals;
    const wchar_t* log;
    int errors;
  } cases[] = {
      {"installed", true, 0,
       L">DeletePrinterDriver for Windows x64\r\n"
       L"  Can't list the printer drivers\r\n"
       L"  OK :)\r\n",
       0},
      {"not installed", false, 0,
       L">DeletePrinterDriver for Windows x64\r\n"
       L"  Can't list the printer drivers\r\n"
       L"  No Lumenquill driver was found\r\n",
       0},
      {"installed and in use", true, 2,
       L">DeletePrinterDriver for Windows x64\r\n"
       L"  Can't list the printer drivers\r\n"
       L"  Can't delete driver. Trying to restart spooler\r\n"
       L"  >Restart Spooler\r\n"
       L"  Error(14): Can`t remove the printer-driver 'Lumenquill printer' - (The specified "
       L"printer driver is currently in use.)\r\n",
       1},
  };
  StartSession();
  for (const auto& c : cases) {
    sim.spooler.drivers.clear();
    if (c.installed) {
      testing_support::InstallProductDriver(sim);
    }
    session::Release(session.SessionLog);
    session.ErrorCount = 0;
    sim.FailCall("EnumPrinterDriversW", 1, RPC_S_SERVER_UNAVAILABLE);
    if (c.refusals != 0) {
      sim.FailCall("DeletePrinterDriverExW", 1, ERROR_PRINTER_DRIVER_IN_USE, c.refusals);
    }
    Delete();
    EXPECT_EQ(Log(), c.log) << c.name;
    EXPECT_EQ(session.ErrorCount, c.errors) << c.name;
    bool left = sim.spooler.FindDriver(L"Lumenquill printer", sim::kEnvX64) != nullptr;
    EXPECT_EQ(left, c.installed && c.refusals != 0) << c.name;
  }
}

TEST_F(PrinterDriverTest, AFirstRefusalIsFollowedByASpoolerRestartAndASecondAttempt) {
  testing_support::InstallProductDriver(sim);
  StartSession();
  sim.FailCall("DeletePrinterDriverExW", 1, ERROR_PRINTER_DRIVER_IN_USE);
  Delete();
  EXPECT_THAT(Log(), HasSubstr(L"  Driver is found. Index=1\r\n"
                               L"  Can't delete driver. Trying to restart spooler\r\n"
                               L"  >Restart Spooler\r\n"
                               L"  OK :)\r\n"));
  EXPECT_EQ(session.ErrorCount, 0);
  EXPECT_EQ(sim.spooler.FindDriver(L"Lumenquill printer", sim::kEnvX64), nullptr);

  testing_support::InstallProductDriver(sim);
  session::Release(session.SessionLog);
  sim.FailCall("DeletePrinterDriverExW", 1, ERROR_PRINTER_DRIVER_IN_USE, 2);
  Delete();
  EXPECT_THAT(Log(), HasSubstr(L"  Error(14): Can`t remove the printer-driver 'Lumenquill "
                               L"printer' - (The specified printer driver is currently in "
                               L"use.)\r\n"));
  EXPECT_EQ(session.ErrorCount, 1);
}

}  // namespace
}  // namespace print
