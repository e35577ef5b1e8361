// The portable record format: every field of a native record becomes a
// fixed run of printable characters at a fixed position of a text record,
// driven by a map of type-map entries (TME). This header holds the entry,
// the conversion of one field each way, the static maps of the design
// records and the MSK work file of date masks the date conversions read.
//
// Invariants: every portable field is followed by one blank, so an entry's
// portable offset is the previous end + 1; an entry carried as nothing
// (portable length 0) takes no position. A conversion never reads or writes
// outside the entry's native or portable bytes.
//
// Callers: the migration (mu_xlate.h) and its tests and fuzz target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kivo {

struct ARB;

// ---- the type-map entry, 12 bytes in the TME memory file ----
constexpr size_t kTmeSize = 12;
enum : size_t {
  TME_NAT_OFF = 0,   // u16
  TME_PORT_OFF = 2,  // u16
  TME_NAT_LEN = 4,   // u16; 0 ends a list
  TME_PORT_LEN = 6,  // u16; 0 = compute it
  TME_KIND = 8,
  TME_DIGITS = 9,     // or the first significant date part
  TME_DECIMALS = 10,  // or the last significant date part
  TME_MSK_BANK = 11,  // which MSK records a date reads: 0 the map's, 1 the initial values'
};
static_assert(TME_MSK_BANK + 1 == kTmeSize);

struct tme {
  uint16_t nat_off;
  uint16_t port_off;
  uint16_t nat_len;
  uint16_t port_len;
  uint8_t kind;
  uint8_t digits;
  uint8_t decimals;
  uint8_t msk_bank;
};
void tme_store(const tme& t, uint8_t* out);
tme tme_load(const uint8_t* in);

// Kinds of conversion.
enum : uint8_t {
  PK_VERB = 1,      // u16 verb number: its 8-character word
  PK_BYTES = 2,     // bytes unchanged
  PK_SIGNED = 3,    // binary of 1, 2 or 4 bytes: zero-filled digits, sign last
  PK_UNSIGNED = 4,  // the same, sign always "+"
  PK_LOGIC = 5,     // "1"/"0" as "Y"/"N"
  PK_PACKED = 6,    // packed decimal: its digits, sign last
  PK_OCC = 7,       // occurrence {u16 value, u16 kind}
  PK_VARPT = 8,     // packed decimal and a byte of decimal places
  PK_DATE_FIRST = 9,
  PK_DATE_LAST = 14,  // dates of data types 3, 4, 6, 7, 9, 10
  PK_FILLER = 15,     // bytes carried in part
};
// The date kind of data type 3, 4, 6, 7, 9 or 10 and back; 0 for another.
uint8_t date_kind_of(uint8_t type);
uint8_t date_type_of(uint8_t kind);

// Digits a binary of `width` bytes may need: 3, 5 or 10.
int bin_width_digits(uint16_t width);

// Computes the portable length when it is 0 (a kind 15 entry becomes kind 2
// carried as nothing) and sets the portable offset to `pos`. Returns the
// next running position, or -1 after the system error of an unknown kind.
int update_tme_blk(tme* t, int pos, int digits, int decimals);

// One field into the portable record: its text at the portable offset and
// a blank after it. 0 after a system error (a value that does not fit, a
// bad date, a bad kind): the record must not be written.
int native_to_port(const tme& t, const uint8_t* native, char* port);
// One field back into the native record. 0 after a system error (an unknown
// verb word or kind, a bad date unless KIVO_PORTABLE_DATE is set).
int port_to_native(const tme& t, uint8_t* native, const char* port);

// ---- the MSK work file: one compiled date mask per date field ----
constexpr size_t kMskSize = 96;
enum : size_t {
  MSK_KEY = 0,  // u16: the field's native offset; kMskInitBank | portable offset in the initial-value map
  MSK_TYPE = 2,
  MSK_DOY = 3,
  MSK_H24 = 4,
  MSK_FIRST = 5,
  MSK_LAST = 6,
  MSK_LEN = 8,        // u16 stored length
  MSK_MASK_LEN = 10,  // u16
  MSK_MASK = 12,      // 60
};
static_assert(MSK_MASK + 60 + 24 == kMskSize);
constexpr uint16_t kMskInitBank = 0x8000;

// The MSK file the date conversions read (mu_init makes it); null: none.
extern ARB* mu_msk_arb;
// Compiles `mask` (60 characters, stored spelling) for a date of `type`
// over levels first..last into an MSK record: its stored length, or 0 when
// it does not compile or that length is not `len` (0: any).
int msk_compile(const char* mask, uint8_t type, uint8_t first, uint8_t last, uint16_t len, uint8_t* msk);
// The record under `key`; 0 when there is none ("Bad MSK file read ").
int msk_read(uint16_t key, uint8_t* msk);
// Writes the record under `key`; 0 on a failure ("Bad MSK file write ").
int msk_put(uint16_t key, uint8_t* msk);
// Removes every record.
void msk_clear();

// ---- static maps ----
// A map: its entries (a statement map: the common fields, whose verb entry
// is followed by the record's verb's sub-list) and its portable length.
struct port_map {
  std::vector<tme> common;
  std::vector<std::vector<tme>> verbs;  // statement maps only: 105 sub-lists
  uint16_t port_len = 0;
};
// Fills the portable offsets and length of the entries in order.
int fill_map_offsets(port_map* m);

// The statement map (its sub-lists derived from the operand layouts) and
// the maps of the ELEMENT record, the structure header and the initial-value
// key, offsets filled. The statement map also needs its two date masks in
// the MSK file (stmt_map_msk).
const port_map& stmt_map();
const port_map& element_map();
const port_map& struct_hdr_map();
const port_map& init_hdr_map();
int stmt_map_msk();

// A whole record each way with `m`. A statement record's portable buffer is
// blank-filled first, its native buffer too on reading (fillers carried as
// nothing read back as the blanks a statement line writes). `nat_len` is
// the native record's length: entries past it are skipped with a warning.
// 0 after a field failed.
int map_to_port(const port_map& m, const uint8_t* native, size_t nat_len, char* port);
int map_to_native(const port_map& m, uint8_t* native, size_t nat_len, const char* port);

}  // namespace kivo
