// Screen composition and repaint. The main area (rows 1 to H - 3) shows the
// main surface, the second surface through the main surface's background;
// the last three rows show the base surface. Only rows whose flags are set
// are sent; a list whose regions all moved by the same rows is moved with
// one terminal scroll; any other move is repainted.
#include "screen/wm_repaint.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <tuple>

#include "foundation/com.h"
#include "foundation/sys_err.h"
#include "screen/screen.h"
#include "screen/wm_files.h"
#include "screen/wm_rect.h"
#include "screen/wm_region.h"
#include "screen/wm_show.h"
#include "screen/wm_term.h"

namespace kivo {

namespace {

constexpr const char* kModule = "WM3";
constexpr uint32_t kInactiveCleared = 0x1245;  // bold, blink and the rest, off for an inactive window
constexpr uint32_t kCutLeft = 0x04;            // dropped from a run cut on the left

struct compose_state {
  bool done = false;  // a composition exists
  TSRF* main = nullptr;
  TSRF* pop = nullptr;
  TSRF* base = nullptr;
  ut_point pop_origin{0, 0};
  std::vector<wm_trect> rects;
} g_scr;

int32_t screen_h() { return int32_t(com.scr_rows); }
int32_t screen_w() { return int32_t(com.scr_cols); }
int32_t main_h() { return screen_h() - 3; }

// The visible rectangles of a surface in (row, col) order; their NEW_VIS is
// cleared in the surface and carried in the result.
std::vector<wm_rect> take_visible(TSRF* s) {
  std::vector<wm_rect> all = rect_load(s), vis;
  bool any = false;
  for (wm_rect& r : all) {
    if (r.obs) continue;
    vis.push_back(r);
    any |= r.new_vis != 0;
    r.new_vis = 0;
  }
  if (any) rect_save(s, all);
  std::sort(vis.begin(), vis.end(), [](const wm_rect& a, const wm_rect& b) {
    return std::tie(a.r.tl.row, a.r.tl.col) < std::tie(b.r.tl.row, b.r.tl.col);
  });
  return vis;
}

bool clip(ut_rect& r, ut_rect lim) {
  r.tl.row = std::max(r.tl.row, lim.tl.row);
  r.tl.col = std::max(r.tl.col, lim.tl.col);
  r.br.row = std::min(r.br.row, lim.br.row);
  r.br.col = std::min(r.br.col, lim.br.col);
  return r.tl.row <= r.br.row && r.tl.col <= r.br.col;
}

void emit(uint32_t own, ut_rect r, uint8_t nv, uint8_t type) { g_scr.rects.push_back({own, r, nv, type}); }

// One background piece M of the main area seen through the second surface
// (whose visible rectangles are `pop`, logical coordinates).
void compose_pop(ut_rect m, uint8_t nv, const std::vector<wm_rect>& pop, ut_point org) {
  // The part of M before the second surface's plane stays background.
  ut_rect before = m;
  before.br.row = std::min(m.br.row, org.row);
  if (clip(before, m)) emit(0, before, nv, POS_MAIN_SRF);
  ut_rect left = m;
  left.tl.row = std::max(m.tl.row, org.row + 1);
  left.br.col = std::min(m.br.col, org.col);
  if (clip(left, m)) emit(0, left, nv, POS_MAIN_SRF);
  for (const wm_rect& p : pop) {
    ut_rect phys = {{p.r.tl.row + org.row, p.r.tl.col + org.col}, {p.r.br.row, p.r.br.col}};
    if (p.r.br.row != kPlaneEdge) phys.br.row += org.row;
    if (p.r.br.col != kPlaneEdge) phys.br.col += org.col;
    if (!clip(phys, m)) continue;
    uint8_t pnv = uint8_t(nv | p.new_vis);
    if (p.own) emit(p.own, phys, pnv, POS_POP_SRF);
    else emit(0, phys, pnv, POS_MAIN_SRF);
  }
}

void compose_main(TSRF* main, TSRF* pop, bool force_main, bool force_pop) {
  ut_rect area = {{1, 1}, {main_h(), screen_w()}};
  std::vector<wm_rect> pv;
  if (pop) pv = take_visible(pop);
  std::vector<wm_rect> mv;
  if (main) mv = take_visible(main);
  else mv.push_back({0, 0, area, 0});
  for (wm_rect& m : mv) {
    if (m.r.tl.row > area.br.row || m.r.tl.col > area.br.col) continue;
    ut_rect r = m.r;
    if (!clip(r, area)) continue;
    uint8_t nv = uint8_t(m.new_vis || force_main);
    if (m.own || !pop) emit(m.own, r, nv, POS_MAIN_SRF);
    else compose_pop(r, uint8_t(nv || force_pop), pv, pop->ORIGIN);
  }
}

void compose_base(TSRF* base, bool force) {
  if (!base) return;
  int32_t shift = main_h();
  for (wm_rect& b : take_visible(base)) {
    ut_rect r = b.r;
    if (r.tl.row > 3 || r.tl.col > screen_w() || !clip(r, {{1, 1}, {3, screen_w()}})) continue;
    r.tl.row += shift, r.br.row += shift;
    emit(b.own, r, uint8_t(b.new_vis || force), POS_BASE_SRF);
  }
}

// ---- terminal output ----

void clear_area(ut_rect r) {
  int32_t rows = r.br.row - r.tl.row + 1;
  wm_term()->scroll(wm_term_handle, r.tl.row, r.tl.col, rows, r.br.col - r.tl.col + 1, SCROLL_UP, rows);
}

// Physical offset of the windows of a surface.
ut_point srf_offset(const TSRF* s) {
  if (s && s == g_scr.pop) return s->ORIGIN;
  if (s && s == g_scr.base && s != g_scr.main) return {main_h(), 0};
  return {0, 0};
}

ut_rect wnd_phys(const TWND* w) {
  ut_point o = srf_offset(w->srf);
  return {{w->blk.row + o.row, w->blk.col + o.col}, {w->BOT_RIGHT.row + o.row, w->BOT_RIGHT.col + o.col}};
}

bool flags_clear(TREG* g) {
  const uint8_t* f = reg_flags(g);
  return std::all_of(f, f + g->SIZE.row, [](uint8_t v) { return v == 0; });
}

bool corners_valid(const TREG* g) { return g->old_tl_row != 0; }
bool corners_same(const TREG* g) {
  return g->old_tl_row == g->new_tl_row && g->old_tl_col == g->new_tl_col && g->old_br_row == g->new_br_row &&
         g->old_br_col == g->new_br_col;
}
// Rows a painted region moved straight up or down (0 = any other change).
int32_t vertical_move(const TREG* g) {
  int32_t d = g->new_tl_row - g->old_tl_row;
  bool same_shape = g->new_br_row - g->old_br_row == d && g->new_tl_col == g->old_tl_col &&
                    g->new_br_col == g->old_br_col && g->new_tl_row != 0;
  return same_shape ? d : 0;
}

// Moves the window's content when all its moved regions moved by the same
// rows; marks what a scroll cannot give. True when it scrolled.
bool scroll_opt(TWND* w, const wm_trect& t, ut_rect win) {
  bool full = t.phys.tl.row == win.tl.row && t.phys.tl.col == win.tl.col && t.phys.br.row == win.br.row;
  int32_t d = 0;
  bool single = full && w->blk.scroll_type != 4;
  for (TREG* g = w->first_reg; g; g = g->next) {
    if (!g->painted || !corners_valid(g) || corners_same(g)) continue;
    int32_t m = vertical_move(g);
    if (!m || (d && m != d)) single = false;
    d = d ? d : m;
  }
  if (!single || !d) {
    for (TREG* g = w->first_reg; g; g = g->next)
      if (!corners_same(g)) g->painted = 0;
    return false;
  }
  int32_t n = std::abs(d), rows = t.phys.br.row - t.phys.tl.row + 1;
  wm_term()->scroll(wm_term_handle, t.phys.tl.row, t.phys.tl.col, rows, t.phys.br.col - t.phys.tl.col + 1,
                    d < 0 ? SCROLL_UP : SCROLL_DOWN, n);
  ut_point o = srf_offset(w->srf);
  for (TREG* g = w->first_reg; g; g = g->next) {
    if (!g->painted || !corners_valid(g) || !g->new_tl_row || vertical_move(g) != d) {
      g->painted = 0;
      continue;
    }
    for (int32_t r = g->new_tl_row + o.row; r <= g->new_br_row + o.row; ++r) {
      bool exposed = d < 0 ? r > t.phys.br.row - n : r < t.phys.tl.row + n;
      if (exposed) reg_flags(g)[r - g->new_tl_row - o.row] |= ROW_ALL;
    }
  }
  return true;
}

// Clears the rows a region column no longer uses (all its free rows after a
// scroll, which may have moved text into them).
void clear_freed(TWND* w, const wm_trect& t, ut_rect win, bool scrolled) {
  int32_t limit = w->blk.rows + 1;
  for (uint16_t c = 0; c < w->reg_cols_n; ++c) {
    int32_t old_free = scrolled ? limit : std::min(w->free_prev[c].row, limit), new_free = w->free_new[c].row;
    if (old_free <= new_free) continue;
    int32_t left = win.tl.col + c * w->blk.reg_cols;
    ut_rect r = {{win.tl.row + new_free - 1, left}, {win.tl.row + old_free - 2, left + w->blk.reg_cols - 1}};
    if (clip(r, t.phys)) clear_area(r);
  }
}

// The runs of region row `row` over region columns [pl, pr] at screen
// column `left` (the region's column 1).
int build_runs(TWND* w, TREG* g, int32_t row, int32_t pl, int32_t pr, int32_t left, tm_attr_run* out) {
  int n = 0;
  if (!w->tables) return 0;
  auto& m = w->tables->chrs;
  for (auto it = m.lower_bound({g->id, row, INT32_MIN, false}); it != m.end(); ++it) {
    const wm_chr& c = it->second;
    if (std::get<0>(it->first) != g->id || c.row != row || c.col > pr) break;
    if (std::get<3>(it->first) || c.end_col < pl) continue;
    int32_t s = std::max(c.col, pl), e = std::min(c.end_col, pr);
    uint32_t mask = c.mask;
    if (w->state & WND_INACTIVE) mask &= ~kInactiveCleared;
    if (c.col < pl) mask &= ~kCutLeft;
    const auto* item = c.item ? static_cast<const TITM*>(wm_obj(c.item)) : nullptr;
    if (!item || row < item->tl_row || row > item->br_row) {
      out[n++] = {uint16_t(left + s - 1), uint16_t(e - s + 1), mask, c.chr};
      continue;
    }
    // An item's run carries its field rules, split where they change (at
    // the columns its mask writes).
    for (int32_t x = s; x <= e; ++x) {
      const uint32_t m = mask | wm_item_edit_bits(*item, x);
      if (x > s && out[n - 1].attr == m) ++out[n - 1].len;
      else out[n++] = {uint16_t(left + x - 1), 1, m, c.chr};
    }
  }
  return n;
}

// Paints the part of region g inside t.
int upd_rect(TWND* w, TREG* g, const wm_trect& t, ut_rect win) {
  reg_piece p[2];
  int k = reg_pieces(w, g, p);
  std::vector<tm_attr_run> runs(size_t(g->SIZE.col));
  for (int i = 0; i < k; ++i) {
    ut_rect part = {{win.tl.row + p[i].row - 1, win.tl.col + p[i].col - 1}, {0, 0}};
    part.br = {part.tl.row + p[i].rows - 1, part.tl.col + g->SIZE.col - 1};
    int32_t top = part.tl.row, left = part.tl.col;
    if (!clip(part, t.phys)) continue;
    int32_t pl = part.tl.col - left + 1, pr = part.br.col - left + 1;
    for (int32_t r = part.tl.row; r <= part.br.row; ++r) {
      int32_t tr = p[i].text_row + r - top;
      if (!t.new_vis && g->painted && !reg_flags(g)[tr - 1]) continue;
      int n = build_runs(w, g, tr, pl, pr, left, runs.data());
      const uint8_t* text = reg_text(g) + size_t(tr - 1) * size_t(g->SIZE.col) + pl - 1;
      tm_text_run row{text, uint16_t(pr - pl + 1), r, part.tl.col, runs.data(), n};
      if (!wm_term()->update(wm_term_handle, row))
        return sys_err(kModule, __LINE__, "upd_rect() - tm_upd_scr failed"), 0;
    }
  }
  return 1;
}

bool on_screen(const TWND* w) {
  return w->srf && (w->srf == g_scr.main || w->srf == g_scr.pop || w->srf == g_scr.base);
}

// After the repaint: the screen now shows every region as placed.
void commit() {
  for (TWND* w = xwm.first_wnd; w; w = w->next) {
    if (!on_screen(w)) continue;
    if (w->state & WND_RECOMPUTE) reset_wnd(w);
    w->state &= uint8_t(~(WND_RECOMPUTE | WND_COMMIT));
    for (uint16_t c = 0; c < w->reg_cols_n; ++c) w->free_prev[c] = w->free_new[c];
    for (TREG* g = w->first_reg; g; g = g->next) {
      std::fill(reg_flags(g), reg_flags(g) + g->SIZE.row, 0);
      g->old_tl_row = g->new_tl_row, g->old_tl_col = g->new_tl_col;
      g->old_br_row = g->new_br_row, g->old_br_col = g->new_br_col;
      g->painted = 1;
    }
  }
  for (wm_trect& t : g_scr.rects) t.new_vis = 0;
}

int paint(const wm_trect& t) {
  auto* w = static_cast<TWND*>(wm_obj(t.own));
  if (!w) {
    if (t.new_vis) clear_area(t.phys);
    return 1;
  }
  if (w->state & WND_RECOMPUTE) reset_wnd(w);
  ut_rect win = wnd_phys(w);
  bool scrolled = false;
  if (t.new_vis) {
    clear_area(t.phys);
    if (!w->first_reg) return 1;
  } else {
    scrolled = scroll_opt(w, t, win);
    clear_freed(w, t, win, scrolled);
  }
  for (TREG* g = w->first_reg; g; g = g->next) {
    if (!g->ACROSS || (!t.new_vis && g->painted && flags_clear(g))) continue;
    if (!upd_rect(w, g, t, win)) return 0;
  }
  return 1;
}

}  // namespace

void reset_srf(TSRF* main, TSRF* pop) {
  auto* base = static_cast<TSRF*>(com.base_srf);
  ut_point org = pop ? pop->ORIGIN : ut_point{0, 0};
  bool pop_moved = pop != g_scr.pop || org.row != g_scr.pop_origin.row || org.col != g_scr.pop_origin.col;
  bool changed = (main && main->changed) || (pop && pop->changed) || (base && base->changed);
  if (g_scr.done && main == g_scr.main && !pop_moved && base == g_scr.base && !changed) return;
  // A surface that was not on the screen shows nothing of its own yet.
  bool force_main = !g_scr.done || main != g_scr.main;
  bool force_base = !g_scr.done || base != g_scr.base;
  g_scr.rects.clear();
  compose_main(main, pop, force_main, pop_moved);
  compose_base(base, force_base);
  std::sort(g_scr.rects.begin(), g_scr.rects.end(), [](const wm_trect& a, const wm_trect& b) {
    return std::tie(a.phys.br.row, a.phys.br.col) < std::tie(b.phys.br.row, b.phys.br.col);
  });
  g_scr = {true, main, pop, base, org, std::move(g_scr.rects)};
  com.cur_srf = main;
  com.cur_srf2 = pop;
  for (TSRF* s : {main, pop, base})
    if (s) s->changed = 0;
}

const std::vector<wm_trect>& wm_trects() { return g_scr.rects; }

void reset_wnd(TWND* w) {
  if (w->blk.scroll_type > 4) return sys_err(kModule, __LINE__, "reset_wnd() - bad window scroll type");
  w->state |= WND_COMMIT;
  for (TREG* g = w->first_reg; g; g = g->next) {
    if (!g->ACROSS) {
      g->new_tl_row = g->new_tl_col = g->new_br_row = g->new_br_col = 0;
      continue;
    }
    g->new_tl_row = w->blk.row + g->ROW - 1;
    g->new_tl_col = (g->ACROSS - 1) * w->blk.reg_cols + w->blk.col;
    g->new_br_row = g->new_tl_row + g->VIS - 1;
    g->new_br_col = g->new_tl_col + w->blk.reg_cols - 1;
  }
}

int upd_scr() {
  for (const wm_trect& t : g_scr.rects)
    if (!paint(t)) return 0;
  commit();
  return 1;
}

int wm_repaint(TSRF* main, TSRF* pop) {
  reset_srf(main, pop);
  return upd_scr();
}

void wm_repaint_reset() { g_scr = {}; }

void wm_show_screen() {
  if (wms.started) return wm_show_status();
  wm_repaint(static_cast<TSRF*>(com.cur_srf), static_cast<TSRF*>(com.cur_srf2));
}

}  // namespace kivo
