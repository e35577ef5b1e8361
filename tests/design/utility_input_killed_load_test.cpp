// kivo_design loads killed part-way (UtilityInput): a reload (-r) or a load
// that adds to a version, killed at each of its steps, is finished by the
// next process that uses the version's design folder, the engine's start of
// the application or the next load, which says so in one line; the next
// load then ends as an uninterrupted one does, byte for byte, with nothing
// set aside left. A load that still lives is left to itself. Through the
// real kivo_design and kivo on copies of the shipped installation, a run
// held at a chosen step (tests/fixtures/gate_writes.cpp) and killed there.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../fixtures/inventory_design.h"
#include "../fixtures/kivo_fixture.h"
#include "../foundation/test_dir.h"
#include "../screen/term_harness.h"
#include "fm/set_aside.h"

namespace {

namespace fs = std::filesystem;
using kivo_test::env_list;
using kivo_test::kScreenWait;
using kivo_test::scratch_dir;
using kivo_test::shell_quote;
using kivo_test::slurp;
using kivo_test::tmux_pane;
using kivo_test::tree_changes;
using kivo_test::tree_sums;

const std::vector<std::string> kNone;

const std::string kInventory = kivo_test::inventory_design();

// Added to it by a load without -r: a process into files the version has
// (PROCESS ... ITEM), a CHR and a PARAM into files it makes.
constexpr const char* kAddition = R"(APPLICATION INV 01
PROCESS 2 "PART VIEW" pcf_ap=INV pcf_file=PART
FRAME 2 "PART VIEW" 0 1
IMAGE 2 "PART VIEW" 0 1 1 kind=1 rows=5 cols=60 win_row=3 win_col=10
ROW 2 "PART VIEW" 0 1 1 1 "PART VIEW"
ITEM 2 "PART VIEW" 0 1 1 3 15 ap=INV field="PART NO"
CHR 2 "PART VIEW" 0 1 1 3 15 rows=1 cols=6 underline=1
PARAM start="INV MENU"
)";
constexpr const char* kApps = kivo_test::kInventoryApps;

struct ran {
  int status;
  std::string out;
};

// `program args` with `env` added, its output into `out`: its process id.
pid_t start(const std::string& program, env_list env, const std::string& args, const std::string& out) {
  env.push_back({"ASAN_OPTIONS", "detect_leaks=0:verify_asan_link_order=0"});
  return kivo_test::start_program(".", program, env, args, out);
}

int finish(pid_t pid) { return kivo_test::program_status(pid); }

// The clock of every load steps on from the same moment.
const env_list kStepped = {{"LD_PRELOAD", STEP_CLOCK}};

// Added to an environment, holds the tool at the `nth` call of kind `on`
// (write, rename, unlink) on a path holding `part`: `gate`/held appears
// then, and the call goes on once `gate`/go exists.
env_list gated(const std::string& gate, const char* on, const char* part, int nth) {
  return {{"LD_PRELOAD", std::string(GATE_WRITES) + ":" + STEP_CLOCK},
          {"KVTEST_GATE_ON", on},
          {"KVTEST_GATE_PATH", part},
          {"KVTEST_GATE_NTH", std::to_string(nth)},
          {"KVTEST_GATE_MARK", gate + "/held"},
          {"KVTEST_GATE_OPEN", gate + "/go"}};
}

// The installation the rows start from, with INV loaded and installed; the
// sources, and the design files an uninterrupted load of each leaves.
struct inventory {
  scratch_dir d;
  std::string base = d.file("base");
  std::string inv = d.write("inv.dsgn", kInventory), add = d.write("add.dsgn", kAddition);
  std::map<std::string, std::string> base_files, reloaded, added;
  std::string added_again;  // what the addition says loaded a second time

  inventory() {
    EXPECT_TRUE(kivo_test::copy_shipped_installation(base));
    const ran loaded = tool(KIVO_DESIGN, {}, "-r -d " + shell_quote(base) + " " + shell_quote(inv));
    EXPECT_EQ(loaded.status, 0) << loaded.out;
    const ran installed = tool(KIVO_INSTALL, {}, "-d " + shell_quote(base) + " -a " + d.write("apps.txt", kApps));
    EXPECT_EQ(installed.status, 0) << installed.out;
    base_files = tree_sums(data(base));
    const std::string r = copy("reloaded"), a = copy("added");
    EXPECT_EQ(load(r, "-r", inv).status, 0);
    EXPECT_EQ(load(a, "", add).status, 0);
    reloaded = tree_sums(data(r));
    added = tree_sums(data(a));
    const ran again = load(a, "", add);
    EXPECT_EQ(again.status, 1);
    added_again = again.out;
    EXPECT_EQ(tree_sums(data(a)), added) << again.out;
  }
  static std::string data(const std::string& inst) { return inst + "/01/INV/Data"; }
  std::string copy(const std::string& name) const {
    fs::copy(base, d.file(name), fs::copy_options::recursive);
    return d.file(name);
  }
  ran tool(const std::string& program, const env_list& env, const std::string& args) const {
    const std::string out = d.file("tool.out");
    const int st = finish(start(program, env, args, out));
    return {st, slurp(out)};
  }
  // kivo_design `flags` of `source` on `inst`, on the stepped clock.
  ran load(const std::string& inst, const std::string& flags, const std::string& source) const {
    return tool(KIVO_DESIGN, kStepped, flags + " -d " + shell_quote(inst) + " " + shell_quote(source));
  }
};

