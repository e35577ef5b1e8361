// Reading a module: code and constant addresses from their operands, the
// record-stamp and report-process helpers, and the native descriptor of a
// compiled file.
//
// Invariants: an address is only ever given for a record that exists and
// bytes that lie inside it; anything else answers null. Constant numbers
// 1..64999 are CN records, kComConstBase .. +459 the common block's constant
// area; nothing else is a constant.
//
// Callers: the interpreter's relocation and the debugger (INST_RLOC), the
// exec routines (CNST_RLOC), the executive's record operations (STAMP_DATE),
// the executive and the file verbs (em_cfi_desc).
#pragma once

#include <cstdint>

#include "compiler/em.h"
#include "foundation/descriptors.h"
#include "types/std_date.h"

namespace kivo {

// Compiled-file record (FI), the bytes this layer reads and writes.
enum : size_t {
  CFI_FDB = 0,     // 72-byte stored descriptor
  CFI_INDEX = 72,  // u16, from 1
  CFI_KEYS = 74,   // u16 KD/SD record number, 0 = no keys
  CFI_NKEYS = 76,  // u8
  CFI_FILE_NO = 92,
  CFI_FILE_NO2 = 96,
  CFI_SHARE_KIND = 102,
  CFI_REQUIRED = 116,
  CFI_REC_AREA = 120,
  CFI_FB_AREA = 124,
  CFI_SECR_OFF = 136,
  CFI_STAMP = 140,
  CFI_LANG_DEP = 158,
  CFI_LEN = 160
};
static_assert(CFI_FDB + kFdbStoredSize == CFI_INDEX && CFI_STAMP + 8 < CFI_LANG_DEP);
constexpr int kMaxKeySegs = 253;     // the SD record of one file
constexpr uint8_t kCfiIndexKey = 1;  // key of the FI file on the CFI index

// Address of the instruction at `at` of the instruction file `inst_arb`;
// null for a block that does not exist and for an offset without room for an
// instruction head.
uint8_t* INST_RLOC(em_entry at, ARB* inst_arb);

// Address of constant `no` of the module: its CN record, or its byte of
// the common block's constant area; null for any other number.
uint8_t* CNST_RLOC(const EM* em, uint32_t no);

// The module names a report process other than its own.
bool HAS_RPT_PROC(const EM* em);

// Date descriptor of the added (`chg` 0) or changed stamp field of the
// record at `base`, its mask from the module's mask constant. 0 when the
// module has no such stamp or its mask constant is missing.
int STAMP_DATE(std_date* desc, const EM* em, int chg, uint8_t* base);

// Appends the KD and SD records of `fdb`'s keys and the CFI record `cfi`
// (its other bytes the caller's) with the stored descriptor, index and key
// bytes filled. The CFI index, 0 on failure (more than kMaxKeySegs segments,
// a write). Keys built before must be built again.
uint16_t em_cfi_add(EM* em, const FDB& fdb, uint8_t* cfi);
// Builds the native KDB/SDB arrays of every compiled file from KD and SD.
// 0 when a record is missing or does not agree with its CFI.
int em_cfi_load_keys(EM* em);
// A native FDB from the current bytes of compiled-file record `cfi`, with the
// module's native key arrays of that file. 0 when the index is unknown or the
// keys were not built.
int em_cfi_desc(EM* em, const uint8_t* cfi, FDB* out);
// The module's CFI record of index `index` (from 1), the key arrays built
// first when they are not; null for an index the module does not have.
const uint8_t* em_cfi_at(EM* em, uint16_t index);

}  // namespace kivo
