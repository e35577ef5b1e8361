// The compiler's hook table, and its seam, which starts as the loader.
#include "compiler/compiler.h"

namespace kivo {

compiler_hook_table compiler_hooks;
compiler_seam_table compiler_seams = {pl_get_module};

// What it fills is the registration's (compiler/register_hooks.cpp), done
// again for the callers that start the compiler without it.
void pc_init() { compiler_register_hooks(); }
int pl_get(PCB* pcb, int flag) { return compiler_seams.pl_get(pcb, flag); }

}  // namespace kivo
