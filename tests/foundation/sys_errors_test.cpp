// System errors: the text forms on a terminal, and the log that processes
// share.
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "../fixtures/hook_override.h"
#include "fm/la.h"
#include "foundation/foundation.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "test_dir.h"

namespace kivo::test {
namespace {

// A child on a pseudo-terminal, `input` typed ahead: one error in a level,
// then a read; its output, and exit status: the level's end code * 10, + 1
// when the level went on, + 100 when the next line read is "next".
// With `plain` the child is a tool that says its errors in plain lines.
int on_pty(bool window_fails, const std::string& input, std::string* out, bool plain = false) {
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    com_fill(0, nullptr);
    mm_init();
    if (plain) sys_err_plain_lines("tool");
    os_ready = window_fails;
    kivo_test::scoped_hook no_window(foundation_hooks.err_screen,
                                     [](const char*, int, const char*) { return int(SYS_ERR_NO_WINDOW); });
    uint32_t after = 0, rc = MARK(MARK_PROCESS, [&] { sys_err("T", 1, "boom"), after = 1; });
    char next[16] = {};
    _exit(int(rc * 10 + after + (fgets(next, sizeof next, stdin) && std::string(next) == "next\n" ? 100 : 0)));
  }
  EXPECT_EQ(write(master, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  char buf[4096];
  for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) out->append(buf, static_cast<size_t>(n));
  int st = 0;
  waitpid(pid, &st, 0);
  close(master);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// A line, end of input (^D) or a 2,000-character line answer the prompt once:
// KIVOMSG goes on, KIVOERR leaves the level with 3; the next line is intact.
TEST(SysErrors, TextFormsAnswerALineOrEndOfInput) {
  const std::string lines[] = {"ok\n", "\x04", std::string(2000, 'x') + "\n"};
  for (bool fails : {false, true}) {
    for (const std::string& line : lines) {
      std::string out;
      EXPECT_EQ(on_pty(fails, line + "next\n", &out), fails ? 130 : 111) << fails << line.size();
      EXPECT_NE(out.find(fails ? "T - KIVOERR - Press Return To Cancel - boom\r\n"
                               : "T - KIVOMSG - Press Return To Continue - boom\r\n"),
                std::string::npos)
          << out;
    }
  }
}

// A tool's text forms are one plain line each and read nothing: KIVOMSG
// goes on, KIVOERR leaves the level with 3, and the first line typed is
// still there for the tool.
TEST(SysErrors, ToolTextFormsArePlainLinesThatReadNothing) {
  for (bool fails : {false, true}) {
    std::string out;
    EXPECT_EQ(on_pty(fails, "ok\nnext\n", &out, true), fails ? 30 : 11) << fails;
    EXPECT_NE(out.find("tool: T - boom\r\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Press Return"), std::string::npos) << out;
  }
}

// Two writers at once through both entries, and a third process starting:
// every entry is there, one a line, after the line that was there first.
TEST(SysErrors, LogKeepsEveryEntryOfEveryWriter) {
  kivo_test::scratch_dir dir;
  setenv("KIVO_SYS_ERR_LOG", dir.write("log", "earlier\n").c_str(), 1);
  auto entry = [](int k, int i) { return "writer " + std::to_string(k) + " entry " + std::to_string(i); };
  std::multiset<std::string> want = {"earlier"};
  pid_t kids[3];
  for (int k = 0; k < 3; ++k) {
    for (int i = 0; k < 2 && i < 300; ++i) want.insert({"W.1: " + entry(k, i), entry(k, i)});
    if ((kids[k] = fork()) != 0) continue;
    com_fill(0, nullptr);
    mm_init();
    kivo_test::scoped_hook quiet(foundation_seams.err_presenter, [](const char*, int, const char*) {});
    for (int i = 0; k < 2 && i < 300; ++i) {
      sys_err("W", 1, "%s", entry(k, i).c_str());
      la_sys_err(entry(k, i).c_str(), 0);
    }
    _exit(k < 2 || la_init() == 1 ? 0 : 1);
  }
  int st = -1;
  for (pid_t p : kids) EXPECT_TRUE(waitpid(p, &st, 0) == p && st == 0);
  unsetenv("KIVO_SYS_ERR_LOG");
  const std::string text = dir.read("log");
  EXPECT_EQ(text.substr(0, 8), "earlier\n");
  std::istringstream in(text);
  std::multiset<std::string> got;
  for (std::string l; std::getline(in, l);) got.insert(l);
  EXPECT_EQ(got, want);
}

// Sixteen engines failing at once: eight export a data file that is a
// directory, eight repair a data file of their own whose free list starts at
// a live record, with the end-of-file check on, and find the file longer
// than its header says.
TEST(SysErrors, SixteenEnginesAppendToOneLog) {
  kivo_test::scratch_dir dir;
  ASSERT_EQ(mkdir(dir.file("x.dat").c_str(), 0755), 0);
  dir.write("v", "abc\ndefgh\n");
  dir.write("log", "earlier\n");
  const std::string kivo = "KIVO_SYS_ERR_LOG=log '" KIVO_BINARY "' ";
  ASSERT_EQ(system(("cd '" + dir.path + "' && " + kivo + "-i=v </dev/null >/dev/null 2>&1").c_str()), 0);
  std::string bad = dir.read("v.dat").replace(8, 4, std::string("\0\2\0\0", 4)) + "garbage";
  for (int i = 1; i <= 8; ++i) dir.write("r" + std::to_string(i) + ".dat", bad);
  const std::string cmd = "cd '" + dir.path + "' && for i in $(seq 8); do " + kivo +
                          "-e x.dat </dev/null >/dev/null 2>&1 & KIVO_VERIFY_EOF=1 " + kivo +
                          "-r=r$i </dev/null >/dev/null 2>&1 & done; wait";
  ASSERT_EQ(system(cmd.c_str()), 0);
  std::istringstream in(dir.read("log"));
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), 17u);
  EXPECT_EQ(lines[0], "earlier");
  const std::string eof = ": Invalid eof(552,559) on r";
  int exports = 0, repairs = 0;
  for (const std::string& l : lines) {
    exports += l == "Is a directory";
    repairs += l.rfind("BRF.", 0) == 0 && l.find(eof) != std::string::npos && l.ends_with(".dat");
  }
  EXPECT_EQ(exports, 8);
  EXPECT_EQ(repairs, 8);
}

}  // namespace
}  // namespace kivo::test
