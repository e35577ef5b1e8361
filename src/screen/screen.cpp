// Region writing and the show until the window manager fills them: with
// their hooks empty they fail.
#include "screen/screen.h"

#include <cstdio>
#include <cstdlib>

namespace kivo {

wm_seam_table wm_seams;

int wm_seam_write_reg(TWND* wnd, const char* text) { return wm_seams.write_reg ? wm_seams.write_reg(wnd, text) : 0; }

int wm_seam_show(SHOW_BLK* blk, ARB* msg_file) { return wm_seams.show ? wm_seams.show(blk, msg_file) : 0; }

}  // namespace kivo
