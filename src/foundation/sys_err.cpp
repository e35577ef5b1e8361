// System-error reporting in its text form, with the error log.
#include "foundation/sys_err.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace kivo {

char ut_dbg[kUtDbgSize];

namespace {

unsigned g_count;
bool g_showing;

void log_error(const char* module, int line, const char* text) {
  static FILE* log = nullptr;
  static bool tried = false;
  if (!tried) {
    tried = true;
    if (const char* name = getenv("KIVO_SYS_ERR_LOG")) log = fopen(name, "w");
  }
  if (!log) return;
  fprintf(log, "%s.%d: %s\n", module, line, text);
  fflush(log);
}

void text_presenter(const char* module, int, const char* text) {
  fprintf(stderr, "\n%s - KIVOMSG - Press Return To Continue - %s\n", module, text);
  // Only a person at a terminal can answer; a background run goes on.
  if (isatty(0)) {
    char reply[kUtDbgSize];
    if (!fgets(reply, sizeof reply, stdin)) clearerr(stdin);
  }
}

sys_err_presenter g_presenter = text_presenter;

}  // namespace

void os_sys_err(const char* module, int line) {
  ut_dbg[kUtDbgSize - 1] = '\0';
  ++g_count;
  log_error(module, line, ut_dbg);
  if (g_showing) return;  // a second error while one is showing returns at once
  // The presenter may unwind the level (CANCEL); the flag must drop either way.
  struct showing_guard {
    showing_guard() { g_showing = true; }
    ~showing_guard() { g_showing = false; }
  } guard;
  g_presenter(module, line, ut_dbg);
}

void sys_err(const char* module, int line, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(ut_dbg, sizeof ut_dbg, fmt, ap);
  va_end(ap);
  os_sys_err(module, line);
}

sys_err_presenter set_sys_err_presenter(sys_err_presenter p) {
  sys_err_presenter old = g_presenter;
  g_presenter = p ? p : text_presenter;
  return old;
}

unsigned sys_err_count() { return g_count; }

}  // namespace kivo
