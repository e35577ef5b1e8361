// The compiled dictionary's FILE record (dict_records.h) read by name: what
// the process compiler, the dictionary and the editors read of a file's
// design. Key k counts from 0, the primary key first.
#pragma once

#include "fm/dict_records.h"
#include "foundation/record_view.h"

namespace kivo {

class file_rec_view : public le_record_view {
 public:
  using le_record_view::le_record_view;
  const char* name() const { return text(FI_NAME); }  // 8
  uint8_t fs_type() const { return u8(FI_FS_TYPE); }  // 0 never opened, 1 disk, 2 memory
  uint8_t org() const { return u8(FI_ORG); }
  bool variable() const { return u8(FI_VAR) == '1'; }
  uint8_t area_class() const { return u8(FI_CLASS); }
  uint16_t rec_len() const { return u16(FI_REC_LEN); }
  uint32_t number() const { return u32(FI_NUMBER); }
  uint32_t number2() const { return u32(FI_NUMBER2); }                             // 0: none
  const char* stamp() const { return text(FI_STAMP); }                             // 8
  uint32_t struct_word(int i) const { return u32(FI_STRUCT + 4u * unsigned(i)); }  // i 0 or 1
  // The sequence of the field with special use `slot` (0-9); 0 none.
  uint32_t special_seq(int slot) const { return u32(FI_SPECIAL + 4u * unsigned(slot)); }
  uint8_t nkeys() const { return u8(FI_NKEYS); }
  uint8_t key_segs(int k) const { return u8(FI_KEY_SEGS + unsigned(k)); }
  uint16_t key_len(int k) const { return u16(FI_KEY_LEN + 2u * unsigned(k)); }
  uint32_t key_seq(int k) const { return u32(FI_KEY_SEQ + 4u * unsigned(k)); }
  bool all_special() const { return u8(FI_ALL_SPECIAL) == '1'; }
};

}  // namespace kivo
