// Differential tests: every packed operation against exact __int128
// arithmetic on random operands of 1 to 16 bytes, with a fixed seed.
// KIVO_STRESS_SCALE multiplies the 100,000 cases per operation.
#include <gtest/gtest.h>

#include <cstring>

#include "foundation/com.h"
#include "pd_test_util.h"
#include "types/pd.h"

namespace kivo {
namespace {

using namespace pdt;

class PdModel : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("KIVO_PD_SIGNS");
    com_fill(0, nullptr);
  }
  int cases = stress_cases(100000);
};

// What a result of n bytes must hold for the exact value e: its low-order
// digits, negative only when those are not all zero.
void expect_result(const pk& got, i128 e, int n, const std::string& what) {
  i128 low = abs128(e) % pow10(2 * n - 1);
  i128 want = e < 0 ? -low : low;
  ASSERT_EQ(str(value(got)), str(want)) << what;
  ASSERT_EQ(got.sign(), want < 0 ? pd_neg_sign() : pd_pos_sign()) << what << " " << hex(got);
}

std::string describe(const char* op, const pk& a, const pk& b) {
  return std::string(op) + " " + hex(a) + " , " + hex(b);
}

// (x * y) mod m without overflow, for x, y < m < 2^104.
i128 mulmod(i128 x, i128 y, i128 m) {
  i128 r = 0;
  for (int shift = 96; shift >= 0; shift -= 8) {
    r = (r * 256 + x * ((y >> shift) & 0xFF)) % m;
  }
  return r;
}

void run_add_sub(int cases, uint64_t seed, bool fixed) {
  gen g(seed);
  for (int i = 0; i < cases; ++i) {
    bool sub = g.below(2);
    int an = g.len(), bn = fixed ? an : g.len();
    i128 va, vb;
    bool na, nb;
    pk a = g.operand(an, va, na), b = g.operand(bn, vb, nb);
    pk r = a;
    int rc;
    if (fixed) rc = sub ? pd_fix_sub(r.b, b.b, an) : pd_fix_add(r.b, b.b, an);
    else rc = sub ? pd_sub(r.b, an, b.b, bn) : pd_add(r.b, an, b.b, bn);
    i128 e = sub ? va - vb : va + vb;
    std::string what = describe(sub ? "sub" : "add", a, b);
    ASSERT_EQ(rc, abs128(e) < pow10(2 * an - 1)) << what;
    expect_result(r, e, an, what);
  }
}

TEST_F(PdModel, AddAndSubtractMatchExactArithmetic) { run_add_sub(cases, 1, false); }
TEST_F(PdModel, FixedLengthAddAndSubtractMatchExactArithmetic) { run_add_sub(cases, 2, true); }

TEST_F(PdModel, AddAndSubtractMatchWithForeignConfiguredSigns) {
  setenv("KIVO_PD_SIGNS", "FB", 1);
  com_fill(0, nullptr);
  unsetenv("KIVO_PD_SIGNS");
  ASSERT_EQ(pd_pos_sign(), 0xF);
  ASSERT_EQ(pd_neg_sign(), 0xB);
  run_add_sub(cases / 4, 3, false);
}

TEST_F(PdModel, FastFormMatchesExactArithmetic) {
  gen g(4);
  for (int i = 0; i < cases; ++i) {
    i128 va, vb;
    bool na, nb;
    pk a = g.operand(8, va, na), b = g.operand(8, vb, nb);
    pk r = a;
    int op = g.below(4);
    std::string what = describe("fast", a, b) + " op " + std::to_string(op);
    if (op == 0) {
      ASSERT_EQ(pd_fast_add(r.b, b.b), abs128(va + vb) < pow10(15)) << what;
      expect_result(r, va + vb, 8, what);
    } else if (op == 1) {
      ASSERT_EQ(pd_fast_sub(r.b, b.b), abs128(va - vb) < pow10(15)) << what;
      expect_result(r, va - vb, 8, what);
    } else if (op == 2) {
      ASSERT_EQ(pd_fast_set(r.b, b.b), 1) << what;
      expect_result(r, vb, 8, what);
    } else {
      int want = na != nb && va == 0 && vb == 0 ? (na ? -1 : 1) : (va > vb) - (va < vb);
      ASSERT_EQ(pd_fast_cmp(a.b, b.b), want) << what;
    }
  }
}

