// Segment kinds: every kind orders the same way whether it is named by a
// key file's type byte or by a file-manager compare code.
#include <gtest/gtest.h>

#include <vector>

#include "foundation/com.h"
#include "store/key_segment.h"

namespace kivo {
namespace {

class KeySegment : public ::testing::Test {
 protected:
  void SetUp() override { com_fill(0, nullptr); }
};

TEST_F(KeySegment, EachKindOrdersByItsValue) {
  const struct {
    uint8_t type;
    std::vector<uint8_t> a, b;
    int sign;  // of the comparison of a with b
  } cases[] = {
      // Binary is little-endian (the high byte decides); signed -1 before 0, unsigned after.
      {kSegBinary, {0xFF, 0xFF}, {0, 0}, -1},
      {kSegBinary | kSegUnsigned, {0xFF, 0xFF}, {0, 0}, 1},
      {kSegBinary, {0, 0, 0, 0x80}, {0xFF, 0xFF, 0xFF, 0x7F}, -1},
      {kSegBinary, {1}, {0x80}, 1},
      {kSegBinary | kSegUnsigned, {0xFF, 0x00}, {0x00, 0x01}, -1},
      {kSegBinary | kSegDescending, {5}, {3}, -1},  // 5 before 3
      {kSegChars, {0x80, 0}, {0x7F, 0xFF}, 1},      // unsigned bytes
      {kSegIgnored, {1, 2}, {3, 4}, 0},
      // 12 against -123 and 5 as 2-byte packed (3 digits).
      {kSegPacked, {0x01, 0x2C}, {0x12, 0x3D}, 1},
      {kSegPacked, {0x01, 0x2C}, {0x00, 0x5C}, 1},
      {kSegPacked | kSegDescending, {0x01, 0x2C}, {0x00, 0x5C}, -1},
  };
  for (const auto& c : cases) {
    key_seg s{seg_kind_of_type(c.type), (c.type & kSegDescending) != 0, static_cast<uint16_t>(c.a.size()), 0};
    int r = seg_compare(s, c.a.data(), c.b.data());
    EXPECT_EQ((r > 0) - (r < 0), c.sign) << int(c.type) << " " << int(c.a[0]);
  }
  // Descending reverses only its own segment.
  key_seg segs[2] = {{seg_kind::chars, false, 1, 0}, {seg_kind::chars, true, 1, 1}};
  uint8_t a[] = {'a', 'z'}, b[] = {'a', 'b'}, c[] = {'b', 'z'};
  EXPECT_LT(key_compare(segs, 2, a, b), 0);
  EXPECT_LT(key_compare(segs, 2, a, c), 0);
  EXPECT_EQ(key_compare(segs, 1, a, b), 0);
}

TEST_F(KeySegment, FileManagerCodesMapToTheSameKinds) {
  int w;
  EXPECT_EQ(seg_kind_of_code(1, &w), seg_kind::unsigned_bin);
  EXPECT_EQ(w, 1);
  EXPECT_EQ(seg_kind_of_code(3, &w), seg_kind::unsigned_bin);
  EXPECT_EQ(w, 4);
  EXPECT_EQ(seg_kind_of_code(4, &w), seg_kind::packed);
  EXPECT_EQ(seg_kind_of_code(6, &w), seg_kind::signed_bin);
  EXPECT_EQ(w, 2);
  EXPECT_EQ(seg_kind_of_code(8, &w), seg_kind::chars);
  EXPECT_EQ(seg_kind_of_code(9, &w), seg_kind::invalid);
  EXPECT_EQ(seg_kind_of_code(0, &w), seg_kind::invalid);
  for (seg_kind k :
       {seg_kind::chars, seg_kind::signed_bin, seg_kind::unsigned_bin, seg_kind::packed, seg_kind::ignored})
    for (bool desc : {false, true}) {
      uint8_t t = seg_type_of(k, desc);
      EXPECT_EQ(seg_kind_of_type(t), k);
      EXPECT_EQ((t & kSegDescending) != 0, desc);
    }
  EXPECT_EQ(seg_kind_of_type(5), seg_kind::invalid);
}

TEST_F(KeySegment, LengthsEachKindAllows) {
  EXPECT_TRUE(seg_len_valid(seg_kind::signed_bin, 4));
  EXPECT_FALSE(seg_len_valid(seg_kind::signed_bin, 3));
  EXPECT_TRUE(seg_len_valid(seg_kind::packed, 16));
  EXPECT_FALSE(seg_len_valid(seg_kind::packed, 17));
  EXPECT_FALSE(seg_len_valid(seg_kind::chars, 0));
  EXPECT_FALSE(seg_len_valid(seg_kind::invalid, 1));
}

}  // namespace
}  // namespace kivo
