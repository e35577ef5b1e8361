// System errors: internal failures reported to the user.
//
// The caller writes the text into `ut_dbg` and calls `os_sys_err`. Without a
// screen the text form is used: the line is printed and, on a terminal, a line
// is read; CANCEL semantics (end code 3) belong to the screen form, so the
// text form returns and the caller goes on after the failure.
#pragma once

#include <cstddef>

namespace kivo {

constexpr size_t kUtDbgSize = 1024;
extern char ut_dbg[kUtDbgSize];

// Shows the text of `ut_dbg` as a system error of source module `module`.
void os_sys_err(const char* module, int line);

// printf-style: formats into ut_dbg, then os_sys_err.
void sys_err(const char* module, int line, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

// A replaceable presenter, so that tests and the window manager can take
// over the display. Returning normally means "continue".
using sys_err_presenter = void (*)(const char* module, int line, const char* text);
sys_err_presenter set_sys_err_presenter(sys_err_presenter p);

// Count of system errors reported in this process (tests read it).
unsigned sys_err_count();

}  // namespace kivo
