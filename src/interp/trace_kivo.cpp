// The statement-trace hook.
#include "interp/trace_kivo.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "foundation/sys_err.h"
#include "interp/interp.h"

namespace kivo {

namespace {

int g_trace_sys_aps = -1;  // -1 until KIVO_TRACE_0APPS is read

}  // namespace

void trace_kivo_reload() { g_trace_sys_aps = getenv("KIVO_TRACE_0APPS") != nullptr; }

bool trace_kivo_wanted(bool system_ap) {
  if (!rt_trace_arb) return false;
  if (g_trace_sys_aps < 0) trace_kivo_reload();
  return !system_ap || g_trace_sys_aps;
}

void TRACE_KIVO(bool system_ap, const char* fmt, ...) {
  if (!trace_kivo_wanted(system_ap)) return;
  char line[kUtDbgSize];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  rt_trace(line);
}

}  // namespace kivo
