// Maps built from a file's structure (the TME work file), the FILE map,
// the initial-value map, and the structure section of a portable file:
// written from a STRUCT file, skipped, or read back into a new one.
//
// The section: the structure header (23 characters), the FILE record, each
// INITIAL record as one record of the initial-value length, each ELEMENT
// record, and a blank record of 900. An initial-value record is converted
// with its chunk's part of the map (its key entries, then the data inside
// it); its length is never a multiple of 900, so a reader finds its last
// piece as the short one without knowing the map.
#include <algorithm>
#include <cstring>

#include "design/dd_msg.h"
#include "design/mu_internal.h"
#include "fm/file_rec_view.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/la.h"
#include "fm/struct_file.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/sys_err.h"
#include "types/element.h"

namespace kivo {

namespace {

constexpr tme E(uint16_t off, uint16_t len, uint8_t kind) { return tme{off, 0, len, 0, kind, 0, 0, 0}; }

// The FILE record, every byte: its numbers as numbers (a stamp as its two
// words), its texts, flag characters and the bytes it only carries as text.
const tme kFileMap[] = {
    E(FI_NAME, 8, PK_BYTES),
    E(FI_NAME + 8, 4, PK_BYTES),
    E(FI_FS_TYPE, 1, PK_UNSIGNED),
    E(FI_ORG, 1, PK_UNSIGNED),
    E(FI_ALLOC, 1, PK_BYTES),
    E(FI_ALLOC_ROW, 1, PK_UNSIGNED),
    E(FI_ALLOC_COL, 1, PK_UNSIGNED),
    E(FI_ALLOC_COL + 1, 1, PK_BYTES),
    E(FI_VAR, 1, PK_BYTES),
    E(FI_FLAG19, 1, PK_BYTES),
    E(FI_FLAG20, 1, PK_BYTES),
    E(FI_FLAG20 + 1, 1, PK_BYTES),
    E(FI_FLAG20 + 2, FI_CODES - FI_FLAG20 - 2, PK_BYTES),
    E(FI_CODES, 4, PK_BYTES),
    E(FI_CODES + 4, 4, PK_BYTES),
    E(FI_CODES + 8, 4, PK_BYTES),
    E(FI_CLASS, 3, PK_BYTES),
    E(FI_REC_LEN, 2, PK_UNSIGNED),
    E(FI_NUMBER, 4, PK_UNSIGNED),
    E(FI_NUMBER2, 4, PK_UNSIGNED),
    E(FI_NUMBER2 + 4, 4, PK_UNSIGNED),
    E(FI_NUMBER2 + 8, 4, PK_UNSIGNED),
    E(FI_NUM_STAMP, 4, PK_UNSIGNED),
    E(FI_NUM_STAMP + 4, 4, PK_UNSIGNED),
    E(FI_STAMP, 4, PK_UNSIGNED),
    E(FI_STAMP + 4, 4, PK_UNSIGNED),
    E(FI_STRUCT, 4, PK_UNSIGNED),
    E(FI_STRUCT + 4, 4, PK_UNSIGNED),
};
static_assert(FI_NUMBER2 + 12 == FI_NUM_STAMP && FI_STRUCT + 8 == FI_SPECIAL);
// Then the special-use slots, the key count, each key's segments, lengths
// and field sequences, and the closing bytes.
std::vector<tme> file_entries() {
  std::vector<tme> v(std::begin(kFileMap), std::end(kFileMap));
  for (int i = 0; i < kFileSpecialSlots; ++i) v.push_back(E(static_cast<uint16_t>(FI_SPECIAL + 4 * i), 4, PK_UNSIGNED));
  v.push_back(E(FI_NKEYS, 1, PK_UNSIGNED));
  for (int k = 0; k < kFileMaxKeys; ++k) v.push_back(E(static_cast<uint16_t>(FI_KEY_SEGS + k), 1, PK_UNSIGNED));
  for (int k = 0; k < kFileMaxKeys; ++k) v.push_back(E(static_cast<uint16_t>(FI_KEY_LEN + 2 * k), 2, PK_UNSIGNED));
  for (int k = 0; k < kFileMaxKeys; ++k) v.push_back(E(static_cast<uint16_t>(FI_KEY_SEQ + 4 * k), 4, PK_UNSIGNED));
  v.push_back(E(FI_ALL_SPECIAL, 1, PK_BYTES));
  v.push_back(E(FI_ALL_SPECIAL + 1, kFileRecSize - FI_ALL_SPECIAL - 1, PK_BYTES));
  return v;
}

void INIT_TME_FDB(FDB* fdb) {
  INIT_FDB(fdb, FS_MEMORY, kTmeSize, 0, nullptr, 0);
  INIT_UNIQUE_PATH(&fdb->path, "MU", "TM", PATH_DATA);
  memcpy(fdb->path.fdb_name, "TME     ", 8);
}

// One entry per occurrence of a domain field, by its data type; 0 after a
// system error.
int elem_entries(const uint8_t* e, std::vector<tme>* out) {
  if (e[ELEM_KIND] >= 2 && e[ELEM_KIND] <= 5) return 1;
  const uint8_t type = e[ELEM_TYPE];
  const uint16_t size = ld_le16(e, ELEM_SIZE), occurs = ld_le16(e, ELEM_OCCURS) ? ld_le16(e, ELEM_OCCURS) : 1;
  uint8_t kind = 0, d = e[ELEM_HI], p = e[ELEM_LO];
  uint16_t port_len = 0;
  switch (type) {
    case 1:
    case 2: kind = PK_BYTES; break;
    // A universal date is already its sixteen digits.
    case 15: kind = PK_BYTES, port_len = 16; break;
    case 5: kind = e[ELEM_SIGNED] == '1' ? PK_SIGNED : PK_UNSIGNED; break;
    case 8: kind = PK_PACKED; break;
    case 11: kind = PK_LOGIC; break;
    case 12: kind = PK_VARPT; break;
    default:
      kind = date_kind_of(type);
      if (!kind) return sys_err("MU", __LINE__, "fill_tme_fi() - bad data type %d", type), 0;
  }
  uint8_t msk[kMskSize];
  if (date_type_of(kind) &&
      !msk_compile(reinterpret_cast<const char*>(e + ELEM_MASK), type, e[ELEM_HI], e[ELEM_LO], size, msk))
    return sys_err("MU", __LINE__, "fill_tme_fi() - bad element length"), 0;
  for (uint16_t o = 0; o < occurs; ++o) {
    tme t{static_cast<uint16_t>(ld_le16(e, ELEM_OFFSET) + o * size), 0, size, port_len, kind, d, p, 0};
    if (update_tme_blk(&t, 0, d, p) < 0) return 0;
    if (!t.port_len) break;
    if (date_type_of(kind) && !msk_put(t.nat_off, msk)) return 0;
    out->push_back(t);
  }
  return 1;
}

bool blank(const char* p, size_t n) {
  return std::all_of(p, p + n, [](char c) { return c == ' '; });
}

int put_struct_rec(ARB* a, const uint8_t* data, size_t len) {
  uint8_t rec[kStructFileRecLen] = {};
  memcpy(rec, data, std::min<size_t>(len, sizeof rec));
  a->arb_rec = rec, a->arb_len = kStructFileRecLen, a->arb_var_len = kStructFileRecLen, a->arb_mod = 0;
  if (fm_write(a)) return 1;
  return checkstat(a->arb_stat, "Bad STRUCT file write ", "MU", __LINE__), 0;
}

// Converts the record with `m` and writes it; 0 after a failure.
int put_port(mu_run* r, const port_map& m, const uint8_t* native, size_t nat_len) {
  std::vector<char> port(m.port_len + 1u, ' ');
  if (!map_to_port(m, native, nat_len, port.data())) return 0;
  return write_port_rec(r, port.data(), m.port_len);
}

int get_port(mu_run* r, const port_map& m, uint8_t* native, size_t nat_len) {
  std::vector<char> port(m.port_len + 1u, ' ');
  if (rdnxt_port_fi(r, port.data(), m.port_len) != 1) return 0;
  return map_to_native(m, native, nat_len, port.data());
}

// The pieces of one initial-value record, up to the short one.
int get_init_text(mu_run* r, std::string* out) {
  char piece[kPortPiece];
  out->clear();
  ++r->port_rec;
  for (;;) {
    const int n = rdnxt_piece(r, piece);
    if (n <= 0) return checkstat(FM_EOF, "rdnxt_port_fi() - Cannot read PORT file\n", "MU", __LINE__), 0;
    out->append(piece, static_cast<size_t>(n));
    if (static_cast<size_t>(n) < kPortPiece) return 1;
  }
}

}  // namespace

const port_map& file_map() {
  static const port_map m = [] {
    port_map f;
    f.common = file_entries();
    fill_map_offsets(&f);
    return f;
  }();
  return m;
}

ARB* open_tme_fi() {
  FDB f;
  INIT_TME_FDB(&f);
  if (FM_CREATE(&f, com.mark_scope, 0, LFB_OPEN_NEW | LFB_NO_STRUCT_CHK, 0x0f, 0x0f)) return f.fdb_arb;
  checkstat(f.fdb_stat, "open_tme_fi() - Cannot create TME file\n", "MU", __LINE__);
  return nullptr;
}

void close_tme_fi(ARB* a) {
  if (a && !FM_CLOSE(a, ARB_SCRATCH | ARB_CLOSE_NOW)) checkstat(a->arb_stat, "Cannot close TME file", "MU", __LINE__);
}

void start_tme(ARB* a) {
  a->arb_keyno = 0, a->arb_key = nullptr, a->arb_mod = ARB_FIRST;
  fm_start(a);
  a->arb_mod = 0;
}

int rdnxt_tme(ARB* a, tme* t) {
  uint8_t rec[kTmeSize];
  a->arb_rec = rec, a->arb_len = kTmeSize, a->arb_mod = 0;
  if (!fm_rdnxt(a)) return 0;
  *t = tme_load(rec);
  return 1;
}

int map_from_elements(const std::vector<std::vector<uint8_t>>& elems, port_map* out, ARB* tme_arb) {
  out->common.clear();
  out->verbs.clear();
  for (auto& e : elems)
    if (!elem_entries(e.data(), &out->common)) return 0;
  if (!fill_map_offsets(out)) return 0;
  for (const tme& t : out->common) {
    uint8_t rec[kTmeSize];
    tme_store(t, rec);
    tme_arb->arb_rec = rec, tme_arb->arb_len = kTmeSize, tme_arb->arb_var_len = 0, tme_arb->arb_mod = 0;
    if (!fm_write(tme_arb))
      return checkstat(tme_arb->arb_stat, "fill_tme_fi() - Cannot write TME file\n", "MU", __LINE__), 0;
  }
  return 1;
}

ARB* fill_tme_fi(const FDB_PATH& path, ARB* msg1, ARB* msg2, port_map* out) {
  ARB* t = open_tme_fi();
  if (!t) return nullptr;
  std::vector<std::vector<uint8_t>> elems;
  if (!open_struct_fi(path, 2, msg1, msg2, &elems) || !map_from_elements(elems, out, t)) {
    close_tme_fi(t);
    return nullptr;
  }
  // The run walks the map as the TME file holds it.
  port_map m;
  start_tme(t);
  for (tme e; rdnxt_tme(t, &e);) m.common.push_back(e);
  m.port_len = out->port_len;
  *out = std::move(m);
  return t;
}

namespace {

// Every byte of the chunk [from, to): the fields wholly inside it as the
// data map converts them, the rest (gaps, a field cut by the chunk's end) as
// bytes. from_off gets each entry's data offset (0 for bytes).
void map_chunk(const std::vector<tme>& fields, uint32_t from, uint32_t to, std::vector<tme>& chunk,
               std::vector<uint16_t>& from_off) {
  uint32_t at = from;
  auto bytes = [&](uint32_t a, uint32_t b) {
    if (b <= a) return;
    chunk.push_back(
        tme{static_cast<uint16_t>(INIT_DATA + a - from), 0, static_cast<uint16_t>(b - a), 0, PK_BYTES, 0, 0, 0});
    from_off.push_back(0);
  };
  for (const tme& f : fields) {
    const uint32_t fe = f.nat_off + f.nat_len;
    if (fe <= at || f.nat_off >= to) continue;
    if (f.nat_off < at || fe > to) continue;  // cut or overlapping: carried as bytes
    bytes(at, f.nat_off);
    tme t = f;
    t.nat_off = static_cast<uint16_t>(INIT_DATA + f.nat_off - from);
    t.msk_bank = 1;
    chunk.push_back(t);
    from_off.push_back(f.nat_off);
    at = fe;
  }
  bytes(at, to);
}

// Each date entry's mask, read at its data offset, put in the initial-value bank.
int copy_date_masks(const init_map* out, const std::vector<std::vector<uint16_t>>& src) {
  for (size_t c = 0; c < out->chunks.size(); ++c)
    for (size_t i = 0; i < out->chunks[c].size(); ++i) {
      const tme& t = out->chunks[c][i];
      uint8_t msk[kMskSize];
      if (!date_type_of(t.kind)) continue;
      if (!msk_read(src[c][i], msk) || !msk_put(static_cast<uint16_t>(kMskInitBank | t.port_off), msk)) return 0;
    }
  return 1;
}

}  // namespace

int bld_init_map(const port_map& data, uint16_t rec_len, init_map* out) {
  out->chunks.clear();
  std::vector<tme> fields = data.common;
  std::sort(fields.begin(), fields.end(), [](const tme& a, const tme& b) { return a.nat_off < b.nat_off; });
  const uint32_t chunks = rec_len ? (rec_len + kInitChunk - 1) / kInitChunk : 1;
  std::vector<std::vector<uint16_t>> src;  // the data offset of each date entry
  int pos = 0;
  for (uint32_t c = 0; c < chunks; ++c) {
    const uint32_t from = c * kInitChunk, to = std::min<uint32_t>(rec_len, from + kInitChunk);
    std::vector<tme> chunk(init_hdr_map().common);
    std::vector<uint16_t> from_off(chunk.size(), 0);
    map_chunk(fields, from, to, chunk, from_off);
    for (tme& t : chunk) {
      if ((pos = update_tme_blk(&t, pos, t.digits, t.decimals)) < 0) return 0;
      if (t.port_len && t.port_off + t.port_len > out->port_len)
        out->port_len = static_cast<uint16_t>(t.port_off + t.port_len);
    }
    out->chunks.push_back(std::move(chunk));
    src.push_back(std::move(from_off));
  }
  // A length of whole pieces would leave the reader no short piece to stop at.
  if (out->port_len % kPortPiece == 0) ++out->port_len;
  return copy_date_masks(out, src);
}

namespace {

// An INITIAL record (its length from the record length) into the portable
// text of its chunk.
int init_to_port(const init_map& im, const uint8_t* rec, char* port) {
  memset(port, ' ', im.port_len + 1u);
  const uint32_t chunk = ld_le32(rec, INIT_CHUNK);
  if (chunk < 1 || chunk > im.chunks.size())
    return sys_err("MU", __LINE__, "bld_port_struct() - initial chunk %u of %zu", chunk, im.chunks.size()), 0;
  for (const tme& t : im.chunks[chunk - 1])
    if (!native_to_port(t, rec, port)) return 0;
  return 1;
}

// The portable text of an INITIAL record back: the chunk whose key entries
// are filled. Its length, or 0.
size_t init_to_native(const init_map& im, const std::string& port, uint8_t* rec) {
  if (port.size() < im.port_len) return 0;
  for (const auto& chunk : im.chunks) {
    if (blank(port.data() + chunk[0].port_off, chunk[0].port_len)) continue;
    memset(rec, 0, kStructFileRecLen);
    size_t end = INIT_DATA;
    for (const tme& t : chunk) {
      if (!port_to_native(t, rec, port.data())) return 0;
      end = std::max<size_t>(end, t.nat_off + t.nat_len);
    }
    return end;
  }
  return 0;
}

}  // namespace

int bld_port_struct(mu_run* r) {
  ARB* s = open_struct_arb(r->path);
  if (!s) return db_err(MU_NO_STRUCT, r->path, r->msg1, r->msg2), 0;
  uint8_t hdr[kStructFileRecLen], fi[kStructFileRecLen], rec[kStructFileRecLen];
  int ok = read_struct_rec(s, 1, hdr) && read_struct_rec(s, 2, fi);
  const uint32_t ninit = ld_le32(hdr, STRUCT_N_INITIAL), nelem = ld_le32(hdr, STRUCT_N_ELEMENT);
  init_map im;
  ok = ok && put_port(r, struct_hdr_map(), hdr, 8) && put_port(r, file_map(), fi, kFileRecSize) &&
       bld_init_map(r->map, file_rec_view(fi).rec_len(), &im);
  std::vector<char> port(im.port_len + 1u);
  for (uint32_t i = 0; ok && i < ninit; ++i)
    ok = read_struct_rec(s, 3 + i, rec) && init_to_port(im, rec, port.data()) &&
         write_port_rec(r, port.data(), im.port_len);
  for (uint32_t i = 0; ok && i < nelem; ++i)
    ok = read_struct_rec(s, 3 + ninit + i, rec) && put_port(r, element_map(), rec, kElementSize);
  const std::string end(kPortPiece, ' ');
  ok = ok && write_port_rec(r, end.data(), kPortPiece);
  if (!ok && s->arb_stat) checkstat(s->arb_stat, "Cannot read STRUCT file\n", "MU", __LINE__);
  FM_CLOSE(s, 0);
  return ok;
}

int read_port_struct(mu_run* r) {
  uint8_t hdr[8], fi[kFileRecSize];
  if (!get_port(r, struct_hdr_map(), hdr, sizeof hdr) || !get_port(r, file_map(), fi, sizeof fi)) return 0;
  std::string text;
  for (uint32_t i = 0; i < ld_le32(hdr, STRUCT_N_INITIAL); ++i)
    if (!get_init_text(r, &text)) return 0;
  std::vector<char> port(element_map().port_len + 1u);
  for (uint32_t i = 0; i < ld_le32(hdr, STRUCT_N_ELEMENT); ++i)
    if (rdnxt_port_fi(r, port.data(), element_map().port_len) != 1) return 0;
  char piece[kPortPiece];
  ++r->port_rec;  // the blank record that ends the section
  return rdnxt_piece(r, piece) > 0;
}

int bld_native_struct(mu_run* r) {
  uint8_t hdr[8] = {}, fi[kFileRecSize];
  if (!get_port(r, struct_hdr_map(), hdr, sizeof hdr) || !get_port(r, file_map(), fi, sizeof fi)) return 0;
  const uint32_t ninit = ld_le32(hdr, STRUCT_N_INITIAL), nelem = ld_le32(hdr, STRUCT_N_ELEMENT);
  std::vector<std::string> inits(ninit);
  for (auto& t : inits)
    if (!get_init_text(r, &t)) return 0;
  std::vector<std::vector<uint8_t>> elems(nelem, std::vector<uint8_t>(kElementSize));
  for (auto& e : elems)
    if (!get_port(r, element_map(), e.data(), kElementSize)) return 0;
  char piece[kPortPiece];
  if (rdnxt_piece(r, piece) <= 0) return 0;
  // The initial values need the map the elements give.
  port_map data;
  init_map im;
  ARB* t = open_tme_fi();
  const bool mapped = t && map_from_elements(elems, &data, t) && bld_init_map(data, file_rec_view(fi).rec_len(), &im);
  close_tme_fi(t);
  if (!mapped) return 0;
  std::vector<std::vector<uint8_t>> init_recs(ninit, std::vector<uint8_t>(kStructFileRecLen));
  for (uint32_t i = 0; i < ninit; ++i)
    if (!init_to_native(im, inits[i], init_recs[i].data()))
      return sys_err("MU", __LINE__, "bld_native_struct() - initial record %u does not convert", i + 1), 0;
  return bld_native_init(r, hdr, fi, init_recs, elems);
}

int bld_native_init(mu_run* r, const uint8_t* hdr, const uint8_t* fi, const std::vector<std::vector<uint8_t>>& inits,
                    const std::vector<std::vector<uint8_t>>& elems) {
  FDB s;
  INIT_FDB(&s, FS_DISK, kStructFileRecLen, 0, nullptr, 0);
  s.path = r->tmp;
  s.path.fdb_class = PATH_STRUCT;
  const uint32_t opts = LFB_ANY_DIR | LFB_NO_STRUCT_CHK | LFB_NO_STRUCT_FILE;
  if (!FM_SCRATCH(&s, opts) && s.fdb_stat != FM_NO_FILE)
    return checkstat(s.fdb_stat, "Bad STRUCT file scratch ", "MU", __LINE__), 0;
  INIT_FDB(&s, FS_DISK, kStructFileRecLen, 0, nullptr, 0);
  s.path = r->tmp;
  s.path.fdb_class = PATH_STRUCT;
  if (!FM_CREATE(&s, com.mark_scope, 0, opts | LFB_OPEN_NEW, 0x0f, 0x0f))
    return checkstat(s.fdb_stat, "Bad STRUCT file create ", "MU", __LINE__), 0;
  r->struct_made = true;
  ARB* a = s.fdb_arb;
  int ok = put_struct_rec(a, hdr, 8) && put_struct_rec(a, fi, kFileRecSize);
  for (size_t i = 0; ok && i < inits.size(); ++i) ok = put_struct_rec(a, inits[i].data(), kStructFileRecLen);
  for (size_t i = 0; ok && i < elems.size(); ++i) ok = put_struct_rec(a, elems[i].data(), kElementSize);
  if (!FM_CLOSE(a, 0)) ok = 0;
  return ok;
}

}  // namespace kivo
