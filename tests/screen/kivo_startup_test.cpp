// The real engine starting on installations: the default one through tmux
// up to the end of the process it cannot load, the USER file's cases and
// the missing keymap as plain processes, kivo -k defining a terminal's keys
// in tmux over a fixture installation, and the default keymaps typed
// through tmux into the window-manager driver.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <fstream>
#include <memory>

#include "../fixtures/kivo_fixture.h"
#include "../fm/fm_native_util.h"
#include "../net/net_test_util.h"
#include "process/startup.h"
#include "screen/tm_keys.h"
#include "tm_driver_util.h"

namespace kivo::test {
namespace {

using kivo_test::data_dir;
using kivo_test::env_list;
using kivo_test::shell_quote;
using kivo_test::tmux_pane;

std::string default_installation() { return kivo_test::shipped_installation(); }

void copy_default(const data_dir& d) {
  ASSERT_EQ(system(("cp -r " + default_installation() + "/. " + d.path).c_str()), 0);
}

struct run_result {
  int status;
  std::string out;
};

// The engine in `d` without a terminal; `trace` names the statement trace file
// (system applications' processes included, as the tests run theirs);
// `env` adds "NAME=value" words to its environment.
run_result run_kivo(const data_dir& d, const std::string& term, const std::string& args = "",
                    const std::string& trace = "", const std::string& env = "") {
  std::string cmd = "cd " + shell_quote(d.path) + " && env TERM=" + term + (env.empty() ? "" : " " + env) +
                    (trace.empty() ? "" : " KIVO_TRACE_0APPS=1 KIVO_TRACE_FILE=" + shell_quote(trace)) +
                    " KIVOPATH=" + shell_quote(d.path) + " KIVO_0SA_PATH=" + shell_quote(d.path) + " '" + KIVO_BINARY +
                    "' " + args + " </dev/null 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  int st = pclose(p);
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

env_list kivo_env(const data_dir& d, const std::string& term) {
  return {{"TERM", term}, {"HOME", "hm"}, {"KIVOPATH", d.path}, {"KIVO_0SA_PATH", d.path}};
}

// A start whose options name what does not exist shows its line on the
// restored terminal and ends non-zero, never in another process.
TEST(UtilityErrors, StartNamingWhatDoesNotExistPrintsItsLineAndEndsNonZero) {
  const struct {
    const char* args;
    const char* line;
    int status;
  } rows[] = {
      {"-d=ZZZ", "database ZZZ does not exist: no DATABASE record", 20},
      {"-a=ZZZ", "application ZZZ does not exist: no APPL record", 20},
      {"-a=DEM", "application DEM needs a database", 20},
      {"-a=0LA -t=M -p=NOPE", "process 0LA/00 type 1 \"NOPE\" does not exist", 4},
      {"-a=0LA -t=I -p=NOPE", "process 0LA/00 type 2 \"NOPE\" does not exist", 4},
      // A system application needs no database: the one named is not asked for.
      {"-d=ZZZ -a=0LA -t=M -p=NOPE", "process 0LA/00 type 1 \"NOPE\" does not exist", 4},
  };
  data_dir d;
  copy_default(d);
  for (const auto& r : rows) {
    SCOPED_TRACE(r.args);
    tmux_pane p(std::string(KIVO_BINARY) + " " + r.args, d.path, kivo_env(d, "tmux-256color"));
    EXPECT_EQ(p.exit_status(), r.status) << p.capture();
    EXPECT_NE(p.capture_history().find(r.line), std::string::npos) << p.capture_history();
  }
}

// Each failure of the data server's address, its connection, an
// installation file and the keymap gives its line, naming what failed.
TEST(UtilityErrors, DataServerAndInstallationErrorsGiveTheirOneLine) {
  // A port nothing listens on: bound, then closed.
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&a), &len), 0);
  const std::string port = std::to_string(ntohs(a.sin_port));
  close(s);
  const struct {
    const char* what;
    std::string server;  // KIVO_DATA_SERVER
    std::string line;
  } rows[] = {
      {"a bad server value", "  garbage  ", "KIVO_DATA_SERVER \"garbage\" is no data-server address"},
      {"a blank server value", "   ", "KIVO_DATA_SERVER \"\" is no data-server address: it is blank"},
      {"an unreachable server", "127.0.0.1:" + port,
       "KivoNet connection to 127.0.0.1 failed (port " + port + "): Connection refused"},
      {"a USER file that cannot be opened", "", "/0SA/Data/USER.dat: Is a directory"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    data_dir d;
    copy_default(d);
    if (r.server.empty()) {
      ASSERT_EQ(system(("rm " + d.file("0SA/Data/USER.dat") + " && mkdir " + d.file("0SA/Data/USER.dat")).c_str()), 0);
    }
    const run_result got =
        run_kivo(d, "tmux-256color", r.server.empty() ? "" : "--KIVO_DATA_SERVER=" + shell_quote(r.server));
    EXPECT_NE(got.status, 0);
    EXPECT_NE(got.out.find(r.line), std::string::npos) << got.out;
    EXPECT_EQ(got.out.find("Press Return"), std::string::npos) << got.out;
    EXPECT_EQ(std::count(got.out.begin(), got.out.end(), '\n'), 1) << got.out;
  }
  data_dir d;
  copy_default(d);
  const run_result got = run_kivo(d, "vt100");
  EXPECT_EQ(got.status, kExitNoKeymap);
  EXPECT_NE(got.out.find("Can't find a keymap for this terminal/user\n"), std::string::npos) << got.out;
  EXPECT_NE(got.out.find("\"kivo -k\" defines the keys of this terminal"), std::string::npos) << got.out;
}

// Subroutines of 0LA added to a copy of the default installation and run
// as the start process: LOGOUT in event 01 ends the engine with 127, END
// PROC with 0; a process no design holds ends with 4, and so does the
// engine, which ran nothing.
TEST(ExecutiveKivo, StartSubroutineEndsTheEngineByItsEndCode) {
  data_dir d;
  copy_default(d);
  std::ofstream(d.file("sub.dsgn")) << "APPLICATION 0LA 00\n"
                                       "PROCESS 6 BYE\nSTMTS 6 BYE ep=1\n      LOGOUT           N\nEND\n"
                                       "PROCESS 6 DONE\nSTMTS 6 DONE ep=1\n      END PROC\nEND\n";
  const std::string kivo = KIVO_BINARY, design = kivo.substr(0, kivo.rfind('/')) + "/tools/kivo_design";
  ASSERT_EQ(system((design + " -d " + shell_quote(d.path) + " " + d.file("sub.dsgn")).c_str()), 0);
  const struct {
    const char* proc;
    int status;
    bool ran;  // its start and end in the trace
  } cases[] = {{"BYE", 127, true}, {"DONE", 0, true}, {"NONE", 4, false}};
  for (const auto& c : cases) {
    const std::string trace = d.file(std::string("trace.") + c.proc);
    const run_result r = run_kivo(d, "xterm", "-d=DB1 -a=0LA -t=subroutine -p=" + std::string(c.proc), trace);
    EXPECT_EQ(r.status, c.status) << c.proc << r.out;
    std::ifstream in(trace);
    const std::string lines((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(lines.find(std::string("0LA/6/") + c.proc) != std::string::npos, c.ran) << c.proc << lines;
  }
}

// A design of FILE, ELEMENT, PROCESS and STMT records alone (no FRAME,
// SELECT, CHILD, IMAGE, ROW, ITEM or CHR file on disk) compiles: its
// SUBROUTINE, beginning with a TRAP that passes through, ends the engine as
// its LOGOUT says. A FRAME file that is there but does not open is a
// compile error naming it: the process is not loaded.
TEST(CoreMends, DesignWithoutFrameFilesRunsItsSubroutine) {
  data_dir d;
  copy_default(d);
  std::ofstream(d.file("sub.dsgn")) << "APPLICATION 0SA 00\n"
                                       "PROCESS 6 TRAPPED\nSTMTS 6 TRAPPED ep=1\n      TRAP\n"
                                       "      CALC     AI = 2 * 3\n      LOGOUT           N\nEND\n";
  const std::string kivo = KIVO_BINARY, design = kivo.substr(0, kivo.rfind('/')) + "/tools/kivo_design";
  ASSERT_EQ(system((design + " -d " + shell_quote(d.path) + " " + d.file("sub.dsgn")).c_str()), 0);
  for (const char* f : {"FRAME", "SELECT", "CHILD", "IMAGE", "ROW", "ITEM", "CHR"})
    ASSERT_FALSE(std::ifstream(d.file(std::string("00/0SA/Data/") + f + ".dat"))) << f;
  const std::string args = "-d=DB1 -a=0SA -t=subroutine -p=TRAPPED", log = d.file("syserr.log");
  run_result r = run_kivo(d, "xterm", args, d.file("trace"));
  EXPECT_EQ(r.status, 127) << r.out;
  EXPECT_NE(kivo_test::slurp(d.file("trace")).find("0SA/6/TRAPPED"), std::string::npos);
  for (const char* ext : {".dat", ".key"}) std::ofstream(d.file(std::string("00/0SA/Data/FRAME") + ext)) << "no file";
  r = run_kivo(d, "xterm", args, "", "KIVO_SYS_ERR_LOG=" + shell_quote(log));
  EXPECT_EQ(r.status, 4) << r.out;  // the process cannot be loaded: its end code 4 is the engine's
  EXPECT_NE(r.out.find("\"TRAPPED\" cannot be loaded"), std::string::npos) << r.out;
  const std::string errs = kivo_test::slurp(log);
  EXPECT_NE(errs.find("compile 0SA TRAPPED: design file FRAME of 0SA not opened"), std::string::npos) << errs;
}

// A first start without APPL writes the four system applications, runs
// INSTALL of 0SA (the shipped subroutine that ends normally) and ends with
// 0; APPL keeps the records, "0LA" with its golden bytes.
TEST(ExecutiveKivo, FirstStartWritesApplAndRunsInstall) {
  data_dir d;
  copy_default(d);
  ASSERT_EQ(system(("rm -f " + d.file("0SA/Data/APPL.*")).c_str()), 0);
  const run_result r = run_kivo(d, "xterm", "", d.file("trace"));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(kivo_test::slurp(d.file("trace")).find("0SA/6/INSTALL"), std::string::npos);
  const std::string appl = kivo_test::slurp(d.file("0SA/Data/APPL.dat"));
  const size_t at = appl.find("0LA00 ");
  ASSERT_NE(at, std::string::npos);
  ASSERT_GE(at, 4u);
  const std::string rec = appl.substr(at - 4, 324);
  EXPECT_EQ(rec.substr(0, 296) + rec.substr(312), kivo_test::appl_golden("0LA", "Kivo Runtime"));
  for (const char* ap : {"0SA00 ", "0AD00 ", "0DB00 "}) EXPECT_NE(appl.find(ap), std::string::npos) << ap;
}

// Without a terminal the start ends before any screen.
TEST(KivoStartup, UserFileAndKeymapCasesEndWithTheirStatus) {
  const struct {
    const char* setup;  // how the USER file is made
    const char* term;
    int status;
    const char* text;
  } rows[] = {
      {"", "vt100", 3, "KIVO Startup Failure: Can't find a keymap for this terminal/user"},
      {"other", "tmux-256color", 200020 & 0xFF, "not found in USER File"},
      {"garbage", "tmux-256color", 200640 & 0xFF, "can't start USER file"},
  };
  for (const auto& r : rows) {
    data_dir d;
    if (std::string(r.setup) != "other") copy_default(d);
    const std::string user = d.path + "/0SA/Data/USER";
    if (std::string(r.setup) == "other") {
      std::string cmd = std::string(FIXTURE_DIR) + " " + shell_quote(d.path) + " tmux-256color ZZZ";
      ASSERT_EQ(system(cmd.c_str()), 0);
    }
    if (std::string(r.setup) == "garbage") std::ofstream(user + ".dat") << "not a data file";
    run_result got = run_kivo(d, r.term);
    EXPECT_NE(got.out.find(r.text), std::string::npos) << r.setup << ": " << got.out;
    if (*r.setup != 'g') {
      EXPECT_EQ(got.status, r.status) << r.setup;
    }
    EXPECT_NE(got.status, 0) << r.setup;
  }
}

class KivoKeys : public NativeFm {
 protected:
  // A fixture installation for tmux-256color with keymaps in KEYMAP.
  // Each test starts from a KEYMAP that holds the terminal type's keymaps,
  // made by a whole run of the utility that declines to run the engine.
  void SetUp() override {
    NativeFm::SetUp();
    ASSERT_EQ(system((std::string(FIXTURE_DIR) + " " + shell_quote(d_.path) + " tmux-256color").c_str()), 0);
    ASSERT_EQ(define(kPhysKeys, "Y", false, "N\r"), 1) << out_;
    ASSERT_EQ(records("MENU ENTRY"), 18);
    ASSERT_EQ(records("DATA ENTRY"), 18);
    keymap_ = kivo_test::slurp(d_.file("0SA/Data/KEYMAP.dat"));
  }
  // kivo -k: yes to the existing keymaps' questions, the END OF ENTRY key,
  // `keys` keys, then `answer`; the exit status. `run` answers the last
  // question once it shows: the terminal's reset drops what is typed ahead.
  // `twice` sends the bytes of CURSOR UP for HOME too.
  virtual std::unique_ptr<tmux_pane> pane() {
    env_list env = kivo_env(d_, "tmux-256color");
    env.insert(env.end(), extra_.begin(), extra_.end());
    return std::make_unique<tmux_pane>(std::string(KIVO_BINARY) + " -k", d_.path, env);
  }
  int define(int keys, const std::string& answer, bool twice = false, const char* run = nullptr) {
    const std::unique_ptr<tmux_pane> pp = pane();
    tmux_pane& p = *pp;
    EXPECT_TRUE(p.wait_for("Terminal Type: " + term_)) << p.capture();
    // A keymap already there is asked about before the first key is.
    std::string shown;
    kivo_test::wait_until(
        [&] {
          shown = p.capture();
          return shown.find("ALREADY EXIST") != std::string::npos ||
                 shown.find("END OF ENTRY key now") != std::string::npos;
        },
        kivo_test::kScreenWait);
    if (shown.find("ALREADY EXIST") != std::string::npos) p.send_text("YY");
    EXPECT_TRUE(p.wait_for("END OF ENTRY key now")) << p.capture();
    p.send_text(" ");
    for (int i = 0; i < keys; ++i)
      p.send_hex(std::string(kivo_test::test_phys_bytes(twice && i == PK_HOME ? PK_UP : i)) + " ");
    if (keys == kPhysKeys) {
      EXPECT_TRUE(p.wait_for("Is it OK to Continue?")) << p.capture();
    }
    if (!trigger_.empty()) std::ofstream{trigger_};
    p.send_hex(answer);
    if (redefine_) {
      // The two identical keys are asked for again, each as itself.
      EXPECT_TRUE(p.wait_for("are identical")) << p.capture();
      named_ = p.capture();
      for (int k : {PK_UP, PK_HOME}) p.send_hex(std::string(kivo_test::test_phys_bytes(k)) + " ");
    }
    if (run) {
      EXPECT_TRUE(p.wait_for("run KIVO now?")) << p.capture();
      p.send_hex(run);
    }
    // Each system error the run reports waits for RETURN, until its end.
    for (size_t answered = 0; ack_errors_;) {
      size_t prompts = 0;
      bool ended = false;
      kivo_test::wait_until(
          [&] {
            const std::string now = p.capture_history();
            prompts = 0;
            for (size_t at = 0; (at = now.find("Press Return To Continue", at)) != std::string::npos; ++at) ++prompts;
            ended = now.find(ack_errors_) != std::string::npos;
            return prompts > answered || ended;
          },
          kivo_test::kScreenWait);
      if (prompts == answered) break;
      p.send_hex("\r");
      answered = prompts;
    }
    const int st = p.exit_status();
    out_ = p.capture();
    return st;
  }
  // Waits for the 18 records of a whole keymap: a remote server writes
  // after the client's last question.
  int records(const char* name) {
    int n = count(name);
    for (int ms = 0; n != 18 && ms < 30000; ms += 100, poll(nullptr, 0, 100)) n = count(name);
    return n;
  }
  int count(const char* name) {
    com.data_dir = cstr{uint16_t(d_.path.size()), d_.path.data()};
    FDB f;
    KDB k[kInitMaxKeys];
    SDB s[kInitMaxSegs];
    INIT_DKEYMAP_FDB(&f, k, s);
    if (!FM_OPEN(&f, com.sys_scope, kAnyFile, 15, 15)) return -1;
    ARB* a = f.fdb_arb;
    uint8_t key[23], rec[KEYMAP_RECORD_SIZE];
    memcpy(key, (term_ + "   ").data(), 13), memcpy(key + 13, name, 10);
    a->arb_keyno = 0, a->arb_key = key, a->arb_key_len = 23, a->arb_rec = rec, a->arb_len = sizeof rec;
    a->arb_mod = ARB_PARTIAL;
    int n = 0;
    if (fm_start(a)) {
      for (a->arb_mod = ARB_EQUAL | ARB_PARTIAL; fm_rdnxt(a);) ++n;
    }
    a->arb_key = nullptr, a->arb_mod = 0;
    FM_CLOSE(a, 0);
    return n;
  }
  data_dir d_;
  std::string keymap_, out_, term_ = "tmux-256co";
  env_list extra_;
  std::string trigger_;  // made just before the answer
  // The text that ends a run whose system errors are answered with RETURN
  // as they come; null: none are expected.
  const char* ack_errors_ = nullptr;
  bool redefine_ = false;  // the run names two identical keys: they are given again
  std::string named_;      // the screen that named them
};

TEST_F(KivoKeys, DefinedKeysReplaceTheKeymapsAndWinOverTheDefaults) {
  EXPECT_EQ(define(kPhysKeys, "Y", false, "N\r"), 1) << out_;
  EXPECT_NE(out_.find("successfully completed!"), std::string::npos) << out_;
  EXPECT_EQ(records("MENU ENTRY"), 18);
  EXPECT_EQ(records("DATA ENTRY"), 18);
  // The driver decodes the defined cursor and function keys.
  std::ofstream(d_.file("cmds")) << "srf\nwnd 3 10 5 40\nregion READY\nkeys 3\n";
  tmux_pane p(std::string(WM_DRIVER) + " cmds res", d_.path, kivo_env(d_, "tmux-256color"));
  ASSERT_TRUE(p.wait_for("READY")) << p.capture();
  p.send_hex("\x1b[A\x1b[D\x0f\x31");  // UP, LEFT, OPTION 1
  EXPECT_EQ(p.exit_status(), 0);
  EXPECT_EQ(kivo_test::slurp(d_.file("res")), "key " + std::to_string(LK_UP) + " kind 1\nkey " +
                                                  std::to_string(LK_LEFT) + " kind 1\nkey 1 kind 1\nend 1\n");
}

TEST_F(KivoKeys, EndAtKeyTenChangesNoFile) {
  EXPECT_EQ(define(10, "\x04 Y"), 0) << out_;
  EXPECT_NE(out_.find("No files were changed."), std::string::npos) << out_;
  EXPECT_EQ(kivo_test::slurp(d_.file("0SA/Data/KEYMAP.dat")), keymap_);
}

// Writes to KEYMAP fail from the confirmation on (a preloaded library):
// the run ends non-zero and never says it completed.
TEST_F(KivoKeys, WriteFailureInTheLastStepEndsNonZero) {
  trigger_ = d_.file("fail-now");
  extra_ = {{"LD_PRELOAD", FAIL_WRITES},
            {"KVTEST_FAIL_WRITES", trigger_},
            {"KVTEST_FAIL_PATH", "KEYMAP"},
            {"ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0"}};
  ack_errors_ = "Keymap not written";
  EXPECT_EQ(define(kPhysKeys, "Y"), 2) << out_;
  EXPECT_NE(out_.find("Keymap not written"), std::string::npos) << out_;
  EXPECT_EQ(out_.find("successfully completed"), std::string::npos) << out_;
}

// Both keys are asked for again; given apart, the run completes.
TEST_F(KivoKeys, IdenticalKeysAreNamed) {
  redefine_ = true;
  EXPECT_EQ(define(kPhysKeys, "Y", true, "N\r"), 1) << out_;
  EXPECT_NE(named_.find("ERROR: The following keys are identical\n       CURSOR UP\n       HOME"), std::string::npos)
      << named_;
  EXPECT_EQ(records("MENU ENTRY"), 18);
}

// The same dialogue on a character client whose server, started by the
// test listener, is kivo -k on a copy of the default installation. The
// listener takes every connection: a run of the session after the keys
// comes on a second one. The installation holds a start subroutine, so a
// session that runs shows in the statement trace.
class KivoKeysRemote : public KivoKeys {
 protected:
  void SetUp() override {
    NativeFm::SetUp();
    copy_default(d_);
    std::ofstream(d_.file("sub.dsgn"))
        << "APPLICATION 0LA 00\nPROCESS 6 DONE\nSTMTS 6 DONE ep=1\n      END PROC\nEND\n";
    const std::string kivo = KIVO_BINARY, design = kivo.substr(0, kivo.rfind('/')) + "/tools/kivo_design";
    ASSERT_EQ(system((design + " -d " + shell_quote(d_.path) + " " + d_.file("sub.dsgn")).c_str()), 0);
    term_ = "xterm-256c";
  }
  std::unique_ptr<tmux_pane> pane() override {
    const std::string at = "=" + d_.path;
    if (!listener_)
      listener_ = std::make_unique<listener>(
          false,
          std::vector<std::string>{"/usr/bin/env", "TERM=xterm-256color", "KIVOPATH" + at, "KIVO_0SA_PATH" + at,
                                   "KIVO_TRACE_0APPS=1", "KIVO_TRACE_FILE=" + trace(), KIVO_BINARY, "-a=0LA",
                                   "-t=subroutine", "-p=DONE"},
          nullptr);
    env_list env = kivo_env(cli_, "xterm-256color");
    env.insert(env.end(), {{"KIVO_HOST", "127.0.0.1"},
                           {"KIVO_PORT", listener_->port},
                           {"KIVO_USER", "me"},
                           {"KIVO_PSWD", "pw"},
                           {"KIVO_REMAP", "1"}});
    return std::make_unique<tmux_pane>(std::string(KIVO_BINARY) + " -c", cli_.path, env);
  }
  std::string trace() const { return d_.file("trace"); }
  data_dir cli_;
  std::unique_ptr<listener> listener_;
};

// With KEYMAP empty (as installed), then holding the type's keymaps: the keys reach the
// server's KEYMAP whole; Y to "run KIVO now?" runs the session; an END at
// key ten changes nothing.
using SessionDeadlines = KivoKeysRemote;  // the remote sessions' group

TEST_F(SessionDeadlines, RemoteKeyDefinitionReachesTheServersKeymapAndYesRunsTheSession) {
  // Nothing runs yet: counted at once, not waited for as a whole keymap.
  ASSERT_EQ(count("MENU ENTRY") + count("DATA ENTRY"), 0);
  EXPECT_EQ(define(kPhysKeys, "Y", false, "N\r"), 1) << out_;
  EXPECT_EQ(records("MENU ENTRY"), 18);
  EXPECT_EQ(records("DATA ENTRY"), 18);
  EXPECT_EQ(kivo_test::slurp(trace()).find("0LA/6/DONE"), std::string::npos);
  EXPECT_EQ(define(kPhysKeys, "Y", false, "Y\r"), 0) << out_;
  EXPECT_EQ(records("MENU ENTRY"), 18);
  EXPECT_EQ(records("DATA ENTRY"), 18);
  EXPECT_NE(kivo_test::slurp(trace()).find("0LA/6/DONE"), std::string::npos) << out_;
  keymap_ = kivo_test::slurp(d_.file("0SA/Data/KEYMAP.dat"));
  EXPECT_EQ(define(10, "\x04 Y"), 0) << out_;
  EXPECT_NE(out_.find("No files were changed."), std::string::npos) << out_;
  EXPECT_EQ(kivo_test::slurp(d_.file("0SA/Data/KEYMAP.dat")), keymap_);
}

// The tmux key that stands for each physical key in the default keymaps.
const char* const kTmuxKeys[kPhysKeys] = {
    "BSpace", "S-F1", "Enter", "Tab", "F1", "F2", "F3",  "F4",  "Up",  "Right", "Down",  "Left",  "IC",
    "DC",     "F5",   "F6",    "F7",  "F8", "F9", "F10", "F11", "F12", "S-F2",  "PPage", "NPage", "0",
    "1",      "2",    "3",     "4",   "5",  "6",  "7",   "8",   "9",   "S-F3",  "BTab"};

// Types a combination: tmux keys for the physical keys, bytes for the
// literals (GO first where the literal asks for it). False for a literal
// that is no byte.
bool type_combo(kivo_test::tmux_pane* p, size_t index, uint16_t* code) {
  uint16_t parts[5];
  *code = tm_combo_parts(index, parts);
  for (uint16_t part : parts)
    if (part >= 1 && part <= kLiterals && tm_literal(part) > 255) return false;
  for (int i = 0; p && i < 5 && parts[i] != kKeystrokeEnd; ++i) {
    if (parts[i] >= kPartPhys) {
      p->send_keys(kTmuxKeys[parts[i] - kPartPhys]);
      continue;
    }
    if (parts[i] == 3 || parts[i] == 4 || parts[i] == 5 || parts[i] == 8 || parts[i] == 9) p->send_keys("F2");
    p->send_hex(std::string(1, char(tm_literal(parts[i]))));
  }
  return true;
}

// Every default combination but TAB 2 (270 is no byte) typed as its keys
// decodes to its code.
void decode_all(const std::string& term) {
  kivo_test::data_dir dir;
  copy_default(dir);
  uint16_t code;
  size_t n = 0;
  for (size_t i = 0; i < kAllCombos; ++i) n += type_combo(nullptr, i, &code);
  std::ofstream(dir.file("cmds")) << "srf\nwnd 3 10 5 40\nregion READY\nkeys " << n << "\n";
  kivo_test::tmux_pane p(std::string(WM_DRIVER) + " cmds res", dir.path,
                         {{"TERM", term}, {"KIVO_TST_DIR", dir.path}, {"KIVOPATH", dir.path}});
  ASSERT_TRUE(p.wait_for("READY")) << p.capture();
  std::string want;
  for (size_t i = 0; i < kAllCombos; ++i)
    if (type_combo(&p, i, &code)) want += "key " + std::to_string(code) + " kind 1\n";
  EXPECT_EQ(p.exit_status(), 0) << term;
  EXPECT_EQ(kivo_test::slurp(dir.file("res")), want + "end 1\n") << term;
}

TEST(DefaultKeymaps, EveryCombinationDecodesOnTmux256color) { decode_all("tmux-256color"); }
TEST(DefaultKeymaps, EveryCombinationDecodesOnXterm256color) { decode_all("xterm-256color"); }

}  // namespace
}  // namespace kivo::test
