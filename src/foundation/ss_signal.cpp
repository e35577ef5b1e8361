// Start-up of the operating-system layer and the fatal-signal handler.
//
// The fault handler runs on SIGBUS and SIGSEGV, on a stack of its own so
// that a stack overflow reaches it too; SIGQUIT ends the process with the
// terminal restored. It forks a child that aborts, so a
// core image is written while the engine goes on; with recovery armed it
// long-jumps into the current scope level with end code 37. Everything the
// handler reads (the log path, the time-zone offset) is prepared outside it,
// and it calls only async-signal-safe functions. Before the jump it unblocks
// its signal: the jump point does not restore the mask, and a signal left
// blocked would make the next fault end the process.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "foundation/end_codes.h"
#include "foundation/os.h"
#include "foundation/scope.h"

namespace kivo {

namespace {

char kind_names[kPathKinds + 1][9] = {"", "Data", "Struct", "Em", "Dbg", "Portdata", "Print", "Sess", "Newdata"};

volatile sig_atomic_t sig_handler_ready;
volatile long g_utc_offset;  // seconds east of UTC, for the log line
char g_signal_log[1024];     // KIVO_SIGNAL_LOG, empty when unset

// The terminal as the handler leaves it (ss_set_fatal_tty).
volatile sig_atomic_t g_tty_saved;
struct termios g_tty_modes;
char g_tty_reset[kFatalResetMax];
size_t g_tty_reset_len;

// The handler's own stack: a fault from a stack overflow has none left.
constexpr size_t kAltStackSize = 64 * 1024;
alignas(16) char g_alt_stack[kAltStackSize];

FILE* g_dbg_log;
uint32_t g_dbg_mask;
char g_0sa_buf[1024];
cstr g_0sa_path{0, g_0sa_buf};

// ---- async-signal-safe formatting ----

size_t put_str(char* out, size_t pos, size_t cap, const char* s) {
  while (*s && pos + 1 < cap) out[pos++] = *s++;
  return pos;
}

size_t put_num(char* out, size_t pos, size_t cap, long v, int width) {
  char tmp[24];
  int n = 0;
  bool neg = v < 0;
  unsigned long u = neg ? 0UL - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
  do {
    tmp[n++] = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u);
  while (n < width) tmp[n++] = '0';
  if (neg && pos + 1 < cap) out[pos++] = '-';
  while (n > 0 && pos + 1 < cap) out[pos++] = tmp[--n];
  return pos;
}

// The ctime text of a moment (without its line end), by arithmetic only.
size_t put_ctime(char* out, size_t pos, size_t cap, long t) {
  static const char kDays[] = "ThuFriSatSunMonTueWed";  // 1970-01-01 was a Thursday
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  long days = t / 86400, secs = t % 86400;
  if (secs < 0) {
    secs += 86400;
    --days;
  }
  long wd = ((days % 7) + 7) % 7;
  int y, m, d;
  ss_civil_date(static_cast<uint32_t>(days + kEpochDay), &y, &m, &d);
  char dow[4] = {kDays[wd * 3], kDays[wd * 3 + 1], kDays[wd * 3 + 2], 0};
  char mon[4] = {kMonths[(m - 1) * 3], kMonths[(m - 1) * 3 + 1], kMonths[(m - 1) * 3 + 2], 0};
  pos = put_str(out, pos, cap, dow);
  pos = put_str(out, pos, cap, " ");
  pos = put_str(out, pos, cap, mon);
  pos = put_str(out, pos, cap, d < 10 ? "  " : " ");
  pos = put_num(out, pos, cap, d, 1);
  pos = put_str(out, pos, cap, " ");
  pos = put_num(out, pos, cap, secs / 3600, 2);
  pos = put_str(out, pos, cap, ":");
  pos = put_num(out, pos, cap, secs / 60 % 60, 2);
  pos = put_str(out, pos, cap, ":");
  pos = put_num(out, pos, cap, secs % 60, 2);
  pos = put_str(out, pos, cap, " ");
  return put_num(out, pos, cap, y, 1);
}

void note_utc_offset() {
  time_t now = time(nullptr);
  struct tm tm;
  if (localtime_r(&now, &tm)) g_utc_offset = tm.tm_gmtoff;
}

void log_signal(int sig) {
  if (!g_signal_log[0]) return;
  char line[160];
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  size_t n = put_str(line, 0, sizeof line, "Signal ");
  n = put_num(line, n, sizeof line, sig, 1);
  n = put_str(line, n, sizeof line, " caught at ");
  n = put_ctime(line, n, sizeof line, static_cast<long>(ts.tv_sec) + g_utc_offset);
  n = put_str(line, n, sizeof line, " (pid = ");
  n = put_num(line, n, sizeof line, getpid(), 1);
  n = put_str(line, n, sizeof line, ")\n");
  int fd = open(g_signal_log, O_WRONLY | O_APPEND | O_CREAT, 0666);
  if (fd < 0) return;
  ssize_t w = write(fd, line, n);
  (void)w;
  close(fd);
}

// A child with the real user id aborts so that a core image is written;
// the parent waits for it, so no zombie is left behind.
void dump_core_child() {
  pid_t pid = fork();
  if (pid == 0) {
    if (seteuid(getuid()) != 0) _exit(134);
    signal(SIGABRT, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGABRT);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(SIGABRT);
    _exit(134);
  }
  if (pid > 0) {
    int st;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {}
  }
}

void unblock(int sig) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

// Curses cannot run here: the saved modes and the prepared reset bytes
// (tcsetattr and write are safe in a handler).
void restore_tty() {
  if (!g_tty_saved) return;
  tcsetattr(STDIN_FILENO, TCSANOW, &g_tty_modes);
  ssize_t w = write(STDOUT_FILENO, g_tty_reset, g_tty_reset_len);
  (void)w;
}

[[noreturn]] void fatal_exit(int sig) {
  char text[160];
  size_t n;
  restore_tty();
  if (sig == SIGBUS) {
    n = put_str(text, 0, sizeof text, "An unrecoverable BUS Error has occurred, KIVO will now exit");
  } else if (sig == SIGSEGV) {
    n = put_str(text, 0, sizeof text, "An unrecoverable Memory Reference error has occurred, KIVO will now exit");
  } else {
    n = put_str(text, 0, sizeof text, "An unrecoverable error has occurred (signal number ");
    n = put_num(text, n, sizeof text, sig, 1);
    n = put_str(text, n, sizeof text, "), KIVO will now exit");
  }
  n = put_str(text, n, sizeof text, "\n");
  ssize_t w = write(2, "\nOS - KIVOMSG - ", 16);
  w = write(2, text, n);
  (void)w;
  signal(SIGABRT, SIG_DFL);
  unblock(SIGABRT);
  raise(SIGABRT);
  _exit(134);
}

void signal_handler(int sig) {
  int saved_errno = errno;
  dump_core_child();
  if (sig_handler_ready && mark_active()) {
    log_signal(sig);
    sig_handler_ready = 0;
    errno = saved_errno;
    unblock(sig);
    mark_signal_jump(PI_END_FATAL);
  }
  fatal_exit(sig);
}

// Ctrl-\ (SIGQUIT) ends the session as the system's default action does (status
// 131, a core image where that is allowed), but with the terminal put back
// first, as a fatal fault puts it back: no raw modes, no alternate screen
// left behind.
void quit_handler(int sig) {
  restore_tty();
  signal(sig, SIG_DFL);
  unblock(sig);
  raise(sig);
}

void open_dbg_log() {
  if (g_dbg_log) fclose(g_dbg_log);
  g_dbg_log = nullptr;
  if (const char* name = getenv("KIVO_SS_LOG")) g_dbg_log = fopen(name, "w");
  g_dbg_mask = 0;
  if (const char* code = getenv("KIVO_SS_CODE")) g_dbg_mask = static_cast<uint32_t>(strtoul(code, nullptr, 0));
}

}  // namespace

cstr path_types[kPathKinds + 1];

int ss_unix_init() {
  for (int i = 0; i <= kPathKinds; ++i)
    path_types[i] = cstr{static_cast<uint16_t>(strlen(kind_names[i])), kind_names[i]};
  tzset();
  note_utc_offset();

  g_signal_log[0] = '\0';
  if (const char* log = getenv("KIVO_SIGNAL_LOG")) {
    if (strlen(log) < sizeof g_signal_log) strcpy(g_signal_log, log);
  }
  stack_t st{};
  st.ss_sp = g_alt_stack;
  st.ss_size = sizeof g_alt_stack;
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = signal_handler;
  sa.sa_flags = sigaltstack(&st, nullptr) == 0 ? SA_ONSTACK : 0;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGBUS, &sa, nullptr);
  sigaction(SIGSEGV, &sa, nullptr);
  struct sigaction quit {};
  quit.sa_handler = quit_handler;
  sigemptyset(&quit.sa_mask);
  sigaction(SIGQUIT, &quit, nullptr);
  // A write past the file-size limit fails with EFBIG and is answered as a
  // full disk is, instead of ending the session with nothing said.
  signal(SIGXFSZ, SIG_IGN);

