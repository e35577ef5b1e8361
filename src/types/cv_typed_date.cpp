// Typed dates: a value typed in the universal form CCYYMMDDhhmmssth turned
// into a stored date for `cv_get_universal`. A text that gives every level
// of the element is stored in the element's own form. One that gives fewer
// becomes, without the keep-type flag, a day-number binary date of the
// levels typed (the block then describes that value); with the flag it is
// stored in the element's form, its parts clamped into range.
//
// The typed-value reader sees only its own view of the block, so
// `cv_universal` names the block it reads for while it runs. Token codes are
// read through the block's own alpha conversion.
#include <strings.h>

#include <cstring>
#include <vector>

#include "foundation/com.h"
#include "foundation/pool.h"
#include "types/cnv.h"
#include "types/element.h"
#include "types/std_date.h"

namespace kivo {

namespace {

// The storage mask of a day-number binary date is its level tokens; one of
// levels hi..lo is cut from the full one.
constexpr char kAllLevels[] = "~8Z~7Z~6Z~5Z~4Z~3Z~2Z~1Z";
constexpr int kTokenLen = 3;

const CNV* g_owner = nullptr;  // the block cv_universal reads for
std::vector<uint8_t> g_work;   // the value when no pool is given

uint8_t* place(POOL* pool, size_t n) {
  if (pool) return static_cast<uint8_t*>(MM_ALLOC(pool, n));
  if (g_work.size() < n) g_work.resize(n);
  return g_work.data();
}

// The block describes a day-number binary date of levels hi..lo.
void set_day_number_form(CNV* c, uint8_t hi, uint8_t lo) {
  cnv_dat_area& d = c->ta.dat;
  const size_t n = kTokenLen * static_cast<size_t>(hi - lo + 1);
  memset(d.stor_mask, ' ', sizeof d.stor_mask);
  memcpy(d.stor_mask, kAllLevels + kTokenLen * (LVL_CENTURY - hi), n);
  d.stor_len = static_cast<uint8_t>(n);
  d.stor_doy = 0;
  d.stor_h24 = 1;
  d.elem_hi = hi, d.elem_lo = lo;
}

// A token field whose code is stored: the typed text goes through the
// block's own conversion into a value of the stored length.
int token_code_value(CNV* c, POOL* pool) {
  uint8_t* value = place(pool, c->int_len);
  if (!value) return 0;
  CNV t = *c;
  t.int_addr = value;
  t.int_indirect = 0;
  t.addr_mode = 0;
  t.ext_rows = 1;
  t.ext_cols = c->ext_len;
  t.ext_stride = c->ext_len;
  if (!cv_etoi(&t)) return 0;
  c->int_addr = value;
  c->int_indirect = 0;
  c->addr_mode = 0;
  return 1;
}

// A pair of a typed universal date that says something: two digits, or one
// of the spellings of "not given" (as the universal reader skips them).
bool pair_ok(const char* p, int level) {
  auto digit = [](char ch) { return ch >= '0' && ch <= '9'; };
  if (digit(p[0]) && digit(p[1])) return true;
  if (p[0] == '-' && p[1] == '-') return true;
  if (level == LVL_MINUTE && strncasecmp(p, "nn", 2) == 0) return true;
  return strncasecmp(p, com.dt_letters + 2 * (LVL_CENTURY - level), 2) == 0;
}

bool well_formed(const char* text) {
  for (int level = LVL_CENTURY; level >= LVL_HSEC; --level)
    if (!pair_ok(text + 2 * (LVL_CENTURY - level), level)) return false;
  return true;
}

// The parts of levels hi..lo brought into range: month 1..12, day by month
// and leap year, hour 23, minute and second 59, hundredths 99.
void clamp_parts(std_date* d, int hi, int lo) {
  auto clamp = [&](int level, int low, int high) {
    if (level > hi || level < lo) return;
    int8_t& v = d->at(level);
    v = static_cast<int8_t>(v < low ? low : v > high ? high : v);
  };
  clamp(LVL_CENTURY, 0, 99), clamp(LVL_YEAR, 0, 99), clamp(LVL_MONTH, 1, 12);
  const int month = d->at(LVL_MONTH) >= 1 ? d->at(LVL_MONTH) : 1;
  clamp(LVL_DAY, 1, date_days_in_month(d->at(LVL_CENTURY) * 100 + d->at(LVL_YEAR), month));
  clamp(LVL_HOUR, 0, 23), clamp(LVL_MINUTE, 0, 59), clamp(LVL_SECOND, 0, 59), clamp(LVL_HSEC, 0, 99);
}

// The parts of `typed` written in storage form `form` (type, levels and
// mask) into a value of `len` bytes, placed for the caller.
int store(uni_cnv* u, const std_date& typed, std_date form, uint16_t len, POOL* pool) {
  std::vector<uint8_t> value(len, ' ');
  form.raw_len = len;
  form.raw = value.data();
  memcpy(form.part, typed.part, sizeof form.part);
  if (!cv_ston_date(&form)) return 0;
  u->int_addr = place(pool, value.size());
  if (!u->int_addr) return 0;
  memcpy(u->int_addr, value.data(), value.size());
  u->int_len = len;
  return 1;
}

// The element's own storage form.
std_date element_form(const CNV* c) {
  const cnv_dat_area& d = c->ta.dat;
  std_date s{};
  s.mask_len = d.stor_len;
  s.mask = d.stor_mask;
  s.first = d.elem_hi;
  s.last = d.elem_lo;
  s.type = c->cnv_type;
  s.doy = d.stor_doy;
  s.h24 = d.stor_h24;
  return s;
}

// A day-number binary date of levels hi..lo: 4 bytes for a date or a time
// alone, 8 for both.
int store_day_number(uni_cnv* u, const std_date& typed, POOL* pool) {
  const int hi = typed.first, lo = typed.last;
  std_date s{};
  s.mask = kAllLevels + kTokenLen * (LVL_CENTURY - hi);
  s.mask_len = static_cast<uint32_t>(kTokenLen * (hi - lo + 1));
  s.first = static_cast<uint8_t>(hi), s.last = static_cast<uint8_t>(lo);
  s.type = DT_BIN;
  s.h24 = 1;
  const bool both = hi >= LVL_DAY && lo <= LVL_HOUR;
  if (!store(u, typed, s, both ? 8 : 4, pool)) return 0;
  u->cnv_type = DT_BIN;
  u->date_hi = s.first, u->date_lo = s.last;
  return 1;
}

}  // namespace

int cv_typed_date(uni_cnv* u, int keep_type, POOL* pool) {
  const CNV* c = g_owner;
  if (!c || !IS_ELEM_DATE(c->cnv_type) || u->ext_len < kUniversalLen) return 0;
  std_date typed{};
  typed.raw_len = kUniversalLen;
  typed.raw = reinterpret_cast<uint8_t*>(const_cast<char*>(u->ext_addr));
  typed.type = DT_UNIVERSAL;
  typed.first = LVL_CENTURY;
  typed.last = LVL_HSEC;
  // Without the flag a value is taken only as typed; with it a part out of
  // range is clamped, but a pair that says nothing sensible still refuses.
  const bool exact = cv_ntos_date(&typed) == 1;
  if (!exact && !(keep_type && well_formed(u->ext_addr))) return 0;
  if (typed.first == 0) return 0;  // no level given at all
  const cnv_dat_area& d = c->ta.dat;
  const bool covers = typed.first >= d.elem_hi && typed.last <= d.elem_lo;
  if (!covers && !keep_type) return store_day_number(u, typed, pool);
  if (keep_type && typed.at(LVL_CENTURY) >= 0) clamp_parts(&typed, d.elem_hi, d.elem_lo);
  return store(u, typed, element_form(c), c->int_len, pool);
}

int cv_universal(CNV* c, int keep_type, uint8_t* shared, POOL* pool) {
  uni_cnv u{};
  u.cnv_type = c->cnv_type;
  u.int_len = c->int_len;
  u.ext_addr = c->ext_addr;
  u.ext_len = c->ext_len;
  if (IS_ELEM_NUM(c->cnv_type)) {
    const cnv_num_area& n = c->ta.num;
    u.kind = n.kind;
    u.tot_digits = n.tot_digits;
    u.elem_hi = n.elem_hi;
    u.elem_lo = n.elem_lo;
    u.elem_signed = n.elem_signed;
  } else if (IS_ELEM_ALP(c->cnv_type)) {
    const cnv_alp_area& a = c->ta.alp;
    u.align_mode = a.align_mode;
    u.fill_char = a.fill_char;
    u.has_mask = !BLANK_MSK(a.mask);
    u.token_id = a.token_id;
    u.token_check = a.token_check;
  }
  if (IS_ELEM_ALP(c->cnv_type) && u.token_id && !u.token_check) return token_code_value(c, pool);
  // A date is read here, with the block's own masks; the rest by type.
  g_owner = c;
  int ok;
  if (IS_ELEM_DATE(c->cnv_type)) {
    if (shared) *shared = 0;
    ok = cv_typed_date(&u, keep_type, pool);
  } else {
    ok = cv_get_universal(&u, keep_type, shared, pool);
  }
  g_owner = nullptr;
  if (!ok) return 0;
  c->int_addr = u.int_addr;
  c->int_indirect = 0;
  c->addr_mode = 0;
  c->int_len = u.int_len;
  c->cnv_type = u.cnv_type;
  if (IS_ELEM_NUM(u.cnv_type)) c->ta.num.kind = u.kind;
  if (u.date_hi) set_day_number_form(c, u.date_hi, u.date_lo);
  return 1;
}

}  // namespace kivo
