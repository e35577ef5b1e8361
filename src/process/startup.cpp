// The session's start around the process executive (startup.h): the USER
// record, the first process, the APPL check and the main loop.
#include "process/startup.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/fm_sysadm.h"
#include "foundation/bytes.h"
#include "foundation/cmdline.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/end_codes.h"
#include "foundation/os.h"
#include "foundation/paths.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "foundation/sysparm_record.h"
#include "process/pi_exec.h"
#include "process/pi_internal.h"
#include "process/pi_suspend.h"
#include "process/process.h"
#include "screen/tm.h"
#include "screen/wm_show.h"

namespace kivo {

namespace {

constexpr char kModule[] = "startup";
// A blank session name, refused by the command line, ends as any session
// that is not resumed.
static_assert(kExitNoSession == kExitNotResumed);
constexpr uint32_t kSysOpts = LFB_ANY_DIR | LFB_NO_STRUCT_CHK;

struct file_desc {
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
};

void set_invoc(INVOC* inv, const char* ap, const char* ver, uint8_t type, const char* name) {
  memcpy(inv->ap_id(), ap, 3);
  memcpy(inv->ver(), ver, 2);
  inv->set_proc_type(type);
  memset(inv->proc_nam(), ' ', kProcNameLen);
  const size_t n = strlen(name);
  memcpy(inv->proc_nam(), name, n < kProcNameLen ? n : kProcNameLen);
}

uint32_t end_code_of(const INVOC& inv) { return inv.end_code(); }

// Runs one invocation in a new process level; the end code it left, or the
// code the level was left with.
uint32_t run_level(INVOC* inv) {
  inv->set_end_code(0);
  uint32_t rc = MARK(
      MARK_PROCESS, [&] { pi_exec(inv); }, cleanup);
  return rc == 1 ? end_code_of(*inv) : rc;
}

bool blank(const void* p, size_t n) {
  const char* c = static_cast<const char*>(p);
  for (size_t i = 0; i < n; ++i)
    if (c[i] != ' ') return false;
  return true;
}

// Reads key 1 for the login name; on a miss, whether the file holds any
// record at all.
uint32_t lookup_user(ARB* a, uint8_t* rec) {
  PROTO_FULL(a, 1, rec);
  a->arb_len = kUserRecLen;
  a->arb_mod = ARB_EQUAL;
  if (fm_read(a)) return 1;
  if (a->arb_stat != FM_NOT_FOUND && a->arb_stat != FM_EOF) return a->arb_stat;
  static uint8_t any[kUserRecLen];
  PROTO_FULL(a, 1, any);
  a->arb_mod = ARB_FIRST;
  if (fm_read(a)) return USER_UNKNOWN;
  return a->arb_stat == FM_EOF || a->arb_stat == FM_NOT_FOUND ? FM_NOT_FOUND : a->arb_stat;
}

// A session that cannot be resumed ends the start with one line and a
// status a job script sees as a failure, before anything runs.
[[noreturn]] void session_failure(const std::string& why) {
  wm_finish();
  startup_err(pi_not_resumed_text(ss_session, why).c_str(), kExitNotResumed);
}

// The session file's INVOC and database replace the command line's.
void read_session(INVOC* start) {
  file_desc d;
  INIT_SESS_FDB(&d.fdb, d.kdb, ss_session);
  if (!FM_OPEN(&d.fdb, com.mark_scope, kSysOpts, 15, 15)) {
    const uint32_t st = d.fdb.fdb_stat;
    session_failure(st == FM_NO_FILE ? std::string("no suspend file")
                                     : "its suspend file cannot be opened (status " + std::to_string(st) + ")");
  }
  // A record is read whole into a buffer of the file's longest record.
  std::vector<uint8_t> buf(kSuspRecMax);
  uint8_t* rec = buf.data();
  ARB* a = d.fdb.fdb_arb;
  a->arb_rec = rec, a->arb_len = kSuspRecMax, a->arb_relno = 1, a->arb_mod = ARB_FIRST;
  const bool read = fm_read(a) && a->arb_var_len >= kInvocSize + 3;
  if (read) {
    memcpy(start->b, rec, kInvocSize);
    memcpy(com.cur_db, rec + kInvocSize, 3);
  }
  a->arb_mod = 0;
  if (!FM_CLOSE(a, 0)) sys_err(kModule, __LINE__, "can't close session");
  if (!read) session_failure("its suspend file has no SESSION record");
}

// A KEATERM process (start or exit) of the system parameters, or of 0AD.
void run_keaterm(bool at_exit) {
  INVOC inv = pi_invoc;
  char saved_db[3];
  memcpy(saved_db, com.cur_db, 3);
  if (const uint8_t* sp = pi_get_dsysparm()) {
    memcpy(inv.ap_id(), sp + SYSPARM_KEATERM_AP, 3);
    memcpy(inv.ver(), sp + SYSPARM_KEATERM_VER, 2);
    memcpy(inv.proc_nam(), sp + (at_exit ? SYSPARM_KEATERM_EXIT : SYSPARM_KEATERM_START), kProcNameLen);
    memcpy(com.cur_db, sp + SYSPARM_DB, 3);
  } else {
    set_invoc(&inv, "0AD", "00", PT_SUBROUTINE, at_exit ? "KEATERM (EXIT)" : "KEATERM (STARTUP)");
    memset(com.cur_db, ' ', 3);
  }
  inv.set_proc_type(PT_SUBROUTINE);
  inv.set_invoc_type(2);
  pi_exec(&inv);
  memcpy(com.cur_db, saved_db, 3);
}

// The status of an end code: 1 for the ends of a normal run, else 0.
int status_of(uint32_t end) {
  switch (end) {
    case PI_END_NORMAL:
    case PI_END_PROCESS:
    case PI_END_EXIT:
    case PI_END_CANCEL:
    case PI_END_LEAVE: return 1;
    case PI_END_FATAL:
      snprintf(ut_dbg, sizeof ut_dbg, "An unrecoverable error has occurred (signal), exiting");
      os_sys_err(kModule, __LINE__);
      return 0;
    default: return 0;
  }
}

void appl_desc(file_desc* d) { INIT_DAP_FDB(&d->fdb, d->kdb, d->sdb); }

// Deletes every record, so that the file reads as new; each delete starts
// again at the first record, as a delete moves the stream on.
void empty_appl(ARB* a) {
  uint8_t rec[kApplRecLen];
  for (;;) {
    PROTO_FULL(a, 0, rec);
    a->arb_len = kApplRecLen;
    a->arb_mod = ARB_FIRST;
    if (!fm_start(a)) break;
    a->arb_mod = ARB_HOLD;
    if (!fm_rdnxt(a)) break;
    a->arb_mod = 0;
    if (!fm_del(a)) break;
  }
  a->arb_mod = 0;
}

// Whether APPL holds the application in any version. A file that cannot
// be read says yes: the run itself then names what is missing.
bool appl_exists(const char* ap) {
  file_desc d;
  appl_desc(&d);
  if (!FM_OPEN(&d.fdb, com.sys_scope, kSysOpts, 15, 15)) return true;
  ARB* a = d.fdb.fdb_arb;
  uint8_t rec[kApplRecLen];
  memset(rec, ' ', sizeof rec);
  memcpy(rec + APPL_AP, ap, 3);
  PROTO_FULL(a, 0, rec);
  a->arb_len = kApplRecLen;
  a->arb_mod = 0;
  const bool found = fm_start(a) && (a->arb_mod = 0, fm_rdnxt(a)) && memcmp(rec + APPL_AP, ap, 3) == 0;
  a->arb_mod = 0;
  FM_CLOSE(a, 0);
  return found;
}

}  // namespace

void cleanup(uint32_t) {}

void INIT_SESS_FDB(FDB* fdb, KDB* kdb, const char* session) {
  INIT_FDB(fdb, FS_DISK, kSuspRecMax, 1, kdb, 0);
  INIT_SRC_PATH(&fdb->path, "0LA", "00", "", PATH_SESS);
  memcpy(fdb->path.fdb_name, session, 8);
}

uint32_t read_user_rec(uint8_t* rec) {
  memset(rec, ' ', kUserRecLen);
  cstr uid = os_uid();
  memcpy(rec + USER_SYS_ID, uid.ptr, uid.len < 80 ? uid.len : 80);
  memset(com.user_id, ' ', sizeof com.user_id);
  com.user_rec = nullptr;
  file_desc d;
  INIT_DUSR_FDB(&d.fdb, d.kdb, d.sdb);
  if (!FM_OPEN(&d.fdb, com.sys_scope, kSysOpts, 15, 15))
    return d.fdb.fdb_stat == FM_NO_FILE ? 1 : d.fdb.fdb_stat;  // only a missing file may go without
  uint32_t st = lookup_user(d.fdb.fdb_arb, rec);
  d.fdb.fdb_arb->arb_mod = 0;
  FM_CLOSE(d.fdb.fdb_arb, 0);
  if (st == FM_NOT_FOUND) return 1;  // an empty USER file: no user record
  if (st != 1) return st;
  memcpy(com.user_id, rec + USER_ID, 3);
  com.user_rec = rec;
  return 1;
}

uint8_t choose_first_proc(INVOC* start, int named) {
  const uint8_t* u = com.user_rec;
  if (named) {
    if (session_pending()) read_session(start);
    return u && u[USER_RESTART] == '1';
  }
  if (!u || blank(u + USER_START_DB, 3)) {
    set_invoc(start, "0LA", "00", PT_MENU, "KIVO MENU");
    return 0;
  }
  memcpy(start->ap_id(), u + USER_START_AP, 3);
  memset(start->ver(), ' ', 2);
  start->set_proc_type(u[USER_START_TYPE]);
  memcpy(start->proc_nam(), u + USER_START_NAM, kProcNameLen);
  memcpy(com.cur_db, u + USER_START_DB, 3);
  return u[USER_RESTART] == '1';
}

void init_dap(uint8_t* rec, const char* ap, const char* ver, const char* description) {
  memset(rec, ' ', kApplRecLen);
  memcpy(rec + 4, ap, 3);
  memcpy(rec + 7, ver, 2);
  memset(rec + 10, 0, 4);
  const size_t n = strlen(description);
  memcpy(rec + 14, description, n < 30 ? n : 30);
  memset(rec + 48, 0xFF, 2);
  memset(rec + 50, 0, 2);
  memcpy(rec + 92, rec + 44, 48);
  memset(rec + 140, 0, 5);
  rec[146] = 0;
  rec[251] = 0;
  ss_clock now;
  os_kivo_time(&now);
  for (int at : {296, 304}) st_le32(rec, at, now.day), st_le32(rec, at + 4, now.hsec);
}

uint32_t write_sys_appls(ARB* appl) {
  static const char* const kApps[][2] = {{"0AD", "Application Design"},
                                         {"0DB", "Database Management"},
                                         {"0LA", "Kivo Runtime"},
                                         {"0SA", "System Administration"}};
  uint8_t rec[kApplRecLen];
  for (const auto& app : kApps) {
    init_dap(rec, app[0], "00", app[1]);
    PROTO_FULL(appl, 0, rec);
    appl->arb_len = appl->arb_var_len = kApplRecLen;
    appl->arb_mod = 0;
    if (!fm_write(appl) && appl->arb_stat != FM_DUP_KEY) return appl->arb_stat;
  }
  return 1;
}

int chk_install(uint32_t* end_code) {
  file_desc d;
  appl_desc(&d);
  // Opened when it exists, so that only a missing file is created.
  if (!FM_OPEN(&d.fdb, com.sys_scope, kSysOpts, 15, 15)) {
    appl_desc(&d);
    if (!FM_CREATE(&d.fdb, com.sys_scope, 100, kSysOpts | LFB_OPEN_NEW, 15, 15) || !d.fdb.fdb_arb)
      startup_err("Cannot create APPL file", int(d.fdb.fdb_stat));
  }
  ARB* a = d.fdb.fdb_arb;
  uint8_t first[kApplRecLen];
  PROTO_FULL(a, 0, first);
  a->arb_len = kApplRecLen;
  a->arb_mod = ARB_FIRST;
  const bool is_new = !fm_read(a);
  const uint32_t st = write_sys_appls(a);
  a->arb_mod = 0;
  FM_CLOSE(a, 0);
  if (st != 1) startup_err("Cannot create APPL file", int(st));
  if (!is_new) return kInstallNone;
  INVOC inv = pi_invoc;
  set_invoc(&inv, "0SA", "00", PT_SUBROUTINE, "INSTALL");
  *end_code = run_level(&inv);
  if (*end_code >= PI_END_NORMAL && *end_code <= PI_END_EXIT) return kInstallRan;
  // Not installed: without APPL the next start runs the installation again.
  appl_desc(&d);
  if (FM_OPEN(&d.fdb, com.sys_scope, kSysOpts, 15, 15)) {
    empty_appl(d.fdb.fdb_arb);
    FM_CLOSE(d.fdb.fdb_arb, 0);
  }
  return kInstallFailed;
}

const char* named_start_fault(const INVOC* start, char* why, size_t n) {
  const char* ap = start->ap_id();
  if (!blank(ap, 3) && !appl_exists(ap)) {
    snprintf(why, n, "application %.3s does not exist: no APPL record", ap);
    return why;
  }
  if (!blank(com.cur_db, 3)) {
    // A system application runs without a database: the one named is not asked for.
    if ((!blank(ap, 3) && !db_required(ap)) || pi_get_ddb(com.cur_db)) return nullptr;
    snprintf(why, n, "database %.3s does not exist: no DATABASE record", com.cur_db);
    return why;
  }
  const uint8_t* u = com.user_rec;
  if (blank(ap, 3) || !db_required(ap) || (u && !blank(u + USER_START_DB, 3))) return nullptr;
  snprintf(why, n, "application %.3s needs a database: none is named and the user has no start database", ap);
  return why;
}

void report_start_failure(const char* why, uint32_t end) {
  printf("KIVO startup failed because of the following\n");
  if (why && *why) printf("%s\n", why);
  printf("startup error: %u\n\n", end);
  fflush(stdout);
}

int kivo_main_loop(INVOC* start, uint8_t restart) {
  if (com.no_term) restart = 0;
  com.keaterm = getenv("KIVO_KEATERM") != nullptr;
  const bool keaterm = com.keaterm && !com.no_term;
  if (keaterm) run_keaterm(false);
  uint32_t end = 0;
  int status = 0;
  std::string ran_nothing;  // why the start ran nothing; empty when it ran
  for (;;) {
    end = run_level(start);
    if (end == PI_END_LOGOUT) {
      wm_finish();
      return kExitLogout;
    }
    ran_nothing = pi_start_failure();
    // A start that ran nothing is no normal end, whatever its end code.
    status = !ran_nothing.empty() ? 0 : status_of(end);
    if (!(restart && end == PI_END_CANCEL)) break;
    *start = pi_invoc;
    set_invoc(start, "0LA", "00", PT_MENU, "KIVO MENU");
    restart = 0;
  }
  // A signal that ended the session, or a failure that ended its process,
  // is no normal end, whatever the end code says.
  const int sig = tm_end_signal();
  const std::string failure = pi_run_failure();
  const bool failed = ran_nothing.empty() && !failure.empty() && (end == PI_END_CANCEL || end == PI_END_EXIT);
  if (keaterm && !sig) run_keaterm(true);
  if (*pi_resume_failure() || sig || failed || status != 1) wm_finish_failed();
  else wm_finish();
  if (*pi_resume_failure()) {
    printf("KIVO Startup Failure: %s\n", pi_resume_failure());
    fflush(stdout);
    return kExitNotResumed;
  }
  if (sig) {
    printf("kivo: the session was ended by %s\n", strsignal(sig));
    fflush(stdout);
    return kExitSignal + sig;
  }
  if (failed) {
    printf("kivo: %s\nend code: %u\n", failure.c_str(), end);
    fflush(stdout);
    return int(end);
  }
  if (status == 1) return 0;
  report_start_failure(ran_nothing.c_str(), end);
  return int(end);
}

}  // namespace kivo
