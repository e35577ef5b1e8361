// Boundaries of the packed arithmetic: carries, borrows, signs written by
// other systems, shifts at and beyond the field, division rounding.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

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

pk bytes(std::vector<uint8_t> v) {
  pk p;
  p.n = static_cast<int>(v.size());
  memcpy(p.b, v.data(), v.size());
  return p;
}

TEST_F(PdArith, CarryOutOfTheTopByteFailsAndKeepsLowDigitsPositive) {
  pk a = pack(999, 2), one = pack(1, 1);
  EXPECT_EQ(pd_add(a.b, 2, one.b, 1), 0);
  EXPECT_EQ(hex(a), "00 0C");
  pk m = pack(-999, 2);
  EXPECT_EQ(pd_sub(m.b, 2, one.b, 1), 0);
  EXPECT_EQ(hex(m), "00 0C");  // the lost digit leaves zero, never a negative zero
}

TEST_F(PdArith, FastAddCarriesThroughEveryDigit) {
  pk f = pack(999999999999999LL, 8), one = pack(1, 8);
  EXPECT_EQ(pd_fast_add(f.b, one.b), 0);
  EXPECT_EQ(hex(f), "00 00 00 00 00 00 00 0C");
  pk g = pack(99999999999999LL, 8);
  EXPECT_EQ(pd_fast_add(g.b, one.b), 1);
  EXPECT_EQ(str(value(g)), "100000000000000");
}

TEST_F(PdArith, BorrowAcrossZerosAndSignChange) {
  pk a = pack(1000, 3), one = pack(1, 1);
  EXPECT_EQ(pd_sub(a.b, 3, one.b, 1), 1);
  EXPECT_EQ(str(value(a)), "999");
  pk b = pack(5, 1), c = pack(12, 2);
  EXPECT_EQ(pd_sub(b.b, 1, c.b, 2), 1);
  EXPECT_EQ(hex(b), "7D");
  pk z = pack(-5, 1), five = pack(5, 1);
  EXPECT_EQ(pd_add(z.b, 1, five.b, 1), 1);
  EXPECT_EQ(hex(z), "0C");
}

TEST_F(PdArith, ForeignSignHalvesAreClassifiedNotCompared) {
  pk a = bytes({0x5F}), b = bytes({0x3C});
  EXPECT_EQ(pd_add(a.b, 1, b.b, 1), 1);
  EXPECT_EQ(hex(a), "8C");  // 5 (F) + 3 (C) is 8, written with the configured half
  pk n = bytes({0x5B}), p = bytes({0x3A});
  EXPECT_EQ(pd_add(n.b, 1, p.b, 1), 1);
  EXPECT_EQ(hex(n), "2D");  // -5 (B) + 3 (A)
  EXPECT_EQ(pd_cmp(bytes({0x5F}).b, 1, bytes({0x5C}).b, 1), 0);
  EXPECT_EQ(pd_cmp(bytes({0x5B}).b, 1, bytes({0x5D}).b, 1), 0);
  EXPECT_EQ(pd_cmp(bytes({0x5B}).b, 1, bytes({0x1E}).b, 1), -1);
  pk s = bytes({0x01, 0x2F});
  EXPECT_EQ(pd_set(s.b, 2, s.b, 2), 1);
  EXPECT_EQ(hex(s), "01 2C");
}

TEST_F(PdArith, ConfiguredSignsAreWrittenAndOthersStillRead) {
  setenv("KIVO_PD_SIGNS", "FD", 1);
  com_fill(0, nullptr);
  unsetenv("KIVO_PD_SIGNS");
  pk a = bytes({0x5C}), b = bytes({0x3C});
  EXPECT_EQ(pd_add(a.b, 1, b.b, 1), 1);
  EXPECT_EQ(hex(a), "8F");
  pk c = bytes({0x5C}), d = bytes({0x8B});
  EXPECT_EQ(pd_add(c.b, 1, d.b, 1), 1);
  EXPECT_EQ(hex(c), "3D");
}

