// Data-server failures as a user meets them, between real processes on
// 127.0.0.1: the engine under tmux as the client, the test listener
// starting its data servers, and between them a relay that can go silent
// as a stopped relay or a cut network would. A change whose answer never
// came may have been made and says so; a read in an outage gives the
// connection's error with its words; a start that cannot reach its server
// ends in one line; a client that vanished loses its lock within its
// keepalive bound; long texts on the screen keep what they say of why.
// Every bound is set small through its environment variable; every wait is
// for the event expected, bounded by what only a fault reaches.
#include <fcntl.h>

#include "data_server_session.h"
#include "foundation/bytes.h"
#include "foundation/text.h"
#include "net/netio.h"
#include "store/lock.h"

using namespace kivo;
using namespace kivo::test;

namespace {

// A change sent whole whose answer does not come within the request's
// bound (the relay went silent) may have been made: the message row says
// so, never that it failed; once the server is back the change is found
// made.
TEST(DataServerFailures, AChangeWithoutAnswerMayHaveBeenMadeAndIsFoundMade) {
  const struct {
    const char* what;
    uint8_t request;                  // whose answer does not come
    std::string mark;                 // which its data holds
    std::vector<std::string> before;  // keys up to the change (tmux names, "=text" typed)
    std::string no, expect;           // then looked up: what the screen shows
  } rows[] = {
      {"an add", NETIO_WRITE, "Bob", kAdd, "7002", "Bob"},
      {"a change", NETIO_REWRITE, "Zed", kChange, "7001", "Zed"},
      {"a delete", NETIO_DEL, "", kDelete, "7001", "Record not found"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    data_server srv;
    installation here;
    auto pane = data_client(here, srv.relay->port());
    ASSERT_TRUE(ann_added(*pane)) << pane->capture();
    send_all(*pane, r.before);
    if (std::string(r.what) == "a change") {
      ASSERT_TRUE(pane->wait_for("Zed")) << pane->capture();
    }
    // The relay goes silent as the change's request (its command header)
    // goes out whole to the server.
    srv.relay->act_at(request_header(r.request), r.mark);
    r.before.back() == "F2" ? pane->send_keys("F11") : pane->send_hex("\r");
    // The row holds the start and the end of the text; the log the whole.
    EXPECT_TRUE(kivo_test::wait_until(
        [&] {
          const std::string row = message_row(*pane);
          return row.find("ERROR - *KivoNet: no") == 0 &&
                 row.find("may have been made; look the record up again") != std::string::npos;
        },
        kivo_test::kScreenWait))
        << pane->capture();
    EXPECT_NE(kivo_test::slurp(here.dir.file("syserr"))
                  .find("KivoNet: no answer from 127.0.0.1 port " + srv.relay->port() +
                        " within 2 s: the change may have been made; look the record up again"),
              std::string::npos);
    srv.relay->resume();
    EXPECT_TRUE(look_up_until(*pane, r.no, r.expect)) << pane->capture();
    EXPECT_EQ(pane->capture().find("Unable to translate"), std::string::npos) << pane->capture();
  }
}

// While the server is away (the relay silent, new connections unanswered)
// every failure of a read names the connection and why, with its words:
// never "Record not found", "End of file" or "Unable to translate message";
// so does a change asked for when that failure left nothing shown. A
// message of the session's own (a balance that is no number) has its words
// too, though they lie in the server's message file.
TEST(DataServerFailures, AReadInAnOutageGivesTheConnectionsErrorWithItsText) {
  data_server srv;
  installation here;
  auto pane = data_client(here, srv.relay->port());
  ASSERT_TRUE(customer_entry(*pane)) << pane->capture();
  pane->send_keys("F10"), type_customer(*pane, "7001", "Ann"), pane->send_hex("\r");
  ASSERT_TRUE(pane->wait_for("RECORD ADDED")) << pane->capture();
  srv.relay->stall();
  const std::string port = "port " + srv.relay->port();
  const struct {
    const char* what;
    std::vector<std::string> keys;
    std::string says;  // the message row begins so
    bool server;       // and names the server's port
  } rows[] = {
      {"an inquiry", {"F12", "=7001", "Enter"}, "ERROR - *KivoNet: no answer", true},
      {"the next record", {"F9"}, "ERROR - *KivoNet", true},
      {"an inquiry again", {"F12", "=7001", "Enter"}, "ERROR - *KivoNet", true},
      {"a change", {"S-F2"}, "ERROR - *KivoNet", true},
      {"a balance that is no number", {"F10", "=7005", "Tab", "=Bo", "Tab", "=abc", "Enter"}, "Not a number", false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    // The message row empties at the next key, so what it shows next is
    // this row's.
    pane->send_keys("F12");
    ASSERT_TRUE(kivo_test::wait_until([&] { return message_row(*pane).empty(); }, kivo_test::kScreenWait))
        << pane->capture();
    send_all(*pane, r.keys);
    EXPECT_TRUE(kivo_test::wait_until(
        [&] {
          const std::string row = message_row(*pane);
          return row.find(r.says) == 0 && (!r.server || row.find(port) != std::string::npos);
        },
        kivo_test::kScreenWait))
        << pane->capture();
    const std::string row = message_row(*pane);
    for (const char* never : {"Record not found", "End of file", "Unable to translate"})
      EXPECT_EQ(row.find(never), std::string::npos) << row;
    EXPECT_EQ(pane->capture().find("System Error"), std::string::npos) << pane->capture();
  }
}

// A start whose server cannot be reached (the relay silent from the first
// byte, or from the start's look-up of its key names) ends with one line
// that names the server and the cause, and no key name reported unknown.
TEST(DataServerFailures, AStartThatCannotReachItsServerSaysSoInOneLine) {
  const struct {
    const char* what;
    std::string trigger;  // empty: silent from the start
    std::string cause;
  } rows[] = {
      {"silent from the start", "", "KivoNet connection to 127.0.0.1 failed(3) (port %P): no answer within 2 s"},
      {"silent at the key names", "TOKEN   ", "KivoNet: no answer from 127.0.0.1 port %P within 2 s"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    data_server srv(r.trigger);
    if (r.trigger.empty()) srv.relay->stall();
    installation here;
    std::ofstream(here.dir.file("keys.scr")) << "#ADD MODE\n7001\n#TAB\nAnn\n#ENTER\n";
    auto pane = data_client(here, srv.relay->port(), {{"KIVO_SCRIPT_IN", here.dir.file("keys.scr")}});
    EXPECT_EQ(pane->exit_status(), kTmnetLostExit) << pane->capture_history();
    std::string cause = r.cause;
    cause.replace(cause.find("%P"), 2, srv.relay->port());
    // The pane, its wrapped lines joined, without tmux's own last line: the
    // failure's line and nothing else.
    std::string out = pane->capture_history();
    out = out.substr(0, out.find("Pane is dead"));
    out.erase(std::remove(out.begin(), out.end(), '\n'), out.end());
    out.erase(out.find_last_not_of(' ') + 1);
    EXPECT_EQ(out, "KIVO Startup Failure: " + cause);
  }
}

// A client in CHANGE MODE whose connection silently vanishes (the relay
// silent, then the client killed) holds its lock only until its keepalive
// bound has passed: its data server ends the session, and another client's
// CHANGE MODE then holds the customer. A client that idles past the bound
// keeps its session, its keepalive going meanwhile.
TEST(DataServerFailures, AVanishedClientsLockIsReleasedWithinTheKeepaliveBound) {
  data_server srv;
  installation one, two;
  auto a = data_client(one, srv.relay->port(), {{"KIVO_NET_KEEPALIVE_TIMEOUT", kBoundText}});
  ASSERT_TRUE(customer_entry(*a)) << a->capture();
  a->send_keys("F10"), type_customer(*a, "7001", "Ann"), a->send_hex("\r");
  ASSERT_TRUE(a->wait_for("RECORD ADDED")) << a->capture();
  a->send_keys("F12"), a->send_text("7001"), a->send_hex("\r");
  ASSERT_TRUE(a->wait_for("RECORD READ")) << a->capture();
  a->send_keys("S-F2");
  ASSERT_TRUE(a->wait_for("CHANGE")) << a->capture();
  ASSERT_EQ(srv.sessions().size(), 1u);
  const pid_t held = srv.sessions()[0];
  EXPECT_FALSE(kivo_test::wait_until([&] { return !srv.runs(held); }, 2 * kBound + 1)) << "an idle client lost";

  auto b = data_client(two, srv.lsn->port);
  ASSERT_TRUE(customer_entry(*b)) << b->capture();
  b->send_keys("F12"), b->send_text("7001"), b->send_hex("\r");
  ASSERT_TRUE(b->wait_for("RECORD READ")) << b->capture();
  b->send_keys("S-F2");
  ASSERT_TRUE(b->wait_for("Record locked by another user")) << b->capture();

  srv.relay->stall();
  a->kill_command(SIGKILL);
  EXPECT_TRUE(kivo_test::wait_until([&] { return !srv.runs(held); }, kivo_test::kScreenWait))
      << "the vanished client's session goes on";
  b->send_keys("F12"), b->send_text("7001"), b->send_hex("\r");
  ASSERT_TRUE(kivo_test::wait_until([&] { return message_row(*b) == "RECORD READ"; }, kivo_test::kScreenWait))
      << b->capture();
  b->send_keys("S-F2");
  EXPECT_TRUE(
      kivo_test::wait_until([&] { return b->row(22).find("CHANGE") != std::string::npos; }, kivo_test::kScreenWait))
      << b->capture();
  EXPECT_EQ(b->capture().find("Record locked"), std::string::npos) << b->capture();
}

// A wait for a lock held by another process, on an 80-column screen, shows
// its line with the data file's path shortened to its first "/", "..." and
// its part from the last "/"; the line goes when the lock is granted.
TEST(DataServerFailures, TheLockWaitLineShortensItsPath) {
  kivo_test::data_dir d;
  const std::string root = d.path + "/an-installation-whose-directory-name-is-long";
  ASSERT_TRUE(kivo_test::copy_shipped_installation(root));
  const int fd = open((root + "/DEM/DEM/Data/CUSTOMER.dat").c_str(), O_RDWR);
  flock update{};  // the data file's update lock, as a writer holds it
  update.l_type = F_WRLCK, update.l_whence = SEEK_SET, update.l_len = 1;
  ASSERT_EQ(fcntl(fd, F_SETLK, &update), 0);
  tmux_pane pane(shell_quote(KIVO_BINARY) + " -d=DEM", root, kivo_test::engine_env(root));
  ASSERT_TRUE(customer_entry(pane)) << pane.capture();
  pane.send_keys("F10"), type_customer(pane, "7001", "Ann"), pane.send_hex("\r");
  const std::string line = "Waiting for lock held by process " + std::to_string(getpid()) + " in /.../CUSTOMER.dat";
  EXPECT_TRUE(pane.wait_for(line)) << pane.capture();
  EXPECT_EQ(pane.capture().find("an-installation"), std::string::npos) << pane.capture();
  close(fd);
  EXPECT_TRUE(pane.wait_for("RECORD ADDED")) << pane.capture();
  EXPECT_EQ(pane.capture().find("Waiting for lock"), std::string::npos) << pane.capture();
}

// The client announces its keepalive bound in the high half of the option
// word of its handshake (seconds, 1-65535; else 180), whatever
// KIVO_NET_OPTIONS says there; the low half stays the variable's. Read off
// the wire by a server of the test's own.
TEST(DataServerFailures, TheClientAnnouncesItsKeepaliveBoundInTheOptionWord) {
  const struct {
    const char* bound;    // KIVO_NET_KEEPALIVE_TIMEOUT; null: unset
    const char* options;  // KIVO_NET_OPTIONS
    uint32_t word;
  } rows[] = {
      {nullptr, "0", 180u << 16},    {"3", "0", 3u << 16},
      {"65535", "0", 0xFFFFu << 16}, {"0", "0", 180u << 16},
      {"65536", "0", 180u << 16},    {"2x", "0", 180u << 16},
      {"7", "0xFFFF0000", 7u << 16}, {"7", "0x00080010", 7u << 16 | 0x10},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.bound ? r.bound : "unset") + " " + r.options);
    installation here;
    acceptor a;
    env_list env{{"KIVO_DATA_SERVER", "127.0.0.1:" + a.port}, {"KIVO_NET_OPTIONS", r.options}};
    if (r.bound) env.push_back({"KIVO_NET_KEEPALIVE_TIMEOUT", r.bound});
    engine_proc e(here, {"-d=DEM"}, env);
    const int s = take_login(a);
    ASSERT_GE(s, 0);
    ASSERT_TRUE(put(s, {0, 4}));  // the data server's REPLY
    // The probes (2 and 4 bytes), the pause (1), the log mask and the option word.
    const std::string got = read_n(s, 2 + 4 + 1 + 4 + 4);
    close(s);
    ASSERT_EQ(got.size(), 15u);
    EXPECT_EQ(ld_le32(reinterpret_cast<const uint8_t*>(got.data()), 11), r.word);
  }
}

// A message longer than its line is shortened in its middle: its start and
// the end that says why are kept, on word boundaries where they lie near.
TEST(DataServerFailures, ALongMessageIsShortenedInItsMiddle) {
  const std::string refused =
                        "ERROR - *KivoNet connection to 127.0.0.1 failed(3) (port 43010): the server closed"
                        " the connection",
                    unsure =
                        "ERROR - *KivoNet: no answer from 127.0.0.1 port 43010 within 3 s: the change may have"
                        " been made; look the record up again";
  const struct {
    std::string text;
    size_t width;
    std::string want;
  } rows[] = {
      {"RECORD ADDED", 80, "RECORD ADDED"},
      {std::string(80, 'x'), 80, std::string(80, 'x')},
      {refused, 80, "ERROR - *KivoNet connection ... (port 43010): the server closed the connection"},
      {unsure, 80, "ERROR - *KivoNet: no ... change may have been made; look the record up again"},
      {refused, 40, "ERROR - *KivoN ... closed the connection"},
      {std::string(90, 'x'), 80, std::string(30, 'x') + " ... " + std::string(45, 'x')},
      {refused, 12, "ERROR - *Kiv"},
  };
  for (const auto& r : rows) {
    const std::string got = ut_fit_middle(r.text, r.width);
    EXPECT_EQ(got, r.want) << r.text << " in " << r.width;
    EXPECT_LE(got.size(), r.width);
  }
}

}  // namespace
