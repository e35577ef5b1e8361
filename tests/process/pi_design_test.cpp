// What the executive reads of the design files: the default-record caches,
// hooks and the process language, properties, security bits and range
// blocks, on real files in a scratch data directory.
#include <functional>

#include "pi_test_util.h"
#include "process/startup.h"
#include "types/element.h"

namespace kivo::test {
namespace {

class DefaultRecords : public PiFixture {};
class Hooks : public PiFixture {};
class Properties : public PiFixture {};
class ProcessSecurity : public PiFixture {};
class RangeBlocks : public PiFixture {};

std::string s30(const char* t) { return (std::string(t) + std::string(30, ' ')).substr(0, 30); }
// A profile record whose bitmap starts with `bits`.
std::vector<uint8_t> profile(const char* name, const char* db, std::initializer_list<uint8_t> bits) {
  auto r = rec(kProfRecLen, {{0, s30(name)}, {30, db}});
  memset(r.data() + PROF_BITMAP, 0, kProfRecLen - PROF_BITMAP);
  std::copy(bits.begin(), bits.end(), r.begin() + PROF_BITMAP);
  return r;
}

TEST_F(DefaultRecords, EachCacheReadsAgainOnlyForAnotherKey) {
  ASSERT_TRUE(write_rec(INIT_DDB_FDB, rec(424, {{0, "DB1"}})));
  ASSERT_TRUE(write_rec(INIT_DDBXAP_FDB, rec(176, {{0, "DB1TST\x02"}})));
  ASSERT_TRUE(write_rec(INIT_DPROF_FDB, profile("PROF1", "   ", {1})));
  ASSERT_TRUE(write_rec(INIT_DUSR_FDB, rec(436, {{0, "U01"}})));
  using get = std::function<const uint8_t*()>;
  // clang-format off
  struct step { get call; uint32_t* count; bool found; uint32_t reads; } steps[] = {
      {[] { return pi_get_ddb("DB1"); }, &pi_reads.ddb, true, 1}, {[] { return pi_get_ddb("DB1"); }, &pi_reads.ddb, true, 0},
      {[] { return pi_get_ddb("DB9"); }, &pi_reads.ddb, false, 1}, {[] { return pi_get_ddb("DB9"); }, &pi_reads.ddb, false, 0},
      {[] { return pi_get_ddb("   "); }, &pi_reads.ddb, false, 0}, {[] { return pi_get_ddb("DB1"); }, &pi_reads.ddb, true, 1},
      {[] { return pi_get_ddbxap("DB1", "TST"); }, &pi_reads.ddbxap, true, 1},
      {[] { return pi_get_ddbxap("DB1", "TST"); }, &pi_reads.ddbxap, true, 0},
      {[] { return pi_get_ddbxap("DB1", "XXX"); }, &pi_reads.ddbxap, false, 1},
      {[] { return pi_get_ddbxap("DB1", "XXX"); }, &pi_reads.ddbxap, false, 1},  // nothing kept of a miss
      {[] { return pi_get_ddbxap("DB1", "TST"); }, &pi_reads.ddbxap, true, 1},
      {[] { return pi_get_dprof(s30("PROF1").c_str(), "DB1"); }, &pi_reads.dprof, true, 2},  // the blank-database record
      {[] { return pi_get_dprof(s30("PROF1").c_str(), "DB1"); }, &pi_reads.dprof, true, 0},
      {[] { return pi_get_dusr("U01"); }, &pi_reads.dusr, true, 1}, {[] { return pi_get_dusr("U01"); }, &pi_reads.dusr, true, 0},
      {[] { return pi_get_dusr("U02"); }, &pi_reads.dusr, false, 1}, {[] { return pi_get_dusr("U01"); }, &pi_reads.dusr, true, 1},
      {[] { return pi_get_dsysparm(); }, &pi_reads.dsysparm, false, 1},
      {[] { return pi_get_dsysparm(); }, &pi_reads.dsysparm, false, 1},  // tried again
  };
  // clang-format on
  int i = 0;
  for (const step& s : steps) {
    const uint32_t before = *s.count;
    const uint8_t* r = s.call();
    EXPECT_EQ(r != nullptr, s.found) << "step " << i;
    EXPECT_EQ(*s.count - before, s.reads) << "step " << i++;
  }
  EXPECT_EQ(memcmp(pi_get_ddbxap("DB1", "TST"), "DB1TST", 6), 0);
  EXPECT_EQ(memcmp(pi_get_dprof(s30("PROF1").c_str(), "DB1") + 30, "   ", 3), 0);
}

TEST_F(Hooks, FirstOfFourTriesOfThisUsersActiveHooks) {
  memcpy(com.user_id, "U01", 3);
  const std::string proc = std::string("TST00\x01") + s30("MENU A");
  auto hook = [&](const char* db, const char* user, const char* target, const char* tdb, char active) {
    return write_rec(INIT_DHOOK_FDB, rec(kHookRecLen, {{0, proc},
                                                       {36, db},
                                                       {39, user},
                                                       {42, "TST00\x01"},
                                                       {48, s30(target)},
                                                       {78, tdb},
                                                       {81, std::string(1, active)}}));
  };
  ASSERT_TRUE(hook("DB1", "U02", "OTHER USER", "   ", '1'));
  ASSERT_TRUE(hook("DB1", "U01", "INACTIVE", "   ", '0'));
  ASSERT_TRUE(hook("DB1", "   ", "TRY 3", "   ", '1'));
  ASSERT_TRUE(hook("   ", "U01", "TRY 2", "DB7", '1'));
  ASSERT_EQ(fill_mhook(mhook_arb), 1);
  PCB work{};
  memcpy(work.invoc.b, proc.data(), 36);
  char db[3] = {'D', 'B', '1'};
  EXPECT_EQ(hook_proc(&work, 2, db), 0);
  ASSERT_EQ(hook_proc(&work, 3, db), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(work.invoc.b + INVOC_PROC_NAM), 30) + std::string(db, 3),
            s30("TRY 2") + "DB7");
  memcpy(work.invoc.b + INVOC_PROC_NAM, s30("NO HOOK").data(), 30);
  EXPECT_EQ(hook_proc(&work, 3, db), 0);

