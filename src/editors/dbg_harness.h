// The tool harness's debugger part: stand-ins for the processes of "0LA"
// that the debugger runs, which record each invocation and return.
//
//   - "WATCH FIELD", "WATCH TRIGGER" and "STACK (EDIT)": one line each in
//     KIVO_TOOL_LOG, "DBG <name> parent=<1 when the invoker is named>";
//     "WATCH TRIGGER" adds the trigger's field from record 1 of ENTRY,
//     " field=<ap> <name> occ=<n>".
//   - Every other invocation goes to the stand-ins registered before.
#pragma once

namespace kivo {

void dbg_tooltest_register();

}  // namespace kivo
