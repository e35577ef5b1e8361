// Report images: the compile limits and the cuts of positions outside the
// image, floating items, compression, message lines, and updates of cells
// and item values in the executed image.
#include <gtest/gtest.h>

#include "process/rm_internal.h"
#include "report_test_util.h"
#include "types/element.h"

namespace kivo {
namespace {

using test::img_spec;

class ReportImg : public test::Report {
 protected:
  // An item of `len` columns at row and column, floating by `flt`.
  static RPT_ITM item(uint32_t row, uint32_t col, int32_t len, uint8_t flt = kRmFixed) {
    RPT_ITM it{};
    it.row = row, it.col = col, it.flt = flt;
    it.cnv.ext_rows = 1, it.cnv.ext_cols = len;
    return it;
  }
  static std::string text(RPT_XIMG* x, uint32_t row, uint32_t cols) { return std::string(x->text + row * cols, cols); }
  // The executed image of a compiled and executed image.
  static RPT_XIMG* executed(RPT_BLK* r, uint16_t id) {
    EXPECT_EQ(rm_exec_img(r, id), 1);
    return rm_ximg(r, rm_image(r, id));
  }
};

TEST_F(ReportImg, CompileLimitsAre21RowsAnd255Columns) {
  const struct {
    uint32_t rows, cols;
    const char* error;
  } rows[] = {{21, 255, nullptr}, {22, 10, "image rows exceeds"}, {10, 256, "image columns exceeds"}};
  RPT_BLK* r = report(255);
  for (const auto& t : rows) {
    img_spec s;
    s.rows.assign(t.rows, "x");
    s.cols = t.cols;
    EXPECT_EQ(compile(r, s) != 0, t.error == nullptr) << t.rows << " x " << t.cols;
    EXPECT_EQ(refused(t.error ? t.error : "no error"), t.error != nullptr);
  }
  rm_cleanup(r);
}

TEST_F(ReportImg, OutsidePositionsAreCutAtCompileAndUpdatesRefused) {
  RPT_BLK* r = report(20);
  ARB* items = rm_work_file(RM_FILE_ITEMS, 1);
  ARB* chrs = rm_work_file(RM_FILE_CHRS, 1);
  RPT_ITM in = item(2, 3, 3), out = item(2, 4, 3);
  rm_put(items, reinterpret_cast<const uint8_t*>(&in), sizeof in);
  rm_put(items, reinterpret_cast<const uint8_t*>(&out), sizeof out);
  test::put_chr(chrs, 2, 4, 3, 5, PM_ATTR_BOLD);  // rows 3 and 4 dropped, 2 columns left
  test::put_chr(chrs, 1, 6, 1, 1, PM_ATTR_BOLD);  // beyond the columns
  test::put_chr(chrs, 1, 1, 0, 1, PM_ATTR_BOLD);  // no rows
  test::put_chr(chrs, 1, 1, 1, 5, 0x0001);        // no attribute kept for reports
  const uint16_t id = compile(r, {{"ab", "cdefg"}}, items, chrs);
  EXPECT_TRUE(refused("item at row 2 column 4 (1 x 3) lies outside the 2 x 5 image"));
  std::vector<std::string> kept;
  for (const uint8_t* c = rm_from(r->chr_arb, nullptr, false); c; c = rm_next(r->chr_arb, false))
    kept.push_back(std::to_string(ld_le32(c, RC_ROW)) + "," + std::to_string(ld_le32(c, RC_COL)) + "+" +
                   std::to_string(ld_le32(c, RC_LEN)));
  EXPECT_EQ(kept, std::vector<std::string>{"2,4+2"});
  RPT_ITM unknown = in;
  unknown.col = 1;
  unknown.img_id = in.img_id = id;
  EXPECT_EQ(rm_upd_itm(r, &unknown, 0, 0), 0);
  EXPECT_EQ(r->status, RM_NO_ITEM);
  EXPECT_EQ(rm_upd_itm(r, &in, 0, 0), 0);
  EXPECT_EQ(r->status, RM_NOT_EXECUTED);
  RPT_XIMG* x = executed(r, id);
  const rm_chr_upd outside = {id, 2, 4, 1, 3};
  EXPECT_EQ(rm_upd_chr(r, &outside, PM_ATTR_BOLD, PM_ATTR_BOLD), 0);
  EXPECT_TRUE(refused("upd_chr - characteristic doesn't fit on image"));
  EXPECT_EQ(ld_le32(x->cells + (5 + 3) * kRmCellSize, 0), PM_ATTR_BOLD) << "the cut characteristic";
  rm_close(items);
  rm_close(chrs);
  rm_cleanup(r);
}

// A value converted into the executed text at the item's place, nowhere else.
TEST_F(ReportImg, ItemValueIsConvertedIntoItsRectangle) {
  uint8_t elem[kElementSize];
  INIT_NUM_DELEM(elem, 3, 0);
  elem[ELEM_TYPE] = ELEM_ALP;
  memset(elem + ELEM_MASK, ' ', kMaskLen);
  cv_item ci{1, 1, 0, 0, {}, 0, 0, 0, 1, 0};
  sitm s;
  cv_bld_sitm(&s, elem, &ci);
  RPT_ITM it = item(2, 2, 3);
  ASSERT_EQ(cv_cmpl(&it.cnv, &s, nullptr), 1);
  uint8_t value[3] = {'X', 'Y', 'Z'};
  uint8_t* vp = value;
  it.cnv.int_addr = reinterpret_cast<uint8_t*>(&vp);
  it.has_value = 1;
  RPT_BLK* r = report(20);
  ARB* items = rm_work_file(RM_FILE_ITEMS, 1);
  rm_put(items, reinterpret_cast<const uint8_t*>(&it), sizeof it);
  it.img_id = compile(r, {{"....", "....", "...."}}, items);
  RPT_XIMG* x = executed(r, uint16_t(it.img_id));
  it.cnv.int_addr = nullptr;  // the stored item's value address serves
  EXPECT_EQ(rm_upd_itm(r, &it, PM_ATTR_UNDERLINE, PM_ATTR_UNDERLINE), 1);
  EXPECT_EQ(std::string(x->text, 12), ".....XYZ....");
  EXPECT_EQ(ld_le32(x->cells + 5 * kRmCellSize, 0), PM_ATTR_UNDERLINE);
  EXPECT_EQ(ld_le32(x->cells + 8 * kRmCellSize, 0), 0u);
  rm_close(items);
  rm_cleanup(r);
}

TEST_F(ReportImg, FloatingItemsKeepTheirBlanksToTheLeft) {
  const struct {
    const char* row;
    uint32_t col;
    uint8_t flt;
    const char* floated;
  } rows[] = {
      {"AB  XY", 5, 1, "AB XY "}, {"AB  XY", 5, 0, "ABXY  "}, {"AB XY", 4, 1, "AB XY"}, {"   XY", 4, 0, "XY   "}};
  RPT_BLK* r = report(20);
  for (const auto& t : rows) {
    ARB* items = rm_work_file(RM_FILE_ITEMS, 1);
    const RPT_ITM it = item(1, t.col, 2, t.flt);
    rm_put(items, reinterpret_cast<const uint8_t*>(&it), sizeof it);
    const uint16_t id = compile(r, {{t.row}}, items);
    RPT_XIMG* x = executed(r, id);
    float_item(r, rm_image(r, id), x);
    EXPECT_EQ(text(x, 0, uint32_t(strlen(t.row))), t.floated) << t.row << " float " << int(t.flt);
    rm_close(items);
  }
  rm_cleanup(r);
}

TEST_F(ReportImg, CompressionMovesAndDropsBlankRows) {
  const struct {
    std::vector<std::string> rows;
    uint8_t mode;
    uint32_t kept_row;  // 0: none
    std::vector<std::string> result;
  } rows[] = {
      {{"A", " ", "C", " ", " "}, 3, 0, {"A", "C"}},
      {{"A", " ", " ", "D"}, 1, 2, {"A", " ", "D", " "}},
      {{"A", " ", "C", " ", " "}, 2, 0, {"A", " ", "C"}},
  };
  RPT_BLK* r = report(20);
  for (const auto& t : rows) {
    ARB* chrs = rm_work_file(RM_FILE_CHRS, 1);
    if (t.kept_row) test::put_chr(chrs, t.kept_row, 1, 1, 1, PM_ATTR_UNDERLINE);
    img_spec s{t.rows};
    s.cmprs = t.mode;
    const uint16_t id = compile(r, s, nullptr, chrs);
    RPT_XIMG* x = executed(r, id);
    std::vector<uint8_t> img(rm_image(r, id), rm_image(r, id) + rm_img_len(uint32_t(t.rows.size()), 1));
    cmprs_img(img.data(), x);
    std::vector<std::string> got;
    for (uint32_t i = 0; i < ld_le32(img.data(), IMG_ROWS); ++i) got.push_back(text(x, i, 1));
    EXPECT_EQ(got, t.result) << "compression " << int(t.mode);
    rm_close(chrs);
  }
  rm_cleanup(r);
}

TEST_F(ReportImg, MessagesTakeLinesOfTheImageWidth) {
  const struct {
    size_t len;
    uint32_t lines;
  } rows[] = {{20, 2}, {21, 3}, {0, 1}, {200, 20}};
  RPT_BLK* r = report(20);
  for (const auto& t : rows) {
    ARB* msgs = rm_work_file(RM_FILE_MSGS, 1);
    uint8_t m[kRmMsgRecLen] = {};
    memset(m + RMSG_TEXT, ' ', kRmMsgTextLen);
    memset(m + RMSG_TEXT, 'm', t.len);
    rm_put(msgs, m, kRmMsgRecLen);
    EXPECT_EQ(msg_line_cnt(msgs, 10), t.lines) << t.len;
    const uint32_t before = r->rpt_top->last_line;
    const uint16_t id = compile(r, {{"0123456789"}});
    rm_exec_img(r, id);
    ASSERT_EQ(rm_write_img(r, id, msgs, 0, nullptr), 1);
    EXPECT_EQ(r->rpt_top->last_line, before + 1 + t.lines) << "the image's row and the message";
    EXPECT_EQ(rm_from(msgs, nullptr, false), nullptr) << "written messages are deleted";
    rm_close(msgs);
  }
  rm_cleanup(r);
}

}  // namespace
}  // namespace kivo
