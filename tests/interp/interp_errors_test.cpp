// Relocation, run-time errors and the debugger's control word and stop rule.
#include "foundation/end_codes.h"
#include "foundation/maddr.h"
#include "foundation/sys_err.h"
#include "interp_test.h"

namespace kivo {
namespace {

using test::bytes;
using Relocation = test::InterpBase;
using InterpErrors = test::InterpBase;
using DbgCtl = test::InterpBase;

int movek_relocs = 0;
ii_fn movek_even = nullptr;

TEST_F(Relocation, OnceAcrossRunsAndPcbs) {
  e(inst_buf(OP_MOVEK).f(1, 0, 1, 0, 2).k(k("OK"), 1 | kOpndConst, 0, 2));
  e(inst_buf(OP_MOVE).f(1, 2, 1, 0, 2).f(1, 0, 1, 0, 2));
  e(inst_buf(OP_END));
  finish();
  movek_relocs = 0;  // a repeated run counts its own
  movek_even = ii_inst_fns[OP_MOVEK];
  ii_inst_fns[OP_MOVEK] = [](II_RUN* r, uint8_t* p) { ++movek_relocs, movek_even(r, p); };
  // Two PCBs of the module bound in turn, as the executive binds them.
  std::vector<uint8_t> other(kArea);
  uint8_t* areas[2][3] = {{nullptr, a1.data(), a2.data()}, {nullptr, other.data(), a2.data()}};
  PCB p2{};
  p2.pcb_em = m, pcb.pcb_areas = areas[0], p2.pcb_areas = areas[1];
  for (PCB* p : {&pcb, &p2, &pcb}) {
    m->em_area_addr = p->pcb_areas, m->em_bound_pcb = p;
    memset(p->pcb_areas[1], 0, 4);
    call = {}, call.pcb = p, call.entry.at = {1, 0};
    EXPECT_EQ(MARK(MARK_SUBPROCESS, [&] { ii_exec(&call); }), PI_END_NORMAL);
    EXPECT_EQ(bytes(p->pcb_areas[1], p->pcb_areas[1] + 4), (bytes{'O', 'K', 'O', 'K'}));
  }
  EXPECT_EQ(a1[4] | other[4], 0);
  ii_inst_fns[OP_MOVEK] = movek_even;
  EXPECT_EQ(movek_relocs, 1);
  const uint8_t* b = MADDR(m->em_inst_arb, 1);
  for (size_t off = 0; b[off + 3]; off += inst_len(b + off)) EXPECT_EQ(inst_op(b + off) & 1, 1) << off;
}

TEST_F(InterpErrors, ErrorRecordTextsAndEndCode) {
  e(inst_buf(OP_NOP));
  em_entry cmp = e(inst_buf(OP_CMP).f(1, 0, 1, 0, 2).f(1, 0, 8, 0, 2).i(1));
  em_entry settf = e(inst_buf(OP_SETTF).i(1 | 1 << 8));
  em_entry open = e(inst_buf(OP_OPEN).x(1, 1).i(0));
  em_entry area = e(inst_buf(OP_MOVE).f(1, 0, 1, 0, 2).f(9, 0, 1, 0, 2));        // no area 9
  em_entry reg = e(inst_buf(OP_MOVE).f(kRegArea, 2, 1, 0, 2).f(1, 0, 1, 0, 2));  // register not set
  em_entry zero = ctx.pos;                                                       // nothing written here: length 0
  finish();
  uint8_t* blk = MADDR(m->em_inst_arb, 1);
  st_le16(blk, 2016, OP_NOP), blk[2019] = 3;  // runs past the block
  uint8_t tp[12] = {};
  st_le16(tp, 0, 1), st_le16(tp, 2, 28), st_le32(tp, 4, 7), st_le16(tp, 8, 1);
  ASSERT_EQ(em_append(m, EM_TP, tp, 12), 1u);
  m->em_trap_cnt = 1;
  memcpy(m->em_proc_nam, "PAYROLL", 7);
  // clang-format off
  struct row { em_entry at; const char* text; const char* where;
  } rows[] = {
      {cmp, "values cannot be compared", "event point 1"}, /* before the statement */
      {settf, "statement failed", "statement 7 of event point 1"},
      {open, "bad operand 1 at block 1 offset 36", "statement 7 of event point 1"},  // no compiled file 1
      {area, "bad operand 2 at block 1 offset 48", "statement 7 of event point 1"},
      {reg, "bad operand 1 at block 1 offset 68", "statement 7 of event point 1"},
      {zero, "bad instruction at block 1 offset 88", "statement 7 of event point 1"},
      {{1, 2016}, "bad instruction at block 1 offset 2016", "statement 7 of event point 1"},
      {{9, 0}, "bad instruction at block 9 offset 0", "event point 1"},
  };
  // clang-format on
  for (const row& r : rows) {
    a1[0] = 'T';  // the SETTF row: the comparison never ran, the outcome is F
    size_t before = test::captured_errors().size();
    EXPECT_EQ(run(r.at), PI_END_CANCEL) << r.text;
    EXPECT_EQ(test::captured_errors().size(), before + 1);
    EXPECT_EQ(err(), r.text);
    EXPECT_EQ(rt_last_err[0], 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rt_last_err) + 18, 7), "PAYROLL");
    std::string w(reinterpret_cast<char*>(rt_last_err) + 657, 40);
    EXPECT_EQ(w.substr(0, w.find_last_not_of(' ') + 1), r.where);
    // The session's ERROR file holds the last block as its one record.
    ASSERT_NE(rt_err_arb, nullptr);
    const uint8_t* rec = MADDR(rt_err_arb, 1);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(memcmp(rec, rt_last_err, kRtErrSize), 0);
    EXPECT_EQ(MADDR(rt_err_arb, 2), nullptr);
  }
}

