// The steps of a QUERY process: the criteria set up by the query mode, the
// editors (or "SCAN" in tag mode) run as children, and the suspend file
// written at the end; and the reading of that file back, checked record by
// record, for the sorted query.
//
// Invariant: the suspend file is scratched and made again whole before its
// pending record is added, so a reader never finds a half-written file
// under a pending record.
#include <cstring>

#include "compiler/compiler.h"
#include "compiler/em.h"
#include "compiler/em_access.h"
#include "compiler/em_file.h"
#include "compiler/em_frame.h"
#include "compiler/em_records.h"
#include "compiler/pcb.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/end_codes.h"
#include "foundation/maddr.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "process/fp.h"
#include "process/pb.h"
#include "process/pb_slct.h"
#include "process/pi.h"
#include "process/pi_exec.h"
#include "process/pi_internal.h"
#include "process/pi_pcf.h"
#include "process/process.h"
#include "process/qp.h"
#include "process/qs.h"
#include "screen/wm.h"

namespace kivo {

uint32_t qp_auto_scope = 0;

namespace {

constexpr char kModule[] = "QP";
constexpr uint32_t kMsgSuspend = 300230;
constexpr uint8_t kFrmSort = 7, kFrmSlct = 8, kFrmExpr9 = 9;
enum : size_t { QP_WORD = 36, QP_BYTE = 40, QP_VER = 1641, QP_TAIL = 1642 };  // QP_TAIL: 2 blanks
static_assert(QP_TAIL + 2 == kQparmLen);
constexpr size_t kFrameText = 800;

using init_fn = void (*)(FDB*, KDB*, SDB*, uint32_t);

ARB* open_qfi_file(init_fn init, uint32_t scope, bool create) {
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  init(&fdb, kdb, sdb, scope);
  if (FM_OPEN(&fdb, com.mark_scope, 0, 15, 15)) return fdb.fdb_arb;
  if (!create) return nullptr;
  init(&fdb, kdb, sdb, scope);
  return FM_CREATE(&fdb, scope, 10, LFB_SCOPED | LFB_OPEN_NEW, 15, 15) ? fdb.fdb_arb : nullptr;
}

const char* proc_ap(PCB* p) { return p->invoc.ap_id(); }
const char* proc_nam(PCB* p) { return p->invoc.proc_nam(); }

// The module's default selection statements (QSLCT form) or sort lines.
int copy_defaults(PCB* p, ARB* dst, bool sort) {
  EM* em = p->pcb_em;
  ARB* src = sort ? em->em_qsort_arb : em->em_qslct_arb;
  if (!src) return 1;
  return copy_qfi(dst, src);
}

void purge3(PCB* p, ARB* slct, ARB* sort, ARB* parm) {
  if (!purge_qfi_recs(slct, proc_ap(p), proc_nam(p))) sys_err(kModule, __LINE__, "QSLCT purge failed");
  if (!purge_qfi_recs(sort, proc_ap(p), proc_nam(p))) sys_err(kModule, __LINE__, "QSORT purge failed");
  if (!purge_qfi_recs(parm, proc_ap(p), proc_nam(p))) sys_err(kModule, __LINE__, "QPARM purge failed");
}

bool frame_present(EM* em, uint8_t kind) {
  const uint8_t* f = find_cfrm(em, kind, nullptr);
  return f && cfrm_view(f).present();
}

[[noreturn]] void end_with(PCB* p, uint32_t code) {
  if (code == 0) code = PI_END_NORMAL;
  p->invoc.set_end_code(code);
  mark_leave(code);
}

int put(ARB* a, const uint8_t* rec, size_t len, const char* text) {
  a->arb_keyno = 0, a->arb_key = nullptr, a->arb_rec = const_cast<uint8_t*>(rec);
  a->arb_len = a->arb_var_len = uint16_t(len), a->arb_mod = 0;
  if (len && len <= kQpSuspRecMax && fm_write(a)) return 1;
  checkstat(a->arb_stat, text, kModule, __LINE__);
  return 0;
}

// The area records of the module in table order: what each area writes.
bool area_written(const AREA_DESC& d) { return !d.rel_off && (d.type <= 3); }

}  // namespace

void qp_susp_fdb(FDB* fdb, const EM* em, uint32_t scope) {
  INIT_FDB(fdb, FS_MEMORY, kQpSuspRecMax, 1, nullptr, 0);
  char name[9] = "        ";
  uint8_t stamp[8];
  st_le32(stamp, 0, em->em_stamp1), st_le32(stamp, 4, em->em_stamp2);
  pl_gen_nam(0, stamp, name);
  char ap[4] = {}, ver[3] = {};
  memcpy(ap, em->em_ap, 3), memcpy(ver, em->em_ver, 2);
  INIT_SRC_PATH(&fdb->path, ap, ver, "", PATH_SESS);
  memcpy(fdb->path.fdb_name, name, 8);
  fdb->path.fdb_tmp_id = scope;
}

uint8_t qp_mode(PCB* p) {
  uint8_t* a15 = pi_area(p, AREA_DETACHED, 1);
  uint8_t m = a15 ? a15[0] : 0;
  // The area starts blank, as its field's initial value leaves it: a blank
  // is no mode either, or the design's default could never apply.
  if (m == 0 || m == ' ' || m > 254) m = p->pcb_em ? p->pcb_em->em_qry_mode_dflt : 0;
  if (p->invoc.auto_run() == 1) m = 1;
  if (a15) a15[0] = m;
  return m;
}

const uint8_t* find_cfrm(EM* em, uint8_t kind, const uint8_t* prev) {
  if (!em || !em->em_cfrm_arb || !em->em_frm_cnt) return nullptr;
  static uint8_t found[CFRM_LEN];
  const uint32_t after = prev ? cfrm_view(prev).number() : 0;
  bool hit = false;
  pi_each_rec(em->em_cfrm_arb, [&](uint8_t* f) {
    const cfrm_view fr(f);
    if (hit || fr.kind() != kind || fr.number() <= after) return true;
    memcpy(found, f, CFRM_LEN);
    return !(hit = true);
  });
  return hit ? found : nullptr;
}

namespace {
// The 800-character selection text of a compiled frame into `out`.
void frame_text(EM* em, const uint8_t* f, uint8_t* out) {
  const uint8_t* c = f ? CNST_RLOC(em, cfrm_view(f).slct()) : nullptr;
  if (c) memcpy(out, c, kFrameText);
}
}  // namespace

void bld_qparm(PCB* p, uint8_t* rec) {
  memset(rec, ' ', kQparmLen);
  EM* em = p->pcb_em;
  memcpy(rec + QPARM_AP, em->em_ap, 3), memcpy(rec + QPARM_PROC, em->em_proc_nam, 30);
  const uint8_t* sort = find_cfrm(em, kFrmSort, nullptr);
  st_le32(rec, QP_WORD, sort ? cfrm_view(sort).qparm_word() : 0);
  const uint8_t* slct = find_cfrm(em, kFrmSlct, nullptr);
  rec[QP_BYTE] = slct ? cfrm_view(slct).qparm_byte() : 0;
  frame_text(em, slct, rec + QPARM_EXPR8);
  frame_text(em, find_cfrm(em, kFrmExpr9, nullptr), rec + QPARM_EXPR9);
  rec[QP_VER] = static_cast<uint8_t>(em->em_ver[0]);
  rec[QP_TAIL] = rec[QP_TAIL + 1] = ' ';
}

ARB* get_qfi_arb(PCB* p, const char* name) {
  const uint32_t scope = pi_owner_level(p, kQryAreaKind);
  init_fn f = !memcmp(name, "QPARM", 5)   ? INIT_QPARM_FDB
              : !memcmp(name, "QSLCT", 5) ? INIT_QSLCT_FDB
              : !memcmp(name, "QSORT", 5) ? INIT_QSORT_FDB
              : !memcmp(name, "QTAG", 4)  ? INIT_QTAG_FDB
                                          : nullptr;
  if (!f) return sys_err(kModule, __LINE__, "can't find qfi cfi"), nullptr;
  return open_qfi_file(f, scope, true);
}

int purge_qfi_recs(ARB* a, const char* ap, const char* proc) {
  if (!a) return 0;
  uint8_t key[33];
  memcpy(key, ap, 3), memcpy(key + 3, proc, 30);
  std::vector<uint8_t> rec(1644);
  for (;;) {
    PROTO_FULL(a, 0, rec.data());
    a->arb_key = key, a->arb_key_len = 33, a->arb_len = uint16_t(rec.size()), a->arb_mod = ARB_PARTIAL;
    if (!fm_start(a)) return pi_read_end(a->arb_stat) != read_end::failed;
    a->arb_key = nullptr, a->arb_mod = ARB_HOLD;
    const bool read = fm_rdnxt(a);
    if (!read || memcmp(rec.data(), key, 33)) {
      // A read that failed leaves records of the process behind.
      const bool whole = read || pi_read_end(a->arb_stat) != read_end::failed;
      a->arb_mod = 0, fm_release(a);
      return whole;
    }
    a->arb_mod = 0;
    if (!fm_del(a)) return 0;
  }
}

uint32_t qp_setup(PCB* p) {
  ARB* parm = get_qfi_arb(p, "QPARM   ");
  ARB* slct = get_qfi_arb(p, "QSLCT   ");
  ARB* sort = get_qfi_arb(p, "QSORT   ");
  auto close_all = [&] {
    for (ARB* a : {parm, slct, sort})
      if (a) a->arb_mod = 0, FM_CLOSE(a, 0);
  };
  if (!parm || !slct || !sort) return close_all(), 0;
  const uint8_t mode = qp_mode(p);
  uint32_t result = 1;
  if (mode == 2) {
    purge3(p, slct, sort, parm);
    pb_cleanup(p, proc_ap(p), proc_nam(p));
    return close_all(), result;
  }
  if (mode == 3 || mode == 4) {
    uint8_t key[33];
    memcpy(key, proc_ap(p), 3), memcpy(key + 3, proc_nam(p), 30);
    std::vector<uint8_t> rec(kQparmLen);
    PROTO_FULL(parm, 0, rec.data());
    parm->arb_key = key, parm->arb_key_len = 33, parm->arb_len = kQparmLen, parm->arb_mod = ARB_EQUAL | ARB_PARTIAL;
    const bool kept = fm_read(parm) != 0;
    parm->arb_mod = 0;
    if (kept) return close_all(), result;
  }
  purge3(p, slct, sort, parm);
  if (!copy_defaults(p, slct, false)) sys_err(kModule, __LINE__, "QSLCT copy failed");
  if (!copy_defaults(p, sort, true)) sys_err(kModule, __LINE__, "QSORT copy failed");
  std::vector<uint8_t> rec(kQparmLen);
  bld_qparm(p, rec.data());
  PROTO_FULL(parm, 0, rec.data());
  parm->arb_len = parm->arb_var_len = kQparmLen, parm->arb_mod = 0;
  if (!fm_write(parm)) sys_err(kModule, __LINE__, "QPARM copy failed"), result = 0;
  close_all();
  return result;
}

namespace {

// The constraint that keeps an editor of a work file to the query's own
// records: their key begins with the query's application and name. The
// arrays live as long as the editor runs.
struct qfi_cnstr {
  uint8_t vals[33];
  uint8_t segs[2 * 6] = {};
  cnstr_fld flds[2] = {};
  uint32_t h[2] = {};
  ~qfi_cnstr() {
    for (uint32_t x : h)
      if (x) ih_drop(x);
  }
  // 0 when the query's module has no compiled file `qfi` to take the
  // editor's file number from.
  int put(PCB* p, const char* qfi, INVOC* v) {
    uint8_t key[CFI_LEN] = {};
    memcpy(key + FDB_AP, "0LA", 3), memcpy(key + FDB_NAME, qfi, 8);
    const uint8_t* c = pi_get_cfi(p->pcb_em, key);
    if (!c) return 0;
    memcpy(vals, proc_ap(p), 3), memcpy(vals + 3, proc_nam(p), 30);
    const uint16_t at[2][2] = {{0, 3}, {3, 30}};  // offset, length
    for (int i = 0; i < 2; ++i) {
      st_le16(segs + 6 * i, 0, uint16_t(i + 1)), st_le16(segs + 6 * i, 2, at[i][0]), st_le16(segs + 6 * i, 4, at[i][1]);
      flds[i].val_off = at[i][0], flds[i].addr = vals + at[i][0], flds[i].len = at[i][1], flds[i].given = 1;
    }
    v->set_cnstr_cnt(2), v->set_cnstr_len(sizeof vals);
    v->set_cnstr_segs(h[0] = ih_put(HK_CNSTR_SEGS, segs));
    v->set_cnstr_flds(h[1] = ih_put(HK_CNSTR_FLDS, flds));
    memcpy(v->cnstr_ap(), "0LA", 3), v->set_cnstr_stamp(cfi_view(c).file_no());
    return 1;
  }
};

}  // namespace

uint32_t qp_run_editor(PCB* p, const char* name, uint8_t type, uint8_t one_shot, const char* qfi) {
  INVOC v = pi_invoc;
  char nam[30];
  memset(nam, ' ', 30), memcpy(nam, name, strlen(name));
  memcpy(v.ap_id(), "0LA", 3), memcpy(v.ver(), "00", 2), memcpy(v.proc_nam(), nam, 30);
  v.set_proc_type(type), v.set_invoc_type(0), v.set_one_shot(one_shot);
  qfi_cnstr cn;
  if (qfi && !cn.put(p, qfi, &v)) sys_err(kModule, __LINE__, "can't find qfi cfi");
  return pi_exec_child(p, &v);
}

uint32_t scan(PCB* p) { return qp_run_editor(p, "SCAN", PT_SUBROUTINE, p->invoc.one_shot()); }

namespace {

// The selection and sort editors draw on surfaces of the query's own. On
// the invoker's, whatever of its screen an editor's window leaves
// uncovered would show through (a line of the menu under the sort editor,
// whose window is smaller than the selection editor's). The surfaces go
// with the query's level.
void editor_surfaces(PCB* p) {
  if (!com.base_srf || p->invoc.invoc_type() != 0) return;  // not drawing on the invoker's
  SRF_BLK a{0, 0, 0}, b{0, 0, 0};
  TSRF* main = WM_CREATE_SRF(&a, com.subproc_scope);
  TSRF* pop = main ? WM_CREATE_SRF(&b, com.subproc_scope) : nullptr;
  if (main && pop) p->pcb_main_srf = main, p->pcb_pop_srf = pop;
}

}  // namespace

void qp_exec(PCB* p) {
  if (qp_mode(p) == 2) end_with(p, PI_END_PROCESS);
  EM* em = p->pcb_em;
  if (em->em_tag_mode == 1) {
    const uint32_t r = scan(p);
    if (r == PI_END_CANCEL || r == PI_END_FATAL) end_with(p, r);
    p->invoc.set_end_code(r);
    return;
  }
  const bool s = frame_present(em, kFrmSlct), o = frame_present(em, kFrmSort);
  uint32_t code = p->invoc.end_code();
  if (s || o) editor_surfaces(p);
  for (;;) {
    if (s) {
      open_dds(p);
      code = qp_run_editor(p, "QSLCT EDIT", PT_INPUT, p->invoc.one_shot(), "QSLCT   ");
      close_dds(p);
      if (code == PI_END_CANCEL || code == PI_END_MENU || code == PI_END_FATAL) end_with(p, code);
    }
    if (!o) end_with(p, code);
    code = qp_run_editor(p, "QSORT EDIT", PT_INPUT, s ? 1 : p->invoc.one_shot(), "QSORT   ");
    if (code == PI_END_MENU && s) continue;
    end_with(p, code);
  }
}

void qp_auto(PCB*) {}

void qp_cleanup(PCB* p) {
  if (qp_mode(p) != 2) suspend(p);
}

void open_dds(PCB* p) {
  if (!qp_open_arb) qp_init();
  auto held = [&](const char* ap) {
    uint8_t rec[kOpenLen] = {};
    st_le32(rec, OPEN_PCB, p->pcb_handle), memcpy(rec + OPEN_AP, ap, 3);
    PROTO_FULL(qp_open_arb, 0, rec);
    qp_open_arb->arb_len = kOpenLen, qp_open_arb->arb_mod = ARB_EQUAL;
    const int r = fm_read(qp_open_arb);
    qp_open_arb->arb_mod = 0;
    return r != 0;
  };
  auto open_one = [&](const char* ap) {
    if (held(ap)) return;
    FDB fdb;
    KDB kdb[kInitMaxKeys];
    SDB sdb[kInitMaxSegs];
    char a[4] = {}, v[3] = {};
    memcpy(a, ap, 3), memcpy(v, IS_BOB_AP(a) ? "00" : p->invoc.ver(), 2);
    INIT_DELEM_FDB(&fdb, kdb, sdb, a, v);
    if (!FM_OPEN(&fdb, p->pcb_pool ? p->pcb_pool->level : com.mark_scope, 0, 15, 15)) return;
    uint8_t rec[kOpenLen] = {};
    st_le32(rec, OPEN_PCB, p->pcb_handle), memcpy(rec + OPEN_AP, ap, 3);
    rec[OPEN_FLAG] = 0;
    st_le32(rec, OPEN_ARB, uint32_t(reinterpret_cast<uintptr_t>(fdb.fdb_arb) & 0));  // the handle stays in dds_open
    PROTO_FULL(qp_open_arb, 0, rec);
    qp_open_arb->arb_len = qp_open_arb->arb_var_len = kOpenLen, qp_open_arb->arb_mod = 0;
    if (!fm_write(qp_open_arb)) return sys_err(kModule, __LINE__, "can't write open_proto");
    pb_dds_keep(p, fdb.fdb_arb);
  };
  open_one("0LA");
  ARB* slct = get_qfi_arb(p, "QSLCT   ");
  if (!slct) return;
  uint8_t rec[kQslctLen];
  slct->arb_mod = ARB_FIRST, slct->arb_key = nullptr;
  if (fm_start(slct))
    for (slct->arb_rec = rec, slct->arb_len = kQslctLen, slct->arb_mod = 0; fm_rdnxt(slct); slct->arb_mod = 0)
      if (!memcmp(rec, proc_ap(p), 3) && !memcmp(rec + QSLCT_PROC, proc_nam(p), 30) && rec[QSLCT_R_AP] == ' ')
        open_one(reinterpret_cast<const char*>(rec + QSLCT_L_AP));
  slct->arb_mod = 0;
  FM_CLOSE(slct, 0);
}

bool close_dds(PCB* p) {
  if (!qp_open_arb) return true;
  uint8_t rec[kOpenLen] = {};
  st_le32(rec, OPEN_PCB, p->pcb_handle);
  // Each pass deletes the first record left, so a failed delete ends the
  // loop rather than finding the same record again.
  bool whole = true;
  for (;;) {
    PROTO_FULL(qp_open_arb, 0, rec);
    qp_open_arb->arb_key = rec, qp_open_arb->arb_key_len = 4, qp_open_arb->arb_len = kOpenLen;
    qp_open_arb->arb_mod = ARB_PARTIAL;
    if (!fm_start(qp_open_arb)) {
      whole = pi_read_end(qp_open_arb->arb_stat) != read_end::failed;
      break;
    }
    qp_open_arb->arb_key = nullptr, qp_open_arb->arb_mod = ARB_HOLD;
    if (!fm_rdnxt(qp_open_arb)) {
      whole = pi_read_end(qp_open_arb->arb_stat) != read_end::failed;
      break;
    }
    if (ld_le32(rec, OPEN_PCB) != p->pcb_handle) break;
    qp_open_arb->arb_mod = 0;
    if (!fm_del(qp_open_arb)) {
      whole = false;
      break;
    }
  }
  if (!whole) checkstat(qp_open_arb->arb_stat, "can't delete the open-file records", kModule, __LINE__);
  qp_open_arb->arb_mod = 0;
  fm_release(qp_open_arb);
  pb_dds_close(p);
  return whole;
}

int create_suspend(PCB* p, ARB** out) {
  FDB fdb;
  qp_susp_fdb(&fdb, p->pcb_em, pi_owner_level(p, kQryAreaKind));
  FDB old = fdb;
  if (fm_locate(&old) && !FM_SCRATCH(&old, 0)) sys_err(kModule, __LINE__, "can't scratch suspend file");
  if (!FM_CREATE(&fdb, fdb.path.fdb_tmp_id, 0, LFB_SCOPED | LFB_OPEN_NEW, 15, 0)) {
    uint8_t cfi[CFI_LEN] = {};
    memcpy(cfi + FDB_AP, fdb.path.fdb_ap, 3), memcpy(cfi + FDB_NAME, fdb.path.fdb_name, 8);
    pi_fi_err(p, cfi, kMsgSuspend, fdb.fdb_stat);
    return 0;
  }
  *out = fdb.fdb_arb;
  return 1;
}

// The header of the process's suspend file.
void qp_susp_hdr(PCB* p, uint8_t* h) {
  memset(h, 0, kQpHdrLen);
  EM* em = p->pcb_em;
  memcpy(h + QH_AP, em->em_ap, 3), memcpy(h + QH_PROC, em->em_proc_nam, 30);
  h[QH_PROC_TYPE] = em->em_proc_type;
  st_le32(h, QH_WORD1, em->em_stamp1), st_le32(h, QH_WORD2, em->em_stamp2);
  memcpy(h + QH_RNG_AP, p->invoc.rng_ap(), 3), memcpy(h + QH_RNG_NAM, p->invoc.rng_nam(), 30);
  h[QH_INVOC99] = p->invoc.b[INVOC_B99], h[QH_INVOC100] = p->invoc.b[INVOC_B100];
  st_le32(h, QH_CNSTR_CNT, p->invoc.cnstr_cnt());
  st_le32(h, QH_CNSTR_LEN, p->invoc.cnstr_len());
  h[QH_TAG_MODE] = em->em_tag_mode;
  memset(h + QH_PROFILE, ' ', 30);
  if (p->pcb_profile) memcpy(h + QH_PROFILE, p->pcb_profile, 30);
}

int suspend(PCB* p) {
  ARB* a = nullptr;
  if (!create_suspend(p, &a)) return 0;
  uint8_t h[kQpHdrLen];
  qp_susp_hdr(p, h);
  int ok = put(a, h, kQpHdrLen, "SUSPEND write failed");
  const uint32_t cnt = ld_le32(h, QH_CNSTR_CNT), len = ld_le32(h, QH_CNSTR_LEN);
  if (ok && cnt) {
    std::vector<uint8_t> vals(len, ' '), segs(cnt * kQpCnstrSegLen, 0);
    auto* flds = static_cast<const cnstr_fld*>(ih_get(HK_CNSTR_FLDS, p->invoc.cnstr_flds()));
    auto* s6 = static_cast<const uint8_t*>(ih_get(HK_CNSTR_SEGS, p->invoc.cnstr_segs()));
    for (uint32_t i = 0; flds && i < cnt; ++i) {
      const cnstr_fld& f = flds[i];
      const uint8_t* from = f.indirect ? *reinterpret_cast<uint8_t* const*>(f.addr) : f.addr;
      if (from && uint32_t(f.val_off) + f.len <= len) memcpy(vals.data() + f.val_off, from + f.add_off, f.len);
      if (s6) memcpy(segs.data() + kQpCnstrSegLen * i, s6 + 6 * i, 6);
    }
    ok = put(a, vals.data(), vals.size(), "can't write constraint record") &&
         put(a, segs.data(), segs.size(), "can't write constraint record");
  }
  EM* em = p->pcb_em;
  for (uint32_t i = 0; ok && i < em->em_area_cnt; ++i) {
    const AREA_DESC& d = em->em_area_tbl[i];
    if (!area_written(d)) continue;
    const uint8_t* at = d.area_no <= em->em_area_cnt ? p->pcb_areas[d.area_no] : nullptr;
    if (d.type == 1) {
      uint8_t path[kPathLen] = {};
      auto* fb = reinterpret_cast<const pi_file_blk*>(at);
      if (fb && fb->cfi) {
        memcpy(path, fb->cfi, kPathLen);
        if (fb->cfi[FDB_OPT] & 1) st_le32(path, 0, fb->shr_scope);
      }
      ok = put(a, path, kPathLen, "can't write cdb record");
    } else if (d.size) {
      std::vector<uint8_t> z(d.size, 0);
      ok = put(a, at ? at : z.data(), d.size, "can't write cdb record");
    }
  }
  a->arb_mod = 0;
  FDB_PATH path = *fm_path(a);
  if (!FM_CLOSE(a, 0)) sys_err(kModule, __LINE__, "SUSPEND close failed");
  if (ok) qp_add_pend(path, "can't write pending");
  // An active query built from the criteria this file replaces would be
  // reused by the next opener, which would never read the new ones.
  if (ok) pb_cleanup(p, proc_ap(p), proc_nam(p));
  return ok;
}

int qp_read_susp(ARB* a, const EM* em, QP_SUSP* out, std::vector<std::vector<uint8_t>>* areas) {
  std::vector<uint8_t> buf(kQpSuspRecMax);
  auto next = [&](size_t want, std::vector<uint8_t>* into) {
    PROTO_FULL(a, 0, buf.data());
    a->arb_len = kQpSuspRecMax, a->arb_mod = 0;
    if (!fm_rdnxt(a)) return false;
    const size_t got = a->arb_var_len ? a->arb_var_len : a->arb_len;
    if (got != want) return false;
    into->assign(buf.begin(), buf.begin() + long(want));
    return true;
  };
  a->arb_mod = ARB_FIRST, a->arb_key = nullptr;
  if (!fm_start(a)) return 0;
  std::vector<uint8_t> hdr;
  if (!next(kQpHdrLen, &hdr)) return 0;
  memcpy(out->hdr, hdr.data(), kQpHdrLen);
  const uint32_t cnt = ld_le32(out->hdr, QH_CNSTR_CNT), len = ld_le32(out->hdr, QH_CNSTR_LEN);
  if (cnt) {
    if (cnt > kQpSuspRecMax / kQpCnstrSegLen || len == 0 || len > kQpSuspRecMax) return 0;
    if (!next(len, &out->cnstr_vals) || !next(cnt * kQpCnstrSegLen, &out->cnstr_segs)) return 0;
  }
  areas->assign(em->em_area_cnt, {});
  for (uint32_t i = 0; i < em->em_area_cnt; ++i) {
    const AREA_DESC& d = em->em_area_tbl[i];
    if (!area_written(d)) continue;
    const size_t want = d.type == 1 ? kPathLen : d.size;
    if (want && !next(want, &(*areas)[i])) return 0;
  }
  PROTO_FULL(a, 0, buf.data());
  a->arb_len = kQpSuspRecMax, a->arb_mod = 0;
  return fm_rdnxt(a) ? 0 : a->arb_stat == FM_EOF;  // nothing may follow
}

void qp_register() {
  qp_scan_register();
  qp_check_register();
  pi_type_rows[PT_QUERY] = {[](PCB* p, uint8_t*) { qp_setup(p); }, [](PCB* p, uint8_t*) { qp_exec(p); },
                            [](PCB* p, uint8_t*) { qp_auto(p); },
                            [](PCB* p, uint8_t*) -> uint32_t {
                              qp_cleanup(p);
                              return 0;
                            },
                            nullptr};
}

}  // namespace kivo
