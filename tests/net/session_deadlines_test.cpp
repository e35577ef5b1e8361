// Every wait for a remote peer ends, between real processes on 127.0.0.1:
// the handshake's bound on kivo -x, a -f=N server, a data server, the test
// listener and kivo -c; the ping on a server whose client vanished in a
// long OUTPUT, a closed connection at a menu and in an INPUT, where a
// client stopped is an idle user and not a lost one; SIGTERM and
// SIGINT on a server in a session; a listener that a silent connection
// cannot stall; a data-server client that waits once; an engine for a
// remote terminal that never starts a local session. The bounds are set
// short through the environment; each test waits for the event it expects
// (a close, an exit, a screen) with a bound only a fault reaches.
#include <utility>

#include "foundation/os.h"
#include "net/tmnet_deadline.h"
#include "net_session.h"

using namespace kivo;
using namespace kivo::test;

namespace {

class SessionDeadlines : public NetFixture {
 protected:
  void SetUp() override {
    NetFixture::SetUp();
    tmnet_role = TMNET_ROLE_DATA_LINK;
    setenv("KIVO_NET_HANDSHAKE_TIMEOUT", "2", 1);
  }
  void TearDown() override {
    unsetenv("KIVO_NET_HANDSHAKE_TIMEOUT");
    NetFixture::TearDown();
  }

  // A connection to the listener that logged in (with `start`) and got its
  // REPLY {3, 1}: the engine is now starting on it.
  int logged_in(const listener& lsn, const char* start) {
    const int fd = tmnet_cli_conn_to_host("127.0.0.1", lsn.port.c_str());
    EXPECT_GE(fd, 3);
    uint8_t block[kLoginSize], reply[kReplySize] = {};
    EXPECT_TRUE(login_build({"ann", "pw", false, start, 4}, block));
    EXPECT_EQ(tmnet_send_msg(fd, TMNET_LOGIN, sizeof block, block), 1);
    tmnet_set_timeout(kDeadlineMs / 1000);
    EXPECT_EQ(tmnet_recv_msg(fd, TMNET_REPLY, sizeof reply, reply), 1);
    EXPECT_EQ(reply[1], 1);
    return fd;
  }

  // The session process the listener started for the connection.
  pid_t session_of(const listener& lsn) {
    for (int ms = 0; ms < kDeadlineMs; ms += 10, poll(nullptr, 0, 10)) {
      std::ifstream in("/proc/" + std::to_string(lsn.pid) + "/task/" + std::to_string(lsn.pid) + "/children");
      pid_t p = 0;
      if (in >> p) return p;
    }
    return -1;
  }

  // The server on the net menu, its client in tmux at `place` ("menu",
  // "input"; "report": the slow OUTPUT started as the first process), then
  // the client killed or stopped by `sig`: the server ends with 9 and its
  // line; a report ends at the ping, not at its last record.
  static constexpr int kIdleBound = 3;

