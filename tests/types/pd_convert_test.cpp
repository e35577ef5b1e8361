// Conversions of packed values: 32-bit integers, floating point, digit
// text, the rounded integer of a variable-point value, binary arithmetic.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "foundation/com.h"
#include "pd_test_util.h"
#include "types/pd.h"

namespace kivo {
namespace {

using namespace pdt;

class PdConvert : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("KIVO_PD_SIGNS");
    com_fill(0, nullptr);
    com.dec_sep = '.';
  }

  // Parses text into a field of n bytes.
  int cva(const std::string& text, int n, pk& out, int& decimals, int& negative, char sep = '.') {
    out = pack(0, n);
    pd_field f{out.b, n, -1, 7};
    int rc = pd_cva(text.data(), static_cast<int>(text.size()), sep, &f);
    decimals = f.decimals;
    negative = f.negative;
    return rc;
  }
};

TEST_F(PdConvert, IntegerExtremesRoundTrip) {
  for (int32_t v : {0, 1, -1, 9, -9, INT32_MAX, INT32_MIN}) {
    pk p = pack(0, 6);
    EXPECT_EQ(pd_cvp(p.b, 6, v), 1) << v;
    EXPECT_EQ(pd_cvb(p.b, 6), v) << v;
  }
  pk p = pack(0, 6);
  pd_cvp(p.b, 6, INT32_MIN);
  EXPECT_EQ(hex(p), "02 14 74 83 64 8D");
}

TEST_F(PdConvert, IntegerThatDoesNotFitFailsKeepingLowDigits) {
  pk p = pack(0, 1);
  EXPECT_EQ(pd_cvp(p.b, 1, -9), 1);
  EXPECT_EQ(pd_cvp(p.b, 1, 10), 0);
  EXPECT_EQ(hex(p), "0C");
  pk q = pack(0, 5);  // 9 digits
  EXPECT_EQ(pd_cvp(q.b, 5, INT32_MIN), 0);
  EXPECT_EQ(str(value(q)), "-147483648");
}

TEST_F(PdConvert, UnsignedThirtyTwoBitValuesSurviveTheModuloRead) {
  pk p = pack(4294967295LL, 6);
  EXPECT_EQ(static_cast<uint32_t>(pd_cvb(p.b, 6)), 4294967295u);
}

TEST_F(PdConvert, FloatRoundsBeforeTheRangeCheck) {
  pk p = pack(0, 3);  // 5 digits
  pd_field f{p.b, 3, 3, 0};
  EXPECT_EQ(pd_from_float(&f, 99.9996), 0);  // rounds to 100.000: six digits
  EXPECT_EQ(hex(p), "00 00 0C");
  EXPECT_EQ(pd_from_float(&f, 99.9994), 1);
  EXPECT_EQ(str(value(p)), "99999");
  f.decimals = 2;
  EXPECT_EQ(pd_from_float(&f, 99.996), 1);
  EXPECT_EQ(str(value(p)), "10000");
  f.decimals = 2;
  EXPECT_EQ(pd_from_float(&f, -12.345), 1);  // the double lies just above 12.345
  EXPECT_EQ(str(value(p)), "-1235");
  EXPECT_EQ(pd_from_float(&f, 1.005), 1);  // and this one just below 1.005
  EXPECT_EQ(str(value(p)), "100");
  f.decimals = 2;
  EXPECT_EQ(pd_from_float(&f, -12.345), 1);
  EXPECT_EQ(f.negative, 1);
}

TEST_F(PdConvert, FloatRefusesNonFiniteValuesAndHugeOnes) {
  pk p = pack(7, 8);
  pd_field f{p.b, 8, 2, 0};
  EXPECT_EQ(pd_from_float(&f, std::numeric_limits<double>::quiet_NaN()), 0);
  EXPECT_EQ(pd_from_float(&f, std::numeric_limits<double>::infinity()), 0);
  EXPECT_EQ(pd_from_float(&f, -std::numeric_limits<double>::infinity()), 0);
  EXPECT_EQ(pd_from_float(&f, 1e300), 0);
  EXPECT_EQ(pd_from_float(&f, 1e13), 0);
  f.decimals = -1;
  EXPECT_EQ(pd_from_float(&f, 1), 0);
  EXPECT_EQ(hex(p), "00 00 00 00 00 00 00 7C");
}

TEST_F(PdConvert, FloatThatRoundsToZeroIsPositiveZero) {
  pk p = pack(7, 2);
  pd_field f{p.b, 2, 1, 1};
  EXPECT_EQ(pd_from_float(&f, -0.04), 1);
  EXPECT_EQ(hex(p), "00 0C");
  EXPECT_EQ(f.negative, 0);
  EXPECT_EQ(pd_from_float(&f, -0.0), 1);
  EXPECT_EQ(hex(p), "00 0C");
}

