// The shipped demonstration end to end: scripts/run.sh (the README's main
// command) starts the engine on a copy of the default installation in a
// tmux pane of 80 x 24, and a customer session runs through the menu, the
// input screen with its balance check, and the list report. The run is
// driven once by a keystroke script and once by keys typed as the README
// gives them; both must leave the golden snapshots, the first also the
// golden print file. Every wait is for the screen or the end of the engine.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <fstream>
#include <memory>

#include "../fixtures/kivo_fixture.h"
#include "term_harness.h"
#include "tm_test_util.h"

namespace kivo::test {
namespace {

using kivo_test::data_dir;
using kivo_test::env_list;
using kivo_test::shell_quote;
using kivo_test::tmux_pane;

std::string build_dir() { return kivo_test::engine_dir(); }

std::string golden(const std::string& name) { return std::string(KIVO_SOURCE_DIR) + "/tests/screen/golden/" + name; }

// The text of golden file `name`; with KIVO_UPDATE_GOLDEN set, `got` is
// written there first.
std::string golden_text(const std::string& name, const std::string& got) {
  if (getenv("KIVO_UPDATE_GOLDEN")) std::ofstream(golden(name)) << got;
  return kivo_test::slurp(golden(name));
}

// The session: three customers added, one refused for its negative
// balance, one found and deleted, one found and renamed, then the list
// printed. Option names only.
constexpr const char* kScript =
    "#ENTER\n#ADD MODE\n"
    "C0001\n#TAB\nAnn Smith\n#TAB\n120.50\n#ENTER\n"
    "C0002\n#TAB\nBob Jones\n#TAB\n75.25\n#ENTER\n"
    "C0004\n#TAB\nDee Gone\n#TAB\n9.99\n#ENTER\n"
    "C0003\n#TAB\nCy Minus\n#TAB\n-5\n#ENTER\n"
    "#INQUIRE MODE\nC0004\n#ENTER\n#DELETE MODE\n#ACK DEL\n"
    "#INQUIRE MODE\nC0001\n#ENTER\n"
    "#CHANGE MODE\n#TAB\nAnn Smith-Lee\n#ENTER\n"
    "#END\n#DOWN\n#ENTER\n#END\n";

constexpr const char* kRefused = "BALANCE MAY NOT BE NEGATIVE";

class DemoRun : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* sub : {"run", "tst", "prt"}) ASSERT_EQ(mkdir(d_.file(sub).c_str(), 0700), 0) << sub;
  }
  // The environment of the README's command with the session's test
  // directory, print directory and frozen clock.
  env_list env(const std::string& term, const std::string& tst = "tst") const {
    return {{"TERM", term},
            {"HOME", d_.path},
            {"KIVO_BUILD_DIR", build_dir()},
            {"KIVO_RUN_DIR", d_.file("run")},
            {"KIVO_TST_DIR", d_.file(tst)},
            {"KIVO_PRT_FI_DIR", d_.file("prt") + "/"},
            {"KIVO_FAKE_TIME", "2026120709300000"},
            {"KIVO_SYS_ERR_LOG", d_.file("syserr")}};
  }
  std::unique_ptr<tmux_pane> run_sh(const env_list& e) {
    return std::make_unique<tmux_pane>(shell_quote(std::string(KIVO_SOURCE_DIR) + "/scripts/run.sh"), d_.path, e);
  }
  // The scripted session in a fresh run directory; its exit status.
  int scripted(const std::string& term, const std::string& script = kScript) {
    std::ofstream(d_.file("script")) << script;
    env_list e = env(term);
    e.push_back({"KIVO_SCRIPT_IN", d_.file("script")});
    return run_sh(e)->exit_status(120);
  }
  // The print files written (their ".cfg" files left out).
  std::vector<std::string> prints() const {
    std::vector<std::string> out;
    if (DIR* dir = opendir(d_.file("prt").c_str())) {
      while (dirent* e = readdir(dir)) {
        const std::string n = e->d_name;
        if (n[0] != '.' && (n.size() < 4 || n.substr(n.size() - 4) != ".cfg")) out.push_back(d_.file("prt/" + n));
      }
      closedir(dir);
    }
    return out;
  }
  // Empties the run, test and print directories for a session afresh.
  void clear() const {
    for (const char* sub : {"run", "tst", "prt"})
      ASSERT_EQ(system(("rm -rf " + shell_quote(d_.file(sub)) + "/*").c_str()), 0) << sub;
  }
  static bool gone(tmux_pane& p, const std::string& text) {
    return kivo_test::wait_until([&] { return p.capture().find(text) == std::string::npos; }, kivo_test::kScreenWait);
  }
  static bool on_row(tmux_pane& p, size_t row, const std::string& text) {
    return kivo_test::wait_until(
        [&] {
          auto l = p.lines();
          return l.size() > row && l[row].find(text) != std::string::npos;
        },
        kivo_test::kScreenWait);
  }
  // The one list printed holds customer C0001 named `first`, C0002 and
  // their total, and the verifier finds the CUSTOMER file good.
  void expect_two_customers(const std::string& first) const {
    const auto files = prints();
    ASSERT_EQ(files.size(), 1u);
    const std::string print = kivo_test::slurp(files[0]);
    EXPECT_NE(print.find("C0001   " + first), std::string::npos) << print;
    EXPECT_NE(print.find("C0002   Bob Jones"), std::string::npos) << print;
    EXPECT_NE(print.find("195.75"), std::string::npos) << print;
    const std::string verify =
        std::string(KIVO_BINARY) + " -v=" + shell_quote(d_.file("run/DEM/DEM/Data/CUSTOMER.dat")) + " >/dev/null";
    const int st = system(verify.c_str());
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1) << verify;
  }
  void typed_session(const char* term);
  void TearDown() override { EXPECT_EQ(kivo_test::slurp(d_.file("syserr")), "") << "system errors"; }
  data_dir d_;
};

