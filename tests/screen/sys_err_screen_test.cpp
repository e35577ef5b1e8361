// The system-error window over the window manager: its text, and the
// keys that end it.
#include "screen/la_show.h"
#include "screen/screen.h"
#include "screen/tm_keys.h"
#include "wm_test_util.h"

namespace kivo::test {
namespace {

std::string g_text;
std::vector<uint32_t> g_keys;  // answered from the back
uint32_t g_main;               // the surface the first show names

class SysErrors : public WmFresh {};

// CANCEL after another key; the show names the window's surface; without
// region writing, no window.
TEST_F(SysErrors, ScreenFormShowsTheReportAndAnswersCancel) {
  wm_seams = {[](TWND*, const char* t) { return g_text = t, 1; },
              [](SHOW_BLK* b, ARB*) {
                if (!g_main) g_main = b->main_srf;
                if (!g_keys.empty()) b->key_code = g_keys.back(), g_keys.pop_back();
                return 1;
              }};
  g_keys = {LK_CANCEL, 300};
  EXPECT_EQ(wm_sys_err_screen("LA", 12, "bad thing"), SYS_ERR_CANCEL);
  ASSERT_EQ(g_text.size(), 12u * 72);
  EXPECT_EQ(g_text.substr(0, 53), std::string(19, ' ') + "An KIVO System Error has Occurred.");
  EXPECT_EQ(g_text.substr(5 * 72, 42), std::string(29, ' ') + "MODULE: LA.12");
  EXPECT_EQ(g_text.substr(9 * 72, 12), "  bad thing ");
  EXPECT_EQ(g_text.substr(11 * 72 + 4, 15), "CANCEL to Abort");
  EXPECT_NE(g_main, 0u) << "a show naming no surface draws the status line alone";
  wm_seams = {};
  EXPECT_EQ(wm_sys_err_screen("LA", 12, "bad thing"), SYS_ERR_NO_WINDOW);
}

}  // namespace
}  // namespace kivo::test
