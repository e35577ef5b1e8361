// Items and attribute runs of a window's regions: items written over region
// text, refreshed and removed; runs applied under a mask row by row, boxes
// as one record over their rectangle.
//
// Invariants: the row runs of one region row never overlap; after a run,
// every column it covered holds (old & ~mask) | (value & mask) with the
// run's char and owner (each when given) and no other column changed;
// applying the same run again changes nothing. An item's id is kept in its
// spare word so that runs can name their owner.
#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "foundation/sys_err.h"
#include "screen/wm_region.h"

namespace kivo {

namespace {

constexpr const char* kModule = "WM2";

using chr_map = std::map<wnd_tables::chr_key, wm_chr>;

void set_status(TWND* w, uint32_t code) {
  if (!w->status) w->status = code;
}

bool inside(const TREG* g, int32_t row, int32_t col) {
  return row >= 1 && col >= 1 && row <= g->SIZE.row && col <= g->SIZE.col;
}

chr_map::iterator row_begin(chr_map& m, const TREG* g, int32_t row) {
  return m.lower_bound({g->id, row, INT32_MIN, false});
}

bool same_attrs(const wm_chr& a, const wm_chr& b) { return a.mask == b.mask && a.chr == b.chr && a.item == b.item; }

// The row's plain records the run [l, r] reaches (boxes and their parts left out).
std::vector<wm_chr> overlapped(chr_map& m, const chr_run& run, int32_t row) {
  std::vector<wm_chr> olds;
  for (auto it = row_begin(m, run.reg, row); it != m.end(); ++it) {
    auto& [k, c] = *it;
    if (std::get<0>(k) != run.reg->id || c.row != row || c.col > run.br_col) break;
    if ((c.mask & CHR_BOX_RUN) || std::get<3>(k) || c.end_col < run.col) continue;
    olds.push_back(c);
  }
  return olds;
}

// Puts back the parts of record o that lie outside [l, r].
void keep_outside(chr_map& m, const chr_run& run, const wm_chr& o) {
  const int32_t l = run.col, r = run.br_col;
  if (o.col < l) {
    wm_chr left = o;
    left.end_col = l - 1;
    m[{run.reg->id, o.row, left.col, false}] = left;
  }
  if (o.end_col > r) {
    wm_chr right = o;
    right.col = r + 1;
    m[{run.reg->id, o.row, right.col, false}] = right;
  }
}

// Stores the touched records, neighbours this run made alike as one record.
void store_merged(chr_map& m, const chr_run& run, int32_t row, std::vector<wm_chr>& touched) {
  std::sort(touched.begin(), touched.end(), [](const wm_chr& a, const wm_chr& b) { return a.col < b.col; });
  std::vector<wm_chr> out;
  for (const wm_chr& t : touched) {
    if (!out.empty() && out.back().end_col + 1 == t.col && same_attrs(out.back(), t)) out.back().end_col = t.end_col;
    else out.push_back(t);
  }
  for (const wm_chr& t : out) m[{run.reg->id, row, t.col, false}] = t;
}

// The run over [l, r] of one row; returns whether anything changed.
bool apply_row(chr_map& m, const chr_run& run, int32_t row) {
  const int32_t l = run.col, r = run.br_col;
  const uint32_t value = run.value & run.mask;
  std::vector<wm_chr> touched;
  auto fresh = [&](int32_t a, int32_t b) { touched.push_back({row, a, row, b, value, run.chr, run.item}); };
  bool changed = false;
  int32_t cur = l;
  for (const wm_chr& o : overlapped(m, run, row)) {
    wm_chr mid = o;
    mid.mask = (o.mask & ~run.mask) | value;
    if (run.chr) mid.chr = run.chr;
    if (run.item) mid.item = run.item;
    if (o.col > cur) fresh(cur, o.col - 1);
    cur = std::min(o.end_col, r) + 1;
    if (same_attrs(mid, o)) continue;  // already as asked
    changed = true;
    m.erase({run.reg->id, row, o.col, false});
    keep_outside(m, run, o);
    mid.col = std::max(o.col, l);
    mid.end_col = std::min(o.end_col, r);
    touched.push_back(mid);
  }
  if (cur <= r) fresh(cur, r);
  changed |= !touched.empty();
  store_merged(m, run, row, touched);
  return changed;
}

void apply_box(chr_map& m, const chr_run& run) {
  wm_chr& b = m[{run.reg->id, run.row, run.col, true}];
  uint32_t old = b.end_col ? b.mask : 0;
  b = {run.row, run.col, run.br_row, run.br_col, (old & ~run.mask) | (run.value & run.mask) | CHR_BOX_RUN,
       run.chr, run.item};
}

TITM* find_item(TWND* w, const TREG* g, int32_t row, int32_t col) {
  if (!w->tables || !g) return nullptr;
  auto it = w->tables->items.find({g->id, row, col});
  return it == w->tables->items.end() ? nullptr : &it->second;
}

int32_t span_of(int32_t v) { return v < 1 ? 1 : v; }

void mark_rows(TREG* g, int32_t from, int32_t to, uint8_t bits) {
  for (int32_t r = std::max(from, 1); r <= std::min(to, g->SIZE.row); ++r) reg_flags(g)[r - 1] |= bits;
}

}  // namespace

wnd_tables* wnd_tabs(TWND* w) {
  if (!w->tables) w->tables = new wnd_tables;
  return w->tables;
}

void wm_free_tables(TWND* w) {
  if (!w->tables) return;
  for (auto& [k, it] : w->tables->items) wm_obj_release(it.spare);
  delete w->tables;
  w->tables = nullptr;
}

int upd_tchr(TWND* w, const chr_run& run) {
  if (!inside(run.reg, run.row, run.col)) return set_status(w, WM_CHR_START), 0;
  if (!inside(run.reg, run.br_row, run.br_col) || run.br_row < run.row || run.br_col < run.col)
    return set_status(w, WM_CHR_END), 0;
  chr_map& m = wnd_tabs(w)->chrs;
  if (run.value & CHR_BOX_RUN) {
    apply_box(m, run);
    mark_rows(run.reg, run.row, run.row, ROW_ATTR);
    return 1;
  }
  for (int32_t row = run.row; row <= run.br_row; ++row)
    if (apply_row(m, run, row)) mark_rows(run.reg, row, row, ROW_ATTR);
  return 1;
}

const wm_chr* find_tchr(TWND* w, TREG* g, int32_t row, int32_t col) {
  if (!w->tables) return nullptr;
  chr_map& m = w->tables->chrs;
  for (auto it = row_begin(m, g, row); it != m.end(); ++it) {
    const wm_chr& c = it->second;
    if (std::get<0>(it->first) != g->id || c.row != row || c.col > col) break;
    if (!std::get<3>(it->first) && c.end_col >= col) return &c;
  }
  return nullptr;
}

int wm_apply_blk(TWND* w, TREG* g, const CHR_BLK& blk, uint32_t mask) {
  uint32_t owner = 0;
  if (blk.item_row) {
    TITM* it = find_item(w, g, blk.item_row, blk.item_col);
    if (!it) return set_status(w, WM_CHR_NO_ITEM), 0;
    owner = it->spare;
  }
  chr_run run{g,
              blk.row,
              blk.col,
              blk.row + span_of(blk.rows) - 1,
              blk.col + span_of(blk.cols) - 1,
              blk.value & mask,
              mask,
              uint8_t(blk.chr),
              owner};
  return upd_tchr(w, run);
}

int wm_put_item(TWND* w, TREG* g, const TITM& def) {
  if (!inside(g, def.tl_row, def.tl_col)) return set_status(w, WM_ITM_START), 0;
  int32_t br_row = def.tl_row + span_of(def.cnv.ext_rows) - 1, br_col = def.tl_col + span_of(def.cnv.ext_cols) - 1;
  if (!inside(g, br_row, br_col)) return set_status(w, WM_ITM_END), 0;
  TITM& it = wnd_tabs(w)->items[{g->id, def.tl_row, def.tl_col}];
  uint32_t id = it.spare;
  it = def;
  it.reg = g->id;
  it.br_row = br_row;
  it.br_col = br_col;
  it.cnv.ext_addr =
      reinterpret_cast<char*>(reg_text(g)) + size_t(def.tl_row - 1) * size_t(g->SIZE.col) + def.tl_col - 1;
  it.cnv.ext_stride = uint32_t(g->SIZE.col);
  it.spare = id ? id : wm_obj_id(&it);
  if (it.edited) {
    cv_itoe(&it.cnv);
    it.edited = 0;
  }
  mark_rows(g, def.tl_row, br_row, ROW_TEXT);
  return 1;
}

int upd_titm(TWND* w, TITM* def) {
  TITM* it = find_item(w, w->cur_reg, def->tl_row, def->tl_col);
  if (!it) return set_status(w, WM_ITM_NONE), 0;
  if (!def->edited) return 1;
  CNV& c = it->cnv;
  c.int_addr = def->cnv.int_addr;
  c.alt_addr = def->cnv.alt_addr;
  c.aux_addr = def->cnv.aux_addr;
  c.int_indirect = def->cnv.int_indirect;
  c.alt_indirect = def->cnv.alt_indirect;
  c.addr_mode = def->cnv.addr_mode;
  c.dspl_cmp = def->cnv.dspl_cmp;
  cv_itoe(&c);
  def->cnv.dspl_cmp = c.dspl_cmp;
  mark_rows(w->cur_reg, it->tl_row, it->br_row, ROW_TEXT);
  return 1;
}

int wm_upd_itm(TWND* w, TITM* def, uint32_t value, uint32_t mask, uint8_t chr) {
  if (!w) return sys_err(kModule, __LINE__, "wm_upd_itm  - bad  reg"), 0;
  if (!def) return sys_err(kModule, __LINE__, "wm_upd_itm  - bad  itm"), 0;
  if (!SET_CUR_REG(w) || !upd_titm(w, def)) return 0;
  if (!mask && !chr) return 1;
  TITM* it = find_item(w, w->cur_reg, def->tl_row, def->tl_col);
  return upd_tchr(w, {w->cur_reg, it->tl_row, it->tl_col, it->br_row, it->br_col, value & mask, mask, chr, it->spare});
}

int wm_insert_itm(TWND* w, const TITM* def, uint32_t value, uint32_t mask, uint8_t chr) {
  if (!w || !def) return sys_err(kModule, __LINE__, "wm_insert_itm() - bad reg"), 0;
  if (!SET_CUR_REG(w) || !wm_put_item(w, w->cur_reg, *def)) return 0;
  TITM* it = find_item(w, w->cur_reg, def->tl_row, def->tl_col);
  return upd_tchr(w, {w->cur_reg, it->tl_row, it->tl_col, it->br_row, it->br_col, value, mask, chr, it->spare});
}

int wm_remove_itm(TWND* w, ut_point pos, uint32_t mask, uint8_t chr) {
  if (!w) return sys_err(kModule, __LINE__, "wm_remove_itm() - bad reg"), 0;
  if (!SET_CUR_REG(w)) return 0;
  TREG* g = w->cur_reg;
  TITM* it = find_item(w, g, pos.row, pos.col);
  if (!it) return set_status(w, WM_ITM_NONE), 0;
  chr_map& m = w->tables->chrs;
  for (int32_t row = it->tl_row; row <= it->br_row; ++row) {
    for (auto c = row_begin(m, g, row); c != m.end() && std::get<0>(c->first) == g->id && c->second.row == row;) {
      wm_chr& k = c->second;
      if (k.item != it->spare) {
        ++c;
        continue;
      }
      if ((k.mask & ~mask) || chr) {
        k.mask &= ~mask;
        k.chr = chr;
        k.item = 0;
        ++c;
      } else {
        c = m.erase(c);
      }
    }
    uint8_t* text = reg_text(g) + size_t(row - 1) * size_t(g->SIZE.col) + it->tl_col - 1;
    memset(text, ' ', size_t(it->br_col - it->tl_col + 1));
    mark_rows(g, row, row, ROW_ALL);
  }
  wm_obj_release(it->spare);
  w->tables->items.erase({g->id, pos.row, pos.col});
  return 1;
}

int wm_upd_chr(TWND* w, const CHR_BLK* blk, uint32_t mask) {
  if (!w) return sys_err(kModule, __LINE__, "wm_upd_chr() - bad reg"), 0;
  if (!blk) return sys_err(kModule, __LINE__, "wm_upd_chr() - bad chr"), 0;
  if (!SET_CUR_REG(w)) return 0;
  wm_apply_blk(w, w->cur_reg, *blk, mask);
  return w->status == 0;
}

void CHR_PREP(CHR_BLK* chr) {
  *chr = {};
  chr->rows = 1;
}

void SET_CHR(CHR_BLK* chr, int32_t col, int32_t width) {
  chr->col = col;
  chr->cols = width;
}

void WRITE_CHR(std::vector<CHR_BLK>& file, CHR_BLK* chr, int32_t col, int32_t width) {
  chr->col = chr->item_col = col;
  chr->cols = width;
  file.push_back(*chr);
}

}  // namespace kivo
