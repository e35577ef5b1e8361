// Reads of the primary file: the hold each kind of process takes, record
// security on exact and scanning reads, the stops of events 03 and 11, a
// ranged first read, and the record-id copy.
#include <set>

#include "pcf_test_util.h"

namespace kivo::test {
namespace {

class PcfRead : public PcfFixture {
 protected:
  void SetUp() override {
    PcfFixture::SetUp();
    make_pcf("PLAIN", {cust("EAST", "ADAMS"), cust("EAST", "BAKER"), cust("EAST", "CLARK")});
  }
  static void key(PCB* p, const char* region, const char* last) {
    memcpy(rec(p) + C_REGION, region, 4);
    memset(rec(p) + C_LAST, ' ', 40);
    memcpy(rec(p) + C_LAST, last, strlen(last));
  }
  static std::string last(PCB* p) { return str(rec(p) + C_LAST, 5); }
  static void first(PCB* p) {
    ARB* a = p->pcb_pcf_arb;
    a->arb_keyno = 0, a->arb_key = nullptr, a->arb_mod = ARB_FIRST;
    fm_start(a);
  }
};

TEST_F(PcfRead, HoldBitsAndWaitWordByKindOfProcess) {
  constexpr uint32_t kKept = 7, kWait = 0xFFFFFFFF;
  // clang-format off
  struct row { bool next; uint8_t type, input_mode, hold, acc, autorun; uint16_t bits; uint32_t wait; } rows[] = {
      {false, PT_INPUT, 1, 0, 15, 0, 0, kKept},       {false, PT_INPUT, 2, 0, 15, 0, 0xC0, kKept},
      {false, PT_INPUT, 3, 0, 15, 0, 0, kKept},       {false, PT_INPUT, 7, 0, 15, 0, 0xC0, kKept},
      {false, PT_INQUIRY, 1, 1, 1, 0, 0xC0, kKept},   {false, PT_INQUIRY, 1, 0, 15, 0, 0, kKept},
      {false, PT_OUTPUT, 1, 0, 15, 0, 0xC0, kKept},   {false, PT_OUTPUT, 1, 0, 1, 0, 0, kKept},
      {false, PT_ACTION, 1, 0, 1, 1, 0xC0, kWait},    {false, PT_UPDATE, 1, 0, 15, 0, 0xC0, kKept},
      {true, PT_INPUT, 1, 0, 15, 0, 0, kKept},        {true, PT_INPUT, 2, 0, 15, 0, 0xC0, kKept},
      {true, PT_INPUT, 1, 0, 1, 1, 0xC0, kWait},      {true, PT_OUTPUT, 1, 0, 1, 0, 0, 0},
      {true, PT_OUTPUT, 1, 1, 1, 0, 0xC0, kWait},     {true, PT_ACTION, 1, 0, 15, 0, 0, 0},
      {true, PT_UPDATE, 1, 0, 1, 1, 0xC0, kWait},     {true, PT_INQUIRY, 1, 0, 15, 1, 0, 0},
      {true, PT_INQUIRY, 1, 1, 1, 1, 0xC0, kWait},
  };
  // clang-format on
  run_in("PLAIN", [&](PCB* p) {
    EM* em = p->pcb_em;
    uint8_t* cfi = static_cast<pi_file_blk*>(p->pcb_pcf_blk)->cfi;
    const uint8_t type = em->em_proc_type, acc = cfi[FDB_ACC];
    ARB* a = p->pcb_pcf_arb;
    for (const row& r : rows) {
      em->em_proc_type = r.type, em->em_pcf_hold = r.hold, cfi[FDB_ACC] = r.acc;
      p->invoc.b[INVOC_AUTO_RUN] = r.autorun;
      *pi_input_mode(p) = r.input_mode;
      a->arb_lock_wait = kKept;
      first(p);
      EXPECT_EQ(r.next ? pi_rdnxt(p, 0) : pi_read(p, ARB_FIRST), 1) << a->arb_stat;
      EXPECT_EQ(a->arb_mod & 0xC0, r.bits) << int(r.type) << " next " << r.next << " mode " << int(r.input_mode);
      EXPECT_EQ(a->arb_lock_wait, r.wait) << int(r.type) << " next " << r.next;
      fm_release(a);
    }
    em->em_proc_type = type, em->em_pcf_hold = 0, cfi[FDB_ACC] = acc;
    p->invoc.b[INVOC_AUTO_RUN] = 0;
  });
}

TEST_F(PcfRead, SecurityStopsRangeAndRecordId) {
  std::vector<std::string> seen;
  run_in("PLAIN", [&](PCB* p) {
    uint8_t* cfi = static_cast<pi_file_blk*>(p->pcb_pcf_blk)->cfi;
    ARB* a = p->pcb_pcf_arb;
    // ADAMS is of class 2, which the profile forbids; BAKER of class 1.
    first(p);
    for (const char* code : {"0002", "0001", "    "}) {
      ASSERT_EQ(pi_rdnxt(p, ARB_HOLD), 1);
      memcpy(rec(p) + C_SECR, code, 4);
      ASSERT_EQ(pi_rewrite(p), 1) << a->arb_stat;
    }
    uint8_t prof[kProfRecLen] = {};
    prof[PROF_BITMAP] = 0x02;
    pcb_set_profile(p, prof);
    st_le32(cfi, CFI_SECR_OFF, C_SECR);
    key(p, "EAST", "ADAMS");
    EXPECT_EQ(pi_read(p, ARB_EQUAL), 0);
    EXPECT_EQ(outcome(p), PCF_FILE_FAILED);
    EXPECT_EQ(a->arb_stat, uint32_t(FM_NOT_FOUND));
    first(p);
    EXPECT_EQ(pi_read(p, ARB_FIRST), 1);
    seen.push_back(last(p));
    first(p);
    for (int i = 0; i < 3 && pi_rdnxt(p, 0); ++i) seen.push_back(last(p));
    st_le32(cfi, CFI_SECR_OFF, uint32_t(-1));
    // Stops of events 03 and 11.
    stops = {"PLAIN/3"};
    key(p, "EAST", "BAKER");
    EXPECT_EQ(pi_read(p, ARB_EQUAL), 0);
    EXPECT_EQ(outcome(p), PCF_STOP_READ);
    stops = {"PLAIN/11"};
    EXPECT_EQ(pi_read(p, ARB_EQUAL), 0);
    EXPECT_EQ(outcome(p), PCF_STOP_EXT);
    stops.clear();
    // A range makes a first read a read-next: BAKER is followed by CLARK.
    key(p, "EAST", "BAKER");
    ASSERT_EQ(pi_read(p, ARB_EQUAL), 1);
    p->invoc.b[INVOC_RNG_AP] = 'R';
    EXPECT_EQ(pi_read(p, ARB_FIRST), 1);
    EXPECT_EQ(last(p), "CLARK");
    p->invoc.b[INVOC_RNG_AP] = ' ';
    // The record-id copy follows the stream and grows for a longer id.
    const uint16_t had = p->pcb_rid_len;
    EXPECT_EQ(memcmp(p->pcb_rid, a->arb_rec_id_area, a->arb_rec_id_len), 0);
    uint8_t id[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    ARB other{};
    other.arb_rec_id_area = id, other.arb_rec_id_len = had + 4u;
    CPY_RID(p, &other);
    EXPECT_EQ(p->pcb_rid_len, had + 4u);
    EXPECT_EQ(memcmp(p->pcb_rid, id, had + 4u), 0);
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"BAKER", "BAKER", "CLARK"}));
  EXPECT_NE(log.find("PLAIN/3 PLAIN/11"), std::string::npos);
}

}  // namespace
}  // namespace kivo::test