TEST_F(PdModel, CompareOrdersByValueWithNegativeZeroBelowZero) {
  gen g(5);
  for (int i = 0; i < cases; ++i) {
    int an = g.len(), bn = g.len();
    i128 va, vb;
    bool na, nb;
    pk a = g.operand(an, va, na), b = g.operand(bn, vb, nb);
    bool a_nz = na && va == 0, b_nz = nb && vb == 0;
    int want = (va > vb) - (va < vb);
    if (va == 0 && vb == 0) want = a_nz == b_nz ? 0 : a_nz ? -1 : 1;
    else if (a_nz && vb == 0) want = -1;
    else if (b_nz && va == 0) want = 1;
    ASSERT_EQ(pd_cmp(a.b, an, b.b, bn), want) << describe("cmp", a, b);
  }
}

TEST_F(PdModel, SetMatchesExactArithmetic) {
  gen g(6);
  for (int i = 0; i < cases; ++i) {
    int sn = g.len(), dn = g.len();
    i128 prior, src;
    bool neg, sneg;
    pk d = g.operand(dn, prior, neg);
    pk before = d;
    pk s = g.operand(sn, src, sneg);
    int rc = pd_set(d.b, dn, s.b, sn);
    bool fit = abs128(src) < pow10(2 * dn - 1);
    ASSERT_EQ(rc, fit) << describe("set", s, before);
    if (fit) {
      expect_result(d, src, dn, describe("set", s, before));
    } else {
      ASSERT_EQ(memcmp(d.b, before.b, 16), 0);
    }
  }
}

TEST_F(PdModel, MultiplyMatchesExactArithmetic) {
  gen g(7);
  for (int i = 0; i < cases; ++i) {
    int an = g.len(), bn = g.below(3) == 0 ? g.len() : 1 + g.below(8);
    i128 va, vb;
    bool na, nb;
    pk a = g.operand(an, va, na), b = g.operand(bn, vb, nb);
    pk r = a;
    int rc = pd_mul(r.b, an, b.b, bn);
    i128 lim = pow10(2 * an - 1);
    i128 ma = abs128(va), mb = abs128(vb);
    bool fit = ma == 0 || mb == 0 || mb <= (lim - 1) / ma;
    i128 low = mulmod(ma % lim, mb % lim, lim);
    bool neg = na != nb;
    std::string what = describe("mul", a, b);
    ASSERT_EQ(rc, fit) << what;
    ASSERT_EQ(str(magnitude(r.b, an)), str(low)) << what;
    ASSERT_EQ(r.sign(), neg && low != 0 ? pd_neg_sign() : pd_pos_sign()) << what;
  }
}

TEST_F(PdModel, DivideMatchesExactArithmeticAndRoundingRule) {
  gen g(8);
  for (int i = 0; i < cases; ++i) {
    int an = g.len(), bn = g.len(), rn = g.len();
    i128 va, vb;
    bool na, nb;
    pk a = g.operand(an, va, na), b = g.operand(bn, vb, nb);
    if (g.below(8) == 0) b = pack(0, bn), vb = 0, nb = false;
    bool with_rem = g.below(2);
    pk r = a, rem = pack(0, rn);
    int rc = pd_div(r.b, an, b.b, bn, with_rem ? rem.b : nullptr, rn);
    std::string what = describe("div", a, b) + (with_rem ? " rem" : "");
    if (vb == 0) {
      ASSERT_EQ(rc, 0) << what;
      ASSERT_EQ(memcmp(r.b, a.b, 16), 0) << what;
      continue;
    }
    i128 q = abs128(va) / abs128(vb), m = abs128(va) % abs128(vb);
    bool qneg = na != nb;
    if (!with_rem && !qneg && 2 * m >= abs128(vb)) ++q;
    expect_result(r, qneg ? -q : q, an, what);
    if (with_rem) {
      ASSERT_EQ(rc, m < pow10(2 * rn - 1)) << what;
      expect_result(rem, na ? -m : m, rn, what);
    } else {
      ASSERT_EQ(rc, 1) << what;
    }
  }
}

