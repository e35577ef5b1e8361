// Shared pieces of the number conversions (not for callers outside
// src/types): the parsed layout of a numeric mask and the 16-byte work value.
#pragma once

#include <cstdint>

#include "types/num_convert.h"
#include "types/pd.h"

namespace kivo::numi {

// Where each part of a mask lies, from one scan of the grammar.
struct mask_layout {
  const char* m;  // the mask
  int len;        // its length without trailing blanks
  int start[6];   // by NUM_PART_* (index 0 unused)
  int span[6];
  int point;  // index of the run's '.', or -1
  uint8_t tot, int_pos, dec_pos, sign_kind, cur_kind, has_point, has_group, trail_sign;
};

// Scans the mask of `c` with its credit/debit flag; false when ill formed.
bool scan_mask(const num_cnv* c, mask_layout* out);

// A value in the work form: 31 digits and sign, with its decimals.
struct work_value {
  uint8_t p[kPdMaxLen];
  int dec;
};

bool is_kind(int kind);
bool is_negative(const work_value& w);
bool is_zero(const work_value& w);

// Stored width of a number kind for `int_len` bytes; 0 when the length does
// not suit the kind (kind 8 needs 2..9 bytes, kind 7 1..16 are used).
int stored_width(int kind, int int_len);

// Loads the stored bytes by kind. False for a bad stored value.
bool load_value(const num_cnv* c, const uint8_t* src, work_value* w);

// Range checks and stores by kind; 1 or the status of the failure, with
// `dst` written only on success. The value is never a negative zero.
uint32_t store_value(const num_cnv* c, const work_value& w, uint8_t* dst);

// With the reference flag and a reference value: the stored bytes equal it.
bool equals_reference(const num_cnv* c, const uint8_t* src);

}  // namespace kivo::numi
