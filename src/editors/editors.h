// What the rest of the engine calls of the editors and the debugger.
#pragma once

#include <cstdint>

#include "editors/se_edit.h"
#include "foundation/dbg_ctl.h"
#include "foundation/hook_list.h"

namespace kivo {

struct PCB;
struct SHOW_BLK;
struct ARB;
struct II_RUN;
struct dbg_blk;
struct dbg_watch;

// What tests and the tool harness (editors/se_harness.h) replace in the
// editors and the debugger; each entry starts as the real one.
struct editors_seam_table {
  // Shows the statement editor's screen and reads a key (wm_show).
  int (*se_show)(SHOW_BLK* blk, ARB* msgs);
  // Writes one record at save: the file manager's write (ie_put).
  int (*se_stmt_put)(ARB* a, const uint8_t* rec, uint16_t len);
  // Called with the context at every return of se_edit. Null: nothing (only
  // the tool harness logs them).
  void (*se_returned)(const uint8_t* ctx, int result);
  // The show and read of the image editor's key loop (wm_show).
  int (*ie_show)(SHOW_BLK* blk, ARB* msgs);
  // The debugger's statement screen for one stop (dbg_show_stop): the result
  // code of dbg_stmt, 100 nothing shown, 101 show again, 278 cancel, else
  // the key that continued the run.
  uint32_t (*dbg_stmt_guts)(dbg_blk* b, II_RUN* run);
  // Runs "WATCH TRIGGER" for a fired watch (dbg_run_trigger).
  void (*dbg_watch_trigger)(PCB* pcb, const dbg_watch& w);
};
extern editors_seam_table editors_seams;

// clang-format off
#define KIVO_TOOLS_SEAMS(X)         \
  X(editors_seams, se_show)           \
  X(editors_seams, se_stmt_put)       \
  X(editors_seams, se_returned)       \
  X(editors_seams, ie_show)           \
  X(editors_seams, dbg_stmt_guts)     \
  X(editors_seams, dbg_watch_trigger)
// clang-format on
KIVO_TABLE_LISTED(editors_seams, KIVO_TOOLS_SEAMS);

// se_pool and se_init are the statement editor's (editors/se_edit.h).
void dbg_cleanup(PCB* pcb);

// Whether kDbgBreakRequest is set.
bool dbg_break_requested();

// Fills the hooks the editors and the debugger serve below them: the break
// request in the lock wait (store_hooks.lock_break_requested) and in the
// terminal's interrupt key (tm_hooks.debug_break), dbg_cleanup in the file
// manager's file process, the debugger's stops and watches in ii_dbg_hooks,
// the remote terminal's entries (remote_term.h); and adds the debugger's
// and the editors' routines. main calls it first thing
// (kivo_register_hooks).
void editors_register_hooks();

}  // namespace kivo
