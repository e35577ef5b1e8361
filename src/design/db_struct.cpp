// The old layout against the new: the run's design files, the STRUCT file
// loaded into the "0DO" memory files, and the comparison that decides
// whether stored data reads the same under the new description.
//
// Invariants: the comparison reads the dictionary and the STRUCT file and
// writes only the 0DO memory files (and, for a design file of "0AD", the
// structure date of its STRUCT FILE record).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "design/db_restruct.h"
#include "design/dd.h"
#include "fm/file_rec_view.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/fm_sysadm.h"
#include "fm/la.h"
#include "fm/struct_file.h"
#include "fm/whole_file.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/text.h"
#include "types/element.h"

namespace kivo {

namespace {

constexpr const char* kModule = "DB";
using rec_list = std::vector<std::vector<uint8_t>>;
using design_init = void (*)(FDB*, KDB*, SDB*, const char*, const char*);

ARB* open_design(design_init init, const char* ap, const char* ver, uint32_t* stat) {
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  char a[4] = {}, v[3] = {};
  memcpy(a, ap, 3), memcpy(v, ver, 2);
  init(&fdb, kdb, sdb, a, v);
  if (FM_OPEN(&fdb, com.proc_scope, LFB_ANY_DIR | LFB_NO_STRUCT_CHK, 0x0f, 0x0f)) return fdb.fdb_arb;
  *stat = fdb.fdb_stat;
  return nullptr;
}

int read_struct(ARB* a, uint32_t relno, uint8_t* rec, bool hold) {
  a->arb_rec = rec, a->arb_len = kStructFileRecLen, a->arb_var_len = 0, a->arb_keyno = 0;
  a->arb_key = nullptr, a->arb_relno = relno, a->arb_mod = hold ? ARB_HOLD : 0;
  const int ok = fm_read(a);
  a->arb_mod = 0;
  return ok;
}

bool same_file(const uint8_t* r, const uint8_t* from) { return memcmp(r + ELEM_FILE, from + ELEM_FILE, 8) == 0; }

// The file's elements in ELEMENT key-2 order (file name, sequence).
bool elements_of(ARB* a, const uint8_t* name, rec_list* out) {
  uint8_t from[kElementSize] = {};
  memcpy(from + ELEM_FILE, name, 8);
  return dd_scan(a, 2, from, kElementSize, same_file, out);
}

// The file's INITIAL records with their lengths, in key order.
bool initials_of(ARB* a, const uint8_t* name, rec_list* out) {
  std::vector<uint8_t> rec(kInitRecMax, 0);
  memcpy(rec.data() + INIT_FILE, name, 8);
  PROTO_FULL(a, 0, rec.data());
  a->arb_len = kInitRecMax, a->arb_mod = 0;
  if (!fm_start(a)) return a->arb_stat == FM_NOT_FOUND || a->arb_stat == FM_EOF;
  for (;;) {
    a->arb_rec = rec.data(), a->arb_len = kInitRecMax, a->arb_var_len = 0, a->arb_mod = 0;
    if (!fm_rdnxt(a) || memcmp(rec.data() + INIT_FILE, name, 8) != 0) break;
    const size_t n = a->arb_var_len ? a->arb_var_len : kInitRecMax;
    out->emplace_back(rec.begin(), rec.begin() + static_cast<long>(n));
  }
  return true;
}

// The old element by name, else by the two binaries (then *moved is set).
bool old_element(restruct_ctx* ctx, const uint8_t* e, uint8_t* o, bool* moved) {
  memset(o, 0, kElementSize);
  memcpy(o + ELEM_NAME, e + ELEM_NAME, 22);
  if (dd_read(ctx->arb[RC_OLD_ELEM], 0, o, kElementSize, false)) return true;
  memcpy(o + ELEM_BINARIES, e + ELEM_BINARIES, 8);
  if (!dd_read(ctx->arb[RC_OLD_ELEM], 4, o, kElementSize, false)) return false;
  *moved = true;
  return true;
}

bool is_key(const uint8_t* e) { return e[ELEM_KEY_ROLE] != 255; }

bool blank_mask(const uint8_t* e) {
  for (size_t i = 0; i < kMaskLen; ++i)
    if (e[ELEM_MASK + i] != ' ') return false;
  return true;
}

// Step 9 for one new element E against its old O: RS_CONVERT or r.
uint32_t compare_element(const uint8_t* e, const uint8_t* o, uint32_t r) {
  const bool dom_e = e[ELEM_KIND] == 1, dom_o = o[ELEM_KIND] == 1;
  if (!dom_e && !dom_o && !is_key(e) && !is_key(o)) return r;
  if (e[ELEM_KIND] != o[ELEM_KIND]) r = RS_CONVERT;
  if (ld_le16(e, ELEM_OFFSET) != ld_le16(o, ELEM_OFFSET) || ld_le16(e, ELEM_SIZE) != ld_le16(o, ELEM_SIZE) ||
      e[ELEM_KEY_ROLE] != o[ELEM_KEY_ROLE] || e[ELEM_KEY_NO] != o[ELEM_KEY_NO] ||
      memcmp(e + ELEM_KEY_FLAG, o + ELEM_KEY_FLAG, 4) != 0)
    return RS_CONVERT;
  if (!dom_e || !dom_o) return r;
  if (ld_le16(e, ELEM_OCCURS) != ld_le16(o, ELEM_OCCURS) || e[ELEM_TYPE] != o[ELEM_TYPE] ||
      memcmp(e + ELEM_MASK, o + ELEM_MASK, kMaskLen) != 0)
    return RS_CONVERT;
  if (e[ELEM_TYPE] == 1) {
    const bool b = blank_mask(e);
    if (!b && e[ELEM_JUSTIFY] != o[ELEM_JUSTIFY]) return RS_CONVERT;
    if (e[ELEM_CHAR_FLAG] != o[ELEM_CHAR_FLAG]) {
      r = RS_COMPATIBLE;
      if (e[ELEM_CHAR_FLAG] == '1') return RS_CONVERT;
    }
    if (e[ELEM_FILL] != o[ELEM_FILL]) {
      if (!b || e[ELEM_WORD_FLOW] != o[ELEM_WORD_FLOW]) return RS_CONVERT;
    } else if (b && e[ELEM_WORD_FLOW] != o[ELEM_WORD_FLOW]) {
      return RS_CONVERT;
    }
  }
  if (e[ELEM_SIGNED] != o[ELEM_SIGNED] || e[ELEM_LO] != o[ELEM_LO] || e[ELEM_HI] != o[ELEM_HI]) return RS_CONVERT;
  return r;
}

// Step 7: what the FILE records must share.
bool same_file_layout(const uint8_t* n, const uint8_t* o) {
  const file_rec_view now(n), was(o);
  if (n[FI_ORG] != o[FI_ORG] && !(o[FI_ORG] == 1 && n[FI_ORG] == 2)) return false;
  if (n[FI_VAR] != o[FI_VAR] || n[FI_FLAG19] != o[FI_FLAG19] || n[FI_FLAG20] != o[FI_FLAG20] ||
      now.rec_len() != was.rec_len() || now.nkeys() != was.nkeys())
    return false;
  for (int k = 0; k < kFileMaxKeys; ++k)
    if (now.key_segs(k) != was.key_segs(k) || now.key_len(k) != was.key_len(k)) return false;
  return true;
}

// Step 10: the members of each group key that are not domain fields keep
// their offset and size.
uint32_t compare_keys(restruct_ctx* ctx, const uint8_t* fi, const rec_list& elems, uint32_t r) {
  for (size_t k = 0; k < file_rec_view(fi).nkeys() && k < kFileMaxKeys; ++k) {
    const uint32_t seq = file_rec_view(fi).key_seq(k);
    size_t i = 0;
    while (i < elems.size() && ld_le32(elems[i].data(), ELEM_SEQ) != seq) ++i;
    if (i == elems.size() || elems[i][ELEM_KIND] != 2) continue;
    const uint8_t* last = elems[i].data() + ELEM_DOMAIN;
    for (++i; i < elems.size() && memcmp(elems[i].data() + ELEM_NAME, last, 22) != 0; ++i) {
      const uint8_t* m = elems[i].data();
      if (m[ELEM_KIND] == 1) continue;
      uint8_t o[kElementSize];
      bool moved = false;
      if (!old_element(ctx, m, o, &moved)) return RS_CONVERT;
      if (moved) r = RS_COMPATIBLE;
      if (ld_le16(m, ELEM_OFFSET) != ld_le16(o, ELEM_OFFSET) || ld_le16(m, ELEM_SIZE) != ld_le16(o, ELEM_SIZE))
        return RS_CONVERT;
    }
  }
  return r;
}

// Step 5: a design file's STRUCT FILE record takes the new structure date.
void renew_struct_date(restruct_ctx* ctx, const uint8_t* fi) {
  ARB* s = ctx->arb[RC_STRUCT];
  uint8_t rec[kStructFileRecLen];
  if (!read_struct(s, 1, rec, false)) return checkstat(s->arb_stat, "STRUCT file start ", kModule, __LINE__);
  if (!read_struct(s, 2, rec, true)) return checkstat(s->arb_stat, "STRUCT file read ", kModule, __LINE__);
  memcpy(rec + FI_STRUCT, fi + FI_STRUCT, 8);
  s->arb_rec = rec, s->arb_mod = 0;
  if (!fm_rewrite(s)) checkstat(s->arb_stat, "Bad STRUCT rewrite ", kModule, __LINE__);
}

}  // namespace

ARB* db_create_memory(design_init init, const char* ap, const char* what) {
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  init(&fdb, kdb, sdb, ap, "00");
  fdb.fdb_fs_type = FS_MEMORY;
  if (FM_CREATE(&fdb, com.proc_scope, 0, LFB_OPEN_NEW | LFB_ANY_DIR | LFB_NO_STRUCT_CHK, 0x0f, 0x0f))
    return fdb.fdb_arb;
  checkstat(fdb.fdb_stat, what, kModule, __LINE__);
  return nullptr;
}

int db_put_rec(ARB* a, const uint8_t* rec, size_t len, size_t var_len) {
  a->arb_rec = const_cast<uint8_t*>(rec), a->arb_len = static_cast<uint16_t>(len);
  a->arb_var_len = static_cast<uint16_t>(var_len), a->arb_mod = 0;
  const int ok = fm_write(a);
  a->arb_var_len = 0;
  return ok;
}

void INIT_DSTRUCT_FDB(FDB* fdb) {
  FDB none{};
  struct_fdb(&none, fdb);
  fdb->path.fdb_class = 0;
}

void db_dict_of(const FDB_PATH& path, char* ap, char* ver) {
  const bool fixed = is_ap(path.fdb_ap, "0AD") || is_ap(path.fdb_ap, "0SA");
  memcpy(ap, path.fdb_ap, 3);
  memcpy(ver, fixed ? "00" : path.fdb_ver, 2);
}

uint32_t db_open_files(const FDB_PATH& path, restruct_ctx* ctx, uint32_t* fm_stat) {
  db_dict_of(path, ctx->ap, ctx->ver);
  const struct {
    int slot;
    design_init init;
    uint32_t status;
  } kDesign[] = {{RC_FILE, INIT_DFI_FDB, RS_NO_FILE},
                 {RC_ELEM, INIT_DELEM_FDB, RS_NO_ELEMENT},
                 {RC_INIT, INIT_DINIT_FDB, RS_NO_INITIAL}};
  for (auto& d : kDesign)
    if (!(ctx->arb[d.slot] = open_design(d.init, ctx->ap, ctx->ver, fm_stat))) return d.status;
  FDB s;
  INIT_DSTRUCT_FDB(&s);
  s.path = path;
  s.path.fdb_class = PATH_STRUCT;
  if (!FM_OPEN(&s, com.proc_scope, LFB_ANY_DIR | LFB_NO_STRUCT_CHK, 0x0f, 0x0f))
    return *fm_stat = s.fdb_stat, RS_NO_STRUCT;
  ctx->arb[RC_STRUCT] = s.fdb_arb;
  if (!(ctx->arb[RC_BITMAP] = open_design(INIT_DBITMAP_FDB, ctx->ap, ctx->ver, fm_stat))) return RS_NO_BITMAP;
  return 0;
}

void db_close_files(restruct_ctx* ctx) {
  for (int i = 0; i < kRestructFiles; ++i) {
    if (!ctx->arb[i]) continue;
    FM_CLOSE(ctx->arb[i], i >= RC_OLD_ELEM ? ARB_SCRATCH : 0);
    ctx->arb[i] = nullptr;
  }
}

size_t struct_chunk_len(uint32_t i, uint32_t count, size_t len) {
  if (len <= kInitChunk) return INIT_DATA + len;
  const bool last = i + 1 == count || count == 2 * (i + 1);
  if (!last) return kInitRecMax;
  const size_t rest = len % kInitChunk;
  return INIT_DATA + (rest ? rest : kInitChunk);
}

int bld_old_src_fi(const FDB_PATH& path, restruct_ctx* ctx) {
  (void)path;
  if (!(ctx->arb[RC_OLD_FILE] = db_create_memory(INIT_DFI_FDB, "0DO", "Memory element file create")) ||
      !(ctx->arb[RC_OLD_ELEM] = db_create_memory(INIT_DELEM_FDB, "0DO", "Memory element file create")) ||
      !(ctx->arb[RC_OLD_INIT] = db_create_memory(INIT_DINIT_FDB, "0DO", "Memory Initial File Create")))
    return 0;
  ARB* s = ctx->arb[RC_STRUCT];
  uint8_t hdr[kStructFileRecLen], rec[kStructFileRecLen];
  if (!read_struct(s, 1, hdr, false)) return checkstat(s->arb_stat, "STRUCT file start", kModule, __LINE__), 0;
  if (!read_struct(s, 2, rec, false)) return checkstat(s->arb_stat, "STRUCT file read", kModule, __LINE__), 0;
  if (!db_put_rec(ctx->arb[RC_OLD_FILE], rec, kFileRecSize, 0))
    return checkstat(ctx->arb[RC_OLD_FILE]->arb_stat, "FILE file write ", kModule, __LINE__), 0;
  const size_t len = file_rec_view(rec).rec_len();
  const uint32_t ninit = ld_le32(hdr, STRUCT_N_INITIAL), nelem = ld_le32(hdr, STRUCT_N_ELEMENT);
  uint32_t relno = 3;
  for (uint32_t i = 0; i < ninit; ++i, ++relno) {
    if (!read_struct(s, relno, rec, false)) return checkstat(s->arb_stat, "STRUCT file read", kModule, __LINE__), 0;
    if (!db_put_rec(ctx->arb[RC_OLD_INIT], rec, kInitRecMax, struct_chunk_len(i, ninit, len)))
      return checkstat(ctx->arb[RC_OLD_INIT]->arb_stat, "INIT file write ", kModule, __LINE__), 0;
  }
  for (uint32_t i = 0; i < nelem; ++i, ++relno) {
    if (!read_struct(s, relno, rec, false)) return checkstat(s->arb_stat, "STRUCT file read", kModule, __LINE__), 0;
    if (!db_put_rec(ctx->arb[RC_OLD_ELEM], rec, kElementSize, 0))
      return checkstat(ctx->arb[RC_OLD_ELEM]->arb_stat, "ELEMENT file write ", kModule, __LINE__), 0;
  }
  return 1;
}

namespace {

// The file's initial values against the old ones: RS_CONVERT on any
// difference, 0 when alike, RS_FAILED when they cannot be read.
uint32_t compare_initials(restruct_ctx* ctx, const uint8_t* fi) {
  rec_list now_init, old_init;
  if (!initials_of(ctx->arb[RC_INIT], fi + FI_NAME, &now_init) ||
      !initials_of(ctx->arb[RC_OLD_INIT], fi + FI_NAME, &old_init))
    return checkstat(ctx->arb[RC_INIT]->arb_stat, "Bad init attach ", kModule, __LINE__), RS_FAILED;
  if (now_init.size() != old_init.size()) return RS_CONVERT;
  for (size_t i = 0; i < now_init.size(); ++i)
    if (now_init[i].size() != old_init[i].size() ||
        memcmp(now_init[i].data() + INIT_DATA, old_init[i].data() + INIT_DATA, now_init[i].size() - INIT_DATA) != 0)
      return RS_CONVERT;
  return 0;
}

// The elements against their old selves, starting from verdict r.
// Elements whose kind changed ask for a conversion, but the comparison
// goes on: a later finding must not lower that verdict again.
uint32_t compare_elements(restruct_ctx* ctx, rec_list& elems, uint32_t r) {
  bool kind_changed = false;
  for (auto& e : elems) {
    uint8_t o[kElementSize];
    bool moved = false;
    if (!old_element(ctx, e.data(), o, &moved)) {
      if (e[ELEM_KIND] == 1) return RS_CONVERT;
      r = RS_COMPATIBLE;
      continue;
    }
    if (moved) r = RS_COMPATIBLE;
    const uint32_t v = compare_element(e.data(), o, r);
    if (e[ELEM_KIND] != o[ELEM_KIND]) kind_changed = true;
    else if (v == RS_CONVERT) return v;
    else r = v;
  }
  return kind_changed ? RS_CONVERT : r;
}

}  // namespace

uint32_t comp_struct_fi(const FDB_PATH& path, restruct_ctx* ctx) {
  const bool forced = getenv("KIVO_VFY_RESTRUCT") != nullptr;
  uint8_t fi[kFileRecSize] = {};
  memcpy(fi + FI_NAME, path.fdb_name, 8);
  if (!dd_read(ctx->arb[RC_FILE], 0, fi, kFileRecSize, false))
    return checkstat(ctx->arb[RC_FILE]->arb_stat, "FILE read failed", kModule, __LINE__), RS_FAILED;
  if (ld_le32(fi, FI_STAMP) == 0xFFFFFFFF || ld_le32(fi, FI_STAMP + 4) == 0xFFFFFFFF) return RS_NOT_COMPILED;
  rec_list elems;
  if (!elements_of(ctx->arb[RC_ELEM], fi + FI_NAME, &elems) || elems.empty() ||
      memcmp(elems[0].data() + ELEM_STAMP, fi + FI_STAMP, 8) != 0)
    return RS_NOT_COMPILED;

  if (!bld_old_src_fi(path, ctx)) return RS_FAILED;
  uint8_t old_fi[kFileRecSize] = {};
  memcpy(old_fi + FI_NAME, path.fdb_name, 8);
  if (!dd_read(ctx->arb[RC_OLD_FILE], 0, old_fi, kFileRecSize, false))
    return checkstat(ctx->arb[RC_OLD_FILE]->arb_stat, "FILE read failed", kModule, __LINE__), RS_FAILED;
  if (!forced && memcmp(old_fi + FI_STRUCT, fi + FI_STRUCT, 8) == 0) return RS_SAME;
  if (is_ap(path.fdb_ap, "0AD")) renew_struct_date(ctx, fi);
  if (forced || !same_file_layout(fi, old_fi)) return RS_CONVERT;
  if (const uint32_t v = compare_initials(ctx, fi)) return v;
  const uint32_t r = compare_elements(ctx, elems, RS_COMPATIBLE);
  if (r == RS_CONVERT) return r;
  return compare_keys(ctx, fi, elems, r);
}

}  // namespace kivo

