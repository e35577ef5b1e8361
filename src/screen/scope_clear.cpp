// Puts the window manager's clean-up of a level into the foundation's scope
// clearing.
#include "screen/scope_clear.h"

#include "foundation/scope.h"

namespace kivo {

void wm_register_hooks() { ut_clear_hooks.windows = wm_clr_scope; }

}  // namespace kivo
