// The files of a migration run: the portable file and its pieces, the
// native file and its descriptor, the structure a descriptor and a map are
// built from, and the replace of a native file through a temporary one.
#include <unistd.h>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "compiler/file_desc.h"
#include "design/dd.h"
#include "design/dd_msg.h"
#include "design/mu_internal.h"
#include "fm/file_rec_view.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/la.h"
#include "fm/struct_file.h"
#include "fm/whole_file.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/sys_err.h"
#include "foundation/trace.h"
#include "types/element.h"

namespace kivo {

namespace {

constexpr uint32_t kPortOpts = LFB_ANY_DIR | LFB_NO_STRUCT_CHK;
constexpr uint32_t kDesignOpts = LFB_ANY_DIR | LFB_NO_STRUCT_CHK;

using design_init = void (*)(FDB*, KDB*, SDB*, const char*, const char*);

// The design files of "0AD" carried with a fixed descriptor of their own.
struct fixed_design {
  const char* name;
  design_init init;
};
const fixed_design kFixed[] = {{"ELEMENT ", INIT_DELEM_FDB}, {"FILE    ", INIT_DFI_FDB}, {"STMT    ", INIT_DSTMT_FDB}};

const fixed_design* fixed_of(const FDB_PATH& p) {
  if (!is_ap(p, "0AD")) return nullptr;
  for (const fixed_design& f : kFixed)
    if (memcmp(p.fdb_name, f.name, 8) == 0) return &f;
  return nullptr;
}

uint32_t g_tmp_serial = 0;

// The element records of one file: from the application's ELEMENT design
// file (mode 1) or its STRUCT file (mode 2), in sequence order.
struct elem_src {
  std::vector<std::vector<uint8_t>> elems;
  static bool read(void* ctx, const uint8_t*, uint32_t seq, uint8_t* elem) {
    auto* s = static_cast<elem_src*>(ctx);
    for (auto& e : s->elems)
      if (ld_le32(e.data(), ELEM_SEQ) == seq) return memcpy(elem, e.data(), kElementSize), true;
    return false;
  }
};

const char* ver_of(const FDB_PATH& p) { return IS_BOB_AP(p.fdb_ap) ? "00" : p.fdb_ver; }

// Opens design file `init` of the path's application.
ARB* open_design(design_init init, const FDB_PATH& p) {
  FDB d;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  char a[4] = {}, v[3] = {};
  memcpy(a, p.fdb_ap, 3), memcpy(v, ver_of(p), 2);
  init(&d, kdb, sdb, a, v);
  d.fdb_struct_date[0] = d.fdb_struct_date[1] = 0;
  return FM_OPEN(&d, com.mark_scope, kDesignOpts, 0x01, 0x0f) ? d.fdb_arb : nullptr;
}

bool load_elements(const FDB_PATH& p, int mode, elem_src* src, ARB* msg1, ARB* msg2, uint32_t* stat) {
  src->elems.clear();
  if (mode == 1) {
    ARB* a = open_design(INIT_DELEM_FDB, p);
    if (!a) return checkstat(0, "Bad ELEMENT file open ", "MU", __LINE__), false;
    std::vector<uint8_t> e(kElementSize);
    for (uint32_t seq = 1;; ++seq) {
      memset(e.data(), 0, kElementSize);
      memcpy(e.data() + ELEM_FILE, p.fdb_name, 8);
      st_le32(e.data(), ELEM_SEQ, seq);
      if (!dd_read(a, 2, e.data(), kElementSize, false)) break;
      src->elems.push_back(e);
    }
    FM_CLOSE(a, 0);
    return true;
  }
  ARB* s = open_struct_arb(p);
  if (!s) return *stat = MU_NO_STRUCT, db_err(MU_NO_STRUCT, p, msg1, msg2), false;
  uint8_t rec[kStructFileRecLen];
  bool ok = read_struct_rec(s, 1, rec);
  const uint32_t ninit = ld_le32(rec, STRUCT_N_INITIAL), nelem = ld_le32(rec, STRUCT_N_ELEMENT);
  for (uint32_t i = 0; ok && i < nelem; ++i) {
    if (!read_struct_rec(s, 3 + ninit + i, rec)) {
      ok = false;
      break;
    }
    src->elems.emplace_back(rec, rec + kElementSize);
  }
  if (!ok) checkstat(s->arb_stat, "Bad STRUCT file read ", "MU", __LINE__);
  if (!FM_CLOSE(s, 0)) checkstat(0, "Bad STRUCT file close ", "MU", __LINE__);
  return ok;
}

// The FILE record of the file: mode 1 from the application's FILE design
// file, mode 2 record 2 of its STRUCT file.
bool file_record(const FDB_PATH& p, int mode, uint8_t* fi, uint32_t* stat) {
  memset(fi, ' ', kFileRecSize);
  memcpy(fi + FI_NAME, p.fdb_name, 8);
  if (mode == 1) {
    ARB* a = open_design(INIT_DFI_FDB, p);
    if (!a) return *stat = FM_NO_DESIGN, checkstat(0, "bld_native_fdb - Cannot open file ", "MU", __LINE__), false;
    const bool ok = dd_read(a, 0, fi, kFileRecSize, false);
    if (!ok)
      *stat = FM_NO_FILE_DEF, checkstat(a->arb_stat, "bld_native_fdb() - Cannot read files file\n", "MU", __LINE__);
    FM_CLOSE(a, 0);
    return ok;
  }
  ARB* s = open_struct_arb(p);
  if (!s) return *stat = MU_NO_STRUCT, false;
  uint8_t rec[kStructFileRecLen];
  const bool ok = read_struct_rec(s, 2, rec);
  if (!ok) *stat = s->arb_stat, checkstat(s->arb_stat, "Bad STRUCT file record read ", "MU", __LINE__);
  else memcpy(fi, rec, kFileRecSize);
  FM_CLOSE(s, 0);
  return ok;
}

FDB_PATH tmp_path(const FDB_PATH& p) {
  FDB_PATH t = p;
  char n[9];
  snprintf(n, sizeof n, "_%07X", static_cast<unsigned>((getpid() * 4099u + ++g_tmp_serial) & 0xFFFFFFF));
  memcpy(t.fdb_name, n, 8);
  return t;
}

void struct_of(const FDB_PATH& p, FDB* s) {
  INIT_FDB(s, FS_DISK, kStructFileRecLen, 0, nullptr, 0);
  s->path = p;
  s->path.fdb_class = PATH_STRUCT;
  s->fdb_struct_date[0] = s->fdb_struct_date[1] = kStampUnknown;
}

}  // namespace

void mu_trace(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(ut_dbg, kUtDbgSize, fmt, ap);
  va_end(ap);
  TRACE("MU");
}

bool is_ap(const FDB_PATH& p, const char* ap) { return memcmp(p.fdb_ap, ap, 3) == 0; }

std::string path_name(const FDB_PATH& p) { return std::string(p.fdb_name, 8); }

ARB* open_struct_arb(const FDB_PATH& path) {
  FDB s;
  struct_of(path, &s);
  return FM_OPEN(&s, com.mark_scope, LFB_NO_STRUCT_CHK | LFB_ANY_DIR, 0x01, 0x0f) ? s.fdb_arb : nullptr;
}

int read_struct_rec(ARB* a, uint32_t relno, uint8_t* rec) {
  a->arb_rec = rec, a->arb_len = kStructFileRecLen, a->arb_keyno = 0;
  a->arb_key = nullptr, a->arb_key_end = nullptr, a->arb_relno = relno;
  a->arb_mod = 0, a->arb_lock_wait = 0;
  return fm_read(a);
}

int mu_bld_native_fdb(FDB* fdb, KDB* kdb, SDB* sdb, const FDB_PATH& path, int mode, ARB* msg1, ARB* msg2) {
  if (const fixed_design* f = fixed_of(path)) {
    char a[4] = {}, v[3] = {};
    memcpy(a, path.fdb_src_ap, 3), memcpy(v, path.fdb_src_ver, 2);
    f->init(fdb, kdb, sdb, a, v);
    fdb->path = path;
    fdb->path.fdb_class = PATH_DATA;
    fdb->fdb_acc = 0x0f, fdb->fdb_shr = 0;
    return 1;
  }
  INIT_FDB(fdb, FS_DISK, 0, 0, kdb, 0);
  fdb->path = path;
  fdb->path.fdb_class = PATH_DATA;
  uint8_t fi[kFileRecSize];
  uint32_t stat = 0;
  if (!file_record(path, mode, fi, &stat)) return fdb->fdb_stat = stat, 0;
  elem_src src;
  if (!load_elements(path, mode, &src, msg1, msg2, &stat)) return fdb->fdb_stat = stat, 0;
  std::string why;
  const FDB_PATH keep = fdb->path;
  if (!bld_file_fdb(fi, elem_src::read, &src, fdb, kdb, sdb, kMuMaxSegs, nullptr, &why)) {
    mu_trace("bld_kdb() - %s", why.c_str());
    fdb->fdb_stat = FM_BAD_STRUCT_DEF;
    return db_err(FM_BAD_STRUCT_DEF, path, msg1, msg2), 0;
  }
  fdb->path = keep;
  fdb->fdb_acc = 0x0f, fdb->fdb_shr = 0;
  return 1;
}

// ---- the portable file ----

void port_fdb(const FDB_PATH& native, FDB* fdb) {
  INIT_FDB(fdb, FS_DISK, kPortPiece, 1, nullptr, 0);
  fdb->path = native;
  fdb->path.fdb_class = PATH_PORTDATA;
}

int open_port_fi(mu_run* r) {
  FDB f;
  port_fdb(r->path, &f);
  if (FM_OPEN(&f, com.mark_scope, kPortOpts, 0x01, 0x0f)) return r->port = f.fdb_arb, 1;
  if (f.fdb_stat != FM_NO_FILE) db_err(f.fdb_stat, r->path, r->msg1, r->msg2);
  return r->port = nullptr, f.fdb_stat == FM_NO_FILE ? -1 : 0;
}

int replace_port_fi(mu_run* r) {
  FDB f;
  port_fdb(r->path, &f);
  if (!FM_SCRATCH(&f, kPortOpts) && f.fdb_stat != FM_NO_FILE) return db_err(f.fdb_stat, r->path, r->msg1, r->msg2), 0;
  port_fdb(r->path, &f);
  if (!FM_CREATE(&f, com.mark_scope, 0, kPortOpts | LFB_OPEN_NEW, 0x0f, 0x0f))
    return db_err(f.fdb_stat, r->path, r->msg1, r->msg2), 0;
  r->port = f.fdb_arb;
  return 1;
}

int rdnxt_piece(mu_run* r, char* buf) {
  memset(buf, ' ', kPortPiece);
  ARB* a = r->port;
  a->arb_rec = reinterpret_cast<uint8_t*>(buf), a->arb_len = kPortPiece, a->arb_var_len = 0;
  a->arb_keyno = 0, a->arb_mod = 0;
  if (!fm_rdnxt(a)) {
    if (a->arb_stat == FM_EOF) return 0;
    if (a->arb_stat != FM_REC_LEN_DIFF)
      return checkstat(a->arb_stat, "rdnxt_port_fi() - Cannot read PORT file\n", "MU", __LINE__), -1;
    mu_trace("Warning ! Incorrect record size, larger than %d", static_cast<int>(kPortPiece));
  }
  return a->arb_var_len ? a->arb_var_len : static_cast<int>(kPortPiece);
}

int rdnxt_port_fi(mu_run* r, char* buf, size_t len) {
  char piece[kPortPiece];
  memset(buf, ' ', len);
  for (size_t off = 0; off < len || (off == 0 && len == 0); off += kPortPiece) {
    const int got = rdnxt_piece(r, piece);
    if (got < 0) return -1;
    if (got == 0) {
      if (off == 0) return 0;
      // A record cut short: the file is damaged, nothing of it is used.
      return checkstat(FM_EOF, "rdnxt_port_fi() - Cannot read PORT file\n", "MU", __LINE__), -1;
    }
    const size_t want = len - off < kPortPiece ? len - off : kPortPiece;
    if (static_cast<size_t>(got) != want) {
      ++r->port_rec;  // read, and the one the run stops at
      mu_stop(r, "the record is not the " + std::to_string(len) + " characters the header gives");
      return checkstat(FM_REC_LEN_DIFF, "rdnxt_port_fi() - Cannot read PORT file\n", "MU", __LINE__), -1;
    }
    memcpy(buf + off, piece, want);
    if (len == 0) break;
  }
  ++r->port_rec;
  return 1;
}

int write_port_rec(mu_run* r, const char* rec, size_t len) {
  ARB* a = r->port;
  for (size_t off = 0; off < len; off += kPortPiece) {
    const size_t n = len - off < kPortPiece ? len - off : kPortPiece;
    a->arb_rec = reinterpret_cast<uint8_t*>(const_cast<char*>(rec + off));
    a->arb_len = kPortPiece, a->arb_var_len = static_cast<uint16_t>(n), a->arb_mod = 0;
    if (!fm_write(a)) return checkstat(a->arb_stat, "main() - Cannot write PORT file\n", "MU", __LINE__), 0;
  }
  return 1;
}

// ---- the native file ----

int open_native_fi(mu_run* r, bool write) {
  FDB& f = r->nat_fdb;
  if (!mu_bld_native_fdb(&f, r->nat_kdb, r->nat_sdb, r->path, 2, r->msg1, r->msg2)) return 0;
  const uint32_t opts = LFB_ANY_DIR | (fixed_of(r->path) ? uint32_t{LFB_NO_STRUCT_CHK} : 0u);
  const uint8_t access = write ? 0x0f : 0x01;
  // Alone when it can; shared when another holds the file open.
  if (FM_OPEN(&f, com.mark_scope, opts, access, 0) ||
      (f.fdb_stat == FM_LOCK_REFUSED && FM_OPEN(&f, com.mark_scope, opts, access, 0x0f))) {
    r->native = f.fdb_arb;
    return 1;
  }
  return 0;
}

int replace_native_fi(mu_run* r) {
  const bool with_struct = r->req[MU_STRUCT] == '1';
  const bool fixed = fixed_of(r->path) != nullptr;
  if (!with_struct && !fixed && !IS_BOB_AP(r->path.fdb_ap)) {
    uint8_t fi[kFileRecSize];
    uint32_t stat = 0;
    if (!file_record(r->path, 1, fi, &stat)) return db_err(FM_NO_DESIGN, r->path, r->msg1, r->msg2), 0;
    if (file_rec_view(fi).struct_word(0) == kStampUnknown)
      return db_err(FM_BAD_STRUCT_DEF, r->path, r->msg1, r->msg2), 0;
  }
  const FDB_PATH tmp = r->tmp = tmp_path(r->path);
  if (with_struct && !fixed) {
    if (!bld_native_struct(r)) return 0;
  }
  FDB& f = r->tmp_fdb;
  if (!mu_bld_native_fdb(&f, r->nat_kdb, r->nat_sdb, with_struct && !fixed ? tmp : r->path, 2, r->msg1, r->msg2)) {
    if (f.fdb_stat) db_err(f.fdb_stat, r->path, r->msg1, r->msg2);
    return 0;
  }
  f.path = tmp;
  if (!FM_CREATE(&f, com.mark_scope, 0, LFB_OPEN_NEW | LFB_ANY_DIR | LFB_NO_STRUCT_CHK, 0x0f, 0))
    return db_err(f.fdb_stat, r->path, r->msg1, r->msg2), 0;
  r->tmp_made = true;
  r->native = f.fdb_arb;
  return 1;
}

int finish_native_fi(mu_run* r, bool keep) {
  // A plain close: a caller's handle on the file stays as it was.
  if (r->native) FM_CLOSE(r->native, 0), r->native = nullptr;
  if (!r->tmp_made) return 1;
  r->tmp_made = false;
  FDB tmp = r->tmp_fdb, old = r->tmp_fdb;
  old.path = r->path;
  tmp.fdb_opt = old.fdb_opt = LFB_ANY_DIR | LFB_NO_STRUCT_CHK;
  tmp.path.fdb_tmp_id = old.path.fdb_tmp_id = 0;
  FDB ts, os;
  struct_of(tmp.path, &ts);
  struct_of(r->path, &os);
  ts.fdb_opt = os.fdb_opt = LFB_ANY_DIR | LFB_NO_STRUCT_CHK;
  if (!keep) {
    FM_SCRATCH(&tmp, tmp.fdb_opt | LFB_FORCE);
    if (r->struct_made) FM_SCRATCH(&ts, ts.fdb_opt | LFB_FORCE);
    return 1;
  }
  if (!fm_replace(&old, &tmp, 0)) {
    db_err(old.fdb_stat, r->path, r->msg1, r->msg2);
    FM_SCRATCH(&tmp, tmp.fdb_opt | LFB_FORCE);
    if (r->struct_made) FM_SCRATCH(&ts, ts.fdb_opt | LFB_FORCE);
    return 0;
  }
  if (r->struct_made && !fm_replace(&os, &ts, 0)) return db_err(os.fdb_stat, r->path, r->msg1, r->msg2), 0;
  return 1;
}

int rdnxt_native_fi(mu_run* r) {
  ARB* a = r->native;
  a->arb_rec = r->nat_buf.data(), a->arb_len = static_cast<uint16_t>(kNativeBufSize), a->arb_var_len = 0;
  a->arb_mod = 0;
  if (fm_rdnxt(a)) return a->arb_var_len ? a->arb_var_len : r->nat_fdb.fdb_rec_len;
  if (a->arb_stat == FM_EOF) return 0;
  if (a->arb_stat == FM_REC_TOO_LONG) {
    // A record cut to the buffer would be carried as if whole.
    mu_trace("Warning ! Incorrect record size, larger than %d", r->nat_fdb.fdb_rec_len);
    db_err(FM_REC_TOO_LONG, r->path, r->msg1, r->msg2);
    return -1;
  }
  checkstat(a->arb_stat, "rdnxt_native_fi() - Cannot read NATIVE file\n", "MU", __LINE__);
  return -2;
}

int open_struct_fi(const FDB_PATH& p, int mode, ARB* msg1, ARB* msg2, std::vector<std::vector<uint8_t>>* out) {
  elem_src src;
  uint32_t stat = 0;
  if (!load_elements(p, mode, &src, msg1, msg2, &stat)) return 0;
  *out = std::move(src.elems);
  return 1;
}

}  // namespace kivo
