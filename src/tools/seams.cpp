// The debugger is not built yet; the break request that the terminal and
// lock waits rely on works.
#include "tools/seams.h"

#include "fm/fm_open.h"
#include "fm/lock.h"
#include "screen/tm.h"

namespace kivo {

void dbg_cleanup(PCB*) {}

bool dbg_break_requested() { return (com_dbg_ctl_bits & kDbgBreakRequest) != 0; }

void dbg_register_hooks() {
  lock_break_requested = dbg_break_requested;
  tm_hooks.debug_break = [] { dbg_ctl(kDbgOpBreak); };
  fm_proc_hooks.dbg_cleanup = dbg_cleanup;
}

}  // namespace kivo