  // the language: a one-shot of the invoker, the user's, the database's, the system's, else blanks
  PCB* inv = pcb(module({}, 0, {{7, "TST", 7, 700, 2}}), nullptr, 2);
  place(inv);
  memcpy(inv->pcb_areas[7] + 664, "L01", 3);
  auto prop = [](const char* type, const std::string& key, const char* v) {
    return write_rec(INIT_DPROP_FDB, rec(kPropRecLen, {{0, type}, {8, key}, {136, "DEF LANG ID   "}, {150, v}}));
  };
  auto lang = [&](PCB* invoker, const char* d) {
    dflt_lang(&work, invoker, d);
    EXPECT_EQ(memcmp(com.lang_id, work.pcb_lang, 3), 0);
    return std::string(work.pcb_lang, 3);
  };
  EXPECT_EQ(lang(nullptr, nullptr), "   ");
  EXPECT_EQ(lang(inv, nullptr), "L01");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(inv->pcb_areas[7] + 664), 3), "   ");  // used once
  ASSERT_TRUE(prop("SYSPARM ", "", "S01") && prop("DATABASE", "DB2", "D02") && prop("DBXAP   ", "DB1TST", "X01") &&
              prop("USER    ", "U09", "U09"));
  pi_reset_caches();
  EXPECT_EQ(lang(inv, "DB1"), "X01");
  EXPECT_EQ(lang(nullptr, "DB2"), "D02");
  EXPECT_EQ(lang(nullptr, nullptr), "S01");
  memcpy(com.user_id, "U09", 3);
  EXPECT_EQ(lang(nullptr, "DB1"), "U09");
}

