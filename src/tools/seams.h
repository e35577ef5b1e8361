// What the rest of the engine calls of the editors and the debugger.
#pragma once

#include <cstdint>

#include "foundation/dbg_ctl.h"
#include "tools/se_edit.h"

namespace kivo {

struct PCB;

// se_pool and se_init are the statement editor's (tools/se_edit.h).
void dbg_cleanup(PCB* pcb);

// Whether kDbgBreakRequest is set.
bool dbg_break_requested();

// The design editor's information and edit calls on a request block whose
// third word is the kind (the remote server's design lists and item
// paste). 0 until the editor is built: no session, nothing done.
int ie_get_info(uint32_t* req);
int ie_gui_edit(uint32_t* req);

// Puts the break request in the lock wait (lock_break_requested) and in the
// terminal's interrupt key (tm_hooks.debug_break), and dbg_cleanup in the
// file manager's file process; main calls it at start-up.
void dbg_register_hooks();

}  // namespace kivo