// The scripted session on each terminal type ends with 0 and leaves the
// golden snapshots and the golden print: two detail lines (the deleted
// customer gone), total 195.75.
TEST_F(DemoRun, ScriptedSessionGivesTheGoldenSnapshotsAndPrint) {
  for (const char* term : {"tmux-256color", "xterm-256color"}) {
    SCOPED_TRACE(term);
    clear();
    EXPECT_EQ(scripted(term), 0);
    const std::string snap = kivo_test::slurp(d_.file("tst/actual/snapshot"));
    EXPECT_EQ(snap, golden_text("demo_run.snapshot", snap));
    EXPECT_NE(snap.find(kRefused), std::string::npos);
    const auto files = prints();
    ASSERT_EQ(files.size(), 1u);
    const std::string print = kivo_test::slurp(files[0]);
    EXPECT_EQ(print, golden_text("demo_run.prt", print));
    EXPECT_NE(print.find("195.75"), std::string::npos) << print;
    EXPECT_EQ(print.find("C0003"), std::string::npos) << print;
    EXPECT_EQ(print.find("C0004"), std::string::npos) << print;
  }
}

// The same session typed with the README's keys, on each terminal type,
// ends with the same snapshots; the screen shows each step on the way.
TEST_F(DemoRun, TypedSessionGivesTheSameSnapshots) {
  for (const char* term : {"tmux-256color", "xterm-256color"}) {
    SCOPED_TRACE(term);
    clear();
    typed_session(term);
  }
}

void DemoRun::typed_session(const char* term) {
  auto p = run_sh(env(term));
  ASSERT_TRUE(p->wait_for("DEM MENU", 60)) << p->capture();
  p->send_keys("Enter");
  ASSERT_TRUE(p->wait_for("CUSTOMER NO:")) << p->capture();
  p->send_keys("F10");
  ASSERT_TRUE(p->wait_for("ADD")) << p->capture();
  const struct {
    const char *no, *name, *balance;
  } adds[] = {{"C0001", "Ann Smith", "120.50"},
              {"C0002", "Bob Jones", "75.25"},
              {"C0004", "Dee Gone", "9.99"},
              {"C0003", "Cy Minus", "-5"}};
  for (const auto& a : adds) {
    p->send_text(a.no);
    p->send_keys("Tab");
    p->send_text(a.name);
    p->send_keys("Tab");
    p->send_text(a.balance);
    ASSERT_TRUE(p->wait_for(std::string("BALANCE:      ") + a.balance)) << p->capture();
    p->send_keys("Enter");
    if (a.balance[0] == '-') {
      ASSERT_TRUE(on_row(*p, 22, kRefused)) << p->capture();
    } else {
      ASSERT_TRUE(gone(*p, a.name)) << p->capture();
    }
  }
  p->send_keys("F12");
  ASSERT_TRUE(gone(*p, "C0003")) << p->capture();
  // DELETE MODE holds the customer shown; ACK DEL (GO, DELETE MODE) deletes it.
  p->send_text("C0004");
  p->send_keys("Enter");
  ASSERT_TRUE(p->wait_for("Dee Gone")) << p->capture();
  p->send_keys("F11");
  ASSERT_TRUE(on_row(*p, 22, "DELETE MODE")) << p->capture();
  p->send_keys("F2 F11");
  ASSERT_TRUE(on_row(*p, 22, "RECORD DELETED")) << p->capture();
  ASSERT_TRUE(gone(*p, "Dee Gone")) << p->capture();
  p->send_keys("F12");
  p->send_text("C0001");
  p->send_keys("Enter");
  ASSERT_TRUE(p->wait_for("Ann Smith")) << p->capture();
  p->send_keys("S-F2");
  ASSERT_TRUE(p->wait_for("CHANGE")) << p->capture();
  p->send_keys("Tab");
  p->send_text("Ann Smith-Lee");
  p->send_keys("Enter");
  ASSERT_TRUE(p->wait_for("Ann Smith-Lee")) << p->capture();
  p->send_keys("S-F1");
  ASSERT_TRUE(gone(*p, "CUSTOMER NO:")) << p->capture();
  ASSERT_TRUE(p->wait_for("DEM MENU")) << p->capture();
  p->send_keys("Down Enter");
  ASSERT_TRUE(kivo_test::wait_until([&] { return !prints().empty(); }, 30));
  p->send_keys("S-F1");
  EXPECT_EQ(p->exit_status(30), 0) << p->capture();
  EXPECT_EQ(kivo_test::slurp(d_.file("tst/actual/snapshot")), kivo_test::slurp(golden("demo_run.snapshot")));
}

