// Show and read through tmux: the window-manager driver shows a window with
// an alpha and a numeric item on a real terminal, its keymaps and messages
// read from a data directory made by fixture_dir; typed keys go through the
// key reader and field editor, and the conversion of the fields decides what
// comes back.
#include <gtest/gtest.h>

#include <memory>

#include "tm_driver_util.h"

namespace kivo_test {
namespace {

constexpr const char* kForm =
    "srf\nwnd 3 10 5 40\nregion READY\nalpha 2 2 10\nnum 3 2 -99999\nshow \"DATA ENTRY\" 3 3 2\n";
const char* const kEnter = "\r";
const char* const kCancel = "\x07\x04";
const char* const kDeleteChar = "\x1b[3~";
const char* const kPanUpOne = "\x10\x1b[A";

struct wm_run {
  data_dir dir;
  std::unique_ptr<tmux_pane> pane;
  explicit wm_run(const std::string& commands = kForm) {
    std::ofstream(dir.file("cmds")) << commands;
    std::string make = std::string(FIXTURE_DIR) + " " + shell_quote(dir.path) + " screen";
    EXPECT_EQ(system(make.c_str()), 0);
    env_list env = {{"TERM", "screen"},
                    {"HOME", "hm"},
                    {"KIVO_TST_DIR", dir.path},
                    {"KIVOPATH", dir.path},
                    {"KIVO_0SA_PATH", dir.path}};
    pane = std::make_unique<tmux_pane>(std::string(WM_DRIVER) + " cmds res", dir.path, env);
    EXPECT_TRUE(pane->wait_for("READY")) << pane->capture();
  }
  std::string row(int n) { return pane->lines().at(size_t(n - 1)); }
  // The result file once the driver ended.
  std::string result() {
    EXPECT_EQ(pane->exit_status(), 0) << pane->capture();
    return slurp(dir.file("res"));
  }
  void bad_number() {
    pane->send_text("12x");
    pane->send_hex(kEnter);
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
  run.pane->send_hex(kDeleteChar);
  run.pane->send_hex(kEnter);
  std::string res = run.result();
  EXPECT_NE(res.find("key 304 status 1"), std::string::npos) << res;
  EXPECT_NE(res.find("item 2 12\n"), std::string::npos) << res;
}

TEST_F(WmShowTmux, CancelEndsInputWhileAFieldStillFails) {
  wm_run run;
  run.bad_number();
  run.pane->send_hex(kCancel);
  std::string res = run.result();
  EXPECT_NE(res.find("key 278 status 1"), std::string::npos) << res;
  EXPECT_NE(res.find("item 2 0\n"), std::string::npos) << res;
}

TEST_F(WmShowTmux, TwoPendingMessagesEndTheLineWithMessage900) {
  wm_run run("srf\nwnd 3 10 5 40\nregion READY\nnum 2 2 -99999\nnum 3 2 -99999\nshow \"DATA ENTRY\" 3 2 2\n");
  run.pane->send_text("1x");
  run.pane->send_hex("\t");
  run.pane->send_text("2x");
  run.pane->send_hex(kEnter);
  ASSERT_TRUE(run.pane->wait_for("(MORE)")) << run.pane->capture();
  EXPECT_EQ(run.row(23), "Not a number (MORE)");
}

TEST_F(WmShowTmux, PanKeyComesBackToTheProgramAfterThePan) {
  wm_run run;
  run.pane->send_hex(kPanUpOne);
  std::string res = run.result();
  EXPECT_NE(res.find("key 10004 status 1"), std::string::npos) << res;
}

}  // namespace
}  // namespace kivo_test
