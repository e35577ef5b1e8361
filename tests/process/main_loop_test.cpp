// The session's start around the executive, under a recording pi_exec: the
// restart after a cancel, the KEATERM processes, the exit status of every
// end code, the session file, the first process, and the installation
// check with its APPL records on a native data directory.
#include <gtest/gtest.h>
#include <utility>

#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "../fixtures/kivo_fixture.h"
#include "../fm/fm_native_util.h"
#include "fm/fm_sysadm.h"
#include "foundation/bytes.h"
#include "foundation/cmdline.h"
#include "foundation/end_codes.h"
#include "foundation/foundation.h"
#include "foundation/os.h"
#include "foundation/sys_err.h"
#include "process/pi_suspend.h"
#include "process/process.h"
#include "process/startup.h"

namespace kivo::test {
namespace {

std::vector<std::string> g_runs;
std::deque<uint32_t> g_ends;

void recording_exec(INVOC* inv) {
  std::string name(reinterpret_cast<char*>(inv->b + INVOC_PROC_NAM), kProcNameLen);
  name.erase(name.find_last_not_of(' ') + 1);
  g_runs.push_back(std::string(reinterpret_cast<char*>(inv->b), 3) + " " + name + " " +
                   std::to_string(inv->b[INVOC_PROC_TYPE]) + " [" + std::string(com.cur_db, 3) + "]");
  uint32_t end = g_ends.empty() ? PI_END_NORMAL : g_ends.front();
  if (!g_ends.empty()) g_ends.pop_front();
  st_le32(inv->b, INVOC_END_CODE, end);
}

void quiet_sys_err(const char*, int, const char*) {}

class MainLoop : public NativeFm {
 protected:
  void SetUp() override {
    NativeFm::SetUp();
    pi_init();
    hooks_.set(process_seams.exec, recording_exec);
    hooks_.set(process_seams.get_dsysparm, [] { return static_cast<const uint8_t*>(nullptr); });
    // Every application with the default class: no APPL record kept open.
    hooks_.set(fms_select.get_dap, [](const char*, const char*) -> const uint8_t* {
      static uint8_t appl[kApplRecLen];
      return static_cast<const uint8_t*>(memset(appl, ' ', sizeof appl));
    });
    g_runs.clear(), g_ends.clear();
    com.no_term = 0;
    memcpy(com.cur_db, "DB1", 3);
    unsetenv("KIVO_KEATERM");
    start_ = pi_invoc;
    memcpy(start_.b, "APX", 3);
    memcpy(start_.b + INVOC_PROC_NAM, "START", 5);
  }
  void TearDown() override {
    com.user_rec = nullptr;
    memset(ss_session, ' ', sizeof ss_session);
    unsetenv("KIVO_KEATERM");
    NativeFm::TearDown();
  }
  int loop(std::deque<uint32_t> ends, uint8_t restart, std::string* out = nullptr) {
    g_ends = std::move(ends);
    testing::internal::CaptureStdout();
    int st = kivo_main_loop(&start_, restart);
    std::string o = testing::internal::GetCapturedStdout();
    if (out) *out = o;
    return st;
  }
  INVOC start_;
};

using runs = std::vector<std::string>;

TEST_F(MainLoop, CancelWithTheRestartFlagRunsTheMenuOnceMore) {
  const runs twice = {"APX START 1 [DB1]", "0LA KIVO MENU 1 [DB1]"};
  for (uint8_t restart : {0, 1}) {
    g_runs.clear();
    EXPECT_EQ(loop({PI_END_CANCEL, PI_END_CANCEL, PI_END_CANCEL}, restart), 0);
    EXPECT_EQ(g_runs, restart ? twice : runs{twice[0]});
  }
}

// Around the loop with a blank database; not without terminal (-s), where
// no restart happens either.
TEST_F(MainLoop, KeatermProcessesRunAroundTheLoop) {
  setenv("KIVO_KEATERM", "", 1);
  EXPECT_EQ(loop({}, 0), 0);
  EXPECT_EQ(g_runs, (runs{"0AD KEATERM (STARTUP) 6 [   ]", "APX START 1 [DB1]", "0AD KEATERM (EXIT) 6 [   ]"}));
  EXPECT_EQ(std::string(com.cur_db, 3), "DB1");
  g_runs.clear(), com.no_term = 1;
  EXPECT_EQ(loop({PI_END_CANCEL}, 1), 0);
  EXPECT_EQ(g_runs, runs{"APX START 1 [DB1]"});
}

TEST_F(MainLoop, EveryEndCodeGivesTheStatusOfTheTable) {
  hooks_.set(foundation_seams.err_presenter, quiet_sys_err);
  const struct {
    uint32_t end;
    int status;
  } rows[] = {{1, 0}, {2, 0},   {3, 0},   {4, 0},   {24, 0}, {25, kExitLogout},
              {5, 5}, {19, 19}, {20, 20}, {34, 34}, {37, 37}};
  for (const auto& r : rows) {
    std::string out;
    EXPECT_EQ(loop({r.end}, 0, &out), r.status) << r.end;
    const bool lines = r.status != 0 && r.status != kExitLogout;
    EXPECT_EQ(
        out,
        lines ? "KIVO startup failed because of the following\nstartup error: " + std::to_string(r.end) + "\n\n" : "")
        << r.end;
  }
}

TEST_F(MainLoop, SessionFileReplacesTheCommandLine) {
  FDB f;
  KDB k[kInitMaxKeys];
  INIT_SESS_FDB(&f, k, "NIGHTLY ");
  ASSERT_TRUE(FM_CREATE(&f, com.sys_scope, 1, kAnyFile | LFB_OPEN_NEW, 15, 15));
  uint8_t rec[kSessRecLen];
  memcpy(rec, pi_invoc.b, kInvocSize);
  memcpy(rec, "APS", 3), memcpy(rec + kInvocSize, "DBS", 3);
  ARB* a = f.fdb_arb;
  a->arb_rec = rec, a->arb_len = a->arb_var_len = kSessRecLen, a->arb_mod = 0;
  ASSERT_TRUE(fm_write(a));
  FM_CLOSE(a, 0);
  memcpy(ss_session, "NIGHTLY ", 8);
  EXPECT_EQ(choose_first_proc(&start_, 1), 0);  // no user record: no restart flag
  EXPECT_EQ(std::string(reinterpret_cast<char*>(start_.b), 3), "APS");
  EXPECT_EQ(std::string(com.cur_db, 3), "DBS");
  // Missing: the start ends with its line and a failure, running nothing.
  memcpy(ss_session, "NONE    ", 8);
  EXPECT_EXIT(choose_first_proc(&start_, 1), ::testing::ExitedWithCode(kExitNotResumed), "");
  memset(ss_session, ' ', 8);
}

TEST_F(MainLoop, FirstProcessFromTheUserRecordOrTheMenu) {
  EXPECT_EQ(choose_first_proc(&start_, 0), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(start_.b), 3), "0LA");
  static uint8_t user[kUserRecLen];
  memset(user, ' ', sizeof user);
  memcpy(user + USER_START_DB, "UDBUAP\x02", 7);  // database, application, type
  user[USER_RESTART] = '1';
  com.user_rec = user;
  EXPECT_EQ(choose_first_proc(&start_, 0), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(start_.b), 6), "UAP  \x02");
  EXPECT_EQ(std::string(com.cur_db, 3), "UDB");
  EXPECT_EQ(choose_first_proc(&start_, 1), 1);  // named: only the flag
}

