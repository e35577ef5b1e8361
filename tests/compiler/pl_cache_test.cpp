// The module cache over the fixture processes of TST: shared modules and their use counts, a changed
// design stamp, the discard that waits for the last release, the dump, a child's constraint arrays
// following the bound areas, and the names made from stamps.
#include <filesystem>
#include <fstream>
#include <set>

#include "compiler/compiler.h"
#include "compiler/design_records.h"
#include "compiler/pl.h"
#include "fm/fm_record.h"
#include "fm/la.h"
#include "foundation/end_codes.h"
#include "foundation/pool.h"
#include "pc_process_util.h"

namespace kivo::test {
namespace {

using PlCache = LoaderFixture;

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(PlCache, ModulesAreSharedCountedAndRenewedWithTheirStamp) {
  const uint32_t compiles = pl_compile_count();
  EM* a = get("6SUB1");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(get("6SUB1"), a);
  EXPECT_EQ(a->em_use_cnt, 2u);
  EXPECT_EQ(a->em_cache_state, 1);
  EXPECT_EQ(pl_compile_count(), compiles + 1);
  EXPECT_EQ(get("6NOSUCH"), nullptr);
  EXPECT_EQ(get("6OFF"), nullptr);  // not active
  const std::string log = data_ + "/syserr.log";
  setenv("KIVO_SYS_ERR_LOG", log.c_str(), 1);
  ARB* msgs = la_create_fi(80, kScope);  // its compile error goes to the log and the invoker's messages
  EXPECT_EQ(get("6BADSTMT", msgs), nullptr);
  unsetenv("KIVO_SYS_ERR_LOG");
  EXPECT_NE(read_file(log).find("compile TST BADSTMT"), std::string::npos) << read_file(log);
  msgs->arb_keyno = 0, msgs->arb_mod = ARB_FIRST;
  const uint8_t* m = fm_start(msgs) ? fm_rdnxt_fast(msgs, 0) : nullptr;
  EXPECT_EQ(m ? std::string(reinterpret_cast<const char*>(m) + MSG_TEXT, ld_le16(m, MSG_TEXT_LEN)) : "",
            "BADSTMT ep 1 stmt 100 col 16: label NOWHERE not defined");
  EXPECT_EQ(pl_compile_count(), compiles + 2);
  pl_free(a), pl_free(a);
  EXPECT_EQ(a->em_use_cnt, 0u);
  EXPECT_EQ(a->em_cache_state, 0);
  EXPECT_EQ(get("6SUB1"), a);  // still cached
  pl_free(a);
  const uint64_t old = uint64_t{a->em_stamp2} << 32 | a->em_stamp1;
  restamp("6SUB1");  // the old module goes (its use count is 0)
  EM* b = get("6SUB1");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(pl_compile_count(), compiles + 3);
  EXPECT_NE(uint64_t{b->em_stamp2} << 32 | b->em_stamp1, old);
}

TEST_F(PlCache, DiscardKeepsAModuleInUseUntilItsLastRelease) {
  EM* a = get("6SUB1");
  ASSERT_NE(a, get("3REPORT1"));
  get("6SUB1");
  pl_discard(a);  // out of the cache at once ...
  EM* b = get("6SUB1");
  EXPECT_NE(b, a);
  pl_free(a);  // ... alive while a use is left (ASan sees any touch of a freed one)
  EXPECT_EQ(a->em_use_cnt, 1u);
  EXPECT_EQ(a->em_discard, 1);
  bind(a);
  set_total("0");
  EP_CALL call{};
  pcb_.pcb_em = a, call.pcb = &pcb_;
  EXPECT_EQ(MARK(MARK_SUBPROCESS, [&] { II_EXEC_PROC(&call, 1); }), 1u);
  EXPECT_EQ(total(), "99");
  pl_free(a);  // the last release frees it
  const std::string cwd = std::filesystem::current_path();
  std::filesystem::current_path(data_);  // the allocation dump ends with the cache's
  int32_t total = 0, blocks = 0;
  EXPECT_EQ(mm_alloc_info(nullptr, &total, &blocks, "1"), 1);
  std::filesystem::current_path(cwd);
  std::string dump = read_file(data_ + "/pool.dmp"), heads;
  dump.erase(0, dump.find("EM - "));
  for (size_t at = 0; (at = dump.find("EM - ", at)) != dump.npos; at = dump.find('\n', at))
    heads += dump.substr(at, dump.find('\n', at) - at + 1);
  EXPECT_EQ(heads,
            "EM - 1 TST/01/REPORT1                       \n"
            "EM - 1 TST/01/SUB1                          \n");
  EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), 2 * (EM_SUB_COUNT + 1));
}

