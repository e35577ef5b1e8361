// The session's start around the process executive: the user's record,
// the first process, the installation check with its APPL records, and the
// main loop that runs processes and turns the last end code into the exit
// status.
//
// Invariants: the start invocation is always a copy of `pi_invoc` changed
// field by field; files are changed only where a step says so, and a first
// run whose installation process fails leaves APPL empty so the next start
// runs it again.
//
// Callers: main, in the order of its steps; the MainLoop tests, with a
// recording `pi_exec` in `process_seams.exec`.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fm/fm_objects.h"
#include "foundation/descriptors.h"
#include "foundation/invoc.h"

namespace kivo {

constexpr uint32_t USER_UNKNOWN = 200020;  // the login name is not in a non-empty USER file
constexpr int kExitNoKeymap = 3;
constexpr int kExitLogout = 127;
constexpr int kExitSignal = 128;  // plus the signal (SIGTERM, SIGHUP) that ended the session
constexpr uint16_t kUserRecLen = 436;
// USER record fields read at start.
enum : uint16_t {
  USER_ID = 0,          // 3
  USER_SYS_ID = 3,      // 80, the login name (key 1)
  USER_START_DB = 153,  // 3
  USER_START_AP = 156,  // 3
  USER_START_TYPE = 159,
  USER_START_NAM = 160,  // 30
  USER_RESTART = 266,    // "1" = restart the main menu after a cancel
};

// Reads the login name's USER record into `rec` (kUserRecLen bytes): 1 with
// com.user_id and com.user_rec set, or left blank and null when the USER
// file is missing or empty. Otherwise the status to end with: USER_UNKNOWN,
// or the failure of a file that exists but cannot be opened or read.
uint32_t read_user_rec(uint8_t* rec);

// The session (suspend) file of `session` (8 characters): kind 7 of 0LA
// version 00, variable-length records without a key; its first record, the
// SESSION record, holds an INVOC, the 3-character database id, a reserved
// byte and the u32 length of the constraint values.
constexpr uint16_t kSessRecLen = 152;
constexpr uint16_t kSuspRecMax = 32767;
void INIT_SESS_FDB(FDB* fdb, KDB* kdb, const char* session);

// The first process into `start` (step 11 of the start): the command line's
// when `named` (a session file replacing it), else the user's start process,
// else "KIVO MENU" of 0LA. Returns the restart flag.
uint8_t choose_first_proc(INVOC* start, int named);

// An APPL record (kApplRecLen bytes) of a system application.
void init_dap(uint8_t* rec, const char* ap, const char* ver, const char* description);

// Writes the four system applications to an open APPL handle; an existing
// key is left as it is. 1, or the status of the failing write.
uint32_t write_sys_appls(ARB* appl);

// The installation check. kInstallNone: APPL held records. kInstallRan:
// APPL was new and the installation process ended normally. kInstallFailed:
// it ended otherwise (*end_code); APPL was emptied so that the next start
// runs it again. A failure to create or write APPL ends the start.
enum : int { kInstallNone = 0, kInstallRan = 1, kInstallFailed = 2 };
int chk_install(uint32_t* end_code);

// Why a start named by options cannot run: the database that decides it
// (the application is not named, or is one that needs a database) has no
// DATABASE record, or its application needs a database and none is in
// effect. Null when it can run; else the reason, written into `why`.
const char* named_start_fault(const INVOC* start, char* why, size_t n);

// The lines of a failed start on the standard output (the terminal is
// restored by then): the reason when there is one, and the end code.
void report_start_failure(const char* why, uint32_t end);

// The clean-up handed to the main loop's levels; nothing to do.
void cleanup(uint32_t level);

// Steps 13 to 17: the KEATERM processes around the main loop, the restart
// after a cancel, the window manager finished, and the exit status (0 after
// a normal end, 127 after a logout, else the last end code with the two
// lines of a failed start).
int kivo_main_loop(INVOC* start, uint8_t restart);

}  // namespace kivo
