// Conversions of packed values (32-bit integers are in pd_model_test):
// floating point, digit text, the rounded integer of a variable-point value, binary arithmetic.
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

TEST_F(PdConvert, FromFloatRoundsChecksRangeAfterAndRefusesTheRest) {
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  struct {
    int n, decimals;
    double x;
    int rc;
    const char* want;  // the field, which starts as 7
  } cases[] = {
      {3, 3, 99.9996, 0, "00 00 7C"},  // rounds to 100.000: six digits, field kept
      {3, 3, 99.9994, 1, "99 99 9C"},
      {3, 2, 99.996, 1, "10 00 0C"},
      {3, 2, -12.345, 1, "01 23 5D"},  // the double lies just above 12.345
      {3, 2, 1.005, 1, "00 10 0C"},    // and this one just below 1.005
      {2, 1, -0.04, 1, "00 0C"},       // rounds to zero: a positive zero
      {2, 1, -0.0, 1, "00 0C"},
      {8, 2, nan, 0, "00 00 00 00 00 00 00 7C"},
      {8, 2, inf, 0, "00 00 00 00 00 00 00 7C"},
      {8, 2, -inf, 0, "00 00 00 00 00 00 00 7C"},
      {8, 2, 1e300, 0, "00 00 00 00 00 00 00 7C"},
      {8, 2, 1e13, 0, "00 00 00 00 00 00 00 7C"},
      {8, -1, 1, 0, "00 00 00 00 00 00 00 7C"},
  };
  for (const auto& c : cases) {
    pk p = pack(7, c.n);
    pd_field f{p.b, c.n, c.decimals, 1};
    EXPECT_EQ(pd_from_float(&f, c.x), c.rc) << c.x;
    EXPECT_EQ(hex(p), c.want) << c.x;
    if (c.rc) {
      EXPECT_EQ(f.negative, c.want[strlen(c.want) - 1] == 'D') << c.x;
    }
  }
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
  struct {
    int64_t v;
    int decimals;
    int32_t want;
  } cases[] = {{3000000000LL, 0, INT32_MAX},
               {-3000000000LL, 0, INT32_MIN},
               {-2147483648LL, 0, INT32_MIN},
               {-1250, 2, -13},
               {1249, 2, 12},
               {500000000000000LL, 15, 1},
               {500000000000000LL, 16, 0},
               {3, -9, INT32_MAX},
               {3, -2, 300}};
  for (const auto& c : cases) {
    pd_var v{};
    memcpy(v.value, pack(c.v, 8).b, 8);
    v.decimals = c.decimals;
    EXPECT_EQ(pd_var_bin(&v), c.want) << static_cast<long long>(c.v) << " " << c.decimals;
  }
}

TEST_F(PdConvert, DigitText) {
  const std::string nines31(31, '9'), nines32(32, '9');
  struct {
    std::string text;
    int n;
    char sep;
    int rc;
    const char* want;
    int decimals, negative;  // -1: not looked at
  } cases[] = {
      {"  -12.50 ", 4, '.', 1, "00 01 25 0D", 2, 1},
      {"12-", 2, '.', 1, "01 2D", 0, 1},
      {"+7.", 1, '.', 1, "7C", -1, -1},
      {".5", 1, '.', 1, "5C", 1, -1},
      {"3,25", 2, ',', 1, "32 5C", 2, -1},
      {"   ", 2, '.', 1, "00 0C", -1, -1},
      {"-0.00", 2, '.', 1, "00 0C", 2, 0},  // minus zero is a positive zero
      // Digits count against the field, leading zeros included.
      {"999", 2, '.', 1, "99 9C", -1, -1},
      {"1000", 2, '.', 0, nullptr, -1, -1},
      {nines31, 16, '.', 1, nullptr, -1, -1},
      {nines32, 16, '.', 0, nullptr, -1, -1},
  };
  for (const auto& c : cases) {
    pk p;
    int d, neg;
    EXPECT_EQ(cva(c.text, c.n, p, d, neg, c.sep), c.rc) << c.text;
    if (c.want) {
      EXPECT_EQ(hex(p), c.want) << c.text;
    }
    if (c.decimals >= 0) {
      EXPECT_EQ(d, c.decimals) << c.text;
    }
    if (c.negative >= 0) {
      EXPECT_EQ(neg, c.negative) << c.text;
    }
  }
  pk p;
  int d, neg;
  ASSERT_EQ(cva(nines31, 16, p, d, neg), 1);
  EXPECT_EQ(str(value(p)), str(pow10(31) - 1));
}

