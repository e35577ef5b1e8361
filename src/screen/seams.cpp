// The key-definition utility is not built yet: it says so and ends.
#include "screen/seams.h"

#include <cstdio>
#include <cstdlib>

namespace kivo {

void kivokeys() {
  fprintf(stderr, "kivo: the key-definition utility is not available in this build\n");
  exit(1);
}

}  // namespace kivo
