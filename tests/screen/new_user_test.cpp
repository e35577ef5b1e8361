// What a new user meets first, through the real engine on a copy of the
// default installation: start-up options that name nothing end with their
// own line and status, options the engine does not know get the usage
// text, Ctrl-\ leaves the terminal as the session found it, and the
// verifier calls a file good only when the other utilities can use it.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <fstream>
#include <string>

#include "../fixtures/kivo_fixture.h"
#include "term_harness.h"

namespace kivo::test {
namespace {

using kivo_test::data_dir;
using kivo_test::env_list;
using kivo_test::shell_quote;
using kivo_test::tmux_pane;

struct run_result {
  int status;
  std::string output;
};

class NewUserMends : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(kivo_test::copy_shipped_installation(d_.path)); }
  void TearDown() override { EXPECT_EQ(kivo_test::slurp(d_.file("syserr")), "") << "system errors"; }
  env_list env() const {
    env_list e = kivo_test::engine_env(d_.path);
    e.push_back({"KIVO_PRT_FI_DIR", d_.path + "/"});
    return e;
  }
  // kivo with `args`, no terminal: its status and what it wrote.
  run_result kivo(const std::string& args) const {
    std::string line = "cd " + shell_quote(d_.path) + " && env";
    for (auto& [k, v] : env()) line += " " + shell_quote(k + "=" + v);
    line += " " + shell_quote(KIVO_BINARY) + " " + args + " </dev/null >" + shell_quote(d_.file("out")) + " 2>&1";
    const int st = system(line.c_str());
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, kivo_test::slurp(d_.file("out"))};
  }
  // kivo with `args` under tmux, the terminal's modes written to "before"
  // and "after" around it.
  std::unique_ptr<tmux_pane> session(const std::string& args) const {
    const std::string cmd =
        "stty -a >before; " + shell_quote(KIVO_BINARY) + " " + args + "; st=$?; stty -a >after; exit $st";
    return std::make_unique<tmux_pane>("sh -c " + shell_quote(cmd), d_.path, env());
  }
  // From a screen of the menu's children: END to the menu (`menu` on it),
  // END again, and the session ends normally.
  static void end_session(tmux_pane* p, const char* menu) {
    p->send_keys("S-F1");
    ASSERT_TRUE(p->wait_for(menu)) << p->capture();
    p->send_keys("S-F1");
    EXPECT_EQ(p->exit_status(60), 0) << p->capture();
  }
  // CUSTOMER ENTRY chosen on DEM MENU, in ADD MODE.
  static void customer_add(tmux_pane* p) {
    ASSERT_TRUE(p->wait_for("DEM MENU", 60)) << p->capture();
    p->send_keys("Enter");
    ASSERT_TRUE(p->wait_for("CUSTOMER ENTRY")) << p->capture();
    p->send_keys("F10");
    ASSERT_TRUE(p->wait_for("MM/DD/CCYY")) << p->capture();
  }
  data_dir d_;
};

