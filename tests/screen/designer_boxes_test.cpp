// Boxes and lines on the designer's path, through the real engine under
// tmux on copies of the default installation: the boxes of a design source
// on a running INPUT screen, locally and through the remote-terminal
// client; a box drawn and saved in the image editor (the tool harness) into
// an application whose version holds no characteristics yet, stored and
// shown by the next run, also where the process keeps its compiled module;
// a save whose design file cannot be made, refused with nothing lost; and
// the texts of the messages the image editor adds.
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>

#include "../editors/ie_install.h"
#include "compiler/design_records.h"
#include "fm/la.h"
#include "foundation/bytes.h"

namespace kivo::test {
namespace {

using kivo_test::shell_quote;
using kivo_test::tmux_pane;

// The demonstration's CUSTOMER ENTRY (9 x 60 at row 3, column 10) with a
// one-row box on its blank row 2, a reverse run under "CUSTOMER NO:" and a
// box over rows 8 and 9, which hold text.
constexpr const char* kCustomerBoxes = R"(APPLICATION DEM 01
CHR 2 "CUSTOMER ENTRY" 0 1 1 2 1 rows=1 cols=40 box=1
CHR 2 "CUSTOMER ENTRY" 0 1 1 3 1 rows=1 cols=12 reverse=1
CHR 2 "CUSTOMER ENTRY" 0 1 1 8 2 rows=2 cols=30 box=1
)";

// An INPUT process of DEM loaded without a CHR line; `save` keeps its
// compiled module between runs.
std::string parts_source(bool save) {
  return std::string(R"(APPLICATION DEM 01
WORK "PART NO" A10
WORK "PART NAME" A20
PROCESS 2 PARTS)") +
         (save ? " save=1" : "") + R"(
FRAME 2 PARTS 0 1
IMAGE 2 PARTS 0 1 1 kind=1 rows=9 cols=60 win_row=3 win_col=10
ROW 2 PARTS 0 1 1 1 "PART ENTRY"
ROW 2 PARTS 0 1 1 3 "PART NO:"
ROW 2 PARTS 0 1 1 4 "NAME:"
ITEM 2 PARTS 0 1 1 3 15 ap=DEM field="PART NO" input=1
ITEM 2 PARTS 0 1 1 4 15 ap=DEM field="PART NAME" input=1
)";
}

// The start of the keys of PARTS's image records: its type and name.
const std::string kPartsKey("\x02PARTS", 6);

// An OUTPUT process's image, whose items have no help of their own.
constexpr const char* kReport = R"(APPLICATION DEM 01
WORK "RPT TOTAL" A10
PROCESS 3 RPT
FRAME 3 RPT 0 1
IMAGE 3 RPT 0 1 1 kind=3 rows=3 cols=60
ROW 3 RPT 0 1 1 1 "TOTAL:"
ITEM 3 RPT 0 1 1 1 10 ap=DEM field="RPT TOTAL"
)";

// The subroutine the harness starts on the image `key` ("type:name:...").
std::string editor_run(const std::string& key) {
  std::string set = "      SET      0LA IET KEY                    =      ";
  return "APPLICATION 0LA 00\nWORK \"IET KEY\" A30\nPROCESS 6 \"IET RUN\"\nSTMTS 6 \"IET RUN\" ep=1\n" + set + key +
         "\n      PASS     0LA IET KEY                    FIELD            SHARE? Y\n"
         "      CALL         IE_TOOLTEST                          N       N       0\nEND\n";
}

// A box edge of `cols` columns at 1-based screen column `col`.
std::string edge(size_t col, size_t cols) { return std::string(col - 1, ' ') + "+" + std::string(cols - 2, '-') + "+"; }

// Screen row r of the pane is `text`, within the bound.
bool shows(tmux_pane& p, size_t r, const std::string& text) {
  return kivo_test::wait_until([&] { return p.row(r) == text; }, kivo_test::kScreenWait);
}

