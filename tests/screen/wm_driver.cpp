// wm_driver: runs the window manager with the engine's libraries for the
// screen tests.
//
//   wm_driver [-f=N] COMMANDS RESULT
//
// COMMANDS, one per line: "srf" (a main surface), "wnd R C ROWS COLS" (a
// window on it), "region TEXT" (its text), "alpha R C LEN" and "num R C
// MASK" (entry items in the region), "show KEYMAP TYPE R C" (show and read;
// R C relative to the last window for type 3, else on the main surface).
// After each show RESULT gets "key K status S type T at R C" and "item N
// VALUE" per item; "yield" is the engine's yield point (a lost remote
// client ends the driver with 9). "keys N" paints the screen, then reads N
// keys through the "DATA ENTRY" keymap and writes "key K kind D" for each
// (kind 1 a logical key, 0 a character). -f=N is the remote client's
// socket, as for the engine.
// Keymaps and messages come from KIVOPATH / KIVO_0SA_PATH (fixture_dir).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <memory>
#include <sstream>
#include <vector>

#include "../fixtures/kivo_fixture.h"
#include "editors/remote_term.h"
#include "fm/fm.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/os.h"
#include "foundation/scope.h"
#include "foundation/text.h"
#include "net/net.h"
#include "net/tmnet_srv.h"
#include "screen/screen.h"
#include "screen/tm_input.h"
#include "screen/wm_region.h"
#include "screen/wm_show.h"
#include "types/element.h"

using namespace kivo;

