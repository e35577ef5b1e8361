// Number conversion between display text and stored value: the whole of the
// conversion block's number case, so that its hook-up is one call each way.
//
// A `num_cnv` holds the number fields of a conversion block; the block fills
// it from its own fields and calls `num_itoe` / `num_etoi`. The numeric mask
// (60 characters, blank-padded) is checked and analysed by `cv_num_msk`,
// which fills the analysis fields that the conversions read.
//
// Separators, the currency symbol and the credit/debit words come from `com`.
// Every conversion bounds its work to the mask and the display: nothing is
// written outside `ext_addr[0..ext_len)` or the stored length.
#pragma once

#include <cstdint>

namespace kivo {

constexpr int kNumMaskLen = 60;

constexpr uint32_t CV_BAD_NUM_MASK = 102110;      // numeric mask rejected
constexpr uint32_t CV_NO_INT_ADDR = 200030;       // no internal address
constexpr uint32_t CV_NUM_NO_FIT = 200050;        // value does not fit the display
constexpr uint32_t CV_BAD_CNV_TYPE = 200070;      // not a number kind
constexpr uint32_t CV_NUM_TOO_BIG = 200120;       // too many digits / above maximum
constexpr uint32_t CV_NUM_TOO_MANY_DEC = 102130;  // more decimals than the mask or the field has
constexpr uint32_t CV_NUM_BAD_TEXT = 200840;      // text is not a number for the mask
constexpr uint32_t CV_NUM_TOO_SMALL = 300110;     // below the kind's minimum

// Number kinds.
enum : uint8_t {
  NUM_BIN1 = 1,  // signed 1-byte binary
  NUM_UBIN1 = 2,
  NUM_BIN2 = 3,
  NUM_UBIN2 = 4,
  NUM_BIN4 = 5,
  NUM_UBIN4 = 6,
  NUM_PD_FIX = 7,  // packed decimal of the stored length, element decimals
  NUM_PD_VAR = 8,  // packed decimal in all but the last byte, decimals there
};

// Sign kinds and currency kinds of the mask analysis.
enum : uint8_t { NUM_SIGN_NONE = 0, NUM_SIGN_MINUS = 1, NUM_SIGN_BRACKETS = 2 };
enum : uint8_t { NUM_CUR_NONE = 0, NUM_CUR_ONE = 1, NUM_CUR_BOTH = 2 };

// Older layouts, selected at start-up: the conversion block's initialisation
// clears cv_200_behavior when KIVO_184_MASKS is set and cv_220_behavior when
// KIVO_200_ALIGNMENT is set. Both are on by default.
extern uint8_t cv_200_behavior;
extern uint8_t cv_220_behavior;

// The number fields of a conversion block, in the block's order.
struct num_cnv {
  uint8_t* int_addr;        // stored value; null when none is available
  uint8_t addr_mode;        // 2: a missing value shows blanks, not '?'
  uint16_t int_len;         // stored length in bytes
  const uint8_t* aux_addr;  // reference value, or null
  char* ext_addr;           // display text, `ext_len` characters
  uint16_t ext_len;
  uint32_t cnv_status;  // out: 1 or the status of the failure

  uint8_t kind;  // NUM_BIN1 .. NUM_PD_VAR
  uint8_t tot_digits;
  uint8_t elem_hi;    // integer digits of the element
  uint8_t elem_lo;    // decimals of the element
  uint8_t ref_blank;  // with aux_addr: the reference value shows as blanks
  uint8_t elem_signed;
  char mask[kNumMaskLen];
  uint8_t mask_len;
  // Analysis by cv_num_msk (drcr is set by the caller before it).
  uint8_t msk_tot;    // digit positions shown
  uint8_t msk_int;    // integer digit positions
  uint8_t msk_dec;    // decimal digit positions
  uint8_t drcr;       // credit/debit display: the number closes up to the right
  uint8_t sign_kind;  // NUM_SIGN_*
  uint8_t cur_kind;   // NUM_CUR_*
  uint8_t has_point;
  uint8_t has_group;
  uint8_t zone_lits[4];  // mask characters of zones 1, 2, 3 (after the digits), 4
  uint8_t text_held;     // the stored area holds the number as digit text
  uint8_t blank_zero;    // a zero value shows as blanks
  uint8_t trail_sign;    // a sign after the digits with credit/debit display
  uint8_t no_mask;       // the element has no second mask
};

// Checks the mask and fills the analysis fields. 1 when it is well formed.
int cv_num_msk(num_cnv* c);

// Stored value to display text: 1, or 0 with "?" over the display and
// CV_NUM_NO_FIT (or CV_NO_INT_ADDR without a stored value). A bad stored
// value (digit halves over 9, a kind-8 decimals byte over 31) is CV_NUM_NO_FIT;
// one that packed decimal refuses is also reported as a system error. A kind
// outside 1..8 is a system error and CV_BAD_CNV_TYPE, in both directions.
int num_itoe(num_cnv* c);

// Display text to stored value: 1, or 0 with CV_NUM_BAD_TEXT, CV_NUM_TOO_BIG,
// CV_NUM_TOO_MANY_DEC or CV_NUM_TOO_SMALL and the stored value left as it was.
int num_etoi(num_cnv* c);

// Text-held numbers, converted in place. `dyn_aton` reads the digit text of
// area[0..len) and writes the number of `kind` over its front; `dyn_ntoa`
// turns that number back into `text_len` characters of left-aligned digit
// text. Both return 1, or 0 leaving the area as it was.
int dyn_aton(uint8_t* area, int len, int kind, int decimals);
int dyn_ntoa(uint8_t* area, int len, int text_len, int kind, int decimals);

// The mask between the user's spelling (com separators, currency symbol,
// credit/debit words) and the stored one. `area` holds the 60-character mask
// followed by a u32 status word, set to 1. Both return 1.
int cv_xlate_num_msk(void* ignored, uint8_t* area);
int cv_unxlate_num_msk(void* ignored, uint8_t* area);

// --- pieces of the formatter, for the conversion block and tests ---

// Mask parts: 1 zone 1, 2 zone 2, 3 the digit run, 4 after the digits,
// 5 the trailing zone. Gives the part's start and length in the mask ('_'
// separators excluded); 0 when the mask does not analyse.
enum : int { NUM_PART_LEAD = 1, NUM_PART_SIGN = 2, NUM_PART_DIGITS = 3, NUM_PART_AFTER = 4, NUM_PART_TRAIL = 5 };
int part_of(const num_cnv* c, int part, int* start, int* len);

// Sign characters of the mask that move the digits in the credit/debit
// layout: those before its '.', or with credit/debit display '-', '(' and
// '<' before the digits.
int compute_msk_chars(const num_cnv* c);

// Copies mask characters to `out` (capacity `cap`) as shown for a value of
// the given sign, `zone` being the NUM_PART_* they belong to. Returns the
// length written, or -1 when it would pass `cap`.
int mskcpy(const num_cnv* c, const char* m, int m_len, int zone, bool negative, char* out, int cap);

}  // namespace kivo
