// Commands and background jobs run as separate processes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <utility>

#include <cstdlib>
#include <cstring>
#include <string>

#include "../fixtures/hook_override.h"
#include "foundation/com.h"
#include "foundation/foundation.h"
#include "foundation/os.h"
#include "foundation/paths.h"
#include "foundation/sys_err.h"
#include "test_dir.h"

using namespace kivo;

namespace {

int spawn(std::string cmd) {
  cstr c{static_cast<uint16_t>(cmd.size()), cmd.data()};
  int status = -99;
  EXPECT_EQ(ss_spawn(&c, &status), 1);
  return status;
}

intptr_t sum3(intptr_t a, intptr_t b, intptr_t c) { return a * 100 + b * 10 + c; }
intptr_t count16(intptr_t a1, intptr_t, intptr_t, intptr_t, intptr_t, intptr_t, intptr_t, intptr_t, intptr_t, intptr_t,
                 intptr_t, intptr_t, intptr_t, intptr_t, intptr_t, intptr_t a16) {
  return a1 + a16;
}

}  // namespace

TEST(Spawn, ExitStatusAndSignalNumber) {
  EXPECT_EQ(spawn("exit 3"), 3);
  EXPECT_EQ(spawn("true"), 0);
  EXPECT_EQ(spawn("kill -TERM $$"), 143);
  EXPECT_EQ(spawn("kill -KILL $$"), 137);
  // Only the counted characters are the command.
  std::string cmd = "exit 4; exit 5";
  cstr c{6, cmd.data()};
  int status = 0;
  ss_spawn(&c, &status);
  EXPECT_EQ(status, 4);
}

TEST(Spawn, CallPassesTheCountedWords) {
  intptr_t args[4] = {3, 1, 2, 3};
  EXPECT_EQ(ss_call(args, reinterpret_cast<void*>(sum3)), 123);
  intptr_t many[17] = {16, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9};
  EXPECT_EQ(ss_call(many, reinterpret_cast<void*>(count16)), 16);
}

// Runs ss_submit with a script in the data directory that writes each of its
// arguments on a line of its own; gives those lines.
std::string submit_lines(const char* script, bool shebang, const char* session, const SUBMIT_BLK& blk,
                         uint8_t* user_rec = nullptr) {
  kivo_test::scratch_dir d;
  std::string dir = d.path;
  com.data_dir = cstr{static_cast<uint16_t>(dir.size()), dir.data()};
  com.user_rec = user_rec;
  std::string out = d.file("args.txt");
  d.write(script, std::string(shebang ? "#!/bin/sh\n" : "") + "for a in \"$@\"; do printf '%s\\n' \"$a\" >> '" + out +
                      "'; done\n");
  chmod(d.file(script).c_str(), 0755);
  SUBMIT_BLK b = blk;
  int st = ss_submit(session, &b);
  com.user_rec = nullptr;
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
  return d.read("args.txt");
}

TEST(Submit, ValuesReachTheScriptAsDataNotShellText) {
  com_fill(0, nullptr);
  kivo_test::scratch_dir m;
  std::string marker = m.file("pwned");
  setenv("KIVO_BG_SCRIPT", "submit.sh", 1);
  std::vector<uint8_t> user(436, ' ');
  std::string name = "bob; touch " + marker;
  memcpy(&user[3], name.data(), name.size());
  SUBMIT_BLK blk{};
  blk.mode = 2;
  blk.notify = '1';
  blk.day = ss_day_number(2024, 3, 15);
  blk.hsec = ((13 * 60 + 5) * 60 + 7) * 100 + 9;
  memcpy(blk.priority, "HIGH $(x) ", 10);
  memcpy(blk.queue, "q`id`     ", 10);
  std::string lines = submit_lines("submit.sh", true, "NIGHT 1 ", blk, user.data());
  unsetenv("KIVO_BG_SCRIPT");
  for (const std::string& want :
       std::vector<std::string>{"-session=NIGHT 1 ", "-mode=SPOOL", "-notify=Yes", "-date=2024031513050709",
                                "-priority=HIGH $(x)", "-queue=q`id`", std::string("-user=") + name})
    EXPECT_NE(lines.find(want + "\n"), std::string::npos) << want << " in " << lines;
  EXPECT_NE(access(marker.c_str(), F_OK), 0) << "a value ran as a shell command";
}

TEST(Submit, WithoutUserRecordOrDateTheWordsAreEmpty) {
  com_fill(0, nullptr);
  unsetenv("KIVO_BG_SCRIPT");
  SUBMIT_BLK blk{};
  blk.mode = 255;
  blk.notify = ' ';
  blk.day = 0xFFFFFFFF;
  memset(blk.priority, ' ', 10);
  memset(blk.queue, ' ', 10);
  // No interpreter line: still run as a shell script.
  std::string lines = submit_lines("kivo_submit", false, "        ", blk);
  EXPECT_EQ(lines.substr(lines.find("-session")),
            "-session=        \n-mode=\n-notify=\n-date=\n-priority=\n-queue=\n-user=\n");
}

namespace {
std::string g_err_text;
void capture(const char*, int, const char* text) { g_err_text = text; }
}  // namespace

TEST(Submit, InvalidModeIsRefused) {
  com_fill(0, nullptr);
  SUBMIT_BLK blk{};
  blk.mode = 5;
  {
    kivo_test::scoped_hook captured(foundation_seams.err_presenter, capture);
    EXPECT_EQ(ss_submit("        ", &blk), -1);
  }
  EXPECT_EQ(g_err_text, "Invalid SUBMIT MODE value (5)");
}
