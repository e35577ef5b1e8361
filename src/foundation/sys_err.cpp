// System-error reporting: the log writer, the recorded last error, the text
// form and the hand-over to the screen form.
//
// The log is opened for appending by whoever reports first and written with
// one write() per entry, so entries of several processes never mix and a
// starting process never empties what others wrote.
#include "foundation/sys_err.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/com.h"
#include "foundation/end_codes.h"
#include "foundation/foundation.h"
#include "foundation/scope.h"

namespace kivo {

char ut_dbg[kUtDbgSize];
int os_ready;
bool os_screen_up;
bool os_serving;
INVOC os_invoc;

namespace {

unsigned g_count;
bool g_showing;            // a report is being shown: a nested one is only logged
bool g_in_error;           // the screen form could not make its window
std::string g_last_err;    // "*" and the text; empty when none is recorded
std::string g_unsure_err;  // the same for the last change whose outcome is unknown
const char* g_plain;       // the program whose text forms are plain lines; null: prompts

// What os_run_failure says; empty when none is noted.
std::string g_run_failure;

bool g_holding;      // the window manager is starting: reports are kept, not shown
std::string g_held;  // the first report kept: "<module> - <text>"
bool g_notice;       // the report being shown is a notice

// The log stays open for the process; a changed KIVO_SYS_ERR_LOG (tests)
// opens the new file.
int log_fd() {
  static int fd = -1;
  static std::string open_name;
  const char* name = getenv("KIVO_SYS_ERR_LOG");
  if (!name || !*name) return -1;
  if (fd >= 0 && open_name == name) return fd;
  if (fd >= 0) close(fd);
  fd = open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  open_name = name;
  return fd;
}

// Waits for the user's line on a terminal; end of input counts as the line.
// RETURN ends it as a carriage return too: a terminal in raw mode (the key
// definition's) does not turn it into a line feed.
void read_reply() {
  if (com.no_term || !isatty(0)) return;
  for (int c; (c = fgetc(stdin)) != EOF;)
    if (c == '\n' || c == '\r') return;
  clearerr(stdin);
}

// One line however many the text holds.
void plain_line(const char* module, const char* text) {
  std::string t(text);
  for (char& c : t)
    if (c == '\n' || c == '\r') c = ' ';
  const size_t end = t.find_last_not_of(' ');
  t.resize(end == std::string::npos ? 0 : end + 1);
  fprintf(stderr, "%s: %s - %s\n", g_plain, module, t.c_str());
}

void text_presenter(const char* module, int, const char* text) {
  if (g_plain) return plain_line(module, text);
  fprintf(stderr, "\n%s - KIVOMSG - Press Return To Continue - %s\n", module, text);
  read_reply();
}

[[noreturn]] void text_cancel(const char* module, const char* text) {
  if (g_plain) {
    plain_line(module, text);
  } else {
    fprintf(stderr, "\n%s - KIVOERR - Press Return To Cancel - %s\n", module, text);
    read_reply();
  }
  mark_leave(PI_END_EXIT);
}

void log_error(const char* module, int line, const char* text) {
  char entry[kUtDbgSize + 64];
  snprintf(entry, sizeof entry, "%s.%d: %s", module, line, text);
  sys_err_log(entry);
}

}  // namespace

foundation_seam_table foundation_seams = {text_presenter};

void sys_err_plain_lines(const char* program) { g_plain = program; }

void sys_err_log(const char* text) {
  int fd = log_fd();
  if (fd < 0) return;
  std::string line(text);
  // One entry, one line: a text spanning lines is joined.
  for (char& c : line)
    if (c == '\n' || c == '\r') c = ' ';
  line += '\n';
  ssize_t w = write(fd, line.data(), line.size());
  (void)w;  // a failing log must not fail the report
}

void os_sys_err(const char* module, int line) {
  ut_dbg[kUtDbgSize - 1] = '\0';
  ++g_count;
  log_error(module, line, ut_dbg);
  os_sys_err_show(module, line, ut_dbg);
}

void os_sys_err_show(const char* module, int line, const char* text, bool notice) {
  if (g_showing) return;  // a second error while one is showing returns at once
  // Nothing may write to the terminal the terminal manager is taking over,
  // nor read it: the start ends with the first report instead.
  if (g_holding && !os_serving) {
    if (g_held.empty()) g_held = std::string(module) + " - " + text;
    return;
  }
  // Either form may unwind the level; the flags must drop either way.
  struct showing_guard {
    explicit showing_guard(bool notice) { g_showing = true, g_notice = notice; }
    ~showing_guard() { g_showing = g_in_error = g_notice = false; }
  } guard(notice);
  // A session's screen is there as soon as the window manager has started
  // (a served session's is its client's); the terminal the served process
  // was started from is never read, and written only when it is no
  // terminal (a log).
  if ((os_ready == 1 || os_serving || os_screen_up) && foundation_hooks.err_screen) {
    int r = foundation_hooks.err_screen(module, line, text);
    if (r == SYS_ERR_CANCEL) mark_leave(PI_END_EXIT);
    if (r == SYS_ERR_CONTINUE) return;
    g_in_error = !os_serving;
  }
  if (os_serving) {
    if (!isatty(2)) fprintf(stderr, "\n%s - KIVOMSG - %s\n", module, text);
    return;
  }
  // The window manager's terminal is written and read through it alone.
  if (os_screen_up) {
    if (g_in_error) mark_leave(PI_END_EXIT);
    return;
  }
  if (g_in_error) text_cancel(module, text);
  foundation_seams.err_presenter(module, line, text);
}

void sys_err(const char* module, int line, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(ut_dbg, sizeof ut_dbg, fmt, ap);
  va_end(ap);
  os_sys_err(module, line);
}

void sys_notice(const char* module, int line, const char* fmt, ...) {
  char text[kUtDbgSize];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  log_error(module, line, text);
  os_sys_err_show(module, line, text, true);
}

bool sys_err_is_notice() { return g_notice; }

void sys_err_hold(bool on) {
  g_holding = on;
  if (on) g_held.clear();
}

const char* sys_err_held() { return g_held.c_str(); }

void os_err_set_invoc(const INVOC* invoc) {
  if (invoc) os_invoc = *invoc;
}

void la_sys_err(const char* text, int code) {
  char dflt[48];
  if (!text) {
    snprintf(dflt, sizeof dflt, "System Error %d Reported", code);
    text = dflt;
  }
  la_sys_err_note(text);
  sys_err_log(text);
}

void la_sys_err_note(const char* text) { g_last_err = std::string("*") + text; }

const char* la_sys_err_text() { return g_last_err.empty() ? nullptr : g_last_err.c_str(); }

void la_sys_err_unsure(const char* text) {
  la_sys_err(text, 0);
  g_unsure_err = g_last_err;
}

const char* la_sys_err_unsure_text() { return g_unsure_err.empty() ? nullptr : g_unsure_err.c_str(); }

void la_sys_err_clear() {
  g_last_err.clear();
  g_unsure_err.clear();
}

void os_note_run_failure(const char* why) {
  if (g_run_failure.empty()) g_run_failure = why && *why ? why : "a failure";
}

const char* os_run_failure() { return g_run_failure.c_str(); }

void os_clear_run_failure() { g_run_failure.clear(); }

unsigned sys_err_count() { return g_count; }

}  // namespace kivo
