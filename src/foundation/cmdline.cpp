// The command line: options that choose the run mode and the start
// process, the option-value helpers, the usage text and the start-up
// failure line.
//
// An option begins with "-" or "/". "fms_server" and "odbc_server" are
// whole words; any other option is chosen by its second character alone
// (-k and -keymap are the same option). Values follow the first "=".
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <unistd.h>

#include "foundation/bytes.h"
#include "foundation/cmdline.h"
#include "foundation/com.h"
#include "foundation/os.h"
#include "foundation/sys_err.h"

namespace kivo {

char ss_session[8];

namespace {

cmd_refusal g_refusal;

// A refused option: why, and the status the start ends with.
void refuse(int status, const char* fmt, const char* value) {
  snprintf(g_refusal.text, sizeof g_refusal.text, fmt, value);
  g_refusal.status = status;
}

constexpr int kMaxArgsExamined = 255;

const char* option_value(const char* arg) {
  const char* eq = strchr(arg, '=');
  return eq ? eq + 1 : "";
}

// Process type from its name's letters; 0 when the first letter names none.
uint8_t process_type(const char* v) {
  const char c0 = static_cast<char>(toupper(static_cast<unsigned char>(v[0])));
  const char c1 = c0 ? static_cast<char>(toupper(static_cast<unsigned char>(v[1]))) : 0;
  const char c2 = c1 ? static_cast<char>(toupper(static_cast<unsigned char>(v[2]))) : 0;
  switch (c0) {
    case 'A': return 4;
    case 'I': return c2 == 'Q' ? 9 : 2;
    case 'J': return 8;
    case 'M': return 1;
    case 'O': return 3;
    case 'Q': return 5;
    case 'S': return c1 == 'U' ? 6 : 10;
    case 'U': return 7;
    default: return 0;
  }
}

// A descriptor number: decimal digits only, 1-65535.
bool socket_number(const char* v, uint16_t* out) {
  if (!*v || strlen(v) > 5) return false;
  unsigned long n = 0;
  for (const char* p = v; *p; ++p) {
    if (!isdigit(static_cast<unsigned char>(*p))) return false;
    n = n * 10 + static_cast<unsigned long>(*p - '0');
  }
  if (n == 0 || n > 65535) return false;
  *out = static_cast<uint16_t>(n);
  return true;
}

void put_fixed(char* dst, size_t width, const char* src) {
  size_t n = strnlen(src, width);
  memcpy(dst, src, n);
  memset(dst + n, ' ', width - n);
}

}  // namespace

void ss_stuff_arg(char* field, const char* text, size_t n) {
  size_t k = 0;
  for (const char* p = text; *p && k < n; ++p) {
    if (*p == '"') continue;
    field[k++] = *p == '_' ? ' ' : static_cast<char>(toupper(static_cast<unsigned char>(*p)));
  }
  memset(field + k, ' ', n - k);
}

void ss_find_delim(const char** text, char ch) {
  const char* p = strchr(*text, ch);
  *text = p ? p + 1 : *text + strlen(*text);
}

void ss_parse_keymap(const char* text) {
  const char* colon = strchr(text, ':');
  const char* name = text;
  if (colon) {
    char user[3];
    size_t k = 0;
    for (const char* p = text; p < colon && k < 3; ++p)
      user[k++] = static_cast<char>(toupper(static_cast<unsigned char>(*p)));
    memset(user + k, ' ', 3 - k);
    memcpy(com.keymap_id + 10, user, 3);
    name = colon + 1;
  }
  put_fixed(com.keymap_id, 10, name);
}

bool is_option_word(const char* a) {
  if (!a || (a[0] != '-' && a[0] != '/')) return false;
  // A path such as /data/x is an argument, not an option.
  return a[0] == '-' || !strchr(a + 1, '/');
}

bool wants_remote_client(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (is_option_word(a) && a[1] == 'c') return true;
  }
  return false;
}

bool wants_bootstrap(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (is_option_word(argv[i]) && toupper(static_cast<unsigned char>(argv[i][1])) == 'B') return true;
  return false;
}

