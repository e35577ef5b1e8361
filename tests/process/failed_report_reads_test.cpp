// A report whose reads fail part-way, as a user meets it between real
// processes on 127.0.0.1: the demonstration's CUSTOMER LIST in an engine
// under tmux, its files served by a data server that the test listener
// starts, a relay between them. The engine is held at a write of its print
// file well into the list; there its server is killed, or the relay cuts
// or silences the connection; then the engine goes on. The report keeps no
// print, says why, and the session it started ends with the run's end code.
// So does a report whose terminal is gone when a run-time error waits for
// a key.
#include <signal.h>

#include "../net/net_session.h"
#include "../net/test_relay.h"
#include "input_test_util.h"
#include "net/netio.h"

namespace kivo::test {
namespace {

constexpr int kBound = 2;  // seconds: the client's request and handshake bounds

// A list of the customers that meets a run-time error at customer C01500:
// its READ of an account that is not there must succeed (FAIL 1); and an
// update that raises each customer's balance.
constexpr const char* kFailingList = R"(APPLICATION DEM 01
PROCESS 3 "FAILING LIST" pcf_ap=DEM pcf_file=CUSTOMER
FRAME 3 "FAILING LIST" 0 1 enabled=1 kind=0
IMAGE 3 "FAILING LIST" 0 1 1 kind=3 rows=1 cols=60
ITEM 3 "FAILING LIST" 0 1 1 1 1 ap=DEM field="CUST NO"
ITEM 3 "FAILING LIST" 0 1 1 1 9 ap=DEM field=NAME
STMTS 3 "FAILING LIST" ep=1
      SET      0LA OUT1 MODE                  =      3
END
STMTS 3 "FAILING LIST" ep=21 frame=0,1
      IF       DEM CUST NO                    EQ     C01500
T     READ     DEM ACCOUNT        0         1
END
PROCESS 7 "RAISE BALANCES" pcf_ap=DEM pcf_file=CUSTOMER pcf_update=1
FRAME 7 "RAISE BALANCES" 0 1 enabled=1 kind=0
STMTS 7 "RAISE BALANCES" ep=21 frame=0,1
      COMPUTE  DEM BALANCE                    +      1
      REWRITE  DEM CUSTOMER                 0
END
)";

// The server's installation: customers (KIVO_TEST_REPORT_CUSTOMERS, at
// least 2000: several writes of the print file before the one the engine
// is held at) put into CUSTOMER by kivo -i, and the failing list.
void fill_server(const installation& in) {
  const char* env_n = getenv("KIVO_TEST_REPORT_CUSTOMERS");
  const int n = std::max(env_n ? atoi(env_n) : 0, 2000);  // the failing list fails at 1500
  const std::string base = in.dir.file("DEM/DEM/Data/CUSTOMER");
  unlink((base + ".dat").c_str()), unlink((base + ".key").c_str());
  {
    std::ofstream flat(base, std::ios::binary);
    char rec[64];
    for (int i = 1; i <= n; ++i) {
      flat.write(rec, snprintf(rec, sizeof rec, "C%05dName %-25d", i, i));
      flat.write("\0\0\0\x12\x0c\xff\xff\xff\xff\n", 10);  // balance 1.20, no date
    }
  }
  std::string cmd = "cd " + shell_quote(in.dir.path) + " && env";
  for (const auto& [k, v] : in.env()) cmd += " " + shell_quote(k + "=" + v);
  ASSERT_EQ(system((cmd + " " + KIVO_BINARY + " -i=DEM/DEM/Data/CUSTOMER >/dev/null 2>&1 </dev/null").c_str()), 0);
  std::ofstream(in.dir.file("failing.dsgn")) << kFailingList;
  ASSERT_EQ(system((cmd + " " + KIVO_DESIGN + " -d . failing.dsgn >/dev/null 2>&1").c_str()), 0);
}

// The files of the client's print directory: with ".cfg" when `cfg`.
std::vector<std::string> prints(const kivo_test::data_dir& d, bool cfg) {
  std::vector<std::string> out;
  find_files(d.file("prt"), std::regex(cfg ? ".*\\.cfg" : ".*[^g]$"), &out);
  return out;
}

enum class fault { kill_server, cut, silence, terminal_lost };

// Each row: the engine held at its print's third write, the fault, then
// the engine let go. A session's first process ends with the status and
// the line that say why; from the menu, the menu's message row says it.
// Either way no print stays, with its ".cfg" or without.
TEST(FailedReadsMidWork, AReportWhoseReadsFailPartWayKeepsNoPrintAndSaysWhy) {
  const std::string list = " -d=DEM -a=DEM -t=output -p=CUSTOMER_LIST";
  const std::string failed = "\"CUSTOMER LIST\" failed: its primary file could not be read to its end: KivoNet: ";
  const struct {
    const char* what;
    fault how;
    std::string args;  // after the engine's name
    int status;        // -1: the menu goes on
    std::string says;  // in the pane's lines, or on the menu's message row
  } rows[] = {
      {"the server killed", fault::kill_server, list, 4, failed},
      {"the connection cut", fault::cut, list, 4, failed},
      {"the connection silent", fault::silence, list, 4, failed + "no answer from 127.0.0.1 port %P within 2 s"},
      {"the server killed under the menu", fault::kill_server, " -d=DEM", -1, "ERROR - *KivoNet: "},
      // The error's window waits for a key that cannot come.
      {"the terminal lost at a run-time error", fault::terminal_lost,
       " -d=DEM -a=DEM -t=output -p=FAILING_LIST </dev/null", 255, "kivo: input from the terminal ended"},
  };
  installation server;
  ASSERT_NO_FATAL_FAILURE(fill_server(server));
  std::vector<std::string> cmd{"/usr/bin/env"};
  for (const auto& [k, v] : server.env()) cmd.push_back(k + "=" + v);
  cmd.push_back(KIVO_BINARY);
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    listener lsn(false, cmd, nullptr);
    tcp_relay relay(lsn.port, r.how == fault::cut ? tcp_relay::CUT : tcp_relay::STALL);
    kivo_test::data_dir here;
    ASSERT_EQ(system(("mkdir -p " + here.file("prt") + " " + here.file("tst")).c_str()), 0);
    env_list env = kivo_test::engine_env(here.path);
    env.insert(env.end(), {{"KIVO_DATA_SERVER", "127.0.0.1:" + relay.port()},
                           {"KIVO_NET_REQUEST_TIMEOUT", std::to_string(kBound)},
                           {"KIVO_NET_HANDSHAKE_TIMEOUT", std::to_string(kBound)},
                           {"KIVO_PRT_FI_DIR", here.file("prt") + "/"},
                           {"KVTEST_GATE_NTH", "3"}});
    const env_list gate = gate_env(here, "/PRTFI");
    env.insert(env.end(), gate.begin(), gate.end());
    tmux_pane pane(shell_quote(KIVO_BINARY) + r.args, here.path, env);
    if (r.status < 0) {
      ASSERT_TRUE(pane.wait_for("DEM MENU")) << pane.capture();
      pane.send_keys("F1 2");
    }
    ASSERT_TRUE(held_at_gate(here)) << pane.capture();
    // The engine's one connection: the listener's one data server.
    const std::string served =
        kivo_test::slurp("/proc/" + std::to_string(lsn.pid) + "/task/" + std::to_string(lsn.pid) + "/children");
    switch (r.how) {
      case fault::kill_server: ASSERT_EQ(kill(pid_t(atoi(served.c_str())), SIGKILL), 0) << served; break;
      case fault::cut: relay.act_at(std::string("\0\0\0\0", 4) + char(NETIO_RDNXT) + std::string("\0\0\0", 3)); break;
      case fault::silence: relay.stall(); break;
      case fault::terminal_lost: break;
    }
    std::ofstream(here.file("go")) << "";
    std::string says = r.says;
    if (says.find("%P") != std::string::npos) says.replace(says.find("%P"), 2, relay.port());
    if (r.status < 0) {
      EXPECT_TRUE(kivo_test::wait_until([&] { return pane.row(23).rfind(says, 0) == 0; }, kivo_test::kScreenWait))
          << pane.capture();
      EXPECT_NE(pane.capture().find("DEM MENU"), std::string::npos) << pane.capture();
    } else {
      EXPECT_EQ(pane.exit_status(), r.status) << pane.capture_history();
      std::string shown = pane.capture_history();  // its wrapped lines joined
      shown.erase(std::remove(shown.begin(), shown.end(), '\n'), shown.end());
      EXPECT_NE(shown.find(says), std::string::npos) << shown;
      EXPECT_EQ(shown.find("end code: 4") != std::string::npos, r.status == 4) << shown;
      // A lost connection names its server, however it went.
      EXPECT_EQ(shown.find("127.0.0.1 port " + relay.port()) != std::string::npos, r.status == 4) << shown;
    }
    EXPECT_EQ(prints(here, true), std::vector<std::string>{});
    EXPECT_EQ(prints(here, false), std::vector<std::string>{});
    if (r.how == fault::silence) relay.resume();
  }
}

