// The key-definition utility is not built yet: with its hook empty it says so
// and ends.
#include "screen/seams.h"

#include <cstdio>
#include <cstdlib>

namespace kivo {

kd_hook_table kd_hooks;

void kivokeys() {
  if (kd_hooks.kivokeys) return kd_hooks.kivokeys();
  fprintf(stderr, "kivo: the key-definition utility is not available in this build\n");
  exit(1);
}

}  // namespace kivo
