#include "companions/help_windows.h"

#include "support/scenario.h"
#include "support/sim_test.h"

namespace companions {
namespace {

using testing_support::OpenHelpWindow;
using testing_support::SimTest;

class HelpWindowsTest : public SimTest {};

TEST_F(HelpWindowsTest, EveryProductHelpWindowIsClosedAndOtherHelpStaysOpen) {
  HWND first = OpenHelpWindow(sim, L"Lumenquill Help");
  HWND second = OpenHelpWindow(sim, L"Lumenquill Help");
  HWND other = OpenHelpWindow(sim, L"Other Help");
  CloseHelpWindows();
  EXPECT_FALSE(sim.IsWindow(first));
  EXPECT_FALSE(sim.IsWindow(second));
  EXPECT_TRUE(sim.IsWindow(other));
  EXPECT_TRUE(sim.windows[other].received.empty());
  // Each viewer takes two seconds to go: requests go out 50 ms apart meanwhile.
  EXPECT_EQ(sim.clock.now, 4000u);
  EXPECT_EQ(sim.Count("PostMessageW"), 80);
}

TEST_F(HelpWindowsTest, AWindowThatNeverClosesStopsTheRequestsAtTheBound) {
  HWND stubborn = OpenHelpWindow(sim, L"Lumenquill Help", std::nullopt);
  CloseHelpWindows();
  EXPECT_TRUE(sim.IsWindow(stubborn));
  EXPECT_EQ(sim.windows[stubborn].received.size(), size_t{kMaxHelpCloseRequests});
  EXPECT_EQ(sim.clock.now, 50u * kMaxHelpCloseRequests);
  const sim::Message& request = sim.windows[stubborn].received.front();
  EXPECT_EQ(request.message, UINT{WM_SYSCOMMAND});
  EXPECT_EQ(request.wparam, WPARAM{SC_CLOSE});
  EXPECT_EQ(request.lparam, 0);
}

TEST_F(HelpWindowsTest, NoHelpWindowNoWait) {
  CloseHelpWindows();
  EXPECT_EQ(sim.clock.now, 0u);
  EXPECT_EQ(sim.Count("FindWindowW"), 1);
}

}  // namespace
}  // namespace companions
