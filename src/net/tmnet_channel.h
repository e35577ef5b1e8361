// The channel under the message layer: every send, receive, wait and drop
// goes through `net_io`, which starts as the socket calls. Tests and fuzz
// targets put a memory channel in its place (reads from a byte string,
// writes collected), or wrap the socket calls to count or fail them.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kivo {

struct net_channel {
  // As send(2) with MSG_NOSIGNAL: bytes sent, or -1 with errno.
  ssize_t (*send)(int sock, const void* data, size_t n);
  // As recv(2): bytes read, 0 when the peer has closed, or -1 with errno.
  ssize_t (*recv)(int sock, void* buffer, size_t n);
  // As poll(2) for reading on one descriptor: 1 ready, 0 timed out, -1 errno.
  int (*wait)(int sock, int timeout_ms);
  // Ends all traffic on the connection without closing the descriptor.
  void (*drop)(int sock);
};

// The channel in use; starts as the socket calls.
extern net_channel net_io;

// The socket calls, to restore the channel after a test.
const net_channel& net_socket_calls();

// A memory connection: reads come from `in` (end of input reads as a peer
// that closed), writes are appended to `out`. Only one at a time.
struct net_memory {
  const uint8_t* in = nullptr;
  size_t in_len = 0;
  size_t in_pos = 0;
  std::vector<uint8_t> out;
  bool dropped = false;
};

// Puts `mem` in place of the sockets; null restores the socket calls.
void net_use_memory(net_memory* mem);

}  // namespace kivo
