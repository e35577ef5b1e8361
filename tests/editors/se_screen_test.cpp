// The statement editor on a real terminal: the tool harness in a tmux pane
// of 80 x 24 on a fixture installation, keys as the default keymap sends
// them (ADD MODE F10, END Shift-F1, CANCEL F2 Shift-F1, CHANGE MODE
// Shift-F2); every wait is for the screen or the end of the run.
#include "../fixtures/hook_override.h"
#include "se_run_util.h"

namespace kivo::test {
namespace {

class StmtEditorScreen : public SeRun {
 protected:
  void SetUp() override {
    install();
    p_ = start({}, env("tst"));
    ASSERT_TRUE(p_->wait_for("[END]")) << p_->capture();
  }
  void TearDown() override {
    if (p_) p_->exit_status(1);
    SeRun::TearDown();
  }
  std::string row(size_t r) { return p_->row(r); }
  // Row r with its attributes as escape sequences (an escape only where
  // they change, so a row may inherit the one before).
  std::string attr_row(size_t r) { return p_->attr_row(r); }
  bool row_is(size_t r, const std::string& text) {
    return kivo_test::wait_until([&] { return row(r) == text; }, kivo_test::kScreenWait);
  }
  bool cursor_at(int r, int c) {
    const std::string at = std::to_string(r) + " " + std::to_string(c);
    return kivo_test::wait_until([&] { return p_->cursor() == at; }, kivo_test::kScreenWait);
  }
  // A SET line typed on a new first row; `field` the first field's name.
  void type_set(const std::string& field) {
    p_->send_keys("F10");
    ASSERT_TRUE(cursor_at(2, 7)) << p_->cursor();
    // The insert's option line asks for an answer: reverse.
    EXPECT_EQ(attr_row(20).substr(0, 4), "\x1b[7m") << p_->capture_escapes();
    p_->send_text("SET");
    p_->send_keys("Enter");
    ASSERT_TRUE(row_is(2, "..... SET      DEM ...................... ... =  DEM ...................... ..."))
        << p_->capture();
    p_->send_keys("Tab Tab");
    p_->send_text(field);
    p_->send_keys("Tab Tab");
    p_->send_text("   WORLD");
  }

  std::unique_ptr<tmux_pane> p_;
};

// Three lines on rows 2-4, "[END]" on 5, the context line on row 1, the
// option menu on row 21.
TEST_F(StmtEditorScreen, ShowsTheEventPoint) {
  EXPECT_EQ(row(1), "SET TEST                                                Subroutine  (Subroutine)");
  EXPECT_EQ(row(2), "      *        first line");
  EXPECT_EQ(row(3), "      SET      DEM SE NAME                    =      HELLO");
  EXPECT_EQ(row(4), "      *        third line");
  EXPECT_EQ(row(5), "[END]");
  EXPECT_EQ(row(21), "1) Toolbox     2) Move     3) Copy     4) Search     5) Replace     6) XCopy");
  EXPECT_NE(p_->capture_escapes().find("\x1b[7mSET TEST"), std::string::npos);
  // Option line 1 (blank) underlined; line 2 lies on the row the
  // separator from the status lines underlines anyway.
  EXPECT_EQ(attr_row(20).substr(0, 4), "\x1b[4m") << p_->capture_escapes();
  p_->send_keys("S-F1");
  EXPECT_EQ(p_->exit_status(30), 0);
}

// A SET line added and saved: four records, 100 to 400, the new one first
// with its stamp and user; the process gets a new design stamp, so that a
// module it keeps is compiled again, and no other process does.
TEST_F(StmtEditorScreen, AddedLineIsSaved) {
  const auto stamps = process_stamps();
  type_set("SE NAME");
  p_->send_keys("Enter");
  ASSERT_TRUE(row_is(2, "      SET      DEM SE NAME                    =      WORLD")) << p_->capture();
  p_->send_keys("F2 S-F1");
  ASSERT_TRUE(row_is(21, "1) Toolbox     2) Move     3) Copy     4) Search     5) Replace     6) XCopy"))
      << p_->capture();
  p_->send_keys("S-F1");
  ASSERT_EQ(p_->exit_status(30), 0) << p_->capture();
  const auto r = stmts("SET TEST", 1);
  ASSERT_EQ(seqs(r), (std::vector<uint32_t>{100, 200, 300, 400}));
  EXPECT_FALSE(r[0].stamp_none(STMT_ADD_STAMP));
  EXPECT_TRUE(r[0].stamp_none(STMT_CHG_STAMP));
  EXPECT_EQ(r[0].user(STMT_ADD_USER), "TST");
  EXPECT_TRUE(r[1].stamp_none(STMT_ADD_STAMP));
  auto now = process_stamps();
  EXPECT_NE(now["SET TEST"], stamps.at("SET TEST"));
  now["SET TEST"] = stamps.at("SET TEST");
  EXPECT_EQ(now, stamps);
}

// A misspelled field is refused: the cursor on it, a bell; corrected, the
// line is taken and saved.
TEST_F(StmtEditorScreen, MisspelledFieldIsRefusedThenCorrected) {
  type_set("SE NAMX");
  p_->send_keys("Enter");
  ASSERT_TRUE(cursor_at(2, 20)) << p_->cursor() << "\n" << p_->capture();
  EXPECT_TRUE(kivo_test::wait_until([&] { return p_->display("#{window_bell_flag}") == "1"; }, kivo_test::kScreenWait));
  p_->send_text("SE NAME");
  p_->send_keys("Enter");
  ASSERT_TRUE(row_is(2, "      SET      DEM SE NAME                    =      WORLD")) << p_->capture();
  p_->send_keys("F2 S-F1");
  ASSERT_TRUE(row_is(21, "1) Toolbox     2) Move     3) Copy     4) Search     5) Replace     6) XCopy"));
  p_->send_keys("S-F1");
  ASSERT_EQ(p_->exit_status(30), 0) << p_->capture();
  const auto r = stmts("SET TEST", 1);
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0].opnd().substr(7, 7), "SE NAME");
}

}  // namespace
}  // namespace kivo::test
