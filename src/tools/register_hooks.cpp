// The tools' entries for the layers below. The debugger is not built yet;
// the break request that the terminal and lock waits rely on works.
#include "tools/tools.h"

#include "fm/fm_open.h"
#include "screen/tm.h"
#include "store/lock.h"
#include "tools/ie.h"
#include "tools/remote_term.h"
#include "tools/se_edit.h"

namespace kivo {

void dbg_cleanup(PCB*) {}

bool dbg_break_requested() { return (com_dbg_ctl_bits & kDbgBreakRequest) != 0; }

void tools_register_hooks() {
  lock_break_requested = dbg_break_requested;
  tm_hooks.debug_break = [] { dbg_ctl(kDbgOpBreak); };
  fm_proc_hooks.dbg_cleanup = dbg_cleanup;
  remote_term_register();
  ie_register();  // the image editor's routines "IE_INIT" and "IE_EDIT"
  se_register();  // the statement editor's routine "SE_EDIT"
}

}  // namespace kivo
