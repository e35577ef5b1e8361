// The key-definition utility, region writing and the show are not built
// yet: with their hooks empty they say so or fail.
#include "screen/seams.h"

#include <cstdio>
#include <cstdlib>

namespace kivo {

kd_hook_table kd_hooks;
wm_seam_table wm_seams;

void kivokeys() {
  if (kd_hooks.kivokeys) return kd_hooks.kivokeys();
  fprintf(stderr, "kivo: the key-definition utility is not available in this build\n");
  exit(1);
}

int wm_seam_write_reg(TWND* wnd, const char* text) { return wm_seams.write_reg ? wm_seams.write_reg(wnd, text) : 0; }

int wm_seam_show(SHOW_BLK* blk, ARB* msg_file) { return wm_seams.show ? wm_seams.show(blk, msg_file) : 0; }

}  // namespace kivo
