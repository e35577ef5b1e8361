// Items of the image editor through its key loop: choosing a place, taking
// an item to change it and placing it again, and moving it.
#include "ie_test_util.h"

namespace kivo::test {
namespace {

using cells = std::vector<std::pair<uint32_t, uint32_t>>;
constexpr uint32_t kKey101 = 101;

void set_field(uint8_t* itm, const char* name) {
  memcpy(itm + IT_AP, "IED", 3);
  memset(itm + IT_FIELD, ' ', 22), memcpy(itm + IT_FIELD, name, strlen(name));
}

TEST_F(ImageEditor, AddModeOnACoveredOrTextCellDoesNothing) {
  ASSERT_EQ(open(1), 1);
  const cells before = items();
  // NAME covers 10-29 of row 2 (and the cell after); "Name:" is text.
  EXPECT_EQ(edit({{LK_ADD_MODE, 2, 12}, {LK_ADD_MODE, 2, 30}, {LK_ADD_MODE, 2, 1}, {LK_CANCEL, 1, 1}}), IE_END);
  ASSERT_EQ(open(1), 1);
  EXPECT_EQ(items(), before);
}

TEST_F(ImageEditor, ChangeModeAfterTheLastColumnTakesTheItemAndTheNextEntryPlacesIt) {
  ASSERT_EQ(open(1), 1);
  EXPECT_EQ(edit({{LK_CHANGE_MODE, 2, 30}}), IE_REQ_ITEM);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(itm + IT_FIELD), 4), "NAME");
  EXPECT_EQ(items(), (cells{{4, 10}, {6, 10}}));  // off the file while the application has it
  EXPECT_EQ(ld_le32(ctl, IEC_ROW), 2u);
  EXPECT_EQ(ld_le32(ctl, IEC_COL), 30u);
  itm[IT_ATTR + 4] = '1';  // the application made it reverse
  EXPECT_EQ(edit({{LK_CANCEL, 0, 0}}), IE_END);
}

TEST_F(ImageEditor, PlacedItemCarriesTheApplicationsChange) {
  ASSERT_EQ(open(1), 1);
  EXPECT_EQ(edit({{LK_CHANGE_MODE, 2, 30}}), IE_REQ_ITEM);
  itm[IT_ATTR + 4] = '1';
  EXPECT_EQ(edit({{16, 0, 0}, {LK_CANCEL, 0, 0}}), IE_END);
  auto its = stored(DF_ITEM, 1);
  ASSERT_EQ(its.size(), 3u);
  EXPECT_EQ(ld_le32(its[0].data(), RI_ROW), 2u);
  EXPECT_EQ(its[0][IT_ATTR + 4], '1');
}

TEST_F(ImageEditor, Key101AtAFreeCellAsksForANewItem) {
  ASSERT_EQ(open(1), 1);
  set_field(itm, "CODE");
  EXPECT_EQ(edit({{kKey101, 8, 5}}), IE_REQ_NEW_ITEM);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(itm + IT_FIELD), 4), "CODE");
  EXPECT_EQ(ld_le32(itm, RI_ROW), 8u);
  EXPECT_EQ(ld_le32(itm, RI_COL), 5u);
  EXPECT_EQ(edit({{LK_ADD_MODE, 8, 7}, {LK_CANCEL, 0, 0}}), IE_END);  // 7: on the new item
}

TEST_F(ImageEditor, MoveOntoTextBeepsAndTheNextPlaceTakesIt) {
  ASSERT_EQ(open(1), 1);
  // NAME's 20 columns from column 62 would pass the last: refused as text is.
  EXPECT_EQ(edit({{9, 2, 10}, {LK_ENTER, 1, 3}, {LK_ENTER, 8, 62}, {LK_ENTER, 8, 1}, {16, 0, 0}, {LK_CANCEL, 0, 0}}),
            IE_END);
  EXPECT_EQ(ie_seen().beeps, 2);
  auto its = stored(DF_ITEM, 1);
  cells at;
  for (auto& r : its) at.push_back({ld_le32(r.data(), RI_ROW), ld_le32(r.data(), RI_COL)});
  EXPECT_EQ(at, (cells{{4, 10}, {6, 10}, {8, 1}}));
}

TEST_F(ImageEditor, AbandonedMovePutsTheItemBack) {
  for (uint32_t end : {uint32_t(LK_END), uint32_t(LK_CANCEL)}) {
    ASSERT_EQ(open(1), 1);
    EXPECT_EQ(edit({{9, 2, 10}, {end, 5, 5}, {16, 0, 0}, {LK_CANCEL, 0, 0}}), IE_END);
    auto its = stored(DF_ITEM, 1);
    ASSERT_EQ(its.size(), 3u);
    EXPECT_EQ(ld_le32(its[0].data(), RI_ROW), 2u);
    EXPECT_EQ(ld_le32(its[0].data(), RI_COL), 10u);
  }
}

TEST_F(ImageEditor, PlacingBlanksTheTextUnderTheItem) {
  ASSERT_EQ(open(8), 1);
  set_field(itm, "CODE");
  EXPECT_EQ(edit({{kKey101, 2, 4}}), IE_REQ_NEW_ITEM);  // the blank of "row 2"
  st_le32(itm, IT_ROWS, 1), st_le32(itm, IT_COLS, 3);
  EXPECT_EQ(edit({{16, 0, 0}, {LK_CANCEL, 0, 0}}), IE_END);
  auto rows = stored(DF_ROW, 8);
  ASSERT_GE(rows.size(), 2u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(rows[1].data() + RO_TEXT), 8), "row     ");
}

}  // namespace
}  // namespace kivo::test
