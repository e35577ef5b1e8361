// The constant area of the common block is addressed by compiled modules:
// its bytes must stand where modules expect them.
#include <cstdlib>
#include <cstring>
#include <utility>

#include "foundation/bytes.h"
#include "test_support.h"

namespace kivo {
namespace {

const uint8_t* area() { return reinterpret_cast<const uint8_t*>(&com); }

TEST(ComConstantArea, PackedBinaryAndTextConstantsAtTheirOffsets) {
  unsetenv("KIVO_PD_SIGNS");
  com_fill(0, nullptr);
  const uint8_t minus1[8] = {0, 0, 0, 0, 0, 0, 0, 0x1D};
  const uint8_t one[8] = {0, 0, 0, 0, 0, 0, 0, 0x1C};
  const uint8_t ten[8] = {0, 0, 0, 0, 0, 0, 0x01, 0x0C};
  const uint8_t day[8] = {0, 0, 0, 0, 0x86, 0x40, 0x00, 0x0C};
  EXPECT_EQ(0, memcmp(area() + 0, minus1, 8));
  EXPECT_EQ(0x0C, area()[9 + 7]);
  EXPECT_EQ(0, memcmp(area() + 18, one, 8));
  EXPECT_EQ(0x2C, area()[27 + 7]);
  EXPECT_EQ(0, memcmp(area() + 36, ten, 8));
  EXPECT_EQ(0, memcmp(area() + 45, day, 8));
  // Binary constants at base plus four times the width.
  EXPECT_EQ(0xFF, area()[60]);
  EXPECT_EQ(0xFFFF, ld_le16(area(), 64));
  EXPECT_EQ(0xFFFFFFFFu, ld_le32(area(), 72));
  EXPECT_EQ(0, area()[80]);
  EXPECT_EQ(1, area()[100]);
  EXPECT_EQ(1u, ld_le32(area(), 112));
  EXPECT_EQ(2, ld_le16(area(), 124));
  EXPECT_EQ(10u, ld_le32(area(), 152));
  // Text constants and the powers of ten.
  EXPECT_EQ('1', area()[156]);
  EXPECT_EQ('0', area()[157]);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(' ', area()[158 + i]);
  EXPECT_EQ(0, memcmp(area() + 414, "   ", 3));
  uint32_t p = 1;
  for (int i = 0; i < 10; ++i, p *= 10) EXPECT_EQ(p, ld_le32(area(), 420 + 4 * i));
}

TEST(ComConstantArea, SignLettersChooseTheSignHalves) {
  setenv("KIVO_PD_SIGNS", "fd", 1);
  com_fill(0, nullptr);
  EXPECT_EQ(0xF, pd_pos_sign());
  EXPECT_EQ(0xD, pd_neg_sign());
  EXPECT_EQ(0x1F, area()[18 + 7]);
  EXPECT_EQ(0x1D, area()[7]);

  // Letters that cannot be sign halves, or the same half twice, keep the defaults.
  for (const char* bad : {"ZZ", "CC", "9D", "C"}) {
    setenv("KIVO_PD_SIGNS", bad, 1);
    com_fill(0, nullptr);
    EXPECT_EQ(0xC, pd_pos_sign()) << bad;
    EXPECT_EQ(0xD, pd_neg_sign()) << bad;
  }
  unsetenv("KIVO_PD_SIGNS");
}

TEST(ComState, ScopeWordsAndTablesAfterStart) {
  com_fill(0, nullptr);
  EXPECT_EQ(com.sys_scope * 1000 + com.proc_scope * 100 + com.subproc_scope * 10 + com.mark_scope, 1111u);
  EXPECT_EQ(0, memcmp(com.month_names[9], "SEPTEMBER ", 10));
  EXPECT_EQ(9, com.month_lens[9]);
  const std::pair<uint8_t, uint8_t> classes[] = {{' ', CC_BLANK},  {'7', CC_DIGIT},  {'_', CC_USCORE},
                                                 {0xB6, CC_PARAG}, {0xA1, CC_PRINT}, {0x7F, CC_OTHER}};
  for (auto [c, cls] : classes) EXPECT_EQ(cls, com.char_class[c]) << int(c);
  EXPECT_EQ(5, com.label_lens[2]);  // "ERROR"
}

}  // namespace
}  // namespace kivo
