// A file's own process in the real engine: kivo under tmux runs the
// subroutines of tests/design/file_process.dsgn on a copy of the default
// installation. What the file's process logged at each event point, what
// the processes filed and the items left are read from the native files
// afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../fixtures/kivo_fixture.h"
#include "../screen/term_harness.h"

namespace kivo::test {
namespace {

namespace fs = std::filesystem;
using kivo_test::shell_quote;

class FileProcessRun : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string dir = kivo_test::engine_dir();
    ASSERT_EQ(system(("cp -r " + dir + "/shipped_data/. " + d_.path).c_str()), 0);
    const std::string src = std::string(KIVO_SOURCE_DIR) + "/tests/design/file_process.dsgn";
    const std::string out = " >" + d_.file("design.out") + " 2>&1";
    ASSERT_EQ(system((dir + "/tools/kivo_design -d " + shell_quote(d_.path) + " " + shell_quote(src) + out).c_str()), 0)
        << kivo_test::slurp(d_.file("design.out"));
  }
  void TearDown() override { EXPECT_EQ(kivo_test::slurp(d_.file("syserr")), "") << "system errors"; }

  // kivo running subroutine `proc` of 0LA in tmux until it ends; its exit status.
  int run(const std::string& proc) {
    const kivo_test::env_list env = {{"TERM", "xterm"},
                                     {"HOME", "hm"},
                                     {"KIVOPATH", d_.path},
                                     {"KIVO_0SA_PATH", d_.path},
                                     {"KIVO_SYS_ERR_LOG", d_.file("syserr")}};
    kivo_test::tmux_pane p(shell_quote(KIVO_BINARY) + " -d=DB1 -a=0LA -t=subroutine -p=" + proc, d_.path, env);
    const int st = p.exit_status(60);
    screen_ = p.capture();
    return st;
  }
  // The live records of data file `name` (those of its record length), in
  // the order they were written.
  std::vector<std::string> records(const std::string& name, size_t len) {
    for (const auto& e : fs::recursive_directory_iterator(d_.path)) {
      if (e.path().filename() != name + ".dat" || e.path().parent_path().filename() != "Data") continue;
      std::vector<std::string> out;
      for (const std::string& r : kivo_test::native_records(e.path().string()).records)
        if (r.size() == len) out.push_back(r);
      return out;
    }
    ADD_FAILURE() << "no data file " << name;
    return {};
  }
  // FPLOG as "run event point/operation/mode/caller/item" lines.
  std::vector<std::string> log() {
    std::vector<std::string> out;
    for (const std::string& r : records("FPLOG", 16)) {
      char head[16];
      snprintf(head, sizeof head, "%c %u/%u/%u/", r[0], uint8_t(r[5]), uint8_t(r[6]), uint8_t(r[7]));
      out.push_back(head + r.substr(8, 4) + "/" + r.substr(12, 4));
    }
    return out;
  }
  // FPRES as "key text" or "key status" lines.
  std::vector<std::string> results() {
    std::vector<std::string> out;
    for (const std::string& r : records("FPRES", 28)) {
      std::string text = r.substr(4, 20);
      text.erase(text.find_last_not_of(' ') + 1);
      int32_t status;
      memcpy(&status, r.data() + 24, 4);
      out.push_back(r.substr(0, 4) + " " + (text == "-" ? std::to_string(status) : text));
    }
    return out;
  }
  // FPITEMS as "number name quantity" lines in key order.
  std::vector<std::string> items() {
    std::vector<std::string> out;
    for (const std::string& r : records("FPITEMS", 26)) {
      std::string name = r.substr(4, 20);
      name.erase(name.find_last_not_of(' ') + 1);
      out.push_back(r.substr(0, 4) + " " + name + " " + std::to_string(uint8_t(r[24]) | uint8_t(r[25]) << 8));
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  kivo_test::data_dir d_;
  std::string screen_;
};

// The event points of the setup: the open, each add before and after, the
// last close. Each line begins with the run the serving process names in the
// area it shares with the file's process: none at the last close, when no
// process runs any more.
const std::vector<std::string> kSetupLog = {"S 1/0/0/    /----", "S 4/1/1/    /0001", "S 5/1/1/    /0001",
                                            "S 4/1/1/    /0002", "S 5/1/1/    /0002", "S 4/1/1/    /0003",
                                            "S 5/1/1/    /0003", "  6/0/0/    /----"};

TEST_F(FileProcessRun, EventPointsRunInTheirOrderAndTheReadEventRefusesWithItsError) {
  ASSERT_EQ(run("FPSETUP"), 0) << screen_;
  EXPECT_EQ(log(), kSetupLog);
  ASSERT_EQ(run("FPDRIVE"), 0) << screen_;
  std::vector<std::string> want = kSetupLog;
  for (const char* l : {
           "  1/0/0/    /----",                       // the driver's open, before its first statement names its run
           "D 3/3/3/    /0001",                       // a read
           "D 4/1/1/    /0004", "D 5/1/1/    /0004",  // an add
           "D 3/4/7/    /0001", "D 4/4/7/    /0001", "D 5/4/7/    /0001",  // a held read and its change
           "D 3/4/7/    /0003", "D 5/2/2/    /0003",                       // a held read and its delete
           "D 3/3/3/    /0002",                                            // the refused read
           "D 3/3/3/    /0001", "D 3/3/3/    /0002", "D 3/3/3/    /0004",  // the read loop passes 0002 over
           "  6/0/0/    /----",                                            // the last close
       })
    want.push_back(l);
  EXPECT_EQ(log(), want);
  // The update event's value in the shared area after each update, the
  // refusal's status, the records the loop delivered.
  EXPECT_EQ(results(), (std::vector<std::string>{"W004 0004", "R001 0001", "D003 0003", "E002 200450", "CNT  2"}));
  EXPECT_EQ(items(), (std::vector<std::string>{"0001 APPLE 11", "0002 PLUM 2", "0004 PEAR 4"}));
}

TEST_F(FileProcessRun, AFieldReadInAServedLanguageComesBackTranslatedAndIsStoredInTheFilesOwn) {
  ASSERT_EQ(run("FPSETUP"), 0) << screen_;
  ASSERT_EQ(run("FPXLATE"), 0) << screen_;
  EXPECT_EQ(results(), (std::vector<std::string>{"X001 POMME", "X002 POMME"}));
  EXPECT_EQ(items(), (std::vector<std::string>{"0001 APPLE 2", "0002 PLUM 2", "0003 CHERRY 3"}));
}

}  // namespace
}  // namespace kivo::test
