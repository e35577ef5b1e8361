// The action log: a family of a head ACTION, its SUBPROCESS UPDATE and a
// DETACHED nested ACTION handed over as two families; STDALOG lines against
// golden bytes; the empty family; a run cut short by the interrupt key or a
// CANCEL; the "ACTION LOG" mode; a record an earlier SUBPROCESS run left in
// ALOGFAM.
#include "ap_test_util.h"

namespace kivo::test {
namespace {

class ActionLog : public ApFixture {
 protected:
  void SetUp() override {
    ApFixture::SetUp();
    capture_handover();
  }
  static void post(PCB* p, uint32_t no) { ASSERT_EQ(la_add_msg(p->pcb_err_fi, &no, 0, {}), 1); }
  // Runs `name` of `type` from the running `p` as a child of invocation type `itype`.
  uint32_t child(PCB* p, const char* name, uint8_t type, uint8_t itype) {
    INVOC v = inv(name, type, nullptr, itype, "0DN");
    memcpy(v.b + INVOC_VER, "01", 2);
    return pi_exec_child(p, &v);
  }
  static size_t count(ARB* a) {
    size_t n = 0;
    each_rec(a, [&](uint8_t*) { ++n; });
    return n;
  }
  // A golden STDALOG line.
  static std::vector<uint8_t> line(uint32_t family, uint32_t seq, const char* proc, const char* ctx, const char* file,
                                   const std::string& key, const char* text, char first) {
    std::vector<uint8_t> r(kAlogLen, ' ');
    st_le32(r.data(), ALOG_FAMILY, family), st_le32(r.data(), ALOG_SEQ, seq);
    memcpy(r.data() + ALOG_PROC, proc, strlen(proc));
    memcpy(r.data() + ALOG_CTX, ctx, strlen(ctx));
    memcpy(r.data() + ALOG_FILE, file, strlen(file));
    memcpy(r.data() + ALOG_KEY, key.data(), key.size());
    memcpy(r.data() + ALOG_TEXT, text, strlen(text));
    r[ALOG_FIRST] = uint8_t(first);
    return r;
  }
};

// K1 is 40 characters, so the key text is K1, "/" and K2 cut at 60.
const std::string kK1 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789ABCD";

TEST_F(ActionLog, FamilyHandsOverOnceAndDetachedChildHasItsOwn) {
  records = 2;
  rec_of = [](int i) {
    std::vector<uint8_t> r = ap_cust(i);
    memcpy(r.data() + A_K1, kK1.data(), 40);
    memcpy(r.data() + A_K2, ("KEY TWO NUMBER " + std::to_string(i) + " OF MANY").c_str(), 25);
    return r;
  };
  frames["NOPCF:1/21"] = [this](PCB* p) {
    post(p, 777001);
    EXPECT_EQ(child(p, "UPD", PT_UPDATE, 0), PI_END_PROCESS);
    EXPECT_EQ(child(p, "NESTACT", PT_ACTION, 2), PI_END_PROCESS);
    return 0u;
  };
  // Two lines for the first record (the first flagged), none for the second.
  frames["UPD:1/21"] = [](PCB* p) {
    if (ld_le32(p->pcb_pcf_arb->arb_rec, A_K2) == ld_le32(reinterpret_cast<const uint8_t*>("KEY TWO NUMBER 1"), 0) &&
        p->pcb_pcf_arb->arb_rec[A_K2 + 15] == '1')
      post(p, 777001), post(p, 777002);
    return 0u;
  };
  frames["NESTACT:1/21"] = [](PCB* p) {
    post(p, 777002);
    return 0u;
  };
  EXPECT_EQ(run_ap("NOPCF"), PI_END_PROCESS);
  ASSERT_EQ(cap.runs, 2);
  EXPECT_EQ(cap.families, (std::vector<uint32_t>{2, 1}));
  const std::string key = kK1 + "/KEY TWO NUMBER 1 OF";
  ASSERT_EQ(key.size(), kAlogKeyLen);
  const std::vector<std::vector<uint8_t>> want = {
      line(2, 1, "NESTACT", "DETAIL", "", "", "second", '1'),
      line(1, 1, "UPD", "DETAIL", "CUST", key, "first", '1'),
      line(1, 2, "UPD", "DETAIL", "CUST", key, "second", '0'),
      line(1, 3, "NOPCF", "DETAIL", "", "", "first", '1'),
  };
  ASSERT_EQ(cap.recs.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i)
    EXPECT_EQ(cap.recs[i], want[i]) << i << ": " << std::string(cap.recs[i].begin(), cap.recs[i].end());
  EXPECT_EQ(count(alog_arb), 0u);
  EXPECT_EQ(count(alog_family_arb), 0u);
}

TEST_F(ActionLog, ContextsOfHeadingDetailTotalAndRecordIdWithoutKeys) {
  records = 1;
  frames["ACTS:1/21"] = [](PCB* p) { return post(p, 777001), 0u; };
  frames["ACTS:3/21"] = [](PCB* p) { return post(p, 777002), 0u; };
  frames["ACTS:5/21"] = [](PCB* p) { return post(p, 777001), 0u; };
  EXPECT_EQ(run_ap("ACTS"), PI_END_PROCESS);
  EXPECT_EQ(cap.texts, (std::vector<std::string>{"HEADING:first", "DETAIL:second", "TOTAL:first"}));
  cap = {};
  records = 3;
  rec_of = [](int i) { return std::vector<uint8_t>(16, uint8_t('a' + i)); };
  frames["SEQ:1/21"] = [](PCB* p) { return p->pcb_pcf_arb->arb_rec[0] == 'c' ? post(p, 777001), 0u : 0u; };
  EXPECT_EQ(run_ap("SEQ"), PI_END_PROCESS);
  ASSERT_EQ(cap.recs.size(), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(cap.recs[0].data()) + ALOG_KEY, 12), "Record ID 2 ");
}

// A run cut short still ends its log: the lines posted so far, those of the
// frame that was cut among them, are handed over once and leave STDALOG and
// ALOGFAM empty, and the run ends with the cut's code. A leave runs no
// hand-over (the frame's line stays unmoved, the family record stays for a
// later run to take over). Each row: how the run is cut, what the hand-over
// reads.
TEST_F(ActionLog, CutRunStillHandsItsLinesOver) {
  enum cut { interrupt_key, cancel_in_detail, cancel_in_total, cancelled_member, terminal_gone };
  const struct {
    cut how;
    uint32_t end;
    std::vector<std::string> texts;
  } rows[] = {
      {interrupt_key, PI_END_CANCEL, {"DETAIL:first"}},
      {cancel_in_detail, PI_END_CANCEL, {"DETAIL:first", "DETAIL:first", "DETAIL:second"}},
      {cancel_in_total, PI_END_CANCEL, {"DETAIL:first", "DETAIL:first", "DETAIL:first", "TOTAL:second"}},
      {cancelled_member, PI_END_PROCESS, {"DETAIL:second", "DETAIL:first"}},
      {terminal_gone, PI_END_LEAVE, {}},  // the session is going: no hand-over runs
  };
  records = 3;
  for (const auto& r : rows) {
    SCOPED_TRACE(int(r.how));
    cap = {};
    com_dbg_ctl_bits = 0;
    eps["ACTS/1"] = [&](PCB* p) {
      pi_area(p, AREA_PCF_FLAG, 1)[0] = '1';
      p->invoc.b[INVOC_INTERRUPT_OK] = 1;
    };
    int details = 0;
    frames["ACTS:3/21"] = [&](PCB* p) {
      post(p, 777001);
      if (r.how == interrupt_key) com_dbg_ctl_bits |= kDbgBreakRequest;
      if (r.how == cancel_in_detail && ++details == 2) post(p, 777002), mark_leave(PI_END_CANCEL);
      if (r.how == terminal_gone) mark_leave(PI_END_LEAVE);
      return 0u;
    };
    frames["ACTS:5/21"] = [&](PCB* p) {
      if (r.how == cancel_in_total) post(p, 777002), mark_leave(PI_END_CANCEL);
      return 0u;
    };
    frames["NOPCF:1/21"] = [this](PCB* p) {
      EXPECT_EQ(child(p, "UPD", PT_UPDATE, 0), PI_END_CANCEL);
      post(p, 777001);
      return 0u;
    };
    frames["UPD:1/21"] = [](PCB* p) { return post(p, 777002), mark_leave(PI_END_CANCEL), 0u; };
    EXPECT_EQ(run_ap(r.how == cancelled_member ? "NOPCF" : "ACTS"), r.end);
    EXPECT_EQ(cap.runs, r.texts.empty() ? 0 : 1);
    EXPECT_EQ(cap.texts, r.texts);
    EXPECT_EQ(count(alog_arb), 0u);
    EXPECT_EQ(count(alog_family_arb), r.how == terminal_gone ? 1u : 0u);
  }
}

TEST_F(ActionLog, FamilyWithoutLinesRunsNoHandOver) {
  EXPECT_EQ(run_ap("NOPCF"), PI_END_PROCESS);
  EXPECT_EQ(cap.runs, 0);
  EXPECT_EQ(count(alog_family_arb), 0u);
}

TEST_F(ActionLog, LogModeRunsActionLogWithTheCallerCode) {
  proc("ACTION LOG");
  hooks_.set(pi_seam_end[PT_INPUT], PI_END_PROCESS);
  std::string codes;
  eps["ACTION LOG/1"] = [&](PCB* p) {
    codes += std::string(reinterpret_cast<char*>(p->invoc.b) + INVOC_CALLER_CODE, 4) + "|";
    EXPECT_EQ(p->invoc.b[INVOC_INVOC_TYPE], 0);
    EXPECT_EQ(p->invoc.b[INVOC_PROC_TYPE], PT_INPUT);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(p->invoc.b), 5), "0LA00");
  };
  const struct {
    const char* name;
    uint8_t type;
  } rows[] = {{"LOGGED", PT_ACTION}, {"LOGGED7", PT_UPDATE}, {"LOGGED8", PT_JOB}, {"LOGGED10", PT_STATUS}};
  for (const auto& r : rows) EXPECT_EQ(run_ap(r.name, r.type), PI_END_PROCESS) << r.name;
  EXPECT_EQ(codes, "ACT |UPD |JOB |STAT|");
  EXPECT_EQ(count(alog_family_arb), 0u);
  EXPECT_EQ(cap.runs, 0);
}

