// The steps of the OUTPUT (3) and INQUIRY (9) process types: the read loop
// over the primary file with its detail frame and the heading and total
// frames of its range levels, around the report's start and end.
//
// Invariant: the report ends (rpt_end) on every way out: at the end of the
// loop, or in op_cleanup after an unwind. A run interrupted, or one whose
// read of the primary file fails before its end, ends with 4 and
// prints nothing.
#include <cstring>
#include <string>

#include "compiler/em.h"
#include "foundation/bytes.h"
#include "foundation/dbg_ctl.h"
#include "foundation/end_codes.h"
#include "foundation/os.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "interp/interp.h"
#include "process/fp.h"
#include "process/op.h"
#include "process/op_inquiry.h"
#include "process/pi_exec.h"
#include "process/pi_hooks.h"
#include "process/pi_internal.h"
#include "process/pi_pcf.h"
#include "process/process.h"
#include "process/qs.h"

namespace kivo {

namespace {

constexpr uint8_t kFlagHeading = 1, kFlagTotal = 2;  // range entry flags after RNG_FLAGS

}  // namespace

uint32_t op_pcf_rdnxt(PCB* p, uint32_t* level) {
  const int ok = pi_rdnxt(p, 0);
  ARB* a = p->pcb_pcf_arb;
  const uint32_t st = a ? a->arb_stat : OP_EOF;
  *level = a ? (a->arb_stat2 & 0xFFFF) : 0;
  if (st == OP_LEVEL_START || st == OP_LEVEL_END) return st;
  if (ok) return OP_RECORD;
  return st == FM_EOF ? OP_EOF : st;
}

namespace {

// A frame's end code: a cancel or a fatal end ends the run at once; an
// end of process ends the loop.
bool frame(PCB* p, uint32_t no) {
  if (!no) return true;
  const uint32_t r = fp_exec(p, no);
  if (r == PI_END_CANCEL || r == PI_END_FATAL || r == PI_END_LEAVE || r == PI_END_LOGOUT) mark_leave(r);
  return r == PI_END_NORMAL || r == PI_END_MENU;
}

bool interrupted(PCB* p) {
  const uint8_t* a3 = pi_area(p, AREA_PCF_FLAG, 1);
  return (com_dbg_ctl_bits & kDbgBreakRequest) && a3 && a3[0] == '1' && p->invoc.interrupt_ok();
}

// A run that cannot reach its end: the report so far is dropped, never
// printed as if complete, the invoker's message line (the process's own
// without one) shows `status`, and the run ends with 4 for `why`.
[[noreturn]] void end_failed(PCB* p, uint32_t status, const std::string& why) {
  if (op_report* op = op_rpt(p)) op->failed = 1, op->status = status;
  os_note_run_failure(why.c_str());
  PCB* inv = invoc_parent(p->invoc);
  op_post(inv && inv->pcb_err_fi ? inv : p, status);
  mark_leave(PI_END_CANCEL);
}

// A loop that cannot reach the primary file's end: the user's interrupt
// (QS_INTERRUPTED, of the run or of its sorted query's sort), or a read that
// failed part-way (the totals and the report's end would pass the records
// not read for the whole).
[[noreturn]] void read_ended(PCB* p, uint32_t st) { end_failed(p, st, pi_read_end_why(st)); }

// A range level's frame of `kind` when its entry asks for it.
void level_frame(PCB* p, uint32_t level, uint8_t flag, uint8_t kind, bool end) {
  if (level == 0 || level >= p->pcb_rng_cnt) return;  // the report's own level, or past the ranges
  const uint8_t* e = static_cast<const uint8_t*>(p->pcb_rng) + kRngEntLen * level;
  if (!e[RNG_FLAGS + flag]) return;
  p->pcb_brk_lvl = uint8_t(level);
  frame(p, load_rng_frm_no(p, level, kind));
  if (end) op_sum_roll(p);
  p->pcb_brk_lvl = uint8_t(p->pcb_rng_cnt ? p->pcb_rng_cnt - 1u : 0u);
}

// The loop: level breaks, then a record and the detail frame.
void read_loop(PCB* p) {
  const uint32_t detail = load_frm_no(p, FRM_DETAIL);
  if (!p->pcb_pcf_arb) {
    frame(p, detail);
    return;
  }
  p->pcb_brk_lvl = uint8_t(p->pcb_rng_cnt ? p->pcb_rng_cnt - 1u : 0u);
  for (bool first = true;; first = false) {
    ss_yield();
    if (!first && interrupted(p)) read_ended(p, QS_INTERRUPTED);
    uint32_t level = 0, st = process_seams.op_rdnxt(p, &level);
    for (; st == OP_LEVEL_START || st == OP_LEVEL_END; st = process_seams.op_rdnxt(p, &level)) {
      if (st == OP_LEVEL_START) level_frame(p, level, kFlagHeading, FRM_HEADING, false);
      else level_frame(p, level, kFlagTotal, FRM_TOTAL, true);
    }
    const read_end e = pi_read_end(st);
    if (e == read_end::end) return;
    if (e != read_end::record) read_ended(p, st);
    if (!frame(p, detail)) return;
  }
}

// The run of both types; an INQUIRY's page is its window.
void run_report(PCB* p, const rm_sink* sink) {
  op_bld_sum(p);
  rpt_start(p, sink);
  if (sink && sink != process_seams.op_sink) {
    RPT_BLK* rpt = op_rpt(p)->rpt;
    rpt->page_len = inq_page_len(p);
    rpt->lines_left = rpt->page_len;
  }
  op_sof(p);
  read_loop(p);
  op_eof(p);
  if (!rpt_end(p)) mark_leave(PI_END_CANCEL);
  if (const uint32_t e = inq_end(p)) mark_leave(e);
  mark_leave(PI_END_PROCESS);
}

}  // namespace

void op_exec(PCB* p, uint8_t*) { run_report(p, process_seams.op_sink); }
void op_auto(PCB* p, uint8_t* work) { op_exec(p, work); }
void op_inquire(PCB* p, uint8_t*) { run_report(p, inq_sink(p)); }

uint32_t op_cleanup(PCB* p, uint8_t*) {
  op_report* op = op_rpt(p);
  if (!op) return 0;
  // A print whose run stopped before its end (a run-time error, a cancel,
  // a signal) is dropped, never kept as if it were complete. An inquiry's
  // pages were shown, and its user may end it at any page.
  if (!op->ended && !op->failed && p->invoc.proc_type() == PT_OUTPUT) {
    op->failed = 1;
    os_note_run_failure("its report stopped before its end: no print was kept");
  }
  const int whole = rpt_end(p);
  p->pcb_rpt = nullptr;
  const uint32_t inq = inq_end(p);
  if (inq) return inq;
  return whole ? 0u : uint32_t{PI_END_CANCEL};
}

void op_init() {
  pi_type_rows[PT_OUTPUT] = {nullptr, op_exec, op_auto, op_cleanup, nullptr};
  pi_type_rows[PT_INQUIRY] = {nullptr, op_inquire, nullptr, op_cleanup, nullptr};
}

}  // namespace kivo
