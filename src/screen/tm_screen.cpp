// Starting and ending the terminal, the tty modes, the box characters, and
// showing the image through curses. Box characters of the defaults are
// written in the normal set: only a ".gdef" names the terminal's own bytes,
// which need the alternate set.
#include <curses.h>
#include <term.h>
#include <termios.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <pwd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "foundation/cmdline.h"
#include "foundation/com.h"
#include "foundation/foundation.h"
#include "foundation/os.h"
#include "foundation/sys_err.h"
#include "screen/tm.h"
#include "screen/tm_input.h"
#include "screen/tm_keys.h"
#include "screen/tm_script.h"

namespace kivo {

tm_hook_table tm_hooks;

namespace {

bool g_curses = false;
bool g_finished = false;
bool g_have_modes = false;
bool g_disable_optimize = false;
struct termios g_old_modes;
tm_term* g_term = nullptr;

constexpr size_t kTermNameMax = 64;

void set_raw_modes() {
  struct termios m;
  if (tcgetattr(STDIN_FILENO, &m) != 0) return;
  m.c_lflag |= ISIG;
  m.c_lflag &= ~(ICANON | ECHO);
  m.c_oflag &= ~OPOST;
  m.c_iflag &= ~(INLCR | ICRNL | IGNCR);
  m.c_cc[VMIN] = 1;
  m.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSADRAIN, &m);
}

void old_modes() {
  if (g_have_modes) tcsetattr(STDIN_FILENO, TCSADRAIN, &g_old_modes);
}

// TERM as a file-name part: set, not too long, and no directory in it.
const char* term_name() {
  const char* t = getenv("TERM");
  if (!t || !*t || strlen(t) > kTermNameMax || strchr(t, '/')) return nullptr;
  return t;
}

bool read_gdef(const std::string& path, uint8_t box[kBoxChars]) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return false;
  uint8_t buf[kBoxChars];
  size_t n = fread(buf, 1, kBoxChars, f);
  fclose(f);
  if (n < kBoxChars) return false;  // too short: the defaults stay
  memcpy(box, buf, kBoxChars);
  return true;
}

void load_box_chars(tm_term* t) {
  const char* term = term_name();
  if (!term) return;
  std::string name = std::string(term) + ".gdef";
  std::string places[3] = {"./" + name, "", ""};
  if (struct passwd* pw = getpwuid(getuid())) places[1] = std::string(pw->pw_dir) + "/" + name;
  if (com.data_dir.ptr && com.data_dir.len) places[2] = std::string(com.data_dir.ptr, com.data_dir.len) + "/" + name;
  for (const std::string& p : places) {
    if (!p.empty() && read_gdef(p, t->box)) {
      t->box_alt = true;
      return;
    }
  }
}

void screen_cleanup() {
  if (!g_curses) return;
  curs_set(1);
  move(0, 0);
  clear();
  refresh();
  endwin();
  g_curses = false;
  old_modes();
}

attr_t curses_attr(uint16_t a, const tm_glyph& g) {
  attr_t out = 0;
  if (a & 0x40) out |= A_BOLD;
  if (a & 0x80) out |= A_REVERSE;
  if ((a & 0x100) || g.underline) out |= A_UNDERLINE;
  if (a & 0x200) out |= A_BLINK;
  if (g.alt) out |= A_ALTCHARSET;
  return out;
}

void put_cell(tm_term* t, int row, int col) {
  const tm_cell& c = *tm_at(t, row, col);
  tm_glyph g = tm_cell_glyph(t, c);
  mvaddch(row, col, static_cast<chtype>(g.ch) | curses_attr(c.attr, g));
}

int clamp_dim(int v) { return std::clamp(v, 1, kTmMaxDim); }

// The bytes that put the terminal back as a shell expects it: attributes
// off, cursor shown, keypad local, the normal screen.
void prepare_fatal_reset() {
  std::string reset;
  for (const char* cap : {"sgr0", "cnorm", "rmkx", "rmcup"}) {
    const char* s = tigetstr(const_cast<char*>(cap));
    if (s && s != reinterpret_cast<char*>(-1)) reset += s;
  }
  ss_set_fatal_tty(g_have_modes ? &g_old_modes : nullptr, reset.data(), reset.size());
}

