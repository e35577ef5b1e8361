// The builder against the properties of the code it writes, its refusals,
// and the addresses that operands resolve to.
#include <bit>
#include <map>
#include <random>
#include <set>
#include <tuple>
#include <utility>

#include "compiler/em_access.h"
#include "compiler/em_item.h"
#include "em_test_util.h"
#include "types/date_mask.h"

namespace kivo {
namespace {

class InstBuild : public test::EmFixture {};

const std::set<uint16_t> kLeavers = {OP_LINK, OP_JMP, OP_CODE_END, OP_END, OP_EXIT, OP_END_PROC, OP_LOGOUT, OP_RETURN};

// Random operands of each kind; R goes to a label or to an emitted position.
struct gen {
  std::mt19937 rng;
  BLD_CTX* ctx;
  std::vector<int32_t> labels;
  std::vector<em_entry> emitted;
  std::map<uint32_t, std::vector<uint8_t>> cn;  // what each constant number was made of
  int pick(int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); }

  void f(inst_buf& b) {
    uint8_t type = static_cast<uint8_t>(1 + pick(15));
    bool reg = pick(8) == 0;
    b.f(reg ? kRegArea : static_cast<uint16_t>(1 + pick(40)), static_cast<uint16_t>(reg ? pick(4) : pick(3000)), type,
        0, static_cast<uint16_t>(1 + pick(30)), is_date_type(type) ? 7 : 0);
  }
  void k(inst_buf& b) {
    if (pick(4) == 0) return void(b.k(kComConstBase + 158, 1, 0, static_cast<uint16_t>(1 + pick(200))));
    std::vector<uint8_t> bytes(1 + pick(3), static_cast<uint8_t>('a' + pick(3)));  // few distinct values
    uint32_t no = bld_cnst(ctx, bytes.data(), static_cast<uint16_t>(bytes.size()));
    cn[no] = bytes;
    b.k(no, 1, 0, static_cast<uint16_t>(bytes.size()));
  }
  void r(inst_buf& b) {
    if (!emitted.empty() && pick(2)) return void(b.r(emitted[pick(static_cast<int>(emitted.size()))]));
    b.to(labels[pick(static_cast<int>(labels.size()))]);
  }
  void operand(inst_buf& b, char kind) {
    switch (kind) {
      case K_F: return f(b);
      case K_K: return k(b);
      case K_R: return r(b);
      case K_X: return void(b.x(static_cast<uint16_t>(pick(50)), static_cast<uint16_t>(1 + pick(9))));
      case K_N: return void(b.nr(static_cast<uint32_t>(1 + pick(9))));
      case K_I: return void(b.i(rng()));
      case K_V: return pick(2) ? f(b) : k(b);
      case K_E: return pick(2) ? f(b) : void(b.x(3, 4));
      default: return pick(2) ? f(b) : void(b.nr(5));
    }
  }
};

TEST_F(InstBuild, RandomSequencesKeepBlocksJumpsAndConstantsSound) {
  size_t nops;
  const op_info* ops = op_table(&nops);
  for (int seq = 0; seq < 10000; ++seq) {
    EM* m = module();
    BLD_CTX ctx;
    ASSERT_EQ(bld_start(&ctx, m), 1);
    gen g{std::mt19937(seq), &ctx, {}, {}, {}};
    for (int i = 0, n = 1 + g.pick(4); i < n; ++i) g.labels.push_back(bld_label(&ctx));
    std::vector<int32_t> unbound = g.labels;
    for (int i = 0, n = 1 + g.pick(seq % 10 == 0 ? 900 : 120); i < n; ++i) {
      if (!unbound.empty() && g.pick(10) == 0) bld_bind(&ctx, unbound.back()), unbound.pop_back();
      const op_info& o = ops[g.pick(static_cast<int>(nops))];
      if (o.reserved || o.op == OP_LINK) continue;
      inst_buf b(o.op);
      for (const char* k = o.kinds; *k; ++k) g.operand(b, *k);
      em_entry at = bld_emit(&ctx, b);
      ASSERT_NE(at.blk, 0) << o.name << " err " << int{ctx.err};
      g.emitted.push_back(at);
    }
    for (int32_t l : unbound) bld_bind(&ctx, l);
    ASSERT_NE(bld_end(&ctx, 0).blk, 0);
    ASSERT_EQ(bld_finish(&ctx), 1);

    std::set<uint32_t> starts, targets;
    for (uint32_t b = 1; b <= m->em_inst_cnt; ++b) {
      const uint8_t* blk = MADDR(m->em_inst_arb, b);
      uint16_t last = 0;
      for (size_t off = 0; off + kInstHead <= kInstRecLen && blk[off + 3];) {
        opnd od[kInstMaxSlots];
        int n = inst_decode(blk + off, kInstRecLen - off, od, kInstMaxSlots);
        ASSERT_GE(n, 0) << b << "/" << off;
        last = inst_op(blk + off);
        ASSERT_TRUE(last == OP_LINK || off + inst_len(blk + off) <= kInstCodeEnd) << b << "/" << off;
        starts.insert(b << 16 | static_cast<uint32_t>(off));
        for (int i = 0; i < n; ++i)
          if (od[i].kind == K_R) targets.insert(std::rotl(inst_slot(blk + off, od[i].slot), 16));
        off += inst_len(blk + off);
      }
      ASSERT_TRUE(kLeavers.count(last)) << "block " << b << " ends with " << last;
    }
    for (uint32_t t : targets) ASSERT_TRUE(starts.count(t)) << (t >> 16) << "/" << (t & 0xFFFF);
    std::set<std::vector<uint8_t>> stored;
    for (uint32_t c = 1; c <= m->em_cnst_cnt; ++c) {
      const auto& bytes = g.cn[c];
      ASSERT_EQ(memcmp(CNST_RLOC(m, c), bytes.data(), bytes.size()), 0);
      stored.insert(bytes);
    }
    ASSERT_EQ(stored.size(), m->em_cnst_cnt) << "a constant stored twice";
    em_destroy(m);
    em_ = nullptr;
  }
}

TEST_F(InstBuild, RefusesWhatTheTableDoesNotAllow) {
  std::tuple<const char*, inst_buf, bld_status> rows[] = {
      {"odd opcode", inst_buf(OP_JMP + 1).r({1, 0}), BLD_BAD_OPCODE},
      {"unused number", inst_buf(92), BLD_BAD_OPCODE},
      {"missing operand", inst_buf(OP_CMP).f(20, 0, 1, 0, 4).i(1), BLD_BAD_OPERAND},
      {"K where F", inst_buf(OP_MOVE).f(20, 0, 1, 0, 4).k(65158, 1, 0, 4), BLD_BAD_OPERAND},
      {"X where V", inst_buf(OP_STORE).f(20, 0, 1, 0, 4).x(3, 1), BLD_BAD_OPERAND},
      {"register 4", inst_buf(OP_CPOP).f(kRegArea, 4, 1, 0, 4), BLD_BAD_OPERAND},
      {"type 0", inst_buf(OP_CPOP).f(20, 0, 0, 0, 4), BLD_BAD_OPERAND},
      {"com past its area", inst_buf(OP_CPUSH).k(65460, 1, 0, 1), BLD_BAD_OPERAND},
      {"com crossing its end", inst_buf(OP_CPUSH).k(65458, 1, 0, 3), BLD_BAD_OPERAND},
      {"unknown constant", inst_buf(OP_CPUSH).k(2, 1, 0, 1), BLD_BAD_OPERAND},
      {"constant shorter than the operand", inst_buf(OP_CPUSH).k(1, 1, 0, 4), BLD_BAD_OPERAND},
      {"unknown label", inst_buf(OP_JMP).to(7), BLD_BAD_LABEL}};
  for (auto& [what, inst, err] : rows) {
    SetUp();
    BLD_CTX ctx;
    ASSERT_EQ(bld_start(&ctx, module()), 1);
    ASSERT_EQ(bld_cnst(&ctx, reinterpret_cast<const uint8_t*>("abc"), 3), 1u);
    EXPECT_EQ(bld_emit(&ctx, inst_buf(OP_CPUSH).k(65457, 1, 0, 3)).blk, 1) << what;  // the last com bytes
    EXPECT_EQ(bld_emit(&ctx, inst).blk, 0) << what;
    EXPECT_EQ(ctx.err, err) << what;
    EXPECT_EQ(bld_finish(&ctx), 0) << what;
    TearDown();
    em_ = nullptr;
  }
}

TEST_F(InstBuild, ConstantsLabelsPatchesAndAddressesRefuseBadInput) {
  BLD_CTX ctx;
  EM* m = module();
  ASSERT_EQ(bld_start(&ctx, m), 1);
  auto refused = [&](int got) { return got == 0 && ctx.err != BLD_OK && ((ctx.err = BLD_OK), true); };
  static uint8_t big[kMaxConstLen + 1];
  EXPECT_EQ(bld_cnst(&ctx, big, kMaxConstLen), 1u);
  EXPECT_TRUE(refused(bld_cnst(&ctx, big, 0)));
  EXPECT_TRUE(refused(bld_cnst(&ctx, big, kMaxConstLen + 1)));
  em_entry at{};
  ASSERT_EQ(bld_br_cond(&ctx, &at), 1);
  em_entry nop = bld_emit(&ctx, inst_buf(OP_NOP));
  EXPECT_TRUE(refused(bld_patch(&ctx, nop, 1, at, 0))) << "a NOP is no branch";
  EXPECT_TRUE(refused(bld_patch(&ctx, at, 3, nop, 0))) << "sense 3";
  EXPECT_TRUE(refused(bld_patch(&ctx, at, 1, {9, 0}, 0))) << "target in no block";
  int32_t l = bld_label(&ctx);
  EXPECT_EQ(bld_bind(&ctx, l), 1);
  EXPECT_TRUE(refused(bld_bind(&ctx, l))) << "bound twice";
  EXPECT_TRUE(refused(bld_finish(&ctx))) << "label bound where no instruction follows";

  uint8_t *blk1 = MADDR(m->em_inst_arb, 1), *com0 = reinterpret_cast<uint8_t*>(&com);
  std::pair<uint32_t, const void*> consts[] = {
      {65158, com.blanks}, {65000, com0}, {65459, com0 + 459}, {65460, nullptr},
      {64999, nullptr},    {0, nullptr},  {2, nullptr},        {1, MADDR(m->em_cnst_arb, 1)}};
  for (auto [no, want] : consts) EXPECT_EQ(CNST_RLOC(m, no), want) << no;
  std::pair<em_entry, const uint8_t*> code[] = {{{1, 0}, blk1},    {{1, 2020}, blk1 + 2020}, {{1, 2021}, nullptr},
                                                {{0, 0}, nullptr}, {{2, 0}, nullptr},        {{kNoCode, 0}, nullptr}};
  for (auto [pos, want] : code) EXPECT_EQ(INST_RLOC(pos, m->em_inst_arb), want) << pos.blk << "/" << pos.off;
}

TEST_F(InstBuild, StampAndItemDatesAndReportProcess) {
  BLD_CTX ctx;
  EM* m = module();
  ASSERT_EQ(bld_start(&ctx, m), 1);
  char mask[kDateMaskLen + 1] = "0807-06-05";
  memset(mask + 10, ' ', kDateMaskLen - 10);
  date_msk_blk mb{kDateMaskLen, mask, {}, 8, 5, DT_TEXT_ANY, 0, 1};
  ASSERT_EQ(cv_cmpl_date_msk(&mb), 10);
  m->em_add_stamp_msk = bld_cnst(&ctx, reinterpret_cast<const uint8_t*>(mask), kDateMaskLen);
  m->em_add_stamp = {4, mb.type, 10, 8, 5};
  m->em_chg_stamp = {-1, 0, 0, 0, 0};
  uint8_t rec[32] = "....2026-12-07";
  std_date d;
  ASSERT_EQ(STAMP_DATE(&d, m, 0, rec), 1);
  ASSERT_EQ(cv_ntos_date(&d), 1);
  EXPECT_EQ(d.at(LVL_YEAR) * 10000 + d.at(LVL_MONTH) * 100 + d.at(LVL_DAY), 261207);
  d.at(LVL_DAY) = 8;  // a stamp is written back through the same descriptor
  ASSERT_EQ(cv_ston_date(&d), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(rec) + 4, 10), "2026-12-08");
  memcpy(rec + 4, "2026-12-07", 10);
  EXPECT_EQ(STAMP_DATE(&d, m, 1, rec), 0) << "no changed stamp";

