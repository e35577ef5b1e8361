// Loading and storing numbers by kind through the 16-byte work value, the
// range of each kind (num_range.h), and the reference value.
//
// Binary kinds are little-endian integers holding the number times
// 10^decimals. Kind 7 is packed decimal of the stored length (the first 16
// bytes at most); kind 8 is packed decimal in all but its last byte, which
// holds the value's decimals (0..31; more is a bad stored value).
#include <cstring>

#include "foundation/bytes.h"
#include "foundation/sys_err.h"
#include "types/num_internal.h"
#include "types/num_range.h"
#include "types/pd_word.h"

namespace kivo::numi {

namespace {

using pdw::u128;

constexpr int kMaxDecimals = 31;
constexpr int kVarMaxLen = 9;

bool is_binary(int kind) { return kind >= NUM_BIN1 && kind <= NUM_UBIN4; }
int binary_width(int kind) { return num_bin_width(static_cast<uint8_t>(kind)); }

// A binary kind's value (|v| < 2^32, so 10 digits) into the work value.
void put_int(work_value* w, int64_t v) {
  const bool neg = v < 0;
  const uint64_t mag = neg ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  pdw::put<u128>(w->p, kPdMaxLen, pdw::bin_to_bcd(mag), neg);
}

// The stored integer of a binary kind, or false when it has more than 16
// digits (far outside every binary range).
bool work_to_int(const work_value& w, int64_t* out) {
  pdw::operand<u128> x;
  pdw::take<u128>(w.p, kPdMaxLen, pdw::neg_mask(), x);
  if (x.mag >> 64) return false;
  const int64_t mag = static_cast<int64_t>(pdw::bcd_to_bin(static_cast<uint64_t>(x.mag)));
  *out = x.neg ? -mag : mag;
  return true;
}

uint32_t store_binary(const num_cnv* c, const work_value& w, uint8_t* dst) {
  num_range r{};
  const int width = binary_width(c->kind);
  int64_t v = 0;
  if (!num_field_range(c->kind, static_cast<uint16_t>(width), c->elem_signed, &r)) return CV_NUM_TOO_BIG;
  if (!work_to_int(w, &v)) return is_negative(w) ? CV_NUM_TOO_SMALL : CV_NUM_TOO_BIG;
  if (v > r.hi) return CV_NUM_TOO_BIG;
  if (v < r.lo) return CV_NUM_TOO_SMALL;
  num_bin_store(c->kind, dst, v);
  return 1;
}

bool load_failed() {
  sys_err("CVNUM", __LINE__, "num_itoe() - pd_set failed");
  return false;
}

}  // namespace

bool is_kind(int kind) { return kind >= NUM_BIN1 && kind <= NUM_PD_VAR; }

bool is_negative(const work_value& w) { return (w.p[kPdMaxLen - 1] & 0x0F) == pd_neg_sign(); }

bool is_zero(const work_value& w) { return SIG_DIGITS(w.p, kPdMaxLen, nullptr) == 0; }

int stored_width(int kind, int int_len) {
  if (is_binary(kind)) return int_len >= binary_width(kind) ? binary_width(kind) : 0;
  if (kind == NUM_PD_FIX) return int_len < 1 ? 0 : (int_len > kPdMaxLen ? kPdMaxLen : int_len);
  if (kind == NUM_PD_VAR) return int_len >= 2 && int_len <= kVarMaxLen ? int_len : 0;
  return 0;
}

bool load_value(const num_cnv* c, const uint8_t* src, work_value* w) {
  const int width = stored_width(c->kind, c->int_len);
  if (width == 0) return false;
  if (is_binary(c->kind)) {
    if (c->elem_lo > kMaxDecimals) return false;
    put_int(w, num_bin_load(c->kind, src));
    w->dec = c->elem_lo;
    return true;
  }
  if (c->kind == NUM_PD_FIX) {
    if (c->elem_lo > kMaxDecimals) return false;
    if (!pd_set(w->p, kPdMaxLen, src, width)) return load_failed();
    w->dec = c->elem_lo;
    return true;
  }
  // A decimals byte over 31 is never used as a shift.
  const int dec = src[width - 1];
  if (dec > kMaxDecimals) return false;
  if (!pd_set(w->p, kPdMaxLen, src, width - 1)) return load_failed();
  w->dec = is_zero(*w) ? c->msk_dec : dec;
  return true;
}

uint32_t store_value(const num_cnv* c, const work_value& w, uint8_t* dst) {
  const int width = stored_width(c->kind, c->int_len);
  if (width == 0) return CV_NUM_TOO_BIG;
  if (is_binary(c->kind)) return store_binary(c, w, dst);
  const bool neg = is_negative(w);
  if (c->kind == NUM_PD_FIX) {
    num_range r{};
    if (neg && num_field_range(c->kind, static_cast<uint16_t>(width), c->elem_signed, &r) && r.lo == 0)
      return CV_NUM_TOO_SMALL;
    uint8_t out[kPdMaxLen];
    if (!pd_set(out, width, w.p, kPdMaxLen)) return neg ? CV_NUM_TOO_SMALL : CV_NUM_TOO_BIG;
    memcpy(dst, out, static_cast<size_t>(width));
    return 1;
  }
  uint8_t out[kVarMaxLen];
  if (!pd_set(out, width - 1, w.p, kPdMaxLen)) return neg ? CV_NUM_TOO_SMALL : CV_NUM_TOO_BIG;
  out[width - 1] = static_cast<uint8_t>(w.dec);
  memcpy(dst, out, static_cast<size_t>(width));
  return 1;
}

bool equals_reference(const num_cnv* c, const uint8_t* src) {
  if (!c->ref_blank || !c->aux_addr) return false;
  const int width = stored_width(c->kind, c->int_len);
  if (width == 0) return false;
  if (is_binary(c->kind)) return memcmp(src, c->aux_addr, static_cast<size_t>(width)) == 0;
  if (c->kind == NUM_PD_FIX) return pd_cmp(src, width, c->aux_addr, width) == 0;
  return src[width - 1] == c->aux_addr[width - 1] && pd_cmp(src, width - 1, c->aux_addr, width - 1) == 0;
}

}  // namespace kivo::numi
