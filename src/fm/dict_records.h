// The compiled dictionary's FILE record, the RECORD design record it begins
// with, and the INITIAL records holding a file's initial and null record
// images: one table each, shared by the file manager (structure files), the
// dictionary compiler, the design builder, the process compiler and the
// bootstrap.
//
// Stored formats: the offsets never move; texts are blank-padded, binaries
// little-endian. ELEMENT is types/element.h.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivo {

// RECORD (212; key: file name). The design of one file as its designer
// gives it; the dictionary compiler copies it over the start of the FILE
// record and writes back the first kRecordCopy bytes of the compiled FILE.
constexpr size_t kRecordSize = 212;
constexpr size_t kRecordCopy = 140;
enum : size_t {
  RCD_NAME = 0,        // 8
  RCD_FS_TYPE = 12,    // u8: 0 never opened, 1 disk, 2 memory
  RCD_ORG = 13,        // u8: 1 single record, 2 sequential, 3 indexed
  RCD_ALLOC = 14,      // "1": the second file number is drawn with mode 2
  RCD_ALLOC_ROW = 15,  // u8 row limit of that draw
  RCD_ALLOC_COL = 16,  // u8 column limit of that draw
  RCD_VAR = 18,        // "1" variable-length records
  RCD_FLAG19 = 19,     // carried; a change is a change of structure
  RCD_FLAG20 = 20,     // likewise
  RCD_CODES = 83,      // 3 x 4 characters: defaults of ELEMENT 288, 292, 296
  RCD_CLASS = 95,      // 3 data-area class bytes (97 row, 96 column)
  RCD_REC_LEN = 98,    // u16
};
static_assert(RCD_REC_LEN + 2 <= kRecordCopy);

// FILE (304; keys: name, first number, second number). The first 212 bytes
// are the file's RECORD record; the compile fills the rest.
constexpr size_t kFileRecSize = 304;
enum : size_t {
  FI_NAME = RCD_NAME,
  FI_FS_TYPE = RCD_FS_TYPE,
  FI_ORG = RCD_ORG,
  FI_ALLOC = RCD_ALLOC,
  FI_ALLOC_ROW = RCD_ALLOC_ROW,
  FI_ALLOC_COL = RCD_ALLOC_COL,
  FI_VAR = RCD_VAR,
  FI_FLAG19 = RCD_FLAG19,
  FI_FLAG20 = RCD_FLAG20,
  FI_CODES = RCD_CODES,
  FI_CLASS = RCD_CLASS,
  FI_CLASS_COL = RCD_CLASS + 1,
  FI_CLASS_ROW = RCD_CLASS + 2,
  FI_REC_LEN = RCD_REC_LEN,
  FI_NUMBER = 100,       // u32 first file number (key 1)
  FI_NUMBER2 = 104,      // u32 second file number (key 2); 0 none
  FI_NUM_STAMP = 116,    // 8: when a file number last changed
  FI_STAMP = 124,        // 8: the compile stamp, also every element's
  FI_STRUCT = 132,       // 8 (2 x u32): the structure date, or 0 and a fixed number
  FI_SPECIAL = 140,      // 10 x u32: sequence of the field holding each special use
  FI_NKEYS = 180,        // u8
  FI_KEY_SEGS = 181,     // 17 x u8: segments of key k
  FI_KEY_LEN = 198,      // 17 x u16: length of key k
  FI_KEY_SEQ = 232,      // 17 x u32: sequence of key k's field or group header
  FI_ALL_SPECIAL = 300,  // "1" every domain field has special use 1, else "0"
};
constexpr int kFileMaxKeys = 17;
constexpr int kFileSpecialSlots = 10;
static_assert(FI_SPECIAL == kRecordCopy);
static_assert(FI_SPECIAL + 4 * kFileSpecialSlots == FI_NKEYS);
static_assert(FI_KEY_SEGS + kFileMaxKeys == FI_KEY_LEN);
static_assert(FI_KEY_LEN + 2 * kFileMaxKeys == FI_KEY_SEQ);
static_assert(FI_KEY_SEQ + 4 * kFileMaxKeys == FI_ALL_SPECIAL);
static_assert(FI_ALL_SPECIAL + 4 == kFileRecSize);

// INITIAL (variable, at most 1013; key: file name, kind, chunk): a 13-byte
// key, then up to 1000 bytes of the initial (kind 1) or null (kind 2)
// record image. Chunks are numbered from 1; every chunk but the last is
// full.
enum : size_t {
  INIT_FILE = 0,   // 8
  INIT_KIND = 8,   // u8: INIT_VALUES or INIT_NULLS
  INIT_CHUNK = 9,  // u32 from 1
  INIT_DATA = 13,
};
constexpr size_t kInitChunk = 1000;
constexpr size_t kInitRecMax = INIT_DATA + kInitChunk;
static_assert(kInitRecMax == 1013);
enum : uint8_t { INIT_VALUES = 1, INIT_NULLS = 2 };

}  // namespace kivo