TEST_F(PdConvert, DigitTextSyntaxErrors) {
  pk p;
  int d, neg;
  for (const char* bad : {"1 2", "-", "+", ".", " - ", "-.", ".-", "1.2.3", "--1", "1x", "12 -", "1-2"}) {
    EXPECT_EQ(cva(bad, 4, p, d, neg), 0) << '"' << bad << '"';
    EXPECT_EQ(hex(p), "00 00 00 0C") << bad;
  }
}

// bin_math(a, b, op, b scale, b unsigned, a scale, a unsigned).
TEST_F(PdConvert, BinaryArithmeticTable) {
  struct {
    int32_t a, b;
    int op, bscale, bflags, ascale, aflags, rc;
    int32_t want;  // a afterwards (unchanged on failure)
  } cases[] = {
      {10, 5, BIN_ADD, 0, 0, 0, 0, 1, 15},
      {15, 20, BIN_SUB, 0, 0, 0, 0, 1, -5},
      {-5, -3, BIN_MUL, 0, 0, 0, 0, 1, 15},
      {15, 2, BIN_DIV, 0, 0, 0, 0, 1, 8},    // 7.5 rounds up
      {-15, 2, BIN_DIV, 0, 0, 0, 0, 1, -7},  // a negative quotient stays truncated
      {-7, 42, BIN_SET, 0, 0, 0, 0, 1, 42},
      {1, 3, BIN_ADD, 2, 0, 1, 0, 1, 31},  // b in units of 10 added to a in units
      {7, 5, BIN_ADD, 0, 0, 2, 0, 1, 8},   // (70 + 5) / 10, rounded
      {7, 4, BIN_ADD, 0, 0, 2, 0, 1, 7},
      // Failures leave a as it was.
      {INT32_MAX, 1, BIN_ADD, 0, 0, 0, 0, 0, INT32_MAX},
      {INT32_MIN, -1, BIN_MUL, 0, 0, 0, 0, 0, INT32_MIN},
      {INT32_MIN, 0, BIN_DIV, 0, 0, 0, 0, 0, INT32_MIN},
      {INT32_MIN, 1, 6, 0, 0, 0, 0, 0, INT32_MIN},
      {INT32_MIN, 1, 0, 0, 0, 0, 0, 0, INT32_MIN},
      {INT32_MIN, 1, BIN_SUB, 0, 0, 0, 0, 0, INT32_MIN},
      {INT32_MIN, 1, BIN_ADD, 40, 0, 0, 0, 0, INT32_MIN},  // factor too large
      // Unsigned operands use the full 32 bits.
      {-1, 1, BIN_SUB, 0, 0, 0, 2, 1, -2},
      {-2, 2, BIN_ADD, 0, 0, 0, 2, 0, -2},
      {0, 1, BIN_SUB, 0, 0, 0, 2, 0, 0},   // below zero
      {0, -1, BIN_ADD, 0, 2, 0, 0, 0, 0},  // 4294967295 over a signed a
      {0, -1, BIN_SET, 0, 2, 0, 2, 1, -1},
  };
  for (const auto& c : cases) {
    int32_t a = c.a;
    EXPECT_EQ(bin_math(&a, c.b, c.op, c.bscale, c.bflags, c.ascale, c.aflags), c.rc)
        << c.a << " op " << c.op << " " << c.b;
    EXPECT_EQ(a, c.want) << c.a << " op " << c.op << " " << c.b;
  }
}

}  // namespace
}  // namespace kivo