class DesignerPathMends : public ::testing::Test {
 protected:
  void SetUp() override { fresh(); }
  // A new data directory for the next installation.
  void fresh() {
    d_ = std::make_unique<kivo_test::data_dir>();
    ASSERT_EQ(system(("mkdir -p " + d_->file("tst")).c_str()), 0);
  }
  const kivo_test::data_dir& d() const { return *d_; }
  kivo_test::env_list env() const { return kivo_test::engine_env(d().path); }
  // `cmd` in a pane on the installation, with the engine's environment.
  std::unique_ptr<tmux_pane> pane(const std::string& cmd, kivo_test::env_list extra = {}) const {
    kivo_test::env_list e = env();
    e.insert(e.end(), extra.begin(), extra.end());
    return std::make_unique<tmux_pane>(cmd, d().path, e);
  }
  std::unique_ptr<tmux_pane> engine(const std::string& args) const { return pane(shell_quote(KIVO_BINARY) + args); }
  std::unique_ptr<tmux_pane> editor(kivo_test::env_list extra = {}) const {
    return pane(shell_quote(KIVO_TOOLTEST) + " -d=DB1 -a=0LA -t=subroutine -p=IET_RUN", extra);
  }
  // The character client of a remote terminal, on the session the test
  // listener (in `lsn`) starts with `args`; the listener stays while the
  // session runs, since the end of its pane would hang the session up.
  std::unique_ptr<tmux_pane> remote(const std::string& args, std::unique_ptr<tmux_pane>* lsn) const {
    *lsn = pane(std::string(KIVO_LISTEN) + " " + shell_quote(KIVO_BINARY) + args);
    std::string port;
    const bool listening = kivo_test::wait_until(
        [&] { return !(port = (*lsn)->row(1)).empty() && port.find_first_not_of("0123456789") == std::string::npos; },
        kivo_test::kScreenWait);
    EXPECT_TRUE(listening) << (*lsn)->capture();
    return pane(shell_quote(KIVO_BINARY) + " -c",
                {{"KIVO_HOST", "127.0.0.1"}, {"KIVO_PORT", port}, {"KIVO_USER", "me"}, {"KIVO_PSWD", "pw"}});
  }
  // What the system-error log holds: nothing on a designer's path.
  std::string sys_errs() const { return kivo_test::slurp(d().file("syserr")); }
  // The CHR records of the image PARTS.
  std::vector<std::string> parts_chrs() const { return exported(d(), "DEM", "CHR", kPartsKey); }
  int verify(const std::string& file) const {
    const int st = system(
        (shell_quote(KIVO_BINARY) + " -v=" + shell_quote(d().file("01/DEM/Data/" + file + ".dat")) + " >/dev/null 2>&1")
            .c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  // A box in the editor from image cell (row, col) to `across` columns to
  // the right, then OPTION 16: the save.
  static void draw_and_save(tmux_pane& p, int row, int col, int across) {
    ASSERT_TRUE(move_cursor(p, row, col)) << p.cursor();
    p.send_keys("F1 F1 1 4");
    ASSERT_TRUE(p.wait_for("Position cursor to end of box/line")) << p.capture();
    ASSERT_TRUE(move_cursor(p, row, col + across)) << p.cursor();
    p.send_keys("Enter");
    ASSERT_TRUE(shows(p, size_t(row), edge(size_t(col), size_t(across) + 1))) << p.capture();
    p.send_keys("F1 F1 1 6");
  }
  std::unique_ptr<kivo_test::data_dir> d_;
};

// The rows of CUSTOMER ENTRY with its boxes: the one-row box a line from
// column 10 to 49, the two-row box its top and bottom edges from column 11
// to 40 over the text, the reverse run no box.
const struct {
  const char* what;
  size_t row;
  std::string text;
} kCustomerRows[] = {
    {"title, untouched", 3, "         CUSTOMER ENTRY"},
    {"one-row box on image row 2", 4, edge(10, 40)},
    {"reverse run, no line", 5, "         CUSTOMER NO:"},
    {"two-row box, top edge", 10, "         T" + edge(1, 30)},
    {"two-row box, bottom edge", 11, "         D" + edge(1, 30) + "E, deletes the customer."},
    {"below the image", 12, ""},
};

// Locally and on the character client of a remote terminal, served by an
// engine the test listener starts.
TEST_F(DesignerPathMends, DesignBoxesShowOnARunningInputScreen) {
  write_installation(d(), {kCustomerBoxes});
  for (bool on_remote : {false, true}) {
    SCOPED_TRACE(on_remote ? "remote terminal" : "local terminal");
    const std::string args = " -d=DEM -a=DEM -t=Input -p=CUSTOMER_ENTRY";
    std::unique_ptr<tmux_pane> lsn;
    auto p = on_remote ? remote(args, &lsn) : engine(args);
    ASSERT_TRUE(shows(*p, 4, kCustomerRows[1].text)) << p->capture();
    for (const auto& c : kCustomerRows) EXPECT_EQ(p->row(c.row), c.text) << c.what << "\n" << p->capture();
    EXPECT_NE(p->attr_row(5).find("\x1b[7mCUSTOMER NO:"), std::string::npos) << p->capture_escapes();
    p->send_keys("S-F1");
    EXPECT_EQ(p->exit_status(), 0) << p->capture();
  }
  EXPECT_EQ(sys_errs(), "");
}

// A box drawn at image row 9, column 2, 31 columns wide, and a row typed in
// the same session, saved into DEM, whose version has no CHR design file:
// stored without a system error and shown by the next run, on row 11 from
// column 11; a process that keeps its module compiles the saved image.
TEST_F(DesignerPathMends, BoxSavedInTheEditorShowsWhenTheProcessRuns) {
  for (bool keep_module : {false, true}) {
    SCOPED_TRACE(keep_module ? "module kept" : "compiled each run");
    fresh();
    write_installation(d(), {parts_source(keep_module), editor_run("2:PARTS:0:1:1:DEM:01")});
    ASSERT_FALSE(std::filesystem::exists(d().file("01/DEM/Data/CHR.dat")));
    if (keep_module) {
      auto first = engine(" -d=DEM -a=DEM -t=Input -p=PARTS");
      ASSERT_TRUE(first->wait_for("PART ENTRY")) << first->capture();
      first->send_keys("S-F1");
      ASSERT_EQ(first->exit_status(), 0) << first->capture();
      ASSERT_FALSE(std::filesystem::is_empty(d().file("01/DEM/Em")));
    }
    {
      auto ed = editor();
      ASSERT_TRUE(ed->wait_for("PART ENTRY")) << ed->capture();
      ASSERT_TRUE(move_cursor(*ed, 6, 1)) << ed->cursor();
      ed->send_text("SUPPLIER:");
      ASSERT_TRUE(shows(*ed, 6, "SUPPLIER:")) << ed->capture();
      draw_and_save(*ed, 9, 2, 30);
      ed->send_keys("S-F1");
      EXPECT_EQ(ed->exit_status(), 0) << ed->capture();
      EXPECT_EQ(ed->capture().find("System Error"), std::string::npos) << ed->capture();
    }
    EXPECT_EQ(sys_errs(), "");
    const std::vector<std::string> chrs = parts_chrs();
    ASSERT_EQ(chrs.size(), 1u);
    const auto* c = reinterpret_cast<const uint8_t*>(chrs[0].data());
    EXPECT_EQ(std::vector<uint32_t>({ld_le32(c, RI_ROW), ld_le32(c, RI_COL), ld_le32(c, CR_ROWS), ld_le32(c, CR_COLS)}),
              std::vector<uint32_t>({9, 2, 1, 31}));
    EXPECT_EQ(c[CR_BOX], '1');
    EXPECT_EQ(verify("CHR"), 1);
    auto run = engine(" -d=DEM -a=DEM -t=Input -p=PARTS");
    EXPECT_TRUE(shows(*run, 11, edge(11, 31))) << run->capture();
    EXPECT_EQ(run->row(8), "         SUPPLIER:");
    run->send_keys("S-F1");
    EXPECT_EQ(run->exit_status(), 0) << run->capture();
  }
}

// The CHR design file cannot be made (its writes fail as on a full disk):
// the storage layer's failure is reported, the save is refused on the
// message row before any design file changed, and once the disk has room
// the next save stores the rows and the box.
TEST_F(DesignerPathMends, SaveWhoseDesignFileCannotBeMadeLosesNothing) {
  write_installation(d(), {parts_source(false), editor_run("2:PARTS:0:1:1:DEM:01")});
  const std::vector<std::string> rows_before = exported(d(), "DEM", "ROW", kPartsKey);
  const std::string trigger = d().file("disk-full");
  std::ofstream(trigger) << "";
  auto ed = editor(kivo_test::disk_full_env(trigger, "/Data/CHR."));
  ASSERT_TRUE(ed->wait_for("PART ENTRY")) << ed->capture();
  ASSERT_TRUE(move_cursor(*ed, 6, 1)) << ed->cursor();
  ed->send_text("SUPPLIER:");
  // The cursor is read to plan the moves: the typed row must be in first.
  ASSERT_TRUE(shows(*ed, 6, "SUPPLIER:")) << ed->capture();
  draw_and_save(*ed, 9, 2, 30);
  ASSERT_TRUE(ed->wait_for("OUT OF SPACE")) << ed->capture();
  ed->send_keys("Enter");
  ASSERT_TRUE(ed->wait_for("Nothing saved: the CHR design file of DEM 01 cannot be made")) << ed->capture();
  EXPECT_EQ(exported(d(), "DEM", "ROW", kPartsKey), rows_before);
  EXPECT_TRUE(parts_chrs().empty());
  std::filesystem::remove(trigger);
  ed->send_keys("F1 F1 1 6");
  ed->send_keys("S-F1");
  EXPECT_EQ(ed->exit_status(), 0) << ed->capture();
  EXPECT_EQ(parts_chrs().size(), 1u);
  EXPECT_EQ(exported(d(), "DEM", "ROW", kPartsKey).size(), rows_before.size() + 1);
  EXPECT_EQ(verify("CHR"), 1);
}

// Each message number the image editor adds has its text in (a copy of)
// the default installation; help asked on a report image's item shows its text.
TEST_F(DesignerPathMends, MessagesTheImageEditorAddsHaveTheirTexts) {
  write_installation(d(), {kReport, editor_run("3:RPT:0:1:1:DEM:01")});
  std::set<uint32_t> have;
  for (const std::string& r : kivo_test::native_records(d().file("00/0LA/Data/MESSAGE.dat")).records)
    if (r.size() > MSG_TEXT) have.insert(ld_le32(reinterpret_cast<const uint8_t*>(r.data()), MSG_NUMBER));
  const struct {
    uint32_t number;
    const char* when;
  } used[] = {
      {101860, "help on a report image's item"},       {102110, "an item's numeric mask refused"},
      {102120, "an item's type cannot be shown"},      {102150, "an item's date mask does not compile"},
      {102160, "an item's number type not supported"},
  };
  for (const auto& u : used) EXPECT_EQ(have.count(u.number), 1u) << u.number << ": " << u.when;
  auto ed = editor();
  ASSERT_TRUE(ed->wait_for("TOTAL:")) << ed->capture();
  ed->send_keys("F1 F1 1 5");
  EXPECT_TRUE(ed->wait_for("Report image: no help on item")) << ed->capture();
  ed->send_keys("S-F1");
  EXPECT_EQ(ed->exit_status(), 0) << ed->capture();
}

}  // namespace
}  // namespace kivo::test