  void client_vanishes(const std::string& place, int sig) {
    const bool report = place == "report";
    installation in;
    acceptor a;
    auto pane = client(in, a.port);
    const int s = take_login(a);
    ASSERT_GE(s, 0);
    // The bound leaves the test time to type at the menu; a report waits
    // for no key.
    engine_proc e(in, report ? kSlowListArgs : kNetMenuArgs,
                  {{"KIVO_SRVR_TIMEOUT_SECONDS", std::to_string(report ? 2 : kIdleBound)}}, s);
    close(s);
    if (report) {
      ASSERT_TRUE(kivo_test::wait_until([&] { return in.records_run() >= 1; }, kivo_test::kScreenWait));
    } else {
      ASSERT_TRUE(pane->wait_for("NET MENU") && pane->wait_for("MENU ENTRY")) << pane->capture();
    }
    if (place == "input") {
      pane->send_hex("\r");
      ASSERT_TRUE(pane->wait_for("CUSTOMER NO:")) << pane->capture();
    }
    pane->kill_command(sig);
    if (sig == SIGSTOP && !report) {
      // Stopped at a screen, the client is a user who has not pressed a
      // key: the server waits past its bound, until the connection closes.
      EXPECT_FALSE(kivo_test::wait_until([&] { return has_ended(e.pid); }, kIdleBound + 1)) << e.output();
      pane->kill_command(SIGKILL);
      sig = SIGKILL;
    }
    // A killed client's connection closes: broken, 255. A stopped one in a
    // report is silent: gone at the ping, 9.
    EXPECT_TRUE(e.exited_with(sig == SIGKILL ? kTmnetLostExit : kRemoteGoneExit));
    const std::string line = e.output();
    EXPECT_NE(line.find("the remote client at 127.0.0.1 port "), std::string::npos) << line;
    EXPECT_NE(line.find(" is gone: "), std::string::npos) << line;
    if (report) {
      EXPECT_LT(in.records_run(), kAccounts);
    }
    pane->kill_command(SIGKILL);  // a stopped client too
  }
};

TEST_F(SessionDeadlines, KivoXAgainstASilentPeerEndsAtTheBoundWithItsLine) {
  acceptor peer_lsn;
  int err[2];
  ASSERT_EQ(pipe(err), 0);
  const pid_t pid = spawn({KIVO_BINARY, "-x=" + peer_lsn.port}, -1, false, err[1]);
  close(err[1]);
  pollfd p{peer_lsn.fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, kDeadlineMs), 1) << "no connection came";
  const int peer = accept(peer_lsn.fd, nullptr, nullptr);
  EXPECT_EQ(read_n(peer, kServerHello).size(), kServerHello);
  EXPECT_TRUE(closes(peer));  // nothing more, then the close at the bound
  close(peer);
  const std::string line = read_to_eof(err[0]);
  close(err[0]);
  const int st = reap(pid);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), kTmnetLostExit);
  EXPECT_NE(line.find("no answer from 127.0.0.1 port"), std::string::npos) << line;
  EXPECT_NE(line.find("within 2 s"), std::string::npos) << line;
}

// Each side that waits for a client: its first bytes, then the close at the
// bound, and the listener takes the next connection afterwards. A data-server
// client that announced a keepalive bound of 1 s and fell silent in the middle
// of a request (its header and part of its block came) is dropped as well.
TEST_F(SessionDeadlines, ServerDataServerAndListenerDropASilentClient) {
  // The probes, no pause, the log mask, the option word (keepalive 1 s in its
  // high half), then a RDNXT header and 4 of its block's 24 bytes.
  const bytes mid_request{1, 0, 3, 2, 1, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 1, 0, 0, 0, 0, 0, 5, 0, 0, 0, 1, 0, 0, 0};
  const struct {
    const char* what;
    const char* start;  // the LOGIN's start argument; null: no LOGIN at all
    size_t hello;       // bytes the side sends before it waits
    bytes then;         // what the client sends after them
  } rows[] = {
      {"a -f=N server", "", kServerHello, {}},
      {"the data server", kLoginDataServer, 2, {}},
      {"the data server mid-request", kLoginDataServer, 2, mid_request},
      {"the listener", nullptr, 0, {}},
  };
  listener lsn(false, {KIVO_BINARY}, nullptr);
  ASSERT_FALSE(lsn.port.empty());
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    const int fd = r.start ? logged_in(lsn, r.start) : tmnet_cli_conn_to_host("127.0.0.1", lsn.port.c_str());
    ASSERT_GE(fd, 3);
    EXPECT_EQ(read_n(fd, r.hello).size(), r.hello);
    EXPECT_TRUE(r.then.empty() || put(fd, r.then));
    EXPECT_TRUE(closes(fd));
    close(fd);
  }
  EXPECT_EQ(waitpid(lsn.pid, nullptr, WNOHANG), 0) << "the listener ended";
}

// SIGTERM ends each side while it waits for its peer (the bound is far past
// the test's own deadline here), by that signal.
TEST_F(SessionDeadlines, SigtermEndsEachWaitingEngine) {
  setenv("KIVO_NET_HANDSHAKE_TIMEOUT", "3600", 1);
  {
    acceptor peer_lsn;
    const pid_t pid = spawn({KIVO_BINARY, "-x=" + peer_lsn.port}, -1, false);
    pollfd p{peer_lsn.fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, kDeadlineMs), 1);
    const int peer = accept(peer_lsn.fd, nullptr, nullptr);
    EXPECT_EQ(read_n(peer, kServerHello).size(), kServerHello);
    kill(pid, SIGTERM);
    const int st = reap(pid);
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGTERM) << st;
    close(peer);
  }
  for (auto [start, hello] : {std::pair<const char*, size_t>{"", kServerHello}, {kLoginDataServer, 2}}) {
    SCOPED_TRACE(*start ? "the data server" : "a -f=N server");
    listener lsn(false, {KIVO_BINARY}, nullptr);
    const int fd = logged_in(lsn, start);
    const pid_t session = session_of(lsn);
    ASSERT_GT(session, 0);
    EXPECT_EQ(read_n(fd, hello).size(), hello);  // it has begun and waits now
    kill(session, SIGTERM);
    EXPECT_TRUE(closes(fd));
    close(fd);
  }
  listener lsn(false, {KIVO_BINARY}, nullptr);
  const int fd = tmnet_cli_conn_to_host("127.0.0.1", lsn.port.c_str());
  ASSERT_GE(fd, 3);
  kill(lsn.pid, SIGTERM);
  const int st = reap(lsn.pid);
  EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGTERM) << st;
  lsn.pid = -1;
  close(fd);
}

