// The debugger's stops: start-up on a process, the statement screen's
// session, the continue keys, cancel, and clean-up.
#include <cstring>

#include "compiler/em_access.h"
#include "compiler/pcb.h"
#include "editors/dbg.h"
#include "editors/editors.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/dbg_ctl.h"
#include "foundation/end_codes.h"
#include "process/pi_internal.h"
#include "screen/tm_keys.h"

namespace kivo {

namespace {

constexpr uint8_t kFlagOnce = 0x8;
constexpr size_t kA7DebugCancel = 36;  // area 7: "DEBUG CANCEL", binary 2
constexpr uint16_t kLastEventPoint = 80;

// Plants the one-shot stop on the instruction an R operand names (both
// operands of GOSUB and COPY are code positions).
void plant_once(II_RUN* run, uint8_t* inst, int slot) {
  if (!ii_inst_rloc(run, inst)) return;
  if (uint8_t* to = INST_RLOC(ii_slot_pos(inst, slot), run->em->em_inst_arb)) to[2] |= kFlagOnce;
}

// The common part of both stops; the result code of dbg_stmt, or 100 when
// the debugger could not start.
uint32_t stop(II_RUN* run) {
  PCB* pcb = run->call->pcb;
  // The tables describe the process's own module only.
  if (!pcb || run->em != pcb->pcb_em) return 100;
  // A process already stopped (also by a forced start on an error) only
  // refreshes its bounds; the traps-off refusal is for a first start.
  const int ready = dbg_block(pcb) ? dbg_custom(pcb) : dbg_init(pcb, 0);
  if (!ready) {
    // A pending step or interrupt would retry at every statement and make
    // every lock wait give up: cleared with the debugger.
    dbg_ctl(DBG_OFF), dbg_ctl(DBG_STEP_OFF);
    dbg_cleanup(pcb);
    return 100;
  }
  dbg_ctl(DBG_ON), dbg_ctl(DBG_STEP_OFF);
  const uint32_t code = dbg_stmt(dbg_block(pcb), run);
  if (code == LK_CANCEL) {
    if (uint8_t* a7 = pi_area(pcb, AREA_NEXT, kA7DebugCancel + 2)) st_le16(a7, kA7DebugCancel, LK_CANCEL);
    run->state = II_ENDED;
    run->unwind = PI_END_CANCEL;
  }
  return code;
}

}  // namespace

dbg_blk* dbg_block(PCB* pcb) { return pcb ? static_cast<dbg_blk*>(pcb->pcb_dbg) : nullptr; }

uint32_t dbg_stmt(dbg_blk* b, II_RUN* run) {
  uint32_t code = 101;
  while (code == 101 && run->state == II_RUNNING) code = editors_seams.dbg_stmt_guts(b, run);
  if (code != 100 && code != 101 && code != LK_CANCEL) dbg_continue(run, code);
  return code;
}

void dbg_continue(II_RUN* run, uint32_t key) {
  switch (key) {
    case 1: dbg_ctl(DBG_STEP); return;
    case 2: dbg_ctl(DBG_TO_RETURN); return;
    case 3: dbg_ctl(DBG_TO_END); return;
    case LK_ENTER: break;
    default: return;
  }
  uint8_t* inst = run->ip;
  const uint16_t op = inst_op(inst) & ~1u;
  if (op == OP_GOSUB) return plant_once(run, inst, 1);  // its return point
  if (op == OP_COPY) return plant_once(run, inst, 0);
  dbg_ctl(DBG_STEP);
}

void inst_trap(II_RUN* run, uint8_t* inst) {
  if (!com.no_db_traps && !(inst[2] & 0x2)) stop(run);
  if (run->state == II_RUNNING && run->ip == inst) run->ip = inst + 4;
}

void inst_step_break(II_RUN* run, uint8_t* inst) {
  (void)inst;  // the stop is before run->ip; the loop executes it after
  stop(run);
}

int dbg_init(PCB* pcb, int forced) {
  EM* em = pcb ? pcb->pcb_em : nullptr;
  if (!em || em->em_cur_ep > kLastEventPoint) return 0;
  if (!forced && com.no_db_traps) return 0;
  if (dbg_block(pcb)) return dbg_custom(pcb);
  auto* b = new dbg_blk;
  pcb->pcb_dbg = b;
  if (!em->em_inst_arb || !em->em_inst_cnt) return 0;
  std::vector<pl_dbg_rec> recs;
  if (!dbg_file_records(em, &recs) || dbg_load_records(em, recs, b) != DBG_LOAD_OK) return 0;
  b->rows = dbg_stmt_rows(com.scr_rows);
  return dbg_custom(pcb);
}

uint8_t dbg_stmt_rows(int screen_rows) { return static_cast<uint8_t>(screen_rows > 9 ? screen_rows - 9 : 1); }

void dbg_cleanup(PCB* pcb) {
  if (!pcb) return;
  cleanup_watches(pcb);
  dbg_blk* b = dbg_block(pcb);
  if (b && b->scr_free) b->scr_free(b);
  delete b;
  pcb->pcb_dbg = nullptr;
}

}  // namespace kivo
