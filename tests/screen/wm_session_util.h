// A started window manager on a recording terminal: the terminal switch's
// operations keep a cell image and a log of row updates and shows, and the
// show answers from a script of keys. Design files are native files of a
// scratch data directory, made through the file manager by the shared
// fixtures.
#pragma once

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "../fixtures/kivo_fixture.h"
#include "fm/fm.h"
#include "fm/fm_switch.h"
#include "fm/la.h"
#include "fm/unix_fm.h"
#include "screen/screen.h"
#include "screen/tm_input.h"
#include "screen/tm_keys.h"
#include "screen/wm_region.h"
#include "screen/wm_repaint.h"
#include "screen/wm_show.h"
#include "screen/wm_term.h"
#include "store/lock.h"
#include "store/store.h"
#include "wm_test_util.h"

namespace kivo::test {

struct rec_term {
  int cols = 80;
  std::vector<std::string> log;                      // "u<row>" per row update, "show", "finish"
  std::deque<std::pair<uint32_t, uint32_t>> keys;    // (status, key) the shows answer
  std::vector<std::pair<std::string, int>> keymaps;  // name and rows handed in
  tm_term* image = nullptr;
};
inline rec_term g_rec;

inline const wm_term_ops kRecTerm = {
    [](int) {},
    [](tm_attach_blk* b) {
      tm_image_free(g_rec.image);  // a second start in one test
      b->term = g_rec.image = tm_image_new(24, g_rec.cols);
      for (int i = 0; i < 3; ++i) b->rows[i] = 24, b->cols[i] = g_rec.cols;
      return 1;
    },
    [](const char* name, const int16_t* t) {
      int n = 0;
      while (t[n * kKeymapRowWords] >= 0) ++n;
      g_rec.keymaps.push_back({std::string(name, 10), n});
      return tm_keymap(name, t);
    },
    [](tm_term* t, const tm_text_run& r) { return g_rec.log.push_back("u" + std::to_string(r.row)), tm_upd_scr(t, r); },
    tm_scroll,
    [](SHOW_DATA* sd) {
      g_rec.log.push_back("show");
      sd->status = KEY_STATUS_NONE, sd->key = NO_KEY;
      if (!g_rec.keys.empty()) std::tie(sd->status, sd->key) = g_rec.keys.front(), g_rec.keys.pop_front();
      return 1u;
    },
    [] {},
    [] {},
    [] { g_rec.log.push_back("finish"); }};

class WmSession : public WmFresh {
 public:
  void SetUp() override {
    WmFresh::SetUp();
    g_rec = {};
    tm_keymaps_forget();
    hooks_.set(wm_term_override, &kRecTerm);
    com.data_dir = com.path_root = cstr{uint16_t(dir_.path.size()), dir_.path.data()};
    ASSERT_EQ(fm_init(), 1);  // again, on the scratch directory
    memcpy(com.keymap_id, "xterm     ABC", 13);
    memcpy(com.cur_db, "DB1", 3), memcpy(com.cur_ap, "APP", 3), memcpy(com.cur_ver, "01", 2);
    memcpy(com.user_id, "ABC", 3);
    ASSERT_TRUE(kivo_test::write_messages());
    ASSERT_TRUE(la_init() && la_slct("00 ", com.sys_scope));
  }
  void TearDown() override {
    wm_clr_scope(com.sys_scope);
    unsetenv("KIVO_TST_DIR");
    wms.started = false;  // the next test's window manager has not started
    wm_term_handle = nullptr;
    tm_image_free(g_rec.image);
    fms_install(FMS_NATIVE, nullptr);
    WmFresh::TearDown();
  }
  kivo_test::data_dir dir_;
  // DFLTMAP with MENU ENTRY and DATA ENTRY for the terminal.
  static void defaults() {
    ASSERT_TRUE(kivo_test::write_keymap(true, "xterm", "", "DATA ENTRY", {{304, "\r"}, {278, "\x04"}}));
    ASSERT_TRUE(kivo_test::write_keymap(true, "xterm", "", "MENU ENTRY", {{1, "\x1bOP"}, {2, "\x1bOQ"}}));
  }
  static uint32_t start() {
    uint32_t status = 0;
    wm_clr_scope(com.sys_scope);  // the windows of an earlier start in the test
    wm_init(&status);
    for (auto& e : captured_errors()) ADD_FAILURE() << e;
    return status;
  }
  // Screen row `row` from column `col`, `n` wide (1-based).
  static std::string shown(int row, int col, int n) {
    std::string s;
    for (int c = col; c < col + n; ++c) s += char(std::max<uint8_t>(tm_at(g_rec.image, row - 1, c - 1)->ch, ' '));
    return s;
  }
  static SHOW_BLK block(const char* keymap, uint8_t flags = SHOW_REFRESH | SHOW_INPUT) {
    SHOW_BLK b{};
    b.show_flags = flags;
    memcpy(b.keymap_name, keymap, 10);
    return b;
  }
};

}  // namespace kivo::test
