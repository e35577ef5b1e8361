// System errors: internal failures reported to the user, and the last
// system-error text that message 200650 shows.
//
// The caller writes the text into `ut_dbg` and calls `os_sys_err`. Every
// report goes to KIVO_SYS_ERR_LOG first: one appending writer for the whole
// process, one line per entry, so processes sharing the log never empty or
// interleave it. Then the screen form shows it when the screen is ready
// (`os_ready`); otherwise, or when its window cannot be made, the text form:
// "KIVOMSG" goes on after a line, "KIVOERR" (the window failed) leaves the
// current level with end code 3. End of input acts as the line would. A
// tool that runs without a user at its terminal (sys_err_plain_lines) gets
// each text form as one plain line and never waits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/invoc.h"

namespace kivo {

constexpr size_t kUtDbgSize = 1024;
extern char ut_dbg[kUtDbgSize];

// Shows the text of `ut_dbg` as a system error of source module `module`.
void os_sys_err(const char* module, int line);
// The showing alone (the report is logged already): for a report the
// screen form kept back until the terminal had finished reading a key.
// `notice`: as sys_notice shows it.
void os_sys_err_show(const char* module, int line, const char* text, bool notice = false);

// printf-style: formats into ut_dbg (bounded), then os_sys_err.
void sys_err(const char* module, int line, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

// printf-style: a condition the user can act on or that was put right of
// itself (a full disk or print folder, a file repaired as it opened), no
// fault of the engine: logged as a system error is, shown in words without
// the call for support (the screen form while sys_err_is_notice() holds),
// and every answer goes on. The text form is a system error's.
void sys_notice(const char* module, int line, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
// Whether the report the screen form is asked to show is a notice.
bool sys_err_is_notice();

// While the window manager starts, the terminal is the terminal manager's
// and no screen is up: with `on`, a report is neither shown nor read for
// but kept, the first only (a served session's goes to its client as
// before), and the start ends with it. `on` forgets an earlier one.
void sys_err_hold(bool on);
// The report kept: "<module> - <text>"; empty when none.
const char* sys_err_held();

// From now on the text forms are plain lines on standard error, "<program>:
// <module> - <text>", and nothing is read: for the modes and programs that
// have no user at a terminal (the file utilities, the bootstrap, the data
// server, the build-time programs), which would otherwise print prompts they
// never wait for. KIVOERR still leaves the level with 3.
void sys_err_plain_lines(const char* program);

// A replaceable presenter of the text form (foundation_seams.err_presenter),
// so that tests can take over the display. Returning normally means
// "continue".
using sys_err_presenter = void (*)(const char* module, int line, const char* text);

// The screen form, filled by the window manager's side when it starts; used
// only while `os_ready` is 1. Its result says how the user answered.
enum : int { SYS_ERR_NO_WINDOW = 0, SYS_ERR_CONTINUE = 1, SYS_ERR_CANCEL = 2 };
// (foundation_hooks.err_screen)
using sys_err_screen = int (*)(const char* module, int line, const char* text);

// 1 once the screen is up: the window manager starts it at 255 and each
// show counts it on until it reaches 1; until then the text form serves.
extern int os_ready;

// Set while a session's window manager holds the terminal (main sets it
// once the window manager has started; wm_finish clears it): the screen
// form serves from then on, before the first shows have counted `os_ready`
// up, and no text form ever writes to that terminal or reads it behind the
// terminal manager's back. A window that cannot be made then leaves the
// level with end code 3 as KIVOERR does, its text in the log.
extern bool os_screen_up;

// Set when the process serves a connection given on its command line (a
// remote terminal's server, the data server): its user is at the other
// end, so a system error goes to the screen form (the client's screen)
// whether or not the screen is up yet, and failing that to the log alone:
// the terminal the process was started from is never read.
extern bool os_serving;

// The invocation of the running process, for the screen form's PROCESS line.
void os_err_set_invoc(const INVOC* invoc);
extern INVOC os_invoc;

// Records the last system error: "*" and `text`, or without a text "System
// Error <code> Reported"; the text goes to the log as one line.
void la_sys_err(const char* text, int code);
// Records `text` as message 200650 shows it, without the log: for a
// refusal of what the user asked (a designer's mistake), which is no
// system error.
void la_sys_err_note(const char* text);
// The recorded text ("*" first), or null when none is recorded.
const char* la_sys_err_text();
// Records `text` as la_sys_err does, and keeps it as the text of message
// 200660 as well: a change whose answer never came, whose words the
// failures that follow (which record their own) must not replace.
void la_sys_err_unsure(const char* text);
// That text ("*" first), or null when none is recorded.
const char* la_sys_err_unsure_text();
// Forgets the recorded text (a fresh session, tests).
void la_sys_err_clear();

// A failure that ends the running process of itself (a run-time error, a
// report cut short, a conversion that cannot go on): a session whose first
// process it ends is no success. The first note stands until cleared; the
// executive clears it when a process returns to an invoker that goes on,
// and when the start's process begins.
void os_note_run_failure(const char* why);
// What was noted; empty when nothing is.
const char* os_run_failure();
void os_clear_run_failure();

// Appends `text` to KIVO_SYS_ERR_LOG as one line (a line end is added when
// missing); nothing when the variable is unset or the file cannot be opened.
void sys_err_log(const char* text);

// Count of system errors reported in this process (tests read it).
unsigned sys_err_count();

}  // namespace kivo
