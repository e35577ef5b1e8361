// Number fields shown and entered through masks: rounding and fit, the
// ranges of each kind, refused text leaving the stored value, the mask
// shapes (fills, grouping, signs, currency, credit/debit), the mask grammar,
// the reference value and the text-held numbers.
#include <gtest/gtest.h>
#include <optional>
#include <utility>

#include "../fixtures/hook_override.h"
#include "foundation/foundation.h"
#include "foundation/sys_err.h"
#include "num_test_util.h"

namespace kivo {
namespace {

using numt::field;
using pdt::i128;

class NumConvert : public ::testing::Test {
 protected:
  void SetUp() override { com_fill(0, nullptr); }
};

TEST_F(NumConvert, RoundsHalfAwayAndFillsWhatDoesNotFit) {
  struct row {
    int kind, len, lo;
    i128 value;
    const char* mask;
    const char* shown;
    uint32_t status;
  } rows[] = {
      {NUM_PD_FIX, 4, 3, 12345, "999.99", "12.35 ", 1},
      {NUM_PD_FIX, 4, 3, -1005, "-999.99", "-1.01  ", 1},
      {NUM_PD_FIX, 4, 3, -1004, "-999.99", "-1.00  ", 1},
      {NUM_PD_FIX, 4, 2, 123456, "999.99", "??????", CV_NUM_NO_FIT},  // 1234.56
      {NUM_PD_FIX, 4, 0, -999, "999", "???", CV_NUM_NO_FIT},          // no room for '-'
      {NUM_PD_FIX, 4, 0, -99, "999", "-99", 1},
      {NUM_PD_FIX, 4, 3, 999996, "999.99", "??????", CV_NUM_NO_FIT},  // rounds to 1000.00
      {NUM_BIN1, 1, 0, -128, "-999", "-128", 1},
      {NUM_UBIN4, 4, 2, 429496729, "99,999,999.99", "4,294,967.29 ", 1},
      {NUM_BIN2, 2, 0, 0, "999.99", "0.    ", 1},  // a value without decimals shows none
  };
  for (const row& r : rows) {
    field f(r.kind, r.len, 9, r.lo, r.mask);
    ASSERT_TRUE(f.mask_ok) << r.mask;
    f.put(r.value);
    EXPECT_EQ(f.show(), r.status == 1) << r.mask;
    EXPECT_EQ(f.c.cnv_status, r.status) << r.mask;
    EXPECT_EQ(f.shown(), r.shown) << r.mask << " value " << pdt::str(r.value);
    EXPECT_TRUE(f.guard_intact());
  }
}

TEST_F(NumConvert, EntryOutsideTheKindsRangeIsRefusedAndStoresNothing) {
  struct row {
    int kind, len, hi;
    bool is_signed;
    const char* text;
    uint32_t status;
    i128 stored;
  } rows[] = {
      {NUM_BIN1, 1, 3, true, "128", CV_NUM_TOO_BIG, 0},
      {NUM_BIN1, 1, 3, true, "-129", CV_NUM_TOO_SMALL, 0},
      {NUM_BIN1, 1, 3, true, "127", 1, 127},
      {NUM_BIN1, 1, 3, true, "-128", 1, -128},
      {NUM_UBIN1, 1, 3, false, "256", CV_NUM_TOO_BIG, 0},
      {NUM_UBIN1, 1, 3, false, "-1", CV_NUM_TOO_SMALL, 0},
      {NUM_BIN2, 2, 5, true, "-32769", CV_NUM_TOO_SMALL, 0},
      {NUM_UBIN2, 2, 5, false, "65535", 1, 65535},
      {NUM_BIN4, 4, 10, true, "-2147483648", 1, INT32_MIN},
      {NUM_BIN4, 4, 10, true, "2147483648", CV_NUM_TOO_BIG, 0},
      {NUM_UBIN4, 4, 10, false, "4294967295", 1, 4294967295LL},
      {NUM_UBIN4, 4, 10, false, "4294967296", CV_NUM_TOO_BIG, 0},
      {NUM_PD_FIX, 3, 5, false, "-5", CV_NUM_TOO_SMALL, 0},
      {NUM_PD_FIX, 3, 5, true, "-5", 1, -5},
      {NUM_PD_FIX, 3, 3, true, "1234", CV_NUM_TOO_BIG, 0},  // more integer digits than the element
  };
  for (const row& r : rows) {
    field f(r.kind, r.len, r.hi, 0, "-9999999999");
    f.c.elem_signed = r.is_signed;
    f.put(7);
    EXPECT_EQ(f.enter(r.text), r.status == 1) << r.text;
    EXPECT_EQ(f.c.cnv_status, r.status) << r.text;
    EXPECT_EQ(pdt::str(f.get()), pdt::str(r.status == 1 ? r.stored : 7)) << r.text;
  }
}

TEST_F(NumConvert, TextThatIsNotANumberIsRefusedWithTheValueKept) {
  const char* texts[] = {"1.2.3", "12a", "(12", "--1", "1 2", "-", "12-3", "(5-)", ".", "1,23"};
  for (const char* t : texts) {
    field f(NUM_PD_FIX, 4, 5, 2, "99,999.99");
    f.put(4200);
    EXPECT_EQ(f.enter(t), 0) << t;
    EXPECT_EQ(f.c.cnv_status, CV_NUM_BAD_TEXT) << t;
    EXPECT_EQ(pdt::str(f.get()), "4200") << t;
  }
  field f(NUM_PD_FIX, 4, 5, 2, "999.99");  // more integer digits than the mask
  EXPECT_EQ(f.enter("1234"), 0);
  EXPECT_EQ(f.c.cnv_status, CV_NUM_TOO_BIG);
  // A group cut by the display's end is not a group: the byte behind the
  // display is never read.
  field g(NUM_PD_FIX, 4, 5, 0, "9,999");
  memcpy(g.display, "1,234", 5);
  g.c.ext_len = 4;
  EXPECT_EQ(num_etoi(&g.c), 0);
  // More decimals than the element keeps round half away from zero.
  field h(NUM_PD_FIX, 4, 5, 2, "-999.999");
  EXPECT_EQ(h.enter("-1.005"), 1);
  EXPECT_EQ(pdt::str(h.get()), "-101");
}

TEST_F(NumConvert, MaskShapesShow) {
  struct row {
    const char* mask;
    i128 value;  // two decimals
    bool drcr;
    uint8_t cur_flag;
    const char* shown;
  } rows[] = {
      {"999,999.99", 123456, false, 0, "1,234.56  "},
      {"888,888.99", 123456, false, 0, "  1,234.56"},
      {"***,***.99", 123456, false, 0, "**1,234.56"},
      {"000,000.99", 123456, false, 0, "001,234.56"},
      {"999.0*89", 150, false, 0, "1.50"},
      {"$999.99", -150, false, 0, "$-1.50"},
      {"(999.99)", -150, false, 0, "(1.50)"},
      {"(999.99)", 150, false, 0, " 1.50"},
      {"999.99cr", -150, false, 0, "1.50CR"},
      {"999.99cr", 150, false, 0, "1.50DR"},
      {"999.99dr", -150, false, 0, "1.50DR"},
      {"$999.99$", 150, false, 0, "$1.50"},
      {"$999.99$", 150, false, 1, "1.50$"},
      {"-999.99", 150, true, 0, "   1.50"},
      {"999.99-", -150, true, 0, "  1.50-"},
      {"999.99-", 150, true, 0, "  1.50"},
      {"<999.99>", -5, false, 0, "<.05>"},
  };
  for (const row& r : rows) {
    com.currency_flag = r.cur_flag;
    field f(NUM_PD_FIX, 5, 7, 2, r.mask, true, r.drcr);
    ASSERT_TRUE(f.mask_ok) << r.mask;
    f.put(r.value);
    ASSERT_EQ(f.show(), 1) << r.mask;
    std::string want = r.shown;
    want.resize(f.c.ext_len, ' ');
    EXPECT_EQ(f.shown(), want) << r.mask;  // reading back: the mask corpus round trip
  }
}

TEST_F(NumConvert, MaskGrammarAcceptsAndRefuses) {
  const char* good[] = {"(999.99)",       "-999.99",       "999.99-",  "$9,999.99", "$999.99$",
                        "999,999,998.99", "9,988,8**,*00", ".99",      "999.0*89",  "$_-999.99_ab",
                        "<999>",          "9999cr",        "ab 999 xy"};
  const char* bad[] = {"9,99",  "(999.99", "999 999", "(-999.99)", "-999-", "$$999", "999$$",  "9999,999",
                       "0,999", "99.99)",  "_999_ _", "999(",      "",      "(999>", "9,99*9", "-(999)"};
  for (const char* m : good) EXPECT_TRUE(field(NUM_PD_FIX, 8, 9, 2, m).mask_ok) << m;
  for (const char* m : bad) EXPECT_FALSE(field(NUM_PD_FIX, 8, 9, 2, m).mask_ok) << m;
  field f(NUM_PD_FIX, 8, 9, 2, "$_(9,999.99)_ DR");
  EXPECT_EQ(f.c.msk_int, 4);
  EXPECT_EQ(f.c.msk_dec, 2);
  EXPECT_EQ(f.c.sign_kind, NUM_SIGN_BRACKETS);
  EXPECT_EQ(f.c.cur_kind, NUM_CUR_ONE);
  EXPECT_TRUE(f.c.has_group && f.c.has_point);
  EXPECT_EQ(f.c.zone_lits[0] + f.c.zone_lits[1] * 10 + f.c.zone_lits[2] * 100 + f.c.zone_lits[3] * 1000, 3111);
}

TEST_F(NumConvert, ReferenceValueAndBlankWhenZero) {
  field f(NUM_BIN2, 2, 5, 0, "-99999");
  const uint8_t ref[2] = {0x39, 0x30};  // 12345
  f.c.aux_addr = ref;
  f.c.ref_blank = 1;
  f.put(12345);
  EXPECT_EQ(f.show(), 1);
  EXPECT_EQ(f.shown(), "      ");
  f.put(5);
  EXPECT_EQ(f.enter(""), 1);
  EXPECT_EQ(pdt::str(f.get()), "12345");
  f.c.ref_blank = 0;
  EXPECT_EQ(f.enter(""), 1);
  EXPECT_EQ(pdt::str(f.get()), "0");
  f.c.blank_zero = 1;
  EXPECT_EQ(f.show(), 1);
  EXPECT_EQ(f.shown(), "      ");
}

TEST_F(NumConvert, BadStoredValuesAndLongAssembliesShowQuestionMarks) {
  // A kind-8 decimals byte over 31 is never used as a shift.
  field v(NUM_PD_VAR, 9, 15, 31, "-999.99");
  v.put(5, 32);
  EXPECT_EQ(v.show(), 0);
  EXPECT_EQ(v.c.cnv_status, CV_NUM_NO_FIT);
  EXPECT_EQ(v.shown(), "???????");
  v.put(5, 31);
  EXPECT_EQ(v.show(), 1);
  // A zero takes the mask's decimals, more than the work value holds.
  field z(NUM_PD_VAR, 9, 15, 31, "9." + std::string(40, '0'));
  z.put(0, 0);
  EXPECT_EQ(z.show(), 1);
  EXPECT_EQ(z.shown(), "." + std::string(40, '0') + " ");
  EXPECT_TRUE(z.guard_intact());
  // Digit halves over 9 in a fixed packed value.
  std::optional<kivo_test::scoped_hook<sys_err_presenter>> quiet;
  quiet.emplace(foundation_seams.err_presenter, [](const char*, int, const char*) {});
  const unsigned errors = sys_err_count();
  field p(NUM_PD_FIX, 2, 3, 0, "999");
  p.stored[0] = 0xAB;
  p.stored[1] = 0x1C;
  EXPECT_EQ(p.show(), 0);
  EXPECT_EQ(p.shown(), "???");
  EXPECT_EQ(sys_err_count(), errors + 1);
  // A kind outside 1..8 in either direction.
  p.c.kind = 9;
  EXPECT_EQ(p.show(), 0);
  EXPECT_EQ(p.c.cnv_status, CV_BAD_CNV_TYPE);
  EXPECT_EQ(p.enter("5"), 0);
  EXPECT_EQ(p.c.cnv_status, CV_BAD_CNV_TYPE);
  EXPECT_EQ(p.stored[0], 0xAB);
  EXPECT_EQ(sys_err_count(), errors + 3);
  quiet.reset();
  // Twenty '$' of a 3-character symbol and the words: bounded, then refused.
  memcpy(com.currency, "EUR", 3);
  com.currency_len = 3;
  field w(NUM_PD_FIX, 2, 3, 0, "$9" + std::string(36, 'x') + "cr");
  ASSERT_TRUE(w.mask_ok);
  w.put(5);
  EXPECT_EQ(w.show(), 0);  // 3 + 1 + 36 + 2 = 42 over a display of 40
  EXPECT_EQ(w.shown(), std::string(40, '?'));
  EXPECT_TRUE(w.guard_intact());
}

TEST_F(NumConvert, TextHeldNumbersFailWithoutLosingTheArea) {
  // A text that does not read leaves the area as it was.
  uint8_t area[12];
  memcpy(area, "12x4        ", 12);
  EXPECT_EQ(dyn_aton(area, 12, NUM_PD_FIX, 2), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(area), 12), "12x4        ");
  memcpy(area, "-12.5       ", 12);
  ASSERT_EQ(dyn_aton(area, 12, NUM_PD_FIX, 2), 1);
  EXPECT_EQ(pdt::str(pdt::magnitude(area, 12)), "1250");
  ASSERT_EQ(dyn_ntoa(area, 12, 12, NUM_PD_FIX, 2), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(area), 12), "-12.5       ");
  // A number no mask can show in 3 characters leaves the area too.
  uint8_t big[8];
  memcpy(big, pdt::pack(-123456, 8).b, 8);
  uint8_t before[8];
  memcpy(before, big, 8);
  EXPECT_EQ(dyn_ntoa(big, 8, 3, NUM_PD_FIX, 0), 0);
  EXPECT_EQ(memcmp(big, before, 8), 0);
  // A text-held field shown and entered through its mask.
  field f(NUM_PD_FIX, 10, 7, 2, "-9,999.99");
  f.c.text_held = 1;
  memcpy(f.stored, "1234.5    ", 10);
  EXPECT_EQ(f.show(), 1);
  EXPECT_EQ(f.shown(), " 1,234.50");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(f.stored), 10), "1234.5    ");
  EXPECT_EQ(f.enter("-7.25"), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(f.stored), 10), "-7.25     ");
  EXPECT_EQ(f.enter("x"), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(f.stored), 10), "-7.25     ");
}

}  // namespace
}  // namespace kivo
