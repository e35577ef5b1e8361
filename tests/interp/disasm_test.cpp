// A module of three blocks against its golden listing: jumps both ways
// between blocks, conditional branches patched to either sense and to an
// exit, shared constants, constants of the common block, every operand kind
// (a number without sign among them).
#include <utility>
#include <vector>

#include "../compiler/em_test_util.h"
#include "interp/ii_disasm.h"

namespace kivo {
namespace {

class Disasm : public test::EmFixture {};

const uint8_t* text(const char* s) { return reinterpret_cast<const uint8_t*>(s); }

// A 56-byte instruction: 36 of them fill a block.
void filler(BLD_CTX* ctx, uint32_t mask, int32_t exit) {
  inst_buf b(OP_LOOPBEG);
  for (uint8_t type : {10, 4, 9, 3}) b.f(static_cast<uint16_t>(8 + type), type, type, 0x85, 5, mask);
  bld_emit(ctx, b.to(exit));
}

TEST_F(Disasm, ThreeBlockModuleListsAsGolden) {
  BLD_CTX ctx;
  EM* m = module();
  ASSERT_EQ(bld_start(&ctx, m), 1);
  int32_t top = bld_label(&ctx), fwd = bld_label(&ctx);
  uint32_t hello = bld_cnst(&ctx, text("HELLO"), 5), mask = bld_cnst(&ctx, text("0807-06-05"), 10);
  ASSERT_EQ(bld_cnst(&ctx, text("HELLO"), 5), hello);
  bld_bind(&ctx, top);
  em_entry a1, a2, a3;
  bld_emit(&ctx, inst_buf(OP_CMPK).f(18, 0, 1, 0, 5).k(hello, 1, 0, 5).i(1));
  bld_br_cond(&ctx, &a1);
  bld_emit(&ctx, inst_buf(OP_MOVEK).f(18, 5, 4, 0x85, 10, mask).k(65158, 1, 0, 10));
  bld_emit(&ctx, inst_buf(OP_JMP).to(fwd));
  for (int i = 0; i < 36; ++i) filler(&ctx, mask, fwd);
  bld_emit(&ctx, inst_buf(OP_CMP).f(kRegArea, 1, 5, 2, 8).f(22, 0, 5, 2 | kOpndNoSign, 8).i(3));
  bld_br_cond(&ctx, &a2);
  bld_emit(&ctx, inst_buf(OP_OPEN).x(30, 1).i(0x00000102));
  bld_emit(&ctx, inst_buf(OP_CALL).nr(bld_cnst(&ctx, text("RT_TRACE"), 8)).i(2));
  bld_emit(&ctx, inst_buf(OP_PASS).x(30, 2).i(1));
  bld_emit(&ctx, inst_buf(OP_RECEIVE).f(22, 8, 12, 0, 4).i(2));
  bld_emit(&ctx, inst_buf(OP_IDX).i(0x00050001).f(22, 0, 5, 0, 3).f(22, 20, 8, 0, 4));
  bld_emit(&ctx, inst_buf(OP_CPUSH).k(hello, 1, 0, 3));
  bld_emit(&ctx, inst_buf(OP_TFTEST).i(0x00010003).to(top));
  for (int i = 0; i < 36; ++i) filler(&ctx, mask, top);
  bld_bind(&ctx, fwd);
  bld_emit(&ctx, inst_buf(OP_CMPK).f(18, 0, 1, 0, 5).k(65000, 8, 0, 8).i(2));
  bld_br_cond(&ctx, &a3);
  bld_end(&ctx, 0);
  ASSERT_EQ(bld_patch(&ctx, a1, 2, {3, 0}, 0), 1);
  ASSERT_EQ(bld_patch(&ctx, a2, 1, {1, 0}, 0), 1);
  ASSERT_EQ(bld_patch(&ctx, a3, 1, {}, 1), 1);
  ASSERT_EQ(bld_finish(&ctx), 1) << int{ctx.err};
  ASSERT_EQ(m->em_inst_cnt, 3u);
  ASSERT_EQ(m->em_cnst_cnt, 3u);

  std::string got;
  EXPECT_EQ(ii_disasm(m, &got), 0);
  EXPECT_EQ(got, test::golden("interp/disasm_golden.txt"));
}

TEST_F(Disasm, BytesThatFormNoInstructionSaySo) {
  // Unused opcode; length disagreeing with one R; past the room; K without its marker.
  std::pair<std::vector<uint8_t>, size_t> rows[] = {{{92, 0, 0, 1}, 4},
                                                    {{OP_JMP, 0, 0, 3, 1, 0, 0, 0, 0, 0, 0, 0}, 12},
                                                    {{OP_JMP, 0, 0, 2, 1, 0, 0, 0}, 4},
                                                    {{OP_INVOKE, 0, 0, 4, 1, 0, 0, 0, 1, 0, 4, 0, 0, 0, 0, 0}, 16}};
  for (auto& [bytes, room] : rows) {
    std::string line;
    EXPECT_EQ(ii_disasm_inst(bytes.data(), room, {1, 0}, &line), 0u) << line;
    EXPECT_NE(line.find("bad instruction"), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace kivo
