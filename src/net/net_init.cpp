// Start-up of the network subsystem: it fills the hooks that the layers
// below call for remote terminals.
#include "net/net_init.h"

#include "foundation/cmdline.h"
#include "net/tmnet.h"

namespace kivo {

void net_init() { set_remote_connect(tmnet_cli_conn_to_host); }

}  // namespace kivo
