// Values typed as text (constants in statements, selection values, ranges)
// turned into the internal form of an element's type: numbers as plain
// digits, logic by the language's letters, alpha as it stands.
//
// Small constants are not copied: the value points into the constants of
// `com` and the shared flag says so; such a value must not be changed or
// freed. Dates and alpha items whose token code is stored need the compiled
// conversion block and are converted there.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/pool.h"
#include "types/pd.h"

namespace kivo {

// Data-type codes a typed value is read for.
enum : uint8_t {
  ELEM_ALP = 1,
  ELEM_ALP_BLOCK = 2,
  ELEM_BIN = 5,
  ELEM_PD_FIX = 8,
  ELEM_LOG = 11,
  ELEM_PD_VAR = 12,
};

// The fields of a conversion block that a typed value reads and changes.
struct uni_cnv {
  uint8_t cnv_type;
  uint16_t int_len;
  uint8_t* int_addr;     // out: the value
  uint8_t int_indirect;  // out: cleared
  const char* ext_addr;  // the typed text
  uint16_t ext_len;
  // Number area.
  uint8_t kind;  // NUM_BIN1 .. NUM_PD_VAR
  uint8_t tot_digits;
  uint8_t elem_hi;
  uint8_t elem_lo;
  uint8_t elem_signed;
  // Alpha area.
  uint8_t align_mode;  // 1 as is
  uint8_t fill_char;
  uint8_t has_mask;
  uint32_t token_id;    // 0 = no token
  uint8_t token_check;  // the token's text is stored, checked
  // Date area, out: a date the value no longer holds in the element's form
  // (a day-number binary date of the levels typed) gives its levels here;
  // 0 while the element's stand.
  uint8_t date_hi, date_lo;
};

// A typed number: the value at the element's decimals and as typed, the
// digits typed, and whether it fits the element.
struct typed_number {
  uint8_t value[kPdMaxLen];  // at the element's decimals
  uint8_t typed[kPdMaxLen];  // at the decimals typed
  int int_digits;            // significant integer digits typed
  int dec_digits;
  bool negative;
  bool fits;  // integer digits, sign and binary length within the element
};

// Reads [blanks] [+|-] digits [(.|,) digits] [+|-] [blanks]; no digits is
// zero. 1 when the text reads with at most 31 digits, else 0 (never wrapped).
// `bin_len` is the binary length (1, 2, 4) or 0 for packed.
int get_number(const char* text, int len, int elem_hi, int elem_lo, bool elem_signed, int bin_len, typed_number* out);

// The typed text of `c` into the element's internal form. 1 valid, 0
// invalid. The value is allocated in `pool`, or without pool in a work buffer
// valid until the next call. `keep_type` keeps the element's type and
// length (a value that does not fit is invalid); without it a number that
// does not fit becomes a packed item sized for its digits and an alpha value
// plain alpha of its length.
int cv_get_universal(uni_cnv* c, int keep_type, uint8_t* shared, POOL* pool);

// Dates are read through the compiled storage mask of the conversion block
// (cv_typed_date, types/cnv.h).

// The stored value of `text` for the ELEMENT record `elem`, its type and size
// kept; 1 when it converts.
int elem_typed_value(const uint8_t* elem, const std::string& text, uint8_t* out);
// A typed number as a constant meant for a field of `elem` (a binary, fixed
// or variable packed element): in the element's type, size and decimals when
// the text fits the element (declared digits, sign, binary width), else a
// signed fixed packed value of the digits typed, whose own range then
// decides where it is stored. 1 when the text reads as a number.
struct elem_number {
  uint8_t type;  // ELEM_BIN or ELEM_PD_FIX
  uint8_t decimals;
  bool is_signed;
  uint16_t len;
  uint8_t bytes[kPdMaxLen];
};
int elem_typed_number(const uint8_t* elem, const std::string& text, elem_number* out);

// The stored null and initial values of one occurrence of `elem` (its size
// bytes at `out`), by the dictionary's rules: the null value of every type
// (blank null text: blanks, zero, all ones for binary dates and coded
// numbers, packed -1 for packed dates), the initial value from its text
// (blank: the null value) placed, justified or flowed for alpha, read as a
// universal date for dates. `align` is the element's alignment class.
// Both return 1 when the field compiles; *status is then 0, or 100380 for a
// date, packed or logic text that does not convert (the null value stored).
// 0 when the field fails: *status the message number, or 0 after a system
// error (an element whose mask does not compile to its size and levels).
// A coded number's initial text is looked up through `code` (null or not
// found: all bits set).
using elem_code_fn = bool (*)(void* arg, const uint8_t* elem, const std::string& text, int32_t* code);
int elem_null_image(const uint8_t* elem, uint32_t align, uint8_t* out, uint32_t* status);
int elem_init_image(const uint8_t* elem, uint32_t align, elem_code_fn code, void* arg, uint8_t* out, uint32_t* status);

// The same for callers outside the dictionary: the alignment class from the
// element, codes through the conversions' token tables, and 0 with the
// reason in `why` for a text that does not give a value.
int elem_null_value(const uint8_t* elem, uint8_t* out, std::string* why);
int elem_init_value(const uint8_t* elem, uint8_t* out, std::string* why);

}  // namespace kivo
