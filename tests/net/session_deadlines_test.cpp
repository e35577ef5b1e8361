// Waits for a silent peer end at the handshake's bound, between real
// processes on 127.0.0.1: kivo -x against a peer that accepts and says
// nothing, a -f=N server, a data server and the test listener against a
// client that says nothing; SIGTERM ends each while it waits. The bound is
// 2 s here, so the group stays short; each test waits for the event it
// expects (a close, an exit) with a bound only a fault reaches.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "net/tmnet_login.h"
#include "net_test_util.h"

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
};

// The 11 bytes of the server's side of the handshake: REPLY {2, version},
// the INIT header and its flag byte.
constexpr size_t kServerHello = 11;

std::string read_n(int fd, size_t n) {
  std::string got;
  char c;
  pollfd p{fd, POLLIN, 0};
  while (got.size() < n && poll(&p, 1, kDeadlineMs) == 1 && read(fd, &c, 1) == 1) got += c;
  return got;
}

// Whether the peer closes the connection, with nothing more sent, before
// the deadline.
bool closes(int fd) {
  char c;
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, kDeadlineMs) == 1 && read(fd, &c, 1) == 0;
}

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
// bound, and the listener takes the next connection afterwards.
TEST_F(SessionDeadlines, ServerDataServerAndListenerDropASilentClient) {
  const struct {
    const char* what;
    const char* start;  // the LOGIN's start argument; null: no LOGIN at all
    size_t hello;       // bytes the side sends before it waits
  } rows[] = {
      {"a -f=N server", "", kServerHello},
      {"the data server", kLoginDataServer, 2},
      {"the listener", nullptr, 0},
  };
  listener lsn(false, {KIVO_BINARY}, nullptr);
  ASSERT_FALSE(lsn.port.empty());
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    const int fd = r.start ? logged_in(lsn, r.start) : tmnet_cli_conn_to_host("127.0.0.1", lsn.port.c_str());
    ASSERT_GE(fd, 3);
    EXPECT_EQ(read_n(fd, r.hello).size(), r.hello);
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

}  // namespace
