// The fixture of tests that run steps within an installer session on the
// simulated Windows: the session is freed after each test, before the leak
// check.
#pragma once

#include <string>

#include "session/install_session.h"
#include "support/sim_test.h"

namespace testing_support {

class SessionTest : public SimTest {
 protected:
  void TearDown() override {
    session::FreeSession(session);
    SimTest::TearDown();
  }
  // A 64-bit session whose creation's own lines are left out of the log.
  void StartSession() {
    session::InitSession(session, session::ModeX64);
    session::Release(session.SessionLog);
  }
  std::wstring Log() const { return session::Text(session.SessionLog); }

  session::InstallSession session;
};

}  // namespace testing_support
