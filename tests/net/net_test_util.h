// Shared pieces of the message-layer tests: a fixture that records how the
// layer would end the process instead of ending it, header bytes, socket
// pairs and a loopback acceptor that close themselves, child processes and
// the test listener.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "../fixtures/hook_override.h"
#include "net/tmnet.h"
#include "net/tmnet_channel.h"
#include "net/tmnet_deadline.h"

namespace kivo::test {

using bytes = std::vector<uint8_t>;

inline std::vector<int>& exits() {
  static std::vector<int> e;
  return e;
}

inline void record_exit(int status) { exits().push_back(status); }

// The 8-byte header: length big-endian, code, three reserved zeros.
inline bytes header(uint8_t code, uint32_t n) {
  return bytes{uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n), code, 0, 0, 0};
}

inline bytes cat(bytes a, const bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class NetFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    tmnet_init();  // every buffer slot free again: an earlier test may hold them all
    exits().clear();
    old_exit_ = set_tmnet_exit(record_exit);
    tmnet_role = TMNET_ROLE_SERVER;
    tmnet_force_headers = false;
    tmnet_set_timeout(-1);
    set_tmnet_request_handler(nullptr);
  }
  void TearDown() override {
    tmnet_session_end();  // an attach in the test began one
    set_tmnet_exit(old_exit_);
    net_use_memory(nullptr);
    set_tmnet_request_handler(nullptr);
    tmnet_force_headers = false;
    tmnet_role = TMNET_ROLE_SERVER;
  }
  kivo_test::hook_overrides hooks_;

 private:
  tmnet_exit_fn old_exit_ = nullptr;
};

// Two connected stream sockets, closed at the end of the scope.
struct sock_pair {
  int near = -1, far = -1;
  sock_pair() {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0) {
      near = sv[0];
      far = sv[1];
    }
  }
  ~sock_pair() {
    if (near >= 0) close(near);
    if (far >= 0) close(far);
  }
  void close_far() {
    close(far);
    far = -1;
  }
  void put(const bytes& b) const { ASSERT_EQ(write(far, b.data(), b.size()), static_cast<ssize_t>(b.size())); }
};

// A listening socket on 127.0.0.1 and the port it got.
struct acceptor {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  std::string port;
  acceptor() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd, 4);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = std::to_string(ntohs(a.sin_port));
  }
  ~acceptor() { close(fd); }
};

constexpr int kDeadlineMs = 30000;

// Starts argv[0] with its output to `out` and its errors to `err` (-1:
// /dev/null) and, when asked, without a standard input, so that sockets
// could take descriptor 0.
inline pid_t spawn(const std::vector<std::string>& args, int out, bool close_stdin, int err = -1) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  const int null = open("/dev/null", O_RDWR);
  dup2(out >= 0 ? out : null, 1);
  dup2(err >= 0 ? err : null, 2);
  if (close_stdin) close(0);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

// What the peer sends until it closes (or, with `line`, up to a line end),
// each wait bounded by the deadline.
inline std::string read_to_eof(int fd, bool line = false) {
  std::string got;
  char c;
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, kDeadlineMs) == 1 && read(fd, &c, 1) == 1 && !(line && c == '\n')) got += c;
  return got;
}

// The child's status once it ends; killed when it outlives the deadline.
inline int reap(pid_t pid) {
  int st = 0;
  for (int ms = 0; waitpid(pid, &st, WNOHANG) != pid; ms += 10) {
    if (ms == kDeadlineMs) kill(pid, SIGKILL);
    poll(nullptr, 0, 10);
  }
  return st;
}

#ifdef KIVO_LISTEN
// The test listener starting `command`, with KIVO_DATA_SERVER set to
// `server` in its environment (which it must not pass on). Only the tests
// built with the listener have it.
struct listener {
  pid_t pid = -1;
  std::string port;
  listener(bool once, const std::vector<std::string>& command, const char* server) {
    int p[2];
    if (pipe(p) != 0) return;
    if (server) setenv("KIVO_DATA_SERVER", server, 1);
    std::vector<std::string> args{KIVO_LISTEN};
    if (once) args.push_back("--once");
    args.insert(args.end(), command.begin(), command.end());
    pid = spawn(args, p[1], true);
    unsetenv("KIVO_DATA_SERVER");
    close(p[1]);
    port = read_to_eof(p[0], true);
    close(p[0]);
  }
  ~listener() {
    if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
};
#endif

}  // namespace kivo::test
