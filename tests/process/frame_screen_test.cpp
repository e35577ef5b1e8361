// Frames on a real terminal: the engine runs a fixture installation (the
// default one with the menus below written by kivo_design) in a tmux pane of
// 80 x 24; keys are the default keymap's (ENTER Return, END Shift-F1, OPTION
// F1 and a digit), and every wait is for text on the screen.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "../fixtures/kivo_fixture.h"
#include "../screen/term_harness.h"
#include "../screen/tm_test_util.h"

namespace kivo::test {
namespace {

using kivo_test::data_dir;
using kivo_test::env_list;
using kivo_test::shell_quote;
using kivo_test::tmux_pane;

// The top menu: an ACTION, a pop-up sub menu whose child logs out, and a
// screen that echoes its input item and refuses "BAD" at ENTER.
constexpr const char* kMenus = R"(APPLICATION 0LA 00
WORK "FX NAME" A10
WORK "FX ECHO" A10
PROCESS 1 "FX MENU"
FRAME 1 "FX MENU" 0 1
IMAGE 1 "FX MENU" 0 1 1 kind=1 rows=4 cols=30 win_row=2 win_col=5
ROW 1 "FX MENU" 0 1 1 1 "1 POST A MESSAGE"
ROW 1 "FX MENU" 0 1 1 2 "2 SUB MENU"
ROW 1 "FX MENU" 0 1 1 3 "3 ECHO SCREEN"
ROW 1 "FX MENU" 0 1 1 4 "TOP MENU"
CHILD 1 "FX MENU" 0 1 0 1 1 proc_type=4 name="FX ACT" invoc=0 option=1
CHILD 1 "FX MENU" 0 1 0 2 2 proc_type=1 name="FX SUB" invoc=0 option=2
CHILD 1 "FX MENU" 0 1 0 3 3 proc_type=1 name="FX ECHO" invoc=0 option=3
PROCESS 4 "FX ACT" title="FX ACT RUNNING"
FRAME 4 "FX ACT" 0 1 enabled=1 kind=0
STMTS 4 "FX ACT" ep=22 frame=0,1
      MESSAGE  FX POSTED THIS
      LABEL    HELD
      RUN          test -e go                              END? N  FAIL 0
F     GOTO     HELD
END
PROCESS 1 "FX SUB"
FRAME 1 "FX SUB" 0 1
IMAGE 1 "FX SUB" 0 1 1 kind=2 rows=2 cols=20 win_row=12 win_col=40
ROW 1 "FX SUB" 0 1 1 1 "1 LOG OUT"
ROW 1 "FX SUB" 0 1 1 2 "SUB MENU HERE"
CHILD 1 "FX SUB" 0 1 0 1 1 proc_type=6 name="FX BYE" invoc=0 option=1
PROCESS 6 "FX BYE"
STMTS 6 "FX BYE" ep=1
      LOGOUT           N
END
PROCESS 1 "FX ECHO"
FRAME 1 "FX ECHO" 0 1
IMAGE 1 "FX ECHO" 0 1 1 kind=1 rows=3 cols=40 win_row=8 win_col=5
ROW 1 "FX ECHO" 0 1 1 1 "NAME:"
ROW 1 "FX ECHO" 0 1 1 2 "ECHO:"
ROW 1 "FX ECHO" 0 1 1 3 "ECHO SCREEN"
ITEM 1 "FX ECHO" 0 1 1 1 7 ap=0LA field="FX NAME" input=1
ITEM 1 "FX ECHO" 0 1 1 2 7 ap=0LA field="FX ECHO"
STMTS 1 "FX ECHO" ep=43 frame=0,1 image=1
      SET      0LA FX ECHO                    =  0LA FX NAME
END
STMTS 1 "FX ECHO" ep=44 frame=0,1 image=1
      IF       0LA FX NAME                    EQ     BAD
T     ERROR    NAME REFUSED
END
FRAME 6 "FX OTHER" 0 1
SELECT 6 "FX OTHER" 0 1 1
CHR 6 "FX OTHER" 0 1 1 1 1
)";

// The hand-over fixture: an event point added to the installation's
// "CONSTRAIN ALOG ID" (its records cannot be written twice) shows the lines
// in STDALOG, whatever their family, with the family of each, before the
// installation's own statements run.
constexpr const char* kHandOver = R"(STMTS 4 "CONSTRAIN ALOG ID" ep=21 frame=0,1
      INPUT    0LA FX LOG SEEN                      SUBPROCESS        N       0
END
PROCESS 2 "FX LOG SEEN" pcf_ap=0LA pcf_file=STDALOG
FRAME 2 "FX LOG SEEN" 0 1
IMAGE 2 "FX LOG SEEN" 0 1 1 kind=1 rows=2 cols=70 win_row=15 win_col=5
ROW 2 "FX LOG SEEN" 0 1 1 1 "SEEN:"
ROW 2 "FX LOG SEEN" 0 1 1 2 "FAMILY"
ITEM 2 "FX LOG SEEN" 0 1 1 1 7 rows=1 cols=60 ap=0LA field="ALOG TEXT SHOWN"
ITEM 2 "FX LOG SEEN" 0 1 1 2 9 ap=0LA field="ALOG FAMILY"
)";

