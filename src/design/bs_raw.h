// Raw record files of the distribution: the system applications' records as
// a machine that stores numbers most significant byte first wrote them, and
// their import into native files (`raw_to_native`, `copy_recs`), with the
// byte-order conversion of record images (`adjust_rec`) and of statement
// operands (`adjust_stmt`, `adjust_occ`). The distribution writer
// (bs_dist.h) runs the same conversions the other way.
//
// Raw file of an organisation-1 file: one record image. Of any other: a
// 512-byte header (u16 flags, u16 short-length switch), then per record a
// 12-byte header (state, u16 and u32 lengths), the data and a 4-byte
// trailer, every number most significant byte first.
//
// Callers: the bootstrap (bs_boot.cpp), the distribution writer, tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kivo {

struct FDB;
struct FDB_PATH;

// One field of a file as its summary describes it: the data type, its
// position and size in the record and its number of occurrences.
struct bs_field {
  uint16_t type;
  uint16_t pos;
  uint16_t size;
  uint16_t occurs;
};
static_assert(sizeof(bs_field) == 8);

// ---- raw file format ----
constexpr size_t kRawFileHdr = 512;
constexpr size_t kRawRecHdr = 12;
constexpr size_t kRawTrailer = 4;
enum : size_t { RAW_FLAGS = 0, RAW_SHORT = 2 };                 // file header, u16 each
enum : size_t { RAW_STATE = 0, RAW_LEN16 = 2, RAW_LEN32 = 4 };  // record header
constexpr uint16_t kRawShortAllowed = 0x0002;                   // RAW_FLAGS bit
constexpr uint8_t kRawNotLive = 0x03;                           // RAW_STATE bits
constexpr uint8_t kRawPosSign = 0x0C, kRawNegSign = 0x0D;       // packed sign halves
constexpr uint32_t kDupKeyStatus = 200170;                      // a write's duplicate key

// ---- conversions; `to_native` false runs them backwards (the writer) ----

// Converts the fields of one record image of `len` bytes in place: binaries
// and binary dates change byte order, packed signs change form. An entry
// that reaches past `len` is left alone (a record shorter than its file's
// length, or a field table at fault); the number of such entries.
int convert_rec(uint8_t* rec, size_t len, const bs_field* flds, int nflds, bool to_native);
// One 4-byte occurrence operand {value, kind}: the kind's bytes always, the
// value's only for a literal (kind 0), an index name keeps its letters.
void convert_occ(uint8_t* occ, bool to_native);
// The occurrence operands of one 152-byte STMT record by its verb, which is
// read in native order: after convert_rec on import, before it on export.
void convert_stmt(uint8_t* rec, bool to_native);
// Operand offsets (within the operand area) of the occurrence operands of
// `verb`, derived from its operand layout; empty outside 0-104.
const std::vector<uint16_t>& stmt_occ_offsets(int verb);

// The import direction under the names the bootstrap uses.
int adjust_rec(uint8_t* rec, size_t len, const bs_field* flds, int nflds);
void adjust_stmt(uint8_t* rec);
void adjust_occ(uint8_t* occ);

// Whether the path names a STMT design file (of any application: design
// files lie under "0AD"), whose records carry occurrence operands.
bool bs_is_stmt_file(const FDB_PATH& p);

// Entries of a field table that reach past `rec_len`.
int fields_past(const bs_field* flds, int nflds, size_t rec_len);

// ---- import ----

// A walk over the records of the raw file of a file of any organisation but
// 1, as the import reads them: each record header, the data of a live
// record into `buf` (of the file's record length), the data of any other
// passed over, then the trailer. The distribution's check walks the same.
struct raw_step {
  enum kind_t { LIVE, DEAD, WRONG_LEN, END, FAULT } kind;
  uint32_t len;       // the record's length (LIVE: its bytes are in buf)
  const char* fault;  // FAULT: the import's text for it; the walk ends
};
class raw_walk {
 public:
  // `fixed`: every live record must be `rec_len` long (WRONG_LEN, passed
  // over, when not).
  raw_walk(FILE* raw, uint8_t* buf, size_t rec_len, bool fixed)
      : raw_(raw), buf_(buf), rec_len_(rec_len), fixed_(fixed) {}
  // Reads the 512-byte file header: null, or the fault's text.
  const char* start();
  raw_step next();
  // Record headers read so far.
  uint32_t count() const { return count_; }

 private:
  bool skip(uint32_t len);
  bool trailer();
  raw_step fault(const char* text) { return {raw_step::FAULT, 0, text}; }

  FILE* raw_;
  uint8_t* buf_;
  size_t rec_len_;
  bool fixed_;
  bool short_len_ = false;
  uint32_t count_ = 0;
};

// The operating-system path of the raw file `raw_path` (class 5); empty
// when it cannot be built. Any other path of the bootstrap's files is built
// the same way (no extension): where the files lie before SYSDIR names them.
std::string raw_os_path(const FDB_PATH* raw_path);
// The root those paths are built on: the installation root, else the data
// directory.
std::string bs_root();
// Imports the raw file of `raw_path` (class 5) into the native file of
// `native`, which is created (or opened, when it exists) in the system
// scope and closed at once afterwards. 0 when the raw file is not there or
// the native file cannot be made; else copy_recs' result.
int raw_to_native(const FDB_PATH* raw_path, FDB* native, const bs_field* flds, int nflds);
// Copies every live record of the open raw file into the open native file
// (`native->fdb_arb`), through `buf` of the file's record length; prints a
// "." per 100 records read. 1 at the normal end, 0 after a system error.
int copy_recs(const char* raw_text, FILE* raw, FDB* native, uint8_t* buf, const bs_field* flds, int nflds);

}  // namespace kivo
