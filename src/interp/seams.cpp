// The interpreter is not built yet: no event point has code to run.
#include "interp/seams.h"

#include "foundation/end_codes.h"

namespace kivo {

void* rt_trace_arb = nullptr;

void rt_init() {}
void ii_init() {}

uint32_t ii_exec(EP_CALL* call) {
  call->result = 0;
  return PI_END_NO_PROC;
}

uint32_t ii_proc_exec(PROC_EXEC_BLK*) { return PI_END_NO_PROC; }

void rt_trace(const char*) {}

}  // namespace kivo
