// The compiled child (CL records of a module, em_records.h) read by name.
#pragma once

#include <cstring>

#include "compiler/em_records.h"
#include "foundation/invoc.h"
#include "foundation/record_view.h"

namespace kivo {

class cchld_view : public le_record_view {
 public:
  using le_record_view::le_record_view;
  uint32_t number() const { return u32(CCHLD_NO); }
  uint32_t frame() const { return u32(CCHLD_FRM); }  // the compiled frame it belongs to
  uint32_t image() const { return u32(CCHLD_IMG); }  // the module's image index, 0 none
  uint32_t option() const { return u32(CCHLD_OPTION); }
  uint8_t on_change() const { return u8(CCHLD_ON_CHANGE); }
  bool on_delete() const { return u8(CCHLD_ON_DELETE) != 0; }
  uint8_t position() const { return u8(CCHLD_POS); }
  // The invocation template the child runs from (a copy: the record is
  // not aligned for an INVOC).
  INVOC invoc() const {
    INVOC v;
    memcpy(v.b, data() + CCHLD_INVOC, kInvocSize);
    return v;
  }
  uint32_t cnstr() const { return u32(CCHLD_CNSTR); }  // the constraint template's constant, 0 none
};

// A constraint template (the CN constant a child names): a count, then one
// entry per key segment of the child's file.
class cnstr_view : public le_record_view {
 public:
  using le_record_view::le_record_view;
  uint16_t count() const { return u16(CNSTR_COUNT); }
  static constexpr size_t size_for(uint32_t n) { return CNSTR_FIRST + n * CNSTR_ENTRY; }
  class entry : public le_record_view {
   public:
    using le_record_view::le_record_view;
    uint16_t area() const { return u16(CNSTR_AREA); }  // the parent's field
    uint16_t offset() const { return u16(CNSTR_OFF); }
    uint16_t fld_len() const { return u16(CNSTR_FLD_LEN); }
    uint16_t child_off() const { return u16(CNSTR_CHILD_OFF); }  // the segment in the child's record
    uint8_t flag() const { return u8(CNSTR_FLAG); }
  };
  entry at(uint32_t i) const { return entry(data() + size_for(i)); }  // i < count()
};

}  // namespace kivo
