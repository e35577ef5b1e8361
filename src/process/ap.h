// The action processes as the rest of the process engine reaches them.
#pragma once

#include "compiler/pcb.h"

namespace kivo {

// After a child process returns: the PCB's record id goes back into its
// PCF stream and, when the PCF is open for update, the record is read again
// by that id with hold. Without a PCF stream or a record id (a menu, a
// process that has read nothing) it does nothing.
void ap_post_invoc(PCB* p);

}  // namespace kivo
