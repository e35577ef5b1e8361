// The editors tell a designer why they refuse, on the message row of a real
// terminal (the tool harness under tmux): the statement editor for a line
// its check refuses, the image editor for a box in column 1; neither is a
// system error (SeRun's tear-down finds the system-error log empty).
#include "ie_install.h"
#include "se_run_util.h"

namespace kivo::test {
namespace {

constexpr size_t kMessageRow = 23;  // under the status line

// A 12 x 80 image of DEM with one item, run by the harness's subroutine.
constexpr const char* kBoxImage = R"(APPLICATION DEM 01
WORK "PNL NAME" A20
PROCESS 2 IES
FRAME 2 IES 0 1
IMAGE 2 IES 0 1 1 kind=1 rows=12 cols=80
ROW 2 IES 0 1 1 1 "Box test image"
ITEM 2 IES 0 1 1 2 8 ap=DEM field="PNL NAME"
)";

class DesignerPathMends : public SeRun {
 protected:
  void TearDown() override {
    if (p_) p_->exit_status(1);
    SeRun::TearDown();
  }
  // The message row shows `text` after its error label.
  bool says(const std::string& text) {
    return kivo_test::wait_until([&] { return p_->row(kMessageRow) == "ERROR - " + text; }, kivo_test::kScreenWait);
  }
  bool cursor_at(int col) {
    return kivo_test::wait_until([&] { return p_->cursor() == "2 " + std::to_string(col); }, kivo_test::kScreenWait);
  }
  // Keys by tmux's names; a word after "=" is typed as text.
  void send(const std::vector<std::string>& keys) {
    for (const std::string& k : keys) k[0] == '=' ? p_->send_text(k.substr(1)) : p_->send_keys(k);
  }

  std::unique_ptr<tmux_pane> p_;
};

// ADD MODE on a new line: each refusal puts the cursor on the field at
// fault and says why on the message row; the next key takes the message
// away, and the next refusal says its own.
TEST_F(DesignerPathMends, StatementEditorSaysWhyItRefusesALine) {
  install();
  p_ = start(se_call{}, env("tst"));
  ASSERT_TRUE(p_->wait_for("[END]")) << p_->capture();
  const struct {
    const char* what;
    std::vector<std::string> keys;
    std::string message;
    int col;  // the cursor's column; 0 where the typing leaves it
  } steps[] = {
      {"an unknown verb", {"F10", "=IFF", "Enter"}, "IFF is not a statement keyword", 0},
      // IF then its operands: Tab goes field by field, the application DEM given.
      {"a field left blank",
       {"BSpace", "Enter", "Tab", "Tab", "Tab", "Tab", "=LT", "Enter"},
       "Required here: Field name",
       20},
      {"an unknown field", {"=QTX", "Enter"}, "Field QTX not found in DEM", 20},
      {"an unknown relation",
       {"=SE NAME", "Tab", "Tab", "=ZZ", "Enter"},
       "ZZ is not valid: Relational operator: EQ GE GT LE LT NE IN or EX",
       47},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.what);
    send(s.keys);
    EXPECT_TRUE(says(s.message)) << p_->capture();
    if (s.col) {
      EXPECT_TRUE(cursor_at(s.col)) << p_->cursor();
    }
  }
  p_->send_keys("F2 S-F1");  // CANCEL: the line goes, as the message does
  ASSERT_TRUE(kivo_test::wait_until([&] { return p_->row(kMessageRow).empty(); }, kivo_test::kScreenWait))
      << p_->capture();
  p_->send_keys("S-F1");
  EXPECT_EQ(p_->exit_status(), 0) << p_->capture();
  EXPECT_EQ(stmts().size(), before_.size());
}

// A box begun in column 1 is refused with its text on the message row, and
// the system-error log stays empty; a box begun in column 2 is drawn.
TEST_F(DesignerPathMends, ImageEditorBoxInColumnOneIsADesignersMessageNotASystemError) {
  write_installation(d_, {kBoxImage, kIeRun});
  ASSERT_EQ(system(("mkdir -p " + d_.file("tst")).c_str()), 0);
  p_ = std::make_unique<tmux_pane>(shell_quote(KIVO_TOOLTEST) + " -d=DB1 -a=0LA -t=subroutine -p=IET_RUN", d_.path,
                                   env("tst"));
  ASSERT_TRUE(p_->wait_for("Box test image")) << p_->capture();
  ASSERT_TRUE(move_cursor(*p_, 6, 1)) << p_->cursor();
  p_->send_keys("F1 F1 1 4");
  EXPECT_TRUE(kivo_test::wait_until(
      [&] {
        return p_->row(kMessageRow).find("You cannot define a box or line which begins in column 1") !=
               std::string::npos;
      },
      kivo_test::kScreenWait))
      << p_->capture();
  ASSERT_TRUE(move_cursor(*p_, 6, 2)) << p_->cursor();
  p_->send_keys("F1 F1 1 4");
  EXPECT_TRUE(p_->wait_for("Position cursor to end of box/line")) << p_->capture();
  p_->send_keys("S-F1");
}

}  // namespace
}  // namespace kivo::test