// Options that name a database, application or process type that cannot
// exist end the start with their own line and status, before any session;
// so does an application that is not installed, though the database is.
TEST_F(NewUserMends, StartOptionsThatNameNothingEndWithTheirLine) {
  const struct {
    const char* args;
    int status;
    const char* says;
  } rows[] = {
      {"-d=XX", 20, "database \"XX\" does not exist"},
      {"-d=DEMO", 20, "database \"DEMO\" does not exist"},
      {"-a=ZZ", 20, "application \"ZZ\" does not exist"},
      {"-a=DEM -t=zzz -p=DEM_MENU", 4, "process type \"zzz\" does not exist"},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(row.args);
    const run_result r = kivo(row.args);
    EXPECT_EQ(r.status, row.status) << r.output;
    EXPECT_NE(r.output.find("KIVO startup failed because of the following"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(row.says), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("startup error: " + std::to_string(row.status)), std::string::npos) << r.output;
  }
  auto p = session("-d=DEM -a=ZZZ");
  EXPECT_EQ(p->exit_status(60), 20) << p->capture();
  const std::string screen = p->capture();
  EXPECT_NE(screen.find("application ZZZ does not exist: no APPL record"), std::string::npos) << screen;
  EXPECT_EQ(screen.find("PARAM"), std::string::npos) << screen;
}

// The usage text answers -u, -h, --help and every option the engine does
// not know, with status 1; an unknown one is named first.
TEST_F(NewUserMends, UnknownOptionsGetTheUsageText) {
  const struct {
    const char* args;
    const char* named;
  } rows[] = {
      {"-u", nullptr}, {"-h", nullptr},         {"--help", nullptr},
      {"-q", "-q"},    {"-d=DEM -y=1", "-y=1"}, {"--verbose", "--verbose"},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(row.args);
    const run_result r = kivo(row.args);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("Usage:  -k"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("embedded spaces within parameters."), std::string::npos) << r.output;
    const bool named = r.output.find("kivo: unknown option") != std::string::npos;
    EXPECT_EQ(named, row.named != nullptr) << r.output;
    if (row.named) {
      EXPECT_NE(r.output.find(row.named), std::string::npos) << r.output;
    }
  }
}

// In CUSTOMER ENTRY: digits typed into the date skip its slashes, and a
// balance typed over the one shown replaces it, whatever their lengths (a
// shorter value used to keep the old one's last characters: "80.005",
// "Number too big").
TEST_F(NewUserMends, TypingOverANumberAndIntoADateGivesTheTypedValue) {
  auto p = session("-d=DEM");
  customer_add(p.get());
  p->send_text("C00001");  // the last column of the number moves on to the name
  p->send_text("Meijer");
  p->send_keys("Tab");
  p->send_text("175.25");
  p->send_keys("Tab");
  p->send_text("12252024");
  ASSERT_TRUE(p->wait_for("SINCE:        12/25/2024")) << p->capture();
  p->send_keys("Enter");
  ASSERT_TRUE(p->wait_for("RECORD ADDED")) << p->capture();
  const struct {
    const char* typed;
    const char* shown;
  } rows[] = {{"80.00", "80.00"}, {"1234.5", "1234.50"}, {"7", "7.00"}, {"75.25", "75.25"}};
  for (auto& row : rows) {
    SCOPED_TRACE(row.typed);
    p->send_keys("F12");
    p->send_text("C00001");
    p->send_keys("Enter");
    ASSERT_TRUE(p->wait_for("NAME:         Meijer")) << p->capture();
    p->send_keys("S-F2");
    ASSERT_TRUE(p->wait_for("CHANGE")) << p->capture();
    p->send_keys("Tab Tab");
    p->send_text(row.typed);
    p->send_keys("Enter");
    ASSERT_TRUE(p->wait_for("RECORD CHANGED")) << p->capture();
    std::string balance = p->row(7);
    balance.erase(0, balance.find_first_not_of(' '));
    EXPECT_EQ(balance.substr(0, 8), "BALANCE:") << p->capture();
    balance.erase(0, balance.find_first_not_of(' ', 8));
    EXPECT_EQ(balance, row.shown) << p->capture();
    EXPECT_EQ(p->capture().find("Number too big"), std::string::npos) << p->capture();
  }
  EXPECT_TRUE(p->wait_for("SINCE:        12/25/2024")) << p->capture();
  end_session(p.get(), "DEM MENU");
}

// A customer refused on its write (a negative balance) is gone from the
// screen when CUSTOMER ENTRY is left and entered again.
TEST_F(NewUserMends, ARefusedAddIsGoneWhenTheEntryIsEnteredAgain) {
  auto p = session("-d=DEM");
  customer_add(p.get());
  p->send_text("C00002");
  p->send_text("Refused");
  p->send_keys("Tab");
  p->send_text("-5");
  p->send_keys("Enter");
  ASSERT_TRUE(p->wait_for("BALANCE MAY NOT BE NEGATIVE")) << p->capture();
  p->send_keys("S-F1");
  ASSERT_TRUE(p->wait_for("DEM MENU")) << p->capture();
  p->send_keys("Enter");
  ASSERT_TRUE(p->wait_for("CUSTOMER ENTRY")) << p->capture();
  EXPECT_TRUE(p->wait_for("NAME:\n")) << p->capture();
  EXPECT_EQ(p->capture().find("Refused"), std::string::npos) << p->capture();
  EXPECT_EQ(p->capture().find("C00002"), std::string::npos) << p->capture();
  end_session(p.get(), "DEM MENU");
}

// The selection editor of ACCOUNT QUERY, run from the ledger's menu, on its
// criterion (balance GT 0).
void open_selection(tmux_pane* p) {
  ASSERT_TRUE(p->wait_for("ACCOUNT MENU", 60)) << p->capture();
  p->send_keys("Enter");
  ASSERT_TRUE(p->wait_for("QSLCT EDIT")) << p->capture();
  p->send_keys("F9");
  ASSERT_TRUE(p->wait_for("ACCT BALANCE")) << p->capture();
}

// From the selection editor: END to the sort editor, END to the menu.
void leave_query(tmux_pane* p) {
  p->send_keys("S-F1");
  ASSERT_TRUE(p->wait_for("QSORT EDIT")) << p->capture();
  p->send_keys("S-F1");
}

// A relation the selection compiler does not know (0, 8, 9, 99) is refused
// when ENTER would write it, with the relations it knows; the criterion
// keeps its relation, and the sort editor's screen, smaller than the
// selection editor's, shows no line of the menu beneath.
TEST_F(NewUserMends, AnUnknownRelationIsRefusedAndTheSortEditorHidesTheMenu) {
  auto p = session("-d=DEM -a=DEM -t=Menu -p=ACCOUNT_MENU");
  open_selection(p.get());
  for (const char* relation : {"9", "0", "8", "99"}) {
    SCOPED_TRACE(relation);
    p->send_keys("S-F2");
    ASSERT_TRUE(p->wait_for("CHANGE")) << p->capture();
    p->send_text(relation);
    p->send_keys("Enter");
    ASSERT_TRUE(p->wait_for("RELATION IS 1 EQ 2 GE 3 GT 4 LE 5 LT 6 NE OR 7 IN")) << p->capture();
    EXPECT_EQ(p->capture().find("RECORD CHANGED"), std::string::npos) << p->capture();
    // A relation it knows is taken.
    p->send_keys("S-F3");
    p->send_text("3");
    p->send_keys("Enter");
    ASSERT_TRUE(p->wait_for("RECORD CHANGED")) << p->capture();
    EXPECT_TRUE(p->wait_for("RELATION:  3")) << p->capture();
  }
  p->send_keys("S-F1");
  ASSERT_TRUE(p->wait_for("QSORT EDIT")) << p->capture();
  const std::string screen = p->capture();
  for (const char* menu_line : {"ACCOUNT MENU", "ACCOUNT RANKING", "OPTION and a digit", "UP and DOWN"})
    EXPECT_EQ(screen.find(menu_line), std::string::npos) << menu_line << "\n" << screen;
  end_session(p.get(), "OPTION and a digit");
}

// The criterion as last edited is what the next run of the query edits and
// what the ranking selects: 500 stays 500.
TEST_F(NewUserMends, TheQueryKeepsItsEditsForTheNextRun) {
  auto p = session("-d=DEM -a=DEM -t=Menu -p=ACCOUNT_MENU");
  open_selection(p.get());
  p->send_keys("S-F2");
  ASSERT_TRUE(p->wait_for("CHANGE")) << p->capture();
  p->send_keys("Tab");
  p->send_text("500");
  p->send_keys("Enter");
  ASSERT_TRUE(p->wait_for("RECORD CHANGED")) << p->capture();
  leave_query(p.get());
  open_selection(p.get());
  EXPECT_TRUE(p->wait_for("VALUE:     500")) << p->capture();
  leave_query(p.get());
  ASSERT_TRUE(p->wait_for("ACCOUNT MENU")) << p->capture();
  p->send_keys("Down Enter");
  const std::string report = d_.file("PRTFI000");
  ASSERT_TRUE(kivo_test::wait_until([&] { return std::ifstream(report + ".cfg").good(); }, 60)) << p->capture();
  const std::string text = kivo_test::slurp(report);
  EXPECT_NE(text.find("ACCOUNT30"), std::string::npos) << text;  // 510.00
  EXPECT_EQ(text.find("ACCOUNT29"), std::string::npos) << text;  // 484.50
  p->send_keys("S-F1");
  EXPECT_EQ(p->exit_status(60), 0) << p->capture();
}

// The engine's process among the descendants of `pid`; 0 when none.
pid_t engine_below(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  for (pid_t child; in >> child;) {
    std::string comm = kivo_test::slurp("/proc/" + std::to_string(child) + "/comm");
    if (comm == "kivo\n") return child;
    if (pid_t below = engine_below(child)) return below;
  }
  return 0;
}

// SIGQUIT (Ctrl-\ on a terminal) at the menu ends the session with 131,
// the terminal's modes as before it and the alternate screen left.
TEST_F(NewUserMends, SigquitLeavesTheTerminalAsItWas) {
  auto p = session("-d=DEM");
  ASSERT_TRUE(p->wait_for("DEM MENU", 60)) << p->capture();
  ASSERT_EQ(p->display("#{alternate_on}"), "1");
  const pid_t engine = engine_below(atoi(p->display("#{pane_pid}").c_str()));
  ASSERT_GT(engine, 0);
  kill(engine, SIGQUIT);
  EXPECT_EQ(p->exit_status(60), 131) << p->capture();
  EXPECT_EQ(p->display("#{alternate_on}"), "0");
  const std::string before = kivo_test::slurp(d_.file("before")), after = kivo_test::slurp(d_.file("after"));
  EXPECT_FALSE(before.empty());
  EXPECT_EQ(after, before);
  EXPECT_EQ(p->capture().find("DEM MENU"), std::string::npos) << p->capture();
  // A core image, where one is written, is none of the test's business.
  EXPECT_EQ(system(("rm -f " + shell_quote(d_.path) + "/core*").c_str()), 0);
}

// A copy of a keyed file of the installation (CUSTOMER, empty as
// shipped; ACCOUNT, 50 records) whose key-file header is damaged, its trees
// and records intact: the verifier says bad (the open refuses it), the
// repair writes the header again and builds the keys, and then the verifier
// says good and the export gives the records as before.
TEST_F(NewUserMends, AKeyHeaderTheOpenRefusesIsBadAndTheRepairMendsIt) {
  const struct {
    const char* what;
    size_t offset;
    uint8_t value;
  } rows[] = {
      {"end of file off its page boundary", 8, 0x01},
      {"first free page no page", 4, 0x07},
      {"key 0 numbered 5", 16 + 4, 0x05},
      {"root of key 0 past the end", 16 + 3, 0x7F},
  };
  for (const char* file : {"CUSTOMER", "ACCOUNT"}) {
    const std::string base = d_.file(file), shipped = d_.file(std::string("DEM/DEM/Data/") + file);
    for (auto& row : rows) {
      SCOPED_TRACE(std::string(file) + ": " + row.what);
      const std::string cp = "cp " + shell_quote(shipped + ".dat") + " " + shell_quote(base + ".dat") + " && cp " +
                             shell_quote(shipped + ".key") + " " + shell_quote(base + ".key") + " && rm -f " +
                             shell_quote(base);
      ASSERT_EQ(system(cp.c_str()), 0);
      ASSERT_EQ(kivo("-v=" + shell_quote(base + ".dat")).status, 1);
      ASSERT_EQ(kivo("-e=" + shell_quote(base + ".dat")).status, 0);
      const std::string records = kivo_test::slurp(base);
      {
        std::fstream key(base + ".key", std::ios::in | std::ios::out | std::ios::binary);
        ASSERT_TRUE(key.good());
        key.seekp(static_cast<std::streamoff>(row.offset));
        key.put(static_cast<char>(row.value));
      }
      run_result r = kivo("-v=" + shell_quote(base + ".dat"));
      EXPECT_EQ(r.status, 0) << r.output;
      EXPECT_NE(r.output.find("failed verification"), std::string::npos) << r.output;
      r = kivo("-r=" + shell_quote(base + ".dat"));
      EXPECT_EQ(r.status, 1) << r.output;
      r = kivo("-v=" + shell_quote(base + ".dat"));
      EXPECT_EQ(r.status, 1) << r.output;
      ASSERT_EQ(unlink(base.c_str()), 0);
      ASSERT_EQ(kivo("-e=" + shell_quote(base + ".dat")).status, 0);
      EXPECT_EQ(kivo_test::slurp(base), records);
    }
  }
}

}  // namespace
}  // namespace kivo::test
