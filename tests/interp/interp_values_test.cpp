// Comparisons and moves over the field families, COMPUTE and CALC against
// 128-bit references, loops and IDX.
#include <random>

#include "foundation/end_codes.h"
#include "interp_test.h"

namespace kivo {
namespace {

using test::bytes;

struct fld {
  uint8_t type, scale;
  bytes v;
};

class Values : public test::InterpBase {
 protected:
  // Row i's first operand at a1 + 32i, its second at a2 + 32i.
  inst_buf& two(inst_buf&& b, size_t i, const fld& x, const fld& y, uint16_t xlen = 0) {
    put(a1, 32 * i, x.v);
    put(a2, 32 * i, y.v);
    uint16_t o = static_cast<uint16_t>(32 * i);
    return b.f(1, o, x.type, x.scale, xlen ? xlen : static_cast<uint16_t>(x.v.size()))
        .f(2, o, y.type, y.scale, static_cast<uint16_t>(y.v.size()));
  }
};
using InterpCompare = Values;
using InterpMove = Values;
using InterpArith = Values;
using InterpLoop = Values;

const fld A(const char* s) { return {1, 0, bytes(s, s + strlen(s))}; }

TEST_F(InterpCompare, EveryFamily) {
  struct row {
    fld a, b;
    uint8_t relop, pad;
    bool want;
  } rows[] = {
      {A("AB "), A("AB"), 1, 1, true},
      {A("AB"), A("ABC"), 1, 1, false},
      {A("AB"), A("ABC"), 5, 1, true},
      {A("AB"), A("ABC"), 1, 0, true},  // cut to the first
      {A("ABC"), A("AB"), 1, 0, false},
      {A("B"), A("AB"), 3, 1, true},
      {{5, 0, {0xFB}}, {5, 0, {3}}, 5, 0, true},              // binary 1: -5 < 3
      {{5, 2, {150, 0}}, {5, 1, {15, 0, 0, 0}}, 1, 0, true},  // 1.50 = 1.5
      {{5, 0, {0xFF, 0xFF, 0xFF, 0x7F}}, {5, 0, {0, 0, 0, 0x80}}, 3, 0, true},
      {{8, 1, {0x12, 0x3C}}, {12, 0, {0x01, 0x22, 0x9C, 2}}, 3, 0, true},  // 12.3 > 12.29
      {{8, 0, {0x12, 0x3D}}, {5, 0, {0}}, 5, 0, true},                     // -123 < 0
      {{8, 0, {0x00, 0x0D}}, {8, 0, {0x0C}}, 1, 0, true},                  // -0 = 0
      {{8, 2, {0x99, 0x9C}}, {12, 0, {0x10, 0x0C, 1}}, 2, 0, false},       // 9.99 < 10.0
      {{11, 0, {'Y'}}, {11, 0, {'Y'}}, 1, 0, true},
      {{11, 0, {'N'}}, {11, 0, {'Y'}}, 6, 0, true},
      {A("BC  "), A("ABCD"), 7, 0, true},
      {A("   "), A("ABC"), 7, 0, false},
      {A("XY"), A("ABC"), 7, 0, false},
      {A("ABCD"), A("ABC"), 7, 0, false},
      {A("  "), A("X"), 8, 0, false},
      {A(" X"), A("X"), 8, 0, true},
      {{8, 0, {0x00, 0x0C}}, A("X"), 8, 0, false},
      {{5, 0, {1, 0}}, A("X"), 8, 0, true},
      {{11, 0, {' '}}, A("X"), 8, 0, false},
  };
  std::vector<em_entry> at;
  for (size_t i = 0; i < std::size(rows); ++i) {
    at.push_back(e(two(inst_buf(OP_CMP), i, rows[i].a, rows[i].b).i(rows[i].relop | rows[i].pad << 8)));
    bld_end(&ctx, 0);
  }
  finish();
  for (size_t i = 0; i < at.size(); ++i) {
    EXPECT_EQ(run(at[i]), PI_END_NORMAL) << "row " << i;
    EXPECT_EQ(outcome(), rows[i].want ? 1u : 2u) << "row " << i;
  }
}

TEST_F(InterpMove, EveryPair) {
  struct row {
    fld dst, src;  // dst.v: what the destination holds after the move
    bool ovfl;
    bool arm;
  } rows[] = {
      {A("AB  "), A("AB"), false, false},
      {A("AB"), A("AB  "), false, false},
      {A("AB"), A("ABC"), false, false},                                       // unarmed: cut, no error
      {A("XY"), A("ABC"), true, true},                                         // armed: an overflow, destination kept
      {{8, 2, {0x01, 0x23, 0x5C}}, {8, 3, {0x12, 0x34, 0x5C}}, false, false},  // 12.345 -> 12.35
      {{8, 2, {0x01, 0x23, 0x5D}}, {8, 3, {0x12, 0x34, 0x5D}}, false, false},  // half away from zero
      {{5, 0, {7}}, {5, 0, {200, 0}}, true, true},                             // outside binary 1
      {{8, 0, {0x1C}}, {8, 0, {0x99, 0x9C}}, true, true},                      // lost integer digits
      {{5, 1, {0x7D, 0}}, {12, 0, {0x12, 0x5C, 1}}, false, false},             // 12.5 into binary scale 1
      {{12, 0, {0x00, 0x12, 0x5C, 1}}, {8, 1, {0x12, 0x5C}}, false, false},
      {{8, 1, {0x00, 0x12, 0x5C}}, A(" 12.5 "), false, false},  // alpha read as a number
      {{8, 1, {0x00, 0x00, 0x0C}}, A("    "), false, false},
      {{8, 1, {0x99, 0x99, 0x9C}}, A("1X"), true, true},
      {A("-12.50  "), {8, 2, {0x01, 0x25, 0x0D}}, false, false},
      {A("0.05"), {8, 2, {0x00, 0x5C}}, false, false},
      {A("ZZ"), {8, 0, {0x12, 0x3C}}, true, true},
      {{11, 0, {'N'}}, {11, 0, {'N'}}, false, false},
      {{7, 0, {9, 9, 9, 9}}, {7, 0, {1, 2, 3, 4}}, true, true},  // dates: not moved here
  };
  std::vector<em_entry> at;
  for (size_t i = 0; i < std::size(rows); ++i) {
    const row& r = rows[i];
    int32_t over = bld_label(&ctx);
    at.push_back(ctx.pos);
    if (r.arm) e(inst_buf(OP_OVFL).to(over));
    fld d = r.dst;
    if (!r.ovfl) std::fill(d.v.begin(), d.v.end(), uint8_t{0xEE});  // overwritten by the move
    e(two(inst_buf(OP_MOVE), i, d, r.src));
    e(inst_buf(OP_CODE_END).i(1));
    bld_bind(&ctx, over);
    e(inst_buf(OP_EXIT));
  }
  finish();
  for (size_t i = 0; i < at.size(); ++i) {
    const row& r = rows[i];
    EXPECT_EQ(run(at[i]), r.ovfl ? PI_END_EXIT : PI_END_NORMAL) << "row " << i;
    EXPECT_EQ(bytes(a1.begin() + 32 * i, a1.begin() + 32 * i + r.dst.v.size()), r.dst.v) << "row " << i;
  }
}

// OVFL arms one moving instruction only; unarmed overflows are run-time errors.
TEST_F(InterpMove, ArmedTargetClearedAfterMove) {
  int32_t over = bld_label(&ctx);
  e(inst_buf(OP_OVFL).to(over));
  e(two(inst_buf(OP_MOVE), 0, {8, 0, {0x1C}}, {8, 0, {0x2C}}));
  e(two(inst_buf(OP_MOVE), 1, {8, 0, {0x1C}}, {8, 0, {0x99, 0x9C}}));
  e(inst_buf(OP_END));
  bld_bind(&ctx, over);
  e(inst_buf(OP_EXIT));
  finish();
  EXPECT_EQ(run(), PI_END_CANCEL);
  EXPECT_EQ(a1[0], 0x2C);
  EXPECT_EQ(a1[32], 0x1C);
  EXPECT_EQ(err(), "numeric overflow");
}

// Packed COMPUTE against exact rational rounding in 128 bits.
TEST_F(InterpArith, ComputeRoundsLikeReference) {
  auto pd = [](__int128 v, int len) {
    bytes b(static_cast<size_t>(len));
    uint8_t* p = b.data();
    bool neg = v < 0;
    if (neg) v = -v;
    p[len - 1] = static_cast<uint8_t>((v % 10) << 4 | (neg ? 0xD : 0xC));
    v /= 10;
    for (int i = len - 2; i >= 0; --i, v /= 100) p[i] = static_cast<uint8_t>((v / 10 % 10) << 4 | v % 10);
    return b;
  };
  auto p10 = [](int n) {
    __int128 r = 1;
    while (n--) r *= 10;
    return r;
  };
  // dst = a op b, exactly num/den, rounded half away at scale sd.
  auto expect = [&](__int128 a, int sa, __int128 b, int sb, char op, int sd, __int128* out) {
    __int128 num = 0, den = 0;
    if (op == '+' || op == '-') num = a * p10(sb) + (op == '+' ? 1 : -1) * b * p10(sa), den = p10(sa + sb);
    if (op == '*') num = a * b, den = p10(sa + sb);
    if (op == '/') num = a * p10(sb), den = b * p10(sa);
    if (den == 0) return false;
    if (den < 0) num = -num, den = -den;
    __int128 n = num * p10(sd), q = n / den, r = n % den;
    if (2 * (r < 0 ? -r : r) >= den) q += n < 0 ? -1 : 1;
    *out = q;
    return q > -p10(15) && q < p10(15);
  };
  std::mt19937_64 rng(11);
  const char ops[] = "+-*/";
  struct row {
    __int128 a, b;
    int sa, sb, sd;
    char op;
  };
  std::vector<row> rows = {{1005, 2, 3, 0, 2, '/'}, {2, 3, 0, 0, 4, '/'},     {-2, 3, 0, 0, 4, '/'},
                           {1, 8, 0, 0, 2, '/'},    {-1, 8, 0, 0, 2, '/'},    {10, 15, 0, 3, 2, '*'},
                           {5, 0, 0, 0, 2, '/'},    {999999, 1, 0, 0, 0, '+'}};
  for (int i = 0; i < 80; ++i)
    rows.push_back({static_cast<__int128>(rng() % 2000001) - 1000000, static_cast<__int128>(rng() % 20001) - 10000,
                    static_cast<int>(rng() % 4), static_cast<int>(rng() % 4), static_cast<int>(rng() % 5), ops[i % 4]});
  std::vector<em_entry> at;
  for (size_t i = 0; i < rows.size(); ++i) {
    int32_t over = bld_label(&ctx);
    const row& r = rows[i];
    at.push_back(e(inst_buf(OP_OVFL).to(over)));
    e(two(inst_buf(OP_COMPUTE), i, {8, static_cast<uint8_t>(r.sd), pd(r.a, 8)},
          {8, static_cast<uint8_t>(r.sb), pd(r.b, 8)})
          .i(static_cast<uint8_t>(r.op)));
    e(inst_buf(OP_END));
    bld_bind(&ctx, over);
    e(inst_buf(OP_EXIT));
  }
  finish();
  for (size_t i = 0; i < rows.size(); ++i) {
    row r = rows[i];
    put(a1, 32 * i, pd(r.a, 8));
    // The destination holds a at scale sd; a is read at that scale.
    __int128 want = 0;
    bool ok = expect(r.a, r.sd, r.b, r.sb, r.op, r.sd, &want);
    EXPECT_EQ(run(at[i]), ok ? PI_END_NORMAL : PI_END_EXIT) << "row " << i;
    if (ok) {
      EXPECT_EQ(bytes(a1.begin() + 32 * i, a1.begin() + 32 * i + 8), pd(want, 8)) << "row " << i;
    }
  }
}

// CALC: integers in postfix order against the same expression in C++.
TEST_F(InterpArith, CalcExpressions) {
  std::mt19937 rng(5);
  std::vector<std::pair<em_entry, int64_t>> cases;
  for (int c = 0; c < 30; ++c) {
    cases.push_back({ctx.pos, 0});
    std::vector<int64_t> st;
    int pushed = 0;
    for (int step = 0; step < 9; ++step) {
      if (st.size() < 2 || (pushed < 5 && rng() % 2)) {
        int16_t v = static_cast<int16_t>(rng() % 41) - 20;
        e(inst_buf(OP_CPUSH).k(k(bytes{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}), 5 | kOpndConst, 0, 2));
        st.push_back(v), ++pushed;
        continue;
      }
      char op = "+-*/"[rng() % 4];
      int64_t b = st.back();
      st.pop_back();
      if (op == '/' && b == 0) op = '+';
      e(inst_buf(OP_COP).i(static_cast<uint8_t>(op)));
      st.back() = op == '+' ? st.back() + b : op == '-' ? st.back() - b : op == '*' ? st.back() * b : st.back() / b;
    }
    while (st.size() > 1) {
      int64_t b = st.back();
      st.pop_back();
      st.back() -= b;
      e(inst_buf(OP_COP).i('-'));
    }
    cases.back().second = st.back();
    e(inst_buf(OP_CPOP).f(1, static_cast<uint16_t>(8 * c), 5, 0, 4));
    e(inst_buf(OP_END));
  }
  em_entry div0 = e(inst_buf(OP_CPUSH).k(k(bytes{1, 0}), 5 | kOpndConst, 0, 2));
  e(inst_buf(OP_CPUSH).k(k(bytes{0, 0}), 5 | kOpndConst, 0, 2));
  e(inst_buf(OP_COP).i('/'));
  finish();
  for (size_t c = 0; c < cases.size(); ++c) {
    EXPECT_EQ(run(cases[c].first), PI_END_NORMAL);
    EXPECT_EQ(static_cast<int32_t>(ld_le32(a1.data(), 8 * c)), cases[c].second) << "case " << c;
  }
  EXPECT_EQ(run(div0), PI_END_CANCEL);
  EXPECT_EQ(err(), "division by zero");
}

// BEG LOOP i = from TO to STEP step counting passes into a1 + 8.
TEST_F(InterpLoop, PassesStepsAndExits) {
  struct row {
    int8_t from, to, step;
    int passes;
    bool jump_out;  // a GOTO out when i reaches 3
  } rows[] = {{1, 10, 1, 10, false}, {10, 1, -1, 10, false}, {10, 1, -3, 4, false},
              {5, 1, 1, 0, false},   {1, 1, 1, 1, false},    {1, 10, 1, 3, true}};
  std::vector<em_entry> at;
  auto b1 = [&](int8_t v) { return k(bytes{static_cast<uint8_t>(v)}); };
  for (const row& r : rows) {
    int32_t out = bld_label(&ctx);
    at.push_back(e(inst_buf(OP_MOVEK).f(1, 8, 5, 0, 1).k(b1(0), 5 | kOpndConst, 0, 1)));
    em_entry beg = e(inst_buf(OP_LOOPBEG)
                         .f(1, 0, 5, 0, 1)
                         .k(b1(r.from), 5 | kOpndConst, 0, 1)
                         .k(b1(r.to), 5 | kOpndConst, 0, 1)
                         .k(b1(r.step), 5 | kOpndConst, 0, 1)
                         .to(out));
    e(inst_buf(OP_COMPUTE).f(1, 8, 5, 0, 1).k(b1(1), 5 | kOpndConst, 0, 1).i('+'));
    if (r.jump_out) {
      e(inst_buf(OP_CMPK).f(1, 0, 5, 0, 1).k(b1(3), 5 | kOpndConst, 0, 1).i(1));
      em_entry br;
      bld_br_cond(&ctx, &br);
      e(inst_buf(OP_LOOPEND).r(beg));
      bld_bind(&ctx, out);
      em_entry end = e(inst_buf(OP_END));
      bld_patch(&ctx, br, 1, end, 0);
      continue;
    }
    e(inst_buf(OP_LOOPEND).r(beg));
    bld_bind(&ctx, out);
    e(inst_buf(OP_END));
  }
  em_entry zero = e(inst_buf(OP_LOOPBEG)
                        .f(1, 0, 5, 0, 1)
                        .k(b1(1), 5 | kOpndConst, 0, 1)
                        .k(b1(9), 5 | kOpndConst, 0, 1)
                        .f(1, 16, 5, 0, 1)
                        .r(at[0]));
  finish();
  for (size_t i = 0; i < at.size(); ++i) {
    EXPECT_EQ(run(at[i]), PI_END_NORMAL);
    EXPECT_EQ(a1[8], rows[i].passes) << "row " << i;
  }
  a1[16] = 0;  // a step of 0 from a field
  EXPECT_EQ(run(zero), PI_END_CANCEL);
  EXPECT_EQ(err(), "loop step 0");
}

TEST_F(InterpLoop, IdxInAndOutOfRange) {
  e(inst_buf(OP_IDX).i(2 | 5u << 16).f(1, 100, 8, 0, 2).f(1, 0, 5, 0, 1));
  e(inst_buf(OP_MOVEK).f(kRegArea, 2, 8, 0, 2).k(k(bytes{0x00, 0x7C}), 8 | kOpndConst, 0, 2));
  e(inst_buf(OP_END));
  finish();
  for (int i : {1, 5, 0, 6}) {
    a1[0] = static_cast<uint8_t>(i);
    bool in = i >= 1 && i <= 5;
    EXPECT_EQ(run(), in ? PI_END_NORMAL : PI_END_CANCEL);
    if (in) {
      EXPECT_EQ(a1[100 + 2 * (i - 1) + 1], 0x7C);
    } else {
      EXPECT_EQ(err(), "occurrence " + std::to_string(i) + " of field 1.100 out of range 1-5");
    }
  }
}

}  // namespace
}  // namespace kivo
