// The window manager's objects and request blocks: surfaces (TSRF) on which
// windows (TWND) lie, their regions (TREG), the process-wide block `xwm`, and
// the blocks through which callers ask for surfaces, windows, shows and
// attribute runs.
//
// Invariants: surfaces and windows are kept in ascending SCOPE order in the
// global lists, so a level's clean-up removes from the end; a window without
// a surface is in limbo and stays in the global window list. The 4-byte
// fields that name an object (block handles, OBS/OWN of the rectangle files)
// hold ids from the window manager's own table (wm_obj_id / wm_obj), never
// addresses.
//
// Callers: the process engine, editors and debugger through WM_CREATE_SRF,
// WM_ATTACH and INIT_WND; scope clearing through wm_clr_scope.
#pragma once

#include <cstdint>

#include "fm/fm_objects.h"
#include "foundation/pool.h"
#include "foundation/rect.h"

namespace kivo {

constexpr uint32_t WM_NO_FIT = 103300;  // window does not fit its surface
constexpr int32_t kPlaneEdge = 0x7fffffff;

// Window state bits.
enum : uint8_t { WND_RECOMPUTE = 0x01, WND_COMMIT = 0x02, WND_INACTIVE = 0x10 };

struct TWND;
struct TREG;

// Surface request. `handle` is out: the surface's id.
struct SRF_BLK {
  uint32_t handle;
  int32_t rows;  // 0 = screen rows - 3
  int32_t cols;  // 0 = screen columns
};

// Window request, filled by INIT_WND. `handle` and `status` are out.
struct WND_BLK {
  uint32_t handle;
  int32_t row;  // 0 = centred, negative = from the bottom
  int32_t col;  // 0 = centred, negative = right-aligned
  int32_t rows, cols;
  int32_t reg_rows, reg_cols;  // one region cell; 0 = the window size
  uint8_t scroll_type;         // 0-4
  uint8_t flag;
  uint8_t flag2, flag3;
  uint32_t status;
};

// Show-and-read request and its answer. The process engine (frames, action
// logs, INQUIRY pages), the message window and the image editor fill the
// request: the surfaces, the pan, the cursor and the keymap; wm_show
// answers in the same block: key_code and input_stat, and where the cursor
// ended (reg_pos, item_pos), which the caller's key loop reads.
struct SHOW_BLK {
  uint8_t show_flags;
  char keymap_name[10];
  uint32_t main_srf, pop_srf;
  int32_t pan_top, pan_left, pan_bottom, pan_right;
  int32_t pan_top_to, pan_left_to, pan_bottom_to, pan_right_to;
  uint8_t curs_type;
  ut_point main_pos, pop_pos, base_pos;
  uint32_t curs_reg;
  int32_t rel_row, rel_col;
  ut_point reg_pos, item_pos;
  uint32_t key_code;
  uint32_t input_stat;
  uint32_t input_timeout;
};

// Attribute-run request.
struct CHR_BLK {
  uint32_t spare;
  int32_t row, col;
  int32_t rows, cols;
  uint32_t value;
  uint32_t chr;                // low byte kept with the run
  int32_t item_row, item_col;  // item row 0 = the run belongs to no item
};

// Surface. In memory only; pointer fields make it larger than the 32-bit
// block, fields in the same order.
struct TSRF {
  ut_point SRF_SIZE;  // rows, cols
  ut_point POSITION;  // last cursor position
  ut_point ORIGIN;    // pan offset: logical = physical - origin
  ARB* rect_arb;      // the RECT file
  ARB* rect_vis;      // stream on it reading visible rectangles (key 1)
  uint8_t changed;    // 1: rebuild at the next repaint
  uint32_t SCOPE;
  uint16_t TWND_CNT;
  TWND* first_wnd;  // windows in attach order: later ones lie on top
  TWND* last_wnd;
  TSRF* prev;  // global surface list
  TSRF* next;
  uint32_t id;  // this surface's id in the object table
};

// Window, followed in the same allocation by two (row, col) tables of one
// pair per region column: the previous and the new first free row. In
// memory only; pointers make it larger than the 32-bit block, fields in order.
// Above the screen (the process engine's frames, the image editor) a window
// is only a handle passed back to the wm_ calls; its fields are the window
// manager's alone.
struct TWND {
  uint16_t reg_no;
  ut_point txt_size;
  uint16_t scroll_pos;
  uint16_t REG_CNT;
  uint16_t first_vis;
  uint16_t vis_rows;
  uint16_t free_rows;
  uint8_t LST_STAT;
  uint32_t status;
  WND_BLK blk;  // copy of the request
  ut_point BOT_RIGHT;
  uint8_t state;        // WND_* bits
  uint16_t reg_cols_n;  // region columns
  uint16_t reg_rows_n;  // region rows per column
  int32_t grid_h, grid_w;
  uint16_t CUR_REG;
  TREG* cur_reg;
  TREG* last_reg;
  TSRF* srf;     // null while in limbo
  ARB* itm_arb;  // TITM and TCHR files, made on first use
  ARB* chr_arb;
  ARB* chr_strm;
  uint32_t SCOPE;
  POOL* pool;  // " TW" + the window number
  TREG* first_reg;
  TREG* last_reg_list;
  TWND* prev;  // global window list
  TWND* next;
  TWND* srf_prev;  // the surface's window list
  TWND* srf_next;
  uint32_t id;
  ut_point* free_prev;  // the two tables behind the window
  ut_point* free_new;
  struct wnd_tables* tables;  // items and runs (wm_region.h), made on first use

