// The executive's pieces through the real engine: each case copies the
// default installation, writes its processes into the demonstration
// application DEM (01, database DEM) with kivo_design, and runs `kivo` on
// them without a terminal, reading what the run left in real files (the
// trace, the data files, the suspend directory, the output).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../fixtures/kivo_fixture.h"
#include "../screen/term_harness.h"

namespace kivo::test {
namespace {

using kivo_test::data_dir;
using kivo_test::env_list;
using kivo_test::shell_quote;
using kivo_test::slurp;

// A copy of the default installation in `d`, with the design source
// `design` (of DEM 01 unless it names another application) written in.
void install(const data_dir& d, const std::string& design) {
  ASSERT_EQ(system(("cp -r " + kivo_test::engine_dir() + "/data/. " + shell_quote(d.path)).c_str()), 0);
  if (design.empty()) return;
  std::ofstream(d.file("test.dsgn")) << design;
  const std::string cmd = kivo_test::engine_dir() + "/tools/kivo_design -d " + shell_quote(d.path) + " " +
                          shell_quote(d.file("test.dsgn")) + " >" + shell_quote(d.file("design.out")) + " 2>&1";
  ASSERT_EQ(system(cmd.c_str()), 0) << slurp(d.file("design.out"));
}

struct run_result {
  int status;  // the exit status; -1 when the engine did not exit
  std::string out;
};

// The engine in `d` with `args`, no terminal (standard input /dev/null),
// its standard output and error together; `env` adds variables.
run_result run_kivo(const data_dir& d, const std::string& args, const env_list& env = {}) {
  std::string cmd = "cd " + shell_quote(d.path) + " && env TERM=xterm KIVOPATH=" + shell_quote(d.path) +
                    " KIVO_0SA_PATH=" + shell_quote(d.path) + " KIVO_SYS_ERR_LOG=" + shell_quote(d.file("syserr"));
  for (const auto& [k, v] : env) cmd += " " + shell_quote(k + "=" + v);
  cmd += " " + shell_quote(KIVO_BINARY) + " " + args + " </dev/null 2>&1";
  run_result r{-1, ""};
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
  const int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

// A subroutine of DEM started on the database DEM.
run_result run_subroutine(const data_dir& d, const std::string& name, const env_list& env = {}) {
  return run_kivo(d, "-d=DEM -a=DEM -t=Subroutine " + shell_quote("-p=" + name), env);
}

// The lines of `text` that contain `what`.
std::vector<std::string> lines_with(const std::string& text, const std::string& what) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    if (line.find(what) != std::string::npos) out.push_back(line);
    at = end + 1;
  }
  return out;
}

// ---- the activity trace ----

// A DEM subroutine that runs a subroutine of the system application 0SA.
constexpr const char* kTraceDesign = R"(APPLICATION DEM 01
PROCESS 6 "TRACED RUN"
STMTS 6 "TRACED RUN" ep=1
      SUBR     0SA INSTALL                          SUBPROCESS        N       0
      END PROC
END
)";

// The trace holds the application's process either way, and the system
// application's only when KIVO_TRACE_0APPS asks for it.
TEST(ProcessRealPath, SystemApplicationsAreTracedOnlyWhenAsked) {
  data_dir d;
  ASSERT_NO_FATAL_FAILURE(install(d, kTraceDesign));
  const struct {
    const char* name;
    env_list env;
    size_t system_lines;
  } cases[] = {{"unset", {}, 0}, {"set", {{"KIVO_TRACE_0APPS", "1"}}, 2}};
  for (const auto& c : cases) {
    const std::string trace = d.file(std::string("trace.") + c.name);
    env_list env = c.env;
    env.push_back({"KIVO_TRACE_FILE", trace});
    const run_result r = run_subroutine(d, "TRACED RUN", env);
    EXPECT_EQ(r.status, 0) << c.name << r.out;
    const std::string t = slurp(trace);
    // The start and the end of the application's run, numbered as a pair.
    EXPECT_EQ(lines_with(t, "DEM/6/TRACED RUN").size(), 2u) << c.name << "\n" << t;
    EXPECT_EQ(lines_with(t, "0SA/").size(), c.system_lines) << c.name << "\n" << t;
    EXPECT_EQ(lines_with(t, "0SA/6/INSTALL").size(), c.system_lines) << c.name << "\n" << t;
  }
}

}  // namespace
}  // namespace kivo::test
