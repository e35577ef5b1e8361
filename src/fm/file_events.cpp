// A file's own process (process type 12, named like the file): its start
// event at the file's first activation and its end event at the last close,
// and the whole-file queries of a handle (its name and its path).
//
// One process per PFB: started once, ended once, released with its PFB at
// the latest. The loader, the interpreter and the executive are reached
// through fm_proc_hooks, which they fill when they start.
#include <cstring>

#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_switch.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/end_codes.h"
#include "foundation/scope.h"

namespace kivo {

fm_proc_hook_table fm_proc_hooks;

namespace {

PCB* pcb_of(const PFB* pfb) { return static_cast<PCB*>(pfb->pfb_proc); }

}  // namespace

uint32_t run_file_ep(PFB* pfb, uint8_t ep, uint8_t* result) {
  auto* pcb = static_cast<uint8_t*>(pfb->pfb_proc);
  PROC_EXEC_BLK blk{pcb_of(pfb), result, ep, 0};
  uint32_t end = PI_END_NO_PROC;
  ++fm_rlevel;
  com.hook_scope = pfb->pfb_owner_scope;
  uint32_t rc = MARK(MARK_FILE_EVENT, [&] {
    if (fm_proc_hooks.proc_exec) end = fm_proc_hooks.proc_exec(&blk);
  });
  --fm_rlevel;
  end = rc == PI_END_NORMAL ? end : rc;
  st_le32(pcb, INVOC_END_CODE, end);
  return end;
}

namespace {

void run_ep(PFB* pfb, uint8_t ep) {
  uint8_t result[4] = {};
  run_file_ep(pfb, ep, result);
}

}  // namespace

void fm_run_event(ARB* arb, PFB* pfb, void (*event)(ARB*)) {
  ++pfb->pfb_event_depth;
  com.hook_scope = pfb->pfb_owner_scope;
  event(arb);
  --pfb->pfb_event_depth;
}

void start_proc(ARB* arb) {
  LFB* lfb = arb_strm(arb)->strm_lfb;
  PFB* pfb = lfb->lfb_pfb;
  const FDB_PATH& p = lfb->lfb_lfn->lfn_path;
  auto* pcb = static_cast<uint8_t*>(fm_zalloc(kPcbSize));
  if (fm_proc_hooks.invoc) memcpy(pcb, fm_proc_hooks.invoc->b, kInvocSize);
  memcpy(pcb + INVOC_AP_ID, p.fdb_ap, 3);
  memcpy(pcb + INVOC_VER, p.fdb_ver, 2);
  pcb[INVOC_PROC_TYPE] = PT_FILE_PROC;
  // The loader fills the update event points' entries when the module has them.
  st_le16(pcb, FPCB_EP_PRE, kNoEntry);
  st_le16(pcb, FPCB_EP_POST, kNoEntry);
  memset(pcb + INVOC_PROC_NAM, ' ', kProcNameLen);
  memcpy(pcb + INVOC_PROC_NAM, p.fdb_name, sizeof p.fdb_name);
  PCB* proc = reinterpret_cast<PCB*>(pcb);
  if (!fm_proc_hooks.pl_get || !fm_proc_hooks.pl_get(proc, 1)) {
    lfb->lfb_opt &= ~LFB_FILE_PROC;  // no such process: the file has no events
    mm_free(pcb);
    return;
  }
  pfb->pfb_proc = pcb;
  if (fm_proc_hooks.shr_data) pfb->pfb_proc_data = fm_proc_hooks.shr_data(proc, pfb->pfb_owner_scope, com.mark_scope);
  if (fm_proc_hooks.open_fi) fm_proc_hooks.open_fi(proc);
  run_ep(pfb, EP_FILE_OPEN);
}

void end_proc(ARB* arb) {
  PFB* pfb = arb_pfb(arb);
  run_ep(pfb, EP_FILE_CLOSE);
  fm_free_proc(pfb);
}

void fm_free_proc(PFB* pfb) {
  if (!pfb->pfb_proc) return;
  if (fm_proc_hooks.dbg_cleanup) fm_proc_hooks.dbg_cleanup(pcb_of(pfb));
  if (fm_proc_hooks.free_data) fm_proc_hooks.free_data(pcb_of(pfb), 1);
  mm_free(pfb->pfb_proc);
  pfb->pfb_proc = nullptr;
  pfb->pfb_proc_data = nullptr;
}

int fm_nam(ARB* arb, uint16_t* len, const void** name) {
  *len = 0;
  *name = nullptr;
  STRM* s = arb && arb->arb_sarb ? arb_strm(arb) : nullptr;
  if (!s || !s->strm_fms->nam) return 0;
  STRM copy = *s;
  if (!s->strm_fms->nam(arb, &copy)) return 0;
  *len = copy.strm_fms_path_len;
  *name = copy.strm_fms_path;
  return 1;
}

const FDB_PATH* fm_path(ARB* arb) {
  static FDB_PATH path;
  if (!arb || !arb->arb_sarb) return nullptr;
  const STRM* s = arb_strm(arb);
  const LFB* lfb = s ? s->strm_lfb : static_cast<const LFB*>(arb->arb_sarb->sarb_marb->marb_lfb.head);
  if (!lfb) return nullptr;
  path = lfb->lfb_lfn->lfn_path;
  return &path;
}

}  // namespace kivo
