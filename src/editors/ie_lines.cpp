// Rows and characters of the image editor: inserting, deleting and moving
// rows, inserting and deleting one character, each carrying the items,
// characteristics and translation exceptions that begin on the rows moved.
//
// Invariant: the image keeps its number of rows; an operation that would
// push something off the image is refused before anything changes.
#include <cstring>

#include "editors/ie_internal.h"
#include "fm/fm_status.h"

namespace kivo {

namespace {

constexpr const char* kModule = "IE1";

bool row_blank(const IE_STATE* st, uint32_t r) { return blank(st->line[r].data(), st->ncols); }

// Moves the ROW work record of row r (when there is one) to row r + delta.
bool move_row_rec(IE_STATE* st, uint32_t r, int32_t delta) {
  uint8_t rec[kRowRecSize];
  ie_row_key(rec, st->img, r);
  if (!ie_get(st->rows, 0, rec, kRowRecSize)) return true;
  if (!ie_del(st->rows, rec, kRowRecSize)) return ie_fail(st->rows, "Bad del row ", kModule);
  st_le32(rec, RI_ROW, static_cast<uint32_t>(int32_t(r) + delta));
  return ie_put(st->rows, rec, kRowRecSize) || ie_fail(st->rows, "Bad write ", kModule);
}

// Row r with everything that begins on it moved by delta.
bool move_row(IE_STATE* st, uint32_t r, int32_t delta) {
  return move_row_rec(st, r, delta) && ie_shift_row(st->itms, st->img, r, delta, kIeItemSize, kModule) &&
         ie_shift_row(st->chrs, st->img, r, delta, kChrRecSize, kModule) && move_except_row(st, r, nullptr, delta, 0);
}

// What a cut of rows keeps until it is written back.
struct cut_rows {
  std::vector<ie_rec> rows, itms, chrs, xcepts;
};

bool cut_row(IE_STATE* st, uint32_t r, cut_rows* cut) {
  uint8_t rec[kRowRecSize];
  ie_row_key(rec, st->img, r);
  if (ie_get(st->rows, 0, rec, kRowRecSize)) {
    if (!ie_del(st->rows, rec, kRowRecSize)) return ie_fail(st->rows, "Bad del row ", kModule);
    cut->rows.emplace_back(rec, rec + kRowRecSize);
  }
  auto take = [&](ARB* a, uint16_t len, std::vector<ie_rec>* out) {
    for (const ie_rec& x : ie_on_row(a, st->img, r, len)) {
      if (!ie_del(a, x.data(), len)) return ie_fail(a, "Bad delete ", kModule);
      out->push_back(x);
    }
    return 1;
  };
  if (!take(st->itms, kIeItemSize, &cut->itms) || !take(st->chrs, kChrRecSize, &cut->chrs)) return false;
  if (!st->xcept) return true;
  std::vector<uint8_t> key(kXceptSize, ' ');
  const uint32_t row = r;
  prep_dxcept(key.data(), st->img, &row, nullptr, nullptr);
  for (const ie_rec& x : ie_scan(st->xcept, 0, key.data(), kXceptSize, XC_LANG)) {
    if (!ie_del(st->xcept, x.data(), kXceptSize)) return ie_fail(st->xcept, "Bad delete ", kModule);
    cut->xcepts.push_back(x);
  }
  return true;
}

bool put_back(ARB* a, std::vector<ie_rec>& recs, size_t row_at, uint16_t len, int32_t delta, const char* text) {
  for (ie_rec& x : recs) {
    st_le32(x.data(), row_at, static_cast<uint32_t>(int32_t(ld_le32(x.data(), row_at)) + delta));
    if (!ie_put(a, x.data(), len)) return ie_fail(a, text, kModule);
  }
  return true;
}

}  // namespace

int scr_insert_line(IE_STATE* st, uint32_t R) {
  const uint32_t last = st->nrows;
  if (R < 1 || R > last || !row_blank(st, last) || !ie_on_row(st->itms, st->img, last, kIeItemSize).empty() ||
      !ie_on_row(st->chrs, st->img, last, kChrRecSize).empty())
    return 0;
  if (!upd_row(st, st->img)) return 0;
  // The last row's blank record becomes row rows + 1 until the next write-back.
  for (uint32_t r = last; r >= R; --r)
    if (!move_row(st, r, 1)) return 0;
  ie_rebuild(st, true);
  return 1;
}

int scr_delete_line(IE_STATE* st, uint32_t R) {
  if (R < 1 || R > st->nrows || !upd_row(st, st->img)) return 0;
  cut_rows gone;
  if (!cut_row(st, R, &gone)) return 0;
  for (uint32_t r = R + 1; r <= st->nrows; ++r)
    if (!move_row(st, r, -1)) return 0;
  ie_rebuild(st, true);
  return 1;
}

int ie_move_rows(IE_STATE* st, uint32_t F, uint32_t L, uint32_t D) {
  L = std::min(L, st->nrows);
  if (F > L) std::swap(F, L);
  const uint32_t N = L - F + 1;
  if (F < 1 || D < 1 || uint64_t{D} + N - 1 > st->nrows) return 0;
  if (!upd_row(st, st->img)) return 0;
  cut_rows cut;
  for (uint32_t r = F; r <= L; ++r)
    if (!cut_row(st, r, &cut)) return 0;
  for (uint32_t r = L + 1; r <= st->nrows; ++r)
    if (!move_row(st, r, -int32_t(N))) return 0;
  // The cut left N blank rows at the end, so each insert succeeds.
  populate_itm(st, st->img);
  for (uint32_t n = 0; n < N; ++n)
    if (!scr_insert_line(st, D)) return 0;
  const int32_t delta = int32_t(D) - int32_t(F);
  for (ie_rec& x : cut.rows) {
    uint8_t cur[kRowRecSize];
    memcpy(cur, x.data(), kRowRecSize);
    st_le32(cur, RI_ROW, ld_le32(cur, RI_ROW) + delta);
    if (ie_get(st->rows, 0, cur, kRowRecSize) && !ie_del(st->rows, cur, kRowRecSize))
      return ie_fail(st->rows, "Bad row read ", kModule);
  }
  if (!put_back(st->rows, cut.rows, RI_ROW, kRowRecSize, delta, "Bad row read ") ||
      !put_back(st->itms, cut.itms, RI_ROW, kIeItemSize, delta, "Bad itm read ") ||
      !put_back(st->chrs, cut.chrs, RI_ROW, kChrRecSize, delta, "Bad dchr read "))
    return 0;
  if (st->xcept && !put_back(st->xcept, cut.xcepts, XC_ROW, kXceptSize, delta, "Bad xcept move")) return 0;
  ie_rebuild(st, true);
  return 1;
}

namespace {

// The row's text from column K on, one column right (insert) or left.
int shift_text_at(IE_STATE* st, uint32_t R, uint32_t K, bool insert) {
  uint8_t rec[kRowRecSize];
  ie_row_key(rec, st->img, R);
  if (!ie_get(st->rows, 0, rec, kRowRecSize, true)) return ie_fail(st->rows, "Bad row read ", kModule);
  const uint32_t W = std::min<uint32_t>(st->ncols, kRowTextLen);
  char* t = reinterpret_cast<char*>(rec + RO_TEXT);
  if (K <= W) {
    if (insert) memmove(t + K, t + K - 1, W - K), t[K - 1] = ' ';
    else memmove(t + K - 1, t + K, W - K), t[W - 1] = ' ';
  }
  if (!ie_rewrite(st->rows, rec, kRowRecSize)) return ie_fail(st->rows, "Bad row write ", kModule);
  return 1;
}

// The row's items and characteristics right of K moved by d; a
// characteristic pushed past the last column loses its last cell.
int shift_recs_after(IE_STATE* st, uint32_t R, uint32_t K, int32_t d) {
  const uint32_t C = st->ncols;
  for (ie_rec it : ie_on_row(st->itms, st->img, R, kIeItemSize)) {
    const uint32_t col = ld_le32(it.data(), RI_COL);
    if (col <= K) continue;
    if (!ie_del(st->itms, it.data(), kIeItemSize)) return ie_fail(st->itms, "Bad delete ", kModule);
    st_le32(it.data(), RI_COL, col + d);
    if (!ie_put(st->itms, it.data(), kIeItemSize)) return ie_fail(st->itms, "Bad itm write ", kModule);
  }
  for (ie_rec c : ie_on_row(st->chrs, st->img, R, kChrRecSize)) {
    const uint32_t col = ld_le32(c.data(), RI_COL);
    if (col <= K || col >= C) continue;
    if (!ie_del(st->chrs, c.data(), kChrRecSize)) return ie_fail(st->chrs, "Bad delete ", kModule);
    st_le32(c.data(), RI_COL, col + d);
    const uint32_t w = ld_le32(c.data(), CR_COLS);
    if (col + d + w - 1 > C) st_le32(c.data(), CR_COLS, w - 1);
    if (!ie_put(st->chrs, c.data(), kChrRecSize)) return ie_fail(st->chrs, "Bad chr write ", kModule);
  }
  return 1;
}

}  // namespace

int scr_mv_char(IE_STATE* st, uint32_t R, uint32_t K, int key) {
  const uint32_t C = st->ncols;
  if (R < 1 || R > st->nrows || K < 1 || K > C) return 0;
  const bool insert = key == 1;
  for (const ie_rec& it : ie_on_row(st->itms, st->img, R, kIeItemSize)) {
    if (iw_covers(it.data(), K)) return 0;
    if (insert && ld_le32(it.data(), RI_COL) + iw_cols(it.data()) > C) return 0;
  }
  // Nothing falls off the image: the last column must be free for an insert.
  if (insert && st->line[R][C - 1] != ' ') return 0;
  if (!upd_row(st, st->img)) return 0;
  if (!shift_text_at(st, R, K, insert) || !shift_recs_after(st, R, K, insert ? 1 : -1)) return 0;
  if (insert) {
    for (uint32_t c = C - 1; c >= K && c >= 1; --c)
      if (!move_except_row(st, R, &c, 1, 0)) return 0;
  } else {
    for (uint32_t c = K; c <= C - 1; ++c)
      if (!move_except_row(st, R, &c, -1, K)) return 0;
  }
  ie_rebuild(st, true);
  return 1;
}

int scr_img_rc(IE_STATE* st, uint32_t R, uint32_t K, uint8_t* curs) {
  uint8_t it[kIeItemSize] = {};
  ie_cell_key(it, st->img, R, K);
  if (!ie_get(st->itms, 0, it, kIeItemSize)) return 0;
  memcpy(curs + CU_AP, it + IT_AP, 3), memcpy(curs + CU_FIELD, it + IT_FIELD, 22), curs[CU_BLANK] = ' ';
  memcpy(curs + CU_OCC, it + IT_OCC, 2), st_le16(curs, CU_INDEX, ie_field_index(st->itms, it));
  if (ie_get(st->curs, 0, curs, kIeCursSize, true)) return 1;
  memset(curs + CU_FLAGS, ' ', 10);
  if (!ie_put(st->curs, curs, kIeCursSize)) return ie_fail(st->curs, "Bad write ", kModule);
  return ie_get(st->curs, 0, curs, kIeCursSize, true) || ie_fail(st->curs, "Bad read ", kModule);
}

}  // namespace kivo
