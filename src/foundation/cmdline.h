// Start-up from the command line: the environment files, the options that
// choose the run mode and the start process, the usage text and the
// start-up failure line.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/end_codes.h"
#include "foundation/invoc.h"

namespace kivo {

// Start-up modes set by os_parse_cmd. 7 and up are the native-file
// utilities, whose file name comes back with the mode.
enum start_mode : uint8_t {
  MODE_NORMAL = 0,
  MODE_KEYDEF = 1,       // -k
  MODE_BOOTSTRAP = 2,    // -b
  MODE_USAGE = 3,        // -u (the text is already printed)
  MODE_DATA_SERVER = 5,  // -fms_server
  MODE_ODBC = 6,         // -odbc_server
  MODE_EXPORT = 7,       // -e: native file to flat form
  MODE_IMPORT = 8,       // -i: flat file to native form
  MODE_VERIFY = 9,       // -v
  MODE_ANALYSE = 10,     // -an
  MODE_REPAIR = 11,      // -r: rebuild the keys of a damaged pair
};

// The session name of -s: 8 characters, blank when none was named.
extern char ss_session[8];

// Loads the environment: kivo.env of the data directory, then of the home
// directory, then every --NAME=value argument. Each replaces a variable of
// the same name, so later sources win.
void os_load_env(int argc, char** argv);

// The same with the two directories given (either may be null).
void load_env_files(const char* data_dir, const char* home_dir, int argc, char** argv);

// Reads one environment file; one that cannot be opened is skipped.
void load_env_fi(const char* path);

// Unsets the variables that still point into lines kept from environment
// files and frees those lines. Only for a process that loads its
// environment over and over (the fuzz targets); the engine keeps the lines
// for its whole run.
void env_lines_release();

// Include files nest at most this deep; deeper ones are refused.
constexpr int kEnvIncludeDepth = 16;
// Longest accepted environment-file line, without its line end.
constexpr size_t kEnvLineMax = 126;
// Bytes read from one environment file at most; the rest is ignored.
constexpr size_t kEnvFileMax = size_t{1} << 20;

// Whether a word is an option: it begins with "-", or with "/" and holds
// no further "/" (a path is a plain argument).
bool is_option_word(const char* a);

// Whether the command line asks for the remote client: an option word
// beginning "-c" or "/c".
bool wants_remote_client(int argc, char** argv);

// Whether the command line asks for the bootstrap: an option word
// beginning "-b" or "/b" (os_parse_cmd's mode 2, unless an option before it
// stops the parse).
bool wants_bootstrap(int argc, char** argv);

// Parses the options: fills the start invocation and cur_db, sets the mode,
// compacts argv to the arguments that are not options (their count, program
// name included, back into *argc). Returns 1 when an option named the start
// process. A bad value stops parsing: 0, argc and argv as they were, and
// os_cmd_refusal() says why. An option it does not know (and -h, -u,
// --help) prints the usage text and sets MODE_USAGE; a plain argument, "-",
// -z and its script are kept.
// A -x connection made before parsing stopped is closed again; one that
// cannot be made ends start-up with status 1. When the line asks for a
// remote terminal (-x, -f), any option that stops parsing leaves a refusal,
// so the start ends rather than falling back to a local session.
// A utility option (-e, -i, -v, -r, -an) also ends parsing; its file name goes
// to *util_file (null when none was given).
int os_parse_cmd(int* argc, char** argv, INVOC* invoc, char* cur_db, uint8_t* mode, const char** util_file = nullptr);

// Why the last os_parse_cmd stopped at a value of -d, -a, -t or -s, and the
// status the start ends with (20 for a database or application, 4 for a
// process type, 4 for a blank session name); an empty text when it did not
// stop there. `startup_line`: the text is told as a start-up failure
// ("KIVO Startup Failure: ..."), as a session that is not resumed is,
// rather than as a start that failed.
struct cmd_refusal {
  char text[200];
  int status;
  bool startup_line;
};
const cmd_refusal& os_cmd_refusal();
constexpr int kNoStartProc = PI_END_NO_PROC, kNoStartType = 4, kExitNoSession = 4;

// Splits "[host:]port"; the host is 127.0.0.1 when only a port is given.
// 0 when a part is empty or too long.
int split_host_port(const char* value, char* host, size_t host_cap, char* port, size_t port_cap);

// Prints the usage text on the standard output.
void os_usage();

// Prints "KIVO Startup Failure: <text>" and ends the process with status.
[[noreturn]] void startup_err(const char* text, int status);

}  // namespace kivo
