// Mends of the compiler and loader found in use, over fixture processes of TST: a module file damaged
// record kind by record kind (conversion, item, summary reference, VERIFY's occurrences, a cut file) is
// refused and compiled again with the same result, and VERIFY's count is checked in memory too; a
// SUBROUTINE that begins with TRAP loads and runs to its LOGOUT; compile errors of several event points
// each name their place, up to the error file's bound.
#include <map>

#include "../fixtures/hook_override.h"
#include "compiler/sc.h"
#include "fm/fm_record.h"
#include "fm/fm_sysadm.h"
#include "fm/la.h"
#include "foundation/app_date_mask.h"
#include "foundation/end_codes.h"
#include "foundation/foundation.h"
#include "interp/ii_disasm.h"
#include "interp/ii_run.h"
#include "module_file_records.h"
#include "pc_process_util.h"
#include "types/cnv.h"

namespace kivo::test {
namespace {

// A statement line: the verb at column 7 and each text at its screen column.
std::string stmt(const char* verb, std::map<int, std::string> at) {
  std::string l = "      " + std::string(verb);
  for (auto& [col, t] : at) {
    if (l.size() < col - 1 + t.size()) l.resize(col - 1 + t.size(), ' ');
    l.replace(col - 1, t.size(), t);
  }
  return l + "\n";
}

class CoreMends : public LoaderFixture {
 protected:
  void SetUp() override {
    LoaderFixture::SetUp();
    const std::string calc = stmt("COMPUTE", {{16, "TST"}, {20, "TOTAL"}, {47, "+"}, {54, "94"}});
    add_design("PROCESS 6 MENDS save=1\nSTMTS 6 MENDS ep=1\n" +
               stmt("SET", {{16, "TST"}, {20, "TOTAL"}, {47, "="}, {54, "5"}}) +
               stmt("CNV TEXT", {{16, "TST"}, {20, "NAME"}, {50, "TST"}, {54, "TOTAL"}}) +
               stmt("SET", {{16, "TST"}, {20, "TOTAL"}, {47, "="}, {54, "0"}}) +
               stmt("CNV TEXT", {{16, "TST"}, {20, "TOTAL"}, {50, "TST"}, {54, "NAME"}}) +
               stmt("VERIFY", {{16, "TST"}, {20, "NOTE"}, {52, "FIELD"}, {72, "0"}}) + calc +
               "END\nFRAME 6 MENDS 1 5 enabled=1 kind=2\nIMAGE 6 MENDS 1 5 1 kind=1 rows=2 cols=30\n"
               "ITEM 6 MENDS 1 5 1 1 1 ap=TST field=TOTAL\nSTMTS 6 MENDS ep=22 frame=1,5\n" +
               stmt("TOTAL", {{16, "TST"}, {20, "TOTAL"}, {47, "+"}, {50, "TST"}, {54, "BAL"}}) + "END\n");
  }
  // pl_get of `proc`, its event point 1 run from TOTAL 0: the end code, TOTAL into `total_out`.
  uint32_t run(const char* proc, std::string* total_out, EM** out = nullptr) {
    EM* em = get(proc);
    if (out) *out = em;
    if (!em) return 0;
    bind(em);
    set_total("0");
    EP_CALL call{};
    call.pcb = &pcb_;
    const uint32_t code = MARK(MARK_SUBPROCESS, [&] { II_EXEC_PROC(&call, 1); });
    *total_out = total();
    return code;
  }
  void forget() {
    for (PCB& p : pcbs_) pl_free(p.pcb_em), p.pcb_em = nullptr;
    pl_discard_all();
  }
  // The texts of the messages in `fi`, in order.
  static std::vector<std::string> messages(ARB* fi) {
    std::vector<std::string> out;
    fi->arb_keyno = 0, fi->arb_mod = ARB_FIRST;
    if (fm_start(fi))
      while (const uint8_t* m = fm_rdnxt_fast(fi, 0))
        out.emplace_back(reinterpret_cast<const char*>(m) + MSG_TEXT, ld_le16(m, MSG_TEXT_LEN));
    return out;
  }
};

// The index of the first record of sub-file `sub` in a module file's records: after its tag and count.
size_t first_of(const module_recs& r, em_sub sub) {
  static const char kTags[] = "INCNCVFIKDSDFLAPLFFRIMITCRCLTOTPLIQLQOPKSRCTDLRCSCSB";
  int s = 0;
  for (size_t i = 1; i < r.size(); ++i)
    if (r[i].size() == 4 && r[i][0] == kTags[2 * s] && r[i][1] == kTags[2 * s + 1] && !r[i][2] && !r[i][3])
      if (s++ == sub) return i + 2;
  return r.size();
}

// The byte of VERIFY's occurrence count in the module file's first instruction block.
size_t verify_occurs_at(const std::vector<uint8_t>& blk) {
  for (size_t off = 0; off + kInstHead <= blk.size() && blk[off + 3];) {
    opnd ops[kInstMaxSlots];
    const int n = inst_decode(blk.data() + off, blk.size() - off, ops, kInstMaxSlots);
    if (n < 0) break;
    if (inst_op(blk.data() + off) == OP_VERIFY) return off + kInstHead + 4u * ops[1].slot + 2;
    off += inst_len(blk.data() + off);
  }
  return 0;
}

TEST_F(CoreMends, DamagedRecordKindsAreRefusedAndCompiledAgainWithTheSameResult) {
  EM* em = nullptr;
  std::string fresh;
  ASSERT_EQ(run("6MENDS", &fresh, &em), 1u);
  ASSERT_EQ(fresh, "99");
  ASSERT_EQ(pl_sub_count(em, EM_SR), 1u);
  ASSERT_EQ(pl_sub_count(em, EM_IT), 1u);
  ASSERT_EQ(pl_sub_count(em, EM_CV), 3u);  // two CNV TEXT, one VERIFY
  const EM copy = *em;                     // the file's descriptor once the module is gone
  module_recs good;
  ASSERT_TRUE(read_module_records(em, PATH_EM, com.mark_scope, &good));
  forget();
  const size_t cv = first_of(good, EM_CV), sr = first_of(good, EM_SR), in = first_of(good, EM_IN);
  const size_t it = first_of(good, EM_IT);
  ASSERT_LT(sr, good.size());
  const size_t occurs = verify_occurs_at(good[in]);
  ASSERT_NE(occurs, 0u);
  ASSERT_EQ(ld_le16(good[in].data(), occurs), 5u);  // NOTE's five occurrences
  // What each damage does, and a word of the reason the check gives.
  const struct {
    const char* what;
    size_t rec, at, len;
    uint32_t value;
    const char* why;
  } rows[] = {
      {"CV length past its field", cv, offsetof(CNV, int_len), 2, 32767, "immediates"},
      {"CV display past its length", cv, offsetof(CNV, ext_rows), 4, 4000, "conversion record 1"},
      {"CV with an address", cv + 2, offsetof(CNV, int_addr), 1, 0x40, "conversion record 3"},
      {"IT display past its length", it, offsetof(CITM, citm_cnv) + offsetof(CNV, ext_cols), 4, 4000, "compiled item"},
      {"SR naming frame 9", sr, SR_FRM, 4, 9, "summary reference"},
      {"SR past its area", sr, SR_OFF, 4, 4000, "summary reference"},
      {"SR naming field 999", sr, SR_FLD, 4, 999, "summary reference"},
      {"VERIFY count past its array", in, occurs, 2, 6, "immediates"},
      {"VERIFY count 0", in, occurs, 2, 0, "immediates"},
  };
  std::vector<std::pair<std::string, module_recs>> damaged;
  for (auto& r : rows) {
    module_recs d = good;
    for (size_t i = 0; i < r.len; ++i) d[r.rec][r.at + i] = static_cast<uint8_t>(r.value >> (8 * i));
    damaged.emplace_back(r.what, d);
  }
  damaged.emplace_back("file cut after its CV records", module_recs(good.begin(), good.begin() + cv + 3));
  uint8_t stamp[8];
  st_le32(stamp, 0, copy.em_stamp1), st_le32(stamp, 4, copy.em_stamp2);
  for (size_t i = 0; i < damaged.size(); ++i) {
    const std::string& what = damaged[i].first;
    ASSERT_TRUE(write_module_records(&copy, damaged[i].second, com.mark_scope)) << what;
    std::string why;
    EXPECT_EQ(pl_read_em(copy.em_ap, copy.em_ver, 6, copy.em_proc_nam, "ENG", stamp, &why), nullptr) << what;
    if (i < std::size(rows)) {
      EXPECT_NE(why.find(rows[i].why), std::string::npos) << what << ": " << why;
    }
    const uint32_t before = pl_compile_count();
    std::string total;
    EXPECT_EQ(run("6MENDS", &total), 1u) << what;
    EXPECT_EQ(total, fresh) << what;
    EXPECT_EQ(pl_compile_count(), before + 1) << what;
    module_recs again;
    ASSERT_TRUE(read_module_records(&copy, PATH_EM, com.mark_scope, &again));
    EXPECT_TRUE(again == good) << what << ": the file is written again";
    forget();
  }
}

// In memory too, VERIFY never walks past its field's area: a count the area does not hold is refused
// when the instruction is relocated, before it runs.
TEST_F(CoreMends, VerifyCountPastItsAreaIsARunTimeError) {
  for (uint16_t count : {5, 6, 0}) {
    EM* em = get("6MENDS");
    ASSERT_NE(em, nullptr);
    std::vector<uint8_t> blk(em->em_blk[1], em->em_blk[1] + kInstRecLen);
    const size_t at = verify_occurs_at(blk);
    ASSERT_NE(at, 0u);
    st_le16(em->em_blk[1], at, count);
    bind(em);
    set_total("0");
    EP_CALL call{};
    call.pcb = &pcb_;
    const uint32_t code = MARK(MARK_SUBPROCESS, [&] { II_EXEC_PROC(&call, 1); });
    EXPECT_EQ(code, count == 5 ? uint32_t{PI_END_NORMAL} : uint32_t{PI_END_CANCEL}) << count;
    if (count != 5) {
      const std::string text(reinterpret_cast<const char*>(rt_last_err) + 49, 40);
      EXPECT_EQ(text.rfind("bad instruction at block 1 offset ", 0), 0u) << text;
      captured_errors().clear();
    }
    forget();
  }
}

TEST_F(CoreMends, SubroutineBeginningWithTrapRunsToItsLogout) {
  add_design("PROCESS 6 TRAPPED\nSTMTS 6 TRAPPED ep=1\n" + stmt("TRAP", {}) +
             stmt("SET", {{16, "TST"}, {20, "TOTAL"}, {47, "="}, {54, "99"}}) + stmt("LOGOUT", {{24, "N"}}) + "END\n");
  for (const char* traps : {"", "1"}) {  // the trap passes through whether traps are on or off
    com.no_db_traps = *traps ? 0 : 1;
    EM* em = nullptr;
    std::string total;
    EXPECT_EQ(run("6TRAPPED", &total, &em), uint32_t{PI_END_LOGOUT}) << traps;
    EXPECT_EQ(total, "99") << traps;
    ASSERT_NE(em, nullptr);
    std::string listing;
    EXPECT_EQ(ii_disasm(em, &listing), 0);
    EXPECT_EQ(listing.substr(0, listing.find('\n')), "1/0 450 TRAP") << listing;
    forget();
  }
  com.no_db_traps = 1;
}

TEST_F(CoreMends, ErrorsOfEveryEventPointNameTheirPlace) {
  add_design("PROCESS 6 TWOBAD\nSTMTS 6 TWOBAD ep=1\n" + stmt("SET", {{16, "TST"}, {20, "TOTAL"}, {54, "1"}}) +
             stmt("SET", {{16, "TST"}, {20, "NOSUCH"}, {54, "1"}}) + "END\nSTMTS 6 TWOBAD ep=3\n" +
             stmt("COMPUTE", {{16, "TST"}, {20, "TOTAL"}, {47, "P"}, {54, "1"}}) +
             "END\nFRAME 6 TWOBAD 0 4 enabled=1\nSTMTS 6 TWOBAD ep=21 frame=0,4\n" + stmt("GOTO", {{16, "NOWHERE"}}) +
             "END\n");
  ARB* msgs = la_create_fi(79, kScope);
  EXPECT_EQ(get("6TWOBAD", msgs), nullptr);
  const std::vector<std::string> want = {"TWOBAD ep 1 stmt 200 col 20: field NOSUCH",
                                         "TWOBAD ep 3 stmt 100 col 47: operator P",
                                         "TWOBAD frame 0/4 ep 21 stmt 100 col 16: label NOWHERE not defined"};
  const std::vector<std::string> got = messages(msgs);
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(got[i].substr(0, want[i].size()), want[i]) << got[i];
}

TEST_F(CoreMends, ErrorsPastTheBoundAreCountedNotListed) {
  std::string src = "PROCESS 6 MANYBAD\nSTMTS 6 MANYBAD ep=1\n";
  for (int i = 1; i <= 60; ++i) src += stmt("GOTO", {{16, "L" + std::to_string(i)}});
  add_design(src + "END\nSTMTS 6 MANYBAD ep=2\n" + stmt("GOTO", {{16, "LATER"}}) + "END\n");
  ARB* msgs = la_create_fi(79, kScope);
  EXPECT_EQ(get("6MANYBAD", msgs), nullptr);
  const std::vector<std::string> got = messages(msgs);
  ASSERT_EQ(got.size(), kPcErrMax + 1);
  EXPECT_EQ(got[0], "MANYBAD ep 1 stmt 100 col 16: label L1 not defined");
  EXPECT_EQ(got.back(), "MANYBAD: more than 50 errors, the rest not listed");
}

// A first start compiles before any application is current: a date item
// takes its mask from its own process's application, and the session's
// current application comes back as it was.
TEST_F(CoreMends, DateItemCompilesAsItsProcesssApplicationBeforeAnyIsCurrent) {
  add_design(
      "PROCESS 3 DATED pcf_ap=TST pcf_file=CUST\nFRAME 3 DATED 0 1 enabled=1\n"
      "IMAGE 3 DATED 0 1 1 kind=1 rows=2 cols=30\nITEM 3 DATED 0 1 1 1 1 ap=TST field=OPENED\n");
  static uint8_t appl[kApplRecLen];
  memset(appl, ' ', sizeof appl);
  int ok;
  {
    kivo_test::scoped_hook recs(foundation_hooks.design_recs,
                                ut_design_recs{[](const char* ap, const char* ver) -> const uint8_t* {
                                                 return !memcmp(ap, "TST", 3) && !memcmp(ver, "01", 2) ? appl : nullptr;
                                               },
                                               nullptr});
    memset(com.cur_ap, ' ', 3), memset(com.cur_ver, ' ', 2);
    ok = compile("3DATED");
  }
  EXPECT_EQ(ok, 1) << err();
  EXPECT_EQ(std::string(com.cur_ap, 3) + std::string(com.cur_ver, 2), "     ");
}

}  // namespace
}  // namespace kivo::test