// A client that answers INIT and FEATURE EXCHANGE and then says nothing to
// ATTACH: the set-up's bound ends the server with its line, and a signal
// ends it before that.
TEST_F(SessionDeadlines, AClientSilentAfterTheHandshakeEndsTheServerAtTheBoundOrAtASignal) {
  const struct {
    const char* bound;
    int sig;  // 0: none, the bound ends it
  } rows[] = {{"2", 0}, {"3600", SIGTERM}, {"3600", SIGINT}};
  installation in;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.sig);
    acceptor a;
    const int fd = tmnet_cli_conn_to_host("127.0.0.1", a.port.c_str());
    const int s = accept(a.fd, nullptr, nullptr);
    engine_proc e(in, {}, {{"KIVO_NET_HANDSHAKE_TIMEOUT", r.bound}}, s);
    close(s);
    EXPECT_EQ(read_n(fd, kServerHello).size(), kServerHello);
    ASSERT_TRUE(put(fd, cat(header(3, 2), {0, 4})));
    EXPECT_EQ(read_n(fd, 12).substr(4, 1), "\x44");  // FEATURE EXCHANGE
    ASSERT_TRUE(put(fd, {0, 0, 0, 6}));
    const std::string pid = read_n(fd, 10);  // PROCESS_ID and its text
    ASSERT_EQ(pid.size(), 10u);
    EXPECT_EQ(pid[4], 69);
    EXPECT_EQ(read_n(fd, size_t(uint8_t(pid[8])) << 8 | uint8_t(pid[9])), std::to_string(e.pid));
    EXPECT_EQ(read_n(fd, 8).substr(4, 1), "\x11");  // ATTACH; the test says nothing now
    if (r.sig) kill(e.pid, r.sig);
    EXPECT_TRUE(closes(fd));
    const int st = e.status();
    const std::string line = e.output();
    if (r.sig) {
      EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == r.sig) << st;
    } else {
      EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == kTmnetLostExit) << st;
      EXPECT_NE(line.find("no answer from 127.0.0.1 port " + local_port(fd) + " within 2 s"), std::string::npos)
          << line;
    }
    close(fd);
  }
}

// Each phase bounds only the waits on its own socket: a data link the
// server opens waits as a data link does, within its request's bound; the
// client's wait for its server has no deadline but is watched; a caller's
// shorter time-out wins.
TEST_F(SessionDeadlines, EachPhasesBoundHoldsOnlyOnItsOwnSocket) {
  enum { NONE, SESSION, REQUEST, CLIENT };
  const struct {
    int phase;
    int sock, timeout;
    tmnet_bound_kind want;
  } rows[] = {
      {NONE, 5, -1, BOUND_NONE},     {SESSION, 5, -1, BOUND_SESSION}, {SESSION, 6, -1, BOUND_NONE},
      {SESSION, 5, 1, BOUND_CALLER}, {SESSION, 6, 1, BOUND_CALLER},   {REQUEST, 5, -1, BOUND_REQUEST},
      {REQUEST, 5, 1, BOUND_CALLER}, {CLIENT, 5, -1, BOUND_WATCHED},  {CLIENT, 6, -1, BOUND_NONE},
  };
  for (const auto& r : rows) {
    if (r.phase == SESSION) tmnet_session_begin(5, 600);
    if (r.phase == REQUEST) tmnet_request_begin(5, 600);
    if (r.phase == CLIENT) tmnet_client_begin(5, "127.0.0.1", "1", nullptr);
    EXPECT_EQ(tmnet_bound_for(r.sock, r.timeout).kind, r.want) << r.phase << " " << r.sock << " " << r.timeout;
    tmnet_session_end(), tmnet_request_end(), tmnet_client_end();
  }
}

