// The interpreter's run context, its routine table and the helpers that
// exec routines share: operand resolution, jumps, run-time errors.
//
// Map: II_RUN and its registers; ii_fn and ii_inst_fns (512 slots: each even
// opcode n relocates at n, executes at n + 1); the debugger hooks and the
// stop rule; ii_exec_em (the dispatch loop over one module); relocation
// (ii_inst_rloc, ii_inst_ref); operand access and ii_fail.
//
// Invariants: the loop never reads outside an instruction block: every
// instruction's length is checked against its block before it runs, and a
// jump goes only to a position that INST_RLOC gives. Exec routines resolve
// their slots at each use and keep nothing across instructions but the IDX
// registers and the calculation stack.
#pragma once

#include <cstdint>
#include <string>

#include "compiler/em.h"
#include "compiler/em_access.h"
#include "compiler/inst.h"
#include "foundation/tf_word.h"
#include "interp/interp.h"

namespace kivo {

constexpr int kIiRegs = 4;
constexpr int kCalcDepth = 32;
constexpr uint16_t kTfAllUnset = 0x3FF;
constexpr uint32_t kResultStop = kEpResultStop;  // ERROR verb: statements asked to stop

enum : uint8_t { OUT_NONE = 0, OUT_TRUE = 1, OUT_FALSE = 2 };

// Status of a run: running, or how it ended.
enum ii_state : uint8_t { II_RUNNING = 0, II_ENDED, II_FAILED };

struct ii_reg {
  uint8_t* addr;  // null: not set by IDX
  uint8_t type;
  uint16_t len;
};

// A field operand resolved for one use.
struct ii_fld {
  uint8_t* p;
  uint8_t type;
  uint8_t scale;  // decimals; first level << 4 | last level for a date
  uint16_t len;
  bool is_const;
  const uint8_t* mask;   // a date field's compiled storage mask; null none
  bool no_sign = false;  // a binary or fixed packed number without sign
};

struct II_RUN {
  EP_CALL* call;
  EM* em;
  uint8_t* ip;   // the instruction about to run
  uint8_t* blk;  // the block that holds it
  uint16_t blk_no;
  uint16_t tf;   // 2 bits per level, level k at bits 10-2k and 11-2k
  uint8_t last;  // last outcome: OUT_NONE, OUT_TRUE, OUT_FALSE
  ii_state state;
  uint32_t unwind;  // end code to leave with after the loop (0 = none)
  em_entry ovfl;    // armed overflow target, blk 0 = none
  ii_reg reg[kIiRegs];
  __int128 calc[kCalcDepth];
  int calc_n;
  const char* fail_text;  // while the debugger shows a run-time error: its text
};

using ii_fn = void (*)(II_RUN* run, uint8_t* inst);
extern ii_fn ii_inst_fns[OP_LIMIT];
// The routine verbs' slots (ii_call.cpp), filled with the others at ii_init.
void ii_fill_call_ops();
// The file verbs' slots (ii_file.cpp).
void ii_fill_file_ops();

// Filled by the debugger when it starts; until then a trap steps over its
// 4 bytes, a stop calls nothing, dbg_init answers 0 and no watch fires.
struct ii_dbg_hook_table {
  void (*inst_trap)(II_RUN* run, uint8_t* inst);
  void (*inst_step_break)(II_RUN* run, uint8_t* inst);
  int (*dbg_init)(PCB* pcb, int forced);
  int (*dbg_chk_watches)(PCB* pcb);
};
extern ii_dbg_hook_table ii_dbg_hooks;

// clang-format off
#define KIVO_II_DBG_HOOKS(X)       \
  X(ii_dbg_hooks, inst_trap)       \
  X(ii_dbg_hooks, inst_step_break) \
  X(ii_dbg_hooks, dbg_init)        \
  X(ii_dbg_hooks, dbg_chk_watches)
// clang-format on
KIVO_TABLE_LISTED(ii_dbg_hooks, KIVO_II_DBG_HOOKS);

// The stop rule before an instruction while the control word is not 0:
// true when the debugger is to stop here (operations 8, 10, 11 applied).
bool ii_dbg_should_stop(II_RUN* run, uint8_t* inst);

// Runs the event point at `call->entry` of `em` to its end; the end code
// (PI_END_NORMAL for a plain end; 2, 3, 4 and 25 leave through mark_leave).
uint32_t ii_exec_em(EM* em, EP_CALL* call);

// Relocates the instruction when its opcode is even; 0 when a slot does
// not check (the run has then failed).
int ii_inst_rloc(II_RUN* run, uint8_t* inst);
// The address a slot designates: code for R, the bytes for F and K.
uint8_t* ii_inst_ref(II_RUN* run, uint8_t* inst, int slot);

// ---- for exec routines ----
// Number of slots the F or K operand at `slot` takes.
inline int ii_opnd_slots(const uint8_t* inst, int slot) {
  uint8_t type = static_cast<uint8_t>(inst_slot(inst, slot + 1));
  return (type & kOpndConst) || !is_date_type(type) ? 2 : 3;
}
// The compiled mask constant of a date operand; null when it is missing.
uint8_t* ii_date_mask(II_RUN* run, uint32_t mask_no);

// The bytes an F or K operand names from its two slots; null when it names
// nothing. Always inline: every operand of every exec routine passes here.
[[gnu::always_inline]] inline uint8_t* ii_opnd_addr(II_RUN* run, uint32_t w0, uint32_t w1) {
  EM* em = run->em;
  if (w1 & kOpndConst)
    return w0 < kComConstBase ? (w0 <= em->em_cnst_cnt ? em->em_cn[w0] : nullptr) : CNST_RLOC(em, w0);
  const uint16_t area = w0 & 0xFFFF, off = static_cast<uint16_t>(w0 >> 16);
  if (area == kRegArea) return off < kIiRegs ? run->reg[off].addr : nullptr;
  uint8_t* base = area <= em->em_area_cnt && em->em_area_addr ? em->em_area_addr[area] : nullptr;
  return base ? base + off : nullptr;
}

// Resolves the F or K operand at `slot` (decoded by its type byte); false
// when it names nothing.
inline bool ii_operand(II_RUN* run, const uint8_t* inst, int slot, ii_fld* out) {
  uint32_t w0 = inst_slot(inst, slot), w1 = inst_slot(inst, slot + 1);
  out->type = static_cast<uint8_t>(w1 & 0x7F);
  const uint8_t scale = static_cast<uint8_t>(w1 >> 8);
  out->no_sign = (out->type == 5 || out->type == 8) && (scale & kOpndNoSign);
  out->scale = out->no_sign ? static_cast<uint8_t>(scale & ~kOpndNoSign) : scale;
  out->len = static_cast<uint16_t>(w1 >> 16);
  out->is_const = (w1 & kOpndConst) != 0;
  out->mask = nullptr;
  out->p = ii_opnd_addr(run, w0, w1);
  if (out->is_const) return out->p != nullptr;
  // A date's third slot: its mask constant, 0 for forms that need none.
  uint32_t mask_no = is_date_type(out->type) ? inst_slot(inst, slot + 2) : 0;
  if (mask_no && !(out->mask = ii_date_mask(run, mask_no))) return false;
  return out->p != nullptr;
}

// Continues at the next instruction, or at a code position.
// Advances past `len` bytes rounded up to a whole slot; the rounded length.
inline size_t PC_ADJUST(size_t len, II_RUN* run) {
  size_t n = (len + 3) & ~size_t{3};
  run->ip += n;
  return n;
}
inline void ii_next(II_RUN* run, uint8_t* inst) {
  run->ip = inst;
  PC_ADJUST(inst_len(inst), run);
}
// The commonest shapes of COMPUTE, CMP and LOOPEND's step (ii_fast.cpp):
// true when the instruction ran, false with nothing changed when the
// general routine is to run it.
bool ii_fast_compute(II_RUN* run, uint8_t* p);
bool ii_fast_cmp(II_RUN* run, uint8_t* p);
bool ii_fast_loop_step(II_RUN* run, uint8_t* beg);

// A jump to a place outside the module's blocks: a run-time error.
void ii_bad_jump(II_RUN* run, em_entry to);
// Goes on at `to`; inline, since every branch of the statements comes here.
inline void ii_jump(II_RUN* run, em_entry to) {
  EM* em = run->em;
  if (to.blk == 0 || to.blk > em->em_inst_cnt || to.off + kInstHead > kInstRecLen) [[unlikely]]
    return ii_bad_jump(run, to);
  run->blk = em->em_blk[to.blk];
  run->blk_no = to.blk;
  run->ip = run->blk + to.off;
}
// Ends the event point with a run-time error showing `text`.
void ii_fail(II_RUN* run, const std::string& text);
// After an overflow of a moving instruction: the armed target or an error.
void ii_overflow(II_RUN* run, const char* text);

inline em_entry ii_slot_pos(const uint8_t* inst, int slot) {
  uint32_t w = inst_slot(inst, slot);
  return {static_cast<uint16_t>(w & 0xFFFF), static_cast<uint16_t>(w >> 16)};
}

// The TF word with level `level` (1-5) set to `v` (1 true, 2 false) and
// every deeper level unset.
inline uint16_t ii_tf_with(uint16_t tf, int level, uint16_t v) {
  uint32_t w = tf;
  SET_TF(v, static_cast<uint32_t>(12 - 2 * level), &w);
  return static_cast<uint16_t>(w);
}

// Where the control flow that every statement ends in goes, for the
// dispatch loop (which runs it without a call) and its routine alike: NOP
// goes on; JMP and LINK (the link to the next block) jump to slot 0;
// TFTEST {u16 mask, u16 value} goes on when the masked TF word equals the
// value, else jumps to slot 1. 1 next, 2 a jump to *to, 0 not one of them.
enum : int { II_NOT_CONTROL = 0, II_GO_ON = 1, II_GO_TO = 2 };
inline int ii_control(uint16_t tf, const uint8_t* inst, em_entry* to) {
  switch (inst_op(inst) | 1) {
    case OP_NOP + 1: return II_GO_ON;
    case OP_JMP + 1:
    case OP_LINK + 1: *to = ii_slot_pos(inst, 0); return II_GO_TO;
    case OP_TFTEST + 1: {
      uint32_t w = inst_slot(inst, 0);
      if ((tf & (w & 0xFFFF)) == (w >> 16)) return II_GO_ON;
      *to = ii_slot_pos(inst, 1);
      return II_GO_TO;
    }
    default: return II_NOT_CONTROL;
  }
}

// The last rt_err block, also record 1 of the "0LA" ERROR file.
constexpr size_t kRtErrSize = 1265;
extern uint8_t rt_last_err[kRtErrSize];
void rt_err(PCB* invoker, const uint8_t* block);
// The block's fields that rt_err reads: the file (application, name,
// database) and the two texts.
enum : size_t { kErrFileAp = 1, kErrFile = 4, kErrDb = 12, kErrText1 = 49, kErrTextLen = 608, kErrText2 = 657 };
static_assert(kErrText2 + kErrTextLen == kRtErrSize);
// What rt_err shows of a block: the first text, naming the block's file when
// it names one, then on a line of its own the second (a recorded system
// error's "*" mark left out).
std::string rt_err_text(const uint8_t* block);

}  // namespace kivo
