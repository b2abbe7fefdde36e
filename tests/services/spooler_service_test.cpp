#include "services/spooler_service.h"

#include <string>

#include "session/install_session.h"
#include "support/session_test.h"

namespace services {
namespace {

using ::testing::ElementsAre;

class SpoolerServiceTest : public testing_support::SessionTest {
 protected:
  std::vector<std::string> ServiceCalls() const {
    return sim.CallsNamed({"OpenSCManagerW", "OpenServiceW", "StartServiceW", "ControlService",
                           "CloseServiceHandle"});
  }
};

TEST_F(SpoolerServiceTest, ARunningSpoolerIsOnlyLookedAt) {
  session.Depth = 1;
  EXPECT_TRUE(CheckSpooler(session));
  EXPECT_EQ(Log(), L"  >Check Spooler\r\n");
  EXPECT_EQ(session.Depth, 1);
  EXPECT_THAT(ServiceCalls(), ElementsAre("OpenSCManagerW", "OpenServiceW(spooler,0x14)",
                                          "CloseServiceHandle", "CloseServiceHandle"));
  EXPECT_EQ(sim.clock.now, 0u);
}

TEST_F(SpoolerServiceTest, CheckStartsAStoppedSpoolerOrReportsWhyItCannot) {
  const struct {
    const char* name;
    std::function<void(sim::SimWindows&)> arrange;
    bool result;
    const wchar_t* log;
    uint64_t time;
  } cases[] = {
      {"stopped", [](sim::SimWindows& s) { s.spooler_service.state = SERVICE_STOPPED; }, true,
       L">Check Spooler\r\n", 200},
      {"never starts",
       [](sim::SimWindows& s) {
         s.spooler_service.state = SERVICE_STOPPED;
         s.spooler_service.start_never_completes = true;
       },
       false, L">Check Spooler\r\n  Error(4): Can't start the spooler\r\n", 10000},
      {"no manager",
       [](sim::SimWindows& s) { s.FailCall("OpenSCManagerW", 1, ERROR_ACCESS_DENIED); }, false,
       L">Check Spooler\r\n  Error(1): Can't open service manager. - (Access is denied.)\r\n", 0},
      {"no service",
       [](sim::SimWindows& s) { s.FailCall("OpenServiceW", 1, ERROR_SERVICE_DOES_NOT_EXIST); },
       false,
       L">Check Spooler\r\n  Error(2): Can't open the spooler - (The specified service does not "
       L"exist as an installed service.)\r\n",
       0},
      {"status unreadable",
       [](sim::SimWindows& s) {
         s.spooler_service.state = SERVICE_STOPPED;
         s.FailCall("QueryServiceStatus", 1, ERROR_ACCESS_DENIED);
       },
       true, L">Check Spooler\r\n", 0},
  };
  for (const auto& c : cases) {
    sim::SimWindows model;
    platform::SystemScope scope(model);
    c.arrange(model);
    session::InstallSession local;
    EXPECT_EQ(CheckSpooler(local), c.result) << c.name;
    EXPECT_EQ(session::Text(local.SessionLog), std::wstring(c.log)) << c.name;
    EXPECT_EQ(model.clock.now, c.time) << c.name;
    EXPECT_EQ(local.Depth, 0) << c.name;
    session::Release(local.SessionLog);
    EXPECT_THAT(model.Leaks(), ::testing::IsEmpty()) << c.name;
  }
}

TEST_F(SpoolerServiceTest, ARestartStopsAndStartsTheSpoolerWithinItsStep) {
  SpoolerStop stop;
  RestartSpooler(stop, &session);
  EXPECT_EQ(sim.spooler_service.state, DWORD{SERVICE_STOPPED});
  EXPECT_EQ(stop.stopped, 1);
  ResumeSpooler(stop);
  EXPECT_EQ(sim.spooler_service.state, DWORD{SERVICE_RUNNING});
  EXPECT_EQ(Log(), L">Restart Spooler\r\n");
  EXPECT_EQ(session.ErrorCount, 0);
  EXPECT_EQ(sim.clock.now, 400u) << "one pause to stop, one to start";
  EXPECT_EQ(sim.Count("QueryServiceStatus"), 4);
}

TEST_F(SpoolerServiceTest, ASpoolerStoppedBeforeTheRestartIsNoErrorAndIsStartedAfterwards) {
  sim.spooler_service.state = SERVICE_STOPPED;
  SpoolerStop stop;
  RestartSpooler(stop, &session);
  EXPECT_EQ(sim.clock.now, 0u) << "the first status already shows it stopped";
  ResumeSpooler(stop);
  EXPECT_EQ(sim.spooler_service.state, DWORD{SERVICE_RUNNING});
  EXPECT_EQ(Log(), L">Restart Spooler\r\n");
}

TEST_F(SpoolerServiceTest, ARefusedStopIsReportedWaitedForAndStillFollowedByAStart) {
  sim.spooler_service.stop_refusal = ERROR_DEPENDENT_SERVICES_RUNNING;
  SpoolerStop stop;
  RestartSpooler(stop, &session);
  EXPECT_EQ(sim.clock.now, 10000u) << "the full wait for a stop that never comes";
  EXPECT_EQ(sim.Count("QueryServiceStatus"), 51);
  ResumeSpooler(stop);
  EXPECT_EQ(sim.clock.now, 10000u) << "already running: the start poll returns at once";
  EXPECT_EQ(Log(),
            L">Restart Spooler\r\n"
            L"Error(5): ControlService failed with code 1051 (0x41b) - (A stop control has been "
            L"sent to a service that other running services are dependent on.)\r\n"
            L"Error(3): Can't stop the spooler - (A stop control has been sent to a service that "
            L"other running services are dependent on.)\r\n")
      << "the refusal is still the thread's last error when the wait gives up";
  EXPECT_EQ(session.ErrorCount, 2);
  EXPECT_EQ(sim.Count("StartServiceW"), 1);
}

TEST_F(SpoolerServiceTest, ASpoolerThatDoesNotComeBackIsErrorFour) {
  SpoolerStop stop;
  RestartSpooler(stop, &session);
  sim.spooler_service.start_never_completes = true;
  ResumeSpooler(stop);
  EXPECT_EQ(Log(), L">Restart Spooler\r\nError(4): Can't start the spooler\r\n");
  EXPECT_EQ(sim.clock.now, 200u + 10000u);
}

TEST_F(SpoolerServiceTest, WithoutALogTargetNothingIsWrittenOrCountedWhateverFails) {
  const std::function<void(sim::SimWindows&)> failures[] = {
      [](sim::SimWindows& s) { s.FailCall("OpenSCManagerW", 1, ERROR_ACCESS_DENIED); },
      [](sim::SimWindows& s) { s.FailCall("OpenServiceW", 1, ERROR_ACCESS_DENIED); },
      [](sim::SimWindows& s) { s.spooler_service.stop_refusal = ERROR_ACCESS_DENIED; },
      [](sim::SimWindows& s) { s.spooler_service.start_never_completes = true; },
  };
  for (const auto& arrange : failures) {
    arrange(sim);
    SpoolerStop stop;
    RestartSpooler(stop, nullptr);
    ResumeSpooler(stop);
    sim.spooler_service = sim::Service{};
  }
  EXPECT_EQ(Log(), L"");
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(SpoolerServiceTest, WithoutAManagerResumeOnlyClosesTheNullHandle) {
  sim.FailCall("OpenSCManagerW", 1, ERROR_ACCESS_DENIED);
  SpoolerStop stop;
  RestartSpooler(stop, &session);
  sim.calls.clear();
  ResumeSpooler(stop);
  EXPECT_THAT(ServiceCalls(), ElementsAre("CloseServiceHandle"));
  EXPECT_EQ(stop.stopped, 0);
  EXPECT_EQ(Log(),
            L">Restart Spooler\r\nError(1): Can't open service manager. - (Access is "
            L"denied.)\r\n");
}

}  // namespace
}  // namespace services
