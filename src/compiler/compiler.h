// What the rest of the engine calls of the process compiler and module
// loader; the hooks the compiler offers the layers above and its seams.
#pragma once

#include <cstdint>
#include <cstdio>

#include "foundation/hook_list.h"

namespace kivo {

struct PCB;
struct EM;
struct ARB;
struct INVOC;

// The hooks the compiler offers the layers above, each filled by the
// <library>_register_hooks named beside it; an empty entry behaves as its
// comment says.
struct compiler_hook_table {
  // The routine file the statement compiler looks CALL names up in: a memory
  // file of the session that rt_init makes (interp_register_hooks). Empty or
  // null: every name not a "library:function" one is unknown.
  ARB* (*ifns_arb)();
  // The invocation template the process engine keeps (its defaults,
  // process_register_hooks). Null: the compiler's own copy of those defaults
  // serves.
  const INVOC* invoc_template;
};
extern compiler_hook_table compiler_hooks;

// clang-format off
#define KIVO_COMPILER_HOOKS(X)      \
  X(compiler_hooks, ifns_arb)       \
  X(compiler_hooks, invoc_template)
// clang-format on
KIVO_TABLE_LISTED(compiler_hooks, KIVO_COMPILER_HOOKS);

// What tests replace of the loader; each entry starts as the real one.
struct compiler_seam_table {
  // Loads and relocates the module of the block's invocation (pl_get).
  int (*pl_get)(PCB* pcb, int flag);
};
extern compiler_seam_table compiler_seams;

// clang-format off
#define KIVO_COMPILER_SEAMS(X) \
  X(compiler_seams, pl_get)
// clang-format on
KIVO_TABLE_LISTED(compiler_seams, KIVO_COMPILER_SEAMS);

// The process compiler's start: its hooks, as compiler_register_hooks fills
// them.
void pc_init();
// Fills the hooks the compiler serves below it: the native compiled-item
// figures of the descriptors (em_layout), MADDR's memory-file reader, the
// token stamps' names (pl_gen_nam), the module cache in the allocation dump
// and the modules being built in the scope clearing; main calls it first
// thing (kivo_register_hooks).
void compiler_register_hooks();
void sc_init();  // the statement compiler (compiler/sc.h)

// Loads and relocates the module of the process named in the block's
// invocation (through compiler_seams.pl_get). 0 when there is no such
// process or it cannot be loaded.
int pl_get(PCB* pcb, int flag);
// The loader itself, whatever the seam holds.
int pl_get_module(PCB* pcb, int flag);
// Why the last pl_get_module compiled no module: the first compile error
// as the invoker's messages got it ("<process> ep <n> stmt <seq> col <c>:
// <message>"); empty when it compiled nothing or the compile succeeded.
const char* pl_compile_error();

// Releases one use of a module that pl_get gave: at the last use a module
// that was discarded is freed; otherwise it stays cached. Nothing may touch
// the module after the call that brought its count to 0. Null is a no-op.
void pl_free(EM* em);
// Removes a module from the cache at once; it is freed now when no one uses
// it, else by the pl_free that releases its last use. Null is a no-op.
void pl_discard(EM* em);

// Writes an 8-character name derived from an 8-byte stamp. Returns 1.
int pl_gen_nam(int unused, const uint8_t* stamp, char* out);

// One line per cached module into the allocation dump; nothing when empty.
void pl_dump(FILE* out);

}  // namespace kivo