// The record of a system application, pinned byte by byte but the stamps.
TEST_F(MainLoop, ApplRecordOfASystemApplication) {
  ASSERT_TRUE(os_set_fake_time("2026120708300000"));
  uint8_t rec[kApplRecLen];
  init_dap(rec, "0LA", "00", "Kivo Runtime");
  os_clear_fake_time();
  std::string got(reinterpret_cast<char*>(rec), kApplRecLen);
  EXPECT_EQ(got.substr(0, 296) + got.substr(312), kivo_test::appl_golden("0LA", "Kivo Runtime"));
  EXPECT_EQ(ld_le32(rec, 296), ss_day_number(2026, 12, 7));
  EXPECT_NEAR(double(ld_le32(rec, 300)), 8 * 360000 + 30 * 6000, 500);
  EXPECT_EQ(got.substr(296, 8), got.substr(304, 8));
}

TEST_F(MainLoop, FirstRunCreatesApplAndRunsTheInstallationOnce) {
  uint32_t end = 0;
  EXPECT_EQ(chk_install(&end), kInstallRan);
  EXPECT_EQ(g_runs, (std::vector<std::string>{"0SA INSTALL 6 [DB1]"}));
  EXPECT_EQ(chk_install(&end), kInstallNone);
  EXPECT_EQ(g_runs.size(), 1u);
}

TEST_F(MainLoop, InstallationThatFailsRunsAgainNextTime) {
  for (uint32_t bad : {PI_END_CANCEL, PI_END_NO_PROC}) {
    uint32_t end = 0;
    g_ends = {bad};
    EXPECT_EQ(chk_install(&end), kInstallFailed);
    EXPECT_EQ(end, bad);
  }
  uint32_t end = 0;
  EXPECT_EQ(chk_install(&end), kInstallRan);
  EXPECT_EQ(g_runs.size(), 3u);
}

}  // namespace
}  // namespace kivo::test