TEST_F(PdConvert, ToFloatIsExactForExactValues) {
  pk p = pack(-123456789012345LL, 8);
  pd_field f{p.b, 8, 2, 0};
  EXPECT_EQ(pd_to_float(&f), -1234567890123.45);
  pk big = pack(pow10(31) - 1, 16);
  pd_field g{big.b, 16, 0, 0};
  EXPECT_EQ(pd_to_float(&g), 1e31);
  pk bad = pk{};
  bad.n = 1;
  bad.b[0] = 0xAC;
  pd_field h{bad.b, 1, 0, 0};
  EXPECT_TRUE(std::isnan(pd_to_float(&h)));
}

TEST_F(PdConvert, FloatRoundTripOfFifteenDigits) {
  gen g(42);
  for (int i = 0; i < 20000; ++i) {
    i128 m = g.mag(8);
    pk p = pack(g.below(2) ? -m : m, 8);
    int d = g.below(8);
    pd_field f{p.b, 8, d, 0};
    double x = pd_to_float(&f);
    pk q = pack(0, 8);
    pd_field h{q.b, 8, d, 0};
    ASSERT_EQ(pd_from_float(&h, x), 1);
    ASSERT_EQ(hex(q), hex(p)) << x;
  }
}

TEST_F(PdConvert, VarBinRoundsAndClamps) {
  pd_var v{};
  memcpy(v.value, pack(3000000000LL, 8).b, 8);
  v.decimals = 0;
  EXPECT_EQ(pd_var_bin(&v), INT32_MAX);
  memcpy(v.value, pack(-3000000000LL, 8).b, 8);
  EXPECT_EQ(pd_var_bin(&v), INT32_MIN);
  memcpy(v.value, pack(-2147483648LL, 8).b, 8);
  EXPECT_EQ(pd_var_bin(&v), INT32_MIN);
  memcpy(v.value, pack(-1250, 8).b, 8);
  v.decimals = 2;
  EXPECT_EQ(pd_var_bin(&v), -13);
  memcpy(v.value, pack(1249, 8).b, 8);
  EXPECT_EQ(pd_var_bin(&v), 12);
  memcpy(v.value, pack(500000000000000LL, 8).b, 8);
  v.decimals = 15;
  EXPECT_EQ(pd_var_bin(&v), 1);
  v.decimals = 16;
  EXPECT_EQ(pd_var_bin(&v), 0);
  memcpy(v.value, pack(3, 8).b, 8);
  v.decimals = -9;
  EXPECT_EQ(pd_var_bin(&v), INT32_MAX);
  v.decimals = -2;
  EXPECT_EQ(pd_var_bin(&v), 300);
}

TEST_F(PdConvert, DigitTextWithLeadingSignAndPoint) {
  pk p;
  int d, neg;
  EXPECT_EQ(cva("  -12.50 ", 4, p, d, neg), 1);
  EXPECT_EQ(str(value(p)), "-1250");
  EXPECT_EQ(d, 2);
  EXPECT_EQ(neg, 1);
  EXPECT_EQ(cva("12-", 2, p, d, neg), 1);
  EXPECT_EQ(str(value(p)), "-12");
  EXPECT_EQ(d, 0);
  EXPECT_EQ(cva("+7.", 1, p, d, neg), 1);
  EXPECT_EQ(str(value(p)), "7");
  EXPECT_EQ(cva(".5", 1, p, d, neg), 1);
  EXPECT_EQ(d, 1);
  EXPECT_EQ(cva("3,25", 2, p, d, neg, ','), 1);
  EXPECT_EQ(str(value(p)), "325");
  EXPECT_EQ(d, 2);
  EXPECT_EQ(cva("   ", 2, p, d, neg), 1);
  EXPECT_EQ(hex(p), "00 0C");
}

TEST_F(PdConvert, DigitTextSyntaxErrors) {
  pk p;
  int d, neg;
  for (const char* bad : {"1 2", "-", "+", ".", " - ", "-.", ".-", "1.2.3", "--1", "1x", "12 -", "1-2"}) {
    EXPECT_EQ(cva(bad, 4, p, d, neg), 0) << '"' << bad << '"';
    EXPECT_EQ(hex(p), "00 00 00 0C") << bad;
  }
}

