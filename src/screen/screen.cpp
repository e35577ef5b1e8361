// The window manager's hook table, and its seams, which start as the real
// region writing and show.
#include "screen/screen.h"

#include "screen/wm_region.h"
#include "screen/wm_show.h"

namespace kivo {

screen_hook_table screen_hooks;

namespace {

int write_reg(TWND* w, const char* text) { return wm_write_reg(w, reinterpret_cast<const uint8_t*>(text), {}, {}); }

int show(SHOW_BLK* blk, ARB* msg_file) { return wms.started ? wm_show(blk, msg_file) : 0; }

}  // namespace

screen_seam_table screen_seams = {write_reg, show};

int wm_seam_write_reg(TWND* wnd, const char* text) { return screen_seams.write_reg(wnd, text); }

int wm_seam_show(SHOW_BLK* blk, ARB* msg_file) { return screen_seams.show(blk, msg_file); }

}  // namespace kivo
