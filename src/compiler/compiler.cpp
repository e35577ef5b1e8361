// The loader's entries go through compiler_hooks.pl, which pl_init fills;
// with them empty no module is loaded.
#include "compiler/compiler.h"

namespace kivo {

compiler_hook_table compiler_hooks;

// What it fills is the registration's (compiler/register_hooks.cpp), done
// again for the callers that start the compiler without it.
void pc_init() { compiler_register_hooks(); }
int pl_get(PCB* pcb, int flag) { return compiler_hooks.pl.get ? compiler_hooks.pl.get(pcb, flag) : 0; }

void pl_dump(FILE* out) {
  if (compiler_hooks.pl.dump) compiler_hooks.pl.dump(out);
}

}  // namespace kivo
