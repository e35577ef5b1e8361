// The executive: defaults, PCB reuse and families, end codes and the binding
// of a module's areas, with event points scripted through the runner double.
#include "../fixtures/hook_override.h"
#include "exec_test_util.h"

namespace kivo::test {
namespace {

class Executive : public ExecFixture {};
class ExecutiveEndCodes : public ExecFixture {};
class ExecutiveRebind : public ExecFixture {};

uint8_t* area(PCB* p, uint32_t n) { return p->pcb_areas[n]; }
uint32_t records(ARB* a) {
  uint8_t buf[2048];
  uint32_t n = 0;
  PROTO_FULL(a, 0, buf);
  a->arb_mod = ARB_FIRST;
  if (!fm_start(a)) return 0;
  while (fm_rdnxt_fast(a, 0)) ++n;
  return n;
}

TEST_F(Executive, DefaultsApplicationVersionAndProcess) {
  for (const char* db : {"DB1TST07", "DB2TST07", "DB3TST07", "DB4TSX00"})
    ASSERT_TRUE(write_rec(INIT_DDB_FDB, rec(424, {{0, db}})));
  ASSERT_TRUE(write_rec(INIT_DDBXAP_FDB, rec(176, {{0, "DB1TST\x03"}})));
  ASSERT_TRUE(write_rec(INIT_DDBXAP_FDB, rec(176, {{0, "DB2TST\x01"}})));
  ASSERT_TRUE(write_rec([](FDB* f, KDB* k, SDB* s) { INIT_DPARM_FDB(f, k, s, "TST", "07"); },
                        rec(kParmRecLen, {{38, s30("MENU 2")}, {98, s30("MENU 3")}})));
  ASSERT_TRUE(write_rec(
      INIT_DHOOK_FDB,
      rec(kHookRecLen, {{0, "0SU00\x06" + s30("HOOKED")}, {42, "0SU00\x06"}, {48, s30("TARGET")}, {81, "1"}})));
  ASSERT_EQ(fill_mhook(mhook_arb), 1);
  auto user = rec(436, {{153, "DB1"}, {156, "0SU\x06" + s30("START")}});
  auto bare_user = rec(436, {});
  const std::string kivo_menu = "0LA00\x01KIVO MENU";
  // clang-format off
  struct row { const char* db; uint8_t* user; const char* ap; const char* ver; const char* name; std::string want; } rows[] = {
      {"   ", nullptr, "   ", "00", "", kivo_menu},
      {"   ", bare_user.data(), "   ", "00", "", kivo_menu},           // no start application
      {"   ", user.data(), "   ", "00", "", "0SU00\x06START"},          // the user's start process
      {"DB1", nullptr, "   ", "00", "", "TST07\x01MENU 3"},             // kind 3
      {"DB2", nullptr, "   ", "00", "", "TST07\x01MENU 2"},             // kind 1 blank: the default menu
      {"DB3", nullptr, "   ", "00", "", "TST07\x01MENU 2"},             // no kind: 2
      {"DB9", nullptr, "   ", "00", "", kivo_menu},                     // no DATABASE record
      {"   ", nullptr, "0DN", "05", "X", "0DN05\x06X"},
      {"DB1", nullptr, "TST", "05", "X", "TST07\x06X"},
      {"DB1", nullptr, "0SU", "05", "X", "0SU00\x06X"},
      {"   ", nullptr, "0SU", "00", "HOOKED", "0SU00\x06TARGET"},
      {"DB4", nullptr, "   ", "00", "", ""},                            // no PARAM record: no process
  };
  // clang-format on
  for (const row& r : rows) {
    memcpy(com.cur_db, r.db, 3);
    com.user_rec = r.user;
    asked.clear();
    INVOC v = inv(r.name, PT_SUBROUTINE, nullptr, 2, r.ap);
    memcpy(v.b + INVOC_VER, r.ver, 2);
    EXPECT_EQ(run(v), r.want.empty() ? PI_END_NO_PROC : PI_END_CANCEL) << r.db << r.name;
    EXPECT_EQ(asked.empty() ? "" : asked.back(), r.want) << r.db << r.name;
  }
  EXPECT_EQ(memcmp(com.cur_db, "DB4", 3), 0);
}

TEST_F(Executive, SubprocessesReuseAndChainWithinTheirFamily) {
  proc("A"), proc("B"), proc("C");
  uint32_t fam = 0, c_fam = 0, during = 0;
  int chain = 0;
  uint16_t nxt = 0;
  eps["C/1"] = [&](PCB* p) { c_fam = p->family_no; };
  eps["B/1"] = [&](PCB* p) {
    if (p->pcb_alt == 1) during = pi_family_count(p->family_no);
    if (p->pcb_alt == 0 && chain-- > 0) {
      INVOC v = inv("B", PT_SUBROUTINE, p, 0);
      v.b[INVOC_CHAIN_MODE] = 2;
      call(v);
    }
  };
  eps["A/1"] = [&](PCB* p) {
    fam = p->family_no;
    for (int i = 0; i < 2; ++i) EXPECT_EQ(call(inv("B", PT_SUBROUTINE, p, 0)), PI_END_PROCESS);
    EXPECT_EQ(loads, 2);  // the second run reused the PCB: no load
    chain = 1;
    EXPECT_EQ(call(inv("B", PT_SUBROUTINE, p, 0)), PI_END_PROCESS);
    EXPECT_EQ(loads, 3);
    nxt = pi_nxt_family;
    call(inv("C", PT_SUBROUTINE, p, 2));
    EXPECT_EQ(pi_nxt_family, nxt + 1);  // C's own number stays given out
  };
  const uint32_t blocks = pi_pool->blocks;
  const uint16_t first = pi_nxt_family;
  EXPECT_EQ(run(inv("A")), PI_END_PROCESS);
  EXPECT_EQ(during, 3u);  // A, B and its alternate during the hand-over
  EXPECT_EQ(c_fam, nxt);
  EXPECT_EQ(pi_nxt_family, first + 1);
  EXPECT_EQ(pi_family_count(fam), 0u);
  EXPECT_EQ(pi_pool->blocks, blocks);
}

TEST_F(ExecutiveEndCodes, EndOfProcessRuleOverEveryPair) {
  proc("P");
  const uint32_t codes[] = {1, 2, 3, 4, 5, 19, 24, 25, 37};
  for (uint32_t a : codes)
    for (uint32_t b : codes) {
      kivo_test::scoped_hook menu_end(pi_seam_end[PT_MENU], a);
      eps["P/6"] = [b](PCB*) { leave(b); };
      log.clear();
      uint32_t want = 0;
      for (uint32_t c : {37u, 4u, 3u, 24u, 25u})
        if (!want && (a == c || b == c)) want = c;
      if (a == 1 || !want) want = a;
      EXPECT_EQ(run(inv("P", PT_MENU)), want) << a << " " << b;
      EXPECT_EQ(log, a == 1 ? "P/1 " : "P/1 P/6 ") << a << " " << b;
    }
  // A code handed up from elsewhere (a missing or refused child's, a sort's
  // status) stands as it is, without End of Process.
  eps["P/6"] = [](PCB*) { leave(PI_END_CANCEL); };
  for (uint32_t a : {0u, 6u, 20u, 34u, 104250u}) {
    kivo_test::scoped_hook menu_end(pi_seam_end[PT_MENU], a);
    log.clear();
    EXPECT_EQ(run(inv("P", PT_MENU)), a ? a : PI_END_NORMAL) << a;
    EXPECT_EQ(log, "P/1 ") << a;
  }
}

TEST_F(ExecutiveEndCodes, StartEventsChainsRefusalsAndFailures) {
  proc("P"), proc("A"), proc("B"), proc("C"), proc("S", 5);
  ASSERT_TRUE(write_rec(INIT_DPROF_FDB, rec(kProfRecLen, {{0, s30("PROF")}, {64, std::string(8, '\0')}})));
  auto user = rec(436, {{USER_PROFILE, s30("PROF")}});
  uint32_t refused = 0, msgs = 0;
  // clang-format off
  struct row { std::function<void()> setup; INVOC v; uint32_t want; const char* log; } rows[] = {
      {[&] { eps["P/1"] = [](PCB*) { leave(2); }; }, inv("P", PT_MENU), 2, "P/1 P/6 "},  // the type does not run
      {[&] { hooks_.set(pi_seam_end[PT_OUTPUT], 1u); }, inv("P", PT_OUTPUT), 1, ""},       // automatic OUTPUT
      {[&] { hooks_.set(pi_seam_end[PT_QUERY], 4u); }, inv("P", PT_QUERY), 1, "P/1 "},    // automatic QUERY
      {[&] { eps["A/1"] = [](PCB* p) { call(inv("B", PT_SUBROUTINE, p)); };
             eps["B/1"] = [](PCB* p) { call(inv("C", PT_SUBROUTINE, p, 0)); };
             eps["C/1"] = [](PCB*) { leave(25); }; }, inv("A"), 25, "A/1 B/1 C/1 C/6 B/6 A/6 "},
      {[&] { eps["A/1"] = [](PCB* p) { INVOC v = inv("B", PT_SUBROUTINE, p); v.b[INVOC_CHAIN_MODE] = 2; call(v); };
           }, inv("A"), 2, "A/1 A/6 B/1 B/6 "},
      {[&] { com.user_rec = user.data();
             eps["A/1"] = [&](PCB* p) { refused = call(inv("S", PT_SUBROUTINE, p));
                                        msgs = p->pcb_err_fi ? records(p->pcb_err_fi) : 99; }; },
       inv("A"), 2, "A/1 A/6 "},
      {nullptr, inv("NONE"), 4, ""},
      {nullptr, [&] { INVOC v = inv("P"); v.b[INVOC_CHAIN_MODE] = 2; return v; }(), 2, "P/1 P/6 "},
      {[&] { hooks_.set(process_seams.open_fi, [](PCB*) { mark_leave(PI_END_FATAL); }); }, inv("P"), 37, ""},
  };
  // clang-format on
  rows[1].v.b[INVOC_AUTO_RUN] = rows[2].v.b[INVOC_AUTO_RUN] = 1;
  int i = 0;
  for (row& r : rows) {
    log.clear(), eps.clear();
    if (r.setup) r.setup();
    EXPECT_EQ(run(r.v), r.want) << "row " << i;
    EXPECT_EQ(log, r.log) << "row " << i;
    ++i;
  }
  EXPECT_EQ(refused, PI_END_REFUSED);
  EXPECT_EQ(msgs, 1u);
}

TEST_F(ExecutiveRebind, InvokerSeesItsOwnAreasAfterAChildOfTheSameProcess) {
  EM* em = proc("P");
  int depth = 0;
  eps["P/1"] = [&](PCB* p) {
    uint8_t* a = em->em_area_addr[kFirstArea];
    EXPECT_EQ(a, area(p, kFirstArea));
    memcpy(a, depth ? "CHILD..." : "PARENT..", 8);
    if (depth++) return;
    call(inv("P", PT_SUBROUTINE, p));
    EXPECT_EQ(em->em_area_addr[kFirstArea], area(p, kFirstArea));
    EXPECT_EQ(memcmp(em->em_area_addr[kFirstArea], "PARENT..", 8), 0);
  };
  EXPECT_EQ(run(inv("P")), PI_END_PROCESS);
  EXPECT_EQ(depth, 2);
}

}  // namespace
}  // namespace kivo::test
