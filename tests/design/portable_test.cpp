// Field conversions of the portable format: every kind there and back over
// random values of every width, the stored texts of the boundary cases, the
// values that cannot be carried, and whole records by the static maps.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "../fm/fm_native_util.h"
#include "../foundation/test_support.h"
#include "compiler/design_records.h"
#include "compiler/stmt_layout.h"
#include "design/mu_internal.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "types/date_mask.h"
#include "types/element.h"
#include "types/std_date.h"

namespace kivo::test {
namespace {

class Portable : public NativeFm {
 protected:
  void SetUp() override {
    NativeFm::SetUp();
    ASSERT_EQ(mu_init(), 1);
  }
  void TearDown() override {
    mu_forget();
    NativeFm::TearDown();
  }
  // One entry at native 0 and portable 0, its portable length computed
  // unless given.
  static tme entry(uint8_t kind, uint16_t nat_len, uint16_t port_len = 0, uint8_t d = 0, uint8_t p = 0) {
    tme t{0, 0, nat_len, port_len, kind, d, p, 0};
    EXPECT_GE(update_tme_blk(&t, 0, d, p), 0);
    return t;
  }
  static std::string to_port(const tme& t, const uint8_t* native) {
    std::string port(t.port_len + 1u, '#');
    EXPECT_EQ(native_to_port(t, native, port.data()), 1) << (captured_errors().empty() ? "" : captured_errors().back());
    EXPECT_EQ(port.back(), ' ');
    port.pop_back();
    return port;
  }
  // native -> portable -> native, the bytes compared.
  static void round_trip(const tme& t, const std::vector<uint8_t>& native, const char* what) {
    const std::string port = to_port(t, native.data());
    std::vector<uint8_t> back(native.size(), 0xEE);
    ASSERT_EQ(port_to_native(t, back.data(), port.data()), 1) << what << " [" << port << "]";
    EXPECT_EQ(back, native) << what << " [" << port << "]";
  }
  std::mt19937 rng{20261207};
};

TEST_F(Portable, BinariesOfEveryWidthAndSignRoundTrip) {
  for (uint8_t kind : {PK_SIGNED, PK_UNSIGNED})
    for (uint16_t width : {1, 2, 4}) {
      const tme t = entry(kind, width);
      EXPECT_EQ(t.port_len, bin_width_digits(width) + 1);
      for (int i = 0; i < 2000; ++i) {
        std::vector<uint8_t> v(width);
        for (auto& b : v) b = static_cast<uint8_t>(rng());
        if (i < 4) std::fill(v.begin(), v.end(), i & 1 ? 0xFF : 0), v.back() ^= i & 2 ? 0x80 : 0;
        round_trip(t, v, "binary");
        // The text is the value's own: negative only for a signed field.
        const bool negative = kind == PK_SIGNED && (v.back() & 0x80);
        EXPECT_EQ(to_port(t, v.data()).back(), negative ? '-' : '+') << int{kind} << " width " << width;
      }
    }
}

TEST_F(Portable, StoredTextsOfTheBoundaryCases) {
  uint8_t n[4] = {};
  st_le16(n, 0, static_cast<uint16_t>(-123));
  EXPECT_EQ(to_port(entry(PK_SIGNED, 2, 6), n), "00123-");
  uint8_t back[4] = {};
  ASSERT_EQ(port_to_native(entry(PK_SIGNED, 2, 6), back, "00123-"), 1);
  EXPECT_EQ(static_cast<int16_t>(ld_le16(back, 0)), -123);
  // The sign of an unsigned field is always "+"; "-" still reads negative.
  n[0] = 200;
  EXPECT_EQ(to_port(entry(PK_UNSIGNED, 1), n), "200+");
  ASSERT_EQ(port_to_native(entry(PK_UNSIGNED, 1), back, "001-"), 1);
  EXPECT_EQ(back[0], 0xFF);

  struct {
    const char* port;
    uint16_t value, kind;
  } occs[] = {{"ALL   ", 0, 3}, {"      ", 0, 2}, {"I1    ", 'I' | ('1' << 8), 1}, {"00012-", 0xFFF4, 0}};
  for (auto& c : occs) {
    uint8_t o[4];
    ASSERT_EQ(port_to_native(entry(PK_OCC, 4), o, c.port), 1) << c.port;
    EXPECT_EQ(ld_le16(o, 0), c.value) << c.port;
    EXPECT_EQ(ld_le16(o, 2), c.kind) << c.port;
    EXPECT_EQ(to_port(entry(PK_OCC, 4), o), c.port);
  }
  for (auto [c, text] : {std::pair{'1', "Y"}, {'0', "N"}, {'x', " "}}) {
    uint8_t l = static_cast<uint8_t>(c);
    EXPECT_EQ(to_port(entry(PK_LOGIC, 1), &l), text);
  }
}

TEST_F(Portable, VerbsByWordAndTheNumbersWithout) {
  const tme t = entry(PK_VERB, 2);
  ASSERT_EQ(t.port_len, 8);
  for (uint16_t v = 0; v < kVerbCount; ++v) {
    uint8_t n[2];
    st_le16(n, 0, v);
    EXPECT_EQ(to_port(t, n), std::string(verb_spell_tbl[v], 8));
    round_trip(t, {n[0], n[1]}, verb_spell_tbl[v]);
  }
  // Past the last word: blanks, read back as no verb; the numbers below 255
  // say they had a number no word spells.
  for (uint16_t v : {105, 200, 254, 255, 1000, 65535}) {
    uint8_t n[2];
    st_le16(n, 0, v);
    captured_errors().clear();
    EXPECT_EQ(to_port(t, n), "        ") << v;
    EXPECT_EQ(captured_errors().size(), v < 255 ? 1u : 0u) << v;
    captured_errors().clear();
    ASSERT_EQ(port_to_native(t, n, "        "), 1);
    EXPECT_EQ(ld_le16(n, 0), 65535);
  }
  uint8_t n[2];
  EXPECT_EQ(port_to_native(t, n, "NOSUCH  "), 0);
  EXPECT_EQ(captured_errors().size(), 1u);
  captured_errors().clear();
}

TEST_F(Portable, PackedFieldsRoundTripAndOddCountsFillTheHighHalfFirst) {
  for (int len = 1; len <= 16; ++len)
    for (int even = 0; even < 2; ++even) {
      const int digits = 2 * len - 1 - even;
      if (digits < 1) continue;
      const tme t = entry(PK_PACKED, static_cast<uint16_t>(len), 0, static_cast<uint8_t>(digits - digits / 3),
                          static_cast<uint8_t>(digits / 3));
      EXPECT_EQ(t.port_len, digits + 1);
      for (int i = 0; i < 200; ++i) {
        std::vector<uint8_t> v(len, 0);
        for (int h = even; h < 2 * len - 1; ++h) v[h / 2] |= static_cast<uint8_t>((rng() % 10) << (h & 1 ? 0 : 4));
        v[len - 1] |= rng() & 1 ? pd_neg_sign() : pd_pos_sign();
        round_trip(t, v, "packed");
      }
    }
  // "123+" in 3 digits of 2 bytes: the first digit in the high half.
  uint8_t p[2] = {0xEE, 0xEE};
  ASSERT_EQ(port_to_native(entry(PK_PACKED, 2, 0, 3, 0), p, "123+"), 1);
  EXPECT_EQ(p[0], 0x12);
  EXPECT_EQ(p[1], 0x30 | pd_pos_sign());
  // A portable field longer than the native one stops at its length.
  uint8_t guard[4] = {0xEE, 0xEE, 0xAA, 0xAA};
  ASSERT_EQ(port_to_native(entry(PK_PACKED, 2, 12, 3, 0), guard, "98765432101-"), 1);
  EXPECT_EQ(guard[2], 0xAA);
  EXPECT_EQ(guard[1] & 0x0F, pd_neg_sign());
}

TEST_F(Portable, VariablePointNumbersWriteWhatTheReaderReads) {
  const tme t = entry(PK_VARPT, 9, 0, 15, 15);
  for (int i = 0; i < 500; ++i) {
    std::vector<uint8_t> v(9, 0);
    for (int h = 0; h < 15; ++h) v[h / 2] |= static_cast<uint8_t>((rng() % 10) << (h & 1 ? 0 : 4));
    v[7] |= rng() & 1 ? pd_neg_sign() : pd_pos_sign();
    v[8] = static_cast<uint8_t>(rng() % 16);
    round_trip(t, v, "variable point");
  }
  std::vector<uint8_t> v(9, 0);
  v[6] = 0x12, v[7] = 0x30 | pd_neg_sign(), v[8] = 2;
  EXPECT_EQ(to_port(t, v.data()).substr(0, 17), "0000000000001.23-");
}

TEST_F(Portable, ValuesThatDoNotFitFailTheField) {
  uint8_t n[4] = {};
  st_le32(n, 0, 1000);
  std::string port(8, ' ');
  struct {
    tme t;
    const char* why;
  } cases[] = {{entry(PK_UNSIGNED, 4, 4), "4 digits in 3"},
               {entry(PK_SIGNED, 2, 3), "1000 in 2 digits"},
               {entry(PK_PACKED, 2, 3, 2, 0), "3 packed digits in 2"}};
  n[0] = 0x12, n[1] = 0x3C;  // the packed case reads these two bytes
  st_le32(n, 0, 1000);
  for (auto& c : cases) {
    uint8_t in[4];
    memcpy(in, n, 4);
    if (c.t.kind == PK_PACKED) in[0] = 0x12, in[1] = static_cast<uint8_t>(0x30 | pd_pos_sign());
    captured_errors().clear();
    EXPECT_EQ(native_to_port(c.t, in, port.data()), 0) << c.why;
    ASSERT_EQ(captured_errors().size(), 1u) << c.why;
    EXPECT_NE(captured_errors()[0].find("field at 0"), std::string::npos) << captured_errors()[0];
  }
  // Reading: past the native width.
  uint8_t b[2];
  EXPECT_EQ(port_to_native(entry(PK_UNSIGNED, 1), b, "300+"), 0);
  EXPECT_EQ(port_to_native(entry(PK_SIGNED, 2), b, "99999+"), 0);
  captured_errors().clear();
}

// A date mask of levels first..last in stored spelling, with a day of year
// in place of month and day when asked.
std::string date_mask(int first, int last, bool doy) {
  std::string m;
  for (int l = first; l >= last; --l) {
    if (doy && l == LVL_MONTH) continue;
    if (doy && l == LVL_DAY) {
      m += "555";
      continue;
    }
    m += std::string(2, static_cast<char>('0' + l));
  }
  m.resize(kDateMaskLen, ' ');
  return m;
}

TEST_F(Portable, DatesOfEveryTypeAndRangeOfLevelsRoundTrip) {
  struct {
    uint8_t type;
    bool doy;
  } types[] = {{DT_TEXT, false},   {DT_TEXT_DOY, true}, {DT_BIN, false},
               {DT_BIN_DOY, true}, {DT_PD, false},      {DT_PD_DOY, true}};
  int tried = 0;
  for (auto& ty : types)
    for (int first = LVL_CENTURY; first >= LVL_HSEC; --first)
      for (int last = first; last >= LVL_HSEC; --last) {
        if (ty.doy && (first < LVL_YEAR || last > LVL_DAY)) continue;
        const std::string mask = date_mask(first, last, ty.doy);
        uint8_t msk[kMskSize];
        const int len =
            msk_compile(mask.data(), ty.type, static_cast<uint8_t>(first), static_cast<uint8_t>(last), 0, msk);
        if (!len) continue;  // a range this form cannot store
        ASSERT_EQ(msk_put(0, msk), 1);
        tme t{0,
              0,
              static_cast<uint16_t>(len),
              0,
              date_kind_of(ty.type),
              static_cast<uint8_t>(first),
              static_cast<uint8_t>(last),
              0};
        ASSERT_GE(update_tme_blk(&t, 0, first, last), 0);
        EXPECT_EQ(t.port_len, (first - last) * 2 + 2);
        for (int i = 0; i < 40; ++i) {
          std_date s{};
          std::vector<uint8_t> v(len, 0);
          s.raw_len = static_cast<uint16_t>(len);
          s.raw = v.data();
          s.mask_len = ld_le16(msk, MSK_MASK_LEN);
          s.mask = reinterpret_cast<const char*>(msk + MSK_MASK);
          s.type = msk[MSK_TYPE], s.doy = msk[MSK_DOY], s.h24 = msk[MSK_H24];
          s.first = static_cast<uint8_t>(first), s.last = static_cast<uint8_t>(last);
          const int8_t parts[8] = {static_cast<int8_t>(19 + rng() % 2), static_cast<int8_t>(rng() % 100),
                                   static_cast<int8_t>(1 + rng() % 12), static_cast<int8_t>(1 + rng() % 28),
                                   static_cast<int8_t>(rng() % 24),     static_cast<int8_t>(rng() % 60),
                                   static_cast<int8_t>(rng() % 60),     static_cast<int8_t>(rng() % 100)};
          for (int l = 8; l >= 1; --l) s.at(l) = l <= first && l >= last ? parts[8 - l] : 0;
          if (i == 0)
            for (int8_t& p : s.part) p = kPartNotGiven;  // the blank date
          if (i == 1)
            for (int8_t& p : s.part) p = 0;  // the empty date
          if (!cv_ston_date(&s)) continue;
          round_trip(t, v, mask.c_str());
          ++tried;
        }
        msk_clear();
      }
  EXPECT_GT(tried, 1000);
}

TEST_F(Portable, ATextDateLongerThanItsDigitsRoundTrips) {
  std::string mask = "8877/66/55 44:33:22.11 written at the end of day";
  mask.resize(kDateMaskLen, ' ');
  uint8_t msk[kMskSize];
  const int len = msk_compile(mask.data(), DT_TEXT, 8, 1, 0, msk);
  ASSERT_GT(len, 40);
  ASSERT_EQ(msk_put(0, msk), 1);
  tme t{0, 0, static_cast<uint16_t>(len), 0, date_kind_of(DT_TEXT), 8, 1, 0};
  update_tme_blk(&t, 0, 8, 1);
  for (int i = 0; i < 50; ++i) {
    std::vector<uint8_t> v(len, ' ');
    std_date s{};
    s.raw_len = static_cast<uint16_t>(len), s.raw = v.data();
    s.mask_len = ld_le16(msk, MSK_MASK_LEN), s.mask = reinterpret_cast<const char*>(msk + MSK_MASK);
    s.type = msk[MSK_TYPE], s.h24 = msk[MSK_H24], s.first = 8, s.last = 1;
    const int8_t parts[8] = {20,
                             static_cast<int8_t>(rng() % 100),
                             static_cast<int8_t>(10 + rng() % 3),
                             static_cast<int8_t>(10 + rng() % 18),
                             static_cast<int8_t>(10 + rng() % 14),
                             static_cast<int8_t>(10 + rng() % 50),
                             static_cast<int8_t>(10 + rng() % 50),
                             static_cast<int8_t>(10 + rng() % 90)};
    memcpy(s.part, parts, sizeof parts);
    ASSERT_EQ(cv_ston_date(&s), 1);
    round_trip(t, v, mask.c_str());
  }
}

TEST_F(Portable, ABadPortableDateFailsOrStoresTheBlankDateWhenAsked) {
  const std::string mask = date_mask(8, 5, false);
  uint8_t msk[kMskSize];
  const int len = msk_compile(mask.data(), DT_PD, 8, 5, 0, msk);
  ASSERT_GT(len, 0);
  ASSERT_EQ(msk_put(0, msk), 1);
  tme t{0, 0, static_cast<uint16_t>(len), 0, date_kind_of(DT_PD), 8, 5, 0};
  update_tme_blk(&t, 0, 8, 5);
  std::vector<uint8_t> v(len, 0x77), blank(len, 0x77);
  ASSERT_EQ(port_to_native(t, blank.data(), "        "), 1);
  captured_errors().clear();
  unsetenv("KIVO_PORTABLE_DATE");
  EXPECT_EQ(port_to_native(t, v.data(), "20261399"), 0);
  EXPECT_EQ(captured_errors().size(), 1u);
  captured_errors().clear();
  setenv("KIVO_PORTABLE_DATE", "1", 1);
  EXPECT_EQ(port_to_native(t, v.data(), "20261399"), 1);
  unsetenv("KIVO_PORTABLE_DATE");
  EXPECT_EQ(v, blank);
  EXPECT_TRUE(captured_errors().empty());
}

TEST_F(Portable, StaticMapsCoverTheirRecordsAndComputeTheirOffsets) {
  struct {
    const port_map* m;
    size_t native, entries, port;
  } maps[] = {{&struct_hdr_map(), 8, 2, 23},
              {&init_hdr_map(), 13, 3, 25},
              {&element_map(), kElementSize, 58, 0},
              {&file_map(), kFileRecSize, 92, 0}};
  for (auto& c : maps) {
    EXPECT_EQ(c.m->common.size(), c.entries);
    std::vector<int> covered(c.native, 0);
    int pos = 0;
    for (const tme& t : c.m->common) {
      EXPECT_EQ(t.port_off, pos);
      pos = t.port_off + t.port_len + 1;
      for (int b = 0; b < t.nat_len; ++b) ++covered.at(t.nat_off + b);
    }
    EXPECT_EQ(std::count(covered.begin(), covered.end(), 1), static_cast<long>(c.native));
    if (c.port) {
      EXPECT_EQ(c.m->port_len, c.port);
    }
    EXPECT_EQ(c.m->port_len, pos - 1);
  }
  // Statements: every sub-list starts at the same portable offset, the SET,
  // IF and ACTION lists as laid out.
  const port_map& s = stmt_map();
  ASSERT_EQ(s.verbs.size(), kVerbCount);
  const uint16_t base = s.verbs[VERB_SET][0].port_off;
  for (auto& list : s.verbs)
    if (!list.empty()) {
      EXPECT_EQ(list[0].port_off, base);
    }
  auto shape = [&](int verb) {
    std::string out;
    for (const tme& t : s.verbs[verb])
      out += std::to_string(t.nat_len) + "/" + std::to_string(t.port_len) + "/" + std::to_string(t.kind) + " ";
    return out;
  };
  EXPECT_EQ(shape(VERB_SET), "4/6/7 3/3/2 23/23/2 4/6/7 3/3/2 23/23/2 4/0/2 ");
  EXPECT_EQ(shape(VERB_IF), "4/6/7 3/3/2 23/23/2 4/6/7 3/3/2 23/23/2 1/4/4 3/0/2 ");
  EXPECT_EQ(shape(VERB_ACTION), "3/3/2 30/30/2 1/4/4 1/1/5 1/4/4 28/22/15 ");
  EXPECT_EQ(shape(VERB_COMMENT), "64/64/2 ");
}

TEST_F(Portable, EntriesPastTheNativeRecordAreSkippedBothWays) {
  port_map m;
  m.common = {tme{0, 0, 4, 0, PK_BYTES, 0, 0, 0}, tme{4, 0, 4, 0, PK_UNSIGNED, 0, 0, 0},
              tme{6, 0, 30, 0, PK_BYTES, 0, 0, 0}};
  ASSERT_EQ(fill_map_offsets(&m), 1);
  // A 6-byte record: the second entry ends at 8, the third at 36.
  std::vector<uint8_t> native = {'a', 'b', 'c', 'd', 1, 2, 0xAA, 0xAA};
  std::string port(m.port_len + 1u, '#');
  testing::internal::CaptureStdout();
  ASSERT_EQ(map_to_port(m, native.data(), 6, port.data()), 1);
  EXPECT_EQ(port.substr(0, 5), "abcd ");
  EXPECT_EQ(port.substr(5, 5), "#####");  // never read from bytes 6 and 7
  std::vector<uint8_t> back(8, 0xAA);
  port.replace(5, 11, "00001+ XXXX");
  ASSERT_EQ(map_to_native(m, back.data(), 6, port.data()), 1);
  const std::string said = testing::internal::GetCapturedStdout();
  EXPECT_EQ(back, (std::vector<uint8_t>{'a', 'b', 'c', 'd', 0xAA, 0xAA, 0xAA, 0xAA}));
  EXPECT_NE(said.find("element beyond end of record - offset 6, len 30, rec_size 6"), std::string::npos) << said;
}

}  // namespace
}  // namespace kivo::test
