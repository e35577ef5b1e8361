// pty_stdin COMMAND [ARG...]: runs the command with a fresh pseudo-terminal
// as its standard input and controlling terminal, as a person's terminal
// would be, while its output goes where this program's goes. No key is
// ever typed: a command that waits for one waits until it is stopped from
// outside. When the command ends, the terminal's modes must be as they were
// before it started.
//
// Exit status: the command's (128 + signal when it was killed); 125 when it
// changed the terminal's modes; 126 when no pseudo-terminal could be made
// or the command could not be run.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "foundation/std_fds.h"

namespace {

constexpr int kModesChanged = 125, kCannotRun = 126;

// The command runs in a session of its own, out of reach of the keyboard's
// signals: an interrupt or hang-up of this program is passed on to it.
volatile sig_atomic_t g_child = 0;

void pass_on(int sig) {
  if (g_child > 0) kill(-g_child, sig);
}

void forward_signals() {
  struct sigaction sa {};
  sa.sa_handler = pass_on;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(sig, &sa, nullptr);
}

bool same_modes(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
         memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

[[noreturn]] void run_child(int slave, char** argv) {
  setsid();
  if (ioctl(slave, TIOCSCTTY, 0) != 0) _exit(kCannotRun);
  dup2(slave, STDIN_FILENO);
  if (slave != STDIN_FILENO) close(slave);
  execvp(argv[0], argv);
  fprintf(stderr, "pty_stdin: cannot run %s: %s\n", argv[0], strerror(errno));
  _exit(kCannotRun);
}

int wait_status(pid_t pid) {
  int st = 0;
  while (waitpid(pid, &st, 0) < 0)
    if (errno != EINTR) return kCannotRun;
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

}  // namespace

int main(int argc, char** argv) {
  kivo::os_std_descriptors();  // before anything is opened
  if (argc < 2) {
    fprintf(stderr, "usage: pty_stdin COMMAND [ARG...]\n");
    return kCannotRun;
  }
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    fprintf(stderr, "pty_stdin: no pseudo-terminal: %s\n", strerror(errno));
    return kCannotRun;
  }
  fcntl(master, F_SETFD, FD_CLOEXEC);
  termios before{};
  tcgetattr(slave, &before);
  const pid_t pid = fork();
  if (pid < 0) return kCannotRun;
  if (pid == 0) run_child(slave, argv + 1);
  g_child = pid;
  forward_signals();
  const int status = wait_status(pid);
  termios after{};
  tcgetattr(slave, &after);
  if (!same_modes(before, after)) {
    fprintf(stderr, "pty_stdin: %s changed the terminal's modes (status %d)\n", argv[1], status);
    return kModesChanged;
  }
  return status;
}