  // The same date held by a compiled item, reached directly and through its
  // indirect address.
  CITM item;
  ALPHA_PREP(&item);
  EXPECT_EQ(INT_DATE(&d, &item, 1), 0) << "an alpha item holds no date";
  uint8_t* value = rec + 4;
  SET_ITM(&item, 10, reinterpret_cast<uint8_t*>(&value), 7);
  EXPECT_EQ(item.citm_right, 16);
  CNV& c = item.citm_cnv;
  c.cnv_type = mb.type, c.int_indirect = 1, c.ta.dat = {};
  memcpy(c.ta.dat.stor_mask, mask, kDateMaskLen);
  c.ta.dat.stor_len = kDateMaskLen, c.ta.dat.elem_hi = 8, c.ta.dat.elem_lo = 5;
  for (int direct : {0, 1}) {
    if (direct) c.int_addr = value;
    ASSERT_EQ(INT_DATE(&d, &item, direct), 1);
    EXPECT_EQ(d.raw, value);
    ASSERT_EQ(cv_ntos_date(&d), 1);
    EXPECT_EQ(d.at(LVL_DAY), 7);
  }
  m->em_add_stamp_msk = 0;
  EXPECT_EQ(STAMP_DATE(&d, m, 0, rec), 0) << "a text stamp without its mask";

  std::tuple<const char*, const char*, bool> rows[] = {
      {"   ", "", false}, {"APP", "OWN", false}, {"APP", "OTHER", true}, {"XYZ", "OWN", true}};
  for (auto [ap, name, has] : rows) {
    memset(m->em_rpt_nam, ' ', 30), memset(m->em_proc_nam, ' ', 30);
    memcpy(m->em_ap, "APP", 3), memcpy(m->em_proc_nam, "OWN", 3);
    memcpy(m->em_rpt_ap, ap, 3), memcpy(m->em_rpt_nam, name, strlen(name));
    EXPECT_EQ(HAS_RPT_PROC(m), has) << ap << name;
  }
}

}  // namespace
}  // namespace kivo