TEST_F(PdConvert, DigitTextCountsDigitsAgainstTheField) {
  pk p;
  int d, neg;
  EXPECT_EQ(cva("999", 2, p, d, neg), 1);
  EXPECT_EQ(cva("1000", 2, p, d, neg), 0);
  EXPECT_EQ(cva(std::string(31, '9'), 16, p, d, neg), 1);
  EXPECT_EQ(str(value(p)), str(pow10(31) - 1));
  EXPECT_EQ(cva(std::string(32, '9'), 16, p, d, neg), 0);
}

TEST_F(PdConvert, DigitTextMinusZeroIsPositiveZero) {
  pk p;
  int d, neg;
  EXPECT_EQ(cva("-0.00", 2, p, d, neg), 1);
  EXPECT_EQ(hex(p), "00 0C");
  EXPECT_EQ(neg, 0);
  EXPECT_EQ(d, 2);
}

TEST_F(PdConvert, BinaryArithmeticThroughPacked) {
  int32_t a = 10;
  EXPECT_EQ(bin_math(&a, 5, BIN_ADD, 0, 0, 0, 0), 1);
  EXPECT_EQ(a, 15);
  EXPECT_EQ(bin_math(&a, 20, BIN_SUB, 0, 0, 0, 0), 1);
  EXPECT_EQ(a, -5);
  EXPECT_EQ(bin_math(&a, -3, BIN_MUL, 0, 0, 0, 0), 1);
  EXPECT_EQ(a, 15);
  EXPECT_EQ(bin_math(&a, 2, BIN_DIV, 0, 0, 0, 0), 1);
  EXPECT_EQ(a, 8);  // 7.5 rounds up
  a = -15;
  EXPECT_EQ(bin_math(&a, 2, BIN_DIV, 0, 0, 0, 0), 1);
  EXPECT_EQ(a, -7);  // a negative quotient stays truncated
  EXPECT_EQ(bin_math(&a, 42, BIN_SET, 0, 0, 0, 0), 1);
  EXPECT_EQ(a, 42);
  // b in units of 10 (scale 2) added to a in units.
  a = 1;
  EXPECT_EQ(bin_math(&a, 3, BIN_ADD, 2, 0, 1, 0), 1);
  EXPECT_EQ(a, 31);
  // a scaled by 10 before the operation and divided back (rounded) after.
  a = 7;
  EXPECT_EQ(bin_math(&a, 5, BIN_ADD, 0, 0, 2, 0), 1);
  EXPECT_EQ(a, 8);  // (70 + 5) / 10
  a = 7;
  EXPECT_EQ(bin_math(&a, 4, BIN_ADD, 0, 0, 2, 0), 1);
  EXPECT_EQ(a, 7);
}

TEST_F(PdConvert, BinaryArithmeticFailsWithoutTouchingA) {
  int32_t a = INT32_MAX;
  EXPECT_EQ(bin_math(&a, 1, BIN_ADD, 0, 0, 0, 0), 0);
  EXPECT_EQ(a, INT32_MAX);
  a = INT32_MIN;
  EXPECT_EQ(bin_math(&a, -1, BIN_MUL, 0, 0, 0, 0), 0);
  EXPECT_EQ(bin_math(&a, 0, BIN_DIV, 0, 0, 0, 0), 0);
  EXPECT_EQ(bin_math(&a, 1, 6, 0, 0, 0, 0), 0);
  EXPECT_EQ(bin_math(&a, 1, 0, 0, 0, 0, 0), 0);
  EXPECT_EQ(a, INT32_MIN);
  EXPECT_EQ(bin_math(&a, 1, BIN_SUB, 0, 0, 0, 0), 0);
  EXPECT_EQ(bin_math(&a, 1, BIN_ADD, 40, 0, 0, 0), 0);  // factor too large
  EXPECT_EQ(a, INT32_MIN);
}

TEST_F(PdConvert, UnsignedOperandsUseTheFullThirtyTwoBits) {
  int32_t a = -1;  // 4294967295 unsigned
  EXPECT_EQ(bin_math(&a, 1, BIN_SUB, 0, 0, 0, 2), 1);
  EXPECT_EQ(static_cast<uint32_t>(a), 4294967294u);
  EXPECT_EQ(bin_math(&a, 2, BIN_ADD, 0, 0, 0, 2), 0);
  a = 0;
  EXPECT_EQ(bin_math(&a, 1, BIN_SUB, 0, 0, 0, 2), 0);  // below zero
  a = 0;
  EXPECT_EQ(bin_math(&a, -1, BIN_ADD, 0, 2, 0, 0), 0);  // 4294967295 over signed a
  EXPECT_EQ(bin_math(&a, -1, BIN_SET, 0, 2, 0, 2), 1);
  EXPECT_EQ(static_cast<uint32_t>(a), 4294967295u);
}

}  // namespace
}  // namespace kivo
