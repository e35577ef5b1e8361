// The terminal and remote sessions as a user meets them, between the real
// engine, its character client under tmux, the test listener and data
// servers on 127.0.0.1: a client whose server went silent is left with
// Ctrl-C; an idle user keeps the session while a lost client still ends
// it; a data-server request ends at its bound, a server killed in a write
// is the connection's error and a lock held elsewhere is another user's; a
// client names the end of its session; a listener run without TERM serves
// a session. Bounds are set small through the environment; every wait is
// for the event expected, bounded by what only a fault reaches.
#include <map>
#include <regex>

#include "foundation/bytes.h"
#include "foundation/os.h"
#include "net_session.h"
#include "test_relay.h"

using namespace kivo;
using namespace kivo::test;

namespace {

// The connection of the listening port `port` in /proc/net/tcp, as
// {receive queue, timer}: the bytes waiting in the server's socket and its
// active timer (2: keepalive); {-1, -1} when there is none.
std::pair<long, int> server_socket(const std::string& port) {
  std::ifstream in("/proc/net/tcp");
  std::string line;
  std::getline(in, line);
  char want[8];
  snprintf(want, sizeof want, ":%04X", unsigned(std::stoi(port)));
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string sl, local, remote, st, queues, timer;
    f >> sl >> local >> remote >> st >> queues >> timer;
    if (local.size() < 5 || local.substr(local.size() - 5) != want || st != "01") continue;
    return {std::stol(queues.substr(queues.find(':') + 1), nullptr, 16), std::stoi(timer.substr(0, 2), nullptr, 16)};
  }
  return {-1, -1};
}

// The text the client's pane shows, with what scrolled off, its wrapped
// lines joined.
std::string history(tmux_pane& p) {
  std::string h = p.capture_history();
  h.erase(std::remove(h.begin(), h.end(), '\n'), h.end());
  return h;
}

// Sends `sig` to the engine the pane runs (below the shells around it).
void signal_client(tmux_pane& p, int sig) {
  std::vector<pid_t> todo{pid_t(std::stoi(p.display("#{pane_pid}")))};
  while (!todo.empty()) {
    const pid_t pid = todo.back();
    todo.pop_back();
    char exe[4096] = {};
    if (readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof exe - 1) > 0 &&
        std::string(exe) == KIVO_BINARY)
      kill(pid, sig);
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    for (pid_t c; in >> c;) todo.push_back(c);
  }
}

// The engine serving `in`'s menu on an accepted connection of the client
// in `pane` (with its terminal's modes kept).
struct served {
  installation in;
  acceptor a;
  std::unique_ptr<tmux_pane> pane = client(in, a.port, true);
  std::unique_ptr<engine_proc> e;
  explicit served(const env_list& env = {}, std::vector<std::string> args = {"-d=DEM"}) {
    const int s = take_login(a);
    if (s >= 0) e = std::make_unique<engine_proc>(in, args, env, s);
    close(s);
  }
  bool modes_kept() {
    const std::string before = kivo_test::slurp(in.dir.file("before"));
    return !before.empty() && kivo_test::slurp(in.dir.file("after")) == before;
  }
};

class TerminalRemoteMends : public NetFixture {
 protected:
  void SetUp() override {
    NetFixture::SetUp();
    tmnet_role = TMNET_ROLE_DATA_LINK;
  }
};

// Ctrl-C (or SIGTERM) while the client waits for a server that was stopped
// after the user's key: the wait ends at once with its line, the terminal's
// modes as they were.
TEST_F(TerminalRemoteMends, CtrlCEndsAClientWaitingForItsStoppedServer) {
  const struct {
    bool key;  // Ctrl-C on the terminal, else SIGTERM to the client
    int status;
    const char* says;
  } rows[] = {{true, 128 + SIGINT, "ended at the user's request"}, {false, 128 + SIGTERM, "ended by Terminated"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.says);
    served sv;
    ASSERT_TRUE(sv.e && sv.pane->wait_for("DEM MENU") && sv.pane->wait_for("MENU ENTRY")) << sv.pane->capture();
    kill(sv.e->pid, SIGSTOP);
    sv.pane->send_hex("\r");
    // The answer lies in the stopped server's socket: the client waits now.
    ASSERT_TRUE(kivo_test::wait_until([&] { return server_socket(sv.a.port).first > 0; }, kivo_test::kScreenWait));
    if (r.key) sv.pane->send_keys("C-c");
    else signal_client(*sv.pane, SIGTERM);
    EXPECT_EQ(sv.pane->exit_status(), r.status) << history(*sv.pane);
    EXPECT_NE(history(*sv.pane).find("kivo: no answer from 127.0.0.1 port " + sv.a.port + ": " + r.says),
              std::string::npos)
        << history(*sv.pane);
    EXPECT_TRUE(sv.modes_kept());
    kill(sv.e->pid, SIGCONT);
  }
}

