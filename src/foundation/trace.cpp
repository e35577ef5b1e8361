// The developer trace.
#include "foundation/trace.h"

#include <cstdio>
#include <cstring>

#include "foundation/com.h"
#include "foundation/sys_err.h"

namespace kivo {

void TRACE(const char* module) {
  if (!com.trace_on) return;
  fprintf(stderr, "%s - %.*s\n", module, static_cast<int>(strnlen(ut_dbg, kUtDbgSize)), ut_dbg);
}

}  // namespace kivo
