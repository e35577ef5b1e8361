// A started window manager on a recording terminal: the terminal switch's
// operations keep a cell image and a log of updates and shows, and the show
// answers from a script of keys. Design files are memory files made through
// the file manager by the shared fixtures.
#pragma once

#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "../fixtures/kivo_fixture.h"
#include "fm/fm_open.h"
#include "fm/lock.h"
#include "screen/tm_input.h"
#include "screen/tm_keys.h"
#include "screen/wm_region.h"
#include "screen/wm_repaint.h"
#include "screen/wm_show.h"
#include "screen/wm_term.h"
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

inline int rec_attach(tm_attach_blk* b) {
  tm_image_free(g_rec.image);  // a second start in one test
  g_rec.image = tm_image_new(24, g_rec.cols);
  b->term = g_rec.image;
  for (int i = 0; i < 3; ++i) b->rows[i] = 24, b->cols[i] = g_rec.cols;
  return 1;
}
inline tm_keymap_h* rec_keymap(const char* name, const int16_t* t) {
  int n = 0;
  while (t[n * kKeymapRowWords] >= 0) ++n;
  g_rec.keymaps.push_back({std::string(name, 10), n});
  return tm_keymap(name, t);
}
inline int rec_update(tm_term* t, const tm_text_run& r) {
  g_rec.log.push_back("u" + std::to_string(r.row));
  return tm_upd_scr(t, r);
}
inline int rec_scroll(tm_term* t, int row, int col, int nrows, int ncols, int dir, int count) {
  return tm_scroll(t, row, col, nrows, ncols, dir, count);
}
inline uint32_t rec_show(SHOW_DATA* sd) {
  g_rec.log.push_back("show");
  auto [status, key] = g_rec.keys.empty() ? std::pair<uint32_t, uint32_t>{KEY_STATUS_NONE, NO_KEY} : g_rec.keys.front();
  if (!g_rec.keys.empty()) g_rec.keys.pop_front();
  sd->status = status;
  sd->key = key;
  return 1;
}
inline void rec_finish() { g_rec.log.push_back("finish"); }
inline void rec_none() {}
inline void rec_init(int) {}
inline const wm_term_ops kRecTerm = {rec_init, rec_attach, rec_keymap, rec_update, rec_scroll,
                                     rec_show, rec_none,   rec_none,   rec_finish};

class WmSession : public WmFresh {
 public:
  void SetUp() override {
    WmFresh::SetUp();
    g_rec = {};
    tm_keymaps_forget();
    wm_term_override = &kRecTerm;
    kivo_test::design_files_in_memory(true);
    memcpy(com.keymap_id, "xterm     ABC", 13);
    memcpy(com.cur_db, "DB1", 3);
    memcpy(com.cur_ap, "APP", 3);
    memcpy(com.cur_ver, "01", 2);
    memcpy(com.user_id, "ABC", 3);
    ASSERT_TRUE(kivo_test::write_messages());
  }
  void TearDown() override {
    wm_clr_scope(com.sys_scope);
    unsetenv("KIVO_TST_DIR");
    set_lock_status_presenter(nullptr);
    tm_hooks.get_ed = nullptr;
    wm_show_hook = nullptr;
    wm_term_override = nullptr;
    wm_term_handle = nullptr;
    tm_image_free(g_rec.image);
    WmFresh::TearDown();
  }
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
  // The text of screen row `row` (1-based) from column `col`, `n` wide.
  static std::string shown(int row, int col, int n) {
    std::string s;
    for (int c = col; c < col + n; ++c) {
      uint8_t ch = tm_at(g_rec.image, row - 1, c - 1)->ch;
      s += ch ? char(ch) : ' ';
    }
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
