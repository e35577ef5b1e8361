// What the rest of the engine calls of the editors and the debugger.
#pragma once

#include <cstdint>

#include "foundation/dbg_ctl.h"
#include "store/store.h"
#include "tools/se_edit.h"

namespace kivo {

struct PCB;

// se_pool and se_init are the statement editor's (tools/se_edit.h).
void dbg_cleanup(PCB* pcb);

// Whether kDbgBreakRequest is set.
bool dbg_break_requested();

// Puts the break request in the lock wait (store_hooks.lock_break_requested) and in the
// terminal's interrupt key (tm_hooks.debug_break), dbg_cleanup in the file
// manager's file process, the debugger's stops and watches in
// ii_dbg_hooks with its routines (tools/dbg.h), the remote terminal's
// entries (remote_term.h) and the editors' routines; main calls it at
// start-up.
void tools_register_hooks();

}  // namespace kivo