struct posted {
  int cls;
  ARB* fi;
  std::string text;
};
std::vector<posted> posts;
bool post_fails = false;

// MSG, ERROR and CANCEL post through the message layer into pcb_err_fi;
// a message that cannot be written is a run-time error, not lost.
TEST_F(InterpErrors, MessagesGoToTheErrorFile) {
  ARB* fi = reinterpret_cast<ARB*>(&posts);  // only passed through
  pcb.pcb_err_fi = fi;
  hooks_.set(interp_seams.add_msg, [](int cls, ARB* f, const char* t, size_t n) {
    posts.push_back({cls, f, std::string(t, n)});
    return post_fails ? 0 : 1;
  });
  auto msg = [&](uint16_t op, uint32_t cls, const char* text) {
    em_entry at = e(inst_buf(op).i(cls).k(k(text), 1 | kOpndConst, 0, static_cast<uint16_t>(strlen(text))));
    e(inst_buf(OP_END));
    return at;
  };
  // clang-format off
  struct row { em_entry at; bool fails; uint32_t code, result; int cls; const char* text;
  } rows[] = {
      {msg(OP_MSG, 1, "CHECK TOTAL  "), false, PI_END_NORMAL, 0, 1, "CHECK TOTAL"},
      {msg(OP_MSG, 4, "DONE"), false, PI_END_NORMAL, 0, 4, "DONE"},
      {msg(OP_ERROR, 3, "NO SUCH CUSTOMER"), false, PI_END_NORMAL, kResultStop, 3, "NO SUCH CUSTOMER"},
      {msg(OP_CANCEL, 3, "GIVING UP"), false, PI_END_CANCEL, 0, 3, "GIVING UP"},
      {msg(OP_ERROR, 3, "LOST"), true, PI_END_CANCEL, 0, 3, "LOST"},
  };
  // clang-format on
  finish();
  for (const row& r : rows) {
    posts.clear(), post_fails = r.fails;
    EXPECT_EQ(run(r.at), r.code) << r.text;
    EXPECT_EQ(call.result, r.result) << r.text;
    ASSERT_EQ(posts.size(), 1u) << r.text;
    EXPECT_EQ(posts[0].cls, r.cls);
    EXPECT_EQ(posts[0].fi, fi);
    EXPECT_EQ(posts[0].text, r.text);
    EXPECT_EQ(rt_last_err[0], r.fails ? 3 : 0);
    if (r.fails) {
      EXPECT_EQ(err(), "message not written");
    }
  }
}

