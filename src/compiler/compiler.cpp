// The loader's entries go through compiler_hooks.pl, which pl_init fills; with them
// empty no module is loaded. pc_init gives the descriptors the native
// compiled-item figures and MADDR its memory-file reader.
#include "compiler/compiler.h"

#include "compiler/em.h"
#include "compiler/em_item.h"
#include "types/cnv.h"
#include "types/types.h"

namespace kivo {

compiler_hook_table compiler_hooks;

void pc_init() {
  em_set_layout();
  em_install_reader();
  types_hooks.stamp_name = pl_gen_nam;
}
int pl_get(PCB* pcb, int flag) { return compiler_hooks.pl.get ? compiler_hooks.pl.get(pcb, flag) : 0; }

void pl_dump(FILE* out) {
  if (compiler_hooks.pl.dump) compiler_hooks.pl.dump(out);
}

}  // namespace kivo