using kivo_test::engine_dir;

class MenuRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(system(("cp -r " + kivo_test::shipped_installation() + "/. " + d_.path).c_str()), 0);
    std::ofstream(d_.file("menus.dsgn")) << kMenus << (shipped_handover() ? "" : kHandOver);
    ASSERT_EQ(system((engine_dir() + "/tools/kivo_design -d " + shell_quote(d_.path) + " " + d_.file("menus.dsgn") +
                      " >" + d_.file("design.out") + " 2>&1")
                         .c_str()),
              0)
        << kivo_test::slurp(d_.file("design.out"));
    ASSERT_EQ(system(("mkdir -p " + d_.file("tst")).c_str()), 0);
    std::ofstream(d_.file("go")) << "";  // "FX ACT" runs through
  }
  env_list env(const std::string& tst = "tst") const { return kivo_test::engine_env(d_.path, tst); }
  std::unique_ptr<tmux_pane> engine(const env_list& e) {
    return std::make_unique<tmux_pane>(shell_quote(KIVO_BINARY) + " -d=DB1 -a=0LA -t=menu " + shell_quote("-p=FX MENU"),
                                       d_.path, e);
  }
  // The engine on the top menu, shown.
  std::unique_ptr<tmux_pane> start(const std::string& tst = "tst") {
    auto p = engine(env(tst));
    // The whole first screen: the cursor goes to the first child last.
    EXPECT_TRUE(p->wait_for("TOP MENU") && p->wait_for("MENU ENTRY") && cursor_at(*p, "2 5")) << p->capture();
    return p;
  }
  static bool cursor_at(tmux_pane& p, const std::string& at) {
    return kivo_test::wait_until([&] { return p.cursor() == at; }, kivo_test::kScreenWait);
  }
  static bool gone(tmux_pane& p, const std::string& text) {
    return kivo_test::wait_until([&] { return p.capture().find(text) == std::string::npos; }, kivo_test::kScreenWait);
  }
  // END on the fixture's hand-over screen, then on the installation's
  // "ACTION LOG", whose event point runs after the fixture's.
  static void leave_handover(tmux_pane& p) {
    p.send_keys("S-F1");
    ASSERT_TRUE(p.wait_for("NEXT RECORD shows the next line")) << p.capture();
    p.send_keys("S-F1");
    ASSERT_TRUE(gone(p, "NEXT RECORD shows the next line")) << p.capture();
  }
  // The installation's own "CONSTRAIN ALOG ID" in place of the fixture.
  virtual bool shipped_handover() const { return false; }
  void TearDown() override {
    const std::string errs = kivo_test::slurp(d_.file("syserr"));
    EXPECT_EQ(errs, "") << "system errors";
  }
  data_dir d_;
};

