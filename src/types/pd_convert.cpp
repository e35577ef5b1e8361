// Packed-decimal conversions: 32-bit integers, floating point, digit text,
// the rounded integer of a variable-point value, and binary arithmetic
// routed through packed decimal.
//
// Conversions that produce a packed value never produce a negative zero,
// and refuse what cannot be represented (non-finite doubles, values that do
// not fit after rounding) instead of writing a wrong value.
#include <cmath>
#include <cstdio>

#include "types/pd.h"
#include "types/pd_word.h"

namespace kivo {

using namespace pdw;

namespace {

double pow10_of(int d) {
  static const double exact[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  return d <= 22 ? exact[d] : std::pow(10.0, d);
}

// Writes a whole number of at most 31 digits as a 16-byte packed value.
void put16(uint8_t* p, u128 v, bool neg) { put<u128>(p, kPdMaxLen, bin_to_bcd(v), neg); }

constexpr int kMaxFloatDecimals = 62;  // keeps the formatted text bounded

// States of pd_cva's scan, which reads the text from its right end: what has
// been seen so far to the right of the current character.
enum : uint8_t {
  CVA_BAD,                // not a number
  CVA_TRAIL_BLANKS,       // only blanks
  CVA_DIGITS,             // digits (the decimals, or the whole number)
  CVA_SIGN,               // a sign left of digits; a point may still come
  CVA_SIGN_DONE,          // sign and point both seen: only blanks may come
  CVA_INT_DIGITS,         // digits left of the point
  CVA_LEAD_BLANKS,        // the number is complete: only blanks may come
  CVA_TRAIL_SIGN,         // a trailing sign, no digit yet
  CVA_TRAIL_SIGN_POINT,   // a point left of the trailing sign, no digit yet
  CVA_TRAIL_POINT,        // a trailing point, no digit yet
  CVA_SIGNED_DIGITS,      // digits left of a trailing sign
  CVA_SIGNED_INT_DIGITS,  // digits left of the point, with a trailing sign
  kCvaStates
};

}  // namespace

int32_t pd_cvb(const uint8_t* p, int len) {
  if (!len_ok(len)) return 0;
  operand<u128> x;
  if (!take(p, len, neg_mask(), x)) return 0;
  // Modulo 2^32, as callers storing unsigned 32-bit fields expect.
  uint32_t v = static_cast<uint32_t>(bcd_to_bin(x.mag));
  if (x.neg) v = 0u - v;
  return static_cast<int32_t>(v);
}

int pd_cvp(uint8_t* p, int len, int32_t value) {
  if (!len_ok(len)) return 0;
  // The magnitude in unsigned arithmetic, so -2^31 is exact.
  uint32_t m = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
  uint64_t bcd = bin_to_bcd(static_cast<uint64_t>(m));
  if (len <= 8) {
    put<uint64_t>(p, len, bcd, value < 0);
  } else {
    put<u128>(p, len, bcd, value < 0);
  }
  return fits<uint64_t>(bcd, len > 8 ? 8 : len);
}

int pd_from_float(pd_field* f, double value) {
  if (!len_ok(f->len) || !std::isfinite(value)) return 0;
  if (f->decimals < 0 || f->decimals > kMaxFloatDecimals) return 0;
  double m = std::fabs(value);
  if (m >= 1e32) return 0;  // more than 31 integer digits never fit
  char text[128];
  snprintf(text, sizeof text, "%.*f", f->decimals, m);
  // The range is checked on the rounded digits: 99.996 to two decimals is
  // 100.00, one digit more than 99.99.
  int t = digits_of(f->len), count = 0;
  u128 mag = 0;
  for (const char* c = text; *c; ++c) {
    if (*c < '0' || *c > '9') continue;
    if (count == 0 && *c == '0') continue;
    if (++count > t) return 0;
    mag = (mag << 4) | static_cast<unsigned>(*c - '0');
  }
  bool neg = value < 0 && mag != 0;
  put<u128>(f->p, f->len, mag, neg);
  f->negative = neg;
  return 1;
}

// The value as one correctly rounded double divided by 10^decimals; a
// refused operand (bad length or digit) gives NaN.
double pd_to_float(const pd_field* f) {
  if (!len_ok(f->len)) return std::nan("");
  operand<u128> x;
  if (!take(f->p, f->len, neg_mask(), x)) return std::nan("");
  if (x.mag == 0) return 0.0;
  double v = static_cast<double>(bcd_to_bin(x.mag));
  if (f->decimals > 0) v /= pow10_of(f->decimals);
  if (f->decimals < 0) v *= pow10_of(-f->decimals);
  return x.neg ? -v : v;
}

int32_t pd_var_bin(const pd_var* v) {
  operand<uint64_t> x;
  if (!take(v->value, kPdFastLen, neg_mask(), x)) return 0;
  uint64_t m = bcd_to_bin(x.mag);  // below 10^15
  int d = v->decimals;
  if (d > 0) {
    // Half away from zero, as the rounding shift does.
    m = d > 15 ? 0 : (m + static_cast<uint64_t>(pow10_of(d - 1) * 5)) / static_cast<uint64_t>(pow10_of(d));
  } else if (d < 0) {
    for (; d < 0 && m != 0 && m <= (1ULL << 32); ++d) m *= 10;
    if (d < 0 && m != 0) m = 1ULL << 32;  // clamps below
  }
  if (x.neg) return m >= (1ULL << 31) ? INT32_MIN : -static_cast<int32_t>(m);
  return m > INT32_MAX ? INT32_MAX : static_cast<int32_t>(m);
}

namespace {

// pd_cva's transitions by character class: blank, digit, sign, point.
constexpr uint8_t kCvaNext[kCvaStates][4] = {
    {CVA_BAD, CVA_BAD, CVA_BAD, CVA_BAD},                                  // CVA_BAD
    {CVA_TRAIL_BLANKS, CVA_DIGITS, CVA_TRAIL_SIGN, CVA_TRAIL_POINT},       // CVA_TRAIL_BLANKS
    {CVA_LEAD_BLANKS, CVA_DIGITS, CVA_SIGN, CVA_INT_DIGITS},               // CVA_DIGITS
    {CVA_LEAD_BLANKS, CVA_BAD, CVA_BAD, CVA_SIGN_DONE},                    // CVA_SIGN
    {CVA_LEAD_BLANKS, CVA_BAD, CVA_BAD, CVA_BAD},                          // CVA_SIGN_DONE
    {CVA_LEAD_BLANKS, CVA_INT_DIGITS, CVA_SIGN_DONE, CVA_BAD},             // CVA_INT_DIGITS
    {CVA_LEAD_BLANKS, CVA_BAD, CVA_BAD, CVA_BAD},                          // CVA_LEAD_BLANKS
    {CVA_BAD, CVA_SIGNED_DIGITS, CVA_BAD, CVA_TRAIL_SIGN_POINT},           // CVA_TRAIL_SIGN
    {CVA_BAD, CVA_SIGNED_INT_DIGITS, CVA_BAD, CVA_BAD},                    // CVA_TRAIL_SIGN_POINT
    {CVA_BAD, CVA_INT_DIGITS, CVA_BAD, CVA_BAD},                           // CVA_TRAIL_POINT
    {CVA_LEAD_BLANKS, CVA_SIGNED_DIGITS, CVA_BAD, CVA_SIGNED_INT_DIGITS},  // CVA_SIGNED_DIGITS
    {CVA_LEAD_BLANKS, CVA_SIGNED_INT_DIGITS, CVA_BAD, CVA_BAD},            // CVA_SIGNED_INT_DIGITS
};

enum cva_class { CVA_BLANK, CVA_DIGIT, CVA_SIGN_CHAR, CVA_POINT, CVA_OTHER };

cva_class cva_class_of(char c, char dec_sep) {
  if (c == ' ') return CVA_BLANK;
  if (c >= '0' && c <= '9') return CVA_DIGIT;
  if (c == '+' || c == '-') return CVA_SIGN_CHAR;
  if (c == dec_sep || c == '.' || (com.dec_sep != 0 && c == static_cast<char>(com.dec_sep))) return CVA_POINT;
  return CVA_OTHER;
}

}  // namespace

int pd_cva(const char* text, int text_len, char dec_sep, pd_field* f) {
  if (!len_ok(f->len) || text_len < 0) return 0;
  int t = digits_of(f->len);
  put<u128>(f->p, f->len, 0, false);

  u128 mag = 0;
  int state = CVA_TRAIL_BLANKS, count = 0, since_point = 0, decimals = 0;
  bool neg = false;
  for (int i = text_len - 1; i >= 0; --i) {
    char c = text[i];
    const cva_class cls = cva_class_of(c, dec_sep);
    if (cls == CVA_OTHER) return 0;
    state = kCvaNext[state][cls];
    if (state == CVA_BAD) return 0;
    if (cls == CVA_DIGIT) {
      if (count == t) return 0;
      mag |= static_cast<u128>(c - '0') << (4 * count++);
      ++since_point;
    } else if (cls == CVA_SIGN_CHAR) {
      neg |= c == '-';
    } else if (cls == CVA_POINT) {
      decimals = since_point;
      since_point = 0;
    }
  }
  // A sign or point with no digit is not a number.
  if (state == CVA_TRAIL_SIGN || state == CVA_TRAIL_SIGN_POINT || state == CVA_TRAIL_POINT) return 0;
  neg = neg && mag != 0;
  put<u128>(f->p, f->len, mag, neg);
  f->decimals = decimals;
  f->negative = neg;
  return 1;
}

int bin_math(int32_t* a, int32_t b, int op, int b_scale, int b_unsigned, int a_scale, int a_unsigned) {
  if (op < BIN_ADD || op > BIN_SET) return 0;
  auto load = [](uint8_t* p, int32_t v, int is_unsigned, int scale) {
    bool neg = is_unsigned != 2 && v < 0;
    uint32_t m = is_unsigned == 2 ? static_cast<uint32_t>(v)
                 : neg            ? 0u - static_cast<uint32_t>(v)
                                  : static_cast<uint32_t>(v);
    put16(p, m, neg);
    return scale <= 1 || pd_shft(p, kPdMaxLen, scale - 1);
  };
  uint8_t x[kPdMaxLen], y[kPdMaxLen], factor[kPdMaxLen];
  if (!load(x, *a, a_unsigned, a_scale) || !load(y, b, b_unsigned, b_scale)) return 0;
  int ok = 0;
  switch (op) {
    case BIN_ADD: ok = pd_add(x, kPdMaxLen, y, kPdMaxLen); break;
    case BIN_SUB: ok = pd_sub(x, kPdMaxLen, y, kPdMaxLen); break;
    case BIN_MUL: ok = pd_mul(x, kPdMaxLen, y, kPdMaxLen); break;
    case BIN_DIV: ok = pd_div(x, kPdMaxLen, y, kPdMaxLen, nullptr, 0); break;
    default: ok = pd_set(x, kPdMaxLen, y, kPdMaxLen); break;
  }
  if (!ok) return 0;
  if (a_scale > 1) {
    put16(factor, 1, false);
    if (!pd_shft(factor, kPdMaxLen, a_scale - 1) || !pd_div(x, kPdMaxLen, factor, kPdMaxLen, nullptr, 0)) return 0;
  }
  // The result must fit a's 32 bits: signed, or 0..2^32-1 when a is unsigned.
  operand<u128> r;
  take(x, kPdMaxLen, neg_mask(), r);
  u128 m = bcd_to_bin(r.mag);
  if (a_unsigned == 2) {
    if ((r.neg && m != 0) || m > UINT32_MAX) return 0;
    *a = static_cast<int32_t>(static_cast<uint32_t>(m));
    return 1;
  }
  if (r.neg ? m > (static_cast<u128>(1) << 31) : m > INT32_MAX) return 0;
  uint32_t v = static_cast<uint32_t>(m);
  *a = static_cast<int32_t>(r.neg ? 0u - v : v);
  return 1;
}

}  // namespace kivo
