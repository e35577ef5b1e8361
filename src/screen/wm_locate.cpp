// Position lookups: the window, region and item under a surface position
// (wm_locate, after input) or a physical one (the field editor's wm_get_ed,
// the remote server's wm_get_itm, the item keys), and the item keys
// themselves (split, join, paragraph end, redisplay).
//
// A physical position is found in the merged rectangles of the last
// repaint; its surface position follows from the rectangle's kind (main as
// is, second surface less its origin, base less the rows above it).
#include <algorithm>
#include <cstring>
#include <string>

#include "foundation/com.h"
#include "foundation/sys_err.h"
#include "screen/tm_keys.h"
#include "screen/wm_rect.h"
#include "screen/wm_region.h"
#include "screen/wm_repaint.h"
#include "screen/wm_show.h"
#include "types/cnv.h"
#include "types/date_mask.h"

namespace kivo {

namespace {

constexpr const char* kModule = "WM7";
constexpr uint32_t kRedisplayKey = 262;

struct phys_hit {
  const wm_trect* rect;
  TWND* wnd;
  wreg_hit reg;
  const wm_chr* chr;
  TITM* item;
};

const wm_trect* trect_at(int32_t row, int32_t col) {
  for (const wm_trect& t : wm_trects())
    if (row >= t.phys.tl.row && row <= t.phys.br.row && col >= t.phys.tl.col && col <= t.phys.br.col) return &t;
  return nullptr;
}

ut_point to_surface(const wm_trect& t, ut_point p) {
  if (t.pos_type == POS_BASE_SRF) return {p.row - (com.scr_rows - 3), p.col};
  if (t.pos_type == POS_POP_SRF && wms.pop) return {p.row - wms.pop->ORIGIN.row, p.col - wms.pop->ORIGIN.col};
  return p;
}

// -1 no rectangle, 0 nothing there, 1 a window (and maybe an item).
int item_at(int32_t row, int32_t col, phys_hit* out, const char* what) {
  *out = {};
  out->rect = trect_at(row, col);
  if (!out->rect) return sys_err(kModule, __LINE__, "%s - missing trect", what), -1;
  out->wnd = static_cast<TWND*>(wm_obj(out->rect->own));
  if (!out->wnd) return 0;
  ut_point s = to_surface(*out->rect, {row, col});
  ut_point rel = {s.row - out->wnd->blk.row + 1, s.col - out->wnd->blk.col + 1};
  if (!find_wreg(out->wnd, rel, &out->reg)) return 0;
  out->chr = find_tchr(out->wnd, out->reg.reg, out->reg.pos.row, out->reg.pos.col);
  if (out->chr && out->chr->item) out->item = static_cast<TITM*>(wm_obj(out->chr->item));
  return 1;
}

uint8_t* text_at(TREG* g, ut_point p) { return reg_text(g) + size_t(p.row - 1) * size_t(g->SIZE.col) + p.col - 1; }

// Alpha items take their value from the rows as shown, blank runs cut to one.
int redisplay(TITM& it) {
  CNV& c = it.cnv;
  if (c.cnv_type != ELEM_ALP && c.cnv_type != ELEM_ALP_BLOCK) return cv_etoi(&c) && cv_itoe(&c);
  uint8_t* v = get_int_addr_dspl(&c);
  if (!v) return 0;
  memset(v, ' ', c.int_len);
  size_t n = 0;
  bool blank = false;
  for (int32_t r = 0; r < c.ext_rows; ++r) {
    const char* row = c.ext_addr + size_t(r) * c.ext_stride;
    for (int32_t k = 0; k < c.ext_cols && n < c.int_len; ++k) {
      if (row[k] == ' ' && blank) continue;
      blank = row[k] == ' ';
      v[n++] = uint8_t(row[k]);
    }
  }
  return cv_itoe(&c);
}

bool is_date_item(const CNV& c) {
  switch (c.cnv_type) {
    case ELEM_ALP_DATE:
    case ELEM_ALP_DATE_MD:
    case ELEM_BIN_DATE:
    case ELEM_BIN_DAYNUM:
    case ELEM_PD_DATE:
    case ELEM_PD_DATE_CAL:
    case ELEM_UNIVERSAL_DATE: return true;
    default: return false;
  }
}

// A number or a date: shown formatted (aligned, masked), so typing over it
// character by character leaves a mix of old and new.
bool converted_item(const CNV& c) {
  switch (c.cnv_type) {
    case ELEM_BIN:
    case ELEM_PD_FIX:
    case ELEM_PD_VAR: return true;
    default: return is_date_item(c);
  }
}

// The columns of a date item's display that its mask writes (the "/" of
// "MM/DD/YY"), from column `from` of the item on, into `out`.
void date_literals(const CNV& c, int32_t from, tm_edit* out) {
  if (!is_date_item(c)) return;
  const char* mask = c.ta.dat.dspl_mask;
  const int len = int(date_mask_used(mask));
  int32_t col = 0;
  for (int at = 0; at < len;) {
    const date_chunk k = cv_get_chunk(mask + at, len - at, 1);
    if (!k.used) break;
    for (uint32_t i = 0; k.code == TK_LITERAL && i < k.width; ++i) {
      const int32_t rel = col + int32_t(i) - from;
      if (rel >= 0 && rel < kTmEditLiteralMax) out->literal[rel / 64] |= uint64_t{1} << (rel % 64);
    }
    col += int32_t(k.width);
    at += int(k.used);
  }
}

// Whether a one-row date item in entry form shows the placeholder of its
// empty value: each part of its mask as that part's letters, each literal
// as written. A mask with a part that has no letters (a name) has none.
bool shows_placeholder(const TITM& it) {
  const CNV& c = it.cnv;
  if (!is_date_item(c) || !c.ta.dat.entry || it.tl_row != it.br_row || !c.ext_addr) return false;
  const char* mask = c.ta.dat.dspl_mask;
  const int len = int(date_mask_used(mask));
  std::string want;
  for (int at = 0; at < len;) {
    const date_chunk k = cv_get_chunk(mask + at, len - at, 1);
    if (!k.used) break;
    if (k.code == TK_LITERAL) want.append(k.text, k.text_len);
    else if (is_level_code(k.code)) want.append(com.dt_letters + 2 * (8 - (k.code - '0')), 2);
    else if (k.code == TK_DOY) want.append(com.dt_letters + 16, 3);
    else return false;
    at += int(k.used);
  }
  const std::string shown(c.ext_addr, size_t(std::max(c.ext_cols, 0)));
  return !want.empty() && shown.compare(0, want.size(), want) == 0 &&
         shown.find_first_not_of(' ', want.size()) == std::string::npos;
}

}  // namespace

void wm_mark_item(TREG* g, const TITM& it) {
  for (int32_t r = std::max(it.tl_row, 1); r <= std::min(it.br_row, g->SIZE.row); ++r) reg_flags(g)[r - 1] |= ROW_TEXT;
}

int wm_locate(TSRF* srf, const ut_point* p, SHOW_BLK* blk) {
  if (!srf) return sys_err(kModule, __LINE__, "wm_locate() - bad tsrf"), 0;
  if (!p) return sys_err(kModule, __LINE__, "wm_locate() - bad local_pos"), 0;
  if (!blk) return sys_err(kModule, __LINE__, "wm_locate() - bad curs"), 0;
  blk->curs_reg = 0;
  blk->rel_row = blk->rel_col = 0;
  blk->reg_pos = blk->item_pos = {0, 0};
  const wm_rect* found = nullptr;
  std::vector<wm_rect> all = rect_load(srf);
  for (const wm_rect& r : all)
    if (!r.obs && p->row >= r.r.tl.row && p->row <= r.r.br.row && p->col >= r.r.tl.col && p->col <= r.r.br.col)
      found = &r;
  if (!found) return 0;
  auto* w = static_cast<TWND*>(wm_obj(found->own));
  if (!w) return 1;
  blk->curs_reg = w->id;
  blk->rel_row = p->row - w->blk.row + 1;
  blk->rel_col = p->col - w->blk.col + 1;
  wreg_hit hit;
  if (!find_wreg(w, {blk->rel_row, blk->rel_col}, &hit)) return 1;
  w->reg_no = hit.number;
  SET_CUR_REG(w);
  blk->reg_pos = hit.pos;
  const wm_chr* c = find_tchr(w, hit.reg, hit.pos.row, hit.pos.col);
  if (auto* it = c && c->item ? static_cast<TITM*>(wm_obj(c->item)) : nullptr) blk->item_pos = {it->tl_row, it->tl_col};
  return 1;
}

int wm_get_ed(int row, int col, tm_edit* out) {
  phys_hit h;
  if (item_at(row, col, &h, "wm_get_ed()") != 1 || !h.item) return 0;
  if ((h.chr->mask & CELL_EDIT) != CELL_EDIT) return 0;
  out->text = text_at(h.reg.reg, h.reg.pos);
  int32_t len = std::min(h.rect->phys.br.col - col, h.chr->end_col - h.reg.pos.col) + 1;
  out->len = uint16_t(std::max(len, 1));
  out->changed = reinterpret_cast<uint8_t*>(&h.item->edited);
  memset(out->literal, 0, sizeof out->literal);
  if (h.item->tl_row == h.item->br_row) date_literals(h.item->cnv, h.reg.pos.col - h.item->tl_col, out);
  out->replace = converted_item(h.item->cnv);
  out->placeholder = shows_placeholder(*h.item);
  return 1;
}

int wm_put_typed(int row, int col, uint8_t ch) {
  phys_hit h;
  if (item_at(row, col, &h, "wm_put_typed()") != 1 || !h.item) return 0;
  tm_edit e{};
  if (!wm_get_ed(row, col, &e) || !e.len) return 0;
  tm_edit_put(e, 0, ch);
  // Painted again at the next show: its rules (a placeholder gone) go with it.
  wm_mark_item(h.reg.reg, *h.item);
  return 1;
}

uint32_t wm_item_edit_bits(const TITM& it, int32_t col) {
  uint32_t bits = converted_item(it.cnv) ? uint32_t(ATTR_ED_REPLACE) : 0u;
  if (shows_placeholder(it)) bits |= ATTR_ED_HINT;
  tm_edit e{};
  if (it.tl_row == it.br_row) date_literals(it.cnv, col - it.tl_col, &e);
  return e.is_literal(0) ? bits | ATTR_ED_LITERAL : bits;
}

int wm_get_itm(int row, int col, wm_itm_info* out) {
  phys_hit h;
  if (item_at(row, col, &h, "wm_get_ed()") != 1 || !h.item) return 0;
  TITM& it = *h.item;
  CNV& c = it.cnv;
  *out = {};
  ut_point tl;
  if (!reg_to_srf(h.wnd, h.reg.reg, {it.tl_row, it.tl_col}, &tl)) return 0;
  ut_point s = to_surface(*h.rect, {row, col});
  out->top_left = {tl.row + row - s.row, tl.col + col - s.col};
  out->rows = c.ext_rows;
  out->cols = c.ext_cols;
  out->text = c.ext_addr;
  out->len = c.ext_len;
  out->type = c.cnv_type;
  switch (c.cnv_type) {
    case 1:
    case 2: out->opt[0] = c.ta.alp.align_mode; break;
    case 5:
    case 8:
    case 12: out->opt[0] = c.ta.num.kind, out->opt[1] = c.ta.num.tot_digits; break;
    default: out->opt[0] = c.ta.dat.dspl_len, out->opt[1] = c.ta.dat.entry; break;
  }
  out->opt2 = c.blank_ok;
  out->cnv = &c;
  return 1;
}

int find_titm(uint8_t area, titm_hit* out) {
  *out = {};
  ut_point p;
  switch (area) {
    case CURS_MAIN: p = wms.work.main_pos; break;
    case CURS_POP:
      if (!wms.pop) return 0;
      p = {wms.work.pop_pos.row + wms.pop->ORIGIN.row, wms.work.pop_pos.col + wms.pop->ORIGIN.col};
      break;
    case CURS_BASE: p = {wms.work.base_pos.row + com.scr_rows - 3, wms.work.base_pos.col}; break;
    default: return sys_err(kModule, __LINE__, "find_titm() - unexpected case switch"), 0;
  }
  phys_hit h;
  if (item_at(p.row, p.col, &h, "find_titm()") != 1 || !h.item) return 0;
  *out = {h.wnd, h.reg.reg, h.reg.pos, h.item};
  return 1;
}

int wm_item_key(uint32_t key) {
  titm_hit h;
  if (!find_titm(wms.work.curs_type, &h)) return 0;
  TITM& it = *h.item;
  text_pos p{h.reg_pos.row - it.tl_row + 1, h.reg_pos.col - it.tl_col + 1};
  text_cnv tc = cv_text_cnv(&it.cnv);
  int ok = 0;
  switch (key) {
    case LK_SPLIT: ok = cv_split(&tc, &p); break;
    case LK_JOIN: ok = cv_join(&tc, &p); break;
    case LK_END_PARAGRAPH:
      ok = cv_end_parag(&tc, &p);
      if (ok) {
        wms.work.curs_reg = h.wnd->id;
        wms.work.reg_pos = {p.row + it.tl_row - 1, p.col + it.tl_col - 1};
        wms.work.curs_type = CURS_REG;
      }
      break;
    case kRedisplayKey: ok = redisplay(it); break;
    default: break;
  }
  wm_mark_item(h.reg, it);
  return ok;
}

}  // namespace kivo
