// What the rest of the engine calls of the process compiler and module loader.
//
// The loader's entries go through `compiler_hooks.pl`, so that a test (and the loader
// once built, at pl_init) puts its own function in place; an empty entry is
// the loader not built yet, and each call below says what it does then.
#pragma once

#include <cstdint>
#include <cstdio>

namespace kivo {

struct PCB;
struct EM;

struct pl_hook_table {
  int (*get)(PCB* pcb, int flag);
  void (*dump)(FILE* out);
};

struct ARB;
struct INVOC;

// The hooks the compiler offers the layers above, each filled by the
// subsystem named beside it; an empty entry behaves as its comment says.
struct compiler_hook_table {
  pl_hook_table pl;  // the loader's entries (pl_init)
  // The routine file the statement compiler looks CALL names up in (a memory
  // file of the session, made by rt_init). Null: every name not a
  // "library:function" one is unknown.
  ARB* ifns_arb;
  // The invocation template the process engine keeps (its defaults, its
  // pi_register_hooks). Null: the compiler's own copy of those defaults
  // serves.
  const INVOC* invoc_template;
};
extern compiler_hook_table compiler_hooks;

// The process compiler's start: its hooks, as compiler_register_hooks fills
// them.
void pc_init();
// Gives the descriptors the native compiled-item figures (em_layout), MADDR
// its memory-file reader unless one is installed, and the token stamps
// their names (types_hooks.stamp_name, pl_gen_nam); main calls it at
// start-up through kivo_register_hooks.
void compiler_register_hooks();
void pl_init();
void sc_init();  // the statement compiler (compiler/sc.h)

// Loads and relocates the module of the process named in the block's
// invocation. 0 when there is no such process or it cannot be loaded; with
// the hook empty always 0 (no module can be loaded).
int pl_get(PCB* pcb, int flag);

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
