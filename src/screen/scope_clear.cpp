// Puts the window manager's clean-up of a level into the foundation's scope
// clearing, and its system-error screen into the error reporting.
#include "screen/scope_clear.h"

#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "screen/la_show.h"

namespace kivo {

void wm_register_hooks() {
  ut_clear_hooks.windows = wm_clr_scope;
  set_sys_err_screen(wm_sys_err_screen);
}

}  // namespace kivo
