// The engine's entry point: the environment, the remote-client branch, the
// start-up of the subsystems, the command line, then one function per run
// mode. The normal run brings up the remaining subsystems and runs the
// first process under a process level.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "compiler/compiler.h"
#include "design/design.h"
#include "editors/editors.h"
#include "editors/ie.h"
#include "editors/remote_term.h"
#include "fm/fm.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/cmdline.h"
#include "foundation/com.h"
#include "foundation/end_codes.h"
#include "foundation/os.h"
#include "foundation/pool.h"
#include "foundation/scope.h"
#include "foundation/std_fds.h"
#include "foundation/sys_err.h"
#include "interp/interp.h"
#include "kivo_hooks.h"
#include "net/net.h"
#include "net/netio.h"
#include "process/pi_exec.h"
#include "process/process.h"
#include "process/startup.h"
#include "screen/screen.h"
#include "screen/tm_script.h"
#include "screen/wm_show.h"
#include "store/analyser.h"
#include "store/data_file.h"
#include "store/flat_file.h"
#include "store/record_ops.h"
#include "types/cnv.h"

using namespace kivo;

namespace {

// A file of the start that failed: the text, and the path and system error
// of the open that failed when there was one.
std::string file_failure(const char* text, uint32_t status) {
  const brf_open_failure& f = brf_last_open_failure();
  std::string out = text;
  if (!netio_conn_failure().empty()) out += ": " + netio_conn_failure();
  else if (!f.path.empty()) out += std::string(": ") + f.path + ": " + strerror(f.err);
  return out + " (status " + std::to_string(status) + ")";
}

// KIVO_DATA_SERVER, when set, must be a data-server address: a bad one ends
// the start with one line naming it, before any file is tried.
void check_data_server() {
  const char* v = getenv("KIVO_DATA_SERVER");
  if (!v || !*v) return;
  std::string text = v;
  text.erase(0, text.find_first_not_of(' '));
  text.erase(text.find_last_not_of(' ') + 1);
  net_addr a;
  std::string why;
  if (!text.empty() && net_parse_server(text.c_str(), text.size(), &a, &why)) return;
  startup_err(
      ("KIVO_DATA_SERVER \"" + text + "\" is no data-server address: " + (text.empty() ? "it is blank" : why)).c_str(),
      1);
}

// A session on the local terminal (or the remote client's) reads and shows
// there: started with its input or output closed or unusable it ends before
// it changes a file, with one line on standard error.
bool terminal_unusable(bool session, const char* why = nullptr) {
  if (!why) why = session && !com.rmt_sock && !com.no_term ? os_std_terminal_fault() : nullptr;
  if (why) fprintf(stderr, "kivo: no session without a terminal: %s\n", why);
  return why != nullptr;
}

// A first process that is a menu waits for the user's keys: with standard
// input on the null device (a closed one is put there) none ever comes,
// unless a keystroke script gives them. Other first processes may run
// unattended (a report started by a scheduler): one that asks for a key
// ends the session as a terminal whose input ended does.
bool menu_without_input(const INVOC* start) {
  return start->proc_type() == PT_MENU && !com.rmt_sock && !com.no_term && !tm_script_playing() && os_std_is_null(0);
}

// Steps 9 to 17 of the start: the window manager, the remaining
// subsystems, the first process, the installation check and the main loop.
int run_normal(INVOC* start, int named) {
  uint32_t wm_status = 0;
  if (!wm_init(&wm_status)) {
    // What failed the start, the terminal put back by now.
    if (*sys_err_held()) startup_err(sys_err_held(), 1);
    if (wm_status == NO_KEYMAP) {
      printf("KIVO Startup Failure: Can't find a keymap for this terminal/user\n");
      startup_err("\"kivo -k\" defines the keys of this terminal", kExitNoKeymap);
    }
    startup_err("Unable to Initialize Window Manager", int(wm_status ? wm_status : 1));
  }
  // From here the terminal is the window manager's: system errors go to its
  // window (wm_finish hands the terminal back).
  os_screen_up = !com.no_term;
  kivo_start_subsystems();
  const uint8_t restart = choose_first_proc(start, named);
  uint32_t install_end = 0;
  switch (chk_install(&install_end)) {
    case kInstallRan: wm_finish(); return 0;
    case kInstallFailed:
      wm_finish_failed();
      report_start_failure(pi_start_failure(), install_end);
      return int(install_end ? install_end : 1);
  }
  // A start the options name but that cannot run ends here, never in a
  // session of another process.
  char why[160];
  if (named && named_start_fault(start, why, sizeof why)) {
    wm_finish_failed();
    report_start_failure(why, PI_END_NO_PROC);
    return PI_END_NO_PROC;
  }
  if (menu_without_input(start)) {
    wm_finish_failed();
    terminal_unusable(true, "its standard input (descriptor 0) is /dev/null");
    return 1;
  }
  netio_set_starting(false);  // from here a lost server fails an operation, not the session
  const int status = kivo_main_loop(start, restart);
  if (status == kExitLogout) os_logout();
  return status;
}

int run_keydef(INVOC* start, int named) {
  if (com.rmt_sock) return tmnet_srv_kivokeys();
  kivokeys();  // returns when the user wants to run the system afterwards
  return run_normal(start, named);
}

int run_bootstrap() { return bs_bootstrap(); }

int run_data_server() { return netio_serve(); }

// The utilities end the process; each says "Missing file name" with its
// failure status when no file is given.
int run_export(const char* file) { brf2flat(file ? file : ""); }

int run_import(const char* file) { flat2brf(file ? file : ""); }

// The analyser's result is the exit status: 1 good, 0 bad; an inspection
// session ends with kAnalSessionEnd, or kAnalRefused when none can start.
int run_check(const char* file, int interactive) { return brfanal_tool(file ? file : "", interactive); }

// The repair's result is the exit status too: 1 good, 0 bad.
int run_repair(const char* file) {
  if (!file) {
    fprintf(stderr, "Error:  Missing file name\n");
    return 0;
  }
  return brfrepair(file);
}

// The modes that run the engine need its messages; the utilities and the
// usage text do not.
bool needs_messages(start_mode m) {
  return m == MODE_NORMAL || m == MODE_KEYDEF || m == MODE_DATA_SERVER || m == MODE_ODBC;
}

// The modes that run as the session's user; the utilities and the
// bootstrap need no user record, so a USER file they cannot open (an
// installation this user may not write, one a killed bootstrap left half
// made) does not stop them.
bool needs_user(start_mode m) { return m != MODE_BOOTSTRAP && m != MODE_USAGE && m < MODE_EXPORT; }

// The session's user record; a user the USER file does not know ends the
// start. A USER file that cannot be read leaves its line in *failure and its
// status as the result, for the modes that need the user to end with.
uint32_t load_user(std::string* failure) {
  static uint8_t user_rec[kUserRecLen];
  const uint32_t st = read_user_rec(user_rec);
  if (st == 1) return 1;
  if (st != USER_UNKNOWN) {
    *failure = file_failure("can't start USER file", st);
    return st;
  }
  char text[128];
  const cstr uid = os_uid();
  snprintf(text, sizeof text, "User System ID (%.*s) not found in USER File", int(uid.len), uid.ptr);
  startup_err(text, int(st));
}

int run_mode(start_mode mode, INVOC* start, int named, const char* util_file) {
  switch (mode) {
    case MODE_NORMAL: return run_normal(start, named);
    case MODE_KEYDEF: return run_keydef(start, named);
    case MODE_BOOTSTRAP: return run_bootstrap();
    case MODE_USAGE: return 1;
    case MODE_DATA_SERVER: return run_data_server();
    case MODE_ODBC: return 1;
    case MODE_EXPORT: return run_export(util_file);
    case MODE_IMPORT: return run_import(util_file);
    case MODE_VERIFY: return run_check(util_file, 0);
    case MODE_ANALYSE: return run_check(util_file, 1);
    case MODE_REPAIR: return run_repair(util_file);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  os_std_descriptors();  // before anything is opened
  char stack_base;
  mm_bottom_of_stack = &stack_base;
  os_load_env(argc, argv);
  kivo_register_hooks();  // before anything below runs
  // The client's own reason for a failed login is on standard error.
  if (wants_remote_client(argc, argv)) return !terminal_unusable(true) && tmnet_cli_main(argc, argv) ? 0 : 1;
  check_data_server();
  // What a bootstrap that did not end made goes before the start opens it.
  if (wants_bootstrap(argc, argv)) bs_bootstrap_prepare(argc > 0 ? argv[0] : nullptr);
  // A data server that cannot be reached ends the start with one line.
  netio_set_starting(true);
  if (!os_init(argc, argv)) return 1;  // a failed start is no success
  if (!cv_init()) startup_err("can't create the conversion tables", 1);
  memset(com.cur_db, ' ', sizeof com.cur_db);
  memset(com.cur_ap, ' ', sizeof com.cur_ap);
  memset(com.cur_ver, ' ', sizeof com.cur_ver);
  std::string user_failure;
  const uint32_t user_status = load_user(&user_failure);
  pi_init();
  INVOC start = pi_invoc;
  uint8_t mode = MODE_NORMAL;
  const char* util_file = nullptr;
  const int named = os_parse_cmd(&argc, argv, &start, com.cur_db, &mode, &util_file);
  com.argc = static_cast<uint16_t>(argc);
  com.argv = argv;
  // Only a session has a user at the terminal to answer a system error's
  // prompt; every other mode says it in a line and goes on.
  if (mode != MODE_NORMAL && mode != MODE_KEYDEF) sys_err_plain_lines("kivo");
  if (terminal_unusable(mode == MODE_NORMAL || mode == MODE_KEYDEF)) return 1;
  if (user_status != 1 && needs_user(static_cast<start_mode>(mode)))
    startup_err(user_failure.c_str(), int(user_status));

  if (needs_messages(static_cast<start_mode>(mode)) && !(la_init() && la_slct("00 ", com.sys_scope)))
    startup_err("\n\tUnable to open System Administration files,\n\tcheck file protections and KIVOPATH", 1);

  // A start option that names nothing ends the start with its own line,
  // never in a session of another process.
  if (const cmd_refusal& r = os_cmd_refusal(); r.text[0] && (mode == MODE_NORMAL || mode == MODE_KEYDEF)) {
    if (r.startup_line) startup_err(r.text, r.status);
    report_start_failure(r.text, uint32_t(r.status));
    return r.status;
  }
  return run_mode(static_cast<start_mode>(mode), &start, named, util_file);
}
