// The terminal switch: the operations the window manager asks of a terminal
// layer, one table per layer. The local terminal is the terminal manager
// (curses); a remote client's server fills `screen_hooks.remote_ops` when it starts;
// tests put a recording table in `wm_term_override`.
//
// Callers: the repaint sends row updates and scrolls; start, show and the
// suspend/resume paths of the window manager use the rest.
#pragma once

#include <cstdint>

#include "screen/tm.h"
#include "screen/tm_input.h"

namespace kivo {

struct wm_term_ops {
  void (*init)(int disable_optimize);
  int (*attach)(tm_attach_blk* blk);
  tm_keymap_h* (*keymap)(const char* name, const int16_t* table);
  int (*update)(tm_term* t, const tm_text_run& run);  // 0 = refused
  int (*scroll)(tm_term* t, int row, int col, int nrows, int ncols, int direction, int count);
  uint32_t (*show)(SHOW_DATA* sd);
  void (*suspend)();
  void (*resume)();
  void (*finish)();
};

extern const wm_term_ops tm_curses_ops;
// The remote-terminal server's table is screen_hooks.remote_ops.
// Replaces the choice below when set (tests).
extern const wm_term_ops* wm_term_override;
// The terminal handle the operations work on (from attach).
extern tm_term* wm_term_handle;

// The override, else the remote table when com.rmt_sock is set, else the
// curses one. A remote session without a remote layer is a system error
// and gets the curses table.
const wm_term_ops* wm_term();

}  // namespace kivo
