// What the rest of the engine calls of the process engine; its seams, which
// tests and the tool harness replace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/hook_list.h"
#include "foundation/invoc.h"

namespace kivo {

struct PCB;
struct ARB;
struct FDB;
struct STRM;
struct PB_ATTACH;
struct rm_sink;

// What tests (and the tool harness, editors/se_harness.h) replace in the
// process engine; each entry starts as the real one.
struct process_seam_table {
  // Runs an invocation to its end: the executive (pi_exec_own).
  void (*exec)(INVOC* invoc);
  // The design records kept for the run, read once from their files
  // (pi_get_dsysparm_own ...); null when unavailable.
  const uint8_t* (*get_dsysparm)();
  const uint8_t* (*get_dap)(const char* ap_id, const char* ver);
  const uint8_t* (*get_ddb)(const char* db_id);
  // The build of the active query behind a sorted stream, 1 when built, and
  // its release at the stream's close (pb_fqry_build, pb_fqry_unbuild).
  int (*pb_build)(ARB* arb, STRM* strm, const uint8_t* qblk, PB_ATTACH* out);
  void (*pb_unbuild)(PB_ATTACH* b);
  // Where a sorted query's progress text goes, an empty text removing it:
  // the one-line status window across the screen (pb_progress_line).
  void (*pb_progress)(const std::string& text);
  // The action loop's level roll after a total frame (op_sum_roll).
  void (*ap_sum_roll)(PCB* p);
  // Where an OUTPUT run's print blocks go. Null: the print manager.
  const rm_sink* op_sink;
  // The report loop's read-next: the stream's status after pi_rdnxt, and in
  // `level` the range level of a level break (op_pcf_rdnxt, process/op.h).
  uint32_t (*op_rdnxt)(PCB* p, uint32_t* level);
  // Shows an INQUIRY page (`rows` lines of `cols` characters) and waits for
  // a key: 1 go on, 2 end, 4 cancel. The window manager's, with keymap
  // "DATA ENTRY" (inq_show_page_own, process/op_inquiry.h).
  uint32_t (*inq_show_page)(PCB* p, const char* page, uint16_t rows, uint16_t cols);
  // How rm_start creates a buffer's memory files: the file manager's create
  // (rm_make_file, process/rm.h); null when it failed.
  ARB* (*rm_create)(FDB* fdb, uint32_t scope, uint32_t size, uint32_t options);
  // A frame, image or child event point: the interpreter's (fp_ep_own,
  // process/fp.h).
  uint32_t (*fp_ep)(PCB* p, uint16_t ep, const uint8_t* child);
  // The opening of a process's files (pi_open_fi_run, process/pi_exec.h).
  void (*open_fi)(PCB* pcb);
};
extern process_seam_table process_seams;

// clang-format off
#define KIVO_PROCESS_SEAMS(X)     \
  X(process_seams, exec)          \
  X(process_seams, get_dsysparm)  \
  X(process_seams, get_dap)       \
  X(process_seams, get_ddb)       \
  X(process_seams, pb_build)      \
  X(process_seams, pb_unbuild)    \
  X(process_seams, pb_progress)   \
  X(process_seams, ap_sum_roll)   \
  X(process_seams, op_sink)       \
  X(process_seams, op_rdnxt)      \
  X(process_seams, inq_show_page) \
  X(process_seams, rm_create)     \
  X(process_seams, fp_ep)         \
  X(process_seams, open_fi)
// clang-format on
KIVO_TABLE_LISTED(process_seams, KIVO_PROCESS_SEAMS);

// The invocation template that pi_init and process_register_hooks fill; the
// compiler starts a child's invocation from it (compiler_hooks.invoc_template).
extern INVOC pi_invoc;
// The engine's invocation defaults into pi_invoc.
void pi_fill_invoc();

// Start-up of the executive (process/pi_init.cpp): the invocation template,
// the sharing tables and the session's work files; the result of loading
// the hooks.
int pi_init();

// Runs the invocation to its end (process_seams.exec: the executive,
// process/pi_exec.h, unless a test or the tool harness stands in); the end
// code is stored in the record, and 24 and 25 go further up by unwinding.
void pi_exec(INVOC* invoc);
// The executive itself, whatever the seam holds: for a stand-in that takes
// some invocations only.
void pi_exec_own(INVOC* invoc);

// Design records kept for the run (through process_seams); null when
// unavailable.
const uint8_t* pi_get_dsysparm();
const uint8_t* pi_get_dap(const char* ap_id, const char* ver);
const uint8_t* pi_get_ddb(const char* db_id);
// Their reads from the files, cached for the run, whatever the seams hold.
const uint8_t* pi_get_dsysparm_own();
const uint8_t* pi_get_dap_own(const char* ap_id, const char* ver);
const uint8_t* pi_get_ddb_own(const char* db_id);

// The opening of a process's files (through process_seams.open_fi).
void pi_open_fi(PCB* pcb);

// The resume of the suspended session named on the command line into the
// PCB (process/pi_resume.cpp); a file that does not resume whole ends the
// process with 4.
void pi_resume(PCB* pcb);

// Sorted-query back-end (process/pb.h).
int pb_init();
void pb_clr_scope(uint32_t level);

// Fills the hooks the process engine serves below it: the sorted-query
// start, attach and clearing in the file manager's start-up, streams and
// the scope clearing, the database look-up in path expansion and the back-end
// selection, the file manager's file process, the statements' invocation
// verbs, PRINT, DISPLAY and primary-file operations, the compiler's
// invocation template and the terminal's process name; main calls it first
// thing (kivo_register_hooks).
void process_register_hooks();
// The one hook filled at the process engine's start (pi_init) rather than
// at registration: the design records, since before the start there are no
// records to read, which is not the same as a record that is missing.
void process_start_hooks();
// The file manager's hooks of a file's own process and of the translation
// subroutine (process/pi_fproc.cpp), filled by process_register_hooks.
void pi_fproc_register();
// Forgets which files were found without a process of their own.
void pi_fproc_forget();

void rm_init();
// The OUTPUT and INQUIRY steps (process/op.h).
void op_init();
void fp_init();
void mp_init();
void ip_init();
void ap_init();
void qp_init();  // process/qp.h

}  // namespace kivo
