// The handshake's deadline and its signal handlers (tmnet_deadline.h).
//
// The handlers only record the signal and are installed without SA_RESTART,
// so a wait in poll returns EINTR and readn asks here what to do.
#include "net/tmnet_deadline.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "foundation/os.h"

namespace kivo {

namespace {

using steady = std::chrono::steady_clock;

constexpr int kEnding[] = {SIGINT, SIGTERM};

struct handshake {
  bool active = false;
  int sock = -1;
  int seconds = 0;
  steady::time_point deadline;
  struct sigaction saved[2];
};
handshake g;
volatile sig_atomic_t g_signal = 0;

void record(int sig) { g_signal = sig; }

// "host port N" of the peer, or "the peer" when the socket has none.
void peer_text(int sock, char* out, size_t n) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  char host[INET_ADDRSTRLEN];
  if (getpeername(sock, reinterpret_cast<sockaddr*>(&a), &len) != 0 || a.sin_family != AF_INET ||
      !inet_ntop(AF_INET, &a.sin_addr, host, sizeof host)) {
    snprintf(out, n, "the peer on descriptor %d", sock);
    return;
  }
  snprintf(out, n, "%s port %u", host, static_cast<unsigned>(ntohs(a.sin_port)));
}

}  // namespace

int tmnet_handshake_seconds() {
  const char* v = getenv("KIVO_NET_HANDSHAKE_TIMEOUT");
  char* end = nullptr;
  const long s = v ? strtol(v, &end, 10) : 0;
  return v && *v && !*end && s >= 1 && s <= 24 * 3600 ? static_cast<int>(s) : kHandshakeSecondsDefault;
}

void tmnet_handshake_begin(int sock) {
  if (g.active) return;
  g.active = true;
  g.sock = sock;
  g.seconds = tmnet_handshake_seconds();
  g.deadline = steady::now() + std::chrono::seconds(g.seconds);
  g_signal = 0;
  struct sigaction sa {};
  sa.sa_handler = record;
  sigemptyset(&sa.sa_mask);
  for (int i = 0; i < 2; ++i) sigaction(kEnding[i], &sa, &g.saved[i]);
}

void tmnet_handshake_end() {
  if (!g.active) return;
  for (int i = 0; i < 2; ++i) sigaction(kEnding[i], &g.saved[i], nullptr);
  g.active = false;
}

bool tmnet_handshake_active(steady::time_point* deadline) {
  if (!g.active) return false;
  *deadline = g.deadline;
  return true;
}

void tmnet_handshake_interrupted() {
  const int sig = g_signal;
  if (!g.active || !sig) return;
  tmnet_handshake_end();
  ss_restore_tty();
  signal(sig, SIG_DFL);
  raise(sig);
}

void tmnet_handshake_timed_out() {
  if (!g.active) return;
  char peer[64];
  peer_text(g.sock, peer, sizeof peer);
  const int seconds = g.seconds;
  tmnet_handshake_end();
  ss_restore_tty();
  fprintf(stderr, "%s: no answer from %s within %d s\n", program_invocation_short_name, peer, seconds);
  fflush(stderr);
}

}  // namespace kivo
