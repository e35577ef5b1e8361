// What the rest of the engine calls of the data dictionary and design build.
#pragma once

namespace kivo {

// The design build's entries; an empty one is the design build not built
// yet. A test puts its own function in place.
struct bs_hook_table {
  signed char (*bootstrap)();
};
extern bs_hook_table bs_hooks;

// Bootstrap of the system applications; the result is the exit status. With
// the hook empty it says the bootstrap is not available and returns 1.
signed char bs_bootstrap();
// Fills `bs_hooks` with the design build's own entries (`bs_run`).
void bs_register_hooks();
// Start-up of the data dictionary: its state cleared, the routine "DD_CMPL"
// added to the built-in table (once).
void dd_init();

}  // namespace kivo
