// The tool harness's statement-editor part: stand-ins for the design
// application's processes that the editor runs, a log of the editor's
// returns, and a failure of the save's writes on request.
//
//   - "ZEL EDITOR (HELP)" and "ZEL EDITOR (TOOLBOX)" of "0AD": a one-line
//     window naming the process until a key; every other invocation goes
//     to the stand-ins registered before, else to the executive.
//   - KIVO_TOOL_LOG: one line per return of "SE_EDIT",
//     "SE_EDIT <result> status=<n> changed=<n>".
//   - KIVO_TOOL_FAIL_WRITE=<k>: the k-th statement record written by a save
//     (counted over the run) fails.
#pragma once

namespace kivo {

void se_tooltest_register();

}  // namespace kivo
