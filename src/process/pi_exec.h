// The process executive: pi_exec defaults an invocation, finds or makes its
// PCB and runs it under a new scope with invoc_proc, which drives the steps
// of the process type and follows chained processes. Also the opening of a
// process's files, the look-ups of its compiled files and data areas, the
// constraint values of a new PCF record and the status-line context.
//
// Map: the type-step table (one row per process type, filled by the type's
// own code when built; an unbuilt row ends its execution with
// pi_seam_end[type]); pi_exec and its parts (pi_exec.cpp); invoc_proc and
// discard_family (pi_exec_run.cpp); the files (pi_exec_files.cpp); the
// status line (pi_exec_stat.cpp).
//
// Invariants: an end code travels in a local of the MARK that receives it;
// a family's PCB records are removed once, by the PCB that heads it, when it
// ends (invoc_proc step 15), never by the code that unwinds.
#pragma once

#include <cstdint>
#include <string>

#include "compiler/pcb.h"
#include "fm/la.h"
#include "foundation/invoc.h"

namespace kivo {

struct EM;

// ---- the steps of a process type ----
struct pi_type_row {
  void (*setup)(PCB* p, uint8_t* work);      // before Start of Process; null none
  void (*exec)(PCB* p, uint8_t* work);       // runs under MARK; returns (1) or unwinds
  void (*auto_exec)(PCB* p, uint8_t* work);  // the automatic variant; null: exec
  // After End of Process; an end code that replaces the run's, or 0.
  uint32_t (*cleanup)(PCB* p, uint8_t* work);
  void (*upd_stat)(PCB* p);  // the type's own status update; null none
};
constexpr int kProcTypes = 10;
// Row t for process type t (1-10); row 0 is unused.
extern pi_type_row pi_type_rows[kProcTypes + 1];
// The end code an unbuilt type's execution ends with (default 4: cancelled).
extern uint32_t pi_seam_end[kProcTypes + 1];

// ---- the executive ----

// The process whose set-up, statements or file event runs now; null outside
// any. invoc_proc sets it for each process it runs and pi_exec puts the
// invoker back when the run returns; a file's own process sets it while its
// event points run. A file's process shares its areas with it.
extern PCB* pi_cur_pcb;

// Fills application, version, type and name of the work record `k` (a PCB)
// from the invocation `v` and the invoker `inv` (null none); 0 when no
// process can be determined.
int dflt_proc(PCB* k, INVOC* v, PCB* inv);
// Whether a process of application `ap` needs a database.
bool db_required(const char* ap);
// Why the last invocation without an invoker (a start) ran nothing: its
// process and the reason, or "" when it ran. Kept until the next start.
const char* pi_start_failure();
// A process that cannot open its files has run nothing: when it is the
// start's own process (no invoker) `why` becomes the start's failure, which
// the start reports with the end code. Any other process: nothing.
void pi_note_file_failure(const PCB* p, const char* why);
// Why the last invocation with an invoker could not run at all (no design
// record, not active, does not compile, no start menu): its process and
// the reason in one line; "" when it ran.
const char* pi_child_failure();
// Tells `line` (a process that could not run) on p's message line, cut at
// blanks into messages of class `cls`, the first as long as the row holds
// beside the mark of more messages, and writes it to the system-error log.
void pi_post_failure(PCB* p, const std::string& line, uint16_t cls = MSG_CLASS_FATAL);
// The failure noted (os_note_run_failure) for the start's own process, with
// that process: "process AP/VR type T "NAME" failed: WHY"; "" when none.
std::string pi_run_failure();
// The body run under MARK: never returns, unwinds with the end code.
[[noreturn]] void invoc_proc(PCB* p);
// Puts the PCB's area bases into its module, which then serves this PCB.
void pi_bind_areas(PCB* p);
// Removes every PCB record of the family, releasing each first.
void discard_family(uint32_t family, int full);
// The PCB records of a family now (tests).
uint32_t pi_family_count(uint32_t family);
// The rule of the End of Process event: the end code that stands when the
// run ended with `code` and the event with `e`.
uint32_t pi_end_rule(uint32_t code, uint32_t e);
// Whether End of Process runs after a run that ended with `code`: the ends
// of a run (2, 3, 4, 5, 19, 24, 25, 37), not a normal return (1) nor a code
// handed up from elsewhere (a refused or missing child's, a sort's status).
bool pi_runs_end_event(uint32_t code);
// A running PCB keeps its block: while `p` runs, the first record of its
// process in its family (instance 0, alternate 0, which a SUBPROCESS
// invocation reads first) names the instance after p's in
// pcb_next_instance, so that a further invocation of the same process gets
// a block of its own; when p's run ends (`running` 0) it names p's instance
// again, free to be taken.
void pi_claim_instance(PCB* p, bool running);

// ---- files, look-ups, constraints ----

// Opens the process's compiled files and starts its PCF; run under MARK.
void pi_open_fi_run(PCB* p);
// The file statements' OPEN: the database a file opens under, set in `cfi`
// as the open of the process's files sets it; the PCF's own stream
// attached and started once a statement opened it (1), as that open does
// (a failure reports and unwinds as it does there).
void pi_place_file(PCB* p, uint8_t* cfi);
int pi_start_pcf(PCB* p);
// Reports a file failure to the invoker (rt_err) and unwinds with 4.
[[noreturn]] void pi_fi_err(PCB* p, const uint8_t* cfi, uint32_t msg, uint32_t status);
// The 1265-byte block pi_fi_err sends.
void pi_fi_err_block(PCB* p, const uint8_t* cfi, uint32_t msg, uint32_t status, uint8_t* blk);
// The CFI record whose key fields match `key`; null none.
uint8_t* pi_get_cfi(EM* em, uint8_t* key);
// The run-time address `off` into the area of (ap, number, type) with a
// zero relative offset; its area number through `area_no` when given; null
// when there is none.
uint8_t* pi_find_addr(PCB* p, const char* ap, uint32_t number, uint8_t type, uint32_t off, uint32_t* area_no);
// The record area of file (ap, name); null when the module has no such file.
uint8_t* pi_find_rec(PCB* p, const char* ap, const char* name);
// Copies the constraint values into a new PCF record.
void pi_set_cns(PCB* p, uint8_t* rec);
// Whether the PCF record `rec` holds the values of the process's constraint
// block (true without one).
bool pi_in_cnstr(PCB* p, const uint8_t* rec);
// The common block's database, application and version for the status line.
void pi_upd_stat(PCB* p);

// Unbuilt step of another part of the engine: the primary file's automatic
// set-up leaves the attach descriptor as it is.
void pb_auto_setup(PCB* p, void* fad);

}  // namespace kivo
