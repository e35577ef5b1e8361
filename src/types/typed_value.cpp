// Typed numbers (`get_number`) and typed values by element type
// (`cv_get_universal`). The constants of `com` serve the values 0, 1, 2, 10
// and -1 of numbers and the three logic values.
#include "types/typed_value.h"

#include <cstring>
#include <vector>

#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/sys_err.h"
#include "types/cnv.h"
#include "types/num_convert.h"
#include "types/num_range.h"
#include "types/pd_word.h"

namespace kivo {

namespace {

constexpr int kMaxDigits = 2 * kPdMaxLen - 1;

bool is_digit(char ch) { return ch >= '0' && ch <= '9'; }

// The digits of the text: the significant integer digits and the decimals.
struct digits_read {
  char d[kMaxDigits];
  int kept = 0, ints = 0, decs = 0;
  bool over = false;
  void add(char ch, bool integer) {
    if (integer && kept == 0 && ch == '0') return;
    if (kept == kMaxDigits) {
      over = true;
      return;
    }
    d[kept++] = ch;
    (integer ? ints : decs) += 1;
  }
};

bool read_text(const char* t, int n, digits_read* r, bool* negative) {
  int i = 0;
  while (i < n && t[i] == ' ') ++i;
  bool signed_ahead = false;
  if (i < n && (t[i] == '+' || t[i] == '-')) {
    *negative = t[i++] == '-';
    signed_ahead = true;
  }
  while (i < n && is_digit(t[i])) r->add(t[i++], true);
  if (i < n && (t[i] == '.' || t[i] == ',')) {
    ++i;
    while (i < n && is_digit(t[i])) r->add(t[i++], false);
  }
  if (!signed_ahead && i < n && (t[i] == '+' || t[i] == '-')) *negative = t[i++] == '-';
  while (i < n && t[i] == ' ') ++i;
  return i == n && !r->over;
}

void pack(const digits_read& r, bool negative, uint8_t* out) {
  pdw::u128 mag = 0;
  for (int i = 0; i < r.kept; ++i) mag = mag << 4 | static_cast<unsigned>(r.d[i] - '0');
  pdw::put<pdw::u128>(out, kPdMaxLen, mag, negative && mag != 0);
}

bool fits_binary(const uint8_t* v, bool is_signed, int bin_len) {
  if (SIG_DIGITS(v, kPdMaxLen, nullptr) > 10) return false;
  pdw::operand<pdw::u128> x;
  pdw::take<pdw::u128>(v, kPdMaxLen, pdw::neg_mask(), x);
  const int64_t mag = static_cast<int64_t>(pdw::bcd_to_bin(x.mag));
  const int64_t s = x.neg ? -mag : mag;
  num_range r{};
  const uint16_t len = static_cast<uint16_t>(bin_len);
  return num_type_range(ELEM_BIN, len, is_signed, &r) && s >= r.lo && s <= r.hi;
}

// --- the value's home -------------------------------------------------

std::vector<uint8_t>& work_buffer() {
  static std::vector<uint8_t> b;
  return b;
}

uint8_t* place(POOL* pool, const void* src, size_t n) {
  uint8_t* p;
  if (pool) {
    p = static_cast<uint8_t*>(MM_ALLOC(pool, n ? n : 1));
    if (!p) return nullptr;
  } else {
    work_buffer().assign(n ? n : 1, 0);
    p = work_buffer().data();
  }
  memcpy(p, src, n);
  return p;
}

int point_at(uni_cnv* c, const uint8_t* constant, uint8_t* shared) {
  c->int_addr = const_cast<uint8_t*>(constant);
  if (shared) *shared = 1;
  return 1;
}

// A packed constant of `com` whose last `len` bytes equal the value.
const uint8_t* packed_constant(const uint8_t* v, int len) {
  const uint8_t* consts[] = {com.pd_zero, com.pd_one, com.pd_minus1, com.pd_two, com.pd_ten};
  for (const uint8_t* k : consts)
    if (memcmp(k + kPdFastLen - len, v, static_cast<size_t>(len)) == 0) return k + kPdFastLen - len;
  return nullptr;
}

// A binary constant of `com` of width `w` equal to the stored bytes.
const uint8_t* binary_constant(const uint8_t* v, int w, bool is_signed) {
  const uint8_t* consts[] = {com.bin_zero, com.bin_one, com.bin_two, com.bin_ten, com.bin_minus1};
  const int n = is_signed ? 5 : 4;
  for (int i = 0; i < n; ++i)
    if (memcmp(consts[i] + 4 * w, v, static_cast<size_t>(w)) == 0) return consts[i] + 4 * w;
  return nullptr;
}

// Without the keep-type flag, a number that does not fit becomes a fixed
// packed item of the digits typed.
int become_packed(uni_cnv* c, const typed_number& t, POOL* pool) {
  const int digits = t.int_digits + t.dec_digits;
  const int len = digits / 2 + 1;
  uint8_t out[kPdMaxLen];
  if (len > kPdMaxLen || !pd_set(out, len, t.typed, kPdMaxLen)) return 0;
  c->cnv_type = ELEM_PD_FIX;
  c->kind = NUM_PD_FIX;
  c->int_len = static_cast<uint16_t>(len);
  c->elem_hi = static_cast<uint8_t>(t.int_digits);
  c->elem_lo = static_cast<uint8_t>(t.dec_digits);
  c->tot_digits = static_cast<uint8_t>(2 * len - 1);
  c->elem_signed = 1;
  c->int_addr = place(pool, out, static_cast<size_t>(len));
  return c->int_addr != nullptr;
}

int binary_value(uni_cnv* c, int keep, uint8_t* shared, POOL* pool) {
  const int w = c->int_len;
  if (w != 1 && w != 2 && w != 4) return 0;
  typed_number t;
  if (!get_number(c->ext_addr, c->ext_len, c->elem_hi, c->elem_lo, c->elem_signed, w, &t)) return 0;
  if (!t.fits) return keep ? 0 : become_packed(c, t, pool);
  const int32_t v = pd_cvb(t.value, kPdMaxLen);
  uint8_t bytes[4];
  st_le32(bytes, 0, static_cast<uint32_t>(v));
  if (const uint8_t* k = binary_constant(bytes, w, c->elem_signed)) return point_at(c, k, shared);
  c->int_addr = place(pool, bytes, static_cast<size_t>(w));
  return c->int_addr != nullptr;
}

int packed_value(uni_cnv* c, int keep, uint8_t* shared, POOL* pool) {
  typed_number t;
  if (!get_number(c->ext_addr, c->ext_len, c->elem_hi, c->elem_lo, c->elem_signed, 0, &t)) return 0;
  const int len = c->int_len;
  uint8_t out[kPdMaxLen];
  const bool fits = t.fits && len >= 1 && len <= kPdMaxLen && pd_set(out, len, t.value, kPdMaxLen);
  if (!fits) return keep ? 0 : become_packed(c, t, pool);
  if (keep && len <= kPdFastLen)
    if (const uint8_t* k = packed_constant(out, len)) return point_at(c, k, shared);
  c->int_addr = place(pool, out, static_cast<size_t>(len));
  return c->int_addr != nullptr;
}

int variable_value(uni_cnv* c, POOL* pool) {
  if (c->int_len < 2 || c->int_len > 9) {
    sys_err("CV", __LINE__, "cv_get_universal() - bad pd var length");
    return 0;
  }
  typed_number t;
  if (!get_number(c->ext_addr, c->ext_len, kMaxDigits, kMaxDigits, true, 0, &t)) return 0;
  return become_packed(c, t, pool);
}

// The language's letters decide; 'n'/'N' and 'y'/'Y' serve where the
// language does not use them the other way.
int logic_value(uni_cnv* c, int keep, uint8_t* shared) {
  if (keep && c->int_len != 1) {
    sys_err("CV", __LINE__, "cv_get_universal() - bad logic length");
    return 0;
  }
  const char* t = c->ext_addr;
  const int n = c->ext_len;
  for (int i = 1; i < n; ++i)
    if (t[i] != ' ') return 0;
  const char ch = n > 0 ? t[0] : ' ';
  const char* yn = com.yes_no;  // lower yes, upper yes, lower no, upper no
  const bool lang_yes = ch == yn[0] || ch == yn[1];
  const bool lang_no = ch == yn[2] || ch == yn[3];
  const bool no_letter = (ch == 'n' || ch == 'N') && !lang_yes;
  const bool yes_letter = (ch == 'y' || ch == 'Y') && !lang_no;
  if (lang_no || no_letter || ch == '0') return point_at(c, reinterpret_cast<const uint8_t*>(&com.log_false), shared);
  if (lang_yes || yes_letter || ch == '1') return point_at(c, reinterpret_cast<const uint8_t*>(&com.log_true), shared);
  if (ch == ' ') return point_at(c, reinterpret_cast<const uint8_t*>(com.blanks), shared);
  return 0;
}

int alpha_value(uni_cnv* c, int keep, POOL* pool) {
  if (c->token_id != 0 && !c->token_check) return 0;  // the code needs the token table
  int n = c->ext_len;
  if (keep) {
    std::vector<uint8_t> v(c->int_len, ' ');
    memcpy(v.data(), c->ext_addr, static_cast<size_t>(n < c->int_len ? n : c->int_len));
    c->int_addr = place(pool, v.data(), v.size());
    return c->int_addr != nullptr;
  }
  while (n > 0 && c->ext_addr[n - 1] == ' ') --n;
  c->int_len = static_cast<uint16_t>(n);
  c->has_mask = 0;
  c->align_mode = 1;
  c->fill_char = ' ';
  c->token_id = 0;
  c->token_check = 0;
  c->int_addr = place(pool, c->ext_addr, static_cast<size_t>(n));
  return c->int_addr != nullptr;
}

bool is_date_type(uint8_t t) { return t == 3 || t == 4 || t == 6 || t == 7 || t == 9 || t == 10 || t == 15; }

}  // namespace

int get_number(const char* text, int len, int elem_hi, int elem_lo, bool elem_signed, int bin_len, typed_number* out) {
  memset(out, 0, sizeof *out);
  digits_read r;
  bool negative = false;
  if (!read_text(text, len, &r, &negative)) return 0;
  pack(r, negative, out->typed);
  out->int_digits = r.ints;
  out->dec_digits = r.decs;
  out->negative = negative && r.kept > 0;
  memcpy(out->value, out->typed, kPdMaxLen);
  const bool shifted = pd_shft(out->value, kPdMaxLen, elem_lo - r.decs) == 1;
  const int ints = SIG_DIGITS(out->value, kPdMaxLen, nullptr) - elem_lo;
  out->fits = shifted && ints <= elem_hi && !(out->negative && !elem_signed) &&
              (bin_len == 0 || fits_binary(out->value, elem_signed, bin_len));
  return 1;
}

int cv_get_universal(uni_cnv* c, int keep_type, uint8_t* shared, POOL* pool) {
  if (shared) *shared = 0;
  c->int_indirect = 0;
  switch (c->cnv_type) {
    case ELEM_BIN: return binary_value(c, keep_type, shared, pool);
    case ELEM_PD_FIX: return packed_value(c, keep_type, shared, pool);
    case ELEM_PD_VAR: return variable_value(c, pool);
    case ELEM_LOG: return logic_value(c, keep_type, shared);
    case ELEM_ALP:
    case ELEM_ALP_BLOCK: return alpha_value(c, keep_type, pool);
    default:
      if (is_date_type(c->cnv_type)) return cv_typed_date(c, keep_type, pool);
      sys_err("CV", __LINE__, "cv_get_universal() - bad cnv_type");
      return 0;
  }
}

}  // namespace kivo