TEST_F(Properties, PutGetDeleteMoveOnOneOpenFile) {
  ASSERT_TRUE(
      write_rec([](FDB* f, KDB* k,
                   SDB* s) { INIT_DPROP_FDB(f, k, s), INIT_SRC_PATH(&f->path, "TST", "00", "ATRIBUTE", PATH_DATA); },
                rec(kPropRecLen, {{0, "SEED    "}})));
  ARB* a = pi_get_prop_arb("TST", "00", "   ", 7);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(pi_get_prop_arb("TST", "00", "   ", 7), a);
  ASSERT_TRUE(
      write_rec([](FDB* f, KDB* k,
                   SDB* s) { INIT_DPROP_FDB(f, k, s), INIT_SRC_PATH(&f->path, "TS2", "00", "ATRIBUTE", PATH_DATA); },
                rec(kPropRecLen, {{0, "SEED    "}})));
  ARB* b = pi_get_prop_arb("TS2", "00", "   ", 7);  // same requester word, another file
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(pi_get_prop_arb("TS2", "00", "   ", 7), b);  // cached, not opened again
  uint8_t v[kPropValueLen], out[kPropValueLen];
  auto val = [&](const char* t) {
    memset(v, ' ', sizeof v), memcpy(v, t, strlen(t));
    return v;
  };
  const char* N1 = "NAME ONE      ";
  const char* N2 = "NAME TWO      ";
  auto got = [&](const char* key, const char* name) {
    return pi_get_prop(a, "OBJ     ", key, 2, name, out) ? std::string(reinterpret_cast<char*>(out), 5) : "-";
  };
  EXPECT_EQ(pi_put_prop(a, "OBJ     ", "K1", 2, N1, val("one")), 1);
  EXPECT_EQ(pi_put_prop(a, "OBJ     ", "K1", 2, N1, val("first")), 1);  // rewritten
  EXPECT_EQ(pi_put_prop(a, "OBJ     ", "K1", 2, N2, val("two")), 1);
  EXPECT_EQ(pi_put_prop(a, "OBJ     ", "K2", 2, N1, val("other")), 1);
  EXPECT_EQ(got("K1", N1) + got("K1", N2), "firsttwo  ");
  EXPECT_EQ(pi_move_prop(a, "OBJ     ", "K3", 2, N1, "K1"), 1);
  EXPECT_EQ(got("K1", N1) + got("K1", N2) + got("K3", N1) + got("K3", N2) + got("K2", N1), "--firsttwo  other");
  EXPECT_EQ(pi_put_prop(a, "OBJ     ", "K3", 2, N1, val("")), 1);  // all blanks: deleted
  EXPECT_EQ(got("K3", N1), "-");
  EXPECT_EQ(pi_del_prop(a, "OBJ     ", "K3", 2, N1), 1);  // absent: still success
  EXPECT_EQ(pi_del_prop(nullptr, "OBJ     ", "K3", 2, N1), 0);
  EXPECT_EQ(pi_get_prop(nullptr, "OBJ     ", "K3", 2, N2, out), 0);
  EXPECT_EQ(out[0], ' ');
}

TEST_F(ProcessSecurity, BitmapByClassAndTheKindOfTheDatabase) {
  // clang-format off
  struct row { std::initializer_list<uint8_t> bits; int32_t cls; bool ok; } rows[] = {
      {{0x01}, 0, true}, {{0xFE}, 0, false}, {{0x00, 0x02}, 9, true}, {{0xFF, 0xFD}, 9, false},
      {{0xFF}, -2, false}, {{0xFF}, int32_t(8 * (kProfRecLen - PROF_BITMAP)), false} /* past the record */,
      {{0xFF}, int32_t(8 * (kProfRecLen - PROF_BITMAP)) - 1, false}, {{0xFF}, 7, true}};
  // clang-format on
  for (const row& r : rows) EXPECT_EQ(secr_bit(profile("P", "   ", r.bits).data(), r.cls), r.ok) << r.cls;

  ASSERT_TRUE(write_rec(INIT_DPROF_FDB, profile("P1", "   ", {0x01})) &&
              write_rec(INIT_DPROF_FDB, profile("P2", "   ", {0x00})));
  ASSERT_TRUE(write_rec(INIT_DDBXAP_FDB, rec(176, {{0, "DB1TST\x01"}})) &&
              write_rec(INIT_DDBXAP_FDB, rec(176, {{0, "DB2TST\x02"}})));
  auto user = rec(kUserRecLen, {{0, "U01"}, {USER_PROFILE, s30("P1")}});
  com.user_rec = user.data();
  EM* em = module({}, 0, {{0, "TST", 9, 132, 2, 2}});
  blank_field(em, 9);
  // database: none (bitmap), DB1 (kind 1: allowed), DB2 (kind 2: bitmap), DB3 (no DBXAP: refused)
  struct db_row {
    const char* db;
    int32_t cls;
    int ok;
  } dbs[] = {{"   ", 0, 1}, {"   ", 1, 0}, {"DB1", 1, 1}, {"DB2", 0, 1}, {"DB2", 1, 0}, {"DB3", 0, 0}};
  PCB* inv = pcb(em, nullptr, 2);
  place(inv);
  for (const db_row& r : dbs) {
    memcpy(inv->pcb_areas[9], r.db, 3);
    em->em_secr_class = r.cls;
    PCB* p = pcb(em, inv, 0);
    p->pcb_pool = inv->pcb_pool;
    EXPECT_EQ(chk_exec_secr(p, inv), r.ok) << r.db << r.cls;
  }
  PCB* p = pcbs_.back().get();
  ASSERT_NE(p->pcb_profile, nullptr);
  pi_get_dprof(s30("P2").c_str(), "DB3");
  EXPECT_EQ(p->pcb_profile[PROF_BITMAP], 0x01);  // its own copy
  com.user_rec = nullptr;
}

