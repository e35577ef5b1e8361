// Show and read through tmux: the window-manager driver shows a window with
// an alpha and a numeric item on a real terminal, its keymaps and messages
// read from a data directory made by fixture_dir; typed keys go through the
// key reader and field editor, and the conversion decides what comes back.
#include <gtest/gtest.h>

#include <memory>

#include "tm_driver_util.h"

namespace kivo_test {
namespace {

constexpr const char* kForm =
    "srf\nwnd 3 10 5 40\nregion READY\nalpha 2 2 10\nnum 3 2 -99999\nshow \"DATA ENTRY\" 3 3 2\n";

struct wm_run {
  data_dir dir;
  std::unique_ptr<tmux_pane> pane;
  explicit wm_run(const std::string& commands = kForm) {
    std::ofstream(dir.file("cmds")) << commands;
    EXPECT_EQ(system((std::string(FIXTURE_DIR) + " " + shell_quote(dir.path) + " screen").c_str()), 0);
    pane = std::make_unique<tmux_pane>(std::string(WM_DRIVER) + " cmds res", dir.path,
                                       env_list{{"TERM", "screen"},
                                                {"HOME", "hm"},
                                                {"KIVO_TST_DIR", dir.path},
                                                {"KIVOPATH", dir.path},
                                                {"KIVO_0SA_PATH", dir.path}});
    EXPECT_TRUE(pane->wait_for("READY")) << pane->capture();
  }
  std::string row(int n) { return pane->lines().at(size_t(n - 1)); }
  // The result file once the driver ended after `keys`.
  std::string result(const std::string& keys) {
    pane->send_hex(keys);
    EXPECT_EQ(pane->exit_status(), 0) << pane->capture();
    return slurp(dir.file("res"));
  }
  void bad_number() {
    pane->send_text("12x");
    pane->send_hex("\r");
    EXPECT_TRUE(pane->wait_for("Not a number")) << pane->capture();
  }
};

using WmShowTmux = ::testing::Test;

TEST_F(WmShowTmux, WindowAndStatusLineWithDatabaseApplicationAndUser) {
  wm_run run;
  EXPECT_EQ(run.row(3), "         READY");
  EXPECT_EQ(run.row(22), "DATABASE: DB1        APPLICATION: APP 01       USER: ABC");
  EXPECT_EQ(run.pane->cursor(), "5 11");  // on the numeric item
}

TEST_F(WmShowTmux, BadNumberLeavesItsMessageTheBlinkAndTheCursor) {
  wm_run run;
  run.bad_number();
  EXPECT_EQ(run.row(23), "Not a number");
  EXPECT_NE(run.pane->capture_escapes().find("\x1b[5m12x"), std::string::npos) << run.pane->capture_escapes();
  EXPECT_EQ(run.pane->cursor(), "5 11");
}

TEST_F(WmShowTmux, GoodNumberAfterABadOneGivesEnterAndItsValue) {
  wm_run run;
  run.bad_number();
  run.pane->send_text("12");
  std::string res = run.result("\x1b[3~\r");  // the x deleted
  EXPECT_NE(res.find("key 304 status 1"), std::string::npos) << res;
  EXPECT_NE(res.find("item 2 12\n"), std::string::npos) << res;
}

TEST_F(WmShowTmux, CancelEndsInputWhileAFieldStillFails) {
  wm_run run;
  run.bad_number();
  std::string res = run.result("\x07\x04");
  EXPECT_NE(res.find("key 278 status 1"), std::string::npos) << res;
  EXPECT_NE(res.find("item 2 0\n"), std::string::npos) << res;
}

TEST_F(WmShowTmux, TwoPendingMessagesEndTheLineWithMessage900) {
  wm_run run("srf\nwnd 3 10 5 40\nregion READY\nnum 2 2 -99999\nnum 3 2 -99999\nshow \"DATA ENTRY\" 3 2 2\n");
  run.pane->send_text("1x\t2x\r");
  ASSERT_TRUE(run.pane->wait_for("(MORE)")) << run.pane->capture();
  EXPECT_EQ(run.row(23), "Not a number (MORE)");
}

// SHOW MSG (GO, M) in a show that has no message file lists nothing and
// the show goes on to the next key (it used to read a null file and end
// the program's level as a fatal signal).
TEST_F(WmShowTmux, ShowMessagesKeyWithoutMessageFileGoesOn) {
  wm_run run;
  run.pane->send_text("12");
  std::string res = run.result("\x07M\r");
  EXPECT_NE(res.find("key 304 status 1"), std::string::npos) << res;
  EXPECT_NE(res.find("item 2 12\n"), std::string::npos) << res;
}

TEST_F(WmShowTmux, PanKeyComesBackToTheProgramAfterThePan) {
  wm_run run;
  std::string res = run.result("\x10\x1b[A");  // PAN UP ONE
  EXPECT_NE(res.find("key 10004 status 1"), std::string::npos) << res;
}

}  // namespace
}  // namespace kivo_test
