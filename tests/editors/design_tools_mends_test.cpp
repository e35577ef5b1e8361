// The design tools as a designer meets them, on a real terminal (tmux) and
// through the real engine's harness: the image editor's seven prompt
// panels with their texts, the cursor a rectangle's request leaves on its
// second corner; the statements kivo_design writes, as the statement
// editor shows and numbers them, and the default installation's STMT files
// through `kivo -e` and `kivo -i`.
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "ie_install.h"
#include "se_run_util.h"

namespace kivo::test {
namespace {

// An image of 12 rows with one item at (2, 8), in the shipped application
// DEM, run by the harness's subroutine of ie_install.h.
constexpr const char* kPanelImage = R"(APPLICATION DEM 01
WORK "PNL NAME" A20
PROCESS 2 IES
FRAME 2 IES 0 1
IMAGE 2 IES 0 1 1 kind=1 rows=12 cols=80
ROW 2 IES 0 1 1 1 "Panel test image"
ROW 2 IES 0 1 1 2 "Name:"
ROW 2 IES 0 1 1 6 "Sixth row"
ITEM 2 IES 0 1 1 2 8 ap=DEM field="PNL NAME"
)";

class DesignToolsMends : public SeRun {
 protected:
  void open_image() {
    write_installation(d_, {kPanelImage, kIeRun});
    ASSERT_EQ(system(("mkdir -p " + d_.file("tst")).c_str()), 0);
    kivo_test::env_list e = env("tst");
    p_ =
        std::make_unique<tmux_pane>(shell_quote(KIVO_TOOLTEST) + " -d=DB1 -a=0LA -t=subroutine -p=IET_RUN", d_.path, e);
    ASSERT_TRUE(p_->wait_for("Panel test image")) << p_->capture();
  }
  void TearDown() override {
    if (p_) p_->exit_status(1);
    SeRun::TearDown();
  }
  std::string row(size_t r) { return p_->row(r); }
  // Screen row r holds `text` (at 1-based column `col` when given).
  bool shows(size_t r, const std::string& text, size_t col = 0) {
    return kivo_test::wait_until(
        [&] {
          const std::string l = row(r);
          if (!col) return l.find(text) != std::string::npos;
          return l.size() >= col - 1 && l.compare(col - 1, text.size(), text) == 0;
        },
        kivo_test::kScreenWait);
  }
  bool gone(size_t r, const std::string& text) {
    return kivo_test::wait_until([&] { return row(r).find(text) == std::string::npos; }, kivo_test::kScreenWait);
  }

