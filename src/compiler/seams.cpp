// The module loader is not built yet: with its hooks empty it loads no
// module. pc_init gives the descriptors the native compiled-item figures
// and MADDR its memory-file reader.
#include "compiler/seams.h"

#include "compiler/em.h"
#include "compiler/em_item.h"
#include "types/cnv.h"

namespace kivo {

pl_hook_table pl_hooks;

void pc_init() {
  em_set_layout();
  em_install_reader();
  set_stamp_name_hook(pl_gen_nam);
}
void pl_init() {}

int pl_get(PCB* pcb, int flag) { return pl_hooks.get ? pl_hooks.get(pcb, flag) : 0; }

// Without the loader's cache no module is counted or discarded here.
void pl_free(EM*) {}

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

void pl_dump(FILE* out) {
  if (pl_hooks.dump) pl_hooks.dump(out);
}

}  // namespace kivo
