// Child processes run by a rewrite whose linking fields changed and before
// a delete: which children run, with what constraint, between their events
// 61 and 62, and what a child that ends fatally leaves behind.
#include "pcf_test_util.h"

namespace kivo::test {
namespace {

class Cascade : public PcfFixture {
 protected:
  void SetUp() override {
    PcfFixture::SetUp();
    make_pcf("CUSTIN", {cust("EAST", "ADAMS"), cust("EAST", "BAKER")});
    make_pcf("ORDIN");
    // What each child saw: its automatic mode and the constraint values it
    // puts into a new record of its PCF.
    for (const char* child : {"ORDIN", "ORDDEL"})
      eps[std::string(child) + "/1"] = [this, child](PCB* c) {
        uint8_t r[40];
        memset(r, '.', sizeof r);
        pi_set_cns(c, r);
        runs.push_back(std::string(child) + " auto " + std::to_string(c->invoc.b[INVOC_AUTO_RUN]) + " " + str(r, 24));
        if (fatal) mark_leave(PI_END_FATAL);
      };
  }
  static int hold(PCB* p, const char* last) {
    memcpy(rec(p), cust("EAST", last).data(), kCustLen);
    return pi_read(p, ARB_EQUAL | ARB_HOLD);
  }
  std::vector<std::string> runs;
  bool fatal = false;
};

TEST_F(Cascade, ChangedLinksRunTheChildWithTheNewValues) {
  run_in("CUSTIN", [&](PCB* p) {
    // A change outside the linking fields runs no child.
    ASSERT_EQ(hold(p, "ADAMS"), 1);
    memcpy(rec(p) + C_CITY, "ROME", 4);
    log.clear();
    ASSERT_EQ(pi_rewrite(p), 1);
    EXPECT_EQ(log, "CUSTIN/11 CUSTIN/4 CUSTIN/61 CUSTIN/11 CUSTIN/61 CUSTIN/11 CUSTIN/5 ");
    EXPECT_TRUE(runs.empty());
    // A changed last name runs it, automatic, with region and new name.
    ASSERT_EQ(hold(p, "ADAMS"), 1);
    memcpy(rec(p) + C_LAST, "ADAMZ", 5);
    log.clear();
    ASSERT_EQ(pi_rewrite(p), 1) << p->pcb_pcf_arb->arb_stat;
    EXPECT_NE(log.find("CUSTIN/61 ORDIN/1 "), std::string::npos) << log;
    EXPECT_NE(log.find(" CUSTIN/62 CUSTIN/11 CUSTIN/5 "), std::string::npos) << log;
    EXPECT_EQ(str(rec(p) + C_LAST, 5), "ADAMZ");
    EXPECT_EQ(str(p->pcb_pcf_buf1 + C_LAST, 5), "ADAMZ");
  });
  EXPECT_EQ(runs, std::vector<std::string>{"ORDIN auto 1 EASTADAMZ               "});
}

TEST_F(Cascade, FatalChildStopsTheRewriteWithTheNewImageKept) {
  fatal = true;
  run_in("CUSTIN", [&](PCB* p) {
    ASSERT_EQ(hold(p, "BAKER"), 1);
    memcpy(rec(p) + C_LAST, "BAKES", 5);
    log.clear();
    EXPECT_EQ(pi_rewrite(p), 0);
    EXPECT_EQ(outcome(p), PCF_FILE_FAILED);
    EXPECT_EQ(p->pcb_pcf_arb->arb_stat, PCF_CHILD_FATAL);
    EXPECT_EQ(log.find("CUSTIN/62"), std::string::npos);
    // The file, the record area and the before image all hold the new record.
    EXPECT_EQ(str(rec(p) + C_LAST, 5), "BAKES");
    EXPECT_EQ(str(p->pcb_pcf_buf1 + C_LAST, 5), "BAKES");
    ASSERT_EQ(hold(p, "BAKES"), 1);
  });
  EXPECT_EQ(runs.size(), 1u);
}

TEST_F(Cascade, DeleteRunsTheOnDeleteChildAndReadsTheRecordAgain) {
  run_in("CUSTIN", [&](PCB* p) {
    ASSERT_EQ(hold(p, "ADAMS"), 1);
    log.clear();
    ASSERT_EQ(pi_del(p), 1) << p->pcb_pcf_arb->arb_stat;
    EXPECT_NE(log.find("CUSTIN/61 ORDDEL/1 "), std::string::npos) << log;
    EXPECT_NE(log.find(" CUSTIN/62 CUSTIN/3 CUSTIN/11 CUSTIN/5 "), std::string::npos) << log;
    EXPECT_EQ(hold(p, "ADAMS"), 0);
  });
  EXPECT_EQ(runs, std::vector<std::string>{"ORDDEL auto 2 EAST...................."});
}

TEST_F(Cascade, AnActionWithChildrenCascadesAsAnInputDoes) {
  run_in(
      "CUSTACT",
      [&](PCB* p) {
        ASSERT_NE(p->pcb_pcf_buf1, nullptr);
        ASSERT_NE(p->pcb_pcf_buf2, nullptr);
        ASSERT_EQ(pi_read(p, ARB_FIRST), 1);
        memcpy(rec(p) + C_LAST, "ADAMX", 5);
        ASSERT_EQ(pi_rewrite(p), 1) << p->pcb_pcf_arb->arb_stat;
      },
      PT_ACTION);
  EXPECT_EQ(runs, std::vector<std::string>{"ORDIN auto 1 EASTADAMX               "});
}

}  // namespace
}  // namespace kivo::test
