// The compiled item (IT record): native, since it holds a conversion block.
// Its record length and key offsets are sizeof and offsetof of this type,
// handed to the descriptor initialisers through em_layout; the module file
// carries it as its native image with every address field zero.
//
// Also the item helpers that work on it: the date descriptor of an item's
// value, the defaults of an alpha work item, and its address and length.
#pragma once

#include <cstdint>

#include "types/cnv.h"
#include "types/std_date.h"

namespace kivo {

// The image index stands where a window's item has its region word; from
// citm_row on the window item's layout follows, so the frame processor and
// the report images copy that prefix as it lies.
struct CITM {
  uint32_t citm_img;  // module-wide image index
  int32_t citm_row;   // top-left, within the image
  int32_t citm_col;
  CNV citm_cnv;
  uint32_t citm_present;  // value-present flag; 0 as compiled
  uint8_t* citm_status;   // the caller's status byte
  uint8_t citm_float[4];  // float word; byte 0 is 255 as compiled
  int32_t citm_bot;       // bottom-right
  int32_t citm_right;
  uint8_t citm_entry;  // 1: an input item
  char citm_ap[3];
  char citm_fld[22];
  uint16_t citm_occ;
  uint32_t citm_elem;  // element number
  uint32_t citm_area;
  uint32_t citm_off;     // offset in the area
  uint16_t citm_itemno;  // module-wide from 1: the index of the PCB's items
};

// Puts the native IT and CV figures into em_layout (compiler_register_hooks);
// the same values each time.
void em_set_layout();

// Date descriptor of the item's value: with `direct` the conversion block's
// internal address is the value, otherwise it is resolved by its address
// mode. 0 when the item holds no date or has no value address.
int INT_DATE(std_date* desc, CITM* item, int direct);

// Cleared item set up as an alpha work item: one row and column, as-is
// alignment, blank fill. ALPHA_PREP also gives it the blank mask of com.
void ALP_PREP(CITM* item);
void ALPHA_PREP(CITM* item);
// The value's address and length, and the item's column; the display is one
// row as wide as the value.
void SET_ITM(CITM* item, uint16_t length, uint8_t* address, int32_t column);

}  // namespace kivo
