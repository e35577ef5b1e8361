// Verification of file pairs: good pairs (null keys, deleted records, a free
// list in use) pass; a hand-made fault in any one place fails; the files are
// never changed by a verification.
#include <gtest/gtest.h>

#include <functional>

#include "../fixtures/hook_override.h"
#include "analyser_test_util.h"
#include "foundation/com.h"
#include "foundation/foundation.h"
#include "store/record_ops.h"
#include "store_test_util.h"

namespace kivo {
namespace {

using test::make_rec;
using test::pair_builder;
using test::slurp;
using test::spill;

class AnalyserVerify : public ::testing::Test {
 public:
  void SetUp() override { com_fill(0, nullptr); }
  kivo_test::scoped_hook<sys_err_presenter> quiet_{foundation_seams.err_presenter, test::quiet_presenter};

  // A pair of n records: every seventh has a null second key, every fifth
  // is deleted again, so chains and FREE_BLOCKs are in use.
  void build(int n, int keys = 2) {
    pair_builder b(base_, keys);
    for (int i = 0; i < n; ++i) {
      auto r = make_rec(i, i % 7 == 0 ? 0 : 1000 + i, std::string(static_cast<size_t>(i % 13), 'x'));
      uint32_t seek = b.put(r);
      seeks_.push_back(seek);
      recs_.push_back(r);
      if (i % 5 == 4) b.del(seek, r);
    }
  }
  int verify() { return brfanal((base_ + ".dat").c_str(), 0, 0, &count_); }
  std::vector<uint8_t> dat() { return slurp(base_ + ".dat"); }
  std::vector<uint8_t> key() { return slurp(base_ + ".key"); }

  // The first leaf of key k: descends through first DOWN links.
  uint32_t first_leaf(const std::vector<uint8_t>& kf, int k) {
    uint32_t seek = test::key_root(kf, k);
    while (ld_le32(kf.data(), seek + kPgHdrSize) != 0) seek = ld_le32(kf.data(), seek + kPgHdrSize);
    return seek;
  }

  test::scratch_dir dir_;
  std::string base_ = dir_.file("cust");
  std::vector<uint32_t> seeks_;
  std::vector<std::vector<uint8_t>> recs_;
  int32_t count_ = -1;
};

TEST_F(AnalyserVerify, GoodPairWithNullKeysAndDeletedRecordsPassesAndIsNotChanged) {
  build(600);
  auto d = dat(), k = key();
  EXPECT_EQ(verify(), 1);
  EXPECT_EQ(count_, 600 - 600 / 5);
  EXPECT_EQ(dat(), d);
  EXPECT_EQ(key(), k);
}

// One hand-made fault each: the pair built, then its bytes edited.
TEST_F(AnalyserVerify, AFaultInAnyOnePlaceFails) {
  using bytes = std::vector<uint8_t>;
  const size_t e = 6 + 8;  // a leaf entry of the 6-byte key
  const struct {
    const char* what;
    int n, keys;
    bool in_child;  // faults that could loop are verified under an alarm
    std::function<void(AnalyserVerify*, bytes& d, bytes& k)> damage;
  } cases[] = {
      {"an entry's DSEEK names the record of the next entry", 300, 2, false,
       [](AnalyserVerify* t, bytes&, bytes& k) {
         uint32_t leaf = t->first_leaf(k, 0);
         st_le32(k.data(), leaf + kPgHdrSize + 4, ld_le32(k.data(), leaf + kPgHdrSize + e + 4));
       }},
      {"an entry's key bytes changed", 300, 2, false,
       [](AnalyserVerify* t, bytes&, bytes& k) { k[t->first_leaf(k, 0) + kPgHdrSize + 8 + 5] ^= 0x01; }},
      // Counts alone would agree: one record referenced twice, one not at all.
      {"two entries naming one record", 2, 1, false,
       [](AnalyserVerify*, bytes&, bytes& k) {
         uint32_t leaf = test::key_root(k, 0);
         ASSERT_EQ(ld_le16(k.data(), leaf + kPgCount), 2);
         st_le32(k.data(), leaf + kPgHdrSize + e + 4, ld_le32(k.data(), leaf + kPgHdrSize + 4));
       }},
      // Entries 0 and 1 swapped whole: each still names its own record.
      {"entries out of order", 40, 1, false,
       [](AnalyserVerify*, bytes&, bytes& k) {
         uint32_t leaf = test::key_root(k, 0);
         ASSERT_GE(ld_le16(k.data(), leaf + kPgCount), 3);
         auto at = k.begin() + leaf + kPgHdrSize + 4;
         std::swap_ranges(at, at + (e - 4), at + e);
       }},
      // The only deleted record of its length (deleted last, so its space
      // was not taken again) names itself as the next one.
      {"a free chain loop", 30, 0, true,
       [](AnalyserVerify* t, bytes& d, bytes&) { st_le32(d.data(), t->seeks_[29] + kRhLinkOff, t->seeks_[29]); }},
      {"a free-block loop", 30, 0, true,
       [](AnalyserVerify*, bytes& d, bytes&) {
         uint32_t fl = ld_le32(d.data(), kHdrFreelistOff);
         ASSERT_NE(fl, 0u);
         st_le32(d.data(), fl + kRecHdrSize + kFbNextOff, fl);
       }},
      {"an active record at a chain head", 30, 0, false,
       [](AnalyserVerify* t, bytes& d, bytes&) {
         st_le32(d.data(), ld_le32(d.data(), kHdrFreelistOff) + kRecHdrSize + kFbSeekOff, t->seeks_[0]);
       }},
      {"a record deleted under its index entry", 30, 1, false,
       [](AnalyserVerify* t, bytes& d, bytes&) { d[t->seeks_[0] + kRhFlagsOff] |= kRecDeleted; }},
      {"eofseek past the file", 10, 0, false,
       [](AnalyserVerify*, bytes& d, bytes&) {
         st_le32(d.data(), kHdrEofseekOff, static_cast<uint32_t>(d.size() + 100));
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    seeks_.clear();
    recs_.clear();
    build(c.n, c.keys);
    bytes d = dat(), k = c.keys ? key() : bytes{};
    c.damage(this, d, k);
    spill(base_ + ".dat", d);
    if (c.keys) spill(base_ + ".key", k);
    EXPECT_EQ(c.in_child ? test::verify_in_child(base_) : verify(), 0);
    unlink((base_ + ".dat").c_str());
    unlink((base_ + ".key").c_str());
  }
}

TEST_F(AnalyserVerify, UnusualFilesGiveTheirVerdict) {
  build(5, 0);  // no key file, then an empty one
  EXPECT_EQ(verify(), 1);
  spill(base_ + ".key", {});
  EXPECT_EQ(verify(), 1);
  auto d = dat();
  st_le16(d.data(), kHdrVersionOff, 3);  // newer than this engine
  spill(base_ + ".dat", d);
  EXPECT_EQ(verify(), 0);
  st_le16(d.data(), kHdrVersionOff, 1);
  spill(base_ + ".dat", d);
  EXPECT_EQ(verify(), 1);  // verified; upgraded at its next open
  // An empty data file is no data file; the count must still be set.
  spill(base_ + ".dat", {});
  count_ = -5;
  EXPECT_EQ(verify(), 0);
  EXPECT_EQ(count_, 0);
  EXPECT_EQ(brfanal("", 0, 0, nullptr), 0);
  EXPECT_EQ(brfanal("  .DAT", 0, 0, nullptr), 0);
  EXPECT_EQ(brfanal(dir_.file("none").c_str(), 0, 0, nullptr), 0);
}

}  // namespace
}  // namespace kivo
