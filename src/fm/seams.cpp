// The native-file utilities are not built yet: each says so and fails.
#include "fm/seams.h"

#include <cstdio>
#include <cstdlib>

namespace kivo {

void brf2flat(const char* name) {
  fprintf(stderr, "kivo: exporting %s: the flat-file export is not available in this build\n", name);
  exit(1);
}

void flat2brf(const char* name) {
  fprintf(stderr, "kivo: importing %s: the flat-file import is not available in this build\n", name);
  exit(1);
}

int brfanal(const char* name, int, int, int32_t*) {
  fprintf(stderr, "kivo: checking %s: the native file analyser is not available in this build\n", name);
  return 0;
}

}  // namespace kivo
