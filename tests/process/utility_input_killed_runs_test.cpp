// Runs of the real `kivo` killed part-way and what the next run makes of
// them: a bootstrap (finished by the next one, refused while another runs
// or over a complete build), a restructure (SYSDIR put back, its swap
// finished, its new files removed), a ranking (its sort's work files
// removed, never those of a live process); a blank session name refused
// with nothing written; and the utilities on an installation the user
// cannot write. A run is killed where it is held at a chosen write or
// rename (tests/fixtures/gate_writes.cpp), never after a guess at a time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "../fixtures/kivo_fixture.h"
#include "../foundation/test_dir.h"
#include "../screen/term_harness.h"
#include "foundation/os.h"

namespace kivo::test {
namespace {

namespace fs = std::filesystem;
using kivo_test::env_list;
using kivo_test::kScreenWait;
using kivo_test::scratch_dir;
using kivo_test::shell_quote;
using kivo_test::tmux_pane;
using kivo_test::tree_changes;
using kivo_test::tree_sums;

const std::vector<std::string> kNone;

// `kivo args` started in `dir`: its process id.
pid_t start(const std::string& dir, const env_list& env, const std::string& args, const std::string& out,
            const std::string& as = "") {
  return kivo_test::start_program(dir, KIVO_BINARY, env, args, out, as);
}

int finish(pid_t pid) { return kivo_test::program_status(pid); }

struct ran {
  int status;
  std::string out;
};
ran run(const std::string& dir, const env_list& env, const std::string& args, const std::string& as = "") {
  const std::string out = dir + "/../run.out";
  const int st = finish(start(dir, env, args, out, as));
  return {st, kivo_test::slurp(out)};
}

// The environment of a run on the installation `dir`.
env_list inst_env(const std::string& dir) {
  return {{"HOME", dir}, {"KIVOPATH", dir}, {"KIVO_0SA_PATH", dir}, {"TERM", "tmux-256color"}};
}

// Added to an environment, holds the engine at its first write to a file
// whose path holds `part`: `gate`/held appears then, and the write goes on
// once `gate`/go exists.
env_list gated(env_list e, const std::string& gate, const std::string& part) {
  const char* asan = getenv("ASAN_OPTIONS");
  e.insert(e.end(), {{"LD_PRELOAD", GATE_WRITES},
                     {"KVTEST_GATE_PATH", part},
                     {"KVTEST_GATE_MARK", gate + "/held"},
                     {"KVTEST_GATE_OPEN", gate + "/go"},
                     {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"}});
  return e;
}
bool held(const std::string& gate) {
  return kivo_test::wait_until([&] { return fs::exists(gate + "/held"); }, kScreenWait);
}

// The lines of `text`.
std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
    out.push_back(text.substr(at, nl - at));
  return out;
}

// Files under `dir` whose names satisfy `pick`, by their path below it.
template <class F>
std::vector<std::string> files_named(const std::string& dir, F pick) {
  std::vector<std::string> out;
  if (!fs::exists(dir)) return out;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file() && pick(e.path().filename().string())) out.push_back(e.path().string().substr(dir.size()));
  std::sort(out.begin(), out.end());
  return out;
}

std::string hex(pid_t pid) {
  char b[16];
  snprintf(b, sizeof b, "%X", static_cast<unsigned>(pid));
  return b;
}

// ---- the bootstrap ----

std::string dist() { return kivo_test::engine_dir() + "/dist"; }

// The distribution copied into `d`/inst.
std::string copy_dist(const scratch_dir& d) {
  const std::string inst = d.file("inst");
  fs::copy(dist(), inst, fs::copy_options::recursive);
  return inst;
}

// Killed at each of these moments, a bootstrap is finished by the next run,
// which says so in one line (nothing to say when the killed run had made
// nothing) and leaves what an uninterrupted run leaves, byte for byte. A
// bootstrap over that complete build is refused with one line and changes
// nothing. (Before, the next run failed on the INITIAL file, or printed
// thousands of "Already on file" lines over a grown build.)
TEST(UtilityInput, BootstrapKilledPartWayIsFinishedByTheNextRun) {
  scratch_dir ref;
  const std::string whole = copy_dist(ref);
  ASSERT_EQ(run(whole, inst_env(whole), "-b").status, 1);
  const auto want = tree_sums(whole);
  ASSERT_FALSE(want.count("/bootstrap.run"));
  const struct {
    const char* moment;
    const char* part;  // the gate: the first write to a path holding it
    bool made;         // the killed run had made files
  } rows[] = {
      {"writing its record", "/bootstrap.run", false},
      {"at its first file", "00/0AD/Data/INITIAL", true},
      {"importing the runtime's statements", "00/0LA/Data/STMT", true},
      {"recording the structure of 0DB's design files", "00/0DB/Struct/", true},
      {"importing the users, its last step", "0SA/Data/USER", true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.moment);
    scratch_dir d;
    const std::string inst = copy_dist(d);
    const pid_t pid = start(inst, gated(inst_env(inst), d.path, r.part), "-b", d.file("killed.out"));
    ASSERT_TRUE(held(d.path)) << kivo_test::slurp(d.file("killed.out"));
    kill(pid, SIGKILL);
    ASSERT_EQ(finish(pid), 128 + SIGKILL);
    EXPECT_EQ(!files_named(inst, [](const std::string& n) { return n.size() > 4 && n.substr(n.size() - 4) == ".dat"; })
                   .empty(),
              r.made);
    const ran again = run(inst, inst_env(inst), "-b");
    EXPECT_EQ(again.status, 1) << again.out;
    std::vector<std::string> said;
    for (const std::string& l : lines_of(again.out))
      if (l.rfind(inst + "/", 0) != 0) said.push_back(l);  // all but the progress lines
    if (r.made) {
      ASSERT_EQ(said.size(), 1u) << again.out;
      EXPECT_EQ(said[0].rfind("kivo -b: the run of process " + std::to_string(pid) + " did not end; ", 0), 0u)
          << said[0];
    } else {
      EXPECT_EQ(said, kNone) << again.out;
    }
    EXPECT_EQ(tree_changes(want, tree_sums(inst)), kNone);
    const ran over = run(inst, inst_env(inst), "-b");
    EXPECT_EQ(over.status, 2);
    EXPECT_EQ(lines_of(over.out).size(), 1u) << over.out;
    EXPECT_NE(over.out.find("the system applications are built here already"), std::string::npos) << over.out;
    EXPECT_EQ(tree_changes(want, tree_sums(inst)), kNone);
  }
}

// A bootstrap started while another runs in the same place is refused with
// one line naming it, and the first then ends as if alone.
TEST(UtilityInput, BootstrapIsRefusedWhileAnotherRunsThere) {
  scratch_dir ref, d;
  const std::string whole = copy_dist(ref), inst = copy_dist(d);
  ASSERT_EQ(run(whole, inst_env(whole), "-b").status, 1);
  const pid_t first = start(inst, gated(inst_env(inst), d.path, "00/0LA/Data/STMT"), "-b", d.file("first.out"));
  ASSERT_TRUE(held(d.path));
  const auto during = tree_sums(inst);
  const ran second = run(inst, inst_env(inst), "-b");
  EXPECT_EQ(second.status, 2);
  EXPECT_EQ(second.out, "kivo -b: nothing changed: another kivo -b (process " + std::to_string(first) +
                            ") is running in " + inst + "\n");
  EXPECT_EQ(tree_changes(during, tree_sums(inst)), kNone);
  std::ofstream(d.file("go")).put('\n');
  EXPECT_EQ(finish(first), 1) << kivo_test::slurp(d.file("first.out"));
  EXPECT_EQ(tree_changes(tree_sums(whole), tree_sums(inst)), kNone);
}

// ---- the ledger's restructure and ranking ----

// A copy of the shipped installation in `d`/run, with `KIVO_PRT_FI_DIR` at
// `d`/prt.
struct ledger {
  scratch_dir d;
  std::string inst = d.file("run");
  ledger() {
    EXPECT_TRUE(kivo_test::copy_shipped_installation(inst));
    fs::create_directories(d.file("prt"));
    fs::create_directories(d.file("tst"));
  }
  env_list env() const {
    env_list e = kivo_test::engine_env(inst, "../tst");
    e.push_back({"KIVO_PRT_FI_DIR", d.file("prt") + "/"});
    e.push_back({"KIVO_ALLOW_MISALIGNS", "1"});
    return e;
  }
  std::unique_ptr<tmux_pane> engine(const env_list& e, const std::string& args) const {
    return std::make_unique<tmux_pane>(shell_quote(KIVO_BINARY) + " -d=DEM -a=DEM " + args, inst, e);
  }
};

// ACCOUNT's key in SYSDIR, that of the record a restructure adds for its
// new file, and where the check byte lies in a record.
const std::string kAccountKey = "DEMDEM  ACCOUNT ", kNewAccountKey = "DEM0DN  ACCOUNT ";
constexpr size_t kSysdirCheck = 567;

// The live SYSDIR records of `inst` whose key is `key`.
std::vector<std::string> sysdir_records(const std::string& inst, const std::string& key) {
  std::vector<std::string> out;
  for (const std::string& r : kivo_test::native_records(inst + "/0SA/Data/SYSDIR.dat").records)
    if (r.compare(0, key.size(), key) == 0) out.push_back(r);
  return out;
}
// ACCOUNT's check byte, or 'X' without a record.
char account_check(const std::string& inst) {
  const auto r = sysdir_records(inst, kAccountKey);
  return r.size() == 1 && r[0].size() > kSysdirCheck ? r[0][kSysdirCheck] : 'X';
}

// The ledger's changed design of ACCOUNT loaded into `l`.
void load_account_change(const ledger& l) {
  ASSERT_EQ(system((shell_quote(std::string(KIVO_TOOLS_DIR) + "/kivo_design") + " -d " + shell_quote(l.inst) + " " +
                    shell_quote(std::string(KIVO_SOURCE_DIR) + "/share/design/ACCOUNT-2.dsgn") + " >" +
                    shell_quote(l.d.file("load.out")) + " 2>&1")
                       .c_str()),
            0)
      << kivo_test::slurp(l.d.file("load.out"));
}
// ACCOUNT restructured in `l`, to its end, which shows `verdict`.
void restructure(const ledger& l, const std::string& verdict) {
  auto p = l.engine(l.env(), "-t=Subroutine -p=ACCOUNT_RESTRUCT");
  EXPECT_TRUE(p->wait_for("END leaves.", 60) && p->wait_for(verdict)) << p->capture();
  p->send_keys("S-F1");
  EXPECT_EQ(p->exit_status(), 0) << p->capture();
}

// A restructure of ACCOUNT killed part-way leaves its new data and
// structure files and its note at the top of the installation, named by
// its process id, and ACCOUNT's SYSDIR check byte at '0'; the next
// restructure puts the byte back, has the structure follow data the killed
// run had swapped in already, removes the rest and converts (or finds the
// structure the data has). The records come out as an uninterrupted run
// makes them. (Before, the files stayed for good, the byte stayed '0', and
// data swapped in without its structure was converted a second time.)
TEST(UtilityInput, KilledRestructuresNewFilesGoWithTheNextRun) {
  ledger ref;
  load_account_change(ref);
  restructure(ref, "Data converted: the new file replaced the old one");
  const std::string ref_account = ref.inst + "/DEM/DEM/Data/ACCOUNT.dat";
  const kivo_test::native_file want = kivo_test::native_records(ref_account);
  ASSERT_EQ(want.rec_len, 79u);
  ASSERT_EQ(want.records.size(), 50u);
  const struct {
    const char* moment;
    const char* part;     // the gate: the first write to, or rename from or to, a path holding it
    char check;           // ACCOUNT's SYSDIR check byte before the runs
    bool swapped;         // the killed run's new data had taken the old name
    const char* verdict;  // what the next run says
  } rows[] = {
      {"at the new data's first write", "/run/Data/", ' ', false, "Data converted: the new file replaced the old one"},
      {"at the new data's first write, a file always checked", "/run/Data/", '1', false,
       "Data converted: the new file replaced the old one"},
      {"between the data's swap and its structure's", "DEM/Struct/ACCOUNT", '1', true,
       "Structure unchanged: structure file written anew"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.moment);
    ledger l;
    {
      const std::string sysdir = l.inst + "/0SA/Data/SYSDIR.dat";
      std::string bytes = kivo_test::slurp(sysdir);
      const size_t at = bytes.find(kAccountKey);
      ASSERT_NE(at, std::string::npos);
      bytes[at + kSysdirCheck] = r.check;
      std::ofstream(sysdir, std::ios::binary) << bytes;
      ASSERT_EQ(account_check(l.inst), r.check);
    }
    load_account_change(l);
    const std::string account = l.inst + "/DEM/DEM/Data/ACCOUNT.dat", old = kivo_test::slurp(account);
    auto top = [&] {
      std::vector<std::string> out;
      for (const char* kind : {"/Data", "/Struct"})
        for (const std::string& f : files_named(l.inst + kind, [](const std::string&) { return true; }))
          out.push_back(kind + f);
      return out;
    };
    std::string id;
    {
      auto p = l.engine(gated(l.env(), l.d.path, r.part), "-t=Subroutine -p=ACCOUNT_RESTRUCT");
      ASSERT_TRUE(held(l.d.path)) << p->capture();
      for (const std::string& f : top()) id = f.substr(f.find('/', 1) + 1, f.find("ACCOUNT.") - f.find('/', 1) - 1);
      p->kill_command(SIGKILL);
      EXPECT_EQ(p->exit_status(), 128 + SIGKILL);
    }
    ASSERT_FALSE(id.empty());
    const std::vector<std::string> left = top();
    EXPECT_GE(left.size(), r.swapped ? 1u : 3u);
    for (const std::string& f : left) EXPECT_NE(f.find("/" + id + "ACCOUNT."), std::string::npos) << f;
    EXPECT_FALSE(ss_pid_alive(uint32_t(std::stoul(id, nullptr, 16))));
    EXPECT_EQ(account_check(l.inst), '0');
    EXPECT_EQ(sysdir_records(l.inst, kNewAccountKey).size(), 1u);
    if (r.swapped) EXPECT_EQ(kivo_test::native_records(account).records, want.records);
    else EXPECT_EQ(kivo_test::slurp(account), old) << "the killed run changed the old file";
    restructure(l, r.verdict);
    EXPECT_EQ(top(), kNone);
    EXPECT_EQ(account_check(l.inst), r.check);
    EXPECT_EQ(sysdir_records(l.inst, kNewAccountKey).size(), 0u);
    const kivo_test::native_file got = kivo_test::native_records(account);
    EXPECT_EQ(got.rec_len, 79u);
    EXPECT_EQ(got.records, want.records);
  }
}

// The new files of a living run of a file whose name is a hexadecimal digit
// and ACCOUNT ("CACCOUNT"), named by its process id and that name, read
// also as a run of ACCOUNT by a process whose id has one digit more. A
// restructure of ACCOUNT leaves them, and the SYSDIR record its note names,
// alone. (Before, it took them for a dead run of ACCOUNT when no process
// had that longer id, and removed them under the living run.)
TEST(UtilityInput, ARestructureLeavesAnotherFilesLivingRunAlone) {
  ledger l;
  load_account_change(l);
  const char check = account_check(l.inst);
  const pid_t living = fork();
  if (living == 0) {
    pause();
    _exit(0);
  }
  ASSERT_GT(living, 0);
  const std::string id = hex(living) + "C", other = id + "ACCOUNT";
  if (ss_pid_alive(uint32_t(std::stoul(id, nullptr, 16)))) {
    kill(living, SIGKILL), finish(living);
    GTEST_SKIP() << "process " << id << " (hexadecimal) lives";
  }
  // "sysdir <DEMDEM  CACCOUNT> <'1'>", as the run notes it.
  std::string key_hex;
  for (unsigned char c : std::string("DEMDEM  CACCOUNT")) key_hex += hex(c);
  const std::vector<std::string> planted = {
      "/Data/" + hex(living) + "CACCOUNT.dat", "/Data/" + hex(living) + "CACCOUNT.key",
      "/Struct/" + hex(living) + "CACCOUNT.dat", "/Struct/" + hex(living) + "CACCOUNT.run"};
  for (const std::string& f : planted) {
    fs::create_directories(fs::path(l.inst + f).parent_path());
    std::ofstream(l.inst + f) << (f.ends_with(".run") ? "sysdir " + key_hex + " 31\n" : std::string("x"));
  }
  restructure(l, "Data converted: the new file replaced the old one");
  for (const std::string& f : planted) EXPECT_TRUE(fs::exists(l.inst + f)) << f << " of " << other;
  EXPECT_EQ(account_check(l.inst), check);
  kill(living, SIGKILL);
  finish(living);
}

// Names of the sort's work files: eight hexadecimal digits and the
// temporary suffix of the process that made them.
bool work_file(const std::string& n) {
  return n.size() == 20 && ss_tmp_owner(n.c_str()) != 0 &&
         n.substr(0, 8).find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

// The ranking killed with SIGKILL while its sort writes its work files
// leaves them; the next ranking removes them, ranks, and leaves none of its
// own. (Before, they stayed for good.)
TEST(UtilityInput, KilledRankingsWorkFilesGoWithTheNextRun) {
  ledger l;
  env_list e = l.env();
  e.push_back({"KIVO_RUN_MEM", "100"});  // the sort goes through work files
  std::vector<std::string> left;
  {
    auto p = l.engine(gated(e, l.d.path, "/Tmpdata/"), "-t=Output -p=ACCOUNT_RANKING");
    ASSERT_TRUE(held(l.d.path)) << p->capture();
    p->kill_command(SIGKILL);
    EXPECT_EQ(p->exit_status(), 128 + SIGKILL);
    left = files_named(l.inst, work_file);
  }
  ASSERT_FALSE(left.empty());
  for (const std::string& f : left) EXPECT_FALSE(ss_pid_alive(ss_tmp_owner(fs::path(f).filename().c_str()))) << f;
  auto p = l.engine(e, "-t=Output -p=ACCOUNT_RANKING");
  EXPECT_EQ(p->exit_status(60), 0) << p->capture();
  EXPECT_FALSE(files_named(l.d.file("prt"), [](const std::string&) { return true; }).empty());
  EXPECT_EQ(files_named(l.inst, work_file), kNone);
}

// The sweep of a folder of temporary files: those of a process that has
// ended go, those of a living process, of this one, of another user, and
// names of another form stay.
TEST(UtilityInput, OnlyTheTemporaryFilesOfEndedProcessesGo) {
  scratch_dir d;
  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  ASSERT_EQ(finish(ended), 0);
  const pid_t living = fork();
  if (living == 0) {
    pause();
    _exit(0);
  }
  auto name = [](pid_t pid, const char* ext) {
    char suffix[9];
    EXPECT_EQ(ss_tmp_suffix(suffix, 1, uint32_t(pid)), 1);
    return std::string("0000001A") + suffix + ext;
  };
  const struct {
    std::string name;
    bool stays;
    uid_t owner = getuid();  // another user's: its process may live where this one cannot see it
  } rows[] = {
      {name(ended, ".dat"), false},
      {name(ended, ".key"), false},
      {name(living, ".dat"), true},
      {name(getpid(), ".key"), true},
      {name(ended, ".txt"), true},
      {name(ended, "").substr(0, 15), true},
      {name(ended, "") + "X.dat", true},
      {"ACCOUNT.dat", true},
      {"0000001B" + name(ended, ".dat").substr(8), true, 65534},
  };
  // Another user's file is made only by root.
  auto made = [](const auto& r) { return r.owner == getuid() || getuid() == 0; };
  for (const auto& r : rows) {
    if (!made(r)) continue;
    d.write(r.name, "x");
    if (r.owner != getuid()) {
      ASSERT_EQ(chown(d.file(r.name).c_str(), r.owner, r.owner), 0);
    }
  }
  EXPECT_EQ(ss_tmp_sweep(d.path.c_str()), 2);
  for (const auto& r : rows) {
    if (!made(r)) continue;
    EXPECT_EQ(fs::exists(d.file(r.name)), r.stays) << r.name;
  }
  // A process id past five hexadecimal digits, in the suffix's other form.
  EXPECT_EQ(ss_tmp_owner(name(0x3ABCDE, ".dat").c_str()), 0x3ABCDEu);
  kill(living, SIGKILL);
  finish(living);
}

// ---- the command line ----

// A blank session name is refused as a session that cannot be resumed:
// the line, status 4, and nothing written. (Before, "-s=" ended 0 in
// silence and rewrote APPL.)
TEST(UtilityInput, BlankSessionNameIsRefusedWithNothingWritten) {
  const struct {
    const char* arg;
    const char* line;
  } rows[] = {
      {"-s=", "KIVO Startup Failure: session          not resumed: -s names no session\n"},
      {"-s", "KIVO Startup Failure: session          not resumed: -s names no session\n"},
      {"-s=_", "KIVO Startup Failure: session          not resumed: -s names no session\n"},
      {"-s=NOSUCH", "KIVO Startup Failure: session NOSUCH   not resumed: no suspend file\n"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.arg);
    scratch_dir d;
    const std::string inst = d.file("inst");
    ASSERT_TRUE(kivo_test::copy_shipped_installation(inst));
    const auto before = tree_sums(inst);
    const ran got = run(inst, inst_env(inst), r.arg);
    EXPECT_EQ(got.status, 4);
    EXPECT_EQ(got.out, r.line);
    EXPECT_EQ(tree_changes(before, tree_sums(inst)), kNone);
  }
}

// ---- an installation the user cannot write ----

// As an ordinary user (nobody) on a copy of the installation that user may
// read but not write: each utility does its work on a file of the user's
// own; the engine's start and the bootstrap end with a line naming the
// path and why. (Before, every one ended with "can't start USER file
// (status 200650)", exit 202, naming nothing.)
TEST(UtilityInput, UtilitiesRunOnAnInstallationTheUserCannotWrite) {
  if (getuid() != 0) GTEST_SKIP() << "needs root, to run the utilities as the user nobody";
  if (system("command -v setpriv >/dev/null") != 0) GTEST_SKIP() << "no setpriv to run as nobody";
  scratch_dir d;
  const std::string inst = d.file("inst"), own = d.file("own"), booted = d.file("dist");
  ASSERT_TRUE(kivo_test::copy_shipped_installation(inst));
  fs::copy(dist(), booted, fs::copy_options::recursive);
  fs::create_directories(own);
  for (const char* ext : {".dat", ".key"}) fs::copy_file(inst + "/DEM/DEM/Data/ACCOUNT" + ext, own + "/ACCOUNT" + ext);
  std::ofstream(own + "/NEW") << "C0001|FIRST\nC0002|SECOND\n";
  ASSERT_EQ(system(("chmod -R a+rX,go-w " + shell_quote(d.path) + " && chown -R nobody " + shell_quote(own)).c_str()),
            0);
  const std::string nobody = "setpriv --reuid=nobody --regid=nogroup --clear-groups";
  const auto before = tree_sums(inst), dist_before = tree_sums(booted);
  const struct {
    const char* args;
    int status;
    const char* said;  // in the output
    const char* made;  // a file of the user's it writes, or null
  } rows[] = {
      {"-v=ACCOUNT.dat", 1, "", nullptr},
      {"-r=ACCOUNT.dat", 1, "ACCOUNT: sound, nothing repaired", nullptr},
      {"-an=ACCOUNT.dat", 0, "BRF>", nullptr},
      {"-e=ACCOUNT.dat", 0, "ACCOUNT.dat - 50 records", "ACCOUNT"},
      {"-i=NEW", 0, "NEW - 2 records", "NEW.dat"},
      // The engine's start needs its user: the line names the file and why.
      {"-d=DEM", 202, "KIVO Startup Failure: can't start USER file: ", nullptr},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.args);
    env_list e = inst_env(inst);
    e[0].second = own;  // HOME
    const ran got = run(own, e, r.args, nobody);
    EXPECT_EQ(got.status, r.status) << got.out;
    EXPECT_NE(got.out.find(r.said), std::string::npos) << got.out;
    if (r.status == 202) {
      EXPECT_NE(got.out.find(inst + "/0SA/Data/USER.key: Permission denied"), std::string::npos) << got.out;
    } else {
      EXPECT_EQ(got.out.find("Startup Failure"), std::string::npos) << got.out;
    }
    if (r.made) {
      EXPECT_TRUE(fs::exists(own + "/" + r.made)) << got.out;
    }
  }
  EXPECT_EQ(tree_changes(before, tree_sums(inst)), kNone);
  const ran boot = run(booted, inst_env(booted), "-b", nobody);
  EXPECT_EQ(boot.status, 2);
  EXPECT_EQ(boot.out, "kivo -b: nothing changed: can't write " + booted + "/bootstrap.run: Permission denied\n");
  EXPECT_EQ(tree_changes(dist_before, tree_sums(booted)), kNone);
}

}  // namespace
}  // namespace kivo::test
