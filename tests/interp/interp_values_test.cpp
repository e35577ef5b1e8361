// Comparisons and moves over the field families, COMPUTE and CALC against
// 128-bit references, loops and IDX.
#include <random>

#include "foundation/end_codes.h"
#include "interp/ii_value.h"
#include "interp_test.h"
#include "types/date_mask.h"
#include "types/pd.h"

namespace kivo {
namespace {

using test::bytes;

struct fld {
  uint8_t type, scale;
  bytes v;
  uint8_t mask = 0;  // 1 the text-date mask, 2 the packed-date mask
};

class Values : public test::InterpBase {
 protected:
  // Row i's first operand at a1 + 32i, its second at a2 + 32i.
  inst_buf& two(inst_buf&& b, size_t i, const fld& x, const fld& y, uint16_t xlen = 0) {
    put(a1, 32 * i, x.v);
    put(a2, 32 * i, y.v);
    uint16_t o = static_cast<uint16_t>(32 * i);
    return b.f(1, o, x.type, x.scale, xlen ? xlen : static_cast<uint16_t>(x.v.size()), mask(x.mask))
        .f(2, o, y.type, y.scale, static_cast<uint16_t>(y.v.size()), mask(y.mask));
  }
  // CCYYMMDD compiled for a text (1) or packed (2) date, as a constant.
  uint32_t mask(uint8_t which) {
    if (!which) return 0;
    char mk[kDateMaskLen];
    memset(mk, ' ', sizeof mk), memcpy(mk, "08070605", 8);
    date_msk_blk b{kDateMaskLen, mk, {}, 8, 5, static_cast<uint8_t>(which == 1 ? 4 : 10), 0, 1};
    EXPECT_EQ(cv_cmpl_date_msk(&b), which == 1 ? 8 : 5);
    return bld_cnst(&ctx, reinterpret_cast<uint8_t*>(mk), kDateMaskLen);
  }
};
using InterpCompare = Values;
using InterpMove = Values;
using InterpArith = Values;
using InterpLoop = Values;
using InterpPacked = Values;

const fld A(const char* s) { return {1, 0, bytes(s, s + strlen(s))}; }
// Dates of 2024-03-15 (levels century to day) in each storage form.
const fld T(const char* s) { return {4, 0x85, bytes(s, s + 8), 1}; }
const fld kPd{10, 0x85, {0x02, 0x02, 0x40, 0x31, 0x5C}, 2}, kBin{7, 0x85, {0x8C, 0x46, 0x0B, 0}};
const fld kUni{15, 0x81, {'2', '0', '2', '4', '0', '3', '1', '5', '1', '2', '0', '0', '0', '0', '0', '0'}};

TEST_F(InterpCompare, EveryFamily) {
  // clang-format off
  struct row { fld a, b; uint8_t relop, pad; bool want;
  } rows[] = {
      {A("AB "), A("AB"), 1, 1, true}, {A("AB"), A("ABC"), 1, 1, false}, {A("AB"), A("ABC"), 5, 1, true},
      {A("AB"), A("ABC"), 1, 0, true}, /* cut to the first */ {A("ABC"), A("AB"), 1, 0, false},
      {A("B"), A("AB"), 3, 1, true}, {{5, 0, {0xFB}}, {5, 0, {3}}, 5, 0, true}, /* binary 1: -5 < 3 */
      {{5, 2, {150, 0}}, {5, 1, {15, 0, 0, 0}}, 1, 0, true}, /* 1.50 = 1.5 */
      {{5, 0, {0xFF, 0xFF, 0xFF, 0x7F}}, {5, 0, {0, 0, 0, 0x80}}, 3, 0, true},
      {{8, 1, {0x12, 0x3C}}, {12, 0, {0x01, 0x22, 0x9C, 2}}, 3, 0, true}, /* 12.3 > 12.29 */
      {{8, 0, {0x12, 0x3D}}, {5, 0, {0}}, 5, 0, true}, /* -123 < 0 */
      {{8, 0, {0x00, 0x0D}}, {8, 0, {0x0C}}, 1, 0, true}, /* -0 = 0 */
      {{8, 2, {0x99, 0x9C}}, {12, 0, {0x10, 0x0C, 1}}, 2, 0, false}, /* 9.99 < 10.0 */
      {{11, 0, {'Y'}}, {11, 0, {'Y'}}, 1, 0, true}, {{11, 0, {'N'}}, {11, 0, {'Y'}}, 6, 0, true},
      {A("BC  "), A("ABCD"), 7, 0, true}, {A("   "), A("ABC"), 7, 0, false}, {A("XY"), A("ABC"), 7, 0, false},
      {A("ABCD"), A("ABC"), 7, 0, false}, {A("  "), A("X"), 8, 0, false}, {A(" X"), A("X"), 8, 0, true},
      {{8, 0, {0x00, 0x0C}}, A("X"), 8, 0, false}, {{5, 0, {1, 0}}, A("X"), 8, 0, true},
      {{11, 0, {' '}}, A("X"), 8, 0, false}, {T("20240315"), kPd, 1, 0, true}, {T("20240315"), kBin, 1, 0, true},
      {kPd, kUni, 1, 0, true}, /* over the levels both carry */ {T("20240316"), kBin, 3, 0, true},
      {T("        "), kBin, 5, 0, true}, /* blank lowest */ {T("        "), T("        "), 1, 0, true},
      {T("20241399"), T("        "), 1, 0, true}, /* unreadable sorts as blank */ {T("20240315"), A("X"), 8, 0, true},
      {T("        "), A("X"), 8, 0, false}, {{7, 0x85, {0, 0, 0, 0}}, A("X"), 8, 0, false},
  };
  // clang-format on
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
  // clang-format off
  struct row { fld dst, src; bool ovfl; bool arm;  // dst.v: what the destination holds after the move
  } rows[] = {
      {A("AB  "), A("AB"), false, false}, {A("AB"), A("AB  "), false, false},
      {A("AB"), A("ABC"), false, false}, /* unarmed: cut, no error */
      {A("XY"), A("ABC"), true, true}, /* armed: an overflow, destination kept */
      {{8, 2, {0x01, 0x23, 0x5C}}, {8, 3, {0x12, 0x34, 0x5C}}, false, false}, /* 12.345 -> 12.35 */
      {{8, 2, {0x01, 0x23, 0x5D}}, {8, 3, {0x12, 0x34, 0x5D}}, false, false}, /* half away from zero */
      {{5, 0, {7}}, {5, 0, {200, 0}}, true, true}, /* outside binary 1 */
      {{8, 0, {0x1C}}, {8, 0, {0x99, 0x9C}}, true, true}, /* lost integer digits */
      {{5, 1, {0x7D, 0}}, {12, 0, {0x12, 0x5C, 1}}, false, false}, /* 12.5 into binary scale 1 */
      {{12, 0, {0x00, 0x12, 0x5C, 1}}, {8, 1, {0x12, 0x5C}}, false, false},
      {{8, 1, {0x00, 0x12, 0x5C}}, A(" 12.5 "), false, false}, /* alpha read as a number */
      {{8, 1, {0x00, 0x00, 0x0C}}, A("    "), false, false}, {{8, 1, {0x99, 0x99, 0x9C}}, A("1X"), true, true},
      {A("-12.50  "), {8, 2, {0x01, 0x25, 0x0D}}, false, false}, {A("0.05"), {8, 2, {0x00, 0x5C}}, false, false},
      {A("ZZ"), {8, 0, {0x12, 0x3C}}, true, true}, {{11, 0, {'N'}}, {11, 0, {'N'}}, false, false},
      {kPd, T("20240315"), false, false}, {kBin, kPd, false, false}, {T("20240315"), kBin, false, false},
      {T("20240315"), A("2024031512000000  "), false, false}, /* hour dropped */
      {A("2024031500000000    "), kBin, false, false}, {A("2024031512000000"), kUni, false, false},
      {T("        "), T("        "), false, false}, {A("ZZZZZZZZZZ"), kBin, true, true}, /* alpha under 16 */
      {T("99999999"), T("20241340"), true, true}, {T("99999999"), A("2024031X00000000"), true, true},
      {{8, 0, {0x1C}}, T("20240315"), true, true}, /* any other pair */
      {{11, 0, {'1'}}, A("y"), false, false}, {{11, 0, {'0'}}, A("N  "), false, false},
      {{11, 0, {' '}}, A(" "), false, false}, {{11, 0, {'0'}}, A("YES"), true, true},
      {A("Y  "), {11, 0, {'1'}}, false, false}, {A("N"), {11, 0, {'0'}}, false, false},
      {A("Q"), {11, 0, {'X'}}, true, true},
      {{8, 0, {0x12, 0x34, 0x56, 0x78, 0x90, 0x12, 0x34, 0x56, 0x78, 0x90, 0x12, 0x34, 0x56, 0x78, 0x90, 0x1D}},
       {12, 0, {0x12, 0x34, 0x56, 0x78, 0x90, 0x12, 0x34, 0x56, 0x78, 0x90, 0x12, 0x34, 0x56, 0x78, 0x90, 0x1D, 0}},
       false, false}, /* 31 digits through 128 bits */
      {{8, 0, {0x09, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x9C}}, A("99999999999999999999"), false, false},
  };
  // clang-format on
  std::vector<em_entry> at;
  for (size_t i = 0; i < std::size(rows); ++i) {
    const row& r = rows[i];
    int32_t over = bld_label(&ctx);
    at.push_back(ctx.pos);
    if (r.arm) e(inst_buf(OP_OVFL).to(over));
    fld d = r.dst;
    if (!r.ovfl) std::fill(d.v.begin(), d.v.end(), uint8_t{0xEE});  // overwritten by the move
    e(two(inst_buf(OP_MOVE), i, d, r.src)), e(inst_buf(OP_CODE_END).i(1)), bld_bind(&ctx, over), e(inst_buf(OP_EXIT));
  }
  finish();
  for (size_t i = 0; i < at.size(); ++i) {
    const row& r = rows[i];
    EXPECT_EQ(run(at[i]), r.ovfl ? PI_END_EXIT : PI_END_NORMAL) << "row " << i << err();
    EXPECT_EQ(bytes(a1.begin() + 32 * i, a1.begin() + 32 * i + r.dst.v.size()), r.dst.v) << "row " << i;
  }
}

// OVFL arms one moving instruction only; unarmed overflows are run-time errors.
TEST_F(InterpMove, ArmedTargetClearedAfterMove) {
  int32_t over = bld_label(&ctx);
  e(inst_buf(OP_OVFL).to(over)), e(two(inst_buf(OP_MOVE), 0, {8, 0, {0x1C}}, {8, 0, {0x2C}}));
  e(two(inst_buf(OP_MOVE), 1, {8, 0, {0x1C}}, {8, 0, {0x99, 0x9C}})), e(inst_buf(OP_END));
  bld_bind(&ctx, over), e(inst_buf(OP_EXIT)), finish();
  EXPECT_EQ(run(), PI_END_CANCEL);
  EXPECT_EQ(bytes({a1[0], a1[32]}), bytes({0x2C, 0x1C}));
  EXPECT_EQ(err(), "numeric overflow");
}

__int128 p10(int n) { return n ? 10 * p10(n - 1) : 1; }

// dst (packed, a at scale sd) op b (binary 4, scale sb): exactly num / den,
// rounded half away from zero; false when the quotient is not 15 digits.
bool reference(__int128 a, __int128 b, int sb, char op, int sd, __int128* q) {
  __int128 num = op == '*' ? a * b : op == '/' ? a * p10(sb) : a * p10(sb) + (op == '+' ? b : -b) * p10(sd);
  __int128 den = op == '/' ? b * p10(sd) : p10(sd + sb);
  if (den == 0) return false;
  if (den < 0) num = -num, den = -den;
  __int128 n = num * p10(sd), r = n % den;
  *q = n / den + (2 * (r < 0 ? -r : r) >= den ? (n < 0 ? -1 : 1) : 0);
  return *q > -p10(15) && *q < p10(15);
}

TEST_F(InterpArith, ComputeRoundsLikeReference) {
  struct row {
    int64_t a, b;
    int sb, sd;
    char op;
  };
  // clang-format off
  std::vector<row> rows = {
      {1005, 2, 0, 3, '/'}, {2, 3, 0, 4, '/'}, {-2, 3, 0, 4, '/'}, {1, 8, 0, 2, '/'},
      {-1, 8, 0, 2, '/'}, {10, 15, 3, 2, '*'}, {5, 0, 0, 2, '/'}, {999999999999999, 1, 0, 0, '+'}
  };
  // clang-format on
  std::mt19937_64 rng(11);
  for (int i = 0; i < 80; ++i)
    rows.push_back({static_cast<int64_t>(rng() % 2000001) - 1000000, static_cast<int64_t>(rng() % 20001) - 10000,
                    static_cast<int>(rng() % 4), static_cast<int>(rng() % 5), "+-*/"[i % 4]});
  std::vector<em_entry> at;
  for (size_t i = 0; i < rows.size(); ++i) {
    int32_t over = bld_label(&ctx);
    at.push_back(e(inst_buf(OP_OVFL).to(over)));
    uint16_t o = static_cast<uint16_t>(32 * i);
    e(inst_buf(OP_COMPUTE)
          .f(1, o, 8, static_cast<uint8_t>(rows[i].sd), 8)
          .f(2, o, 5, static_cast<uint8_t>(rows[i].sb), 4)
          .i(static_cast<uint8_t>(rows[i].op)));
    e(inst_buf(OP_END)), bld_bind(&ctx, over), e(inst_buf(OP_EXIT));
  }
  finish();
  for (size_t i = 0; i < rows.size(); ++i) {
    const row& r = rows[i];
    ii_fld dst{a1.data() + 32 * i, 8, static_cast<uint8_t>(r.sd), 8, false, nullptr};
    ASSERT_TRUE(num_put(dst, {r.a, r.sd}));
    st_le32(a2.data(), 32 * i, static_cast<uint32_t>(r.b));
    __int128 want = 0;
    ii_num got{};
    bool ok = reference(r.a, r.b, r.sb, r.op, r.sd, &want);
    EXPECT_EQ(run(at[i]), ok ? PI_END_NORMAL : PI_END_EXIT) << "row " << i;
    EXPECT_TRUE(num_get(dst, &got) && got.v == (ok ? want : r.a)) << "row " << i;
  }
}

// Packed fields of every length: the bytes stored are the digits two to a
// byte with the sign last (reference nibble by nibble), read back as the
// same value; a digit nibble above 9 anywhere is refused.
std::vector<uint8_t> packed_reference(__int128 v, int len) {
  std::vector<uint8_t> nibbles(static_cast<size_t>(2 * len));
  nibbles.back() = v < 0 ? 0x0D : 0x0C;
  unsigned __int128 u = v < 0 ? -static_cast<unsigned __int128>(v) : static_cast<unsigned __int128>(v);
  for (size_t i = nibbles.size() - 1; i-- > 0; u /= 10) nibbles[i] = static_cast<uint8_t>(u % 10);
  std::vector<uint8_t> out;
  for (size_t i = 0; i < nibbles.size(); i += 2) out.push_back(static_cast<uint8_t>(nibbles[i] << 4 | nibbles[i + 1]));
  return out;
}

TEST_F(InterpPacked, EveryLengthStoresTheDigitsAndReadsThemBack) {
  std::mt19937_64 rng(5);
  for (int len = 1; len <= kPdMaxLen; ++len) {
    const __int128 limit = p10(2 * len - 1);
    std::vector<__int128> values = {0, 1, -1, limit - 1, -(limit - 1)};
    for (int i = 0; i < 200; ++i) {
      __int128 v = (static_cast<__int128>(rng()) << 64 | rng()) % limit;
      values.push_back(i % 2 ? v : -v);
    }
    for (__int128 v : values) {
      bytes area(static_cast<size_t>(len), 0xEE);
      const ii_fld f{area.data(), 8, 0, static_cast<uint16_t>(len), false, nullptr};
      ASSERT_TRUE(num_put(f, {v, 0})) << len;
      EXPECT_EQ(area, packed_reference(v, len)) << len;
      ii_num got{};
      ASSERT_TRUE(num_get(f, &got)) << len;
      EXPECT_TRUE(got.v == v) << len;
    }
    bytes area(static_cast<size_t>(len), 0xEE);
    const ii_fld f{area.data(), 8, 0, static_cast<uint16_t>(len), false, nullptr};
    EXPECT_FALSE(num_put(f, {limit, 0})) << len << ": one digit too many";
    for (int nib = 0; nib < 2 * len - 1; ++nib) {
      bytes bad = packed_reference(limit - 1, len);
      bad[static_cast<size_t>(nib / 2)] |= static_cast<uint8_t>(nib % 2 ? 0x0A : 0xA0);
      const ii_fld b{bad.data(), 8, 0, static_cast<uint16_t>(len), false, nullptr};
      ii_num got{};
      EXPECT_FALSE(num_get(b, &got)) << len << " nibble " << nib;
    }
  }
}

// CALC in postfix order: division truncates toward zero; overflow and
// division by zero are run-time errors.
TEST_F(InterpArith, CalcExpressions) {
  // clang-format off
  struct row { std::vector<int> postfix; int32_t want; const char* err; } rows[] = {  // ops as -'+' etc.
      {{7, 5, -'+', 3, -'*', 4, -'/', -9, -'-'}, 18, ""}, {{-7, 2, -'/'}, -3, ""}, {{7, -2, -'/'}, -3, ""},
      {{100, 100, -'*', 100, -'*', 100, -'*', 100, -'*'}, 0, "numeric overflow"}, /* beyond the 4-byte target */
      {{1, 0, -'/'}, 0, "division by zero"}, {{3, -'+'}, 0, "calculation stack empty"}};
  // clang-format on
  std::vector<em_entry> at;
  for (const row& r : rows) {
    at.push_back(ctx.pos);
    for (int t : r.postfix) {
      bool op = t == -'+' || t == -'-' || t == -'*' || t == -'/';
      e(op ? inst_buf(OP_COP).i(static_cast<uint32_t>(-t))
           : inst_buf(OP_CPUSH).k(k(bytes{static_cast<uint8_t>(t), static_cast<uint8_t>(t >> 8)}), 5 | kOpndConst, 0,
                                  2));
    }
    e(inst_buf(OP_CPOP).f(1, 0, 5, 0, 4)), e(inst_buf(OP_END));
  }
  finish();
  for (size_t i = 0; i < at.size(); ++i) {
    EXPECT_EQ(run(at[i]), *rows[i].err ? PI_END_CANCEL : PI_END_NORMAL) << "row " << i;
    EXPECT_EQ(*rows[i].err ? err() : std::to_string(static_cast<int32_t>(ld_le32(a1.data(), 0))),
              *rows[i].err ? rows[i].err : std::to_string(rows[i].want))
        << "row " << i;
  }
}

// BEG LOOP i = from TO to STEP step, all from fields, counting passes;
// a GOTO out of the loop when i equals `stop`.
TEST_F(InterpLoop, PassesStepsAndExits) {
  // clang-format off
  struct row { int8_t from, to, step, stop; int passes; uint32_t code; } rows[] = {
      {1, 10, 1, 99, 10, PI_END_NORMAL}, {10, 1, -1, 99, 10, PI_END_NORMAL}, {10, 1, -3, 99, 4, PI_END_NORMAL},
      {5, 1, 1, 99, 0, PI_END_NORMAL}, {1, 1, 1, 99, 1, PI_END_NORMAL}, {1, 10, 1, 3, 3, PI_END_NORMAL},
      {1, 9, 0, 99, 0, PI_END_CANCEL}, /* a step of 0 from a field */ {1, 10, 1, 3, 3, PI_END_NORMAL}};
  // clang-format on
  int32_t out = bld_label(&ctx);
  e(inst_buf(OP_MOVEK).f(1, 8, 5, 0, 1).k(k(bytes{0}), 5 | kOpndConst, 0, 1));
  em_entry br,
      beg = e(inst_buf(OP_LOOPBEG).f(1, 0, 5, 0, 1).f(1, 20, 5, 0, 1).f(1, 21, 5, 0, 1).f(1, 22, 5, 0, 1).to(out));
  e(inst_buf(OP_COMPUTE).f(1, 8, 5, 0, 1).k(k(bytes{1}), 5 | kOpndConst, 0, 1).i('+'));
  e(inst_buf(OP_CMP).f(1, 0, 5, 0, 1).f(1, 23, 5, 0, 1).i(1)), bld_br_cond(&ctx, &br);
  e(inst_buf(OP_LOOPEND).r(beg)), bld_bind(&ctx, out);
  em_entry end = e(inst_buf(OP_END));
  finish();
  ASSERT_EQ(bld_patch(&ctx, br, 1, end, 0), 1);
  for (const row& r : rows) {
    memcpy(a1.data() + 20, &r.from, 4);
    EXPECT_EQ(run(), r.code) << int{r.from} << " " << int{r.to} << " " << int{r.step};
    EXPECT_EQ(a1[8], r.passes) << int{r.from} << " " << int{r.to} << " " << int{r.step};
  }
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
