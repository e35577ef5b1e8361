// The tools' entries for the layers below: the debugger's hooks, the
// editors' routines.
#include "tools/tools.h"

#include "fm/fm_open.h"
#include "screen/tm.h"
#include "store/lock.h"
#include "store/store.h"
#include "tools/dbg.h"
#include "tools/ie.h"
#include "tools/remote_term.h"
#include "tools/se_edit.h"

namespace kivo {

bool dbg_break_requested() { return (com_dbg_ctl_bits & kDbgBreakRequest) != 0; }

void tools_register_hooks() {
  store_hooks.lock_break_requested = dbg_break_requested;
  tm_hooks.debug_break = [] { dbg_ctl(kDbgOpBreak); };
  fm_proc_hooks.dbg_cleanup = dbg_cleanup;
  ii_dbg_hooks = {inst_trap, inst_step_break, dbg_init, dbg_chk_watches};
  dbg_register_watch_fns();
  remote_term_register();
  ie_register();  // the image editor's routines "IE_INIT" and "IE_EDIT"
  se_register();  // the statement editor's routine "SE_EDIT"
}

}  // namespace kivo
