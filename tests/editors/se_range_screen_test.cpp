// Ranges, search and external copy on a real terminal: the tool harness in
// a tmux pane of 80 x 24 (TERM fixed by the harness's environment), keys as
// the default keymap sends them (OPTION F1 then the digit, END Shift-F1,
// CANCEL F2 Shift-F1); every wait is for the screen or the end of the run.
#include "../fixtures/hook_override.h"
#include "editors/se_edit.h"
#include "se_run_util.h"

namespace kivo::test {
namespace {

constexpr const char* kSixLines = R"(PROCESS 6 "SET SIX"
STMTS 6 "SET SIX" ep=1
      *        line 1
      *        line 2
      *        line 3
      *        line 4
      *        line 5
      *        line 6
END
)";

// An INPUT process of DMO 01 whose Option Intercept fills the context record
// EDCTX (its own Start of Process, line 1 shown first) and CALLs "SE_EDIT"
// with it; the engine itself runs it, as a design application would.
std::string caller_design() {
  auto set = [](const std::string& field, const std::string& value) {
    std::string l = "      SET      DMO " + field;
    l.resize(46, ' ');
    return l + "=      " + value + "\n";
  };
  std::string d = R"(APPLICATION DMO 01
FILE CUSTOMER
  "CUST NO"   A6  key=primary
  NAME        A30
END
FILE EDCTX area=4 fs=0 org=1 len=64
  "ED AP" A3 @0
  "ED VER" A2 @3
  "ED PROC" A30 @5
  "ED TYPE" B2 @35
  "ED FPART" B2 @36
  "ED FRAME" B9 @40
  "ED IMAGE" B2 @44
  "ED CPOS" B2 @45
  "ED CHILD" B9 @48
  "ED EP" B2 @52
  "ED CHANGED" B2 @53
  "ED MEMORY" B2 @54
  "ED STATUS" B2 @55
  "ED LINE" B9 @56
  "ED MSG" B9 @60
END
PROCESS 2 "SE CALLER" pcf_ap=DMO pcf_file=CUSTOMER pcf_update=1 pcf_required=1
FRAME 2 "SE CALLER" 0 1
IMAGE 2 "SE CALLER" 0 1 1 kind=1 rows=3 cols=50 win_row=3 win_col=3
ROW 2 "SE CALLER" 0 1 1 1 "CUST NO:"
ROW 2 "SE CALLER" 0 1 1 2 "NAME:"
ROW 2 "SE CALLER" 0 1 1 3 "CALLER SCREEN"
ITEM 2 "SE CALLER" 0 1 1 1 10 ap=DMO field="CUST NO" input=1
ITEM 2 "SE CALLER" 0 1 1 2 10 ap=DMO field=NAME input=1
STMTS 2 "SE CALLER" ep=1
      *        edited line one
END
STMTS 2 "SE CALLER" ep=24 frame=0,1
)";
  d +=
      set("ED AP", "DMO") + set("ED VER", "01") + set("ED PROC", "SE CALLER") + set("ED TYPE", "2") + set("ED EP", "1");
  d += "      PASS     DMO EDCTX                      RECORD           SHARE? Y\n";
  d += "      CALL         SE_EDIT                              N       N       0\n";
  return d + "END\n";
}

class StmtRangeScreen : public SeRun {
 protected:
  // `xcopy`: the context the external copy's choice gives, if any.
  void open(const std::string& proc, const std::string& xcopy = "") {
    install(kSixLines);
    kivo_test::env_list extra;
    if (!xcopy.empty()) {
      std::ofstream(d_.file("xcopy.ctx"), std::ios::binary) << xcopy;
      extra.push_back({"KIVO_XCOPY_CONTEXT", d_.file("xcopy.ctx")});
    }
    se_call c;
    c.proc = proc;
    kivo_test::env_list e = env("tst");
    for (auto& x : extra) e.push_back(x);
    p_ = start(c, e);
    ASSERT_TRUE(p_->wait_for("[END]")) << p_->capture();
  }
  void TearDown() override {
    if (p_) p_->exit_status(1);
    SeRun::TearDown();
  }
  std::string row(size_t r) { return p_->row(r); }
  bool row_is(size_t r, const std::string& text) {
    return kivo_test::wait_until([&] { return row(r) == text; }, kivo_test::kScreenWait);
  }
  bool row_starts(size_t r, const std::string& text) {
    return kivo_test::wait_until([&] { return row(r).compare(0, text.size(), text) == 0; }, kivo_test::kScreenWait);
  }
  bool cursor_at(int r, int c) {
    const std::string at = std::to_string(r) + " " + std::to_string(c);
    return kivo_test::wait_until([&] { return p_->cursor() == at; }, kivo_test::kScreenWait);
  }
  std::string attr_row(size_t r) { return p_->attr_row(r); }
  void end_run() {
    p_->send_keys("S-F1");
    ASSERT_EQ(p_->exit_status(30), 0) << p_->capture();
  }
  std::vector<std::string> texts(const std::string& proc) {
    std::vector<std::string> out;
    for (auto& r : stmts(proc, 1)) out.push_back(r.opnd());
    return out;
  }

