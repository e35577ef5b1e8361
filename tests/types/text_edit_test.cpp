// Join, split and paragraph end on a 3 x 5 text with a stride of 7: at the
// first and last row and column, and never outside the text.
#include <gtest/gtest.h>

#include <string>

#include "foundation/com.h"
#include "types/text_edit.h"

namespace kivo {
namespace {

struct grid {
  char buf[3 * 7 + 1];
  int in = 0, out = 0;
  text_cnv c{};

  explicit grid(const char* rows) {  // 15 characters, row by row
    memset(buf, '#', sizeof buf);
    for (int r = 0; r < 3; ++r) memcpy(buf + 7 * r, rows + 5 * r, 5);
    c.cnv_type = 1;
    c.ext_addr = buf;
    c.ext_rows = 3;
    c.ext_cols = 5;
    c.ext_stride = 7;
    c.addr_mode = 2;
    c.block = this;
    c.etoi = [](void* b) { return ++static_cast<grid*>(b)->in, 1; };
    c.itoe = [](void* b) { return ++static_cast<grid*>(b)->out, 1; };
  }
  std::string text() const {
    std::string s;
    for (int r = 0; r < 3; ++r) s.append(buf + 7 * r, 5);
    return s;
  }
  bool guards() const {
    for (int r = 0; r < 3; ++r)
      if (buf[7 * r + 5] != '#' || buf[7 * r + 6] != '#') return false;
    return buf[21] == '#';
  }
};

class TextEditing : public ::testing::Test {
 protected:
  void SetUp() override { com_fill(0, nullptr); }
};

TEST_F(TextEditing, JoinAndSplitAtTheEdges) {
  struct row {
    bool join;
    const char* before;
    int r, c;
    int result;
    const char* after;
  } rows[] = {
      {true, "ab     cd      ", 1, 3, 1, "abcd           "},   // cursor just before "   cd" moves it there
      {true, "abcde  fg      ", 1, 5, 1, "abcdefg        "},   // last column: from the next row, 'e' kept
      {true, "abcde      xyz ", 3, 5, 0, "abcde      xyz "},   // last row, last column: nothing
      {true, "ab cd          ", 1, 1, 0, "ab cd          "},   // no blank to skip
      {true, "ab             ", 1, 3, 0, "ab             "},   // only blanks follow
      {false, "abcd          z", 1, 2, 0, "abcd          z"},  // last position used
      {false, "abcd           ", 1, 3, 1, "ab           cd"},  // pushed to the end
      {false, "abcd           ", 2, 1, 1, "abcd           "},  // after the text: stored only
      {false, "abcd           ", 1, 1, 1, "           abcd"},
  };
  for (const row& t : rows) {
    grid g(t.before);
    const text_pos p{t.r, t.c};
    EXPECT_EQ(t.join ? cv_join(&g.c, &p) : cv_split(&g.c, &p), t.result) << t.before;
    EXPECT_EQ(g.text(), t.after) << t.before;
    EXPECT_TRUE(g.guards());
    if (t.result) {
      EXPECT_EQ(g.in, 1) << t.before;
    }
    EXPECT_EQ(g.out, t.join && t.result ? 1 : 0) << t.before;
  }
}

TEST_F(TextEditing, ParagraphEndNeverWritesOutsideTheText) {
  const char mark = static_cast<char>(com.parag_char);
  struct row {
    int r, c;
    int mark_at;  // index in the 15 characters
    int new_r, new_c;
  } rows[] = {
      {1, 1, 0, 2, 1},   // first row and column: at the cursor
      {2, 1, 4, 3, 1},   // column 1: at the end of the row above
      {1, 4, 2, 2, 1},   // before the cursor
      {3, 5, 13, 3, 5},  // last row, last column: the position stays
      {3, 2, 10, 3, 3},  // last row: one column on
  };
  for (const row& t : rows) {
    grid g("abcdefghijklmno");
    text_pos p{t.r, t.c};
    EXPECT_EQ(cv_end_parag(&g.c, &p), 1);
    std::string want = "abcdefghijklmno";
    want[t.mark_at] = mark;
    EXPECT_EQ(g.text(), want) << t.r << "," << t.c;
    EXPECT_EQ(p.row, t.new_r);
    EXPECT_EQ(p.col, t.new_c);
    EXPECT_EQ(g.c.addr_mode, 0);
    EXPECT_TRUE(g.guards());
  }
  // Positions outside the text are refused by all three.
  const text_pos outside[] = {{0, 1}, {4, 1}, {1, 0}, {1, 6}, {-1, -1}};
  for (text_pos p : outside) {
    grid g("abcde     fghij");
    EXPECT_EQ(cv_end_parag(&g.c, &p), 0);
    EXPECT_EQ(cv_join(&g.c, &p), 0);
    EXPECT_EQ(cv_split(&g.c, &p), 0);
    EXPECT_EQ(g.text(), "abcde     fghij");
    EXPECT_EQ(g.in + g.out, 0);
  }
  grid g("abcde          ");
  g.c.cnv_type = 5;
  text_pos p{1, 1};
  EXPECT_EQ(cv_split(&g.c, &p), 0);
  EXPECT_EQ(g.c.cnv_status, CV_NOT_ALPHA);
}

}  // namespace
}  // namespace kivo
