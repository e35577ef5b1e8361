// The status and message lines, the clock, the window-outline table and
// panning, against a recording terminal.
#include <algorithm>

#include "fm/la.h"
#include "wm_session_util.h"

namespace kivo::test {
namespace {

class WmStatusLine : public WmSession {
 public:
  void SetUp() override {
    WmSession::SetUp();
    defaults();
  }
  static void paint(ARB* msgs = nullptr) {
    SHOW_BLK b = block("DATA ENTRY", SHOW_PAINT_ONLY);
    wm_show(&b, msgs);
  }
};

// At 80 columns labels of 9, 12 and 5 and a clock of 18 leave gaps of 7;
// the clock keeps its columns when the test directory leaves it out.
TEST_F(WmStatusLine, FieldsStandWhereTheLayoutPutsThem) {
  std::string fields = "DATABASE: DB1        APPLICATION: APP 01       USER: ABC ";
  struct {
    int cols;
    bool test_dir;
    std::string row;
    bool clock;
  } cases[] = {
      {80, false, fields + " ", true},
      {80, true, fields + std::string(24, ' '), false},
      {40, false, "DB1              APP01               ABC", false},  // compact
  };
  for (auto& c : cases) {
    g_rec.cols = c.cols;
    if (c.test_dir) setenv("KIVO_TST_DIR", "/tmp", 1);
    ASSERT_EQ(start(), 1u);
    paint();
    EXPECT_EQ(shown(22, 1, int(c.row.size())), c.row) << c.cols;
    if (c.cols == 80) {
      EXPECT_EQ(shown(22, 63, 18) != std::string(18, ' '), c.clock);
    }
    EXPECT_EQ(wms.no_clock, !c.clock);
    unsetenv("KIVO_TST_DIR");
  }
}

// The mode field: 10 columns at the line's end without a clock, two left of
// the clock where that clears the user id by a blank, else none.
TEST_F(WmStatusLine, ModeFieldStandsWhereItClearsTheUserId) {
  const struct {
    int32_t cols, clock;
    int32_t col;
  } rows[] = {{80, 0, 71}, {80, 18, 0}, {100, 18, 72}, {40, 0, 0}};
  for (const auto& r : rows) {
    const stat_layout lay = wm_stat_layout(r.cols, 9, 12, 5, r.clock, r.clock != 0);
    EXPECT_EQ(wm_mode_col(lay, r.cols), r.col) << r.cols << " " << r.clock;
  }
  setenv("KIVO_TST_DIR", "/tmp", 1);
  ASSERT_EQ(start(), 1u);
  wm_set_mode("MENU ENTRY AND MORE");
  paint();
  EXPECT_EQ(shown(22, 71, 10), "MENU ENTRY");
  wm_set_mode("X");
  paint();
  EXPECT_EQ(shown(22, 71, 10), "X         ");
  unsetenv("KIVO_TST_DIR");
}

TEST_F(WmStatusLine, ClockTickUpdatesTheStatusLineOnceAndInputGoesOn) {
  ASSERT_EQ(start(), 1u);
  paint();
  g_rec.log.clear();
  g_rec.keys = {{KEY_STATUS_TICK, NO_KEY}, {KEY_STATUS_KEY, LK_ENTER}};
  SHOW_BLK b = block("DATA ENTRY");
  ASSERT_EQ(wm_show(&b, nullptr), 1);
  EXPECT_EQ(b.key_code, LK_ENTER);
  auto first = std::find(g_rec.log.begin(), g_rec.log.end(), "show");
  auto second = std::find(first + 1, g_rec.log.end(), "show");
  EXPECT_EQ(std::vector<std::string>(first + 1, second), std::vector<std::string>{"u22"});
  EXPECT_EQ(second + 1, g_rec.log.end());
}

TEST_F(WmStatusLine, MessageLineEndsWithMessage900WhenMoreWait) {
  ASSERT_EQ(start(), 1u);
  ARB* msgs = la_create_fi(80, 1);
  std::string wide(80, 'W');
  struct {
    int count;
    std::string more;  // the text of 900
    std::string row;
  } cases[] = {
      {1, "(MORE)", "Not a number" + std::string(68, ' ')},
      {2, "(MORE)", "Not a number (MORE)" + std::string(61, ' ')},
      {2, wide, " " + wide.substr(0, 79)},  // 900 as wide as the line
  };
  for (auto& c : cases) {
    wms.msg900 = c.more;
    wm_msg_clear(msgs);
    for (int i = 0; i < c.count; ++i) ASSERT_TRUE(wm_msg_add(msgs, CV_NUM_BAD_TEXT));
    paint(msgs);
    EXPECT_EQ(shown(23, 1, 80), c.row) << c.count;
  }
}

TEST_F(WmStatusLine, OutlineTableOfAPopupWithABoxMatchesEntryByEntry) {
  ASSERT_EQ(start(), 1u);
  TSRF *main = srf(0, 0), *pop = srf(0, 0);
  wnd(main, 2, 2, 3, 5);
  WND_BLK b;
  INIT_WND(&b, 5, 10, 4, 20, 1);
  TWND* w = WM_ATTACH(&b, pop, 1);
  CHR_BLK box{0, 1, 1, 3, 10, CHR_BOX_RUN | 0x40, 0, 0, 0};
  ASSERT_TRUE(wm_write_reg(w, reinterpret_cast<const uint8_t*>(std::string(80, ' ').data()), {}, {&box, 1}));
  pop->ORIGIN = {-1, 0};
  build_outline(main, pop, static_cast<TSRF*>(com.base_srf));
  EXPECT_EQ(wms.outline, (std::vector<uint32_t>{
                             4,  10, 7,  29, 0xC8040000,  // the pop-up window, moved by the origin
                             4,  10, 6,  19, 0x48200040,  // its box
                             2,  2,  4,  6,  0x40040000,  // the main window
                             22, 1,  24, 80, 0x40000000,  // the base area
                             22, 1,  22, 80, 0x40040000,  // status line
                             23, 1,  23, 80, 0x40040000,  // message line
                             21, 1,  21, 80, 0x50000000, 24, 1, 24, 80, 0x50000000,
                         }));
}

// From (-5, -5), a pop-up window ending at (8, 29) on a 21 x 80 main surface.
TEST_F(WmStatusLine, PanningNeverGivesTheOriginAPositiveRowOrColumn) {
  ASSERT_EQ(start(), 1u);
  wms.main = srf(0, 0);
  wnd(wms.pop = srf(0, 0), 5, 10, 4, 20);
  const int32_t cases[][4] = {
      // pan flags, key, origin row, col
      {1, 10000, 0, -5},   {1, 10001, 0, -5},   {1, 10002, -5, 0},   {1, 10003, -5, 0},  {1, 10004, -4, -5},
      {1, 10005, 0, -5},   {1, 10006, -6, -5},  {1, 10007, -17, -5}, {1, 10008, -5, -4}, {1, 10009, -5, 0},
      {1, 10010, -5, -6},  {1, 10011, -5, -45}, {1, 10012, -5, -5},  {3, 10000, -5, -5}, {3, 10007, -5, -5},
      {3, 10011, -5, -45}, {0, 10002, -5, -5},
  };
  for (auto& c : cases) {
    com.pan_flags = uint8_t(c[0]);
    wms.pop->ORIGIN = {-5, -5};
    ASSERT_EQ(pan_scr(uint32_t(c[1])), 1);
    EXPECT_EQ(std::make_pair(wms.pop->ORIGIN.row, wms.pop->ORIGIN.col), std::make_pair(c[2], c[3]))
        << c[1] << " " << c[0];
  }
  EXPECT_EQ(pan_scr(LK_ENTER), 0);
}

}  // namespace
}  // namespace kivo::test
