// What the rest of the engine calls of the editors and the debugger.
#pragma once

#include <cstdint>

#include "foundation/dbg_ctl.h"
#include "tools/se_edit.h"

namespace kivo {

struct PCB;
struct SHOW_BLK;
struct ARB;

// The statement editor's show, record write and returns, which the tool
// harness replaces (tools/se_harness.h).
struct tools_hook_table {
  // Shows the edit run's screen and reads a key; starts as wm_show.
  int (*se_show)(SHOW_BLK* blk, ARB* msgs);
  // Writes one record at save; starts as the file manager's write (ie_put).
  int (*se_stmt_put)(ARB* a, const uint8_t* rec, uint16_t len);
  // Called with the context at every return of se_edit; null: nothing.
  void (*se_returned)(const uint8_t* ctx, int result);
};
extern tools_hook_table tools_hooks;

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
