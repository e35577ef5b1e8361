// The pending file of query suspend files, the open file of a query's
// ELEMENT files, and the carrying of pending suspend files across a
// background suspend and resume or into a background child's scope level.
//
// Invariant: a pending record is added only after its suspend file is
// whole; a save stream carries each file as its 28-byte path followed by
// the file's own records and their closing record, then one 1-byte record.
#include <cstring>

#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/la.h"
#include "fm/whole_file.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/sys_err.h"
#include "process/pb.h"
#include "process/qp.h"

namespace kivo {

ARB* qp_pend_arb = nullptr;
ARB* qp_pend_walk = nullptr;
ARB* qp_open_arb = nullptr;

namespace {

constexpr char kModule[] = "QP";
constexpr uint32_t kPendCreateSize = 50;
// The pending key: scope word, application, name.
enum : size_t { PD_SCOPE = 0, PD_AP = 4, PD_NAME = 9 };

void pend_fdb(FDB* fdb, KDB* kdb, SDB* sdb) {
  INIT_FDB(fdb, FS_MEMORY, kPendLen, 0, kdb, 1);
  INIT_UNIQUE_PATH(&fdb->path, "QP", "PN", PATH_DATA);
  init_sdb_func(&sdb[0], 0, PD_SCOPE, 4, SDB_UBINARY, '+');
  init_sdb_func(&sdb[1], 1, PD_AP, 3, SDB_CHARS, '+');
  init_sdb_func(&sdb[2], 2, PD_NAME, 8, SDB_CHARS, '+');
  INIT_KDB(kdb, 0, '+', 0, sdb, 3);
  kdb->kdb_len = 15;
}

void open_fdb(FDB* fdb, KDB* kdb, SDB* sdb) {
  INIT_FDB(fdb, FS_MEMORY, kOpenLen, 0, kdb, 1);
  INIT_UNIQUE_PATH(&fdb->path, "QP", "OP", PATH_DATA);
  init_sdb_func(&sdb[0], 0, 0, 4, SDB_UBINARY, '+');
  init_sdb_func(&sdb[1], 1, 4, 3, SDB_CHARS, '+');
  INIT_KDB(kdb, 0, '+', KDB_DUP, sdb, 2);
  kdb->kdb_len = 7;
}

void store_path(const FDB_PATH& p, uint8_t* out) { fdb_path_store(p, out); }

// A suspend file of `path` opened at its own level; null reported.
ARB* open_susp(const FDB_PATH& path, const char* text) {
  FDB fdb;
  INIT_FDB(&fdb, FS_MEMORY, kQpSuspRecMax, 1, nullptr, 0);
  fdb.path = path;
  if (FM_OPEN(&fdb, path.fdb_tmp_id, 0, 15, 15)) return fdb.fdb_arb;
  checkstat(fdb.fdb_stat, text, kModule, __LINE__);
  return nullptr;
}

}  // namespace

void qp_init() {
  qp_register();
  if (qp_pend_arb) return;
  FDB fdb;
  KDB kdb[1];
  SDB sdb[3];
  pend_fdb(&fdb, kdb, sdb);
  if (!FM_CREATE(&fdb, com.sys_scope, kPendCreateSize, LFB_OPEN_NEW, 15, 15))
    return checkstat(fdb.fdb_stat, "can't create pending file", kModule, __LINE__);
  qp_pend_arb = fdb.fdb_arb;
  FAD fad{nullptr, nullptr};
  if (!(qp_pend_walk = FM_ATTACH(qp_pend_arb, &fad, com.sys_scope)))
    checkstat(qp_pend_arb->arb_stat, "pend attach failed", kModule, __LINE__);
  KDB okdb[1];
  SDB osdb[2];
  open_fdb(&fdb, okdb, osdb);
  if (!FM_CREATE(&fdb, com.sys_scope, 0, LFB_OPEN_NEW, 15, 15))
    return checkstat(fdb.fdb_stat, "can't create open", kModule, __LINE__);
  qp_open_arb = fdb.fdb_arb;
}

int qp_add_pend(const FDB_PATH& path, const char* text) {
  if (!qp_pend_arb) qp_init();
  uint8_t rec[kPendLen];
  store_path(path, rec);
  PROTO_FULL(qp_pend_arb, 0, rec);
  qp_pend_arb->arb_len = qp_pend_arb->arb_var_len = kPendLen, qp_pend_arb->arb_mod = 0;
  if (fm_write(qp_pend_arb) || qp_pend_arb->arb_stat == FM_DUP_KEY) return 1;
  checkstat(qp_pend_arb->arb_stat, text, kModule, __LINE__);
  return 0;
}

void qp_del_pend(const FDB_PATH& path) {
  if (!qp_pend_arb) return;
  uint8_t rec[kPendLen];
  store_path(path, rec);
  PROTO_FULL(qp_pend_arb, 0, rec);
  qp_pend_arb->arb_len = kPendLen, qp_pend_arb->arb_mod = ARB_EQUAL | ARB_HOLD;
  if (fm_read(qp_pend_arb)) {
    qp_pend_arb->arb_mod = 0;
    if (!fm_del(qp_pend_arb)) checkstat(qp_pend_arb->arb_stat, "can't delete pend record", kModule, __LINE__);
  }
  qp_pend_arb->arb_mod = 0;
}

std::vector<FDB_PATH> qp_pend_of(uint32_t scope) {
  std::vector<FDB_PATH> out;
  if (!qp_pend_walk) return out;
  uint8_t rec[kPendLen] = {};
  st_le32(rec, PD_SCOPE, scope);
  ARB* a = qp_pend_walk;
  PROTO_FULL(a, 0, rec);
  a->arb_key = rec, a->arb_key_len = 4, a->arb_len = kPendLen, a->arb_mod = ARB_PARTIAL;
  if (!fm_start(a)) {
    if (a->arb_stat != FM_NOT_FOUND && a->arb_stat != FM_EOF)
      checkstat(a->arb_stat, "can't start pend", kModule, __LINE__);
    return out;
  }
  for (a->arb_key = nullptr, a->arb_mod = 0; fm_rdnxt(a) && ld_le32(rec, PD_SCOPE) == scope; a->arb_mod = 0) {
    FDB_PATH p;
    fdb_path_load(rec, &p);
    out.push_back(p);
  }
  a->arb_mod = 0;
  return out;
}

void qp_clr_scope(uint32_t scope) {
  for (const FDB_PATH& p : qp_pend_of(scope)) qp_del_pend(p);
}

int qp_save_pend(ARB* susp, uint32_t scope) {
  for (const FDB_PATH& p : qp_pend_of(scope)) {
    ARB* src = open_susp(p, "can't open source session file");
    if (!src) return 0;
    uint8_t rec[kPathLen];
    store_path(p, rec);
    susp->arb_keyno = 0, susp->arb_key = nullptr, susp->arb_rec = rec;
    susp->arb_len = susp->arb_var_len = kPathLen, susp->arb_mod = 0;
    int ok = fm_write(susp);
    if (!ok) checkstat(susp->arb_stat, "can't write pend path", kModule, __LINE__);
    if (ok) ok = fm_save_fi(susp, src);
    src->arb_mod = 0;
    FM_CLOSE(src, 0);
    if (!ok) return 0;
  }
  uint8_t end = 1;
  susp->arb_rec = &end, susp->arb_len = susp->arb_var_len = 1, susp->arb_mod = 0;
  return fm_write(susp);
}

int qp_load_pend(ARB* susp, uint32_t scope) {
  std::vector<uint8_t> buf(kQpSuspRecMax);
  for (;;) {
    PROTO_FULL(susp, 0, buf.data());
    susp->arb_len = kQpSuspRecMax, susp->arb_mod = 0;
    if (!fm_rdnxt(susp)) return 0;
    const uint16_t n = susp->arb_var_len ? susp->arb_var_len : susp->arb_len;
    if (n == 1) return buf[0] == 1;
    if (n != kPathLen) return susp->arb_stat = FM_REC_LEN_DIFF, 0;  // not a path: a foreign stream
    FDB_PATH p;
    fdb_path_load(buf.data(), &p);
    p.fdb_tmp_id = scope;
    FDB fdb;
    INIT_FDB(&fdb, FS_MEMORY, kQpSuspRecMax, 1, nullptr, 0);
    fdb.path = p;
    if (!fm_load_fi(&fdb, susp, scope)) return susp->arb_stat = fdb.fdb_stat, 0;
    fdb.fdb_arb->arb_mod = 0;
    FM_CLOSE(fdb.fdb_arb, 0);
    if (!qp_add_pend(p, "can't write pend")) return 0;
  }
}

int copy_susp_fi(uint32_t new_scope, uint32_t old_scope, const FDB_PATH& path) {
  FDB_PATH from = path;
  from.fdb_tmp_id = old_scope;
  ARB* src = open_susp(from, "can't open source session file");
  if (!src) return 0;
  FDB fdb;
  INIT_FDB(&fdb, FS_MEMORY, kQpSuspRecMax, 1, nullptr, 0);
  fdb.path = path;
  fdb.path.fdb_tmp_id = new_scope;
  if (!FM_CREATE(&fdb, new_scope, 50, LFB_SCOPED | LFB_OPEN_NEW, 15, 15)) {
    checkstat(fdb.fdb_stat, "can't open dest suspend file", kModule, __LINE__);
    FM_CLOSE(src, 0);
    return 0;
  }
  ARB* dst = fdb.fdb_arb;
  std::vector<uint8_t> buf(kQpSuspRecMax);
  int ok = 1;
  src->arb_mod = ARB_FIRST, src->arb_key = nullptr;
  if (fm_start(src)) {
    for (src->arb_rec = buf.data(), src->arb_len = kQpSuspRecMax, src->arb_mod = 0; fm_rdnxt(src);
         src->arb_len = kQpSuspRecMax, src->arb_mod = 0) {
      dst->arb_rec = buf.data(), dst->arb_len = dst->arb_var_len = src->arb_var_len, dst->arb_mod = 0;
      if (!fm_write(dst)) {
        checkstat(dst->arb_stat, "can't copy suspend", kModule, __LINE__);
        ok = 0;
        break;
      }
    }
  }
  src->arb_mod = 0, dst->arb_mod = 0;
  if (!FM_CLOSE(src, 0)) sys_err(kModule, __LINE__, "can't close src suspend");
  if (!FM_CLOSE(dst, 0)) sys_err(kModule, __LINE__, "can't close dst suspend");
  return ok;
}

void qp_copy_pend(uint32_t new_scope, uint32_t old_scope) {
  bool first = true;
  for (const FDB_PATH& p : qp_pend_of(old_scope)) {
    if (!copy_susp_fi(new_scope, old_scope, p)) continue;
    if (first) {
      first = false;
      using init_fn = void (*)(FDB*, KDB*, SDB*, uint32_t);
      for (init_fn f : {INIT_QPARM_FDB, INIT_QSORT_FDB, INIT_QSLCT_FDB, INIT_QTAG_FDB}) {
        FDB src, dst;
        KDB k1[kInitMaxKeys], k2[kInitMaxKeys];
        SDB s1[kInitMaxSegs], s2[kInitMaxSegs];
        f(&src, k1, s1, old_scope), f(&dst, k2, s2, new_scope);
        if (!FM_OPEN(&src, com.mark_scope, 0, 15, 15)) continue;
        if (FM_CREATE(&dst, new_scope, 10, LFB_SCOPED | LFB_OPEN_NEW, 15, 15)) {
          copy_qfi(dst.fdb_arb, src.fdb_arb);
          FM_CLOSE(dst.fdb_arb, 0);
        }
        FM_CLOSE(src.fdb_arb, 0);
      }
    }
    FDB_PATH n = p;
    n.fdb_tmp_id = new_scope;
    qp_add_pend(n, "can't add pend");
  }
}

int copy_qfi(ARB* dst, ARB* src) {
  if (!src) return 1;
  if (!dst) return sys_err(kModule, __LINE__, "NULL dst file"), 0;
  std::vector<uint8_t> buf(kQpSuspRecMax);
  src->arb_mod = ARB_FIRST, src->arb_key = nullptr, src->arb_keyno = 0;
  if (!fm_start(src)) {
    if (src->arb_stat == FM_EOF || src->arb_stat == FM_NOT_FOUND) return 1;
    checkstat(src->arb_stat, "can't start source file", kModule, __LINE__);
    return 0;
  }
  for (;;) {
    src->arb_rec = buf.data(), src->arb_len = kQpSuspRecMax, src->arb_mod = 0;
    if (!fm_rdnxt(src)) return src->arb_stat == FM_EOF;
    dst->arb_keyno = 0, dst->arb_key = nullptr, dst->arb_rec = buf.data();
    dst->arb_len = dst->arb_var_len = src->arb_var_len ? src->arb_var_len : src->arb_len, dst->arb_mod = 0;
    if (fm_write(dst)) continue;
    if (dst->arb_stat != FM_DUP_KEY) sys_err(kModule, __LINE__, "bad QFI write");
    return 0;
  }
}

}  // namespace kivo
