// The compiler is not built yet: it loads no module, and says so.
#include "compiler/seams.h"

namespace kivo {

void pc_init() {}
void pl_init() {}
void sc_init() {}

int pl_get(PCB*, int) { return 0; }

int pl_gen_nam(int, const uint8_t* stamp, char* out) {
  // Base-31 digits of the stamp: a name that is stable for a stamp.
  static const char kAlphabet[] = "0123456789ABCDEFGHJKLMNPQRSTVWX";
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | stamp[i];
  for (int i = 7; i >= 0; --i) {
    out[i] = kAlphabet[v % 31];
    v /= 31;
  }
  return 1;
}

void pl_dump(FILE*) {}

}  // namespace kivo
