// No test executable reads or changes the terminal it was started from.
// Each is run by pty_stdin with a pseudo-terminal of its own as standard
// input and controlling terminal, as a person's shell would start it: it
// must let go of that terminal before its first test, a test whose report
// asks for Return must end without a key, and the terminal's modes must be
// as they were. pty_stdin itself must notice a command that changes them,
// or its check in scripts/test.sh would prove nothing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// Only a command that waits for a key it never gets runs this long.
constexpr auto kHangBound = std::chrono::seconds(120);

// A scratch directory, removed with its contents.
struct scratch_dir {
  std::string path;
  scratch_dir() {
    char tmpl[] = "/tmp/kivo_tty_XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~scratch_dir() { std::filesystem::remove_all(path); }
};

struct run_result {
  int status = -1;  // exit status, 128 + signal, or -1 when it hung and was killed
  std::string output;
};

// `args` through pty_stdin, with `env` added; output and errors into one file.
run_result run_on_pty(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
  scratch_dir dir;
  const std::string out = dir.path + "/out";
  const pid_t pid = fork();
  if (pid == 0) {
    for (auto& e : env) putenv(const_cast<char*>(e.c_str()));
    freopen(out.c_str(), "w", stdout);
    dup2(fileno(stdout), STDERR_FILENO);
    std::vector<char*> argv{const_cast<char*>(PTY_STDIN)};
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  run_result r;
  const auto deadline = std::chrono::steady_clock::now() + kHangBound;
  int st = 0;
  while (waitpid(pid, &st, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGTERM);
      waitpid(pid, &st, 0);
      st = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (st != -1) r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  std::ifstream in(out);
  r.output.assign(std::istreambuf_iterator<char>(in), {});
  return r;
}

std::vector<std::string> test_binaries() {
  std::vector<std::string> out;
  std::stringstream all(KIVO_TEST_BINARIES);
  for (std::string b; std::getline(all, b, ':');)
    if (!b.empty()) out.push_back(b);
  return out;
}

std::string binary_named(const std::string& name) {
  for (auto& b : test_binaries())
    if (b.size() >= name.size() && b.compare(b.size() - name.size(), name.size(), name) == 0) return b;
  return {};
}

}  // namespace

// Every test executable, started on a terminal, has let go of it before
// its first test: standard input is no terminal and /dev/tty no longer
// opens. Listing its tests leaves the terminal's modes as they were.
TEST(TerminalSafety, EveryTestBinaryLetsGoOfItsTerminal) {
  const auto binaries = test_binaries();
  ASSERT_GE(binaries.size(), 12u);
  scratch_dir dir;
  for (auto& b : binaries) {
    SCOPED_TRACE(b);
    const std::string probe = dir.path + "/probe";
    std::remove(probe.c_str());
    // Started by a shell, as ctest or a person's shell starts it: not the
    // leader of the terminal's session.
    const run_result r =
        run_on_pty({"sh", "-c", "\"$0\" --gtest_list_tests; exit $?", b}, {"KIVO_TERMINAL_PROBE=" + probe});
    EXPECT_EQ(r.status, 0) << r.output.substr(0, 400);
    std::ifstream in(probe);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "stdin-tty=0 ctty=0");
  }
}

// A system error reported without a window asks for Return on the
// terminal; the test that provokes one ends without a key and leaves the
// modes as they were.
TEST(TerminalSafety, AReportThatAsksForReturnEndsWithoutAKey) {
  const std::string types = binary_named("/types_tests");
  ASSERT_FALSE(types.empty());
  const run_result r =
      run_on_pty({"sh", "-c", "\"$0\" --gtest_filter=CnvBlock.InconsistentDesignUnwindsWithThree; exit $?", types});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Press Return"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("[  PASSED  ] 1 test"), std::string::npos) << r.output;
}

// pty_stdin's own check: a command that changes the modes (here output
// post-processing off, the staircase a killed session leaves) is named and
// fails; one that leaves them passes its status on.
TEST(TerminalSafety, TheRunnerNamesAChangeOfTheTerminalsModes) {
  const struct {
    std::vector<std::string> args;
    int status;
    const char* says;
  } rows[] = {
      {{"stty", "-opost"}, 125, "changed the terminal's modes"},
      {{"sh", "-c", "stty -opost; stty opost; exit 3"}, 3, ""},
      {{"sh", "-c", "test -t 0 && exec 3</dev/tty"}, 0, ""},
      {{"/nonexistent/command"}, 126, "cannot run"},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(row.args.back());
    const run_result r = run_on_pty(row.args);
    EXPECT_EQ(r.status, row.status) << r.output;
    EXPECT_NE(r.output.find(row.says), std::string::npos) << r.output;
  }
}
