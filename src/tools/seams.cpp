// The editors and the debugger are not built yet; the break request that
// the terminal and lock waits rely on works.
#include "tools/seams.h"

namespace kivo {

POOL* se_pool = nullptr;
uint32_t com_dbg_ctl_bits = 0;

void se_init() {}

void dbg_ctl(uint8_t op) {
  if (op == 13) com_dbg_ctl_bits |= kDbgBreakRequest;
}

void dbg_cleanup(PCB*) {}

}  // namespace kivo
