// Start-up of the network subsystem.
#pragma once

namespace kivo {

// Puts the outgoing remote-terminal connection (-x) and the remote ping in
// the operating-system layer's remote hooks; main calls it before parsing
// the command line.
void net_init();

}  // namespace kivo
