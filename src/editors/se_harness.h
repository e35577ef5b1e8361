// The tool harness's statement-editor part: stand-ins for the design
// application's processes that the editor runs, a log of the editor's
// returns, and a failure of the save's writes on request.
//
//   - Each process "ZEL EDITOR (...)" of "0AD" is logged (KIVO_TOOL_LOG) as
//     "EXEC <name> editor=<application and version>", the context the image
//     editor's client requests read ("none" without one).
//   - "ZEL EDITOR (HELP)" and "ZEL EDITOR (TOOLBOX)": a one-line window
//     naming the process until a key.
//   - "ZEL EDITOR (XCOPY)": the n-th 64-byte context of the file that
//     KIVO_XCOPY_CONTEXT names goes into the pass file ZELEPASS; without
//     one the pass record returns with status "E".
//   - "ZEL EDITOR (BROWSE)": the pass record it was given is appended to
//     the file KIVO_BROWSE_KEEP names.
//   - "SCAN" of "0LA" when the editor runs it (its two pass values) and
//     KIVO_SCAN_NAMES is set: the next name of it (comma-separated) into
//     the scan context, logged as "SCAN ap=<ap> ver=<ver> name=<current>
//     type=<field type>"; without it the system's "SCAN" runs.
//   - Every other invocation goes to the stand-ins registered before, else
//     to the executive.
//   - KIVO_TOOL_LOG: one line per return of "SE_EDIT",
//     "SE_EDIT <result> status=<n> changed=<n>", with " editor=<ap ver>"
//     when the run returns into another, or " cut buffer left" when a
//     nested run's cut buffer outlives the outermost run.
//   - KIVO_TOOL_FAIL_WRITE=<k>: the k-th statement record written by a save
//     (counted over the run) fails.
#pragma once

namespace kivo {

void se_tooltest_register();

}  // namespace kivo