// An UPDATE that ran as a SUBPROCESS of another family left its record; run
// later on its own it heads its family and hands its lines over.
TEST_F(ActionLog, StaleFamilyRecordDoesNotStopALaterHead) {
  std::vector<uint8_t> stale(kAlogFamLen, ' ');
  memcpy(stale.data() + AFAM_AP, "0DN", 3), stale[AFAM_TYPE] = PT_UPDATE;
  memcpy(stale.data() + AFAM_NAME, "UPD", 3);
  st_le32(stale.data(), AFAM_ID, 99), stale[AFAM_HEAD_TYPE] = PT_ACTION;
  memcpy(stale.data() + AFAM_HEAD_NAME, "OTHER", 5);
  PROTO_FULL(alog_family_arb, 0, stale.data());
  alog_family_arb->arb_var_len = kAlogFamLen, alog_family_arb->arb_mod = 0;
  ASSERT_EQ(fm_write(alog_family_arb), 1);
  records = 1;
  frames["UPD:1/21"] = [](PCB* p) { return post(p, 777001), 0u; };
  EXPECT_EQ(run_ap("UPD", PT_UPDATE), PI_END_PROCESS);
  EXPECT_EQ(cap.runs, 1);
  EXPECT_EQ(cap.texts, (std::vector<std::string>{"DETAIL:first"}));
  EXPECT_EQ(count(alog_arb), 0u);
  EXPECT_EQ(count(alog_family_arb), 0u);
}

