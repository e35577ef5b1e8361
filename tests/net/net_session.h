// Remote sessions between real processes on 127.0.0.1: a copy of the
// default installation with a menu of an INPUT and a slow OUTPUT, the
// engine started on an accepted connection (as the listener starts it), the
// character client under tmux, and the small socket helpers their tests
// share. Every wait is bounded by kDeadlineMs, which only a fault reaches.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "../fixtures/kivo_fixture.h"
#include "../screen/term_harness.h"
#include "net/tmnet_login.h"
#include "net_test_util.h"

namespace kivo::test {

using kivo_test::env_list;
using kivo_test::shell_quote;
using kivo_test::tmux_pane;

// The 11 bytes of the server's side of the handshake: REPLY {2, version},
// the INIT header and its flag byte.
constexpr size_t kServerHello = 11;

// The demonstration's application with a menu of an INPUT (the demo's
// CUSTOMER ENTRY) and an OUTPUT over its 50 accounts that notes each record
// in "ran" and takes a second for it.
inline constexpr const char* kNetMenu = R"(APPLICATION DEM 01
PROCESS 1 "NET MENU"
FRAME 1 "NET MENU" 0 1
IMAGE 1 "NET MENU" 0 1 1 kind=1 rows=3 cols=40 win_row=3 win_col=10
ROW 1 "NET MENU" 0 1 1 1 "1 CUSTOMER ENTRY"
ROW 1 "NET MENU" 0 1 1 2 "2 SLOW LIST"
ROW 1 "NET MENU" 0 1 1 3 "NET MENU"
CHILD 1 "NET MENU" 0 1 0 1 1 ap=DEM proc_type=2 name="CUSTOMER ENTRY" invoc=0 option=1
CHILD 1 "NET MENU" 0 1 0 2 2 ap=DEM proc_type=3 name="SLOW LIST" invoc=0 option=2
PROCESS 3 "SLOW LIST" pcf_ap=DEM pcf_file=ACCOUNT
FRAME 3 "SLOW LIST" 0 1 enabled=1 kind=0
IMAGE 3 "SLOW LIST" 0 1 1 kind=3 rows=1 cols=60
ITEM 3 "SLOW LIST" 0 1 1 1 1 ap=DEM field="ACCT NO"
STMTS 3 "SLOW LIST" ep=1
      SET      0LA OUT1 MODE                  =      3
END
STMTS 3 "SLOW LIST" ep=21 frame=0,1
      RUN          echo x >> ran; sleep 1                  END? N  FAIL 0
END
)";
constexpr size_t kAccounts = 50;
inline const std::vector<std::string> kNetMenuArgs = {"-d=DEM", "-a=DEM", "-t=menu", "-p=NET_MENU"};
inline const std::vector<std::string> kSlowListArgs = {"-d=DEM", "-a=DEM", "-t=output", "-p=SLOW_LIST"};

// A copy of the default installation with the menu above.
struct installation {
  kivo_test::data_dir dir;
  installation() {
    EXPECT_TRUE(kivo_test::copy_shipped_installation(dir.path));
    design(kNetMenu);
  }
  // The processes of `text` put in the installation's design, the design
  // utility given `flags` too.
  void design(const std::string& text, const std::string& flags = "") const {
    const std::string d = shell_quote(dir.path);
    std::ofstream(dir.file("net.dsgn")) << text;
    EXPECT_EQ(
        system((std::string(KIVO_DESIGN) + " " + flags + " -d " + d + " " + d + "/net.dsgn >/dev/null 2>&1").c_str()),
        0);
  }
  env_list env() const {
    return {{"TERM", "screen"},          {"HOME", dir.path},         {"KIVOPATH", dir.path},
            {"KIVO_0SA_PATH", dir.path}, {"KIVO_TST_DIR", dir.path}, {"KIVO_PRT_FI_DIR", dir.path + "/"}};
  }
  size_t records_run() const {
    const std::string ran = kivo_test::slurp(dir.file("ran"));
    return size_t(std::count(ran.begin(), ran.end(), '\n'));
  }
};

