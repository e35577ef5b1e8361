// invoc_proc: a process's run under its scope, from its areas to its
// clean-up, and each process chained after it; the type-step table; the
// removal of a family (discard_family).
//
// Invariants: the end code and the owner flag of the running PCB are read
// into locals before anything can remove it; the family is removed once,
// at step 15, by the PCB that heads it.
// Callers: pi_exec (pi_exec.cpp) runs invoc_proc under MARK.
#include <cstring>
#include <vector>

#include "compiler/em.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/dbg_ctl.h"
#include "foundation/end_codes.h"
#include "foundation/pool.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "interp/interp.h"
#include "interp/trace_kivo.h"
#include "process/pi_exec.h"
#include "process/pi_internal.h"
#include "process/pi_suspend.h"
#include "process/process.h"
#include "screen/wm.h"
#include "screen/wm_show.h"

namespace kivo {

namespace {

constexpr char kModule[] = "PIEXEC";
constexpr uint32_t kTraceStart = 600000, kTraceEnd = 602500, kTraceBackground = 600200;
enum : uint8_t { EP_START = 1, EP_END = 6 };

// An unbuilt type: its execution ends with the code tests may set.
void seam_exec(PCB* p, uint8_t*) {
  const uint8_t t = p->invoc.proc_type();
  const uint32_t code = t >= 1 && t <= kProcTypes ? pi_seam_end[t] : PI_END_CANCEL;
  if (code != PI_END_NORMAL) mark_leave(code);
}
void subroutine_exec(PCB*, uint8_t*) { mark_leave(PI_END_PROCESS); }
void query_auto(PCB*, uint8_t*) {}

uint32_t run_ep(PCB* p, uint8_t* work, uint8_t ep) {
  PROC_EXEC_BLK blk{p, work, ep, 0};
  return MARK(MARK_RECOVERY, [&] { ii_proc_exec(&blk); });
}

bool type_ok(uint8_t t) { return t >= 1 && t <= kProcTypes; }

// Step 1: an ACTION-family invoker without a PCF stream shows its window again.
void show_invoker(PCB* p) {
  PCB* inv = invoc_parent(p->invoc);
  if (!inv) return;
  const uint8_t t = inv->invoc.proc_type();
  if ((t != PT_ACTION && t != PT_UPDATE && t != PT_JOB) || !inv->pcb_act_wnd || !inv->pcb_act_show || inv->pcb_pcf_arb)
    return;
  wm_actv(static_cast<TWND*>(inv->pcb_act_wnd));
  wm_show(static_cast<SHOW_BLK*>(inv->pcb_act_show), nullptr);
}

// Step 5: a SUBPROCESS draws on its invoker's surfaces; others get their
// own once the window manager runs (without it there is nothing to draw on).
void surfaces(PCB* p) {
  if (p->invoc.invoc_type() == 0) {
    p->pcb_main_srf = ih_get(HK_SURFACE, p->invoc.parent_srf(0));
    p->pcb_pop_srf = ih_get(HK_SURFACE, p->invoc.parent_srf(1));
  }
  if (p->pcb_main_srf || !com.base_srf) return;
  SRF_BLK a{0, 0, 0}, b{0, 0, 0};
  p->pcb_main_srf = WM_CREATE_SRF(&a, com.subproc_scope);
  p->pcb_pop_srf = WM_CREATE_SRF(&b, com.subproc_scope);
  if (!p->pcb_main_srf || !p->pcb_pop_srf) sys_err(kModule, __LINE__, "invoc_proc() - unable to create surface");
}

// Step 8: a chained process of another family stands in its invoker's place.
void take_place(PCB* p) {
  PCB* inv = invoc_parent(p->invoc);
  if (!inv || p->invoc.chain_mode() != 2 || p->invoc.invoc_type() == 0) return;
  p->invoc.set_parent_pcb(inv->invoc.parent_pcb());
  if (inv->pcb_pool_owner) {
    discard_family(inv->family_no, 1);
  } else if (inv->pcb_sub_pool) {
    mm_destroy_pool(inv->pcb_sub_pool);
    inv->pcb_sub_pool = nullptr;
  }
}

// A run its invoker sent to the background takes the invoker's job options
// (the flag among them); the invoker's flag is spent, so that what it
// invokes next runs here again unless it asks anew.
void take_job_options(PCB* p) {
  PCB* inv = invoc_parent(p->invoc);
  if (!p->invoc.bg_run() || !inv) return;
  uint8_t* from = pi_area(inv, AREA_OUT_DFLT, A1_JOB_END);
  uint8_t* to = pi_area(p, AREA_OUT_DFLT, A1_JOB_END);
  if (!from || !to || from[A1_BACKGROUND] != '1') return;
  memcpy(to + A1_JOB_FIRST, from + A1_JOB_FIRST, A1_JOB_END - A1_JOB_FIRST);
  from[A1_BACKGROUND] = ' ';
}

// Step 3: the process goes to a background job; a job that was not
// submitted is the invoker's error and ends the run with 4. The family goes
// at the end of invoc_proc.
uint32_t background(PCB* p, uint32_t s) {
  TRACE_KIVO("P", 0, kTraceBackground, p, "background run");
  const int r = pi_suspend(p);
  TRACE_KIVO("P", s + 1, kTraceEnd, p, "end of process");
  if (r == 0) return PI_END_PROCESS;
  PCB* inv = invoc_parent(p->invoc);
  if (inv && inv->pcb_err_fi) la_add_msg(inv->pcb_err_fi, &MSG_SYS_ERR, 3, {});
  return PI_END_CANCEL;
}

uint32_t execute(PCB* p, uint8_t* work) {
  const uint8_t t = p->invoc.proc_type();
  if (!type_ok(t)) {
    sys_err(kModule, __LINE__, "invoc_proc() - bad proc type");
    return PI_END_CANCEL;
  }
  const pi_type_row& r = pi_type_rows[t];
  auto fn = p->invoc.auto_run() && r.auto_exec ? r.auto_exec : r.exec;
  if (!fn) return PI_END_NORMAL;
  return MARK(MARK_RECOVERY, [&] { fn(p, work); });
}

// Step 13's end of the PCF's current stream: a held read of the process
// leaves its stream in the file block, which may outlive the stream (a file
// block shared with the invoker, or kept in the SAA record).
void drop_current_stream(PCB* p) {
  auto* fb = static_cast<pi_file_blk*>(p->pcb_pcf_blk);
  if (fb && p->pcb_pcf_arb && fb->cur_arb == p->pcb_pcf_arb) fb->cur_arb = nullptr;
}

// Steps 12-14 after the type's execution; the end code that stands.
uint32_t finish(PCB* p, uint8_t* work, uint32_t code) {
  if (pi_runs_end_event(code)) code = pi_end_rule(code, run_ep(p, work, EP_END));
  if (fm_proc_hooks.dbg_cleanup) fm_proc_hooks.dbg_cleanup(p);
  dbg_ctl(DBG_POP);
  drop_current_stream(p);
  const uint8_t t = p->invoc.proc_type();
  if (!type_ok(t)) {
    sys_err(kModule, __LINE__, "invoc_proc() - bad proc. type");
  } else if (pi_type_rows[t].cleanup) {
    // A clean-up that failed cancels the run; a leave or a logout, which
    // end the session, go on as they are.
    const uint32_t c = pi_type_rows[t].cleanup(p, work);
    if ((c == PI_END_CANCEL || c == PI_END_FATAL) && code != PI_END_LEAVE && code != PI_END_LOGOUT) code = c;
  }
  return code;
}

// The run of a PCB holds its instance from the start to the end, however
// the run ends.
struct instance_claim {
  PCB* p;
  explicit instance_claim(PCB* pcb) : p(pcb) { pi_claim_instance(p, true); }
  ~instance_claim() { pi_claim_instance(p, false); }
  instance_claim(const instance_claim&) = delete;
  instance_claim& operator=(const instance_claim&) = delete;
};

// One PCB of the chain, steps 1-14; sets `next` to the PCB chained after it.
uint32_t run_one(PCB* p, PCB** next) {
  const instance_claim claim(p);
  *next = nullptr;
  pi_cur_pcb = p;
  p->pcb_next = nullptr;
  show_invoker(p);
  pi_shr_data(p, com.proc_scope, com.subproc_scope);
  const uint32_t s = TRACE_KIVO("P", 0, kTraceStart, p, "start of process");
  take_job_options(p);
  const uint8_t* a1 = pi_area(p, AREA_OUT_DFLT, A1_BACKGROUND + 1);
  if (p->invoc.bg_run() && a1 && a1[A1_BACKGROUND] == '1') return background(p, s);
  pi_bind_areas(p);
  memset(&p->pcb_main_srf, 0, offsetof(PCB, pcb_err_fi) - offsetof(PCB, pcb_main_srf));
  surfaces(p);
  // A fatal signal, a cancel or a leave during the open ends the process
  // with that code, never as a normal end.
  const uint32_t r = MARK(MARK_RECOVERY, [&] { pi_open_fi(p); });
  if (r == PI_END_CANCEL || r == PI_END_FATAL || r == PI_END_LEAVE || r == PI_END_LOGOUT) return r;
  uint8_t work[4] = {};
  const uint8_t t = p->invoc.proc_type();
  if (type_ok(t) && pi_type_rows[t].setup) pi_type_rows[t].setup(p, work);
  take_place(p);
  p->pcb_dbg = nullptr;
  dbg_ctl(DBG_PUSH);
  uint32_t code = r;
  if (!(t == PT_OUTPUT && p->invoc.auto_run())) code = run_ep(p, work, EP_START);
  if (code == PI_END_NORMAL) code = execute(p, work);
  code = finish(p, work, code);
  TRACE_KIVO("P", s + 1, kTraceEnd, p, "end of process");
  *next = p->pcb_next;
  return code;
}

}  // namespace

PCB* pi_cur_pcb;

pi_type_row pi_type_rows[kProcTypes + 1] = {
    {},
    {nullptr, seam_exec, nullptr, nullptr, nullptr},                // MENU
    {nullptr, seam_exec, nullptr, nullptr, nullptr},                // INPUT
    {nullptr, seam_exec, nullptr, nullptr, nullptr},                // OUTPUT
    {nullptr, seam_exec, nullptr, nullptr, nullptr},                // ACTION
    {nullptr, seam_exec, query_auto, nullptr, nullptr},             // QUERY
    {nullptr, subroutine_exec, subroutine_exec, nullptr, nullptr},  // SUBROUTINE
    {nullptr, seam_exec, nullptr, nullptr, nullptr},                // UPDATE
    {nullptr, seam_exec, nullptr, nullptr, nullptr},                // JOB
    {nullptr, seam_exec, nullptr, nullptr, nullptr},                // INQUIRY
    {nullptr, seam_exec, nullptr, nullptr, nullptr},                // STATUS
};
uint32_t pi_seam_end[kProcTypes + 1] = {PI_END_CANCEL, PI_END_CANCEL, PI_END_CANCEL, PI_END_CANCEL,
                                        PI_END_CANCEL, PI_END_CANCEL, PI_END_CANCEL, PI_END_CANCEL,
                                        PI_END_CANCEL, PI_END_CANCEL, PI_END_CANCEL};

bool pi_runs_end_event(uint32_t code) {
  switch (code) {
    case PI_END_PROCESS:
    case PI_END_EXIT:
    case PI_END_CANCEL:
    case PI_END_MENU:
    case PI_END_CHAIN:
    case PI_END_LEAVE:
    case PI_END_LOGOUT:
    case PI_END_FATAL: return true;
    default: return false;
  }
}

uint32_t pi_end_rule(uint32_t code, uint32_t e) {
  for (uint32_t c : {PI_END_FATAL, PI_END_CANCEL, PI_END_EXIT, PI_END_LEAVE, PI_END_LOGOUT})
    if (code == c || e == c) return c;
  return code;
}

void invoc_proc(PCB* p) {
  la_get_dec_sep_cur();
  uint32_t code = PI_END_NORMAL;
  for (PCB* next = p; next;) {
    p = next;
    code = run_one(p, &next);
  }
  // The last PCB may be gone with its family: nothing reads it after this.
  // The files the level closes serve its invoker now.
  pi_cur_pcb = invoc_parent(p->invoc);
  const uint8_t owner = p->pcb_pool_owner;
  const uint32_t family = p->family_no;
  if (owner) discard_family(family, 0);
  mark_leave(code ? code : PI_END_NORMAL);
}

namespace {

std::vector<PCB*> family_pcbs(uint32_t family) {
  std::vector<PCB*> out;
  if (!pi_pcb_arb) return out;
  uint8_t dummy[sizeof(PCB)] = {};
  PROTO_FULL(pi_pcb_arb, 0, dummy);
  pi_pcb_arb->arb_mod = ARB_FIRST;
  if (!fm_start(pi_pcb_arb)) return out;
  while (uint8_t* rec = fm_rdnxt_fast(pi_pcb_arb, 0)) {
    auto* q = reinterpret_cast<PCB*>(rec);
    if (q->family_no == family) out.push_back(q);
  }
  return out;
}

}  // namespace

uint32_t pi_family_count(uint32_t family) { return static_cast<uint32_t>(family_pcbs(family).size()); }

void discard_family(uint32_t family, int full) {
  for (PCB* q : family_pcbs(family)) {
    pi_free_data(q, full);
    PROTO_FULL(pi_pcb_arb, 0, reinterpret_cast<uint8_t*>(q));
    pi_pcb_arb->arb_len = sizeof(PCB);
    if (!fm_read_fast(pi_pcb_arb, ARB_EQUAL | ARB_HOLD)) {
      checkstat(pi_pcb_arb->arb_stat, "invoc_proc() - attach", kModule, __LINE__);
      continue;
    }
    pi_pcb_arb->arb_mod = 0;
    if (!fm_del(pi_pcb_arb)) checkstat(pi_pcb_arb->arb_stat, "invoc_proc() - PCB delete", kModule, __LINE__);
    mm_free(q);
  }
}

}  // namespace kivo
