// Values of the exec routines: numbers of every stored kind as scaled
// 128-bit integers, comparisons and moves between field families.
//
// Map: ii_num and its codecs (binary 1, 2, 4 bytes, with or without sign;
// fixed packed; variable packed with its decimals in the last byte), every
// store bounded by the field's range (types/num_range.h); rescaling with
// rounding half away from zero; ii_compare; ii_move.
//
// Invariants: a stored packed field holds at most 31 digits, so every value
// fits an __int128 with room for one more digit; a codec that reports
// failure has written nothing.
#pragma once

#include <cstdint>

#include "interp/ii_run.h"

namespace kivo {

struct ii_num {
  __int128 v;
  int scale;
};

// Reads the number of a field (types 5, 8, 12); false for a refused value.
bool num_get(const ii_fld& f, ii_num* out);
// Stores `n` rounded to the field's scale (a variable-point field: its own
// decimals, fewer when its digits do not fit); false (nothing written) when
// the field's range (num_range.h) does not hold it.
bool num_put(const ii_fld& f, ii_num n);
// Stores the integer `v` of scale `scale`, which is the field's own (a
// variable-point field keeps it in its last byte); false (nothing written)
// outside the field's range.
bool num_put_at(const ii_fld& f, __int128 v, int scale);
// `v` from scale `from` to `to`, rounding half away from zero; false on
// overflow.
bool num_rescale_slow(__int128 v, int from, int to, __int128* out);
inline bool num_rescale(__int128 v, int from, int to, __int128* out) {
  if (to != from) return num_rescale_slow(v, from, to, out);
  *out = v;  // the common case, inline
  return true;
}
// -1, 0, 1; scales aligned.
int num_cmp(ii_num a, ii_num b);

bool is_num_type(uint8_t t);
bool is_alpha_type(uint8_t t);

// The comparison `a relop b` (relops 1-8); -1 when the operands cannot be
// compared (families differ or a value is refused).
int ii_compare(const ii_fld& a, const ii_fld& b, uint8_t relop, uint8_t pad);

enum ii_move_rc : uint8_t { MOVE_OK = 0, MOVE_OVERFLOW, MOVE_CUT };
// dst := src with conversion; on MOVE_OVERFLOW dst is as it was, on
// MOVE_CUT (alpha lost non-blank characters) it holds the cut value.
ii_move_rc ii_move(const ii_fld& dst, const ii_fld& src);

}  // namespace kivo
