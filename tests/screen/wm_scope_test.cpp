// Windows and surfaces leave with the scope level that made them.
#include "foundation/end_codes.h"
#include "wm_test_util.h"

namespace kivo::test {
namespace {

class WmScopeClear : public WmFresh {};

// The scope of every window of the global list, in order.
std::vector<uint32_t> scopes() {
  std::vector<uint32_t> v;
  for (TWND* w = xwm.first_wnd; w; w = w->next) v.push_back(w->SCOPE);
  return v;
}

TEST_F(WmScopeClear, PopUpLevelTakesItsWindowsAndSurface) {
  TSRF* base = srf(20, 60, 1);
  TWND* keep = wnd(base, 1, 1, 5, 5, 1);
  TSRF* pop = srf(10, 30, 3);
  wnd(pop, 2, 2, 3, 3, 3);
  wnd(base, 2, 2, 6, 6, 3);     // a pop-up window on the base surface
  wnd(nullptr, 1, 1, 2, 2, 2);  // in limbo at a level between
  com.cur_srf2 = pop;
  EXPECT_EQ(scopes(), (std::vector<uint32_t>{1, 2, 3, 3}));
  wm_clr_scope(3);
  EXPECT_EQ(scopes(), (std::vector<uint32_t>{1, 2}));
  EXPECT_TRUE(xwm.last_srf == base && !com.cur_srf2 && base->TWND_CNT == 1);
  // Only the kept window and the background remain in the base's rectangles.
  for (const wm_rect& r : rect_load(base)) {
    EXPECT_TRUE(r.own == 0 || r.own == keep->id) << r.own;
    EXPECT_TRUE(r.obs == 0 || r.obs == keep->id) << r.obs;
  }
  wm_clr_scope(2);
  EXPECT_EQ(scopes(), (std::vector<uint32_t>{1}));
  EXPECT_TRUE(captured_errors().empty());
}

TEST_F(WmScopeClear, MarkLeavesNoWindowsWhetherItReturnsOrUnwinds) {
  TSRF* base = srf(20, 60, 1);
  wnd(base, 1, 1, 4, 4, 1);
  size_t pools = mm_total_blocks(), rects = rect_load(base).size();
  for (bool unwind : {false, true}) {
    uint32_t code = MARK(MARK_PROCESS, [&] {
      TSRF* s = srf(10, 30, com.mark_scope);
      wnd(s, 1, 1, 3, 3, com.mark_scope);
      wnd(base, 2, 2, 3, 3, com.mark_scope);
      wnd(nullptr, 1, 1, 2, 2, com.mark_scope);
      EXPECT_EQ(scopes().size(), 4u);
      if (unwind) mark_leave(PI_END_CANCEL);
    });
    EXPECT_EQ(code, unwind ? uint32_t(PI_END_CANCEL) : uint32_t(PI_END_NORMAL));
    EXPECT_EQ(scopes(), (std::vector<uint32_t>{1})) << unwind;
    EXPECT_TRUE(xwm.first_srf == base && xwm.last_srf == base && base->TWND_CNT == 1);
    EXPECT_EQ(rect_load(base).size(), rects);
    EXPECT_EQ(mm_total_blocks(), pools);
  }
  EXPECT_TRUE(captured_errors().empty());
}

}  // namespace
}  // namespace kivo::test