// A server in its session ends at once on SIGTERM or SIGINT, at the demo's
// menu or in a report, with the status of a lost connection (its session's
// bound is 10 minutes: nothing else could end it in the test's time); its
// client ends too and leaves the terminal's modes as the shell had them.
TEST_F(SessionDeadlines, ASignalEndsAServerInItsSessionAndTheClientPutsTheTerminalBack) {
  const struct {
    bool report;  // else the demo's own menu
    int sig;
  } rows[] = {{false, SIGINT}, {true, SIGTERM}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.sig);
    installation in;
    acceptor a;
    auto pane = client(in, a.port, true);
    const int s = take_login(a);
    ASSERT_GE(s, 0);
    engine_proc e(in, r.report ? kNetMenuArgs : std::vector<std::string>{"-d=DEM"}, {}, s);
    close(s);
    if (r.report) {
      ASSERT_TRUE(pane->wait_for("NET MENU") && pane->wait_for("MENU ENTRY")) << pane->capture();
      pane->send_keys("F1");
      pane->send_text("2");
      ASSERT_TRUE(kivo_test::wait_until([&] { return in.records_run() >= 1; }, kivo_test::kScreenWait));
    } else {
      ASSERT_TRUE(pane->wait_for("DEM MENU") && pane->wait_for("MENU ENTRY")) << pane->capture();
    }
    kill(e.pid, r.sig);
    EXPECT_TRUE(e.exited_with(kTmnetLostExit));
    EXPECT_EQ(pane->exit_status(), kTmnetLostExit) << pane->capture();
    const std::string before = kivo_test::slurp(in.dir.file("before"));
    EXPECT_FALSE(before.empty());
    EXPECT_EQ(kivo_test::slurp(in.dir.file("after")), before);
  }
}

// A client gone at a menu, in an INPUT or in a long OUTPUT ends the server
// with one line naming it: silent (stopped) in the report with 9 at the
// ping; its socket closed without a word (killed) with 255, a broken
// connection. Stopped at a screen it is an idle user, whose server waits
// until its connection closes.
TEST_F(SessionDeadlines, AClientKilledAtAMenuEndsTheServerWith255) { client_vanishes("menu", SIGKILL); }
TEST_F(SessionDeadlines, AClientStoppedAtAMenuIsAnIdleUserUntilItsConnectionCloses) {
  client_vanishes("menu", SIGSTOP);
}
TEST_F(SessionDeadlines, AClientKilledInAnInputEndsTheServerWith255) { client_vanishes("input", SIGKILL); }
TEST_F(SessionDeadlines, AClientStoppedInAnInputIsAnIdleUserUntilItsConnectionCloses) {
  client_vanishes("input", SIGSTOP);
}
TEST_F(SessionDeadlines, AClientKilledDuringAReportEndsTheServerWith255AtThePing) {
  client_vanishes("report", SIGKILL);
}
TEST_F(SessionDeadlines, AClientStoppedDuringAReportEndsTheServerWithNineAtThePing) {
  client_vanishes("report", SIGSTOP);
}

// kivo -c against a server that goes silent after the LOGIN's REPLY, after
// the engine's REPLY and after INIT: each wait of the set-up ends at the
// bound with the line naming the server, and the client fails (1).
TEST_F(SessionDeadlines, KivoCAgainstAServerSilentInTheSetUpEndsAtTheBoundWithItsLine) {
  const struct {
    const char* after;
    bytes sent;     // after the listener's REPLY {3, 1}
    size_t answer;  // bytes the client sends back
  } rows[] = {
      {"the LOGIN", {}, 0},
      {"the engine's REPLY", {2, 4}, 0},
      {"INIT", cat(cat({2, 4}, header(10, 0)), {0}), 10},
  };
  installation in;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.after);
    acceptor a;
    env_list env{
        {"TERM", "screen"},  {"HOME", in.dir.path}, {"KIVO_HOST", "127.0.0.1"},    {"KIVO_PORT", a.port},
        {"KIVO_USER", "me"}, {"KIVO_PSWD", "pw"},   {"KIVO_TST_DIR", in.dir.path}, {"KIVO_NET_HANDSHAKE_TIMEOUT", "2"}};
    kivo_test::pty_child c({KIVO_BINARY, "-c"}, in.dir.path, env);
    const int s = take_login(a);
    ASSERT_GE(s, 0);
    ASSERT_TRUE(put(s, r.sent));
    EXPECT_EQ(read_n(s, r.answer).size(), r.answer);
    EXPECT_EQ(c.finish(), 1) << c.output();
    EXPECT_NE(c.output().find("no answer from 127.0.0.1 port " + a.port + " within 2 s"), std::string::npos)
        << c.output();
    close(s);
  }
}

