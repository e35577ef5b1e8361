// The B-tree key file as stored: header, key descriptors and pages, with
// their fixed offsets. Everything is little-endian and read and written field
// by field; seeks are u32 byte offsets in the key file.
//
//   header   1180 bytes of fields written as one 1536-byte block at seek 0
//   pages    kPageSize bytes each from seek 1536; a page's seek is its identity
//
// A page holds n entries of E = L + 8 bytes (L the key length) and a last
// DOWN: DOWN_0 DSEEK_0 KEY_0 DOWN_1 ... KEY_n-1 DOWN_n. DOWN_i is the child
// holding the keys below entry i; DOWN_n the keys above the last entry.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/bytes.h"
#include "store/key_segment.h"

namespace kivo {

constexpr uint16_t kBtVersion = 1;
constexpr uint32_t kPageSize = 2048;
constexpr size_t kBtHdrSize = 1180;   // bytes of fields
constexpr size_t kBtHdrBlock = 1536;  // bytes written; the first page starts here
constexpr int kBtMaxKeys = 16;
constexpr int kBtMaxSegs = 16;
constexpr int kBtMaxKeyLen = 255;                 // the key buffer holds up to 256 bytes
constexpr int kBtMinEntries = 7;                  // fewest entries a page must hold
constexpr uint32_t kBtMaxFileSize = 0x80000000u;  // u32 seeks: 2 GiB at most

// Header fields.
constexpr size_t kHdrVersion = 0;    // u16; 0xFFFF in memory = no readable header
constexpr size_t kHdrAge = 2;        // u16, +1 by every header write
constexpr size_t kHdrFreePage = 4;   // u32 first free page, 0 = none
constexpr size_t kHdrEofseek = 8;    // u32 one past the last page
constexpr size_t kHdrPageSize = 12;  // u16
constexpr size_t kHdrKeyCount = 14;  // u8 keys defined, 0..16
constexpr size_t kHdrInUse = 15;     // u8 not 0 = a change was left unfinished
constexpr size_t kHdrKeys = 16;      // 16 key descriptors of 72 bytes
constexpr size_t kHdrOwner = 1168;   // u32 bit 31: low bits name the lock holder
// u32, formerly always zero: moved by every page or header write of this
// engine, so a cursor can trust or re-check its cached pages; odd on disk
// while a change is under way, even at rest (see btree_page.cpp).
constexpr size_t kHdrChangeCount = 1172;
constexpr uint16_t kHdrNone = 0xFFFF;

// Key descriptor (KEY_DESC, 72 bytes at kHdrKeys + 72 × key number).
constexpr size_t kKeyDescSize = 72;
constexpr size_t kKdRoot = 0;    // u32 root page
constexpr size_t kKdKeyNo = 4;   // u8
constexpr size_t kKdNSegs = 5;   // u8 0..16
constexpr size_t kKdKeyLen = 6;  // u16 sum of the segment lengths
constexpr size_t kKdSegs = 8;    // 16 segments of 4 bytes
constexpr size_t kSegDescSize = 4;
constexpr size_t kSdType = 0;   // u8 segment type (key_segment.h)
constexpr size_t kSdLen = 1;    // u8
constexpr size_t kSdPoffs = 2;  // u16 offset in the record

static_assert(kHdrKeys + kBtMaxKeys * kKeyDescSize == kHdrOwner);
static_assert(kKdSegs + kBtMaxSegs * kSegDescSize == kKeyDescSize);
// u32, formerly zero: the pair's stamp, repeated from the data file's
// header (brf_stamp_pair); 0 in a file written before it.
constexpr size_t kHdrStamp = 1176;
static_assert(kHdrStamp + 4 == kBtHdrSize);

// Page header.
constexpr size_t kPgParent = 0;  // u32 parent page, 0 for the root; free page: next free
constexpr size_t kPgCount = 4;   // u16 entries
constexpr size_t kPgAge = 6;     // u16 +1 by every write of the page
constexpr size_t kPgHdrSize = 8;
constexpr uint8_t kPgFill = 0x82;  // a new page's bytes after its header

// Key descriptor in memory.
struct BT_SEG {
  uint8_t type = 0;    // segment type (key_segment.h); decides how it compares
  uint8_t len = 0;     // bytes taken from the record
  uint16_t poffs = 0;  // where in the record they start
};

// One key of a key file, as stored at its slot of the header. A caller that
// defines a key fills nsegs and seg; root, keyno and keylen are the file's.
struct KEY_DESC {
  uint32_t root = 0;    // root page, 0 while the key's tree is empty
  uint8_t keyno = 0;    // the key's slot, 0-based
  uint8_t nsegs = 0;    // segments in use, 1..16
  uint16_t keylen = 0;  // the key's bytes: the sum of the segment lengths
  BT_SEG seg[kBtMaxSegs];
};

void key_desc_load(const uint8_t* p, KEY_DESC* d);
void key_desc_store(const KEY_DESC& d, uint8_t* p);

// Checks a key's segments and length: every segment of a known kind and a
// length its kind allows, the key length the sum of the segments, at most
// 255 bytes and at least kBtMinEntries entries to a page. BRF_OK, or
// BRF_BAD_DATA with the reason in `why` ("key length 300 over 255 at key 2").
int bt_check_key_desc(const KEY_DESC& d, int keyno, char* why, size_t why_size);

// Why key `keyno` of definition `d` can hold no record of its file: in a
// fixed-length file (`fixed_len` its record length) a segment that ends past
// the record; in a variable-length one, every segment at or past the end of
// the longest active record (`longest`; 0 for a file without one). Null when
// it can, else the reason in `why` ("key 0: its segment 1 (6 bytes at 127)
// lies outside the 47-byte record").
const char* bt_key_outside(const KEY_DESC& d, int keyno, uint32_t fixed_len, uint32_t longest, char* why, size_t n);

// Page geometry for key length L.
constexpr int bt_entry_size(int keylen) { return keylen + 8; }
constexpr int bt_max_entries(int keylen) {
  return static_cast<int>((kPageSize - 12) / static_cast<uint32_t>(bt_entry_size(keylen)));
}
static_assert(bt_max_entries(10) == 113);
static_assert(bt_max_entries(kBtMaxKeyLen) >= kBtMinEntries);

// Whether a seek can name a page of a file whose pages end at `eofseek`.
inline bool bt_page_seek_ok(uint32_t seek, uint32_t eofseek) {
  return seek >= kBtHdrBlock && seek < eofseek && (seek - kBtHdrBlock) % kPageSize == 0 && eofseek - seek >= kPageSize;
}

}  // namespace kivo
