// Date conversion between display text and stored value: the whole of the
// conversion block's date case, so that its hook-up is one call each way.
#pragma once

#include <cstdint>

namespace kivo {

// The fields of a conversion block that a date conversion reads.
struct date_cnv {
  uint8_t* int_addr;      // stored value; null when no value is available
  uint8_t int_undefined;  // the value is to be shown as an undefined date
  uint16_t int_len;
  uint8_t type;    // storage type (3, 4, 6, 7, 9, 10, 15)
  char* ext_addr;  // display text, `ext_len` characters
  uint16_t ext_len;
  const char* stor_mask;  // compiled storage mask
  uint8_t stor_mask_len;
  uint8_t stor_doy;
  uint8_t stor_h24;
  const char* dspl_mask;  // compiled display mask
  uint8_t dspl_mask_len;
  uint8_t dspl_doy;
  uint8_t dspl_h24;
  uint8_t elem_hi;  // levels of the element
  uint8_t elem_lo;
  uint8_t entry;  // entry field
};

// Display text to stored value. Returns 1, or CV_BAD_DATE with the stored
// value left as it was.
uint32_t dat_etoi(const date_cnv* c);

// Stored value to display text. Returns 1, or CV_BAD_DATE when the stored
// value is invalid (shown as '?') or cannot be shown.
uint32_t dat_itoe(const date_cnv* c);
// The universal text (16 characters, "--" for a level the element does not
// hold) of the date the display text at `ext_addr` shows: 1, or CV_BAD_DATE
// when it is no date of the display form.
uint32_t dat_etou(const date_cnv* c, char* universal);

}  // namespace kivo
