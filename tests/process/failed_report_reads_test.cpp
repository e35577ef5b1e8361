// Reads that fail part-way between real processes on 127.0.0.1: an engine
// under tmux whose files a data server serves through a relay; its server
// killed, or the connection cut or silenced, mid-run. The run keeps no
// print, the session ends with the run's end code and says why.
#include "../net/data_server_session.h"
#include "input_test_util.h"
#include "net/netio.h"

namespace kivo::test {
namespace {

// A list of the customers that meets a run-time error at customer C01500
// (its READ of an account that is not there must succeed), and an update
// that raises each customer's balance.
constexpr const char* kFailingRuns = R"(APPLICATION DEM 01
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
const std::string kReadNext = std::string("\0\0\0\0", 4) + char(NETIO_RDNXT) + std::string("\0\0\0", 3);

// The server's CUSTOMER: KIVO_TEST_REPORT_CUSTOMERS customers, at least 2000
// (several writes of a print before the one an engine is held at) put in by
// kivo -i; and the runs above.
void fill_server(const installation& in) {
  const char* env_n = getenv("KIVO_TEST_REPORT_CUSTOMERS");
  import_customers(in, std::max(env_n ? atoi(env_n) : 0, 2000));
  in.design(kFailingRuns);
}

// What a run named `run` says as its reads fail; a silent server is named.
std::string failed(const char* run, bool silent, const std::string& port) {
  return std::string("\"") + run + "\" failed: its primary file could not be read to its end: KivoNet: " +
         (silent ? "no answer from 127.0.0.1 port " + port + " within " + kBoundText + " s" : "");
}

// The session ends with `status` and says `says`; one that ends with 4
// names the end code and the server at `port`, however the connection went.
void ends_saying(tmux_pane& p, int status, const std::string& says, const std::string& port) {
  EXPECT_EQ(p.exit_status(), status) << p.capture_history();
  const std::string shown = kivo_test::squeezed(p.capture_history());
  EXPECT_NE(shown.find(kivo_test::squeezed(says)), std::string::npos) << shown;
  EXPECT_EQ(shown.find("endcode:4") != std::string::npos, status == 4) << shown;
  EXPECT_EQ(shown.find("127.0.0.1port" + port) != std::string::npos, status == 4) << shown;
}

enum class fault { kill_server, cut, silence, terminal_lost };

// Each row: the engine held at its print's third write, the fault, then the
// engine let go. A session's first process ends saying why; from the menu,
// the message row says it. Either way no print stays, with its ".cfg" or not.
TEST(FailedReadsMidWork, AReportWhoseReadsFailPartWayKeepsNoPrintAndSaysWhy) {
  const std::string list = "-d=DEM -a=DEM -t=output -p=CUSTOMER_LIST";
  const struct {
    const char* what;
    fault how;
    std::string args;
    int status;        // -1: the menu goes on
    const char* says;  // null: the run's failure
  } rows[] = {
      {"the server killed", fault::kill_server, list, 4, nullptr},
      {"the connection cut", fault::cut, list, 4, nullptr},
      {"the connection silent", fault::silence, list, 4, nullptr},
      {"the server killed under the menu", fault::kill_server, "-d=DEM", -1, "ERROR - *KivoNet: "},
      // The error's window waits for a key that cannot come.
      {"the terminal lost at a run-time error", fault::terminal_lost,
       "-d=DEM -a=DEM -t=output -p=FAILING_LIST </dev/null", 255, "kivo: input from the terminal ended"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    data_server srv("", r.how == fault::cut ? tcp_relay::CUT : tcp_relay::STALL);
    fill_server(srv.in);
    installation here;
    ASSERT_EQ(system(("mkdir -p " + here.dir.file("prt")).c_str()), 0);
    env_list more = gate_env(here.dir, "/PRTFI");
    more.insert(more.end(), {{"KIVO_PRT_FI_DIR", here.dir.file("prt") + "/"}, {"KVTEST_GATE_NTH", "3"}});
    auto pane = data_client(here, srv.relay->port(), more, r.args);
    if (r.status < 0) {
      ASSERT_TRUE(pane->wait_for("DEM MENU")) << pane->capture();
      pane->send_keys("F1 2");
    }
    ASSERT_TRUE(held_at_gate(here.dir)) << pane->capture();
    const std::vector<pid_t> served = srv.sessions();  // the engine's one connection
    ASSERT_EQ(served.size(), 1u);
    EXPECT_TRUE(r.how != fault::kill_server || kill(served[0], SIGKILL) == 0);
    if (r.how == fault::cut) srv.relay->act_at(kReadNext);
    if (r.how == fault::silence) srv.relay->stall();
    std::ofstream(here.dir.file("go")) << "";
    const std::string says = r.says ? r.says : failed("CUSTOMER LIST", r.how == fault::silence, srv.relay->port());
    if (r.status < 0) {
      EXPECT_TRUE(kivo_test::wait_until([&] { return message_row(*pane).rfind(says, 0) == 0; }, kivo_test::kScreenWait))
          << pane->capture();
      EXPECT_NE(pane->capture().find("DEM MENU"), std::string::npos) << pane->capture();
    } else {
      ends_saying(*pane, r.status, says, srv.relay->port());
    }
    std::vector<std::string> prints;
    find_files(here.dir.file("prt"), std::regex(".*"), &prints);
    EXPECT_EQ(prints, std::vector<std::string>{});
    if (r.how == fault::silence) srv.relay->resume();
  }
}

// An update whose read after customer C01500's rewrite fails as the relay
// cuts the connection or goes silent: the run ends with 4 and the session
// says why; a server reached again shows the failure in the action log first.
TEST(FailedReadsMidWork, AnUpdateWhoseReadsFailPartWayEndsWithFourAndSaysWhy) {
  for (const tcp_relay::action how : {tcp_relay::CUT, tcp_relay::STALL}) {
    SCOPED_TRACE(how == tcp_relay::CUT ? "cut" : "silent");
    data_server srv("", how);
    fill_server(srv.in);
    srv.relay->act_at("C01500Name 1500", kReadNext);
    installation here;
    auto pane = data_client(here, srv.relay->port(), {}, "-d=DEM -a=DEM -t=update -p=RAISE_BALANCES");
    if (how == tcp_relay::CUT) {
      ASSERT_TRUE(pane->wait_for("ACTION LOG")) << pane->capture();
      pane->send_keys("F9");  // NEXT RECORD: its one line
      EXPECT_TRUE(pane->wait_for("KivoNet")) << pane->capture();
      pane->send_keys("S-F1");
    }
    ends_saying(*pane, 4, failed("RAISE BALANCES", how == tcp_relay::STALL, srv.relay->port()), srv.relay->port());
  }
}

}  // namespace
}  // namespace kivo::test
