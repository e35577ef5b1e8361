// The range of a stored number field: the one rule that the interpreter's
// moves, arithmetic and comparisons, the display and entry conversions and
// the typed constants all read.
//
// A field holds what its stored form holds, at its stored scale (the number
// times 10^decimals):
// - binary (data type 5): its stored width and sign: 1 byte 0..255 or
//   -128..127, 2 bytes 0..65535 or -32768..32767, 4 bytes 0..4294967295 or
//   -2147483648..2147483647;
// - fixed packed (8): the digits of its length, 2 x length - 1 (at most 31,
//   from the first 16 bytes), negative values only when the field is signed;
// - variable packed (12): the digits of all but its last byte, which holds
//   the value's decimals; always signed.
// A value outside is an overflow wherever it would be stored, and the field
// keeps what it held.
//
// The element's declared integer digits are no part of this range. Text
// typed into a field (`num_etoi`) and a typed constant kept in its field's
// type (`cv_get_universal` with the keep-type flag) are refused with more
// integer digits than the element declares: a bound on what is typed, kept
// where text is read. What arithmetic or a move puts into a field, and what
// a field is read as, follow the stored range alone: a 1-byte unsigned field
// of 2 digits holds 154, a 4-byte one of 9 digits 2999999997, and neither
// holds -1.
#pragma once

#include <cstdint>

#include "foundation/bytes.h"
#include "types/num_convert.h"
#include "types/pd.h"

namespace kivo {

struct num_range {
  __int128 lo, hi;  // inclusive, at the stored scale
};

namespace num_range_detail {
constexpr int kMaxDigits = 31;
struct nines_table {
  __int128 v[kMaxDigits + 1];  // v[d] = 10^d - 1
  constexpr nines_table() : v() {
    __int128 p = 1;
    for (int d = 0; d <= kMaxDigits; ++d, p *= 10) v[d] = p - 1;
  }
};
inline constexpr nines_table kNines;
constexpr __int128 nines(int len) {
  const int bytes = len < kPdMaxLen ? len : kPdMaxLen;
  return kNines.v[2 * bytes - 1];
}
}  // namespace num_range_detail

// The number kind (NUM_BIN1 .. NUM_PD_VAR) of a field of data type `type`
// stored in `len` bytes; 0 when the pair stores no number (a binary field
// of other than 1, 2 or 4 bytes, a type that is no number).
constexpr uint8_t num_kind_of(uint8_t type, uint16_t len, bool is_signed) {
  if (type == 8) return NUM_PD_FIX;
  if (type == 12) return NUM_PD_VAR;
  if (type != 5) return 0;
  const uint8_t k = len == 1 ? NUM_BIN1 : len == 2 ? NUM_BIN2 : len == 4 ? NUM_BIN4 : 0;
  return k && !is_signed ? static_cast<uint8_t>(k + 1) : k;
}

// The range of number kind `kind` stored in `len` bytes. `is_signed` is read
// for kind 7 alone (the binary kinds carry their sign, kind 8 is always
// signed). False when the length does not suit the kind.
constexpr bool num_field_range(uint8_t kind, uint16_t len, bool is_signed, num_range* out) {
  switch (kind) {
    case NUM_BIN1: return len >= 1 && (*out = {-128, 127}, true);
    case NUM_UBIN1: return len >= 1 && (*out = {0, 255}, true);
    case NUM_BIN2: return len >= 2 && (*out = {-32768, 32767}, true);
    case NUM_UBIN2: return len >= 2 && (*out = {0, 65535}, true);
    case NUM_BIN4: return len >= 4 && (*out = {-__int128{2147483648LL}, 2147483647}, true);
    case NUM_UBIN4: return len >= 4 && (*out = {0, 4294967295LL}, true);
    case NUM_PD_FIX: {
      if (len < 1) return false;
      const __int128 hi = num_range_detail::nines(len);
      return *out = {is_signed ? -hi : 0, hi}, true;
    }
    case NUM_PD_VAR: {
      if (len < 2) return false;
      const __int128 hi = num_range_detail::nines(len - 1);
      return *out = {-hi, hi}, true;
    }
    default: return false;
  }
}

// The same by data type: the range of a field of `type`, `len` bytes.
constexpr bool num_type_range(uint8_t type, uint16_t len, bool is_signed, num_range* out) {
  return num_field_range(num_kind_of(type, len, is_signed), len, is_signed, out);
}

// Bytes of a binary kind (NUM_BIN1 .. NUM_UBIN4).
constexpr int num_bin_width(uint8_t kind) { return kind <= NUM_UBIN1 ? 1 : kind <= NUM_UBIN2 ? 2 : 4; }

// The integer a binary kind holds at `p`, little-endian, read with the
// kind's sign.
inline int64_t num_bin_load(uint8_t kind, const uint8_t* p) {
  switch (kind) {
    case NUM_BIN1: return static_cast<int8_t>(p[0]);
    case NUM_UBIN1: return p[0];
    case NUM_BIN2: return static_cast<int16_t>(ld_le16(p, 0));
    case NUM_UBIN2: return ld_le16(p, 0);
    case NUM_BIN4: return static_cast<int32_t>(ld_le32(p, 0));
    default: return ld_le32(p, 0);
  }
}

// Writes `v`, which the kind's range holds, in the kind's width.
inline void num_bin_store(uint8_t kind, uint8_t* p, int64_t v) {
  const int width = num_bin_width(kind);
  if (width == 1) p[0] = static_cast<uint8_t>(v);
  else if (width == 2) st_le16(p, 0, static_cast<uint16_t>(v));
  else st_le32(p, 0, static_cast<uint32_t>(v));
}

}  // namespace kivo
