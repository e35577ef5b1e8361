// The message layer over real sockets: socket pairs for the failures a
// peer can cause (a wrong header, a close inside a message, a signal in a
// blocked read, a send to a peer that has gone, half a message before the
// deadline) and loopback TCP for the outgoing connection.
#include <fcntl.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "net_test_util.h"

using namespace kivo;
using namespace kivo::test;

namespace {

class NetSockets : public NetFixture {};

struct pair_case {
  const char* name;
  uint8_t role;
  bytes sent;
  bool close_after;
  int rc;
  tmnet_status status;
  bool ends_process;
};

TEST_F(NetSockets, PeerFaultsEndTheConnectionByRole) {
  const uint8_t S = TMNET_ROLE_SERVER, L = TMNET_ROLE_DATA_LINK;
  const pair_case cases[] = {
      {"header longer than expected", S, cat(header(21, 4), {1, 2, 3, 4}), false, 0, TMNET_PROTOCOL, true},
      {"unexpected code", S, cat(header(22, 2), {1, 2}), false, 0, TMNET_PROTOCOL, true},
      {"close inside the header", S, {0, 0, 0, 2, 21}, true, 0, TMNET_LOST, true},
      {"close inside the payload", S, cat(header(21, 2), {1}), true, 0, TMNET_LOST, true},
      {"close inside the payload, data link", L, cat(header(21, 2), {1}), true, 0, TMNET_LOST, false},
      {"unexpected code, data link", L, cat(header(22, 2), {1, 2}), false, 0, TMNET_PROTOCOL, false},
      {"the expected message", S, cat(header(21, 2), {1, 2}), false, 1, TMNET_OK, false},
  };
  for (const pair_case& c : cases) {
    exits().clear();
    tmnet_role = c.role;
    sock_pair sp;
    sp.put(c.sent);
    if (c.close_after) sp.close_far();
    uint8_t buf[2];
    EXPECT_EQ(tmnet_recv_msg(sp.near, 0x8015, 2, buf), c.rc) << c.name;
    EXPECT_EQ(tmnet_last_status(), c.status) << c.name;
    EXPECT_EQ(exits(), c.ends_process ? std::vector<int>{255} : std::vector<int>{}) << c.name;
    if (c.role == L && !c.close_after) {
      EXPECT_EQ(recv(sp.far, buf, 1, MSG_DONTWAIT), 0) << c.name << ": the data link drops the connection";
    }
  }
}

// Each tick of the interval timer delivers one more byte of the message,
// so that the reader is blocked, and interrupted, between the bytes.
int g_far = -1;
const uint8_t kTicked[] = {0, 0, 0, 4, 21, 0, 0, 0, 'a', 'b', 'c', 'd'};
size_t g_ticks = 0;
int g_eintr = 0;

void tick(int) {
  const int saved = errno;
  if (g_ticks < sizeof kTicked && write(g_far, &kTicked[g_ticks], 1) == 1) ++g_ticks;
  errno = saved;
}

// A socket call's result, counting the calls a signal interrupted.
template <typename R>
R counted(R r) {
  if (r < 0 && errno == EINTR) ++g_eintr;
  return r;
}

TEST_F(NetSockets, SignalDuringABlockedReadIsRetried) {
  struct sigaction sa {
  }, old{};
  sa.sa_handler = tick;  // no SA_RESTART: the blocked call returns EINTR
  sigaction(SIGALRM, &sa, &old);
  net_io.recv = [](int sock, void* buf, size_t n) { return counted(net_socket_calls().recv(sock, buf, n)); };
  net_io.wait = [](int sock, int ms) { return counted(net_socket_calls().wait(sock, ms)); };
  for (int timeout : {-1, 30}) {
    sock_pair sp;
    g_far = sp.far;
    g_ticks = 0;
    g_eintr = 0;
    itimerval every{{0, 3000}, {0, 3000}};
    setitimer(ITIMER_REAL, &every, nullptr);
    tmnet_set_timeout(timeout);
    uint8_t buf[4] = {};
    const int rc = tmnet_recv_msg(sp.near, 0x8015, 4, buf);
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    EXPECT_EQ(rc, 1) << "time-out " << timeout;
    EXPECT_EQ(std::string(buf, buf + 4), "abcd");
    EXPECT_GT(g_eintr, 0) << "no call was interrupted";
    EXPECT_TRUE(exits().empty());
  }
  net_use_memory(nullptr);
  sigaction(SIGALRM, &old, nullptr);
}

TEST_F(NetSockets, SendToAPeerThatHasGoneFailsWithoutSigpipe) {
  const struct {
    uint8_t role;
    bool ends_process;
  } cases[] = {{TMNET_ROLE_DATA_LINK, false}, {TMNET_ROLE_SERVER, true}, {TMNET_ROLE_CLIENT, true}};
  const bytes big(1 << 20, 'z');  // more than the socket buffers hold
  for (const auto& c : cases) {
    exits().clear();
    tmnet_role = c.role;
    sock_pair sp;
    sp.close_far();
    EXPECT_EQ(tmnet_send_msg(sp.near, 0x8015, big.size(), big.data()), 0);
    EXPECT_EQ(tmnet_last_status(), TMNET_LOST);
    EXPECT_EQ(exits(), c.ends_process ? std::vector<int>{255} : std::vector<int>{}) << int{c.role};
  }
}

TEST_F(NetSockets, TimedReceiveOfHalfAMessageEndsAtTheDeadline) {
  for (uint16_t type : {uint16_t{TMNET_REPLY}, uint16_t{0x8003}}) {
    sock_pair sp;
    sp.put(type == TMNET_REPLY ? bytes{3} : cat(header(3, 2), {3}));
    tmnet_set_timeout(1);
    uint8_t buf[2];
    EXPECT_EQ(tmnet_recv_msg(sp.near, type, 2, buf), 0);
    EXPECT_EQ(tmnet_last_status(), TMNET_TIMEOUT);
    EXPECT_TRUE(exits().empty()) << "a time-out is the caller's to handle";
    // A time-out leaves the connection open for the caller to decide.
    sp.put({1, 3, 1});
    EXPECT_EQ(tmnet_recv_msg(sp.near, TMNET_REPLY, 2, buf), 1);
  }
}

int nodelay(int fd) {
  int v = -1;
  socklen_t len = sizeof v;
  getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &v, &len);
  return v;
}

