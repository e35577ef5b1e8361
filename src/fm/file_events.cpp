// A file's own process (process type 12, named like the file): its start
// event at the file's first activation and its end event at the last close,
// and the whole-file queries of a handle (its name and its path).
//
// One process per PFB: started once, ended once, released with its PFB at
// the latest. The process engine loads, prepares, runs and releases it
// through fm_proc_hooks, which it fills when it starts.
#include <cstring>

#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_switch.h"
#include "foundation/com.h"
#include "foundation/end_codes.h"
#include "foundation/scope.h"

namespace kivo {

fm_proc_hook_table fm_proc_hooks;

namespace {

FM_PROC* proc_of(const PFB* pfb) { return static_cast<FM_PROC*>(pfb->pfb_proc); }

void run_ep(PFB* pfb, uint8_t ep, const FDB_PATH& path) {
  fm_prepare_proc(pfb, path, 0, 0);
  uint8_t result[4] = {};
  run_file_ep(pfb, ep, result);
}

}  // namespace

void fm_prepare_proc(PFB* pfb, const FDB_PATH& path, uint8_t op, uint8_t mode) {
  FM_PROC_EVENT ev{&path, op, mode, {' ', ' ', ' ', ' '}};
  // Another file's event point is running: this one was caused by it.
  if (fm_rlevel) memcpy(ev.caller, "FILE", 4);
  if (fm_proc_hooks.prepare) fm_proc_hooks.prepare(proc_of(pfb), ev);
}

uint32_t run_file_ep(PFB* pfb, uint8_t ep, uint8_t* result) {
  FM_PROC* proc = proc_of(pfb);
  uint32_t end = PI_END_NO_PROC;
  ++fm_rlevel;
  com.hook_scope = pfb->pfb_owner_scope;
  const uint32_t rc = MARK(MARK_FILE_EVENT, [&] {
    if (fm_proc_hooks.run) end = fm_proc_hooks.run(proc, ep, result);
  });
  --fm_rlevel;
  proc->end_code = rc == PI_END_NORMAL ? end : rc;
  return proc->end_code;
}

void fm_run_event(ARB* arb, PFB* pfb, void (*event)(ARB*)) {
  ++pfb->pfb_event_depth;
  com.hook_scope = pfb->pfb_owner_scope;
  event(arb);
  --pfb->pfb_event_depth;
}

void start_proc(ARB* arb) {
  LFB* lfb = arb_strm(arb)->strm_lfb;
  PFB* pfb = lfb->lfb_pfb;
  const FDB_PATH& path = lfb->lfb_lfn->lfn_path;
  FM_PROC* proc = fm_proc_hooks.load ? fm_proc_hooks.load(path, pfb->pfb_owner_scope) : nullptr;
  if (!proc) {
    lfb->lfb_opt &= ~LFB_FILE_PROC;  // no such process: the file has no events
    return;
  }
  pfb->pfb_proc = proc;
  run_ep(pfb, EP_FILE_OPEN, path);
}

void end_proc(ARB* arb) {
  PFB* pfb = arb_pfb(arb);
  run_ep(pfb, EP_FILE_CLOSE, arb_strm(arb)->strm_lfb->lfb_lfn->lfn_path);
  fm_free_proc(pfb);
}

void fm_free_proc(PFB* pfb) {
  FM_PROC* proc = proc_of(pfb);
  if (!proc) return;
  pfb->pfb_proc = nullptr;
  if (fm_proc_hooks.release) fm_proc_hooks.release(proc);
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
