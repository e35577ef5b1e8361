// What the rest of the engine calls of the editors and the debugger.
#pragma once

#include <cstdint>

namespace kivo {

struct PCB;
struct POOL;

constexpr uint32_t kDbgBreakRequest = 0x40000;

extern POOL* se_pool;
extern uint32_t com_dbg_ctl_bits;

void se_init();
// Operation 13 sets the break request.
void dbg_ctl(uint8_t op);
void dbg_cleanup(PCB* pcb);

}  // namespace kivo