  open_dbg_log();
  ss_reset_sig_handler();

  g_0sa_path.len = 0;
  g_0sa_buf[0] = '\0';
  if (const char* p = getenv("KIVO_0SA_PATH")) {
    size_t n = strlen(p);
    // A longer directory could not fit any path built on it.
    if (n < sizeof g_0sa_buf) {
      memcpy(g_0sa_buf, p, n + 1);
      g_0sa_path.len = static_cast<uint16_t>(n);
    }
  }
  return 1;
}

void ss_reset_sig_handler() {
  note_utc_offset();
  sig_handler_ready = 1;
}

bool ss_recovery_armed() { return sig_handler_ready != 0; }

void ss_restore_tty() {
  restore_tty();
  g_tty_saved = 0;  // once: the terminal is left as the session found it
}

void ss_set_fatal_tty(const ::termios* modes, const char* reset, size_t len) {
  g_tty_saved = 0;
  if (!modes) return;
  g_tty_modes = *modes;
  g_tty_reset_len = reset ? std::min(len, sizeof g_tty_reset) : 0;
  if (g_tty_reset_len) memcpy(g_tty_reset, reset, g_tty_reset_len);
  g_tty_saved = 1;
}

const cstr& ss_0sa_path() { return g_0sa_path; }

void dbg_log(uint32_t mask, const char* fmt, ...) {
  if (!g_dbg_log || !(mask & g_dbg_mask)) return;
  va_list ap;
  va_start(ap, fmt);
  vfprintf(g_dbg_log, fmt, ap);
  va_end(ap);
  fflush(g_dbg_log);
}

}  // namespace kivo
