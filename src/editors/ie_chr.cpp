// Characteristics of the image editor: merging a characteristic into the
// attribute runs of the rows it covers, storing a box, and centring a row
// with everything that begins on it.
//
// Invariants: after a merge the merged rows hold one-row characteristics
// that never overlap on a row; a box is stored as chosen. Centring moves
// only what begins on the centred row.
#include <cstring>

#include "editors/ie_internal.h"

namespace kivo {

namespace {

constexpr const char* kModule = "IE1";

// The four flags of a characteristic (+56 to +59): the attribute bit a '1'
// sets and the bit that records an explicit '0'.
struct flag_bits {
  size_t at;
  uint32_t set, cleared;
};
constexpr flag_bits kFlags[4] = {
    {CR_FLAGS, 0x4000, 0x20000},
    {CR_FLAGS + 1, 0x100, 0x80000},
    {CR_FLAGS + 2, 0x40, 0x10000},
    {CR_FLAGS + 3, 0x80, 0x40000},
};

uint32_t mask_of(const uint8_t* c) {
  uint32_t m = 0;
  for (const flag_bits& f : kFlags) m |= c[f.at] == '1' ? f.set : c[f.at] == '0' ? f.cleared : 0;
  return m;
}

// A one-row record of the buffer's image at (row, col) over `cols` columns.
void one_row(uint8_t* rec, const uint8_t* from, uint32_t row, uint32_t col, uint32_t cols) {
  memcpy(rec, from, kChrRecSize);
  memset(rec + RI_LANG, ' ', 3);
  st_le32(rec, RI_ROW, row), st_le32(rec, RI_COL, col);
  st_le32(rec, CR_ROWS, 1), st_le32(rec, CR_COLS, cols);
}

bool store_box(IE_STATE* st, const uint8_t* chr) {
  uint8_t rec[kChrRecSize];
  memcpy(rec, chr, kChrRecSize);
  if (ie_get(st->chrs, 0, rec, kChrRecSize, true)) return ie_rewrite(st->chrs, chr, kChrRecSize);
  return ie_put(st->chrs, chr, kChrRecSize);
}

// Step 2 for one row: the row's characteristics as a mask and a value per
// column, the buffer applied over its columns, the runs written back.
bool merge_row(IE_STATE* st, const uint8_t* chr, uint32_t r) {
  const uint32_t C = st->ncols;
  std::vector<ie_rec> old = ie_on_row(st->chrs, st->img, r, kChrRecSize);
  const uint32_t first = ld_le32(chr, RI_COL);
  const uint32_t last = std::min<uint64_t>(C, uint64_t{first} + ld_le32(chr, CR_COLS) - 1);
  if (old.empty()) {
    uint8_t rec[kChrRecSize];
    one_row(rec, chr, r, first, last - first + 1);
    return ie_put(st->chrs, rec, kChrRecSize) || ie_fail(st->chrs, "Bad chr write ", kModule);
  }
  std::vector<uint32_t> mask(C + 1, 0);
  std::vector<uint8_t> value(C + 1, 0);
  for (const ie_rec& o : old) {
    const uint8_t* c = o.data();
    if (c[CR_BOX] == '1') continue;
    const uint32_t col = ld_le32(c, RI_COL), end = std::min<uint64_t>(C, uint64_t{col} + ld_le32(c, CR_COLS) - 1);
    for (uint32_t k = std::max<uint32_t>(col, 1); k <= end; ++k) mask[k] = mask_of(c), value[k] = c[CR_REVERSE];
    if (!ie_del(st->chrs, c, kChrRecSize)) return ie_fail(st->chrs, "Bad del ", kModule);
  }
  for (uint32_t k = first; k <= last; ++k) {
    for (const flag_bits& f : kFlags) {
      if (chr[f.at] == '1') mask[k] |= f.set;
      else if (chr[f.at] == '0') mask[k] &= ~f.set;
    }
    value[k] = chr[CR_REVERSE];
  }
  for (uint32_t k = 1; k <= C;) {
    uint32_t e = k;
    while (e < C && mask[e + 1] == mask[k] && value[e + 1] == value[k]) ++e;
    bool any_set = false;
    uint8_t rec[kChrRecSize];
    one_row(rec, chr, r, k, e - k + 1);
    for (const flag_bits& f : kFlags) {
      rec[f.at] = mask[k] & f.set ? '1' : mask[k] & f.cleared ? '0' : ' ';
      any_set = any_set || rec[f.at] == '1';
    }
    rec[CR_REVERSE] = value[k], rec[CR_BOX] = '0';
    if ((any_set || value[k]) && !ie_put(st->chrs, rec, kChrRecSize))
      return ie_fail(st->chrs, "Bad CHR write ", kModule);
    k = e + 1;
  }
  return true;
}

}  // namespace

ie_rec chr_at(IE_STATE* st, uint32_t row, uint32_t col, bool exact) {
  for (ie_rec& c : ie_on_row(st->chrs, st->img, row, kChrRecSize)) {
    const uint32_t at = ld_le32(c.data(), RI_COL);
    if (exact ? at == col : at <= col && col <= at + ld_le32(c.data(), CR_COLS)) return c;
  }
  return {};
}

int add_chr(IE_STATE* st, const uint8_t* chr) {
  const uint32_t row = ld_le32(chr, RI_ROW), col = ld_le32(chr, RI_COL);
  const uint32_t rows = ld_le32(chr, CR_ROWS), cols = ld_le32(chr, CR_COLS);
  // The application's buffer is outside input: a rectangle off the image
  // would make the whole display lose its attributes.
  if (!check_bounds(st->nrows, st->ncols, row, col, rows, cols)) return 0;
  if (chr[CR_BOX] == '1') {
    if (!store_box(st, chr)) return ie_fail(st->chrs, "Bad CHR write ", kModule);
  } else {
    for (uint32_t r = row; r < row + rows; ++r)
      if (!merge_row(st, chr, r)) return 0;
  }
  ie_rebuild(st, true, false);
  return 1;
}

namespace {

// How far row R moves to stand centred: its span is its characters, items
// and text (text from column B + 1). 0 when it is empty, full or centred.
int32_t center_shift(IE_STATE* st, uint32_t R, const std::vector<ie_rec>& chrs, const std::vector<ie_rec>& itms,
                     uint32_t B) {
  const uint32_t C = st->ncols;
  uint64_t left = kIeUnset, right = 0;
  auto span = [&](const uint8_t* rec, size_t cols_at) {
    const uint32_t col = ld_le32(rec, RI_COL);
    left = std::min<uint64_t>(left, col), right = std::max<uint64_t>(right, uint64_t{col} + ld_le32(rec, cols_at) - 1);
  };
  for (const ie_rec& c : chrs) span(c.data(), CR_COLS);
  for (const ie_rec& it : itms) span(it.data(), IW_DCOLS);
  const std::string& text = st->line[R];
  left = std::min<uint64_t>(left, B + 1);
  if (text.find_first_not_of(' ') != std::string::npos)
    right = std::max<uint64_t>(right, text.find_last_not_of(' ') + 1);
  if (right < left) return 0;
  const uint64_t W = right - left + 1;
  if (W == 0 || W == C) return 0;
  const int64_t N = int64_t(C / 2) - int64_t(W / 2) + (C % 2 == 0 && W % 2 == 1 ? 0 : 1);
  return int32_t(N - int64_t(left));
}

// Step 6: the row's text from B + 1 on, shifted; what passes the last column drops.
int shift_row_text(IE_STATE* st, uint32_t R, uint32_t B, int32_t S) {
  uint8_t rec[kRowRecSize];
  ie_row_key(rec, st->img, R);
  if (!ie_get(st->rows, 0, rec, kRowRecSize, true)) return ie_fail(st->rows, "Bad row read ", kModule);
  const uint32_t Wt = std::min<uint32_t>(st->ncols, kRowTextLen);
  char* t = reinterpret_cast<char*>(rec + RO_TEXT);
  const std::string had(t, Wt);
  memset(t, ' ', Wt);
  for (uint32_t k = B + 1; k <= Wt; ++k) {
    const int64_t to = int64_t(k) + S;
    if (to >= 1 && to <= Wt) t[to - 1] = had[k - 1];
  }
  if (!ie_rewrite(st->rows, rec, kRowRecSize)) return ie_fail(st->rows, "Bad row rewrite ", kModule);
  return 1;
}

// Step 8: all taken off before any goes back, so no shifted key meets an old one.
bool shift_recs(ARB* a, std::vector<ie_rec>& recs, uint16_t len, int32_t S) {
  for (const ie_rec& x : recs)
    if (!ie_del(a, x.data(), len)) return ie_fail(a, "Bad delete ", kModule) != 0;
  for (ie_rec& x : recs) {
    st_le32(x.data(), RI_COL, uint32_t(int64_t(ld_le32(x.data(), RI_COL)) + S));
    if (!ie_put(a, x.data(), len)) return ie_fail(a, "Bad write ", kModule) != 0;
  }
  return true;
}

}  // namespace

int scr_center(IE_STATE* st, uint32_t R) {
  if (R < 1 || R > st->nrows || !upd_row(st, st->img)) return 0;
  const uint32_t C = st->ncols;
  std::vector<ie_rec> chrs = ie_on_row(st->chrs, st->img, R, kChrRecSize);
  std::vector<ie_rec> itms = ie_on_row(st->itms, st->img, R, kIeItemSize);
  const size_t nb = st->line[R].find_first_not_of(' ');
  const uint32_t B = nb == std::string::npos ? C : uint32_t(nb);
  const int32_t S = center_shift(st, R, chrs, itms, B);
  if (S == 0 || !shift_row_text(st, R, B, S)) return 0;
  // Step 7: walked from the side the text moves towards.
  if (S > 0) {
    for (uint32_t c = C; c >= 1; --c)
      if (!move_except_row(st, R, &c, S, 0)) return 0;
  } else {
    for (uint32_t c = 1; c <= C; ++c)
      if (!move_except_row(st, R, &c, S, 0)) return 0;
  }
  if (!shift_recs(st->chrs, chrs, kChrRecSize, S) || !shift_recs(st->itms, itms, kIeItemSize, S)) return 0;
  ie_rebuild(st, true);
  return 1;
}

}  // namespace kivo
