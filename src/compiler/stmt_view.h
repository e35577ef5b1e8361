// The STMT record (stmt_layout.h) read by name: its key (the owner, the
// event point and the sequence), its prefix, its verb and its operand area,
// as the statement compiler, the editor and the debugger read them.
#pragma once

#include <cstring>

#include "compiler/stmt_layout.h"
#include "foundation/record_view.h"

namespace kivo {

class stmt_view : public le_record_view {
 public:
  using le_record_view::le_record_view;
  uint8_t proc_type() const { return u8(STMT_PROC_TYPE); }
  const char* proc_name() const { return text(STMT_PROC_NAME); }  // 30
  uint8_t frm_part() const { return u8(STMT_FRM_PART); }
  uint32_t frm_no() const { return u32(STMT_FRM_NO); }  // 0: not a frame's
  uint8_t img_no() const { return u8(STMT_IMG_NO); }    // 0: not an image's
  uint8_t chld_pos() const { return u8(STMT_CHLD_POS); }
  uint32_t chld_no() const { return u32(STMT_CHLD_NO); }  // 0: not a child's
  uint8_t ep() const { return u8(STMT_EP); }
  uint32_t seq() const { return u32(STMT_SEQ); }              // 0: the event point's own record
  const char* prefix() const { return text(STMT_PREFIX); }    // 5
  uint16_t verb() const { return u16(STMT_VERB); }            // `verb_code`
  const uint8_t* opnd() const { return data() + STMT_OPND; }  // kStmtOpndLen
};

// An occurrence operand: a number, an index's two letters, or none.
class occ_view : public le_record_view {
 public:
  using le_record_view::le_record_view;
  bool blank() const { return memcmp(data(), "    ", kOccLen) == 0; }  // never given
  uint16_t kind() const { return u16(OCC_KIND); }                      // OCC_NUMBER, OCC_INDEX, OCC_NONE
  int16_t number() const { return static_cast<int16_t>(u16(OCC_VALUE)); }
  const char* index() const { return text(OCC_VALUE); }  // 2 letters
};

}  // namespace kivo
