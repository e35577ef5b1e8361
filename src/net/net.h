// What the rest of the engine calls of the remote-terminal and data-server
// protocols.
#pragma once

namespace kivo {

// The character-mode remote client. 1 normal end, 0 failure.
int tmnet_cli_main(int argc, char** argv);

// Serving a remote terminal: 1 while the client answers, 0 when it is gone.
int tmnet_srv_ping();

// Key definition for a remote client's keyboard (net/tmnet_keys.h); ends
// the process.
int tmnet_srv_kivokeys();

// The data server's command loop on com.rmt_sock; 1 when it ends.
int netio_serve();

// Puts the outgoing remote-terminal connection (-x) and the remote ping in
// the operating-system layer's remote hooks, and the remote back-end in the
// file manager's switch; main calls it before parsing the command line.
void net_register_hooks();

}  // namespace kivo