int split_host_port(const char* value, char* host, size_t host_cap, char* port, size_t port_cap) {
  const char* colon = strrchr(value, ':');
  const char* p = colon ? colon + 1 : value;
  size_t hlen = colon ? static_cast<size_t>(colon - value) : 0;
  const char* h = colon ? value : "127.0.0.1";
  if (!colon) hlen = strlen(h);
  if (hlen == 0 || hlen >= host_cap || !*p || strlen(p) >= port_cap) return 0;
  memcpy(host, h, hlen);
  host[hlen] = '\0';
  strcpy(port, p);
  return 1;
}

namespace {

// The -x connection: a descriptor that com.rmt_sock can hold. One that
// cannot be made ends start-up: the engine must not fall back to the local
// terminal when a remote one was asked for.
int connect_to_host(const char* host, const char* port) {
  const int fd = ss_remote_hooks.connect ? ss_remote_hooks.connect(host, port) : 0;
  if (fd > 0 && fd <= UINT16_MAX) return fd;
  if (fd > 0) close(fd);
  char text[400];
  snprintf(text, sizeof text, "can't connect to host %s port %s%s", host, port,
           ss_remote_hooks.connect ? "" : ": remote connections are not available in this build");
  startup_err(text, 1);
}

// Whether the command line asks for a remote terminal or a remote client's
// data (-x, -f, -fms_server), wherever the option stands.
bool asks_remote_terminal(int argc, char** argv) {
  for (int i = 1; i < argc && i <= kMaxArgsExamined; ++i) {
    const char* a = argv[i];
    if (is_option_word(a) &&
        (toupper(static_cast<unsigned char>(a[1])) == 'X' || toupper(static_cast<unsigned char>(a[1])) == 'F'))
      return true;
  }
  return false;
}

// An engine started for a remote peer never falls back to a session on
// this terminal: an option that stops parsing is recorded as the start's
// refusal (status 1 unless the option gave its own), which ends the start.
void refuse_for_remote(const char* arg) {
  if (g_refusal.text[0]) return;
  snprintf(g_refusal.text, sizeof g_refusal.text,
           "option \"%.100s\" refused: an engine for a remote terminal starts no local session", arg);
  g_refusal.status = 1;
}

// Terminal type and keymap from the environment; these hold even when the
// options are refused.
void read_terminal_env() {
  const char* term = getenv("TERM");
  put_fixed(com.trm_type, 10, term && *term ? term : "None");
  memcpy(com.keymap_id, com.trm_type, 10);
  memcpy(com.keymap_id + 10, com.user_id, 3);
  if (const char* km = getenv("KIVO_KEYMAP")) ss_parse_keymap(km);
}

// What the options change, held in copies: where parsing stops, nothing has
// changed; commit() hands the copies over.
struct cmd_state {
  INVOC inv;
  char db[3];
  char session[8];
  uint8_t md = MODE_NORMAL;
  uint8_t no_term;
  uint16_t sock;
  char keymap[13];
  std::vector<char*> kept;
  int named = 0;
  int opened = 0;  // the connection -x made; com.rmt_sock gets it at commit