namespace {

struct item {
  bool numeric;
  std::unique_ptr<uint8_t[]> value;
  uint16_t len;
};
TSRF* g_main;
TWND* g_wnd;
std::vector<item> g_items;
FILE* g_out;

void add_item(bool numeric, int row, int col, uint16_t len, const std::string& mask) {
  uint8_t elem[kElementSize];
  INIT_NUM_DELEM(elem, numeric ? 4 : len, numeric ? 5 : 0);
  SET_BLANK(elem + ELEM_MASK, 60);
  if (numeric) memcpy(elem + ELEM_MASK, mask.data(), std::min<size_t>(mask.size(), 60));
  else elem[ELEM_TYPE] = ELEM_ALP;
  item it{numeric, std::make_unique<uint8_t[]>(numeric ? 4 : len), uint16_t(numeric ? 4 : len)};
  memset(it.value.get(), numeric ? 0 : ' ', it.len);
  sitm s;
  cv_item ci{row, col, 0, 0, {}, 0, 1, 0, 1, 0};
  SET_BLANK(ci.mask, sizeof ci.mask);
  cv_bld_sitm(&s, elem, &ci);
  TITM def{};
  cv_cmpl(&def.cnv, &s, nullptr);
  def.cnv.int_addr = it.value.get();
  def.cnv.int_indirect = def.cnv.addr_mode = 0;
  def.tl_row = row, def.tl_col = col, def.edited = 1;
  if (!wm_insert_itm(g_wnd, &def, CELL_EDIT | CELL_TAB, CELL_EDIT | CELL_TAB, 0))
    fprintf(stderr, "wm_driver: item at %d %d refused (%u)\n", row, col, g_wnd->status);
  g_items.push_back(std::move(it));
}

void show(std::istringstream& w) {
  std::string keymap;
  int type = 0;
  SHOW_BLK b{};
  w >> std::quoted(keymap) >> type >> b.rel_row >> b.rel_col;
  keymap.resize(10, ' ');
  memcpy(b.keymap_name, keymap.data(), 10);
  b.show_flags = SHOW_REFRESH | SHOW_INPUT;
  b.main_srf = g_main ? g_main->id : 0;
  b.curs_type = uint8_t(type);
  b.curs_reg = g_wnd ? g_wnd->id : 0;
  b.main_pos = {b.rel_row, b.rel_col};
  wm_show(&b, nullptr);
  fprintf(g_out, "key %u status %u type %u at %d %d\n", b.key_code, b.input_stat, b.curs_type, b.main_pos.row,
          b.main_pos.col);
  for (size_t i = 0; i < g_items.size(); ++i) {
    const char* v = reinterpret_cast<const char*>(g_items[i].value.get());
    if (g_items[i].numeric) fprintf(g_out, "item %zu %d\n", i + 1, int32_t(ld_le32(g_items[i].value.get(), 0)));
    else fprintf(g_out, "item %zu [%.*s]\n", i + 1, int(ut_buflen(v, g_items[i].len)), v);
  }
  fflush(g_out);
}

void read_keys(int n) {
  SHOW_BLK b{};
  b.show_flags = SHOW_REFRESH;
  b.main_srf = g_main ? g_main->id : 0;
  wm_show(&b, nullptr);
  for (int i = 0; i < n; ++i) {
    int kind = 0;
    int key = get_a_c(wms.sd.term, wms.data_entry, &kind);
    fprintf(g_out, "key %d kind %d\n", key, kind);
    fflush(g_out);
  }
}

void play(const char* path) {
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    std::istringstream w(line);
    std::string cmd, rest;
    int r = 0, c = 0, n = 0, m = 0;
    w >> cmd;
    if (cmd == "srf") {
      SRF_BLK b{0, 0, 0};
      g_main = WM_CREATE_SRF(&b, com.sys_scope);
    } else if (cmd == "wnd" && w >> r >> c >> n >> m) {
      WND_BLK b;
      INIT_WND(&b, r, c, n, m, 0);
      g_wnd = WM_ATTACH(&b, g_main, com.sys_scope);
    } else if (cmd == "region" && std::getline(w >> std::ws, rest)) {
      rest.resize(size_t(g_wnd->blk.rows * g_wnd->blk.cols), ' ');
      wm_write_reg(g_wnd, reinterpret_cast<const uint8_t*>(rest.data()), {}, {});
    } else if (cmd == "alpha" && w >> r >> c >> n) {
      add_item(false, r, c, uint16_t(n), "");
    } else if (cmd == "num" && w >> r >> c >> rest) {
      add_item(true, r, c, 0, rest);
    } else if (cmd == "show") {
      show(w);
    } else if (cmd == "keys" && w >> n) {
      read_keys(n);
    } else if (cmd == "yield" && !ss_yield()) {
      exit(kRemoteGoneExit);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // -f=N may come first or last (the test listener appends it).
  const char* sock = nullptr;
  std::vector<char*> files;
  for (int i = 1; i < argc; ++i)
    (strncmp(argv[i], "-f=", 3) == 0 ? void(sock = argv[i] + 3) : files.push_back(argv[i]));
  if (files.size() != 2) return fprintf(stderr, "usage: wm_driver [-f=N] COMMANDS RESULT [-f=N]\n"), 2;
  fm_register_hooks();
  screen_register_hooks();
  net_register_hooks();
  remote_term_register();
  if (!os_init(argc, argv) || !cv_init()) return fprintf(stderr, "wm_driver: start failed\n"), 1;
  com.rmt_sock = uint16_t(sock ? atoi(sock) : 0);
  kivo_test::hook_overrides hooks;
  kivo_test::install_opt_group(hooks);
  if (!la_init() || !la_slct("00 ", com.sys_scope)) return fprintf(stderr, "wm_driver: no messages\n"), 1;
  const char* term = getenv("TERM");
  memset(com.keymap_id, ' ', sizeof com.keymap_id);
  if (term) memcpy(com.keymap_id, term, std::min<size_t>(strlen(term), 10));
  memcpy(com.cur_db, "DB1", 3), memcpy(com.cur_ap, "APP", 3), memcpy(com.cur_ver, "01", 2);
  memcpy(com.user_id, "ABC", 3);
  if (!(g_out = fopen(files[1], "w"))) return 1;
  uint32_t status = 0;
  if (!wm_init(&status)) return fprintf(g_out, "wm_init %u\n", status), fclose(g_out), 3;
  // Tests shorten the remote ping: "interval,timeout" in seconds.
  if (const char* p = getenv("WM_DRIVER_PING"))
    set_tmnet_srv_ping_times(atoi(p), atoi(strchr(p, ',') ? strchr(p, ',') + 1 : p));
  uint32_t end = MARK(MARK_PROCESS, [&] { play(files[0]); });
  wm_finish();
  fprintf(g_out, "end %u\n", end);
  return fclose(g_out) == 0 ? 0 : 1;
}
