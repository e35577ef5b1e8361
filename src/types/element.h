// The ELEMENT design record: the compiled description of one field, read by
// the conversions, the process compiler and the dictionary tools.
//
// 592 bytes at fixed offsets (a design file, so the offsets are the stored
// format). This header names the offsets that the engine's shared helpers
// use, the data-type families and the defaults of a made-up work element.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivo {

constexpr size_t kElementSize = 592;
constexpr size_t kElemNameLen = 22;

// Offsets of the ELEMENT record (width in the comment).
enum : size_t {
  ELEM_NUMBER = 0,        // u32
  ELEM_CLASS = 4,         // 1: "1" work field
  ELEM_NAME = 5,          // 22
  ELEM_KIND = 27,         // 1: domain field, group header, no storage, substring, synonym
  ELEM_DOMAIN = 28,       // 22
  ELEM_OFFSET = 50,       // u16, in the record
  ELEM_SIZE = 52,         // u16 `elem_size`, one occurrence
  ELEM_OCCURS = 54,       // u16
  ELEM_FILE = 56,         // 8
  ELEM_SEQ = 64,          // u32
  ELEM_BINARIES = 68,     // 2 x u32
  ELEM_STAMP = 84,        // 8
  ELEM_DSPL_CHAR = 92,    // 1
  ELEM_FIELD_PAIR = 93,   // 2 bytes carried from the FIELD
  ELEM_LABEL = 95,        // 30
  ELEM_HEAD1 = 125,       // 30
  ELEM_HEAD2 = 155,       // 30
  ELEM_AREA_CLASS = 185,  // 3 data-area class bytes
  ELEM_SPECIAL = 188,     // 1: special use
  ELEM_KEY_ROLE = 189,    // 1: 0 primary, 1-254 alternate, 255 none
  ELEM_KEY_NO = 190,      // 1
  ELEM_KEY_ORDER = 191,   // 1 character
  ELEM_KEY_FLAG = 192,    // 1: "1" or blank
  ELEM_RNG_ABSENT = 193,  // 2 x 1: 0xFF when the low or high value is absent
  ELEM_RNG_LO = 195,      // 30
  ELEM_RNG_HI = 225,      // 30
  ELEM_LKP_AP = 255,      // 3
  ELEM_LKP_FILE = 258,    // 8
  ELEM_LKP_FIELD = 266,   // 22
  ELEM_CODES = 288,       // 3 x u32
  ELEM_SEGMENT = 300,     // u16
  ELEM_TYPE = 302,        // 1 `elem_type`
  ELEM_INIT_TEXT = 303,   // 60
  ELEM_NULL_TEXT = 363,   // 33
  ELEM_MASK = 396,        // 60 `elem_mask`
  ELEM_ALT_MASK = 456,    // 60
  ELEM_DOM_REL = 516,     // 2 x 1: 255 none
  ELEM_DOM_RNG1 = 518,    // 30
  ELEM_DOM_RNG2 = 548,    // 30
  ELEM_CODE_LEN = 578,    // u16
  ELEM_FORM_BYTE = 580,   // 1
  ELEM_ALP_FORM = 581,    // 1
  ELEM_JUSTIFY = 582,     // 1
  ELEM_CHAR_FLAG = 583,   // 1
  ELEM_FILL = 584,        // 1
  ELEM_WORD_FLOW = 585,   // 1
  ELEM_SIGNED = 586,      // 1 `elem_signed`: "1" signed
  ELEM_HI = 587,          // 1 `elem_hi`: integer digits, or highest date level
  ELEM_LO = 588,          // 1 `elem_lo`: decimals, or lowest date level
  ELEM_FIELD_BYTES = 589  // 3
};
static_assert(ELEM_FIELD_BYTES + 3 == kElementSize);
static_assert(ELEM_NAME + kElemNameLen == ELEM_KIND);

// `ELEM_KIND`, as the FIELD record's kind.
enum : uint8_t {
  ELEM_KIND_DOMAIN = 1,      // a field of a domain
  ELEM_KIND_GROUP = 2,       // a group header over the fields up to its last member
  ELEM_KIND_NO_STORAGE = 3,  // no storage of its own
  ELEM_KIND_SUBSTRING = 4,   // a part of its base
  ELEM_KIND_SYNONYM = 5      // another name of its base
};

constexpr size_t kMaskLen = 60;

// The dictionary compiler's working copy of an element (MELEM): the
// ELEMENT record, four bytes of mask analysis and the alignment class.
constexpr size_t kMelemSize = 600;
enum : size_t {
  MELEM_NULL_NEG = 592,     // 1: the null-value text is negative
  MELEM_MASK_SIGN = 593,    // 1: the mask has a sign position
  MELEM_NULL_DIGITS = 594,  // 1: integer digits of the null-value text
  MELEM_MASK_DIGITS = 595,  // 1: integer digits of the mask
  MELEM_ALIGN = 596         // u32: segments one occurrence takes (0, 1, 2)
};
static_assert(MELEM_ALIGN + 4 == kMelemSize);

