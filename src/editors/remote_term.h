// The remote terminal joined to the window manager and the terminal
// manager: the server's operations in the terminal switch, the client's
// terminal in the character client, and the look-ups each side needs of
// the other layers. The network and screen subsystems sit side by side
// below, so the joining lives here.
#pragma once

#include <cstdint>

#include "screen/tm.h"

namespace kivo {

// Fills screen_hooks.remote_ops, tmnet_srv_hooks, tmnet_cli_term and
// tm_hooks.cli_setargs; main calls it at start-up (test programs too).
void remote_term_register();

// The field editor's look-up on a remote client: the cells of the field
// at (row, col) in the client's copy of the screen.
int tmnet_cli_get_ed(int row, int col, tm_edit* out);

}  // namespace kivo
