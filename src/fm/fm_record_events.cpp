// The null tail of variable-length records and the file's event points
// around record operations (see fm_record.h).
//
// An event point runs the file's own process with a copy of the record and
// may change it; while one runs the file's event depth is raised, so that
// the process reading or writing its own file triggers no event of it.
#include <algorithm>
#include <cstring>

#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_switch.h"
#include "foundation/bytes.h"
#include "foundation/end_codes.h"

namespace kivo {

namespace {

// Bytes of the record the caller's buffer and the file both hold.
size_t rec_span(const ARB* arb, const PFB* pfb) {
  return arb->arb_len ? std::min(arb->arb_len, pfb->pfb_rec_len) : pfb->pfb_rec_len;
}

uint8_t mode_of(uint8_t op) {
  switch (op) {
    case FP_OP_WRITE: return 1;
    case FP_OP_DELETE: return 2;
    case FP_OP_UPDATE: return 7;
    default: return 3;
  }
}

// Runs event point `ep`; true when the event point flagged an error or
// cancelled.
bool run_point(ARB* arb, STRM* s, uint8_t ep, uint8_t op) {
  PFB* pfb = strm_pfb(s);
  auto* pcb = static_cast<uint8_t*>(pfb->pfb_proc);
  PCB* proc = reinterpret_cast<PCB*>(pcb);
  ++pfb->pfb_event_depth;
  if (ep != EP_READ && s->strm_ext && fm_proc_hooks.restore_data)
    fm_proc_hooks.restore_data(proc, static_cast<uint8_t*>(s->strm_ext), pfb->pfb_proc_data);
  uint8_t* area;
  memcpy(&area, pcb + FPCB_REC, sizeof area);
  size_t n = rec_span(arb, pfb);
  if (area) memcpy(area, arb->arb_rec, n);
  const FDB_PATH& p = s->strm_lfb->lfb_lfn->lfn_path;
  memcpy(pcb + FPCB_DB, p.fdb_db, 3);
  memcpy(pcb + FPCB_AP, p.fdb_src_ap, 3);
  memcpy(pcb + FPCB_VER, p.fdb_src_ver, 2);
  pcb[FPCB_OPER] = op;
  pcb[FPCB_MODE] = mode_of(op);
  memcpy(pcb + INVOC_CALLER_CODE, fm_rlevel ? "FILE" : "    ", 4);
  uint8_t result[4] = {};
  uint32_t end = run_file_ep(pfb, ep, result);
  // A record read in locate mode is the file's own copy: never written here.
  if (area && !(arb->arb_mod & ARB_LOCATE)) memcpy(arb->arb_rec, area, n);
  --pfb->pfb_event_depth;
  return result[0] != 0 || end == PI_END_CANCEL;
}

void store(ARB*, STRM* s) {
  PFB* pfb = strm_pfb(s);
  if (!fm_proc_hooks.store_data) return;
  if (!s->strm_ext) s->strm_ext = fm_zalloc(kProcSaveSize);
  fm_proc_hooks.store_data(static_cast<PCB*>(pfb->pfb_proc), static_cast<uint8_t*>(s->strm_ext), kProcSaveSize,
                           pfb->pfb_proc_data);
}

// The update event points run only when the module has code for them.
bool update_point_runs(const PFB* pfb, uint8_t ep) {
  const auto* pcb = static_cast<const uint8_t*>(pfb->pfb_proc);
  return !pfb->pfb_event_depth && ld_le16(pcb, ep == EP_PRE_UPD ? FPCB_EP_PRE : FPCB_EP_POST) != kNoEntry;
}

}  // namespace

void restore_null(ARB* arb) {
  STRM* s = arb_strm_or_null(arb);
  const PFB* pfb = s ? strm_pfb(s) : nullptr;
  if (!pfb || !pfb->pfb_var || (arb->arb_mod & ARB_LOCATE)) return;
  size_t end = std::min(arb->arb_len, pfb->pfb_rec_len);
  size_t from = arb->arb_var_len;
  if (from >= end) return;
  if (pfb->pfb_null_rec) memcpy(arb->arb_rec + from, pfb->pfb_null_rec + from, end - from);
  else memset(arb->arb_rec + from, 0, end - from);
}

uint16_t trimmed_len(ARB* arb) {
  const PFB* pfb = strm_pfb(arb_strm_or_null(arb));
  const uint8_t* null = pfb->pfb_null_rec;
  size_t n = rec_span(arb, pfb);
  size_t floor = std::max<size_t>(pfb->pfb_min_len, 1);
  while (n > floor && arb->arb_rec[n - 1] == (null ? null[n - 1] : 0)) --n;
  return uint16_t(n);
}

bool has_events(const ARB* arb) {
  const STRM* s = arb_strm_or_null(arb);
  return s && (s->strm_lfb->lfb_opt & LFB_FILE_PROC) && strm_pfb(s)->pfb_proc;
}

int post_read(ARB* arb) {
  STRM* s = arb_strm_or_null(arb);
  PFB* pfb = strm_pfb(s);
  if (pfb->pfb_event_depth) return 1;
  bool held = arb->arb_mod & ARB_HOLD;
  uint32_t st = arb->arb_stat;
  bool refused = run_point(arb, s, EP_READ, held ? FP_OP_UPDATE : FP_OP_READ);
  arb->arb_stat = st;
  if (held && st != FM_HELD_SELF && st != FM_LOCKED) {
    if (!refused) store(arb, s);
    else if (s->strm_fms->release) s->strm_fms->release(arb, s);
  }
  if (!refused) return 1;
  arb->arb_stat = FM_NOT_FOUND;
  return 0;
}

void pre_upd(ARB* arb, uint8_t op) {
  STRM* s = arb_strm_or_null(arb);
  if (!update_point_runs(strm_pfb(s), EP_PRE_UPD)) return;
  run_point(arb, s, EP_PRE_UPD, op);
  store(arb, s);
}

void post_upd(ARB* arb, uint8_t op) {
  STRM* s = arb_strm_or_null(arb);
  if (update_point_runs(strm_pfb(s), EP_POST_UPD)) run_point(arb, s, EP_POST_UPD, op);
}

}  // namespace kivo
