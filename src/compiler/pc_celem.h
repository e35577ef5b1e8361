// The compiled element (pc.h's CEL layout, from pc_fld's output at
// PCF_CELEM) read by name: what statements, sorts and queries read of a
// field reference.
#pragma once

#include "compiler/pc.h"
#include "foundation/record_view.h"

namespace kivo {

class celem_view : public le_record_view {
 public:
  using le_record_view::le_record_view;
  uint8_t type() const { return u8(CEL_TYPE); }  // `elem_type`
  bool is_signed() const { return u8(CEL_SIGNED) == '1'; }
  uint16_t size() const { return u16(CEL_SIZE); }   // one occurrence
  uint16_t offset() const { return u16(CEL_OFF); }  // a literal occurrence folded in
  uint8_t hi() const { return u8(CEL_HI); }
  uint8_t lo() const { return u8(CEL_LO); }
  const char* mask() const { return text(CEL_MASK); }  // kMaskLen
  uint8_t null_ind() const { return u8(CEL_NULL_IND); }
  uint8_t null_src() const { return u8(CEL_NULL_SRC); }  // CEL_NULL_SRC's codes
  uint16_t occurs() const { return u16(CEL_OCCURS); }
  uint16_t area() const { return u16(CEL_ADDR); }  // until bound
  uint16_t area_offset() const { return u16(CEL_ADDR + 2); }
  const char* ap() const { return text(CEL_AP); }
  const char* name() const { return text(CEL_NAME); }  // 22
  uint8_t kind() const { return u8(CEL_KIND); }        // ELEM_KIND_*
  uint16_t code_len() const { return u16(CEL_CODE_LEN); }
  uint32_t elem() const { return u32(CEL_ELEM); }
  uint32_t init_const() const { return u32(CEL_INIT); }  // 0: none
  uint32_t null_const() const { return u32(CEL_NULL); }  // 0: none
};

}  // namespace kivo
