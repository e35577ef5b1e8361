// The active query: built from the query process's suspend file and work
// files, recorded in the active-query file "PB"/"FQ", sorted on its first
// read, read pointer by pointer, and shut down.
//
// Invariants: a query answers none or is recorded whole; the suspend file is
// consumed only once every record of it checked; the caller's selection
// blocks are never changed (the query chains copies of its own); the
// module's use is released by exactly one pl_free, after the module no
// longer names the query's control block.
//
// Callers: the sorted-query attach (process_seams.pb_build, pb_file.cpp), the QUERY
// process (pb_cleanup), the scope clearing (pb_clr_scope).
#include <algorithm>
#include <cstring>
#include <map>
#include <string>

#include "compiler/compiler.h"
#include "compiler/design_records.h"
#include "compiler/em.h"
#include "compiler/em_access.h"
#include "compiler/em_file.h"
#include "compiler/em_records.h"
#include "compiler/pc.h"
#include "compiler/pc_celem.h"
#include "compiler/pcb.h"
#include "fm/fm_objects.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/dbg_ctl.h"
#include "foundation/end_codes.h"
#include "foundation/pool.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "interp/interp.h"
#include "process/fp.h"
#include "process/pb.h"
#include "process/pb_fqry.h"
#include "process/pb_slct.h"
#include "process/pi.h"
#include "process/pi_exec.h"
#include "process/pi_hooks.h"
#include "process/pi_internal.h"
#include "process/process.h"
#include "process/qp.h"
#include "process/qs.h"

