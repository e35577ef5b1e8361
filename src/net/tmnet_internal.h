// Pieces shared by the files of the message layer; not for other callers.
#pragma once

#include "net/tmnet.h"

namespace kivo {

// Records why an operation failed and applies the role's rule for a lost
// connection or a protocol error: every role but the data link ends the
// process with status 255, a server or client in its session after one
// line naming its peer (`err`: the system error of a connection that
// broke, 0 when the peer closed it); the data link shuts the connection
// down, since its stream can no longer be trusted. Returns 0 for the
// caller to pass on.
int tmnet_failed(int sock, tmnet_status why, int err = 0);

void tmnet_set_status(tmnet_status s);

// Marks every buffer slot free, keeping its memory.
void tmnet_pool_reset();

}  // namespace kivo
