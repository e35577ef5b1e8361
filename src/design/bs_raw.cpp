// The import of raw record files and the byte-order conversions both ways.
//
// Every conversion here is its own inverse but for the packed signs, which
// the raw form writes as 0xD (negative) and 0xC (positive) and the engine
// as its configured sign halves; a record therefore goes out and back
// unchanged whenever its packed fields carry the engine's own signs.
#include "design/bs_raw.h"

#include <array>
#include <memory>
#include <string>
#include <utility>

#include "compiler/stmt_layout.h"
#include "compiler/stmt_view.h"
#include "fm/fm_objects.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/sys_err.h"

namespace kivo {

namespace {

// Data types whose stored bytes depend on the machine.
enum : uint16_t {
  DT_BINARY = 5,
  DT_BIN_DATE = 6,
  DT_BIN_DATE2 = 7,
  DT_PACKED = 8,
  DT_PD_DATE = 9,
  DT_PD_DATE2 = 10,
  DT_VAR_POINT = 12
};

// Created or opened when it exists, its records kept: open at once, any
// directory, no structure file or check.
constexpr uint32_t kImportCreateOpts = LFB_NO_STRUCT_FILE | LFB_ANY_DIR | LFB_NO_STRUCT_CHK | LFB_OPEN_NEW;
static_assert(kImportCreateOpts == 0x1882);

void swap2(uint8_t* p) { std::swap(p[0], p[1]); }
void reverse4(uint8_t* p) {
  std::swap(p[0], p[3]);
  std::swap(p[1], p[2]);
}

void convert_sign(uint8_t* p, bool to_native) {
  const uint8_t s = *p & 0x0F;
  const uint8_t out =
      to_native ? (s == kRawNegSign ? pd_neg_sign() : pd_pos_sign()) : (s == pd_neg_sign() ? kRawNegSign : kRawPosSign);
  *p = static_cast<uint8_t>((*p & 0xF0) | out);
}

void convert_value(uint8_t* p, uint16_t type, uint16_t size, bool to_native) {
  switch (type) {
    case DT_BINARY:
      if (size == 2) swap2(p);
      if (size == 4) reverse4(p);
      break;
    case DT_BIN_DATE:
    case DT_BIN_DATE2:
      if (size == 4) reverse4(p);
      if (size == 8) reverse4(p), reverse4(p + 4);
      break;
    case DT_PACKED:
    case DT_PD_DATE:
    case DT_PD_DATE2:
      if (size >= 1) convert_sign(p + size - 1, to_native);
      break;
    case DT_VAR_POINT:  // the packed value, then its scale byte
      if (size >= 2) convert_sign(p + size - 2, to_native);
      break;
    default: break;
  }
}

bool past(const bs_field& f, size_t len) {
  return f.occurs && static_cast<size_t>(f.pos) + static_cast<size_t>(f.size) * f.occurs > len;
}

std::array<std::vector<uint16_t>, kVerbCount> derive_occ_offsets() {
  std::array<std::vector<uint16_t>, kVerbCount> t;
  for (int v = 0; v < kVerbCount; ++v)
    for (const xme_stmt* f = xme_stmt_desc[v]; f && f->type; ++f)
      if (stmt_is_occ_type(f->type)) t[static_cast<size_t>(v)].push_back(f->rec_off);
  return t;
}

// ---- the copy ----

struct copy_ctx {
  const char* raw_text;
  FILE* raw;
  FDB* native;
  uint8_t* buf;
  size_t rec_len;
  const bs_field* flds;
  int nflds;
  bool stmt;
  std::vector<uint8_t> probe;  // a keyless file's record read back
};

// A file without keys has no duplicate to refuse a write: its record n is
// already on file when the native file holds an n-th record.
bool keyless_taken(copy_ctx& c, uint32_t n) {
  if (c.native->fdb_nkeys) return false;
  ARB* a = c.native->fdb_arb;
  c.probe.resize(c.rec_len);
  a->arb_rec = c.probe.data(), a->arb_len = static_cast<uint16_t>(c.rec_len);
  a->arb_relno = n, a->arb_mod = 0, a->arb_keyno = 0, a->arb_key = nullptr;
  return fm_read(a) == 1;
}

int write_rec(copy_ctx& c, size_t len) {
  ARB* a = c.native->fdb_arb;
  a->arb_rec = c.buf, a->arb_len = static_cast<uint16_t>(c.rec_len), a->arb_var_len = static_cast<uint16_t>(len);
  a->arb_mod = 0;
  const int ok = fm_write(a);
  a->arb_var_len = 0;
  return ok;
}

void convert_read(copy_ctx& c, size_t len) {
  convert_rec(c.buf, len, c.flds, c.nflds, true);
  if (c.stmt && len >= kStmtSize) adjust_stmt(c.buf);
}

// Organisation 1: the raw file is the one record.
int copy_image(copy_ctx& c) {
  const size_t got = fread(c.buf, 1, c.rec_len, c.raw);
  if (got < c.rec_len && (got == 0 || !c.native->fdb_var)) return 1;
  convert_read(c, got);
  if (keyless_taken(c, 1)) {
    printf("Already on file at record %d in %s\n", 1, c.raw_text);
    return 1;
  }
  if (write_rec(c, got)) return 1;
  checkstat(c.native->fdb_arb->arb_stat, "copy_recs() - bad rec write", "bs", __LINE__);
  return 0;
}

// The record `n` of the copy is on file already when a keyless file holds
// it or a keyed one refuses it as a duplicate: said, and passed over.
void write_live(copy_ctx& c, uint32_t n, uint32_t count, size_t len) {
  convert_read(c, len);
  if (keyless_taken(c, n)) {
    printf("Already on file at record %d in %s\n", static_cast<int>(count), c.raw_text);
    return;
  }
  if (write_rec(c, len)) return;
  const uint32_t st = c.native->fdb_arb->arb_stat;
  if (st == kDupKeyStatus) printf("Already on file at record %d in %s\n", static_cast<int>(count), c.raw_text);
  else checkstat(st, "copy_recs() - bad native write", "bs", __LINE__);
}

int copy_records(copy_ctx& c) {
  raw_walk walk(c.raw, c.buf, c.rec_len, !c.native->fdb_var);
  if (const char* f = walk.start()) return sys_err("bs", __LINE__, "%s", f), 0;
  uint32_t live = 0, dotted = 0;
  for (;;) {
    const raw_step r = walk.next();
    if (walk.count() != dotted && walk.count() % 100 == 0) putchar('.'), fflush(stdout);
    dotted = walk.count();
    switch (r.kind) {
      case raw_step::END: return 1;
      case raw_step::FAULT: return sys_err("bs", __LINE__, "%s", r.fault), 0;
      // A short record of a fixed-length file is reported and left out:
      // written, it would be padded with whatever the buffer held.
      case raw_step::WRONG_LEN: sys_err("bs", __LINE__, "copy_recs() - bad rec len"); break;
      case raw_step::DEAD: break;
      case raw_step::LIVE: write_live(c, ++live, walk.count(), r.len); break;
    }
  }
}

}  // namespace

const char* raw_walk::start() {
  uint8_t hdr[kRawFileHdr];
  if (fread(hdr, 1, sizeof hdr, raw_) != sizeof hdr) return "copy_recs() - bad fi hdr";
  short_len_ = (ld_be16(hdr, RAW_FLAGS) & kRawShortAllowed) && ld_be16(hdr, RAW_SHORT) != 0;
  return nullptr;
}

// Reads past `len` bytes of data at most a record length at a time.
bool raw_walk::skip(uint32_t len) {
  while (len) {
    const size_t n = std::min<size_t>(len, rec_len_ ? rec_len_ : 1);
    if (fread(buf_, 1, n, raw_) != n) return false;
    len -= static_cast<uint32_t>(n);
  }
  return true;
}

bool raw_walk::trailer() {
  uint8_t t[kRawTrailer];
  return fread(t, 1, sizeof t, raw_) == sizeof t;
}

raw_step raw_walk::next() {
  uint8_t rh[kRawRecHdr];
  if (fread(rh, 1, sizeof rh, raw_) != sizeof rh) return {raw_step::END, 0, nullptr};
  ++count_;
  const uint32_t len = short_len_ ? ld_be16(rh, RAW_LEN16) : ld_be32(rh, RAW_LEN32);
  if (len == 0) return {raw_step::END, 0, nullptr};
  raw_step::kind_t kind = raw_step::LIVE;
  if (rh[RAW_STATE] & kRawNotLive) kind = raw_step::DEAD;
  else if (len > rec_len_) return fault("copy_recs() - rec to long");
  else if (fixed_ && len != rec_len_) kind = raw_step::WRONG_LEN;
  if (kind != raw_step::LIVE) {
    if (!skip(len)) return fault("copy_recs() - bad skip");
  } else if (fread(buf_, 1, len, raw_) != len) {
    return fault("copy_recs() - bad rec read");
  }
  if (!trailer()) return fault("copy_recs() - bad trail read");
  return {kind, len, nullptr};
}

bool bs_is_stmt_file(const FDB_PATH& p) {
  return memcmp(p.fdb_ap, "0AD", 3) == 0 && memcmp(p.fdb_name, "STMT    ", 8) == 0;
}

int convert_rec(uint8_t* rec, size_t len, const bs_field* flds, int nflds, bool to_native) {
  int skipped = 0;
  for (int i = 0; i < nflds; ++i) {
    const bs_field& f = flds[i];
    if (past(f, len)) {
      ++skipped;
      continue;
    }
    for (uint32_t k = 0; k < f.occurs; ++k) convert_value(rec + f.pos + k * f.size, f.type, f.size, to_native);
  }
  return skipped;
}

int fields_past(const bs_field* flds, int nflds, size_t rec_len) {
  int n = 0;
  for (int i = 0; i < nflds; ++i) n += past(flds[i], rec_len);
  return n;
}

void convert_occ(uint8_t* occ, bool to_native) {
  if (to_native) swap2(occ + 2);
  if (ld_le16(occ, 2) == OCC_NUMBER) swap2(occ);
  if (!to_native) swap2(occ + 2);
}

const std::vector<uint16_t>& stmt_occ_offsets(int verb) {
  static const std::array<std::vector<uint16_t>, kVerbCount> table = derive_occ_offsets();
  static const std::vector<uint16_t> none;
  return verb >= 0 && verb < kVerbCount ? table[static_cast<size_t>(verb)] : none;
}

void convert_stmt(uint8_t* rec, bool to_native) {
  for (uint16_t off : stmt_occ_offsets(stmt_view(rec).verb())) convert_occ(rec + STMT_OPND + off, to_native);
}

int adjust_rec(uint8_t* rec, size_t len, const bs_field* flds, int nflds) {
  return convert_rec(rec, len, flds, nflds, true);
}
void adjust_stmt(uint8_t* rec) { convert_stmt(rec, true); }
void adjust_occ(uint8_t* occ) { convert_occ(occ, true); }

int copy_recs(const char* raw_text, FILE* raw, FDB* native, uint8_t* buf, const bs_field* flds, int nflds) {
  copy_ctx c{raw_text, raw, native, buf, native->fdb_rec_len, flds, nflds, bs_is_stmt_file(native->path), {}};
  // A field table reaching past the record is reported once per file; its
  // entries that do not fit are left alone in every record.
  if (int n = fields_past(flds, nflds, c.rec_len))
    sys_err("bs", __LINE__, "copy_recs() - %d field(s) past the record length %zu in %s", n, c.rec_len, raw_text);
  return native->fdb_org == ORG_RELATIVE ? copy_image(c) : copy_records(c);
}

namespace {

const cstr* root_of_paths() {
  return com.path_root.ptr && com.path_root.len && com.path_root.ptr[0] ? &com.path_root : &com.data_dir;
}

}  // namespace

std::string bs_root() {
  const cstr* base = root_of_paths();
  return std::string(base->ptr ? base->ptr : "", base->ptr ? strnlen(base->ptr, base->len) : 0);
}

std::string raw_os_path(const FDB_PATH* raw_path) {
  const cstr* p = ss_bld_path(raw_path, 0, root_of_paths(), nullptr, nullptr);
  return p ? std::string(p->ptr) : std::string();
}

int raw_to_native(const FDB_PATH* raw_path, FDB* native, const bs_field* flds, int nflds) {
  const std::string text = raw_os_path(raw_path);
  if (text.empty()) return 0;
  std::unique_ptr<FILE, int (*)(FILE*)> raw(fopen(text.c_str(), "rb"), fclose);
  if (!raw) return 0;
  if (!FM_CREATE(native, com.sys_scope, 0, kImportCreateOpts, 0x0f, 0)) {
    checkstat(native->fdb_stat, "raw_to_native() - bad file create", "bs", __LINE__);
    return 0;
  }
  std::vector<uint8_t> buf(native->fdb_rec_len);
  fputs(text.c_str(), stdout);
  const int r = copy_recs(text.c_str(), raw.get(), native, buf.data(), flds, nflds);
  putchar('\n');
  fflush(stdout);
  FM_CLOSE(native->fdb_arb, ARB_CLOSE_NOW);
  return r;
}

}  // namespace kivo
