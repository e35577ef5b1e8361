// Until the record operations land, export and import say so and fail.
#include <cstdio>
#include <cstdlib>

#include "fm/flat_file.h"

namespace kivo {
int brf2flat_run(const char* name) {
  fprintf(stderr, "kivo: exporting %s: the record operations are not in this build\n", name);
  return 1;
}
int flat2brf_run(const char* name) {
  fprintf(stderr, "kivo: importing %s: the record operations are not in this build\n", name);
  return 1;
}
void brf2flat(const char* n) { exit(brf2flat_run(n)); }
void flat2brf(const char* n) { exit(flat2brf_run(n)); }
}  // namespace kivo