// An update whose read after customer C01500's rewrite fails: the relay
// cuts the connection, or goes silent, as that read goes out. The run ends
// with 4 before its end and the session says why; a server reached again
// shows the failure in the run's action log first.
TEST(FailedReadsMidWork, AnUpdateWhoseReadsFailPartWayEndsWithFourAndSaysWhy) {
  const std::string failed = "\"RAISE BALANCES\" failed: its primary file could not be read to its end: KivoNet: ";
  const struct {
    const char* what;
    tcp_relay::action how;
    bool log_shown;  // the connection made again for the action log
    std::string says;
  } rows[] = {
      {"the connection cut", tcp_relay::CUT, true, failed},
      {"the connection silent", tcp_relay::STALL, false, failed + "no answer from 127.0.0.1 port %P within 2 s"},
  };
  installation server;
  ASSERT_NO_FATAL_FAILURE(fill_server(server));
  std::vector<std::string> cmd{"/usr/bin/env"};
  for (const auto& [k, v] : server.env()) cmd.push_back(k + "=" + v);
  cmd.push_back(KIVO_BINARY);
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    listener lsn(false, cmd, nullptr);
    tcp_relay relay(lsn.port, r.how);
    // The rewrite of C01500, then the read that follows it.
    relay.act_at("C01500Name 1500", std::string("\0\0\0\0", 4) + char(NETIO_RDNXT) + std::string("\0\0\0", 3));
    kivo_test::data_dir here;
    env_list env = kivo_test::engine_env(here.path);
    env.insert(env.end(), {{"KIVO_DATA_SERVER", "127.0.0.1:" + relay.port()},
                           {"KIVO_NET_REQUEST_TIMEOUT", std::to_string(kBound)},
                           {"KIVO_NET_HANDSHAKE_TIMEOUT", std::to_string(kBound)}});
    tmux_pane pane(shell_quote(KIVO_BINARY) + " -d=DEM -a=DEM -t=update -p=RAISE_BALANCES", here.path, env);
    if (r.log_shown) {
      ASSERT_TRUE(pane.wait_for("ACTION LOG")) << pane.capture();
      pane.send_keys("F9");  // NEXT RECORD: its one line
      EXPECT_TRUE(pane.wait_for("KivoNet")) << pane.capture();
      pane.send_keys("S-F1");
    }
    EXPECT_EQ(pane.exit_status(), 4) << pane.capture_history();
    // The wrapped lines joined, blanks aside (a row may end at one).
    auto bare = [](std::string t) {
      t.erase(std::remove_if(t.begin(), t.end(), [](char c) { return c == '\n' || c == ' '; }), t.end());
      return t;
    };
    const std::string shown = bare(pane.capture_history());
    std::string says = r.says;
    if (says.find("%P") != std::string::npos) says.replace(says.find("%P"), 2, relay.port());
    EXPECT_NE(shown.find(bare(says)), std::string::npos) << shown;
    EXPECT_NE(shown.find("endcode:4"), std::string::npos) << shown;
  }
}

}  // namespace
}  // namespace kivo::test
