// The interpreter is not built yet: with its hooks empty no event point has
// code to run.
#include "interp/seams.h"

#include "foundation/end_codes.h"

namespace kivo {

ii_hook_table ii_hooks;
void* rt_trace_arb = nullptr;

void rt_init() {}
void ii_init() {}

uint32_t ii_exec(EP_CALL* call) {
  if (ii_hooks.exec) return ii_hooks.exec(call);
  call->result = 0;
  return PI_END_NO_PROC;
}

uint32_t ii_proc_exec(PROC_EXEC_BLK* blk) { return ii_hooks.proc_exec ? ii_hooks.proc_exec(blk) : PI_END_NO_PROC; }

void rt_trace(const char* text) {
  if (ii_hooks.trace) ii_hooks.trace(text);
}

}  // namespace kivo
