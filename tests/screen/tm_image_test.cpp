// The cell image: scrolls, clipping of runs, areas and frames at the
// screen's edges, frame drawing and the comparison that skips excluded cells.
#include <gtest/gtest.h>

#include <cstring>

#include "tm_test_util.h"

namespace kivo {
namespace {

class TmImage : public kivo_test::TmFresh {};

void put(tm_term* t, int row, int col, const std::string& text, uint16_t attr = 0, uint16_t run_len = 0) {
  tm_attr_run run{static_cast<uint16_t>(col), run_len ? run_len : static_cast<uint16_t>(text.size()), attr, 0};
  tm_upd_scr(t, {reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint16_t>(text.size()), row, col, &run, 1});
}

std::string row_text(const tm_term* t, int row) {
  std::string s(t->cols, ' ');
  tm_row_text(t, row - 1, s.data());
  return s;
}

// A 4 x 6 screen "abcdef" / "ghijkl" / "mnopqr" / "stuvwx".
tm_term* letters() {
  tm_term* t = tm_image_new(4, 6);
  const char* rows[] = {"abcdef", "ghijkl", "mnopqr", "stuvwx"};
  for (int r = 0; r < 4; ++r) put(t, r + 1, 1, rows[r]);
  return t;
}

TEST_F(TmImage, ScrollsMoveClearAndStayInsideTheArea) {
  struct {
    int row, col, nrows, ncols, dir, count;
    const char* want[4];
  } cases[] = {
      {1, 1, 4, 6, SCROLL_UP, 1, {"ghijkl", "mnopqr", "stuvwx", "      "}},
      {2, 2, 2, 3, SCROLL_DOWN, 1, {"abcdef", "g   kl", "mhijqr", "stuvwx"}},
      {1, 1, 2, 6, SCROLL_LEFT, 2, {"cdef  ", "ijkl  ", "mnopqr", "stuvwx"}},
      {3, 4, 2, 3, SCROLL_RIGHT, 1, {"abcdef", "ghijkl", "mno pq", "stu vw"}},
      {2, 1, 2, 6, SCROLL_UP, 5, {"abcdef", "      ", "      ", "stuvwx"}},          // more than its height
      {3, 5, 9, 9, SCROLL_UP, 1, {"abcdef", "ghijkl", "mnopwx", "stuv  "}},          // clipped to the screen
      {0, 0, 3, 300, SCROLL_LEFT, 70000, {"      ", "      ", "mnopqr", "stuvwx"}},  // from column 0, huge count
  };
  for (auto& c : cases) {
    tm_term* t = letters();
    EXPECT_EQ(1, tm_scroll(t, c.row, c.col, c.nrows, c.ncols, c.dir, c.count));
    for (int r = 0; r < 4; ++r) EXPECT_EQ(c.want[r], row_text(t, r + 1)) << c.row << "," << c.col << " dir " << c.dir;
    tm_image_free(t);
  }
  tm_term* t = letters();  // only the upper line bits move with a cell
  tm_at(t, 1, 0)->line = 0xE3;
  tm_scroll(t, 1, 1, 4, 6, SCROLL_UP, 1);
  EXPECT_EQ(0xE0, tm_at(t, 0, 0)->line);
  tm_image_free(t);
}

TEST_F(TmImage, ScreensDifferingOnlyInExcludedCellsCompareEqual) {
  tm_term* t = tm_image_new(6, 10);
  put(t, 1, 1, "keep", 0);
  put(t, 2, 1, "clock", CELL_EXCLUDE);
  EXPECT_EQ(1, compare_screen(t));  // nothing saved yet
  save_screen(t);
  EXPECT_EQ(0, compare_screen(t));
  put(t, 2, 1, "tick!", CELL_EXCLUDE);
  EXPECT_EQ(0, compare_screen(t));
  put(t, 5, 1, "status");  // the last three rows are never compared
  EXPECT_EQ(0, compare_screen(t));
  put(t, 1, 1, "kept");
  EXPECT_EQ(1, compare_screen(t));
  tm_image_free(t);
}

TEST_F(TmImage, RunsPastTheRowEndAreClipped) {
  tm_term* t = tm_image_new(3, 8);
  put(t, 2, 6, "abcdefgh", 0x0F, 200);
  EXPECT_EQ("     abc", row_text(t, 2));
  EXPECT_EQ("        ", row_text(t, 3));  // nothing spilled into the next row
  EXPECT_EQ(0, tm_at(t, 2, 0)->attr);
  EXPECT_EQ(0x0F, tm_at(t, 1, 7)->attr);
  EXPECT_EQ(0, tm_upd_scr(t, {reinterpret_cast<const uint8_t*>("x"), 1, 4, 1, nullptr, 0}));
  EXPECT_EQ(0, tm_upd_scr(t, {reinterpret_cast<const uint8_t*>("x"), 1, 1, 9, nullptr, 0}));
  tm_image_free(t);
}

TEST_F(TmImage, FramesDrawAndClipAtTheEdges) {
  struct {
    uint32_t frame[kFrameWords];
    int rows, cols;
    std::vector<std::string> want;
  } cases[] = {
      {{2, 3, 3, 6, FRAME_DRAW | FRAME_OUTSIDE}, 5, 8, {" +----+ ", " |    | ", " |    | ", " +----+ ", "        "}},
      {{1, 1, 2, 3, FRAME_DRAW | FRAME_OUTSIDE}, 4, 6, {"   |  ", "   |  ", "---+  ", "      "}},
      {{3, 5, 9, 99, FRAME_DRAW}, 4, 6, {"      ", "      ", "    +-", "    | "}},
      {{9, 1, 12, 4, FRAME_DRAW}, 4, 6, {"      ", "      ", "      ", "      "}},
      {{1, 1, 3, 4, 0}, 4, 6, {"      ", "      ", "      ", "      "}},
  };
  for (auto& c : cases) {
    tm_term* t = tm_image_new(c.rows, c.cols);
    tm_apply_frames(t, c.frame, 1);
    for (int r = 0; r < c.rows; ++r) EXPECT_EQ(c.want[r], row_text(t, r + 1)) << "frame at " << c.frame[0];
    tm_image_free(t);
  }
  // An erasing frame takes other frames' lines; each apply redraws from scratch.
  tm_term* t = tm_image_new(5, 8);
  uint32_t frames[] = {1, 1, 5, 8, FRAME_DRAW, 2, 1, 4, 8, FRAME_ERASE};
  tm_apply_frames(t, frames, 2);
  EXPECT_EQ("+------+", row_text(t, 1));
  EXPECT_EQ("        ", row_text(t, 3));
  tm_apply_frames(t, nullptr, 0);
  EXPECT_EQ("        ", row_text(t, 1));
  tm_image_free(t);
}

TEST_F(TmImage, RowGetEdCoversEditableCellsToTheRowEnd) {
  uint8_t chars[6] = {'a', 'b', 'c', 'd', 'e', 'f'};
  uint32_t attrs[6] = {0, 3, 7, 0x13, 1, 3};
  uint8_t changed = 9;
  tm_edit ed{};
  ASSERT_EQ(1, tm_row_get_ed(chars, attrs, 6, 2, &changed, &ed));
  EXPECT_EQ(chars + 1, ed.text);
  EXPECT_EQ(3, ed.len);
  EXPECT_EQ(0, changed);
  ASSERT_EQ(1, tm_row_get_ed(chars, attrs, 6, 6, &changed, &ed));
  EXPECT_EQ(1, ed.len);
  EXPECT_EQ(0, tm_row_get_ed(chars, attrs, 6, 7, &changed, &ed));
}

// The field rules a remote editor reads from the cells' attributes: the
// replace rule of the field's first cell, each literal column, and the
// placeholder while the hinted cells are as painted.
TEST_F(TmImage, RowGetEdReadsTheFieldRulesOfTheAttributes) {
  constexpr uint32_t E = 3, R = ATTR_ED_REPLACE, L = ATTR_ED_LITERAL, H = ATTR_ED_HINT;
  const struct {
    const char* name;
    uint32_t attrs[6];
    const char* painted;  // null: none given
    int col;
    bool replace, placeholder;
    uint64_t literal;
  } cases[] = {
      {"plain text", {E, E, E, E, E, E}, nullptr, 1, false, false, 0},
      {"a number", {E | R, E | R, E | R, 0, E, E}, nullptr, 1, true, false, 0},
      {"a date's slashes", {E | R, E | R, E | R | L, E | R, E | R | L, E | R}, nullptr, 1, true, false, 0b10100},
      {"literals from the column asked",
       {E | R, E | R, E | R | L, E | R, E | R | L, E | R},
       nullptr,
       2,
       true,
       false,
       0b1010},
      {"a placeholder as painted",
       {E | R | H, E | R | H | L, E | R | H, E | R | H, E | R | H, E | R | H},
       "MM/DD/",
       1,
       true,
       true,
       0b10},
      {"a placeholder typed over",
       {E | R | H, E | R | H | L, E | R | H, E | R | H, E | R | H, E | R | H},
       "MX/DD/",
       1,
       true,
       false,
       0b10},
      {"hinted cells, no painted row", {E | H, E | H, E | H, E | H, E | H, E | H}, nullptr, 1, false, true, 0},
      {"no hint", {E, E, E, E, E, E}, "MM/DD/", 1, false, false, 0},
      {"a plain field right before a placeholder",
       {E, E, E | R | H, E | R | H | L, E | R | H, E | R | H},
       "MM/DD/",
       1,
       false,
       false,
       0b1000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    uint8_t chars[6] = {'M', 'M', '/', 'D', 'D', '/'};
    uint8_t painted[6];
    if (c.painted) memcpy(painted, c.painted, 6);
    uint8_t changed = 0;
    tm_edit ed{};
    ASSERT_EQ(1, tm_row_get_ed(chars, c.attrs, 6, c.col, &changed, &ed, c.painted ? painted : nullptr));
    EXPECT_EQ(c.replace, ed.replace);
    EXPECT_EQ(c.placeholder, ed.placeholder);
    EXPECT_EQ(c.literal, ed.literal[0]);
  }
}

}  // namespace
}  // namespace kivo
