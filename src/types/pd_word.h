// Word-level helpers shared by the packed-decimal modules (not for callers
// outside src/types).
//
// A packed value of n bytes is loaded big-endian into one machine word: the
// sign half in the low 4 bits, the 2n - 1 digits above it, one per 4 bits.
// Shifting the sign away leaves the magnitude as a BCD word whose unsigned
// order is the numeric order, so add, subtract and compare work on the BCD
// word directly; multiply and divide convert to binary (base 10^8 limbs or a
// 128-bit integer) and back. Up to 8 bytes (15 digits) fit a uint64_t, up to
// 16 bytes (31 digits) an unsigned __int128.
#pragma once

#include <cstdint>
#include <cstring>

#include "foundation/com.h"
#include "types/pd.h"

namespace kivo::pdw {

using u128 = unsigned __int128;

constexpr uint64_t kLo6 = 0x0666666666666666ULL;  // +6 per digit, none on the top nibble
constexpr uint64_t kAll6 = 0x6666666666666666ULL;
constexpr uint64_t kLo1 = 0x1111111111111110ULL;  // carry bits at digit boundaries
constexpr uint64_t kAll1 = 0x1111111111111111ULL;
constexpr uint64_t kE8 = 100000000ULL;
constexpr uint64_t kE16 = 10000000000000000ULL;

template <class W>
constexpr W six() {
  if constexpr (sizeof(W) == 8) return kLo6;
  else return (static_cast<u128>(kLo6) << 64) | kAll6;
}
template <class W>
constexpr W ones() {
  if constexpr (sizeof(W) == 8) return kLo1;
  else return (static_cast<u128>(kAll1) << 64) | kLo1;
}

inline bool len_ok(int n) { return n >= 1 && n <= kPdMaxLen; }
inline int digits_of(int n) { return 2 * n - 1; }

// Mask of the low t digits (t < 2 x sizeof(W)).
template <class W>
inline W digit_mask(int t) {
  return (W(1) << (4 * t)) - 1;
}

// --- loading and storing -------------------------------------------------

inline uint64_t load64(const uint8_t* p, int n) {  // n in 1..8
  if (n == 8) {
    uint64_t w;
    memcpy(&w, p, 8);
    return __builtin_bswap64(w);
  }
  uint64_t w = 0;
  for (int i = 0; i < n; ++i) w = (w << 8) | p[i];
  return w;
}

inline void store64(uint8_t* p, int n, uint64_t w) {  // n in 1..8
  if (n == 8) {
    w = __builtin_bswap64(w);
    memcpy(p, &w, 8);
    return;
  }
  for (int i = n - 1; i >= 0; --i) {
    p[i] = static_cast<uint8_t>(w);
    w >>= 8;
  }
}

template <class W>
inline W load(const uint8_t* p, int n) {
  if constexpr (sizeof(W) == 8) {
    return load64(p, n);
  } else {
    if (n <= 8) return load64(p, n);
    return (static_cast<u128>(load64(p, n - 8)) << 64) | load64(p + n - 8, 8);
  }
}

template <class W>
inline void store(uint8_t* p, int n, W w) {
  if constexpr (sizeof(W) == 8) {
    store64(p, n, w);
  } else {
    if (n <= 8) {
      store64(p, n, static_cast<uint64_t>(w));
      return;
    }
    store64(p + n - 8, 8, static_cast<uint64_t>(w));
    store64(p, n - 8, static_cast<uint64_t>(w >> 64));
  }
}

// --- signs -----------------------------------------------------------------

// Bit s set when sign half s means negative: the configured negative half,
// and the standard negative halves 0xB and 0xD unless one of them is the
// configured positive half. Every other half (0xA, 0xC, 0xE, 0xF, and the
// digit values that a zero-filled field carries) is positive.
inline uint32_t neg_mask() {
  uint32_t pos = pd_pos_sign(), neg = pd_neg_sign();
  return (1u << neg) | (((1u << 0xB) | (1u << 0xD)) & ~(1u << pos));
}

inline bool is_neg(uint32_t mask, unsigned sign_half) { return (mask >> (sign_half & 0xF)) & 1; }

// The sign half written for a result: zero is always positive.
template <class W>
inline W sign_half(bool neg, W mag) {
  return (neg && mag != 0) ? pd_neg_sign() : pd_pos_sign();
}

// --- BCD words ---------------------------------------------------------------

// True when every nibble of a magnitude (top nibble zero) is a digit 0-9.
template <class W>
inline bool digits_ok(W mag) {
  W t = mag + six<W>();
  return ((t ^ mag ^ six<W>()) & ones<W>()) == 0;
}

// a + b for magnitudes whose top nibble is zero; the top nibble takes the carry.
template <class W>
inline W bcd_add(W a, W b) {
  W t1 = a + six<W>();
  W t2 = t1 + b;
  W t3 = t1 ^ b;
  W no_carry = ~(t2 ^ t3) & ones<W>();
  return t2 - ((no_carry >> 2) | (no_carry >> 3));
}

// a - b for a >= b.
template <class W>
inline W bcd_sub(W a, W b) {
  W d = a - b;
  W borrow = (a ^ b ^ d) & ones<W>();
  return d - ((borrow >> 2) | (borrow >> 3));
}

// Up to 16 BCD digits to binary; `lanes` stops one step early and leaves
// the two groups of 8 digits as 32-bit binary lanes (base 10^8 limbs).
inline uint64_t bcd_lanes(uint64_t x) {
  x = (x & 0x0F0F0F0F0F0F0F0FULL) + ((x >> 4) & 0x0F0F0F0F0F0F0F0FULL) * 10;
  x = (x & 0x00FF00FF00FF00FFULL) + ((x >> 8) & 0x00FF00FF00FF00FFULL) * 100;
  return (x & 0x0000FFFF0000FFFFULL) + ((x >> 16) & 0x0000FFFF0000FFFFULL) * 10000;
}
inline uint64_t bcd_to_bin(uint64_t x) {
  x = bcd_lanes(x);
  return (x & 0xFFFFFFFFULL) + (x >> 32) * kE8;
}
inline u128 bcd_to_bin(u128 x) {
  return static_cast<u128>(bcd_to_bin(static_cast<uint64_t>(x >> 64))) * kE16 + bcd_to_bin(static_cast<uint64_t>(x));
}

// v < 10^8 to 8 BCD digits: split into 32-bit lanes of 4 digits, then
// 16-bit lanes of 2, each step dividing by multiplying with a reciprocal
// that is exact over the lane's range.
inline uint32_t bin_to_bcd8(uint32_t v) {
  uint64_t x = (static_cast<uint64_t>(v / 10000) << 32) | (v % 10000);
  uint64_t h = ((x * 10486) >> 20) & 0x0000007F0000007FULL;  // lane / 100
  x = (h << 16) | (x - h * 100);
  uint64_t t = ((x * 103) >> 10) & 0x000F000F000F000FULL;  // lane / 10
  x = (t << 4) | (x - t * 10);
  x = (x | (x >> 8)) & 0x0000FFFF0000FFFFULL;
  return static_cast<uint32_t>(x | (x >> 16));
}
inline uint64_t bin_to_bcd(uint64_t v) {  // v < 10^16
  return (static_cast<uint64_t>(bin_to_bcd8(static_cast<uint32_t>(v / kE8))) << 32) |
         bin_to_bcd8(static_cast<uint32_t>(v % kE8));
}
inline u128 bin_to_bcd(u128 v) {  // v < 10^32
  uint64_t hi, lo;
  if ((v >> 64) == 0) {
    hi = static_cast<uint64_t>(v) / kE16;
    lo = static_cast<uint64_t>(v) % kE16;
  } else {
    hi = static_cast<uint64_t>(v / kE16);
    lo = static_cast<uint64_t>(v % kE16);
  }
  return (static_cast<u128>(bin_to_bcd(hi)) << 64) | bin_to_bcd(lo);
}

// --- a loaded operand --------------------------------------------------------

template <class W>
struct operand {
  W mag;     // the digits as a BCD word
  bool neg;  // sign half classified negative
};

// Loads and checks an operand of n (1..16, fitting W) bytes. False when a
// digit half holds 0xA-0xF.
template <class W>
inline bool take(const uint8_t* p, int n, uint32_t mask, operand<W>& out) {
  W w = load<W>(p, n);
  out.mag = w >> 4;
  out.neg = is_neg(mask, static_cast<unsigned>(w) & 0xF);
  return digits_ok(out.mag);
}

// Writes a result of n bytes: the low 2n - 1 digits of `mag` and the sign.
template <class W>
inline void put(uint8_t* p, int n, W mag, bool neg) {
  mag &= digit_mask<W>(digits_of(n));
  store<W>(p, n, (mag << 4) | sign_half<W>(neg, mag));
}

template <class W>
inline bool fits(W mag, int n) {
  return (mag >> (4 * digits_of(n))) == 0;
}

}  // namespace kivo::pdw