TEST_F(PdModel, ShiftsMatchExactArithmetic) {
  gen g(9);
  for (int i = 0; i < cases; ++i) {
    int n = g.len(), t = 2 * n - 1;
    i128 v;
    bool neg;
    pk p = g.operand(n, v, neg);
    int k = g.below(2 * t + 7) - (t + 3);
    bool round = g.below(2);
    pk r = p;
    int rc = round ? pd_shft(r.b, n, k) : pd_shftn(r.b, n, k);
    i128 m = abs128(v), want;
    int ok = 1;
    if (k >= t) {
      want = 0;
      ok = m == 0;
    } else if (k >= 0) {
      ok = m < pow10(t - k);
      want = m % pow10(t - k) * pow10(k);
    } else if (-k > t) {
      want = 0;
    } else {
      want = m / pow10(-k);
      if (round && m / pow10(-k - 1) % 10 >= 5) ++want;
    }
    std::string what = std::string(round ? "shft " : "shftn ") + hex(p) + " by " + std::to_string(k);
    ASSERT_EQ(rc, ok) << what;
    expect_result(r, neg ? -want : want, n, what);
  }
}

TEST_F(PdModel, IntegerConversionsMatchExactArithmetic) {
  gen g(10);
  for (int i = 0; i < cases; ++i) {
    int n = g.len();
    int32_t x;
    switch (g.below(6)) {
      case 0: x = INT32_MIN + g.below(3); break;
      case 1: x = INT32_MAX - g.below(3); break;
      case 2: x = g.below(201) - 100; break;
      default: x = static_cast<int32_t>(static_cast<uint32_t>(g.rng())); break;
    }
    pk p = pack(0, n);
    int rc = pd_cvp(p.b, n, x);
    i128 e = x;
    ASSERT_EQ(rc, abs128(e) < pow10(2 * n - 1)) << x << " into " << n;
    expect_result(p, e, n, std::to_string(x));
    if (rc) {
      ASSERT_EQ(pd_cvb(p.b, n), x);
    }

    i128 v;
    bool neg;
    pk q = g.operand(n, v, neg);
    uint32_t m = static_cast<uint32_t>(static_cast<uint64_t>(abs128(v) % (static_cast<i128>(1) << 32)));
    if (neg) m = 0u - m;
    ASSERT_EQ(pd_cvb(q.b, n), static_cast<int32_t>(m)) << hex(q);
  }
}

TEST_F(PdModel, EveryOperationRefusesADigitHalfAboveNine) {
  gen g(11);
  for (int i = 0; i < cases / 10; ++i) {
    int an = g.len(), bn = g.len();
    i128 va, vb;
    bool na, nb;
    pk a = g.operand(an, va, na), b = g.operand(bn, vb, nb);
    bool bad_a = g.below(2);
    pk& bad = bad_a ? a : b;
    int nib = g.below(2 * bad.n - 1);  // digit positions from the front
    uint8_t d = static_cast<uint8_t>(10 + g.below(6));
    uint8_t& byte = bad.b[nib / 2];
    byte = nib % 2 ? static_cast<uint8_t>((byte & 0xF0) | d) : static_cast<uint8_t>((byte & 0x0F) | (d << 4));
    pk r = a, rem = pack(0, 16);
    std::string what = describe("bad", a, b);
    ASSERT_EQ(pd_add(r.b, an, b.b, bn), 0) << what;
    ASSERT_EQ(pd_sub(r.b, an, b.b, bn), 0) << what;
    ASSERT_EQ(pd_mul(r.b, an, b.b, bn), 0) << what;
    ASSERT_EQ(pd_div(r.b, an, b.b, bn, rem.b, 16), 0) << what;
    ASSERT_EQ(pd_set(r.b, an, bad.b, bad.n), 0) << what;
    ASSERT_EQ(pd_shft(bad.b, bad.n, 1) | pd_shftn(bad.b, bad.n, -1), 0) << what;
    ASSERT_EQ(pd_cvb(bad.b, bad.n), 0) << what;
    ASSERT_EQ(memcmp(r.b, a.b, 16), 0) << what;
    ASSERT_EQ(memcmp(rem.b, pack(0, 16).b, 16), 0) << what;
  }
}

}  // namespace
}  // namespace kivo
