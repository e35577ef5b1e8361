// The image editor on a real terminal: the tool harness runs a fixture
// installation (a copy of the default one with the design below written by
// kivo_design) in a tmux pane of 80 x 24. Its subroutine CALLs
// "IE_TOOLTEST" with the image's key as text; keys are the default keymap's
// (OPTION F1, ADD MODE F10, END Shift-F1), and every wait is for the screen.
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "../fixtures/hook_override.h"
#include "compiler/design_records.h"
#include "foundation/bytes.h"
#include "ie_install.h"

namespace kivo::test {
namespace {

using kivo_test::shell_quote;
using kivo_test::tmux_pane;

// The images go into the shipped application DEM, whose ROW and ITEM files
// export flat: no key of theirs, nor of these, holds the number 10.
constexpr const char* kImages = R"(APPLICATION DEM 01
WORK "IET NAME" A20
WORK "IET CODE" A6
WORK IETADDED A8
PROCESS 2 IES
FRAME 2 IES 0 1
IMAGE 2 IES 0 1 1 kind=1 rows=12 cols=80
ROW 2 IES 0 1 1 1 "Customer maintenance"
ROW 2 IES 0 1 1 2 "Name:"
ROW 2 IES 0 1 1 4 "Code:"
ROW 2 IES 0 1 1 6 "Closing line"
ITEM 2 IES 0 1 1 2 8 ap=DEM field="IET NAME"
ITEM 2 IES 0 1 1 4 8 ap=DEM field="IET CODE" reverse=1
)";

class ImageEditorScreen : public ::testing::Test {
 protected:
  void SetUp() override {
    write_installation(d_, {kImages, kIeRun});
    // Request 1 (ADD MODE) answered with a field of 1 x 8.
    std::ofstream(d_.file("script")) << "# the added field\n1 DEM IETADDED 1 8\n";
    ASSERT_EQ(system(("mkdir -p " + d_.file("tst")).c_str()), 0);
    p_ = std::make_unique<tmux_pane>(shell_quote(KIVO_TOOLTEST) + " -d=DB1 -a=0LA -t=subroutine -p=IET_RUN", d_.path,
                                     kivo_test::env_list{{"TERM", "tmux-256color"},
                                                         {"HOME", d_.path},
                                                         {"KIVOPATH", d_.path},
                                                         {"KIVO_0SA_PATH", d_.path},
                                                         {"KIVO_TST_DIR", d_.file("tst")},
                                                         {"KIVO_IE_SCRIPT", d_.file("script")},
                                                         {"KIVO_SYS_ERR_LOG", d_.file("syserr")}});
    ASSERT_TRUE(p_->wait_for("Customer maintenance")) << p_->capture();
  }
  void TearDown() override { EXPECT_EQ(kivo_test::slurp(d_.file("syserr")), "") << "system errors"; }

  // Screen row r (1-based) as text, and with its attributes.
  std::string row(size_t r) {
    auto l = p_->lines();
    return r <= l.size() ? l[r - 1] : "";
  }
  std::string attr_row(size_t r) { return p_->attr_row(r); }
  bool row_is(size_t r, const std::string& text) {
    return kivo_test::wait_until([&] { return row(r) == text; }, kivo_test::kScreenWait);
  }
  // Arrow keys from where the cursor stands to the image's (row, col), then
  // the wait until it stands there.
  void go(int r, int c) { ASSERT_TRUE(move_cursor(*p_, r, c)) << p_->cursor(); }
  std::vector<std::string> exported(const std::string& file) { return test::exported(d_, "DEM", file, "\2IES"); }

  kivo_test::data_dir d_;
  std::unique_ptr<tmux_pane> p_;
};

// The text and the items' cells at their places, the reverse item reverse.
TEST_F(ImageEditorScreen, ShowsTheImagesText) {
  EXPECT_TRUE(row_is(1, "Customer maintenance"));
  EXPECT_EQ(row(2), "Name:  ....................");
  EXPECT_EQ(row(4), "Code:  ......");
  EXPECT_EQ(row(6), "Closing line");
  EXPECT_NE(attr_row(4).find("\x1b[7m......"), std::string::npos) << attr_row(4);
  EXPECT_EQ(attr_row(2).find("\x1b[7m"), std::string::npos) << attr_row(2);
}

// OPTION 6 on row 3 moves the rows below up, the item's reverse with them.
TEST_F(ImageEditorScreen, DeletingARowMovesTextAndItems) {
  go(3, 1);
  p_->send_keys("F1 6");
  ASSERT_TRUE(row_is(3, "Code:  ......")) << p_->capture();
  EXPECT_EQ(row(4), "");
  EXPECT_EQ(row(5), "Closing line");
  EXPECT_NE(attr_row(3).find("\x1b[7m......"), std::string::npos) << attr_row(3);
  EXPECT_EQ(attr_row(4).find("\x1b[7m."), std::string::npos) << attr_row(4);
}

// ADD MODE on a free cell asks for the item (request 1); the harness's
// answer places a field of 8 columns there.
TEST_F(ImageEditorScreen, AddModePlacesAField) {
  go(7, 12);
  p_->send_keys("F10");
  EXPECT_TRUE(row_is(7, "           ........")) << p_->capture();
}

// OPTION 16, then END: the ROW file holds the non-blank rows only, the
// ITEM file each item at its place after the row deleted.
TEST_F(ImageEditorScreen, SavedRowsAndItemsExport) {
  go(3, 1);
  p_->send_keys("F1 6");
  ASSERT_TRUE(row_is(3, "Code:  ......")) << p_->capture();
  go(7, 12);
  p_->send_keys("F10");
  ASSERT_TRUE(row_is(7, "           ........")) << p_->capture();
  p_->send_keys("F1 F1 1 6");
  p_->send_keys("S-F1");
  ASSERT_EQ(p_->exit_status(), 0) << p_->capture();

  std::map<uint32_t, std::string> rows;
  for (const std::string& r : exported("ROW")) {
    const auto* b = reinterpret_cast<const uint8_t*>(r.data());
    std::string text = r.substr(RO_TEXT);
    text.erase(text.find_last_not_of(' ') + 1);
    rows[ld_le32(b, RI_ROW)] = text;
  }
  const std::map<uint32_t, std::string> want_rows{
      {1, "Customer maintenance"}, {2, "Name:"}, {3, "Code:"}, {5, "Closing line"}};
  EXPECT_EQ(rows, want_rows);

  std::map<std::string, std::pair<uint32_t, uint32_t>> items;
  for (const std::string& r : exported("ITEM")) {
    const auto* b = reinterpret_cast<const uint8_t*>(r.data());
    std::string field = r.substr(IT_AP, 3) + r.substr(IT_FIELD, 22);
    field.erase(field.find_last_not_of(' ') + 1);
    items[field] = {ld_le32(b, RI_ROW), ld_le32(b, RI_COL)};
  }
  const std::map<std::string, std::pair<uint32_t, uint32_t>> want_items{
      {"DEMIET NAME", {2, 8}}, {"DEMIET CODE", {3, 8}}, {"DEMIETADDED", {7, 12}}};
  EXPECT_EQ(items, want_items);
}

}  // namespace
}  // namespace kivo::test