namespace kivo {

namespace {

// The structure file's records: a header with the counts, the file record,
// the initial values, the elements.
int write_struct_recs(ARB* a, const uint8_t* fi, const rec_list& elems, const rec_list& inits) {
  uint8_t rec[kStructFileRecLen] = {};
  st_le32(rec, STRUCT_N_INITIAL, static_cast<uint32_t>(inits.size()));
  st_le32(rec, STRUCT_N_ELEMENT, static_cast<uint32_t>(elems.size()));
  auto put = [&](const uint8_t* data, size_t len) {
    memset(rec, 0, sizeof rec);
    memcpy(rec, data, len);
    return db_put_rec(a, rec, kStructFileRecLen, 0);
  };
  uint8_t hdr[8];
  memcpy(hdr, rec, 8);
  int ok = put(hdr, 8) && put(fi, kFileRecSize);
  for (size_t i = 0; ok && i < inits.size(); ++i) ok = put(inits[i].data(), inits[i].size());
  for (size_t i = 0; ok && i < elems.size(); ++i) ok = put(elems[i].data(), kElementSize);
  return ok;
}

// The stamp SYSDIR keeps for the file follows its structure.
void stamp_sysdir(const FDB_PATH& path, const uint8_t* fi) {
  uint8_t key[16];
  memset(key, ' ', 16);
  const bool src = memcmp(path.fdb_ap, "0AD", 3) == 0;
  memcpy(key + 3, src ? path.fdb_src_ap : path.fdb_ap, 3);
  memcpy(key + 8, path.fdb_name, 8);
  if (!IS_BOB_AP(path.fdb_ap)) memcpy(key, path.fdb_db, 3);
  else if (memcmp(path.fdb_ap, "0SA", 3) != 0) memcpy(key + 6, src ? path.fdb_src_ver : path.fdb_ver, 2);
  sa_update_stamp(key, file_rec_view(fi).struct_word(0), file_rec_view(fi).struct_word(1));
}

}  // namespace

int db_renew_struct(const FDB_PATH& path, restruct_ctx* ctx) {
  uint8_t fi[kFileRecSize] = {};
  memcpy(fi + FI_NAME, path.fdb_name, 8);
  rec_list elems, inits;
  if (!dd_read(ctx->arb[RC_FILE], 0, fi, kFileRecSize, false) ||
      !elements_of(ctx->arb[RC_ELEM], fi + FI_NAME, &elems) || !initials_of(ctx->arb[RC_INIT], fi + FI_NAME, &inits))
    return 0;
  FDB_PATH tmp = path;
  char n[9];
  static uint32_t serial = 0;
  snprintf(n, sizeof n, "_R%06X", static_cast<unsigned>((getpid() * 131u + ++serial) & 0xFFFFFF));
  memcpy(tmp.fdb_name, n, 8);
  FDB s, old;
  INIT_DSTRUCT_FDB(&s);
  s.path = tmp, s.path.fdb_class = PATH_STRUCT;
  const uint32_t opts = LFB_ANY_DIR | LFB_NO_STRUCT_CHK | LFB_NO_STRUCT_FILE;
  if (!FM_CREATE(&s, com.mark_scope, 0, opts | LFB_OPEN_NEW, 0x0f, 0x0f))
    return checkstat(s.fdb_stat, "Bad STRUCT file create ", kModule, __LINE__), 0;
  ARB* a = s.fdb_arb;
  int ok = write_struct_recs(a, fi, elems, inits);
  if (!FM_CLOSE(a, 0)) ok = 0;
  INIT_DSTRUCT_FDB(&old);
  old.path = path, old.path.fdb_class = PATH_STRUCT;
  s.fdb_opt = old.fdb_opt = opts;
  if (!ok || !fm_replace(&old, &s, 0)) {
    checkstat(ok ? old.fdb_stat : s.fdb_stat, "Bad file copy", kModule, __LINE__);
    FM_SCRATCH(&s, opts | LFB_FORCE);
    return 0;
  }
  stamp_sysdir(path, fi);
  return 1;
}

}  // namespace kivo
