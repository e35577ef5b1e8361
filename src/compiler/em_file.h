// The compiled file (FI records of a module, em_access.h) read by name: what
// the executive, the file verbs and the query compiler read of a file the
// module uses.
#pragma once

#include "compiler/em_access.h"
#include "foundation/descriptors.h"
#include "foundation/record_view.h"

namespace kivo {

class cfi_view : public le_record_view {
 public:
  using le_record_view::le_record_view;
  const uint8_t* stored_fdb() const { return data() + CFI_FDB; }  // 72 bytes, fdb_load's input
  const char* ap() const { return text(size_t{CFI_FDB} + FDB_AP); }
  const char* ver() const { return text(size_t{CFI_FDB} + FDB_VER); }
  const char* name() const { return text(size_t{CFI_FDB} + FDB_NAME); }  // 8
  uint16_t rec_len() const { return u16(size_t{CFI_FDB} + FDB_REC_LEN); }
  uint32_t options() const { return u32(size_t{CFI_FDB} + FDB_OPT); }
  uint8_t fs_type() const { return u8(size_t{CFI_FDB} + FDB_FS_TYPE); }  // 0: the file's fields only
  uint8_t access() const { return u8(size_t{CFI_FDB} + FDB_ACC); }
  uint16_t index() const { return u16(CFI_INDEX); }    // from 1
  uint16_t keys_rec() const { return u16(CFI_KEYS); }  // KD/SD record number, 0 none
  uint8_t nkeys() const { return u8(CFI_NKEYS); }
  uint32_t file_no() const { return u32(CFI_FILE_NO); }
  uint32_t file_no2() const { return u32(CFI_FILE_NO2); }
  uint8_t share_kind() const { return u8(CFI_SHARE_KIND); }
  bool required() const { return u8(CFI_REQUIRED) != 0; }  // a failed open is an error
  uint32_t rec_area() const { return u32(CFI_REC_AREA); }  // 0: none
  uint32_t fb_area() const { return u32(CFI_FB_AREA); }    // the file block's area, 0: not opened
  uint32_t secr_off() const { return u32(CFI_SECR_OFF); }  // 0xFFFFFFFF: none
  const char* stamp() const { return text(CFI_STAMP); }    // 8, the file record's at compile time
  bool lang_dependent() const { return u8(CFI_LANG_DEP) != 0; }
};

}  // namespace kivo
