// Facts about the host, the user and the terminal, the system's error
// texts, directory creation, and the ways out of the process.
#include <pwd.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/foundation.h"
#include "foundation/os.h"
#include "foundation/paths.h"

namespace kivo {

namespace {

char g_info[1024];
char g_node[sizeof(utsname::nodename)];
char g_login[256];
char g_tty[256];

cstr counted(char* p) { return cstr{static_cast<uint16_t>(strlen(p)), p}; }

void fill(char* dst, size_t cap, const char* src) { snprintf(dst, cap, "%s", src ? src : ""); }

}  // namespace

int ss_host_info(cstr* id, cstr* unused, cstr* os, cstr* host) {
  static char kLinux[] = "LINUX";
  static char kEmpty[] = "";
  *id = cstr{0, kEmpty};
  *unused = cstr{0, kEmpty};
  *os = cstr{5, kLinux};
  struct utsname u;
  if (uname(&u) != 0) {
    *host = cstr{0, kEmpty};
    return 0;
  }
  fill(g_node, sizeof g_node, u.nodename);
  *host = counted(g_node);
  return 1;
}

cstr ss_info(int code) {
  switch (code) {
    case 10: fill(g_info, sizeof g_info, ss_image_name()); break;
    case 11: snprintf(g_info, sizeof g_info, "%d", static_cast<int>(getpid())); break;
    case 12: {
      const char* tty = isatty(0) ? ttyname(0) : nullptr;
      fill(g_info, sizeof g_info, tty ? tty : "background");
      break;
    }
    default: break;
  }
  return counted(g_info);
}

cstr os_info(int code) { return ss_info(code); }

cstr ss_uid() {
  const uid_t uid = getuid();
  struct passwd pw, *found = nullptr;
  char buf[4096];
  // No password entry: the uid stands for the name rather than nothing.
  if (getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found && found->pw_name)
    fill(g_login, sizeof g_login, found->pw_name);
  else snprintf(g_login, sizeof g_login, "%u", static_cast<unsigned>(uid));
  return counted(g_login);
}

cstr os_uid() { return ss_uid(); }

int ss_trm_id(cstr* out) {
  const char* tty = isatty(0) ? ttyname(0) : nullptr;
  fill(g_tty, sizeof g_tty, tty);
  *out = counted(g_tty);
  return 1;
}

const char* ss_msg(int err) {
  static char text[64];
  if (const char* s = strerrordesc_np(err)) return s;
  snprintf(text, sizeof text, "No message string for #%d", err);
  return text;
}

int ss_make_path(const char* path) {
  std::string p(path);
  size_t last = p.rfind('/');
  if (last == std::string::npos || last == 0) return 1;
  for (size_t at = p.find('/', 1); at != std::string::npos && at <= last; at = p.find('/', at + 1)) {
    std::string dir = p.substr(0, at);
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) return 0;
  }
  struct stat st;
  return stat(p.substr(0, last).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

remote_hooks ss_remote_hooks;

int ss_yield() {
  if (foundation_hooks.yield_signals) foundation_hooks.yield_signals();
  if (ss_remote_hooks.keepalive) ss_remote_hooks.keepalive();
  if (!com.rmt_sock) return 1;
  if (ss_remote_hooks.ping && ss_remote_hooks.ping()) return 1;
  // The client is gone: nothing the session does could reach its user.
  ss_restore_tty();
  exit(kRemoteGoneExit);
}

void ss_sleep(unsigned seconds) { sleep(seconds); }

void ss_logout() { exit(127); }

void os_logout() { ss_logout(); }

}  // namespace kivo