// A second start on the kept run directory finds both customers (its list
// prints them again), and the verifier finds the CUSTOMER file good.
TEST_F(DemoRun, KeptRunDirectoryKeepsTheCustomers) {
  ASSERT_EQ(scripted("tmux-256color"), 0);
  ASSERT_EQ(system(("rm -f " + shell_quote(d_.file("prt")) + "/*").c_str()), 0);
  std::ofstream(d_.file("script")) << "#DOWN\n#ENTER\n#END\n";
  env_list e = env("tmux-256color", "tst2");
  e.push_back({"KIVO_SCRIPT_IN", d_.file("script")});
  EXPECT_EQ(run_sh(e)->exit_status(120), 0);
  expect_two_customers("Ann Smith-Lee");
}

// The disk fills while a customer is added (every write to the CUSTOMER
// files fails with ENOSPC, from a preloaded library): the system-error
// window names the file, and after ENTER the add is refused with the
// disk-full message; once there is room the same ENTER writes it, and the
// session ends normally with both customers in the list and the file
// verifying good.
TEST_F(DemoRun, FullDiskRefusesTheWriteAndTheSessionGoesOn) {
  ASSERT_EQ(
      system(("cp -R " + shell_quote(build_dir() + "/shipped_data/.") + " " + shell_quote(d_.file("run"))).c_str()), 0);
  const std::string full = d_.file("disk-full");
  env_list e = env("tmux-256color");
  e.insert(e.end(), {{"KIVOPATH", d_.file("run")}, {"KIVO_0SA_PATH", d_.file("run")}});
  for (const auto& v : kivo_test::disk_full_env(full, "CUSTOMER")) e.push_back(v);
  tmux_pane p(shell_quote(KIVO_BINARY) + " -d=DEM", d_.file("run"), e);
  ASSERT_TRUE(p.wait_for("DEM MENU", 60)) << p.capture();
  p.send_keys("Enter");
  ASSERT_TRUE(p.wait_for("CUSTOMER NO:")) << p.capture();
  p.send_keys("F10");
  const auto add = [&](const char* no, const char* name, const char* balance) {
    p.send_text(no);
    p.send_keys("Tab");
    p.send_text(name);
    p.send_keys("Tab");
    p.send_text(balance);
    ASSERT_TRUE(p.wait_for(std::string("BALANCE:      ") + balance)) << p.capture();
    p.send_keys("Enter");
  };
  add("C0001", "Ann Smith", "120.50");
  ASSERT_TRUE(gone(p, "Ann Smith")) << p.capture();
  std::ofstream(full).put('x');
  add("C0002", "Bob Jones", "75.25");
  // A window over the screen names the file, in words without the call
  // for support; ENTER goes on.
  ASSERT_TRUE(p.wait_for("OUT OF SPACE while writing")) << p.capture();
  EXPECT_NE(p.capture().find("ENTER, END or CANCEL to Continue Processing"), std::string::npos) << p.capture();
  EXPECT_EQ(p.capture().find("Support Representative"), std::string::npos) << p.capture();
  p.send_keys("Enter");
  ASSERT_TRUE(on_row(p, 22, "Disk full")) << p.capture();
  EXPECT_NE(p.capture().find("Bob Jones"), std::string::npos) << "the typed customer stays on the screen";
  const std::string syserr = kivo_test::slurp(d_.file("syserr"));
  EXPECT_NE(syserr.find("OUT OF SPACE while writing"), std::string::npos) << syserr;
  EXPECT_NE(syserr.find("CUSTOMER"), std::string::npos) << syserr;
  ASSERT_EQ(unlink(full.c_str()), 0);
  std::ofstream(d_.file("syserr"), std::ios::trunc).flush();
  p.send_keys("Enter");
  ASSERT_TRUE(gone(p, "Bob Jones")) << p.capture();
  p.send_keys("S-F1");
  ASSERT_TRUE(p.wait_for("DEM MENU")) << p.capture();
  p.send_keys("Down Enter");
  ASSERT_TRUE(kivo_test::wait_until([&] { return !prints().empty(); }, 30));
  p.send_keys("S-F1");
  EXPECT_EQ(p.exit_status(30), 0) << p.capture();
  expect_two_customers("Ann Smith");
}

