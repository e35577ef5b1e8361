// System errors in a session of the shipped demonstration, under tmux: each
// is shown in the error window over the screen and answered through the
// terminal manager, never as text written over the screen with a read of
// the raw terminal; the key that led to it still acts, and the window goes
// when it is answered. A full disk names the file it could not write.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <memory>

#include "../fixtures/kivo_fixture.h"
#include "term_harness.h"

namespace kivo::test {
namespace {

using kivo_test::env_list;
using kivo_test::shell_quote;
using kivo_test::tmux_pane;

constexpr const char* kWindow = "An KIVO System Error has Occurred.";

class FailedReadsMidWork : public ::testing::Test {
 protected:
  // A fresh copy of the installation, an empty print folder, no trigger.
  void fresh() {
    const std::string run = d_.file("run"), prt = d_.file("prt");
    ASSERT_EQ(system(("rm -rf " + shell_quote(run) + " " + shell_quote(prt) + " " + shell_quote(trigger())).c_str()),
              0);
    ASSERT_EQ(system(("mkdir -p " + shell_quote(prt) + " && cp -R " +
                      shell_quote(kivo_test::shipped_installation() + "/.") + " " + shell_quote(run))
                         .c_str()),
              0);
  }
  std::string log() const { return kivo_test::slurp(d_.file("run/syserr")); }
  // The demonstration's environment; writes to files whose path holds
  // `failing` fail with a full disk while the trigger file exists.
  env_list env(const std::string& failing) const {
    env_list e = kivo_test::engine_env(d_.file("run"));
    e.insert(e.end(), {{"KIVO_PRT_FI_DIR", d_.file("prt") + "/"},
                       {"LD_PRELOAD", FAIL_WRITES},
                       {"KVTEST_FAIL_WRITES", trigger()},
                       {"KVTEST_FAIL_PATH", failing},
                       {"KVTEST_FAIL_ERRNO", "28"},
                       {"ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0"}});
    return e;
  }
  std::string trigger() const { return d_.file("disk-full"); }
  std::unique_ptr<tmux_pane> start(const std::string& failing) {
    auto p = std::make_unique<tmux_pane>(shell_quote(KIVO_BINARY) + " -d=DEM", d_.file("run"), env(failing));
    EXPECT_TRUE(p->wait_for("DEM MENU", 60)) << p->capture();
    return p;
  }
  // The report is in the window and nowhere as raw text; ENTER answers it
  // and the window goes.
  static void answer_window(tmux_pane& p, const std::string& text) {
    ASSERT_TRUE(p.wait_for(text)) << p.capture();
    const std::string shown = p.capture();
    EXPECT_NE(shown.find(kWindow), std::string::npos) << shown;
    EXPECT_EQ(shown.find("KIVOMSG"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("Press Return"), std::string::npos) << shown;
    p.send_keys("Enter");
    ASSERT_TRUE(
        kivo_test::wait_until([&] { return p.capture().find(kWindow) == std::string::npos; }, kivo_test::kScreenWait))
        << p.capture();
    EXPECT_EQ(p.capture().find(text), std::string::npos) << "the report stays on the screen\n" << p.capture();
  }
  kivo_test::data_dir d_;
};

// The runtime's TOKEN file out of reach names no key for the snapshots:
// OPTION 1 still runs line 1 once the window is answered, and the failure
// is shown once. A full print folder fails the list with the words.
TEST_F(FailedReadsMidWork, SystemErrorInASessionIsShownInTheWindowAndTakesNoKey) {
  struct row {
    const char* name;
    std::function<void(const std::string& run)> prepare;
    const char* failing;  // path part whose writes find the disk full
    const char* keys;     // the keys that meet the failure
    const char* report;   // what the window says
    const char* after;    // what the screen shows once it is answered
    int leave;            // END keys back to the start
  };
  const std::vector<row> rows = {
      {"token file out of reach",
       [](const std::string& run) {
         for (const char* f : {"TOKEN.dat", "TOKEN.key"})
           ASSERT_EQ(rename((run + "/00/0LA/Data/" + f).c_str(), (run + "/00/0LA/Data/" + f + ".away").c_str()), 0);
       },
       "no-such-path", "F1 1", "can't open token file", "CUSTOMER NO:", 2},
      {"full print folder", [](const std::string&) {}, "/prt/", "Down Enter", "the print folder is full", "DEM MENU",
       1},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    fresh();
    r.prepare(d_.file("run"));
    std::ofstream(trigger()).put('x');
    auto p = start(r.failing);
    p->send_keys(r.keys);
    answer_window(*p, r.report);
    ASSERT_TRUE(p->wait_for(r.after)) << p->capture();
    EXPECT_NE(log().find(r.report), std::string::npos);
    // Another key meets no second report.
    p->send_keys("F10");
    for (int i = 0; i < r.leave; ++i) {
      p->send_keys("S-F1");
      if (i + 1 < r.leave) {
        ASSERT_TRUE(p->wait_for("DEM MENU")) << p->capture();
      }
    }
    EXPECT_EQ(p->exit_status(), 0) << p->capture();
    EXPECT_EQ(p->capture().find(kWindow), std::string::npos) << p->capture();
    const std::string all = log();
    EXPECT_EQ(all.find(r.report), all.rfind(r.report)) << "shown once\n" << all;
  }
}

// An add that meets a full disk says the disk is full and names the data
// or key file it could not write, the first time as every later one; the
// customer typed stays on the screen and is added by the same ENTER once
// there is room, into the space the failed ones were given back.
TEST_F(FailedReadsMidWork, FullDiskNamesTheFileOnEveryFailedAdd) {
  const struct {
    const char* failing;
    const char* file;
  } rows[] = {{"CUSTOMER.dat", "/DEM/DEM/Data/CUSTOMER.dat"}, {"CUSTOMER.key", "/DEM/DEM/Data/CUSTOMER.key"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.failing);
    fresh();
    auto p = start(r.failing);
    p->send_keys("Enter");
    ASSERT_TRUE(p->wait_for("CUSTOMER NO:")) << p->capture();
    p->send_keys("F10");
    p->send_text("C0002");
    p->send_keys("Tab");
    p->send_text("Bob Jones");
    p->send_keys("Tab");
    p->send_text("75.25");
    ASSERT_TRUE(p->wait_for("BALANCE:      75.25")) << p->capture();
    std::ofstream(trigger()).put('x');
    for (int attempt = 0; attempt < 2; ++attempt) {
      p->send_keys("Enter");
      ASSERT_TRUE(p->wait_for(r.file)) << p->capture();
      EXPECT_NE(kivo_test::squeezed(p->capture()).find("Diskfull"), std::string::npos) << p->capture();
      answer_window(*p, r.file);
      ASSERT_TRUE(p->wait_for("ERROR - Disk full")) << p->capture();
      EXPECT_NE(p->capture().find("Bob Jones"), std::string::npos) << p->capture();
    }
    ASSERT_EQ(unlink(trigger().c_str()), 0);
    p->send_keys("Enter");
    ASSERT_TRUE(kivo_test::wait_until([&] { return p->capture().find("Bob Jones") == std::string::npos; },
                                      kivo_test::kScreenWait))
        << p->capture();
    p->send_keys("S-F1");
    ASSERT_TRUE(p->wait_for("DEM MENU")) << p->capture();
    p->send_keys("S-F1");
    EXPECT_EQ(p->exit_status(), 0) << p->capture();
    const std::string all = log();
    const std::string said = std::string("Disk full - OUT OF SPACE while writing ") + d_.file("run") + r.file;
    EXPECT_NE(all.find(said), std::string::npos) << all;
    EXPECT_NE(all.find(said), all.rfind(said)) << "said on each failed add\n" << all;
    // The one customer is the file's one record: no space was lost.
    const std::string dat = kivo_test::slurp(d_.file("run") + "/DEM/DEM/Data/CUSTOMER.dat");
    ASSERT_GE(dat.size(), 530u);
    const auto u32 = [&](size_t at) {
      return uint32_t(uint8_t(dat[at])) | uint32_t(uint8_t(dat[at + 1])) << 8 | uint32_t(uint8_t(dat[at + 2])) << 16 |
             uint32_t(uint8_t(dat[at + 3])) << 24;
    };
    const uint32_t length = u32(514) & 0xFFFF;
    EXPECT_EQ(u32(12), 512 + length + 16) << "end of file";
    EXPECT_EQ(uint8_t(dat[512]), 0) << "the record is live";
  }
}

}  // namespace
}  // namespace kivo::test