// The system processes of the hand-over find the files ap_init made: the
// compiled PCFs of "ACTION LOG" and "CONSTRAIN ALOG ID" open the session's
// STDALOG (with a line in it) and ALOGID (with its record).
TEST_F(ActionLog, SystemProcessesOpenTheSessionsFiles) {
  std::vector<uint8_t> l = line(7, 1, "P", "DETAIL", "", "", "seen", '1');
  PROTO_FULL(alog_arb, 0, l.data());
  alog_arb->arb_len = alog_arb->arb_var_len = kAlogLen, alog_arb->arb_mod = 0;
  ASSERT_EQ(fm_write(alog_arb), 1);
  const struct {
    const char* name;
    uint8_t type;
    uint16_t len;
  } rows[] = {{"ACTION LOG", PT_INPUT, kAlogLen}, {"CONSTRAIN ALOG ID", PT_ACTION, kAlogIdLen}};
  for (const auto& r : rows) {
    PCB k{};
    k.invoc = inv(r.name, r.type, nullptr, 2, "0LA");
    memcpy(k.pcb_lang, "ENG", 3);
    ASSERT_EQ(pl_get_module(&k, 1), 1) << r.name;
    EM* em = k.pcb_em;
    uint8_t* cfi = nullptr;
    each_rec(em->em_cfi_arb, [&](uint8_t* c) {
      if (ld_le32(c, CFI_FILE_NO) == em->em_pcf_id) cfi = c;
    });
    ASSERT_NE(cfi, nullptr) << r.name;
    FDB f;
    ASSERT_EQ(em_cfi_desc(em, cfi, &f), 1);
    ASSERT_EQ(FM_OPEN(&f, com.sys_scope, f.fdb_opt, 15, 15), 1) << r.name << " " << f.fdb_stat;
    std::vector<uint8_t> buf(r.len);
    PROTO_FULL(f.fdb_arb, 0, buf.data());
    f.fdb_arb->arb_len = r.len, f.fdb_arb->arb_mod = ARB_FIRST;
    EXPECT_EQ(fm_start(f.fdb_arb), 1) << r.name;
    f.fdb_arb->arb_mod = 0;
    EXPECT_EQ(fm_rdnxt(f.fdb_arb), 1) << r.name;
    FM_CLOSE(f.fdb_arb, 0);
    pl_free(em);
  }
}

}  // namespace
}  // namespace kivo::test
