// The read-ahead hint: whatever seek it is given (a record, the middle of
// one, the end of the file, past it, before any mapping; a keyed file and
// a fixed one without keys), it changes nothing
// a caller sees: the status, the read that follows, the record count.
#include <gtest/gtest.h>

#include "foundation/foundation.h"
#include "record_test_util.h"
#include "store_test_util.h"

namespace kivo {
namespace {

TEST(PrefetchHint, AnySeekLeavesStatusAndReadsAsTheyWere) {
  com_fill(0, nullptr);
  brfinit();
  test::scratch_dir dir;
  struct row {
    const char* what;
    uint16_t mode;
    uint32_t rec_len;
  } const rows[] = {{"keyed", BRF_CREATE, 0}, {"fixed without keys", BRF_CREATE | BRF_NO_KEYS, 64}};
  for (const row& w : rows) {
    SCOPED_TRACE(w.what);
    int st;
    BRF_FILE* f = brfopen(&st, dir.file(w.what).c_str(), w.mode, w.rec_len, false);
    ASSERT_NE(f, nullptr);
    BRF_RCB* r = brfaccess(&st, f, 0, false);
    ASSERT_NE(r, nullptr);
    if (!(w.mode & BRF_NO_KEYS)) {
      ASSERT_EQ(brf_upd_ver(f), BRF_OK);
      ASSERT_EQ(test::set_three_keys(r), BRF_OK);
    }
    brfprefetch(r, 0);  // nothing mapped yet
    std::vector<uint32_t> seeks;
    for (uint32_t id = 1; id <= 50; ++id) {
      std::vector<uint8_t> v = test::make_rec(id, "", 0, 46, 'r');
      ASSERT_EQ(brfput(r, v.data(), static_cast<uint32_t>(v.size())), BRF_OK);
      seeks.push_back(static_cast<uint32_t>(r->last_seek));
    }
    uint8_t buf[128];
    uint32_t len = 0;
    ASSERT_EQ(brfgetat(r, seeks[7], buf, sizeof buf, &len), BRF_OK);
    r->status = 0;
    for (uint32_t seek : {seeks[3], seeks[3] + 5, seeks.back(), seeks.back() + 4096, 0xFFFFFF00u, 0xFFFFFFFFu}) {
      brfprefetch(r, seek);
      EXPECT_EQ(r->status, 0) << seek;
    }
    ASSERT_EQ(brfgetat(r, seeks[20], buf, sizeof buf, &len), BRF_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), test::kIdLen), "00000021");
    EXPECT_EQ(brfrcdcnt(r), 50);
    ASSERT_EQ(brfdeaccess(r), BRF_OK);
    ASSERT_EQ(brfclose(f), BRF_OK);
  }
}

}  // namespace
}  // namespace kivo
