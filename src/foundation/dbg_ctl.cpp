// The debugger control word: 15 operations over one word and a stack of 256
// saved words whose index stops at both ends instead of wrapping.
#include "foundation/dbg_ctl.h"

#include "foundation/sys_err.h"

namespace kivo {

uint32_t com_dbg_ctl_bits = 0;

namespace {

uint32_t stack[kDbgStackSize];
uint8_t stack_ptr = 0;

constexpr uint32_t kKeptOnPush = 0x01FF0000;    // bits 16-24
constexpr uint32_t kEpStartClear = 0xFE0000FF;  // bits 0-7 and 25-31: watches stay

void push() {
  stack[stack_ptr] = com_dbg_ctl_bits;
  if (stack_ptr != kDbgStackSize - 1) ++stack_ptr;
  com_dbg_ctl_bits &= kKeptOnPush;
}

void pop() {
  if (stack_ptr != 0) --stack_ptr;
  com_dbg_ctl_bits = stack[stack_ptr] | (com_dbg_ctl_bits & kDbgWatches);
}

}  // namespace

void dbg_ctl(uint8_t op) {
  uint32_t& w = com_dbg_ctl_bits;
  switch (op) {
    case DBG_PUSH: push(); break;
    case DBG_POP: pop(); break;
    case DBG_EP_START: w &= ~kEpStartClear; break;
    case DBG_NOP: break;
    case DBG_ON: w |= kDbgActive | kDbgStarted; break;
    case DBG_OFF: w &= ~kDbgActive; break;
    case DBG_TO_END: w |= kDbgToEnd; break;
    case DBG_TO_END_OFF: w &= ~kDbgToEnd; break;
    case DBG_TO_RETURN: w |= kDbgToReturn; break;
    case DBG_TO_RETURN_OFF: w &= ~kDbgToReturn; break;
    case DBG_STEP: w |= kDbgStep; break;
    case DBG_STEP_OFF: w &= ~(kDbgStep | kDbgBreakRequest); break;
    case DBG_BREAK: w |= kDbgBreakRequest; break;
    case DBG_WATCH_ON: w |= kDbgWatches; break;
    case DBG_WATCH_OFF: w &= ~kDbgWatches; break;
    default: sys_err("DBG", 3001, "Bad op parameter in dbg_ctl()"); break;
  }
}

void dbg_ctl_reset() {
  for (uint32_t& w : stack) w = 0;
  stack_ptr = 0;
  com_dbg_ctl_bits = 0;
}

uint8_t dbg_ctl_depth() { return stack_ptr; }

}  // namespace kivo
