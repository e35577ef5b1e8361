// The pass list at run time: RECEIVE takes the invoker's values in order, cut or padded to the field, and fails
// once none is left; a PASS past the list's 64 entries is a run-time error.
#include "compiler/pcb.h"
#include "foundation/end_codes.h"
#include "interp_test.h"

namespace kivo {
namespace {

using test::bytes;
using BuiltinRoutines = test::InterpBase;

TEST_F(BuiltinRoutines, ReceiveTakesTheInvokersValuesInOrder) {
  PCB parent{};
  uint8_t text[2] = {'A', 'B'}, num[4] = {7, 1, 0, 0};
  parent.pcb_pass.e[0] = {1, 1, 2, text, 0}, parent.pcb_pass.e[1] = {1, 5, 4, num, 0}, parent.pcb_pass.count = 2;
  const uint32_t h = ih_put(HK_PCB, &parent);
  st_le32(pcb.invoc.b, INVOC_PARENT_PCB, h);
  e(inst_buf(OP_RECEIVE).f(1, 0, 1, 0, 4).i(1));  // alpha 4: "AB" padded with blanks
  e(inst_buf(OP_RECEIVE).f(1, 4, 5, 0, 2).i(1));  // binary 2: cut
  e(inst_buf(OP_SETTF).i(1 | 1 << 8));            // both succeeded
  e(inst_buf(OP_RECEIVE).f(1, 8, 1, 0, 2).i(1));  // none left
  e(inst_buf(OP_SETTF).i(1 | 1 << 8));
  e(inst_buf(OP_END));
  finish();
  memset(a1.data(), 'x', 10);
  EXPECT_EQ(run(), 4u);
  EXPECT_EQ(err(), "statement failed");
  EXPECT_EQ(bytes(a1.begin(), a1.begin() + 10), (bytes{'A', 'B', ' ', ' ', 7, 1, 'x', 'x', 'x', 'x'}));
  EXPECT_EQ(pcb.pcb_pass.received, 2);
  ih_drop(h);
}

// A value passed shared and received into a field of its type and length is
// the invoker's own: what the process leaves in the field goes back when its
// run ends. A copy (SHARE? N), or a value received into a field of another
// length (cut or padded), stays the invoker's as it was.
TEST_F(BuiltinRoutines, SharedValueReceivedAsItStandsGoesBackToTheInvoker) {
  const struct {
    uint8_t copy;
    uint16_t field_len;
    const char* after;
  } cases[] = {{0, 2, "XY"}, {1, 2, "AB"}, {0, 4, "AB"}};
  PCB parent{};
  uint8_t values[3][2];
  uint16_t at = 0;
  for (size_t i = 0; i < 3; ++i) {
    memcpy(values[i], "AB", 2);
    parent.pcb_pass.e[i] = {1, 1, 2, values[i], cases[i].copy};
    e(inst_buf(OP_RECEIVE).f(1, at, 1, 0, cases[i].field_len).i(1));
    e(inst_buf(OP_MOVEK).f(1, at, 1, 0, 2).k(k("XY"), 1 | kOpndConst, 0, 2));
    at = uint16_t(at + cases[i].field_len);
  }
  parent.pcb_pass.count = 3;
  const uint32_t h = ih_put(HK_PCB, &parent);
  st_le32(pcb.invoc.b, INVOC_PARENT_PCB, h);
  e(inst_buf(OP_END));
  finish();
  EXPECT_EQ(run(), PI_END_NORMAL);
  for (size_t i = 0; i < 3; ++i)
    EXPECT_EQ(std::string(reinterpret_cast<char*>(values[i]), 2), cases[i].after) << "case " << i;
  ih_drop(h);
}

TEST_F(BuiltinRoutines, PassListHoldsSixtyFourValues) {
  for (int i = 0; i <= kPassMax; ++i) e(inst_buf(OP_PASS).f(1, 0, 1, 0, 4).i(1 | 1 << 8));
  e(inst_buf(OP_END));
  finish();
  EXPECT_EQ(run(), 4u);
  EXPECT_EQ(err(), "more than 64 values passed");
  EXPECT_EQ(pcb.pcb_pass.count, kPassMax);
  for (int i = 0; i < kPassMax; ++i) free(pcb.pcb_pass.e[i].addr);  // copies no CALL took
}

}  // namespace
}  // namespace kivo
