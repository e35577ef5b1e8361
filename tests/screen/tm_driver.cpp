// tm_driver: runs the terminal manager alone for the screen tests.
//
//   tm_driver COMMANDS RESULT
//
// COMMANDS, one per line: "text R C WORDS", "field R C LEN [U][P] [TEXT]"
// (an editable tab-stop field, U upper case, P pseudo-filled), "frame T L B R
// FLAGS" (hex), "show FLAGS" (hex, default 0A), "timeout N", "cursor R C".
// The program shows the screen once with input and writes the key code,
// key status, cursor, screen size, the level's end code, whether the tty
// modes came back, and each field's text to RESULT. "fault" or "overflow"
// ends it by a fatal signal right after the first picture. Keys come from a fixed
// keymap built from the default combinations (the fixtures' test terminal).
#include <sys/mman.h>
#include <termios.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "../fixtures/hook_override.h"
#include "../fixtures/kivo_fixture.h"
#include "foundation/com.h"
#include "foundation/os.h"
#include "foundation/pool.h"
#include "foundation/scope.h"
#include "screen/tm.h"
#include "screen/tm_input.h"
#include "screen/tm_keys.h"

using namespace kivo;

namespace {

struct field_def {
  int row, col, len;
};

struct driver {
  std::vector<field_def> fields;
  std::vector<uint32_t> frames;
  uint32_t show = SHOW_REFRESH | SHOW_INPUT;
  uint32_t timeout = 0;
  int row = 0, col = 0;
  // The field texts as the window manager would hold them: characters and
  // attributes of the whole screen.
  std::vector<uint8_t> chars;
  std::vector<uint32_t> attrs;
  uint8_t changed = 0;
  int cols = 0;
  std::string crash;  // "fault" or "overflow" once the screen is up
};
driver d;

int driver_get_ed(int row, int col, tm_edit* out) {
  size_t at = static_cast<size_t>(row - 1) * d.cols;
  return tm_row_get_ed(&d.chars[at], &d.attrs[at], d.cols, col, &d.changed, out);
}

const char* driver_process() { return "TMDRIVER"; }

void put_run(tm_term* t, int row, int col, const std::string& text, uint16_t attr) {
  tm_attr_run run{static_cast<uint16_t>(col), static_cast<uint16_t>(text.size()), attr, 0};
  tm_upd_scr(t, tm_text_run{reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint16_t>(text.size()), row, col,
                            &run, 1});
  for (size_t i = 0; i < text.size() && col - 1 + i < static_cast<size_t>(t->cols) && row <= t->rows; ++i) {
    size_t at = static_cast<size_t>(row - 1) * t->cols + col - 1 + i;
    d.chars[at] = static_cast<uint8_t>(text[i]);
    d.attrs[at] = attr;
  }
}

void read_commands(const char* path, tm_term* t) {
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    std::istringstream w(line);
    std::string cmd, rest;
    w >> cmd;
    if (cmd == "text") {
      int r, c;
      w >> r >> c;
      std::getline(w >> std::ws, rest);
      put_run(t, r, c, rest, 0);
    } else if (cmd == "field") {
      int r, c, n;
      std::string opts;
      w >> r >> c >> n >> opts;
      std::getline(w >> std::ws, rest);
      uint16_t attr = CELL_EDIT | CELL_TAB;
      if (opts.find('U') != std::string::npos) attr |= CELL_UPPER;
      if (opts.find('P') != std::string::npos) attr |= CELL_PSEUDO;
      rest.resize(n, ' ');
      put_run(t, r, c, rest, attr);
      d.fields.push_back(field_def{r, c, n});
    } else if (cmd == "frame") {
      uint32_t e[kFrameWords];
      w >> e[0] >> e[1] >> e[2] >> e[3] >> std::hex >> e[4];
      d.frames.insert(d.frames.end(), e, e + kFrameWords);
    } else if (cmd == "show") {
      w >> std::hex >> d.show;
    } else if (cmd == "timeout") {
      w >> d.timeout;
    } else if (cmd == "cursor") {
      w >> d.row >> d.col;
    } else if (cmd == "fault" || cmd == "overflow") {
      d.crash = cmd;
    }
  }
}

tm_keymap_h* default_keymap() {
  static int16_t rows[kDefaultKeymapRows][kKeymapRowWords];
  kivo_test::test_keymap_table(&rows[0][0]);
  return tm_keymap("DATA ENTRY", &rows[0][0]);
}

volatile int g_depth_limit = -1;

int deep(int n) {
  volatile char pad[4096];
  pad[n % 4096] = 1;
  return n == g_depth_limit ? 0 : deep(n + 1) + pad[0];
}

// Ends the process by a fatal signal with recovery not armed.
[[noreturn]] void crash(const std::string& how) {
  if (how == "overflow") deep(0);
  // A page that may not be touched: a real fault, not a null store the
  // sanitizers of a checked build would stop first.
  void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  *static_cast<volatile int*>(page) = 1;
  abort();
}

bool same_modes(const termios& a, const termios& b) {
  return a.c_lflag == b.c_lflag && a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: tm_driver COMMANDS RESULT\n");
    return 2;
  }
  com_fill(argc, argv);
  mm_init();
  kivo_test::hook_overrides hooks;
  kivo_test::install_opt_group(hooks);
  hooks.set(tm_hooks.get_ed, driver_get_ed);
  hooks.set(tm_hooks.process_name, driver_process);
  termios before{};
  bool tty = tcgetattr(STDIN_FILENO, &before) == 0;

  tm_init(0);
  tm_attach_blk blk{};
  tm_trm_attach(&blk);
  tm_term* t = blk.term;
  d.cols = t->cols;
  d.chars.assign(static_cast<size_t>(t->rows) * t->cols, ' ');
  d.attrs.assign(d.chars.size(), 0);
  read_commands(argv[1], t);
  if (!d.crash.empty()) {
    ss_unix_init();
    show_screen(t, d.frames.data(), static_cast<uint32_t>(d.frames.size() / kFrameWords), true);
    crash(d.crash);
  }

  SHOW_DATA sd{};
  sd.term = t;
  sd.flags = d.show;
  sd.keymap = default_keymap();
  sd.row = d.row;
  sd.col = d.col;
  sd.timeout = d.timeout;
  sd.nframes = static_cast<uint32_t>(d.frames.size() / kFrameWords);
  sd.frames = d.frames.data();
  uint32_t end = MARK(MARK_PROCESS, [&] { tm_show(&sd); });
  tm_finish();

  termios after{};
  bool restored = !tty || (tcgetattr(STDIN_FILENO, &after) == 0 && same_modes(before, after));
  FILE* out = fopen(argv[2], "w");
  if (!out) return 1;
  fprintf(out, "key %u\nstatus %u\ncursor %d %d\nsize %d %d\nend %u\nmodes %s\n", sd.key, sd.status, sd.row, sd.col,
          t->rows, t->cols, end, restored ? "restored" : "changed");
  for (size_t i = 0; i < d.fields.size(); ++i) {
    const field_def& f = d.fields[i];
    std::string text(reinterpret_cast<char*>(&d.chars[static_cast<size_t>(f.row - 1) * t->cols + f.col - 1]), f.len);
    text.erase(text.find_last_not_of(' ') + 1);
    fprintf(out, "field %zu [%s]\n", i + 1, text.c_str());
  }
  return fclose(out) == 0 ? 0 : 1;
}
