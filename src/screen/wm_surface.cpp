// Surfaces and windows: creation, placement on a surface, limbo, removal,
// activation and the clean-up of a scope level, with the object-id table
// that the 4-byte fields use.
//
// Invariants: the global surface and window lists and each surface's window
// list are doubly linked; the global lists are in ascending SCOPE order. A
// window is on at most one surface and its rectangles are in that surface's
// RECT file exactly while `srf` is set.
#include <cstdio>
#include <cstring>
#include <vector>

#include "fm/fm_open.h"
#include "foundation/com.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "screen/screen.h"
#include "screen/wm.h"
#include "screen/wm_rect.h"
#include "screen/wm_region.h"

namespace kivo {

wm_state xwm;

namespace {

constexpr const char* kModule = "WM1";
std::vector<void*> g_objs;  // id - 1 -> object; released ids stay null

// Inserts `e` after the last element whose scope is at or below its own.
template <class T>
void insert_by_scope(T*& first, T*& last, T* e) {
  T* after = last;
  while (after && after->SCOPE > e->SCOPE) after = after->prev;
  e->prev = after;
  e->next = after ? after->next : first;
  (e->next ? e->next->prev : last) = e;
  (after ? after->next : first) = e;
}

template <class T>
void unlink(T*& first, T*& last, T* e) {
  (e->prev ? e->prev->next : first) = e->next;
  (e->next ? e->next->prev : last) = e->prev;
  e->prev = e->next = nullptr;
}

void srf_unlink_wnd(TSRF* s, TWND* w) {
  (w->srf_prev ? w->srf_prev->srf_next : s->first_wnd) = w->srf_next;
  (w->srf_next ? w->srf_next->srf_prev : s->last_wnd) = w->srf_prev;
  w->srf_prev = w->srf_next = nullptr;
}

void srf_append_wnd(TSRF* s, TWND* w) {
  w->srf_prev = s->last_wnd;
  w->srf_next = nullptr;
  (s->last_wnd ? s->last_wnd->srf_next : s->first_wnd) = w;
  s->last_wnd = w;
}

int32_t screen_rows() { return int32_t(com.scr_rows) - 3; }

// Rows or cols of one region cell and their count along one side: 0 count
// when the cell is larger than the window.
uint16_t cells(uint8_t scroll, int32_t size, int32_t cell) {
  if (!scroll || !cell) return 1;
  return uint16_t(size / cell);
}

// Closes a window's item and characteristic files with scratch, ends its
// pool, takes it out of the global list and frees it.
void free_wnd(TWND* w) {
  for (ARB* a : {w->itm_arb, w->chr_arb})
    if (a && !FM_CLOSE(a, ARB_SCRATCH)) sys_err(kModule, __LINE__, "wm_detach() - close with scratch");
  wm_free_tables(w);
  if (w->pool) mm_destroy_pool(w->pool);
  unlink(xwm.first_wnd, xwm.last_wnd, w);
  wm_obj_release(w->id);
  mm_free(w);
}

TWND* new_wnd(const WND_BLK* blk, uint16_t ncols, uint16_t nrows, uint32_t scope) {
  size_t size = sizeof(TWND) + 2 * ncols * sizeof(ut_point);
  auto* w = static_cast<TWND*>(MM_ALLOC(xwm.pool, size));
  memset(w, 0, size);
  w->free_prev = reinterpret_cast<ut_point*>(w + 1);
  w->free_new = w->free_prev + ncols;
  for (uint16_t i = 0; i < 2 * ncols; ++i) w->free_prev[i] = {1, 1};
  w->blk = *blk;
  w->reg_cols_n = ncols;
  w->reg_rows_n = nrows;
  w->SCOPE = scope;
  if (!w->blk.reg_rows) w->blk.reg_rows = blk->rows;
  if (!w->blk.reg_cols) w->blk.reg_cols = blk->cols;
  w->id = wm_obj_id(w);
  w->blk.handle = w->id;
  return w;
}

void set_grid(TWND* w) {
  if (w->blk.scroll_type) {
    w->blk.reg_rows = w->blk.rows / w->reg_rows_n;
    w->blk.reg_cols = w->blk.cols / w->reg_cols_n;
    w->grid_h = w->blk.reg_rows * w->reg_rows_n;
    w->grid_w = w->blk.reg_cols * w->reg_cols_n;
  } else {
    w->grid_h = w->blk.rows;
    w->grid_w = w->blk.cols;
  }
}

// The window's pool, named by a number unique for the run so that no two
// windows ever share one.
POOL* wnd_pool(uint32_t scope) {
  static uint32_t wnd_no;
  char name[16];
  snprintf(name, sizeof name, " TW%08X", ++wnd_no);
  return mm_create_pool(name, scope);
}

// The top-left of a window placed at `pos` on `s`.
ut_point place(const TSRF* s, const TWND* w, ut_point pos) {
  int32_t row = pos.row, col = pos.col;
  if (row == 0) row = s->SRF_SIZE.row / 2 - (w->blk.rows / 2 - 1);
  else if (row < 0) row += s->SRF_SIZE.row;
  if (col == 0) col = s->SRF_SIZE.col / 2 - (w->blk.cols / 2 - 1);
  else if (col < 0) col = s->SRF_SIZE.col - w->blk.cols + 1;
  return {row, col};
}

}  // namespace

uint32_t wm_obj_id(void* obj) {
  g_objs.push_back(obj);
  return uint32_t(g_objs.size());
}

void* wm_obj(uint32_t id) { return id && id <= g_objs.size() ? g_objs[id - 1] : nullptr; }

void wm_obj_release(uint32_t id) {
  if (id && id <= g_objs.size()) g_objs[id - 1] = nullptr;
}

int wm_objects_init() {
  xwm = {};
  g_objs.clear();
  xwm.pool = mm_create_pool(" WM        ", com.sys_scope);  // names are 11 characters
  return xwm.pool != nullptr;
}

int wm_create_srf(SRF_BLK* blk, uint32_t scope) {
  if (!blk) return sys_err(kModule, __LINE__, "wm_create_srf - bad srf"), 0;
  auto* s = static_cast<TSRF*>(MM_ALLOC(xwm.pool, sizeof(TSRF)));
  memset(s, 0, sizeof *s);
  s->SRF_SIZE = {blk->rows ? blk->rows : screen_rows(), blk->cols ? blk->cols : int32_t(com.scr_cols)};
  s->changed = 1;
  s->SCOPE = scope;
  if (!rect_file_create(s, scope)) {
    mm_free(s);
    return 0;
  }
  s->id = wm_obj_id(s);
  insert_by_scope(xwm.first_srf, xwm.last_srf, s);
  blk->handle = s->id;
  return 1;
}

int wm_destroy_srf(TSRF* s) {
  if (!s) return sys_err(kModule, __LINE__, "wm_destroy_srf - bad srf"), 0;
  while (TWND* w = s->first_wnd) {
    srf_unlink_wnd(s, w);
    free_wnd(w);
  }
  if (com.cur_srf == s) com.cur_srf = nullptr;
  if (com.cur_srf2 == s) com.cur_srf2 = nullptr;
  rect_file_close(s);
  unlink(xwm.first_srf, xwm.last_srf, s);
  wm_obj_release(s->id);
  mm_free(s);
  return 1;
}

int wm_attach(WND_BLK* blk, TSRF* srf, uint32_t scope) {
  if (!blk) return sys_err(kModule, __LINE__, "wm_attach() - bad wnd"), 0;
  if (blk->rows < 1 || blk->cols < 1) return sys_err(kModule, __LINE__, "wm_attach() - invalid window size"), 0;
  uint16_t nrows = cells(blk->scroll_type, blk->rows, blk->reg_rows);
  uint16_t ncols = cells(blk->scroll_type, blk->cols, blk->reg_cols);
  // A cell larger than the window leaves no cell at all; the grid would
  // divide by that count.
  if (blk->reg_rows < 0 || blk->reg_cols < 0 || !nrows || !ncols)
    return sys_err(kModule, __LINE__, "wm_attach() - invalid region size"), 0;
  TWND* w = new_wnd(blk, ncols, nrows, scope);
  if (srf && !wm_reattach(w, srf, {blk->row, blk->col})) {
    blk->status = w->status;
    blk->handle = 0;
    wm_obj_release(w->id);
    mm_free(w);
    return 0;
  }
  set_grid(w);
  w->pool = wnd_pool(scope);
  insert_by_scope(xwm.first_wnd, xwm.last_wnd, w);
  blk->handle = w->id;
  return 1;
}

int wm_reattach(TWND* w, TSRF* s, ut_point pos) {
  if (!w) return sys_err(kModule, __LINE__, "wm_reattach  - bad  reg"), 0;
  if (!s) return sys_err(kModule, __LINE__, "wm_reattach  - bad  srf"), 0;
  if (w->srf) wm_detach(w, 0);
  ut_point tl = place(s, w, pos);
  if (tl.row < 1 || tl.col < 1) {
    w->status = WM_NO_FIT;
    return 0;
  }
  w->blk.row = tl.row, w->blk.col = tl.col;
  w->BOT_RIGHT = {tl.row + w->blk.rows - 1, tl.col + w->blk.cols - 1};
  s->changed = 1;
  w->state |= WND_RECOMPUTE;
  ++s->TWND_CNT;
  srf_append_wnd(s, w);
  w->srf = s;
  return make_rect(s, w);
}

int wm_detach(TWND* w, int del) {
  if (!w) return sys_err(kModule, __LINE__, "wm_detach() - bad reg"), 0;
  if (TSRF* s = w->srf) {
    s->changed = 1;
    --s->TWND_CNT;
    srf_unlink_wnd(s, w);
    w->srf = nullptr;
    uncover_rect(s, w);
  }
  if (del) free_wnd(w);
  return 1;
}

int wm_actv(TWND* w) {
  if (!w) return sys_err(kModule, __LINE__, "wm_deactv  - bad  reg"), 0;
  if (w->state & WND_INACTIVE) {
    w->state = uint8_t((w->state & ~WND_INACTIVE) | WND_RECOMPUTE);
    wm_regions_unpainted(w);  // every run changes its attributes
  }
  return 1;
}

int wm_deactv(TWND* w) {
  if (!w) return sys_err(kModule, __LINE__, "wm_deactv  - bad  reg"), 0;
  if (!(w->state & WND_INACTIVE)) {
    w->state |= WND_INACTIVE | WND_RECOMPUTE;
    wm_regions_unpainted(w);
  }
  return 1;
}

void wm_clr_scope(uint32_t level) {
  while (xwm.last_wnd && xwm.last_wnd->SCOPE >= level) wm_detach(xwm.last_wnd, 1);
  while (xwm.last_srf && xwm.last_srf->SCOPE >= level) wm_destroy_srf(xwm.last_srf);
}

TSRF* WM_CREATE_SRF(SRF_BLK* blk, uint32_t level) {
  return wm_create_srf(blk, level) ? static_cast<TSRF*>(wm_obj(blk->handle)) : nullptr;
}

TWND* WM_ATTACH(WND_BLK* blk, TSRF* srf, uint32_t level) {
  return wm_attach(blk, srf, level) ? static_cast<TWND*>(wm_obj(blk->handle)) : nullptr;
}

void INIT_WND(WND_BLK* blk, int32_t row, int32_t col, int32_t rows, int32_t cols, uint8_t flag) {
  *blk = {};
  blk->row = row;
  blk->col = col;
  blk->rows = blk->reg_rows = rows;
  blk->cols = blk->reg_cols = cols;
  blk->flag = flag;
}

void SRF_TO_PHY(ut_point* out, ut_point in, const TSRF* s, ut_point phys_tl) {
  *out = {in.row - s->POSITION.row + phys_tl.row, in.col - s->POSITION.col + phys_tl.col};
}

void LOG_TO_PHY(ut_point* out, ut_point in, const TSRF* s) { *out = {in.row + s->ORIGIN.row, in.col + s->ORIGIN.col}; }

void PHY_TO_LOG(ut_point* out, ut_point in, const TSRF* s) { *out = {in.row - s->ORIGIN.row, in.col - s->ORIGIN.col}; }

}  // namespace kivo
