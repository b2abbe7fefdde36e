#include "session/session_log.h"

#include <string>

#include "session/install_session.h"
#include "support/session_test.h"

namespace session {
namespace {

using ::testing::ElementsAre;

using SessionLogTest = testing_support::SessionTest;

TEST_F(SessionLogTest, LinesAreIndentedTwoSpacesALevelUpToTenLevels) {
  const struct {
    int depth;
    const wchar_t* line;
  } cases[] = {
      {0, L"x\r\n"}, {3, L"      x\r\n"}, {12, L"                    x\r\n"}, {-2, L"x\r\n"}};
  for (const auto& c : cases) {
    Release(session.SessionLog);
    session.Depth = c.depth;
    LogLine(session, L"%s", L"x");
    EXPECT_EQ(Log(), c.line) << "depth " << c.depth;
  }
}

TEST_F(SessionLogTest, AnEmptyTextStillMakesALine) {
  session.Depth = 2;
  LogLine(session, L"");
  AppendLogLine(session, nullptr);
  EXPECT_EQ(Log(), L"    \r\n    \r\n");
}

TEST_F(SessionLogTest, ErrorLinesCarryTheNumberTheMessageAndTheSystemText) {
  const struct {
    ErrorNumber number;
    DWORD last_error;
    const wchar_t* line;
  } cases[] = {
      {ErrorNumber::kOpenServiceManager, 0, L"Error(1): Can't open service manager."},
      {ErrorNumber::kOpenSpooler, ERROR_ACCESS_DENIED,
       L"Error(2): Can't open the spooler - (Access is denied.)"},
      {ErrorNumber::kStopSpooler, 0, L"Error(3): Can't stop the spooler"},
      {ErrorNumber::kStartSpooler, 0, L"Error(4): Can't start the spooler"},
      {ErrorNumber::kDriverDirectory, 0, L"Error(6): Can`t retrieve printer driver directory."},
      {ErrorNumber::kSystemDirectory, 0, L"Error(7): Can`t retrieve system directory."},
      {ErrorNumber::kCopyShortWrite, 0, L"Error(8): CopyFile(..,X)"},
      {ErrorNumber::kOpenDestination, 0, L"Error(9): Cant't open destination file: X"},
      {ErrorNumber::kOpenSource, 0, L"Error(10): Cant't open source file: X"},
      {ErrorNumber::kInstallMonitor, 0,
       L"Error(11): Can`t install a local port monitor'Lumenquill:'"},
      {ErrorNumber::kRemoveMonitor, 0, L"Error(12): Can`t remove the port monitor 'Lumenquill:'"},
      {ErrorNumber::kInstallDriver, 0,
       L"Error(13): Can`t install a printer driver 'Lumenquill printer'"},
      {ErrorNumber::kRemoveDriver, 0,
       L"Error(14): Can`t remove the printer-driver 'Lumenquill printer'"},
      {ErrorNumber::kAddPrinter, 0, L"Error(15): Can`t add printer 'X'"},
      {ErrorNumber::kOpenPrinter, 0, L"Error(16): Can`t open printer 'X'"},
      {ErrorNumber::kDeletePrinter, 12345,
       L"Error(17): Can`t delete printer 'X' - ( No Description )"},
  };
  for (const auto& c : cases) {
    Release(session.SessionLog);
    sim.SetLastError(c.last_error);
    ReportError(session, c.number, L"X");
    EXPECT_EQ(Log(), std::wstring(c.line) + L"\r\n");
  }
  sim.SetLastError(ERROR_DEPENDENT_SERVICES_RUNNING);
  Release(session.SessionLog);
  session.Depth = 1;
  ReportError(session, ErrorNumber::kControlService, 1051, 1051);
  EXPECT_EQ(Log(),
            L"  Error(5): ControlService failed with code 1051 (0x41b) - (A stop control has been "
            L"sent to a service that other running services are dependent on.)\r\n");
  EXPECT_EQ(session.ErrorCount, 17);
}

TEST_F(SessionLogTest, TheLastErrorIsReadBeforeAnythingElseRuns) {
  sim.SetLastError(ERROR_FILE_NOT_FOUND);
  sim.calls.clear();
  ReportError(session, ErrorNumber::kOpenSource, L"%n%s%x");
  EXPECT_EQ(sim.calls.front(), "GetLastError");
  EXPECT_EQ(Log(),
            L"Error(10): Cant't open source file: %n%s%x - (The system cannot find the file "
            L"specified.)\r\n")
      << "an argument is never taken as a format";
}

TEST_F(SessionLogTest, SystemTextsLoseEveryTrailingLineBreak) {
  const struct {
    const wchar_t* stored;
    const wchar_t* returned;
  } cases[] = {
      {L"Text.\r\n", L"Text."}, {L"Text.\n\n\r", L"Text."}, {L"Text.", L"Text."}, {L"\r\n", L""}};
  for (const auto& c : cases) {
    sim.messages[777] = c.stored;
    LPWSTR text = SystemMessage(777);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, c.returned);
    sim.LocalFree(text);
  }
  sim.messages.erase(777);
  EXPECT_EQ(SystemMessage(777), nullptr);
  sim.messages[777] = L"Kept.\r\n";
  LPWSTR kept = SystemMessageWithLineBreak(777);
  EXPECT_STREQ(kept, L"Kept.\r\n");
  sim.LocalFree(kept);
}

TEST_F(SessionLogTest, LongTextsAreCutAt1023Characters) {
  std::wstring long_text(3000, L'y');
  LogLine(session, L"%s", long_text.c_str());
  EXPECT_EQ(Log(), std::wstring(1023, L'y') + L"\r\n");
  Release(session.SessionLog);
  sim.SetLastError(ERROR_ACCESS_DENIED);
  ReportError(session, ErrorNumber::kAddPrinter, long_text.c_str());
  std::wstring line = Log();
  EXPECT_EQ(line.size(), 1023u + 2);
  EXPECT_EQ(line.substr(0, 28), L"Error(15): Can`t add printer");
}

}  // namespace
}  // namespace session
