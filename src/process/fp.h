// The frame processor: runs one frame of a process, with or without a
// screen, and invokes a frame's children.
//
// Map: fp_exec.cpp (the frame's event points, the image choice and the key
// loop); fp_bind.cpp (the frame's window, its region, its items bound to the
// running PCB, the show); fp_chld.cpp (invoc_chld and the constraint handed
// to a child); fp_init.cpp (the ENTRY memory file).
//
// Invariants: an item is bound to the PCB that runs the frame (its area
// bases, not the module's table, which another PCB of the process may have
// rebound); a frame's windows are detached when it ends, and lie at the level
// that runs it, so an unwinding frame loses them with that level.
//
// Callers: the MENU process (mp_exec.cpp), later the INPUT process with its
// own key handler in fp_types; the action processes for their detail,
// heading and total frames.
#pragma once

#include <cstdint>
#include <vector>

#include "compiler/pcb.h"
#include "fm/fm_objects.h"
#include "process/pi_exec.h"
#include "screen/wm_files.h"

namespace kivo {

struct TWND;

// The "0LA" ENTRY memory file (940-byte records, no key), record 1 written.
extern ARB* ENTRY;
constexpr uint16_t kEntryRecLen = 940;
// Creates ENTRY for the session; a failure is a system error.
void fp_init();

// The stop request of an event point's result word (the ERROR verb).
constexpr uint32_t kEpStop = 0x10000;
// Runs frame event point `ep` (21-25), image event point (41-44) of the
// current frame and image, or child event point (61, 62) of `child`; the
// result word. Unwinds as the statements do (END PROC, CANCEL, LOGOUT).
uint32_t fp_ep(PCB* p, uint16_t ep, const uint8_t* child);
// fp_ep's own work, through the interpreter (process_seams.fp_ep, which
// tests replace with a double of the event points).
uint32_t fp_ep_own(PCB* p, uint16_t ep, const uint8_t* child);

// The frame on the screen while its key loop runs.
struct fp_frame {
  const uint8_t* frm;            // compiled frame record
  const uint8_t* img;            // compiled image record
  TWND* wnd;                     // the image's window
  int32_t row, col;              // the cursor, 1-based in the window
  int32_t entry_row, entry_col;  // the first input item's place; 0 none
  uint32_t key;                  // the key that ended the last show
  bool beep;                     // the next show beeps
  std::vector<TITM> items;       // the image's items, bound to the running PCB
};

// What a process type adds to the frame: where the cursor starts, and the
// keys the frame does not take itself (ENTER after event 44, and any key
// but OPTION, END and CANCEL). `key` answers 0 to keep the frame, or the
// code it ends with.
struct fp_type_ops {
  void (*start)(PCB* p, fp_frame* f);                  // null: the window's top left
  uint32_t (*key)(PCB* p, fp_frame* f, uint32_t key);  // null: a beep
};
// Row t for process type t (1-10); filled by the type's init.
extern fp_type_ops fp_types[kProcTypes + 1];

// Runs frame `frm_no` (1..count) of the process: 1 when it ran to its end
// or was skipped, else the code it ended with (2 END, 4 CANCEL, 5 its child
// ended with 5, or what the type's key handler gave).
uint32_t fp_exec(PCB* p, uint32_t frm_no);

// Runs `v` as a child of the running process `p`: `p` its invoker, `p`'s
// surfaces its parent surfaces (their handles live for the call only); the
// end code. 24 and 25 go up by unwinding.
uint32_t pi_exec_child(PCB* p, INVOC* v);
// pi_exec_child for an invocation statement: when `v` names a child of the
// running frame (application, type and name), that child's linking fields
// constrain it, so a frame without a screen can still hand its children a
// constraint. A process that cannot run (not there, not loadable) says why
// on p's message line.
uint32_t pi_exec_named(PCB* p, INVOC* v);

// The frame loop of an interactive process: fp_exec of frame `frm_no` again
// while it ends with 1, or with 5 unless the invocation is one-shot; the
// code it ended with. The yield point between runs lets a signal end a
// frame that its event 21 always skips.
uint32_t fp_loop(PCB* p, uint32_t frm_no);

// Invokes the compiled child `child` (a CL record of the process's module)
// for the running frame: its end code (1 when event 61 skipped it); 24 and
// 25 go up by unwinding.
uint32_t invoc_chld(PCB* p, uint8_t* child);

// The compiled child of frame `frm_no` with option number `option`; null none.
uint8_t* fp_child_of(PCB* p, uint32_t frm_no, uint32_t option);
// The children of frame `frm_no` in option order.
std::vector<uint8_t*> fp_children(PCB* p, uint32_t frm_no);

// ---- the screen half (fp_bind.cpp) ----

// Opens the image's window on the process's surface (the second one for a
// pop-up), writes its text, binds its items to `p` and applies its
// characteristics; 0 after a reported failure.
int fp_open(PCB* p, fp_frame* f);
// Shows the items anew from the PCB's areas.
void fp_refresh(PCB* p, fp_frame* f);
// Shows the screen with the pending messages of the process and reads a
// key into f->key; the cursor goes back into f's row and column when it
// ended in the window.
void fp_show(PCB* p, fp_frame* f);
void fp_close(fp_frame* f);

}  // namespace kivo
