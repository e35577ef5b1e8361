// The file utilities beside running processes, through the real kivo on
// copies of the shipped installation. KIVO_LIVE_CUSTOMERS sets the
// customers of the engine's script (1,500 by default).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include "../fixtures/gate_env.h"
#include "../fixtures/kivo_fixture.h"
#include "../foundation/test_dir.h"
#include "../screen/term_harness.h"

namespace kivo::test {
namespace {

using kivo_test::env_list;
using kivo_test::slurp;
using ran = std::pair<int, std::string>;  // exit status, standard output and error

const std::string kCustomer = "DEM/DEM/Data/CUSTOMER";
constexpr double kBound = 600;  // only a hung engine or utility takes so long

template <class... A>
std::string fmt(const char* f, A... a) {
  char b[128];
  return std::string(b, std::min(sizeof b - 1, size_t(snprintf(b, sizeof b, f, a...))));
}

// A copy of the shipped installation; a run given `part` is held at its
// first write to a path holding it until gate_open.
struct site {
  kivo_test::scratch_dir d;
  std::string run = d.file("run");
  site() { EXPECT_TRUE(kivo_test::copy_shipped_installation(run) && mkdir((run + "/tst").c_str(), 0700) == 0); }
  env_list env(const std::string& part = "") const {
    env_list e = kivo_test::engine_env(run), g = part.empty() ? env_list{} : kivo_test::gate_env(d, part);
    return e.insert(e.end(), g.begin(), g.end()), e;
  }
  pid_t start(const std::string& opt, const std::string& out, const std::string& part = "") const {
    return kivo_test::start_program(run, KIVO_BINARY, env(part), opt + "=" + kCustomer, d.file(out));
  }
  ran finish(pid_t pid, const std::string& out) const { return {kivo_test::program_status(pid), slurp(d.file(out))}; }
  ran kivo(const std::string& opt) const { return finish(start(opt, "out"), "out"); }
};

// Customer n as CUSTOMER ENTRY leaves it, its balance changed to 2.00.
std::string customer(int n) {
  std::string r = fmt("%05d Name %d", n, n);
  r.resize(36, ' ');
  return r + std::string("\0\0\0\x20\x0c\xff\xff\xff\xff", 9);
}

void beside_an_engine(const site& s) {
  const int n = getenv("KIVO_LIVE_CUSTOMERS") ? atoi(getenv("KIVO_LIVE_CUSTOMERS")) : 1500;
  std::string script = "#ENTER\n#ADD MODE\n";
  for (int i = 0; i < n; ++i) script += fmt("%05d\n#TAB\nName %d\n#TAB\n1\n#ENTER\n", i, i);
  for (int i = 0; i < n; ++i) script += fmt("#INQUIRE MODE\n%05d\n#ENTER\n#CHANGE MODE\n#TAB\n#TAB\n2\n#ENTER\n", i);
  for (int i = 1; i < n; i += 2) script += fmt("#INQUIRE MODE\n%05d\n#ENTER\n#DELETE MODE\n#ACK DEL\n", i);
  std::ofstream(s.d.file("script")) << script << "##WAIT AFTER THE LAST\n#END\n#END\n";
  env_list e = s.env();
  e.push_back({"KIVO_SCRIPT_IN", s.d.file("script")});
  kivo_test::tmux_pane p(kivo_test::shell_quote(KIVO_BINARY) + " -d=DEM", s.run, e);
  for (bool last = false; !last;) {
    last = p.capture().find("AFTER THE LAST") != std::string::npos;
    ASSERT_EQ(s.kivo("-v"), ran(1, ""));
    ASSERT_EQ(s.kivo("-r"), ran(1, kCustomer + ": sound, nothing repaired\n"));
  }
  p.send_text("c");
  ASSERT_EQ(p.exit_status(kBound), 0) << p.capture();
  ASSERT_EQ(s.kivo("-e").first, 0);
  // In any order: a changed record that crossed a page of the file moved.
  std::set<std::string> want, got;
  for (int i = 0; i < n; i += 2) want.insert(customer(i));
  std::istringstream flat(slurp(s.run + "/" + kCustomer));
  for (std::string l; std::getline(flat, l);) got.insert(l);
  EXPECT_TRUE(got == want) << "the file does not hold what the script leaves";
}

// The second -r is started while the first holds a pair a writer left marked.
void two_repairs(const site& s) {
  std::fstream(s.run + "/" + kCustomer + ".key", std::ios::in | std::ios::out | std::ios::binary).seekp(15).put(1);
  const pid_t first = s.start("-r", "first", "CUSTOMER.key");
  ASSERT_TRUE(kivo_test::held_at_gate(s.d));
  const pid_t second = s.start("-r", "second");
  kivo_test::gate_open(s.d);
  const ran a = s.finish(first, "first"), b = s.finish(second, "second");
  EXPECT_EQ(a.first, 1) << a.second;
  EXPECT_EQ(a.second.rfind("repaired " + kCustomer + ": 1 keys rebuilt", 0), 0u) << a.second;
  EXPECT_EQ(b, ran(1, kCustomer + ": sound, nothing repaired\n"));
}

void an_import(const site& s) {
  const std::string base = s.run + "/" + kCustomer;
  ASSERT_EQ(unlink((base + ".dat").c_str()) | unlink((base + ".key").c_str()), 0);
  std::ofstream(base) << customer(1) << "\n";
  const pid_t import = s.start("-i", "import", "CUSTOMER.import-");
  ASSERT_TRUE(kivo_test::held_at_gate(s.d));
  for (const bool killed : {false, true}) {
    if (killed) {
      kill(import, SIGKILL);
      ASSERT_EQ(s.finish(import, "import").first, 128 + SIGKILL);
    }
    const std::string says = killed ? "an import of this file was cut off" : "an import of this file is running";
    for (const auto& [opt, status] : {std::pair{"-v", 0}, std::pair{"-an", 2}}) {
      const ran r = s.kivo(opt);
      EXPECT_EQ(r.first, status);
      EXPECT_NE(r.second.find(says), std::string::npos) << opt << ": " << r.second;
    }
  }
}

TEST(LiveFileUtilities, ChecksAndRepairsBesideRunningProcessesSeeAConsistentPair) {
  const struct {
    const char* name;
    std::function<void(const site&)> run;
  } cases[] = {
      {"-v and -r looped beside an engine that adds, changes and deletes", beside_an_engine},
      {"two -r at once", two_repairs},
      {"an import running, then killed", an_import},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    site s;
    c.run(s);
  }
}

}  // namespace
}  // namespace kivo::test
