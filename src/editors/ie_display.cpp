// The image editor's display: the line buffers and the items of text that
// show them, the cell map of attributes from characteristics, exceptions
// and items, its run-length encoding into compiled characteristics, and the
// display size of an item.
//
// Invariant: the cell map is rebuilt whole; a characteristic or item that
// does not end inside the image leaves the characteristic display empty and
// makes populate_chr give 0 (the image is then opened view-only).
#include <cstring>

#include "compiler/em_item.h"
#include "compiler/pc_cmpl.h"
#include "editors/ie_internal.h"
#include "fm/fm_open.h"
#include "fm/la.h"
#include "foundation/app_date_mask.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "types/cnv.h"
#include "types/element.h"

namespace kivo {

namespace {

bool on(const uint8_t* rec, size_t at) { return rec[at] == '1'; }

// The attributes of a CHR-layout record's flags.
uint32_t chr_attr(const uint8_t* c) {
  uint32_t v = 0;
  if (on(c, CR_FLAGS + 1)) v |= CM_UNDERLINE;
  if (on(c, CR_FLAGS + 2)) v |= CM_BOLD;
  if (on(c, CR_FLAGS + 3) || c[CR_REVERSE]) v |= CM_REVERSE;
  if (on(c, CR_FLAGS)) v |= CM_FLAG;
  return v;
}

CHR_BLK run(int32_t row, int32_t col, int32_t rows, int32_t cols, uint32_t value) {
  CHR_BLK b{};
  b.row = row, b.col = col, b.rows = rows, b.cols = cols, b.value = value;
  return b;
}

// Reads the element of the item's field into `elem`: 1, or 0 when it is
// not there (its application's ELEMENT file missing included).
int item_elem(IE_STATE* st, const uint8_t* itm, uint8_t* elem) {
  char ap[4] = {};
  memcpy(ap, itm + IT_AP, 3);
  ARB* a = st->delem;
  ARB* own = nullptr;
  if (memcmp(ap, st->ap, 3) != 0 && !blank(ap, 3)) {
    FDB f;
    KDB k[kInitMaxKeys];
    SDB s[kInitMaxSegs];
    char ver[3] = {st->ver[0], st->ver[1], 0};
    INIT_DELEM_FDB(&f, k, s, ap, IS_BOB_AP(ap) ? "00" : ver);
    if (!FM_OPEN(&f, com.proc_scope, LFB_ANY_DIR, 0x01, 0x0f)) return 0;
    a = own = f.fdb_arb;
  }
  if (!a) return 0;
  memset(elem, 0, kElementSize);
  memcpy(elem + ELEM_NAME, itm + IT_FIELD, 22);
  const int ok = ie_get(a, 0, elem, kElementSize);
  if (own) FM_CLOSE(own, 0);
  return ok;
}

}  // namespace

int check_bounds(uint32_t lim_rows, uint32_t lim_cols, uint32_t row, uint32_t col, uint32_t rows, uint32_t cols) {
  // Row or column 0 would index the cell map before its start.
  if (row < 1 || col < 1 || rows < 1 || cols < 1) return 0;
  return row <= lim_rows && col <= lim_cols && uint64_t{row} + rows - 1 <= lim_rows &&
         uint64_t{col} + cols - 1 <= lim_cols;
}

int get_itm_dspl_size(IE_STATE* st, uint8_t* itm, const uint8_t* img) {
  if (ld_le32(itm, IT_ROWS) == 0) st_le32(itm, IT_ROWS, kIeUnset);
  if (ld_le32(itm, IT_COLS) == 0) st_le32(itm, IT_COLS, kIeUnset);
  uint8_t elem[kElementSize];
  st_le32(itm, IW_DROWS, 1), st_le32(itm, IW_DCOLS, 1);
  if (!item_elem(st, itm, elem)) return 0;
  // Sized as the running process compiles it: as the image's application,
  // whose date mask its dates take. Where neither that application nor the
  // session's has its APPL record (a design not installed yet), a date
  // takes the mask the session shows dates with rather than ending the
  // editor.
  const pc_as_application running_as(st->ap, st->ver);
  cv_item dated{};
  const bool own_mask = IS_ELEM_DATE(elem[ELEM_TYPE]) && ut_design_appl_missing(com.cur_ap, com.cur_ver);
  if (own_mask) {
    dated.rows = 1, dated.cols = kIeUnset, dated.blank_ok = 1;
    ut_get_date_msk(st->ap, st->ver, dated.mask);
  }
  sitm s{};
  CNV c{};
  cv_bld_sitm(&s, elem, own_mask ? &dated : nullptr);
  if (!cv_cmpl(&c, &s, nullptr)) {
    if (st->msgs) {
      char parm[26];
      memcpy(parm, itm + IT_AP, 3), parm[3] = 0, memcpy(parm + 4, itm + IT_FIELD, 22);
      const cstr p{26, parm};
      la_add_msg(st->msgs, &c.cnv_status, 4, {&p, 1});
    }
    return 0;
  }
  uint32_t rows = 1, cols = 1;
  display_size(itm, elem, c.ext_len, ld_le32(img, IM_COLS), &rows, &cols);
  st_le32(itm, IW_DROWS, rows), st_le32(itm, IW_DCOLS, cols);
  return 1;
}

void populate_itm(IE_STATE* st, const uint8_t* img) {
  st->litm.clear();
  const uint32_t cols = st->ncols, keep = std::min<uint32_t>(cols, kRowTextLen);
  for (uint32_t r = 1; r <= st->nrows; ++r) st->line[r].assign(cols, ' ');
  uint8_t key[kRowRecSize] = {};
  memcpy(key, img, kImageKeyLen);
  for (const ie_rec& rec : ie_scan(st->rows, 0, key, kRowRecSize, kImageKeyLen)) {
    const uint32_t r = ld_le32(rec.data(), RI_ROW);
    if (r >= 1 && r <= st->nrows) memcpy(st->line[r].data(), rec.data() + RO_TEXT, keep);
  }
  for (uint32_t r = 1; r <= st->nrows; ++r) {
    CITM c;
    ALPHA_PREP(&c);
    c.citm_row = static_cast<int32_t>(r);
    SET_ITM(&c, static_cast<uint16_t>(cols), reinterpret_cast<uint8_t*>(st->line[r].data()), 1);
    TITM t{};
    t.tl_row = c.citm_row, t.tl_col = 1, t.br_row = c.citm_bot, t.br_col = c.citm_right;
    t.cnv = c.citm_cnv;
    t.edited = 1;  // the region converts only marked items: unmarked rows show blank
    st->litm.push_back(t);
  }
}

void populate_echr(IE_STATE* st, ARB* xcept) {
  uint8_t none[kChrRecSize] = {};
  ie_del_prefix(st->echr, none, kChrRecSize, 0);
  if (!xcept) return;
  std::vector<uint8_t> key(kXceptSize, 0);
  memcpy(key.data() + XC_FILE, "ROW     ", 8);
  for (const ie_rec& x : ie_scan(xcept, 0, key.data(), kXceptSize, 8)) {
    if (memcmp(x.data() + XC_FIELD, "ROW TXT", 7) != 0) continue;
    const uint8_t* kv = x.data() + XC_KEYVAL;
    uint8_t c[kChrRecSize];
    memset(c, ' ', sizeof c);
    memcpy(c, kv, RI_ROW + 4);  // the ROW key: the image key, language, row
    memset(c + RI_LANG, ' ', 3);
    st_le32(c, RI_COL, ld_le16(x.data(), XC_COL));
    st_le32(c, CR_ROWS, 1), st_le32(c, CR_COLS, ld_le16(x.data(), XC_LEN));
    c[CR_FLAGS] = '0', c[CR_FLAGS + 1] = '1', c[CR_FLAGS + 2] = '1', c[CR_FLAGS + 3] = '0';
    c[CR_REVERSE] = 0, c[CR_BOX] = '0';
    ie_put(st->echr, c, kChrRecSize);
  }
}

namespace {

// The screen's cells, one attribute word each, addressed from (1,1).
struct CellMap {
  uint32_t rows, cols;
  std::vector<uint32_t> cells;
  CellMap(uint32_t r, uint32_t c, uint32_t base) : rows(r), cols(c), cells(size_t{r} * c, base) {}
  uint32_t& at(uint32_t r, uint32_t c) { return cells[size_t{r - 1} * cols + (c - 1)]; }
};

// Paints the character records; boxes only mark their corner and are kept for last.
bool paint_chrs(IE_STATE* st, const uint8_t* key, bool input, CellMap& m, std::vector<ie_rec>& boxes) {
  for (const ie_rec& cr : ie_scan(st->xcept_view ? st->echr : st->chrs, 0, key, kChrRecSize, kImageKeyLen)) {
    const uint8_t* c = cr.data();
    const uint32_t row = ld_le32(c, RI_ROW), col = ld_le32(c, RI_COL);
    const uint32_t rows = ld_le32(c, CR_ROWS), cols = ld_le32(c, CR_COLS);
    if (!check_bounds(m.rows, m.cols, row, col, rows, cols)) return false;
    if (on(c, CR_BOX)) {
      m.at(row, col) = CM_BOX_FIRST;
      boxes.push_back(cr);
      continue;
    }
    const uint32_t v = (input ? CM_BASE_INPUT : CM_BASE) | chr_attr(c) | (st->xcept_view ? uint32_t{CM_FIRST} : 0u);
    for (uint32_t r = row; r < row + rows; ++r)
      for (uint32_t k = col; k < col + cols; ++k) m.at(r, k) = v;
  }
  return true;
}

uint32_t item_attr(const uint8_t* t) {
  uint32_t attr = CM_ITEM;
  if (on(t, IT_ATTR) || on(t, IT_ATTR + 3)) attr |= CM_BOLD;
  if (on(t, IT_ATTR + 2)) attr |= CM_UNDERLINE;
  if (on(t, IT_ATTR + 4)) attr |= CM_REVERSE;
  return attr;
}

// An item that starts inside the one before it: the covered part of the earlier one flashes.
void mark_overlap(CellMap& m, const uint8_t* p, uint32_t row, uint32_t col) {
  const uint32_t pr = ld_le32(p, RI_ROW), pc = ld_le32(p, RI_COL);
  const uint32_t prs = ld_le32(p, IW_DROWS), pcs = ld_le32(p, IW_DCOLS);
  if (row < pr || row >= pr + prs || col < pc || col >= pc + pcs) return;
  for (uint32_t r = pr; r < pr + prs; ++r)
    for (uint32_t k = pc; k < col; ++k) m.at(r, k) |= CM_BLINK | CM_BOLD | CM_REVERSE;
}

// Paints the items over the characters; 0 after a failure already reported.
int paint_items(IE_STATE* st, const uint8_t* img, const uint8_t* key, CellMap& m) {
  bool first = true;
  ie_rec prev;
  for (ie_rec& it : ie_scan(st->itms, 0, key, kIeItemSize, kImageKeyLen)) {
    uint8_t* t = it.data();
    const uint32_t dr = ld_le32(t, IW_DROWS), dc = ld_le32(t, IW_DCOLS);
    if (!dr || !dc || dr == kIeUnset || dc == kIeUnset) {
      // Kept in the work record: the cell tests of the editing keys read it.
      get_itm_dspl_size(st, t, img);
      if (!ie_rewrite(st->itms, t, kIeItemSize)) return ie_fail(st->itms, "Bad itm rewrite ", "IE2");
    }
    const uint32_t row = ld_le32(t, RI_ROW), col = ld_le32(t, RI_COL);
    const uint32_t rows = ld_le32(t, IW_DROWS), cols = ld_le32(t, IW_DCOLS);
    if (!check_bounds(m.rows, m.cols, row, col, rows, cols)) return 0;
    const uint32_t attr = item_attr(t);
    m.at(row, col) |= CM_FIRST;
    for (uint32_t r = row; r < row + rows; ++r)
      for (uint32_t k = col; k < col + cols; ++k) m.at(r, k) = (m.at(r, k) & ~1u) | attr;
    if (!first) mark_overlap(m, prev.data(), row, col);
    first = false;
    prev = it;
  }
  return 1;
}

// Each row's runs of equal cells become blocks; box corners are left to the boxes.
void emit_runs(IE_STATE* st, CellMap& m) {
  for (uint32_t r = 1; r <= m.rows; ++r)
    for (uint32_t k = 1; k <= m.cols;) {
      uint32_t e = k;
      while (e < m.cols && m.at(r, e + 1) == m.at(r, k)) ++e;
      if (m.at(r, k) != CM_BOX_FIRST) {
        // The run belongs to the row's line item, so that what is typed
        // on it reaches the line buffer.
        CHR_BLK b = run(int32_t(r), int32_t(k), 1, int32_t(e - k + 1), m.at(r, k));
        b.item_row = int32_t(r), b.item_col = 1;
        st->lchr.push_back(b);
      }
      k = e + 1;
    }
}

}  // namespace

int populate_chr(IE_STATE* st, const uint8_t* img, bool input) {
  if (st->xcept_view) populate_echr(st, st->xcept);
  st->lchr.clear();
  CellMap m(st->nrows, st->ncols, input ? CM_BASE_INPUT : CM_BASE);
  uint8_t key[kIeItemSize] = {};  // the longest record scanned with it
  memcpy(key, img, kImageKeyLen);
  std::vector<ie_rec> boxes;
  if (!paint_chrs(st, key, input, m, boxes)) return 0;
  if (!paint_items(st, img, key, m)) return 0;
  emit_runs(st, m);
  for (const ie_rec& b : boxes) {
    const uint8_t* c = b.data();
    uint32_t v = CM_BOX | chr_attr(c);
    st->lchr.push_back(run(int32_t(ld_le32(c, RI_ROW)), int32_t(ld_le32(c, RI_COL)), int32_t(ld_le32(c, CR_ROWS)),
                           int32_t(ld_le32(c, CR_COLS)), v));
  }
  return 1;
}

int upd_row(IE_STATE* st, const uint8_t* img) {
  uint8_t key[kRowRecSize] = {};
  memcpy(key, img, kImageKeyLen);
  if (!ie_del_prefix(st->rows, key, kRowRecSize, kImageKeyLen)) return ie_fail(st->rows, "Bad row del all ", "IE2");
  const uint32_t keep = std::min<uint32_t>(st->ncols, kRowTextLen);
  for (uint32_t r = 1; r <= st->nrows; ++r) {
    uint8_t rec[kRowRecSize];
    memset(rec, ' ', sizeof rec);
    ie_row_key(rec, img, r);
    memcpy(rec + RO_TEXT, st->line[r].data(), keep);
    if (!ie_put(st->rows, rec, kRowRecSize)) return ie_fail(st->rows, "Bad row write ", "IE2");
  }
  return 1;
}

void ie_rebuild(IE_STATE* st, bool input, bool rows) {
  if (rows) populate_itm(st, st->img);
  if (!populate_chr(st, st->img, input)) st->lchr.clear();
  ie_redraw(st);
}

}  // namespace kivo
