// Signals of the terminal session. The handler only records which signal
// came: a jump or a screen call from an asynchronous handler could land in
// the middle of an allocation or a half-written record. The key reader
// (whose blocked read returns, the handlers being installed without restart
// while it waits) and the yield point act on the record.
#include <csignal>
#include <cstdio>

#include <unistd.h>

#include "foundation/end_codes.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "screen/tm.h"

namespace kivo {

namespace {

volatile sig_atomic_t g_msg = 0;    // SIGUSR2 or SIGALRM: a message or the time-out
volatile sig_atomic_t g_term = 0;   // SIGTERM or SIGHUP: the signal that ends the session
int g_ended_by = 0;                 // the one acted on
volatile sig_atomic_t g_tstp = 0;   // SIGTSTP: suspend
volatile sig_atomic_t g_int = 0;    // SIGINT: debugger break
volatile sig_atomic_t g_winch = 0;  // SIGWINCH: the terminal was resized

constexpr int kTrapped[] = {SIGINT, SIGTERM, SIGHUP, SIGUSR2, SIGALRM, SIGTSTP, SIGWINCH};

void suspend_self() {
  static const char nl = '\n';
  if (getpgrp() == getpid()) {
    tm_suspend();
    if (write(STDOUT_FILENO, &nl, 1) < 0) {}
    signal(SIGTSTP, SIG_DFL);
    raise(SIGTSTP);  // stops here until continued
  } else if (write(STDOUT_FILENO, &nl, 1) < 0) {
  }
  tm_install_signals(true);
  tm_resume();
}

}  // namespace

void sig_trap(int sig) {
  switch (sig) {
    case SIGINT:
      // The break is one bit of the control word, which the dispatch loop
      // tests before every statement: set here, a loop that reads no key
      // still stops.
      if (tm_hooks.debug_break) tm_hooks.debug_break();
      else g_int = 1;
      break;
    case SIGUSR2:
    case SIGALRM: g_msg = 1; break;
    case SIGTERM:
    case SIGHUP: g_term = sig; break;
    case SIGTSTP: g_tstp = 1; break;
    case SIGWINCH: g_winch = 1; break;
    default: break;  // only the signals above are installed
  }
}

void tm_install_signals(bool restart) {
  struct sigaction sa {};
  sa.sa_handler = sig_trap;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = restart ? SA_RESTART : 0;
  for (int sig : kTrapped) sigaction(sig, &sa, nullptr);
}

bool tm_msg_pending() { return g_msg != 0; }
void tm_clear_msg() { g_msg = 0; }

void tm_sig_act() {
  if (g_int) {
    g_int = 0;
    if (tm_hooks.debug_break) tm_hooks.debug_break();
  }
  if (g_tstp) {
    g_tstp = 0;
    suspend_self();
  }
  if (g_winch) {
    g_winch = 0;
    tm_repaint_resized();
  }
  if (g_term) {
    g_ended_by = g_term;
    g_term = 0;
    mark_leave(PI_END_LEAVE);
  }
}

int tm_end_signal() { return g_ended_by; }

}  // namespace kivo