  // The engine on the INPUT process "SE CALLER" of DMO, inquire mode.
  void open_caller() {
    ASSERT_EQ(system(("cp -r " + kivo_test::shipped_installation() + "/. " + d_.path).c_str()), 0);
    std::ofstream(d_.file("caller.dsgn")) << caller_design();
    const std::string out = " >>" + d_.file("fixture.out") + " 2>&1";
    ASSERT_EQ(system((kivo_test::engine_dir() + "/tools/kivo_design -d " + kivo_test::shell_quote(d_.path) + " " +
                      d_.file("caller.dsgn") + out)
                         .c_str()),
              0)
        << kivo_test::slurp(d_.file("fixture.out"));
    ASSERT_EQ(
        system((std::string(INPUT_FIXTURE) + " " + kivo_test::shell_quote(d_.path) + " DB1 DMO 01 'SE CALLER'" + out)
                   .c_str()),
        0)
        << kivo_test::slurp(d_.file("fixture.out"));
    ASSERT_EQ(system(("mkdir -p " + d_.file("tst")).c_str()), 0);
    p_ = std::make_unique<tmux_pane>(
        kivo_test::shell_quote(KIVO_BINARY) + " -d=DB1 -a=DMO -t=input " + kivo_test::shell_quote("-p=SE CALLER"),
        d_.path, env("tst"));
    ASSERT_TRUE(p_->wait_for("CALLER SCREEN")) << p_->capture();
  }
  void type(const std::string& text) { p_->send_keys("-l -- " + kivo_test::shell_quote(text)); }
  // The operand texts of DMO's Start of Process.
  std::vector<std::string> caller_lines() {
    std::vector<std::string> out;
    for (auto& r : stmts("DMO"))
      if (r.ep() == 1 && r.proc() == "SE CALLER") out.push_back(r.opnd());
    return out;
  }

  std::unique_ptr<tmux_pane> p_;
};

// Lines 3-5 moved before line 1, typed as keys, then END.
TEST_F(StmtRangeScreen, MoveBeforeTheFirstLine) {
  open("SET SIX");
  p_->send_keys("Down Down F1 2");
  ASSERT_TRUE(row_starts(20, "Move Through What?")) << p_->capture();
  p_->send_keys("Down Down Enter");
  ASSERT_TRUE(row_starts(20, "Move To Where?")) << p_->capture();
  p_->send_keys("Up Up Up Up Enter");
  ASSERT_TRUE(row_is(2, "      *        line 3")) << p_->capture();
  EXPECT_EQ(row(5), "      *        line 1");
  end_run();
  const auto r = stmts("SET SIX", 1);
  EXPECT_EQ(texts("SET SIX"), (std::vector<std::string>{"line 3", "line 4", "line 5", "line 1", "line 2", "line 6"}));
  EXPECT_EQ(seqs(r), (std::vector<uint32_t>{100, 200, 300, 400, 500, 600}));
}

// A match is shown bold on its row, the cursor on it.
TEST_F(StmtRangeScreen, SearchShowsTheMatchBold) {
  open("SET SIX");
  p_->send_keys("F1 4");
  ASSERT_TRUE(row_starts(2, "Search For")) << p_->capture();
  p_->send_keys("F1 6");
  p_->send_text("line 4");
  p_->send_keys("Enter");
  ASSERT_TRUE(cursor_at(5, 16)) << p_->cursor() << "\n" << p_->capture();
  EXPECT_NE(attr_row(5).find("\x1b[1m"), std::string::npos) << p_->capture_escapes();
  EXPECT_EQ(attr_row(4).find("\x1b[1m"), std::string::npos) << p_->capture_escapes();
  p_->send_keys("F2 S-F1");
  ASSERT_TRUE(row_starts(21, "1) Toolbox")) << p_->capture();
  end_run();
}

