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
  ELEM_LABEL = 95,        // 30
  ELEM_HEAD1 = 125,       // 30
  ELEM_HEAD2 = 155,       // 30
  ELEM_AREA_CLASS = 185,  // 3 data-area class bytes
  ELEM_KEY_ROLE = 189,    // 1: 255 none
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

constexpr size_t kMaskLen = 60;

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
