// The test listener and the -x option as real processes: a LOGIN accepted
// starts the command on the connection at descriptor 3 or more with the
// start argument honoured, a malformed one is refused; kivo -x connects to
// an acceptor on 127.0.0.1 and closes what it made when parsing stops.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstring>
#include <string>
#include <vector>

#include "net/tmnet_login.h"
#include "net_test_util.h"

using namespace kivo;
using namespace kivo::test;

namespace {

class NetListener : public NetFixture {};

struct login_case {
  const char* name;
  tmnet_login login;
  bool unterminated_user;
  uint8_t accepted;
  std::string args;  // after -f=N
};

TEST_F(NetListener, LoginStartsTheCommandOnTheConnection) {
  const login_case cases[] = {
      {"terminal session", {"ann", "pw", false, "", 4}, false, 1, ""},
      {"data link", {"ann", "pw", false, kLoginDataServer, 4}, false, 1, "-fms_server "},
      {"key definition", {"ann", "pw", true, "", 4}, false, 1, "-k "},
      {"user without its zero", {"ann", "pw", false, "", 4}, true, 0, ""},
      {"start argument the engine does not know", {"ann", "pw", false, "-i=/etc/passwd", 4}, false, 0, ""},
  };
  tmnet_role = TMNET_ROLE_DATA_LINK;
  for (const login_case& c : cases) {
    listener lsn(c.accepted == 1, {NET_PROBE}, "elsewhere:7000");
    ASSERT_FALSE(lsn.port.empty()) << c.name;
    const int fd = tmnet_cli_conn_to_host("127.0.0.1", lsn.port.c_str());
    ASSERT_GE(fd, 3) << c.name;
    uint8_t block[kLoginSize];
    ASSERT_TRUE(login_build(c.login, block));
    if (c.unterminated_user) memset(block + LOGIN_USER, 'u', kLoginUserSize);
    ASSERT_EQ(tmnet_send_msg(fd, TMNET_LOGIN, sizeof block, block), 1);
    uint8_t reply[kReplySize] = {};
    tmnet_set_timeout(kDeadlineMs / 1000);
    ASSERT_EQ(tmnet_recv_msg(fd, TMNET_REPLY, sizeof reply, reply), 1) << c.name;
    EXPECT_EQ(reply[0], 3) << c.name;
    EXPECT_EQ(reply[1], c.accepted) << c.name;
    const std::string line = read_to_eof(fd);
    close(fd);
    if (!c.accepted) {
      EXPECT_EQ(line, "") << c.name << ": a refused connection is closed";
      continue;
    }
    // "-f=N <args>|KIVO_DATA_SERVER=unset"
    ASSERT_EQ(line.compare(0, 3, "-f="), 0) << c.name << ": " << line;
    const size_t sp = line.find(' ');
    EXPECT_GE(atoi(line.substr(3, sp - 3).c_str()), 3) << line;
    EXPECT_EQ(line.substr(sp + 1), c.args + "|KIVO_DATA_SERVER=unset\n") << c.name;
    EXPECT_TRUE(WIFEXITED(reap(lsn.pid))) << c.name;
  }
}

// The engine's side of the handshake comes, then (the test saying nothing)
// the close at the handshake's bound; options that stop parsing close the
// connection before any byte.
TEST_F(NetListener, KivoXConnectsAndClosesWhatParsingRefuses) {
  acceptor lsn;
  setenv("KIVO_NET_HANDSHAKE_TIMEOUT", "2", 1);
  const struct {
    std::vector<std::string> args;
    size_t bytes;  // REPLY {2, version}, the INIT header and its flag
  } cases[] = {
      {{"-x=" + lsn.port}, 11},
      {{"-x=localhost:" + lsn.port}, 11},
      {{"-x=" + lsn.port, "-t=zzz"}, 0},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv{KIVO_BINARY};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const pid_t pid = spawn(argv, -1, false);
    pollfd p{lsn.fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, kDeadlineMs), 1) << c.args[0] << ": no connection came";
    const int peer = accept(lsn.fd, nullptr, nullptr);
    EXPECT_EQ(read_to_eof(peer).size(), c.bytes) << c.args.back();
    close(peer);
    const int st = reap(pid);
    EXPECT_TRUE(WIFEXITED(st)) << c.args.back() << ": ended by a signal";
  }
  unsetenv("KIVO_NET_HANDSHAKE_TIMEOUT");
}

TEST_F(NetListener, KivoXThatCannotConnectEndsStartUp) {
  std::string port;
  {
    acceptor gone;
    port = gone.port;
  }
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  const pid_t pid = spawn({KIVO_BINARY, "-x=" + port}, p[1], false);
  close(p[1]);
  const std::string out = read_to_eof(p[0]);
  close(p[0]);
  const int st = reap(pid);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 1);
  EXPECT_NE(out.find("127.0.0.1"), std::string::npos) << out;
  EXPECT_NE(out.find(port), std::string::npos) << out;
}

}  // namespace
