// The window manager's dialogue with the user: the start (terminal layer,
// keymaps, base surface with the status and message lines), the show-and-
// read loop with its cursor placement, panning and conversion of edited
// items, and the position lookups used after input and by the field editor.
//
// Invariants: one session per process, started by wm_init before any other
// call here; the keymap of a name is replaced whole by a later pass, never
// key by key; the message line always shows the first pending message of
// the last prepare.
//
// Callers: start-up (wm_init, wm_finish), every screen of the engine
// (wm_show), the terminal manager's field editor (wm_get_ed through
// tm_hooks) and the remote server (wm_get_itm).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fm/fm_objects.h"
#include "foundation/descriptors.h"
#include "screen/tm.h"
#include "screen/wm.h"
#include "screen/wm_files.h"

namespace kivo {

constexpr uint32_t NO_KEYMAP = 300530;  // no "DATA ENTRY" keymap for this terminal/user
constexpr int kKeymapMaxCodes = 999;    // codes of one keymap name in one pass
constexpr uint32_t MSG_MORE = 900;      // appended when more messages wait

// Show flags of SHOW_BLK beside tm.h's SHOW_*.
constexpr uint8_t SHOW_PAINT_ONLY = 0x20;  // alone: repaint and compare, no input
enum : uint32_t { KEY_STATUS_TICK = 0x02 };
// Cursor types of SHOW_BLK.
enum : uint8_t {
  CURS_NONE = 0,
  CURS_ITEM = 1,
  CURS_REG = 2,
  CURS_REL = 3,
  CURS_MAIN = 4,
  CURS_POP = 5,
  CURS_ORIGIN = 6,
  CURS_BASE = 7
};
enum : uint8_t { PAN_ALLOWED = 0x01, PAN_NO_VERTICAL = 0x02 };

// ---- messages (wm_msg.cpp) ----

// The text of message `number` in the current language without trailing
// blanks; empty when it is missing.
std::string wm_msg_text(uint32_t number);
// Adds the text of `number` to a message memory file (la_create_fi); 1, or
// 0 after a system error.
int wm_msg_add(ARB* file, uint32_t number);
// Empties the file.
void wm_msg_clear(ARB* file);
// The first message of `file` (null: none) into `text`; how many there are,
// counting at most two.
int wm_msg_first(ARB* file, std::string* text);

// ---- start (wm_start.cpp) ----

// 1, or 0 with *status NO_KEYMAP or the status of the failed DFLTMAP open,
// the terminal left as wm_finish_failed leaves it.
int wm_init(uint32_t* status);
void wm_finish();
// The end of a start that failed: a local terminal is put back; a remote
// client is sent no FINISH, so that it tells its user the session ended
// instead of ending as after a normal session.
void wm_finish_failed();
void wm_suspend();
void wm_resume();
// Attaches the terminal; the screen size goes to com.scr_rows/scr_cols and
// the maxima.
int wm_trm_attach(tm_attach_blk* blk);
// Compiles the keymaps the positioned stream delivers (KEYMAP records in key
// order, read with the stream's key and mode) into the terminal layer.
void cmpl_keymap(ARB* stream);

// The status line's fields. `kind`: 'D' database, 'A' application, 'V'
// version, 'U' user, 'T' date and time, '1'-'3' the labels 770, 780, 790.
struct stat_field {
  char kind;
  int32_t col, width;
};
struct stat_layout {
  bool compact;
  std::vector<stat_field> fields;
};
// The layout of a line of `cols` columns for label lengths l1-l3 and a clock
// of `ld` columns; with `clock` false the clock is left out.
stat_layout wm_stat_layout(int32_t cols, int32_t l1, int32_t l2, int32_t l3, int32_t ld, bool clock);
// The column of the 10-column mode field: it ends at the line's last column,
// or two columns left of the clock, and stands only when it clears the user
// id by a blank; 0 when there is no room.
int32_t wm_mode_col(const stat_layout& lay, int32_t cols);
// The text of the status line's mode field (blank-padded to 10, cut after);
// the next show shows it.
void wm_set_mode(const char* text);

// ---- show and read (wm_show.cpp, wm_locate.cpp) ----

// 1 when input ended with a key for the caller; with flags exactly 0x20 the
// show's own result. `msgs` (null: none) are shown on the message line.
int wm_show(SHOW_BLK* blk, ARB* msgs);
void prep_scr(SHOW_BLK* blk, ARB* msgs);
// Cursor placement of the working cursor (the session's copy of the block).
void pos(SHOW_BLK* blk);
// Pans the second surface for a pan key; 0 for another code (system error).
int pan_scr(uint32_t key);
void upd_pos(SHOW_BLK* blk);
int wm_locate(TSRF* srf, const ut_point* pos, SHOW_BLK* blk);

// The editable item under a physical position (1-based).
int wm_get_ed(int row, int col, tm_edit* out);
// The field rules of column `col` (region-relative) of item `it` as the
// ATTR_ED_* bits of tm.h: what wm_get_ed tells the local editor, for the
// attribute runs a remote editor reads.
uint32_t wm_item_edit_bits(const TITM& it, int32_t col);
// A character the remote client typed at a physical position: stored in
// the field by the local editor's rule (tm_edit_put), the item's rows
// marked so that the next paint sends its rules anew. 0: no field there.
int wm_put_typed(int row, int col, uint8_t ch);
// The status messages shown: the current surfaces repainted and shown
// without reading input and without touching the message line.
void wm_show_status();
// The lock wait's line (store_hooks.lock_status): on the status-message row
// once the window manager has started, before that on stderr; null removes it.
void wm_lock_line(const char* text);
// What the remote server needs of the item under a physical position.
struct wm_itm_info {
  ut_point top_left;  // physical
  int32_t rows, cols;
  char* text;
  uint16_t len;
  uint8_t type;
  uint8_t opt[2];
  uint8_t opt2;
  CNV* cnv;
};
int wm_get_itm(int row, int col, wm_itm_info* out);
// The item under the cursor of an area (4, 5, 7): its window, region and
// the position inside the region; null when there is none.
struct titm_hit {
  TWND* wnd;
  TREG* reg;
  ut_point reg_pos;
  TITM* item;
};
int find_titm(uint8_t area, titm_hit* out);
// Marks the rows of an item for the next repaint.
void wm_mark_item(TREG* g, const TITM& it);
// The item keys SPLIT, JOIN, END PARAGRAPH and REDISPLAY; 1 done.
int wm_item_key(uint32_t key);

// The session of the start and the show.
struct wm_session {
  bool no_clock = false;  // KIVO_TST_DIR, or a compact status line
  tm_attach_blk attach{};
  TWND* stat_wnd = nullptr;
  std::vector<TITM> si;     // status items ("SI")
  std::vector<CHR_BLK> sc;  // their runs ("SC")
  int dt_index = -1;        // the clock's item in `si`, -1 = none
  std::string stat_shown;   // the values the status line shows
  TWND* msg_wnd = nullptr;
  std::vector<char> msg_line;  // the message line's text, screen columns
  TITM msg_item{};
  ARB* show_msgs = nullptr;  // conversion messages of the current show
  std::string msg900;
  SHOW_DATA sd{};
  std::vector<uint32_t> outline;  // window-outline table, kFrameWords a row
  char keymap_name[10]{};
  char mode[10]{};  // the status line's mode field ("MENU ENTRY", "DATA ENTRY")
  tm_keymap_h* keymap = nullptr;
  tm_keymap_h* data_entry = nullptr;
  // Working copy of the show's cursor fields.
  SHOW_BLK work{};
  TSRF *main = nullptr, *pop = nullptr, *base = nullptr;
  // Set when wm_init has succeeded: from then on the field editor, the
  // status messages and the lock wait's line go through the window manager.
  bool started = false;
  // Set while the terminal layer reads keys for a show: a system error
  // raised meanwhile waits for the read to end (la_show.h).
  bool reading = false;
};
extern wm_session wms;

// The window-outline table of the current surfaces (exposed for tests).
void build_outline(TSRF* main, TSRF* pop, TSRF* base);

}  // namespace kivo
