// Level totals until the OUTPUT process's summaries are built: nothing to
// set up and nothing to roll.
#include "process/op.h"

namespace kivo {

void op_bld_sum(PCB*) {}
void op_sum_roll(PCB*) {}

}  // namespace kivo
