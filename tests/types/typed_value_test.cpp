// Typed values into internal form: numbers pointing at the shared constants
// or changing type when they do not fit, the digit bound of get_number,
// logic by the language's letters, alpha, and the constant area of `com`
// left as it was after many conversions.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "foundation/com.h"
#include "pd_test_util.h"
#include "types/element.h"
#include "types/num_convert.h"
#include "types/typed_value.h"

namespace kivo {
namespace {

class TypedValues : public ::testing::Test {
 protected:
  void SetUp() override { com_fill(0, nullptr); }

  static uni_cnv number(uint8_t type, int len, int hi, int lo, bool is_signed, const std::string& text) {
    static std::string keep;
    keep = text;
    uni_cnv c{};
    c.cnv_type = type;
    c.int_len = static_cast<uint16_t>(len);
    c.kind = type == ELEM_BIN ? NUM_BIN2 : type == ELEM_PD_FIX ? NUM_PD_FIX : NUM_PD_VAR;
    c.elem_hi = static_cast<uint8_t>(hi);
    c.elem_lo = static_cast<uint8_t>(lo);
    c.elem_signed = is_signed;
    c.ext_addr = keep.data();
    c.ext_len = static_cast<uint16_t>(keep.size());
    c.int_indirect = 1;
    return c;
  }
};

TEST_F(TypedValues, NumbersShareConstantsOrBecomePackedItems) {
  struct row {
    uint8_t type;
    int len, hi, lo;
    bool is_signed;
    const char* text;
    int keep;
    int result;
    int shared;
    const uint8_t* addr;  // expected shared address, or null
    uint8_t new_type;
    int new_len;
    const char* value;  // the packed value's digits when not shared and not binary
  } rows[] = {
      {ELEM_BIN, 2, 5, 0, true, "-1", 0, 1, 1, com.bin_minus1 + 8, ELEM_BIN, 2, nullptr},
      {ELEM_BIN, 2, 5, 0, true, "40000", 1, 0, 0, nullptr, ELEM_BIN, 2, nullptr},
      {ELEM_BIN, 2, 5, 0, true, "40000", 0, 1, 0, nullptr, ELEM_PD_FIX, 3, "40000"},
      {ELEM_BIN, 2, 5, 0, false, "-1", 1, 0, 0, nullptr, ELEM_BIN, 2, nullptr},
      {ELEM_BIN, 4, 10, 0, true, " 10 ", 1, 1, 1, com.bin_ten + 16, ELEM_BIN, 4, nullptr},
      {ELEM_PD_FIX, 3, 5, 0, true, "10", 1, 1, 1, com.pd_ten + 5, ELEM_PD_FIX, 3, nullptr},
      {ELEM_PD_FIX, 3, 3, 2, true, "12.345", 1, 1, 0, nullptr, ELEM_PD_FIX, 3, "1235"},
      {ELEM_PD_FIX, 3, 3, 2, true, "-1234.5", 1, 0, 0, nullptr, ELEM_PD_FIX, 3, nullptr},
      {ELEM_PD_FIX, 3, 3, 2, true, "-1234.5", 0, 1, 0, nullptr, ELEM_PD_FIX, 3, "-12345"},
      {ELEM_PD_VAR, 9, 15, 3, true, "7.25-", 0, 1, 0, nullptr, ELEM_PD_FIX, 2, "-725"},
  };
  for (const row& r : rows) {
    uni_cnv c = number(r.type, r.len, r.hi, r.lo, r.is_signed, r.text);
    uint8_t shared = 9;
    EXPECT_EQ(cv_get_universal(&c, r.keep, &shared, nullptr), r.result) << r.text;
    if (!r.result) continue;
    EXPECT_EQ(shared, r.shared) << r.text;
    EXPECT_EQ(c.int_indirect, 0);
    if (r.addr) {
      EXPECT_EQ(c.int_addr, r.addr) << r.text;
    }
    EXPECT_EQ(c.cnv_type, r.new_type) << r.text;
    EXPECT_EQ(c.int_len, r.new_len) << r.text;
    if (r.value) {
      pdt::pk p;
      p.n = c.int_len;
      memcpy(p.b, c.int_addr, c.int_len);
      EXPECT_EQ(pdt::str(pdt::value(p)), r.value) << r.text;
    }
  }
}

// An element's constant: a variable-point value in its stored form (digits, then decimals); a number meant for a
// field in the field's type when it fits the element, else packed of its own digits.
TEST_F(TypedValues, ElementConstantsKeepTheStoredFormOrBecomePacked) {
  uint8_t v[kElementSize], out[16];
  INIT_NUM_DELEM(v, 9, 15), v[ELEM_TYPE] = ELEM_PD_VAR;
  ASSERT_EQ(elem_typed_value(v, "-12.345", out), 1);
  const uint8_t want[7] = {0, 0, 0, 0, 0, 0x12, 0x34};
  EXPECT_EQ(memcmp(out, want, 7), 0);
  EXPECT_EQ(out[7], 0x50 | pd_neg_sign());
  EXPECT_EQ(out[8], 3);
  EXPECT_EQ(elem_typed_value(v, "1234567890123456", out), 0);  // 16 digits in 8 bytes
  const struct {
    uint16_t len;
    uint8_t digits;
    char is_signed;
    const char* text;
    uint8_t type;
    uint16_t out_len;
    std::vector<uint8_t> bytes;
  } rows[] = {
      {1, 2, '0', "77", ELEM_BIN, 1, {77}},
      {1, 2, '0', "200", ELEM_PD_FIX, 2, {0x20, 0x0C}},  // past the digits: packed, its range decides
      {1, 2, '0', "-1", ELEM_PD_FIX, 1, {0x1D}},
      {4, 9, '1', "-5", ELEM_BIN, 4, {0xFB, 0xFF, 0xFF, 0xFF}},
  };
  for (const auto& r : rows) {
    uint8_t e[kElementSize];
    elem_number n;
    INIT_NUM_DELEM(e, r.len, r.digits), e[ELEM_SIGNED] = static_cast<uint8_t>(r.is_signed);
    ASSERT_EQ(elem_typed_number(e, r.text, &n), 1) << r.text;
    EXPECT_TRUE(n.type == r.type && n.len == r.out_len && std::vector<uint8_t>(n.bytes, n.bytes + n.len) == r.bytes)
        << r.text;
  }
}

TEST_F(TypedValues, GetNumberReadsItsGrammarWithinThirtyOneDigits) {
  static const std::string nines(29, '9');  // past the element's 27 integer digits
  struct row {
    const char* text;
    int result;
    bool fits;
    const char* value;  // at 2 decimals
  } rows[] = {
      {"", 1, true, "0"},         {"  -12.5  ", 1, true, "-1250"},    {"12,5-", 1, true, "-1250"},
      {"+7", 1, true, "700"},     {nines.c_str(), 1, false, nullptr}, {"1.2.3", 0, false, nullptr},
      {"+-1", 0, false, nullptr}, {"1 2", 0, false, nullptr},         {"-5", 1, false, nullptr},  // unsigned element
  };
  for (const row& r : rows) {
    typed_number t;
    const bool is_signed = std::string(r.text) != "-5";
    ASSERT_EQ(get_number(r.text, static_cast<int>(strlen(r.text)), 27, 2, is_signed, 0, &t), r.result) << r.text;
    if (!r.result) continue;
    EXPECT_EQ(t.fits, r.fits) << r.text;
    if (r.value) {
      pdt::pk p;
      p.n = 16;
      memcpy(p.b, t.value, 16);
      EXPECT_EQ(pdt::str(pdt::value(p)), r.value) << r.text;
    }
  }
  // 31 digits read; 32 are invalid, never wrapped.
  const std::string d31 = std::string(30, '9') + ".9", d32 = std::string(32, '1');
  typed_number t;
  EXPECT_EQ(get_number(d31.data(), 32, 31, 1, true, 0, &t), 1);
  EXPECT_EQ(t.int_digits + t.dec_digits, 31);
  EXPECT_EQ(get_number(d32.data(), 32, 31, 0, true, 0, &t), 0);
  const std::string zeros = std::string(40, '0') + "5";
  EXPECT_EQ(get_number(zeros.data(), 41, 3, 0, true, 0, &t), 1);
  EXPECT_TRUE(t.fits);
}

TEST_F(TypedValues, LogicByTheLanguagesLetters) {
  struct row {
    const char* yes_no;
    const char* text;
    int result;
    const char* target;  // '1', '0' or ' '
  } rows[] = {
      {"yYnN", "Y ", 1, &com.log_true}, {"yYnN", "YES", 0, nullptr},     {"yYnN", "n", 1, &com.log_false},
      {"yYnN", "0", 1, &com.log_false}, {"yYnN", " ", 1, com.blanks},    {"yYnN", "x", 0, nullptr},
      {"jJnN", "j", 1, &com.log_true},  {"jJnN", "y", 1, &com.log_true}, {"nNoO", "n", 1, &com.log_true},
      {"nNoO", "o", 1, &com.log_false}, {"nNoO", "N", 1, &com.log_true}, {"oOnN", "o", 1, &com.log_true},
  };
  for (const row& r : rows) {
    memcpy(com.yes_no, r.yes_no, 4);
    uni_cnv c{};
    c.cnv_type = ELEM_LOG;
    c.int_len = 1;
    c.ext_addr = r.text;
    c.ext_len = static_cast<uint16_t>(strlen(r.text));
    uint8_t shared = 0;
    EXPECT_EQ(cv_get_universal(&c, 1, &shared, nullptr), r.result) << r.yes_no << " " << r.text;
    if (r.result) {
      EXPECT_EQ(c.int_addr, reinterpret_cast<const uint8_t*>(r.target)) << r.yes_no << " " << r.text;
      EXPECT_EQ(shared, 1);
    }
  }
}

TEST_F(TypedValues, AlphaAndManyConversionsLeaveTheConstantsAsTheyWere) {
  uni_cnv a{};
  a.cnv_type = ELEM_ALP;
  a.int_len = 10;
  a.align_mode = 4;
  a.has_mask = 1;
  a.ext_addr = "abc   ";
  a.ext_len = 6;
  ASSERT_EQ(cv_get_universal(&a, 0, nullptr, nullptr), 1);
  EXPECT_EQ(a.int_len, 3);
  EXPECT_EQ(a.align_mode, 1);
  EXPECT_EQ(a.has_mask, 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(a.int_addr), 3), "abc");
  a.int_len = 8;
  ASSERT_EQ(cv_get_universal(&a, 1, nullptr, nullptr), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(a.int_addr), 8), "abc     ");

  uint8_t before[kComConstAreaSize];
  memcpy(before, &com, sizeof before);
  std::mt19937_64 g(5);
  const char alphabet[] = "0123456789-+., yYnN";
  for (int i = 0; i < 100000; ++i) {
    std::string text;
    for (int k = static_cast<int>(g() % 8); k > 0; --k) text += alphabet[g() % (sizeof alphabet - 1)];
    static const uint8_t types[] = {ELEM_BIN, ELEM_PD_FIX, ELEM_PD_VAR, ELEM_LOG};
    const uint8_t type = types[g() % 4];
    const int len = type == ELEM_BIN ? 1 << (g() % 3) : type == ELEM_LOG ? 1 : 2 + static_cast<int>(g() % 7);
    uni_cnv c = number(type, len, 2 * len, static_cast<int>(g() % 2), g() % 2, text);
    cv_get_universal(&c, static_cast<int>(g() % 2), nullptr, nullptr);
  }
  EXPECT_EQ(memcmp(before, &com, sizeof before), 0);
}

}  // namespace
}  // namespace kivo
