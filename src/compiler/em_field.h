// The compiled field (FL records of a module, em_records.h) read by name.
#pragma once

#include "compiler/em_records.h"
#include "foundation/record_view.h"

namespace kivo {

class cfld_view : public le_record_view {
 public:
  using le_record_view::le_record_view;
  const char* ap() const { return text(CFLD_AP); }
  const char* name() const { return text(CFLD_NAME); }  // 22
  uint32_t elem() const { return u32(CFLD_ELEM); }      // the element's number (file number for a file)
  uint16_t offset() const { return u16(CFLD_OFF); }     // in its area
  uint8_t type() const { return u8(CFLD_TYPE); }
  uint16_t size() const { return u16(CFLD_SIZE); }  // one occurrence
  uint16_t occurs() const { return u16(CFLD_OCCURS); }
  uint32_t area() const { return u32(CFLD_AREA); }
  uint32_t init_const() const { return u32(CFLD_INIT); }  // 0: no initial value
  uint32_t null_const() const { return u32(CFLD_NULL); }  // 0: no null value
};

}  // namespace kivo
