// The file utilities beside running processes, through the real kivo on
// copies of the shipped installation: the verifier and the repair looped
// beside an engine whose keystroke script adds, changes and deletes
// customers judge the pair good every time and change nothing the engine
// then misses; two repairs at once both end good; a running import is named
// as running, one killed as cut off. KIVO_LIVE_CUSTOMERS sets the script's
// customers (1,500 by default).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "../fixtures/kivo_fixture.h"
#include "../foundation/test_dir.h"
#include "../screen/term_harness.h"

namespace kivo::test {
namespace {

using kivo_test::env_list;
using kivo_test::scratch_dir;
using kivo_test::slurp;

constexpr char kCustomer[] = "DEM/DEM/Data/CUSTOMER";
constexpr double kBound = 600;  // only a hung engine or utility takes so long

struct ran {
  int status;
  std::string out;
};

// A copy of the shipped installation.
struct site {
  scratch_dir d;
  std::string run = d.file("run");
  site() {
    EXPECT_TRUE(kivo_test::copy_shipped_installation(run));
    mkdir((run + "/tst").c_str(), 0700);
  }
  std::string file(const std::string& rel) const { return run + "/" + rel; }
  env_list env() const {
    env_list e = kivo_test::engine_env(run);
    e.push_back({"KIVO_PRT_FI_DIR", d.path + "/"});
    return e;
  }
  // Held at its first write to a path holding `part` until gate() opens.
  env_list gated(const std::string& part) const {
    env_list e = env();
    const char* asan = getenv("ASAN_OPTIONS");
    e.insert(e.end(), {{"LD_PRELOAD", GATE_WRITES},
                       {"KVTEST_GATE_PATH", part},
                       {"KVTEST_GATE_MARK", d.file("held")},
                       {"KVTEST_GATE_OPEN", d.file("go")},
                       {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"}});
    return e;
  }
  bool held() const {
    return kivo_test::wait_until([&] { return access(d.file("held").c_str(), F_OK) == 0; }, kBound);
  }
  void gate() const { std::ofstream(d.file("go")).put('\n'); }
  pid_t start(const std::string& args, const env_list& e, const std::string& out) const {
    return kivo_test::start_program(run, KIVO_BINARY, e, args, d.file(out));
  }
  ran finish(pid_t pid, const std::string& out) const { return {kivo_test::program_status(pid), slurp(d.file(out))}; }
  ran kivo(const std::string& args) const { return finish(start(args, env(), "out"), "out"); }
};

// Customer n as CUSTOMER ENTRY leaves it: balance 1.00 when added, 2.00
// once changed.
std::string customer(int n, int balance) {
  char no[16];
  snprintf(no, sizeof no, "%05d", n);
  std::string r = std::string(no) + " Name " + std::to_string(n);
  r.resize(36, ' ');
  return r + std::string("\0\0\0", 3) + char(balance << 4) + std::string("\x0c\xff\xff\xff\xff", 5);
}

int customers() {
  const char* n = getenv("KIVO_LIVE_CUSTOMERS");
  return n ? atoi(n) : 1500;
}

// An engine adds every customer, changes each, deletes the odd ones; -v and
// -r run in turn until it is done. Each -v is silent and good, each -r finds
// the pair sound, and the file then holds exactly the even customers changed.
void beside_an_engine(const site& s) {
  const int n = customers();
  std::string script = "#ENTER\n#ADD MODE\n";
  std::set<std::string> want;
  char b[128];
  for (int i = 0; i < n; ++i)
    script.append(b, size_t(snprintf(b, sizeof b, "%05d\n#TAB\nName %d\n#TAB\n1\n#ENTER\n", i, i)));
  for (int i = 0; i < n; ++i)
    script.append(
        b, size_t(snprintf(b, sizeof b, "#INQUIRE MODE\n%05d\n#ENTER\n#CHANGE MODE\n#TAB\n#TAB\n2\n#ENTER\n", i)));
  for (int i = 1; i < n; i += 2)
    script.append(b, size_t(snprintf(b, sizeof b, "#INQUIRE MODE\n%05d\n#ENTER\n#DELETE MODE\n#ACK DEL\n", i)));
  for (int i = 0; i < n; i += 2) want.insert(customer(i, 2));
  std::ofstream(s.d.file("script")) << script << "##WAIT AFTER THE LAST\n#END\n#END\n";
  env_list e = s.env();
  e.push_back({"KIVO_SCRIPT_IN", s.d.file("script")});
  kivo_test::tmux_pane p(kivo_test::shell_quote(KIVO_BINARY) + " -d=DEM", s.run, e);
  const std::string v = std::string("-v=") + kCustomer, r = std::string("-r=") + kCustomer;
  for (bool last = false; !last;) {
    last = p.capture().find("AFTER THE LAST") != std::string::npos;
    const ran verified = s.kivo(v);
    ASSERT_EQ(verified.status, 1) << verified.out;
    ASSERT_EQ(verified.out, "");
    const ran repaired = s.kivo(r);
    ASSERT_EQ(repaired.status, 1) << repaired.out;
    ASSERT_EQ(repaired.out, std::string(kCustomer) + ": sound, nothing repaired\n");
  }
  p.send_text("c");
  ASSERT_EQ(p.exit_status(kBound), 0) << p.capture();
  ASSERT_EQ(s.kivo(std::string("-e=") + kCustomer).status, 0);
  // In the file's order: a changed record that crossed a page of the file moved.
  std::istringstream got(slurp(s.file(kCustomer)));
  std::set<std::string> lines;
  for (std::string l; std::getline(got, l);) lines.insert(l);
  EXPECT_TRUE(lines == want) << "the file does not hold what the script leaves";
}

// Two repairs of a pair a writer left marked, the second started while the
// first holds the pair: both end good, one rebuilds, the other finds it sound.
void two_repairs(const site& s) {
  std::fstream key(s.file(kCustomer) + ".key", std::ios::in | std::ios::out | std::ios::binary);
  key.seekp(15).put(1);  // the in-use mark of a change never ended
  key.close();
  const std::string r = std::string("-r=") + kCustomer;
  const pid_t first = s.start(r, s.gated("CUSTOMER.key"), "first");
  ASSERT_TRUE(s.held());
  const pid_t second = s.start(r, s.env(), "second");
  s.gate();
  const ran a = s.finish(first, "first"), b = s.finish(second, "second");
  EXPECT_EQ(a.status, 1) << a.out;
  EXPECT_EQ(b.status, 1) << b.out;
  EXPECT_EQ(a.out.rfind(std::string("repaired ") + kCustomer + ": 1 keys rebuilt", 0), 0u) << a.out;
  EXPECT_EQ(b.out, std::string(kCustomer) + ": sound, nothing repaired\n");
}

// An import held at its first write is named as running by -v and -an;
// killed there, as cut off.
void import_named(const site& s, bool killed) {
  const std::string base = s.file(kCustomer);
  unlink((base + ".dat").c_str());
  unlink((base + ".key").c_str());
  std::ofstream(base) << customer(1, 1) << "\n" << customer(2, 1) << "\n";
  const pid_t import = s.start(std::string("-i=") + kCustomer, s.gated("CUSTOMER.import-"), "import");
  ASSERT_TRUE(s.held());
  if (killed) {
    kill(import, SIGKILL);
    ASSERT_EQ(s.finish(import, "import").status, 128 + SIGKILL);
  }
  const char* says = killed ? "an import of this file was cut off" : "an import of this file is running";
  const ran v = s.kivo(std::string("-v=") + kCustomer), an = s.kivo(std::string("-an=") + kCustomer);
  EXPECT_EQ(v.status, 0);
  EXPECT_NE(v.out.find(says), std::string::npos) << v.out;
  EXPECT_EQ(an.status, 2);
  EXPECT_NE(an.out.find(says), std::string::npos) << an.out;
  if (killed) return;
  s.gate();
  EXPECT_EQ(s.finish(import, "import").status, 0);
  EXPECT_EQ(s.kivo(std::string("-v=") + kCustomer).status, 1);
}

TEST(LiveFileUtilities, ChecksAndRepairsBesideRunningProcessesSeeAConsistentPair) {
  const struct {
    const char* name;
    std::function<void(const site&)> run;
  } cases[] = {
      {"verify and repair looped beside an engine that adds, changes and deletes", beside_an_engine},
      {"two repairs at once", two_repairs},
      {"a running import", [](const site& s) { import_named(s, false); }},
      {"an import killed part-way", [](const site& s) { import_named(s, true); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    site s;
    c.run(s);
  }
}

}  // namespace
}  // namespace kivo::test
