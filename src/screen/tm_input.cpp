// Keymaps, the key reader and the field editor.
//
// Every change the editor makes goes to the cell, to the screen and to the
// caller's field text; when the caller refuses the text, nothing changes
// and the terminal beeps.
#include "screen/tm_input.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <poll.h>
#include <unistd.h>

#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/os.h"
#include "screen/tm_keys.h"
#include "screen/tm_script.h"
#include "screen/wm_show.h"

namespace kivo {

int tm_input_fd = STDIN_FILENO;

namespace {

tm_keymap_h* g_keymaps = nullptr;

constexpr size_t kKdefNode = 16;
constexpr long kKdefMax = 1 << 20;

}  // namespace

tm_keymap_h* tm_keymap(const char* name, const int16_t* table) {
  if (com.no_term) return nullptr;
  char key[10];
  memset(key, ' ', sizeof key);
  for (size_t i = 0; i < sizeof key && name[i]; ++i) key[i] = name[i];
  tm_keymap_h* h = g_keymaps;
  while (h && memcmp(h->name, key, sizeof key) != 0) h = h->next;
  if (h) {
    free_trie(h->root.child);
    h->root.child = nullptr;
  } else {
    h = new tm_keymap_h{g_keymaps, {}, trie_node{nullptr, nullptr, 0, 0, 0, 0}};
    memcpy(h->name, key, sizeof key);
    g_keymaps = h;
  }
  for (const int16_t* row = table; row[0] >= 0; row += kKeymapRowWords) {
    uint16_t seq[kKeystrokeMax + 1];
    int n = 0;
    while (n < kKeystrokeMax && row[1 + n] >= 0) {
      seq[n] = static_cast<uint16_t>(row[1 + n]);
      ++n;
    }
    seq[n] = kTrieSeqEnd;
    if (trie_node* end = add_trie(&h->root, seq)) end->key = static_cast<uint16_t>(row[0]);
  }
  return h;
}

namespace {

constexpr int kEsc = 0x1B;

// A byte read past the end of a dropped key that begins the next one (-1:
// none); the next read takes it first.
int g_held = -1;

// Milliseconds left until `deadline`, 0 once it has passed.
int ms_left(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), INT_MAX));
}

// The terminal gave no more input: nothing can end the screen it shows, so
// the session ends here rather than read the end for ever.
[[noreturn]] void terminal_lost(int err) {
  tm_finish();
  if (err) fprintf(stderr, "%s: input from the terminal failed: %s\n", program_invocation_short_name, strerror(err));
  else fprintf(stderr, "%s: input from the terminal ended\n", program_invocation_short_name);
  fflush(stderr);
  exit(kExitTerminalLost);
}

// Waits until the terminal is readable, or at most `wait_ms` (not
// kWaitForever): false when no byte came in time.
bool wait_readable(int wait_ms, std::chrono::steady_clock::time_point deadline) {
  pollfd p{tm_input_fd, POLLIN, 0};
  for (;;) {
    const int n = poll(&p, 1, wait_ms == kWaitForever ? -1 : ms_left(deadline));
    if (n < 0 && errno == EINTR) {
      if (tm_msg_pending()) return true;  // the read reports it
      tm_sig_act();
      continue;
    }
    return n != 0;  // a failed poll leaves the fault to the read
  }
}

// A wait for the user's key without a bound keeps the engine's data links
// alive meanwhile. False when a signal interrupted it (the caller acts on
// it first); true when the terminal is readable, the wait failed (the read
// tells why) or no link needs keeping.
bool keep_links_alive() {
  for (int ms; ss_remote_hooks.keepalive && (ms = ss_remote_hooks.keepalive()) >= 0;) {
    pollfd p{tm_input_fd, POLLIN, 0};
    const int n = poll(&p, 1, ms);
    if (n < 0 && errno == EINTR) return false;
    if (n != 0) return true;
  }
  return true;
}

}  // namespace

void tm_keymaps_forget() {
  while (g_keymaps) {
    tm_keymap_h* next = g_keymaps->next;
    delete g_keymaps;  // the tries lie in the session's pools, gone with them
    g_keymaps = next;
  }
  g_held = -1;
}

