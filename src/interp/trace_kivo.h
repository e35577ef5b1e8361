// The statement-trace hook: what the interpreter calls at each traced step.
//
// Nothing is written while no trace file is open. Processes of the system
// applications are left out unless KIVO_TRACE_0APPS is set (read once), so
// a trace of an application shows that application's statements only.
#pragma once

namespace kivo {

// Whether a step of a process (of a system application when `system_ap`)
// goes to the trace now.
bool trace_kivo_wanted(bool system_ap);

// Formats the line and hands it to the trace writer when wanted.
void TRACE_KIVO(bool system_ap, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Reads KIVO_TRACE_0APPS again (tests).
void trace_kivo_reload();

}  // namespace kivo
