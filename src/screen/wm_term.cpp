// The terminal switch and the local (curses) table.
#include "screen/wm_term.h"

#include "foundation/com.h"
#include "foundation/sys_err.h"
#include "screen/screen.h"

namespace kivo {

const wm_term_ops tm_curses_ops = {tm_init, tm_trm_attach, tm_keymap, tm_upd_scr, tm_scroll,
                                   tm_show, tm_suspend,    tm_resume, tm_finish};
const wm_term_ops* wm_term_override;
tm_term* wm_term_handle;

const wm_term_ops* wm_term() {
  if (wm_term_override) return wm_term_override;
  if (!com.rmt_sock) return &tm_curses_ops;
  if (screen_hooks.remote_ops) return screen_hooks.remote_ops;
  sys_err("WM3", __LINE__, "wm_term() - no remote terminal layer in this build");
  return &tm_curses_ops;
}

}  // namespace kivo