int read_meta(int wait_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(wait_ms, 0));
  for (;;) {
    tm_sig_act();
    if (tm_msg_pending()) return -1;
    if (wait_ms != kWaitForever && !wait_readable(wait_ms, deadline)) return kByteLate;
    if (wait_ms == kWaitForever && !keep_links_alive()) continue;
    uint8_t b;
    const ssize_t n = read(tm_input_fd, &b, 1);
    if (n == 1) return b;
    if (n < 0 && errno == EINTR) continue;  // the loop acts on what came
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!wait_readable(wait_ms, deadline)) return kByteLate;
      continue;
    }
    terminal_lost(n == 0 ? 0 : errno);
  }
}

int tm_esc_delay() {
  static const int delay = [] {
    const char* v = getenv("KIVO_ESC_DELAY");
    char* end = nullptr;
    const long ms = v ? strtol(v, &end, 10) : 0;
    return v && *v && end && !*end && ms >= 1 && ms <= kEscDelayMax ? static_cast<int>(ms) : kEscDelayDefault;
  }();
  return delay;
}

namespace {

int next_byte(int wait_ms) {
  if (g_held >= 0) return std::exchange(g_held, -1);
  return tm_hooks.read_byte ? tm_hooks.read_byte(wait_ms) : read_meta(wait_ms);
}

int read_failed(int* kind) {
  if (!tm_msg_pending()) return -1;
  tm_clear_msg();
  *kind = KIND_KEY;
  return LK_DIRECT_PROC1;
}

// Where a terminal's escape sequence stands, byte by byte: ESC, then '['
// with parameter and intermediate bytes up to a final byte, 'O' and one
// more byte, or one other byte. Only inside one may a pause end a key: the
// keys of a combination (GO, then END) come as far apart as the user likes.
class esc_seq {
 public:
  void feed(int b) {
    switch (state_) {
      case DONE: state_ = b == kEsc ? ESC_SEEN : DONE; return;
      case ESC_SEEN: state_ = b == '[' ? CSI : b == 'O' ? SS3 : DONE; return;
      case CSI: state_ = b >= 0x20 && b <= 0x3F ? CSI : DONE; return;
      case SS3: state_ = DONE; return;
    }
  }
  bool open() const { return state_ != DONE; }

 private:
  enum { DONE, ESC_SEEN, CSI, SS3 } state_ = DONE;
};

// A key the keymap does not hold: it beeps and gives no character.
int dropped() {
  tm_beep();
  return 0;
}

// Reads past the rest of an escape sequence that matched nothing, as far as
// its bytes come without a pause; an ESC begins the next key and is kept.
// A pending message stays for the next read.
void skip_rest(esc_seq* esc) {
  while (esc->open()) {
    const int b = next_byte(tm_esc_delay());
    if (b < 0) return;
    if (b == kEsc) {
      g_held = b;
      return;
    }
    esc->feed(b);
  }
}

// Byte `b` continues no sequence. The first byte of a key is a data
// character unless it opens an escape sequence; otherwise the key read so
// far is dropped with the rest of its escape sequence, and an ESC that
// could not continue it begins the next key.
int no_match(int b, bool matched, esc_seq* esc) {
  if (!matched && b != kEsc) return b;
  if (matched && b == kEsc) {
    g_held = b;
    return dropped();
  }
  esc->feed(b);
  skip_rest(esc);
  return dropped();
}

}  // namespace

int get_a_c(tm_term*, tm_keymap_h* km, int* kind) {
  int key;
  if (get_script(&key, kind)) return key;
  *kind = KIND_CHAR;
  if (!km || !km->root.child) return next_byte(kWaitForever);
  const trie_node* level = km->root.child;
  esc_seq esc;
  bool matched = false;
  for (;;) {
    const int b = next_byte(esc.open() ? tm_esc_delay() : kWaitForever);
    if (b == kByteLate) return dropped();  // a lone Escape, or a sequence cut short
    if (b < 0) return read_failed(kind);
    const trie_node* n = level;
    while (n && n->code < b) n = n->sibling;
    if (!n || n->code != b) return no_match(b, matched, &esc);
    esc.feed(b);
    if (n->end) {
      *kind = KIND_KEY;
      return n->key;
    }
    level = n->child;
    matched = true;
  }
}

