// Segment kinds and their compare, shared by the B-tree and the file
// manager's key compare (see key_segment.h).
#include "store/key_segment.h"

#include <algorithm>
#include <cstring>

#include "foundation/bytes.h"
#include "types/pd.h"

namespace kivo {

namespace {

int sign(long long v) { return (v > 0) - (v < 0); }

int64_t load_signed(const uint8_t* p, int len) {
  switch (len) {
    case 1: return static_cast<int8_t>(p[0]);
    case 2: return static_cast<int16_t>(ld_le16(p, 0));
    default: return static_cast<int32_t>(ld_le32(p, 0));
  }
}

int64_t load_unsigned(const uint8_t* p, int len) {
  switch (len) {
    case 1: return p[0];
    case 2: return ld_le16(p, 0);
    default: return ld_le32(p, 0);
  }
}

int ascending_compare(const key_seg& seg, const uint8_t* a, const uint8_t* b) {
  switch (seg.kind) {
    case seg_kind::chars: {
      int c = memcmp(a, b, seg.len);
      return sign(c);
    }
    case seg_kind::signed_bin: return sign(load_signed(a, seg.len) - load_signed(b, seg.len));
    case seg_kind::unsigned_bin: return sign(load_unsigned(a, seg.len) - load_unsigned(b, seg.len));
    case seg_kind::packed: return sign(pd_cmp(a, seg.len, b, seg.len));
    case seg_kind::ignored:
    case seg_kind::invalid: break;
  }
  return 0;
}

}  // namespace

seg_kind seg_kind_of_type(uint8_t type) {
  switch (type & kSegKindMask) {
    case kSegChars: return seg_kind::chars;
    case kSegBinary: return (type & kSegUnsigned) ? seg_kind::unsigned_bin : seg_kind::signed_bin;
    case kSegPacked: return seg_kind::packed;
    case kSegIgnored: return seg_kind::ignored;
    default: return seg_kind::invalid;
  }
}

uint8_t seg_type_of(seg_kind kind, bool descending) {
  uint8_t t = 0;
  switch (kind) {
    case seg_kind::chars: t = kSegChars; break;
    case seg_kind::signed_bin: t = kSegBinary; break;
    case seg_kind::unsigned_bin: t = kSegBinary | kSegUnsigned; break;
    case seg_kind::packed: t = kSegPacked; break;
    case seg_kind::ignored: t = kSegIgnored; break;
    case seg_kind::invalid: return 0;
  }
  return descending ? static_cast<uint8_t>(t | kSegDescending) : t;
}

seg_kind seg_kind_of_code(int code, int* width) {
  static const struct {
    seg_kind kind;
    int width;
  } table[] = {
      {seg_kind::invalid, 0},      {seg_kind::unsigned_bin, 1}, {seg_kind::unsigned_bin, 2},
      {seg_kind::unsigned_bin, 4}, {seg_kind::packed, 0},       {seg_kind::signed_bin, 1},
      {seg_kind::signed_bin, 2},   {seg_kind::signed_bin, 4},   {seg_kind::chars, 0},
  };
  if (code < 1 || code > 8) code = 0;
  if (width) *width = table[code].width;
  return table[code].kind;
}

bool seg_len_valid(seg_kind kind, int len) {
  switch (kind) {
    case seg_kind::chars:
    case seg_kind::ignored: return len >= 1 && len <= 255;
    case seg_kind::signed_bin:
    case seg_kind::unsigned_bin: return len == 1 || len == 2 || len == 4;
    case seg_kind::packed: return len >= 1 && len <= kPdMaxLen;
    case seg_kind::invalid: break;
  }
  return false;
}

int seg_compare(const key_seg& seg, const uint8_t* a, const uint8_t* b) {
  int c = ascending_compare(seg, a, b);
  return seg.descending ? -c : c;
}

int key_compare(const key_seg* segs, int nsegs, const uint8_t* a, const uint8_t* b) {
  int off = 0;
  for (int i = 0; i < nsegs; ++i) {
    int c = seg_compare(segs[i], a + off, b + off);
    if (c) return c;
    off += segs[i].len;
  }
  return 0;
}

int seg_code_of(seg_kind kind, int len) {
  switch (kind) {
    case seg_kind::chars: return 8;
    case seg_kind::packed: return 4;
    case seg_kind::signed_bin: return len == 1 ? 5 : len == 2 ? 6 : 7;
    case seg_kind::unsigned_bin: return len == 1 ? 1 : len == 2 ? 2 : 3;
    case seg_kind::ignored:
    case seg_kind::invalid: break;
  }
  return 0;
}

uint8_t GET_SEG_ORD(uint8_t key_order, uint8_t seg_order) {
  if (key_order == '+' || key_order == ' ') return seg_order;
  return seg_order == '-' ? '+' : '-';
}

seg_kind seg_kind_of_sdb(uint8_t sdb_type) {
  switch (sdb_type) {
    case SDB_CHARS:
    case SDB_TEXT: return seg_kind::chars;
    case SDB_PACKED: return seg_kind::packed;
    case SDB_BINARY: return seg_kind::signed_bin;
    case SDB_UBINARY: return seg_kind::unsigned_bin;
    default: return seg_kind::invalid;
  }
}

key_seg key_seg_of_sdb(uint8_t sdb_type, uint16_t len, uint16_t offset, uint8_t key_order, uint8_t seg_order) {
  key_seg seg;
  seg.kind = seg_kind_of_sdb(sdb_type);
  seg.descending = GET_SEG_ORD(key_order, seg_order) == '-';
  seg.len = len;
  seg.poffs = offset;
  return seg;
}

uint8_t type_to_bktype(uint8_t sdb_type, uint8_t eff_order) {
  return seg_type_of(seg_kind_of_sdb(sdb_type), eff_order == '-');
}

namespace {

bool all_bytes(const uint8_t* p, int n, uint8_t b) {
  return std::all_of(p, p + n, [b](uint8_t x) { return x == b; });
}

bool seg_empty(const key_seg& seg, const uint8_t* p) {
  switch (seg.kind) {
    case seg_kind::chars: return all_bytes(p, seg.len, 0) || all_bytes(p, seg.len, ' ');
    case seg_kind::signed_bin:
    case seg_kind::unsigned_bin: return all_bytes(p, seg.len, 0);
    case seg_kind::packed:
      // Every digit nibble zero; the sign nibble (the last one) is free.
      return all_bytes(p, seg.len - 1, 0) && (p[seg.len - 1] & 0xF0) == 0;
    case seg_kind::ignored: return true;
    case seg_kind::invalid: return false;
  }
  return false;
}

}  // namespace

bool key_value_empty(const key_seg* segs, int nsegs, const uint8_t* key) {
  size_t off = 0;
  for (int s = 0; s < nsegs; ++s) {
    if (!seg_empty(segs[s], key + off)) return false;
    off += segs[s].len;
  }
  return true;
}

}  // namespace kivo
