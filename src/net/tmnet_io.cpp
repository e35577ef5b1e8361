// Blocking reads and writes of whole byte counts over `net_io`, and the
// rule for a connection that breaks. An interrupted call is retried; a
// timed read has one deadline for all its bytes, so a peer that sends half
// a message cannot hold the reader past it.
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <string>

#include "net/tmnet_channel.h"
#include "net/tmnet_deadline.h"
#include "net/tmnet_internal.h"

namespace kivo {

namespace {

void default_exit(int status) { exit(status); }

tmnet_exit_fn g_exit = default_exit;
tmnet_status g_status = TMNET_OK;
int g_error = 0;

using steady = std::chrono::steady_clock;

// Milliseconds left before the deadline, 0 once it has passed; -1 (no
// end) for a wait without one.
int ms_left(steady::time_point deadline) {
  if (deadline == steady::time_point::max()) return -1;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now()).count();
  return left <= 0 ? 0 : left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// Waits for the socket to become readable before the deadline: true when
// it is (or when the wait itself failed: the read then reports the fault).
// A signal that ends the phase ends the process here.
bool wait_readable(int sock, steady::time_point deadline) {
  for (;;) {
    tmnet_wait_signals();
    const int r = net_io.wait(sock, ms_left(deadline));
    if (r < 0 && errno == EINTR) continue;
    return r != 0;
  }
}

}  // namespace

tmnet_exit_fn set_tmnet_exit(tmnet_exit_fn fn) {
  tmnet_exit_fn old = g_exit;
  g_exit = fn ? fn : default_exit;
  return old;
}

void tmnet_end_process(int status) { g_exit(status); }

void tmnet_set_status(tmnet_status s) { g_status = s; }

tmnet_status tmnet_last_status() { return g_status; }

int tmnet_last_error() { return g_error; }

int tmnet_failed(int sock, tmnet_status why, int err) {
  g_status = why;
  g_error = err;
  if (tmnet_role != TMNET_ROLE_DATA_LINK) {
    // A broken connection ends the process with 255; in a session the
    // line names the peer.
    const bool client = tmnet_role == TMNET_ROLE_CLIENT;
    const char* who = client ? "the server" : "it";
    std::string words = why == TMNET_LOST ? tmnet_end_words(err, who) : std::string(who) + " broke the protocol";
    if (tmnet_role == TMNET_ROLE_SERVER && tmnet_session_on()) tmnet_session_gone(words.c_str(), kTmnetLostExit);
    else if (client && tmnet_client_on()) tmnet_client_gone(words.c_str());
    else tmnet_end_process(kTmnetLostExit);
    return 0;
  }
  net_io.drop(sock);
  return 0;
}

size_t writen(int sock, size_t length, const void* data) {
  tmnet_dbg_log_hexdump(TMNET_LOG_DUMP, data, length, "written to socket");
  const uint8_t* p = static_cast<const uint8_t*>(data);
  size_t sent = 0;
  while (sent < length) {
    const ssize_t n = net_io.send(sock, p + sent, length - sent);
    if (n < 0 && errno == EINTR) {
      tmnet_wait_signals();
      continue;
    }
    if (n <= 0) {
      tmnet_bytes_sent += sent;
      // A pipe that broke is a peer that closed its end.
      return static_cast<size_t>(tmnet_failed(sock, TMNET_LOST, n < 0 && errno != EPIPE ? errno : 0));
    }
    sent += static_cast<size_t>(n);
  }
  tmnet_bytes_sent += length;
  return length;
}

size_t readn(int sock, size_t length, void* buffer, int timeout) {
  // One deadline for all the bytes: the caller's, the handshake's, the
  // request's or the session's, whichever ends first (or none, watched).
  const tmnet_bound bound = tmnet_bound_for(sock, timeout);
  const tmnet_wait_scope scope(bound.kind);
  uint8_t* p = static_cast<uint8_t*>(buffer);
  size_t got = 0;
  while (got < length) {
    if (bound.kind != BOUND_NONE && !wait_readable(sock, bound.deadline)) {
      tmnet_bytes_recv += got;
      g_status = TMNET_TIMEOUT;
      tmnet_wait_expired(bound.kind);
      return 0;
    }
    const ssize_t n = net_io.recv(sock, p + got, length - got);
    if (n < 0 && errno == EINTR) {
      tmnet_wait_signals();
      continue;
    }
    if (n <= 0) {
      tmnet_bytes_recv += got;
      return static_cast<size_t>(tmnet_failed(sock, TMNET_LOST, n < 0 ? errno : 0));
    }
    got += static_cast<size_t>(n);
  }
  tmnet_bytes_recv += length;
  tmnet_dbg_log_hexdump(TMNET_LOG_DUMP, buffer, length, "read from socket");
  return length;
}

}  // namespace kivo