// A user who reads a screen past the server's time-out keeps the session
// (its connection watched by keepalive), and END ends it with 0; a client
// stopped during a report is still lost at the ping (9), one killed at a
// screen when its connection closes (255).
TEST_F(TerminalRemoteMends, AnIdleUserKeepsTheSessionWhileALostClientEndsIt) {
  constexpr int kBound = 2;
  const struct {
    const char* what;
    std::vector<std::string> args;
    bool input;        // CUSTOMER ENTRY opened from the menu
    const char* keys;  // that end the session from there
    int sig;           // 0: the user idles
    int server;
  } rows[] = {
      {"idle at the menu", kNetMenuArgs, false, "S-F1", 0, 0},
      {"idle in an input", kNetMenuArgs, true, "S-F1 S-F1", 0, 0},
      {"stopped in a report", kSlowListArgs, false, "", SIGSTOP, kRemoteGoneExit},
      {"killed at the menu", kNetMenuArgs, false, "", SIGKILL, kTmnetLostExit},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    served sv({{"KIVO_SRVR_TIMEOUT_SECONDS", std::to_string(kBound)}}, r.args);
    ASSERT_TRUE(sv.e);
    if (r.args == kSlowListArgs) {
      ASSERT_TRUE(kivo_test::wait_until([&] { return sv.in.records_run() >= 1; }, kivo_test::kScreenWait));
    } else {
      ASSERT_TRUE(sv.pane->wait_for("NET MENU") && sv.pane->wait_for("MENU ENTRY")) << sv.pane->capture();
    }
    if (r.input) {
      sv.pane->send_hex("\r");
      ASSERT_TRUE(sv.pane->wait_for("CUSTOMER NO:")) << sv.pane->capture();
    }
    if (r.sig) {
      signal_client(*sv.pane, r.sig);
      EXPECT_TRUE(sv.e->exited_with(r.server));
      EXPECT_NE(sv.e->output().find(" is gone: "), std::string::npos);
      signal_client(*sv.pane, SIGKILL);
      continue;
    }
    EXPECT_TRUE(kivo_test::wait_until([&] { return server_socket(sv.a.port).second == 2; }, kivo_test::kScreenWait))
        << "no keepalive on the server's connection";
    EXPECT_FALSE(kivo_test::wait_until([&] { return has_ended(sv.e->pid); }, kBound + 1)) << sv.e->output();
    sv.pane->send_keys(r.keys);
    EXPECT_EQ(sv.pane->exit_status(), 0) << history(*sv.pane);
    EXPECT_TRUE(sv.e->exited_with(0)) << sv.e->output();
  }
}

// A server killed at the menu, one that cannot start (no keymap for its
// terminal), a listener or a server that refuses the login: the client
// names the end in one line, the terminal's modes as they were.
TEST_F(TerminalRemoteMends, AClientNamesTheEndOfItsSession) {
  const std::string ended = "the session with 127.0.0.1 port %P ended: the server closed the connection";
  const struct {
    const char* what;
    bytes reply;       // after the LOGIN; empty: the listener's {3, 1} and an engine
    const char* term;  // of that engine
    bool kill;         // the engine, at its menu
    int status;
    std::string says;  // after "kivo: "
  } rows[] = {
      {"a server killed", {}, "screen", true, kTmnetLostExit, ended},
      {"a server that cannot start", {}, "nokeys", false, kTmnetLostExit, ended},
      {"a listener that refuses",
       {3, 0},
       "",
       false,
       1,
       "the listener at 127.0.0.1 port %P refused the login of user \"me\""},
      {"a server that refuses", {3, 1, 2, 0}, "", false, 1, "the server at 127.0.0.1 port %P refused the session"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    installation in;
    acceptor a;
    auto pane = client(in, a.port, true);
    pollfd p{a.fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, kDeadlineMs), 1);
    const int s = accept(a.fd, nullptr, nullptr);
    ASSERT_EQ(read_n(s, kLoginSize).size(), kLoginSize);
    std::unique_ptr<engine_proc> e;
    if (r.reply.empty()) {
      ASSERT_TRUE(put(s, {3, 1}));
      e = std::make_unique<engine_proc>(in, std::vector<std::string>{"-d=DEM"}, env_list{{"TERM", r.term}}, s);
    } else {
      ASSERT_TRUE(put(s, r.reply));
    }
    close(s);  // the engine's now, or the refusal's end
    if (r.kill) {
      ASSERT_TRUE(pane->wait_for("DEM MENU")) << pane->capture();
      kill(e->pid, SIGKILL);
    }
    EXPECT_EQ(pane->exit_status(), r.status) << history(*pane);
    std::string says = "kivo: " + r.says;
    says.replace(says.find("%P"), 2, a.port);
    EXPECT_NE(history(*pane).find(says), std::string::npos) << history(*pane);
    const std::string before = kivo_test::slurp(in.dir.file("before"));
    EXPECT_EQ(kivo_test::slurp(in.dir.file("after")), before);
    if (e && !r.kill) {
      EXPECT_NE(e->output().find("Can't find a keymap"), std::string::npos) << "the server says why";
    }
  }
}