void tm_load_kdef(tm_term* t) {
  t->kdef.clear();
  const char* term = getenv("TERM");
  if (!term || !*term || strchr(term, '/') || strlen(term) > 64) return;
  FILE* f = fopen((std::string(term) + ".kdef").c_str(), "rb");
  if (!f) return;
  std::vector<uint8_t> img;
  uint8_t buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0 && img.size() <= static_cast<size_t>(kKdefMax))
    img.insert(img.end(), buf, buf + n);
  fclose(f);
  if (img.empty() || img.size() % kKdefNode || img.size() > static_cast<size_t>(kKdefMax)) return;
  size_t nodes = img.size() / kKdefNode;
  for (size_t i = 0; i < nodes; ++i)
    if (ld_le32(img.data(), i * kKdefNode) >= nodes || ld_le32(img.data(), i * kKdefNode + 4) >= nodes) return;
  t->kdef = std::move(img);
}

namespace {

// While a key is awaited, the signals interrupt the read; the handlers
// that were in place come back afterwards and the alarm is stopped.
class input_signals {
 public:
  input_signals() {
    for (size_t i = 0; i < kCount; ++i) sigaction(kSigs[i], nullptr, &old_[i]);
    tm_install_signals(false);
  }
  ~input_signals() {
    alarm(0);
    for (size_t i = 0; i < kCount; ++i) sigaction(kSigs[i], &old_[i], nullptr);
  }
  input_signals(const input_signals&) = delete;
  input_signals& operator=(const input_signals&) = delete;

 private:
  static constexpr int kSigs[] = {SIGINT, SIGTERM, SIGHUP, SIGUSR2, SIGALRM, SIGTSTP, SIGWINCH};
  static constexpr size_t kCount = sizeof kSigs / sizeof kSigs[0];
  struct sigaction old_[kCount];
};

tm_cell& cur(tm_term* t) { return *tm_at(t, t->cur_row, t->cur_col); }
bool cur_editable(tm_term* t) { return tm_cell_editable(cur(t)); }

void move_to(tm_term* t, int row, int col) {
  t->cur_row = row;
  t->cur_col = col;
}

void move_right(tm_term* t) {
  if (++t->cur_col < t->cols) return;
  t->cur_col = 0;
  t->cur_row = (t->cur_row + 1) % t->rows;
}

void move_left(tm_term* t) {
  if (--t->cur_col >= 0) return;
  t->cur_col = t->cols - 1;
  t->cur_row = (t->cur_row + t->rows - 1) % t->rows;
}

// The editable field under the cursor: start column and length.
struct field {
  int start = 0;
  int len = 0;
  int end() const { return start + len; }  // one past the last column
};
field cur_field(tm_term* t, uint16_t mask = CELL_EDIT) {
  field f;
  extent(t, t->cur_row, t->cur_col, &f.start, &f.len, mask);
  return f;
}

uint8_t blank_for(const tm_cell& c) { return tm_cell_pseudo(c) ? kPseudoFillChar : ' '; }
bool is_blank(uint8_t ch) { return ch == 0 || ch == ' ' || ch == kPseudoFillChar; }

}  // namespace

void tm_edit_put(const tm_edit& ed, int i, uint8_t ch) {
  const uint8_t text = is_blank(ch) ? ' ' : ch;
  if (i < 0 || i >= ed.len || ed.text[i] == text) return;
  ed.text[i] = text;
  if (ed.changed) *ed.changed = 1;
}

