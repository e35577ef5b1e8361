// Start-up of the network subsystem.
#pragma once

namespace kivo {

// Puts the outgoing remote-terminal connection (-x) in the command line's
// hook; main calls it before parsing the command line.
void net_init();

}  // namespace kivo
