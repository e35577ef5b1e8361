// Writes, rewrites and deletes of the primary file: stamps, the order and
// stops of the event points, the stream a rewrite goes through, the before
// image after a failed rewrite, delete protection, and a process without a
// PCF stream.
#include "foundation/os.h"
#include "pcf_test_util.h"

namespace kivo::test {
namespace {

class PcfUpdate : public PcfFixture {
 protected:
  void SetUp() override {
    PcfFixture::SetUp();
    make_pcf("PLAIN", {cust("EAST", "ADAMS"), cust("EAST", "BAKER")});
  }
  void TearDown() override {
    os_clear_fake_time();
    PcfFixture::TearDown();
  }
  static void put(PCB* p, const std::vector<uint8_t>& r) { memcpy(rec(p), r.data(), r.size()); }
  // Reads (region, last) with hold; 1 found.
  static int hold(PCB* p, const char* last) {
    put(p, cust("EAST", last));
    return pi_read(p, ARB_EQUAL | ARB_HOLD);
  }
  // The events logged by `fn`.
  std::string events(const std::function<void()>& fn) {
    log.clear();
    fn();
    return log;
  }
};

TEST_F(PcfUpdate, UserAndDateStampsOnAddAndChange) {
  run_in("PLAIN", [&](PCB* p) {
    ASSERT_EQ(os_set_fake_time("2026120710300000"), 1);
    put(p, cust("WEST", "DAVIS"));
    ASSERT_EQ(pi_write(p), 1);
    put(p, cust("WEST", "DAVIS"));
    ASSERT_EQ(pi_read(p, ARB_EQUAL | ARB_HOLD), 1);
    EXPECT_EQ(str(rec(p) + C_ADDUSR, 6), "USRUSR");
    EXPECT_EQ(ld_le32(rec(p), C_ADDDT), ss_day_number(2026, 12, 7));
    EXPECT_EQ(ld_le32(rec(p), C_CHGDT), ss_day_number(2026, 12, 7));
    memcpy(com.user_id, "CHG", 3);
    ASSERT_EQ(os_set_fake_time("2027010209000000"), 1);
    ASSERT_EQ(pi_rewrite(p), 1) << p->pcb_pcf_arb->arb_stat;
    ASSERT_EQ(pi_read(p, ARB_EQUAL), 1);
    EXPECT_EQ(str(rec(p) + C_ADDUSR, 6), "USRCHG");
    EXPECT_EQ(ld_le32(rec(p), C_ADDDT), ss_day_number(2026, 12, 7));
    EXPECT_EQ(ld_le32(rec(p), C_CHGDT), ss_day_number(2027, 1, 2));
  });
  for (const std::string& e : captured_errors()) ADD_FAILURE() << e;
}

TEST_F(PcfUpdate, EventOrderAndStops) {
  run_in("PLAIN", [&](PCB* p) {
    put(p, cust("WEST", "EVANS"));
    EXPECT_EQ(events([&] { EXPECT_EQ(pi_write(p), 1); }), "PLAIN/11 PLAIN/4 PLAIN/5 ");
    const std::pair<const char*, uint32_t> stop_rows[] = {
        {"PLAIN/11", PCF_STOP_EXT}, {"PLAIN/4", PCF_STOP_PRE}, {"PLAIN/5", PCF_STOP_POST}};
    int n = 0;
    for (auto [ep, code] : stop_rows) {
      stops = {ep};
      put(p, cust("WEST", "F" + std::to_string(n++)));
      EXPECT_EQ(pi_write(p), 0) << ep;
      EXPECT_EQ(outcome(p), code) << ep;
    }
    stops.clear();
    // A delete runs no event 04; an automatic rewrite neither 04 nor 05.
    ASSERT_EQ(hold(p, "BAKER"), 1);
    EXPECT_EQ(events([&] { EXPECT_EQ(pi_del(p), 1); }), "PLAIN/5 ");
    ASSERT_EQ(hold(p, "ADAMS"), 1);
    p->invoc.b[INVOC_AUTO_RUN] = 1;
    memcpy(rec(p) + C_CITY, "PARIS", 5);
    EXPECT_EQ(events([&] { EXPECT_EQ(pi_rewrite(p), 1); }), "PLAIN/11 PLAIN/11 ");
    p->invoc.b[INVOC_AUTO_RUN] = 0;
  });
}

TEST_F(PcfUpdate, RewriteThroughTheHoldingStreamAndBackToTheFileOnFailure) {
  run_in("PLAIN", [&](PCB* p) {
    auto* fb = static_cast<pi_file_blk*>(p->pcb_pcf_blk);
    FAD fad{nullptr, nullptr};
    ARB* h = FM_ATTACH(fb->arb, &fad, com.mark_scope);
    ASSERT_NE(h, nullptr);
    std::vector<uint8_t> buf = cust("EAST", "ADAMS");
    PROTO_FULL(h, 0, buf.data());
    h->arb_len = kCustLen, h->arb_mod = ARB_EQUAL | ARB_HOLD;
    ASSERT_EQ(fm_read(h), 1);
    fb->cur_arb = h;
    put(p, buf);
    memcpy(rec(p) + C_CITY, "OSLO", 4);
    EXPECT_EQ(pi_rewrite(p), 1) << p->pcb_pcf_arb->arb_stat;
    ASSERT_EQ(pi_read(p, ARB_EQUAL), 1);
    EXPECT_EQ(str(rec(p) + C_CITY, 4), "OSLO");
    fm_detach(h);
    fb->cur_arb = nullptr;
    // A rewrite to the key of another record fails: the before image is read again.
    ASSERT_EQ(hold(p, "ADAMS"), 1);
    memcpy(rec(p) + C_LAST, "BAKER", 5);
    EXPECT_EQ(pi_rewrite(p), 0);
    EXPECT_EQ(outcome(p), PCF_FILE_FAILED);
    EXPECT_EQ(p->pcb_pcf_arb->arb_stat, uint32_t(FM_DUP_KEY));
    EXPECT_EQ(str(p->pcb_pcf_buf1 + C_LAST, 5), "ADAMS");
    EXPECT_EQ(str(p->pcb_pcf_buf1 + C_CITY, 4), "OSLO");
  });
}

TEST_F(PcfUpdate, WritesAddScrollLinesAndARewriteSetsTheCurrentOne) {
  run_in("PLAIN", [&](PCB* p) {
    uint8_t first_line[4] = {};
    pcb_frm_ent frame{nullptr, first_line};
    // The block is the process's, as the set-up gives it to an INPUT process.
    auto& blk = *static_cast<pcb_iscroll_blk*>(MM_ALLOC(p->pcb_pool, sizeof(pcb_iscroll_blk)));
    blk = pcb_iscroll_blk{};
    blk.frame = &frame, blk.count = 9;
    p->pcb_iscroll = &blk;
    ARB* a = p->pcb_pcf_arb;
    std::vector<std::string> ids;
    for (const char* last : {"GRANT", "HOLMES"}) {
      put(p, cust("WEST", last));
      ASSERT_EQ(pi_write(p), 1);
      ids.emplace_back(reinterpret_cast<char*>(a->arb_rec_id_area), a->arb_rec_id_len);
    }
    ASSERT_NE(blk.first, nullptr);
    EXPECT_EQ(str(blk.first->rid, blk.first->rid_len), ids[0]);
    EXPECT_EQ(blk.cur, blk.first->next);
    EXPECT_EQ(blk.cur->prev, blk.first);
    EXPECT_EQ(str(blk.cur->rid, blk.cur->rid_len), ids[1]);
    EXPECT_EQ(blk.count, 0);
    EXPECT_EQ(blk.first_line, first_line);
    // A rewrite of another record makes its id the current line's.
    ASSERT_EQ(hold(p, "ADAMS"), 1);
    const std::string adams(reinterpret_cast<char*>(a->arb_rec_id_area), a->arb_rec_id_len);
    ASSERT_EQ(pi_rewrite(p), 1);
    EXPECT_EQ(str(blk.cur->rid, blk.cur->rid_len), adams);
    blk.frame = nullptr, blk.first_line = nullptr;
  });
}

TEST_F(PcfUpdate, DeleteProtectionByFlagAndCounter) {
  // clang-format off
  struct row { uint8_t db_type; char flag; uint8_t type, len; std::vector<uint8_t> cnt; bool kept; } rows[] = {
      {2, '1', 5, 1, {0}, true},              {1, '1', 5, 1, {0}, false},
      {2, ' ', 5, 1, {3}, true},              {2, ' ', 5, 1, {0}, false},
      {2, ' ', 5, 2, {0, 1}, true},           {2, ' ', 5, 2, {0, 0}, false},
      {2, ' ', 5, 4, {0, 0, 0, 1}, true},     {2, ' ', 5, 4, {0, 0, 0, 0}, false},
      {2, ' ', 8, 3, {0x00, 0x01, 0x2C}, true}, {2, ' ', 8, 3, {0x00, 0x00, 0x0C}, false},
      {2, ' ', 12, 2, {0x00, 0x0D}, false},
  };
  // clang-format on
  run_in("PLAIN", [&](PCB* p) {
    EM* em = p->pcb_em;
    uint8_t* a9 = pi_area(p, AREA_DB, 4);
    int n = 0;
    for (const row& r : rows) {
      const std::string last = "P" + std::to_string(n++);
      put(p, cust("NORT", last));
      ASSERT_EQ(pi_write(p), 1);
      ASSERT_EQ(pi_read(p, ARB_EQUAL | ARB_HOLD), 1);
      a9[kA9DbType] = r.db_type;
      rec(p)[C_DEL] = uint8_t(r.flag);
      memset(rec(p) + C_CITY, 0, 10);
      memcpy(rec(p) + C_CITY, r.cnt.data(), r.cnt.size());
      em->em_ref_cnt_off = C_CITY, em->em_ref_cnt_type = r.type, em->em_ref_cnt_len = r.len;
      EXPECT_EQ(pi_del(p), r.kept ? 0 : 1) << last;
      if (r.kept) {
        EXPECT_EQ(outcome(p), PCF_FILE_FAILED);
        EXPECT_EQ(p->pcb_pcf_arb->arb_stat, PCF_DEL_PROTECTED);
      }
      put(p, cust("NORT", last));
      EXPECT_EQ(pi_read(p, ARB_EQUAL), r.kept ? 1 : 0) << last;
    }
    a9[kA9DbType] = ' ';
  });
}

TEST_F(PcfUpdate, WithoutAStreamEachFailsAndRunsNoEvent) {
  run_in("PLAIN", [&](PCB* p) {
    ARB* a = p->pcb_pcf_arb;
    p->pcb_pcf_arb = nullptr;
    const std::string events_run = events([&] {
      for (auto op : {pi_write, pi_rewrite, pi_del}) {
        st_le32(p->invoc.b, INVOC_END_CODE, 0);
        EXPECT_EQ(op(p), 0);
        EXPECT_EQ(outcome(p), PCF_NO_STREAM);
      }
      EXPECT_EQ(pi_read(p, ARB_FIRST), 0);
      EXPECT_EQ(outcome(p), PCF_NO_STREAM);
      EXPECT_EQ(pi_rdnxt(p, 0), 1);
    });
    EXPECT_EQ(events_run, "");
    p->pcb_pcf_arb = a;
  });
}

}  // namespace
}  // namespace kivo::test
