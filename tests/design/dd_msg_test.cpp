// The design-build message files: MESSAGE1 counting and keeping the highest
// class, MESSAGE2 records of both writers byte for byte, texts cut at 500,
// and design files of "0AD" filed under their source version.
#include "dd_test_util.h"

namespace kivo::test {
namespace {

using DesignMsg = DictFiles;

TEST_F(DesignMsg, CountsFromOneAndKeepsTheHighestClass) {
  DesignBuilder b("APP", "01", kScope);
  dd_ctx c = context(b, "CUSTOMER");
  EXPECT_EQ(summary("CUSTOMER"), (std::pair<int64_t, int64_t>{0, 0}));
  // Class 2, then two of class 1: the 2 stays.
  const uint32_t numbers[] = {100490, 100380, 100540};
  for (uint32_t n : numbers)
    ASSERT_EQ(dd_err(&c, n, DD_KIND_FIELD, reinterpret_cast<const uint8_t*>("RATE                  ")), 1);
  EXPECT_EQ(summary("CUSTOMER"), (std::pair<int64_t, int64_t>{3, 2}));
  auto m = messages();
  ASSERT_EQ(m.size(), 3u);
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(m[i].seq, i + 1);
    EXPECT_EQ(m[i].number, numbers[i]);
  }
  EXPECT_EQ(m[0].cls, 2);
  EXPECT_EQ(m[1].cls, 1);
  EXPECT_EQ(m[0].text.find("text 100490") != std::string::npos, true) << m[0].text;
}

TEST_F(DesignMsg, RecordsOfBothWritersAreExact) {
  DesignBuilder b("APP", "01", kScope);
  dd_ctx c = context(b, "CUSTOMER");
  ASSERT_EQ(dd_err(&c, 100540, DD_KIND_DOMAIN, reinterpret_cast<const uint8_t*>("AMOUNT                ")), 1);
  ASSERT_EQ(dd_err(&c, 100380, DD_KIND_FILE, reinterpret_cast<const uint8_t*>("CUSTOMERXXXX")), 1);
  FDB_PATH p{};
  INIT_DB_PATH(&p, "DB1", "APP", "01", "CUSTOMER", PATH_DATA);
  ASSERT_EQ(db_err(100490, p, m1_, m2_), 1);
  uint8_t r[kMsg2Size];
  auto at = [&](uint32_t seq) {
    memcpy(r, "APP01CUSTOMER   ", 16);
    st_le32(r, M2_SEQ, seq);
    EXPECT_EQ(dd_read(m2_, 0, r, kMsg2Size, false), 1) << seq;
  };
  at(1);
  EXPECT_EQ(text(r, 20), std::string("APP01CUSTOMER   ") + std::string("\x01\0\0\0", 4));
  EXPECT_EQ(text(r + M2_DB, 26), std::string("   \x02") + "AMOUNT                ");
  EXPECT_EQ(text(r + 46, 6), std::string("\0\0\xbc\x88\x01\0", 6));  // 100540
  EXPECT_EQ(ld_le16(r, M2_CLASS), 1);
  at(2);  // a file's subject: its first 8 characters in blanks
  EXPECT_EQ(text(r + M2_SUBJECT, 22), "CUSTOMER              ");
  EXPECT_EQ(r[M2_KIND], DD_KIND_FILE);
  at(3);  // db_err: the path's database, nothing at 23 to 51
  EXPECT_EQ(text(r + M2_DB, 3), "DB1");
  EXPECT_EQ(text(r + 23, 29), std::string(29, '\0'));
  EXPECT_EQ(summary("CUSTOMER"), (std::pair<int64_t, int64_t>{3, 2}));
}

TEST_F(DesignMsg, LongTextCutAt500AndDesignFilesUnderTheirSource) {
  FDB_PATH p{};
  INIT_SRC_PATH(&p, "APP", "01", "FIELD", PATH_DATA);  // "0AD" "00" FIELD of APP 01
  ASSERT_EQ(msg1_start(m1_, m2_, "APP", "01", "FIELD   "), 1);
  ASSERT_EQ(db_err(100999, p, m1_, m2_), 1);
  auto m = messages();
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].text.size(), kMsg2TextMax);
  EXPECT_EQ(m[0].file, "FIELD   ");
  EXPECT_EQ(summary("FIELD"), (std::pair<int64_t, int64_t>{1, 1}));
  // Without its MESSAGE1 record a file takes no message.
  INIT_SRC_PATH(&p, "APQ", "01", "FIELD", PATH_DATA);
  EXPECT_EQ(db_err(100999, p, m1_, m2_), 0);
  EXPECT_EQ(messages().size(), 1u);
  captured_errors().clear();
}

}  // namespace
}  // namespace kivo::test
