// Boundaries of the packed arithmetic: carries, borrows, signs written by
// other systems, shifts at and beyond the field, division rounding. Operands
// and results are written as the bytes in hex.
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

enum arith_op { ADD, SUB, MUL, SET, SHFT, SHFTN };

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
    case SUB: return pd_sub(a.b, a.n, b.b, b.n);
    case MUL: return pd_mul(a.b, a.n, b.b, b.n);
    case SET: return pd_set(a.b, a.n, b.b, b.n);
    case SHFT: return pd_shft(a.b, a.n, n);
    case SHFTN: return pd_shftn(a.b, a.n, n);
  }
  return -1;
}

TEST_F(PdArith, OperationTable) {
  const arith_case cases[] = {
      // A carry out of the top byte fails and keeps the low digits, positive.
      {ADD, "99 9C", "1C", 0, "00 0C"},
      {SUB, "99 9D", "1C", 0, "00 0C"},
      // Borrows across zeros and sign changes.
      {SUB, "01 00 0C", "1C", 1, "00 99 9C"},
      {SUB, "5C", "01 2C", 1, "7D"},
      {ADD, "5D", "5C", 1, "0C"},
      // Foreign sign halves are classified: 5 (F) + 3 (C) is 8; -5 (B) + 3 (A).
      {ADD, "5F", "3C", 1, "8C"},
      {ADD, "5B", "3A", 1, "2D"},
      {SET, "00 0C", "01 2F", 1, "01 2C"},
      // A zero-filled field (digit where the sign half is) reads as positive.
      {ADD, "00 00", "1C", 1, "00 1C"},
      // A set drops only zero leading bytes.
      {SET, "77 7C", "00 00 12 3C", 1, "12 3C"},
      {SET, "77 7C", "01 00 00 0C", 0, "77 7C"},
      {SET, "77 7C", "0D", 1, "00 0C"},
      // Multiply: low digits on overflow, sign by class, zero positive.
      {MUL, "12 3C", "04 5D", 0, "53 5D"},
      {MUL, "4D", "2D", 1, "8C"},
      {MUL, "00 00 4D", "0D", 1, "00 00 0C"},
      // Rounding shifts: 5 away from zero, m = T, m > T; truncating shifts.
      {SHFT, "12 5C", "-1", 1, "01 3C"},
      {SHFT, "12 5D", "-1", 1, "01 3D"},
      {SHFT, "4D", "-1", 1, "0C"},
      {SHFT, "5C", "-1", 1, "1C"},
      {SHFT, "50 0D", "-3", 1, "00 1D"},
      {SHFT, "99 9C", "-4", 1, "00 0C"},
      {SHFTN, "12 9C", "-1", 1, "01 2C"},
      {SHFTN, "9D", "-1", 1, "0C"},
      // Left shifts by 0 (rewrites the sign), within, by T and beyond.
      {SHFT, "12 3F", "0", 1, "12 3C"},
      {SHFT, "01 2C", "1", 1, "12 0C"},
      {SHFT, "01 2C", "2", 0, "20 0C"},
      {SHFT, "01 2C", "3", 0, "00 0C"},
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

TEST_F(PdArith, DivideTable) {
  struct div_case {
    const char *a, *b, *r;  // r: the remainder field, or null
    int rc;
    const char *q_want, *r_want;
  };
  const div_case cases[] = {
      // Positive quotients round half up, negative ones truncate.
      {"7C", "2C", nullptr, 1, "4C", nullptr},
      {"7D", "2C", nullptr, 1, "3D", nullptr},
      {"2C", "3D", nullptr, 1, "0C", nullptr},  // -0.67 is a positive zero
      // With a remainder no rounding; the remainder keeps the dividend's sign.
      {"7C", "2C", "0C", 1, "3C", "1C"},
      {"7D", "2C", "0C", 1, "3D", "1D"},
      // Division by zero changes nothing; a remainder that does not fit fails.
      {"01 2C", "0D", "5C", 0, "01 2C", "5C"},
      {"01 23 4C", "01 00 0C", "0C", 0, "00 00 1C", "4C"},
  };
  for (const auto& c : cases) {
    pk a = from_hex(c.a), b = from_hex(c.b), r = c.r ? from_hex(c.r) : pk{};
    EXPECT_EQ(pd_div(a.b, a.n, b.b, b.n, c.r ? r.b : nullptr, r.n), c.rc) << c.a << " / " << c.b;
    EXPECT_EQ(hex(a), c.q_want) << c.a << " / " << c.b;
    if (c.r) {
      EXPECT_EQ(hex(r), c.r_want) << c.a << " / " << c.b;
    }
  }
}

TEST_F(PdArith, WideOperandsAreExact) {
  pk f = pack(999999999999999LL, 8), one = pack(1, 8);
  EXPECT_EQ(pd_fast_add(f.b, one.b), 0);
  EXPECT_EQ(hex(f), "00 00 00 00 00 00 00 0C");
  pk g = pack(99999999999999LL, 8);
  EXPECT_EQ(pd_fast_add(g.b, one.b), 1);
  EXPECT_EQ(str(value(g)), "100000000000000");
  pk w = pack(pow10(15) - 1, 16), w2 = pack(pow10(15) - 1, 8);
  EXPECT_EQ(pd_mul(w.b, 16, w2.b, 8), 1);
  EXPECT_EQ(str(value(w)), str((pow10(15) - 1) * (pow10(15) - 1)));
  // Division beyond double precision.
  pk a = pack(pow10(31) - 1, 16), b = pack(3, 1), r = pack(0, 1);
  EXPECT_EQ(pd_div(a.b, 16, b.b, 1, r.b, 1), 1);
  EXPECT_EQ(str(value(a)), "3333333333333333333333333333333");
  EXPECT_EQ(str(value(r)), "0");
  pk c = pack(pow10(30) + 1, 16), d = pack(2, 1);
  EXPECT_EQ(pd_div(c.b, 16, d.b, 1, nullptr, 0), 1);
  EXPECT_EQ(str(value(c)), "500000000000000000000000000001");
}

TEST_F(PdArith, ConfiguredSignsAreWrittenAndOthersStillRead) {
  setenv("KIVO_PD_SIGNS", "FD", 1);
  com_fill(0, nullptr);
  unsetenv("KIVO_PD_SIGNS");
  pk a = from_hex("5C"), b = from_hex("3C");
  EXPECT_EQ(pd_add(a.b, 1, b.b, 1), 1);
  EXPECT_EQ(hex(a), "8F");
  pk c = from_hex("5C"), d = from_hex("8B");
  EXPECT_EQ(pd_add(c.b, 1, d.b, 1), 1);
  EXPECT_EQ(hex(c), "3D");
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
