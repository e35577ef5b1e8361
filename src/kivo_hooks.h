// main's registration of every library's hooks, and its start of the
// subsystems above the window manager: apart from main so that the build
// programs and the hook tests run the same.
#pragma once

#include <vector>

namespace kivo {

// One library's registration: the function that fills every hook the library
// serves below it.
struct kivo_registration {
  const char* name;  // "fm_register_hooks"
  void (*fill)();
};

// The registrations in layer order from the bottom.
const std::vector<kivo_registration>& kivo_registrations();

// Runs every registration in that order; main calls it first thing.
void kivo_register_hooks();

// The starts main runs once the window manager is up, in its order: the
// compilers, the interpreter, the editors, the report manager and the
// process types, the data dictionary.
void kivo_start_subsystems();

}  // namespace kivo
