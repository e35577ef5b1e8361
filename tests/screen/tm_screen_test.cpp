// The terminal on real screens: frames in a tmux pane, the bytes written for
// box characters, typed input into fields, and a terminal wider than 255.
#include <gtest/gtest.h>

#include "tm_driver_util.h"

namespace kivo_test {
namespace {

TEST(TmScreen, FrameShowsCornersAndEdgesAndTypedTextAndTabFillTwoFields) {
  driver_run run;
  auto pane = run.tmux();
  ASSERT_TRUE(pane->wait_for("READY"));
  std::vector<std::string> lines = pane->lines();
  ASSERT_GE(lines.size(), 6u);
  auto at = [&](int row, int col) {
    return lines[row - 1].size() >= static_cast<size_t>(col) ? lines[row - 1][col - 1] : '?';
  };
  for (auto [r, c] : {std::pair{2, 9}, {2, 21}, {6, 9}, {6, 21}}) EXPECT_EQ('+', at(r, c)) << r << "," << c;
  for (int c = 10; c <= 20; ++c) {
    EXPECT_EQ('-', at(2, c));
    EXPECT_EQ('-', at(6, c));
  }
  for (int r = 3; r <= 5; ++r) {
    EXPECT_EQ('|', at(r, 9));
    EXPECT_EQ('|', at(r, 21));
  }
  pane->send_text("abc");
  pane->send_hex("\t");
  pane->send_text("x");
  pane->send_hex("\r");
  ASSERT_EQ(0, pane->exit_status());
  auto res = result_map(run.read("res"));
  EXPECT_EQ("304", res["key"]);
  EXPECT_EQ("1", res["status"]);
  EXPECT_EQ("[abc]", res["field 1"]);
  EXPECT_EQ("[x]", res["field 2"]);
  EXPECT_EQ("restored", res["modes"]);
}

TEST(TmScreen, OnlyTerminalOwnBoxCharactersUseTheAlternateSet) {
  struct {
    const char* gdef;  // null: none
    bool alternate;
  } cases[] = {{nullptr, false}, {"lkmjxqtuvwn~", true}, {"lkmjx", false}};
  for (auto& c : cases) {
    driver_run run(std::string(kTwoFields) + "show 2\n");
    if (c.gdef) run.write("xterm.gdef", c.gdef);
    auto child = run.pty();
    ASSERT_EQ(0, child->finish());
    const std::string& out = child->output();
    EXPECT_NE(std::string::npos, out.find("READY"));
    bool switched = out.find("\x1b(0") != std::string::npos || out.find('\x0e') != std::string::npos;
    EXPECT_EQ(c.alternate, switched) << (c.gdef ? c.gdef : "no .gdef");
  }
}

TEST(TmScreen, TerminalWiderThan255ColumnsIsClamped) {
  driver_run run(std::string(kTwoFields) + "field 7 250 6\n");
  auto pane = run.tmux({}, 300);
  ASSERT_TRUE(pane->wait_for("READY"));
  pane->send_text("q");
  pane->send_hex("\x1b[Z");  // TAB DOWN twice: to row 5, then row 7
  pane->send_hex("\x1b[Z");
  pane->send_text("wxyz");
  pane->send_hex("\r");
  ASSERT_EQ(0, pane->exit_status());
  auto res = result_map(run.read("res"));
  EXPECT_EQ("24 255", res["size"]);
  EXPECT_EQ("[q]", res["field 1"]);
  EXPECT_EQ("[wxyz]", res["field 3"]);  // the field clipped at column 255
}

}  // namespace
}  // namespace kivo_test
