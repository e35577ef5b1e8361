// The debugger control word and its save stack, at the lowest layer that
// reads them: the lock waits and the terminal test the break request, the
// interpreter's dispatch loop tests the whole word before every instruction.
//
// Map: bit constants, dbg_ctl (the 15 operations), the save stack's state
// for tests.
#pragma once

#include <cstdint>

namespace kivo {

enum : uint32_t {
  kDbgActive = 0x1,            // debugger active for the running process
  kDbgToReturn = 0x2,          // run to the next RETURN
  kDbgToEnd = 0x4,             // run to the end of the event point
  kDbgStarted = 0x10000,       // started since the engine process began
  kDbgStep = 0x20000,          // stop at the next statement
  kDbgBreakRequest = 0x40000,  // the same, asked from the keyboard
  kDbgWatches = 0x1000000,     // at least one watch exists
};

enum : uint8_t {
  DBG_PUSH = 1,
  DBG_POP = 2,
  DBG_EP_START = 3,
  DBG_NOP = 4,
  DBG_ON = 5,
  DBG_OFF = 6,
  DBG_TO_END = 7,
  DBG_TO_END_OFF = 8,
  DBG_TO_RETURN = 9,
  DBG_TO_RETURN_OFF = 10,
  DBG_STEP = 11,
  DBG_STEP_OFF = 12,
  DBG_BREAK = 13,
  DBG_WATCH_ON = 14,
  DBG_WATCH_OFF = 15,
};
constexpr uint8_t kDbgOpBreak = DBG_BREAK;
constexpr int kDbgStackSize = 256;

extern uint32_t com_dbg_ctl_bits;

// Applies one operation to the control word; any other number is a system
// error and changes nothing.
void dbg_ctl(uint8_t op);

// Empties the save stack and clears the word (tests, a new session).
void dbg_ctl_reset();
// The save stack's index.
uint8_t dbg_ctl_depth();

}  // namespace kivo
