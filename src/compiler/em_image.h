// The compiled image (IM records of a module, em_records.h) read by name.
#pragma once

#include "compiler/em_records.h"
#include "foundation/record_view.h"

namespace kivo {

class cimg_view : public le_record_view {
 public:
  using le_record_view::le_record_view;
  uint32_t frame() const { return u32(CIMG_FRM); }
  uint8_t number() const { return u8(CIMG_NO); }  // the design's image number in its frame
  uint8_t kind() const { return u8(CIMG_KIND); }  // 1 screen, 2 pop-up, 3 report
  uint32_t rows() const { return u32(CIMG_ROWS); }
  uint32_t cols() const { return u32(CIMG_COLS); }
  uint32_t win_row() const { return u32(CIMG_WROW); }  // 0: placed by the window manager
  uint32_t win_col() const { return u32(CIMG_WCOL); }
  uint8_t scroll() const { return u8(CIMG_SCROLL); }
  uint8_t compress() const { return u8(CIMG_COMPRESS); }
  uint8_t separator() const { return u8(CIMG_SEP); }
  uint8_t blank_before() const { return u8(CIMG_BLANK_BEFORE); }
  uint8_t blank_after() const { return u8(CIMG_BLANK_AFTER); }
  uint16_t start_col() const { return u16(CIMG_START_COL); }
  uint32_t text_const() const { return u32(CIMG_TEXT); }  // the constant of its rows' text
  uint32_t first_itm() const { return u32(CIMG_FIRST_ITM); }
  uint32_t itm_cnt() const { return u32(CIMG_ITM_CNT); }
  uint32_t chr_cnt() const { return u32(CIMG_CHR_CNT); }
  uint32_t index() const { return u32(CIMG_INDEX); }  // the module's image number, from 1
};

}  // namespace kivo
