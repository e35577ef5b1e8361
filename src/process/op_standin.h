// Stand-ins for what other parts of the process engine deliver: the frame
// processor's run of one frame and the primary file's read-next. Replaced by
// the frame processor (fp.h) and the PCF operations (pi_pcf.h).
#pragma once

#include <cstdint>

#include "compiler/pcb.h"

namespace kivo {

// Runs frame `frame` (compiled frame number) of the PCB: events 21, 22, the
// frame's first image with 41, 42, the report display, 43, 44, then 25.
// The end code: 1 normal.
uint32_t fp_exec(PCB* p, uint32_t frame);

// Reads the next PCF record into its record area; 1 when read, else 0 with
// the stream's status.
int pi_rdnxt(PCB* p, uint32_t mode);

}  // namespace kivo
