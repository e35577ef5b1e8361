// The report manager's records (rm.h) read by name: the image block, a
// characteristic of an image and of a buffer line, and a buffer line. A
// view reads, the writers keep their stores beside the layouts.
#pragma once

#include "foundation/record_view.h"
#include "process/rm.h"

namespace kivo {

// `RPT_IMG`: a compiled image and, once executed, the index of its text.
class rpt_img_view : public le_record_view {
 public:
  using le_record_view::le_record_view;
  uint16_t id() const { return u16(IMG_ID); }
  uint16_t col() const { return u16(IMG_COL); }  // start column in the buffer, from 1
  uint32_t rows() const { return u32(IMG_ROWS); }
  uint32_t cols() const { return u32(IMG_COLS); }
  uint8_t compress() const { return u8(IMG_CMPRS); }
  uint8_t separator() const { return u8(IMG_SEP); }  // blank: none
  uint8_t before() const { return u8(IMG_BEFORE); }  // blank lines
  uint8_t after() const { return u8(IMG_AFTER); }
  uint8_t reserved() const { return u8(IMG_RESERVED); }  // placeholder lines after the image
  uint32_t ximg() const { return u32(IMG_XIMG); }        // executed image, from 1
  bool executed() const { return u8(IMG_EXEC) != 0; }
};

// A characteristic of an image: a run of an attribute and a colour.
class rpt_chr_view : public le_record_view {
 public:
  using le_record_view::le_record_view;
  uint32_t img() const { return u32(RC_IMG); }
  uint32_t row() const { return u32(RC_ROW); }
  uint32_t col() const { return u32(RC_COL); }
  uint32_t rows() const { return u32(RC_ROWS); }
  uint32_t len() const { return u32(RC_LEN); }
  uint32_t attr() const { return u32(RC_ATTR); }
  uint8_t colour() const { return u8(RC_COLOUR); }
};

// A characteristic of a buffer line.
class buf_chr_view : public le_record_view {
 public:
  using le_record_view::le_record_view;
  uint32_t line() const { return u32(BC_LINE); }
  uint32_t attr() const { return u32(BC_ATTR); }
  uint16_t col() const { return u16(BC_COL); }
  uint16_t len() const { return u16(BC_LEN); }
  uint8_t colour() const { return u8(BC_COLOUR); }
};

// `RPT_LINE`: a numbered line of a buffer.
class rpt_line_view : public le_record_view {
 public:
  using le_record_view::le_record_view;
  uint32_t no() const { return u32(LN_NO); }
  uint32_t nchr() const { return u32(LN_NCHR); }  // its characteristic records
  bool placeholder() const { return u8(LN_PLACEHOLDER) != 0; }
  bool block() const { return u8(LN_BLOCK) != 0; }                    // the first line of an image kept together
  const char* text() const { return le_record_view::text(LN_TEXT); }  // the buffer's width
};

}  // namespace kivo
