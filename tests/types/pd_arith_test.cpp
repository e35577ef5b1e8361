// Edges of the packed arithmetic the random model does not reach: zero-filled
// sign halves, leading bytes of a set, huge shift counts, lengths out of
// range, compares of long fields. Bytes are written in hex.
#include <gtest/gtest.h>

#include <cstring>

#include "foundation/com.h"
#include "pd_test_util.h"
#include "types/pd.h"

namespace kivo {
namespace {

using namespace pdt;

class PdArith : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("KIVO_PD_SIGNS");
    com_fill(0, nullptr);
  }
};

enum arith_op { ADD, SET, SHFT, SHFTN };

struct arith_case {
  arith_op op;
  const char* a;
  const char* b;  // the second operand, or the shift count in decimal
  int rc;
  const char* want;  // a afterwards
};

int run(const arith_case& c, pk& a) {
  a = from_hex(c.a);
  const bool shift = c.op == SHFT || c.op == SHFTN;
  pk b = shift ? pk{} : from_hex(c.b);
  int n = shift ? atoi(c.b) : 0;
  switch (c.op) {
    case ADD: return pd_add(a.b, a.n, b.b, b.n);
    case SET: return pd_set(a.b, a.n, b.b, b.n);
    case SHFT: return pd_shft(a.b, a.n, n);
    case SHFTN: return pd_shftn(a.b, a.n, n);
  }
  return -1;
}

TEST_F(PdArith, OperationTable) {
  // Arithmetic on random operands is checked against exact arithmetic in
  // pd_model_test; these are the edges its generator does not reach.
  const arith_case cases[] = {
      // A zero-filled field (digit where the sign half is) reads as positive.
      {ADD, "00 00", "1C", 1, "00 1C"},
      // A set drops only zero leading bytes.
      {SET, "77 7C", "00 00 12 3C", 1, "12 3C"},
      {SET, "77 7C", "01 00 00 0C", 0, "77 7C"},
      // Shift counts far beyond the field.
      {SHFTN, "00 0C", "40", 1, "00 0C"},
      {SHFT, "00 0C", "-2147483648", 1, "00 0C"},
      {SHFT, "00 0C", "2147483647", 1, "00 0C"},
  };
  for (const auto& c : cases) {
    pk a;
    EXPECT_EQ(run(c, a), c.rc) << c.op << " " << c.a << " " << c.b;
    EXPECT_EQ(hex(a), c.want) << c.op << " " << c.a << " " << c.b;
  }
}

TEST_F(PdArith, LengthsOutsideOneToSixteenAreRefused) {
  uint8_t a[20] = {0x1C}, b[20] = {0x1C};
  EXPECT_EQ(pd_add(a, 17, b, 1), 0);
  EXPECT_EQ(pd_add(a, 1, b, 0), 0);
  EXPECT_EQ(pd_mul(a, 1, b, 17), 0);
  EXPECT_EQ(pd_div(a, 1, b, 1, b, 17), 0);
  EXPECT_EQ(pd_set(a, 0, b, 1), 0);
  EXPECT_EQ(pd_shft(a, 17, 1), 0);
  EXPECT_EQ(a[0], 0x1C);
}

TEST_F(PdArith, CompareClassifiesSignsAndKeepsNegativeZeroBelow) {
  struct {
    const char *a, *b;
    int want;
  } cases[] = {{"5F", "5C", 0}, {"5B", "5D", 0}, {"5B", "1E", -1}, {"0D", "00 0C", -1}};
  for (const auto& c : cases) {
    pk a = from_hex(c.a), b = from_hex(c.b);
    EXPECT_EQ(pd_cmp(a.b, a.n, b.b, b.n), c.want) << c.a << " " << c.b;
  }
  EXPECT_EQ(pd_fast_cmp(pack(-1, 8).b, pack(0, 8).b), -1);
  // Longer than sixteen bytes: the extra leading bytes count.
  uint8_t a[18] = {}, b[2] = {0x00, 0x5C};
  a[17] = 0x5C;
  EXPECT_EQ(pd_cmp(a, 18, b, 2), 0);
  a[0] = 0x01;
  EXPECT_EQ(pd_cmp(a, 18, b, 2), 1);
  EXPECT_EQ(pd_cmp(b, 2, a, 18), -1);
  a[17] = 0x5D;
  EXPECT_EQ(pd_cmp(a, 18, b, 2), -1);
}

TEST_F(PdArith, SignificantDigits) {
  int d = -1;
  EXPECT_EQ(SIG_DIGITS(from_hex("00 12 3C").b, 3, &d), 3);
  EXPECT_EQ(d, 3);
  for (auto [h, want] : {std::pair{"01 23 4C", 4}, {"12 34 5C", 5}, {"00 00 0C", 0}, {"00 00 1C", 1}})
    EXPECT_EQ(SIG_DIGITS(from_hex(h).b, 3, nullptr), want) << h;
}

}  // namespace
}  // namespace kivo
