// Shared fixture of the window-manager tests: a fresh session with the file
// manager and the window manager started, a 24 x 80 screen, and system
// errors captured.
#pragma once

#include <gtest/gtest.h>

#include "../fixtures/hook_override.h"
#include "../foundation/test_support.h"
#include "fm/fm.h"
#include "fm/memfile.h"
#include "foundation/scope.h"
#include "screen/screen.h"
#include "screen/wm.h"
#include "screen/wm_rect.h"

namespace kivo::test {

class WmFresh : public Fresh {
 protected:
  void SetUp() override {
    Fresh::SetUp();
    hooks_.set(ut_clear_hooks.files, fm_clr_scope);
    screen_register_hooks();
    ASSERT_EQ(fm_init(), 1);
    ASSERT_EQ(wm_objects_init(), 1);
    com.scr_rows = 24;
    com.scr_cols = 80;
  }
  void TearDown() override {
    wm_clr_scope(0);  // the windows' and surfaces' own memory goes before their pools do
    all_.restore();
    mm_fms_install();
    mm_destroy_all();  // before the next test's mm_init takes their pools
    Fresh::TearDown();
  }
  kivo_test::hook_snapshot all_;  // what screen_register_hooks fills goes back
  TSRF* srf(int32_t rows, int32_t cols, uint32_t scope = 1) {
    SRF_BLK b{0, rows, cols};
    return WM_CREATE_SRF(&b, scope);
  }
  TWND* wnd(TSRF* s, int32_t row, int32_t col, int32_t rows, int32_t cols, uint32_t scope = 1) {
    WND_BLK b;
    INIT_WND(&b, row, col, rows, cols, 0);
    return WM_ATTACH(&b, s, scope);
  }
};

}  // namespace kivo::test
