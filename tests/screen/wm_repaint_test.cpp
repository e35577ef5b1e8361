// The repaint against a recording terminal that also keeps the terminal
// manager's cell image, and a random screen checked against a brute-force
// rendering of the model.
#include <random>
#include <string>

#include "../fixtures/hook_override.h"
#include "screen/wm_region.h"
#include "screen/wm_repaint.h"
#include "screen/wm_term.h"
#include "wm_test_util.h"

namespace kivo::test {
namespace {

struct term_call {
  char op;  // 'u' update, 's' scroll
  int row, col, n, count;
  std::vector<tm_attr_run> runs;
};
std::vector<term_call> g_calls;

int rec_update(tm_term* t, const tm_text_run& r) {
  g_calls.push_back({'u', r.row, r.col, r.len, 0, {r.runs, r.runs + r.nruns}});
  return tm_upd_scr(t, r);
}
int rec_scroll(tm_term* t, int row, int col, int nrows, int ncols, int dir, int count) {
  g_calls.push_back({'s', row, col, nrows, count, {}});
  return tm_scroll(t, row, col, nrows, ncols, dir, count);
}
const wm_term_ops kRecording = {nullptr, nullptr, nullptr, rec_update, rec_scroll, nullptr, nullptr, nullptr, nullptr};

class WmPaintFix : public WmFresh {
 protected:
  void SetUp() override {
    WmFresh::SetUp();
    wm_repaint_reset();
    hooks_.set(wm_term_override, &kRecording);
    wm_term_handle = tm_image_new(24, 80);
    main_ = srf(0, 0);
  }
  void TearDown() override {
    tm_image_free(wm_term_handle);
    wm_term_handle = nullptr;
    WmFresh::TearDown();
  }
  TWND* win(int32_t row, int32_t col, int32_t rows, int32_t cols, uint8_t type = 0, int32_t rr = 0, int32_t rc = 0,
            TSRF* s = nullptr) {
    WND_BLK b;
    INIT_WND(&b, row, col, rows, cols, 0);
    if (type) b.scroll_type = type, b.reg_rows = rr, b.reg_cols = rc;
    return WM_ATTACH(&b, s ? s : main_, 1);
  }
  static void text(TWND* w, uint16_t no, const std::string& s, int32_t rows = 0) {
    w->reg_no = no;
    w->txt_size = {rows ? rows : 1, int32_t(s.size())};
    std::string t = s;
    for (int32_t r = 1; r < rows; ++r) t += s;
    wm_write_reg(w, reinterpret_cast<const uint8_t*>(t.data()), {}, {});
  }
  size_t repaint(TSRF* pop = nullptr, bool main = true) {
    g_calls.clear();
    EXPECT_TRUE(wm_repaint(main ? main_ : nullptr, pop));
    return g_calls.size();
  }
  static char at(int row, int col) {
    uint8_t c = tm_at(wm_term_handle, row - 1, col - 1)->ch;
    return c ? char(c) : ' ';
  }
  static const term_call& update() {
    for (auto& c : g_calls)
      if (c.op == 'u') return c;
    static term_call none{};
    return none;
  }
  size_t count(char op) const {
    size_t n = 0;
    for (auto& c : g_calls) n += c.op == op;
    return n;
  }
  TSRF* main_ = nullptr;
};

using WmRepaint = WmPaintFix;
using WmRandomScreen = WmPaintFix;

TEST_F(WmRepaint, UncoveredWindowIsClearedAndRepainted) {
  TWND* low = win(1, 1, 5, 20);
  text(low, 0, std::string(20, 'L'), 5);
  TWND* top = win(2, 2, 2, 5);
  text(top, 0, "TTTTT");
  repaint();
  EXPECT_EQ(at(2, 3), 'T');
  wm_detach(top, 1);
  repaint();
  EXPECT_GE(count('s'), 1u);
  EXPECT_GE(count('u'), 2u);
  EXPECT_EQ(at(2, 3), 'L');
  EXPECT_EQ(at(3, 6), 'L');
}

TEST_F(WmRepaint, SixthRegionOfListCostsOneScrollAndOneRow) {
  TWND* w = win(3, 3, 5, 20, 1, 1, 20);
  w->blk.scroll_type = 0;  // a type-0 list of one-row regions
  for (uint16_t n = 1; n <= 5; ++n) text(w, n, std::string(20, char('0' + n)));
  repaint();
  text(w, 6, std::string(20, '6'));
  repaint();
  ASSERT_EQ(count('s'), 1u);
  EXPECT_EQ(g_calls[0].count, 1);
  EXPECT_EQ(count('u'), 1u);
  for (int r = 0; r < 5; ++r) EXPECT_EQ(at(3 + r, 5), char('2' + r));
}

TEST_F(WmRepaint, DeactivatedWindowRunsLackClearedBits) {
  TWND* w = win(1, 1, 1, 10);
  CHR_BLK run{0, 1, 1, 1, 10, 0x1245 | 0x02 | 0x80, 0, 0, 0};
  w->txt_size = {1, 0};
  wm_write_reg(w, nullptr, {}, {&run, 1});
  repaint();
  ASSERT_EQ(update().runs.size(), 1u);
  EXPECT_EQ(update().runs[0].attr, 0x1245u | 0x82u);
  wm_deactv(w);
  repaint();
  ASSERT_EQ(update().runs.size(), 1u);
  EXPECT_EQ(update().runs[0].attr, 0x82u);
  EXPECT_EQ(repaint(), 0u);  // nothing changed: nothing sent
}

TEST_F(WmRepaint, SecondSurfaceShowsOnlyWhereMainHasNoWindow) {
  text(win(1, 1, 2, 5), 0, "MMMMM", 2);
  TSRF* pop = srf(0, 0);
  text(win(1, 1, 4, 10, 0, 0, 0, pop), 0, std::string(10, 'P'), 4);
  repaint(pop);
  EXPECT_EQ(std::string({at(1, 5), at(1, 6), at(2, 5), at(3, 1), at(4, 10), at(5, 1)}), "MPMPP ");
  for (const wm_trect& t : wm_trects()) {
    bool under_main = t.phys.tl.row <= 2 && t.phys.tl.col <= 5;
    EXPECT_FALSE(t.pos_type == POS_POP_SRF && under_main);
  }
}

TEST_F(WmRepaint, NoMainSurfaceIsOneBlankRectangle) {
  repaint(nullptr, false);
  ASSERT_EQ(wm_trects().size(), 1u);
  const wm_trect& t = wm_trects()[0];
  EXPECT_EQ(std::make_tuple(t.own, t.phys.tl.row, t.phys.tl.col, t.phys.br.row, t.phys.br.col, t.pos_type),
            std::make_tuple(0u, 1, 1, 21, 80, uint8_t(POS_MAIN_SRF)));
  EXPECT_EQ(count('s'), 1u);
}

TEST_F(WmRepaint, TwoColumnListScrollsWithoutSystemError) {
  TWND* w = win(1, 1, 3, 40, 1, 1, 20);
  w->blk.scroll_type = 0;
  for (uint16_t n = 1; n <= 9; ++n) {
    text(w, n, std::string(20, char('0' + n)));
    repaint();
  }
  EXPECT_TRUE(captured_errors().empty());
  EXPECT_EQ(std::string({at(1, 1), at(2, 1), at(3, 1), at(1, 21), at(2, 21), at(3, 21)}), "456789");
}

// What the screen must show: per cell of the main area the topmost window's
// region text and run there.
tm_cell expected(TSRF* s, int row, int col) {
  for (TWND* w = s->last_wnd; w; w = w->srf_prev) {
    if (row < w->blk.row || row > w->BOT_RIGHT.row || col < w->blk.col || col > w->BOT_RIGHT.col) continue;
    wreg_hit hit;
    if (!find_wreg(w, {row - w->blk.row + 1, col - w->blk.col + 1}, &hit)) return {' ', 0, 0};
    uint8_t ch = reg_text(hit.reg)[(hit.pos.row - 1) * hit.reg->SIZE.col + hit.pos.col - 1];
    const wm_chr* c = find_tchr(w, hit.reg, hit.pos.row, hit.pos.col);
    uint32_t mask = c ? c->mask : 0;
    if (w->state & WND_INACTIVE) mask &= ~0x1245u;
    return {ch, 0, uint16_t((mask & CELL_ATTR_MASK) | (c && c->chr ? 0x80 : 0))};
  }
  return {' ', 0, 0};
}

TEST_F(WmRandomScreen, RepaintMatchesBruteForceRendering) {
  std::mt19937 rng(2024);
  const uint32_t bits[] = {0x01, 0x02, 0x40, 0x100, 0x200, 0x400};
  std::vector<TWND*> wins;
  for (int step = 0; step < 2000; ++step) {
    uint32_t op = rng() % 10;
    if (wins.size() < 2 || (op == 0 && wins.size() < 6)) {
      uint8_t type = uint8_t(rng() % 5);
      int32_t rows = 1 + int32_t(rng() % 8), cols = 4 + int32_t(rng() % 30);
      int32_t rr = type ? 1 + int32_t(rng() % 2) : 0, rc = type ? (rng() % 2 ? cols : cols / 2) : 0;
      if (type && rows < rr) rr = rows;
      if (TWND* w = win(1 + int32_t(rng() % 18), 1 + int32_t(rng() % 60), rows, cols, type, rr, rc)) wins.push_back(w);
    } else if (op == 1) {
      size_t k = rng() % wins.size();
      wm_detach(wins[k], 1);
      wins.erase(wins.begin() + long(k));
    } else if (op <= 5) {
      TWND* w = wins[rng() % wins.size()];
      int32_t rows = w->blk.scroll_type >= 3 ? 1 + int32_t(rng() % uint32_t(w->blk.rows)) : 0;
      std::string s(size_t(w->blk.reg_cols), char('a' + rng() % 26));
      s[rng() % s.size()] = char('A' + rng() % 26);
      text(w, uint16_t(w->blk.scroll_type ? w->REG_CNT + 1 : rng() % 2), s, rows);
    } else if (op <= 8) {
      TWND* w = wins[rng() % wins.size()];
      if (!w->REG_CNT) continue;
      w->reg_no = uint16_t(1 + rng() % w->REG_CNT);
      TREG* g = find_treg(w, w->reg_no);
      int32_t r0 = 1 + int32_t(rng() % uint32_t(g->SIZE.row)), c0 = 1 + int32_t(rng() % uint32_t(g->SIZE.col));
      CHR_BLK b{
          0, r0, c0, 1, 1 + int32_t(rng() % uint32_t(g->SIZE.col - c0 + 1)), bits[rng() % 6], rng() % 4 ? 0u : 'x',
          0, 0};
      wm_upd_chr(w, &b, bits[rng() % 6] | bits[rng() % 6]);
    } else {
      TWND* w = wins[rng() % wins.size()];
      (w->state & WND_INACTIVE) ? wm_actv(w) : wm_deactv(w);
    }
    repaint();
    for (int r = 1; r <= 21; ++r)
      for (int c = 1; c <= 80; ++c) {
        tm_cell want = expected(main_, r, c), got = *tm_at(wm_term_handle, r - 1, c - 1);
        if (!got.ch) got.ch = ' ';
        ASSERT_EQ(std::make_pair(got.ch, got.attr), std::make_pair(want.ch, want.attr))
            << "step " << step << " cell " << r << "," << c;
      }
  }
  EXPECT_TRUE(captured_errors().empty());
}

}  // namespace
}  // namespace kivo::test