// The names in a design folder that a load sets aside or records.
std::vector<std::string> left_over(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string n = e.path().filename().string();
    if (n[0] == '_' || n == "setaside.run") out.push_back(n);
  }
  return out;
}

// The engine's start of the application's menu, its log in `inst`/syserr.
std::unique_ptr<tmux_pane> menu(const std::string& inst) {
  const env_list env = {{"TERM", "tmux-256color"},
                        {"HOME", inst},
                        {"KIVOPATH", inst},
                        {"KIVO_0SA_PATH", inst},
                        {"KIVO_SYS_ERR_LOG", inst + "/syserr"}};
  return std::make_unique<tmux_pane>(shell_quote(KIVO_BINARY) + " -d=INV -a=INV -t=Menu -p=INV_MENU", inst, env);
}

// Whether the menu shows and the session then ends well; the system-error
// log's lines into *log.
bool menu_runs(const std::string& inst, std::string* log) {
  auto p = menu(inst);
  const bool shown = p->wait_for("1 PART ENTRY");
  p->send_keys("S-F1");
  const bool ended = p->exit_status() == 0;
  *log = slurp(inst + "/syserr");
  EXPECT_TRUE(shown && ended) << p->capture();
  return shown && ended;
}

// A load of `source` on `inst`, held at the `nth` call of kind `on` on a
// path holding `part`: its process id, -1 (killed) when it never got there.
pid_t held_load(const scratch_dir& gate, const std::string& inst, const std::string& flags, const std::string& source,
                const char* on, const char* part, int nth) {
  const pid_t pid = start(KIVO_DESIGN, gated(gate.path, on, part, nth),
                          flags + " -d " + shell_quote(inst) + " " + shell_quote(source), gate.file("load.out"));
  if (kivo_test::wait_until([&] { return fs::exists(gate.file("held")); }, kScreenWait)) return pid;
  ADD_FAILURE() << "never held: " << slurp(gate.file("load.out"));
  kill(pid, SIGKILL);
  finish(pid);
  return -1;
}

bool killed(pid_t pid) { return pid > 0 && kill(pid, SIGKILL) == 0 && finish(pid) == 128 + SIGKILL; }

