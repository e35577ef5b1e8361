// Packing and reading packed values for the packed-decimal tests, through
// __int128 so that every length up to 16 bytes (31 digits) is exact.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>

#include "foundation/com.h"

namespace kivo::pdt {

using i128 = __int128;

inline i128 pow10(int k) {
  i128 v = 1;
  while (k-- > 0) v *= 10;
  return v;
}

inline i128 abs128(i128 v) { return v < 0 ? -v : v; }

// A packed value of n bytes.
struct pk {
  uint8_t b[16] = {};
  int n = 0;
  uint8_t sign() const { return b[n - 1] & 0xF; }
};

// Packs |mag| with the given sign half.
inline pk pack_mag(i128 mag, int n, uint8_t sign_half) {
  pk p;
  p.n = n;
  p.b[n - 1] = static_cast<uint8_t>((static_cast<int>(mag % 10) << 4) | sign_half);
  mag /= 10;
  for (int i = n - 2; i >= 0; --i) {
    p.b[i] = static_cast<uint8_t>((static_cast<int>(mag / 10 % 10) << 4) | static_cast<int>(mag % 10));
    mag /= 100;
  }
  return p;
}

// Packs v with the configured sign halves.
inline pk pack(i128 v, int n) { return pack_mag(abs128(v), n, v < 0 ? pd_neg_sign() : pd_pos_sign()); }

inline i128 magnitude(const uint8_t* p, int n) {
  i128 v = 0;
  for (int i = 0; i < n - 1; ++i) v = v * 100 + (p[i] >> 4) * 10 + (p[i] & 0xF);
  return v * 10 + (p[n - 1] >> 4);
}

// The value, negative when the sign half is the configured negative one.
inline i128 value(const pk& p) {
  i128 m = magnitude(p.b, p.n);
  return p.sign() == pd_neg_sign() ? -m : m;
}

inline std::string str(i128 v) {
  if (v == 0) return "0";
  std::string s;
  bool neg = v < 0;
  for (i128 m = abs128(v); m > 0; m /= 10) s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
  return neg ? "-" + s : s;
}

inline std::string hex(const pk& p) {
  static const char* d = "0123456789ABCDEF";
  std::string s;
  for (int i = 0; i < p.n; ++i) {
    if (i) s += ' ';
    s += d[p.b[i] >> 4];
    s += d[p.b[i] & 0xF];
  }
  return s;
}

// A value from its bytes in hex, e.g. "01 2C".
inline pk from_hex(const char* text) {
  pk p;
  for (const char* s = text; s[0] && s[1] && p.n < 16;) {
    p.b[p.n++] = static_cast<uint8_t>(strtoul(std::string(s, 2).c_str(), nullptr, 16));
    s += 2;
    if (*s == ' ') ++s;
  }
  return p;
}

// Cases per differential run: 100,000 by default, scaled by KIVO_STRESS_SCALE.
inline int stress_cases(int base) {
  const char* s = getenv("KIVO_STRESS_SCALE");
  long k = s ? strtol(s, nullptr, 10) : 1;
  if (k < 1) k = 1;
  if (k > 10000) k = 10000;
  return static_cast<int>(base * k);
}

// Random operands biased towards the edges: zero, all nines, full length.
struct gen {
  std::mt19937_64 rng;
  explicit gen(uint64_t seed) : rng(seed) {}

  int below(int n) { return static_cast<int>(rng() % static_cast<uint64_t>(n)); }
  int len() { return 1 + below(16); }

  i128 mag(int n) {
    int t = 2 * n - 1;
    int kind = below(16);
    if (kind == 0) return 0;
    if (kind == 1) return pow10(t) - 1;
    int k = kind < 6 ? t : 1 + below(t);
    i128 v = 0;
    bool nines = below(10) == 0;
    for (int i = 0; i < k; ++i) v = v * 10 + (nines ? 9 : below(10));
    return v;
  }

  // A sign half of the wanted class, sometimes one another system writes.
  uint8_t sign(bool neg) {
    int r = below(8);
    if (neg) return r == 0 ? 0xB : pd_neg_sign();
    if (r == 0) return 0xF;
    if (r == 1) return 0xA;
    if (r == 2) return 0xE;
    return pd_pos_sign();
  }

  // An operand: its bytes and the value it stands for; `neg` reports a
  // negative sign half (also on a zero).
  pk operand(int n, i128& v, bool& neg) {
    i128 m = mag(n);
    neg = below(2) == 0;
    v = neg ? -m : m;
    return pack_mag(m, n, sign(neg));
  }
};

}  // namespace kivo::pdt
