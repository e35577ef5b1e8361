// The dispatch loop: event-point calls, relocation, the debugger's stop
// rule, run-time errors and the instruction trace.
//
// Map: tables and hooks; prep (code and constant address tables); the stop
// rule; relocation; ii_fail and rt_err; ii_exec_em and the II_EXEC_* calls;
// ii_init, rt_init, rt_trace.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "compiler/compiler.h"
#include "compiler/em_access.h"
#include "compiler/em_records.h"
#include "fm/fm_record.h"
#include "fm/la.h"
#include "foundation/com.h"
#include "foundation/dbg_ctl.h"
#include "foundation/descriptors.h"
#include "foundation/end_codes.h"
#include "foundation/maddr.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "interp/ii_disasm.h"
#include "interp/ii_run.h"
#include "interp/rt_fns.h"
#include "screen/la_show.h"

namespace kivo {

ii_hook_table ii_hooks;

ii_fn ii_inst_fns[OP_LIMIT];
ii_dbg_hook_table ii_dbg_hooks;
uint8_t rt_last_err[kRtErrSize];
ARB* rt_err_arb = nullptr;
ARB* rt_ifns_arb = nullptr;
void* rt_trace_arb = nullptr;

void ii_fill_ops();  // ii_ops.cpp

namespace {

FILE* inst_trace = nullptr;
uint32_t trace_seq = 0;

constexpr uint8_t kFlagStmt = 0x1, kFlagBreak = 0x2, kFlagLast = 0x4, kFlagOnce = 0x8;
constexpr uint8_t kErrClassRun = 3;

// Code and constant addresses by number, built once per module.
bool prep(EM* em) {
  if (em->em_blk) return true;
  if (!em->em_pool || !em->em_inst_arb) return false;
  auto table = [em](uint32_t n) { return static_cast<uint8_t**>(MM_ALLOC(em->em_pool, (n + 1) * sizeof(uint8_t*))); };
  uint8_t** blk = table(em->em_inst_cnt);
  uint8_t** cn = table(em->em_cnst_cnt);
  if (!blk || !cn) return false;
  blk[0] = cn[0] = nullptr;
  for (uint32_t i = 1; i <= em->em_inst_cnt; ++i) blk[i] = MADDR(em->em_inst_arb, i);
  for (uint32_t i = 1; i <= em->em_cnst_cnt; ++i) cn[i] = MADDR(em->em_cnst_arb, i);
  em->em_cn = cn;
  em->em_blk = blk;
  return true;
}

bool is_end_op(uint16_t op) {
  switch (op & ~1u) {
    case OP_END:
    case OP_CODE_END:
    case OP_EXIT:
    case OP_COND_EXIT:
    case OP_INVOKE:
    case OP_END_PROC:
    case OP_LOGOUT: return true;
    default: return false;
  }
}

bool is_trap(uint16_t op) { return op == OP_TRAP || op == OP_TRAP + 1; }

// ---- run-time errors ----

void put_text(uint8_t* at, size_t room, const std::string& s) {
  memcpy(at, s.data(), s.size() < room ? s.size() : room);
}

// "statement n of event point m" from the trap records, or the event point.
std::string where(II_RUN* run) {
  EM* em = run->em;
  uint32_t pos = (uint32_t{run->blk_no} << 16) | static_cast<uint32_t>(run->ip - run->blk);
  uint32_t best = 0, stmt = 0;
  for (uint32_t i = 1; em->em_trap_arb && i <= em->em_trap_cnt; ++i) {
    const uint8_t* r = MADDR(em->em_trap_arb, i);
    if (!r || ld_le16(r, 8) != em->em_cur_ep) continue;
    uint32_t at = (uint32_t{ld_le16(r, 0)} << 16) | ld_le16(r, 2);
    if (at != 0 && at <= pos && at >= best) best = at, stmt = ld_le32(r, 4);
  }
  std::string ep = "event point " + std::to_string(em->em_cur_ep);
  return stmt ? "statement " + std::to_string(stmt) + " of " + ep : ep;
}

// A stop in the debugger: true when it moved the point of execution.
bool debugger_took(II_RUN* run, uint8_t* failing) {
  if (!ii_dbg_hooks.dbg_init || !ii_dbg_hooks.inst_step_break) return false;
  if (!ii_dbg_hooks.dbg_init(run->call->pcb, 1)) return false;
  ii_dbg_hooks.inst_step_break(run, failing);
  return run->ip != failing;
}

}  // namespace

namespace {

// Record 1 of the ERROR file: rewritten when it is there, else written.
bool write_err_rec(const uint8_t* block) {
  ARB* a = rt_err_arb;
  uint8_t buf[kRtErrSize];
  a->arb_keyno = 0, a->arb_relno = 1, a->arb_key = nullptr;
  a->arb_mod = ARB_EQUAL | ARB_HOLD, a->arb_rec = buf, a->arb_len = kRtErrSize;
  bool there = fm_read(a);
  a->arb_mod = 0, a->arb_rec = const_cast<uint8_t*>(block), a->arb_len = kRtErrSize;
  a->arb_var_len = kRtErrSize;
  return there ? fm_rewrite(a) : fm_write(a);
}

}  // namespace

namespace {

// A text of the block, without its trailing blanks. A recorded system
// error's text comes marked with "*" (at its start or after the class
// label): the mark is no part of what the user reads.
std::string block_text(const uint8_t* block, size_t off) {
  size_t n = kErrTextLen;
  while (n && (block[off + n - 1] == ' ' || block[off + n - 1] == 0)) --n;
  std::string t(reinterpret_cast<const char*>(block + off), n);
  const size_t label = t.find(" - ");
  const size_t mark = !t.empty() && t[0] == '*' ? 0 : label != std::string::npos ? label + 3 : std::string::npos;
  if (mark != std::string::npos && mark < t.size() && t[mark] == '*') t.erase(mark, 1);
  return t;
}

std::string block_field(const uint8_t* block, size_t off, size_t len) {
  std::string f(reinterpret_cast<const char*>(block + off), len);
  while (!f.empty() && (f.back() == ' ' || f.back() == '\0')) f.pop_back();
  return f;
}

}  // namespace

std::string rt_err_text(const uint8_t* block) {
  std::string text = block_text(block, kErrText1);
  // The file the error is about, named whatever its reason says.
  const std::string file = block_field(block, kErrFile, 8), ap = block_field(block, kErrFileAp, 3),
                    db = block_field(block, kErrDb, 3);
  if (!file.empty()) {
    text += ": file " + file;
    if (!ap.empty() && ap != "---") text += " of application " + ap;
    if (!db.empty()) text += ", database " + db;
  }
  const std::string reason = block_text(block, kErrText2);
  if (!reason.empty()) text += "\n" + reason;
  return text;
}

void rt_err(PCB* invoker, const uint8_t* block) {
  (void)invoker;  // the error shows in the session's screen, not the invoker's
  memcpy(rt_last_err, block, kRtErrSize);
  if (rt_err_arb && !write_err_rec(block)) sys_err("RT", __LINE__, "rt_err() - ERROR file write failed");
  std::string text = rt_err_text(block);
  const size_t nl = text.find('\n');
  // The process ends with it: a session whose first process it was has failed.
  os_note_run_failure((nl == std::string::npos ? text : text.substr(0, nl) + ", " + text.substr(nl + 1)).c_str());
  uint32_t key;
  // In a window the user answers, whole, at a local terminal or a remote
  // one alike; the log keeps it as one line.
  const bool shown = la_show_text(text, &key);
  if (nl != std::string::npos) text.replace(nl, 1, " / ");
  if (!shown) return sys_err("RT", 1, "%s", text.c_str());
  sys_err_log(("RT.1: " + text).c_str());
}

void ii_fail(II_RUN* run, const std::string& text) {
  if (run->state != II_RUNNING) return;
  run->fail_text = text.c_str();
  const bool took = debugger_took(run, run->ip);
  run->fail_text = nullptr;
  if (took) return;
  uint8_t b[kRtErrSize];
  memset(b, ' ', sizeof b);
  b[0] = kErrClassRun;
  EM* em = run->em;
  memcpy(b + 15, em->em_ap, 3);
  memcpy(b + 18, em->em_proc_nam, 30);
  b[48] = em->em_proc_type;
  put_text(b + 49, 608, text);
  put_text(b + 657, 608, where(run));
  PCB* pcb = run->call->pcb;
  PCB* inv = pcb ? invoc_parent(pcb->invoc) : nullptr;
  rt_err(inv ? inv : pcb, b);
  run->state = II_FAILED;
  run->unwind = PI_END_CANCEL;
}

void ii_overflow(II_RUN* run, const char* text) {
  em_entry to = run->ovfl;
  run->ovfl = {};
  if (to.blk) return ii_jump(run, to);
  ii_fail(run, text);
}

void ii_bad_jump(II_RUN* run, em_entry to) {
  ii_fail(run, "bad instruction at block " + std::to_string(to.blk) + " offset " + std::to_string(to.off));
}

// ---- operands and relocation ----

uint8_t* ii_date_mask(II_RUN* run, uint32_t mask_no) { return CNST_RLOC(run->em, mask_no); }

namespace {

bool slot_checks(II_RUN* run, const uint8_t* inst, const opnd& o) {
  EM* em = run->em;
  uint32_t w0 = inst_slot(inst, o.slot);
  switch (o.kind) {
    case K_R: return INST_RLOC(ii_slot_pos(inst, o.slot), em->em_inst_arb) != nullptr;
    case K_X: return (w0 >> 16) >= 1 && (w0 >> 16) <= em->em_cfi_cnt && (w0 & 0xFFFF) <= em->em_area_cnt;
    case K_K: {
      uint32_t len = inst_slot(inst, o.slot + 1) >> 16;
      if (w0 >= kComConstBase) return w0 - kComConstBase + len <= kComConstAreaSize;
      return w0 >= 1 && w0 <= em->em_cnst_cnt && em->em_cn[w0];
    }
    case K_F: {
      uint16_t area = w0 & 0xFFFF;
      if (area == kRegArea) return (w0 >> 16) < kIiRegs;
      return area >= 1 && area <= em->em_area_cnt;
    }
    default: return true;  // N is bound by the routine verbs' relocation
  }
}

// VERIFY walks its field's occurrences: all of them lie inside the area
// (an indexed field, or a module without its area table, is left to IDX and
// the load's check).
bool verify_fits(const II_RUN* run, const uint8_t* inst, const opnd* ops, int n) {
  if ((inst_op(inst) & ~1u) != OP_VERIFY) return true;
  if (n != 4 || ops[0].kind != K_F) return false;
  const uint32_t w0 = inst_slot(inst, ops[0].slot), len = inst_slot(inst, ops[0].slot + 1) >> 16;
  const uint32_t occurs = inst_slot(inst, ops[1].slot) >> 16;
  const EM* em = run->em;
  if (occurs == 0) return false;
  if ((w0 & 0xFFFF) == kRegArea || !em->em_area_tbl) return true;
  for (uint32_t i = 0; i < em->em_area_cnt; ++i)
    if (em->em_area_tbl[i].area_no == (w0 & 0xFFFF))
      return (w0 >> 16) + uint64_t{occurs} * len <= em->em_area_tbl[i].size;
  return false;
}

}  // namespace

int ii_inst_rloc(II_RUN* run, uint8_t* inst) {
  uint16_t op = inst_op(inst);
  if (op & 1) return 1;
  opnd ops[kInstMaxSlots];
  size_t room = kInstRecLen - static_cast<size_t>(inst - run->blk);
  int n = inst_decode(inst, room, ops, kInstMaxSlots);
  for (int i = 0; i < n; ++i) {
    if (slot_checks(run, inst, ops[i])) continue;
    ii_fail(run, "bad operand " + std::to_string(i + 1) + " at block " + std::to_string(run->blk_no) + " offset " +
                     std::to_string(inst - run->blk));
    return 0;
  }
  if (n < 0 || !verify_fits(run, inst, ops, n)) {
    ii_fail(run,
            "bad instruction at block " + std::to_string(run->blk_no) + " offset " + std::to_string(inst - run->blk));
    return 0;
  }
  st_le16(inst, 0, static_cast<uint16_t>(op | 1));
  return 1;
}

uint8_t* ii_inst_ref(II_RUN* run, uint8_t* inst, int slot) {
  uint32_t w1 = inst_slot(inst, slot + 1);
  uint8_t t = static_cast<uint8_t>(w1);
  if (t >= 1 && t <= 15 && slot + 1 < static_cast<int>(inst_len(inst) / 4) - 1) {
    ii_fld f;
    return ii_operand(run, inst, slot, &f) ? f.p : nullptr;
  }
  return INST_RLOC(ii_slot_pos(inst, slot), run->em->em_inst_arb);
}

// ---- the stop rule ----

bool ii_dbg_should_stop(II_RUN* run, uint8_t* inst) {
  uint8_t& flags = inst[2];
  uint16_t op = inst_op(inst);
  if (flags & kFlagOnce) {
    flags &= static_cast<uint8_t>(~kFlagOnce);
    dbg_ctl(DBG_STEP);
  }
  if (ii_dbg_hooks.dbg_chk_watches && ii_dbg_hooks.dbg_chk_watches(run->call->pcb)) return true;
  if (!(flags & kFlagStmt)) return false;
  uint32_t w = com_dbg_ctl_bits;
  if (w & (kDbgStep | kDbgBreakRequest)) return !(is_trap(op) && !(flags & kFlagBreak));
  if (flags & kFlagBreak) return !is_trap(op);
  if ((w & kDbgToEnd) && ((flags & kFlagLast) || is_end_op(op))) {
    dbg_ctl(DBG_TO_END_OFF);
    return true;
  }
  if ((w & kDbgToReturn) && (op & ~1u) == OP_RETURN) {
    dbg_ctl(DBG_TO_RETURN_OFF);
    return true;
  }
  return false;
}

// ---- the loop ----

namespace {

void trace_inst(II_RUN* run, const uint8_t* inst) {
  std::string line;
  em_entry at{run->blk_no, static_cast<uint16_t>(inst - run->blk)};
  ii_disasm_inst(inst, kInstRecLen - at.off, at, &line);
  fprintf(inst_trace, "%s\n", line.c_str());
}

// One instruction through its routine, with every check, the debugger's
// stop and the trace.
void step(II_RUN* run) {
  uint8_t* inst = run->ip;
  size_t off = static_cast<size_t>(inst - run->blk), len = inst_len(inst);
  uint16_t op = inst_op(inst);
  ii_fn fn = op < OP_LIMIT ? ii_inst_fns[op] : nullptr;
  if (len == 0 || off + len > kInstRecLen || !fn) {
    ii_fail(run, "bad instruction at block " + std::to_string(run->blk_no) + " offset " + std::to_string(off));
    return;
  }
  if (com_dbg_ctl_bits && ii_dbg_should_stop(run, inst) && ii_dbg_hooks.inst_step_break) {
    ii_dbg_hooks.inst_step_break(run, inst);
    if (run->state != II_RUNNING || run->ip != inst) return;
  }
  if (inst_trace) trace_inst(run, inst);
  fn(run, inst);
}

// SETTF without its routine: the level takes the last outcome. False, for
// the routine to run it, at a bad level or where the statement must succeed.
inline bool settf_inline(uint16_t* tf, uint8_t last, const uint8_t* ip) {
  const uint32_t w = inst_slot(ip, 0);
  const int level = w & 0xFF;
  if (level < 1 || level > 5 || ((w >> 8) & 0xFF) == 1) return false;
  *tf = ii_tf_with(*tf, level, last == OUT_TRUE ? 1 : 2);
  return true;
}

// GCC's straight-line vectoriser packs the place (ip, blk) into one vector
// register, which costs the loop below a third of its speed.
#if defined(__GNUC__) && !defined(__clang__)
#define KIVO_SCALAR_PLACE [[gnu::optimize("no-tree-slp-vectorize")]]
#else
#define KIVO_SCALAR_PLACE
#endif

// Runs relocated instructions from run->ip with the place in registers:
// control flow and SETTF inline, the others through their routines, up to
// the first instruction that needs relocation, the debugger, the trace or a
// check (step deals with those) or the end of the run.
KIVO_SCALAR_PLACE void run_relocated(II_RUN* run) {
  if (inst_trace) return;
  const EM* em = run->em;
  uint16_t tf = run->tf;
  // The interrupt key's signal handler sets a bit of the control word at
  // any moment, so a loop of jumps alone still stops: read it afresh each
  // time.
  const volatile uint32_t& dbg_bits = com_dbg_ctl_bits;
  uint8_t *ip = run->ip, *blk = run->blk;
  uint16_t blk_no = run->blk_no;
  for (;;) {
    const size_t off = static_cast<size_t>(ip - blk), len = inst_len(ip);
    const uint16_t op = inst_op(ip);
    if (!(op & 1) || len == 0 || off + len > kInstRecLen || op >= OP_LIMIT || dbg_bits) break;
    em_entry to{};
    const int where = ii_control(tf, ip, &to);
    if (where == II_GO_TO) {
      if (to.blk == 0 || to.blk > em->em_inst_cnt || to.off + kInstHead > kInstRecLen) break;
      blk = em->em_blk[to.blk];
      blk_no = to.blk;
      ip = blk + to.off;
      continue;
    }
    if (where == II_GO_ON || (op == OP_SETTF + 1 && settf_inline(&tf, run->last, ip))) {
      ip += len;
      continue;
    }
    const ii_fn fn = ii_inst_fns[op];
    if (!fn) break;
    run->ip = ip, run->blk = blk, run->blk_no = blk_no, run->tf = tf;
    fn(run, ip);
    if (run->state != II_RUNNING) return;
    ip = run->ip, blk = run->blk, blk_no = run->blk_no, tf = run->tf;
  }
  run->ip = ip, run->blk = blk, run->blk_no = blk_no, run->tf = tf;
}

void loop(II_RUN* run) {
  while (run->state == II_RUNNING) {
    run_relocated(run);
    if (run->state == II_RUNNING) step(run);
  }
}

struct cur_ep_guard {
  EM* em;
  uint16_t saved;
  ~cur_ep_guard() { em->em_cur_ep = saved; }
};

}  // namespace

uint32_t ii_exec_em(EM* em, EP_CALL* call) {
  call->result = 0;
  if (!em || em->em_inst_cnt == 0 || !prep(em)) return PI_END_NO_PROC;
  II_RUN run{};
  run.call = call;
  run.em = em;
  run.tf = kTfAllUnset;
  cur_ep_guard guard{em, em->em_cur_ep};
  em->em_cur_ep = call->ep_no;
  dbg_ctl(DBG_EP_START);
  if (com_dbg_ctl_bits && ii_dbg_hooks.dbg_init) ii_dbg_hooks.dbg_init(call->pcb, 0);
  em_entry at = call->entry.at;
  if (at.blk == 0 || at.blk > em->em_inst_cnt || at.off + kInstHead > kInstRecLen) {
    run.blk = em->em_blk[1];
    run.ip = run.blk;
    run.blk_no = 1;
    ii_fail(&run, "bad instruction at block " + std::to_string(at.blk) + " offset " + std::to_string(at.off));
  } else {
    ii_jump(&run, at);
    loop(&run);
  }
  ii_pass_back(call->pcb);
  if (run.unwind) mark_leave(run.unwind);
  return PI_END_NORMAL;
}

uint32_t ii_exec(EP_CALL* call) { return ii_exec_em(call->pcb ? call->pcb->pcb_em : nullptr, call); }

int II_EXEC_ANY(EP_CALL* call, em_entry at) {
  if (at.blk == 0 || at.blk == kNoCode) return 0;
  call->entry.at = at;
  call->cleared[0] = call->cleared[1] = 0;
  ii_exec(call);
  return 1;
}

int II_EXEC_PROC(EP_CALL* call, uint16_t ep) {
  EM* em = call->pcb ? call->pcb->pcb_em : nullptr;
  if (!em || ep < 1 || ep > kEmEntries) return 0;
  call->ep_no = ep;
  return II_EXEC_ANY(call, em->em_ep[ep - 1]);
}

namespace {

// The entry of event point `ep` in a compiled record whose entries of
// points first..last start at byte `at`. No record, or a point outside the
// record's range, is no code: never a read through a null record.
int exec_rec(EP_CALL* call, const uint8_t* rec, uint16_t ep, uint16_t first, uint16_t last, size_t at) {
  if (!rec || ep < first || ep > last) return 0;
  size_t off = at + 4 * static_cast<size_t>(ep - first);
  call->ep_no = ep;
  return II_EXEC_ANY(call, {ld_le16(rec, off), ld_le16(rec, off + 2)});
}

}  // namespace

int II_EXEC_FRM(EP_CALL* call, uint16_t ep) {
  return exec_rec(call, call->pcb ? call->pcb->pcb_cur_frm : nullptr, ep, 21, 25, 4 * (21 + 6));
}
int II_EXEC_IMG(EP_CALL* call, uint16_t ep) {
  return exec_rec(call, call->pcb ? call->pcb->pcb_cur_img : nullptr, ep, 41, 44, 4 * (41 - 1));
}
int II_EXEC_CHLD(EP_CALL* call, const uint8_t* child, uint16_t ep) {
  return exec_rec(call, child, ep, 61, 62, 4 * (61 - 19));
}

int II_EXEC_MISC(EP_CALL* call, em_entry at, uint16_t ep) {
  call->ep_no = ep;
  return II_EXEC_ANY(call, at);
}

uint32_t ii_proc_exec(PROC_EXEC_BLK* blk) { return interp_seams.proc_exec(blk); }

uint32_t ii_proc_exec_own(PROC_EXEC_BLK* blk) {
  EP_CALL call{};
  call.pcb = blk->pcb;
  // 61 and 62 are the event points of the child being invoked.
  const bool child = blk->ep_no == 61 || blk->ep_no == 62;
  const int ran = child ? II_EXEC_CHLD(&call, blk->pcb ? blk->pcb->pcb_cur_chld : nullptr, blk->ep_no)
                        : II_EXEC_PROC(&call, blk->ep_no);
  if (!ran) call.result = 0;
  if (blk->result_area) st_le32(blk->result_area, 0, call.result);
  return PI_END_NORMAL;
}

namespace {

int add_msg(int cls, ARB* fi, const char* text, size_t len) {
  return la_add_text(fi, static_cast<uint16_t>(cls), 0, text, len);
}

}  // namespace

interp_seam_table interp_seams = {ii_proc_exec_own, add_msg};

// ---- start-up and traces ----

void ii_init() {
  ii_fill_ops();
  com.no_db_traps = getenv("KIVO_DB_TRAPS") ? 0 : 1;
  const char* path = getenv("KIVO_INST_TRACE");
  if (path && *path && !inst_trace) inst_trace = fopen(path, "a");
}

void rt_init() {
  const char* path = getenv("KIVO_TRACE_FILE");
  if (path && *path && !rt_trace_arb) rt_trace_arb = fopen(path, "a");
  if (rt_err_arb) return;
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  INIT_ERR_FDB(&fdb, kdb, sdb);
  if (!FM_CREATE(&fdb, com.sys_scope, 0, LFB_OPEN_NEW, 0x0f, 0x0f)) {
    sys_err("RT", __LINE__, "rt_init() - ERROR file create failed");
    return;
  }
  rt_err_arb = fdb.fdb_arb;
  // The routine file goes with the ERROR file: both belong to the session.
  INIT_IFNS_FDB(&fdb, kdb, sdb);
  rt_ifns_arb = nullptr;
  if (!FM_CREATE(&fdb, com.sys_scope, 0, LFB_OPEN_NEW, 0x0f, 0x0f) || !rt_load_fns(fdb.fdb_arb)) {
    sys_err("RT", __LINE__, "rt_init() - routine file create failed");
    return;
  }
  rt_ifns_arb = fdb.fdb_arb;
}

uint32_t rt_trace_number(uint32_t seq) { return seq ? seq : ++trace_seq; }

uint32_t rt_trace(const char* kind, uint32_t seq, uint32_t code, PCB* pcb, const char* text) {
  seq = rt_trace_number(seq);
  if (!rt_trace_arb) return seq;
  EM* em = pcb ? pcb->pcb_em : nullptr;
  char ap[4] = "---", nam[31] = "";
  int type = 0;
  if (em) {
    memcpy(ap, em->em_ap, 3);
    memcpy(nam, em->em_proc_nam, 30);
    type = em->em_proc_type;
  }
  FILE* f = static_cast<FILE*>(rt_trace_arb);
  fprintf(f, "%s %" PRIu32 " %" PRIu32 " %s/%d/%s %s\n", kind, seq, code, ap, type, nam, text);
  fflush(f);
  return seq;
}

int get_addr(void* value, void** out) {
  *out = value;
  return 1;
}

}  // namespace kivo
