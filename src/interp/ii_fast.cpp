// The commonest shapes of COMPUTE, CMP and the loop's step: fixed packed
// fields of up to 9 bytes worked on in their digits (a COMPUTE's second
// operand at no more decimals than the field), binary indexes of 4 bytes.
//
// Contract of each: true when the instruction ran; false, with nothing
// changed, when its shape or its values are not the ones it takes (another
// operator, scales that differ, a refused digit, a result outside the
// field), and the general routine then runs it and reports what it finds.
// Results are those of the general routines to the byte.
#include "interp/ii_packed.h"
#include "interp/ii_run.h"
#include "types/num_range.h"

namespace kivo {

namespace {

constexpr uint8_t kTypeBin = 5, kTypePacked = 8;

// An operand of a number type (never a date: two slots) from its slots.
[[gnu::always_inline]] inline ii_fld number_at(II_RUN* run, const uint8_t* inst, int slot) {
  const uint32_t w1 = inst_slot(inst, slot + 1);
  const uint8_t scale = static_cast<uint8_t>(w1 >> 8);
  ii_fld f;
  f.type = static_cast<uint8_t>(w1 & 0x7F);
  f.no_sign = (scale & kOpndNoSign) != 0;
  f.scale = static_cast<uint8_t>(scale & ~kOpndNoSign);
  f.len = static_cast<uint16_t>(w1 >> 16);
  f.is_const = (w1 & kOpndConst) != 0;
  f.mask = nullptr;
  f.p = ii_opnd_addr(run, inst_slot(inst, slot), w1);
  return f;
}

bool small_packed(const ii_fld& f) { return f.type == kTypePacked && f.len >= 1 && f.len <= kPdSmallMax && f.p; }
bool bin4(const ii_fld& f) { return f.type == kTypeBin && f.len == 4 && f.p; }

// The value of a small packed or 4-byte binary operand.
bool get64(const ii_fld& f, int64_t* v) {
  pd_small d;
  if (f.type == kTypePacked) return pd_small_load(f.p, f.len, &d) && (*v = pd_small_value(d), true);
  *v = f.no_sign ? int64_t{ld_le32(f.p, 0)} : int64_t{static_cast<int32_t>(ld_le32(f.p, 0))};
  return true;
}

// Two operands at slots 0 and 2, both small packed.
bool packed_pair(II_RUN* run, const uint8_t* p, ii_fld* f) {
  f[0] = number_at(run, p, 0);
  if (!small_packed(f[0])) return false;
  f[1] = number_at(run, p, 2);
  return small_packed(f[1]);
}

// `v` at `by` more decimals, exactly (a digit shift); false when it would
// need more than `room` digits.
bool upscale(pd_small* v, int by, int room) {
  if (by == 0) return true;
  if (by >= room || (v->digits >> (4 * (room - by))) != 0) return false;
  v->digits <<= 4 * by;
  return true;
}

}  // namespace

bool ii_fast_compute(II_RUN* run, uint8_t* p) {
  ii_fld f[2];
  if (!packed_pair(run, p, f) || f[0].is_const) return false;
  const char op = static_cast<char>(inst_slot(p, 4) & 0xFF);
  pd_small a, b;
  // The second operand comes to the field's scale exactly, or not here: a
  // result with more decimals than the field is rounded by the general path.
  if ((op != '+' && op != '-') || f[1].scale > f[0].scale || !pd_small_load(f[0].p, f[0].len, &a) ||
      !pd_small_load(f[1].p, f[1].len, &b) || !upscale(&b, f[0].scale - f[1].scale, kPdSmallDigits))
    return false;
  if (!pd_small_store(f[0].p, f[0].len, pd_small_add(a, b, op == '-'), !f[0].no_sign)) return false;
  run->ovfl = {};
  ii_next(run, p);
  return true;
}

bool ii_fast_cmp(II_RUN* run, uint8_t* p) {
  ii_fld f[2];
  if (!packed_pair(run, p, f)) return false;
  const uint8_t relop = inst_slot(p, 4) & 0xFF;
  pd_small a, b;
  if (relop < 1 || relop > 6 || !pd_small_load(f[0].p, f[0].len, &a) || !pd_small_load(f[1].p, f[1].len, &b))
    return false;
  // The one with fewer decimals is brought to the other's scale: the word
  // holds 32 digits.
  const int by = f[0].scale - f[1].scale;
  if (!(by >= 0 ? upscale(&b, by, 32) : upscale(&a, -by, 32))) return false;
  const int c = pd_small_cmp(a, b);
  static constexpr bool kHolds[7][3] = {{},
                                        {false, true, false},
                                        {false, true, true},
                                        {false, false, true},
                                        {true, true, false},
                                        {true, false, false},
                                        {true, false, true}};  // by relop, then c + 1
  run->last = kHolds[relop][c + 1] ? OUT_TRUE : OUT_FALSE;
  ii_next(run, p);
  return true;
}

// LOOPBEG's operands: the index, its start, the limit and the step, then
// the place past the loop. The index and the step are 4-byte binary at one
// scale, the limit such a binary or a small packed field at that scale.
bool ii_fast_loop_step(II_RUN* run, uint8_t* beg) {
  if (ii_opnd_slots(beg, 2) != 2) return false;  // a date start takes three slots
  const ii_fld fi = number_at(run, beg, 0), ft = number_at(run, beg, 4), fs = number_at(run, beg, 6);
  if (!bin4(fi) || !bin4(fs) || fs.scale != fi.scale || ft.scale != fi.scale || !(bin4(ft) || small_packed(ft)))
    return false;
  int64_t i, limit, by;
  if (!get64(fi, &i) || !get64(ft, &limit) || !get64(fs, &by) || by == 0) return false;
  const int64_t next = i + by;
  num_range r;
  if (!num_type_range(kTypeBin, 4, !fi.no_sign, &r) || next < r.lo || next > r.hi) return false;
  st_le32(fi.p, 0, static_cast<uint32_t>(next));
  if ((by > 0 && next > limit) || (by < 0 && next < limit)) {
    ii_jump(run, ii_slot_pos(beg, 8));
    return true;
  }
  ii_next(run, beg);
  return true;
}

}  // namespace kivo
