// The operating-system layer: signals, commands and background jobs, the
// clock, temporary names, shared libraries, host and user facts.
//
// The `os_` functions are what the rest of the engine calls; the `ss_`
// functions do the work. Everything here runs in the single engine thread;
// the signal handler touches only async-signal-safe state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "foundation/com.h"
#include "foundation/hook_list.h"

struct termios;

namespace kivo {

// ---- start-up, signals, debug log ----------------------------------------

// Path kinds and their directory names; index 0 is unused.
constexpr int kPathKinds = 8;
extern cstr path_types[kPathKinds + 1];

// Start-up of the layer: path kinds, time zone, the fatal-signal handler
// (SIGBUS, SIGSEGV), the debug log, recovery armed, KIVO_0SA_PATH. Returns 1.
int ss_unix_init();

// Arms recovery: the next fatal signal unwinds the current scope level with
// end code 37 instead of ending the process. A recovery disarms it.
void ss_reset_sig_handler();

// Whether the next fatal signal would be recovered.
bool ss_recovery_armed();

// What the fatal-signal handler puts back before it ends the process: the
// terminal modes saved when the terminal started and the bytes that reset
// its screen (at most kFatalResetMax). The terminal manager fills it at its
// start and clears it (null modes) when it ends; empty, the handler leaves
// the terminal alone.
constexpr size_t kFatalResetMax = 256;
void ss_set_fatal_tty(const ::termios* modes, const char* reset, size_t len);
// Puts the terminal back as ss_set_fatal_tty recorded it, for a process that
// ends outside its terminal's own finish; nothing when none was recorded.
void ss_restore_tty();

// The system-administration override directory (KIVO_0SA_PATH), empty
// when unset.
const cstr& ss_0sa_path();

// Writes to the KIVO_SS_LOG file and flushes, when `mask` shares a bit with
// the KIVO_SS_CODE mask.
void dbg_log(uint32_t mask, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// ---- commands and background jobs -----------------------------------------

// Runs a command through the shell and waits. Always returns 1; `status` is
// the exit code, 128 + n when killed by signal n, -1 when no shell ran.
int ss_spawn(const cstr* command, int* status);
int os_spawn(const cstr* command, int* status);

// Calls fn with args[1..args[0]] (at most 16 words). Returns fn's result;
// more than 16 words is refused with a system error and 0.
intptr_t ss_call(const intptr_t* args, void* fn);
intptr_t os_call(const intptr_t* args, void* fn);

// The fields of a submit request that the layer reads.
struct SUBMIT_BLK {
  uint8_t mode;  // 0-4, 255 = none
  char notify;   // ' ' none, '1' yes, other no
  uint32_t day;  // 0xFFFFFFFF = no date
  uint32_t hsec;
  char priority[10];
  char queue[10];
};

// Runs the script of the data directory (com.data_dir + "/" + script) with
// each of the n `args` as one argument (fork and exec; the shell only starts
// the script, so one without an interpreter line still runs) and waits.
// Returns the wait status, -1 when it could not be started.
int ss_run_script(const char* script, const char* const* args, size_t n);

// Starts a background job: runs the submit script of the data directory
// (KIVO_BG_SCRIPT, default "kivo_submit") with the job's options as separate
// arguments, so that values pass as data. `session` is 8 characters.
// Returns the wait status of the script, -1 when it could not be run or the
// mode is invalid.
int ss_submit(const char* session, const SUBMIT_BLK* blk);
int os_submit(const char* session, const SUBMIT_BLK* blk);

// ---- the clock -------------------------------------------------------------

// A clock value: day number (days since 1970-01-01 + 719159) and
// hundredths of a second since midnight, local time.
struct ss_clock {
  uint32_t day;
  uint32_t hsec;
};
constexpr uint32_t kDayHsec = 8640000;
constexpr uint32_t kEpochDay = 719159;

// The local clock now (time zone and daylight saving of this moment).
void ss_time(ss_clock* clock);
// The same for a given moment; the pure part of ss_time.
ss_clock ss_clock_at(int64_t epoch_sec, int64_t usec);

// ss_time plus the fake-time offset, carried into days.
void os_kivo_time(ss_clock* clock);
// A clock value moved by a signed number of hundredths, carried into days
// and held at day 0, hundredth 0 at the bottom.
ss_clock ss_clock_add(ss_clock c, int64_t hsec);

// Sets the fake-time offset from a date and time in universal form
// (CCYYMMDDhhmmssth, "--" for a part not given). 1 when the text was
// understood; 0 leaves the offset as it was.
int os_set_fake_time(const char* text);
void os_clear_fake_time();

// The day number of a calendar date, and back. Years 0-9999.
uint32_t ss_day_number(int year, int month, int day);
void ss_civil_date(uint32_t day_number, int* year, int* month, int* day);

// The clock value as 16 digits CCYYMMDDhhmmssth into out (16 characters,
// not terminated). A value out of range is a system error; out is zeros.
void ss_host_time(char* out, const ss_clock* clock);

// Stores a clock value in its 8-byte form (day, hundredths, little-endian).
void ss_clock_store(uint8_t* out, const ss_clock& c);

// ---- temporary names ---------------------------------------------------------

// The 8-character suffix of a temporary file name: "-", the temporary
// number in 2 hex digits, the process id in 5 characters. Process ids up to
// 0xFFFFF are 5 hex digits; larger ones are a letter G-Z (never a hex digit,
// so the two forms cannot meet) and 4 base-32 digits. Returns 0 when the
// number or the process id cannot be written that way.
int ss_tmp_suffix(char out[9], uint32_t tmp_id, uint32_t pid);

// The process id a temporary file's name carries: `name` is its last path
// element, 16 characters (the 8 of the file's name, then the suffix) with
// or without an extension. 0 when it is no such name.
uint32_t ss_tmp_owner(const char* name);

// Whether process `pid` lives; one of another user counts as living.
bool ss_pid_alive(uint32_t pid);

// Removes from `dir` the temporary files (".dat" and ".key" names of the
// form above) of processes that no longer live, which a killed run leaves
// behind; never this process's. Returns how many went.
int ss_tmp_sweep(const char* dir);

// A run's record file (a bootstrap's, a design load's): a whole-file write
// lock on `fd` without waiting, which lasts while the descriptor and its
// process live, so that a record found unlocked was left by a run that
// ended. 1 when taken; ss_run_lock_holder gives the process holding it, 0
// when none does; ss_read_whole the file's text.
int ss_run_lock(int fd);
long ss_run_lock_holder(int fd);
std::string ss_read_whole(int fd);

// dst = tmpl without the 8 characters that precede its last 4. dst must
// hold strlen(tmpl) + 1 bytes.
void ss_tmp_1st(char* dst, const char* tmpl);

// Increments the number at the end of the last path element of name in
// place (A9 -> 10, ABC -> AB1); the length never changes. Returns 0 and
// leaves name as it was when no further name can be made (all nines).
int ss_tmp_nxt(char* name);

// ---- shared libraries -------------------------------------------------------

struct ss_lib;

// Loads a shared library once: the same full path returns the same entry.
// Null when it cannot be loaded (logged with mask 2).
ss_lib* ss_load_lib(const char* dir, const char* name);
// A function of a library, looked up once. Null when missing (logged).
void* ss_load_fn(ss_lib* lib, const char* name);
// Closes the library and forgets it and its functions.
void ss_unload_lib(ss_lib* lib);
// "library,function" (trailing blanks ignored): 1 and the address when found.
int ss_dyn_load(const cstr* spec, void** address);
// Unloads the library of "library,function".
void ss_dyn_free(const cstr* spec);
// Number of libraries loaded (tests).
int ss_lib_count();

// ---- host, user and terminal -----------------------------------------------

// os "LINUX" and host = the node name; id and unused stay empty.
// Outputs point at static storage. 0 when uname fails.
int ss_host_info(cstr* id, cstr* unused, cstr* os, cstr* host);

// 10: the program's path; 11: the process id; 12: the terminal device or
// "background". Other codes: the string as last filled. Static storage.
cstr ss_info(int code);
cstr os_info(int code);

// The login name of the real user id; the uid in decimal when the password
// file has no entry for it. Static storage.
cstr ss_uid();
cstr os_uid();

// The device name of standard input, empty when it is no terminal. Returns 1.
int ss_trm_id(cstr* out);

// The system's text for an error number, or "No message string for #%d".
const char* ss_msg(int err);

// Creates every missing directory before the last "/" of path (mode 0777).
// 0 when one cannot be made.
int ss_make_path(const char* path);

// The remote-terminal protocol's entries that this layer calls, filled by the
// network subsystem when it starts. Empty: no remote terminals in this build.
struct remote_hooks {
  // An outgoing connection (-x): the socket, 0 on failure. Empty: says so, 0.
  int (*connect)(const char* host, const char* port);
  // Serving a remote terminal: 1 while the client answers. Empty: as a
  // client that is gone.
  int (*ping)();
  // The data links' keepalive while the engine waits for its user or works
  // without them: sends what is due; the milliseconds until more is due,
  // -1 when nothing will be. Empty: no data links in this build.
  int (*keepalive)();
};
extern remote_hooks ss_remote_hooks;

// clang-format off
#define KIVO_REMOTE_HOOKS(X)  \
  X(ss_remote_hooks, connect) \
  X(ss_remote_hooks, ping)    \
  X(ss_remote_hooks, keepalive)
// clang-format on
KIVO_TABLE_LISTED(ss_remote_hooks, KIVO_REMOTE_HOOKS);

// The exit status of a session whose remote client is gone.
constexpr int kRemoteGoneExit = 9;

// The yield point: acts on recorded signals, then, serving a remote
// terminal, pings the client; a client that is gone (or no ping in this
// build) ends the process with kRemoteGoneExit. Returns 1.
int ss_yield();
void ss_sleep(unsigned seconds);
[[noreturn]] void ss_logout();
[[noreturn]] void os_logout();

// ---- option values ------------------------------------------------------------

// "[user:]keymap": the keymap name (10) into com.keymap_id and, with a user
// part, the user id (3, upper-cased) into its last three characters.
void ss_parse_keymap(const char* text);

// Advances *text past the first ch, or to its end when there is none.
void ss_find_delim(const char** text, char ch);

// Copies an option value into an n-character field: double quotes dropped,
// "_" becomes a blank, upper-cased, the rest blank-filled.
void ss_stuff_arg(char* field, const char* text, size_t n);

}  // namespace kivo
