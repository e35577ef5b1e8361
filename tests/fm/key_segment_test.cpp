// Segment kinds: every kind orders the same way whether it is named by a
// key file's type byte or by a file-manager compare code.
#include <gtest/gtest.h>

#include "fm/key_segment.h"
#include "foundation/com.h"

namespace kivo {
namespace {

class KeySegment : public ::testing::Test {
 protected:
  void SetUp() override { com_fill(0, nullptr); }
};

int cmp(uint8_t type, int len, std::initializer_list<uint8_t> a, std::initializer_list<uint8_t> b) {
  key_seg s{seg_kind_of_type(type), (type & kSegDescending) != 0, static_cast<uint16_t>(len), 0};
  return seg_compare(s, a.begin(), b.begin());
}

TEST_F(KeySegment, SignedBinaryOrdersMinusOneBeforeZeroAndUnsignedAfter) {
  EXPECT_LT(cmp(kSegBinary, 2, {0xFF, 0xFF}, {0, 0}), 0);
  EXPECT_GT(cmp(kSegBinary | kSegUnsigned, 2, {0xFF, 0xFF}, {0, 0}), 0);
  EXPECT_LT(cmp(kSegBinary, 4, {0, 0, 0, 0x80}, {0xFF, 0xFF, 0xFF, 0x7F}), 0);
  EXPECT_GT(cmp(kSegBinary, 1, {1}, {0x80}), 0);
  // Little-endian: the high byte decides.
  EXPECT_LT(cmp(kSegBinary | kSegUnsigned, 2, {0xFF, 0x00}, {0x00, 0x01}), 0);
}

TEST_F(KeySegment, DescendingReversesOnlyItsOwnSegment) {
  EXPECT_LT(cmp(kSegBinary | kSegDescending, 1, {5}, {3}), 0);  // 5 before 3
  key_seg segs[2] = {{seg_kind::chars, false, 1, 0}, {seg_kind::chars, true, 1, 1}};
  uint8_t a[] = {'a', 'z'}, b[] = {'a', 'b'}, c[] = {'b', 'z'};
  EXPECT_LT(key_compare(segs, 2, a, b), 0);
  EXPECT_LT(key_compare(segs, 2, a, c), 0);
  EXPECT_EQ(key_compare(segs, 1, a, b), 0);
}

TEST_F(KeySegment, CharactersCompareUnsignedBytewise) {
  EXPECT_GT(cmp(kSegChars, 2, {0x80, 0}, {0x7F, 0xFF}), 0);
  EXPECT_EQ(cmp(kSegIgnored, 2, {1, 2}, {3, 4}), 0);
}

TEST_F(KeySegment, PackedComparesAsNumbers) {
  // 12 and -123 and 5 as 2-byte packed (3 digits).
  EXPECT_GT(cmp(kSegPacked, 2, {0x01, 0x2C}, {0x12, 0x3D}), 0);
  EXPECT_GT(cmp(kSegPacked, 2, {0x01, 0x2C}, {0x00, 0x5C}), 0);
  EXPECT_LT(cmp(kSegPacked | kSegDescending, 2, {0x01, 0x2C}, {0x00, 0x5C}), 0);
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
