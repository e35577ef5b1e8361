// Failures part-way through a user's work, between real processes: the
// engine under tmux, the test listener's data servers on 127.0.0.1 behind a
// relay that goes silent or cuts.
#include "data_server_session.h"
#include "net/netio.h"

using namespace kivo;
using namespace kivo::test;

namespace {

// A change answered by its server, whose log then finds the connection cut
// as it opens its design file, is answered as done: the log's failure
// follows the answer and names the file, and the change is found made. An
// add cut in its own request (the relay never passed it on) may have been
// made and says so; it is found not made.
TEST(FailedReadsMidWork, AWriteAnsweredBeforeItsServerDiesKeepsItsAnswer) {
  const std::string lost_log =
      "the change log was not kept: the design file ELEMENT of DEM could not be read (KivoNet: ";
  const struct {
    const char* what;
    std::string trigger, mark;        // where the relay cuts
    std::vector<std::string> before;  // keys up to the change
    std::string answer, logged;       // the message row begins so; the error log holds
    std::string no, expect;           // then looked up: what the screen shows
  } rows[] = {
      {"an add", "ELEMENT ", "", kAdd, "RECORD ADDED", lost_log, "7002", "Bob"},
      {"a change", "ELEMENT ", "", kChange, "RECORD CHANGED", lost_log, "7001", "Zed"},
      {"a delete", "ELEMENT ", "", kDelete, "RECORD DELETED", lost_log, "7001", "Record not found"},
      {"an add, its log cut at SYSPARM", "SYSPARM ", "", kAdd, "RECORD ADDED", "KivoNet: ", "7002", "Bob"},
      {"an add cut in its request", request_header(NETIO_WRITE), "Bob", kAdd,
       "ERROR - *KivoNet: ", "may have been made; look the record up again", "7002", "Record not found"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    data_server srv("", tcp_relay::CUT);
    installation here;
    auto pane = data_client(here, srv.relay->port());
    ASSERT_TRUE(ann_added(*pane)) << pane->capture();
    send_all(*pane, r.before);
    if (r.before != kDelete) {
      ASSERT_TRUE(pane->wait_for(r.before.back().substr(1))) << pane->capture();
    }
    srv.relay->act_at(r.trigger, r.mark);
    pane->send_keys(r.before == kDelete ? "F11" : "Enter");
    EXPECT_TRUE(message_starts(*pane, r.answer)) << pane->capture();
    EXPECT_TRUE(srv.relay->cut());
    EXPECT_TRUE(
        kivo_test::wait_until([&] { return syserr(here).find(r.logged) != std::string::npos; }, kivo_test::kScreenWait))
        << syserr(here);
    EXPECT_TRUE(look_up_until(*pane, r.no, r.expect)) << pane->capture();
  }
}

// A SUBROUTINE (the demo's check) or a menu line's process that cannot be
// loaded, its design files out of reach or its statements not compiling,
// puts why on the invoker's message line, the server and its words or the
// compile's line, ahead of what follows; the invoker still gets F, so the
// design's own refusal stands behind it, and a design that refuses nothing
// on F adds the record behind it.
TEST(FailedReadsMidWork, AProcessThatCannotBeLoadedSaysWhyOnTheMessageLine) {
  const std::string unread = "its PROCESS design record could not be read (KivoNet: no answer from 127.0.0.1 port ";
  // Where the failure comes: at an add, or at the menu's second line.
  enum where { REMOTE, REMOTE_MENU, LOCAL, LOCAL_UNREFUSED };
  const struct {
    const char* what;
    where at;
    std::string why;  // the error log's words after the process's (a remote one's, then the port)
  } rows[] = {
      {"a check in an outage", REMOTE, unread},
      {"a menu line in an outage", REMOTE_MENU, unread},
      {"a check that does not compile", LOCAL,
       "CHECK BALANCE ep 1 stmt 100 col 20: field NOSUCHFIELD of DEM not found"},
      {"a check that does not compile, F refusing nothing", LOCAL_UNREFUSED, "CHECK BALANCE"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    std::unique_ptr<data_server> srv;
    installation here;
    std::unique_ptr<tmux_pane> pane;
    if (r.at <= REMOTE_MENU) {
      srv = std::make_unique<data_server>();
      pane = data_client(here, srv->relay->port());
    } else {
      // The demo whose check names a field its dictionary lacks.
      std::string dem = kivo_test::slurp(std::string(KIVO_SOURCE_DIR) + "/share/design/DEM.dsgn");
      const std::string field = "DEM BALANCE                    LT",
                        refusal = "F     ERROR    BALANCE MAY NOT BE NEGATIVE\n";
      ASSERT_NE(dem.find(field), std::string::npos);
      dem.replace(dem.find(field), field.size(), "DEM NOSUCHFIELD                LT");
      if (r.at == LOCAL_UNREFUSED) dem.erase(dem.find(refusal), refusal.size());
      here.design(dem, "-r -n");
      pane = local_client(here);
    }
    // CUSTOMER ENTRY once, so that what the session opens for good is open.
    ASSERT_TRUE(customer_entry(*pane)) << pane->capture();
    if (r.at == REMOTE_MENU) {
      pane->send_keys("S-F1");
      ASSERT_TRUE(pane->wait_for("UP and DOWN")) << pane->capture();
    }
    if (srv) srv->relay->stall();
    if (r.at == REMOTE_MENU) pane->send_keys("Down"), pane->send_hex("\r");
    else pane->send_keys("F10"), type_customer(*pane, "7003", "Cy", "5.00"), pane->send_hex("\r");
    const std::string says = r.at == REMOTE_MENU ? "process DEM/01 type 3 \"CUSTOMER LIST\" cannot be loaded: "
                                                 : "process DEM/01 type 6 \"CHECK BALANCE\" cannot be loaded: ";
    EXPECT_TRUE(message_starts(*pane, says)) << pane->capture();
    EXPECT_NE(syserr(here).find(says + r.why + (srv ? srv->relay->port() : "")), std::string::npos) << syserr(here);
    if (r.at == LOCAL_UNREFUSED) {
      EXPECT_TRUE(look_up_until(*pane, "7003", "Cy")) << pane->capture();
    } else {
      EXPECT_EQ(pane->capture().find("RECORD ADDED"), std::string::npos) << pane->capture();
    }
  }
}

// The small ones: a start whose TERM is unset or unknown says so and how to
// set it (not the library's "Error opening terminal"); a CHANGE after the
// server ended the session at its keepalive bound (the client silent past
// it) says that the session ended, never only that the record is not held.
TEST(FailedReadsMidWork, AStartWithoutATerminalAndAnEndedSessionSayWhatHappened) {
  const struct {
    const char* what;
    std::string env;   // before the engine on its command line
    std::string says;  // the pane's text, lines joined
  } starts[] = {
      {"TERM unset", "env -u TERM ", "KIVO Startup Failure: TERM is not set: set it to the terminal's type"},
      {"TERM unknown", "env TERM=no-such-terminal ",
       "KIVO Startup Failure: TERM \"no-such-terminal\" is not a terminal type this system knows: set it to"},
  };
  for (const auto& r : starts) {
    SCOPED_TRACE(r.what);
    installation here;
    auto pane = local_client(here, r.env);
    EXPECT_EQ(pane->exit_status(), 1) << pane->capture();
    std::string out = pane->capture_history();
    out.erase(std::remove(out.begin(), out.end(), '\n'), out.end());
    EXPECT_NE(out.find(r.says), std::string::npos) << out;
    EXPECT_EQ(out.find("Error opening terminal"), std::string::npos) << out;
  }

  SCOPED_TRACE("a change after the server ended the session");
  data_server srv;
  installation here;
  auto pane = data_client(here, srv.relay->port(), {{"KIVO_NET_KEEPALIVE_TIMEOUT", kBoundText}});
  ASSERT_TRUE(ann_added(*pane)) << pane->capture();
  send_all(*pane, kChange);
  ASSERT_TRUE(pane->wait_for("Zed")) << pane->capture();
  ASSERT_EQ(srv.sessions().size(), 1u);
  const pid_t held = srv.sessions()[0];
  // The client falls silent past its bound: its server ends the session.
  srv.relay->stall();
  ASSERT_TRUE(kivo_test::wait_until([&] { return !srv.runs(held); }, kivo_test::kScreenWait));
  srv.relay->resume();
  // The first ENTER may find the connection closed before it goes out;
  // the next goes to a new session, where the hold is gone.
  EXPECT_TRUE(kivo_test::wait_until([&] { return pane->send_hex("\r"), pane->wait_for("ended the session", 1); },
                                    kivo_test::kScreenWait))
      << pane->capture();
  EXPECT_NE(
      syserr(here).find("KivoNet: 127.0.0.1 port " + srv.relay->port() + " ended the session; the change was not made"),
      std::string::npos)
      << syserr(here);
  EXPECT_EQ(pane->capture().find("The record is not held"), std::string::npos) << pane->capture();
}

}  // namespace
