// A designer's path through the real tools on copies of the default
// installation: kivo_design refusing a source the compiler would refuse,
// with its lines and nothing written; the start of a process that does not
// compile naming the compile error; and the README's worked example, run
// command for command, up to parts typed into its INPUT process under tmux.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "../compiler/stmt_line_util.h"
#include "../fixtures/kivo_fixture.h"
#include "../foundation/test_dir.h"
#include "../screen/term_harness.h"

namespace kivo::test {
namespace {

using data_dir = kivo_test::scratch_dir;
using kivo_test::shell_quote;

struct run_result {
  int status;
  std::string out;
};

run_result run(const std::string& cmd) {
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  std::string out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int st = pclose(p);
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

void copy_default(const data_dir& d) { ASSERT_TRUE(kivo_test::copy_shipped_installation(d.path)); }

run_result load(const data_dir& d, const std::string& source, const std::string& opts = "") {
  std::ofstream(d.file("src.dsgn")) << source;
  return run("cd " + shell_quote(d.path) + " && " + KIVO_DESIGN + " " + opts + " -d . src.dsgn");
}

// Every file of DEM's version 01, by name.
std::map<std::string, std::string> version_files(const data_dir& d) {
  std::map<std::string, std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(d.file("01/DEM/Data")))
    out[e.path().filename()] = kivo_test::slurp(e.path());
  return out;
}

std::string stmt(const char* verb, cols texts, const char* prefix = "") { return line_at(verb, texts, prefix) + "\n"; }

// A FILE, an INPUT image of 9 x 60 and whatever `more` adds: the design of
// the faults below.
std::string part_entry(const std::string& more) {
  return "APPLICATION DEM 01\n"
         "FILE PART area=4\n  \"PART NO\" A6 key=primary\n  QTY P5S\nEND\n"
         "PROCESS 2 \"PART ENTRY\" pcf_ap=DEM pcf_file=PART\n"
         "FRAME 2 \"PART ENTRY\" 0 1\n"
         "IMAGE 2 \"PART ENTRY\" 0 1 1 kind=1 rows=9 cols=60\n" +
         more;
}

const std::string kBadField = "APPLICATION DEM 01\nPROCESS 6 \"BAD THREE\"\nSTMTS 6 \"BAD THREE\" ep=1\n" +
                              stmt("SET", {{16, "DEM"}, {20, "NOSUCHFIELD"}, {47, "="}, {54, "5"}}) + "END\n";
const std::string kItemOutside = part_entry("ITEM 2 \"PART ENTRY\" 0 1 1 40 90 ap=DEM field=QTY input=1\n");

// What the compiler would refuse is refused at load with each line that
// causes it and writes nothing; what it compiles loads, whatever the order
// of the lines. -n loads without the checks.
TEST(DesignerPathMends, KivoDesignRefusesWhatTheCompilerWouldRefuseWithItsLines) {
  const struct {
    const char* what;
    std::string source, opts;
    std::vector<std::string> faults;  // empty: loaded
  } cases[] = {
      {"a field no FILE holds", kBadField, "", {"src.dsgn:4: field NOSUCHFIELD of DEM not found"}},
      {"an item outside its image",
       kItemOutside,
       "",
       {"src.dsgn:9: item QTY at 40/90 of 1 x 6 does not end inside the image of 9 x 60"}},
      {"an item whose field's width runs past the image",
       part_entry("ITEM 2 \"PART ENTRY\" 0 1 1 5 57 ap=DEM field=QTY\n"),
       "",
       {"src.dsgn:9: item QTY at 5/57 of 1 x 6 does not end inside the image of 9 x 60"}},
      {"a characteristic past the image's last row",
       part_entry("CHR 2 \"PART ENTRY\" 0 1 1 9 2 rows=2 cols=30 box=1\n"),
       "",
       {"src.dsgn:9: characteristic at 9/2 of 2 x 30 does not end inside the image of 9 x 60"}},
      {"every fault, in line order",
       part_entry("STMTS 2 \"PART ENTRY\" ep=4\n" +
                  stmt("IF", {{16, "DEM"}, {20, "QTY"}, {47, "LT"}, {50, "DEM"}, {54, "NOSUCH"}}) + "END\n" +
                  "ITEM 2 \"PART ENTRY\" 0 1 1 3 15 ap=DEM field=QTX\n"),
       "",
       {"src.dsgn:10: field NOSUCH of DEM not found", "src.dsgn:12: field QTX of DEM not found"}},
      {"fields below their use, the version's own, 0LA's, constants and records",
       "APPLICATION DEM 01\nPROCESS 6 \"GOOD ONE\"\nSTMTS 6 \"GOOD ONE\" ep=1\n" +
           stmt("SET", {{16, "DEM"}, {20, "LATER"}, {47, "="}, {50, "DEM"}, {54, "BALANCE"}}) +
           stmt("SET", {{16, "0LA"}, {20, "OUT1 MODE"}, {47, "="}, {54, "3"}}) +
           stmt("IF", {{16, "DEM"}, {20, "LATER"}, {47, "LT"}, {54, "0"}}) +
           stmt("STORE", {{16, "DEM"}, {20, "CUSTOMER"}, {47, "RECORD"}}) + "END\nWORK LATER P9.2S\n",
       "",
       {}},
      {"a refused source with -n", kBadField, "-n", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    data_dir d;
    copy_default(d);
    const auto before = version_files(d);
    const run_result r = load(d, c.source, c.opts);
    if (c.faults.empty()) {
      EXPECT_EQ(r.status, 0) << r.out;
      EXPECT_EQ(r.out, "");
      EXPECT_NE(version_files(d), before);
      continue;
    }
    std::string want;
    for (const std::string& f : c.faults) want += "kivo_design: " + f + "\n";
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, want);
    EXPECT_EQ(version_files(d), before);
  }
}

// The line that ends a start names why its process could not be had: the
// first compile error, or a process that is not active.
TEST(DesignerPathMends, StartOfAProcessThatDoesNotCompileNamesTheFirstError) {
  const struct {
    const char* what;
    std::string source, args, line;
  } cases[] = {
      {"a statement's field", kBadField, "-t=Subroutine -p=BAD_THREE",
       "process DEM/01 type 6 \"BAD THREE\" cannot be loaded: BAD THREE ep 1 stmt 100 col 20: field NOSUCHFIELD of "
       "DEM not found"},
      {"an item outside its image", kItemOutside, "-t=Input -p=PART_ENTRY",
       "process DEM/01 type 2 \"PART ENTRY\" cannot be loaded: PART ENTRY: item QTY at 40/90 does not end inside the "
       "image"},
      {"a process not active", "APPLICATION DEM 01\nPROCESS 6 IDLE active=0\n", "-t=Subroutine -p=IDLE",
       "process DEM/01 type 6 \"IDLE\" is not active: its PROCESS design record is not marked active"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    data_dir d;
    copy_default(d);
    ASSERT_EQ(load(d, c.source, "-n").status, 0);
    const run_result r = run("cd " + shell_quote(d.path) + " && env TERM=xterm KIVOPATH=" + shell_quote(d.path) +
                             " KIVO_SYS_ERR_LOG=" + shell_quote(d.file("syserr")) + " " + shell_quote(KIVO_BINARY) +
                             " -d=DEM -a=DEM " + c.args + " </dev/null");
    EXPECT_EQ(r.status, 4) << r.out;
    EXPECT_NE(r.out.find("KIVO startup failed because of the following"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(c.line + "\nstartup error: 4"), std::string::npos) << r.out;
  }
}

// The commands of the README's worked example: its first indented block
// after the heading, one command a line (here-documents included).
std::vector<std::string> readme_example() {
  std::ifstream in(std::string(KIVO_SOURCE_DIR) + "/README.md");
  std::vector<std::string> out;
  bool in_section = false;
  for (std::string l; std::getline(in, l);) {
    if (l == "## Designing an application") in_section = true;
    else if (in_section && l.rfind("    ", 0) == 0) out.push_back(l.substr(4));
    else if (!out.empty()) break;
  }
  return out;
}

// From nothing to a running INPUT process with the README's commands: the
// last one under tmux, where a part is added and a negative quantity
// refused; no system error on the way.
TEST(DesignerPathMends, ReadmeExampleTakesANewDesignerToARunningInputProcess) {
  std::vector<std::string> cmds = readme_example();
  ASSERT_GE(cmds.size(), 3u);
  ASSERT_EQ(cmds.front().rfind("d=", 0), 0u) << cmds.front();
  ASSERT_EQ(cmds.back().rfind("KIVOPATH=", 0), 0u) << cmds.back();
  data_dir d;
  // The commands run from the top of a source tree whose build is ours,
  // its default installation the one the build ships.
  std::filesystem::create_directory(d.file("build"));
  std::filesystem::create_symlink(KIVO_BINARY, d.file("build/kivo"));
  std::filesystem::create_directory_symlink(kivo_test::engine_dir() + "/tools", d.file("build/tools"));
  ASSERT_TRUE(kivo_test::copy_shipped_installation(d.file("build/data")));
  const std::string inst = d.file("inst");
  std::ofstream script(d.file("example.sh"));
  script << "d=" << shell_quote(inst) << "\n";
  for (size_t i = 1; i + 1 < cmds.size(); ++i) script << cmds[i] << "\n";
  script.close();
  const run_result r = run("cd " + shell_quote(d.path) + " && sh -e example.sh");
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_EQ(system(("mkdir -p " + d.file("tst")).c_str()), 0);
  // The designer's environment names no installation: the command does.
  const kivo_test::env_list env = {{"TERM", "tmux-256color"},
                                   {"HOME", d.path},
                                   {"KIVO_TST_DIR", d.file("tst")},
                                   {"KIVO_SYS_ERR_LOG", d.file("syserr")},
                                   {"d", inst}};
  kivo_test::tmux_pane p("sh -c " + shell_quote(cmds.back()), d.path, env);
  ASSERT_TRUE(p.wait_for("QUANTITY:")) << p.capture();
  p.send_keys("F10");
  p.send_text("P1"), p.send_keys("Tab"), p.send_text("BOLT"), p.send_keys("Tab"), p.send_text("12");
  p.send_keys("Enter");
  ASSERT_TRUE(p.wait_for("RECORD ADDED")) << p.capture();
  p.send_text("P2"), p.send_keys("Tab"), p.send_text("NUT"), p.send_keys("Tab"), p.send_text("-5");
  p.send_keys("Enter");
  ASSERT_TRUE(p.wait_for("QUANTITY MAY NOT BE NEGATIVE")) << p.capture();
  p.send_keys("S-F1");
  EXPECT_EQ(p.exit_status(), 0) << p.capture();
  const auto parts = kivo_test::native_records(inst + "/INV/INV/Data/PART.dat").records;
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0].substr(0, 10), "P1    BOLT");
  EXPECT_EQ(kivo_test::slurp(d.file("syserr")), "");
}

}  // namespace
}  // namespace kivo::test
