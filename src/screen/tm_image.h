// The terminal's screen image: a grid of 4-byte cells that the window
// manager writes text runs into, frames drawn from per-cell line bits, area
// scrolls, and the saved screen that later pictures are compared with.
//
// Nothing here touches curses: tm_screen.cpp shows the image, tm_input.cpp
// edits it. Every write is clipped to the grid: runs, frames and scroll
// areas also come from a remote peer. Rows and columns are 0-based inside,
// 1-based at the interfaces that say so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kivo {

struct tm_cell {
  uint8_t ch;     // 0 blank, 1 pseudo-fill, other values below 32 shown blank
  uint8_t line;   // LINE_* bits; 5-7 survive scrolling
  uint16_t attr;  // CELL_* bits 0-13 of the window manager's attribute
};
static_assert(sizeof(tm_cell) == 4);

enum : uint8_t {
  LINE_LEFT = 0x01,
  LINE_RIGHT = 0x02,
  LINE_UP = 0x04,
  LINE_DOWN = 0x08,
  LINE_UNDER = 0x10,  // edge drawn as underline of the cell
  LINE_DRAWN = 0x1F,  // the bits a frame sets and clearing removes
  LINE_KEPT = 0xE0,   // kept when scrolling copies the cell
};

enum : uint16_t {
  CELL_EDIT = 0x0003,    // both bits: part of an input field
  CELL_TAB = 0x000C,     // both bits: tab stop
  CELL_HIDE_A = 0x0010,  // either: not displayed
  CELL_HIDE_B = 0x0020,
  CELL_EXCLUDE = 0x0030,  // both: left out of the screen comparison
  CELL_UPPER = 0x0400,    // letters typed are upper-cased
  CELL_PSEUDO = 0x3000,   // both: pseudo-fill field
  CELL_ATTR_MASK = 0x3FFF,
};

constexpr uint8_t kPseudoFillChar = 1;
// Larger terminals are used up to this size.
constexpr int kTmMaxDim = 255;
// The last rows (status and message lines) are never compared or saved.
constexpr int kTmUncompared = 3;

// Box characters by index: 0-3 corners (down-right, down-left, up-right,
// up-left), 4 vertical, 5 horizontal, 6-9 tees, 10 cross, 11 fill.
constexpr int kBoxChars = 12;
constexpr int kBoxFill = 11;

struct tm_keymap_h;

// The terminal description: one per process (tm_trm_attach), or one per
// test. Cells are allocated whole at creation, all zero.
struct tm_term {
  int rows = 0;
  int cols = 0;
  int cur_row = 0;  // cursor, 0-based
  int cur_col = 0;
  std::vector<tm_cell> cells;
  std::vector<uint8_t> saved;  // (rows - 3) x cols glyphs; empty until saved
  uint8_t box[kBoxChars];
  bool box_alt = false;      // box characters are the terminal's own (".gdef")
  std::vector<uint8_t> cut;  // cut buffer, one row wide
  int cut_len = 0;
  bool full_repaint = false;  // the next refresh repaints everything
  std::vector<uint8_t> kdef;  // key meta map image (".kdef"), empty when none
};

// A new image of rows x cols (each clamped to 1..kTmMaxDim), default box
// characters, cursor at the top left.
tm_term* tm_image_new(int rows, int cols);
void tm_image_free(tm_term* t);

inline tm_cell* tm_at(tm_term* t, int row, int col) { return &t->cells[static_cast<size_t>(row) * t->cols + col]; }

inline bool tm_cell_match(const tm_cell& c, uint16_t mask) { return (c.attr & mask) == mask && (c.line & 0x0F) == 0; }
inline bool tm_cell_editable(const tm_cell& c) { return tm_cell_match(c, CELL_EDIT); }
inline bool tm_cell_pseudo(const tm_cell& c) { return tm_cell_match(c, CELL_PSEUDO); }

// An attribute run of a text run, the one run type of every terminal
// layer: first column, length, the window manager's 32-bit attribute, and
// the run's char or extended word (nonzero shows the run in reverse video).
// Each layer reads what it needs; the wire form is the remote layer's.
struct tm_attr_run {
  uint16_t col;  // 1-based
  uint16_t len;
  uint32_t attr;
  uint32_t chr;
};

struct tm_text_run {
  const uint8_t* text;
  uint16_t len;
  int row;  // 1-based
  int col;
  const tm_attr_run* runs;
  int nruns;
};

// Writes a text run into the image, clipped at the row's end; attribute runs
// are clipped the same way. 0 when the row or column is off the screen.
int tm_upd_scr(tm_term* t, const tm_text_run& run);

enum : int { SCROLL_UP = 0, SCROLL_DOWN = 1, SCROLL_LEFT = 2, SCROLL_RIGHT = 3 };
// Moves the cells of the area at (row, col) (1-based) of nrows x ncols by
// count in direction; the area is clipped to the screen; cells with no
// source are cleared; copies keep line bits 5-7 only. 0 for a bad
// direction (after a system error), else 1.
int tm_scroll(tm_term* t, int row, int col, int nrows, int ncols, int direction, int count);

// Frame entry flags.
enum : uint32_t {
  FRAME_OUTSIDE = 0x80000000u,
  FRAME_ERASE = 0x40000000u,
  FRAME_BOTTOM_UNDER = 0x20000000u,
  FRAME_TOP_UNDER = 0x10000000u,
  FRAME_DRAW = 0x08000000u,
};
constexpr int kFrameWords = 5;  // top, left, bottom, right (1-based), flags

// Clears the drawn line bits of every cell, then applies each frame entry,
// clipped to the screen.
void tm_apply_frames(tm_term* t, const uint32_t* entries, uint32_t count);

// What a cell shows: its glyph, whether the glyph is a box character in the
// alternate set and whether it is underlined.
struct tm_glyph {
  uint8_t ch;
  bool alt;
  bool underline;
};
tm_glyph tm_cell_glyph(const tm_term* t, const tm_cell& c);

// The glyphs of row `row` (0-based) into out[0..cols).
void tm_row_text(const tm_term* t, int row, char* out);

// The glyphs of the first rows - 3 rows are saved; the comparison answers 1
// when a non-excluded cell differs or nothing was saved, else 0.
void save_screen(tm_term* t);
int compare_screen(const tm_term* t);

// Start column (0-based) and length of the run of cells matching `mask` that
// holds (row, col); length 0 when the cell does not match.
void extent(const tm_term* t, int row, int col, int* start, int* len, uint16_t mask);

// The next cell matching `mask` forward (dir > 0) or backward from (row,
// col), wrapping around the screen; with skip, the cells of the field under
// the start are passed over first. 0 when none, else 1 and the cell in
// (*out_row, *out_col).
int find_field(const tm_term* t, int dir, int row, int col, int* out_row, int* out_col, uint16_t mask, bool skip);

}  // namespace kivo
