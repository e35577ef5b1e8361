// The remote-terminal pieces not built yet: each entry says so and fails,
// rather than pretending that a connection exists.
#include "net/seams.h"

#include <cstdio>
#include <cstdlib>

namespace kivo {

int tmnet_cli_main(int, char**) {
  fprintf(stderr, "kivo: the remote-terminal client is not available in this build\n");
  return 0;
}

int tmnet_srv_ping() { return 0; }

void tmnet_srv_kivokeys() {
  fprintf(stderr, "kivo: remote key definition is not available in this build\n");
  exit(1);
}

}  // namespace kivo