  ut_point TOP_LEFT() const { return {blk.row, blk.col}; }  // the copy's row and col
};

// Region of a window; its row flags and text follow in the same block.
// In memory only, sized by sizeof like the window.
struct TREG {
  TWND* wnd;
  int32_t old_tl_row, old_tl_col, old_br_row, old_br_col;
  int32_t new_tl_row, new_tl_col, new_br_row, new_br_col;
  ut_point SIZE;
  uint16_t painted;
  uint16_t ACROSS;
  uint16_t ROW;
  uint16_t VIS;
  TREG* prev;
  TREG* next;
  uint32_t id;  // its id in the object table
};

// The process's window-manager state.
struct wm_state {
  POOL* pool;  // " WM", session level
  ARB* trect;
  ARB* tkeymap;
  TSRF* first_srf;
  TSRF* last_srf;
  TWND* first_wnd;
  TWND* last_wnd;
  TSRF* last_main;
  TSRF* last_pop;
  ut_point last_pop_origin;
  TWND* stat_wnd;
  ARB* si_arb;
  ARB* sc_arb;
};
extern wm_state xwm;

// ---- object ids ----

// Enters an object in the table; ids start at 1 and are not reused while the
// process runs, so a stale id never names a newer object.
uint32_t wm_obj_id(void* obj);
// The object of an id, or null (0, unknown, or released).
void* wm_obj(uint32_t id);
void wm_obj_release(uint32_t id);

// Resets the state (a fresh session: no objects, ids from 1) and makes the
// window manager's pool. 1 on success.
int wm_objects_init();

// ---- surfaces and windows; 1 success, 0 failure ----

int wm_create_srf(SRF_BLK* blk, uint32_t scope);
int wm_destroy_srf(TSRF* srf);
// 0 with blk->status when the window does not fit (the window is released).
int wm_attach(WND_BLK* blk, TSRF* srf, uint32_t scope);
// 0 with the window's status WM_NO_FIT; the window stays in limbo.
int wm_reattach(TWND* wnd, TSRF* srf, ut_point pos);
int wm_detach(TWND* wnd, int del);
int wm_actv(TWND* wnd);
int wm_deactv(TWND* wnd);
void wm_clr_scope(uint32_t level);

TSRF* WM_CREATE_SRF(SRF_BLK* blk, uint32_t level);
TWND* WM_ATTACH(WND_BLK* blk, TSRF* srf, uint32_t level);
void INIT_WND(WND_BLK* blk, int32_t row, int32_t col, int32_t rows, int32_t cols, uint8_t flag);

// ---- coordinates ----
void SRF_TO_PHY(ut_point* out, ut_point in, const TSRF* srf, ut_point phys_tl);
void LOG_TO_PHY(ut_point* out, ut_point in, const TSRF* srf);
void PHY_TO_LOG(ut_point* out, ut_point in, const TSRF* srf);

// ---- dumps to standard output ----
void dbg_wm();
void dbg_twnd(TWND* wnd);
void dbg_limbo();
void dbg_tsrf();
void dbg_trect();
void dbg_scope();

}  // namespace kivo
