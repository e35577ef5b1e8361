// The opening of a process's files.
#include "process/pi_exec.h"

namespace kivo {

void pi_open_fi_run(PCB*) {}
void pb_auto_setup(PCB*, void*) {}
void pi_dyna_add(PCB*, void*) {}

}  // namespace kivo
