// Regions, items and runs: runs against a per-column model, placement of
// every scroll type against a model of the region grid, and the item and
// deletion rules.
#include <map>
#include <optional>
#include <random>

#include "../fixtures/kivo_fixture.h"
#include "screen/wm_region.h"
#include "wm_test_util.h"

namespace kivo::test {
namespace {

struct cell_attr {
  uint32_t mask;
  uint8_t chr;
  uint32_t item;
  bool operator==(const cell_attr&) const = default;
};

class WmRegionFix : public WmFresh {
 protected:
  TWND* list(uint8_t type, int32_t rows, int32_t cols, int32_t rr, int32_t rc) {
    WND_BLK b;
    INIT_WND(&b, 1, 1, rows, cols, 0);
    b.scroll_type = type, b.reg_rows = rr, b.reg_cols = rc;
    return WM_ATTACH(&b, srf(0, 0), 1);
  }
  TREG* write(TWND* w, uint16_t no, int32_t rows, std::span<const TITM> items = {},
              std::span<const CHR_BLK> chrs = {}) {
    w->reg_no = no;
    w->txt_size = {rows, 0};
    wm_write_reg(w, nullptr, items, chrs);
    return w->cur_reg;
  }
  static TITM item(int32_t row, int32_t col, int32_t cols) {
    TITM it{};
    it.tl_row = row, it.tl_col = col, it.cnv.ext_rows = 1, it.cnv.ext_cols = cols;
    return it;
  }
};

using WmChrModel = WmRegionFix;
using WmRegions = WmRegionFix;

// Per column of the region rows: the record covering it, and checks that
// no two records of a row overlap.
std::map<std::pair<int, int>, cell_attr> columns(TWND* w, TREG* g, size_t* records) {
  std::map<std::pair<int, int>, cell_attr> out;
  std::map<int, int> row_end;
  *records = 0;
  for (auto& [k, c] : w->tables->chrs) {
    if (std::get<0>(k) != g->id || std::get<3>(k)) continue;
    ++*records;
    EXPECT_GT(c.col, row_end[c.row]) << "runs overlap on row " << c.row;
    row_end[c.row] = c.end_col;
    for (int col = c.col; col <= c.end_col; ++col) out[{c.row, col}] = {c.mask, c.chr, c.item};
  }
  return out;
}

TEST_F(WmChrModel, RunsMatchPerColumnModelAndApplyOnce) {
  TWND* w = list(0, 5, 30, 0, 0);
  TREG* g = write(w, 0, 5);
  // The fixed case: 5-10 over one run 1-20 leaves 1-4, 5-10, 11-20.
  ASSERT_TRUE(upd_tchr(w, {g, 1, 1, 1, 20, 0x40, ~0u, 0, 0}));
  ASSERT_TRUE(upd_tchr(w, {g, 1, 5, 1, 10, 0x80, ~0u, 0, 0}));
  size_t n;
  columns(w, g, &n);
  std::vector<std::pair<int, int>> spans;
  for (auto& [k, c] : w->tables->chrs) spans.push_back({c.col, c.end_col});
  EXPECT_EQ(spans, (std::vector<std::pair<int, int>>{{1, 4}, {5, 10}, {11, 20}}));
  EXPECT_EQ(find_tchr(w, g, 1, 3)->mask, 0x40u);

  std::mt19937 rng(7);
  std::map<std::pair<int, int>, cell_attr> model = columns(w, g, &n);
  const uint32_t bits[] = {0x01, 0x02, 0x40, 0x80, 0x100, 0x200, 0x1000};
  for (long i = 0, n = 20000 * kivo_test::stress_scale(); i < n; ++i) {
    int r0 = 1 + rng() % 5, r1 = r0 + rng() % (6 - r0), c0 = 1 + rng() % 30, c1 = c0 + rng() % (31 - c0);
    uint32_t value = bits[rng() % 7] | bits[rng() % 7], mask = bits[rng() % 7] | bits[rng() % 7];
    if (rng() % 16 == 0) value |= CHR_BOX_RUN;
    chr_run run{g, r0, c0, r1, c1, value, mask, uint8_t(rng() % 3 ? 0 : 'x'), uint32_t(rng() % 3)};
    ASSERT_TRUE(upd_tchr(w, run));
    if (!(value & CHR_BOX_RUN)) {
      for (int r = r0; r <= r1; ++r)
        for (int c = c0; c <= c1; ++c) {
          auto it = model.find({r, c});
          cell_attr old = it == model.end() ? cell_attr{0, 0, 0} : it->second;
          model[{r, c}] = {(old.mask & ~mask) | (value & mask), run.chr ? run.chr : old.chr,
                           run.item ? run.item : old.item};
        }
    }
    size_t before, after;
    ASSERT_EQ(columns(w, g, &before), model) << "run " << i;
    upd_tchr(w, run);
    ASSERT_EQ(columns(w, g, &after), model);
    ASSERT_EQ(after, before) << "the same run twice added records at run " << i;
  }
}

// The region grid as the user sees it: per window cell the region number
// and position, regions kept as heights with the hidden top rows of a
// flowing window.
struct grid_model {
  uint8_t type;
  int32_t h, rr, rc, nrows, ncols;
  std::vector<int32_t> regs;
  int32_t hidden = 0;
  uint8_t lst = 0;

