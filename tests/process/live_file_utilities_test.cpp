// The file utilities beside running processes, through the real kivo on
// copies of the shipped installation. KIVO_LIVE_CUSTOMERS sets the
// customers of the engine's script (1,500 by default).
#include <gtest/gtest.h>
#include <signal.h>

#include <functional>
#include <set>

#include "../fixtures/gate_env.h"
#include "../store/installation_site.h"

namespace kivo::test {
namespace {

using ran = std::pair<int, std::string>;  // exit status, standard output and error
const std::string kCust = kCustomer;
constexpr double kBound = 600;  // only a hung engine or utility takes so long

template <class... A>
std::string fmt(const char* f, A... a) {
  char b[128];
  return std::string(b, std::min(sizeof b - 1, size_t(snprintf(b, sizeof b, f, a...))));
}

// kivo `opt` on CUSTOMER started, held at its first write to a path holding
// `part` when given until gate_open; and its end.
pid_t start(const site& s, const std::string& opt, const std::string& out, const std::string& part = "") {
  return kivo_test::start_program(s.run(), KIVO_BINARY,
                                  s.env(part.empty() ? kivo_test::env_list{} : kivo_test::gate_env(s.dir, part)),
                                  opt + "=" + kCust, s.dir.file(out));
}
ran finish(const site& s, pid_t pid, const std::string& out) {
  return {kivo_test::program_status(pid), slurp(s.dir.file(out))};
}
ran kivo(const site& s, const std::string& opt) { return finish(s, start(s, opt, "out"), "out"); }

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
  write_bytes(s.dir.file("script"), script + "##WAIT AFTER THE LAST\n#END\n#END\n");
  const auto p = s.engine("-d=DEM", {{"KIVO_SCRIPT_IN", s.dir.file("script")}});
  for (bool last = false; !last;) {
    last = p->capture().find("AFTER THE LAST") != std::string::npos;
    ASSERT_EQ(kivo(s, "-v"), ran(1, ""));
    ASSERT_EQ(kivo(s, "-r"), ran(1, kCust + ": sound, nothing repaired\n"));
  }
  p->send_text("c");
  ASSERT_EQ(p->exit_status(kBound), 0) << p->capture();
  ASSERT_EQ(kivo(s, "-e").first, 0);
  // In any order: a changed record that crossed a page of the file moved.
  std::set<std::string> want, got;
  for (int i = 0; i < n; i += 2) want.insert(customer(i));
  std::istringstream flat(slurp(s.file(kCust)));
  for (std::string l; std::getline(flat, l);) got.insert(l);
  EXPECT_TRUE(got == want) << "the file does not hold what the script leaves";
}

// The second -r is started while the first holds a pair a writer left marked.
void two_repairs(const site& s) {
  std::fstream(s.file(kCust) + ".key", std::ios::in | std::ios::out | std::ios::binary).seekp(15).put(1);
  const pid_t first = start(s, "-r", "first", "CUSTOMER.key");
  ASSERT_TRUE(kivo_test::held_at_gate(s.dir));
  const pid_t second = start(s, "-r", "second");
  kivo_test::gate_open(s.dir);
  const ran a = finish(s, first, "first"), b = finish(s, second, "second");
  EXPECT_EQ(a.first, 1) << a.second;
  EXPECT_EQ(a.second.rfind("repaired " + kCust + ": 1 keys rebuilt", 0), 0u) << a.second;
  EXPECT_EQ(b, ran(1, kCust + ": sound, nothing repaired\n"));
}

void an_import(const site& s) {
  const std::string base = s.file(kCust);
  ASSERT_EQ(unlink((base + ".dat").c_str()) | unlink((base + ".key").c_str()), 0);
  std::ofstream(base) << customer(1) << "\n";
  const pid_t import = start(s, "-i", "import", "CUSTOMER.import-");
  ASSERT_TRUE(kivo_test::held_at_gate(s.dir));
  for (const bool killed : {false, true}) {
    if (killed) {
      kill(import, SIGKILL);
      ASSERT_EQ(finish(s, import, "import").first, 128 + SIGKILL);
    }
    const std::string says = killed ? "an import of this file was cut off" : "an import of this file is running";
    for (const auto& [opt, status] : {std::pair{"-v", 0}, std::pair{"-an", 2}}) {
      const ran r = kivo(s, opt);
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
