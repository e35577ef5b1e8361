// The true/false word, ends and unwinds, selections against a reference
// evaluator, relocation, and run-time errors.
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "../fixtures/hook_override.h"
#include "foundation/end_codes.h"
#include "interp_test.h"

namespace kivo {
namespace {

using test::bytes;

class InterpCore : public test::InterpBase {
 protected:
  // Last outcome := 'T' or 'F' (a1 byte 0 against the constant "T").
  void outcome_of(char c) {
    a1[0] = 'T';
    e(inst_buf(OP_CMPK).f(1, 0, 1, 0, 1).k(k(c == 'T' ? "T" : "F"), 1 | kOpndConst, 0, 1).i(1));
  }
};

// A statement that only jumps to itself runs without a routine call; the
// interrupt key's signal, arriving meanwhile, must still stop it at the
// debugger's break. Run in a child, so a loop that never sees the signal
// fails the test at its bound instead of holding the run.
TEST_F(InterpCore, BreakSignalStopsALoopOfJumpsAlone) {
  const em_entry self{ctx.pos.blk, ctx.pos.off};
  e(inst_buf(OP_JMP).r(self));
  e(inst_buf(OP_END));
  finish();
  uint8_t* jump = INST_RLOC(self, m->em_inst_arb);
  ASSERT_NE(jump, nullptr);
  jump[2] |= 0x1;  // a statement's first instruction: the break stops there
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    kivo_test::scoped_hook stop(ii_dbg_hooks.inst_step_break, [](II_RUN* r, uint8_t*) { ii_fail(r, "stopped"); });
    signal(SIGALRM, [](int) { dbg_ctl(DBG_BREAK); });
    itimerval t{{0, 0}, {0, 50000}};
    setitimer(ITIMER_REAL, &t, nullptr);
    _exit(run(self) == PI_END_CANCEL && err() == "stopped" ? 0 : 1);
  }
  int status = -1;
  for (int i = 0; i < 1000 && waitpid(child, &status, WNOHANG) == 0; ++i) usleep(10000);
  if (waitpid(child, &status, WNOHANG) == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    FAIL() << "the loop did not stop within 10 s of the break";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Steps "T1" (SETTF level 1 with outcome T), "&2F" (ANDTF), "|3T" (ORTF);
// then TFTEST mask/value: whether the guarded statement ran.
TEST_F(InterpCore, TfWordPrefixes) {
  // clang-format off
  struct row { std::vector<const char*> steps; uint16_t mask, value; bool runs;
  } rows[] = {
      {{"T1"}, 0x300, 0x100, true}, {{"F1"}, 0x300, 0x100, false}, {{"T1", "F2"}, 0x3C0, 0x180, true},
      {{"T1", "F2", "T1"}, 0xC0, 0xC0, true}, /* deeper unset */ {{"F2", "&2T"}, 0xC0, 0x80, true},
      {{"F2", "|2T"}, 0xC0, 0x40, true}, {{"&3T"}, 0x30, 0x10, true},
      {{"T1", "F2", "T3", "F4", "T5"}, 0x3FF, 0x199, true}, {{"T1"}, 0xC0, 0x40, false},
      {{"T1"}, 0xC0, 0x80, false}, /* unset level: neither T nor F */ {{"T1", "|1F", "&1F"}, 0x300, 0x200, true},
  };
  // clang-format on
  std::vector<em_entry> at;
  for (const row& r : rows) {
    int32_t skip = bld_label(&ctx);
    at.push_back(e(inst_buf(OP_NOP)));
    for (const char* s : r.steps) {
      bool combine = s[0] == '&' || s[0] == '|';
      outcome_of(s[combine ? 2 : 0]);
      uint32_t level = static_cast<uint32_t>(s[1] - '0');
      e(inst_buf(s[0] == '&' ? OP_ANDTF : s[0] == '|' ? OP_ORTF : OP_SETTF).i(level));
    }
    e(inst_buf(OP_TFTEST).i(r.mask | uint32_t{r.value} << 16).to(skip));
    e(inst_buf(OP_MOVEK).f(2, 0, 1, 0, 1).k(k("Y"), 1 | kOpndConst, 0, 1)), bld_bind(&ctx, skip), e(inst_buf(OP_END));
  }
  finish();
  for (size_t i = 0; i < at.size(); ++i) {
    a2[0] = 'N';
    EXPECT_EQ(run(at[i]), PI_END_NORMAL);
    EXPECT_EQ(a2[0] == 'Y', rows[i].runs) << "row " << i;
  }
}

// "1 AND 2", "1 OR 2 AND 3" and "(1 OR 2) AND 3" as the selection compiler
// lays them out with 36 and 38, over random records, twice each.
TEST_F(InterpCore, SelectionsAgreeWithReference) {
  auto cond = [&](int n) {
    static const uint8_t relop[] = {3, 1, 5};  // x GT 50, y EQ 3, z LT 20
    static const uint8_t lit[] = {50, 3, 20};
    e(inst_buf(OP_CMPK)
          .f(1, static_cast<uint16_t>(2 * n), 5, 0, 2)
          .k(k(bytes{lit[n], 0}), 5 | kOpndConst, 0, 2)
          .i(relop[n]));
  };
  auto exit_if = [&](uint32_t result) { e(inst_buf(OP_COND_EXIT).i(result).i(0)); };
  em_entry shape[3], br, third;
  shape[0] = ctx.pos, cond(0), exit_if(2), cond(1), bld_end(&ctx, 0);
  shape[1] = ctx.pos, cond(0), exit_if(1), cond(1), exit_if(2), cond(2), bld_end(&ctx, 0);
  shape[2] = ctx.pos, cond(0), bld_br_cond(&ctx, &br), cond(1), exit_if(2);
  third = ctx.pos, cond(2), bld_end(&ctx, 0);
  finish();
  ASSERT_EQ(bld_patch(&ctx, br, 1, third, 0), 1);
  std::mt19937 rng(7);
  for (int rec = 0; rec < 400; ++rec) {
    int16_t v[3] = {static_cast<int16_t>(rng() % 100), static_cast<int16_t>(rng() % 6),
                    static_cast<int16_t>(rng() % 40)};
    memcpy(a1.data(), v, sizeof v);
    bool c1 = v[0] > 50, c2 = v[1] == 3, c3 = v[2] < 20;
    bool want[3] = {c1 && c2, c1 || (c2 && c3), (c1 || c2) && c3};
    for (int s = 0; s < 3; ++s) {
      EXPECT_EQ(run(shape[s]), PI_END_NORMAL);
      EXPECT_EQ(outcome(), want[s] ? 1u : 2u) << "record " << rec << " shape " << s;
    }
  }
}

TEST_F(InterpCore, EndsAndUnwinds) {
  // clang-format off
  struct row { uint16_t op; uint32_t imm; bool has_imm; uint32_t code, result;
  } rows[] = {
      {OP_END, 0, false, PI_END_NORMAL, 0}, {OP_CODE_END, 1, true, PI_END_NORMAL, 0},
      {OP_CODE_END, 0, true, PI_END_NORMAL, 0x100}, {OP_EXIT, 0, false, PI_END_EXIT, 0},
      {OP_END_PROC, 0, false, PI_END_PROCESS, 0}, {OP_LOGOUT, 0, false, PI_END_LOGOUT, 0},
      {OP_CANCEL, 1, true, PI_END_CANCEL, 0}, {OP_ERROR, 1, true, PI_END_NORMAL, kResultStop},
  };
  // clang-format on
  std::vector<em_entry> at;
  for (const row& r : rows) {
    at.push_back(ctx.pos);
    outcome_of('T');
    inst_buf b(r.op);
    if (r.has_imm) b.i(r.imm);
    if (r.op == OP_CANCEL || r.op == OP_ERROR) b.k(k("BYE"), 1 | kOpndConst, 0, 3);
    e(b);
  }
  e(inst_buf(OP_END));
  finish();
  for (size_t i = 0; i < at.size(); ++i) {
    EXPECT_EQ(run(at[i]), rows[i].code) << "row " << i;
    EXPECT_EQ(call.result, rows[i].result) << "row " << i;
  }
  EP_CALL c{};
  c.pcb = &pcb;
  EXPECT_EQ(II_EXEC_ANY(&c, {kNoCode, 0}), 0);  // an entry of 65535 is not run
  // Entries in compiled records: none current is no code, never a null read.
  static uint8_t child[176];
  uint8_t frame[140] = {}, image[200] = {};
  EXPECT_EQ(II_EXEC_FRM(&c, 21) + II_EXEC_IMG(&c, 41) + II_EXEC_CHLD(&c, nullptr, 61), 0);
  pcb.pcb_cur_frm = frame, pcb.pcb_cur_img = image;
  st_le16(frame, 4 * (23 + 6), 1), st_le16(image, 4 * (44 - 1), 1), st_le16(child, 4 * (62 - 19), 1);
  st_le16(frame, 4 * (21 + 6), kNoCode);
  // clang-format off
  struct { int (*fn)(EP_CALL*, uint16_t); uint16_t ep; int ran; } cur[] = {
      {II_EXEC_FRM, 23, 1}, {II_EXEC_FRM, 21, 0}, {II_EXEC_FRM, 26, 0}, {II_EXEC_IMG, 44, 1}, {II_EXEC_IMG, 45, 0},
      {[](EP_CALL* x, uint16_t ep) { return II_EXEC_CHLD(x, child, ep); }, 62, 1},
      {[](EP_CALL* x, uint16_t ep) { return II_EXEC_CHLD(x, child, ep); }, 63, 0},
  };
  // clang-format on
  for (const auto& r : cur) {
    int ran = -1;
    EXPECT_EQ(MARK(MARK_SUBPROCESS, [&] { ran = r.fn(&c, r.ep); }), PI_END_NORMAL);
    EXPECT_EQ(ran, r.ran) << r.ep;
  }
  // ii_proc_exec stores the result word (ERROR's stop bit) and returns under MARK.
  m->em_ep[4] = at.back();
  uint8_t res[4] = {};
  PROC_EXEC_BLK blk{&pcb, res, 5, 0};
  EXPECT_EQ(MARK(MARK_SUBPROCESS, [&] { ii_proc_exec(&blk); }), PI_END_NORMAL);
  EXPECT_EQ(ld_le32(res, 0), kResultStop);
}

}  // namespace
}  // namespace kivo