// Whether terminal type `t` can place the cursor, which every screen needs
// (a "dumb" one cannot, and curses would draw it as lines of blanks); a type
// not known is left to the start to name. Writes nothing.
bool places_cursor(const char* t) {
  int err = 0;
  if (setupterm(t, STDOUT_FILENO, &err) != OK) return true;
  const char* cup = tigetstr(const_cast<char*>("cup"));
  const bool places = cup && cup != reinterpret_cast<char*>(-1);
  del_curterm(cur_term);
  return places;
}

// Starts curses on TERM. The library's own start ends the process with
// "Error opening terminal", which names no variable; a TERM unset or
// unknown ends the start here with what to do about it.
void open_screen() {
  const char* t = getenv("TERM");
  constexpr char kHow[] = "set it to the terminal's type (as in \"export TERM=xterm\") and start again";
  if (!t || !*t) startup_err((std::string("TERM is not set: ") + kHow).c_str(), 1);
  const std::string name(t, strnlen(t, kTermNameMax));
  if (!places_cursor(t))
    startup_err(("TERM \"" + name + "\" is a terminal type that cannot place the cursor: " + kHow).c_str(), 1);
  SCREEN* s = newterm(t, stdout, stdin);
  if (!s) startup_err(("TERM \"" + name + "\" is not a terminal type this system knows: " + kHow).c_str(), 1);
  set_term(s);
}

}  // namespace

bool tm_curses_on() { return g_curses; }

void tm_init(int disable_optimize) {
  init_script();
  if (com.no_term) {
    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTTOU, &sa, nullptr);
    sigaction(SIGTTIN, &sa, nullptr);
    return;
  }
  g_have_modes = tcgetattr(STDIN_FILENO, &g_old_modes) == 0;
  open_screen();
  static bool registered = false;
  if (!registered) registered = atexit(tm_panic_exit) == 0;
  g_curses = true;
  g_finished = false;
  if (init_1string) putp(init_1string);
  nonl();
  noecho();
  keypad(stdscr, TRUE);
  tm_install_signals(true);
  set_raw_modes();
  curs_set(0);
  g_disable_optimize = disable_optimize == 1;
  prepare_fatal_reset();
}

void tm_finish() {
  if (!g_curses) return;
  save_macros();
  signal(SIGINT, SIG_DFL);
  screen_cleanup();
  ss_set_fatal_tty(nullptr, nullptr, 0);
  g_finished = true;
}

void tm_panic_exit() {
  if (!g_finished) screen_cleanup();
}

void tm_suspend() {
  if (!g_curses) return;
  move(LINES - 1, 0);
  curs_set(1);
  refresh();
  old_modes();
}

void tm_resume() {
  if (!g_curses) return;
  set_raw_modes();
  clearok(curscr, TRUE);
  curs_set(0);
  refresh();
}

int tm_trm_attach(tm_attach_blk* blk) {
  if (g_term) {
    sys_err("TMUNIX", __LINE__, "tm_trm_attach() - FAILURE: terminalsP");
    return 0;
  }
  int rows = g_curses ? clamp_dim(LINES) : 24, cols = g_curses ? clamp_dim(COLS) : 80;
  g_term = tm_image_new(rows, cols);
  load_box_chars(g_term);
  tm_load_kdef(g_term);
  blk->term = g_term;
  for (int i = 0; i < 3; ++i) {
    blk->rows[i] = g_term->rows;
    blk->cols[i] = g_term->cols;
  }
  return 1;
}

static unsigned g_beeps = 0;

void tm_beep() {
  ++g_beeps;
  if (g_curses) beep();
}

unsigned tm_beep_count() { return g_beeps; }

void tm_macro_text(const char* text) {
  if (g_term) tm_line_text(g_term->rows - 1, text, false);
}

void tm_show_cell(tm_term* t, int row, int col) {
  if (g_curses) put_cell(t, row, col);
}

void tm_place_cursor(tm_term* t) {
  if (!g_curses) return;
  if (t->full_repaint) clearok(curscr, TRUE);
  t->full_repaint = false;
  move(t->cur_row, t->cur_col);
  refresh();
}

void tm_line_text(int row, const char* text, bool bold) {
  if (!g_curses || row < 0 || row >= LINES) return;
  int len = static_cast<int>(strlen(text));
  int col = std::max((COLS - len) / 2, 0);
  int y, x;
  getyx(stdscr, y, x);
  move(row, 0);
  clrtoeol();
  if (bold) attron(A_BOLD);
  mvaddnstr(row, col, text, COLS - col);
  if (bold) attroff(A_BOLD);
  move(y, x);
  refresh();
}

