// Loading an image into the editor: what opens view-only, which rows are
// kept, the cursor records, display sizes and the attribute runs.
#include "ie_test_util.h"

namespace kivo::test {
namespace {

TEST_F(ImageEditor, AttributesOutsideTheImageOpenViewOnlyWithTextAndNoAttributes) {
  for (uint8_t n : {2, 3}) {  // one column beyond the width; column 0
    SCOPED_TRACE(n);
    ASSERT_EQ(open(n), 1);
    EXPECT_EQ(ctl[IEC_EDITABLE], '0');
    EXPECT_EQ(line(1).substr(0, 6), n == 2 ? "Over t" : "Column");
    for (const CHR_BLK& b : st()->lchr) EXPECT_EQ(b.value & ~uint32_t{CM_BASE}, 0u) << b.row << "/" << b.col;
    EXPECT_EQ(edit({{LK_END, 1, 1}}), IE_END);
    EXPECT_EQ(st(), nullptr);
  }
}

TEST_F(ImageEditor, CheckBoundsTestsBothEnds) {
  struct {
    uint32_t row, col, rows, cols;
    int ok;
  } cases[] = {{1, 1, 5, 40, 1}, {0, 1, 1, 1, 0},   {1, 0, 1, 1, 0},   {5, 40, 1, 1, 1},
               {5, 41, 1, 1, 0}, {2, 30, 1, 12, 0}, {2, 30, 1, 11, 1}, {6, 1, 1, 1, 0}};
  for (auto& c : cases) EXPECT_EQ(check_bounds(5, 40, c.row, c.col, c.rows, c.cols), c.ok) << c.row << "/" << c.col;
}

TEST_F(ImageEditor, RowBeyondTheImageIsNotShownAndGoneAfterSave) {
  ASSERT_EQ(open(4), 1);
  EXPECT_EQ(ctl[IEC_EDITABLE], '1');
  EXPECT_EQ(line(1).substr(0, 3), "Top");
  EXPECT_EQ(stored(DF_ROW, 4).size(), 2u);
  EXPECT_EQ(edit({{16, 1, 1}, {LK_END, 1, 1}}), IE_END_SAVED);
  auto rows = stored(DF_ROW, 4);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(ld_le32(rows[0].data(), RI_ROW), 1u);
}

TEST_F(ImageEditor, WideImageStoresColumnsOneTo250) {
  ASSERT_EQ(open(5), 1);
  st()->line[2].assign(300, 'x');
  EXPECT_EQ(edit({{LK_END, 1, 1}}), IE_END_SAVED);
  auto rows = stored(DF_ROW, 5);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(rows[0].data() + RO_TEXT), kRowTextLen), std::string(250, 'x'));
}

TEST_F(ImageEditor, CursorPositionsBecomeCursorRecords) {
  ASSERT_EQ(open(6), 1);
  // The position at no item is unset; both on LONGTXT make one record.
  EXPECT_EQ(ld_le32(img, IM_CURSOR), kIeUnset);
  EXPECT_EQ(ld_le32(img, IM_CURSOR + 4), kIeUnset);
  uint8_t none[kIeCursSize] = {};
  auto recs = ie_scan(st()->curs, 0, none, kIeCursSize, 0);
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(recs[0].data() + CU_FIELD), 7), "LONGTXT");
  EXPECT_EQ(ld_le16(recs[0].data(), CU_INDEX), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(recs[0].data() + CU_FLAGS), 10), " 11       ");
}

TEST_F(ImageEditor, DisplaySizesRoundUpAndMissingElementIsOneByOne) {
  ASSERT_EQ(open(6), 1);
  uint8_t key[kIeItemSize] = {};
  memcpy(key, img, kImageKeyLen);
  auto recs = ie_scan(itms, 0, key, kIeItemSize, kImageKeyLen);
  ASSERT_EQ(recs.size(), 2u);
  // 100 characters at column 41 of 80: 40 columns, 3 rows (the last holds the rest).
  EXPECT_EQ(ld_le32(recs[0].data(), IW_DCOLS), 40u);
  EXPECT_EQ(ld_le32(recs[0].data(), IW_DROWS), 3u);
  EXPECT_EQ(ld_le32(recs[1].data(), IW_DCOLS), 1u);
  EXPECT_EQ(ld_le32(recs[1].data(), IW_DROWS), 1u);
  EXPECT_EQ(captured_errors().size(), 0u);
}

TEST_F(ImageEditor, RunsOfTheCellMapEqualGoldenValues) {
  ASSERT_EQ(open(7), 1);
  std::string got;
  for (const CHR_BLK& b : st()->lchr) {
    char buf[64];
    snprintf(buf, sizeof buf, "%d/%d %dx%d %08x\n", b.row, b.col, b.rows, b.cols, b.value);
    got += buf;
  }
  // Row 2: NAME over 3-8 and CODE from 6 (6 wide): columns 3-5 of the
  // earlier item blink, bold and reverse; a box over rows 3-4.
  EXPECT_EQ(got,
            "1/1 1x20 00000003\n"
            "2/1 1x2 00000003\n"
            "2/3 1x1 000032ce\n"
            "2/4 1x2 000032c2\n"
            "2/6 1x1 0000308e\n"
            "2/7 1x5 00003082\n"
            "2/12 1x9 00000003\n"
            "3/2 1x19 00000003\n"
            "4/1 1x1 00000003\n"
            "4/2 1x4 00000043\n"
            "4/6 1x15 00000003\n"
            "3/1 2x5 88000000\n");
}

TEST_F(ImageEditor, ControlBlocksThatNameNoLevelAreRefused) {
  ASSERT_EQ(open(1), 1);
  uint8_t made_up[kIeCtlSize];
  memcpy(made_up, ctl, sizeof made_up);
  st_le32(made_up, IEC_STATE, ld_le32(ctl, IEC_STATE) ^ 0x5000);
  EXPECT_EQ(ie_edit(nullptr, img, itm, curs, itms, chr, made_up, rows, xcept), 0);
  uint8_t stale[kIeCtlSize];
  memcpy(stale, ctl, sizeof stale);
  EXPECT_EQ(edit({{LK_CANCEL, 1, 1}}), IE_END);
  EXPECT_EQ(ie_edit(nullptr, img, itm, curs, itms, chr, stale, rows, xcept), 0);
}

TEST_F(ImageEditor, TenthLevelIsRefusedWithNothingOpened) {
  std::vector<std::array<uint8_t, kIeCtlSize>> ctls(kIeMaxLevel);
  for (auto& c : ctls) {
    ASSERT_EQ(open(4), 1);
    memcpy(c.data(), ctl, kIeCtlSize);
  }
  EXPECT_EQ(recurs_lvl, kIeMaxLevel);
  EXPECT_EQ(open(4), 0);
  EXPECT_EQ(recurs_lvl, kIeMaxLevel);
  for (auto it = ctls.rbegin(); it != ctls.rend(); ++it) ie_close(ie_state(it->data()), it->data());
  EXPECT_EQ(recurs_lvl, 0);
}

}  // namespace
}  // namespace kivo::test
