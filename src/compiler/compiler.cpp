// The loader's entries go through pl_hooks, which pl_init fills; with them
// empty no module is loaded. pc_init gives the descriptors the native
// compiled-item figures and MADDR its memory-file reader.
#include "compiler/compiler.h"

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
int pl_get(PCB* pcb, int flag) { return pl_hooks.get ? pl_hooks.get(pcb, flag) : 0; }

void pl_dump(FILE* out) {
  if (pl_hooks.dump) pl_hooks.dump(out);
}

}  // namespace kivo