// SHOW MSG (GO, M) lists the messages over the screen with the prompt on
// the last row; ENTER goes back to the screen as it was.
TEST_F(DemoRun, ShowMessagesListsThemAndGoesBack) {
  auto p = run_sh(env("tmux-256color"));
  ASSERT_TRUE(p->wait_for("DEM MENU", 60)) << p->capture();
  p->send_keys("Enter");
  ASSERT_TRUE(p->wait_for("CUSTOMER NO:")) << p->capture();
  p->send_text("C9999");
  p->send_keys("Enter");
  ASSERT_TRUE(on_row(*p, 22, "Record not found")) << p->capture();
  p->send_keys("F2 M");
  ASSERT_TRUE(on_row(*p, 23, "ENTER, END or CANCEL goes back")) << p->capture();
  EXPECT_TRUE(on_row(*p, 0, "ERROR - Record not found")) << p->capture();
  EXPECT_EQ(p->capture().find("CUSTOMER NO:"), std::string::npos) << p->capture();
  p->send_keys("Enter");
  ASSERT_TRUE(p->wait_for("CUSTOMER NO:")) << p->capture();
  ASSERT_TRUE(gone(*p, "goes back")) << p->capture();
  p->send_keys("S-F1");
  ASSERT_TRUE(p->wait_for("DEM MENU")) << p->capture();
  p->send_keys("S-F1");
  EXPECT_EQ(p->exit_status(30), 0) << p->capture();
}

// A plain start shows "KIVO MENU", and END there ends with 0. On an
// installation without APPL the first start runs INSTALL and ends with 0;
// the next reaches the menu.
TEST_F(DemoRun, PlainStartShowsKivoMenuAndAFirstStartInstalls) {
  ASSERT_EQ(
      system(("cp -R " + shell_quote(build_dir() + "/shipped_data/.") + " " + shell_quote(d_.file("run"))).c_str()), 0);
  const env_list e = {{"TERM", "tmux-256color"},        {"HOME", d_.path},
                      {"KIVOPATH", d_.file("run")},     {"KIVO_0SA_PATH", d_.file("run")},
                      {"KIVO_TST_DIR", d_.file("tst")}, {"KIVO_TRACE_FILE", d_.file("trace")},
                      {"KIVO_TRACE_0APPS", "1"},        {"KIVO_SYS_ERR_LOG", d_.file("syserr")}};
  auto menu = [&] {
    auto p = std::make_unique<tmux_pane>(shell_quote(KIVO_BINARY), d_.file("run"), e);
    EXPECT_TRUE(p->wait_for("No application is chosen.")) << p->capture();
    EXPECT_NE(p->capture().find("kivo -d=DEM"), std::string::npos);
    p->send_keys("S-F1");
    EXPECT_EQ(p->exit_status(), 0) << p->capture();
  };
  menu();
  ASSERT_EQ(system(("rm -f " + shell_quote(d_.file("run/0SA/Data")) + "/APPL.*").c_str()), 0);
  tmux_pane first(shell_quote(KIVO_BINARY), d_.file("run"), e);
  EXPECT_EQ(first.exit_status(), 0) << first.capture();
  EXPECT_NE(kivo_test::slurp(d_.file("trace")).find("0SA/6/INSTALL"), std::string::npos);
  menu();
}

}  // namespace
}  // namespace kivo::test
