// The data server's byte-order conversion: the client's order from its two
// probes, the request and status blocks, and records through a per-file map
// of binary fields (structure and statement files by their own rules).
//
// Invariant: every conversion here is its own inverse (the probes are
// accepted only when their permutation is), so the same call turns a value
// from the client's order into the server's and back. Nothing is converted
// when the orders agree. Every field is bounded by the length given.
#include <algorithm>
#include <cstring>

#include "fm/fm_xlate.h"
#include "foundation/bytes.h"
#include "net/netio.h"

namespace kivo {

namespace {

uint8_t g_perm2[2] = {0, 1};  // server byte i takes client byte g_perm2[i]
uint8_t g_perm4[4] = {0, 1, 2, 3};
bool g_same = true;

template <size_t N>
void permute(uint8_t* f, const uint8_t (&perm)[N]) {
  uint8_t in[N];
  memcpy(in, f, N);
  for (size_t i = 0; i < N; ++i) f[i] = in[perm[i]];
}

template <size_t N>
bool involution(const uint8_t (&perm)[N]) {
  for (size_t i = 0; i < N; ++i)
    if (perm[perm[i]] != i) return false;
  return true;
}

void swap2_at(uint8_t* rec, size_t len, size_t at) {
  if (at + 2 <= len) swap2(rec + at);
}
void swap4_at(uint8_t* rec, size_t len, size_t at) {
  if (at + 4 <= len) swap4(rec + at);
}

// One mapped field: binaries of 2 and 4 bytes, binary dates as 4-byte
// words (an 8-byte one as two).
void fix_field(uint8_t* rec, size_t len, const fld_map_entry& e) {
  if (e.type == 5) {
    if (e.size == 2) swap2_at(rec, len, e.offset);
    if (e.size == 4) swap4_at(rec, len, e.offset);
  } else if (e.type == 6 || e.type == 7) {
    swap4_at(rec, len, e.offset);
    if (e.size == 8) swap4_at(rec, len, e.offset + 4);
  }
}

void fix_plain(uint8_t* rec, size_t len, const open_conv& conv) {
  for (const fld_map_entry& e : conv.map) fix_field(rec, len, e);
}

}  // namespace

bool netio_set_order(const uint8_t probe2[2], const uint8_t probe4[4]) {
  // The client wrote 1 and 0x00010203; this build is little-endian, so byte
  // k of the server's value is the one of significance k.
  uint8_t p2[2], p4[4];
  bool seen4[4] = {};
  for (int i = 0; i < 4; ++i) {
    uint8_t sig = static_cast<uint8_t>(3 - probe4[i]);
    if (probe4[i] > 3 || seen4[sig]) return false;
    seen4[sig] = true;
    p4[sig] = static_cast<uint8_t>(i);
  }
  if (!((probe2[0] == 1 && probe2[1] == 0) || (probe2[0] == 0 && probe2[1] == 1))) return false;
  p2[0] = probe2[0] == 1 ? 0 : 1;
  p2[1] = static_cast<uint8_t>(1 - p2[0]);
  if (!involution(p4)) return false;
  memcpy(g_perm2, p2, 2);
  memcpy(g_perm4, p4, 4);
  g_same = p2[0] == 0 && p4[0] == 0 && p4[1] == 1 && p4[2] == 2;
  return true;
}

bool netio_same_order() { return g_same; }

void swap2(uint8_t* field) {
  if (!g_same) permute(field, g_perm2);
}

void swap4(uint8_t* field) {
  if (!g_same) permute(field, g_perm4);
}

void fix_netarb(uint8_t* block) {
  for (size_t at : {NETARB_KEYNO, NETARB_LEN, NETARB_KEY_OFF, NETARB_REC_LEN}) swap4(block + at);
  swap2(block + NETARB_MOD);
}

void fix_netstat(uint8_t* block) {
  for (size_t at : {size_t{0}, size_t{4}, size_t{NETSTAT_LEN}, size_t{NETSTAT_VAR_LEN}}) swap4(block + at);
}

// The map comes from the structure file the file manager finds for the
// file's path (the structure rule, which no directory option bends), opened
// at level 0 and closed before this returns. With a stamp in the descriptor
// (the client's, or the server's own design filled in at open), a structure
// file of another design gives no map: its fields would lie elsewhere, and
// converting by them would turn bytes of text.
void bld_fld_map(const FDB* fdb, open_conv* conv) {
  conv->map.clear();
  conv->rec_len = fdb->fdb_rec_len;
  const FDB_PATH& p = fdb->path;
  if (p.fdb_class == PATH_STRUCT) conv->rule = rec_rule::dstruct;
  else if (memcmp(p.fdb_ap, "0AD", 3) == 0 && memcmp(p.fdb_name, "STMT    ", 8) == 0) conv->rule = rec_rule::dstmt;
  xlate_map fields;
  fm_bld_map(&fields, p, fdb->fdb_struct_date, nullptr, &conv->initials);
  for (const xlate_ent& f : fields.ents) {
    // A damaged structure can name fields outside the record: dropped.
    if ((f.type != 5 && f.type != 6 && f.type != 7) || uint32_t{f.off} + f.len > fdb->fdb_rec_len) continue;
    conv->map.push_back(fld_map_entry{f.len, f.type, f.off, f.occ});
  }
  netio_log(NETLOG_SERVER, "bld_fld_map() - %zu fields, %u initial records\n", conv->map.size(), conv->initials);
}

const fld_map_entry* off_to_map(const open_conv& conv, uint32_t offset) {
  for (const fld_map_entry& e : conv.map)
    if (e.offset == offset) return &e;
  return nullptr;
}

void fix_endian(uint8_t* rec, size_t len, const open_conv& conv, uint32_t recno) {
  if (g_same) return;
  switch (conv.rule) {
    case rec_rule::dstruct: fix_dstruct(rec, len, conv, recno); break;
    case rec_rule::dstmt: fix_dstmt(rec, len, conv); break;
    case rec_rule::plain: fix_plain(rec, len, conv); break;
  }
}

void fix_contig_key(uint8_t* key, size_t len, const KDB* kdb, const open_conv& conv) {
  if (g_same || !kdb) return;
  size_t at = 0;
  for (int i = 0; i < kdb->kdb_nsegs && at < len; ++i) {
    const SDB& s = kdb->kdb_sdb[i];
    if (at + s.sdb_len <= len)
      if (const fld_map_entry* e = off_to_map(conv, s.sdb_offset)) {
        fld_map_entry moved = *e;
        moved.offset = static_cast<uint32_t>(at);
        fix_field(key, len, moved);
      }
    at += s.sdb_len;
  }
}

void fix_dstruct(uint8_t* rec, size_t len, const open_conv& conv, uint32_t recno) {
  if (recno == 1) {
    swap4_at(rec, len, 0);
    swap4_at(rec, len, 4);
  } else if (recno == 2) {
    swap2_at(rec, len, 98);
    for (size_t i = 0; i < 19; ++i) swap4_at(rec, len, 100 + 4 * i);
    swap4_at(rec, len, 176);
    for (size_t i = 0; i < 17; ++i) {
      swap2_at(rec, len, 198 + 2 * i);
      swap4_at(rec, len, 232 + 4 * i);
    }
  } else if (recno > 2 && recno - 2 <= conv.initials) {
    fix_plain(rec, len, conv);
  } else if (recno > 2) {
    swap4_at(rec, len, 0);
    for (size_t at : {50, 52, 54}) swap2_at(rec, len, at);
    for (size_t i = 0; i < 7; ++i) swap4_at(rec, len, 64 + 4 * i);
    swap2_at(rec, len, 300);
    swap2_at(rec, len, 578);
  }
}

void fix_occ(uint8_t* rec, size_t len, size_t at) {
  if (at + 6 > len) return;
  bool plain = rec[at + 2] == 0;  // read before anything moves
  swap2_at(rec, len, at + 4);
  if (plain) swap2_at(rec, len, at);
}

void fix_dstmt(uint8_t* rec, size_t len, const open_conv& conv) {
  fix_plain(rec, len, conv);
  if (len < 86) return;
  uint16_t verb = ld_le16(rec, 84);  // converted above when the map holds it
  if (verb == 7) {
    for (size_t at : {88, 92, 96}) fix_occ(rec, len, at);
  } else if (verb == 6 || verb == 30) {
    fix_occ(rec, len, 100);
  } else {
    fix_occ(rec, len, 88);
  }
}

}  // namespace kivo
