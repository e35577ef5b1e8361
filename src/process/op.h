// The OUTPUT and INQUIRY processes as the frame processor reaches them.
#pragma once

#include <cstdint>

#include "compiler/pcb.h"

namespace kivo {

// Displays image `img_index` (module-wide) of a frame without a screen
// between its event points 42 and 43; 1 done.
int op_img_exec(PCB* pcb, uint32_t img_index);

}  // namespace kivo