namespace kivo {

uint32_t pb_wrk_no = 1;

namespace {

constexpr char kModule[] = "PBUTIL";
constexpr uint16_t kEpPreExec = 9, kEpPostExec = 10;
constexpr uint32_t kWrkStep = 20;
// The active-query record: its key, then the block it names.
enum : size_t { FQ_AP = 0, FQ_PROC = 3, FQ_SCOPE = 33, FQ_BLOCK = 40, kFqLen = 48 };
enum : size_t { A9_SRC = 124 };

ARB* fq_arb = nullptr;

void fq_key(uint8_t* rec, const char* ap, const char* proc, uint32_t scope) {
  memset(rec, 0, kFqLen);
  memcpy(rec + FQ_AP, ap, 3), memcpy(rec + FQ_PROC, proc, 30), st_le32(rec, FQ_SCOPE, scope);
}

int fq_open() {
  if (fq_arb) return 1;
  FDB fdb;
  KDB kdb[1];
  SDB sdb[3];
  INIT_FDB(&fdb, FS_MEMORY, kFqLen, 0, kdb, 1);
  INIT_UNIQUE_PATH(&fdb.path, "PB", "FQ", PATH_DATA);
  init_sdb_func(&sdb[0], 0, FQ_AP, 3, SDB_CHARS, '+');
  init_sdb_func(&sdb[1], 1, FQ_PROC, 30, SDB_CHARS, '+');
  init_sdb_func(&sdb[2], 2, FQ_SCOPE, 4, SDB_UBINARY, '+');
  INIT_KDB(kdb, 0, '+', 0, sdb, 3);
  if (!FM_CREATE(&fdb, com.sys_scope, 0, LFB_OPEN_NEW, 15, 15)) return 0;
  fq_arb = fdb.fdb_arb;
  return 1;
}

}  // namespace

ACTIVE_QRY* fq_find(const char* ap, const char* proc, uint32_t scope) {
  if (!fq_arb) return nullptr;  // no query was built yet
  uint8_t rec[kFqLen];
  fq_key(rec, ap, proc, scope);
  PROTO_FULL(fq_arb, 0, rec);
  fq_arb->arb_len = kFqLen, fq_arb->arb_mod = ARB_EQUAL;
  const int r = fm_read(fq_arb);
  fq_arb->arb_mod = 0;
  if (!r) return nullptr;
  ACTIVE_QRY* q = nullptr;
  memcpy(&q, rec + FQ_BLOCK, sizeof q);
  return q;
}

std::vector<ACTIVE_QRY*> fq_all() {
  std::vector<ACTIVE_QRY*> out;
  if (!fq_arb) return out;  // scope clearing makes no file
  uint8_t rec[kFqLen];
  fq_arb->arb_mod = ARB_FIRST, fq_arb->arb_key = nullptr, fq_arb->arb_keyno = 0;
  if (!fm_start(fq_arb)) return out;
  for (fq_arb->arb_rec = rec, fq_arb->arb_len = kFqLen, fq_arb->arb_mod = 0; fm_rdnxt(fq_arb); fq_arb->arb_mod = 0) {
    ACTIVE_QRY* q = nullptr;
    memcpy(&q, rec + FQ_BLOCK, sizeof q);
    out.push_back(q);
  }
  fq_arb->arb_mod = 0;
  return out;
}

uint32_t fq_count() { return uint32_t(fq_all().size()); }

namespace {

int fq_add(ACTIVE_QRY* q) {
  uint8_t rec[kFqLen];
  fq_key(rec, q->ap, q->proc, q->scope);
  memcpy(rec + FQ_BLOCK, &q, sizeof q);
  PROTO_FULL(fq_arb, 0, rec);
  fq_arb->arb_len = fq_arb->arb_var_len = kFqLen, fq_arb->arb_mod = 0;
  if (fm_write(fq_arb)) return 1;
  checkstat(fq_arb->arb_stat, "can't add active query", kModule, __LINE__);
  return 0;
}

void fq_del(ACTIVE_QRY* q) {
  uint8_t rec[kFqLen];
  fq_key(rec, q->ap, q->proc, q->scope);
  PROTO_FULL(fq_arb, 0, rec);
  fq_arb->arb_len = kFqLen, fq_arb->arb_mod = ARB_EQUAL | ARB_HOLD;
  if (!fm_read(fq_arb)) {
    fq_arb->arb_mod = 0;
    return checkstat(fq_arb->arb_stat, "can't hold fqry record", kModule, __LINE__);
  }
  fq_arb->arb_mod = 0;
  if (!fm_del(fq_arb)) checkstat(fq_arb->arb_stat, "can't delete fqry record", kModule, __LINE__);
}

using init_fn = void (*)(FDB*, KDB*, SDB*, uint32_t);

void close_qfi(QFI& f) {
  if (f.strm) f.strm->arb_mod = 0, fm_detach(f.strm);
  if (f.file) f.file->arb_mod = 0, FM_CLOSE(f.file, 0);
  f = QFI{};
}

// The 1644-, 112- or 92-byte records of a stream in key order.
std::vector<std::vector<uint8_t>> all_recs(ARB* a, uint16_t len) {
  std::vector<std::vector<uint8_t>> out;
  if (!a) return out;
  std::vector<uint8_t> r(len);
  a->arb_mod = ARB_FIRST, a->arb_key = nullptr;
  if (!fm_start(a)) return out;
  for (a->arb_rec = r.data(), a->arb_len = len, a->arb_mod = 0; fm_rdnxt(a); a->arb_mod = 0) out.push_back(r);
  a->arb_mod = 0;
  return out;
}

}  // namespace

QFI open_qfi(uint32_t scope, const char* name, const char* ap, const char* proc, uint32_t held) {
  QFI f;
  const uint32_t at = held ? held : com.mark_scope;
  init_fn init = !memcmp(name, "QPARM", 5)   ? INIT_QPARM_FDB
                 : !memcmp(name, "QSORT", 5) ? INIT_QSORT_FDB
                 : !memcmp(name, "QSLCT", 5) ? INIT_QSLCT_FDB
                 : !memcmp(name, "QTAG", 4)  ? INIT_QTAG_FDB
                                             : nullptr;
  if (!init) {
    sys_err(kModule, __LINE__, "bad QFI name: %.8s", name);
    return f;
  }
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  init(&fdb, kdb, sdb, scope);
  if (!FM_OPEN(&fdb, at, 0, 15, 15)) {
    if (init == INIT_QTAG_FDB) return f;
    if (init == INIT_QPARM_FDB) {
      checkstat(fdb.fdb_stat, "can't open QPARM file", kModule, __LINE__);
      return f;
    }
    init(&fdb, kdb, sdb, scope);
    if (!FM_CREATE(&fdb, scope, 10, LFB_SCOPED | LFB_OPEN_NEW, 15, 15)) {
      checkstat(fdb.fdb_stat, init == INIT_QSORT_FDB ? "can't open QSORT file" : "can't open QSLCT file", kModule,
                __LINE__);
      return f;
    }
  }
  f.file = fdb.fdb_arb;
  memcpy(f.key, ap, 3), memcpy(f.key + 3, proc, 30);
  f.req = SCAN_REQ{};
  f.req.type = SCAN_KEY, f.req.keyno = 0, f.req.flags = SCAN_EQUAL, f.req.lo_len = 33, f.req.lo = f.key;
  FAD fad{&f.req, nullptr};
  if (!(f.strm = FM_ATTACH(f.file, &fad, at))) {
    checkstat(f.file->arb_stat, "can't constrain QFI", kModule, __LINE__);
    f.file->arb_mod = 0, FM_CLOSE(f.file, 0), f.file = nullptr;
  }
  return f;
}

void copy_specs(ACTIVE_QRY* q, ARB* parm, ARB* slct, ARB* sort) {
  auto p = all_recs(parm, kQparmLen);
  q->qparm = p.empty() ? std::vector<uint8_t>() : p.front();
  q->qslct = all_recs(slct, kQslctLen);
  q->qsort = all_recs(sort, kQsortLen);
}

int pb_compatible(ACTIVE_QRY* q) {
  QFI parm = open_qfi(q->scope, "QPARM   ", q->ap, q->proc);
  QFI slct = open_qfi(q->scope, "QSLCT   ", q->ap, q->proc);
  QFI sort = open_qfi(q->scope, "QSORT   ", q->ap, q->proc);
  auto p = all_recs(parm.strm, kQparmLen);
  const bool same = !p.empty() && p.front() == q->qparm && all_recs(slct.strm, kQslctLen) == q->qslct &&
                    all_recs(sort.strm, kQsortLen) == q->qsort;
  close_qfi(parm), close_qfi(slct), close_qfi(sort);
  return same;
}

const uint8_t* pb_get_dproc(const char* ap, const char* ver, uint8_t type, const char* name, uint32_t* status) {
  static uint8_t rec[kProcRecSize];
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  char a[4] = {}, v[3] = {};
  memcpy(a, ap, 3), memcpy(v, ver, 2);
  INIT_DPROC_FDB(&fdb, kdb, sdb, a, v);
  if (!FM_OPEN(&fdb, com.mark_scope, 2048, 1, 15)) {
    if (status) *status = fdb.fdb_stat;
    return nullptr;
  }
  ARB* f = fdb.fdb_arb;
  memset(rec, ' ', sizeof rec);
  rec[PR_TYPE] = type, memcpy(rec + PR_NAME, name, 30);
  PROTO_FULL(f, 0, rec);
  f->arb_len = kProcRecSize, f->arb_mod = ARB_EQUAL;
  const int r = fm_read(f);
  if (!r && status) *status = f->arb_stat;
  f->arb_mod = 0;
  if (!FM_CLOSE(f, 0)) sys_err(kModule, __LINE__, "can't close process file");
  return r ? rec : nullptr;
}

uint32_t invoke_setup(const uint8_t* qblk, PCB* parent) {
  INVOC v = pi_invoc;
  memcpy(v.ap_id(), qblk + QB_AP, 3), memcpy(v.ver(), qblk + QB_VER, 2);
  memcpy(v.proc_nam(), qblk + QB_PROC, 30);
  v.set_proc_type(PT_QUERY), v.set_invoc_type(0), v.set_auto_run(1);
  if (parent) return pi_exec_child(parent, &v);
  pi_exec(&v);
  return v.end_code();
}

namespace {

std::string trimmed_name(const char* name) {
  std::string s(name, 30);
  return s.erase(s.find_last_not_of(' ') + 1);
}

// The suspend file of the query, opened; with `run` the query process runs
// once automatically when there is none.
ARB* open_susp(ACTIVE_QRY* q, const uint8_t* qblk, FDB* fdb) {
  qp_susp_fdb(fdb, q->em, q->scope);
  FDB f = *fdb;
  if (FM_OPEN(&f, q->scope, 0, 15, 1)) return f.fdb_arb;
  // The run writes at this query's level: the opener and the query process
  // need not share their query areas, and a run without an invoker owns its
  // own at its own level.
  struct keep {
    uint32_t saved = qp_auto_scope;
    ~keep() { qp_auto_scope = saved; }
  } k;
  qp_auto_scope = q->scope;
  invoke_setup(qblk, nullptr);
  f = *fdb;
  return FM_OPEN(&f, q->scope, 0, 15, 0) ? f.fdb_arb : nullptr;
}

// The areas of the embedded block from the checked records.
void place_areas(ACTIVE_QRY* q, const std::vector<std::vector<uint8_t>>& recs) {
  EM* em = q->em;
  PCB* p = &q->pcb;
  p->pcb_areas = static_cast<uint8_t**>(MM_ALLOC(q->pool, sizeof(uint8_t*) * (em->em_area_cnt + 1)));
  memset(p->pcb_areas, 0, sizeof(uint8_t*) * (em->em_area_cnt + 1));
  uint8_t* last = nullptr;
  for (uint32_t i = 0; i < em->em_area_cnt; ++i) {
    const AREA_DESC& d = em->em_area_tbl[i];
    if (d.area_no > em->em_area_cnt) continue;
    if (d.rel_off) {
      p->pcb_areas[d.area_no] = last ? last + d.rel_off : nullptr;
      continue;
    }
    const size_t size = d.type == 1 ? std::max<size_t>(d.size, sizeof(pi_file_blk)) : d.size;
    auto* at = static_cast<uint8_t*>(MM_ALLOC(q->pool, size ? size : 1));
    memset(at, 0, size ? size : 1);
    if (d.type == 0 || d.type == 2 || d.type == 3) {
      if (!recs[i].empty()) memcpy(at, recs[i].data(), recs[i].size());
    } else if (d.type == 1) {
      auto* fb = reinterpret_cast<pi_file_blk*>(at);
      fb->cfi = get_cfi(em, &d);
      fb->state = FB_OWN, fb->own_scope = fb->shr_scope = q->scope;
      if (fb->cfi && recs[i].size() == kPathLen) {
        memcpy(fb->cfi, recs[i].data(), kPathLen);
        // A shared file stays at the smaller of its level and the process's.
        if (fb->cfi[FDB_OPT] & 1) {
          const uint32_t stored = ld_le32(recs[i].data(), 0);
          st_le32(fb->cfi, 0, stored < com.proc_scope ? stored : com.proc_scope);
        }
      }
    }
    p->pcb_areas[d.area_no] = last = at;
  }
}

PCF_SCB* range_block(ACTIVE_QRY* q, const QP_SUSP& s) {
  if (s.hdr[QH_RNG_AP] == ' ' || s.hdr[QH_RNG_AP] == 0) return nullptr;
  auto* b = static_cast<PCF_SCB*>(MM_ALLOC(q->pool, sizeof(PCF_SCB)));
  memset(b, 0, sizeof *b);
  b->kind = SCB_RANGE, b->rng_scope = q->scope;
  memcpy(b->rng_ap, s.hdr + QH_RNG_AP, 3), memcpy(b->rng_ver, "00", 2), memcpy(b->rng_nam, s.hdr + QH_RNG_NAM, 30);
  b->invoc99 = s.hdr[QH_INVOC99], b->rpt_kind = 0, b->invoc100 = s.hdr[QH_INVOC100];
  return b;
}

PCF_SCB* cnstr_block(ACTIVE_QRY* q, const QP_SUSP& s) {
  const uint32_t cnt = ld_le32(s.hdr, QH_CNSTR_CNT);
  if (!cnt) return nullptr;
  auto* b = static_cast<PCF_SCB*>(MM_ALLOC(q->pool, sizeof(PCF_SCB)));
  memset(b, 0, sizeof *b);
  b->kind = SCB_CNSTR, b->seg_cnt = uint16_t(cnt), b->val_len = uint32_t(s.cnstr_vals.size());
  b->vals = static_cast<uint8_t*>(MM_ALLOC(q->pool, s.cnstr_vals.size()));
  memcpy(b->vals, s.cnstr_vals.data(), s.cnstr_vals.size());
  // The stored 8-byte entries become the 6-byte ones the PCF's scan reads.
  b->segs = static_cast<uint8_t*>(MM_ALLOC(q->pool, 6 * cnt));
  for (uint32_t i = 0; i < cnt; ++i) memcpy(b->segs + 6 * i, s.cnstr_segs.data() + kQpCnstrSegLen * i, 6);
  return b;
}

// The query's own process block, bound to the query's module; 0 when the
// process or its module cannot be had.
int bind_query_pcb(ACTIVE_QRY* q) {
  PCB* p = &q->pcb;
  memset(static_cast<void*>(p), 0, sizeof *p);
  for (PCB*& o : p->pcb_saa_owner) o = p;
  p->pcb_pool = q->pool;
  if (!pb_get_dproc(q->ap, q->ver, PT_QUERY, q->proc, nullptr)) {
    // The opener reports only a file that cannot be opened: the log says which query.
    sys_err_log(("the range of a process names query " + std::string(q->ap, 3) + " \"" + trimmed_name(q->proc) +
                 "\", which is no QUERY process")
                    .c_str());
    return 0;
  }
  memcpy(p->invoc.b, pi_invoc.b, kInvocSize);
  memcpy(p->invoc.ap_id(), q->ap, 3), memcpy(p->invoc.ver(), q->ver, 2);
  memcpy(p->invoc.proc_nam(), q->proc, 30), p->invoc.set_proc_type(PT_QUERY);
  if (!pl_get(p, 0) || !p->pcb_em) return 0;
  q->em = p->pcb_em;
  return 1;
}

// The query's PCF stream is the query's, at its level: it is read again
// by later openers after the one that built it has ended.
void open_files_at_query_scope(ACTIVE_QRY* q) {
  struct keep {
    uint32_t saved = com.subproc_scope;
    ~keep() { com.subproc_scope = saved; }
  } k;
  com.subproc_scope = q->scope;
  pi_open_fi_run(&q->pcb);
}

// The query's identifier file when the module names an alternate file; 0
// after a failure already reported.
int attach_alt_file(ACTIVE_QRY* q) {
  EM* em = q->em;
  PCB* p = &q->pcb;
  char name[8];
  memcpy(name, em->em_alt_fi, 8);
  uint8_t key[CFI_LEN] = {};
  memcpy(key + FDB_AP, em->em_alt_ap, 3), memcpy(key + FDB_NAME, name, 8);
  // The file block is the area the compiled record names (the file's second number).
  const uint8_t* c = pi_get_cfi(em, key);
  const uint32_t n = c ? cfi_view(c).fb_area() : 0;
  auto* fb = n && n <= em->em_area_cnt ? reinterpret_cast<pi_file_blk*>(p->pcb_areas[n]) : nullptr;
  if (!fb || !fb->arb) {
    sys_err(kModule, __LINE__, "alternate file %.8s of %.30s not open", name, q->proc);
    return 0;
  }
  FAD fad{nullptr, nullptr};
  ARB* alt = FM_ATTACH(fb->arb, &fad, q->scope);
  if (!alt) return checkstat(fb->arb->arb_stat, "can't attach alternate file", kModule, __LINE__), 0;
  alt->arb_rec = fb->arb->arb_rec, q->id_arb = alt;
  return 1;
}

}  // namespace

int load_suspend(ACTIVE_QRY* q, const uint8_t* qblk, PCF_SCB** rng, PCF_SCB** cns) {
  *rng = *cns = nullptr;
  if (!bind_query_pcb(q)) return 0;
  PCB* p = &q->pcb;
  FDB fdb;
  ARB* a = open_susp(q, qblk, &fdb);
  if (!a) return 0;
  QP_SUSP s;
  std::vector<std::vector<uint8_t>> recs;
  const int ok = qp_read_susp(a, q->em, &s, &recs);
  a->arb_mod = 0;
  if (!ok) {
    // A short or foreign file stays for whoever can tell what it is.
    FM_CLOSE(a, 0);
    sys_err(kModule, __LINE__, "suspend file of %.30s does not fit its module", q->proc);
    return 0;
  }
  qp_del_pend(fdb.path);
  q->tag_mode = s.hdr[QH_TAG_MODE] == 1;
  *rng = range_block(q, s);
  *cns = cnstr_block(q, s);
  place_areas(q, recs);
  if (!FM_CLOSE(a, ARB_SCRATCH | ARB_CLOSE_NOW)) sys_err(kModule, __LINE__, "can't scratch SUSPEND file");
  EM* em = q->em;
  for (uint32_t i = 0; i <= em->em_area_cnt; ++i) em->em_area_addr[i] = p->pcb_areas[i];
  em->em_bound_pcb = p;
  open_files_at_query_scope(q);
  // The query's identifier file: the alternate file, else the PCF stream.
  q->pcf_arb = p->pcb_pcf_arb;
  q->id_arb = q->pcf_arb;
  if (!is_blank(em->em_alt_ap, 3) && !attach_alt_file(q)) return 0;
  char prof[31] = {};
  memcpy(prof, s.hdr + QH_PROFILE, 30);
  p->pcb_profile = const_cast<uint8_t*>(pi_get_dprof(prof, com.cur_db));
  return 1;
}

int rloc_qry(ACTIVE_QRY* q) {
  EM* sm = q->slct.em;
  EM* em = q->em;
  if (!sm || !q->addr.empty()) return 1;
  q->addr.assign(sm->em_area_cnt + 1, nullptr);
  uint8_t* last = nullptr;
  for (uint32_t i = 0; i < sm->em_area_cnt; ++i) {
    const AREA_DESC& d = sm->em_area_tbl[i];
    if (d.area_no > sm->em_area_cnt) continue;
    uint8_t* at = nullptr;
    if (d.rel_off) {
      at = last ? last + d.rel_off : nullptr;
    } else {
      for (uint32_t j = 0; em && j < em->em_area_cnt && !at; ++j)
        if (!comp_dlf(&d, &em->em_area_tbl[j]) && em->em_area_tbl[j].area_no <= em->em_area_cnt)
          at = q->pcb.pcb_areas ? q->pcb.pcb_areas[em->em_area_tbl[j].area_no] : nullptr;
      if (!at) {
        at = static_cast<uint8_t*>(MM_ALLOC(q->pool, d.size ? d.size : 1));
        memset(at, 0, d.size ? d.size : 1);
      }
      last = at;
    }
    q->addr[d.area_no] = at;
  }
  sm->em_area_addr = q->addr.data();  // the query owns the table; released before the module
  q->slct_pcb.pcb_em = sm, q->slct_pcb.pcb_areas = q->addr.data(), q->slct_pcb.pcb_pool = q->pool;
  return 1;
}

namespace {

// A field's address in the query's areas (the sort's field_addr).
const uint8_t* field_addr(void* ctx, const uint8_t* celem) {
  auto* q = static_cast<ACTIVE_QRY*>(ctx);
  rloc_qry(q);
  const uint16_t area = celem_view(celem).area(), off = celem_view(celem).area_offset();
  return area < q->addr.size() && q->addr[area] ? q->addr[area] + off : nullptr;
}

int null_value(void* ctx, const uint8_t* celem, std::vector<uint8_t>* out) {
  auto* q = static_cast<ACTIVE_QRY*>(ctx);
  return qs_module_null(&q->sort, celem, out);
}

int select_rec(void* ctx) { return qs_select(&static_cast<ACTIVE_QRY*>(ctx)->sctx); }

// Whether the record read holds the value of every constraint entry.
bool in_view(void* ctx) {
  const auto* q = static_cast<const ACTIVE_QRY*>(ctx);
  const QRY_SORT& s = q->sort;
  for (const PB_CNSTR_SEG& c : q->cns_segs)
    if (c.off + c.len > s.rec_len || memcmp(s.rec_area + c.off, q->cns_vals.data() + c.at, c.len) != 0) return false;
  return true;
}

// The user's break ends the selection when the query's process lets it be
// interrupted (its area 3 "INTERRUPT" is '1', as its suspend file kept it).
// The sort takes the request: the run that goes on after the sort's end
// does not stop at its next statement as well.
bool interrupt(void* ctx) {
  if (!(com_dbg_ctl_bits & kDbgBreakRequest)) return false;
  const uint8_t* a3 = pi_area(&static_cast<ACTIVE_QRY*>(ctx)->pcb, AREA_PCF_FLAG, 1);
  if (!a3 || a3[0] != '1') return false;
  com_dbg_ctl_bits &= ~uint32_t(kDbgBreakRequest);
  return true;
}

// Selecting: the text at counts 1 to 10, then every ten, every hundred ...
void select_progress(void* ctx) {
  auto* q = static_cast<ACTIVE_QRY*>(ctx);
  if (!pb_show_progress) return;
  const QRY_SORT& s = q->sort;
  const std::string t = pb_progress_text(&q->prog, 1, s.selected + s.rejected, s.selected, 0);
  if (!t.empty()) pb_progress_show(t);
}

}  // namespace

int cns_pcf(ACTIVE_QRY* q, PCF_SCB* rng, PCF_SCB* cns, PCF_SCB* chain, ARB* alt) {
  PCF_SCB* head = nullptr;
  PCF_SCB** tail = &head;
  for (PCF_SCB* b : {rng, cns})
    if (b) *tail = b, b->next = nullptr, tail = &b->next;
  for (PCF_SCB* b = chain; b; b = b->next) {
    if (b->kind == SCB_RANGE) continue;
    // A copy ends the query's chain: the caller's block keeps its link.
    auto* c = static_cast<PCF_SCB*>(MM_ALLOC(q->pool, sizeof(PCF_SCB)));
    *c = *b;
    c->next = nullptr;
    *tail = c;
    break;
  }
  q->chain = head;
  if (!head) {
    if (alt) q->pcf_arb = alt;
    return 1;
  }
  // Each record the sort reads is held against the constraint's values (see
  // in_view): an entry names an offset in the record, not a key segment, and
  // its field need not lead the key the PCF is read by.
  for (PCF_SCB* b = head; b; b = b->next) {
    if (b->kind != SCB_CNSTR || !b->vals) continue;
    const uint32_t base = uint32_t(q->cns_vals.size());
    q->cns_vals.insert(q->cns_vals.end(), b->vals, b->vals + b->val_len);
    uint32_t at = 0;
    for (uint16_t i = 0; i < b->seg_cnt; ++i) {
      const uint16_t off = ld_le16(b->segs + 6 * i, 2), len = ld_le16(b->segs + 6 * i, 4);
      if (at + len > b->val_len) break;
      q->cns_segs.push_back({off, len, base + at});
      at += len;
    }
  }
  if (alt) q->pcf_arb = alt;
  return 1;
}

namespace {

// The selection's names: the query's application, its files and streams.
void fill_slct(ACTIVE_QRY* q, const QFI& parm, const QFI& slct) {
  EM* em = q->em;
  q->slct.qparm_arb = parm.strm, q->slct.qslct_arb = slct.strm;
  memcpy(q->slct.ap, q->ap, 3), memcpy(q->slct.ver, q->ver, 2);
  memcpy(q->slct.pcf_ap, em->em_pcf_ap, 3), q->slct.pcf_id = em->em_pcf_id;
  memcpy(q->slct.alt_ap, em->em_alt_ap, 3), memcpy(q->slct.alt_fi, em->em_alt_fi, 8);
  memcpy(q->slct.alt_key, em->em_alt_key, 22);
  if (auto* fb = static_cast<pi_file_blk*>(q->pcb.pcb_pcf_blk); fb && fb->cfi)
    memcpy(q->slct.pcf_name, fb->cfi + FDB_NAME, 8);
}

// The sort's stream, record area and the query's callbacks.
void fill_sort(ACTIVE_QRY* q, const QFI& sort, uint32_t scope) {
  QRY_SORT& s = q->sort;
  s.qsort_arb = sort.strm, s.pcf_arb = q->pcf_arb, s.hold = q->em->em_pcf_hold != 0;
  s.rec_area = q->pcf_arb ? q->pcf_arb->arb_rec : nullptr, s.rec_len = q->pcf_arb ? q->pcf_arb->arb_len : 0;
  s.field_addr = field_addr, s.null_value = null_value, s.select = select_rec, s.in_view = in_view, s.ctx = q;
  s.progress = select_progress, s.interrupt = interrupt;
  s.wrk_no = q->wrk_no, s.scope = scope;
  memcpy(s.ap, q->ap, 3);
}

// The compiled selection bound to the query, and its PCF stream set up.
int bind_selection(ACTIVE_QRY* q, PCF_SCB* rng, PCF_SCB* cns, PCF_SCB* chain, ARB* alt) {
  QRY_SORT& s = q->sort;
  rloc_qry(q);
  q->sctx.proc = &q->pcb, q->sctx.slct = &q->slct_pcb;
  q->sctx.entry_blk = q->slct.entry.blk, q->sctx.entry_off = q->slct.entry.off;
  const int ok = cns_pcf(q, rng, cns, chain, alt);
  s.pcf_arb = q->pcf_arb;
  if (!q->tag_mode && q->id_arb != q->pcf_arb && s.ids.empty()) s.id_len = q->pcf_arb->arb_rec_id_len;
  return ok;
}

// Why the last build's selection was refused; its opener tells the user.
slct_fault last_refusal{};

}  // namespace

const slct_fault& pb_refusal() { return last_refusal; }

ACTIVE_QRY* pb_bld_fqry(const uint8_t* qblk, ARB* alt, uint32_t wrk_no, PCF_SCB* chain, uint32_t* status) {
  last_refusal = slct_fault{};
  if (!fq_open()) return nullptr;
  const uint32_t scope = ld_le32(qblk, QB_SCOPE);
  POOL* pool = mm_create_pool(nullptr, scope);
  if (!pool) return nullptr;
  auto* q = new ACTIVE_QRY;
  q->pool = pool, q->scope = scope;
  memcpy(q->ap, qblk + QB_AP, 3), memcpy(q->ver, qblk + QB_VER, 2), memcpy(q->proc, qblk + QB_PROC, 30);
  q->wrk_no = wrk_no ? wrk_no : pb_wrk_no;
  if (!wrk_no) pb_wrk_no += kWrkStep;
  PCF_SCB *rng = nullptr, *cns = nullptr;
  if (!load_suspend(q, qblk, &rng, &cns)) {
    pb_release(q);
    return nullptr;
  }
  QFI parm = open_qfi(scope, "QPARM   ", q->ap, q->proc);
  QFI slct = open_qfi(scope, "QSLCT   ", q->ap, q->proc);
  QFI sort = open_qfi(scope, "QSORT   ", q->ap, q->proc);
  // QTAG is read at the first read, after the build's own level has ended.
  q->qtag = open_qfi(scope, "QTAG    ", q->ap, q->proc, scope);
  fill_slct(q, parm, slct);
  fill_sort(q, sort, scope);
  int ok = q->pcf_arb && parm.strm && slct.strm && sort.strm && cmpl_slct(&q->slct) && cmpl_sort(&q->sort, &q->slct);
  if (ok) ok = bind_selection(q, rng, cns, chain, alt);
  if (ok) {
    copy_specs(q, parm.strm, slct.strm, sort.strm);
    ok = fq_add(q);
  }
  close_qfi(parm), close_qfi(slct), close_qfi(sort);
  q->slct.qparm_arb = q->slct.qslct_arb = nullptr, q->sort.qsort_arb = nullptr;
  if (!ok) {
    const uint32_t st = q->slct.status;
    if (status && (st == PB_SYNTAX || st == PB_DIGIT)) *status = st;
    if (st == PB_SYNTAX) last_refusal = q->slct.fault;
    pb_release(q);
    return nullptr;
  }
  return q;
}

namespace {

// The tag-mode pointer file: the QTAG records in key order, consumed.
uint32_t tag_pointers(ACTIVE_QRY* q) {
  QRY_SORT& s = q->sort;
  if (!s.id_len) s.id_len = q->pcf_arb ? q->pcf_arb->arb_rec_id_len : 0;
  s.ptr_arb = open_wrk_fi(&s, 0, true, FS_MEMORY, true);
  if (!s.ptr_arb) return QS_FAILED;
  ARB* t = q->qtag.strm;
  std::vector<uint8_t> rec(1064), ptr(s.id_len + kPtrExtra, 0);
  for (; t;) {
    t->arb_mod = ARB_FIRST, t->arb_key = nullptr;
    if (!fm_start(t)) break;
    t->arb_rec = rec.data(), t->arb_len = uint16_t(rec.size()), t->arb_mod = ARB_HOLD;
    if (!fm_rdnxt(t)) break;
    st_le16(ptr.data(), PT_PREV, kTagLevel), st_le16(ptr.data(), PT_NEXT, kTagLevel);
    memcpy(ptr.data() + PT_ID, rec.data() + 40, std::min<size_t>(s.id_len, rec.size() - 40));
    ARB* pa = s.ptr_arb;
    pa->arb_rec = ptr.data(), pa->arb_len = pa->arb_var_len = uint16_t(ptr.size()), pa->arb_mod = 0;
    if (!fm_write(pa)) return sys_err(kModule, __LINE__, "QTAG copy failed"), QS_FAILED;
    t->arb_mod = 0;
    if (!fm_del(t)) return sys_err(kModule, __LINE__, "QTAG delete failed"), QS_FAILED;
  }
  if (t) t->arb_mod = 0;
  s.executed = true;
  return 1;
}

void run_ep(ACTIVE_QRY* q, uint16_t ep) {
  EP_CALL call{};
  call.pcb = &q->pcb;
  II_EXEC_PROC(&call, ep);
}

// The first read: the sort (or the tags), then the pointer file closed at
// once and opened again by name.
uint32_t execute(ACTIVE_QRY* q) {
  if (q->pcb.pcb_em && q->pcb.pcb_em->em_bound_pcb != &q->pcb) {
    EM* em = q->pcb.pcb_em;
    for (uint32_t i = 0; i <= em->em_area_cnt; ++i) em->em_area_addr[i] = q->pcb.pcb_areas[i];
    em->em_bound_pcb = &q->pcb;
  }
  run_ep(q, kEpPreExec);
  uint32_t st;
  if (q->tag_mode) {
    st = tag_pointers(q);
  } else {
    if (q->pcf_arb) q->pcf_arb->arb_relno = 0;
    st = qs_sort(&q->sort);
    if (q->pcf_arb) fm_release(q->pcf_arb);
  }
  if (st != 1) return st;
  run_ep(q, kEpPostExec);
  QRY_SORT& s = q->sort;
  const uint8_t fs = s.passes ? FS_DISK : FS_MEMORY;
  s.ptr_arb->arb_mod = 0;
  if (!FM_CLOSE(s.ptr_arb, ARB_CLOSE_NOW)) sys_err(kModule, __LINE__, "can't close pointer file");
  s.ptr_arb = open_wrk_fi(&s, 0, true, fs, false);
  q->executed = true;
  return s.ptr_arb ? 1 : QS_FAILED;
}

}  // namespace

uint32_t pb_get_nxt_ptr(PB_ATTACH* b) {
  auto* q = static_cast<ACTIVE_QRY*>(b->query);
  uint32_t st = 1;
  const uint32_t code = MARK(MARK_RECOVERY, [&] {
    if (!q->executed) st = execute(q);
    if (st != 1) return;
    if (!b->ptr) {
      FAD fad{nullptr, nullptr};
      b->ptr = FM_ATTACH(q->sort.ptr_arb, &fad, q->scope);
      if (!b->ptr) st = QS_FAILED;
      else if (!pb_restart(b)) st = b->ptr->arb_stat;
    }
  });
  const uint32_t out = code && code != 1 ? code : st;
  // A sort that did not end (interrupted, failed) leaves its query half
  // read: it ends here, so that the next run of the process builds it anew
  // instead of reading on from where the sort stopped.
  if (out != 1 && !q->executed) {
    b->data = nullptr;
    pb_shutdown(q);
  }
  return out;
}

void pb_release(ACTIVE_QRY* q) {
  close_qfi(q->qtag);
  EM* em = q->em;
  if (em) {
    // The module no longer names the query's block, then one release.
    if (em->em_bound_pcb == &q->pcb) em->em_bound_pcb = nullptr;
    pl_free(em);
  }
  q->em = nullptr;
  if (q->slct.em) q->slct.em->em_area_addr = nullptr;
  pb_slct_free(&q->slct);
  if (q->pool) mm_destroy_pool(q->pool);
  delete q;
}

void pb_shutdown(ACTIVE_QRY* q) {
  EM* em = q->em;
  if (em && em->em_bound_pcb != &q->pcb && q->pcb.pcb_areas) {
    for (uint32_t i = 0; i <= em->em_area_cnt; ++i) em->em_area_addr[i] = q->pcb.pcb_areas[i];
    em->em_bound_pcb = &q->pcb;
  }
  for (PB_ATTACH* b : q->attaches) b->query = nullptr, b->ptr = nullptr;
  q->attaches.clear();
  // The files of the query process: every file block with a handle.
  for (uint32_t i = 0; em && q->pcb.pcb_areas && i < em->em_area_cnt; ++i) {
    const AREA_DESC& d = em->em_area_tbl[i];
    if (d.type != 1 || d.rel_off || d.area_no > em->em_area_cnt) continue;
    auto* fb = reinterpret_cast<pi_file_blk*>(q->pcb.pcb_areas[d.area_no]);
    if (!fb || !fb->arb) continue;  // a file without a file-block area has nothing open
    fb->arb->arb_mod = 0;
    FM_CLOSE(fb->arb, 0);
    fb->arb = nullptr;
  }
  if (q->sort.ptr_arb) {
    q->sort.ptr_arb->arb_mod = 0;
    if (!FM_CLOSE(q->sort.ptr_arb, ARB_SCRATCH | ARB_CLOSE_NOW)) sys_err(kModule, __LINE__, "can't scratch ptr file");
    q->sort.ptr_arb = nullptr;
  }
  fq_del(q);
  pb_release(q);
}

namespace {

std::vector<ACTIVE_QRY*> retired;  // unlisted by update byte 3, their PCF still read

// Sort level k -> range entry, as the range blocks number the sort lines.
pb_level_map level_map(const ACTIVE_QRY* q) {
  pb_level_map m(1, 0);
  bool total = false;
  int flagged = 0;
  for (size_t i = 0; i < q->qsort.size(); ++i) {
    const uint8_t* r = q->qsort[i].data();
    if (i == 0) total = ld_le32(r, QSORT_SEQ) != 0;
    const bool used = ld_le32(r, QSORT_SEQ) != 0 && r[QSORT_OFF] != '0';
    const bool ranged = r[QSORT_OFF] == '1';
    if (used) m.push_back(ranged && (total ? 1 : 0) + flagged < kRngMax ? (total ? 1 : 0) + flagged : -1);
    flagged += ranged;
  }
  m[0] = 0;
  return m;
}

uint32_t exec_hook(PB_ATTACH* b) {
  if (!b->query) return PB_NO_QUERY;
  return pb_get_nxt_ptr(b);
}

void progress_hook(PB_ATTACH* b, int kind) {
  auto* q = static_cast<ACTIVE_QRY*>(b->query);
  if (!q || !pb_show_progress) return;
  const std::string t = pb_progress_text(&q->prog, kind, b->read, q->sort.selected, b->read);
  if (kind == 4) return pb_progress_show("");
  if (!t.empty()) pb_progress_show(t);
}

}  // namespace

void pb_fqry_unbuild(PB_ATTACH* b) {
  auto* q = static_cast<ACTIVE_QRY*>(b->query);
  if (!q) return;
  auto& v = q->attaches;
  v.erase(std::remove(v.begin(), v.end(), b), v.end());
  if (b->ptr) b->ptr->arb_mod = 0, fm_detach(b->ptr), b->ptr = nullptr;
}

int pb_fqry_build(ARB*, STRM*, const uint8_t* qblk, PB_ATTACH* b) {
  const char* ap = reinterpret_cast<const char*>(qblk + QB_AP);
  const char* proc = reinterpret_cast<const char*>(qblk + QB_PROC);
  const uint32_t scope = ld_le32(qblk, QB_SCOPE);
  ACTIVE_QRY* q = fq_find(ap, proc, scope);
  ARB* alt = nullptr;
  uint32_t wrk = 0;
  if (q) {
    const uint8_t upd = qblk[QB_UPDATE];
    if (upd == 1 && !pb_compatible(q)) {
      pb_shutdown(q), q = nullptr;
    } else if (upd == 2) {
      wrk = q->wrk_no;
      pb_shutdown(q), q = nullptr;
    } else if (upd == 3) {
      FAD fad{nullptr, nullptr};
      alt = q->pcf_arb ? FM_ATTACH(q->pcf_arb, &fad, scope) : nullptr;
      if (alt) alt->arb_rec = q->pcf_arb->arb_rec, alt->arb_len = q->pcf_arb->arb_len;
      fq_del(q);
      retired.push_back(q);
      q = nullptr;
    }
  }
  PCF_SCB* chain = pb_attach_chain;
  pb_attach_chain = nullptr;
  if (!q) q = pb_bld_fqry(qblk, alt, wrk, chain, &b->status);
  if (!q) return 0;
  b->query = q;
  b->data = q->id_arb;
  b->by_key = !is_blank(q->em->em_alt_ap, 3);
  b->key_no = 0;
  b->id_len = uint16_t(q->sort.id_len);
  b->map = q->tag_mode ? pb_level_map{} : level_map(q);
  b->exec = exec_hook, b->progress = progress_hook;
  q->attaches.push_back(b);
  return 1;
}

void pb_cleanup(PCB* p, const char* ap, const char* proc) {
  if (ACTIVE_QRY* q = fq_find(ap, proc, pi_owner_level(p, kQryAreaKind))) pb_shutdown(q);
}

void pb_clr_scope(uint32_t level) {
  pb_forget_stat(level);
  for (ACTIVE_QRY* q : fq_all())
    if (q->scope >= level) pb_shutdown(q);
  for (auto it = retired.begin(); it != retired.end();) {
    if ((*it)->scope < level) {
      ++it;
      continue;
    }
    ACTIVE_QRY* q = *it;
    it = retired.erase(it);
    q->attaches.clear();
    pb_release(q);
  }
  qp_clr_scope(level);
}

void pb_fqry_register() {
  // A new start of the file manager: the files of an earlier one are gone.
  fq_arb = nullptr;
  retired.clear();
}

}  // namespace kivo