using MenuScreen = MenuRun;
using FrameScreen = MenuRun;
using ScriptedMenu = MenuRun;

// The image at its window, "MENU ENTRY" in the status line's mode field,
// the cursor on the first child's line; END on the top menu ends the engine
// with 0.
TEST_F(MenuScreen, ShowsItsImageAndEndsWithZero) {
  auto p = start();
  ASSERT_TRUE(p->wait_for("MENU ENTRY")) << p->capture();
  EXPECT_TRUE(cursor_at(*p, "2 5")) << p->cursor();
  const std::vector<std::string> rows = p->lines();
  ASSERT_GE(rows.size(), 22u);
  EXPECT_EQ(rows[1], "    1 POST A MESSAGE");
  EXPECT_EQ(rows[3].substr(4, 13), "3 ECHO SCREEN");
  EXPECT_EQ(rows[21].substr(70, 10), "MENU ENTRY");
  p->send_keys("S-F1");
  EXPECT_EQ(p->exit_status(), 0) << p->capture();
}

// DOWN and ENTER run the sub menu, whose END (5) comes back to the top
// menu's frame, started again with the cursor on its first line; a child
// that ends otherwise leaves the cursor where it was.
TEST_F(MenuScreen, ChildrenRunAndComeBack) {
  auto p = start();
  p->send_keys("Down Enter");
  ASSERT_TRUE(p->wait_for("SUB MENU HERE")) << p->capture();
  p->send_keys("S-F1");
  ASSERT_TRUE(gone(*p, "SUB MENU HERE")) << p->capture();
  EXPECT_TRUE(p->wait_for("TOP MENU"));
  EXPECT_TRUE(cursor_at(*p, "2 5")) << p->cursor();
  // A child ending otherwise (the ACTION, by OPTION 1 from line 3) leaves
  // the cursor where it was.
  p->send_keys("Down Down");
  ASSERT_TRUE(cursor_at(*p, "4 5")) << p->cursor();
  p->send_keys("F1 1");
  ASSERT_TRUE(p->wait_for("SEEN:")) << p->capture();  // its hand-over
  leave_handover(*p);
  EXPECT_TRUE(cursor_at(*p, "4 5")) << p->cursor();
  // ENTER then runs the child of line 3.
  p->send_keys("Enter");
  ASSERT_TRUE(p->wait_for("NAME:")) << p->capture();
  p->send_keys("S-F1");
  ASSERT_TRUE(gone(*p, "NAME:")) << p->capture();
  p->send_keys("S-F1");
  EXPECT_EQ(p->exit_status(), 0) << p->capture();
}

// ENTER on line 1 runs the ACTION: its progress window shows its title while
// it runs (its hand-over is part of the run), and the line it posted reaches
// the fixture "CONSTRAIN ALOG ID" under family 1; both go when it ends.
TEST_F(MenuScreen, ActionShowsItsProgressAndHandsItsLineOver) {
  auto p = start();
  // The ACTION's detail frame goes on once the file "go" exists.
  ASSERT_EQ(unlink(d_.file("go").c_str()), 0);
  p->send_keys("Enter");
  ASSERT_TRUE(p->wait_for("FX ACT RUNNING")) << p->capture();
  std::vector<std::string> rows = p->lines();
  ASSERT_GE(rows.size(), 17u);
  // One row at (24 - 3) / 2 - 2, centred: 14 characters from column 33.
  ASSERT_GE(rows[7].size(), 46u) << p->capture();
  EXPECT_EQ(rows[7].substr(32, 14), "FX ACT RUNNING") << p->capture();
  std::ofstream(d_.file("go")) << "";
  ASSERT_TRUE(p->wait_for("SEEN:")) << p->capture();
  p->send_keys("F9");  // NEXT RECORD: the family's first line
  ASSERT_TRUE(p->wait_for("SEEN: FX POSTED THIS")) << p->capture();
  rows = p->lines();
  EXPECT_EQ(rows[15].substr(4, 6), "FAMILY") << p->capture();
  std::string family = rows[15].substr(10);
  family.erase(0, family.find_first_not_of(' '));
  EXPECT_EQ(family, "1") << p->capture();
  leave_handover(*p);
  EXPECT_TRUE(p->wait_for("TOP MENU"));
  EXPECT_EQ(p->capture().find("FX ACT RUNNING"), std::string::npos) << p->capture();
  p->send_keys("S-F1");
  EXPECT_EQ(p->exit_status(), 0) << p->capture();
}