TEST_F(DbgCtl, OperationsAndStack) {
  // clang-format off
  struct row { std::vector<uint8_t> ops; uint32_t word;
  } rows[] = {
      {{5}, 0x10001}, {{5, 6}, 0x10000}, {{7, 9, 11, 13, 14}, 0x1060006},
      {{7, 8, 9, 10}, 0}, {{11, 13, 12}, 0}, {{14, 15}, 0},
      {{5, 7, 9, 3}, 0x10000}, {{4}, 0}, {{5, 14, 1}, 0x1010000}, /* push keeps bits 16-24 */
      {{5, 7, 1, 2}, 0x10005}, {{2}, 0}, {{14, 1, 15, 2}, 0x1000000}, /* pop takes the saved word */
      {{1, 14, 2}, 0x1000000}, /* ... with the current bit 24 */
  };
  // clang-format on
  for (const row& r : rows) {
    dbg_ctl_reset();
    for (uint8_t op : r.ops) dbg_ctl(op);
    EXPECT_EQ(com_dbg_ctl_bits, r.word) << int{r.ops[0]} << "," << r.ops.size();
  }
  dbg_ctl_reset();
  for (int i = 0; i < 300; ++i) dbg_ctl(DBG_PUSH);
  EXPECT_EQ(dbg_ctl_depth(), 255);
  for (int i = 0; i < 300; ++i) dbg_ctl(DBG_POP);
  EXPECT_EQ(dbg_ctl_depth(), 0);
  dbg_ctl(DBG_ON);
  for (uint8_t bad : {0, 16, 255}) {
    size_t before = test::captured_errors().size();
    dbg_ctl(bad);
    EXPECT_EQ(test::captured_errors().size(), before + 1);
    EXPECT_STREQ(ut_dbg, "Bad op parameter in dbg_ctl()");
    EXPECT_EQ(com_dbg_ctl_bits, 0x10001u);
  }
}

TEST_F(DbgCtl, StopRule) {
  // clang-format off
  struct row { uint8_t flags; uint16_t op; uint32_t word; bool stop; uint32_t after;
  } rows[] = {
      {0x0, OP_NOP, kDbgStep, false, kDbgStep}, {0x1, OP_NOP, kDbgStep, true, kDbgStep},
      {0x1, OP_NOP, kDbgBreakRequest, true, kDbgBreakRequest}, {0x1, OP_TRAP, kDbgStep, false, kDbgStep},
      {0x3, OP_TRAP + 1, kDbgStep, true, kDbgStep}, {0x3, OP_NOP, kDbgActive, true, kDbgActive},
      {0x3, OP_TRAP, kDbgActive, false, kDbgActive}, {0x1, OP_END, kDbgToEnd, true, 0},
      {0x5, OP_NOP, kDbgToEnd, true, 0}, {0x1, OP_NOP, kDbgToEnd, false, kDbgToEnd},
      {0x1, OP_LOGOUT + 1, kDbgToEnd, true, 0}, {0x1, OP_RETURN, kDbgToReturn, true, 0},
      {0x1, OP_NOP, kDbgToReturn, false, kDbgToReturn},
      {0x8, OP_NOP, kDbgActive, false, kDbgActive | kDbgStep}, /* one-shot: step from here */
      {0x9, OP_NOP, kDbgActive, true, kDbgActive | kDbgStep},
  };
  // clang-format on
  for (const row& r : rows) {
    uint8_t inst[4] = {static_cast<uint8_t>(r.op), static_cast<uint8_t>(r.op >> 8), r.flags, 1};
    EP_CALL c{};
    II_RUN run{};
    run.call = &c;
    com_dbg_ctl_bits = r.word;
    EXPECT_EQ(ii_dbg_should_stop(&run, inst), r.stop) << int{r.flags} << " " << r.op;
    EXPECT_EQ(com_dbg_ctl_bits, r.after) << int{r.flags} << " " << r.op;
    EXPECT_EQ(inst[2] & 0x8, 0);
  }
}

std::vector<size_t> stops;

// The interrupt key's operation stops at the next statement start.
TEST_F(DbgCtl, BreakStopsAtNextStatement) {
  for (int i = 0; i < 4; ++i) e(inst_buf(OP_NOP));
  e(inst_buf(OP_END));
  finish();
  uint8_t* blk = MADDR(m->em_inst_arb, 1);
  blk[8 + 2] = blk[12 + 2] = 0x1;
  stops.clear();
  hooks_.set(ii_dbg_hooks.inst_step_break, [](II_RUN* r, uint8_t* p) {
    stops.push_back(static_cast<size_t>(p - r->blk));
    dbg_ctl(DBG_STEP_OFF);
  });
  dbg_ctl(DBG_BREAK);
  EXPECT_EQ(run(), PI_END_NORMAL);
  EXPECT_EQ(stops, (std::vector<size_t>{8}));
  EXPECT_EQ(com_dbg_ctl_bits, 0u);
}

}  // namespace
}  // namespace kivo