// Killed at each of these steps, a load leaves its version's design half
// written or missing, beside the files it set aside and its record. The
// next process that uses the folder finishes it: the engine's start of the
// application, which then runs, or the next load, each saying so in one
// line: put back as it was, or, once the load had marked its files whole,
// the files set aside removed. The next load then ends as it would after an
// uninterrupted one, its design files byte for byte the same. (Before, the
// files set aside stayed for good, and the version's design stayed as the
// killed run left it.)
TEST(UtilityInput, KilledDesignLoadIsFinishedByTheNextRun) {
  inventory inv;
  const struct {
    const char* moment;
    const char* flags;
    bool reload;     // the source: the whole design with -r, else the addition
    const char* on;  // the gate: the nth call of this kind on a path holding `part`
    const char* part;
    int nth;
    bool whole;   // the killed load had marked its files whole
    bool engine;  // the engine's start finishes it, else the next load
  } rows[] = {
      {"-r, its first file set aside", "-r", true, "rename", "/Data/ELEMENT.", 1, false, true},
      {"-r, between the two parts of a file set aside", "-r", true, "rename", "/Data/FILE.key", 1, false, false},
      {"-r, writing the items", "-r", true, "write", "/Data/ITEM.", 1, false, true},
      {"-r, every file written, not yet marked whole", "-r", true, "write", "/setaside.run", 3, false, false},
      {"-r, marked whole, removing what it set aside", "-r", true, "unlink", "/Data/_*.dat", 1, true, true},
      {"a load, copying a file's records back", "", false, "write", "/Data/PROCESS.", 1, false, false},
      {"a load, writing a file it makes", "", false, "write", "/Data/CHR.", 1, false, true},
      {"a load, marked whole, removing what it set aside", "", false, "unlink", "/Data/_*.dat", 1, true, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.moment);
    scratch_dir gate;
    const std::string inst = inv.copy(std::string("row") + std::to_string(&r - rows)), data = inv.data(inst);
    const std::string source = r.reload ? inv.inv : inv.add;
    const pid_t pid = held_load(gate, inst, r.flags, source, r.on, r.part, r.nth);
    ASSERT_TRUE(killed(pid));
    ASSERT_NE(tree_sums(data), inv.base_files);
    ASSERT_NE(left_over(data), kNone);

    const auto& want = r.reload ? inv.reloaded : inv.added;
    const std::string line = std::string(r.engine ? "kivo" : "kivo_design") + ": the load of INV/01 by process " +
                             std::to_string(pid) +
                             (r.whole ? " had written its files but did not end: the "
                                      : " did not end: " + data + " is as it was before it (");
    std::string said;
    if (r.engine) {
      std::string log;
      EXPECT_TRUE(menu_runs(inst, &log));
      EXPECT_EQ(log.rfind(line, 0), 0u) << log;
      EXPECT_EQ(log.find('\n'), log.size() - 1) << log;
      EXPECT_EQ(left_over(data), kNone);
      EXPECT_EQ(tree_changes(r.whole ? want : inv.base_files, tree_sums(data)), kNone);
    } else {
      said = line;
    }
    const ran again = inv.load(inst, r.flags, source);
    // A load marked whole had added its records: the next says so, as a
    // second load after an uninterrupted one does.
    const bool refused = r.whole && !r.reload;
    EXPECT_EQ(again.status, refused ? 1 : 0) << again.out;
    const std::string rest = refused ? inv.added_again : "";
    if (said.empty()) {
      EXPECT_EQ(again.out, rest);
    } else {
      EXPECT_EQ(again.out.rfind(said, 0), 0u) << again.out;
      const size_t nl = again.out.find('\n');
      EXPECT_EQ(nl == std::string::npos ? "" : again.out.substr(nl + 1), rest) << again.out;
    }
    EXPECT_EQ(tree_changes(want, tree_sums(data)), kNone);
    EXPECT_EQ(left_over(data), kNone);
  }
}

// A load that lives (held before it marks its files whole) is left to
// itself: a second load of the version is refused with one line naming it
// and changes nothing, the engine's start of the application leaves its
// record and the files it set aside; let go, it ends as if alone.
TEST(UtilityInput, LiveDesignLoadIsLeftToItsOwnRun) {
  inventory inv;
  scratch_dir gate;
  const std::string inst = inv.copy("live"), data = inv.data(inst);
  const pid_t pid = held_load(gate, inst, "-r", inv.inv, "write", "/setaside.run", 3);
  ASSERT_GT(pid, 0);
  const auto during = tree_sums(data);
  ASSERT_NE(left_over(data), kNone);

  const ran second = inv.load(inst, "-r", inv.inv);
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(second.out, "kivo_design: " + inv.inv + ":1: another process (" + std::to_string(pid) + ") is changing " +
                            data + ": run again when it ends\nkivo_design: " + inv.inv + ": nothing was changed\n");
  EXPECT_EQ(tree_changes(during, tree_sums(data)), kNone);
  std::string log;
  EXPECT_TRUE(menu_runs(inst, &log));
  EXPECT_EQ(log, "");
  EXPECT_EQ(tree_changes(during, tree_sums(data)), kNone);

  std::ofstream(gate.file("go")).put('\n');
  EXPECT_EQ(finish(pid), 0) << slurp(gate.file("load.out"));
  EXPECT_EQ(slurp(gate.file("load.out")), "");
  EXPECT_EQ(tree_changes(inv.reloaded, tree_sums(data)), kNone);
  EXPECT_EQ(left_over(data), kNone);
}