// A child that runs LOGOUT ends the engine with 127, through its menus.
TEST_F(MenuScreen, LogoutInAChildEndsTheEngine) {
  auto p = start();
  p->send_keys("F1 2");
  ASSERT_TRUE(p->wait_for("SUB MENU HERE")) << p->capture();
  p->send_keys("F1 1");
  EXPECT_EQ(p->exit_status(), 127) << p->capture();
}

// Typed text goes into the input item; event 43 copies it into the display
// item, shown at the next show.
TEST_F(FrameScreen, InputItemEchoedByEvent43) {
  auto p = start();
  p->send_keys("F1 3");
  ASSERT_TRUE(p->wait_for("NAME:")) << p->capture();
  EXPECT_TRUE(cursor_at(*p, "8 11")) << p->cursor();  // on the input item
  p->send_text("HELLO");
  p->send_keys("Enter");
  EXPECT_TRUE(p->wait_for("ECHO: HELLO")) << p->capture();
  p->send_keys("S-F1");
  p->send_keys("S-F1");
  EXPECT_EQ(p->exit_status(), 0) << p->capture();
}

// An ERROR in event 44 keeps the frame and shows its message on row 23.
TEST_F(FrameScreen, ErrorAtEnterKeepsTheFrameWithItsMessage) {
  auto p = start();
  p->send_keys("F1 3");
  ASSERT_TRUE(p->wait_for("NAME:")) << p->capture();
  p->send_text("BAD");
  p->send_keys("Enter");
  ASSERT_TRUE(kivo_test::wait_until([&] { return p->lines().size() > 22 && p->lines()[22].find("NAME REFUSED") == 0; },
                                    kivo_test::kScreenWait))
      << p->capture();
  EXPECT_NE(p->lines()[9].find("ECHO SCREEN"), std::string::npos);
  p->send_keys("S-F1");
  p->send_keys("S-F1");
  EXPECT_EQ(p->exit_status(), 0) << p->capture();
}

// A pop-up image opens on the second surface while the main window stays;
// when it closes the main window is as it was and the pop-up's rows blank.
TEST_F(FrameScreen, PopupOpensBesideTheMainWindowWhichStaysIntact) {
  auto p = start();
  const std::vector<std::string> before = p->lines();
  ASSERT_GE(before.size(), 21u) << p->capture();
  p->send_keys("F1 2");
  ASSERT_TRUE(p->wait_for("SUB MENU HERE")) << p->capture();
  EXPECT_TRUE(cursor_at(*p, "12 40")) << p->cursor();  // the pop-up drawn whole
  std::vector<std::string> with = p->lines();
  for (int r = 1; r <= 4; ++r) EXPECT_EQ(with[r], before[r]) << r;
  EXPECT_EQ(with[11].substr(39, 9), "1 LOG OUT");
  p->send_keys("S-F1");
  ASSERT_TRUE(gone(*p, "SUB MENU HERE")) << p->capture();
  // The main window comes back after the pop-up's rows are blanked.
  std::vector<std::string> after;
  kivo_test::wait_until(
      [&] {
        after = p->lines();
        return after.size() >= 21 && std::equal(before.begin(), before.begin() + 21, after.begin());
      },
      kivo_test::kScreenWait);
  for (int r = 0; r < 21; ++r) EXPECT_EQ(after[r], before[r]) << r;
  p->send_keys("S-F1");
  EXPECT_EQ(p->exit_status(), 0) << p->capture();
}

