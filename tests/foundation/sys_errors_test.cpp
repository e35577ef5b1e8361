// System errors: the text forms on a terminal, and the log that processes
// share.
#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>

#include "fm/la.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "test_dir.h"

namespace kivo::test {
namespace {

void quiet(const char*, int, const char*) {}
int no_window(const char*, int, const char*) { return SYS_ERR_NO_WINDOW; }

// In a child: one error inside a level, then the next input line. Exit
// status: the level's end code * 10, + 1 when the level went on after the
// error, + 100 when the next line read is "next".
[[noreturn]] void report_then_read(bool window_fails) {
  com_fill(0, nullptr);
  mm_init();
  if (window_fails) {
    os_ready = 1;
    set_sys_err_screen(no_window);
  }
  uint32_t after = 0;
  uint32_t rc = MARK(MARK_PROCESS, [&] {
    sys_err("T", 1, "boom");
    after = 1;
  });
  char next[16] = {};
  bool got = fgets(next, sizeof next, stdin) && std::string(next) == "next\n";
  _exit(static_cast<int>(rc * 10 + after + (got ? 100 : 0)));
}

// Runs the child on a pseudo-terminal with `input` typed ahead; its exit
// status and what it wrote.
int on_pty(bool window_fails, const std::string& input, std::string* out) {
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) report_then_read(window_fails);
  EXPECT_EQ(write(master, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  char buf[4096];
  ssize_t n;
  while ((n = read(master, buf, sizeof buf)) > 0) out->append(buf, static_cast<size_t>(n));
  int st = 0;
  waitpid(pid, &st, 0);
  close(master);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// A line, end of input (^D) or a 2,000-character line each answer the
// prompt once: KIVOMSG goes on, KIVOERR leaves the level with 3; the line
// after is read intact.
TEST(SysErrors, TextFormsAnswerALineOrEndOfInput) {
  const std::string lines[] = {"ok\n", "\x04", std::string(2000, 'x') + "\n"};
  for (bool fails : {false, true}) {
    for (const std::string& line : lines) {
      std::string out;
      int st = on_pty(fails, line + "next\n", &out);
      EXPECT_EQ(st, fails ? 130 : 111) << fails << line.size();
      const char* want =
          fails ? "T - KIVOERR - Press Return To Cancel - boom" : "T - KIVOMSG - Press Return To Continue - boom";
      EXPECT_NE(out.find(want), std::string::npos) << out;
    }
  }
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> v;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) v.push_back(l);
  return v;
}

// Two writers at once through both entries, then a third process starting:
// every entry is there, one a line, after the line that was there first.
TEST(SysErrors, LogKeepsEveryEntryOfEveryWriter) {
  kivo_test::scratch_dir dir;
  const std::string log = dir.write("log", "earlier\n");
  setenv("KIVO_SYS_ERR_LOG", log.c_str(), 1);
  constexpr int kEntries = 300;
  std::set<std::string> want = {"earlier"};
  pid_t kids[3];
  for (int k = 0; k < 3; ++k) {
    for (int i = 0; k < 2 && i < kEntries; ++i) {
      want.insert("W." + std::to_string(i) + ": writer " + std::to_string(k) + " entry " + std::to_string(i));
      want.insert("writer " + std::to_string(k) + " recorded " + std::to_string(i));
    }
    if ((kids[k] = fork()) != 0) continue;
    com_fill(0, nullptr);
    mm_init();
    set_sys_err_presenter(quiet);
    if (k == 2) _exit(la_init() == 1 ? 0 : 1);
    for (int i = 0; i < kEntries; ++i) {
      sys_err("W", i, "writer %d entry %d", k, i);
      la_sys_err(("writer " + std::to_string(k) + " recorded " + std::to_string(i)).c_str(), 0);
    }
    _exit(0);
  }
  for (pid_t p : kids) {
    int st = -1;
    waitpid(p, &st, 0);
    EXPECT_EQ(st, 0);
  }
  unsetenv("KIVO_SYS_ERR_LOG");
  std::vector<std::string> got = lines_of(dir.read("log"));
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got[0], "earlier");
  EXPECT_EQ(std::set<std::string>(got.begin(), got.end()), want);
  EXPECT_EQ(got.size(), want.size());
}

// Sixteen engines failing at once on a data file that is a directory.
TEST(SysErrors, SixteenEnginesAppendToOneLog) {
  kivo_test::scratch_dir dir;
  ASSERT_EQ(mkdir(dir.file("x.dat").c_str(), 0755), 0);
  const std::string log = dir.write("log", "earlier\n");
  std::vector<pid_t> kids;
  for (int i = 0; i < 16; ++i) {
    pid_t p = fork();
    if (p == 0) {
      if (chdir(dir.path.c_str()) != 0) _exit(99);
      int null = open("/dev/null", O_RDWR);
      dup2(null, 0), dup2(null, 1), dup2(null, 2);
      setenv("KIVO_SYS_ERR_LOG", log.c_str(), 1);
      execl(KIVO_BINARY, "kivo", "-e", "x.dat", static_cast<char*>(nullptr));
      _exit(98);
    }
    kids.push_back(p);
  }
  for (pid_t p : kids) {
    int st = -1;
    waitpid(p, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) < 98);
  }
  std::vector<std::string> got = lines_of(dir.read("log"));
  ASSERT_EQ(got.size(), 17u);
  EXPECT_EQ(got[0], "earlier");
  for (size_t i = 1; i < got.size(); ++i) EXPECT_EQ(got[i], "Is a directory") << i;
}

}  // namespace
}  // namespace kivo::test
