// The interpreter's fast shapes (packed fields of up to 9 bytes worked on in
// their digits, 4-byte binary loop indexes) against the general codecs as
// the reference: the same bytes stored, the same outcomes, the same
// overflows, over random values of every length, scale and sign nibble.
#include <random>

#include "foundation/end_codes.h"
#include "interp/ii_value.h"
#include "interp_test.h"

namespace kivo {
namespace {

using test::bytes;

// A packed operand: its scale byte (decimals, kOpndNoSign for a field
// without sign) and its stored bytes.
struct pk {
  uint8_t scale;
  bytes v;
  int decimals() const { return scale & 0x7F; }
  bool is_signed() const { return !(scale & kOpndNoSign); }
};

ii_fld as_fld(uint8_t* p, const pk& x) {
  ii_fld f{p, 8, static_cast<uint8_t>(x.decimals()), static_cast<uint16_t>(x.v.size()), false, nullptr};
  f.no_sign = !x.is_signed();
  return f;
}

// Random bytes of a packed field of `len` bytes: digits, mostly within
// the field's range, with every sign nibble the readers take (and, one in
// forty, a digit nibble above 9 that the general path refuses).
bytes random_packed(std::mt19937_64& rng, size_t len, bool bad_ok) {
  bytes b(len);
  const int kind = static_cast<int>(rng() % 8);
  for (size_t i = 0; i < len; ++i) {
    const unsigned hi = kind == 0 ? 9 : kind == 1 ? 0 : static_cast<unsigned>(rng() % 10);
    const unsigned lo = kind == 0 ? 9 : kind == 1 ? 0 : static_cast<unsigned>(rng() % 10);
    b[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  static const uint8_t kSigns[] = {0xC, 0xD, 0xF, 0xB, 0xA, 0xE, 0xC, 0xD};
  b[len - 1] = static_cast<uint8_t>((b[len - 1] & 0xF0) | kSigns[rng() % 8]);
  if (bad_ok && rng() % 40 == 0) b[rng() % len] |= 0xA0;
  return b;
}

pk random_operand(std::mt19937_64& rng, bool bad_ok = true) {
  const size_t len = 1 + rng() % 9;
  uint8_t scale = static_cast<uint8_t>(rng() % 5);
  if (rng() % 4 == 0) scale |= kOpndNoSign;
  return {scale, random_packed(rng, len, bad_ok)};
}

class InterpFastPath : public test::InterpBase {
 protected:
  inst_buf& pair(inst_buf&& b, size_t i, const pk& x, const pk& y) {
    put(a1, 32 * i, x.v);
    put(a2, 32 * i, y.v);
    const uint16_t o = static_cast<uint16_t>(32 * i);
    return b.f(1, o, 8, x.scale, static_cast<uint16_t>(x.v.size()))
        .f(2, o, 8, y.scale, static_cast<uint16_t>(y.v.size()));
  }
};

// The general reference: both read, the exact result at the larger scale
// rounded to the field's, stored through the field's range; false for an
// overflow (a refused operand, a result the field does not hold).
bool compute_reference(const pk& x, const pk& y, char op, bytes* out) {
  *out = x.v;
  bytes yv = y.v;
  ii_num a, b;
  if (!num_get(as_fld(out->data(), x), &a) || !num_get(as_fld(yv.data(), y), &b)) return false;
  const int s = std::max(a.scale, b.scale);
  __int128 u, w, r;
  if (!num_rescale(a.v, a.scale, s, &u) || !num_rescale(b.v, b.scale, s, &w)) return false;
  if (!num_rescale(op == '+' ? u + w : u - w, s, x.decimals(), &r)) return false;
  return num_put_at(as_fld(out->data(), x), r, x.decimals());
}

TEST_F(InterpFastPath, ComputeStoresWhatTheGeneralCodecsStore) {
  std::mt19937_64 rng(79);
  struct row {
    pk x, y;
    char op;
  };
  std::vector<row> rows = {
      {{4, {0x00, 0x00, 0x01, 0x00, 0x0C}}, {4, {0x00, 0x13, 0x7C}}, '+'},  // 1 + 0.0137
      {{4, {0x99, 0x99, 0x99, 0x99, 0x9C}}, {4, {0x00, 0x00, 0x1C}}, '+'},  // one past the digits
      {{0, {0x00, 0x5D}}, {0, {0x00, 0x5C}}, '+'},                          // -5 + 5: a positive zero
      {{kOpndNoSign, {0x00, 0x3C}}, {0, {0x00, 0x4C}}, '-'},                // below zero, no sign
      {{2, {0x12, 0x3C}}, {4, {0x00, 0x15, 0x5C}}, '+'},                    // more decimals: rounded
      {{0, bytes(9, 0x99)}, {0, {0x1C}}, '-'},                              // 17 digits, 9 bytes
      {{0, {0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x9D}}, {0, {0x1C}}, '-'},
  };
  rows[5].x.v.back() = 0x9C;
  for (int i = 0; i < 120; ++i) rows.push_back({random_operand(rng), random_operand(rng), "+-"[i % 2]});
  std::vector<em_entry> at;
  for (size_t i = 0; i < rows.size(); ++i) {
    const int32_t over = bld_label(&ctx);
    at.push_back(e(inst_buf(OP_OVFL).to(over)));
    e(pair(inst_buf(OP_COMPUTE), i, rows[i].x, rows[i].y).i(static_cast<uint8_t>(rows[i].op)));
    e(inst_buf(OP_END)), bld_bind(&ctx, over), e(inst_buf(OP_EXIT));
  }
  finish();
  for (size_t i = 0; i < rows.size(); ++i) {
    bytes want;
    const bool ok = compute_reference(rows[i].x, rows[i].y, rows[i].op, &want);
    EXPECT_EQ(run(at[i]), ok ? PI_END_NORMAL : PI_END_EXIT) << "row " << i;
    EXPECT_EQ(bytes(a1.begin() + 32 * i, a1.begin() + 32 * i + rows[i].x.v.size()), ok ? want : rows[i].x.v)
        << "row " << i;
  }
}

TEST_F(InterpFastPath, CompareGivesTheGeneralOrder) {
  std::mt19937_64 rng(80);
  struct row {
    pk x, y;
    uint8_t relop;
  };
  std::vector<row> rows = {
      {{0, {0x00, 0x0D}}, {0, {0x0C}}, 1},                    // -0 = 0
      {{4, {0x50, 0x00, 0x00, 0x0C}}, {0, {0x50, 0x0C}}, 1},  // 500.0000 = 500
      {{4, {0x50, 0x00, 0x00, 0x1C}}, {0, {0x50, 0x0C}}, 3},  // 500.0001 > 500
      {{0, {0x1D}}, {0, {0x0C}}, 5},                          // -1 < 0
      {{0, bytes(9, 0x99)}, {15, {0x1C}}, 3},                 // 17 digits against 15 decimals
  };
  for (int i = 0; i < 120; ++i)  // rows of 32 bytes within the areas
    rows.push_back({random_operand(rng, false), random_operand(rng, false), static_cast<uint8_t>(1 + rng() % 6)});
  std::vector<em_entry> at;
  for (size_t i = 0; i < rows.size(); ++i) {
    at.push_back(e(pair(inst_buf(OP_CMP), i, rows[i].x, rows[i].y).i(rows[i].relop)));
    bld_end(&ctx, 0);
  }
  finish();
  for (size_t i = 0; i < rows.size(); ++i) {
    ii_num a, b;
    ASSERT_TRUE(num_get(as_fld(rows[i].x.v.data(), rows[i].x), &a) &&
                num_get(as_fld(rows[i].y.v.data(), rows[i].y), &b));
    const int c = num_cmp(a, b);
    const bool want[] = {false, c == 0, c >= 0, c > 0, c <= 0, c < 0, c != 0};
    EXPECT_EQ(run(at[i]), PI_END_NORMAL) << "row " << i;
    EXPECT_EQ(outcome(), want[rows[i].relop] ? 1u : 2u) << "row " << i;
  }
}

// Loops over a 4-byte binary index up to a binary or packed limit, by
// steps either way: the number of passes and the index they leave, and an
// index that would leave its range stops the run.
TEST_F(InterpFastPath, LoopStepsLikeTheModel) {
  struct row {
    int64_t from, step;
    bytes limit;  // 4 bytes: binary; otherwise packed
    bool no_sign;
    int64_t passes, last;  // passes < 0: a run-time error
  };
  auto bin = [](int64_t v) {
    bytes b(4);
    st_le32(b.data(), 0, static_cast<uint32_t>(v));
    return b;
  };
  const row rows[] = {
      {1, 1, bin(10), false, 10, 11},
      {10, -3, bin(1), false, 4, -2},
      {1, 1, {0x00, 0x10, 0x0C}, false, 100, 101},     // a packed limit of 100
      {5, 2, {0x00, 0x4C}, false, 0, 5},               // past the limit at once: the body never runs
      {2147483640, 5, bin(2147483647), false, -1, 0},  // the index would overflow
      {0, 1, {0x00, 0x3C}, true, 4, 4},
      {3, -1, {0x00, 0x0C}, true, -1, 0},  // unsigned below 0
  };
  const uint16_t idx = 0, lim = 8, step = 16, count = 24;  // offsets in area 1, per row block of 32
  std::vector<em_entry> at;
  for (size_t i = 0; i < std::size(rows); ++i) {
    const row& r = rows[i];
    const uint16_t o = static_cast<uint16_t>(64 * i);
    const uint8_t sign = r.no_sign ? kOpndNoSign : 0;
    put(a1, o + step, bin(r.step));
    put(a1, o + lim, r.limit);
    put(a1, o + count, {0x00, 0x00, 0x0C});
    put(a1, o + 32, bin(r.from));
    const bool packed = r.limit.size() != 4;
    const int32_t out = bld_label(&ctx);
    const em_entry beg = e(inst_buf(OP_LOOPBEG)
                               .f(1, o + idx, 5, sign, 4)
                               .f(1, o + 32, 5, sign, 4)
                               .f(1, o + lim, packed ? 8 : 5, 0, static_cast<uint16_t>(r.limit.size()))
                               .f(1, o + step, 5, 0, 4)
                               .to(out));
    at.push_back(beg);
    const uint32_t one = k(bytes{0x1C});
    e(inst_buf(OP_COMPUTE).f(1, o + count, 8, 0, 3).k(one, 8 | kOpndConst, 0, 1).i('+'));
    e(inst_buf(OP_LOOPEND).r(beg)), bld_bind(&ctx, out), e(inst_buf(OP_END));
  }
  finish();
  for (size_t i = 0; i < std::size(rows); ++i) {
    const row& r = rows[i];
    const size_t o = 64 * i;
    const uint32_t end = run(at[i]);
    if (r.passes < 0) {
      EXPECT_NE(end, PI_END_NORMAL) << "row " << i;
      EXPECT_EQ(err(), "numeric overflow") << "row " << i;
      continue;
    }
    ii_num n;
    ASSERT_TRUE(num_get({a1.data() + o + count, 8, 0, 3, false, nullptr}, &n));
    EXPECT_EQ(end, PI_END_NORMAL) << "row " << i;
    EXPECT_EQ(static_cast<int64_t>(n.v), r.passes) << "row " << i;
    EXPECT_EQ(static_cast<int32_t>(ld_le32(a1.data(), o + idx)), r.last) << "row " << i;
  }
}

}  // namespace
}  // namespace kivo
