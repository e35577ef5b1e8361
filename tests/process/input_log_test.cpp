// The INPUT process's modification log and its automatic runs, inside the
// executive: set-up keeps STDMLOG for a PCF opened for update, an add and a
// change through the mode operations leave their golden lines, a SUBPROCESS
// INPUT of a cascade writes into its invoker's log, and the automatic runs
// rewrite or delete exactly the constrained records.
#include <fstream>
#include <sstream>

#include "foundation/os.h"
#include "pcf_test_util.h"
#include "process/fp.h"
#include "process/ip.h"
#include "process/ip_internal.h"

namespace kivo::test {
namespace {

// CUSTLOG keeps a log of CUST; its orders (ORDLINE, keyed on region, last
// name and number) follow a changed name through ORDLOG and go with a
// deleted customer's region through ORDDROP.
constexpr const char* kLogSource = R"(APPLICATION 0DN 01
FILE ORDLINE fs=2 len=40
  "LINE KEY"  G28 @0 key=primary
  LREGION     A4  @0
  LLAST       A20 @4
  LNO         B4  @24
END
PROCESS 2 CUSTLOG pcf_ap=0DN pcf_file=CUST pcf_update=1 pcf_required=1
FRAME 2 CUSTLOG 0 1
CHILD 2 CUSTLOG 0 1 0 1 1 ap=0DN proc_type=2 name=ORDLOG invoc=0 on_change=3 links=2 link1_ap=0DN link1_field=REGION link2_ap=0DN link2_field=LAST
CHILD 2 CUSTLOG 0 1 0 1 2 ap=0DN proc_type=2 name=ORDDROP invoc=0 on_delete=1 links=1 link1_ap=0DN link1_field=REGION
PROCESS 2 ORDLOG pcf_ap=0DN pcf_file=ORDLINE pcf_update=1 pcf_required=1
PROCESS 2 ORDDROP pcf_ap=0DN pcf_file=ORDLINE pcf_update=1 pcf_required=1
)";

class InputProcessLog : public PcfFixture {
 protected:
  void SetUp() override {
    PcfFixture::SetUp();
    const design_source_result r = design_source_build(kLogSource, "input log", com.sys_scope, "0DN");
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(os_set_fake_time("2026120710300000"), 1);
    hooks_.keep(pi_type_rows[PT_INPUT]);
    hooks_.keep(fp_types[PT_INPUT]);
    ip_init();
  }
  void TearDown() override {
    os_clear_fake_time();
    PcfFixture::TearDown();
  }
  // An order of `region` and `last` numbered `no`.
  static std::vector<uint8_t> order(const std::string& region, const std::string& last, uint32_t no) {
    std::vector<uint8_t> r(40, ' ');
    memcpy(r.data(), region.data(), region.size());
    memcpy(r.data() + 4, last.data(), last.size());
    st_le32(r.data(), 24, no);
    return r;
  }
  // The orders file as "REGIONLAST no" lines in key order.
  std::string orders() {
    ARB* a = open_.back();
    uint8_t r[40];
    a->arb_rec = r, a->arb_len = 40, a->arb_keyno = 0, a->arb_key = nullptr, a->arb_mod = ARB_FIRST;
    std::string out;
    if (!fm_start(a)) return out;
    while (a->arb_mod = 0, fm_rdnxt(a)) out += str(r, 4) + str(r + 4, 5) + " " + std::to_string(ld_le32(r, 24)) + "\n";
    return out;
  }
};

TEST_F(InputProcessLog, AddAndChangeWriteTheGoldenLinesIntoTheOwnersLog) {
  make_pcf("CUSTLOG");
  make_pcf("ORDLOG");
  std::string got;
  PCB* owner = nullptr;
  eps["ORDLOG/1"] = [&](PCB* c) {
    // The cascade's SUBPROCESS INPUT writes into its invoker's log.
    EXPECT_EQ(c->pcb_mlog_pcb, owner);
    EXPECT_EQ(c->invoc.b[INVOC_AUTO_RUN], 1);
  };
  run_in("CUSTLOG", [&](PCB* p) {
    owner = p;
    ASSERT_EQ(p->pcb_mlog_pcb, p);
    ASSERT_NE(p->pcb_mlog_arb, nullptr);
    EXPECT_EQ(ip_mode(p), IM_INQUIRE);
    uint32_t seen = 0;
    ip_set_mode(p, IM_ADD);
    std::vector<uint8_t> r = cust("EAST", "ADAMS", "JOHN", 500);
    memcpy(rec(p), r.data(), r.size());
    ASSERT_EQ(ip_add(p), 1);
    // A fresh record after the add: its key fields are blank again.
    EXPECT_EQ(str(rec(p), 24), std::string(24, ' '));
    got += "-- add\n" + mlog_lines(p->pcb_mlog_arb, &seen);
    ip_set_mode(p, IM_INQUIRE);
    memcpy(rec(p), r.data(), 44);
    ASSERT_EQ(ip_read(p), 1);
    ASSERT_EQ(ip_hold(p, IM_CHANGE), 1);
    EXPECT_EQ(ip_mode(p), IM_CHANGE);
    st_le16(rec(p), C_QTY + 4, 3);
    memcpy(rec(p) + C_LAST, "ADAMZ", 5);
    ASSERT_EQ(ip_change(p), 1) << p->pcb_pcf_arb->arb_stat;
    EXPECT_EQ(ip_mode(p), IM_INQUIRE);
    // Each operation starts the log afresh: the change's lines alone.
    seen = 0;
    got += "-- change of LAST and QTY 3\n" + mlog_lines(p->pcb_mlog_arb, &seen);
    mark_leave(PI_END_PROCESS);
  });
  for (const std::string& e : captured_errors()) ADD_FAILURE() << e;
  const std::string path = std::string(KIVO_SOURCE_DIR) + "/tests/process/golden/input_mlog.txt";
  if (getenv("KIVO_UPDATE_GOLDEN")) std::ofstream(path) << got;
  std::stringstream golden;
  golden << std::ifstream(path).rdbuf();
  EXPECT_EQ(got, golden.str());
}

TEST_F(InputProcessLog, AutomaticRunsTouchOnlyTheConstrainedRecords) {
  make_pcf("CUSTLOG", {cust("EAST", "ADAMS"), cust("EAST", "BAKER")});
  make_pcf("ORDLOG", {order("EAST", "ADAMS", 1), order("EAST", "BAKER", 2), order("EAST", "ADAMS", 3),
                      order("WEST", "ADAMS", 4)});
  run_in("CUSTLOG", [&](PCB* p) {
    memcpy(rec(p), cust("EAST", "ADAMS").data(), kCustLen);
    ASSERT_EQ(ip_read(p), 1);
    ASSERT_EQ(ip_hold(p, IM_CHANGE), 1);
    memcpy(rec(p) + C_LAST, "ZED  ", 5);
    ASSERT_EQ(ip_change(p), 1) << p->pcb_pcf_arb->arb_stat;
    mark_leave(PI_END_PROCESS);
  });
  // Both of EAST ADAMS's orders moved past BAKER's; WEST's stayed.
  EXPECT_EQ(orders(), "EASTBAKER 2\nEASTZED   1\nEASTZED   3\nWESTADAMS 4\n");
  run_in("CUSTLOG", [&](PCB* p) {
    memcpy(rec(p), cust("EAST", "BAKER").data(), kCustLen);
    ASSERT_EQ(ip_read(p), 1);
    ASSERT_EQ(ip_hold(p, IM_DELETE), 1);
    ASSERT_EQ(ip_delete(p), 1) << p->pcb_pcf_arb->arb_stat;
    mark_leave(PI_END_PROCESS);
  });
  // The delete's child runs on the region alone: every EAST order goes.
  EXPECT_EQ(orders(), "WESTADAMS 4\n");
}

}  // namespace
}  // namespace kivo::test
