// Date masks: the chunk reader, the compiler and the translation between the
// spelling users write (names of the language) and the stored spelling.
//
// Stored spelling: level tokens "88".."11" (blank-padded) and "08".."01"
// (zero-filled), day of year "555" / "005" ("055"), and "~" + code + modifier
// for names, am/pm and the ordinal suffix. A compiled mask writes every token
// in the three-character "~" form and every literal as its source text, so a
// compiled mask reads back chunk by chunk exactly as it was compiled.
#pragma once

#include <cstdint>

namespace kivo {

constexpr int kDateMaskLen = 60;

// Token codes of a chunk; level tokens use the level digit '1'..'8'.
enum : uint8_t {
  TK_LITERAL = 'L',
  TK_DOY = 'J',
  TK_MONTH_NAME = 'm',
  TK_MONTH_ABBR = 'M',
  TK_DAY_NAME = 'd',
  TK_DAY_ABBR = 'D',
  TK_AMPM = 'A',
  TK_SUFFIX = 'S',
};
// Modifiers: 'B' blank-padded, 'Z' zero-filled (levels, day of year);
// 'U' upper, 'L' lower, 'C' capitalised (names).

struct date_chunk {
  uint32_t used;   // source characters taken
  uint32_t width;  // display width
  uint32_t text_len;
  char text[kDateMaskLen];  // literal text, quotes and escapes resolved
  uint8_t code;
  uint8_t mod;
};

inline bool is_level_code(uint8_t c) { return c >= '1' && c <= '8'; }

// The next chunk of `text`. With `digits_only` the text is in stored
// spelling; otherwise it is source spelling and names of the language are
// recognised (an ordinal suffix only when `after_day` says the previous
// token was a day or day of year). `len` 0 gives a chunk with used 0.
date_chunk cv_get_chunk(const char* text, int len, int digits_only, int after_day = 0);

// The compile block.
struct date_msk_blk {
  uint32_t len;            // in: capacity of `mask`; out: compiled length
  char* mask;              // stored spelling in, compiled form out (blank padded)
  uint8_t level_flags[8];  // out: [level - 1] set when the level is shown
  uint8_t first;           // in: the element's levels; out: found in the mask,
  uint8_t last;            //     0/0 when they are not contiguous
  uint8_t type;            // in: storage type; out: refined (3/4, 6/7, 9/10)
  uint8_t doy;             // out: the mask holds a day of year
  uint8_t h24;             // in: 1 = am/pm allowed; out: 0 when the mask has am/pm
};

// Compiles in place. Returns the length to use (display width for types 1,
// 3, 4; binary length 4 or 8 for 5, 6, 7; packed length for 8, 9, 10; 16 for
// 15), or 0 when no level is left or the compiled form does not fit.
int cv_cmpl_date_msk(date_msk_blk* b);

// The used length of a compiled mask stored blank-padded to kDateMaskLen:
// the padding is no literal that a conversion should write.
inline uint32_t date_mask_used(const char* mask) {
  uint32_t n = kDateMaskLen;
  while (n && mask[n - 1] == ' ') --n;
  return n;
}

// Built-in routines CV_XLATE_DAT_MSK / CV_UNXLATE_DAT_MSK. `arg` is the
// 60-character mask followed by a little-endian u32 status: set to 2 first,
// 1 when the mask was rewritten. Returns the success flag.
int cv_xlate_dat_msk(void* context, uint8_t* arg);
int cv_unxlate_dat_msk(void* context, uint8_t* arg);

}  // namespace kivo
