// The window manager is not built yet: there are no windows to release.
#include "screen/scope_clear.h"

#include "foundation/scope.h"

namespace kivo {

void wm_clr_scope(uint32_t) {}

void wm_register_hooks() { ut_clear_hooks.windows = wm_clr_scope; }

}  // namespace kivo
