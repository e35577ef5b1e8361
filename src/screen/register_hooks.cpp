// Puts the window manager's clean-up of a level into the foundation's scope
// clearing, its system-error screen into the error reporting and its region
// writing behind the message window's seam.
#include "screen/screen.h"

#include "foundation/foundation.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "screen/la_show.h"
#include "screen/wm_region.h"

namespace kivo {

void wm_register_hooks() {
  ut_clear_hooks.windows = wm_clr_scope;
  foundation_hooks.err_screen = wm_sys_err_screen;
  screen_hooks.wm.write_reg = [](TWND* w, const char* text) {
    return wm_write_reg(w, reinterpret_cast<const uint8_t*>(text), {}, {});
  };
}

}  // namespace kivo
