// The INPUT process's steps in the executive's table: set-up with its
// modification log, the frame loop and its key handler, the clean-up and
// the status line's mode field.
//
// Invariant: the log belongs to the PCB whose pcb_mlog_pcb is itself; a
// SUBPROCESS of an INPUT that keeps a log writes into that one.
// Callers: the executive (pi_type_rows[PT_INPUT]), the frame processor
// (fp_types[PT_INPUT]).
#include <cstring>

#include "compiler/em.h"
#include "fm/fm_objects.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/end_codes.h"
#include "foundation/os.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "process/fp.h"
#include "process/ip.h"
#include "process/ip_internal.h"
#include "process/pi.h"
#include "process/pi_exec.h"
#include "process/pi_pcf.h"
#include "screen/tm_keys.h"
#include "screen/wm_show.h"

namespace kivo {

namespace {

constexpr char kModule[] = "IP";
constexpr uint32_t kInputFrame = 1;
constexpr uint8_t kAccUpdate = 0x0C;  // a file's access byte: opened for update

void input_exec(PCB* p, uint8_t* work) { ip_exec(p, work); }
void input_auto(PCB* p, uint8_t* work) { ip_auto(p, work); }

bool pcf_for_update(const PCB* p) {
  const uint8_t* c = pi_pcf_cfi(p);
  return c && p->pcb_pcf_arb && (c[FDB_ACC] & kAccUpdate);
}

// STDMLOG of "0LA": 115-byte lines in write order, at the owner's process
// scope `scope` (apart from the logs of other levels).
ARB* create_mlog(uint32_t scope) {
  FDB f;
  INIT_FDB(&f, FS_MEMORY, kMlogRecLen, 0, nullptr, 0);
  INIT_DB_PATH(&f.path, "   ", "0LA", "00", "STDMLOG ", PATH_DATA);
  f.path.fdb_tmp_id = scope;
  if (FM_CREATE(&f, scope, 10, LFB_SCOPED | LFB_OPEN_NEW | LFB_NO_STRUCT_CHK, 15, 15)) return f.fdb_arb;
  sys_err(kModule, __LINE__, "ip_setup() - STDMLOG create failed (%u)", f.fdb_stat);
  return nullptr;
}

void open_mlog(PCB* p) {
  p->pcb_mlog_pcb = nullptr, p->pcb_mlog_arb = nullptr;
  if (!pcf_for_update(p)) return;
  PCB* inv = invoc_parent(p->invoc);
  if (p->invoc.invoc_type() == 0 && inv && inv->invoc.proc_type() == PT_INPUT && inv->pcb_mlog_pcb) {
    p->pcb_mlog_pcb = inv->pcb_mlog_pcb;
    return;
  }
  ip_st(p).log_scope = com.proc_scope;
  if ((p->pcb_mlog_arb = create_mlog(com.proc_scope))) p->pcb_mlog_pcb = p;
}

// Leaves a holding mode for inquire mode, the hold given up.
void leave_hold(PCB* p) {
  const uint8_t m = ip_mode(p);
  if (m != IM_CHANGE && m != IM_DELETE) return;
  ip_release(p);
  ip_set_mode(p, IM_INQUIRE);
}

// ENTER carries out the mode: 0, or 1 when the mode has nothing to do.
int on_enter(PCB* p) {
  switch (ip_mode(p)) {
    case IM_INQUIRE: ip_read(p); return 0;
    case IM_ADD: ip_add(p); return 0;
    case IM_CHANGE: ip_change(p); return 0;
    default: return 1;
  }
}

// A key of the modes: 0 done, 1 a key this process does not know here.
int on_mode_key(PCB* p, uint32_t key) {
  // A delete waits for its acknowledgement: any other key gives it up.
  if (ip_mode(p) == IM_DELETE && key != LK_ACK_DEL) return leave_hold(p), 0;
  switch (key) {
    case LK_ENTER: return on_enter(p);
    case LK_INQUIRE_MODE:
      leave_hold(p);
      ip_set_mode(p, IM_INQUIRE);
      ip_clear_keys(p);
      ip_st(p).current = false;
      pi_dyna_post(p);
      return 0;
    case LK_NEXT_RECORD:
      leave_hold(p);
      ip_set_mode(p, IM_INQUIRE);
      ip_next(p);
      return 0;
    case LK_ADD_MODE:
      leave_hold(p);
      ip_set_mode(p, IM_ADD);
      ip_initial(p);
      pi_set_cns(p, pi_pcf_rec(p));
      ip_st(p).current = false;
      return 0;
    case LK_CHANGE_MODE:
    case LK_DELETE_MODE:
      leave_hold(p);
      if (ip_mode(p) == IM_ADD) ip_set_mode(p, IM_INQUIRE);
      ip_hold(p, key == LK_CHANGE_MODE ? IM_CHANGE : IM_DELETE);
      return 0;
    case LK_ACK_DEL:
      if (ip_mode(p) != IM_DELETE) return 1;
      ip_delete(p);
      return 0;
    default: return 1;
  }
}

}  // namespace

void ip_init() {
  pi_type_rows[PT_INPUT] = {ip_setup, input_exec, input_auto, ip_cleanup, ip_upd_stat};
  fp_types[PT_INPUT] = {ip_first_entry, ip_key};
}

const char* ip_mode_name(uint8_t m) {
  switch (m) {
    case IM_ADD: return "ADD";
    case IM_CHANGE: return "CHANGE";
    case IM_INQUIRE: return "INQUIRE";
    case IM_DYNA: return "DYNA BUILD";
    case IM_DELETE: return "DELETE";
    default: return "DATA ENTRY";
  }
}

void ip_upd_stat(PCB* p) { wm_set_mode(ip_mode_name(ip_mode(p))); }

void ip_setup(PCB* p, uint8_t*) {
  ip_state& s = ip_st(p);
  s = ip_state{};
  if (uint8_t* rec = pi_pcf_rec(p)) {
    s.found.assign(rec, rec + pi_pcf_len(p));
    s.initial = ip_fresh_rec(p);
    // The screen starts on a fresh record: an area shared with the invoker
    // still holds whatever record another process of the family left in it,
    // and nothing here is current to read again, change or delete. An
    // automatic run reads each record it touches and leaves the area alone.
    if (!p->invoc.auto_run()) ip_initial(p);
  }
  open_mlog(p);
  ip_set_mode(p, IM_INQUIRE);
}

void ip_fresh_log(PCB* p) {
  PCB* owner = p->pcb_mlog_pcb;
  const uint32_t scope = owner && owner->pcb_mlog_arb ? ip_st(owner).log_scope : 0;
  if (!scope) return;
  // A scratched memory file gives its records back; its handle goes with it.
  FM_CLOSE(owner->pcb_mlog_arb, ARB_SCRATCH);
  owner->pcb_mlog_arb = create_mlog(scope);
}

void ip_exec(PCB* p, uint8_t*) {
  // Without a first frame there is nothing to keep records through.
  if (!p->pcb_em || !p->pcb_em->em_frm_cnt) mark_leave(PI_END_PROCESS);
  for (;;) {
    const uint32_t r = fp_exec(p, kInputFrame);
    if (r == PI_END_NORMAL || (r == PI_END_MENU && !p->invoc.one_shot())) {
      // A frame its event 21 skips comes back at once: the yield point lets
      // a signal end the loop.
      ss_yield();
      continue;
    }
    mark_leave(r);
  }
}

uint32_t ip_cleanup(PCB* p, uint8_t*) {
  leave_hold(p);
  // A record typed but never written (a refused add) does not outlive the
  // process in an area it shares with its invoker, which would take it for
  // one of its own; an automatic run leaves the area as it found it.
  ip_state& s = ip_st(p);
  uint8_t* rec = pi_pcf_rec(p);
  if (!s.current && rec) {
    if (!p->invoc.auto_run()) ip_initial(p);
    else if (s.found.size() == pi_pcf_len(p)) memcpy(rec, s.found.data(), s.found.size());
  }
  if (p->pcb_mlog_pcb == p && p->pcb_mlog_arb) FM_CLOSE(p->pcb_mlog_arb, ARB_SCRATCH);
  p->pcb_mlog_arb = nullptr, p->pcb_mlog_pcb = nullptr;
  ip_forget(p);
  return 0;
}

uint32_t ip_key(PCB* p, fp_frame* f, uint32_t key) {
  if (key == LK_SELECT_KEY) {
    if (!ip_select(p, f)) f->beep = true;
    return 0;
  }
  if (on_mode_key(p, key)) {
    f->beep = true;
    return 0;
  }
  // After each operation the cursor is back on the first input item.
  if (f->entry_row) f->row = f->entry_row, f->col = f->entry_col;
  return 0;
}

}  // namespace kivo