void set_macro_line(const char* format, int number, bool refresh_now) {
  if (!g_curses || !g_term) return;
  int row = g_term->rows - 1;
  if (format) {
    char text[64];
    snprintf(text, sizeof text, format, number);
    tm_line_text(row, text, false);
    return;
  }
  move(row, 0);
  clrtoeol();
  for (int c = 0; c < g_term->cols; ++c) put_cell(g_term, row, c);
  move(g_term->cur_row, g_term->cur_col);
  if (refresh_now) refresh();
}

namespace {

// The whole image into curses' picture, the macro line over it, the cursor
// placed; not yet on the terminal.
void paint(tm_term* t) {
  erase();
  for (int r = 0; r < t->rows && r < LINES; ++r) {
    move(r, 0);
    clrtoeol();
    for (int c = 0; c < t->cols && c < COLS; ++c) put_cell(t, r, c);
  }
  if (tm_macro_defining() != NO_KEY) set_macro_line(" Defining macro %d ", tm_macro_defining(), false);
  else if (tm_macro_playing() != NO_KEY) set_macro_line(" Playing macro %d ", tm_macro_playing(), false);
  move(std::min(t->cur_row, LINES - 1), std::min(t->cur_col, COLS - 1));
}

}  // namespace

void tm_repaint_resized() {
  if (!g_curses || !g_term) return;
  winsize ws{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0) resizeterm(ws.ws_row, ws.ws_col);
  paint(g_term);
  clearok(curscr, TRUE);  // the terminal's own picture is not known now
  refresh();
}

void show_screen(tm_term* t, const uint32_t* frames, uint32_t nframes, bool refresh_now) {
  tm_apply_frames(t, frames, nframes);
  if (!g_curses) return;
  paint(t);
  if (!refresh_now) return;
  if (g_disable_optimize || t->full_repaint) clearok(curscr, TRUE);
  t->full_repaint = false;
  refresh();
}

uint32_t tm_show(SHOW_DATA* sd) {
  tm_term* t = sd->term;
  if (sd->flags == SHOW_COMPARE) {
    if (com.no_term) return 0;
    show_screen(t, sd->frames, sd->nframes, false);
    return static_cast<uint32_t>(compare_screen(t));
  }
  sd->key = NO_KEY;
  sd->status = KEY_STATUS_NONE;
  if (sd->flags & SHOW_BEEP) tm_beep();
  if (sd->flags & SHOW_CURSOR) {
    if (g_curses) curs_set(1);
    do_input(t, sd, true);
    tm_place_cursor(t);
    if (g_curses) curs_set(0);
  }
  if (com.no_term) {
    sd->key = LK_END;
    sd->status = KEY_STATUS_KEY;
    return 1;
  }
  if (sd->flags & SHOW_REFRESH) show_screen(t, sd->frames, sd->nframes, true);
  if ((sd->flags & SHOW_INPUT) && sd->key == NO_KEY) {
    if (g_curses) curs_set(1);
    do_input(t, sd, false);
    if (g_curses) curs_set(0);
  }
  if (sd->flags & SHOW_SAVE) save_screen(t);
  return 1;
}

int tm_row_get_ed(uint8_t* chars, const uint32_t* attrs, int cols, int col, uint8_t* changed, tm_edit* out,
                  const uint8_t* old) {
  if (col < 1 || col > cols) return 0;
  int n = 0;
  while (col - 1 + n < cols && (attrs[col - 1 + n] & 3) == 3) ++n;
  *changed = 0;
  const uint32_t* a = attrs + col - 1;
  *out = tm_edit{chars + col - 1, static_cast<uint16_t>(n), changed, {}, n > 0 && (a[0] & ATTR_ED_REPLACE) != 0, false};
  for (int i = 0; i < n && i < kTmEditLiteralMax; ++i)
    if (a[i] & ATTR_ED_LITERAL) out->literal[i / 64] |= uint64_t{1} << (i % 64);
  // The hinted cells from `col` on are the field's own: a field that lies
  // right before a hinted one (the run goes on into it) shows none.
  bool as_painted = n > 0 && (a[0] & ATTR_ED_HINT);
  for (int i = 0; as_painted && i < n && (a[i] & ATTR_ED_HINT); ++i)
    if (old && old[col - 1 + i] != chars[col - 1 + i]) as_painted = false;
  out->placeholder = as_painted;
  return 1;
}

}  // namespace kivo
