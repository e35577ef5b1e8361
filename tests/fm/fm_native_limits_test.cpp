// Native files at their limits: a record longer than the caller's area is
// delivered cut to it and reported, and key numbers the key-file table
// cannot hold are refused at create.
#include "fm_native_util.h"

namespace kivo::test {
namespace {

using FmNativeLimits = NativeFm;

TEST_F(FmNativeLimits, LongRecordsAreCutAndReportedAndKeyNumbersPast15Refused) {
  struct row {
    uint8_t keyno;
    uint16_t area;  // the reader's record length
    uint32_t want;
  } rows[] = {
      {0, kTestRecLen, 0},
      {0, 20, FM_REC_TOO_LONG},
      {0, 1, FM_REC_TOO_LONG},
      {16, kTestRecLen, FM_KEY_NO_DIFF},
      {200, kTestRecLen, FM_KEY_NO_DIFF},
  };
  int n = 0;
  for (const row& r : rows) {
    test_file t(("LIM" + std::to_string(n++)).c_str());
    t.kdb[0].kdb_keyno = r.keyno;
    ARB* a = create(t);
    if (r.want == FM_KEY_NO_DIFF) {
      EXPECT_EQ(a, nullptr) << int(r.keyno);
      EXPECT_EQ(t.fdb.fdb_stat, r.want) << int(r.keyno);
      EXPECT_NE(access(path(("LIM" + std::to_string(n - 1) + ".dat").c_str()).c_str(), F_OK), 0);
      continue;
    }
    ASSERT_NE(a, nullptr) << int(r.keyno) << " " << t.fdb.fdb_stat;
    ASSERT_EQ(put(a, 7, 0x41424344, "a tail of text beyond"), 1);
    uint8_t area[kTestRecLen + 1];
    memset(area, '#', sizeof area);
    memcpy(area, rec_id(7).c_str(), 8);
    a->arb_rec = area, a->arb_len = r.area, a->arb_keyno = r.keyno, a->arb_key = nullptr;
    a->arb_mod = ARB_EQUAL, a->arb_lock_wait = 0;
    EXPECT_EQ(fm_read(a), r.want == 0) << r.area;
    EXPECT_EQ(a->arb_stat, r.want) << r.area;
    EXPECT_EQ(a->arb_var_len, r.area) << "what was delivered";
    EXPECT_EQ(area[std::max<uint16_t>(r.area, 8)], '#') << "nothing past the area";
    EXPECT_EQ(memcmp(area, buf_, r.area), 0);
    FM_CLOSE(a, 0);
  }
}

}  // namespace
}  // namespace kivo::test
