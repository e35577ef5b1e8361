// Packed decimal: two digits a byte, most significant first, the units digit
// in the high half of the last byte and the sign in its low half. Lengths are
// 1 to 16 bytes (2n - 1 digits). The sign halves are the common block's
// (pd_pos_sign / pd_neg_sign); results always carry one of the two.
//
// Results go into the first operand and keep its length; an operation returns
// 1 on success and 0 when the result does not fit or an operand is refused.
// A result that does not fit keeps its low-order digits and its sign. An
// operand is refused, with nothing written, when its length is outside 1..16
// or a digit half holds 0xA-0xF. Sign halves are read by class: the
// configured negative half, 0xB and 0xD are negative, every other half
// positive; a zero result is always positive.
#pragma once

#include <cstdint>

namespace kivo {

constexpr int kPdMaxLen = 16;
constexpr int kPdFastLen = 8;

int pd_set(uint8_t* dst, int dst_len, const uint8_t* src, int src_len);
int pd_add(uint8_t* a, int a_len, const uint8_t* b, int b_len);
int pd_sub(uint8_t* a, int a_len, const uint8_t* b, int b_len);
int pd_fix_add(uint8_t* a, const uint8_t* b, int len);
int pd_fix_sub(uint8_t* a, const uint8_t* b, int len);
int pd_mul(uint8_t* a, int a_len, const uint8_t* b, int b_len);
// a = a / b; with `rem`, the quotient is truncated and the remainder (sign of
// a) written there; without, a positive quotient rounds half up.
int pd_div(uint8_t* a, int a_len, const uint8_t* b, int b_len, uint8_t* rem, int rem_len);
// -1, 0, 1. Never refuses: a negative zero sorts below a positive zero, and
// digit halves 0xA-0xF order by their value.
int pd_cmp(const uint8_t* a, int a_len, const uint8_t* b, int b_len);
int pd_shft(uint8_t* p, int len, int n);   // p *= 10^n, rounding when n < 0
int pd_shftn(uint8_t* p, int len, int n);  // the same, truncating
// The value modulo 2^32 (so that unsigned 32-bit fields round-trip); 0 for
// a refused operand.
int32_t pd_cvb(const uint8_t* p, int len);
int pd_cvp(uint8_t* p, int len, int32_t value);

// Number of significant digits of an n-byte packed value (0 for zero), also
// stored in *digits when given.
int SIG_DIGITS(const uint8_t* p, int n, int* digits);

int pd_fast_add(uint8_t* a, const uint8_t* b);
int pd_fast_sub(uint8_t* a, const uint8_t* b);
int pd_fast_cmp(const uint8_t* a, const uint8_t* b);
int pd_fast_set(uint8_t* a, const uint8_t* b);

// Floating point and digit-text conversions work on a described field.
struct pd_field {
  uint8_t* p;
  int len;
  int decimals;      // in for the float conversions, out for pd_cva
  uint8_t negative;  // out
};
// Rounds to f->decimals (0..62) by fixed-point formatting; 0 when the
// rounded value does not fit or the value is not finite (field unchanged).
int pd_from_float(pd_field* f, double value);
// NaN for a refused operand.
double pd_to_float(const pd_field* f);

// An 8-byte value with its decimals, rounded to a whole number and clamped
// to the signed 32-bit range.
struct pd_var {
  uint8_t value[kPdFastLen];
  int decimals;
};
int32_t pd_var_bin(const pd_var* v);  // 0 for a refused value

// Parses digit text (read from its end) into f->p; sets f->decimals and
// f->negative. 0 on a syntax error (a lone sign or point included) or too
// many digits; the field is then positive zero.
int pd_cva(const char* text, int text_len, char dec_sep, pd_field* f);

enum : int { BIN_ADD = 1, BIN_SUB = 2, BIN_MUL = 3, BIN_DIV = 4, BIN_SET = 5 };
// a = a op b through packed decimal; an operand flagged 2 is unsigned. 0 on a
// bad operation, overflow or division by zero (a unchanged).
int bin_math(int32_t* a, int32_t b, int op, int b_scale, int b_unsigned, int a_scale, int a_unsigned);

}  // namespace kivo
