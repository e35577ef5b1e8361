// One builder of a data file's native descriptor from its design records,
// for the compiler's compiled files and the migration's created files.
#include "compiler/file_desc.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "compiler/design_records.h"
#include "fm/file_rec_view.h"
#include "fm/struct_file.h"
#include "fm/unix_fm.h"
#include "foundation/bytes.h"
#include "foundation/descriptors.h"
#include "types/element.h"
#include "types/element_view.h"

namespace kivo {

namespace {

// The FILE record's two option flags: "1" sets a bit of the descriptor's
// format byte.
constexpr size_t kFiFmtFlag1 = FI_FLAG20, kFiFmtFlag2 = FI_FLAG20 + 1;

// The segments of one occurrence of element `e` at `off`, appended at
// sdb[*n]; false when the key would take more than the room left.
bool add_segments(const uint8_t* e, uint16_t off, SDB* sdb, int* n, uint32_t seq, uint32_t* fields, std::string* why) {
  const elem_view el(e);
  const uint8_t type = el.type();
  const uint16_t size = el.size();
  uint8_t seg = SDB_CHARS;
  int parts = 1;
  switch (type) {
    case 5:
    case 6:
    case 7:
      seg = el.is_signed() ? SDB_BINARY : SDB_UBINARY;
      if (type != 5 && size == 8) parts = 2;  // a date word and a time word
      break;
    case 8: seg = SDB_PACKED; break;
    case 13:
    case 14: return *why = "bld_kdb() - bad data type", false;
    default: break;
  }
  const uint16_t len = static_cast<uint16_t>(size / parts);
  for (int p = 0; p < parts; ++p) {
    if (*n >= kFdbMaxSegsPerKey) return *why = "more than 16 segments", false;
    init_sdb_func(&sdb[*n], static_cast<uint16_t>(*n + 1), static_cast<uint16_t>(off + p * len), len, seg, '+');
    if (fields) fields[*n] = seq;
    ++*n;
  }
  return true;
}

// Element kinds: 1 a field, 2 a group header, 3 a field without storage,
// 4 a substring, 5 a synonym.
bool takes_segments(const uint8_t* e) {
  const uint8_t kind = elem_view(e).kind();
  return kind == ELEM_KIND_DOMAIN || kind == ELEM_KIND_SUBSTRING || kind == ELEM_KIND_SYNONYM;
}

}  // namespace

int bld_kdb(const uint8_t* fi, int k, fdb_elem_reader read, void* ctx, KDB* kdb, SDB* sdb, uint32_t* fields,
            std::string* why) {
  const std::string name(reinterpret_cast<const char*>(fi + FI_NAME), 8);
  auto fail = [&](const std::string& what) {
    return *why = "key " + std::to_string(k) + " of file " + name + ": " + what, 0;
  };
  const uint32_t seq = file_rec_view(fi).key_seq(k);
  uint8_t key_elem[kElementSize], e[kElementSize];
  if (!read(ctx, fi + FI_NAME, seq, key_elem)) return fail("field " + std::to_string(seq) + " not found");
  const uint16_t rec_len = file_rec_view(fi).rec_len();
  int n = 0;
  std::string err;
  // Every occurrence of a field, in order.
  auto occurrences = [&](const uint8_t* f, uint32_t at) {
    const elem_view el(f);
    const uint16_t size = el.size(), occurs = el.occurs() ? el.occurs() : 1;
    for (uint16_t o = 0; o < occurs; ++o) {
      const uint32_t off = el.offset() + static_cast<uint32_t>(o) * size;
      if (off + size > rec_len) return fail("segment " + std::to_string(n + 1) + " past the record") != 0;
      if (!add_segments(f, static_cast<uint16_t>(off), sdb, &n, at, fields, &err)) return fail(err) != 0;
    }
    return true;
  };
  if (elem_view(key_elem).kind() != ELEM_KIND_GROUP) {
    if (!occurrences(key_elem, seq)) return 0;
  } else {
    // A group: the members that follow its header in sequence, up to and
    // including its last field (named at the header's domain bytes).
    const char* last = elem_view(key_elem).domain();
    bool closed = false;
    for (uint32_t at = seq + 1; !closed && read(ctx, fi + FI_NAME, at, e); ++at) {
      closed = memcmp(elem_view(e).name(), last, kElemNameLen) == 0;
      // Members with bytes of their own in the record: fields, substrings
      // and synonyms; the dictionary counts each one's segments in the key.
      if (takes_segments(e) && !occurrences(e, at)) return 0;
    }
    if (!closed) return fail("group's last field not found");
    if (n == 0) return fail("group without fields");
  }
  const uint8_t order = elem_view(key_elem).key_descending() ? '-' : '+';
  const uint8_t flags = elem_view(key_elem).key_dup() ? KDB_DUP : 0;
  INIT_KDB(kdb, static_cast<uint8_t>(k), order, flags, sdb, static_cast<uint8_t>(n));
  return n;
}

int bld_file_fdb(const uint8_t* fi, fdb_elem_reader read, void* ctx, FDB* fdb, KDB* kdb, SDB* sdb, int max_segs,
                 uint32_t* fields, std::string* why) {
  const int nkeys = file_rec_view(fi).nkeys();
  if (nkeys > kFileMaxKeys)
    return *why = "file " + std::string(reinterpret_cast<const char*>(fi), 8) + ": " + std::to_string(nkeys) + " keys",
           0;
  int used = 0;
  // Each key may take its most before the total is checked.
  for (int k = 0; k < nkeys; ++k) {
    const int n = bld_kdb(fi, k, read, ctx, &kdb[k], sdb + used, fields ? fields + used : nullptr, why);
    if (n <= 0) return 0;
    used += n;
    if (used > max_segs - kFdbMaxSegsPerKey)
      return *why = "file " + std::string(reinterpret_cast<const char*>(fi), 8) + ": more than " +
                    std::to_string(max_segs - kFdbMaxSegsPerKey) + " key segments",
             0;
  }
  const file_rec_view file(fi);
  INIT_FDB(fdb, file.fs_type(), file.rec_len(), file.variable(), kdb, static_cast<uint8_t>(nkeys));
  if (fi[FI_ORG]) fdb->fdb_org = fi[FI_ORG];
  fdb->fdb_struct_date[0] = file.struct_word(0), fdb->fdb_struct_date[1] = file.struct_word(1);
  fdb->fdb_fmt = static_cast<uint8_t>((fi[kFiFmtFlag1] == '1' ? 0x2 : 0) | (fi[kFiFmtFlag2] == '1' ? 0x4 : 0));
  return 1;
}

namespace {

// Elements found by their sequence number in those a structure file holds.
struct struct_elements {
  std::vector<std::vector<uint8_t>> all;
  static bool read(void* ctx, const uint8_t*, uint32_t seq, uint8_t* elem) {
    for (const auto& e : static_cast<struct_elements*>(ctx)->all)
      if (ld_le32(e.data(), ELEM_SEQ) == seq) return memcpy(elem, e.data(), kElementSize), true;
    return false;
  }
};

}  // namespace

int struct_key_defs(const char* base, KEY_DESC* out, int max) {
  std::vector<uint8_t> fi;
  struct_elements el;
  if (!struct_file_design(base, &fi, &el.all) || fi[FI_ORG] != ORG_INDEXED) return 0;
  FDB fdb;
  KDB kdb[kFileMaxKeys];
  SDB sdb[kFileMaxKeys * kFdbMaxSegsPerKey];
  std::string why;
  if (!bld_file_fdb(fi.data(), struct_elements::read, &el, &fdb, kdb, sdb, kFileMaxKeys * kFdbMaxSegsPerKey, nullptr,
                    &why) ||
      fdb.fdb_nkeys > max)
    return 0;
  // Keys in the order the engine's open declares them, each with duplicates
  // made unique by the primary key's segments.
  const KDB* primary = nullptr;
  for (int k = 0; k < fdb.fdb_nkeys; ++k)
    if (kdb[k].kdb_keyno == 0) primary = &kdb[k];
  for (int k = 0; k < fdb.fdb_nkeys; ++k)
    if (fill_bkey_from_kdb(&out[k], &kdb[k], primary != &kdb[k] ? primary : nullptr) != 0) return 0;
  return fdb.fdb_nkeys;
}

}  // namespace kivo
