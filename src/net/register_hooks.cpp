// The network subsystem fills the hooks that the layers below call for
// remote terminals and the remote back-end.
#include "net/net.h"

#include "fm/fm_switch.h"
#include "foundation/os.h"
#include "net/netio.h"
#include "net/tmnet.h"

namespace kivo {

void net_register_hooks() {
  ss_remote_hooks.connect = tmnet_cli_conn_to_host;
  ss_remote_hooks.ping = tmnet_srv_ping;
  ss_remote_hooks.keepalive = netio_keepalive;
  fms_backends.remote = net_fm_init;
}

}  // namespace kivo