  std::unique_ptr<tmux_pane> p_;
};

// Each panel's title and prompt lines, where the panel stands: the
// Row/Col panel in the screen's middle row, right of the centre for a
// cursor in the image's left half, with the cursor's row and column; the
// others at row 15 for a cursor above row 11. Each is then left with the
// key that ends it.
TEST_F(DesignToolsMends, PromptPanelsShowTheirTextOnTheTerminal) {
  open_image();
  struct line {
    size_t row, col;
    std::string text;
  };
  struct {
    const char* what;
    int r, c;
    const char* keys;
    std::vector<line> lines;
    const char* then;  // keys after the lines showed: the next step, or leaving
  } cases[] = {
      {"Row/Col", 3, 5, "F1 3", {{12, 45, "  Row/Col"}, {14, 45, " Row = 003"}, {15, 45, " Col = 005"}}, "Enter"},
      {"Move Item",
       2,
       8,
       "F1 9",
       {{15, 0, "Move Item"}, {17, 0, "Position cursor to desired location"}, {18, 0, "and press RETURN"}},
       "S-F1"},
      {"Move Lines, the last row",
       1,
       1,
       "F1 8",
       {{15, 0, "Move Lines"}, {17, 0, "Position cursor to last row to move"}, {18, 0, "and press RETURN"}},
       "Enter"},
      {"Move Lines, the destination", 1, 1, "", {{17, 0, "Position cursor to desired row"}}, "Enter"},
      {"Define Characteristics",
       7,
       3,
       "F1 F1 1 3",
       {{15, 0, "Define Characteristics"},
        {17, 0, "Position cursor to end of characteristic range"},
        {18, 0, "and press RETURN"}},
       "S-F1"},
      {"Define Translation Exception",
       7,
       3,
       "F1 F1 9 5",
       {{15, 0, "Define Translation Exception"}, {17, 0, "Position cursor to end of exception"}},
       "S-F1"},
      {"Define Box/Line",
       7,
       3,
       "F1 F1 1 4",
       {{15, 0, "Define Box/Line"}, {17, 0, "Position cursor to end of box/line"}, {18, 0, "and press RETURN"}},
       "S-F1"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (*c.keys) {
      ASSERT_TRUE(move_cursor(*p_, c.r, c.c)) << p_->cursor();
      p_->send_keys(c.keys);
    }
    for (const line& l : c.lines)
      EXPECT_TRUE(shows(l.row, l.text, l.col)) << l.row << ":" << l.text << "\n" << p_->capture();
    p_->send_keys(c.then);
    // The prompt line goes (the title may stay: the next panel's is the same).
    const line& prompt = c.lines[std::min<size_t>(1, c.lines.size() - 1)];
    EXPECT_TRUE(gone(prompt.row, prompt.text)) << p_->capture();
  }
  // The image as it was: the move of row 1 onto itself changed nothing.
  EXPECT_EQ(row(1), "Panel test image");
  EXPECT_EQ(row(2), "Name:  ....................");
}

// A rectangle chosen from its first corner to its second returns with its
// request; the next entry puts the cursor where the request stored it: the
// second corner, whichever way round the corners lie.
TEST_F(DesignToolsMends, RectangleRequestLeavesTheCursorOnItsSecondCorner) {
  open_image();
  struct {
    const char* what;
    const char* keys;
    const char* prompt;
    int r1, c1, r2, c2;
  } cases[] = {
      {"characteristic", "F1 F1 1 3", "Position cursor to end of characteristic range", 7, 3, 9, 12},
      {"characteristic from below", "F1 F1 1 3", "Position cursor to end of characteristic range", 10, 30, 8, 20},
      {"box", "F1 F1 1 4", "Position cursor to end of box/line", 7, 4, 5, 2},
      {"exception", "F1 F1 9 5", "Position cursor to end of exception", 8, 10, 8, 20},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(move_cursor(*p_, c.r1, c.c1)) << p_->cursor();
    p_->send_keys(c.keys);
    ASSERT_TRUE(shows(17, c.prompt)) << p_->capture();
    ASSERT_TRUE(move_cursor(*p_, c.r2, c.c2)) << p_->cursor();
    p_->send_keys("Enter");
    // The panel goes with the show of the next entry, which places the cursor.
    ASSERT_TRUE(gone(17, c.prompt)) << p_->capture();
    const std::string at = std::to_string(c.r2) + " " + std::to_string(c.c2);
    EXPECT_TRUE(kivo_test::wait_until([&] { return p_->cursor() == at; }, kivo_test::kScreenWait)) << p_->cursor();
  }
}

// The lines kivo_design wrote carry no stamp: the editor's audit view shows
// "Added prior to version 2.0" at the end of each row, and the view of
// changes shows nothing.
TEST_F(DesignToolsMends, DesignedStatementsShowTheStampOfLinesWithoutOne) {
  install();
  for (const stmt_rec& r : stmts("SET TEST", 1)) {
    EXPECT_TRUE(r.stamp_none(STMT_ADD_STAMP));
    EXPECT_TRUE(r.stamp_none(STMT_CHG_STAMP));
    EXPECT_EQ(r.user(STMT_ADD_USER) + r.user(STMT_CHG_USER), "      ");
  }
  play("se_no_stamp", {}, "#OPTION 98\n#OPTION 1\n#OPTION 98\n#OPTION 2\n#END\n");
  const auto s = screens("se_no_stamp");
  ASSERT_GE(s.size(), 3u);
  const std::string note = "Added prior to version 2.0";
  // The stamp stands in the operands' place, ending at column 79.
  const std::string stamped = std::string("      *").append(79 - note.size() - 7, ' ') + note;
  EXPECT_EQ(row_text(s[s.size() - 3], 2), stamped);
  EXPECT_EQ(row_text(s[s.size() - 3], 4), stamped);
  EXPECT_EQ(row_text(s[s.size() - 2], 2), "      *        first line");
  EXPECT_EQ(log(), "SE_EDIT 1 status=0 changed=0\n");
}

// An event point of 100 lines: sequence n x 100 as the editor stores line
// n, but for lines 26 to 28, whose n x 100 would hold a line-feed byte: they
// take the next numbers that hold none. No record holds a line feed.
TEST_F(DesignToolsMends, DesignedStatementsAreNumberedAsTheEditorNumbers) {
  install(long_event_point());
  std::vector<uint32_t> want;
  for (uint32_t n = 1; n <= 100; ++n) want.push_back(n * 100);
  want[25] = 0xB00, want[26] = 0xB01, want[27] = 0xB02;  // 2816: the first above 0x0AFF
  EXPECT_EQ(seqs(stmts("SET LONG", 1)), want);
  EXPECT_EQ(seqs(stmts("SET TEST", 1)), (std::vector<uint32_t>{100, 200, 300}));
  for (const stmt_rec& r : stmts()) EXPECT_EQ(r.b.find('\n'), std::string::npos) << r.proc() << " " << r.seq();
}

// The default installation's STMT files go to flat files and back through
// the real engine with every record unchanged; each record is a line as
// the editor writes it: blank spare bytes, no stamps, no users.
TEST_F(DesignToolsMends, DefaultInstallationStatementsExportAndImportUnchanged) {
  const std::string shipped = kivo_test::shipped_installation() + "/";
  for (const char* dir : {"00/0LA", "00/0SA", "01/DEM"}) {
    SCOPED_TRACE(dir);
    const std::string from = shipped + dir + "/Data/STMT", to = d_.file(std::string(dir).substr(3));
    const std::vector<std::string> before = kivo_test::native_records(from + ".dat").records;
    ASSERT_FALSE(before.empty());
    for (const std::string& b : before) {
      const stmt_rec r{b};
      EXPECT_TRUE(r.stamp_none(STMT_ADD_STAMP) && r.stamp_none(STMT_CHG_STAMP)) << r.proc();
      EXPECT_EQ(b.substr(STMT_ADD_USER, 6) + b.substr(STMT_SPARE, 4) + b.substr(STMT_SPARE3, 2), std::string(12, ' '));
    }
    ASSERT_TRUE(std::filesystem::copy_file(from + ".dat", to + ".dat"));
    ASSERT_TRUE(std::filesystem::copy_file(from + ".key", to + ".key"));
    auto run = [&](const std::string& arg) {
      const int st = system((shell_quote(KIVO_BINARY) + " " + arg + " >" + d_.file("flat.out") + " 2>&1").c_str());
      return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    };
    ASSERT_EQ(run("-e=" + shell_quote(to + ".dat")), 0) << kivo_test::slurp(d_.file("flat.out"));
    std::filesystem::remove(to + ".dat"), std::filesystem::remove(to + ".key");
    ASSERT_EQ(run("-i=" + shell_quote(to)), 0) << kivo_test::slurp(d_.file("flat.out"));
    EXPECT_EQ(kivo_test::native_records(to + ".dat").records, before);
  }
}

}  // namespace
}  // namespace kivo::test
