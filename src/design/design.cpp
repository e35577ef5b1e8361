// The design build's entries: the bootstrap (with its hook empty it says
// so and fails) and the data dictionary's start-up, which adds its routines
// to the built-in table.
#include "design/design.h"

#include <cstdio>

#include "design/bs_boot.h"
#include "design/dd.h"
#include "interp/rt_fns.h"

namespace kivo {

bs_hook_table bs_hooks;

signed char bs_bootstrap() {
  if (bs_hooks.bootstrap) return bs_hooks.bootstrap();
  fprintf(stderr, "kivo: the bootstrap of the system applications is not available in this build\n");
  return 1;
}

namespace {

// "DD_CMPL": the 13-byte request, then the handles of the open MESSAGE1 and
// MESSAGE2 files; the call's argument count goes first, so a process's call
// prints nothing.
int dd_cmpl_row(RT_CALL& call) {
  const rt_arg& req = call.args[0];
  if (!req.addr || req.len < 13 || call.args[1].kind != 2 || call.args[2].kind != 2) return 0;
  return dd_cmpl(call.argc, req.addr, reinterpret_cast<ARB*>(call.args[1].addr),
                 reinterpret_cast<ARB*>(call.args[2].addr));
}

}  // namespace

void dd_init() {
  dd = dd_state{};
  static bool added = false;
  if (!added) added = rt_add_fn({"DD_CMPL", dd_cmpl_row, 3, 0}) == 1;
}

}  // namespace kivo
