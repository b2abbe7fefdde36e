#include "session/install_session.h"

#include <string>

#include "session/module_instance.h"
#include "session/session_log.h"
#include "support/session_test.h"

namespace session {
namespace {

using InstallSessionTest = testing_support::SessionTest;

TEST_F(InstallSessionTest, TheModeSelectsTheFileSetAndTheTray) {
  const struct {
    uint32_t mode;
    const wchar_t* environment;
    const wchar_t* monitor;
    const wchar_t* driver;
    const wchar_t* config;
    uint8_t is64, tray;
    const wchar_t* driver_directory;
  } cases[] = {
      {2, L"Windows x64", L"kvnmon64.dll", L"kvndrv64.dll", L"kvnui64.dll", 1, 1,
       L"C:\\Windows\\system32\\spool\\DRIVERS\\x64\\"},
      {6, L"Windows x64", L"kvnmon64.dll", L"kvndrv64.dll", L"kvnui64.dll", 1, 0,
       L"C:\\Windows\\system32\\spool\\DRIVERS\\x64\\"},
      {0, L"Windows NT x86", L"kvnmon32.dll", L"kvndrv32.dll", L"kvnui32.dll", 0, 1,
       L"C:\\Windows\\system32\\spool\\DRIVERS\\W32X86\\"},
  };
  for (const auto& c : cases) {
    FreeSession(session);
    InitSession(session, c.mode);
    EXPECT_STREQ(session.Environment, c.environment);
    EXPECT_STREQ(session.MonitorFile, c.monitor);
    EXPECT_STREQ(session.DriverFile, c.driver);
    EXPECT_STREQ(session.ConfigFile, c.config);
    EXPECT_STREQ(session.HelpFile, L"kvnhelp.chm");
    EXPECT_EQ(session.Is64Bit, c.is64);
    EXPECT_EQ(session.LaunchTray, c.tray);
    EXPECT_EQ(session.CheckMonitorVersion, 0);
    EXPECT_EQ(session.InstallMonitor, 1);
    EXPECT_EQ(session.CopyMonitor, 1);
    EXPECT_STREQ(Text(session.DriverDirectory), c.driver_directory);
    EXPECT_STREQ(Text(session.SystemDirectory), L"C:\\Windows\\system32\\");
    EXPECT_STREQ(Text(session.InstallerDirectory), L"C:\\Program Files\\Lumenquill\\x64\\");
  }
}

TEST_F(InstallSessionTest, TheLogBeginsWithTheHeaderTheSpoolerCheckAndTheDriverDirectory) {
  InitSession(session, ModeX64);
  EXPECT_EQ(Log(),
            L"Lumenquill 2542\r\n"
            L">Check Spooler\r\n"
            L"PrinterDriverDirectory(1):C:\\Windows\\system32\\spool\\DRIVERS\\x64\r\n"
            L"PrinterDriverDirectory(2):C:\\Windows\\system32\\spool\\DRIVERS\\x64\\\r\n");
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(InstallSessionTest, TheInstallerDirectoryKeepsEverythingUpToTheLastSeparator) {
  const struct {
    const wchar_t* program;
    const wchar_t* directory;
  } cases[] = {{L"C:\\install.exe", L"C:\\"},
               {L"C:\\Product\\x64/install.exe", L"C:\\Product\\x64/"},
               {L"D:install.exe", L"D:"},
               {L"install.exe", L""}};
  for (const auto& c : cases) {
    FreeSession(session);
    sim.module_path = c.program;
    InitSession(session, ModeX64);
    EXPECT_STREQ(Text(session.InstallerDirectory), c.directory);
  }
}

// A program path that fills its 260-character buffer was cut; the
// directory of what is left may be another one.
TEST_F(InstallSessionTest, AProgramPathCutByItsBufferGivesNoInstallerDirectory) {
  const std::wstring fits = L"C:\\" + std::wstring(244, L'm') + L"\\";  // 259 with the name
  const std::wstring cut = L"C:\\" + std::wstring(245, L'm') + L"\\";   // 260 with the name
  const std::wstring inside = L"C:\\Setup\\" + std::wstring(280, L'x') + L"\\";
  const struct {
    std::wstring directory;
    bool kept;
  } cases[] = {{fits, true}, {cut, false}, {inside, false}};
  for (const auto& c : cases) {
    FreeSession(session);
    sim.module_path = c.directory + L"install.exe";
    InitSession(session, ModeX64);
    EXPECT_EQ(std::wstring(Text(session.InstallerDirectory)), c.kept ? c.directory : L"")
        << sim.module_path.size();
  }
}

TEST_F(InstallSessionTest, ASystemDirectoryWithItsBackslashGetsNoSecondOne) {
  sim.system_directory = L"C:\\Windows\\system32\\";
  InitSession(session, ModeX64);
  EXPECT_STREQ(Text(session.SystemDirectory), L"C:\\Windows\\system32\\");
}

TEST_F(InstallSessionTest, MissingDirectoriesAreReportedAndCreationGoesOn) {
  sim.FailCall("GetPrinterDriverDirectoryW", 1, ERROR_ACCESS_DENIED);
  sim.FailCall("GetSystemDirectoryW", 1, ERROR_NOT_ENOUGH_MEMORY);
  InitSession(session, ModeX64);
  EXPECT_EQ(Log(),
            L"Lumenquill 2542\r\n"
            L">Check Spooler\r\n"
            L"Error(6): Can`t retrieve printer driver directory. - (Access is denied.)\r\n"
            L"Error(7): Can`t retrieve system directory. - (Not enough memory resources are "
            L"available to process this command.)\r\n");
  EXPECT_EQ(session.ErrorCount, 2);
  EXPECT_STREQ(Text(session.DriverDirectory), L"");
  EXPECT_STREQ(Text(session.SystemDirectory), L"");
  EXPECT_STREQ(session.HelpFile, L"kvnhelp.chm");
  EXPECT_STREQ(Text(session.InstallerDirectory), L"C:\\Program Files\\Lumenquill\\x64\\");
}

TEST_F(InstallSessionTest, TheDefaultPrinterIsMarkedOnEveryEntryWithItsExactName) {
  sim.spooler.drivers.push_back({L"Generic", sim::kEnvX64});
  for (const wchar_t* name : {L"Alpha", L"alpha", L"Beta", L"Alpha"}) {
    sim::Printer printer;
    printer.name = name;
    printer.driver = L"Generic";
    printer.port = L"FILE:";
    sim.spooler.printers.push_back(printer);
  }
  sim.spooler.default_printer = L"Alpha";
  InitSession(session, ModeX64);
  ASSERT_EQ(session.Printers.count, 4u);
  std::vector<bool> marked;
  for (uint32_t i = 0; i < session.Printers.count; ++i) {
    marked.push_back((session.Printers.Records()[i].Attributes & PRINTER_ATTRIBUTE_DEFAULT) != 0);
  }
  EXPECT_EQ(marked, (std::vector<bool>{true, false, false, true}));
  EXPECT_TRUE(sim.spooler.printers[0].attributes == PRINTER_ATTRIBUTE_LOCAL)
      << "only the session's copy is marked";
}

TEST_F(InstallSessionTest, NoDefaultPrinterMarksNothing) {
  sim.spooler.drivers.push_back({L"Generic", sim::kEnvX64});
  sim::Printer printer;
  printer.name = L"Alpha";
  printer.driver = L"Generic";
  printer.port = L"FILE:";
  sim.spooler.printers.push_back(printer);
  InitSession(session, ModeX64);
  ASSERT_EQ(session.Printers.count, 1u);
  EXPECT_EQ(session.Printers.Records()[0].Attributes & PRINTER_ATTRIBUTE_DEFAULT, 0u);
}

TEST_F(InstallSessionTest, AStoppedSpoolerIsStartedWhileTheSessionIsCreated) {
  sim.spooler_service.state = SERVICE_STOPPED;
  InitSession(session, ModeX64);
  EXPECT_EQ(sim.spooler_service.state, DWORD{SERVICE_RUNNING});
  EXPECT_EQ(session.ErrorCount, 0);
  EXPECT_EQ(sim.clock.now, 200u) << "one pause of the start poll";
}

}  // namespace
}  // namespace session
