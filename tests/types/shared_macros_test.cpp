// Shared helpers of the data types: the made-up work elements against golden
// bytes at their ELEMENT offsets and the date descriptors of the
// universal and binary stored forms.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "date_test_util.h"
#include "foundation/bytes.h"
#include "types/date_desc.h"
#include "types/element.h"

namespace kivo {
namespace {

class SharedMacros : public date_test::DateTest {};

// A zero record with the given texts at their offsets.
std::vector<uint8_t> golden(std::initializer_list<std::pair<size_t, std::string>> fields) {
  std::vector<uint8_t> g(kElementSize, 0);
  for (auto& [off, bytes] : fields) memcpy(g.data() + off, bytes.data(), bytes.size());
  return g;
}

void expect_bytes(const std::vector<uint8_t>& want, const uint8_t* got) {
  for (size_t i = 0; i < kElementSize; ++i) ASSERT_EQ(want[i], got[i]) << "byte " << i;
}

TEST_F(SharedMacros, ElementDefaultsAtTheirOffsets) {
  uint8_t e[kElementSize];
  memset(e, 0xEE, sizeof e);
  INIT_ALP_DELEM(e, 300);
  expect_bytes(
      golden({{4, "2"}, {52, "\x2C\x01"}, {185, "   "}, {302, "\x01"}, {396, std::string(120, ' ')}, {586, "0"}}), e);
  memset(e, 0xEE, sizeof e);
  INIT_NUM_DELEM(e, 4, 9);
  auto b = [](size_t n) { return std::string(n, ' '); };
  expect_bytes(golden({{5, b(22)},
                       {28, b(22)},
                       {52, "\x04"},
                       {56, b(8)},
                       {95, b(90)},
                       {195, b(60)},
                       {255, b(33)},
                       {302, "\x05"},
                       {303, b(93)},
                       {396, "-9999999999" + b(49)},
                       {456, b(60)},
                       {518, b(60)},
                       {586, "1\x09"}}),
               e);
}

TEST_F(SharedMacros, DateDescriptorsOfTheStoredForms) {
  uint8_t bin[8];
  st_le32(bin, 0, 730116);   // 2000-01-01
  st_le32(bin, 4, 4512345);  // 12:32:03.45
  std_date d;
  ASSERT_EQ(1, GREG_BIN_TO_STD(&d, bin));
  const int8_t want[8] = {20, 0, 1, 1, 12, 32, 3, 45};
  EXPECT_EQ(0, memcmp(want, d.part, 8));
  uint8_t uni[kUniversalLen];
  UNIVERSAL_DATE(&d, uni, kUniversalLen);
  memcpy(d.part, want, 8);
  ASSERT_EQ(1, cv_ston_date(&d));
  EXPECT_EQ("2000010112320345", std::string(reinterpret_cast<char*>(uni), kUniversalLen));
  st_le32(bin, 4, 9000000);  // hour 25
  EXPECT_EQ(0, GREG_BIN_TO_STD(&d, bin));
}

}  // namespace
}  // namespace kivo
