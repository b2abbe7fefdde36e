// The fixture of every test that runs the program on the simulated Windows:
// installs a fresh model behind the seam for the test and fails the test if
// it ends with a leaked or double-closed handle, a leaked, double-freed or
// overrun block, or an unbounded wait.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim/sim_windows.h"

namespace testing_support {

class SimTest : public ::testing::Test {
 protected:
  void TearDown() override;

  sim::SimWindows sim;

 private:
  platform::SystemScope scope_{sim};
};

// Wide text as UTF-8, for readable assertion messages.
std::string Utf8(const std::wstring& text);

}  // namespace testing_support
