// Status codes of the file manager. An operation returns its success flag and
// leaves one of these in `arb_stat` (record operations, attach, detach,
// close) or `fdb_stat` (open, create, scratch, locate). They are message
// numbers: the texts are in the message file.
#pragma once

#include <cstdint>

namespace kivo {

enum fm_status : uint32_t {
  FM_EXISTS = 200160,          // create of a file that exists
  FM_DUP_KEY = 200170,         // a write would duplicate a unique key
  FM_REFUSED_AP = 200180,      // application refused, or its APPL record missing
  FM_NO_DB = 200190,           // the DATABASE record of a data file is missing
  FM_BAD_ALT_DB = 200200,      // the alternate database cannot be used
  FM_NO_FILE_DEF = 200210,     // the FILE design record is missing
  FM_NO_FMS = 200220,          // the file system named for the file is not available
  FM_KEY_NO_DIFF = 200230,     // key numbers differ from the open physical file
  FM_KEY_ORDER_DIFF = 200240,  // a key's order differs
  FM_BAD_INIT = 200250,        // the INITIAL records do not make up a record
  FM_REC_LEN_DIFF = 200260,
  FM_NO_STRUCT_REC = 200280,   // the structure file lacks its structure record
  FM_BAD_STRUCT_DEF = 200300,  // no structure date, or ELEMENT and FILE disagree
  FM_FMT_DIFF = 200310,
  FM_CROSS_DEVICE = 200330,
  FM_NO_FILE = 200340,
  FM_EOF = 200360,
  FM_NO_SPACE = 200380,
  FM_LOCK_REFUSED = 200390,
  FM_NKEYS_DIFF = 200400,
  FM_BAD_KEY_LEN = 200410,  // a key the file manager cannot order (length, segments)
  FM_NOT_ATTACHED = 200420,
  FM_NO_DESIGN = 200430,  // a design file cannot be opened
  FM_KEY_MAP_DIFF = 200440,
  FM_NOT_FOUND = 200450,
  FM_NOT_INDEXED = 200460,
  FM_FILE_OPEN = 200470,
  FM_NOT_OPEN = 200480,  // the handle has no current stream
  FM_NOT_IN_SYSDIR = 200490,
  FM_ORG_DIFF = 200510,
  FM_HELD_SELF = 200520,
  FM_LOCKED = 200530,
  FM_NO_POS = 200540,
  FM_NO_ACCESS = 200560,
  FM_HOLD_CHANGED = 200570,
  FM_NOT_HELD = 200580,
  FM_REC_TOO_LONG = 200590,  // the record is longer than the buffer: delivered cut
  FM_NSEGS_DIFF = 200600,
  FM_SEG_DIFF = 200610,
  FM_STAMP_DIFF = 200630,
  FM_NO_STRUCT_FILE = 200640,
  FM_IO_ERR = 200650,
  FM_IO_UNSURE = 200660,  // a change whose answer never came: it may have been made
  FM_VAR_DIFF = 200690,
  FM_READ_ONLY_FS = 200710,
};

}  // namespace kivo
