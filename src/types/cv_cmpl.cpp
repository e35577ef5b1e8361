// Compiling a conversion block: the source item from an element and its item
// (`cv_bld_sitm`), then the block by type (`cv_cmpl`).
//
// Invariant: a compiled block never has fewer than one display column; an
// item that leaves none fails with CV_NO_COLUMNS rather than wrapping
// `ext_len`. Inconsistencies that only a broken design can cause are system
// errors that end the current level with end code 3.
#include <algorithm>
#include <cstring>

#include "foundation/app_date_mask.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "foundation/text.h"
#include "types/cnv.h"
#include "types/date_mask.h"
#include "types/element.h"
#include "types/num_range.h"
#include "types/std_date.h"

namespace kivo {

namespace {

constexpr const char* kLastDateMask = "06/05/8877 44:33:22.11 am";
constexpr uint32_t kNotGiven = 32767;
constexpr uint8_t kNoToken = 255;

// The conversion cannot go on with a broken block: report, then unwind.
[[noreturn]] void cv_fatal(int line, const char* text) {
  os_note_run_failure(text);
  sys_err("CV", line, "%s", text);
  mark_leave(3);
}

bool flag_byte(uint8_t b) { return b != 0 && b != '0' && b != ' '; }
uint8_t digit_byte(uint8_t b) { return b >= '0' && b <= '9' ? static_cast<uint8_t>(b - '0') : b; }
bool is_date_type(uint8_t t) { return IS_ELEM_DATE(t); }

// The built-in last date mask in the stored spelling.
void last_date_mask(char* mask) {
  uint8_t arg[kCvMaskLen + 4];
  ut_cpy_fill(reinterpret_cast<char*>(arg), kLastDateMask, kCvMaskLen);
  st_le32(arg, kCvMaskLen, 0);
  cv_xlate_dat_msk(nullptr, arg);
  memcpy(mask, arg, kCvMaskLen);
}

void choose_mask(sitm* s, const uint8_t* elem, const cv_item* item) {
  const char* alt = reinterpret_cast<const char*>(elem + ELEM_ALT_MASK);
  if (item && !BLANK_MSK(item->mask)) {
    memcpy(s->mask, item->mask, kCvMaskLen);
  } else if (!BLANK_MSK(alt)) {
    memcpy(s->mask, alt, kCvMaskLen);
  } else if (is_date_type(s->type)) {
    // Every current application has its APPL record; without one the
    // design is broken.
    if (ut_design_appl_missing(com.cur_ap, com.cur_ver)) cv_fatal(__LINE__, "cv_bld_sitm - missing dap");
    if (!ut_design_date_msk(com.cur_ap, com.cur_ver, s->mask)) last_date_mask(s->mask);
  } else {
    memcpy(s->mask, s->elem_mask, kCvMaskLen);
    s->mask_from_elem = 1;
  }
}

void take_token(sitm* s, const uint8_t* elem) {
  s->token_kind = kNoToken;
  const uint16_t code_len = ld_le16(elem, ELEM_CODE_LEN);
  if (!code_len) return;
  // A domain's token is named after the domain; a field of its own after itself.
  const bool domain = !ut_is_all(elem + ELEM_DOMAIN, ' ', kTokenGroupLen) && elem[ELEM_DOMAIN] != 0;
  s->token_kind = domain ? 0 : 1;
  memcpy(s->token_grp, elem + (domain ? ELEM_DOMAIN : ELEM_NAME), kTokenGroupLen);
  memcpy(s->token_ap, com.cur_ap, 3);
  memcpy(s->token_ver, com.cur_ver, 2);
  s->token_len = code_len;
  s->token_check = s->type != ELEM_BIN;
  s->type = ELEM_ALP;
}

// Display columns of an alpha item; 0 when the item lies beyond its area.
int32_t alp_columns(const sitm* s, const cv_area* area, int32_t* rows) {
  const int32_t len = s->token_kind != kNoToken ? s->token_len : s->size;
  const bool has_rows = s->rows != 0 && s->rows != kNotGiven && s->rows != 1;
  const bool has_cols = s->cols != 0 && s->cols != kNotGiven;
  const int32_t room = area ? area->width - s->col + 1 : len;
  *rows = 1;
  if (has_cols) {
    if (has_rows) *rows = static_cast<int32_t>(s->rows);
    return static_cast<int32_t>(s->cols);
  }
  if (!has_rows) return area ? std::min(len, room) : len;
  *rows = static_cast<int32_t>(s->rows);
  const int32_t cols = (len + *rows - 1) / *rows;
  return (area && s->col + cols > area->width) ? room : cols;
}

struct date_compile {
  int len;
  date_msk_blk blk;
};

date_compile compile_date(char* mask, uint8_t hi, uint8_t lo, uint8_t type, bool ampm) {
  date_compile r{};
  r.blk.len = kCvMaskLen;
  r.blk.mask = mask;
  r.blk.first = hi;
  r.blk.last = lo;
  r.blk.type = type;
  r.blk.h24 = ampm ? 1 : 0;
  r.len = cv_cmpl_date_msk(&r.blk);
  return r;
}

// Runs the mask analysis on the number area.
int analyse_num(CNV* c) {
  num_cnv n{};
  cnv_num_area& a = c->ta.num;
  n.kind = a.kind;
  memcpy(n.mask, a.mask, kNumMaskLen);
  n.mask_len = a.mask_len;
  n.drcr = a.drcr;
  if (!cv_num_msk(&n)) return 0;
  a.msk_tot = n.msk_tot;
  a.msk_int = n.msk_int;
  a.msk_dec = n.msk_dec;
  a.sign_kind = n.sign_kind;
  a.cur_kind = n.cur_kind;
  a.has_point = n.has_point;
  a.has_group = n.has_group;
  a.trail_sign = n.trail_sign;
  memcpy(a.zone_lits, n.zone_lits, 4);
  return 1;
}

// A mask's length without its trailing blanks or zero bytes.
int mask_length(const char* m) {
  int n = kCvMaskLen;
  while (n > 0 && (m[n - 1] == ' ' || m[n - 1] == '\0')) --n;
  return n;
}

int fail(CNV* c, uint32_t status) {
  c->cnv_status = status;
  return 0;
}

}  // namespace

int cv_bld_sitm(sitm* s, const uint8_t* elem, const cv_item* item) {
  memset(s, 0, sizeof *s);
  s->type = elem[ELEM_TYPE];
  s->size = ld_le16(elem, ELEM_SIZE);
  s->dspl_flag = elem[ELEM_DSPL_CHAR];
  memcpy(s->elem_mask, elem + ELEM_MASK, kCvMaskLen);
  s->fill = elem[ELEM_FILL] ? elem[ELEM_FILL] : ' ';
  s->align = digit_byte(elem[ELEM_JUSTIFY]);
  s->wrap = flag_byte(elem[ELEM_WORD_FLOW]);
  s->elem_opt = elem[ELEM_ALP_FORM];
  s->rows = 1;
  s->cols = kNotGiven;
  s->elem_hi = elem[ELEM_HI];
  s->elem_lo = elem[ELEM_LO];
  s->elem_signed = elem[ELEM_SIGNED] == '1';
  s->ref_blank = elem[ELEM_NULL_TEXT] != ' ' && elem[ELEM_NULL_TEXT] != 0;
  s->blank_ok = 1;
  if (item) {
    s->row = item->row;
    s->col = item->col;
    s->rows = item->rows;
    s->cols = item->cols;
    s->extra_int = item->extra_int;
    s->entry = item->entry;
    s->item_opt = item->option;
    s->blank_ok = item->blank_ok;
  }
  // A number's rule says only whether the item shows credit/debit.
  if (IS_ELEM_NUM(s->type)) s->align = item && item->drcr ? 2 : 0;
  s->dspl_only = !s->entry;
  s->no_mask = ut_is_all(elem + ELEM_INIT_TEXT, ' ', kCvMaskLen) && !s->item_opt;
  take_token(s, elem);
  choose_mask(s, elem, item);
  return 1;
}

int set_cnv_alp(CNV* c, const sitm* s) {
  cnv_alp_area& a = c->ta.alp;
  static constexpr uint8_t kModes[] = {ALN_ASIS, ALN_LEFT, ALN_JUST, ALN_RIGHT, ALN_CENTRE};
  a.align_mode = s->align <= 4 ? kModes[s->align] : static_cast<uint8_t>(ALN_ASIS);
  if (s->wrap) a.align_mode |= ALN_WRAP;
  a.dspl_only = s->dspl_only;
  a.fill_char = s->fill ? s->fill : ' ';
  memcpy(a.mask, s->mask, kCvMaskLen);
  a.token_id = s->token_kind != kNoToken ? 1 : 0;
  a.token_src = s->token_kind == 1;
  memcpy(a.token_grp, s->token_grp, kTokenGroupLen);
  memcpy(a.token_ap, s->token_ap, 3);
  memcpy(a.token_ver, s->token_ver, 2);
  a.token_check = s->token_check;
  SET_BLANK(a.xl_ap, 3);
  SET_BLANK(a.xl_ver, 2);
  SET_BLANK(a.xl_table, 22);
  SET_BLANK(a.xl_ap2, 3);
  a.xl_mode = 0;
  return 1;
}

int set_cnv_dat(CNV* c, const sitm* s) {
  cnv_dat_area& d = c->ta.dat;
  memcpy(d.stor_mask, s->elem_mask, kCvMaskLen);
  if (BLANK_MSK(d.stor_mask)) last_date_mask(d.stor_mask);
  const date_compile st = compile_date(d.stor_mask, s->elem_hi, s->elem_lo, s->type, false);
  if (!st.len) return fail(c, CV_BAD_DATE_MASK);
  if (st.blk.first != s->elem_hi || st.blk.last != s->elem_lo)
    cv_fatal(__LINE__, "set_cnv_dat() - mask and hi/lo out of sync");
  c->int_len = static_cast<uint16_t>(st.len);
  d.stor_len = static_cast<uint8_t>(st.blk.len);
  d.stor_doy = st.blk.doy;
  d.stor_h24 = st.blk.h24;

  memcpy(d.dspl_mask, s->mask, kCvMaskLen);
  if (BLANK_MSK(d.dspl_mask)) last_date_mask(d.dspl_mask);
  const date_compile ds = compile_date(d.dspl_mask, s->elem_hi, s->elem_lo, DT_TEXT_ANY, !s->mask_from_elem);
  if (!ds.len) return fail(c, CV_BAD_DATE_MASK);
  d.dspl_len = static_cast<uint8_t>(ds.blk.len);
  d.dspl_doy = ds.blk.doy;
  d.dspl_h24 = ds.blk.h24;
  d.elem_hi = s->elem_hi;
  d.elem_lo = s->elem_lo;
  d.entry = s->entry;
  c->ext_rows = 1;
  c->ext_cols = ds.len;
  return 1;
}

int set_cnv_num(CNV* c, const sitm* s) {
  cnv_num_area& a = c->ta.num;
  a.kind = num_kind_of(s->type, s->size, s->elem_signed);
  if (!a.kind) return fail(c, CV_BAD_NUM_TYPE);
  if (BLANK_MSK(s->mask)) cv_fatal(__LINE__, "set_cnv_num() - blank mask not allowed");
  a.elem_hi = s->elem_hi;
  a.elem_lo = s->elem_lo;
  a.tot_digits = static_cast<uint8_t>(s->elem_hi + s->elem_lo);
  a.ref_blank = s->ref_blank;
  a.elem_signed = s->elem_signed;
  a.drcr = s->align == 2;
  a.blank_zero = s->item_opt;
  a.no_mask = s->no_mask;
  memcpy(a.mask, s->mask, kCvMaskLen);
  a.mask_len = static_cast<uint8_t>(mask_length(a.mask));
  if (!s->mask_from_elem || s->extra_int) {
    if (!analyse_num(c)) return fail(c, CV_BAD_NUM_MASK);
    const int ints = (s->mask_from_elem ? a.msk_int : s->elem_hi) + s->extra_int;
    const int decs = s->mask_from_elem ? a.msk_dec : s->elem_lo;
    char out[kCvMaskLen];
    const int n = cv_rebuild_num_msk(a.mask, a.mask_len, ints, decs, out);
    if (!n) return fail(c, CV_BAD_NUM_MASK);
    SET_BLANK(a.mask, kCvMaskLen);
    memcpy(a.mask, out, n);
    a.mask_len = static_cast<uint8_t>(n);
  }
  if (!analyse_num(c)) return fail(c, CV_BAD_NUM_MASK);
  // Each '$' shows the whole currency text.
  const int extra = std::max(0, static_cast<int>(std::min<uint16_t>(com.currency_len, 3)) - 1);
  c->ext_rows = 1;
  c->ext_cols = a.mask_len + extra * static_cast<int>(std::count(a.mask, a.mask + a.mask_len, '$'));
  return 1;
}

int cv_cmpl(CNV* c, const sitm* s, const cv_area* area) {
  memset(c, 0, sizeof *c);
  c->int_indirect = 1;
  c->int_len = s->size;
  c->cnv_type = s->type;
  c->cnv_status = CV_OK;
  c->blank_ok = s->blank_ok;
  const uint8_t t = s->type;
  int ok = 1;
  if (t == ELEM_ALP || t == ELEM_ALP_BLOCK) {
    c->ext_cols = alp_columns(s, area, &c->ext_rows);
    if (c->ext_cols < 1 || c->ext_rows < 1 || static_cast<int64_t>(c->ext_cols) * c->ext_rows > UINT16_MAX)
      return fail(c, CV_NO_COLUMNS);
    set_cnv_alp(c, s);
  } else if (is_date_type(t)) {
    ok = set_cnv_dat(c, s);
  } else if (IS_ELEM_NUM(t)) {
    ok = set_cnv_num(c, s);
  } else if (t == ELEM_LOG) {
    memcpy(c->ta.log.lang, com.lang_id, 3);
    memcpy(c->ta.log.yes_no, com.yes_no, 4);
    c->ext_rows = 1;
    c->ext_cols = 1;
  } else {
    return fail(c, CV_BAD_TYPE);
  }
  if (!ok) return 0;
  c->ext_len = static_cast<uint16_t>(c->ext_rows * c->ext_cols);
  c->ext_stride = area ? static_cast<uint32_t>(area->width) : static_cast<uint32_t>(c->ext_cols);
  return 1;
}

int cv_set_xlate(CNV* c, const char* ap2, const char* ap, const char* ver, const char* table, uint8_t mode) {
  if (c->cnv_type != ELEM_ALP && c->cnv_type != ELEM_ALP_BLOCK) return 1;
  cnv_alp_area& a = c->ta.alp;
  memcpy(a.xl_ap2, ap2, 3);
  memcpy(a.xl_ap, ap, 3);
  memcpy(a.xl_ver, ver, 2);
  memcpy(a.xl_table, table, 22);
  a.xl_mode = mode;
  return 1;
}

int cv_get_cnv(CNV* c, const uint8_t* elem) {
  if (!elem) cv_fatal(__LINE__, "cv_get_cnv() - bad celem");
  sitm s;
  cv_bld_sitm(&s, elem, nullptr);
  if (!cv_cmpl(c, &s, nullptr)) cv_fatal(__LINE__, "cv_get_cnv() - bad sitm");
  if ((c->cnv_type == ELEM_ALP || c->cnv_type == ELEM_ALP_BLOCK) && c->ta.alp.token_id) cv_load_token_of(c);
  return 1;
}

}  // namespace kivo
