// wm_driver: runs the window manager with the engine's libraries for the
// screen tests.
//
//   wm_driver [-f=N] COMMANDS RESULT
//
// COMMANDS, one per line: "srf" (a main surface), "wnd R C ROWS COLS" (a
// window on it), "region TEXT" (the window's text, blank-padded), "alpha R C
// LEN" and "num R C MASK" (entry items in the region), "show KEYMAP TYPE R C"
// (show and read with that keymap and cursor type; R C are the position
// relative to the last window for type 3, else on the main surface). After
// each show RESULT gets "key K status S type T at R C" and "item N VALUE"
// for each item. -f=N is the remote client's socket, as for the engine.
// Keymaps and messages come from the data directory of KIVOPATH and
// KIVO_0SA_PATH (made by fixture_dir for $TERM).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "../fixtures/kivo_fixture.h"
#include "fm/scope_clear.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/pool.h"
#include "foundation/scope.h"
#include "foundation/text.h"
#include "screen/scope_clear.h"
#include "screen/wm_region.h"
#include "screen/wm_show.h"
#include "types/cnv.h"
#include "types/element.h"

using namespace kivo;

namespace {

struct item {
  bool numeric;
  std::unique_ptr<uint8_t[]> value;
  uint16_t len;
};

struct driver {
  TSRF* main = nullptr;
  TWND* wnd = nullptr;
  std::vector<item> items;
  FILE* out = nullptr;
};
driver d;

CNV compile(const uint8_t* elem, int row, int col, uint8_t* value) {
  sitm s;
  cv_item it{row, col, 0, 0, {}, 0, 1, 0, 1, 0};
  SET_BLANK(it.mask, sizeof it.mask);
  cv_bld_sitm(&s, elem, &it);
  CNV c{};
  cv_cmpl(&c, &s, nullptr);
  c.int_addr = value;
  c.int_indirect = 0;
  c.addr_mode = 0;
  return c;
}

void add_item(bool numeric, int row, int col, int len, const std::string& mask) {
  uint8_t elem[kElementSize];
  INIT_NUM_DELEM(elem, numeric ? 4 : uint16_t(len), numeric ? 5 : 0);
  if (!numeric) elem[ELEM_TYPE] = ELEM_ALP, SET_BLANK(elem + ELEM_MASK, 60);
  else SET_BLANK(elem + ELEM_MASK, 60), memcpy(elem + ELEM_MASK, mask.data(), std::min<size_t>(mask.size(), 60));
  item it{numeric, std::make_unique<uint8_t[]>(size_t(numeric ? 4 : len)), uint16_t(numeric ? 4 : len)};
  memset(it.value.get(), numeric ? 0 : ' ', it.len);
  TITM def{};
  def.tl_row = row;
  def.tl_col = col;
  def.cnv = compile(elem, row, col, it.value.get());
  def.edited = 1;
  if (!wm_insert_itm(d.wnd, &def, CELL_EDIT | CELL_TAB, CELL_EDIT | CELL_TAB, 0))
    fprintf(stderr, "wm_driver: item at %d %d refused (%u)\n", row, col, d.wnd->status);
  d.items.push_back(std::move(it));
}

void report(const SHOW_BLK& b) {
  fprintf(d.out, "key %u status %u type %u at %d %d\n", b.key_code, b.input_stat, b.curs_type, b.main_pos.row,
          b.main_pos.col);
  for (size_t i = 0; i < d.items.size(); ++i) {
    const item& it = d.items[i];
    if (it.numeric) fprintf(d.out, "item %zu %d\n", i + 1, int32_t(ld_le32(it.value.get(), 0)));
    else
      fprintf(d.out, "item %zu [%.*s]\n", i + 1, int(ut_buflen((const char*)it.value.get(), it.len)), it.value.get());
  }
  fflush(d.out);
}

void show(std::istringstream& w) {
  std::string keymap;
  int type = 0, row = 0, col = 0;
  w >> std::quoted(keymap) >> type >> row >> col;
  SHOW_BLK b{};
  b.show_flags = SHOW_REFRESH | SHOW_INPUT;
  keymap.resize(10, ' ');
  memcpy(b.keymap_name, keymap.data(), 10);
  b.main_srf = d.main ? d.main->id : 0;
  b.curs_type = uint8_t(type);
  b.curs_reg = d.wnd ? d.wnd->id : 0;
  b.rel_row = b.main_pos.row = row;
  b.rel_col = b.main_pos.col = col;
  wm_show(&b, nullptr);
  report(b);
}

void play(const char* path) {
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    std::istringstream w(line);
    std::string cmd, rest, mask;
    int r = 0, c = 0, n = 0, m = 0;
    w >> cmd;
    if (cmd == "srf") {
      SRF_BLK b{0, 0, 0};
      d.main = WM__CREATE_SRF(&b, com.sys_scope);
    } else if (cmd == "wnd") {
      w >> r >> c >> n >> m;
      WND_BLK b;
      INIT_WND(&b, r, c, n, m, 0);
      d.wnd = WM__ATTACH(&b, d.main, com.sys_scope);
    } else if (cmd == "region") {
      std::getline(w >> std::ws, rest);
      rest.resize(size_t(d.wnd->blk.rows * d.wnd->blk.cols), ' ');
      wm_write_reg(d.wnd, reinterpret_cast<const uint8_t*>(rest.data()), {}, {});
    } else if (cmd == "alpha") {
      w >> r >> c >> n;
      add_item(false, r, c, n, "");
    } else if (cmd == "num") {
      w >> r >> c >> mask;
      add_item(true, r, c, 0, mask);
    } else if (cmd == "show") {
      show(w);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  int arg = 1;
  int sock = 0;
  if (argc > 1 && strncmp(argv[1], "-f=", 3) == 0) sock = atoi(argv[1] + 3), ++arg;
  if (argc - arg != 2) {
    fprintf(stderr, "usage: wm_driver [-f=N] COMMANDS RESULT\n");
    return 2;
  }
  fm_register_hooks();
  wm_register_hooks();
  if (!os_init(argc, argv) || !cv_init()) return fprintf(stderr, "wm_driver: start failed\n"), 1;
  com.rmt_sock = uint16_t(sock);
  kivo_test::install_opt_group();
  const char* term = getenv("TERM");
  memset(com.keymap_id, ' ', sizeof com.keymap_id);
  if (term) memcpy(com.keymap_id, term, std::min<size_t>(strlen(term), 10));
  memcpy(com.cur_db, "DB1", 3);
  memcpy(com.cur_ap, "APP", 3);
  memcpy(com.cur_ver, "01", 2);
  memcpy(com.user_id, "ABC", 3);
  d.out = fopen(argv[arg + 1], "w");
  if (!d.out) return 1;
  uint32_t status = 0;
  if (!wm_init(&status)) return fprintf(d.out, "wm_init %u\n", status), fclose(d.out), 3;
  uint32_t end = MARK(MARK_PROCESS, [&] { play(argv[arg]); });
  wm_finish();
  fprintf(d.out, "end %u\n", end);
  return fclose(d.out) == 0 ? 0 : 1;
}
