// The compiled frame (FR records of a module, em_records.h) read by name.
#pragma once

#include "compiler/em_records.h"
#include "foundation/record_view.h"

namespace kivo {

class cfrm_view : public le_record_view {
 public:
  using le_record_view::le_record_view;
  uint8_t kind() const { return u8(CFRM_KIND); }    // 0 detail, 1 heading, 2 total
  uint32_t number() const { return u32(CFRM_NO); }  // the compiled frame's own, from 1
  uint32_t design_no() const { return u32(CFRM_DESIGN_NO); }
  uint8_t part() const { return u8(CFRM_PART); }
  bool present() const { return u8(CFRM_PRESENT) != 0; }
  uint8_t scroll() const { return u8(CFRM_SCROLL); }
  uint32_t first_img() const { return u32(CFRM_FIRST_IMG); }  // index of its first image, 0 none
  uint8_t img_cnt() const { return u8(CFRM_IMG_CNT); }
  uint32_t qparm_word() const { return u32(CFRM_QPARM_WORD); }
  uint8_t qparm_byte() const { return u8(CFRM_QPARM_BYTE); }
  uint32_t slct() const { return u32(CFRM_SLCT); }  // the selection's constant, 0 none
  const char* range_ap() const { return text(CFRM_RANGE_AP); }
  const char* range_fld() const { return text(CFRM_RANGE_FLD); }
  uint16_t count() const { return u16(CFRM_COUNT); }
};

}  // namespace kivo
