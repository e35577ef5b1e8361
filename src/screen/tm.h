// The terminal manager: the character terminal through curses and the tty
// modes, the show block the window manager hands over, the key reader and
// field editor, signals, and the hooks that higher subsystems fill.
//
// Map: tm_image.h holds the cell image (no curses); tm_screen.cpp starts and
// ends the terminal and shows the image; tm_signal.cpp records signals and
// acts on them at the key reader and the yield point; tm_input.cpp turns
// bytes into keys and edits fields; tm_script.cpp plays scripts and macros,
// records and takes snapshots.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/hook_list.h"
#include "screen/tm_image.h"

namespace kivo {

// The show block: in memory it holds pointers, so words 0, 2 and 10 are
// pointer-sized; the order of the words is kept.
struct SHOW_DATA {
  tm_term* term;           // 0: terminal handle
  uint32_t flags;          // 1: SHOW_* flags
  tm_keymap_h* keymap;     // 2: keymap handle (tm_keymap)
  int32_t row;             // 3: cursor row, 1-based; < 1 = last row; out: where input ended
  int32_t col;             // 4: cursor column, 1-based; < 1 = column 1; out
  uint32_t timeout;        // 5: input time-out in seconds, 0 = none
  uint32_t spare;          // 6
  uint32_t key;            // 7: out: key code that ended input, NO_KEY = none
  uint32_t status;         // 8: out: KEY_STATUS_*
  uint32_t nframes;        // 9: frame entries
  const uint32_t* frames;  // 10: kFrameWords words each
};

enum : uint32_t {
  SHOW_CURSOR = 0x01,   // place the cursor, read nothing
  SHOW_REFRESH = 0x02,  // build and refresh the picture
  SHOW_BEEP = 0x04,
  SHOW_INPUT = 0x08,
  SHOW_COMPARE = 0x20,  // alone: build, answer whether it differs from the saved screen
  SHOW_SAVE = 0x40,
};
enum : uint32_t { KEY_STATUS_KEY = 1, KEY_STATUS_NONE = 8 };

// A field's text in the caller's region: the character at the position,
// the cells left in the field from there, and the caller's changed flag.
// Columns of a field's text that its mask writes itself (the slashes of a
// date): typing passes over them. Bit i is the i-th column from the text's
// start; columns past kTmEditLiteralMax are never literal.
constexpr int kTmEditLiteralMax = 256;

struct tm_edit {
  uint8_t* text;
  uint16_t len;
  uint8_t* changed;
  uint64_t literal[kTmEditLiteralMax / 64];  // zero: every column is typed
  // A value the field converts and shows formatted (a number, a date): the
  // first character typed at its start, once the cursor came there,
  // replaces it whole. Text is typed over in place.
  bool replace;
  // The field shows the placeholder of its empty value (the letters of an
  // empty date): no content. The first change clears it (typed columns
  // blank, literals kept) and then acts on the empty field.
  bool placeholder;
  bool is_literal(int i) const { return i >= 0 && i < kTmEditLiteralMax && (literal[i / 64] >> (i % 64)) & 1; }
};

// The one rule by which a character typed at column i of a field becomes
// its text, on a local terminal and on a remote terminal's server alike: a
// blank form (blank, pseudo-fill, none) is stored as a blank; the changed
// flag is set when the text changes.
void tm_edit_put(const tm_edit& ed, int i, uint8_t ch);

// Field rules that a cell's 32-bit window-manager attribute carries beside
// its display bits, so that an editor which sees only cells (a remote
// client's) edits by the rules the local editor reads from wm_get_ed: the
// window manager sets them from the same item facts, tm_row_get_ed reads
// them back. The local image keeps only CELL_ATTR_MASK.
enum : uint32_t {
  ATTR_ED_LITERAL = 0x00200000u,  // the field's mask writes this column: typing passes over it
  ATTR_ED_REPLACE = 0x00400000u,  // the field converts its text (tm_edit::replace)
  ATTR_ED_HINT = 0x00800000u,     // at the paint the field showed its placeholder
};

// A wait for an input byte without bound, and what a bounded wait gives
// when no byte came in time.
constexpr int kWaitForever = -1;
constexpr int kByteLate = -2;

// Entries the terminal manager calls above itself, filled by the
// <library>_register_hooks named beside each, and by the remote client's
// login (the engine run as a character client, editors/remote_term.cpp).
struct tm_hook_table {
  // The field text at (row, col) (1-based): 1 and *out, or 0 = refused.
  // Filled by the remote client at its login (tmnet_cli_get_ed). May stay
  // empty: a local terminal's fields are the window manager's (wm_get_ed,
  // once it has started; refused before).
  int (*get_ed)(int row, int col, tm_edit* out);
  // Option names and codes for scripts and macros, filled by the remote
  // client at its login (tmnet_cli_get_opt). May stay empty: a local
  // terminal reads them with ut_get_opt.
  int32_t (*get_opt)(char* name, size_t len, int32_t code);
  // Hands a remote login to the client (tmnet_cli_setargs,
  // editors_register_hooks); empty: no remote login in this build.
  int (*cli_setargs)(const char* user, const char* pswd, const char* host, const char* port, int remap);
  // The 30-character name of the current invocation (process_register_hooks);
  // empty: none.
  const char* (*process_name)();
  // The debugger's break (dbg_ctl operation 13) for an interrupt key
  // (editors_register_hooks); empty: the break is recorded for the yield point.
  void (*debug_break)();
  // The next input byte, waiting at most `wait_ms` milliseconds for it
  // (kWaitForever: until one comes; kByteLate when none came in time): the
  // remote client's, filled at its login, reads the terminal and watches
  // its connection meanwhile. May stay empty: a local terminal reads with
  // read_meta.
  int (*read_byte)(int wait_ms);
};
extern tm_hook_table tm_hooks;

// clang-format off
#define KIVO_TM_HOOKS(X)    \
  X(tm_hooks, get_ed)       \
  X(tm_hooks, get_opt)      \
  X(tm_hooks, cli_setargs)  \
  X(tm_hooks, process_name) \
  X(tm_hooks, debug_break)  \
  X(tm_hooks, read_byte)
// clang-format on
KIVO_TABLE_LISTED(tm_hooks, KIVO_TM_HOOKS);

// The edit lookup over one row of a character image and its attributes:
// the cells from `col` (1-based) whose attribute has both low bits set, up
// to the end of the row, with the rules their ATTR_ED_* bits carry. `old`
// holds the row as painted (null: as it is): a field still shows its
// placeholder while its hinted cells are as painted. The remote client's
// lookup is this over its image.
int tm_row_get_ed(uint8_t* chars, const uint32_t* attrs, int cols, int col, uint8_t* changed, tm_edit* out,
                  const uint8_t* old = nullptr);

// What tm_trm_attach gives its caller: the handle and three (rows, columns)
// pairs (current, second, maximum), all the screen size.
struct tm_attach_blk {
  tm_term* term;
  int rows[3];
  int cols[3];
};

void tm_init(int disable_optimize);
void tm_finish();
void tm_panic_exit();
void tm_suspend();
void tm_resume();
int tm_trm_attach(tm_attach_blk* blk);
uint32_t tm_show(SHOW_DATA* sd);
// Builds the picture from the image and frames; refreshes when asked.
void show_screen(tm_term* t, const uint32_t* frames, uint32_t nframes, bool refresh);

// Display helpers for the editor and the player; without curses they do
// nothing.
bool tm_curses_on();
void tm_beep();
void tm_show_cell(tm_term* t, int row, int col);
void tm_place_cursor(tm_term* t);
void tm_line_text(int row, const char* text, bool bold);
// The macro line: the formatted text centred on the last line, or (null)
// that line redrawn from the image.
void set_macro_line(const char* format, int number, bool refresh);
// Plain text (a key name, a WAIT text) centred on the macro line.
void tm_macro_text(const char* text);
// Beeps so far, counted with or without a terminal.
unsigned tm_beep_count();

// Signals. The handler only records; the key reader and the yield point act.
void sig_trap(int sig);
void tm_install_signals(bool restart);
bool tm_msg_pending();
void tm_clear_msg();
// Acts on recorded signals: SIGTERM and SIGHUP leave the current level with
// end code 24, which ends the session, SIGTSTP suspends and resumes, SIGINT
// asks the debugger to break, SIGWINCH repaints the terminal.
void tm_sig_act();
// The terminal's new size taken and the image painted on it whole (what
// lies past a smaller terminal's edge is cut off); nothing without curses.
void tm_repaint_resized();
// The signal (SIGTERM, SIGHUP) that ended the session; 0 none.
int tm_end_signal();

}  // namespace kivo
