// Numbers, comparisons and moves of the exec routines.
#include "interp/ii_value.h"

#include <cstring>

#include "compiler/inst.h"
#include "foundation/com.h"
#include "interp/ii_packed.h"
#include "types/cnv.h"
#include "types/date_desc.h"
#include "types/date_mask.h"
#include "types/num_range.h"
#include "types/pd.h"
#include "types/std_date.h"

namespace kivo {

namespace {

constexpr int kMaxDigits = 31;
constexpr int kPow10Max = 38;

struct pow10_table {
  __int128 v[kPow10Max + 1];
  constexpr pow10_table() : v() {
    v[0] = 1;
    for (int i = 1; i <= kPow10Max; ++i) v[i] = v[i - 1] * 10;
  }
};
constexpr pow10_table kPow10;

__int128 pow10(int n) { return kPow10.v[n]; }

bool neg_sign(uint8_t half) { return half == pd_neg_sign() || half == 0xB || half == 0xD; }

// A byte of two decimal digits: their value 0-99, else kNotDigits; and back.
constexpr uint8_t kNotDigits = 0xFF;
struct digit_tables {
  uint8_t value[256];
  uint8_t pair[100];
  constexpr digit_tables() : value(), pair() {
    for (int b = 0; b < 256; ++b) value[b] = (b >> 4) <= 9 && (b & 0xF) <= 9 ? (b >> 4) * 10 + (b & 0xF) : kNotDigits;
    for (int v = 0; v < 100; ++v) pair[v] = static_cast<uint8_t>((v / 10) << 4 | v % 10);
  }
};
constexpr digit_tables kDigits;

// The number of up to 16 digit nibbles, the last one lowest; false when a
// nibble is above 9 (bit 3 with bit 2 or 1).
bool bcd_value(uint64_t x, uint64_t* out) {
  if ((x >> 3) & ((x >> 2) | (x >> 1)) & 0x1111111111111111ull) return false;
  *out = pd_small_detail::bcd16_value(x);
  return true;
}

bool pd_get(const uint8_t* p, int len, __int128* out) {
  if (len < 1 || len > kPdMaxLen) return false;
  // The last eight bytes (15 digits and the sign) at once; bytes before
  // them two digits at a time.
  const int low = len < 8 ? len : 8, head = len - low;
  __int128 w = 0;
  for (int i = 0; i < head; ++i) {
    uint8_t d = kDigits.value[p[i]];
    if (d == kNotDigits) return false;
    w = w * 100 + d;
  }
  uint64_t x = 0;
  for (int i = head; i < len; ++i) x = x << 8 | p[i];
  uint64_t v;
  if (!bcd_value(x >> 4, &v)) return false;
  w = head ? w * pow10(2 * low - 1) + v : static_cast<__int128>(v);
  *out = neg_sign(x & 0x0F) ? -w : w;
  return true;
}

bool pd_put(uint8_t* p, int len, __int128 v) {
  if (len < 1 || len > kPdMaxLen) return false;
  bool neg = v < 0;
  unsigned __int128 u = neg ? -static_cast<unsigned __int128>(v) : static_cast<unsigned __int128>(v);
  if (u >= static_cast<unsigned __int128>(pow10(2 * len - 1))) return false;
  uint8_t out[kPdMaxLen];
  uint8_t sign = neg && u ? pd_neg_sign() : pd_pos_sign();
  int i = len - 2;
  // 128-bit divisions only above 64 bits.
  if (u >> 64) {
    out[len - 1] = static_cast<uint8_t>(static_cast<unsigned>(u % 10) << 4 | sign);
    for (u /= 10; i >= 0 && (u >> 64); --i, u /= 100) out[i] = kDigits.pair[static_cast<unsigned>(u % 100)];
  } else {
    out[len - 1] = static_cast<uint8_t>(static_cast<unsigned>(static_cast<uint64_t>(u) % 10) << 4 | sign);
    u = static_cast<uint64_t>(u) / 10;
  }
  // Eight digits a step: its four pairs do not wait on one another.
  uint64_t w = static_cast<uint64_t>(u);
  for (; i >= 3; i -= 4, w /= 100000000) {
    const uint32_t eight = static_cast<uint32_t>(w % 100000000), hi = eight / 10000, lo = eight % 10000;
    out[i] = kDigits.pair[lo % 100], out[i - 1] = kDigits.pair[lo / 100];
    out[i - 2] = kDigits.pair[hi % 100], out[i - 3] = kDigits.pair[hi / 100];
  }
  for (; i >= 0; --i, w /= 100) out[i] = kDigits.pair[w % 100];
  memcpy(p, out, static_cast<size_t>(len));
  return true;
}

// A binary field's integer, read with its sign (num_range.h).
bool bin_get(const ii_fld& f, __int128* out) {
  const uint8_t kind = num_kind_of(5, f.len, !f.no_sign);
  if (!kind) return false;
  *out = num_bin_load(kind, f.p);
  return true;
}

}  // namespace

bool is_num_type(uint8_t t) { return t == 5 || t == 8 || t == 12; }
bool is_alpha_type(uint8_t t) { return t == 1 || t == 2 || t == 13; }

bool num_rescale_slow(__int128 v, int from, int to, __int128* out) {
  if (to > from) {
    int64_t r64;
    if (to - from <= 18 && v == static_cast<int64_t>(v) &&
        !__builtin_mul_overflow(static_cast<int64_t>(v), static_cast<int64_t>(pow10(to - from)), &r64))
      return (*out = r64, true);  // the common case without 128-bit multiplies
    if (to - from > kPow10Max) return v == 0 ? (*out = 0, true) : false;
    __int128 r;
    if (__builtin_mul_overflow(v, pow10(to - from), &r)) return false;
    *out = r;
    return true;
  }
  if (from - to > kPow10Max) return (*out = 0, true);
  __int128 d = pow10(from - to), q = v / d, r = v % d;
  if (2 * (r < 0 ? -r : r) >= d) q += v < 0 ? -1 : 1;
  *out = q;
  return true;
}

int num_cmp(ii_num a, ii_num b) {
  int s = a.scale > b.scale ? a.scale : b.scale;
  __int128 x, y;
  if (!num_rescale(a.v, a.scale, s, &x)) return a.v < 0 ? -1 : 1;
  if (!num_rescale(b.v, b.scale, s, &y)) return b.v < 0 ? 1 : -1;
  return x < y ? -1 : x > y ? 1 : 0;
}

bool num_get(const ii_fld& f, ii_num* out) {
  out->scale = f.scale;
  switch (f.type) {
    case 5: return bin_get(f, &out->v);
    case 8: return pd_get(f.p, f.len, &out->v);
    case 12:
      if (f.len < 2 || f.p[f.len - 1] > kMaxDigits) return false;
      out->scale = f.p[f.len - 1];
      return pd_get(f.p, f.len - 1, &out->v);
    default: return false;
  }
}

bool num_put_at(const ii_fld& f, __int128 v, int scale) {
  num_range r;
  const bool is_signed = !f.no_sign;
  const uint8_t kind = num_kind_of(f.type, f.len, is_signed);
  if (!num_field_range(kind, f.len, is_signed, &r) || v < r.lo || v > r.hi) return false;
  switch (f.type) {
    case 5: num_bin_store(kind, f.p, static_cast<int64_t>(v)); return true;
    case 8: return pd_put(f.p, f.len, v);
    default:
      if (scale < 0 || scale > kMaxDigits || !pd_put(f.p, f.len - 1, v)) return false;
      f.p[f.len - 1] = static_cast<uint8_t>(scale);
      return true;
  }
}

bool num_put(const ii_fld& f, ii_num n) {
  __int128 v;
  if (f.type != 12) return num_rescale(n.v, n.scale, f.scale, &v) && num_put_at(f, v, f.scale);
  // Keeps the value's decimals while its digits fit, else fewer.
  for (int s = n.scale < kMaxDigits ? n.scale : kMaxDigits; s >= 0; --s)
    if (num_rescale(n.v, n.scale, s, &v) && num_put_at(f, v, s)) return true;
  return false;
}

namespace {

bool blank(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != ' ') return false;
  return true;
}

// Bytes of a over its length la against b blank-padded or cut to it.
int alpha_cmp(const uint8_t* a, size_t la, const uint8_t* b, size_t lb) {
  size_t n = la > lb ? la : lb;
  for (size_t i = 0; i < n; ++i) {
    uint8_t x = i < la ? a[i] : ' ', y = i < lb ? b[i] : ' ';
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

bool contains(const ii_fld& a, const ii_fld& b) {
  size_t n = a.len;
  while (n && a.p[n - 1] == ' ') --n;
  if (!n || n > b.len) return false;
  for (size_t i = 0; i + n <= b.len; ++i)
    if (memcmp(b.p + i, a.p, n) == 0) return true;
  return false;
}

// ---- dates: through the standard date ----

bool needs_mask(uint8_t t) { return t == DT_TEXT_DOY || t == DT_TEXT || t == DT_PD_DOY || t == DT_PD; }

// A descriptor of the date field `f` over `raw`; a constant takes the mask
// of the field it meets (`other`).
bool date_desc(const ii_fld& f, const uint8_t* other_mask, uint8_t* raw, std_date* d) {
  *d = std_date{};
  if (f.type == DT_UNIVERSAL) {
    UNIVERSAL_DATE(d, raw, f.len);
    return true;
  }
  d->raw = raw, d->raw_len = f.len, d->type = f.type, d->h24 = 1;
  d->first = f.scale >> 4, d->last = f.scale & 0xF;
  if (!needs_mask(f.type)) return true;
  const uint8_t* m = f.mask ? f.mask : other_mask;
  if (!m) return false;
  d->mask = reinterpret_cast<const char*>(m), d->mask_len = date_mask_used(d->mask);
  d->doy = f.type == DT_TEXT_DOY || f.type == DT_PD_DOY;
  return true;
}

bool date_read(const ii_fld& f, const uint8_t* other_mask, std_date* d) {
  return date_desc(f, other_mask, f.p, d) && cv_ntos_date(d);
}

// Blank, null or zero: no part of the held levels above 0.
bool date_empty(const std_date& d) {
  for (int l = d.last; l <= d.first && l >= 1 && l <= 8; ++l)
    if (d.at(l) > 0) return false;
  return true;
}

// Over the levels both carry; a blank, null or unreadable date is lower
// than any date, so a bad stored value sorts first instead of failing.
int date_cmp(const ii_fld& a, const ii_fld& b) {
  std_date x, y;
  bool hx = date_read(a, b.mask, &x) && !date_empty(x), hy = date_read(b, a.mask, &y) && !date_empty(y);
  if (!hx || !hy) return hx == hy ? 0 : hx ? 1 : -1;
  int hi = x.first < y.first ? x.first : y.first, lo = x.last > y.last ? x.last : y.last;
  for (int l = hi; l >= lo; --l)
    if (x.at(l) != y.at(l)) return x.at(l) < y.at(l) ? -1 : 1;
  return 0;
}

int has_value(const ii_fld& a) {
  if (is_num_type(a.type)) {
    ii_num n;
    return num_get(a, &n) ? n.v != 0 : -1;
  }
  if (is_date_type(a.type)) {
    std_date d;
    return date_read(a, nullptr, &d) && !date_empty(d);
  }
  return !blank(a.p, a.len);
}

int order(const ii_fld& a, const ii_fld& b, uint8_t pad) {
  if (is_alpha_type(a.type) && is_alpha_type(b.type))
    return alpha_cmp(a.p, a.len, b.p, pad ? b.len : (b.len < a.len ? b.len : a.len));
  if (a.type == 11 && b.type == 11) return a.p[0] < b.p[0] ? -1 : a.p[0] > b.p[0] ? 1 : 0;
  if (is_date_type(a.type) && is_date_type(b.type)) return date_cmp(a, b);
  ii_num x, y;
  if (!is_num_type(a.type) || !is_num_type(b.type) || !num_get(a, &x) || !num_get(b, &y)) return 2;
  return num_cmp(x, y);
}

}  // namespace

int ii_compare(const ii_fld& a, const ii_fld& b, uint8_t relop, uint8_t pad) {
  if (relop == 7) return is_alpha_type(a.type) && is_alpha_type(b.type) ? contains(a, b) : -1;
  if (relop == 8) return has_value(a);
  int c = order(a, b, pad);
  if (c == 2) return -1;
  switch (relop) {
    case 1: return c == 0;
    case 2: return c >= 0;
    case 3: return c > 0;
    case 4: return c <= 0;
    case 5: return c < 0;
    case 6: return c != 0;
    default: return -1;
  }
}

namespace {

ii_move_rc alpha_from_alpha(const ii_fld& d, const ii_fld& s) {
  size_t n = s.len < d.len ? s.len : d.len;
  bool lost = !blank(s.p + n, s.len - n);
  memmove(d.p, s.p, n);
  memset(d.p + n, ' ', d.len - n);
  return lost ? MOVE_CUT : MOVE_OK;
}

ii_move_rc num_from_alpha(const ii_fld& d, const ii_fld& s) {
  uint8_t buf[kPdMaxLen];
  pd_field f{buf, kPdMaxLen, 0, 0};
  ii_num n{0, 0};
  size_t a = 0, e = s.len;
  while (a < e && s.p[a] == ' ') ++a;
  while (e > a && s.p[e - 1] == ' ') --e;
  if (a == e) return num_put(d, n) ? MOVE_OK : MOVE_OVERFLOW;  // blanks read as 0
  const char* text = reinterpret_cast<const char*>(s.p + a);
  if (!pd_cva(text, static_cast<int>(e - a), '.', &f) || !pd_get(buf, kPdMaxLen, &n.v)) return MOVE_OVERFLOW;
  n.scale = f.decimals;
  return num_put(d, n) ? MOVE_OK : MOVE_OVERFLOW;
}

ii_move_rc alpha_from_num(const ii_fld& d, const ii_fld& s) {
  ii_num n;
  if (!num_get(s, &n)) return MOVE_OVERFLOW;
  unsigned __int128 u = n.v < 0 ? -static_cast<unsigned __int128>(n.v) : static_cast<unsigned __int128>(n.v);
  char digits[48];
  int k = 0;
  do digits[k++] = static_cast<char>('0' + static_cast<int>(u % 10)), u /= 10;
  while (u || k <= n.scale);
  char text[64];
  size_t t = 0;
  if (n.v < 0) text[t++] = '-';
  for (int i = k - 1; i >= 0; --i) {
    text[t++] = digits[i];
    if (i == n.scale && i) text[t++] = '.';
  }
  if (t > d.len) return MOVE_OVERFLOW;
  memcpy(d.p, text, t);
  memset(d.p + t, ' ', d.len - t);
  return MOVE_OK;
}

constexpr size_t kDateRawMax = 64;

// Parts of `x` into the date field `d`, levels outside its range dropped;
// nothing is written unless the whole value is.
ii_move_rc date_store(const ii_fld& d, const uint8_t* other_mask, const std_date& x) {
  uint8_t raw[kDateRawMax];
  std_date y;
  if (d.len > sizeof raw || !date_desc(d, other_mask, raw, &y)) return MOVE_OVERFLOW;
  memset(raw, d.type == DT_TEXT || d.type == DT_TEXT_DOY ? ' ' : 0, d.len);
  for (int l = 1; l <= 8; ++l) y.at(l) = l <= y.first && l >= y.last ? x.at(l) : kPartNotGiven;
  if (!cv_ston_date(&y)) return MOVE_OVERFLOW;
  memcpy(d.p, raw, d.len);
  return MOVE_OK;
}

// Alpha of at least 16 bytes holds the universal form, blank-padded.
ii_move_rc date_from_alpha(const ii_fld& d, const ii_fld& s) {
  uint8_t text[kUniversalLen];
  std_date x;
  if (s.len < kUniversalLen || !blank(s.p + kUniversalLen, s.len - kUniversalLen)) return MOVE_OVERFLOW;
  memcpy(text, s.p, kUniversalLen);
  UNIVERSAL_DATE(&x, text, kUniversalLen);
  if (!cv_ntos_date(&x)) return MOVE_OVERFLOW;
  return date_store(d, nullptr, x);
}

ii_move_rc alpha_from_date(const ii_fld& d, const ii_fld& s) {
  uint8_t text[kUniversalLen];
  std_date x, u;
  if (d.len < kUniversalLen || !date_read(s, nullptr, &x)) return MOVE_OVERFLOW;
  UNIVERSAL_DATE(&u, text, kUniversalLen);
  memcpy(u.part, x.part, sizeof u.part);
  if (!cv_ston_date(&u)) return MOVE_OVERFLOW;
  memcpy(d.p, text, kUniversalLen);
  memset(d.p + kUniversalLen, ' ', d.len - kUniversalLen);
  return MOVE_OK;
}

// ---- logic <-> alpha: the logic conversion of the display layer ----

CNV logic_cnv(uint8_t* stored, char* text) {
  CNV c{};
  c.addr_mode = 2, c.aux_addr = stored, c.int_len = 1, c.cnv_type = 11;
  c.ext_addr = text, c.ext_rows = c.ext_cols = 1, c.ext_len = 1, c.blank_ok = 1;
  memcpy(c.ta.log.yes_no, com.yes_no, sizeof c.ta.log.yes_no);
  return c;
}

ii_move_rc alpha_from_logic(const ii_fld& d, const ii_fld& s) {
  char text[1];
  uint8_t v = s.p[0];
  CNV c = logic_cnv(&v, text);
  if (!log_itoe(&c)) return MOVE_OVERFLOW;
  ii_fld t{reinterpret_cast<uint8_t*>(text), 1, 0, 1, false, nullptr};
  return alpha_from_alpha(d, t);
}

// The first character decides; anything after it must be blank.
ii_move_rc logic_from_alpha(const ii_fld& d, const ii_fld& s) {
  char text[1] = {s.len ? static_cast<char>(s.p[0]) : ' '};
  uint8_t v = ' ';
  if (s.len > 1 && !blank(s.p + 1, s.len - 1u)) return MOVE_OVERFLOW;
  CNV c = logic_cnv(&v, text);
  if (!log_etoi(&c)) return MOVE_OVERFLOW;
  memset(d.p, ' ', d.len);
  d.p[0] = v;
  return MOVE_OK;
}

}  // namespace

ii_move_rc ii_move(const ii_fld& d, const ii_fld& s) {
  if (is_alpha_type(d.type) && is_alpha_type(s.type)) return alpha_from_alpha(d, s);
  if (is_num_type(d.type) && is_num_type(s.type)) {
    ii_num n;
    return num_get(s, &n) && num_put(d, n) ? MOVE_OK : MOVE_OVERFLOW;
  }
  if (is_num_type(d.type) && is_alpha_type(s.type)) return num_from_alpha(d, s);
  if (is_alpha_type(d.type) && is_num_type(s.type)) return alpha_from_num(d, s);
  if (d.type == 11 && s.type == 11 && d.len == s.len) {
    memmove(d.p, s.p, d.len);
    return MOVE_OK;
  }
  bool dd = is_date_type(d.type), sd = is_date_type(s.type);
  if (dd && sd) {
    std_date x;
    return date_read(s, d.mask, &x) ? date_store(d, s.mask, x) : MOVE_OVERFLOW;
  }
  if (dd && is_alpha_type(s.type)) return date_from_alpha(d, s);
  if (sd && is_alpha_type(d.type)) return alpha_from_date(d, s);
  if (d.type == 11 && is_alpha_type(s.type)) return logic_from_alpha(d, s);
  if (is_alpha_type(d.type) && s.type == 11) return alpha_from_logic(d, s);
  return MOVE_OVERFLOW;
}

}  // namespace kivo
