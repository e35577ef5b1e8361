// What the rest of the engine calls of the interpreter and run-time routines.
//
// The interpreter's entries go through `ii_hooks`, so that a test (and the
// interpreter once built, at ii_init) puts its own function in place; an
// empty entry is the interpreter not built yet: no event point has code.
#pragma once

#include <cstdint>

namespace kivo {

struct PCB;

// Asks the interpreter to run one event point; `result` is its true/false word.
struct EP_CALL {
  PCB* pcb;
  uint32_t entry;
  uint16_t ep_no;
  uint32_t context[4];
  uint32_t result;
};

// The block a file's event procedure runs with (under a mark of kind 6).
struct PROC_EXEC_BLK {
  PCB* pcb;
  uint8_t* result_area;
  uint8_t ep_no;
  uint8_t flag;
};

struct ii_hook_table {
  uint32_t (*exec)(EP_CALL* call);
  uint32_t (*proc_exec)(PROC_EXEC_BLK* blk);
  void (*trace)(const char* text);
};
extern ii_hook_table ii_hooks;

void rt_init();
void ii_init();

// Runs the compiled code of one event point. Returns the end code; with the
// hook empty the result word is 0 and the end code "no process".
uint32_t ii_exec(EP_CALL* call);

// Runs an event point of a file-manager process; returns its end code ("no
// process" with the hook empty).
uint32_t ii_proc_exec(PROC_EXEC_BLK* blk);

// The statement-trace writer (nothing with the hook empty) and its open file
// (null while tracing is off).
void rt_trace(const char* text);
extern void* rt_trace_arb;

}  // namespace kivo
