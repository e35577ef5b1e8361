// The MENU process: a loop over its first frame, whose children stand one
// per line of the frame's image in option order.
//
// Layout rules: the child with the k-th lowest option number stands on line
// k of the image; the cursor starts on line 1 (the first child's), column 1;
// UP and DOWN move between lines; ENTER invokes the child of the cursor's
// line (another line: a beep), OPTION n the child with option number n.
//
// Callers: the executive through pi_type_rows[PT_MENU] (mp_init fills it).
#pragma once

#include <cstdint>

#include "compiler/pcb.h"

namespace kivo {

// Fills the MENU rows of pi_type_rows and fp_types.
void mp_init();
// Set-up and status: "MENU ENTRY" in the status line's mode field.
void mp_setup(PCB* p, uint8_t* work);
void mp_upd_stat(PCB* p);
// Runs frame 1 until it ends with other than 1 (or with 5, unless the
// invocation is one-shot); END leaves with 5 under an invoker, else with 2.
// Unwinds with the end code.
[[noreturn]] void mp_exec(PCB* p, uint8_t* work);
uint32_t mp_cleanup(PCB* p, uint8_t* work);

}  // namespace kivo
