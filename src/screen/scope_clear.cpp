// The window manager is not built yet: there are no windows to release.
#include "screen/scope_clear.h"

namespace kivo {

void wm_clr_scope(uint32_t) {}

}  // namespace kivo
