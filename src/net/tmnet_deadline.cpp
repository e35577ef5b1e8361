// The handshake's deadline, the session's and a request's bounds, the
// client's watched wait and their signal handlers (tmnet_deadline.h).
//
// The handlers only record the signal and are installed without SA_RESTART,
// so a wait in poll or a blocked send returns EINTR and the caller asks here
// what to do. They are in place while a handshake, a session or a client's
// session runs; the ones the process had come back when none does.
#include "net/tmnet_deadline.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "foundation/os.h"
#include "net/netio.h"
#include "net/tmnet.h"
#include "net/tmnet_channel.h"

namespace kivo {

namespace {

using steady = std::chrono::steady_clock;

constexpr int kEnding[] = {SIGINT, SIGTERM};

// The keepalive of a server's session: a peer that vanished while its user
// reads a screen is found within idle + interval * probes (3 minutes).
constexpr int kKeepIdleSeconds = 60;
constexpr int kKeepIntervalSeconds = 30;
constexpr int kKeepProbes = 4;

constexpr int kSignalExitBase = 128;  // a client ended by a signal: 128 + its number

struct phase {
  bool on = false;
  int sock = -1;
  int seconds = 0;
  char peer[64] = "";  // named at the start: a connection that broke has no peer
};

struct deadline_state {
  phase handshake, session, client, request;
  bool report = true;  // the handshake names its own expiry
  steady::time_point handshake_end, request_end;
  void (*finish)() = nullptr;  // the client's terminal put back
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
  if (!g.handlers || g.handshake.on || g.session.on || g.client.on) return;
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

// Seconds from the environment variable `name` when it is a number from 1
// to a day, else `dflt`.
int env_seconds(const char* name, int dflt) {
  const char* v = getenv(name);
  char* end = nullptr;
  const long s = v ? strtol(v, &end, 10) : 0;
  return v && *v && !*end && s >= 1 && s <= 24 * 3600 ? static_cast<int>(s) : dflt;
}

// A session's connection tells of a peer that vanished: keepalive probes
// after a quiet minute. A socket that takes no options (a test's pipe)
// goes without.
void keep_alive(int sock) {
  const int on = 1, idle = kKeepIdleSeconds, interval = kKeepIntervalSeconds, probes = kKeepProbes;
  if (setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0 ||
      setsockopt(sock, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
      setsockopt(sock, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0 ||
      setsockopt(sock, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) != 0)
    tmnet_dbg_log(TMNET_LOG_WARN, "srv: no keepalive on descriptor %d: %s", sock, strerror(errno));
}

// The client's wait for its server ended by `sig`: the terminal put back,
// the line, and the process ends with 128 + the signal (an exit of its own:
// the shell that started it goes on).
void client_signal(int sig) {
  char peer[sizeof g.client.peer];
  memcpy(peer, g.client.peer, sizeof peer);
  void (*finish)() = g.finish;
  tmnet_client_end();
  if (finish) finish();
  ss_restore_tty();
  if (sig == SIGINT)
    fprintf(stderr, "%s: no answer from %s: ended at the user's request\n", program_invocation_short_name, peer);
  else fprintf(stderr, "%s: no answer from %s: ended by %s\n", program_invocation_short_name, peer, strsignal(sig));
  fflush(stderr);
  tmnet_end_process(kSignalExitBase + sig);
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

void tmnet_peer_text(int sock, char* out, size_t n) { peer_text(sock, out, n); }

int tmnet_handshake_seconds() { return env_seconds("KIVO_NET_HANDSHAKE_TIMEOUT", kHandshakeSecondsDefault); }

int tmnet_request_seconds() { return env_seconds("KIVO_NET_REQUEST_TIMEOUT", kRequestSecondsDefault); }

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
  keep_alive(sock);
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

void tmnet_client_begin(int sock, const char* host, const char* port, void (*finish)()) {
  g.client = {true, sock, 0, ""};
  snprintf(g.client.peer, sizeof g.client.peer, "%.30s port %.20s", host, port);
  g.finish = finish;
  install_handlers();
}

void tmnet_client_end() {
  g.client.on = false;
  g.finish = nullptr;
  restore_handlers();
}

bool tmnet_client_on() { return g.client.on; }

void tmnet_client_gone(const char* why) {
  const char* peer = g.client.on ? g.client.peer : "the server";
  tmnet_dbg_log(TMNET_LOG_WARN, "cli: the session with %s ended: %s", peer, why);
  if (g.finish) g.finish();
  ss_restore_tty();
  fprintf(stderr, "%s: the session with %s ended: %s\n", program_invocation_short_name, peer, why);
  fflush(stderr);
  tmnet_end_process(kTmnetLostExit);
}

void tmnet_request_begin(int sock, int seconds) {
  if (g.request.on) return;
  g.request = {true, sock, seconds < 1 ? 1 : seconds, ""};
  g.request_end = after(g.request.seconds);
}

void tmnet_request_end() { g.request.on = false; }

tmnet_bound tmnet_bound_for(int sock, int timeout) {
  tmnet_bound b;
  if (timeout >= 0) b = {BOUND_CALLER, after(timeout)};
  tmnet_bound own;
  if (g.handshake.on) own = {BOUND_HANDSHAKE, g.handshake_end};
  else if (g.request.on && sock == g.request.sock) own = {BOUND_REQUEST, g.request_end};
  else if (g.session.on && sock == g.session.sock) own = {BOUND_SESSION, after(g.session.seconds)};
  else if (g.client.on && sock == g.client.sock) own = {BOUND_WATCHED, steady::time_point::max()};
  if (own.kind != BOUND_NONE && (b.kind == BOUND_NONE || own.deadline <= b.deadline)) b = own;
  return b;
}

tmnet_wait_scope::tmnet_wait_scope(tmnet_bound_kind kind) {
  if (kind != BOUND_WATCHED) return;
  struct sigaction now {};
  sigaction(SIGINT, nullptr, &now);
  if (now.sa_handler == record) return;
  struct sigaction sa {};
  sa.sa_handler = record;
  sigemptyset(&sa.sa_mask);
  for (int i = 0; i < 2; ++i) sigaction(kEnding[i], &sa, &saved_[i]);
  swapped_ = true;
}

tmnet_wait_scope::~tmnet_wait_scope() {
  if (!swapped_) return;
  for (int i = 0; i < 2; ++i) sigaction(kEnding[i], &saved_[i], nullptr);
}

void tmnet_wait_user(int sock) {
  for (;;) {
    tmnet_wait_signals();
    // The engine's data links are kept alive while its user takes his time.
    const int r = net_io.wait(sock, netio_keepalive());
    if (r == 0 || (r < 0 && errno == EINTR)) continue;
    return;  // data, an end or a fault: the read that follows tells which
  }
}

void tmnet_wait_signals() {
  const int sig = g_signal;
  if (!sig) return;
  if (g.handshake.on) return handshake_signal(sig);
  if (g.client.on) return client_signal(sig);
  tmnet_session_act();
}

const char* tmnet_end_words(int err, const char* who) {
  static char text[96];
  if (!err) snprintf(text, sizeof text, "%s closed the connection", who);
  else snprintf(text, sizeof text, "the connection broke (%s)", strerror(err));
  return text;
}

void tmnet_wait_expired(tmnet_bound_kind kind) {
  if (kind == BOUND_HANDSHAKE && g.handshake.on) return handshake_expired();
  if (kind != BOUND_SESSION || !g.session.on) return;
  char why[64];
  snprintf(why, sizeof why, "no answer within %d s", g.session.seconds);
  tmnet_session_gone(why, kRemoteGoneExit);
}

}  // namespace kivo