// The engine started in `in`'s directory with `args` (then -f=`sock` when
// it is 0 or more), its output and errors into a pipe.
struct engine_proc {
  pid_t pid = -1;
  int out = -1;
  engine_proc(const installation& in, const std::vector<std::string>& args, const env_list& extra, int sock = -1) {
    int p[2];
    if (pipe(p) != 0) return;
    pid = fork();
    if (pid == 0) {
      if (chdir(in.dir.path.c_str()) != 0) _exit(126);
      for (const auto& [k, v] : in.env()) setenv(k.c_str(), v.c_str(), 1);
      for (const auto& [k, v] : extra) setenv(k.c_str(), v.c_str(), 1);
      const int null = open("/dev/null", O_RDWR);
      dup2(null, 0), dup2(p[1], 1), dup2(p[1], 2);
      std::vector<std::string> a{KIVO_BINARY};
      a.insert(a.end(), args.begin(), args.end());
      if (sock >= 0) a.push_back("-f=" + std::to_string(sock));
      std::vector<char*> argv;
      for (std::string& w : a) argv.push_back(w.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(p[1]);
    out = p[0];
  }
  ~engine_proc() {
    if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (out >= 0) close(out);
  }
  engine_proc(const engine_proc&) = delete;
  engine_proc& operator=(const engine_proc&) = delete;
  int status() {
    const int st = reap(pid);
    pid = -1;
    return st;
  }
  bool exited_with(int code) {
    const int st = status();
    return WIFEXITED(st) && WEXITSTATUS(st) == code;
  }
  std::string output() { return read_to_eof(out); }
};

inline std::string read_n(int fd, size_t n) {
  std::string got;
  char c;
  pollfd p{fd, POLLIN, 0};
  while (got.size() < n && poll(&p, 1, kDeadlineMs) == 1 && read(fd, &c, 1) == 1) got += c;
  return got;
}

// Whether the peer closes the connection, with nothing more sent, before
// the deadline.
inline bool closes(int fd) {
  char c;
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, kDeadlineMs) == 1 && read(fd, &c, 1) == 0;
}

// The port of this end of a connection, as the peer names it.
inline std::string local_port(int fd) {
  sockaddr_in me{};
  socklen_t n = sizeof me;
  getsockname(fd, reinterpret_cast<sockaddr*>(&me), &n);
  return std::to_string(ntohs(me.sin_port));
}

inline bool put(int fd, const bytes& b) { return write(fd, b.data(), b.size()) == ssize_t(b.size()); }

// Accepts the connection of a client of `a` and answers its LOGIN as the
// listener does: the socket the engine then serves, or -1.
inline int take_login(acceptor& a) {
  pollfd p{a.fd, POLLIN, 0};
  if (poll(&p, 1, kDeadlineMs) != 1) return -1;
  const int s = accept(a.fd, nullptr, nullptr);
  if (read_n(s, kLoginSize).size() != kLoginSize || !put(s, {3, 1})) {
    close(s);
    return -1;
  }
  return s;
}

// Whether the child has ended, leaving it to be reaped.
inline bool has_ended(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// The character client in tmux on `port`; with `modes`, the terminal's
// modes are kept before and after it in the files "before" and "after" (by
// a shell that outlives a Ctrl-C meant for the client).
inline std::unique_ptr<tmux_pane> client(const installation& in, const std::string& port, bool modes = false) {
  const std::string kivo = shell_quote(KIVO_BINARY) + " -c";
  const std::string cmd =
      modes ? "sh -c " + shell_quote("trap : INT; stty -g > before; " + kivo + "; s=$?; stty -g > after; exit $s")
            : kivo;
  env_list env{{"TERM", "screen"},  {"HOME", in.dir.path}, {"KIVO_HOST", "127.0.0.1"},   {"KIVO_PORT", port},
               {"KIVO_USER", "me"}, {"KIVO_PSWD", "pw"},   {"KIVO_TST_DIR", in.dir.path}};
  return std::make_unique<tmux_pane>(cmd, in.dir.path, env);
}

}  // namespace kivo::test
