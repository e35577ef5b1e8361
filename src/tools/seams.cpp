// The debugger's hooks into the layers below it.
#include "tools/seams.h"

#include "fm/fm_open.h"
#include "fm/lock.h"
#include "screen/tm.h"
#include "tools/dbg.h"

namespace kivo {

bool dbg_break_requested() { return (com_dbg_ctl_bits & kDbgBreakRequest) != 0; }

void dbg_register_hooks() {
  lock_break_requested = dbg_break_requested;
  tm_hooks.debug_break = [] { dbg_ctl(kDbgOpBreak); };
  fm_proc_hooks.dbg_cleanup = dbg_cleanup;
  ii_dbg_hooks = {inst_trap, inst_step_break, dbg_init, dbg_chk_watches};
  dbg_register_watch_fns();
}

}  // namespace kivo
