// The ELEMENT record (element.h) read by name: what the compiler, the
// process engine and the editors read of a field's description.
#pragma once

#include "foundation/record_view.h"
#include "types/element.h"

namespace kivo {

class elem_view : public le_record_view {
 public:
  using le_record_view::le_record_view;
  uint32_t number() const { return u32(ELEM_NUMBER); }  // data area x 1,000,000 + sequence
  const char* name() const { return text(ELEM_NAME); }  // kElemNameLen
  uint8_t kind() const { return u8(ELEM_KIND); }        // ELEM_KIND_*
  // The domain; of a group header, the name of its last member.
  const char* domain() const { return text(ELEM_DOMAIN); }
  uint16_t offset() const { return u16(ELEM_OFFSET); }
  uint16_t size() const { return u16(ELEM_SIZE); }  // one occurrence
  uint16_t occurs() const { return u16(ELEM_OCCURS); }
  const char* file() const { return text(ELEM_FILE); }  // 8; blank or zero: a work field
  bool in_file() const { return u8(ELEM_FILE) != ' ' && u8(ELEM_FILE) != 0; }
  uint32_t seq() const { return u32(ELEM_SEQ); }
  uint8_t area_class() const { return u8(ELEM_AREA_CLASS); }
  uint8_t key_role() const { return u8(ELEM_KEY_ROLE); }  // 0 primary, 1-254 alternate, 255 none
  bool key_descending() const { return u8(ELEM_KEY_ORDER) == '-'; }
  bool key_dup() const { return u8(ELEM_KEY_FLAG) == '1'; }
  uint8_t type() const { return u8(ELEM_TYPE); }  // `elem_type`
  bool is_signed() const { return u8(ELEM_SIGNED) == '1'; }
  uint8_t hi() const { return u8(ELEM_HI); }            // integer digits, or the highest date level
  uint8_t lo() const { return u8(ELEM_LO); }            // decimals, or the lowest date level
  const char* mask() const { return text(ELEM_MASK); }  // kMaskLen
  bool has_null() const { return u8(ELEM_NULL_TEXT) != ' ' && u8(ELEM_NULL_TEXT) != 0; }
  uint16_t code_len() const { return u16(ELEM_CODE_LEN); }
  // A number field with a token table: its constants are codes of texts.
  bool is_token() const { return type() == 5 && code_len() != 0; }
};

}  // namespace kivo
