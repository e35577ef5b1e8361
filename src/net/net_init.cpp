// Start-up of the network subsystem: it fills the hooks that the layers
// below call for remote terminals.
#include "net/net_init.h"

#include "fm/fm_switch.h"
#include "foundation/os.h"
#include "net/netio.h"
#include "net/seams.h"
#include "net/tmnet.h"

namespace kivo {

void net_init() {
  ss_remote_hooks.connect = tmnet_cli_conn_to_host;
  ss_remote_hooks.ping = tmnet_srv_ping;
  fms_backends.remote = net_fm_init;
}

}  // namespace kivo
