// The PCF selection blocks of a process: the constraint block built from
// the invocation's constraint fields and the range block of a named range,
// chained from pcb_scb; for an INPUT process the CDB file of the segments.
//
// Invariant: a constraint is taken only when it was built for this
// process's PCF, each segment lies inside the PCF record and each value
// inside the value buffer: constraint values are later copied into the
// record at those segments.
#include <cstring>
#include <span>

#include "compiler/design_records.h"
#include "compiler/em_access.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/end_codes.h"
#include "foundation/sys_err.h"
#include "process/pi.h"
#include "process/pi_internal.h"

namespace kivo {

namespace {

constexpr char kModule[] = "PISHR";
constexpr uint32_t MSG_CNSTR_FOREIGN = 200750;
constexpr size_t kSegEntLen = 6;
enum : size_t { SEG_OFF = 2, SEG_LEN = 4 };

// The PCF's record length, 0 when the module has no PCF record.
uint32_t pcf_rec_len(EM* em) {
  if (is_blank(em->em_pcf_ap, 3) || !em->em_cfi_arb) return 0;
  uint8_t key[CFI_LEN] = {};
  memcpy(key + FDB_AP, em->em_pcf_ap, 3);
  st_le32(key, CFI_FILE_NO, em->em_pcf_id);
  const uint8_t* cfi = em_read_key(em->em_cfi_arb, 2, key);
  return cfi ? ld_le16(cfi, FDB_REC_LEN) : 0;
}

void refuse(PCB* p) {
  PCB* inv = invoc_parent(p->invoc);
  if (inv && inv->pcb_err_fi) la_add_msg(inv->pcb_err_fi, &MSG_CNSTR_FOREIGN, 3, std::span<const cstr>{});
  p->invoc.set_end_code(PI_END_PROCESS);
}

ARB* create_cdb(PCB* p) {
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  INIT_CDB_FDB(&fdb, kdb, sdb);
  if (FM_CREATE(&fdb, p->pcb_pool->level, 20, LFB_OPEN_NEW, 15, 15) && fdb.fdb_arb) return fdb.fdb_arb;
  CHECK_FI(0, &fdb, "bld_pcf_scb - fm__create failed");
  return nullptr;
}

void cdb_write(ARB* cdb, const uint8_t* seg) {
  uint8_t rec[kSegEntLen];
  memcpy(rec, seg, kSegEntLen);
  PROTO_FULL(cdb, 0, rec);
  cdb->arb_len = cdb->arb_var_len = kSegEntLen;
  cdb->arb_mod = 0;
  if (!fm_write(cdb) && cdb->arb_stat != FM_DUP_KEY) checkstat(cdb->arb_stat, "cdb write failed", kModule, __LINE__);
}

template <typename T>
T* zalloc(POOL* pool, size_t n) {
  auto* t = static_cast<T*>(MM_ALLOC(pool, n ? n : 1));
  if (t) memset(t, 0, n ? n : 1);
  return t;
}

// The constraint block; 0 when a constraint lies outside the record or the
// value buffer, 1 otherwise (also when nothing counted).
int cnstr_block(PCB* p) {
  const INVOC* v = &p->invoc;
  const uint32_t cnt = v->cnstr_cnt();
  auto* flds = static_cast<const cnstr_fld*>(ih_get(HK_CNSTR_FLDS, v->cnstr_flds()));
  auto* segs = static_cast<const uint8_t*>(ih_get(HK_CNSTR_SEGS, v->cnstr_segs()));
  if (!cnt || !flds || !segs) return 1;
  const bool autorun = v->auto_run() != 0;
  const uint32_t rec_len = pcf_rec_len(p->pcb_em), val_len = v->cnstr_len();
  auto* b = zalloc<PCF_SCB>(p->pcb_sub_pool, sizeof(PCF_SCB));
  if (!b) return 1;
  b->kind = SCB_CNSTR;
  b->vals = zalloc<uint8_t>(p->pcb_sub_pool, val_len);
  b->segs = zalloc<uint8_t>(p->pcb_sub_pool, 8 * size_t(cnt));
  if (!b->vals || !b->segs) return 1;
  for (uint32_t i = 0; i < cnt; ++i) {
    const cnstr_fld& f = flds[i];
    if (autorun && !f.given) continue;
    const uint8_t* seg = segs + kSegEntLen * i;
    const uint8_t* from = f.indirect ? *reinterpret_cast<uint8_t* const*>(f.addr) : f.addr;
    if (ld_le16(seg, SEG_OFF) + ld_le16(seg, SEG_LEN) > rec_len || b->val_len + f.len > val_len || !from) {
      mm_free(b->segs), mm_free(b->vals), mm_free(b);
      return 0;
    }
    memcpy(b->vals + b->val_len, from + f.add_off, f.len);
    b->val_len += f.len;
    memcpy(b->segs + kSegEntLen * b->seg_cnt++, seg, kSegEntLen);
  }
  if (!b->seg_cnt) {
    mm_free(b->segs), mm_free(b->vals), mm_free(b);
    return 1;
  }
  if (v->proc_type() == PT_INPUT && !autorun && (p->pcb_cdb_arb = create_cdb(p)))
    for (uint16_t i = 0; i < b->seg_cnt; ++i) cdb_write(p->pcb_cdb_arb, b->segs + kSegEntLen * i);
  b->next = static_cast<PCF_SCB*>(p->pcb_scb);
  p->pcb_scb = b;
  return 1;
}

void range_block(PCB* p) {
  const INVOC* v = &p->invoc;
  auto* b = zalloc<PCF_SCB>(p->pcb_sub_pool, sizeof(PCF_SCB));
  if (!b) return;
  b->kind = SCB_RANGE;
  b->rng_scope = pi_owner_level(p, kQryAreaKind);
  memcpy(b->rng_ap, v->rng_ap(), 3);
  const uint8_t* a11 = pi_area(p, AREA_PROC, 5);
  memcpy(b->rng_ver, a11 ? reinterpret_cast<const char*>(a11 + 3) : v->ver(), 2);
  memcpy(b->rng_nam, v->rng_nam(), 30);
  b->invoc99 = v->b[INVOC_B99], b->invoc100 = v->b[INVOC_B100];
  const uint8_t t = v->proc_type();
  b->rpt_kind = t == PT_OUTPUT || t == PT_UPDATE || t == PT_ACTION;
  b->next = static_cast<PCF_SCB*>(p->pcb_scb);
  p->pcb_scb = b;
}

// The QUERY process of the application that names this process as its
// report, into the invocation's range: an OUTPUT, UPDATE or ACTION started
// without a range reads that query's selection (its defaults when it never
// ran). Nothing when no query names it.
void report_query_range(PCB* p) {
  INVOC* v = &p->invoc;
  const uint8_t t = v->proc_type();
  if (!(t == PT_OUTPUT || t == PT_UPDATE || t == PT_ACTION) || !is_blank(v->rng_ap(), 3)) return;
  char ap[4] = {}, ver[3] = {};
  memcpy(ap, v->ap_id(), 3), memcpy(ver, v->ver(), 2);
  if (IS_BOB_AP(ap)) return;  // the system applications name no report of a query
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  INIT_DPROC_FDB(&fdb, kdb, sdb, ap, ver);
  if (!FM_OPEN(&fdb, com.mark_scope, 2048, 1, 15)) return;
  ARB* a = fdb.fdb_arb;
  uint8_t rec[kProcRecSize];
  uint8_t key[1] = {PT_QUERY};
  PROTO_FULL(a, 0, rec);
  a->arb_key = key, a->arb_key_len = 1, a->arb_len = kProcRecSize, a->arb_mod = ARB_PARTIAL;
  if (fm_start(a)) {
    for (a->arb_key = nullptr, a->arb_mod = 0; fm_rdnxt(a) && rec[PR_TYPE] == PT_QUERY; a->arb_mod = 0) {
      if (memcmp(rec + PR_RPT_AP, ap, 3) || memcmp(rec + PR_RPT_NAME, v->proc_nam(), 30)) continue;
      memcpy(v->rng_ap(), ap, 3), memcpy(v->rng_nam(), rec + PR_NAME, 30);
      break;
    }
  }
  a->arb_mod = 0;
  if (!FM_CLOSE(a, 0)) sys_err(kModule, __LINE__, "can't close process file");
}

}  // namespace

int bld_pcf_scb(PCB* p) {
  // A reused SUBPROCESS still holds its last run's CDB file, open at its
  // invoker's level: this run's takes its place, else they pile up until
  // the invoker ends.
  pi_close_scratch(p->pcb_cdb_arb);
  const INVOC* v = &p->invoc;
  const EM* em = p->pcb_em;
  const bool passed = v->cnstr_flds() != 0;
  if (passed && (em->em_pcf_id != v->cnstr_stamp() || memcmp(em->em_pcf_ap, v->cnstr_ap(), 3))) {
    refuse(p);
    return 0;
  }
  if (!cnstr_block(p)) {
    refuse(p);
    return 0;
  }
  if (!v->auto_run()) report_query_range(p);
  if (!is_blank(v->rng_ap(), 3) && !v->auto_run()) range_block(p);
  return 1;
}

}  // namespace kivo
