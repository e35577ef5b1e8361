// What start-up and the layers above call of the terminal utilities and the
// window manager; the hook the remote terminal fills and the seams tests
// replace.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/hook_list.h"

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

struct wm_term_ops;

// The hook the window manager offers the layers above, filled by the
// <library>_register_hooks named beside it.
struct screen_hook_table {
  // The remote-terminal server's terminal operations (the editors' remote
  // terminal, editors_register_hooks), chosen when com.rmt_sock is set. Null:
  // none in this build.
  const wm_term_ops* remote_ops;
};
extern screen_hook_table screen_hooks;

// clang-format off
#define KIVO_SCREEN_HOOKS(X)  \
  X(screen_hooks, remote_ops)
// clang-format on
KIVO_TABLE_LISTED(screen_hooks, KIVO_SCREEN_HOOKS);

// What tests replace of the window manager and the terminal; each entry
// starts as the real one.
struct screen_seam_table {
  // Writes the window's whole text, rows x columns, as its region.
  int (*write_reg)(TWND* wnd, const char* text);
  // Shows the screen and, with input asked for, reads a key into the block;
  // 0 (the caller reports and goes on) until the window manager has started.
  int (*show)(SHOW_BLK* blk, ARB* msg_file);
};
extern screen_seam_table screen_seams;

// clang-format off
#define KIVO_SCREEN_SEAMS(X) \
  X(screen_seams, write_reg) \
  X(screen_seams, show)
// clang-format on
KIVO_TABLE_LISTED(screen_seams, KIVO_SCREEN_SEAMS);

int wm_seam_write_reg(TWND* wnd, const char* text);
int wm_seam_show(SHOW_BLK* blk, ARB* msg_file);

// Releases the windows and surfaces of `level` and deeper.
void wm_clr_scope(uint32_t level);

// Fills the hooks the window manager and the terminal serve below them:
// wm_clr_scope in the scope clearing, the error screen in the system-error
// reporting (used once os_ready is set), the yield point's signals and the
// lock wait's line; main calls it first thing (kivo_register_hooks).
void screen_register_hooks();

}  // namespace kivo
