// Where windows land on a surface, when they are refused, what limbo keeps
// and the state bits of activation.
#include <cstring>

#include "wm_test_util.h"

namespace kivo::test {
namespace {

class WmPlacement : public WmFresh {};

struct placement {
  int32_t row, col, rows, cols;
  int32_t want_row, want_col;  // 0: refused with WM_NO_FIT
};

// Attaches each request to a 20x60 surface and checks where it lands.
void place(TSRF* s, std::initializer_list<placement> rows) {
  for (const placement& r : rows) {
    WND_BLK b;
    INIT_WND(&b, r.row, r.col, r.rows, r.cols, 0);
    TWND* w = WM_ATTACH(&b, s, 1);
    SCOPED_TRACE(testing::Message() << r.row << "," << r.col << " " << r.rows << "x" << r.cols);
    if (!r.want_row) {
      EXPECT_EQ(w, nullptr);
      EXPECT_EQ(b.status, WM_NO_FIT);
      EXPECT_EQ(b.handle, 0u);
      continue;
    }
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(w->blk.row == r.want_row && w->blk.col == r.want_col);
    EXPECT_EQ(w->BOT_RIGHT.row, r.want_row + r.rows - 1);
    EXPECT_EQ(w->state, WND_RECOMPUTE);
    wm_detach(w, 1);
  }
  EXPECT_EQ(s->TWND_CNT, 0);
}

TEST_F(WmPlacement, ZeroCentresAndNegativesCountFromTheFarSide) {
  place(srf(20, 60), {
                         {0, 0, 4, 10, 9, 26},     // centred: 20/2 - (2-1), 60/2 - (5-1)
                         {0, 0, 5, 11, 9, 26},     // odd sizes halve down
                         {-1, -1, 4, 10, 19, 51},  // from the bottom; right-aligned
                         {-5, -5, 4, 10, 15, 51},  // another row, the same column
                         {1, 1, 20, 60, 1, 1},     // exactly the surface
                     });
  EXPECT_TRUE(captured_errors().empty());
}

TEST_F(WmPlacement, LargerThanTheSurfaceIsRefusedOnlyWhenCentred) {
  place(srf(20, 60), {
                         {0, 1, 30, 10, 0, 0},  // larger than the surface, centred: row -4
                         {1, 1, 30, 70, 1, 1},  // the same at row 1: only the top-left counts
                         {2, 0, 4, 70, 0, 0},   // centred column below 1
                     });
  EXPECT_TRUE(captured_errors().empty());
}

TEST_F(WmPlacement, BadRequestsAreSystemErrors) {
  struct row {
    int32_t rows, cols, reg_rows, reg_cols;
    uint8_t scroll;
    const char* text;
  } rows[] = {
      {0, 5, 0, 0, 0, "wm_attach() - invalid window size"}, {5, -1, 0, 0, 0, "wm_attach() - invalid window size"},
      {5, 5, 6, 5, 1, "wm_attach() - invalid region size"},  // a cell larger than the window
      {5, 5, 5, 9, 3, "wm_attach() - invalid region size"}, {5, 5, -1, 5, 0, "wm_attach() - invalid region size"},
  };
  TSRF* s = srf(0, 0);
  EXPECT_TRUE(s->SRF_SIZE.row == 21 && s->SRF_SIZE.col == 80);
  for (const row& r : rows) {
    captured_errors().clear();
    WND_BLK b;
    INIT_WND(&b, 1, 1, r.rows, r.cols, 0);
    b.reg_rows = r.reg_rows, b.reg_cols = r.reg_cols, b.scroll_type = r.scroll;
    EXPECT_EQ(wm_attach(&b, s, 1), 0) << r.text;
    EXPECT_TRUE(reported(r.text)) << r.text;
  }
  EXPECT_EQ(xwm.first_wnd, nullptr);
  WND_BLK b;
  INIT_WND(&b, 1, 1, 10, 20, 7);
  b.reg_rows = 3, b.reg_cols = 6, b.scroll_type = 1;  // 3 x 3 cells of 3 x 6
  TWND* w = WM_ATTACH(&b, s, 1);
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(w->reg_rows_n == 3 && w->reg_cols_n == 3 && w->grid_h == 9 && w->grid_w == 18);
}

TEST_F(WmPlacement, LimboKeepsThePoolAndRefusalStaysInLimbo) {
  TSRF* a = srf(20, 60);
  TSRF* b = srf(10, 30);
  TWND* w = wnd(a, 2, 2, 5, 5);
  TWND* v = wnd(a, 3, 3, 5, 5);
  ASSERT_TRUE(w && v);
  EXPECT_NE(std::strncmp(w->pool->name, v->pool->name, kPoolNameLen), 0);
  POOL* pool = w->pool;
  EXPECT_TRUE(wm_detach(w, 0) && !w->srf && a->TWND_CNT == 1);
  EXPECT_EQ(wm_reattach(w, b, {-1, -1}), 1);
  EXPECT_TRUE(w->srf == b && w->pool == pool && w->blk.row == 9 && w->blk.col == 26);
  EXPECT_EQ(mm_find_pool(pool->name, 1), pool);
  // Too tall when centred: refused, in limbo, the pool still there.
  w->blk.rows = 30;
  EXPECT_EQ(wm_reattach(w, b, {0, 1}), 0);
  EXPECT_TRUE(w->status == WM_NO_FIT && !w->srf && !b->TWND_CNT);
  EXPECT_EQ(rect_load(b).size(), 1u);
  wm_detach(v, 1);
  EXPECT_EQ(mm_find_pool(pool->name, 1), pool);
  EXPECT_TRUE(captured_errors().empty());
}

TEST_F(WmPlacement, ActivationSetsTheStateBits) {
  struct row {
    uint8_t before;
    int actv;
    uint8_t after;
  } rows[] = {
      {0x00, 0, 0x11}, {0x10, 0, 0x10}, {0x12, 0, 0x12}, {0x10, 1, 0x01},
      {0x00, 1, 0x00}, {0x12, 1, 0x03}, {0x02, 0, 0x13},
  };
  TWND* w = wnd(nullptr, 1, 1, 2, 2);
  ASSERT_NE(w, nullptr);
  for (const row& r : rows) {
    w->state = r.before;
    EXPECT_EQ(r.actv ? wm_actv(w) : wm_deactv(w), 1);
    EXPECT_EQ(w->state, r.after) << int(r.before) << " " << r.actv;
  }
  EXPECT_EQ(wm_actv(nullptr), 0);
  EXPECT_TRUE(reported("wm_deactv  - bad  reg"));
}

}  // namespace
}  // namespace kivo::test
