// What the INPUT process's files share: its state beside the PCB, the mode
// word, and the operations its keys carry out (ip_ops.cpp).
#pragma once

#include <cstdint>
#include <vector>

#include "compiler/pcb.h"

namespace kivo {

struct fp_frame;

// The INPUT process's own state of a PCB, kept from its set-up to its
// clean-up.
struct ip_state {
  std::vector<uint8_t> initial;  // a fresh record area of the PCF: the initial value its area takes
  std::vector<uint8_t> found;    // the record area as set-up found it (an automatic run leaves it so)
  uint32_t log_scope = 0;        // the level the modification log this PCB owns lives at
  bool current = false;          // a record was read, written or rewritten and is shown
  uint32_t lost_read = 0;        // why the last read delivered nothing when the file failed it (0: it did not)
  bool restart = false;          // the browse starts again at the first record
};
ip_state& ip_st(PCB* p);
void ip_forget(PCB* p);

void ip_set_mode(PCB* p, uint8_t m);
// The modification log of p's owner started afresh (ip_exec.cpp): an
// operation of the user keeps only its own lines and its cascade's.
void ip_fresh_log(PCB* p);
// The record area := the file's initial record.
void ip_initial(PCB* p);
// What a fresh record area of the PCF holds (its area's initial value, as
// the area's set-up gives it); the area as it is when the module describes
// no such area.
std::vector<uint8_t> ip_fresh_rec(PCB* p);
// The key fields (the current key path's, and a chosen dynamic key's) :=
// their initial values.
void ip_clear_keys(PCB* p);
// Gives up the hold of the current record (any stream of the PCF).
void ip_release(PCB* p);

// The operations of the keys; each posts its message (a class-3 failure, a
// class-4 success) and returns its success.
int ip_read(PCB* p);
int ip_next(PCB* p);
int ip_hold(PCB* p, uint8_t mode);
int ip_add(PCB* p);
int ip_change(PCB* p);
int ip_delete(PCB* p);
// The cursor's start: the input item first in reading order (the module
// keeps its items in another order).
void ip_first_entry(PCB* p, fp_frame* f);
// SELECT KEY: the item under the cursor joins the dynamic key; false when
// there is no field of the PCF record there.
bool ip_select(PCB* p, const fp_frame* f);
// A failed operation's message: the stream's status for outcome 32, the
// missing stream for 200450; the events' own messages stand for the rest.
void ip_post_failure(PCB* p);

}  // namespace kivo
