// kivo_listen: a test listener for remote sessions, standing in for the
// listener that lies outside the engine. It listens on 127.0.0.1 (port 0
// unless --port=N; the port it got is printed on the first line of the
// standard output) and hands each connection to a child of its own, which
// reads the LOGIN block, answers REPLY {3, 1} and starts the configured
// command on the connection (so a connection that says nothing delays no
// other client):
//
//   kivo_listen [--once] [--port=N] COMMAND [ARG...]
//
// The command gets "-f=<descriptor>" (3 or more), then "-fms_server" when
// the LOGIN's start argument asks for the data server, then "-k" when its
// remap flag is set, and runs without KIVO_DATA_SERVER in its environment
// (a data server must not forward its own files). A malformed LOGIN (a text
// without its terminating zero, an unknown start argument) is answered
// {3, 0} and closed. It checks no password: it is for tests on this host.
// --once ends the listener after the first accepted LOGIN.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/std_fds.h"
#include "net/tmnet.h"
#include "net/tmnet_deadline.h"
#include "net/tmnet_login.h"

using namespace kivo;

namespace {

constexpr uint8_t kReplyFirst = 3;

struct options {
  bool once = false;
  unsigned port = 0;
  std::vector<std::string> command;
};

bool parse_options(int argc, char** argv, options* o) {
  int i = 1;
  for (; i < argc && strncmp(argv[i], "--", 2) == 0; ++i) {
    if (strcmp(argv[i], "--once") == 0) {
      o->once = true;
    } else if (strncmp(argv[i], "--port=", 7) == 0) {
      char* end;
      const unsigned long p = strtoul(argv[i] + 7, &end, 10);
      if (*end || p > 65535) return false;
      o->port = static_cast<unsigned>(p);
    } else {
      return false;
    }
  }
  for (; i < argc; ++i) o->command.emplace_back(argv[i]);
  return !o->command.empty();
}

// Descriptors 0-2 open, so that no socket takes one of them.
void hold_standard_descriptors() {
  for (int fd = 0; fd < 3; ++fd)
    if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd) exit(2);
}

int listen_on(unsigned port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    perror("kivo_listen: listen");
    exit(2);
  }
  printf("%u\n", ntohs(a.sin_port));
  fflush(stdout);
  return fd;
}

// Ended sessions are reaped as they end, so none stays a zombie while the
// listener waits for its next connection.
void reap(int) {
  const int saved = errno;
  while (waitpid(-1, nullptr, WNOHANG) > 0) {}
  errno = saved;
}

void reap_sessions_at_once() {
  struct sigaction sa {};
  sa.sa_handler = reap;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGCHLD, &sa, nullptr);
}

// Only the two start arguments the engine knows may reach its command line.
bool login_ok(const tmnet_login& l) { return l.start.empty() || l.start == kLoginDataServer; }

[[noreturn]] void start_engine(int sock, const options& o, const tmnet_login& l) {
  if (sock < 3) {
    const int moved = fcntl(sock, F_DUPFD, 3);
    if (moved < 0) _exit(127);
    close(sock);
    sock = moved;
  }
  fcntl(sock, F_SETFD, 0);  // the engine inherits the connection
  unsetenv("KIVO_DATA_SERVER");
  std::vector<std::string> args = o.command;
  args.push_back("-f=" + std::to_string(sock));
  if (l.start == kLoginDataServer) args.push_back(kLoginDataServer);
  if (l.remap) args.push_back("-k");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  fprintf(stderr, "kivo_listen: cannot run %s: %s\n", argv[0], strerror(errno));
  _exit(127);
}

// One connection, in a child of its own: reads the LOGIN under the
// handshake's bound, answers it and, when accepted, becomes the engine.
// Before the exec it writes one byte to `verdict` (close-on-exec) so that a
// --once listener learns a session started; the child's end otherwise.
[[noreturn]] void serve(int sock, const options& o, int verdict) {
  prctl(PR_SET_PDEATHSIG, SIGTERM);  // a login still waiting ends with the listener
  uint8_t block[kLoginSize];
  tmnet_handshake_begin(sock);  // a connection that says nothing is dropped at the bound
  const bool got = tmnet_recv_msg(sock, TMNET_LOGIN, sizeof block, block);
  tmnet_handshake_end();
  if (!got) _exit(1);
  tmnet_login l;
  const bool ok = login_parse(block, &l) && login_ok(l);
  uint8_t reply[kReplySize];
  reply_build(kReplyFirst, ok ? 1 : 0, reply);
  if (!tmnet_send_msg(sock, TMNET_REPLY, sizeof reply, reply) || !ok) _exit(1);
  prctl(PR_SET_PDEATHSIG, 0);  // the session outlives the listener
  const char started = 1;
  if (verdict >= 0 && write(verdict, &started, 1) != 1) _exit(1);
  start_engine(sock, o, l);
}

// Hands the connection to a child of its own, so that a connection that
// says nothing keeps no other client waiting. With --once: true when that
// child started a session (the listener then waits for its verdict).
bool hand_over(int sock, const options& o) {
  int verdict[2] = {-1, -1};
  if (o.once && pipe2(verdict, O_CLOEXEC) != 0) return false;
  const pid_t pid = fork();
  if (pid == 0) {
    if (verdict[0] >= 0) close(verdict[0]);
    serve(sock, o, verdict[1]);
  }
  if (verdict[1] >= 0) close(verdict[1]);
  if (pid < 0 || !o.once) return false;
  char started = 0;
  ssize_t n;
  while ((n = read(verdict[0], &started, 1)) < 0 && errno == EINTR) {}
  close(verdict[0]);
  return n == 1 && started == 1;
}

}  // namespace

int main(int argc, char** argv) {
  kivo::os_std_descriptors();  // before anything is opened
  options o;
  if (!parse_options(argc, argv, &o)) {
    fprintf(stderr, "usage: kivo_listen [--once] [--port=N] COMMAND [ARG...]\n");
    return 2;
  }
  hold_standard_descriptors();
  tmnet_init();
  tmnet_role = TMNET_ROLE_DATA_LINK;  // a client that breaks off must not end the login's child
  const int lsn = listen_on(o.port);
  reap_sessions_at_once();
  for (;;) {
    const int sock = accept4(lsn, nullptr, nullptr, SOCK_CLOEXEC);
    if (sock < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      perror("kivo_listen: accept");
      return 2;
    }
    const bool started = hand_over(sock, o);
    close(sock);
    if (started) return 0;
  }
}
