// Helpers of the storage-engine tests: a scratch directory, child processes
// that probe a lock, and a pipe to step two processes in turn.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "../fixtures/kivo_fixture.h"
#include "foundation/com.h"
#include "foundation/sys_err.h"

namespace kivo::test {

// A fresh directory under /tmp, removed with its files at the end.
class scratch_dir {
 public:
  scratch_dir() {
    char tmpl[] = "/tmp/kivo_fm_XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~scratch_dir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Whether another process can take a write lock on `byte` of the file now.
inline bool other_process_can_lock(const std::string& path, off_t byte) {
  pid_t pid = fork();
  if (pid == 0) {
    int fd = ::open(path.c_str(), O_RDWR);
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = byte;
    fl.l_len = 1;
    _exit(fd >= 0 && fcntl(fd, F_SETLK, &fl) == 0 ? 0 : 1);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  return WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

// A one-way pipe for "go" signals between a parent and a child.
struct signal_pipe {
  int fd[2];
  signal_pipe() {
    if (pipe(fd) != 0) std::abort();
  }
  ~signal_pipe() {
    close(fd[0]);
    close(fd[1]);
  }
  void send(char c = 'x') {
    if (write(fd[1], &c, 1) != 1) std::abort();
  }
  // 0 when nothing arrives within a minute: a child that died before its
  // signal fails the test instead of hanging it (both ends stay open here).
  char receive() {
    pollfd p{fd[0], POLLIN, 0};
    if (poll(&p, 1, 60000) != 1) return 0;
    char c = 0;
    if (read(fd[0], &c, 1) != 1) return 0;
    return c;
  }
};

inline int wait_exit(pid_t pid) {
  int st = 0;
  waitpid(pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// System errors are counted and kept quiet in tests.
inline void quiet_presenter(const char*, int, const char*) {}

using kivo_test::stress_scale;

}  // namespace kivo::test