TEST_F(PlCache, ChildConstraintReadsWhicheverAreasAreBound) {
  EM* em = get("3REPORT1");
  ASSERT_NE(em, nullptr);
  EXPECT_EQ(pl_child_cnstr(em, 1)->cnt, 0u);
  EXPECT_EQ(pl_child_cnstr(em, 3), nullptr);
  const pl_cnstr* c = pl_child_cnstr(em, 2);
  ASSERT_EQ(c->cnt, 2u);
  EXPECT_EQ(hex_lower(c->segs, 12),
            "010000000800"
            "020008000200");  // field, offset in ORDERS, length
  for (int pass = 0; pass < 2; ++pass) {
    bind(em);  // each pass binds fresh blocks into the same array
    uint8_t* cust = em->em_area_addr[em->em_cns_rec];
    memcpy(cust, pass ? "BBBBBBBB" : "AAAAAAAA", 8), cust[28] = static_cast<uint8_t>(pass + 1);
    for (uint32_t i = 0; i < c->cnt; ++i) EXPECT_EQ(c->flds[i].addr, &em->em_area_addr[em->em_cns_rec]);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(*c->flds[0].addr + c->flds[0].add_off), 8),
              pass ? "BBBBBBBB" : "AAAAAAAA");
    EXPECT_EQ((*c->flds[1].addr)[c->flds[1].add_off], pass + 1);
    EXPECT_EQ(std::make_tuple(c->flds[1].val_off, c->flds[1].len, c->flds[1].indirect), std::make_tuple(8, 2, 1));
  }
}

// A module cut off in its compile (an end code, the long jump of a fatal signal) goes with its level; one handed out
// outlives it.
TEST_F(PlCache, AModuleCutOffInItsBuildGoesWithItsLevel) {
  const std::pair<sc_cmpl_fn, uint32_t> rows[] = {
      {[](PC_CTX*, sc_stmt*) -> int { mark_leave(PI_END_CANCEL); }, PI_END_CANCEL},
      {[](PC_CTX*, sc_stmt*) -> int { mark_signal_jump(PI_END_FATAL); }, PI_END_FATAL},
      {nullptr, PI_END_NORMAL}};
  int32_t bytes = 0, blocks = 0, before = 0;
  mm_alloc_info(nullptr, &bytes, &before, "0");
  for (auto [set, rc] : rows) {
    cmpl_[VERB_SET] = set ? set : cmpl_[VERB_SET];
    EXPECT_EQ(MARK(MARK_RECOVERY, [&] { get("6SUB1"); }), rc);
    sc_init(), mm_alloc_info(nullptr, &bytes, &blocks, "0");
    EXPECT_EQ(blocks == before, set != nullptr) << rc;
  }
  EXPECT_EQ(get("6SUB1")->em_use_cnt, 2u);  // the module of the last level
}

TEST(PlGenNam, NamesAreGoldenDistinctAndOfTheAlphabet) {
  const struct {
    uint32_t day, hundredths;
    const char* name;
  } rows[] = {{0, 0, "00000000"},
              {0, 1, "00000001"},
              {0, 30, "0000000Y"},
              {0, 31, "00000010"},
              {739591, 0, "F81C0UD8"},
              {739591, 8639999, "F81NBV1W"},
              {0xFFFFFFFF, 0xFFFFFFFF, "33D3EVX4"}};
  char out[9] = {};
  for (auto& r : rows) {
    uint8_t stamp[8];
    st_le32(stamp, 0, r.day), st_le32(stamp, 4, r.hundredths);
    EXPECT_EQ(pl_gen_nam(0, stamp, out), 1);
    EXPECT_STREQ(out, r.name) << r.day << " " << r.hundredths;
  }
  std::set<std::string> seen;
  for (uint32_t h = 0; h < 20000; ++h) {
    uint8_t stamp[8];
    st_le32(stamp, 0, 740000 + h / 7000), st_le32(stamp, 4, h * 1237 % 8640000);
    pl_gen_nam(0, stamp, out);
    seen.insert(out);
    EXPECT_EQ(strspn(out, "0123456789ABCDEFGHJKMNPRSTUVWXY"), 8u) << out;
  }
  EXPECT_EQ(seen.size(), 20000u);
}

}  // namespace
}  // namespace kivo::test
