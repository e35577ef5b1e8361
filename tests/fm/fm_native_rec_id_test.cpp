// A read by record id on a native file: the stream's record id names the
// record delivered and the hold is on it, while the key path stays where
// the last keyed read left it.
#include "fm_native_util.h"

namespace kivo::test {
namespace {

using FmNativeRecId = NativeFm;

TEST_F(FmNativeRecId, ReadByIdNamesAndHoldsTheRecordReadAndKeepsThePath) {
  test_file t("BYID");
  ARB* a = create(t);
  ASSERT_NE(a, nullptr);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(put(a, i, uint32_t(10 * i)), 1);
  ASSERT_EQ(get(a, 0), 1);
  const std::vector<uint8_t> first(a->arb_rec_id_area, a->arb_rec_id_area + a->arb_rec_id_len);
  a->arb_mod = 0;
  ASSERT_EQ(fm_rdnxt(a), 1);
  ASSERT_EQ(fm_rdnxt(a), 1);  // the path now on the last record
  memcpy(a->arb_rec_id_area, first.data(), first.size());
  a->arb_mod = ARB_REC_ID | ARB_HOLD;
  ASSERT_EQ(fm_read(a), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf_), 8), rec_id(0));
  EXPECT_EQ(std::vector<uint8_t>(a->arb_rec_id_area, a->arb_rec_id_area + a->arb_rec_id_len), first);
  // The rewrite goes to the record read by id, not to the path's last one.
  st_le32(buf_, 8, 99);
  a->arb_mod = 0, a->arb_var_len = kTestRecLen;
  ASSERT_EQ(fm_rewrite(a), 1) << a->arb_stat;
  ASSERT_EQ(get(a, 0), 1);
  EXPECT_EQ(counter(), 99u);
  ASSERT_EQ(get(a, 2), 1);
  EXPECT_EQ(counter(), 20u);
  // A read-next after a read by id goes on from the keyed path.
  ASSERT_EQ(get(a, 1), 1);
  memcpy(a->arb_rec_id_area, first.data(), first.size());
  a->arb_mod = ARB_REC_ID;
  ASSERT_EQ(fm_read(a), 1);
  a->arb_mod = 0;
  ASSERT_EQ(fm_rdnxt(a), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf_), 8), rec_id(2));
  FM_CLOSE(a, 0);
}

}  // namespace
}  // namespace kivo::test
