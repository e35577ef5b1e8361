// What start-up calls of the terminal utilities, and the window manager's
// calls that are not built yet.
#pragma once

#include <cstdint>

namespace kivo {

struct ARB;
struct TWND;
struct SHOW_BLK;

// The key-definition utility (kivokeys.cpp). Returns when the user wants
// to run the system afterwards; otherwise ends the process: 0 after the
// user's abort, 1 when the user declines to run the system, 2 when the
// terminal or KEYMAP fails.
void kivokeys();

// Region writing and the show of the window manager, filled when they are
// built (wm_register_hooks fills region writing); an empty entry fails (0),
// so its callers report and go on.
struct wm_seam_table {
  // Writes the window's whole text, rows x columns, as its region.
  int (*write_reg)(TWND* wnd, const char* text);
  // Shows the screen and, with input asked for, reads a key into the block.
  int (*show)(SHOW_BLK* blk, ARB* msg_file);
};
extern wm_seam_table wm_seams;

int wm_seam_write_reg(TWND* wnd, const char* text);
int wm_seam_show(SHOW_BLK* blk, ARB* msg_file);

}  // namespace kivo
