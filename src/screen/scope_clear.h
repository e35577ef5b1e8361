// Window-manager services that scope clearing uses.
#pragma once

#include <cstdint>

namespace kivo {

// Releases the windows and surfaces of `level` and deeper.
void wm_clr_scope(uint32_t level);

// Puts wm_clr_scope in the foundation's scope clearing and the error screen
// in the system-error reporting (used once os_ready is set); main calls it
// at start-up.
void wm_register_hooks();

}  // namespace kivo