// A load killed while a session (started during the load) has its files
// open: the next load says so in a line and is refused, changing nothing,
// and nothing is replaced under the session; once the session has ended,
// the load after puts the version back and reloads it.
TEST(UtilityInput, KilledDesignLoadWaitsForTheSessionUsingItsFiles) {
  inventory inv;
  scratch_dir gate;
  const std::string inst = inv.copy("used"), data = inv.data(inst);
  const pid_t pid = held_load(gate, inst, "-r", inv.inv, "write", "/setaside.run", 3);
  auto p = menu(inst);
  ASSERT_TRUE(p->wait_for("1 PART ENTRY")) << p->capture();
  p->send_keys("Enter");
  ASSERT_TRUE(p->wait_for("PART NO:")) << p->capture();
  ASSERT_TRUE(killed(pid));
  const auto left = tree_sums(data);

  const std::string who = "kivo_design: the load of INV/01 by process " + std::to_string(pid);
  const ran refused = inv.load(inst, "-r", inv.inv);
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.out, who + " did not end, and its files in " + data +
                             " are in use by another process: they are put back by the first run after that "
                             "ends\nkivo_design: " +
                             inv.inv + ":1: the files in " + data +
                             " are in use by another process: end it and run again\nkivo_design: " + inv.inv +
                             ": nothing was changed\n");
  EXPECT_EQ(tree_changes(left, tree_sums(data)), kNone);

  p->send_keys("S-F1");
  ASSERT_TRUE(p->wait_for("1 PART ENTRY")) << p->capture();
  p->send_keys("S-F1");
  EXPECT_EQ(p->exit_status(), 0) << p->capture();
  const ran again = inv.load(inst, "-r", inv.inv);
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out, who + " did not end: " + data + " is as it was before it (22 files put back)\n");
  EXPECT_EQ(tree_changes(inv.reloaded, tree_sums(data)), kNone);
  EXPECT_EQ(left_over(data), kNone);
}

// A killed load met by a user who may read the installation but not write
// it (nobody): the next load says what the killed one left and the command
// that finishes it, run as a user who can write there, and changes
// nothing; that command puts the version back and reloads it.
TEST(UtilityInput, KilledDesignLoadNamesItsWayOutToAUserWhoCannotFinishIt) {
  if (getuid() != 0) GTEST_SKIP() << "needs root, to run kivo_design as the user nobody";
  if (system("command -v setpriv >/dev/null") != 0) GTEST_SKIP() << "no setpriv to run as nobody";
  inventory inv;
  scratch_dir gate;
  const std::string inst = inv.copy("readonly"), data = inv.data(inst);
  ASSERT_EQ(system(("chmod -R a+rX,go-w " + shell_quote(inv.d.path)).c_str()), 0);
  const std::string args = "-r -d " + shell_quote(inst) + " " + shell_quote(inv.inv);
  const pid_t pid = held_load(gate, inst, "-r", inv.inv, "rename", "/Data/ELEMENT.", 1);
  ASSERT_TRUE(killed(pid));
  const auto left = tree_sums(data);

  const std::string out = gate.file("nobody.out");
  const int st = finish(kivo_test::start_program(".", KIVO_DESIGN, {{"ASAN_OPTIONS", "detect_leaks=0"}}, args, out,
                                                 "setpriv --reuid=nobody --regid=nogroup --clear-groups"));
  const std::string said = slurp(out), way = "; run again as a user who can write there: ";
  EXPECT_EQ(st, 1) << said;
  EXPECT_EQ(
      said.rfind("kivo_design: the load of INV/01 by process " + std::to_string(pid) + " did not end, and " + data +
                     " cannot be put back as it was: can't write " + data + "/setaside.run: Permission denied" + way,
                 0),
      0u)
      << said;
  EXPECT_EQ(tree_changes(left, tree_sums(data)), kNone);

  const size_t at = said.find(way), nl = said.find('\n');
  ASSERT_NE(at, std::string::npos);
  const std::string command = said.substr(at + way.size(), nl - at - way.size());
  EXPECT_NE(command.find(std::string(KIVO_DESIGN) + " -r -d " + inst + " " + inv.inv), std::string::npos) << command;
  const ran again = inv.tool("/bin/sh", kStepped, "-c " + shell_quote(command));
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out, "kivo_design: the load of INV/01 by process " + std::to_string(pid) + " did not end: " + data +
                           " is as it was before it (2 files put back)\n");
  EXPECT_EQ(tree_changes(inv.reloaded, tree_sums(data)), kNone);
  EXPECT_EQ(left_over(data), kNone);
}

// A load whose design folder is a relative path none of whose folders is
// there yet (a relative design directory configured, its first load): the
// record makes the folders and its end takes them away again. (Before, the
// search for the first folder to make never ended.)
TEST(UtilityInput, ALoadRecordMakesARelativeFolderAndTakesItAway) {
  scratch_dir d;
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(d.path.c_str()) != 0) _exit(2);
    kivo::set_aside_run r;
    std::string why;
    if (!r.begin("new/01/INV/Data", "the load of INV/01", &why) || !fs::exists("new/01/INV/Data/setaside.run"))
      _exit(3);
    r.end();
    _exit(fs::exists("new") ? 4 : 0);
  }
  ASSERT_GT(pid, 0);
  int st = -1;
  const bool ended = kivo_test::wait_until([&] { return waitpid(pid, &st, WNOHANG) == pid; }, kScreenWait);
  if (!ended) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
  ASSERT_TRUE(ended) << "the record's begin did not end";
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
}

}  // namespace
