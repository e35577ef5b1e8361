// The design-build message files: MESSAGE1, one record per file with the
// count and highest class of its messages, and MESSAGE2, one record per
// message with its text in the current language. The dictionary compiler
// files through dd_err (dd.h), the restructure, verify and migration runs
// and the file routines through db_err.
//
// Invariants: a file's messages are numbered from 1 by MESSAGE1's count;
// MESSAGE1 keeps the highest class filed, never a lower later one. Bytes a
// writer does not set are zero.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/paths.h"

namespace kivo {

struct ARB;

constexpr size_t kMsg1Size = 24;
enum : size_t { M1_AP = 0, M1_VER = 3, M1_FILE = 5, M1_DB = 13, M1_COUNT = 16, M1_CLASS = 20 };
static_assert(M1_CLASS + 4 == kMsg1Size);

constexpr size_t kMsg2Size = 556;
constexpr size_t kMsg2TextMax = 500;
enum : size_t {
  M2_AP = 0,
  M2_VER = 3,
  M2_FILE = 5,
  M2_BLANKS = 13,    // 3
  M2_SEQ = 16,       // u32, from 1
  M2_DB = 20,        // 3: db_err the path's database, dd_err blanks
  M2_KIND = 23,      // dd_err: 1 file, 2 domain, 3 field
  M2_SUBJECT = 24,   // 22
  M2_NUMBER = 48,    // u32, dd_err only
  M2_CLASS = 52,     // u16
  M2_TEXT_LEN = 54,  // u16
  M2_TEXT = 56       // 500
};
static_assert(M2_TEXT + kMsg2TextMax == kMsg2Size);

// The message kinds of the dictionary compiler.
enum : uint8_t { DD_KIND_FILE = 1, DD_KIND_DOMAIN = 2, DD_KIND_FIELD = 3 };

// Writes the MESSAGE1 record of `ap` `ver` `file` with count and class 0;
// one there already is reset, and the file's MESSAGE2 records removed. 1,
// or 0 when the write fails (the status in the handle).
int msg1_start(ARB* msg1, ARB* msg2, const char* ap, const char* ver, const char* file);

// Files one message under `ap` `ver` `file`: `own` (bytes 20 to 51 of the
// MESSAGE2 record) as the writer sets them. 1 when MESSAGE2 was written;
// 0 after a system error ("Bad first level message read " when the file has
// no MESSAGE1 record).
int msg_file(ARB* msg1, ARB* msg2, const char* ap, const char* ver, const char* file, uint32_t number,
             const uint8_t* own);

// A message about the file of `path`; a design file of "0AD" is filed
// under its source application and version.
int db_err(uint32_t number, const FDB_PATH& path, ARB* msg1, ARB* msg2);

}  // namespace kivo
