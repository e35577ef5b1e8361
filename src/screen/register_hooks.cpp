// The window manager and the terminal in the layers below: the clean-up of a
// level, the system-error screen, the yield point's signals and the lock
// wait's line.
#include "screen/screen.h"

#include "foundation/foundation.h"
#include "foundation/scope.h"
#include "screen/la_show.h"
#include "screen/tm.h"
#include "screen/wm_show.h"
#include "store/store.h"

namespace kivo {

void screen_register_hooks() {
  ut_clear_hooks.windows = wm_clr_scope;
  foundation_hooks.err_screen = wm_sys_err_screen;
  foundation_hooks.yield_signals = tm_sig_act;
  store_hooks.lock_status = wm_lock_line;
}

}  // namespace kivo