namespace {

// The field text at (row, col), 1-based: the remote client's when it has put
// its own in, else the window manager's once it has started.
bool field_text(int row, int col, tm_edit* out) {
  if (tm_hooks.get_ed) return tm_hooks.get_ed(row, col, out);
  return wms.started && wm_get_ed(row, col, out);
}

// Writes n characters into the row from col on, through the caller's field
// text first: a refusal leaves everything as it was.
bool put_text(tm_term* t, int row, int col, const uint8_t* chars, int n) {
  tm_edit ed{};
  if (!field_text(row + 1, col + 1, &ed)) return false;
  for (int i = 0; i < n; ++i) {
    tm_edit_put(ed, i, chars[i]);
    tm_at(t, row, col + i)->ch = chars[i];
    tm_show_cell(t, row, col + i);
  }
  return true;
}

// Set when the cursor has just come to a field: input began there, or a
// tab or a jump brought it. The first character typed at the start of a
// field that replaces its value on entry (a number, a date) then clears it
// first; any other key clears the flag, so a field reached with the arrows
// is typed over in place.
bool g_fresh_field = false;

bool to_field(tm_term* t, int row, int col, uint16_t mask, bool skip, int dir = 1) {
  int r, c;
  if (!find_field(t, dir, row, col, &r, &c, mask, skip)) return false;
  move_to(t, r, c);
  g_fresh_field = true;
  return true;
}

// The field under the cursor with the columns its mask writes itself, as
// the caller gives them. Read before any write of a key: a caller that
// keeps no edited flag of its own (a remote client's rows) resets it on
// every call, and only the last write's call may decide it.
struct typed_field : field {
  tm_edit ed{};
  bool literal(int col) const { return ed.is_literal(col - start); }
  // The first column typing may write.
  int first_typed() const {
    int c = start;
    while (c < end() - 1 && literal(c)) ++c;
    return c;
  }
  // Past the literals from `col` on, staying in the field.
  int skip(int col) const {
    while (col < end() - 1 && literal(col)) ++col;
    return col;
  }
};

typed_field typed_field_at(tm_term* t) {
  typed_field f;
  static_cast<field&>(f) = cur_field(t);
  if (!field_text(t->cur_row + 1, f.start + 1, &f.ed)) f.ed = tm_edit{};
  return f;
}

// The field's typed columns := blank, its literals kept; the cursor on the
// first typed column.
bool clear_field(tm_term* t, const typed_field& f) {
  std::vector<uint8_t> chars;
  for (int c = f.start; c < f.end(); ++c)
    chars.push_back(f.literal(c) ? tm_at(t, t->cur_row, c)->ch : blank_for(cur(t)));
  if (!put_text(t, t->cur_row, f.start, chars.data(), f.len)) return false;
  t->cur_col = f.first_typed();
  return true;
}

void type_char(tm_term* t, int ch) {
  if (ch < 32) return;
  if (!cur_editable(t) && !to_field(t, t->cur_row, t->cur_col, CELL_EDIT, false)) return tm_beep();
  const typed_field f = typed_field_at(t);
  t->cur_col = f.skip(t->cur_col);
  const bool replace = g_fresh_field && f.ed.replace && t->cur_col == f.first_typed();
  g_fresh_field = false;
  const int col = t->cur_col;
  if ((replace || f.ed.placeholder) && !clear_field(t, f)) return tm_beep();
  if (!replace) t->cur_col = col;  // a placeholder goes; the character lands where typed
  if ((cur(t).attr & CELL_UPPER) && islower(ch)) ch = toupper(ch);
  uint8_t b = static_cast<uint8_t>(ch);
  if (!put_text(t, t->cur_row, t->cur_col, &b, 1)) return tm_beep();
  if (t->cur_col == f.end() - 1) {
    if (!to_field(t, t->cur_row, t->cur_col, CELL_EDIT, true)) move_right(t);
    return;
  }
  t->cur_col = f.skip(t->cur_col + 1);
}

// A change to a field that shows its placeholder clears it first (the
// cursor stays): true when it did, and the field is empty now.
bool cleared_placeholder(tm_term* t) {
  if (!cur_editable(t)) return false;
  const typed_field f = typed_field_at(t);
  if (!f.ed.placeholder) return false;
  const int col = t->cur_col;
  if (!clear_field(t, f)) tm_beep();
  t->cur_col = col;
  return true;
}

// The characters of the field from column `from` to its end.
std::vector<uint8_t> field_chars(tm_term* t, const field& f, int from) {
  std::vector<uint8_t> out;
  for (int c = from; c < f.end(); ++c) out.push_back(tm_at(t, t->cur_row, c)->ch);
  return out;
}

void insert_char(tm_term* t) {
  if (!cur_editable(t)) return tm_beep();
  if (cleared_placeholder(t)) return;
  field f = cur_field(t);
  std::vector<uint8_t> chars = field_chars(t, f, t->cur_col);
  chars.insert(chars.begin(), blank_for(cur(t)));
  chars.pop_back();  // the last character is lost
  if (!put_text(t, t->cur_row, t->cur_col, chars.data(), static_cast<int>(chars.size()))) tm_beep();
}

void delete_char(tm_term* t) {
  if (!cur_editable(t)) return tm_beep();
  if (cleared_placeholder(t)) return;
  field f = cur_field(t);
  std::vector<uint8_t> chars = field_chars(t, f, t->cur_col + 1);
  chars.push_back(blank_for(cur(t)));
  if (!put_text(t, t->cur_row, t->cur_col, chars.data(), static_cast<int>(chars.size()))) tm_beep();
}

// Deletes the character left of the cursor, inside the field the cursor is
// in, or, from just past a field's end on its row, that field's last. At
// the start of a field, or with no field to the left on the row, it beeps
// and changes nothing: a Backspace never wraps into another field (whose
// text may be a placeholder, not content).
void backspace(tm_term* t) {
  const field f = cur_field(t);
  const bool inside = f.len && t->cur_col > f.start;
  const bool past_end = !f.len && t->cur_col > 0 && tm_cell_editable(*tm_at(t, t->cur_row, t->cur_col - 1));
  if (!inside && !past_end) return tm_beep();
  if (inside && cleared_placeholder(t)) return;
  --t->cur_col;
  delete_char(t);
}

void del_to_beg(tm_term* t) {
  field f = cur_field(t);
  if (!cur_editable(t) || t->cur_col == f.start) return tm_beep();
  if (cleared_placeholder(t)) return;
  std::vector<uint8_t> chars = field_chars(t, f, t->cur_col);
  chars.resize(f.len, blank_for(cur(t)));
  if (!put_text(t, t->cur_row, f.start, chars.data(), f.len)) return tm_beep();
  t->cur_col = f.start;
}

void del_end_item(tm_term* t) {
  if (!cur_editable(t)) return tm_beep();
  if (cleared_placeholder(t)) return;
  field f = cur_field(t);
  std::vector<uint8_t> chars(f.end() - t->cur_col, blank_for(cur(t)));
  if (!put_text(t, t->cur_row, t->cur_col, chars.data(), static_cast<int>(chars.size()))) tm_beep();
}

void move_to_end(tm_term* t) {
  if (!cur_editable(t)) return tm_beep();
  field f = cur_field(t);
  int last = f.start - 1;
  for (int c = f.start; c < f.end(); ++c)
    if (!is_blank(tm_at(t, t->cur_row, c)->ch)) last = c;
  t->cur_col = last + 1 < f.end() ? last + 1 : f.end() - 1;
}

void cut(tm_term* t) {
  int to = cur_editable(t) ? cur_field(t).end() : t->cols;
  t->cut_len = 0;
  for (int c = t->cur_col; c < to; ++c) {
    uint8_t ch = tm_at(t, t->cur_row, c)->ch;
    t->cut[t->cut_len++] = is_blank(ch) ? ' ' : ch;
  }
}

void paste(tm_term* t) {
  if (!cur_editable(t)) return tm_beep();
  cleared_placeholder(t);
  field f = cur_field(t);
  int n = std::min(t->cut_len, f.end() - t->cur_col);
  std::vector<uint8_t> chars(t->cut.begin(), t->cut.begin() + n);
  for (uint8_t& ch : chars)
    if (ch == ' ') ch = blank_for(cur(t));
  if (!put_text(t, t->cur_row, t->cur_col, chars.data(), n)) tm_beep();
}

void back_tab(tm_term* t) {
  field f = cur_field(t, CELL_TAB);
  g_fresh_field = true;
  if (f.len && t->cur_col > f.start) {
    t->cur_col = f.start;
    return;
  }
  int r, c;
  if (!find_field(t, -1, t->cur_row, t->cur_col, &r, &c, CELL_TAB, true)) return tm_beep();
  int start, len;
  extent(t, r, c, &start, &len, CELL_TAB);
  move_to(t, r, start);
}

void redraw_row(tm_term* t, int row) {
  if (row < 0 || row >= t->rows) return;
  tm_line_text(row, "", false);
  for (int c = 0; c < t->cols; ++c) tm_show_cell(t, row, c);
}

void macro_key(tm_term* t, tm_keymap_h* km) {
  if (tm_step_state() == STEP_PAUSED) return tm_set_step_state(STEP_RESUME);
  if (tm_macro_defining() != NO_KEY) {
    add_macro(SC_END, 0);
    set_macro_line(nullptr, 0, true);
    return;
  }
  tm_line_text(t->rows - 2, "Press the macro option you want to define", true);
  tm_beep();
  int kind;
  int key = get_a_c(t, km, &kind);
  redraw_row(t, t->rows - 2);
  if (key >= 0) record(key, kind);
  // Keys outside the macro slots are refused and touch nothing.
  if (kind != KIND_KEY || key < 0 || key >= kMacroSlots) return tm_beep();
  tm_set_macro_number(key);
  add_macro(5, 0);
}

void edit_key(tm_term* t, int key, tm_keymap_h* km) {
  g_fresh_field = false;  // the keys that bring the cursor to a field set it again
  switch (key) {
    case LK_TAB:
      if (!to_field(t, t->cur_row, t->cur_col, CELL_TAB, true)) tm_beep();
      break;
    case LK_BACK_TAB: back_tab(t); break;
    case LK_UP: t->cur_row = (t->cur_row + t->rows - 1) % t->rows; break;
    case LK_DOWN: t->cur_row = (t->cur_row + 1) % t->rows; break;
    case LK_LEFT: move_left(t); break;
    case LK_RIGHT: move_right(t); break;
    case LK_INSERT: insert_char(t); break;
    case LK_BACKSPACE: backspace(t); break;
    case LK_DEL_TO_BEG: del_to_beg(t); break;
    case LK_DEL_END_ITEM: del_end_item(t); break;
    case LK_MOVE_TO_END: move_to_end(t); break;
    case LK_REDRAW: t->full_repaint = true; break;
    case LK_DELETE_CHAR: delete_char(t); break;
    case LK_CUT: cut(t); break;
    case LK_PASTE: paste(t); break;
    case LK_MACRO: macro_key(t, km); break;
    case LK_HOME:
      if (!to_field(t, 0, 0, CELL_TAB, false)) tm_beep();
      break;
    case LK_TAB_DOWN:
      if (!to_field(t, (t->cur_row + 1) % t->rows, 0, CELL_TAB, false)) tm_beep();
      break;
    default: tm_beep(); break;  // MOVE TO BEG, the GO keys and unknown codes
  }
}

// A logical key below the editing keys: true when input goes on.
bool plain_key(tm_term* t, int key) {
  if ((key == LK_SPLIT || key == LK_END_PARAGRAPH || key == LK_JOIN) && !cur_editable(t)) {
    tm_beep();
    return true;
  }
  if (key >= 1 && key < kMacroSlots && tm_macro_defined(key) && tm_macro_defining() == NO_KEY &&
      tm_macro_playing() == NO_KEY) {
    tm_play_macro(key);
    return true;
  }
  return false;
}

void place(tm_term* t, const SHOW_DATA* sd) {
  t->cur_row = sd->row < 1 ? t->rows - 1 : std::min<int>(sd->row, t->rows) - 1;
  t->cur_col = sd->col < 1 ? 0 : std::min<int>(sd->col, t->cols) - 1;
}

void report_cursor(const tm_term* t, SHOW_DATA* sd) {
  sd->row = t->cur_row + 1;
  sd->col = t->cur_col + 1;
}

}  // namespace

void do_input(tm_term* t, SHOW_DATA* sd, bool position_only) {
  place(t, sd);
  if (position_only) return;
  g_fresh_field = true;
  input_signals guard;
  for (;;) {
    tm_place_cursor(t);
    if (sd->timeout) alarm(sd->timeout);
    int kind;
    int key = get_a_c(t, sd->keymap, &kind);
    alarm(0);
    if (key < 0) return report_cursor(t, sd);
    record(key, kind);
    if (kind == KIND_CHAR) {
      type_char(t, key);
    } else if (key >= LK_TAB) {
      edit_key(t, key, sd->keymap);
    } else if (!plain_key(t, key)) {
      sd->status = KEY_STATUS_KEY;
      sd->key = static_cast<uint32_t>(key);
      snapshot(t, key, t->cur_row, t->cur_col);
      return report_cursor(t, sd);
    }
  }
}

}  // namespace kivo
