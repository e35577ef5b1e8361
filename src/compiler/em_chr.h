// The compiled characteristic (CH records of a module, em_records.h) read by
// name: a run of an attribute and a character over an image's cells.
#pragma once

#include "compiler/em_records.h"
#include "foundation/record_view.h"

namespace kivo {

class cchr_view : public le_record_view {
 public:
  using le_record_view::le_record_view;
  uint32_t img() const { return u32(CCHR_IMG); }  // the module's image index
  uint32_t row() const { return u32(CCHR_ROW); }
  uint32_t col() const { return u32(CCHR_COL); }
  uint32_t rows() const { return u32(CCHR_ROWS); }
  uint32_t cols() const { return u32(CCHR_COLS); }
  uint32_t attr() const { return u32(CCHR_ATTR); }
  uint32_t chr() const { return u32(CCHR_CHAR); }
  uint32_t item_row() const { return u32(CCHR_ITM_ROW); }  // of the item it belongs to, 0 none
  uint32_t item_col() const { return u32(CCHR_ITM_COL); }
};

}  // namespace kivo
