// What the rest of the engine calls of the process engine.
//
// The executive's entries go through `pi_hooks`, so that a test puts its
// own function in place; an empty entry runs the engine's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/invoc.h"

namespace kivo {

struct PCB;
struct ARB;
struct STRM;
struct PB_ATTACH;
struct rm_sink;

// The process engine's hooks. The executive's entries (exec ... open_fi):
// empty, the engine's own. The sorted-query back-end's and the report
// loops' (pb_build ... op_sink): filled by their own starts, replaced by
// tests; empty, as each says.
struct pi_hook_table {
  void (*exec)(INVOC* invoc);
  const uint8_t* (*get_dsysparm)();
  const uint8_t* (*get_dap)(const char* ap_id, const char* ver);
  const uint8_t* (*get_ddb)(const char* db_id);
  void (*open_fi)(PCB* pcb);
  // The build of the active query behind a sorted stream (pb_init,
  // pb_fqry.cpp), 1 when built; and its release at the stream's close.
  // Empty: no query, the attach fails with 200650.
  int (*pb_build)(ARB* arb, STRM* strm, const uint8_t* qblk, PB_ATTACH* out);
  void (*pb_unbuild)(PB_ATTACH* b);
  // Where a sorted query's progress text goes (an empty text removes it).
  // Empty: the one-line status window across the screen.
  void (*pb_progress)(const std::string& text);
  // The action loop's level roll after a total frame. Empty: op_sum_roll.
  void (*ap_sum_roll)(PCB* p);
  // Where an OUTPUT run's print blocks go. Null: the print manager.
  const rm_sink* op_sink;
};
extern pi_hook_table pi_hooks;

// The invocation template that pi_init and pi_register_hooks fill; the
// compiler starts a child's invocation from it (compiler_hooks.invoc_template).
extern INVOC pi_invoc;
// The engine's invocation defaults into pi_invoc.
void pi_fill_invoc();

// Start-up of the executive (process/pi_init.cpp): the invocation template,
// the sharing tables and the session's work files; the result of loading
// the hooks.
int pi_init();

// Runs the invocation to its end (the executive, process/pi_exec.h, unless
// a test fills the hook); the end code is stored in the record, and 24 and
// 25 go further up by unwinding.
void pi_exec(INVOC* invoc);
// The executive itself, whatever the hook holds: for a hook that stands in
// for some invocations only.
void pi_exec_own(INVOC* invoc);

// Design records kept for the run; null when unavailable (always, with the
// hook empty).
const uint8_t* pi_get_dsysparm();
const uint8_t* pi_get_dap(const char* ap_id, const char* ver);
const uint8_t* pi_get_ddb(const char* db_id);

// The opening of a process's files (pi_open_fi_run unless a test fills the hook).
void pi_open_fi(PCB* pcb);

// The resume of the suspended session named on the command line into the
// PCB (process/pi_resume.cpp); a file that does not resume whole ends the
// process with 4.
void pi_resume(PCB* pcb);

// Sorted-query back-end (process/pb.h).
int pb_init();
void pb_clr_scope(uint32_t level);

// Puts the sorted-query start and clearing in the file manager's start-up
// and the scope clearing, the database look-up in path expansion, and the
// file's own process and the translation subroutine in the file manager;
// main calls it before os_init.
void pi_register_hooks();
// The file manager's hooks of a file's own process and of the translation
// subroutine (process/pi_fproc.cpp).
void pi_fproc_register();
// Forgets which files were found without a process of their own.
void pi_fproc_forget();

void rm_init();
// The OUTPUT and INQUIRY steps and the PRINT and DISPLAY hooks (process/op.h).
void op_init();
void fp_init();
void mp_init();
void ip_init();
void ap_init();
void qp_init();  // process/qp.h

}  // namespace kivo