  cmd_state(const INVOC* invoc, const char* cur_db, char* argv0)
      : inv(*invoc), no_term(com.no_term), sock(com.rmt_sock), kept{argv0} {
    memcpy(db, cur_db, 3);
    memcpy(session, ss_session, 8);
    memcpy(keymap, com.keymap_id, 13);
  }
  void commit(INVOC* invoc, char* cur_db, uint8_t* mode) const {
    *invoc = inv;
    memcpy(cur_db, db, 3);
    memcpy(ss_session, session, 8);
    *mode = md;
    com.no_term = no_term;
    com.rmt_sock = sock;
    os_serving = sock != 0;
    memcpy(com.keymap_id, keymap, 13);
  }
  // A connection the options no longer use (replaced, or parsing stopped).
  void drop_connection() {
    if (opened) close(opened);
    opened = 0;
  }
};

// The result of one option: go on, stop with nothing changed, or a utility
// that ends the run (its mode in `util`).
enum option_result { OPT_NEXT, OPT_REFUSED, OPT_UTILITY };

// -m: the keymap goes into the state's copy, com.keymap_id stays.
void keymap_option(cmd_state& s, const char* v) {
  char saved[13];
  memcpy(saved, com.keymap_id, 13);
  memcpy(com.keymap_id, s.keymap, 13);
  ss_parse_keymap(v);
  memcpy(s.keymap, com.keymap_id, 13);
  memcpy(com.keymap_id, saved, 13);
}

// The options that name the start process (-a, -d, -p, -t, -s). A value
// that can name nothing is refused with the line and status of a start
// whose process does not exist.
option_result naming_option(cmd_state& s, char opt, const char* v) {
  switch (opt) {
    case 'A':
      if (strlen(v) != 3)
        return refuse(kNoStartProc, "application \"%.40s\" does not exist: an application id has 3 characters", v),
               OPT_REFUSED;
      ss_stuff_arg(s.inv.ap_id(), v, 3);
      break;
    case 'D':
      if (strlen(v) != 3)
        return refuse(kNoStartProc, "database \"%.40s\" does not exist: a database id has 3 characters", v),
               OPT_REFUSED;
      ss_stuff_arg(s.db, v, 3);
      break;
    case 'P': ss_stuff_arg(s.inv.proc_nam(), v, kProcNameLen); break;
    case 'S':
      ss_stuff_arg(s.session, v, 8);
      // A blank name would resume nothing and start a session of its own.
      if (std::all_of(s.session, s.session + 8, [](char c) { return c == ' '; })) {
        refuse(kExitNoSession, "session %-8.8s not resumed: -s names no session", "");
        g_refusal.startup_line = true;
        return OPT_REFUSED;
      }
      s.no_term = 1;
      break;
    case 'T': {
      const uint8_t type = process_type(v);
      if (!type)
        return refuse(kNoStartType,
                      "process type \"%.40s\" does not exist: Menu, Job, Input, Output, Update, Action, Inquiry, "
                      "Query, Status or Subroutine",
                      v),
               OPT_REFUSED;
      s.inv.set_proc_type(type);
      break;
    }
  }
  s.named = 1;
  return OPT_NEXT;
}

// An option the engine does not know is answered with the usage text: a
// mistyped option must not start a session that ignores it.
option_result unknown_option(cmd_state& s, const char* arg) {
  fprintf(stderr, "kivo: unknown option %.60s\n", arg);
  os_usage();
  s.md = MODE_USAGE;
  return OPT_NEXT;
}

// "--NAME=value" is already in the environment; "--help" asks for the
// usage text; "--" alone is passed over.
option_result settings_option(cmd_state& s, const char* arg) {
  if (strcmp(arg, "--help") == 0) {
    os_usage();
    s.md = MODE_USAGE;
    return OPT_NEXT;
  }
  const char* eq = strchr(arg + 2, '=');
  if (arg[2] && (!eq || eq == arg + 2)) return unknown_option(s, arg);
  return OPT_NEXT;
}

// One option argument (after its "-" or "/"); argv[i] is the argument.
option_result apply_option(cmd_state& s, int i, int argc, char** argv, uint8_t* util, const char** v) {
  const char* arg = argv[i];
  const char* rest = arg + 1;
  if (strcmp(rest, "fms_server") == 0 || strcmp(rest, "odbc_server") == 0) {
    s.md = rest[0] == 'f' ? MODE_DATA_SERVER : MODE_ODBC;
    return OPT_NEXT;
  }
  const char opt = static_cast<char>(toupper(static_cast<unsigned char>(rest[0])));
  *v = option_value(arg);
  switch (opt) {
    case 'A':
      if (toupper(static_cast<unsigned char>(rest[1])) != 'N') return naming_option(s, opt, *v);
      *util = MODE_ANALYSE;
      return OPT_UTILITY;
    case 'D':
    case 'P':
    case 'S':
    case 'T': return naming_option(s, opt, *v);
    case 'B': s.md = MODE_BOOTSTRAP; break;
    case 'E':
    case 'I':
      *util = opt == 'E' ? MODE_EXPORT : MODE_IMPORT;
      // Without "=" the next argument is the file.
      if (!strchr(arg, '=')) *v = i + 1 < argc ? argv[i + 1] : "";
      return OPT_UTILITY;
    case 'F':
      if (!socket_number(*v, &s.sock)) return OPT_REFUSED;
      s.drop_connection();  // the given socket replaces -x's
      break;
    case 'K': s.md = MODE_KEYDEF; break;
    case 'M': keymap_option(s, *v); break;
    case 'H':
    case 'U':
      os_usage();
      s.md = MODE_USAGE;
      break;
    case 'V': *util = MODE_VERIFY; return OPT_UTILITY;
    case 'R': *util = MODE_REPAIR; return OPT_UTILITY;
    case 'X': {
      char host[256], port[64];
      if (!split_host_port(*v, host, sizeof host, port, sizeof port)) return OPT_REFUSED;
      const int fd = connect_to_host(host, port);
      s.drop_connection();  // a later -x replaces an earlier one
      s.opened = fd;
      s.sock = static_cast<uint16_t>(fd);
      break;
    }
    case '-': return settings_option(s, arg);
    case 'Z':  // the keystroke script follows as an argument
    case '\0': s.kept.push_back(argv[i]); break;
    default: return unknown_option(s, arg);
  }
  return OPT_NEXT;
}

}  // namespace

