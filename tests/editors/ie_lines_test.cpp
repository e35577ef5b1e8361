// Rows and characters of the image editor through its key loop: inserts
// and deletes carry items, characteristics and exceptions, and anything that
// would fall off the image is refused with nothing changed.
#include <functional>

#include "ie_test_util.h"

namespace kivo::test {
namespace {

using cells = std::vector<std::pair<uint32_t, uint32_t>>;

TEST_F(ImageEditor, InsertRowRefusedWithAnythingOnTheLastRow) {
  struct {
    const char* what;
    std::function<void(ImageEditor*)> put;
  } cases[] = {
      {"text", [](ImageEditor* t) { t->st()->line[10][3] = 'x'; }},
      {"item",
       [](ImageEditor* t) {
         uint8_t it[kIeItemSize] = {};
         ie_cell_key(it, t->img, 10, 1);
         memcpy(it + IT_AP, "IED", 3), memcpy(it + IT_FIELD, "CODE                  ", 22);
         st_le32(it, IW_DROWS, 1), st_le32(it, IW_DCOLS, 2);
         ASSERT_EQ(ie_put(t->itms, it, kIeItemSize), 1);
       }},
      {"characteristic",
       [](ImageEditor* t) {
         uint8_t c[kChrRecSize];
         memset(c, ' ', sizeof c);
         ie_cell_key(c, t->img, 10, 5);
         st_le32(c, CR_ROWS, 1), st_le32(c, CR_COLS, 2), c[CR_REVERSE] = 0;
         ASSERT_EQ(ie_put(t->st()->chrs, c, kChrRecSize), 1);
       }},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(open(8), 1);
    c.put(this);
    const std::string row2 = line(2);
    const cells before = items();
    EXPECT_EQ(scr_insert_line(st(), 2), 0);
    EXPECT_EQ(line(2), row2);
    EXPECT_EQ(items(), before);
    EXPECT_EQ(edit({{LK_CANCEL, 1, 1}}), IE_END);
  }
}

TEST_F(ImageEditor, DeleteAndInsertRowsInPlace) {
  ASSERT_EQ(open(8), 1);
  add_xcept(4, 2, 3);
  add_xcept(3, 1, 2);
  ASSERT_EQ(scr_delete_line(st(), 3), 1);
  EXPECT_EQ(line(3).substr(0, 5), "row 4");
  EXPECT_EQ(line(4).substr(0, 5), "row 5");
  EXPECT_EQ(line(10), std::string(8, ' '));
  EXPECT_EQ(items(), (cells{{3, 7}, {4, 1}}));
  EXPECT_EQ(chrs(), (cells{{3, 1}}));
  EXPECT_EQ(xcepts(), (std::vector<std::tuple<uint32_t, uint16_t, uint16_t>>{{3, 2, 3}}));
  ASSERT_EQ(scr_insert_line(st(), 2), 1);
  EXPECT_EQ(line(2), std::string(8, ' '));
  EXPECT_EQ(line(3).substr(0, 5), "row 2");
  EXPECT_EQ(items(), (cells{{4, 7}, {5, 1}}));
  EXPECT_EQ(chrs(), (cells{{4, 1}}));
  EXPECT_EQ(xcepts(), (std::vector<std::tuple<uint32_t, uint16_t, uint16_t>>{{4, 2, 3}}));
}

TEST_F(ImageEditor, MoveRowsToTheLastRowsFits) {
  ASSERT_EQ(open(8), 1);
  ASSERT_EQ(ie_move_rows(st(), 2, 4, 8), 1);  // 8 + 3 - 1 = 10: the block ends on the last row
  EXPECT_EQ(line(2).substr(0, 5), "row 5");
  EXPECT_EQ(line(10).substr(0, 5), "row 4");
}

TEST_F(ImageEditor, MoveRowsRefusesAnOverhangAndLandsWhereAsked) {
  ASSERT_EQ(open(8), 1);
  EXPECT_EQ(ie_move_rows(st(), 2, 4, 9), 0);  // 9 + 3 - 1 > 10
  EXPECT_EQ(line(2).substr(0, 5), "row 2");
  // Through the loop: the block 2-4 (END only beeps), destination 9
  // beeps, 7 takes it.
  EXPECT_EQ(edit({{8, 2, 1},
                  {LK_END, 3, 1},
                  {LK_ENTER, 4, 1},
                  {LK_ENTER, 9, 1},
                  {LK_ENTER, 7, 1},
                  {16, 1, 1},
                  {LK_END, 1, 1}}),
            IE_END_SAVED);
  auto rows = stored(DF_ROW, 8);
  std::vector<std::pair<uint32_t, std::string>> got;
  for (auto& r : rows)
    got.push_back({ld_le32(r.data(), RI_ROW), std::string(reinterpret_cast<char*>(r.data() + RO_TEXT), 5)});
  EXPECT_EQ(got, (std::vector<std::pair<uint32_t, std::string>>{
                     {1, "ABCDE"}, {2, "row 5"}, {7, "row 2"}, {8, "row 3"}, {9, "row 4"}}));
  auto its = stored(DF_ITEM, 8);
  ASSERT_EQ(its.size(), 2u);
  EXPECT_EQ(ld_le32(its[0].data(), RI_ROW), 2u);  // the item of row 5, now row 2
  EXPECT_EQ(ld_le32(its[1].data(), RI_ROW), 9u);  // row 4's, carried to 9
}

TEST_F(ImageEditor, DeleteAndInsertACharacter) {
  ASSERT_EQ(open(8), 1);
  ASSERT_EQ(scr_mv_char(st(), 1, 5, 2), 1);
  EXPECT_EQ(line(1), "ABCDFGH ");
  ASSERT_EQ(scr_mv_char(st(), 1, 5, 1), 1);
  EXPECT_EQ(line(1), "ABCD FGH");
}

TEST_F(ImageEditor, CharacterEditsRefusedOnAnItemAfterItOrWithTheLastColumnUsed) {
  ASSERT_EQ(open(8), 1);
  // Row 4 holds CODE over 7-8; row 1 has text in its last column.
  struct {
    uint32_t row, col;
    int key;
  } refused[] = {{4, 7, 2}, {4, 8, 2}, {5, 3, 2}, {1, 3, 1}, {4, 2, 1}};
  for (auto& r : refused) {
    const std::string before = line(r.row);
    EXPECT_EQ(scr_mv_char(st(), r.row, r.col, r.key), 0) << r.row << "/" << r.col;
    EXPECT_EQ(line(r.row), before);
  }
  EXPECT_EQ(scr_mv_char(st(), 5, 4, 2), 1);  // one past the cell after the item
}

TEST_F(ImageEditor, CharacterDeletesShortenAndMoveExceptions) {
  ASSERT_EQ(open(8), 1);
  add_xcept(2, 3, 1);
  add_xcept(2, 5, 2);
  ASSERT_EQ(scr_mv_char(st(), 2, 3, 2), 1);
  // The one-long exception is gone, not left at length 0; the next moved left.
  EXPECT_EQ(xcepts(), (std::vector<std::tuple<uint32_t, uint16_t, uint16_t>>{{2, 4, 2}}));
  ASSERT_EQ(scr_mv_char(st(), 2, 2, 1), 1);
  EXPECT_EQ(xcepts(), (std::vector<std::tuple<uint32_t, uint16_t, uint16_t>>{{2, 5, 2}}));
}

TEST_F(ImageEditor, CharacterEditsCarryItemsAndCharacteristicsOfTheRow) {
  ASSERT_EQ(open(8), 1);
  st()->line[4].replace(0, 3, "abc");
  ASSERT_EQ(scr_mv_char(st(), 4, 5, 2), 1);
  EXPECT_EQ(items(), (cells{{4, 6}, {5, 1}}));
  EXPECT_EQ(chrs(), (cells{{4, 1}}));  // begins before the cursor: stays
}

}  // namespace
}  // namespace kivo::test
