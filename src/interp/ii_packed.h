// Fixed packed numbers of 1-9 bytes (up to 17 digits and the sign) worked
// on as they lie: their digit nibbles added, subtracted and compared in
// one 128-bit word (BCD lanes), never turned into binary and back.
//
// Contract: the same values, the same refusals and the same stored bytes as
// num_get, the arithmetic and num_put_at on a fixed packed field of that
// length. A refusal (a digit nibble above 9, a result the field does not
// hold) writes nothing, so a caller may fall back to the general path,
// which then reports it.
#pragma once

#include <cstdint>

#include "foundation/bytes.h"
#include "foundation/com.h"

namespace kivo {

constexpr unsigned kPdSmallMax = 9;  // bytes: 17 digits and the sign
constexpr int kPdSmallDigits = 17;

// Digit nibbles, the lowest digit in the lowest nibble, and the sign.
struct pd_small {
  unsigned __int128 digits;
  bool neg;
};

namespace pd_small_detail {

using u128 = unsigned __int128;
constexpr int kDigits = kPdSmallDigits;

// `nibble` in each of the lowest `n` nibbles.
constexpr u128 each_nibble(unsigned nibble, int n) {
  u128 v = 0;
  for (int i = 0; i < n; ++i) v = v << 4 | nibble;
  return v;
}
constexpr u128 kSixes = each_nibble(6, kDigits + 1);   // the digits and the carry nibble
constexpr u128 kNines = each_nibble(9, kDigits);       // the tens' complement base
constexpr u128 kLow = each_nibble(1, kDigits + 1);     // bit 0 of each nibble
constexpr u128 kDigitMask = each_nibble(15, kDigits);  // the digits without the carry nibble

// 16 digit nibbles (each at most 9) to their value, lane by lane: pairs,
// fours, eights.
inline uint64_t bcd16_value(uint64_t x) {
  x = (x & 0x0F0F0F0F0F0F0F0Full) + ((x >> 4) & 0x0F0F0F0F0F0F0F0Full) * 10;
  x = (x & 0x00FF00FF00FF00FFull) + ((x >> 8) & 0x00FF00FF00FF00FFull) * 100;
  x = (x & 0x0000FFFF0000FFFFull) + ((x >> 16) & 0x0000FFFF0000FFFFull) * 10000;
  return (x & 0xFFFFFFFFull) + (x >> 32) * 100000000ull;
}

// The `n` (1-8) bytes at `p` as a big-endian number: two loads that may
// overlap, never a byte outside them.
inline uint64_t load_be(const uint8_t* p, unsigned n) {
  if (n >= 4) return uint64_t{ld_be32(p, 0)} << (8 * (n - 4)) | ld_be32(p, n - 4);
  if (n >= 2) return uint64_t{ld_be16(p, 0)} << (8 * (n - 2)) | ld_be16(p, n - 2);
  return p[0];
}
// The low `n` (1-8) bytes of `x` at `p`, big-endian, the same way.
inline void store_be(uint8_t* p, unsigned n, uint64_t x) {
  if (n >= 4) {
    st_be32(p, 0, static_cast<uint32_t>(x >> (8 * (n - 4))));
    st_be32(p, n - 4, static_cast<uint32_t>(x));
  } else if (n >= 2) {
    st_be16(p, 0, static_cast<uint16_t>(x >> (8 * (n - 2))));
    st_be16(p, n - 2, static_cast<uint16_t>(x));
  } else {
    p[0] = static_cast<uint8_t>(x);
  }
}

inline bool neg_sign(unsigned half) { return half == pd_neg_sign() || half == 0xB || half == 0xD; }

// a + b + carry_in, digit by digit: each nibble is biased by 6 so that a
// decimal carry is a binary one, and the bias comes off again where no
// carry left the nibble. Digits 0-16 and the carry in nibble 17.
inline u128 bcd_add(u128 a, u128 b, unsigned carry_in) {
  const u128 t1 = a + kSixes, t2 = t1 + b + carry_in;
  const u128 no_carry = ~(t2 ^ t1 ^ b) & (kLow << 4);
  return t2 - ((no_carry >> 2) | (no_carry >> 3));
}

}  // namespace pd_small_detail

// The field of `len` (1-9) bytes at `p`; false when a digit nibble is above 9.
inline bool pd_small_load(const uint8_t* p, unsigned len, pd_small* out) {
  using namespace pd_small_detail;
  const unsigned head = len > 8 ? len - 8 : 0;
  const uint64_t low = load_be(p + head, len - head);
  const u128 d = (u128{head ? p[0] : 0u} << 60) | (low >> 4);
  if ((d >> 3) & ((d >> 2) | (d >> 1)) & kLow) return false;
  *out = {d, neg_sign(low & 0xF)};
  return true;
}

// a + b, or a - b when `subtract`: 17 digits hold any such result.
inline pd_small pd_small_add(const pd_small& a, const pd_small& b, bool subtract) {
  using namespace pd_small_detail;
  if (a.neg == (b.neg != subtract)) return {bcd_add(a.digits, b.digits, 0), a.neg};
  // |a| - |b| through the tens' complement: a carry out means |a| >= |b|.
  const u128 r = bcd_add(a.digits, kNines - b.digits, 1);
  if (r >> (4 * kDigits)) return {r & kDigitMask, a.neg};
  return {bcd_add(kNines - r, 0, 1), !a.neg};
}

// -1, 0, 1: a against b (a negative zero is zero).
inline int pd_small_cmp(const pd_small& a, const pd_small& b) {
  if (a.digits == 0 && b.digits == 0) return 0;
  if (a.neg != b.neg) return a.neg ? -1 : 1;
  const int c = a.digits < b.digits ? -1 : a.digits > b.digits ? 1 : 0;
  return a.neg ? -c : c;
}

// Stores `v` in the field of `len` (1-9) bytes at `p`; false, nothing
// written, when the field does not hold it (more digits than 2 x len - 1, or
// a negative value in a field without sign).
inline bool pd_small_store(uint8_t* p, unsigned len, const pd_small& v, bool is_signed) {
  const bool neg = v.neg && v.digits != 0;
  if ((v.digits >> (4 * (2 * len - 1))) != 0 || (neg && !is_signed)) return false;
  const uint8_t sign = neg ? pd_neg_sign() : pd_pos_sign();
  const unsigned head = len > 8 ? len - 8 : 0;
  if (head) p[0] = static_cast<uint8_t>(v.digits >> 60);
  pd_small_detail::store_be(p + head, len - head, static_cast<uint64_t>(v.digits) << 4 | sign);
  return true;
}

// The value of `v` as an integer.
inline int64_t pd_small_value(const pd_small& v) {
  using namespace pd_small_detail;
  const uint64_t x =
      bcd16_value(static_cast<uint64_t>(v.digits)) + static_cast<uint64_t>(v.digits >> 64) * 10000000000000000ull;
  return v.neg ? -static_cast<int64_t>(x) : static_cast<int64_t>(x);
}

}  // namespace kivo