int os_parse_cmd(int* argc, char** argv, INVOC* invoc, char* cur_db, uint8_t* mode, const char** util_file) {
  memset(ss_session, ' ', sizeof ss_session);
  g_refusal = {};
  *mode = MODE_NORMAL;
  if (util_file) *util_file = nullptr;
  read_terminal_env();
  if (*argc <= 1) {
    *argc = 1;
    return 0;
  }

  cmd_state s(invoc, cur_db, argv[0]);
  const int last = *argc < kMaxArgsExamined + 1 ? *argc : kMaxArgsExamined + 1;
  for (int i = 1; i < last; ++i) {
    char* arg = argv[i];
    if (!is_option_word(arg)) {
      s.kept.push_back(arg);
      continue;
    }
    uint8_t util = 0;
    const char* v = "";
    const option_result r = apply_option(s, i, *argc, argv, &util, &v);
    if (r == OPT_REFUSED) {
      s.drop_connection();
      if (asks_remote_terminal(*argc, argv)) refuse_for_remote(arg);
      return 0;
    }
    if (r == OPT_UTILITY) {
      // The utility ends the run: what came before it holds, the rest is its own.
      s.md = util;
      if (util_file) *util_file = *v ? v : nullptr;
      s.commit(invoc, cur_db, mode);
      return s.named;
    }
  }
  for (int i = last; i < *argc; ++i) s.kept.push_back(argv[i]);
  s.commit(invoc, cur_db, mode);
  for (size_t k = 0; k < s.kept.size(); ++k) argv[k] = s.kept[k];
  argv[s.kept.size()] = nullptr;
  *argc = static_cast<int>(s.kept.size());
  return s.named;
}

const cmd_refusal& os_cmd_refusal() { return g_refusal; }

void os_usage() {
  static const char* const kPieces[] = {
      "Usage:  -k                          ",
      "define a new keymap\n",
      "        -m=<[user_id:]keymap_name>  ",
      "override keymap ID\n",
      "        -d=<database_id>            ",
      "override startup database\n",
      "        -a=<application_id>         ",
      "override startup application\n",
      "        -t=<process_type>           ",
      "override startup process type\n",
      "        -p=<process_name>           ",
      "override startup process name\n",
      "        -i=<flat_file_name>         ",
      "convert a flat file into UNIXIO format\n",
      "        -e=<data_file_name>         ",
      "convert a UNIXIO file into a flat format\n",
      "        -v=<data_file_name>         ",
      "verify the integrity of a UNIXIO file\n",
      "        -r=<data_file_name>         ",
      "repair the keys of a UNIXIO file\n",
      "        -an=<data_file_name>        ",
      "analyze a UNIXIO file\n",
      "Restrictions:\n",
      "  An application_id and process_type must ",
      "always be included when specifying\n",
      "  a process_name.  If an application_id is ",
      "included without specifying a\n",
      "  process_type/name, the startup menu for the ",
      "application will be used.\n\n",
      "  If no application_id is specified, the ",
      "startup application and menu for the\n",
      "  database will be used.  If no database_id ",
      "is specified, the startup database\n",
      "  defined for the user within System ",
      "Administration is used.  If the startup\n",
      "  database is also unspecified, the Kivo main ",
      "menu is used.\n\n",
      "  The valid process_types are Menu, Job, ",
      "Input, Output, Update, Action,\n",
      "  Inquiry, Query, Status, and Subroutine.\n",
      "  Use underscores (_) in place of any ",
      "embedded spaces within parameters.\n",
  };
  for (const char* piece : kPieces) fputs(piece, stdout);
  fflush(stdout);
}

void startup_err(const char* text, int status) {
  printf("KIVO Startup Failure: %s\n", text);
  fflush(stdout);
  exit(status);
}

}  // namespace kivo
