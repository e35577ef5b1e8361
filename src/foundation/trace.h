// The developer trace: module-tagged lines on standard error while
// `com.trace_on` is set. The text is the one a caller left in `ut_dbg`.
#pragma once

namespace kivo {

// Writes "module - ut_dbg" and a line end to standard error when tracing is on.
void TRACE(const char* module);

}  // namespace kivo
