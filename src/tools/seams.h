// What the rest of the engine calls of the editors and the debugger.
#pragma once

#include <cstdint>

namespace kivo {

struct PCB;
struct POOL;

// The debugger's control bit that asks a wait (terminal or lock) to break off.
constexpr uint32_t kDbgBreakRequest = 0x40000;
// The dbg_ctl operation that sets the break request.
constexpr uint8_t kDbgOpBreak = 13;

extern POOL* se_pool;
extern uint32_t com_dbg_ctl_bits;

void se_init();
void dbg_ctl(uint8_t op);
void dbg_cleanup(PCB* pcb);

// Whether kDbgBreakRequest is set.
bool dbg_break_requested();

// Puts the break request in the lock wait (lock_break_requested) and in the
// terminal's interrupt key (tm_hooks.debug_break); main calls it at start-up.
void dbg_register_hooks();

}  // namespace kivo
