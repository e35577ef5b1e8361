// The system-error window over the window manager: its text, its PROCESS
// line by the installed messages, and the keys that end it.
#include <cstring>

#include "../fixtures/kivo_fixture.h"
#include "fm/fm_open.h"
#include "fm/fm_switch.h"
#include "fm/la.h"
#include "fm/unix_fm.h"
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
  hooks_.set(screen_seams.write_reg, [](TWND*, const char* t) { return g_text = t, 1; });
  hooks_.set(screen_seams.show, [](SHOW_BLK* b, ARB*) {
    if (!g_main) g_main = b->main_srf;
    if (!g_keys.empty()) b->key_code = g_keys.back(), g_keys.pop_back();
    return 1;
  });
  g_keys = {LK_CANCEL, 300};
  EXPECT_EQ(wm_sys_err_screen("LA", 12, "bad thing"), SYS_ERR_CANCEL);
  ASSERT_EQ(g_text.size(), 12u * 72);
  EXPECT_EQ(g_text.substr(0, 53), std::string(19, ' ') + "An KIVO System Error has Occurred.");
  EXPECT_EQ(g_text.substr(5 * 72, 42), std::string(29, ' ') + "MODULE: LA.12");
  EXPECT_EQ(g_text.substr(9 * 72, 12), "  bad thing ");
  EXPECT_EQ(g_text.substr(11 * 72 + 4, 15), "CANCEL to Abort");
  EXPECT_NE(g_main, 0u) << "a show naming no surface draws the status line alone";
  hooks_.set(screen_seams.write_reg, [](TWND*, const char*) { return 0; });  // no region writing
  EXPECT_EQ(wm_sys_err_screen("LA", 12, "bad thing"), SYS_ERR_NO_WINDOW);
}

// Each process type is named by the message file the installation ships, so
// the PROCESS line reads "application/TYPE - process name".
TEST_F(SysErrors, ProcessLineNamesTheTypeFromTheShippedMessages) {
  std::string data = kivo_test::shipped_installation();
  com.data_dir = cstr{static_cast<uint16_t>(data.size()), data.data()}, com.path_root = cstr{0, nullptr};
  ASSERT_EQ(fm_init(), 1);
  ASSERT_EQ(la_init(), 1);
  ASSERT_EQ(la_slct("00 ", 1), 1);
  load_com();
  hooks_.set(screen_seams.write_reg, [](TWND*, const char* t) { return g_text = t, 1; });
  hooks_.set(screen_seams.show, [](SHOW_BLK* b, ARB*) { return b->key_code = LK_ENTER, 1; });
  const std::pair<uint8_t, const char*> types[] = {{1, "Menu"},    {2, "Input"},      {3, "Output"}, {4, "Action"},
                                                   {5, "Query"},   {6, "Subroutine"}, {7, "Update"}, {8, "Job"},
                                                   {9, "Inquiry"}, {10, "Status"}};
  INVOC inv;
  memset(inv.b, ' ', sizeof inv.b);
  memcpy(inv.b + INVOC_AP_ID, "DEM", 3);
  memcpy(inv.b + INVOC_PROC_NAM, "CUSTOMER ENTRY", 14);
  for (auto [type, name] : types) {
    SCOPED_TRACE(name);
    inv.b[INVOC_PROC_TYPE] = type;
    os_err_set_invoc(&inv);
    EXPECT_EQ(wm_sys_err_screen("LA", 1, "bad thing"), SYS_ERR_CONTINUE);
    ASSERT_EQ(g_text.size(), 12u * 72);
    const std::string row = g_text.substr(6 * 72, 72);
    EXPECT_NE(row.find(std::string("PROCESS: DEM/") + name + " - CUSTOMER ENTRY "), std::string::npos) << row;
  }
  memset(inv.b, ' ', sizeof inv.b);
  os_err_set_invoc(&inv);
  FM_CLOSE(la_current()->arb, 0);
  fms_install(FMS_NATIVE, nullptr);
}

}  // namespace
}  // namespace kivo::test