  int32_t eff(size_t k) const { return type <= 2 ? rr : regs[k] - (k == 0 && type == 4 ? hidden : 0); }
  // Cell (row, col) of the window -> (number, row, col in region).
  std::map<std::pair<int, int>, std::tuple<int, int, int>> cells(int32_t* free_rows, int32_t* beyond) const {
    std::map<std::pair<int, int>, std::tuple<int, int, int>> out;
    std::vector<int32_t> used(size_t(ncols), 0);
    *beyond = 0;
    int32_t line = 0, col = 0, row = 1;
    for (size_t k = 0; k < regs.size(); ++k) {
      int32_t shown = 0;
      auto show = [&](int c, int r, int text_row) {
        if (c >= ncols || r > h) return;
        for (int x = 1; x <= rc; ++x) out[{r, c * rc + x}] = {int(k + 1), text_row, x};
        used[size_t(c)] = std::max(used[size_t(c)], r);
        ++shown;
      };
      int32_t first = type == 4 && k == 0 ? hidden : 0;
      for (int32_t t = 0; t < eff(k); ++t) {
        if (type <= 1) show(int(k) / nrows, int(k) % nrows * rr + 1 + t, t + 1);
        else if (type == 2) show(int(k) % ncols, int(k) / ncols < nrows ? int(k) / ncols * rr + 1 + t : h + 1, t + 1);
        else if (type == 4) show((line + t) / h, (line + t) % h + 1, first + t + 1);
      }
      if (type == 3) {
        if (k && row + regs[k] - 1 > h) ++col, row = 1;
        for (int32_t t = 0; t < regs[k] && col < ncols; ++t) show(col, row + t, t + 1);
        row += regs[k];
      }
      line += eff(k);
      *beyond += eff(k) - shown;
    }
    *free_rows = 0;
    for (int32_t u : used) *free_rows += h - u;
    return out;
  }
  bool shows_all(size_t k) const {
    int32_t fr, b;
    auto c = cells(&fr, &b);
    int32_t n = 0;
    for (auto& [p, v] : c) n += std::get<0>(v) == int(k + 1) && std::get<2>(v) == 1;
    return n == eff(k) || (type == 3 && n > 0);
  }
  void fill() {
    int32_t fr, b;
    cells(&fr, &b);
    int32_t over = int32_t(regs.size()) - nrows * ncols;
    if (fr > 0) lst = 0;
    else if (type <= 2) lst = over <= 0 ? 1 : over == 1 ? 2 : 3;
    else lst = b < rr ? 1 : b < 2 * rr ? 2 : 3;
  }
  void append(int32_t rows) {
    regs.push_back(type <= 2 ? rr : rows);
    fill();
    size_t k = regs.size() - 1;
    if (shows_all(k)) return;
    if (type <= 2) regs.erase(regs.begin(), regs.begin() + (int(regs.size()) - nrows * ncols));
    while (type == 3 && !shows_all(regs.size() - 1)) regs.erase(regs.begin());
    if (type == 4) {
      int32_t over = -ncols * h;
      for (size_t i = 0; i < regs.size(); ++i) over += eff(i);
      while (over > 0 && regs.size() > 1 && over >= eff(0)) over -= eff(0), regs.erase(regs.begin()), hidden = 0;
      if (over > 0) hidden += over;
    }
  }
  void erase(size_t k) {
    if (k == 0) hidden = 0;
    regs.erase(regs.begin() + long(k));
    fill();
  }
};

TEST_F(WmRegions, PlacementOfEveryScrollTypeMatchesGridModel) {
  struct cfg {
    uint8_t type;
    int32_t rows, cols, rr, rc;
  };
  const cfg cases[] = {{0, 5, 20, 1, 20}, {1, 6, 40, 2, 20}, {2, 4, 30, 2, 10}, {3, 6, 30, 3, 15},
                       {4, 6, 30, 2, 15}, {1, 3, 40, 1, 20}, {3, 4, 10, 4, 10}, {4, 5, 30, 5, 10}};
  std::mt19937 rng(11);
  for (const cfg& c : cases) {
    TWND* w = list(c.type, c.rows, c.cols, c.rr, c.rc);
    grid_model m{c.type, c.rows, w->blk.reg_rows, w->blk.reg_cols, w->grid_h / w->blk.reg_rows, w->reg_cols_n, {}};
    if (c.type <= 2) m.h = w->grid_h;
    for (int step = 0; step < 60; ++step) {
      if (w->REG_CNT && rng() % 4 == 0) {
        uint16_t k = uint16_t(1 + rng() % w->REG_CNT);
        w->reg_no = k;
        ASSERT_TRUE(wm_del_reg(w, 0));
        m.erase(k - 1);
      } else {
        int32_t rows = 1 + int32_t(rng() % uint32_t(c.rows));
        write(w, uint16_t(w->REG_CNT + 1), c.type <= 2 ? 0 : rows);
        m.append(rows);
      }
      int32_t free_rows, beyond;
      auto want = m.cells(&free_rows, &beyond);
      SCOPED_TRACE(::testing::Message() << "type " << int(c.type) << " step " << step);
      ASSERT_EQ(w->REG_CNT, m.regs.size());
      ASSERT_EQ(w->LST_STAT, m.lst);
      ASSERT_EQ(w->free_rows, free_rows);
      for (int r = 1; r <= c.rows; ++r)
        for (int col = 1; col <= c.cols; ++col) {
          wreg_hit hit{};
          auto it = want.find({r, col});
          ASSERT_EQ(find_wreg(w, {r, col}, &hit), it != want.end()) << r << "," << col;
          if (it == want.end()) continue;
          ASSERT_EQ(std::make_tuple(int(hit.number), hit.pos.row, hit.pos.col), it->second) << r << "," << col;
        }
    }
    EXPECT_TRUE(captured_errors().empty());
  }
}

TEST_F(WmRegions, SixthRegionOfFiveRowListDropsFirstWithItsRecords) {
  TWND* w = list(0, 5, 20, 1, 20);
  TITM it = item(1, 1, 5);
  CHR_BLK run{0, 1, 1, 1, 5, 0x40, 0, 1, 1};
  uint32_t first = write(w, 1, 0, {&it, 1}, {&run, 1})->id;
  for (uint16_t n = 2; n <= 6; ++n) write(w, n, 0);
  EXPECT_EQ(w->REG_CNT, 5);
  EXPECT_EQ(w->LST_STAT, LST_OVER_ONE);
  EXPECT_EQ(wm_obj(first), nullptr);
  EXPECT_TRUE(w->tables->items.empty());
  EXPECT_TRUE(w->tables->chrs.empty());
}

TEST_F(WmRegions, ItemsOutsideRegionAreRefused) {
  struct row {
    TITM def;
    uint32_t status;
  } rows[] = {{item(1, 18, 5), WM_ITM_END}, {item(3, 1, 1), WM_ITM_START}, {item(0, 1, 1), WM_ITM_START}};
  for (const row& r : rows) {
    TWND* w = list(0, 2, 20, 0, 0);
    EXPECT_EQ(write(w, 0, 2, {&r.def, 1}) != nullptr, true);
    EXPECT_EQ(w->status, r.status);
    EXPECT_TRUE(!w->tables || w->tables->items.empty());
  }
}

TEST_F(WmRegions, DeletingOnlyRegionClearsItemsAndRuns) {
  TWND* w = list(0, 3, 20, 0, 0);
  TITM it = item(2, 2, 4);
  CHR_BLK run{0, 1, 1, 2, 10, 0x40, 0, 0, 0};
  write(w, 0, 3, {&it, 1}, {&run, 1});
  w->reg_no = 0;
  ASSERT_TRUE(wm_del_reg(w, 0));
  EXPECT_EQ(w->REG_CNT, 0);
  EXPECT_TRUE(w->tables->items.empty() && w->tables->chrs.empty());
  EXPECT_EQ(w->free_rows, 3);
}

TEST_F(WmRegions, RemovingItemKeepsRunsWithBitsOutsideMask) {
  struct row {
    uint32_t value, remove_mask;
    uint8_t chr;
    std::optional<uint32_t> left;  // mask of the run afterwards, none = deleted
  } rows[] = {{0x41, 0x01, 0, 0x40}, {0x41, 0x41, 0, {}}, {0x01, 0x01, 'x', 0}};
  for (const row& r : rows) {
    TWND* w = list(0, 2, 20, 0, 0);
    write(w, 0, 2);
    TITM it = item(1, 3, 4);
    w->reg_no = 1;
    ASSERT_TRUE(wm_insert_itm(w, &it, r.value, ~0u, 0));
    ASSERT_TRUE(wm_remove_itm(w, {1, 3}, r.remove_mask, r.chr));
    const wm_chr* c = find_tchr(w, w->cur_reg, 1, 4);
    ASSERT_EQ(c != nullptr, r.left.has_value());
    if (c) {
      EXPECT_EQ(std::make_tuple(c->mask, c->item, c->chr), std::make_tuple(*r.left, 0u, r.chr));
    }
    EXPECT_TRUE(w->tables->items.empty());
    EXPECT_FALSE(wm_remove_itm(w, {1, 3}, 0, 0));
    EXPECT_EQ(w->status, WM_ITM_NONE);
  }
}

}  // namespace
}  // namespace kivo::test
