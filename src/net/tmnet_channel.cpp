// The socket channel and the memory channel behind `net_io`.
#include "net/tmnet_channel.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace kivo {

namespace {

ssize_t sock_send(int sock, const void* data, size_t n) { return ::send(sock, data, n, MSG_NOSIGNAL); }

ssize_t sock_recv(int sock, void* buffer, size_t n) { return ::recv(sock, buffer, n, 0); }

int sock_wait(int sock, int timeout_ms) {
  pollfd p{sock, POLLIN, 0};
  return ::poll(&p, 1, timeout_ms);
}

void sock_drop(int sock) { ::shutdown(sock, SHUT_RDWR); }

const net_channel kSocketCalls = {sock_send, sock_recv, sock_wait, sock_drop};

net_memory* g_mem = nullptr;

ssize_t mem_send(int, const void* data, size_t n) {
  if (g_mem->dropped) {
    errno = EPIPE;
    return -1;
  }
  const uint8_t* p = static_cast<const uint8_t*>(data);
  g_mem->out.insert(g_mem->out.end(), p, p + n);
  return static_cast<ssize_t>(n);
}

ssize_t mem_recv(int, void* buffer, size_t n) {
  if (g_mem->dropped) return 0;
  size_t left = g_mem->in_len - g_mem->in_pos;
  if (n > left) n = left;
  if (n) memcpy(buffer, g_mem->in + g_mem->in_pos, n);
  g_mem->in_pos += n;
  return static_cast<ssize_t>(n);
}

// Memory is always ready: more input, or the end that reads as a close.
int mem_wait(int, int) { return 1; }

void mem_drop(int) { g_mem->dropped = true; }

}  // namespace

net_channel net_io = kSocketCalls;

const net_channel& net_socket_calls() { return kSocketCalls; }

void net_use_memory(net_memory* mem) {
  g_mem = mem;
  net_io = mem ? net_channel{mem_send, mem_recv, mem_wait, mem_drop} : kSocketCalls;
}

}  // namespace kivo
