// Seeded random steps on surfaces and windows, each followed by a check of
// every surface's rectangle file against a painter that stacks the windows
// cell by cell.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <vector>

#include "wm_test_util.h"

namespace kivo::test {
namespace {

constexpr int kRows = 40, kCols = 80;  // beyond every place the steps reach

struct model_srf {
  TSRF* s;
  std::vector<TWND*> z;                                              // bottom to top
  std::vector<uint32_t> top = std::vector<uint32_t>(kRows * kCols);  // visible owner after the last step
  int rows = 2, cols = 2;                                            // the part of the plane that step looked at
};

// Compares the RECT file of `m` with the painter over the used part of the
// plane, then clears NEW_VIS as a repaint would; `where` names the step.
void check_surface(model_srf& m, const std::string& where) {
  // Cells the last step looked at too: a window that left them uncovered them.
  int rows = m.rows, cols = m.cols;
  m.rows = m.cols = 2;
  for (TWND* w : m.z) m.rows = std::max(m.rows, w->BOT_RIGHT.row + 1), m.cols = std::max(m.cols, w->BOT_RIGHT.col + 1);
  rows = std::max(rows, m.rows), cols = std::max(cols, m.cols);
  ASSERT_TRUE(rows < kRows && cols < kCols);
  std::vector<wm_rect> rs = rect_load(m.s);
  static std::vector<std::vector<std::pair<uint32_t, uint32_t>>> seen(kRows * kCols);  // reused: no allocation per step
  for (auto& c : seen) c.clear();
  std::vector<uint8_t> newvis(kRows * kCols);
  std::map<int32_t, int32_t> band;  // visible top row -> height
  for (auto& r : rs) {
    if (r.obs == 0) {
      int32_t h = r.r.br.row - r.r.tl.row;
      ASSERT_EQ(band.emplace(r.r.tl.row, h).first->second, h) << where << ": band at row " << r.r.tl.row;
    }
    for (int y = r.r.tl.row; y <= std::min(r.r.br.row, rows); ++y)
      for (int x = r.r.tl.col; x <= std::min(r.r.br.col, cols); ++x) {
        seen[y * kCols + x].push_back({r.own, r.obs});
        if (r.obs == 0) newvis[y * kCols + x] = r.new_vis;
      }
  }
  for (int y = 1; y <= rows; ++y)
    for (int x = 1; x <= cols; ++x) {
      std::vector<uint32_t> stack{0};
      for (TWND* w : m.z)
        if (y >= w->blk.row && y <= w->BOT_RIGHT.row && x >= w->blk.col && x <= w->BOT_RIGHT.col)
          stack.push_back(w->id);
      auto& cell = seen[y * kCols + x];
      ASSERT_EQ(cell.size(), stack.size()) << where << " cell " << y << "," << x;
      for (size_t i = 0; i < stack.size(); ++i) {
        uint32_t above = i + 1 < stack.size() ? stack[i + 1] : 0;
        auto it = std::find_if(cell.begin(), cell.end(), [&](auto& l) { return l.first == stack[i]; });
        ASSERT_TRUE(it != cell.end() && it->second == above) << where << " cell " << y << "," << x << " layer " << i;
      }
      uint32_t& was = m.top[y * kCols + x];
      if (was != stack.back()) {
        ASSERT_EQ(newvis[y * kCols + x], 1) << where << " uncovered " << y << "," << x;
      }
      was = stack.back();
    }
  for (auto& r : rs) r.new_vis = 0;
  ASSERT_EQ(rect_save(m.s, rs), 1);
}

class WmOcclusion : public WmFresh {};

TEST_F(WmOcclusion, RandomStepsKeepRectanglesEqualToPainter) {
  std::mt19937 rng(22);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  std::vector<model_srf> srfs;
  std::vector<TWND*> limbo;
  auto drop = [&](TWND* w) {
    for (auto& m : srfs) std::erase(m.z, w);
    std::erase(limbo, w);
  };
  const char* scale = getenv("KIVO_STRESS_SCALE");
  for (long step = 0, n = 10000 * std::clamp(scale ? atol(scale) : 1L, 1L, 1000L); step < n; ++step) {
    int op = pick(0, 9);
    TWND* any = nullptr;
    std::vector<TWND*> all = limbo;
    for (auto& m : srfs) all.insert(all.end(), m.z.begin(), m.z.end());
    if (!all.empty()) any = all[size_t(pick(0, int(all.size()) - 1))];
    model_srf* on = srfs.empty() ? nullptr : &srfs[size_t(pick(0, int(srfs.size()) - 1))];
    if (!on || (op == 0 && srfs.size() < 3)) {
      srfs.emplace_back().s = srf(pick(8, 20), pick(20, 50));
    } else if (op == 1 && srfs.size() > 1) {
      ASSERT_EQ(wm_destroy_srf(on->s), 1);
      srfs.erase(srfs.begin() + (on - srfs.data()));
    } else if (op <= 4 && all.size() < 12) {
      if (TWND* w = wnd(on->s, pick(-6, 12), pick(-6, 30), pick(1, 10), pick(1, 25))) on->z.push_back(w);
    } else if (op == 5 && any) {
      int del = pick(0, 1);
      drop(any);
      ASSERT_EQ(wm_detach(any, del), 1);
      if (!del) limbo.push_back(any);
    } else if (op <= 7 && any) {
      drop(any);
      (wm_reattach(any, on->s, {pick(-6, 12), pick(-6, 30)}) ? on->z : limbo).push_back(any);
    } else if (any) {
      ASSERT_EQ(pick(0, 1) ? wm_actv(any) : wm_deactv(any), 1);
    }
    for (auto& m : srfs) ASSERT_NO_FATAL_FAILURE(check_surface(m, "step " + std::to_string(step)));
  }
  EXPECT_TRUE(captured_errors().empty());
}

}  // namespace
}  // namespace kivo::test
