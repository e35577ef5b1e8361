// The design build is not built yet: with its hook empty the bootstrap says
// so and fails.
#include "design/seams.h"

#include <cstdio>

namespace kivo {

bs_hook_table bs_hooks;

signed char bs_bootstrap() {
  if (bs_hooks.bootstrap) return bs_hooks.bootstrap();
  fprintf(stderr, "kivo: the bootstrap of the system applications is not available in this build\n");
  return 1;
}

void dd_init() {}

}  // namespace kivo