// A listener started without TERM (as from a service) serves a session: the
// server takes the character client's terminal type and its keymaps.
TEST_F(TerminalRemoteMends, AListenerWithoutTermServesAKivoCSession) {
  installation in;
  std::vector<std::string> cmd{"/usr/bin/env", "-u", "TERM"};
  for (const auto& [k, v] : in.env())
    if (k != "TERM") cmd.push_back(k + "=" + v);
  cmd.insert(cmd.end(), {KIVO_BINARY, "-d=DEM"});
  listener lsn(false, cmd, nullptr);
  ASSERT_FALSE(lsn.port.empty());
  auto pane = client(in, lsn.port);
  ASSERT_TRUE(pane->wait_for("DEM MENU") && pane->wait_for("MENU ENTRY")) << pane->capture();
  pane->send_keys("S-F1");
  EXPECT_EQ(pane->exit_status(), 0) << history(*pane);
}

// The data server's process that the listener started.
pid_t server_of(const listener& lsn) {
  pid_t p = 0;
  kivo_test::wait_until(
      [&] {
        std::ifstream in("/proc/" + std::to_string(lsn.pid) + "/task/" + std::to_string(lsn.pid) + "/children");
        return bool(in >> p);
      },
      kivo_test::kScreenWait);
  return p;
}

// Sends `sig` to the listener's session `pid` while it is one (not reaped
// and its number given to another process).
void signal_session(const listener& lsn, pid_t pid, int sig) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream f(stat.substr(stat.rfind(')') + 1));
  std::string state;
  pid_t parent = 0;
  if (f >> state >> parent && parent == lsn.pid) kill(pid, sig);
}

// Whether `pid` waits for a lock (a blocked request in /proc/locks).
bool waits_for_lock(pid_t pid) {
  std::ifstream in("/proc/locks");
  for (std::string line; std::getline(in, line);)
    if (line.find("->") != std::string::npos && line.find(" " + std::to_string(pid) + " ") != std::string::npos)
      return true;
  return false;
}