TEST_F(NetSockets, LoopbackConnectionCarriesMessagesBothWays) {
  acceptor lsn;
  for (const char* host : {"127.0.0.1", "localhost"}) {
    const int fd = tmnet_cli_conn_to_host(host, lsn.port.c_str());
    ASSERT_GE(fd, 3) << host;
    const int peer = accept(lsn.fd, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_EQ(nodelay(fd), 1);
    const uint8_t ping[] = {7, 7};
    ASSERT_EQ(tmnet_send_msg(fd, 0x8019, 2, ping), 1);
    uint8_t got[2];
    ASSERT_EQ(tmnet_recv_msg(peer, 0x8019, 2, got), 1);
    ASSERT_EQ(tmnet_send_msg(peer, TMNET_REPLY, 2, ping), 1);
    ASSERT_EQ(tmnet_recv_msg(fd, TMNET_REPLY, 2, got), 1);

    cstr trm{0, nullptr};
    tmnet_get_remote_host(peer, &trm);
    EXPECT_STREQ(tmnet_remote_addr(), "127.0.0.1");
    ASSERT_NE(trm.ptr, nullptr);
    EXPECT_EQ(std::string(trm.ptr, trm.len), tmnet_remote_name());
    close(peer);
    close(fd);
  }
  setenv("KIVO_DISABLE_TCP_NODELAY", "1", 1);
  const int fd = tmnet_cli_conn_to_host("127.0.0.1", lsn.port.c_str());
  unsetenv("KIVO_DISABLE_TCP_NODELAY");
  EXPECT_EQ(nodelay(fd), 0);
  close(fd);

  sock_pair sp;  // no IPv4 peer
  char kept[] = "tty1";
  cstr trm{4, kept};
  tmnet_get_remote_host(sp.near, &trm);
  EXPECT_STREQ(tmnet_remote_name(), "UNKNOWN_HOST");
  EXPECT_EQ(trm.ptr, kept);
}

TEST_F(NetSockets, ConnectionsThatCannotBeMadeReturnZero) {
  std::string closed_port;
  {
    acceptor gone;
    closed_port = gone.port;
  }
  const struct {
    const char* host;
    std::string port;
  } cases[] = {
      {"127.0.0.1", closed_port}, {"0.0.0.0", closed_port}, {"255.255.255.255", closed_port},
      {"127.0.0.1", "0"},         {"127.0.0.1", "99999"},   {"127.0.0.1", "no-such-service"},
      {"127.0.0.1", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(tmnet_cli_conn_to_host(c.host, c.port.c_str()), 0) << c.host << ":" << c.port;
}

}  // namespace
