// A pipe that carries lines between a test and the engine processes it
// forks, and a lock-wait notice that writes "waiting" into one, so a test
// learns that a child waits on a lock without sleeping on it.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace kivo::test {

struct line_pipe {
  int fd[2];
  line_pipe() {
    if (pipe(fd) != 0) std::abort();
  }
  ~line_pipe() { close(fd[0]), close(fd[1]); }
  void send(const std::string& s) const {
    const std::string l = s + "\n";
    if (write(fd[1], l.data(), l.size()) != ssize_t(l.size())) std::abort();
  }
  // The next line; "" when none comes within a minute (a child that died).
  std::string receive() const {
    std::string s;
    for (char c = 0;;) {
      pollfd p{fd[0], POLLIN, 0};
      if (poll(&p, 1, 60000) != 1 || read(fd[0], &c, 1) != 1) return "";
      if (c == '\n') return s;
      s += c;
    }
  }
};

// Where notice_to_pipe writes; -1: nowhere.
inline int g_notice_fd = -1;
inline void notice_to_pipe(const char*) {
  if (g_notice_fd >= 0 && write(g_notice_fd, "waiting\n", 8) < 0) return;
}

}  // namespace kivo::test
