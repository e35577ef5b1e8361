// The activity trace of processes (KIVO_TRACE_FILE): the one door through
// which the process engine and the interpreter write a process's trace
// records.
//
// Nothing is written while no trace file is open. Processes of the system
// applications (0LA, 0SA, ...) are left out unless KIVO_TRACE_0APPS is set
// (read once), so that a trace of an application shows that application's
// processes, not the menus, editors and queries the engine runs for it.
#pragma once

#include <cstdint>

namespace kivo {

struct PCB;

// A trace record of `pcb` (null: of no process) through rt_trace, unless
// it is a system application's process and KIVO_TRACE_0APPS is not set.
// Returns the sequence rt_trace would use: `seq`, or for 0 the next number
// (taken whether or not the record is written, so numbers pair up alike).
uint32_t TRACE_KIVO(const char* kind, uint32_t seq, uint32_t code, PCB* pcb, const char* text);

}  // namespace kivo
