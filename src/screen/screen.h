// What start-up and the layers above call of the terminal utilities and the
// window manager, and its calls that are not built yet.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivo {

struct ARB;
struct TWND;
struct SHOW_BLK;

// The server that stores a remote client's keys (filled above from the
// remote terminal's exchange); each entry 1 done, 0 failed.
struct kd_remote {
  int (*status)();  // 1 when the server's KEYMAP is open
  int (*target)(char term[10], char user[3]);
  // `count` keys: codes[count], keys[count x kKeystrokeMax].
  int (*send)(const uint16_t* codes, const uint16_t* keys, size_t count);
  int (*abort)();
};

// The key-definition utility (kivokeys.cpp), on KEYMAP, or with `remote`
// for that server. Returns when the user wants to run the system
// afterwards; otherwise ends the process: 0 after the user's abort, 1 when
// the user declines to run the system, 2 when the terminal, KEYMAP or the
// server fails.
void kivokeys(const kd_remote* remote = nullptr);

// Region writing and the show of the window manager, filled when they are
// built (wm_register_hooks fills region writing); an empty entry fails (0),
// so its callers report and go on.
struct wm_hook_table {
  // Writes the window's whole text, rows x columns, as its region.
  int (*write_reg)(TWND* wnd, const char* text);
  // Shows the screen and, with input asked for, reads a key into the block.
  int (*show)(SHOW_BLK* blk, ARB* msg_file);
};

struct wm_term_ops;

// The hooks the terminal utilities and the window manager offer, each filled
// by the subsystem named beside it; an empty entry behaves as its comment
// says.
struct screen_hook_table {
  wm_hook_table wm;
  // The remote-terminal server's terminal operations (the tools' remote
  // terminal), chosen when com.rmt_sock is set. Null: none in this build.
  const wm_term_ops* remote_ops;
  // The show of the status messages (wm_init: a repaint and a show without
  // input). Empty: a repaint of the current surfaces.
  void (*status_show)();
};
extern screen_hook_table screen_hooks;

int wm_seam_write_reg(TWND* wnd, const char* text);
int wm_seam_show(SHOW_BLK* blk, ARB* msg_file);

// Releases the windows and surfaces of `level` and deeper.
void wm_clr_scope(uint32_t level);

// Puts wm_clr_scope in the foundation's scope clearing and the error screen
// in the system-error reporting (used once os_ready is set); main calls it
// at start-up.
void wm_register_hooks();

}  // namespace kivo
