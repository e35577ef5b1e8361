// Regions, items and attribute runs of a window: regions placed in the
// window's grid (scrolling lists, stacked blocks, flowing text), items whose
// display text lies in a region, and the characteristics (attribute runs)
// over region text, optionally owned by an item.
//
// Invariants: the characteristics of one region row never overlap; every
// placed region lies inside the window; a region's row flags say what the
// next repaint must send (0x04 text, 0x08 attributes). Placement problems of
// items and runs go to the window's status word (first error wins).
//
// Callers: the process engine builds screens here; the repaint
// (wm_repaint.cpp) reads placement, text and runs; show and read (next
// layer up) use the lookups.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <tuple>
#include <vector>

#include "foundation/sys_err.h"  // os_ready: status messages wait for the screen
#include "screen/wm.h"
#include "screen/wm_files.h"

namespace kivo {

// Status codes of the window's status word.
constexpr uint32_t WM_CHR_STREAM = 100000;   // characteristic stream ended with an error
constexpr uint32_t WM_CHR_NO_ITEM = 100010;  // item of a characteristic not found
constexpr uint32_t WM_CHR_START = 100020;    // characteristic starts outside the region
constexpr uint32_t WM_CHR_END = 100030;      // characteristic ends outside the region
constexpr uint32_t WM_ITM_STREAM = 101870;   // item stream ended with an error
constexpr uint32_t WM_ITM_START = 101880;    // item starts outside the region
constexpr uint32_t WM_ITM_END = 101900;      // item ends outside the region
constexpr uint32_t WM_ITM_NONE = 200730;     // item not found
constexpr uint32_t WM_BAD_REG = 200780;      // bad region number

// Row flags of a region.
enum : uint8_t { ROW_TEXT = 0x04, ROW_ATTR = 0x08, ROW_ALL = 0x0C };

// LST_STAT values.
enum : uint8_t { LST_ROOM = 0, LST_FULL = 1, LST_OVER_ONE = 2, LST_OVER_MORE = 3 };

// One characteristic (a TCHR record) in memory: a run over one row, or a
// box over a rectangle (CHR_BOX_RUN in mask). Item is the owning item's id.
struct wm_chr {
  int32_t row, col;         // top-left in the region
  int32_t br_row, end_col;  // bottom row, last column
  uint32_t mask;
  uint8_t chr;
  uint32_t item;  // 0 = none
  int32_t len() const { return end_col - col + 1; }
};

// A window's items and characteristics. The TITM and TCHR files of the
// record layouts in wm_files.h are kept as ordered tables: the keys are the
// files' keys (region id, row, col), the characteristic key adding whether
// it is a box so that a box and a row run may start on one cell.
struct wnd_tables {
  using chr_key = std::tuple<uint32_t, int32_t, int32_t, bool>;
  using itm_key = std::tuple<uint32_t, int32_t, int32_t>;
  std::map<chr_key, wm_chr> chrs;
  std::map<itm_key, TITM> items;
};

// An attribute run as the characteristic code applies it.
struct chr_run {
  TREG* reg;
  int32_t row, col, br_row, br_col;
  uint32_t value, mask;
  uint8_t chr;
  uint32_t item;  // owner id, 0 = none
};

// Where a window cell lies: region number, region and row/col inside it.
struct wreg_hit {
  uint16_t number;
  TREG* reg;
  ut_point pos;
};

// One on-screen piece of a placed region, window-relative: the region's
// text from `text_row` shows in rows [row, row + rows) at column `col`.
struct reg_piece {
  int32_t row, col, rows;
  int32_t text_row;  // 1-based
};

// The region's row flags and text (rows x cols) behind its header.
uint8_t* reg_flags(TREG* g);
uint8_t* reg_text(TREG* g);

// ---- regions; 1 success, 0 failure (the status word says why) ----
// Items are item definitions (position in the region and conversion block
// with its display size); runs are CHR_BLKs. Empty spans write none.
int wm_write_reg(TWND* w, const uint8_t* text, std::span<const TITM> items, std::span<const CHR_BLK> chrs);
int wm_upd_reg(TWND* w, std::span<TITM> items, std::span<const CHR_BLK> chrs);
int wm_del_reg(TWND* w, uint16_t last);
int SET_CUR_REG(TWND* w);
TREG* find_treg(TWND* w, uint16_t number);
int find_wreg(TWND* w, ut_point pos, wreg_hit* out);
// Up to two pieces (a flowing region continues in the next column); 0 when
// the region is not placed.
int reg_pieces(const TWND* w, const TREG* g, reg_piece out[2]);
// Region position -> surface position; 0 and (0, 0) when not shown.
int reg_to_srf(TWND* w, TREG* g, ut_point in, ut_point* out);
// As reg_to_srf, scrolling the window first when the row is scrolled out.
int scroll_to_pos(TWND* w, TREG* g, ut_point in, ut_point* out);

// Placement (exposed for the repaint and the tests).
void insert_reg(TWND* w, TREG* g);
void adjust_reg_pos(TWND* w);
void get_rel_pos(TWND* w, TREG* p, TREG* n);
void scroll_reg(TWND* w, TREG* r);

// ---- items and runs ----
int wm_upd_itm(TWND* w, TITM* def, uint32_t value, uint32_t mask, uint8_t chr);
int wm_insert_itm(TWND* w, const TITM* def, uint32_t value, uint32_t mask, uint8_t chr);
int wm_remove_itm(TWND* w, ut_point pos, uint32_t mask, uint8_t chr);
int wm_upd_chr(TWND* w, const CHR_BLK* blk, uint32_t mask);
// Refreshes the item at the definition's position in the current region;
// the display-compare result goes back into the definition.
int upd_titm(TWND* w, TITM* def);
// An item definition written into region g (101880, 101900 when it does not
// lie inside); a CHR_BLK applied to g under `mask` (100010-100030).
int wm_put_item(TWND* w, TREG* g, const TITM& def);
int wm_apply_blk(TWND* w, TREG* g, const CHR_BLK& blk, uint32_t mask);
int upd_tchr(TWND* w, const chr_run& run);
// The row run covering (row, col) of region g, or null.
const wm_chr* find_tchr(TWND* w, TREG* g, int32_t row, int32_t col);
// The window's tables, made on first use.
wnd_tables* wnd_tabs(TWND* w);
// Frees the tables and marks every region for a full repaint (activation).
void wm_free_tables(TWND* w);
void wm_regions_unpainted(TWND* w);

// A block cleared for one row; its column and width.
void CHR_PREP(CHR_BLK* chr);
void SET_CHR(CHR_BLK* chr, int32_t col, int32_t width);
// Sets the column, item column and width, and appends the block to `file`.
void WRITE_CHR(std::vector<CHR_BLK>& file, CHR_BLK* chr, int32_t col, int32_t width);

// ---- status messages ----
TWND* wm_add_stat(const char* msg, size_t len);
void wm_del_stat(TWND* w);

}  // namespace kivo
