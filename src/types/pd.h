// Packed decimal: two digits a byte, most significant first, the units digit
// in the high half of the last byte and the sign in its low half. Lengths are
// 1 to 16 bytes (2n - 1 digits). The sign halves are the common block's
// (pd_pos_sign / pd_neg_sign); results always carry one of the two.
//
// Results go into the first operand and keep its length; an operation returns
// 1 on success and 0 when the result does not fit or an operand is refused.
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
int pd_cmp(const uint8_t* a, int a_len, const uint8_t* b, int b_len);  // -1, 0, 1
int pd_shft(uint8_t* p, int len, int n);   // p *= 10^n, rounding when n < 0
int pd_shftn(uint8_t* p, int len, int n);  // the same, truncating
int32_t pd_cvb(const uint8_t* p, int len);
int pd_cvp(uint8_t* p, int len, int32_t value);

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
int pd_from_float(pd_field* f, double value);
double pd_to_float(const pd_field* f);

// An 8-byte value with its decimals, rounded to a whole number and clamped
// to the signed 32-bit range.
struct pd_var {
  uint8_t value[kPdFastLen];
  int decimals;
};
int32_t pd_var_bin(const pd_var* v);

// Parses digit text (read from its end) into f->p; sets f->decimals and
// f->negative. 0 on a syntax error or too many digits.
int pd_cva(const char* text, int text_len, char dec_sep, pd_field* f);

enum : int { BIN_ADD = 1, BIN_SUB = 2, BIN_MUL = 3, BIN_DIV = 4, BIN_SET = 5 };
// a = a op b through packed decimal; an operand flagged 2 is unsigned. 0 on a
// bad operation, overflow or division by zero (a unchanged).
int bin_math(int32_t* a, int32_t b, int op, int b_scale, int b_unsigned, int a_scale, int a_unsigned);

}  // namespace kivo
