// Round trip over a corpus of masks: every value that a mask shows without
// "?" reads back to the same value, rounded to the mask's decimals; under
// the default and other separators, a 3-character currency, both currency
// placements, credit/debit display and the older layouts. Masks translate to
// the user's spelling and back unchanged.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "foundation/bytes.h"
#include "num_test_util.h"

namespace kivo {
namespace {

using numt::field;
using pdt::i128;

std::vector<std::string> mask_corpus() {
  const char* pre[] = {"", "$", "-", "(", "<", "$_-", "$_(", "ab ", "$ "};
  const char* run[] = {"999", "9,999", "999,999,999", "8,888", "**,***", "000", "99,990", "98*", "9,99*,*00"};
  const char* dec[] = {"", ".99", ".9", ".00", ".0*89", ".999"};
  const char* post[] = {"", "-", ")", ">", "cr", "dr", "$", " xy", "_cr", "_-"};
  std::vector<std::string> out;
  for (const char* a : pre)
    for (const char* r : run)
      for (const char* d : dec)
        for (const char* z : post) {
          field f(NUM_PD_FIX, 8, 15, 0, std::string(a) + r + d + z);
          if (f.mask_ok) out.push_back(std::string(a) + r + d + z);
        }
  return out;
}

i128 round_to(i128 v, int from, int to) {
  if (to >= from) return v;
  const i128 p = pdt::pow10(from - to);
  const i128 q = pdt::abs128(v) / p, r = pdt::abs128(v) % p;
  const i128 m = r * 2 >= p ? q + 1 : q;
  return v < 0 ? -m : m;
}

// The range of each binary kind, by kind.
const i128 kLimits[7][2] = {
    {0, 0}, {-128, 127}, {0, 255}, {-32768, 32767}, {0, 65535}, {INT32_MIN, INT32_MAX}, {0, 4294967295LL}};

// One element shape per kind: stored length, integer digits, decimals.
struct shape {
  int kind, len, hi, lo;
  bool is_signed;
};

shape random_shape(std::mt19937_64& g, int kind) {
  const int lo = static_cast<int>(g() % 3);
  switch (kind) {
    case NUM_BIN1:
    case NUM_UBIN1: return {kind, 1, 3 - lo, lo, kind == NUM_BIN1};
    case NUM_BIN2:
    case NUM_UBIN2: return {kind, 2, 5 - lo, lo, kind == NUM_BIN2};
    case NUM_BIN4:
    case NUM_UBIN4: return {kind, 4, 10 - lo, lo, kind == NUM_BIN4};
    case NUM_PD_FIX: {
      const int len = 1 + static_cast<int>(g() % 16);
      const int l = std::min(lo, 2 * len - 2);
      return {kind, len, 2 * len - 1 - l, l, g() % 2 == 0};
    }
    default: {
      const int len = 2 + static_cast<int>(g() % 8);
      return {kind, len, 2 * (len - 1) - 1, 3, true};
    }
  }
}

// A value for the shape (edges of the kind's range come often), and the
// decimals it carries.
i128 random_value(std::mt19937_64& g, const shape& s, int mask_int, int* decimals) {
  *decimals = s.kind == NUM_PD_VAR ? static_cast<int>(g() % 4) : s.lo;
  if (s.kind <= NUM_UBIN4) {
    const i128 lo = kLimits[s.kind][0], hi = kLimits[s.kind][1];
    switch (g() % 4) {
      case 0: return lo;
      case 1: return hi;
      default: return lo + static_cast<i128>(g() % static_cast<uint64_t>(hi - lo + 1));
    }
  }
  int room = s.kind == NUM_PD_FIX ? 2 * s.len - 1 : 2 * (s.len - 1) - 1;
  // Mostly values the mask has room for; now and then any length.
  if (g() % 4 != 0) room = std::max(1, std::min(room, mask_int + *decimals));
  const int digits = 1 + static_cast<int>(g() % static_cast<uint64_t>(room));
  i128 v = 0;
  for (int i = 0; i < digits; ++i) v = v * 10 + static_cast<int>(g() % 10);
  return s.is_signed && g() % 2 ? -v : v;
}

// Rounding to the mask can carry a value out of its kind's range (12.7 in
// a signed byte of one decimal shows as 13): such a text is rightly refused.
bool fits_after_rounding(const shape& s, i128 want, int shown_dec) {
  if (s.kind == NUM_PD_VAR) return true;
  const i128 stored = want * pdt::pow10(std::max(0, s.lo - shown_dec));
  if (s.kind <= NUM_UBIN4) return stored >= kLimits[s.kind][0] && stored <= kLimits[s.kind][1];
  return pdt::abs128(stored) < pdt::pow10(s.hi + s.lo);
}

struct tally {
  int shown = 0, tried = 0;
};

// The property for one mask; failures name the mask, the value and the text.
void check_mask(const std::string& mask, bool drcr, std::mt19937_64& g, tally* t) {
  for (int kind = NUM_BIN1; kind <= NUM_PD_VAR; ++kind) {
    for (int k = 0; k < 6; ++k) {
      const shape s = random_shape(g, kind);
      field out(s.kind, s.len, s.hi, s.lo, mask, s.is_signed, drcr);
      ASSERT_TRUE(out.mask_ok) << mask;
      // Each '$' may show a longer symbol.
      const auto dollars = std::count(mask.begin(), mask.end(), '$');
      out.c.ext_len = static_cast<uint16_t>(mask.size() + dollars * (com.currency_len - 1));
      int dec = 0;
      const i128 v = random_value(g, s, out.c.msk_int, &dec);
      out.put(v, dec);
      ++t->tried;
      if (!out.show()) continue;
      ASSERT_EQ(out.shown().find('?'), std::string::npos) << mask;
      ++t->shown;
      const int shown_dec = std::min<int>(dec, out.c.msk_dec);
      const i128 want = round_to(v, dec, shown_dec);
      if (!fits_after_rounding(s, want, shown_dec)) continue;
      field in(s.kind, s.len, s.hi, s.lo, mask, s.is_signed, drcr);
      in.put(1);
      in.c.ext_len = out.c.ext_len;
      const std::string text = out.shown();
      ASSERT_EQ(in.enter(text), 1) << "mask \"" << mask << "\" kind " << kind << " value " << pdt::str(v) << " dec "
                                   << dec << " shown \"" << text << "\" status " << in.c.cnv_status;
      int back_dec = 0;
      const i128 back = in.get(&back_dec);
      // Compare at the larger of the two scales.
      const int scale = std::max(back_dec, shown_dec);
      ASSERT_EQ(pdt::str(back * pdt::pow10(scale - back_dec)), pdt::str(want * pdt::pow10(scale - shown_dec)))
          << "mask \"" << mask << "\" kind " << kind << " value " << pdt::str(v) << " dec " << dec << " shown \""
          << text << "\"";
    }
  }
}

// Every `stride`-th mask of the corpus.
void check_corpus(bool drcr, uint64_t seed, size_t stride = 1) {
  std::mt19937_64 g(seed);
  tally t;
  const std::vector<std::string> corpus = mask_corpus();
  for (size_t i = 0; i < corpus.size(); i += stride) {
    check_mask(corpus[i], drcr, g, &t);
    if (::testing::Test::HasFatalFailure()) return;
  }
  // Most values show: the property is not met by refusing to show.
  EXPECT_GT(t.shown * 2, t.tried);
}

// Separators and currency as an application's record gives them (bytes 248
// to 250 the symbol, 251 its placement, 252 decimal, 253 thousands): "EUR",
// ',' and '.'.
void take_appl_separators(uint8_t flag) {
  uint8_t appl[512];
  memset(appl, ' ', sizeof appl);
  memcpy(appl + 248, "EUR", 3);
  appl[251] = flag;
  appl[252] = ',';
  appl[253] = '.';
  memcpy(com.currency, appl + 248, 3);
  com.currency_len = 3;
  while (com.currency_len > 0 && com.currency[com.currency_len - 1] == ' ') --com.currency_len;
  com.currency_flag = appl[251];
  com.dec_sep = appl[252];
  com.thou_sep = appl[253];
}

class NumRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override { com_fill(0, nullptr); }
  numt::com_guard guard;
};

TEST_F(NumRoundTrip, EveryValueShownReadsBackThroughEveryMask) {
  ASSERT_GE(mask_corpus().size(), 100u);
  for (uint8_t flag : {0, 1}) {
    com.currency_flag = flag;
    check_corpus(false, 11 + flag);
    check_corpus(true, 21 + flag);
  }
}

TEST_F(NumRoundTrip, OtherSeparatorsCurrencyAndOlderLayouts) {
  for (uint8_t flag : {0, 1}) {
    take_appl_separators(flag);
    for (int layout = 0; layout < 3; ++layout) {
      cv_200_behavior = layout != 0;
      cv_220_behavior = layout == 2;
      check_corpus(false, 100 + layout, 4);  // over 500 masks each
      check_corpus(true, 200 + layout, 4);
      if (HasFatalFailure()) return;
    }
  }
}

TEST_F(NumRoundTrip, MasksTranslateToTheUsersSpellingAndBack) {
  take_appl_separators(0);
  int checked = 0;
  for (const std::string& m : mask_corpus()) {
    if (m.find('$') != std::string::npos) continue;
    uint8_t area[kNumMaskLen + 4];
    memset(area, ' ', kNumMaskLen);
    memcpy(area, m.data(), m.size());
    ASSERT_EQ(cv_unxlate_num_msk(nullptr, area), 1);
    const std::string user(reinterpret_cast<char*>(area), kNumMaskLen);
    EXPECT_EQ(ld_le32(area, kNumMaskLen), 1u);
    ASSERT_EQ(cv_xlate_num_msk(nullptr, area), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(area), m.size()), m) << user;
    ASSERT_EQ(cv_unxlate_num_msk(nullptr, area), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(area), kNumMaskLen), user) << m;
    ++checked;
  }
  EXPECT_GT(checked, 50);
  // The user's spelling of a currency mask: the symbol becomes one '$'.
  uint8_t area[kNumMaskLen + 4];
  memset(area, ' ', kNumMaskLen);
  memcpy(area, "EUR9.999,99 CR", 14);
  cv_xlate_num_msk(nullptr, area);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(area), 12), "$9,999.99 cr");
}

}  // namespace
}  // namespace kivo
