// Start-up of the network subsystem: it fills the hooks that the layers
// below call for remote terminals.
#include "net/net_init.h"

#include "foundation/os.h"
#include "net/seams.h"
#include "net/tmnet.h"

namespace kivo {

void net_init() {
  ss_remote_hooks.connect = tmnet_cli_conn_to_host;
  ss_remote_hooks.ping = tmnet_srv_ping;
}

}  // namespace kivo
