// The INPUT process: a user keeps the records of the process's PCF through
// its first frame. Keys choose the mode (inquire, add, change, delete),
// ENTER carries it out through the PCF operations (pi_pcf.h), NEXT RECORD
// browses, SELECT KEY picks a field of the screen for a dynamic key; an
// automatic run rewrites or deletes the records its parent's cascade names.
//
// Map: ip_exec.cpp (the executive's steps, the status line, the frame's
// key handler); ip_ops.cpp (each mode's operation and its messages);
// ip_auto.cpp (the automatic runs).
//
// Invariants: the input mode is area 11 byte 42; modes 2 and 7 hold the
// current record, every other mode holds none; the record area is what the
// screen shows after each operation.
//
// Callers: the executive through pi_type_rows[PT_INPUT] and the frame
// processor through fp_types[PT_INPUT] (ip_init fills both).
#pragma once

#include <cstdint>

#include "compiler/pcb.h"

namespace kivo {

struct fp_frame;

// The input modes (area 11 byte 42).
enum : uint8_t { IM_ADD = 1, IM_CHANGE = 2, IM_INQUIRE = 3, IM_DYNA = 5, IM_DELETE = 7 };

// Fills the INPUT rows of pi_type_rows and fp_types.
void ip_init();
// Inquire mode on a fresh record (an automatic run leaves the record area
// alone); the modification log when the PCF is opened for update (shared
// with an INPUT invoker that keeps one).
void ip_setup(PCB* p, uint8_t* work);
// Runs frame 1 until it ends with other than 1 (or 5 without one-shot);
// unwinds with the end code.
[[noreturn]] void ip_exec(PCB* p, uint8_t* work);
// The automatic run of a cascade: auto_run 1 rewrites each constrained
// record with the constraint values, 2 deletes each; unwinds with 2 at the
// end of the file, 4 after a failure (its status posted).
[[noreturn]] void ip_auto(PCB* p, uint8_t* work);
// Releases the holds; the log's owner closes it with scratch. 0.
uint32_t ip_cleanup(PCB* p, uint8_t* work);
// The mode's name in the status line's mode field.
void ip_upd_stat(PCB* p);

// The frame's key handler: 0 keeps the frame.
uint32_t ip_key(PCB* p, fp_frame* f, uint32_t key);

// The current input mode; 0 when the module has no area 11.
uint8_t ip_mode(const PCB* p);
// The name the status line shows for input mode `m`.
const char* ip_mode_name(uint8_t m);

}  // namespace kivo