// External copy typed through: the second event point's lines 2-3 pasted
// before line 1 of "SET TEST".
TEST_F(StmtRangeScreen, ExternalCopyTypedThrough) {
  std::string c(kSeContextSize, '\0');
  c.replace(0, 5, "DEM01");
  std::string proc = "SET SIX";
  proc.resize(30, ' ');
  c.replace(SEC_PROC, 30, proc);
  c[SEC_TYPE] = 6, c[SEC_EP] = 1;
  open("SET TEST", c);
  p_->send_keys("F1 6");
  ASSERT_TRUE(row_starts(20, "Start XCopy Where?")) << p_->capture();
  ASSERT_TRUE(row_is(2, "      *        line 1")) << p_->capture();
  // The source's context line, bold and reverse, over the outer run's.
  EXPECT_EQ(row(1).substr(0, 8), "SET SIX ");
  EXPECT_EQ(attr_row(1).find("\x1b[1;7m"), 0u) << p_->capture_escapes();
  p_->send_keys("Down Enter");
  ASSERT_TRUE(row_starts(20, "End XCopy Where?")) << p_->capture();
  p_->send_keys("Down Enter");
  ASSERT_TRUE(row_starts(20, "XCopy To Where?")) << p_->capture();
  EXPECT_EQ(row(2), "      *        first line");
  EXPECT_EQ(row(1).substr(0, 9), "SET TEST ");
  EXPECT_EQ(attr_row(1).find("\x1b[1;7m"), std::string::npos) << p_->capture_escapes();
  p_->send_keys("Enter");
  ASSERT_TRUE(row_is(2, "      *        line 2")) << p_->capture();
  end_run();
  const auto r = stmts("SET TEST", 1);
  ASSERT_EQ(r.size(), 5u);
  EXPECT_EQ(r[0].opnd(), "line 2");
  EXPECT_EQ(r[1].opnd(), "line 3");
  EXPECT_EQ(r[2].opnd(), "first line");
  EXPECT_EQ(seqs(r), (std::vector<uint32_t>{100, 200, 300, 400, 500}));
  for (const auto& x : r) EXPECT_EQ(x.b.find('\n'), std::string::npos);
}

// A replacement that fails the check is shown for correction on its row;
// option 8 skips it, and the line is as it was.
TEST_F(StmtRangeScreen, FailedReplacementSkippedFromItsRow) {
  open("SET TEST");
  p_->send_keys("F1 5");
  ASSERT_TRUE(row_starts(2, " OLD =")) << p_->capture();
  p_->send_text("SE NAME");
  p_->send_keys("Tab");
  p_->send_text("SE NAMX");
  p_->send_keys("Enter");
  ASSERT_TRUE(row_starts(20, "RETURN To Perform Replacement")) << p_->capture();
  p_->send_keys("Enter");
  ASSERT_TRUE(row_starts(20, "Make Changes to Statement Then Press RETURN")) << p_->capture();
  // The row in editing: blanks of its fields show as dots.
  EXPECT_NE(row(3).find("DEM SE.NAMX"), std::string::npos) << p_->capture();
  EXPECT_TRUE(cursor_at(3, 20)) << p_->cursor() << "\n" << p_->capture();
  p_->send_keys("F1 8");
  ASSERT_TRUE(row_is(21, "Cancel To End Replace")) << p_->capture();
  EXPECT_NE(row(3).find("DEM SE NAME"), std::string::npos) << p_->capture();
  p_->send_keys("F2 S-F1");
  ASSERT_TRUE(row_starts(21, "1) Toolbox")) << p_->capture();
  end_run();
  std::vector<std::string> was, now;
  for (auto& r : before_) was.push_back(r.b);
  for (auto& r : stmts()) now.push_back(r.b);
  EXPECT_EQ(now, was);
}

// From inquire mode the editor is view-only (ADD MODE beeps); from change
// mode a line added and END are stored, and the process's screen comes back.
TEST_F(StmtRangeScreen, OptionInterceptCallsTheEditor) {
  open_caller();
  p_->send_keys("F1 1");
  ASSERT_TRUE(row_is(2, "      *        edited line one")) << p_->capture();
  EXPECT_EQ(row(1), "SE CALLER                                              Input  (Start of Process)");
  p_->send_keys("F10");
  EXPECT_TRUE(kivo_test::wait_until([&] { return p_->display("#{window_bell_flag}") == "1"; }, kivo_test::kScreenWait));
  EXPECT_EQ(row(3), "[END]");
  p_->send_keys("S-F1");
  ASSERT_TRUE(p_->wait_for("CALLER SCREEN")) << p_->capture();
  // A customer added, read back and changed: the editor takes lines.
  p_->send_keys("F10");
  type("C1");
  p_->send_keys("Tab");
  type("ADAMS");
  p_->send_keys("Enter");
  ASSERT_TRUE(p_->wait_for("RECORD ADDED")) << p_->capture();
  p_->send_keys("F12");
  type("C1");
  p_->send_keys("Enter");
  ASSERT_TRUE(p_->wait_for("RECORD READ")) << p_->capture();
  p_->send_keys("S-F2");
  ASSERT_TRUE(p_->wait_for("CHANGE")) << p_->capture();
  p_->send_keys("F1 1");
  ASSERT_TRUE(row_is(2, "      *        edited line one")) << p_->capture();
  p_->send_keys("Down F10");
  type("*");
  p_->send_keys("Enter");
  type("added from change mode");
  p_->send_keys("Enter");
  p_->send_keys("F2 S-F1");
  ASSERT_TRUE(row_is(3, "      *        added from change mode")) << p_->capture();
  p_->send_keys("S-F1");
  ASSERT_TRUE(p_->wait_for("CALLER SCREEN")) << p_->capture();
  EXPECT_EQ(caller_lines(), (std::vector<std::string>{"edited line one", "added from change mode"}));
  p_->send_keys("S-F1");
  EXPECT_EQ(p_->exit_status(30), 0) << p_->capture();
}

}  // namespace
}  // namespace kivo::test
