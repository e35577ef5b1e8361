// Commands and background jobs run as separate processes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/com.h"
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

TEST(Submit, ValuesReachTheScriptAsDataNotShellText) {
  kivo_test::scratch_dir d;
  com_fill(0, nullptr);
  std::string dir = d.path;
  com.data_dir = cstr{static_cast<uint16_t>(dir.size()), dir.data()};
  std::string out = d.file("args.txt");
  std::string marker = d.file("pwned");
  d.write("submit.sh", "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\" >> '" + out + "'; done\n");
  chmod(d.file("submit.sh").c_str(), 0755);
  setenv("KIVO_BG_SCRIPT", "submit.sh", 1);

  std::vector<uint8_t> user(436, ' ');
  std::string name = "bob; touch " + marker;
  memcpy(&user[3], name.data(), name.size());
  com.user_rec = user.data();

  SUBMIT_BLK blk{};
  blk.mode = 2;
  blk.notify = '1';
  blk.day = ss_day_number(2024, 3, 15);
  blk.hsec = ((13 * 60 + 5) * 60 + 7) * 100 + 9;
  memcpy(blk.priority, "HIGH $(x) ", 10);
  memcpy(blk.queue, "q`id`     ", 10);
  int st = ss_submit("NIGHT 1 ", &blk);
  com.user_rec = nullptr;
  unsetenv("KIVO_BG_SCRIPT");
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0);
  std::string lines = d.read("args.txt");
  EXPECT_NE(lines.find("-session=NIGHT 1 \n"), std::string::npos) << lines;
  EXPECT_NE(lines.find("-mode=SPOOL\n"), std::string::npos);
  EXPECT_NE(lines.find("-notify=Yes\n"), std::string::npos);
  EXPECT_NE(lines.find("-date=2024031513050709\n"), std::string::npos);
  EXPECT_NE(lines.find("-priority=HIGH $(x)\n"), std::string::npos);
  EXPECT_NE(lines.find("-queue=q`id`\n"), std::string::npos);
  EXPECT_NE(lines.find("-user=" + name + "\n"), std::string::npos);
  EXPECT_NE(access(marker.c_str(), F_OK), 0) << "a value ran as a shell command";
}

TEST(Submit, WithoutUserRecordOrDateTheWordsAreEmpty) {
  kivo_test::scratch_dir d;
  com_fill(0, nullptr);
  std::string dir = d.path;
  com.data_dir = cstr{static_cast<uint16_t>(dir.size()), dir.data()};
  std::string out = d.file("args.txt");
  // No interpreter line: still run as a shell script.
  d.write("kivo_submit", "for a in \"$@\"; do printf '%s\\n' \"$a\" >> '" + out + "'; done\n");
  chmod(d.file("kivo_submit").c_str(), 0755);
  unsetenv("KIVO_BG_SCRIPT");
  SUBMIT_BLK blk{};
  blk.mode = 255;
  blk.notify = ' ';
  blk.day = 0xFFFFFFFF;
  memset(blk.priority, ' ', 10);
  memset(blk.queue, ' ', 10);
  int st = ss_submit("        ", &blk);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(d.read("args.txt").substr(d.read("args.txt").find("-session")),
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
  sys_err_presenter old = set_sys_err_presenter(capture);
  EXPECT_EQ(ss_submit("        ", &blk), -1);
  set_sys_err_presenter(old);
  EXPECT_EQ(g_err_text, "Invalid SUBMIT MODE value (5)");
}
