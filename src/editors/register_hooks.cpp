// The editors' entries for the layers below: the debugger's hooks, the
// editors' routines.
#include "editors/editors.h"

#include "editors/dbg.h"
#include "editors/ie.h"
#include "editors/remote_term.h"
#include "editors/se_edit.h"
#include "fm/fm_open.h"
#include "screen/tm.h"
#include "store/lock.h"
#include "store/store.h"

namespace kivo {

bool dbg_break_requested() { return (com_dbg_ctl_bits & kDbgBreakRequest) != 0; }

void editors_register_hooks() {
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