TEST_F(PdArith, DigitSignHalfOfAZeroFilledFieldReadsAsPositive) {
  pk z = bytes({0x00, 0x00}), one = pack(1, 1);
  EXPECT_EQ(pd_add(z.b, 2, one.b, 1), 1);
  EXPECT_EQ(hex(z), "00 1C");
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

TEST_F(PdArith, CompareLongerThanSixteenBytesUsesTheExtraLeadingBytes) {
  uint8_t a[18] = {}, b[2] = {0x00, 0x5C};
  a[17] = 0x5C;
  EXPECT_EQ(pd_cmp(a, 18, b, 2), 0);
  a[0] = 0x01;
  EXPECT_EQ(pd_cmp(a, 18, b, 2), 1);
  EXPECT_EQ(pd_cmp(b, 2, a, 18), -1);
  a[17] = 0x5D;
  EXPECT_EQ(pd_cmp(a, 18, b, 2), -1);
}

TEST_F(PdArith, NegativeZeroComparesBelowPositiveZero) {
  EXPECT_EQ(pd_cmp(bytes({0x0D}).b, 1, bytes({0x00, 0x0C}).b, 2), -1);
  EXPECT_EQ(pd_fast_cmp(pack(-1, 8).b, pack(0, 8).b), -1);
}

TEST_F(PdArith, SetDropsOnlyZeroLeadingBytes) {
  pk t = bytes({0x77, 0x7C});
  EXPECT_EQ(pd_set(t.b, 2, bytes({0x00, 0x00, 0x12, 0x3C}).b, 4), 1);
  EXPECT_EQ(hex(t), "12 3C");
  pk u = bytes({0x77, 0x7C});
  EXPECT_EQ(pd_set(u.b, 2, bytes({0x01, 0x00, 0x00, 0x0C}).b, 4), 0);
  EXPECT_EQ(hex(u), "77 7C");
  EXPECT_EQ(pd_set(u.b, 2, bytes({0x0D}).b, 1), 1);
  EXPECT_EQ(hex(u), "00 0C");
}

TEST_F(PdArith, MultiplyWritesLowDigitsOnOverflowAndSignByClass) {
  pk a = pack(123, 2), b = pack(-45, 2);
  EXPECT_EQ(pd_mul(a.b, 2, b.b, 2), 0);
  EXPECT_EQ(hex(a), "53 5D");  // -5535 keeps 535
  pk c = pack(-4, 1), d = pack(-2, 1);
  EXPECT_EQ(pd_mul(c.b, 1, d.b, 1), 1);
  EXPECT_EQ(hex(c), "8C");
  pk z = pack(-4, 3), zero = bytes({0x0D});
  EXPECT_EQ(pd_mul(z.b, 3, zero.b, 1), 1);
  EXPECT_EQ(hex(z), "00 00 0C");
  pk w = pack(pow10(15) - 1, 16), w2 = pack(pow10(15) - 1, 8);
  EXPECT_EQ(pd_mul(w.b, 16, w2.b, 8), 1);
  EXPECT_EQ(str(value(w)), str((pow10(15) - 1) * (pow10(15) - 1)));
}

TEST_F(PdArith, DivideRoundsPositiveHalfUpAndTruncatesNegative) {
  pk a = pack(7, 1), two = pack(2, 1);
  EXPECT_EQ(pd_div(a.b, 1, two.b, 1, nullptr, 0), 1);
  EXPECT_EQ(str(value(a)), "4");
  pk n = pack(-7, 1);
  EXPECT_EQ(pd_div(n.b, 1, two.b, 1, nullptr, 0), 1);
  EXPECT_EQ(str(value(n)), "-3");
  pk q = pack(7, 1), r = pack(0, 1);
  EXPECT_EQ(pd_div(q.b, 1, two.b, 1, r.b, 1), 1);
  EXPECT_EQ(str(value(q)), "3");
  EXPECT_EQ(str(value(r)), "1");
  pk nq = pack(-7, 1), nr = pack(0, 1);
  EXPECT_EQ(pd_div(nq.b, 1, two.b, 1, nr.b, 1), 1);
  EXPECT_EQ(str(value(nq)), "-3");
  EXPECT_EQ(str(value(nr)), "-1");
  pk small = pack(2, 1), three = pack(-3, 1);
  EXPECT_EQ(pd_div(small.b, 1, three.b, 1, nullptr, 0), 1);
  EXPECT_EQ(hex(small), "0C");  // -0.67 truncates to a positive zero
}

TEST_F(PdArith, DivideIsExactBeyondDoublePrecision) {
  i128 big = pow10(31) - 1;  // 31 nines
  pk a = pack(big, 16), b = pack(3, 1), r = pack(0, 1);
  EXPECT_EQ(pd_div(a.b, 16, b.b, 1, r.b, 1), 1);
  EXPECT_EQ(str(value(a)), "3333333333333333333333333333333");
  EXPECT_EQ(str(value(r)), "0");
  pk c = pack(pow10(30) + 1, 16), d = pack(2, 1);
  EXPECT_EQ(pd_div(c.b, 16, d.b, 1, nullptr, 0), 1);
  EXPECT_EQ(str(value(c)), "500000000000000000000000000001");
}

TEST_F(PdArith, DivideByZeroLeavesOperandsUnchanged) {
  pk a = pack(12, 2), z = bytes({0x0D}), r = pack(5, 1);
  EXPECT_EQ(pd_div(a.b, 2, z.b, 1, r.b, 1), 0);
  EXPECT_EQ(hex(a), "01 2C");
  EXPECT_EQ(hex(r), "5C");
}

TEST_F(PdArith, RemainderThatDoesNotFitFails) {
  pk a = pack(1234, 3), b = pack(1000, 3), r = pack(0, 1);
  EXPECT_EQ(pd_div(a.b, 3, b.b, 3, r.b, 1), 0);
  EXPECT_EQ(str(value(a)), "1");
  EXPECT_EQ(hex(r), "4C");
}

TEST_F(PdArith, RoundingShiftCases) {
  pk p = pack(125, 2);
  EXPECT_EQ(pd_shft(p.b, 2, -1), 1);
  EXPECT_EQ(str(value(p)), "13");
  pk n = pack(-125, 2);
  EXPECT_EQ(pd_shft(n.b, 2, -1), 1);
  EXPECT_EQ(str(value(n)), "-13");
  pk four = pack(-4, 1);
  EXPECT_EQ(pd_shft(four.b, 1, -1), 1);
  EXPECT_EQ(hex(four), "0C");
  pk five = pack(5, 1);
  EXPECT_EQ(pd_shft(five.b, 1, -1), 1);  // m = T
  EXPECT_EQ(hex(five), "1C");
  pk m5 = pack(-500, 2);
  EXPECT_EQ(pd_shft(m5.b, 2, -3), 1);
  EXPECT_EQ(hex(m5), "00 1D");
  pk gone = pack(999, 2);
  EXPECT_EQ(pd_shft(gone.b, 2, -4), 1);  // m > T
  EXPECT_EQ(hex(gone), "00 0C");
  pk t = pack(129, 2);
  EXPECT_EQ(pd_shftn(t.b, 2, -1), 1);
  EXPECT_EQ(str(value(t)), "12");
  pk nt = pack(-9, 1);
  EXPECT_EQ(pd_shftn(nt.b, 1, -1), 1);
  EXPECT_EQ(hex(nt), "0C");
}

TEST_F(PdArith, LeftShiftByZeroByTAndBeyond) {
  pk p = bytes({0x12, 0x3F});
  EXPECT_EQ(pd_shft(p.b, 2, 0), 1);
  EXPECT_EQ(hex(p), "12 3C");
  pk q = pack(12, 2);
  EXPECT_EQ(pd_shft(q.b, 2, 1), 1);
  EXPECT_EQ(str(value(q)), "120");
  pk r = pack(12, 2);
  EXPECT_EQ(pd_shft(r.b, 2, 2), 0);
  EXPECT_EQ(str(value(r)), "200");
  pk s = pack(12, 2);
  EXPECT_EQ(pd_shft(s.b, 2, 3), 0);  // n = T
  EXPECT_EQ(hex(s), "00 0C");
  pk z = pack(0, 2);
  EXPECT_EQ(pd_shftn(z.b, 2, 40), 1);
  EXPECT_EQ(pd_shft(z.b, 2, INT32_MIN), 1);
  EXPECT_EQ(pd_shft(z.b, 2, INT32_MAX), 1);
}

TEST_F(PdArith, SignificantDigits) {
  int d = -1;
  EXPECT_EQ(SIG_DIGITS(bytes({0x00, 0x12, 0x3C}).b, 3, &d), 3);
  EXPECT_EQ(d, 3);
  EXPECT_EQ(SIG_DIGITS(bytes({0x01, 0x23, 0x4C}).b, 3, nullptr), 4);
  EXPECT_EQ(SIG_DIGITS(bytes({0x12, 0x34, 0x5C}).b, 3, nullptr), 5);
  EXPECT_EQ(SIG_DIGITS(bytes({0x00, 0x00, 0x0C}).b, 3, nullptr), 0);
  EXPECT_EQ(SIG_DIGITS(bytes({0x00, 0x00, 0x1C}).b, 3, nullptr), 1);
}

}  // namespace
}  // namespace kivo
