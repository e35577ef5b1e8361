// Window-manager services that scope clearing uses.
#pragma once

#include <cstdint>

namespace kivo {

// Releases the windows and surfaces of `level` and deeper.
void wm_clr_scope(uint32_t level);

}  // namespace kivo
