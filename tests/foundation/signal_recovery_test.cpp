// Recovery from fatal signals. Each case runs in a forked child, so that a
// failure cannot take the test runner down; the child reports through its
// exit status.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>

#include "foundation/com.h"
#include "foundation/end_codes.h"
#include "foundation/os.h"
#include "foundation/pool.h"
#include "foundation/scope.h"
#include "test_dir.h"

using namespace kivo;

namespace {

// Runs body in a child without core files; returns the raw wait status.
int in_child(const std::function<int()>& body, std::string* err = nullptr) {
  int pipefd[2];
  if (pipe(pipefd) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    close(pipefd[0]);
    dup2(pipefd[1], 2);
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);
    com_fill(0, nullptr);
    mm_init();
    ss_unix_init();
    _exit(body());
  }
  close(pipefd[1]);
  std::string text;
  char buf[512];
  ssize_t n;
  while ((n = read(pipefd[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  close(pipefd[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  if (err) *err = text;
  return st;
}

// A real memory fault: a write to a page with no access at all. (A write
// through null would be caught by the undefined-behaviour checks first.)
void null_write() {
  static void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  *static_cast<volatile int*>(page) = 1;
}

bool sig_blocked(int sig) {
  sigset_t cur;
  sigprocmask(SIG_BLOCK, nullptr, &cur);
  return sigismember(&cur, sig);
}

}  // namespace

TEST(SignalRecovery, FaultsInARowEachEndTheInnermostLevelWith37) {
  int st = in_child([] {
    uint32_t first = MARK(MARK_PROCESS, [] { null_write(); });
    if (first != PI_END_FATAL) return 10;
    if (sig_blocked(SIGSEGV)) return 11;
    if (ss_recovery_armed()) return 12;  // a recovery disarms
    ss_reset_sig_handler();
    uint32_t second = MARK(MARK_PROCESS, [] { null_write(); });
    if (second != PI_END_FATAL) return 13;
    ss_reset_sig_handler();
    uint32_t bus = MARK(MARK_PROCESS, [] { raise(SIGBUS); });
    if (bus != PI_END_FATAL) return 14;
    if (com.mark_scope != com.sys_scope) return 15;
    // Recovery lands in the innermost level; the outer one ends normally.
    ss_reset_sig_handler();
    uint32_t inner = 0;
    uint32_t outer = MARK(MARK_PROCESS, [&] { inner = MARK(MARK_SUBPROCESS, [] { null_write(); }); });
    return inner == PI_END_FATAL && outer == PI_END_NORMAL ? 0 : 16;
  });
  ASSERT_TRUE(WIFEXITED(st)) << "child ended by signal " << (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
  EXPECT_EQ(WEXITSTATUS(st), 0);
}

TEST(SignalRecovery, DisarmedFaultEndsTheProcessWithItsText) {
  std::string err;
  int st = in_child(
      [] {
        MARK(MARK_PROCESS, [] { null_write(); });
        MARK(MARK_PROCESS, [] { null_write(); });  // not re-armed
        return 0;
      },
      &err);
  ASSERT_TRUE(WIFSIGNALED(st));
  EXPECT_EQ(WTERMSIG(st), SIGABRT);
  EXPECT_NE(err.find("An unrecoverable Memory Reference error has occurred, KIVO will now exit"), std::string::npos)
      << err;
}

TEST(SignalRecovery, FaultWithoutALevelIsNotRecovered) {
  std::string err;
  int st = in_child(
      [] {
        raise(SIGBUS);
        return 0;
      },
      &err);
  ASSERT_TRUE(WIFSIGNALED(st));
  EXPECT_NE(err.find("An unrecoverable BUS Error has occurred, KIVO will now exit"), std::string::npos) << err;
}

TEST(SignalRecovery, RecoveredSignalIsLoggedAndTheCoreChildReaped) {
  kivo_test::scratch_dir d;
  std::string log = d.file("signal.log");
  setenv("KIVO_SIGNAL_LOG", log.c_str(), 1);
  int st = in_child([] {
    MARK(MARK_PROCESS, [] { null_write(); });
    // The core child was waited for: nothing is left to reap.
    int s;
    return waitpid(-1, &s, WNOHANG) == -1 && errno == ECHILD ? 0 : 1;
  });
  unsetenv("KIVO_SIGNAL_LOG");
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0);
  std::string text = d.read("signal.log");
  EXPECT_EQ(text.rfind("Signal 11 caught at ", 0), 0u) << text;
  EXPECT_NE(text.find(" (pid = "), std::string::npos);
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
}
