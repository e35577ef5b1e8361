// Shared helpers of the data types: the made-up work elements at their
// ELEMENT offsets, the type families, blank masks and the date descriptors
// of the universal and binary stored forms.
#include <cstring>
#include <string>

#include "date_test_util.h"
#include "foundation/bytes.h"
#include "types/date_desc.h"
#include "types/element.h"

namespace kivo {
namespace {

class SharedMacros : public date_test::DateTest {};

std::string text(const uint8_t* e, size_t off, size_t len) {
  return std::string(reinterpret_cast<const char*>(e) + off, len);
}

// Every byte outside the listed fields must be zero.
void expect_zero_outside(const uint8_t* e, std::initializer_list<std::pair<size_t, size_t>> fields) {
  for (size_t i = 0; i < kElementSize; ++i) {
    bool listed = false;
    for (auto& f : fields) listed |= i >= f.first && i < f.first + f.second;
    if (!listed) {
      EXPECT_EQ(0, e[i]) << "byte " << i;
    }
  }
}

TEST_F(SharedMacros, AlphaElementDefaultsAtTheirOffsets) {
  uint8_t e[kElementSize];
  memset(e, 0xEE, sizeof e);
  INIT_ALP_DELEM(e, 300);
  EXPECT_EQ(1, e[302]);
  EXPECT_EQ(0x2C, e[52]);  // 300, little-endian
  EXPECT_EQ(0x01, e[53]);
  EXPECT_EQ('2', e[4]);
  EXPECT_EQ("   ", text(e, 185, 3));
  EXPECT_EQ(std::string(120, ' '), text(e, 396, 120));
  EXPECT_EQ('0', e[586]);
  expect_zero_outside(e, {{4, 1}, {52, 2}, {185, 3}, {302, 1}, {396, 120}, {586, 1}});
}

TEST_F(SharedMacros, NumberElementDefaultsAtTheirOffsets) {
  uint8_t e[kElementSize];
  memset(e, 0xEE, sizeof e);
  INIT_NUM_DELEM(e, 4, 9);
  EXPECT_EQ(5, e[302]);
  EXPECT_EQ(4, ld_le16(e, 52));
  EXPECT_EQ('1', e[586]);
  EXPECT_EQ(9, e[587]);
  EXPECT_EQ(0, e[588]);
  EXPECT_EQ("-9999999999" + std::string(49, ' '), text(e, 396, 60));
  const std::pair<size_t, size_t> blank[] = {{5, 22},   {28, 22},  {56, 8},   {95, 30}, {125, 30}, {155, 30},
                                             {195, 30}, {225, 30}, {255, 3},  {258, 8}, {266, 22}, {303, 60},
                                             {363, 33}, {456, 60}, {518, 30}, {548, 30}};
  for (auto& f : blank) EXPECT_EQ(std::string(f.second, ' '), text(e, f.first, f.second)) << "at " << f.first;
  expect_zero_outside(
      e, {{5, 22},  {28, 22},  {52, 2},  {56, 8},   {95, 30},  {125, 30}, {155, 30}, {195, 30}, {225, 30}, {255, 3},
          {258, 8}, {266, 22}, {302, 1}, {303, 60}, {363, 33}, {396, 60}, {456, 60}, {518, 30}, {548, 30}, {586, 2}});
}

TEST_F(SharedMacros, TypeFamiliesAndBlankMasks) {
  const char* fam = "-AADDNDDNDDLNA-D-";  // by type 0..16: A alpha, D date, N number, L logic
  for (uint8_t t = 0; t <= 16; ++t) {
    char want = fam[t];
    char got = IS_ELEM_ALP(t) ? 'A' : IS_ELEM_DATE(t) ? 'D' : IS_ELEM_NUM(t) ? 'N' : IS_ELEM_LOG(t) ? 'L' : '-';
    EXPECT_EQ(want, got) << "type " << int(t);
    EXPECT_LE(IS_ELEM_ALP(t) + IS_ELEM_DATE(t) + IS_ELEM_NUM(t) + IS_ELEM_LOG(t), 1) << "type " << int(t);
  }
  char m[kMaskLen];
  memset(m, ' ', kMaskLen);
  EXPECT_TRUE(BLANK_MSK(m));
  memset(m, 0, kMaskLen);
  EXPECT_TRUE(BLANK_MSK(m));
  m[59] = ' ';  // mixed NUL and blank is a mask
  EXPECT_FALSE(BLANK_MSK(m));
  memset(m, ' ', kMaskLen);
  m[59] = '9';
  EXPECT_FALSE(BLANK_MSK(m));
}

TEST_F(SharedMacros, DateDescriptorsOfTheStoredForms) {
  uint8_t bin[8];
  st_le32(bin, 0, 730116);   // 2000-01-01
  st_le32(bin, 4, 4512345);  // 12:32:03.45
  std_date d;
  ASSERT_EQ(1, GREG_BIN_TO_STD(&d, bin));
  const int8_t want[8] = {20, 0, 1, 1, 12, 32, 3, 45};
  EXPECT_EQ(0, memcmp(want, d.part, 8));
  EXPECT_EQ(DT_BIN, d.type);
  uint8_t uni[kUniversalLen];
  UNIVERSAL_DATE(&d, uni, kUniversalLen);
  memcpy(d.part, want, 8);
  ASSERT_EQ(1, cv_ston_date(&d));
  EXPECT_EQ("2000010112320345", std::string(reinterpret_cast<char*>(uni), kUniversalLen));
  memcpy(uni, "20240315--------", kUniversalLen);
  UNIVERSAL_DATE(&d, uni, kUniversalLen);
  ASSERT_EQ(1, cv_ntos_date(&d));
  EXPECT_EQ(LVL_DAY, d.last);
  EXPECT_EQ(15, d.part[3]);
  st_le32(bin, 0, 730116);
  st_le32(bin, 4, 9000000);  // hour 25
  EXPECT_EQ(0, GREG_BIN_TO_STD(&d, bin));
}

}  // namespace
}  // namespace kivo
