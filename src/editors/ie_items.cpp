// Items of the image editor (choosing a place, placing, taking off, the
// place test of a move) and the translation exceptions that move with the
// row text.
//
// Invariants: an item being changed is off the item work file between the
// return with its request and the next entry; an exception never keeps a
// length of 0.
#include <cstring>

#include "editors/ie_internal.h"
#include "fm/fm_open.h"
#include "foundation/descriptors.h"
#include "foundation/paths.h"

namespace kivo {

namespace {

constexpr const char* kModule = "IE1";

// The item of row R that covers column K, or an empty record.
ie_rec item_at(IE_STATE* st, uint32_t R, uint32_t K) {
  for (ie_rec& it : ie_on_row(st->itms, st->img, R, kIeItemSize))
    if (iw_covers(it.data(), K)) return it;
  return {};
}

bool inside(const IE_STATE* st, uint32_t R, uint32_t K) { return R >= 1 && R <= st->nrows && K >= 1 && K <= st->ncols; }

}  // namespace

int scr_def_itm(IE_STATE* st, uint8_t* ctl, uint32_t R, uint32_t K, ie_itm_key key, uint8_t* itm) {
  if (!inside(st, R, K) || st->line[R][K - 1] != ' ') return 0;
  st_le32(ctl, IEC_ROW, R), st_le32(ctl, IEC_COL, K);
  uint8_t keep[25];
  memcpy(keep, itm + IT_AP, 3), memcpy(keep + 3, itm + IT_FIELD, 22);
  memset(itm, ' ', kIeItemSize);
  if (key == IE_KEY101) memcpy(itm + IT_AP, keep, 3), memcpy(itm + IT_FIELD, keep + 3, 22);
  ie_cell_key(itm, st->img, R, K);
  // Binary fields blank would read as sizes and occurrences: 0 derives them.
  for (size_t at : {size_t{IT_ROWS}, size_t{IT_COLS}, size_t{IW_DROWS}, size_t{IW_DCOLS}}) st_le32(itm, at, 0);
  st_le16(itm, IT_OCC, 0);
  ie_rec found = item_at(st, R, K);
  if (found.empty()) {
    if (key == IE_CHANGE_MODE) return 0;
    ctl[IEC_REQUEST] = key == IE_KEY101 ? IE_REQ_NEW_ITEM : IE_REQ_ITEM;
    return 1;
  }
  if (key == IE_ADD_MODE) return 0;
  memcpy(itm, found.data(), kIeItemSize);
  if (!ie_del(st->itms, found.data(), kIeItemSize)) return ie_fail(st->itms, "Bad fm_del ", kModule);
  ctl[IEC_REQUEST] = IE_REQ_ITEM;
  return 1;
}

int add_itm(IE_STATE* st, uint8_t* itm) {
  if (blank(reinterpret_cast<char*>(itm + IT_FIELD), 22)) return 0;
  get_itm_dspl_size(st, itm, st->img);
  const uint32_t row = ld_le32(itm, RI_ROW), col = ld_le32(itm, RI_COL);
  const uint32_t rows = ld_le32(itm, IW_DROWS), cols = ld_le32(itm, IW_DCOLS);
  for (uint32_t r = row; r < row + rows && r <= st->nrows; ++r)
    for (uint32_t k = col; k < col + cols && k <= st->ncols; ++k)
      if (r >= 1 && k >= 1) st->line[r][k - 1] = ' ';
  if (!ie_put(st->itms, itm, kIeItemSize)) return ie_fail(st->itms, "Bad itm write ", kModule);
  ie_rebuild(st, true, false);
  return 1;
}

int del_itm(IE_STATE* st, uint8_t* itm, uint32_t R, uint32_t K) {
  ie_rec found = item_at(st, R, K);
  if (found.empty()) return 0;
  memcpy(itm, found.data(), kIeItemSize);
  if (!ie_del(st->itms, found.data(), kIeItemSize)) return ie_fail(st->itms, "Bad fm_del ", kModule);
  ie_rebuild(st, true, false);
  return 1;
}

int ie_move_ok(IE_STATE* st, const uint8_t* itm, uint32_t R, uint32_t K) {
  if (!inside(st, R, K) || !item_at(st, R, K).empty()) return 0;
  // An item reaching past the image would cost the whole display its
  // attributes: such a place is refused like a covered one.
  const uint32_t rows = std::max<uint32_t>(ld_le32(itm, IW_DROWS), 1), cols = std::max<uint32_t>(iw_cols(itm), 1);
  if (!check_bounds(st->nrows, st->ncols, R, K, rows, cols)) return 0;
  return blank(st->line[R].data() + K - 1, cols);
}

// ---- translation exceptions of the row text ----

void prep_dxcept(uint8_t* rec, const uint8_t* img, const uint32_t* row, const uint16_t* col, const char* lang) {
  memset(rec, ' ', kXceptKeyLen);
  memcpy(rec + XC_FILE, "ROW     ", 8);
  memcpy(rec + XC_FIELD, "ROW TXT", 7);
  if (img) memcpy(rec + XC_KEYVAL, img, kImageKeyLen);
  if (row) st_le32(rec, XC_ROW, *row);
  if (lang) memcpy(rec + XC_LANG, lang, 3);
  st_le16(rec, XC_COL, col ? *col : 0);
}

int move_except_row(IE_STATE* st, uint32_t row, const uint32_t* col, int32_t delta, uint32_t limit) {
  if (!st->xcept) return 1;
  std::vector<uint8_t> key(kXceptSize, ' ');
  prep_dxcept(key.data(), st->img, &row, nullptr, nullptr);
  for (ie_rec x : ie_scan(st->xcept, 0, key.data(), kXceptSize, XC_LANG)) {
    uint8_t* p = x.data();
    const uint16_t at = ld_le16(p, XC_COL), len = ld_le16(p, XC_LEN);
    if (col && at != *col) continue;
    if (!ie_del(st->xcept, p, kXceptSize)) return ie_fail(st->xcept, "Bad except del ", kModule);
    if (!col) st_le32(p, XC_ROW, uint32_t(int32_t(row) + delta));
    else if (*col == limit) {
      // An exception shortened to nothing is gone.
      if (int32_t(len) + delta <= 0) continue;
      st_le16(p, XC_LEN, uint16_t(len + delta));
    } else st_le16(p, XC_COL, uint16_t(at + delta));
    if (!ie_put(st->xcept, p, kXceptSize)) return ie_fail(st->xcept, "Bad except write ", kModule);
  }
  return 1;
}

int delete_except_row(IE_STATE* st, uint32_t row) {
  if (!st->xcept) return 1;
  std::vector<uint8_t> key(kXceptSize, ' ');
  prep_dxcept(key.data(), st->img, &row, nullptr, nullptr);
  return ie_del_prefix(st->xcept, key.data(), kXceptSize, XC_LANG) ||
         ie_fail(st->xcept, "Bad except del all ", kModule);
}

ARB* create_tmp_xcept(uint32_t scope) {
  FDB f;
  KDB k[kInitMaxKeys];
  SDB s[kInitMaxSegs];
  INIT_DXCEPT_FDB(&f, k, s, "0IE", "00");
  f.fdb_fs_type = FS_MEMORY;
  INIT_UNIQUE_PATH(&f.path, "0IE", "EXCEPT  ", PATH_DATA);
  if (FM_CREATE(&f, scope, 10, LFB_SCOPED | LFB_OPEN_NEW | LFB_NO_STRUCT_CHK, 0x0f, 0x0f)) return f.fdb_arb;
  return nullptr;
}

}  // namespace kivo
