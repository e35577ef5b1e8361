// What the rest of the engine calls of the process compiler and module loader.
#pragma once

#include <cstdint>
#include <cstdio>

namespace kivo {

struct PCB;

void pc_init();
void pl_init();
void sc_init();

// Loads and relocates the module of the process named in the block's
// invocation. 0 when there is no such process or it cannot be loaded.
int pl_get(PCB* pcb, int flag);

// Writes an 8-character name derived from an 8-byte stamp. Returns 1.
int pl_gen_nam(int unused, const uint8_t* stamp, char* out);

// One line per cached module into the allocation dump.
void pl_dump(FILE* out);

}  // namespace kivo