// The installation's "CONSTRAIN ALOG ID" shows the family's line through
// "ACTION LOG" (its frame has no screen, so a statement invokes it), and the
// run comes back to the menu: a refused constraint would post its refusal
// and hand that over in turn.
class ActionLogScreen : public MenuRun {
 protected:
  bool shipped_handover() const override { return true; }
};

TEST_F(ActionLogScreen, ShowsTheFamilysLineAndComesBack) {
  auto p = start();
  p->send_keys("Enter");
  ASSERT_TRUE(p->wait_for("NEXT RECORD shows the next line")) << p->capture();
  p->send_keys("F9");
  ASSERT_TRUE(p->wait_for("MESSAGE: FX POSTED THIS")) << p->capture();
  EXPECT_TRUE(p->wait_for("PROCESS: FX ACT")) << p->capture();
  p->send_keys("F9");
  ASSERT_TRUE(p->wait_for("End of file")) << p->capture();
  p->send_keys("S-F1");
  ASSERT_TRUE(gone(*p, "ACTION LOG")) << p->capture();
  EXPECT_TRUE(p->wait_for("TOP MENU")) << p->capture();
  EXPECT_TRUE(p->wait_for("MENU ENTRY")) << p->capture();
  p->send_keys("S-F1");
  EXPECT_EQ(p->exit_status(), 0) << p->capture();
}

// The sub menu and back, the echo screen by OPTION 3 with "HELLO", END
// twice: a snapshot of the screen at each key that reaches a frame.
constexpr const char* kScript = "#DOWN\n#ENTER\n#END\n#OPTION 3\nHELLO\n#ENTER\n#END\n#END\n";

// The keystroke script's run writes the golden snapshots; the same keys
// typed through tmux write the same ones.
TEST_F(ScriptedMenu, ScriptAndTypedKeysGiveTheGoldenSnapshots) {
  std::ofstream(d_.file("script")) << kScript;
  env_list e = env("scripted");
  e.push_back({"KIVO_SCRIPT_IN", d_.file("script")});
  EXPECT_EQ(engine(e)->exit_status(), 0);
  const std::string scripted = kivo_test::slurp(d_.file("scripted/actual/snapshot"));
  const std::string golden_path = std::string(KIVO_SOURCE_DIR) + "/tests/process/golden/scripted_menu.snapshot";
  if (getenv("KIVO_UPDATE_GOLDEN")) std::ofstream(golden_path) << scripted;
  EXPECT_EQ(scripted, kivo_test::slurp(golden_path));

  auto p = start("typed");
  p->send_keys("Down Enter");
  ASSERT_TRUE(p->wait_for("SUB MENU HERE")) << p->capture();
  p->send_keys("S-F1");
  ASSERT_TRUE(gone(*p, "SUB MENU HERE")) << p->capture();
  p->send_keys("F1 3");
  ASSERT_TRUE(p->wait_for("NAME:")) << p->capture();
  p->send_text("HELLO");
  p->send_keys("Enter");
  ASSERT_TRUE(p->wait_for("ECHO: HELLO")) << p->capture();
  p->send_keys("S-F1");
  ASSERT_TRUE(gone(*p, "NAME:")) << p->capture();
  p->send_keys("S-F1");
  EXPECT_EQ(p->exit_status(), 0) << p->capture();
  EXPECT_EQ(kivo_test::slurp(d_.file("typed/actual/snapshot")), scripted);
}

}  // namespace
}  // namespace kivo::test
