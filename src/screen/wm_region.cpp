// Regions of a window: writing, placing in the region grid, scrolling the
// oldest out of a full grid, deleting, and the lookups from a window cell or
// a region position. Items and runs are in wm_chr.cpp.
//
// Invariants: the region list is in number order (1 = first); placement is
// recomputed from the first region after every change (adjust_reg_pos), so
// a placed region always lies inside the window and the first free row of
// each region column is the row after the lowest shown row of that column.
#include <algorithm>
#include <climits>
#include <cstring>

#include "foundation/com.h"
#include "foundation/sys_err.h"
#include "foundation/text.h"
#include "screen/wm_region.h"
#include "screen/wm_repaint.h"

namespace kivo {

namespace {

constexpr const char* kModule = "WM2";

uint8_t stype(const TWND* w) { return w->blk.scroll_type; }
int32_t rr(const TWND* w) { return w->blk.reg_rows; }
int32_t rc(const TWND* w) { return w->blk.reg_cols; }
// Rows of one region column: the grid for lists, the window for stacked
// and flowing regions.
int32_t col_h(const TWND* w) { return stype(w) >= 3 ? w->blk.rows : w->grid_h; }
// Regions a list shows at once. Counted from the cells that fit, not the
// attach-time row count, which is 1 for a type-0 list of short regions.
int32_t capacity(const TWND* w) { return w->grid_h / rr(w) * w->reg_cols_n; }

// Rows a region shows in all: a cell for lists, its own rows otherwise, less
// the rows scrolled out of the first region of flowing text.
int32_t eff_rows(const TWND* w, const TREG* g) {
  if (stype(w) <= 2) return rr(w);
  return g->SIZE.row - (stype(w) == 4 && g == w->first_reg ? w->scroll_pos : 0);
}

void put(TWND* w, TREG* g, int32_t across, int32_t row) {
  if (across <= 0) {
    g->ACROSS = g->ROW = g->VIS = 0;
    return;
  }
  g->ACROSS = uint16_t(across);
  g->ROW = uint16_t(row);
  g->VIS = uint16_t(stype(w) <= 2 ? rr(w) : std::min(eff_rows(w, g), col_h(w) - row + 1));
}

int32_t shown_rows(const TWND* w, const TREG* g) {
  reg_piece p[2];
  int n = reg_pieces(w, g, p), sum = 0;
  for (int i = 0; i < n; ++i) sum += p[i].rows;
  return sum;
}

// First free row per region column, the free rows and the fill state.
void fill_state(TWND* w) {
  uint16_t ncols = w->reg_cols_n;
  for (uint16_t c = 0; c < ncols; ++c) w->free_new[c] = {1, c * rc(w) + 1};
  int32_t beyond = 0;
  for (TREG* g = w->first_reg; g; g = g->next) {
    reg_piece p[2];
    int n = reg_pieces(w, g, p);
    for (int i = 0; i < n; ++i) {
      ut_point& f = w->free_new[(p[i].col - 1) / rc(w)];
      f.row = std::max(f.row, p[i].row + p[i].rows);
    }
    beyond += n ? eff_rows(w, g) - shown_rows(w, g) : g->SIZE.row;
  }
  int32_t free_rows = 0;
  for (uint16_t c = 0; c < ncols; ++c) free_rows += col_h(w) + 1 - w->free_new[c].row;
  w->free_rows = uint16_t(free_rows);
  if (free_rows > 0) {
    w->LST_STAT = LST_ROOM;
  } else if (stype(w) <= 2) {
    int32_t over = w->REG_CNT - capacity(w);
    w->LST_STAT = over <= 0 ? LST_FULL : over == 1 ? LST_OVER_ONE : LST_OVER_MORE;
  } else {
    w->LST_STAT = beyond < rr(w) ? LST_FULL : beyond < 2 * rr(w) ? LST_OVER_ONE : LST_OVER_MORE;
  }
}

void link_after(TWND* w, TREG* after, TREG* g) {
  g->prev = after;
  g->next = after ? after->next : w->first_reg;
  (g->next ? g->next->prev : w->last_reg_list) = g;
  (after ? after->next : w->first_reg) = g;
}

void unlink_reg(TWND* w, TREG* g) {
  (g->prev ? g->prev->next : w->first_reg) = g->next;
  (g->next ? g->next->prev : w->last_reg_list) = g->prev;
}

// Removes a region with its items and runs, and frees it.
void free_reg(TWND* w, TREG* g) {
  if (w->tables) {
    auto& t = *w->tables;
    t.chrs.erase(t.chrs.lower_bound({g->id, INT32_MIN, INT32_MIN, false}),
                 t.chrs.lower_bound({g->id + 1, INT32_MIN, INT32_MIN, false}));
    auto lo = t.items.lower_bound({g->id, INT32_MIN, INT32_MIN});
    auto hi = t.items.lower_bound({g->id + 1, INT32_MIN, INT32_MIN});
    for (auto it = lo; it != hi; ++it) wm_obj_release(it->second.spare);
    t.items.erase(lo, hi);
  }
  unlink_reg(w, g);
  if (w->cur_reg == g) w->cur_reg = nullptr;
  wm_obj_release(g->id);
  mm_free(g);
}

// Drops the first region; the numbers of the others fall by one.
void drop_first(TWND* w) {
  free_reg(w, w->first_reg);
  --w->REG_CNT;
  if (w->reg_no) --w->reg_no;
  w->CUR_REG = w->CUR_REG > 1 ? uint16_t(w->CUR_REG - 1) : 0;
  if (stype(w) == 4) w->scroll_pos = 0;
}

uint16_t number_of(const TWND* w, const TREG* r) {
  uint16_t n = 1;
  for (const TREG* g = w->first_reg; g && g != r; g = g->next) ++n;
  return n;
}

// Whether a newly inserted region must be scrolled in.
bool not_shown(const TWND* w, const TREG* g) {
  if (stype(w) == 4) return shown_rows(w, g) < eff_rows(w, g);
  return !g->ACROSS;
}

TREG* new_reg(TWND* w, ut_point size) {
  size_t n = size_t(size.row) * size_t(size.col);
  auto* g = static_cast<TREG*>(MM_ALLOC(w->pool, sizeof(TREG) + size_t(size.row) + n));
  memset(g, 0, sizeof(TREG));
  g->wnd = w;
  g->SIZE = size;
  g->id = wm_obj_id(g);
  memset(reg_flags(g), ROW_ALL, size_t(size.row));
  memset(reg_text(g), ' ', n);
  return g;
}

void copy_text(TREG* g, const uint8_t* text, ut_point txt) {
  if (!text) return;
  for (int32_t r = 0; r < txt.row; ++r)
    memcpy(reg_text(g) + size_t(r) * size_t(g->SIZE.col), text + size_t(r) * size_t(txt.col), size_t(txt.col));
}

}  // namespace

uint8_t* reg_flags(TREG* g) { return reinterpret_cast<uint8_t*>(g + 1); }
uint8_t* reg_text(TREG* g) { return reg_flags(g) + g->SIZE.row; }

int reg_pieces(const TWND* w, const TREG* g, reg_piece out[2]) {
  if (!g->ACROSS) return 0;
  int32_t hidden = stype(w) == 4 && g == w->first_reg ? w->scroll_pos : 0;
  out[0] = {g->ROW, (g->ACROSS - 1) * rc(w) + 1, g->VIS, hidden + 1};
  int32_t rest = eff_rows(w, g) - g->VIS;
  if (stype(w) != 4 || g->ACROSS >= w->reg_cols_n || rest <= 0) return 1;
  out[1] = {1, g->ACROSS * rc(w) + 1, std::min(rest, col_h(w)), hidden + g->VIS + 1};
  return 2;
}

void get_rel_pos(TWND* w, TREG* p, TREG* n) {
  int32_t h = col_h(w), ncols = w->reg_cols_n;
  if (!p->ACROSS) return put(w, n, 0, 0);
  switch (stype(w)) {
    case 0:
    case 1:
      if (p->ROW + 2 * rr(w) - 1 <= h) return put(w, n, p->ACROSS, p->ROW + rr(w));
      return put(w, n, p->ACROSS < ncols ? p->ACROSS + 1 : 0, 1);
    case 2:
      if (p->ACROSS < ncols) return put(w, n, p->ACROSS + 1, p->ROW);
      return put(w, n, p->ROW + 2 * rr(w) - 1 <= h ? 1 : 0, p->ROW + rr(w));
    case 3:
      if (p->ROW + p->SIZE.row + n->SIZE.row - 1 <= h) return put(w, n, p->ACROSS, p->ROW + p->SIZE.row);
      return put(w, n, p->ACROSS < ncols ? p->ACROSS + 1 : 0, 1);
    case 4: {
      int32_t end = p->ROW + eff_rows(w, p) - 1;
      if (end < h) return put(w, n, p->ACROSS, end + 1);
      int32_t row = end - h + 1;  // after p's continuation in the next column
      return put(w, n, p->ACROSS < ncols && row <= h ? p->ACROSS + 1 : 0, row);
    }
    default: sys_err(kModule, __LINE__, "get_rel_pos() - bad scroll type"); return put(w, n, 0, 0);
  }
}

void adjust_reg_pos(TWND* w) {
  if (stype(w) > 4) return sys_err(kModule, __LINE__, "adjust_reg_pos() - bad scroll type");
  w->last_reg = nullptr;
  for (TREG* g = w->first_reg; g; g = g->next) {
    if (!g->prev) put(w, g, 1, 1);
    else get_rel_pos(w, g->prev, g);
    if (g->ACROSS) w->last_reg = g;
  }
  w->first_vis = w->first_reg ? 1 : 0;
  fill_state(w);
  w->state |= WND_RECOMPUTE;
}

void scroll_reg(TWND* w, TREG* r) {
  switch (stype(w)) {
    case 0:
    case 1:
    case 2: {
      int32_t drop = number_of(w, r) - capacity(w);
      if (drop <= 0) return sys_err(kModule, __LINE__, "scroll_reg() - bad current region");
      while (drop-- > 0) {
        if (w->first_reg == r) return sys_err(kModule, __LINE__, "scroll_reg() - a region count has been zapped");
        drop_first(w);
      }
      break;
    }
    case 3:
      while (!r->ACROSS && w->first_reg != r) {
        drop_first(w);
        adjust_reg_pos(w);
      }
      break;
    case 4: {
      int32_t lines = 0;
      for (TREG* g = w->first_reg; g; g = g->next) {
        lines += eff_rows(w, g);
        if (g == r) break;
      }
      int32_t over = lines - int32_t(w->reg_cols_n) * col_h(w);
      while (over > 0 && w->first_reg != r && over >= eff_rows(w, w->first_reg)) {
        over -= eff_rows(w, w->first_reg);
        drop_first(w);
      }
      if (over > 0) {
        w->scroll_pos = uint16_t(w->scroll_pos + over);
        w->first_reg->painted = 0;  // its text moved within its cells
      }
      break;
    }
    default: return sys_err(kModule, __LINE__, "scroll_reg() - bad scroll type");
  }
  adjust_reg_pos(w);
}

TREG* find_treg(TWND* w, uint16_t number) {
  if (!number || number > w->REG_CNT) return nullptr;
  TREG* g = w->first_reg;
  uint16_t at = 1;
  if (w->cur_reg && w->CUR_REG && w->CUR_REG <= number) g = w->cur_reg, at = w->CUR_REG;
  if (w->REG_CNT - number < number - at) {
    g = w->last_reg_list;
    for (at = w->REG_CNT; at > number; --at) g = g->prev;
    return g;
  }
  for (; at < number; ++at) g = g->next;
  return g;
}

int SET_CUR_REG(TWND* w) {
  if (w->reg_no == w->CUR_REG && w->cur_reg) return 1;
  TREG* g = find_treg(w, w->reg_no);
  if (!g) {
    sys_err(kModule, __LINE__, "SET_CUR_REG() - bad reg no.");
    w->CUR_REG = 0;
    w->cur_reg = nullptr;
    w->status = WM_BAD_REG;
    return 0;
  }
  w->CUR_REG = w->reg_no;
  w->cur_reg = g;
  return 1;
}

void insert_reg(TWND* w, TREG* g) {
  if (w->first_reg && w->reg_no && w->reg_no < w->REG_CNT) {
    TREG* after = find_treg(w, w->reg_no);
    if (!after) return sys_err(kModule, __LINE__, "insert_reg() - find_treg failed");
    link_after(w, after, g);
    ++w->reg_no;
  } else if (w->first_reg && w->reg_no) {
    link_after(w, w->last_reg_list, g);
    w->reg_no = uint16_t(w->REG_CNT + 1);
  } else {
    link_after(w, nullptr, g);
    w->reg_no = 1;
  }
  ++w->REG_CNT;
  w->CUR_REG = w->reg_no;
  w->cur_reg = g;
  adjust_reg_pos(w);
  // The fill state reports how far this region overflowed the grid; the
  // oldest regions then make room for it.
  uint8_t lst = w->LST_STAT;
  if (not_shown(w, g)) {
    scroll_reg(w, g);
    w->LST_STAT = lst;
  }
}

int wm_write_reg(TWND* w, const uint8_t* text, std::span<const TITM> items, std::span<const CHR_BLK> chrs) {
  if (!w) return sys_err(kModule, __LINE__, "wm_write_reg() - bad reg"), 0;
  ut_point txt = {w->txt_size.row ? w->txt_size.row : rr(w), w->txt_size.col ? w->txt_size.col : rc(w)};
  if (txt.col > rc(w)) return sys_err(kModule, __LINE__, "txt_size.col is greater than img_size.col"), 0;
  if (txt.row < 1 || txt.col < 1 || (stype(w) <= 2 && txt.row > rr(w)))
    return sys_err(kModule, __LINE__, "wm_write_reg() - reg too big"), 0;
  // A list of type 0 replaces the region of the number; a number past the
  // last region replaces nothing (it appends).
  if (stype(w) == 0 && w->REG_CNT && w->reg_no <= w->REG_CNT) {
    uint16_t at = w->reg_no ? w->reg_no : 1;
    if (!wm_del_reg(w, 0)) return sys_err(kModule, __LINE__, "wm_write_reg() - wm_del_reg failed"), 0;
    w->reg_no = uint16_t(w->REG_CNT ? at - 1 : 0);
  }
  TREG* g = new_reg(w, {stype(w) <= 2 ? rr(w) : txt.row, rc(w)});
  copy_text(g, text, txt);
  insert_reg(w, g);
  w->status = 0;
  for (const TITM& def : items) wm_put_item(w, g, def);
  for (const CHR_BLK& blk : chrs) wm_apply_blk(w, g, blk, ~0u);
  return w->status == 0;
}

int wm_upd_reg(TWND* w, std::span<TITM> items, std::span<const CHR_BLK> chrs) {
  if (!w) return sys_err(kModule, __LINE__, "wm_upd_reg() - bad reg"), 0;
  if (!SET_CUR_REG(w)) return 0;
  for (TITM& def : items) upd_titm(w, &def);
  for (const CHR_BLK& blk : chrs) wm_apply_blk(w, w->cur_reg, blk, ~0u);
  return w->status == 0;
}

int wm_del_reg(TWND* w, uint16_t last) {
  if (!w) return sys_err(kModule, __LINE__, "wm_del_reg - bad reg"), 0;
  if (!w->REG_CNT) return 1;
  uint16_t from = w->reg_no ? std::min(w->reg_no, w->REG_CNT) : 1;
  uint16_t to = last ? std::min(last, w->REG_CNT) : from;
  if (to < from) std::swap(from, to);
  if (from == 1 && to == w->REG_CNT) {
    while (w->first_reg) free_reg(w, w->first_reg);
    if (w->tables) w->tables->chrs.clear(), w->tables->items.clear();
    w->REG_CNT = w->reg_no = w->CUR_REG = 0;
    w->scroll_pos = 0;
  } else {
    TREG* g = find_treg(w, from);
    for (uint16_t n = from; n <= to && g; ++n) {
      TREG* next = g->next;
      if (g == w->first_reg && stype(w) == 4) w->scroll_pos = 0;
      free_reg(w, g);
      g = next;
    }
    w->REG_CNT = uint16_t(w->REG_CNT - (to - from + 1));
    if (w->CUR_REG >= from) w->CUR_REG = w->CUR_REG > to ? uint16_t(w->CUR_REG - (to - from + 1)) : 0;
  }
  adjust_reg_pos(w);
  return 1;
}

int find_wreg(TWND* w, ut_point pos, wreg_hit* out) {
  uint16_t n = 1;
  for (TREG* g = w->first_reg; g; g = g->next, ++n) {
    reg_piece p[2];
    int k = reg_pieces(w, g, p);
    for (int i = 0; i < k; ++i) {
      if (pos.row < p[i].row || pos.row >= p[i].row + p[i].rows) continue;
      if (pos.col < p[i].col || pos.col >= p[i].col + rc(w)) continue;
      *out = {n, g, {p[i].text_row + pos.row - p[i].row, pos.col - p[i].col + 1}};
      return 1;
    }
  }
  return 0;
}

int reg_to_srf(TWND* w, TREG* g, ut_point in, ut_point* out) {
  *out = {0, 0};
  reg_piece p[2];
  int k = reg_pieces(w, g, p);
  for (int i = 0; i < k; ++i) {
    if (in.row < p[i].text_row || in.row >= p[i].text_row + p[i].rows) continue;
    *out = {w->blk.row + p[i].row + in.row - p[i].text_row - 1, w->blk.col + p[i].col + in.col - 2};
    return 1;
  }
  return 0;
}

int scroll_to_pos(TWND* w, TREG* g, ut_point in, ut_point* out) {
  if (reg_to_srf(w, g, in, out)) return 1;
  // Scroll the rows before the wanted one out of the top until it shows.
  while (w->first_reg && !reg_to_srf(w, g, in, out)) {
    if (w->first_reg == g) {
      if (stype(w) != 4 || in.row <= w->scroll_pos) return 0;
      w->scroll_pos = uint16_t(in.row - 1);
      g->painted = 0;
      adjust_reg_pos(w);
      return reg_to_srf(w, g, in, out);
    }
    drop_first(w);
    adjust_reg_pos(w);
  }
  return reg_to_srf(w, g, in, out);
}

void wm_regions_unpainted(TWND* w) {
  for (TREG* g = w->first_reg; g; g = g->next) g->painted = 0;
}

TWND* wm_add_stat(const char* msg, size_t len) {
  auto* base = static_cast<TSRF*>(com.base_srf);
  if (os_ready != 1 || !base) return nullptr;
  WND_BLK b;
  INIT_WND(&b, 3, 1, 1, com.scr_cols, 0);
  TWND* w = WM_ATTACH(&b, base, com.mark_scope);
  if (!w) return sys_err(kModule, __LINE__, "wm_add_stat() - wm_attach failed"), nullptr;
  std::vector<uint8_t> line(com.scr_cols, ' ');
  ut_center(reinterpret_cast<char*>(line.data()), line.size(), msg, len);
  wm_write_reg(w, line.data(), {}, {});
  wm_show_screen();
  return w;
}

void wm_del_stat(TWND* w) {
  if (os_ready != 1 || !w) return;
  wm_detach(w, 1);
  wm_show_screen();
}

}  // namespace kivo