// A connection that says nothing stays open for the listener's whole bound;
// two clients that come after it reach their first screen all the same.
TEST_F(SessionDeadlines, TwoClientsReachTheirFirstScreenWhileASilentConnectionIsOpen) {
  installation in;
  setenv("KIVO_NET_HANDSHAKE_TIMEOUT", "600", 1);
  std::vector<std::string> cmd{"/usr/bin/env"};
  for (const auto& [k, v] : in.env()) cmd.push_back(k + "=" + v);
  cmd.insert(cmd.end(), {KIVO_BINARY, "-d=DEM"});
  listener lsn(false, cmd, nullptr);
  ASSERT_FALSE(lsn.port.empty());
  const int silent = tmnet_cli_conn_to_host("127.0.0.1", lsn.port.c_str());
  ASSERT_GE(silent, 3);
  auto one = client(in, lsn.port), two = client(in, lsn.port);
  EXPECT_TRUE(one->wait_for("DEM MENU")) << one->capture();
  EXPECT_TRUE(two->wait_for("DEM MENU")) << two->capture();
  close(silent);
}

// The data-server client against a server that accepts and says nothing:
// one connection, one wait to the bound, one line naming host, port and
// cause; the start then ends with that file's failure.
TEST_F(SessionDeadlines, ADataServerClientAgainstASilentServerWaitsOnceAndSaysOneLine) {
  installation in;
  acceptor a;
  engine_proc e(in, {"-d=DEM"}, {{"KIVO_DATA_SERVER", "127.0.0.1:" + a.port}, {"KIVO_NET_HANDSHAKE_TIMEOUT", "2"}});
  std::vector<int> conns;
  int st = 0;
  for (int ms = 0; waitpid(e.pid, &st, WNOHANG) != e.pid && ms < kDeadlineMs; ms += 10) {
    pollfd p{a.fd, POLLIN, 0};
    if (poll(&p, 1, 10) == 1) conns.push_back(accept(a.fd, nullptr, nullptr));
  }
  e.pid = -1;
  const std::string out = e.output();
  for (int fd : conns) close(fd);
  EXPECT_EQ(conns.size(), 1u) << out;
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) != 0) << st;
  size_t lines = 0;
  for (size_t at = out.find("port " + a.port); at != std::string::npos; at = out.find("port " + a.port, at + 1))
    ++lines;
  EXPECT_EQ(lines, 1u) << out;
  EXPECT_NE(out.find("KivoNet connection to 127.0.0.1 failed(3) (port " + a.port + "): no answer within 2 s"),
            std::string::npos)
      << out;
}

// An engine asked to serve a remote terminal whose options stop parsing
// ends with its line and a failing status, on a terminal too: its peer gets
// nothing and no local screen starts.
TEST_F(SessionDeadlines, KivoXWithARefusedOptionEndsWithItsLineAndNoLocalScreen) {
  installation in;
  acceptor a;
  kivo_test::pty_child c({KIVO_BINARY, "-x=" + a.port, "-t=zzz"}, in.dir.path, in.env());
  pollfd p{a.fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, kDeadlineMs), 1) << "no connection came";
  const int peer = accept(a.fd, nullptr, nullptr);
  EXPECT_EQ(read_to_eof(peer), "");
  close(peer);
  const int st = c.finish();
  EXPECT_TRUE(st > 0 && st < 128) << st << c.output();
  EXPECT_NE(c.output().find("process type \"zzz\" does not exist"), std::string::npos) << c.output();
  EXPECT_EQ(c.output().find("\x1b[?1049h"), std::string::npos) << "a local screen started";
  EXPECT_EQ(c.output().find("KIVO MENU"), std::string::npos) << c.output();
}

}  // namespace
