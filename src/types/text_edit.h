// Editing of a word-wrapped multi-line alpha field for the join, split and
// paragraph-end keys: the display text is rearranged and converted in (and
// out) again, which redoes the wrap.
//
// Positions are 1-based row and column within the display text; one outside
// it is refused and nothing is written. The conversions are the conversion
// block's, reached through `etoi` / `itoe` with `block`.
#pragma once

#include <cstdint>

namespace kivo {

constexpr uint32_t CV_NOT_ALPHA = 102230;  // text editing on a non-alpha item

// The fields of a conversion block that the text editing reads.
struct text_cnv {
  uint8_t cnv_type;
  char* ext_addr;
  int32_t ext_rows;
  int32_t ext_cols;
  uint32_t ext_stride;  // distance between row starts; 0 = ext_cols
  uint8_t addr_mode;
  uint32_t cnv_status;
  int (*etoi)(void* block);
  int (*itoe)(void* block);
  void* block;
};

struct text_pos {
  int32_t row;
  int32_t col;
};

// Closes the gap after the cursor: the text from the next non-blank moves to
// the cursor (after it when the cursor holds a character). 0 when nothing
// moved, else the result of the conversions.
int cv_join(text_cnv* c, const text_pos* pos);

// Opens a gap at the cursor, pushing the text to the end of the field. 0 when
// the text is empty or already reaches the last position.
int cv_split(text_cnv* c, const text_pos* pos);

// Puts the paragraph-end mark before the cursor (at column 1: at the end of
// the row above; at row 1 column 1: at the cursor) and moves the position to
// the next row.
int cv_end_parag(text_cnv* c, text_pos* pos);

}  // namespace kivo
