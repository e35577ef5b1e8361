// What the rest of the engine calls of the interpreter and run-time routines.
//
// Map: EP_CALL and the II_EXEC_* macros; ii_hooks (what the interpreter
// needs of the process engine) and interp_seams; interp_register_hooks,
// ii_init, rt_init, ii_exec, ii_proc_exec; the trace writer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "compiler/em.h"
#include "compiler/pcb.h"
#include "fm/fm_open.h"
#include "foundation/hook_list.h"

namespace kivo {

// One event-point call, in its fixed order.
struct EP_CALL {
  PCB* pcb;
  union {
    em_entry at;
    uint8_t* addr;
  } entry;
  uint32_t cleared[2];  // zeroed before each call
  uint16_t ep_no;
  uint32_t cur_frm;  // context words
  uint32_t cur_img;
  uint32_t result;  // bits 8-9 a selection's outcome, 0x10000 the stop request
};

// What the interpreter needs of the process engine, filled by
// process_register_hooks. An empty entry answers "nothing".
struct ii_hook_table {
  // The executive's pi_exec for the invocation verbs: runs process `name`
  // (30 characters) of `ap` with the process and invocation types, in
  // chain mode 2 when `chain`, `pcb` as the parent with its surfaces; the
  // end code. Empty: the verbs are a run-time error.
  uint32_t (*invoke)(PCB* pcb, const char* ap, const char* name, uint8_t proc_type, uint8_t invoc_type, uint8_t chain);
  // The report's PRINT: `len` bytes of display text as a line from column
  // `at`, cut to `cols`, after `rows` - 1 blank lines (0: the defaults);
  // 1 printed, 0 no report to print into. Empty: the verb is a run-time
  // error.
  uint32_t (*print)(PCB* pcb, const char* text, size_t len, uint16_t at, uint16_t rows, uint16_t cols);
  // DISPLAY: the items of the current image showing the field at `addr`
  // take its value; 1, 0 after a failure. Empty: nothing to do.
  uint32_t (*display)(PCB* pcb, const uint8_t* addr);
  // The file statements' way to the executive. place_file: the database
  // (or a design file's source application) a compiled file opens under,
  // set in the record `cfi` as the executive's own open sets it; empty: as
  // compiled. pcf_start: the process's stream on its PCF attached and
  // started once an OPEN or CREATE has opened the PCF; 0 when it could not
  // be. The PCF operations: 1 when done, 0 with the status in the PCF
  // stream. Empty: the PCF is read and written as any other file.
  void (*place_file)(PCB* pcb, uint8_t* cfi);
  int (*pcf_start)(PCB* pcb);
  int (*pcf_read)(PCB* pcb, uint16_t mode);
  int (*pcf_rdnxt)(PCB* pcb, uint16_t mode);
  int (*pcf_write)(PCB* pcb);
  int (*pcf_rewrite)(PCB* pcb);
  int (*pcf_del)(PCB* pcb);
};
extern ii_hook_table ii_hooks;

// clang-format off
#define KIVO_II_HOOKS(X)   \
  X(ii_hooks, invoke)      \
  X(ii_hooks, print)       \
  X(ii_hooks, display)     \
  X(ii_hooks, place_file)  \
  X(ii_hooks, pcf_start)   \
  X(ii_hooks, pcf_read)    \
  X(ii_hooks, pcf_rdnxt)   \
  X(ii_hooks, pcf_write)   \
  X(ii_hooks, pcf_rewrite) \
  X(ii_hooks, pcf_del)
// clang-format on
KIVO_TABLE_LISTED(ii_hooks, KIVO_II_HOOKS);

// What tests replace of the interpreter; each entry starts as the real one.
struct interp_seam_table {
  // Runs an event point of a process or a file's process
  // (ii_proc_exec_own).
  uint32_t (*proc_exec)(PROC_EXEC_BLK* blk);
  // The message verbs' text: `len` bytes of class `cls` (1 warning, 3
  // error, 4 information) into the message file `fi` through the message
  // layer (la_add_text); 1 when written.
  int (*add_msg)(int cls, ARB* fi, const char* text, size_t len);
};
extern interp_seam_table interp_seams;

// clang-format off
#define KIVO_INTERP_SEAMS(X) \
  X(interp_seams, proc_exec) \
  X(interp_seams, add_msg)
// clang-format on
KIVO_TABLE_LISTED(interp_seams, KIVO_INTERP_SEAMS);

// The two groups of output defaults of the process's system area 1, each
// field from the first of USER, the APPL record of `db_area`'s application
// and version (null: none) and SYSPARM that sets it (rt_dflt.cpp).
void rt_dflt_disp(PCB* p, const uint8_t* db_area);

// Opens the trace file (KIVO_TRACE_FILE) and creates the session's "0LA"
// ERROR memory file, whose record 1 rt_err writes, and its routine file;
// once per run.
void rt_init();
// The ERROR memory file; null before rt_init or when it could not be made.
extern ARB* rt_err_arb;
// The routine file CALL names are looked up in (compiler_hooks.ifns_arb);
// null before rt_init or when it could not be made.
extern ARB* rt_ifns_arb;
void ii_init();

// Opens the ELEMENT design file of `ap`/`ver` for reading at the current
// level; its handle, or null with the open's status in `*status` when that
// is given.
ARB* ii_open_delem_fi(const char* ap, const char* ver, uint32_t* status = nullptr);

// Runs the compiled code of one event point; the end code.
uint32_t ii_exec(EP_CALL* call);

// Writes the shared values `pcb` received (RECEIVE of a value its invoker
// passed shared, into a field of the same type and length) back to the
// invoker; each run of the process ends with it.
void ii_pass_back(PCB* pcb);

// Event point `ep_no` of the process (61 and 62: of its pcb_cur_chld):
// result word stored as a u32 in the result area when given; returns
// normally. Through interp_seams.proc_exec; ii_proc_exec_own is the
// interpreter's own run, whatever the seam holds.
uint32_t ii_proc_exec(PROC_EXEC_BLK* blk);
uint32_t ii_proc_exec_own(PROC_EXEC_BLK* blk);

// Event-point calls: each answers 0 when there is no code (an entry of
// block 0 or 65535, no module, no current record), else runs it.
int II_EXEC_ANY(EP_CALL* call, em_entry at);
int II_EXEC_PROC(EP_CALL* call, uint16_t ep);
// Frame event points 21-25 at word ep + 6 of the PCB's current compiled
// frame, image event points 41-44 at word ep - 1 of its current image,
// child event points 61-62 at word ep - 19 of the child record given.
int II_EXEC_FRM(EP_CALL* call, uint16_t ep);
int II_EXEC_IMG(EP_CALL* call, uint16_t ep);
int II_EXEC_CHLD(EP_CALL* call, const uint8_t* child, uint16_t ep);
int II_EXEC_MISC(EP_CALL* call, em_entry at, uint16_t ep);

// The statement trace: appends "kind sequence code ap/type/process text"
// while KIVO_TRACE_FILE is open; sequence 0 takes the next number. Returns
// the sequence used. A process's records go through TRACE_KIVO
// (interp/trace_kivo.h), which leaves the system applications' out.
uint32_t rt_trace(const char* kind, uint32_t seq, uint32_t code, PCB* pcb, const char* text);
// The sequence a record takes: `seq`, or for 0 the next number.
uint32_t rt_trace_number(uint32_t seq);
extern void* rt_trace_arb;

// Fills the hook the interpreter serves below it: its routine file for the
// statement compiler (compiler_hooks.ifns_arb); main calls it first thing
// (kivo_register_hooks).
void interp_register_hooks();

// Routine callable by name: stores the address `value` in `out`; 1.
int get_addr(void* value, void** out);

}  // namespace kivo
