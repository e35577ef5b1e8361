// Region writing and the show until the window manager fills them: with
// their hooks empty they fail.
#include "screen/screen.h"

#include <cstdio>
#include <cstdlib>

namespace kivo {

screen_hook_table screen_hooks;

int wm_seam_write_reg(TWND* wnd, const char* text) {
  return screen_hooks.wm.write_reg ? screen_hooks.wm.write_reg(wnd, text) : 0;
}

int wm_seam_show(SHOW_BLK* blk, ARB* msg_file) {
  return screen_hooks.wm.show ? screen_hooks.wm.show(blk, msg_file) : 0;
}

}  // namespace kivo
