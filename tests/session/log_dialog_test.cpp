#include "session/log_dialog.h"

#include "session/install_session.h"
#include "session/module_instance.h"
#include "session/session_log.h"
#include "support/session_test.h"

namespace session {
namespace {

using LogDialogTest = testing_support::SessionTest;

TEST_F(LogDialogTest, ShowsTheLogUnderATitleThatSaysWhetherErrorsWereReported) {
  const struct {
    int errors;
    const wchar_t* title;
  } cases[] = {{0, L"Lumenquill build 2542- Install log."},
               {2, L"Lumenquill build 2542- Install error log!"}};
  HWND owner = sim.CreateWindowFor(9, L"Setup", L"Setup");
  SetModuleInstance(reinterpret_cast<HINSTANCE>(0x400000));
  LogLine(session, L"first");
  LogLine(session, L"second");
  for (const auto& c : cases) {
    session.ErrorCount = c.errors;
    LogDialog(session, owner);
    const sim::DialogRun& run = sim.dialogs.back();
    EXPECT_EQ(run.title, c.title);
    EXPECT_EQ(run.item_texts.at(1001), L"first\r\nsecond\r\n");
    EXPECT_EQ(run.template_name, L"#101");
    EXPECT_EQ(run.owner, owner);
    EXPECT_EQ(run.instance, reinterpret_cast<HINSTANCE>(0x400000));
  }
}

TEST_F(LogDialogTest, CloseAndEnterEndWithOneEscapeAndTheCloseBoxWithZero) {
  const struct {
    std::vector<int> commands;
    INT_PTR result;
  } cases[] = {{{IDOK}, 1}, {{IDCANCEL}, 0}, {{1002, 12, IDOK}, 1}};
  for (const auto& c : cases) {
    sim.dialog_scripts.push_back(c.commands);
    EXPECT_EQ(LogDialog(session, nullptr), c.result);
  }
  EXPECT_EQ(sim.dialogs.front().item_texts.at(1001), L"") << "an empty log, an empty control";
}

TEST_F(LogDialogTest, ShiftIsSampledFromTheKeyboard) {
  EXPECT_FALSE(ShiftKeyDown());
  sim.shift_down = true;
  EXPECT_TRUE(ShiftKeyDown());
}

}  // namespace
}  // namespace session
