// What start-up calls of the terminal utilities.
#pragma once

namespace kivo {

// The terminal utilities' entries; an empty one is the utility not built
// yet. A test puts its own function in place.
struct kd_hook_table {
  void (*kivokeys)();
};
extern kd_hook_table kd_hooks;

// The key-definition utility. Returns when the user wants to run the
// system afterwards; otherwise ends the process. With the hook empty it says
// the utility is not available and ends the process with 1.
void kivokeys();

}  // namespace kivo
