// Packed-decimal arithmetic: set, add, subtract, multiply, divide, compare
// and the decimal shifts, on operands of 1 to 16 bytes.
//
// Every operation loads its operands whole before it writes, so a result
// may overlay an operand. An operand that is refused (length outside 1..16,
// a digit half 0xA-0xF) makes the operation return 0 with nothing written.
// Sign halves are classified (pdw::neg_mask), results carry the configured
// halves and a zero result is always positive.
#include "types/pd.h"

#include "types/pd_word.h"

namespace kivo {

using namespace pdw;

namespace {

// Adds (or subtracts) two loaded operands into a of a_len bytes.
template <class W>
int add_into(uint8_t* a, int a_len, operand<W> x, operand<W> y) {
  W r;
  bool neg;
  if (x.neg == y.neg) {
    r = bcd_add(x.mag, y.mag);
    neg = x.neg;
  } else if (x.mag >= y.mag) {
    r = bcd_sub(x.mag, y.mag);
    neg = x.neg;
  } else {
    r = bcd_sub(y.mag, x.mag);
    neg = y.neg;
  }
  put<W>(a, a_len, r, neg);
  return fits(r, a_len);
}

template <class W>
int add_sub(uint8_t* a, int a_len, const uint8_t* b, int b_len, bool subtract) {
  uint32_t mask = neg_mask();
  operand<W> x, y;
  if (!take(a, a_len, mask, x) || !take(b, b_len, mask, y)) return 0;
  y.neg ^= subtract;
  return add_into(a, a_len, x, y);
}

int add_any(uint8_t* a, int a_len, const uint8_t* b, int b_len, bool subtract) {
  if (a_len == 8 && b_len == 8) return add_sub<uint64_t>(a, 8, b, 8, subtract);
  if (!len_ok(a_len) || !len_ok(b_len)) return 0;
  if (a_len <= 8 && b_len <= 8) return add_sub<uint64_t>(a, a_len, b, b_len, subtract);
  return add_sub<u128>(a, a_len, b, b_len, subtract);
}

// Magnitude comparison of BCD words, then the sign rule: negative below
// non-negative (a negative zero sorts below a positive one).
template <class W>
int cmp_operands(operand<W> x, operand<W> y) {
  if (x.neg != y.neg) return x.neg ? -1 : 1;
  int c = (x.mag > y.mag) - (x.mag < y.mag);
  return x.neg ? -c : c;
}

// Byte-wise compare for lengths beyond what the words hold: the extra
// leading bytes of the longer operand decide when not zero.
int cmp_long(const uint8_t* a, int a_len, const uint8_t* b, int b_len) {
  uint32_t mask = neg_mask();
  bool na = is_neg(mask, a[a_len - 1]), nb = is_neg(mask, b[b_len - 1]);
  if (na != nb) return na ? -1 : 1;
  int c = 0;
  for (; a_len > b_len && c == 0; --a_len, ++a) c = *a != 0;
  for (; b_len > a_len && c == 0; --b_len, ++b) c = -(*b != 0);
  for (int i = 0; i < a_len && c == 0; ++i) {
    int ab = i == a_len - 1 ? a[i] >> 4 : a[i];
    int bb = i == a_len - 1 ? b[i] >> 4 : b[i];
    c = (ab > bb) - (ab < bb);
  }
  return na ? -c : c;
}

// Product magnitudes in base 10^8 limbs, least significant first.
struct limbs {
  uint64_t l[8];
  int n;
};

// Limbs up to the highest nonzero one (at least one).
inline int limb_count(const uint64_t* l) {
  int n = 4;
  while (n > 1 && l[n - 1] == 0) --n;
  return n;
}

inline void to_limbs(u128 mag, uint64_t* l) {
  uint64_t lo = bcd_lanes(static_cast<uint64_t>(mag));
  uint64_t hi = bcd_lanes(static_cast<uint64_t>(mag >> 64));
  l[0] = lo & 0xFFFFFFFF;
  l[1] = lo >> 32;
  l[2] = hi & 0xFFFFFFFF;
  l[3] = hi >> 32;
}

// Schoolbook product; a column holds at most four products below 10^16
// plus a carry, well inside 64 bits.
void mul_limbs(const uint64_t* x, int nx, const uint64_t* y, int ny, limbs& r) {
  uint64_t carry = 0;
  r.n = nx + ny;
  for (int k = 0; k < r.n - 1; ++k) {
    uint64_t s = carry;
    int lo = k - ny + 1 > 0 ? k - ny + 1 : 0;
    int hi = k < nx - 1 ? k : nx - 1;
    for (int i = lo; i <= hi; ++i) s += x[i] * y[k - i];
    r.l[k] = s % kE8;
    carry = s / kE8;
  }
  r.l[r.n - 1] = carry;
}

// Both operands of at most 8 bytes: two limbs each, the product's low 16
// digits in two more; a nonzero third limb means the product cannot fit.
int mul_small(uint8_t* a, int a_len, const uint8_t* b, int b_len) {
  uint32_t mask = neg_mask();
  operand<uint64_t> x, y;
  if (!take(a, a_len, mask, x) || !take(b, b_len, mask, y)) return 0;
  uint64_t xl = bcd_lanes(x.mag), yl = bcd_lanes(y.mag);
  uint64_t x0 = xl & 0xFFFFFFFF, x1 = xl >> 32, y0 = yl & 0xFFFFFFFF, y1 = yl >> 32;
  uint64_t c0 = x0 * y0;
  uint64_t c1 = x0 * y1 + x1 * y0 + c0 / kE8;
  uint64_t c2 = x1 * y1 + c1 / kE8;
  uint64_t r = (static_cast<uint64_t>(bin_to_bcd8(static_cast<uint32_t>(c1 % kE8))) << 32) |
               bin_to_bcd8(static_cast<uint32_t>(c0 % kE8));
  put<uint64_t>(a, a_len, r, x.neg != y.neg);
  return c2 == 0 && fits(r, a_len);
}

int mul_wide(uint8_t* a, int a_len, const uint8_t* b, int b_len) {
  uint32_t mask = neg_mask();
  operand<u128> x, y;
  if (!take(a, a_len, mask, x) || !take(b, b_len, mask, y)) return 0;
  uint64_t xl[4], yl[4];
  to_limbs(x.mag, xl);
  to_limbs(y.mag, yl);
  limbs r;
  mul_limbs(xl, limb_count(xl), yl, limb_count(yl), r);
  bool lost = false;
  for (int k = 4; k < r.n; ++k) lost |= r.l[k] != 0;
  while (r.n < 4) r.l[r.n++] = 0;
  u128 low = 0;
  for (int k = 3; k >= 0; --k) low = (low << 32) | bin_to_bcd8(static_cast<uint32_t>(r.l[k]));
  put<u128>(a, a_len, low, x.neg != y.neg);
  return !lost && fits(low, a_len);
}

// Shift by n places (n < 0: right). `round` adds one when the most
// significant dropped digit is 5 or more.
template <class W>
int shift_word(uint8_t* p, int len, long n, bool round) {
  operand<W> x;
  if (!take(p, len, neg_mask(), x)) return 0;
  int t = digits_of(len);
  if (n == 0) {
    put<W>(p, len, x.mag, x.neg);  // normalises the sign half
    return 1;
  }
  if (n >= t) {
    put<W>(p, len, 0, false);
    return x.mag == 0;
  }
  if (n > 0) {
    int ok = (x.mag >> (4 * (t - n))) == 0;
    put<W>(p, len, x.mag << (4 * n), x.neg);
    return ok;
  }
  long m = -n;
  W r = 0;
  if (m <= t) {
    r = x.mag >> (4 * m);
    if (round && ((x.mag >> (4 * (m - 1))) & 0xF) >= 5) r = bcd_add<W>(r, 1);
  }
  put<W>(p, len, r, x.neg);
  return 1;
}

int shift_any(uint8_t* p, int len, int n, bool round) {
  if (!len_ok(len)) return 0;
  if (len <= 8) return shift_word<uint64_t>(p, len, n, round);
  return shift_word<u128>(p, len, n, round);
}

template <class W>
int set_word(uint8_t* dst, int dst_len, const uint8_t* src, int src_len) {
  operand<W> x;
  if (!take(src, src_len, neg_mask(), x)) return 0;
  if (!fits(x.mag, dst_len)) return 0;
  put<W>(dst, dst_len, x.mag, x.neg);
  return 1;
}

// Quotient and remainder of magnitudes below 2^64.
template <class W>
int div_word(uint8_t* a, int a_len, const uint8_t* b, int b_len, uint8_t* rem, int rem_len) {
  uint32_t mask = neg_mask();
  operand<W> x, y;
  if (!take(a, a_len, mask, x) || !take(b, b_len, mask, y) || y.mag == 0) return 0;
  W n = bcd_to_bin(x.mag), d = bcd_to_bin(y.mag), q, r;
  if constexpr (sizeof(W) > 8) {
    if ((n >> 64) == 0 && (d >> 64) == 0) {
      q = static_cast<uint64_t>(n) / static_cast<uint64_t>(d);
      r = static_cast<uint64_t>(n) % static_cast<uint64_t>(d);
    } else {
      q = n / d;
      r = n % d;
    }
  } else {
    q = n / d;
    r = n % d;
  }
  bool qneg = x.neg != y.neg;
  // Only a positive quotient rounds (half up); a negative one stays
  // truncated towards zero. The rounded quotient still fits: it is at most
  // |a| because a remainder needs a divisor of 2 or more.
  if (!rem && !qneg && 2 * r >= d) ++q;
  put<W>(a, a_len, bin_to_bcd(q), qneg);
  if (!rem) return 1;
  u128 rb = bin_to_bcd(static_cast<u128>(r));
  put<u128>(rem, rem_len, rb, x.neg);
  return fits(rb, rem_len);
}

}  // namespace

int pd_set(uint8_t* dst, int dst_len, const uint8_t* src, int src_len) {
  if (!len_ok(dst_len) || !len_ok(src_len)) return 0;
  if (src_len <= 8 && dst_len <= 8) return set_word<uint64_t>(dst, dst_len, src, src_len);
  return set_word<u128>(dst, dst_len, src, src_len);
}

int pd_add(uint8_t* a, int a_len, const uint8_t* b, int b_len) { return add_any(a, a_len, b, b_len, false); }
int pd_sub(uint8_t* a, int a_len, const uint8_t* b, int b_len) { return add_any(a, a_len, b, b_len, true); }
int pd_fix_add(uint8_t* a, const uint8_t* b, int len) { return add_any(a, len, b, len, false); }
int pd_fix_sub(uint8_t* a, const uint8_t* b, int len) { return add_any(a, len, b, len, true); }

int pd_fast_add(uint8_t* a, const uint8_t* b) { return add_sub<uint64_t>(a, 8, b, 8, false); }
int pd_fast_sub(uint8_t* a, const uint8_t* b) { return add_sub<uint64_t>(a, 8, b, 8, true); }

int pd_fast_set(uint8_t* a, const uint8_t* b) {
  operand<uint64_t> x;
  if (!take(b, 8, neg_mask(), x)) return 0;
  put<uint64_t>(a, 8, x.mag, x.neg);
  return 1;
}

// Compare never fails: a digit half 0xA-0xF orders by its value, so the
// order stays total for keys that hold foreign bytes.
int pd_fast_cmp(const uint8_t* a, const uint8_t* b) {
  uint32_t mask = neg_mask();
  operand<uint64_t> x, y;
  take(a, 8, mask, x);
  take(b, 8, mask, y);
  return cmp_operands(x, y);
}

int pd_cmp(const uint8_t* a, int a_len, const uint8_t* b, int b_len) {
  if (a_len < 1 || b_len < 1) return 0;
  if (a_len > kPdMaxLen || b_len > kPdMaxLen) return cmp_long(a, a_len, b, b_len);
  uint32_t mask = neg_mask();
  if (a_len <= 8 && b_len <= 8) {
    operand<uint64_t> x, y;
    take(a, a_len, mask, x);
    take(b, b_len, mask, y);
    return cmp_operands(x, y);
  }
  operand<u128> x, y;
  take(a, a_len, mask, x);
  take(b, b_len, mask, y);
  return cmp_operands(x, y);
}

int pd_mul(uint8_t* a, int a_len, const uint8_t* b, int b_len) {
  if (!len_ok(a_len) || !len_ok(b_len)) return 0;
  if (a_len <= 8 && b_len <= 8) return mul_small(a, a_len, b, b_len);
  return mul_wide(a, a_len, b, b_len);
}

int pd_div(uint8_t* a, int a_len, const uint8_t* b, int b_len, uint8_t* rem, int rem_len) {
  if (!len_ok(a_len) || !len_ok(b_len) || (rem && !len_ok(rem_len))) return 0;
  if (a_len <= 8 && b_len <= 8) return div_word<uint64_t>(a, a_len, b, b_len, rem, rem_len);
  return div_word<u128>(a, a_len, b, b_len, rem, rem_len);
}

int pd_shft(uint8_t* p, int len, int n) { return shift_any(p, len, n, true); }
int pd_shftn(uint8_t* p, int len, int n) { return shift_any(p, len, n, false); }

int SIG_DIGITS(const uint8_t* p, int n, int* digits) {
  int d = n >= 1 ? digits_of(n) : 0;
  int i = 0;
  while (i < n && p[i] == 0) {
    d -= 2;
    ++i;
  }
  if (i < n && (p[i] >> 4) == 0) --d;
  if (d < 0) d = 0;
  if (digits) *digits = d;
  return d;
}

}  // namespace kivo