// Within ELEM_FIELD_BYTES: the field's translation setting ("1" = its text
// is translated between languages) and the byte that follows it, which must
// be 0 for the translation to apply.
constexpr size_t ELEM_XLATE = ELEM_FIELD_BYTES;
constexpr size_t ELEM_XLATE_NEXT = ELEM_FIELD_BYTES + 1;

// Data-type families of `elem_type`.
inline bool IS_ELEM_ALP(uint8_t type) { return type == 1 || type == 2 || type == 13; }
inline bool IS_ELEM_DATE(uint8_t type) {
  return type == 3 || type == 4 || type == 6 || type == 7 || type == 9 || type == 10 || type == 15;
}
inline bool IS_ELEM_NUM(uint8_t type) { return type == 5 || type == 8 || type == 12; }
inline bool IS_ELEM_LOG(uint8_t type) { return type == 11; }

// ---- sizes and masks (elem_mask.cpp): the one table of data types and
// stored sizes that the dictionary compiler and the design builder share ----

// A number mask read up to its last non-blank character: sign positions
// "()-<>", digit positions "*089" (decimals after a "."), literals else.
struct num_mask_scan {
  bool empty;  // no character at all
  bool sign;
  uint8_t digits;
  uint8_t decimals;
};
num_mask_scan elem_scan_num_mask(const char* mask, size_t len);

// A date mask read left to right, never past `len` (at most the 60 of a
// mask, also when a double quote is never closed): level tokens "0n" and
// "nn" (n 1-8) of two positions, "005" the day of year of three, a
// backslash makes the next character one literal, quoted text takes none.
struct date_mask_scan {
  uint8_t hi;  // highest level found, 0 for none
  uint8_t lo;  // lowest level found, 9 for none
  bool doy;
  uint16_t positions;
};
date_mask_scan elem_scan_date_mask(const char* mask, size_t len);

// Data type of a date by the domain's sub-kind (1 binary, 2 packed, 3
// digit text), refined by a day of year; 0 for another sub-kind.
uint8_t elem_date_type(uint8_t sub_kind, bool doy);
// Stored size of a date of `type` over levels hi..lo (`positions` for the
// text forms); 0 when the levels do not make one.
uint16_t elem_date_size(uint8_t type, uint8_t hi, uint8_t lo, uint16_t positions);
// Packed fixed point: (digits + decimals + 2) / 2.
uint16_t elem_pd_size(int digits, int decimals);
// The value range of d digit positions in units of the last decimal: the
// full 32-bit range past 9 digits.
void elem_digit_range(int d, bool is_signed, int64_t* lo, int64_t* hi);
// 1, 2 or 4 bytes for a binary holding lo..hi.
uint16_t elem_bin_size(int64_t lo, int64_t hi, bool is_signed);
// Segments one occurrence takes: 2 for a variable-point number, a packed
// date of type 9 down to the hour or below and an 8-byte binary date.
uint32_t elem_align_class(uint8_t type, uint16_t size, uint8_t lo);

// Statuses of the value conversions, numbers of the dictionary's messages.
enum : uint32_t {
  DD_BIN_BAD = 100350,       // not a number, or past its width
  DD_INIT_BAD = 100380,      // an initial text that does not convert
  DD_NULL_BAD = 100460,      // a null text that does not convert
  DD_BIN_UNSIGNED = 100550,  // negative for an unsigned target
  DD_BIN_DECIMALS = 100790   // more decimals than the target
};

// Text to binary: digits, a "." before the decimals, a "-" anywhere for a
// negative value; blanks around the text are passed over. Fewer decimals
// than `decimals` are made up, more are 100790; a character else, or a
// value past 32 bits or past the width (0 and 4: 4 bytes, 1, 2), 100350; a
// negative value for an unsigned target 100550. The value is stored little
// endian in the width's bytes at `out` (when given) and in *value. 1, or 0
// with *status set.
int bin_etoi(const char* text, int64_t* value, uint8_t* out, int decimals, size_t len, int width, bool is_signed,
             uint32_t* status);

// A 60-character mask that is all blanks or all NUL.
bool BLANK_MSK(const char* mask);

// A work alpha element of `length` bytes: type 1, everything else zero but
// the class character "2", blank data-area classes, both masks blank and
// `elem_signed` "0".
void INIT_ALP_DELEM(uint8_t* elem, uint16_t length);

// A work number element of `length` bytes and `digits` integer digits: type
// 5, signed, no decimals, the text fields blank and the mask "-9999999999".
void INIT_NUM_DELEM(uint8_t* elem, uint16_t length, uint8_t digits);

}  // namespace kivo
