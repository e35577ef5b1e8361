// The execution step of ACTION, UPDATE, JOB and STATUS processes: the
// primary file read to its end, the detail frame per record, the heading and
// total frames at the range levels the stream reports (a ranged run takes its
// query's code into system area 17), and the end code the action log and the
// error count leave. Also the session's action-log files.
//
// Invariants: the stream's status after a read names what came (a record, a
// level start or end with the level in the secondary status word, the end,
// a failure); a level at or past the number of levels runs no frame; a read
// that fails before the end ends the run with 4, never as a run that read
// the whole file; a loop that an unwind cuts short still ends the run's
// action log (log_cut).
// Callers: invoc_proc through pi_type_rows (ap_init fills the rows).
#include <cstring>
#include <string>
#include <vector>

#include "compiler/em.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/dbg_ctl.h"
#include "foundation/end_codes.h"
#include "foundation/os.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "process/ap.h"
#include "process/fp.h"
#include "process/op.h"
#include "process/pb.h"
#include "process/pi_exec.h"
#include "process/pi_hooks.h"
#include "process/pi_internal.h"
#include "process/pi_pcf.h"
#include "process/process.h"

namespace kivo {

ARB* alog_arb;
ARB* alog_family_arb;
ARB* alog_id_arb;
uint32_t alog_family_id = 1;
POOL* ap_pool;
void ap_sum_roll(PCB* p) { process_seams.ap_sum_roll(p); }

namespace {

constexpr char kModule[] = "AP";
constexpr char kPoolName[] = " AP        ";
enum : uint32_t { ST_LEVEL_START = 200620, ST_LEVEL_END = 200370, ST_RECORD = 200350 };
constexpr uint8_t kFlagHeading = 1, kFlagTotal = 2;  // range entry bytes after RNG_FLAGS
constexpr uint32_t kLevelMask = 0xFFFF;

ARB* create(FDB* fdb, const char* what) {
  if (FM_CREATE(fdb, com.sys_scope, 0, LFB_OPEN_NEW, 15, 15) && fdb->fdb_arb) return fdb->fdb_arb;
  checkstat(fdb->fdb_stat, what, kModule, __LINE__);
  return nullptr;
}

// A frame's end: a cancel, a fatal end or a leave ends the run at once; an
// END PROC ends the loop (false).
bool run_frame(PCB* p, uint32_t no) {
  if (!no) return true;
  const uint32_t r = fp_exec(p, no);
  if (r == PI_END_CANCEL || r == PI_END_FATAL || r == PI_END_LEAVE || r == PI_END_LOGOUT) mark_leave(r);
  return r != PI_END_PROCESS;
}

bool log_on(const PCB* p) { return !p->pcb_em->em_alog_mode; }

bool interrupted(const PCB* p) {
  const uint8_t* a3 = pi_area(p, AREA_PCF_FLAG, 1);
  return (com_dbg_ctl_bits & kDbgBreakRequest) && a3 && a3[0] == '1' && p->invoc.interrupt_ok();
}

// The heading (H) and total (T) frames of each of the L levels.
struct levels {
  uint32_t count = 1;
  bool ranges = false;
  std::vector<uint32_t> head, total;
  explicit levels(PCB* p) {
    ranges = p->pcb_rng && p->pcb_rng_cnt;
    if (ranges) count = p->pcb_rng_cnt;
    for (uint32_t i = 0; i < count; ++i) {
      head.push_back(load_rng_frm_no(p, i, 1));
      total.push_back(load_rng_frm_no(p, i, 2));
    }
  }
  // The frame a level start or end asks for: its entry's flag set and the
  // level one of the L.
  uint32_t frame(const PCB* p, uint32_t level, bool start) const {
    const uint8_t* e = static_cast<const uint8_t*>(p->pcb_rng) + kRngEntLen * level;
    if (!e[RNG_FLAGS + (start ? kFlagHeading : kFlagTotal)]) return 0;
    return start ? head[level] : total[level];
  }
};

// Reads past the level starts and ends, running their frames; the status
// that stands (ST_RECORD for a record).
uint32_t next_record(PCB* p, const levels& lv, bool* go_on) {
  ARB* s = p->pcb_pcf_arb;
  for (;;) {
    // A record leaves the status of an earlier read in the stream.
    if (pi_rdnxt(p, 0)) return ST_RECORD;
    const uint32_t st = s->arb_stat;
    if (st != ST_LEVEL_START && st != ST_LEVEL_END) return st;
    const uint32_t level = s->arb_stat2 & kLevelMask;
    // A level word past the range entries has no frame and nothing to roll.
    if (!lv.ranges || level >= lv.count) continue;
    p->pcb_brk_lvl = uint8_t(level);
    if (!run_frame(p, lv.frame(p, level, st == ST_LEVEL_START))) *go_on = false;
    if (st == ST_LEVEL_END) {
      ap_sum_roll(p);
      p->pcb_brk_lvl = uint8_t(p->pcb_rng_cnt - 1);
    }
    if (!*go_on) return st;
  }
}

// What an unwind out of the loop needs: the log context of the frame that
// ran last, and why a read ended the run.
struct loop_ctx {
  uint32_t ctx = MSG_ALOG_DETAIL;
  std::string why;
};

// A loop that cannot reach the primary file's end (its sorted query's sort
// interrupted, a read that failed part-way: a lost connection, a lock) ends
// the run with 4 before its total frame, which would take the records read
// for the whole. Its status is the process's message, which the unwind
// carries into the action log (log_cut); `why`, noted once the log's
// hand-over has run, ends a session the run started.
[[noreturn]] void read_ended(PCB* p, uint32_t st, loop_ctx* c) {
  if (p->pcb_err_fi) la_add_msg(p->pcb_err_fi, &st, 3, {});
  c->ctx = MSG_ALOG_DETAIL;
  c->why = pi_read_end_why(st);
  mark_leave(PI_END_CANCEL);
}

// A ranged run learns the code of the query it reads: its "RANGE CODE".
void take_range_code(PCB* p) {
  uint8_t info[kPbInfoLen];
  if (!pb_get_info(p->pcb_pcf_arb, info) || is_blank(info + PBI_CODE, kRangeCodeLen)) return;
  if (uint8_t* a17 = pi_area(p, AREA_RANGE, kRangeCodeLen)) memcpy(a17, info + PBI_CODE, kRangeCodeLen);
}

// Steps 2-4: the loop over the primary file; false when a frame ended it
// with END PROC.
bool read_loop(PCB* p, uint32_t detail, loop_ctx* c) {
  uint32_t* ctx = &c->ctx;
  ARB* s = p->pcb_pcf_arb;
  const levels lv(p);
  bool go_on = true;
  if (s && lv.ranges) take_range_code(p);
  if (s && !lv.ranges) {
    *ctx = MSG_ALOG_HEAD;
    go_on = run_frame(p, lv.head[0]);
    if (log_on(p)) log_add(p, MSG_ALOG_HEAD);
  }
  for (bool first = true; go_on; first = false) {
    ss_yield();
    if (!first && interrupted(p)) mark_leave(PI_END_CANCEL);
    if (s) {
      const uint32_t st = next_record(p, lv, &go_on);
      if (!go_on) break;
      const read_end e = pi_read_end(st);
      if (e == read_end::end) break;
      if (e != read_end::record) read_ended(p, st, c);
    }
    *ctx = MSG_ALOG_DETAIL;
    go_on = run_frame(p, detail);
    if (log_on(p)) log_add(p, MSG_ALOG_DETAIL);
    if (!s) break;
  }
  if (s && !lv.ranges && go_on) {
    *ctx = MSG_ALOG_TOTAL;
    go_on = run_frame(p, lv.total[0]);
    ap_sum_roll(p);
    if (log_on(p)) log_add(p, MSG_ALOG_TOTAL);
  }
  return go_on;
}

// An interrupt, a CANCEL or an EXIT cut the loop short: the lines the frame
// posted (context `ctx`) join the log and the family's log ends as at the
// end of the run, its head handing the lines over. A leave (the terminal
// gone, a termination signal), a logout or a fatal end runs nothing more:
// the session is going. The unwind goes on with its own code.
void log_cut(PCB* p, uint32_t ctx, uint32_t code) {
  if (code == PI_END_LEAVE || code == PI_END_LOGOUT || code == PI_END_FATAL) return;
  if (log_on(p)) log_add(p, ctx);
  log_end(p);
}

// Step 5: the end code after the log's end `r`. A cancel or a fatal end
// stands; an end of menu (the log's process left to the menu) is kept;
// anything else is a normal end, which an error count may turn into 4.
uint32_t end_code(PCB* p, uint32_t r) {
  if (r == PI_END_CANCEL || r == PI_END_FATAL) return r;
  const uint32_t code = r == PI_END_MENU ? uint32_t(PI_END_MENU) : uint32_t(PI_END_PROCESS);
  if (!p->pcb_em->em_ap_err_cancel) return code;
  const uint8_t* a7 = pi_area(p, AREA_NEXT, 4);
  return a7 && ld_le32(a7, 0) != 0 ? uint32_t(PI_END_CANCEL) : code;
}

}  // namespace

void ap_exec(PCB* p, uint8_t*) {
  ap_pool = mm_create_pool(kPoolName, com.proc_scope);
  log_start(p);
  op_bld_sum(p);
  const uint32_t detail = load_frm_no(p, 0);
  loop_ctx c;
  try {
    read_loop(p, detail, &c);
  } catch (const mark_jump& j) {
    log_cut(p, c.ctx, j.code);
    // After the hand-over, whose return to this run clears a note before.
    if (!c.why.empty()) os_note_run_failure(c.why.c_str());
    throw;  // the level's MARK still takes the unwind and its code
  }
  mark_leave(end_code(p, log_end(p)));
}

void ap_init() {
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  INIT_ALOG_FDB(&fdb, kdb, sdb);
  alog_arb = create(&fdb, "Can't create ALOG file ");
  INIT_ALOG_FAMILY_FDB(&fdb, kdb, sdb);
  alog_family_arb = create(&fdb, "Can't create ALOG file ");
  INIT_ALOG_ID_FDB(&fdb, kdb, sdb);
  alog_id_arb = create(&fdb, "Can't create ALOG file ");
  alog_family_id = 1;
  if (alog_id_arb) {
    static uint8_t rec[kAlogIdLen];
    memset(rec, 0, sizeof rec);
    ARB* a = alog_id_arb;
    a->arb_keyno = 0, a->arb_relno = 1, a->arb_key = nullptr, a->arb_mod = 0;
    a->arb_rec = rec, a->arb_len = a->arb_var_len = kAlogIdLen;
    if (!fm_write(a)) checkstat(a->arb_stat, "Bad alog_id write ", kModule, __LINE__);
  }
  for (uint8_t t : {PT_ACTION, PT_UPDATE, PT_JOB, PT_STATUS})
    pi_type_rows[t] = {nullptr, ap_exec, nullptr, nullptr, nullptr};
}

}  // namespace kivo