TEST_F(RangeBlocks, EntriesOfTheFlaggedQsortRecords) {
  EM* em = module({{7, "0LA", 1, 8}});
  memcpy(em->em_pcf_ap, "TST", 3);
  PCB* p = pcb(em, nullptr, 2);
  place(p);
  memcpy(p->invoc.b + INVOC_RNG_AP, "TSTRANGE", 8);
  const uint32_t level = p->pcb_saa_owner[7]->pcb_pool->level;
  auto qsort = [&](int seq, uint32_t total, const char* fld, uint16_t count, const char* flags, char used) {
    char sq[8];
    snprintf(sq, sizeof sq, "%03d", seq % 1000);
    auto r = rec(
        92, {{0, "TST"}, {3, s30("RANGE")}, {33, sq}, {40, "TST"}, {43, fld}, {70, flags}, {87, std::string(1, used)}});
    st_le32(r.data(), 36, total + uint32_t(seq / 1000)), st_le16(r.data(), 66, count);
    return write_rec([&](FDB* f, KDB* k, SDB* s) { INIT_QSORT_FDB(f, k, s, level); }, r, FS_MEMORY);
  };
  ASSERT_TRUE(write_rec([](FDB* f, KDB* k, SDB* s) { INIT_DELEM_FDB(f, k, s, "TST", "00"); },
                        rec(kElementSize, {{5, "FIELD B               "}, {95, s30("Text of B")}})));
  ASSERT_TRUE(write_rec([](FDB* f, KDB* k, SDB* s) { INIT_DELEM_FDB(f, k, s, "TST", "00"); },
                        rec(kElementSize, {{5, "FIELD A               "}, {68, "A"}})));  // key 4 unique
  ASSERT_TRUE(qsort(0, 1, "FIELD A", 0, "10100", '1') && qsort(1, 0, "UNUSED", 3, "11111", '0') &&
              qsort(2, 0, "FIELD B", 5, "01010", '1'));
  bld_rng(p);
  ASSERT_EQ(p->pcb_rng_cnt, 3);
  const uint8_t* e = static_cast<uint8_t*>(p->pcb_rng);
  auto ent = [&](int i) {
    const uint8_t* x = e + kRngEntLen * i;
    std::string f;
    for (int b = 0; b < 5; ++b) f += char('0' + x[RNG_FLAGS + b]);
    return std::string(reinterpret_cast<const char*>(x), 10) + std::to_string(ld_le16(x, RNG_COUNT)) + f +
           std::string(reinterpret_cast<const char*>(x + RNG_TEXT), 9);
  };
  EXPECT_EQ(ent(0), std::string(10, ' ') + "000000" + std::string(9, ' '));  // the total entry
  EXPECT_EQ(ent(1),
            "TSTFIELD A1"
            "10010"
            "         ");  // count 0 read as 1; 72 and 73 crossed
  EXPECT_EQ(ent(2),
            "TSTFIELD B5"
            "01100"
            "Text of B");
  for (int i = 3; i < 300; ++i) ASSERT_TRUE(qsort(i + 1000, 0, "FIELD B", 1, "00000", '1'));
  bld_rng(p);
  EXPECT_EQ(p->pcb_rng_cnt, 255);
}

}  // namespace
}  // namespace kivo::test