// A data-server session whose server stops answering (stopped; killed in
// its write while a lock held here keeps it there), or waits for a lock
// held here: the operation ends with the connection's error (a write sent
// whole: that it may have been made), or the lock's, in one line (its
// middle shortened when long) and never a system error, and the session
// goes on with the next operation.
TEST_F(TerminalRemoteMends, ADataServerClientFailsTheOperationAndGoesOn) {
  enum act { STOP, KILL_IN_WRITE, HOLD };
  const struct {
    const char* what;
    act how;
    const char* client_bound;  // KIVO_NET_REQUEST_TIMEOUT of the client
    const char* server_bound;  // and of the server: its lock waits last a quarter
    std::string says;          // on the message row
    const char* again;         // the same operation once more: done (or done before)
  } rows[] = {
      {"stopped", STOP, "2", "600", "ERROR - *KivoNet: no answer from 127.0.0.1 port %P within 2 s", "RECORD READ"},
      {"killed in its write", KILL_IN_WRITE, "600", "600", "may have been made; look the record up again",
       "RECORD ADDED"},
      {"waiting for a lock", HOLD, "600", "4", "ERROR - Record locked by another user", "RECORD ADDED"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    installation server, here;
    std::vector<std::string> cmd{"/usr/bin/env", std::string("KIVO_NET_REQUEST_TIMEOUT=") + r.server_bound};
    for (const auto& [k, v] : server.env()) cmd.push_back(k + "=" + v);
    cmd.push_back(KIVO_BINARY);
    listener lsn(false, cmd, nullptr);
    ASSERT_FALSE(lsn.port.empty());
    tcp_relay relay(lsn.port);
    env_list env = kivo_test::engine_env(here.dir.path);
    env.insert(env.end(),
               {{"KIVO_DATA_SERVER", "127.0.0.1:" + relay.port()}, {"KIVO_NET_REQUEST_TIMEOUT", r.client_bound}});
    tmux_pane pane(shell_quote(KIVO_BINARY) + " -d=DEM", here.dir.path, env);
    ASSERT_TRUE(pane.wait_for("DEM MENU") && pane.wait_for("MENU ENTRY")) << pane.capture();
    pane.send_hex("\r");
    ASSERT_TRUE(pane.wait_for("CUSTOMER NO:")) << pane.capture();
    pane.send_keys("F10");
    auto add = [&](const std::string& no) {
      pane.send_text(no), pane.send_keys("Tab"), pane.send_text("Ann"), pane.send_keys("Tab"), pane.send_text("1.00");
      pane.send_hex("\r");
    };
    add("7001");
    ASSERT_TRUE(pane.wait_for("RECORD ADDED")) << pane.capture();
    const pid_t srv = server_of(lsn);
    ASSERT_GT(srv, 0);
    const int held = open(server.dir.file("DEM/DEM/Data/CUSTOMER.dat").c_str(), O_RDWR);
    flock update{};  // the data file's update lock, as a writer holds it
    update.l_type = F_WRLCK, update.l_whence = SEEK_SET, update.l_len = 1;
    if (r.how == KILL_IN_WRITE || r.how == HOLD) {
      ASSERT_EQ(fcntl(held, F_SETLK, &update), 0);
    }
    if (r.how == STOP) {
      signal_session(lsn, srv, SIGSTOP);
      pane.send_keys("F12"), pane.send_text("7001"), pane.send_hex("\r");
    } else {
      add("7002");
    }
    if (r.how == KILL_IN_WRITE) {
      ASSERT_TRUE(kivo_test::wait_until([&] { return waits_for_lock(srv); }, kivo_test::kScreenWait));
      signal_session(lsn, srv, SIGKILL);
    }
    std::string says = r.says;
    if (says.find("%P") != std::string::npos) says.replace(says.find("%P"), 2, relay.port());
    EXPECT_TRUE(pane.wait_for(says)) << pane.capture();
    // The session goes on: once the lock is free and a server answers, the
    // same operation is done, or found done (it fails at once in between).
    close(held);
    signal_session(lsn, srv, SIGCONT);
    EXPECT_TRUE(kivo_test::wait_until(
        [&] {
          pane.send_hex("\r");
          return pane.wait_for(r.again, 1);
        },
        kivo_test::kScreenWait))
        << pane.capture();
    EXPECT_EQ(kivo_test::slurp(here.dir.file("syserr")).find("PIPCF"), std::string::npos);
    signal_session(lsn, srv, SIGKILL);
  }
}

// The texts of the failures a data-server session meets are in the default
// installation's MESSAGE file, never "Unable to translate message"; so is a
// text for every status the file manager can leave (its header lists them).
TEST_F(TerminalRemoteMends, TheFailuresOfAFileHaveTheirTexts) {
  std::map<uint32_t, std::string> texts;
  for (const std::string& m :
       kivo_test::native_records(kivo_test::shipped_installation() + "/00/0LA/Data/MESSAGE.dat").records)
    if (m.size() > 8)
      texts[ld_le32(reinterpret_cast<const uint8_t*>(m.data()), 0)] =
          m.substr(8, ld_le16(reinterpret_cast<const uint8_t*>(m.data()), 6));
  EXPECT_EQ(texts[200650], "The file could not be read or written");
  EXPECT_EQ(texts[200530], "Record locked by another user");
  const std::string header = kivo_test::slurp(std::string(KIVO_SOURCE_DIR) + "/src/fm/fm_status.h");
  const std::regex status(R"(FM_\w+ = (\d{6}),)");
  size_t statuses = 0;
  for (std::sregex_iterator i(header.begin(), header.end(), status), e; i != e; ++i, ++statuses)
    EXPECT_FALSE(texts[uint32_t(std::stoul((*i)[1]))].empty()) << (*i)[0];
  EXPECT_GT(statuses, 40u);
}

}  // namespace
