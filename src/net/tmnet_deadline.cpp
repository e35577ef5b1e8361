// The handshake's deadline, the session's bound and their signal handlers
// (tmnet_deadline.h).
//
// The handlers only record the signal and are installed without SA_RESTART,
// so a wait in poll or a blocked send returns EINTR and the caller asks here
// what to do. They are in place while a handshake or a session runs; the
// ones the process had come back when neither does.
#include "net/tmnet_deadline.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "foundation/os.h"
#include "net/tmnet.h"

namespace kivo {

namespace {

using steady = std::chrono::steady_clock;

constexpr int kEnding[] = {SIGINT, SIGTERM};

struct phase {
  bool on = false;
  int sock = -1;
  int seconds = 0;
  char peer[64] = "";  // named at the start: a connection that broke has no peer
};

struct deadline_state {
  phase handshake, session;
  bool report = true;  // the handshake names its own expiry
  steady::time_point handshake_end;
  bool handlers = false;
  struct sigaction saved[2];
};
deadline_state g;
volatile sig_atomic_t g_signal = 0;

void record(int sig) { g_signal = sig; }

void install_handlers() {
  if (g.handlers) return;
  g_signal = 0;
  struct sigaction sa {};
  sa.sa_handler = record;
  sigemptyset(&sa.sa_mask);
  for (int i = 0; i < 2; ++i) sigaction(kEnding[i], &sa, &g.saved[i]);
  g.handlers = true;
}

void restore_handlers() {
  if (!g.handlers || g.handshake.on || g.session.on) return;
  for (int i = 0; i < 2; ++i) sigaction(kEnding[i], &g.saved[i], nullptr);
  g.handlers = false;
}

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

steady::time_point after(int seconds) {
  return steady::now() + std::chrono::seconds(seconds > INT_MAX / 1000 ? INT_MAX / 1000 : seconds);
}

void handshake_signal(int sig) {
  tmnet_handshake_end();
  ss_restore_tty();
  signal(sig, SIG_DFL);
  raise(sig);
}

void handshake_expired() {
  char peer[sizeof g.handshake.peer];
  memcpy(peer, g.handshake.peer, sizeof peer);
  const int seconds = g.handshake.seconds;
  const bool report = g.report;
  tmnet_handshake_end();
  if (!report) return;
  ss_restore_tty();
  fprintf(stderr, "%s: no answer from %s within %d s\n", program_invocation_short_name, peer, seconds);
  fflush(stderr);
}

}  // namespace

int tmnet_handshake_seconds() {
  const char* v = getenv("KIVO_NET_HANDSHAKE_TIMEOUT");
  char* end = nullptr;
  const long s = v ? strtol(v, &end, 10) : 0;
  return v && *v && !*end && s >= 1 && s <= 24 * 3600 ? static_cast<int>(s) : kHandshakeSecondsDefault;
}

void tmnet_handshake_begin(int sock, bool report) {
  if (g.handshake.on) return;
  g.handshake = {true, sock, tmnet_handshake_seconds(), ""};
  peer_text(sock, g.handshake.peer, sizeof g.handshake.peer);
  g.report = report;
  g.handshake_end = after(g.handshake.seconds);
  install_handlers();
}

void tmnet_handshake_end() {
  if (!g.handshake.on) return;
  g.handshake.on = false;
  restore_handlers();
}

void tmnet_session_begin(int sock, int seconds) {
  g.session = {true, sock, seconds < 1 ? 1 : seconds, ""};
  peer_text(sock, g.session.peer, sizeof g.session.peer);
  install_handlers();
}

void tmnet_session_end() {
  g.session.on = false;
  restore_handlers();
}

bool tmnet_session_on() { return g.session.on; }

void tmnet_session_act() {
  const int sig = g_signal;
  if (!g.session.on || (sig != SIGINT && sig != SIGTERM)) return;
  g_signal = 0;
  tmnet_dbg_log(TMNET_LOG_WARN, "srv: signal %d: session ended", sig);
  ss_restore_tty();
  tmnet_end_process(kTmnetLostExit);
}

void tmnet_session_gone(const char* why, int status) {
  const char* peer = g.session.peer;
  tmnet_dbg_log(TMNET_LOG_WARN, "srv: the remote client at %s is gone: %s", peer, why);
  fprintf(stderr, "%s: the remote client at %s is gone: %s\n", program_invocation_short_name, peer, why);
  fflush(stderr);
  ss_restore_tty();
  tmnet_end_process(status);
}

tmnet_bound tmnet_bound_for(int sock, int timeout) {
  tmnet_bound b;
  if (timeout >= 0) b = {BOUND_CALLER, after(timeout)};
  tmnet_bound own;
  if (g.handshake.on) own = {BOUND_HANDSHAKE, g.handshake_end};
  else if (g.session.on && sock == g.session.sock) own = {BOUND_SESSION, after(g.session.seconds)};
  if (own.kind != BOUND_NONE && (b.kind == BOUND_NONE || own.deadline <= b.deadline)) b = own;
  return b;
}

void tmnet_wait_signals() {
  const int sig = g_signal;
  if (!sig) return;
  if (g.handshake.on) return handshake_signal(sig);
  tmnet_session_act();
}

void tmnet_wait_expired(tmnet_bound_kind kind) {
  if (kind == BOUND_HANDSHAKE && g.handshake.on) return handshake_expired();
  if (kind != BOUND_SESSION || !g.session.on) return;
  char why[64];
  snprintf(why, sizeof why, "no answer within %d s", g.session.seconds);
  tmnet_session_gone(why, kRemoteGoneExit);
}

}  // namespace kivo
