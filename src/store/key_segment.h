// Segment kinds of keys: the one table by which the B-tree's key compare and
// the file manager's key compare order every segment type, so an index on
// disk and a search over it agree. Descriptor segments (SDB type and order),
// compare codes and key-file type bytes all map to these kinds here.
//
// Keys are laid out "key form": the segments one after another in list order.
// A segment compares by its kind; a descending segment reverses the result of
// that segment only.
#pragma once

#include <cstdint>

#include "foundation/descriptors.h"

namespace kivo {

// Segment type byte as a key file stores it: the low four bits give the
// kind, bit 0x40 makes a binary segment unsigned, bit 0x80 descending.
constexpr uint8_t kSegChars = 1;
constexpr uint8_t kSegBinary = 2;
constexpr uint8_t kSegPacked = 3;
constexpr uint8_t kSegIgnored = 4;
constexpr uint8_t kSegKindMask = 0x0F;
constexpr uint8_t kSegUnsigned = 0x40;
constexpr uint8_t kSegDescending = 0x80;

enum class seg_kind : uint8_t {
  invalid,
  chars,       // bytewise, unsigned, first difference decides
  signed_bin,  // little-endian integer of 1, 2 or 4 bytes
  unsigned_bin,
  packed,   // packed decimal, compared as numbers
  ignored,  // always equal
};

struct key_seg {
  seg_kind kind = seg_kind::invalid;
  bool descending = false;
  uint16_t len = 0;    // bytes
  uint16_t poffs = 0;  // offset in the record layout
};

// Kind of a stored segment type byte (invalid for an unknown kind).
seg_kind seg_kind_of_type(uint8_t type);
// The stored type byte of a kind.
uint8_t seg_type_of(seg_kind kind, bool descending);

// Kind and width of a file-manager compare code (1..8): 1-3 unsigned binary of
// 1, 2, 4 bytes, 4 packed, 5-7 signed binary of 1, 2, 4 bytes, 8 characters.
// Invalid for any other code; `width` is 0 where the segment length decides.
seg_kind seg_kind_of_code(int code, int* width);

// Whether a segment of this kind may have this length: binary 1, 2 or 4,
// packed 1..16, characters and ignored 1..255.
bool seg_len_valid(seg_kind kind, int len);

// Sign (-1, 0, 1) of a against b over the segment's bytes, descending applied.
// The kind and length must be valid (seg_len_valid).
int seg_compare(const key_seg& seg, const uint8_t* a, const uint8_t* b);

// The first non-zero segment compare of two keys in key form, over the first
// `nsegs` segments.
int key_compare(const key_seg* segs, int nsegs, const uint8_t* a, const uint8_t* b);

// Compare code (1..8) of a kind of that length; 0 when the kind has none.
int seg_code_of(seg_kind kind, int len);

// ---- descriptor segments ----

// Effective order of a segment in its key: a key order of '+' or blank keeps
// the segment's own; any other inverts it ('-' becomes '+', anything else '-').
uint8_t GET_SEG_ORD(uint8_t key_order, uint8_t seg_order);

// The one mapping from a descriptor segment type to a kind: SDB_CHARS and
// SDB_TEXT characters, SDB_PACKED packed, SDB_BINARY signed and SDB_UBINARY
// unsigned binary; any other type is invalid.
seg_kind seg_kind_of_sdb(uint8_t sdb_type);

// A descriptor segment as a key segment: its kind, descending when its
// effective order is '-'.
key_seg key_seg_of_sdb(uint8_t sdb_type, uint16_t len, uint16_t offset, uint8_t key_order, uint8_t seg_order);

// The key-file type byte of a descriptor segment under its effective order
// (0 for an invalid type, which the key file refuses).
uint8_t type_to_bktype(uint8_t sdb_type, uint8_t eff_order);

// Whether a key in key form is empty in every segment (characters all blank
// or all zero, binary zero, packed decimal zero, or a segment that is not
// compared): the forms a null-key image takes. No segments: empty.
bool key_value_empty(const key_seg* segs, int nsegs, const uint8_t* key);

}  // namespace kivo
