// Ranges, search and external copy on a real terminal: the tool harness in
// a tmux pane of 80 x 24 (TERM fixed by the harness's environment), keys as
// the default keymap sends them (OPTION F1 then the digit, END Shift-F1,
// CANCEL F2 Shift-F1); every wait is for the screen or the end of the run.
#include "se_run_util.h"
#include "tools/se_edit.h"

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
  std::string row(size_t r) {
    auto l = p_->lines();
    std::string s = r <= l.size() ? l[r - 1] : "";
    return s.erase(s.find_last_not_of(' ') + 1);
  }
  bool row_is(size_t r, const std::string& text) {
    return kivo_test::wait_until([&] { return row(r) == text; }, 10);
  }
  bool row_starts(size_t r, const std::string& text) {
    return kivo_test::wait_until([&] { return row(r).compare(0, text.size(), text) == 0; }, 10);
  }
  bool cursor_at(int r, int c) {
    const std::string at = std::to_string(r) + " " + std::to_string(c);
    return kivo_test::wait_until([&] { return p_->cursor() == at; }, 10);
  }
  std::string attr_row(size_t r) {
    std::istringstream in(p_->capture_escapes());
    std::string l;
    for (size_t i = 0; i < r && std::getline(in, l); ++i) {}
    return l;
  }
  void end_run() {
    p_->send_keys("S-F1");
    ASSERT_EQ(p_->exit_status(30), 0) << p_->capture();
  }
  std::vector<std::string> texts(const std::string& proc) {
    std::vector<std::string> out;
    for (auto& r : stmts(proc, 1)) out.push_back(r.opnd());
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
  EXPECT_EQ(texts("SET SIX"),
            (std::vector<std::string>{"line 3", "line 4", "line 5", "line 1", "line 2", "line 6"}));
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
  p_->send_keys("Down Enter");
  ASSERT_TRUE(row_starts(20, "End XCopy Where?")) << p_->capture();
  p_->send_keys("Down Enter");
  ASSERT_TRUE(row_starts(20, "XCopy To Where?")) << p_->capture();
  EXPECT_EQ(row(2), "      *        first line");
  p_->send_keys("Enter");
  ASSERT_TRUE(row_is(2, "      *        line 2")) << p_->capture();
  end_run();
  const auto r = stmts("SET TEST", 1);
  ASSERT_EQ(r.size(), 5u);
  EXPECT_EQ(r[0].opnd(), "line 2");
  EXPECT_EQ(r[1].opnd(), "line 3");
  EXPECT_EQ(r[2].opnd(), "first line");
  EXPECT_EQ(seqs(r), (std::vector<uint32_t>{100, 200, 300, 400, 500}));
  for (const auto& x : stmts()) EXPECT_EQ(x.b.find('\n'), std::string::npos);
}

}  // namespace
}  // namespace kivo::test
