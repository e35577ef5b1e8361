// The key file's in-use mark on disk: a shared open sets and clears it
// around each change, a pair held exclusively keeps it set from its first
// change to its close. A holder killed meanwhile leaves it set, and the next
// open rebuilds the keys from the data file with every record it wrote.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>

#include "foundation/foundation.h"
#include "record_test_util.h"
#include "store/btree_format.h"
#include "store_test_util.h"

namespace kivo {
namespace {

constexpr uint32_t kPuts = 40;

class SoleMark : public ::testing::Test {
 protected:
  void SetUp() override {
    com_fill(0, nullptr);
    brfinit();
    base_ = dir_.file("m");
  }
  uint8_t mark_on_disk() const {
    std::vector<uint8_t> k = test::read_file(base_ + ".key");
    return k.size() > kHdrInUse ? k[kHdrInUse] : 0xEE;
  }
  // The pair opened (created when `create`) with its three keys.
  BRF_RCB* open(bool create, bool exclusive) {
    int st;
    file_ = brfopen(&st, base_.c_str(), create ? BRF_CREATE : 0, 0, exclusive);
    if (!file_) return nullptr;
    BRF_RCB* r = brfaccess(&st, file_, 0, false);
    if (!r) return nullptr;
    if (create && (brf_upd_ver(file_) != BRF_OK || test::set_three_keys(r) != BRF_OK)) return nullptr;
    return r;
  }
  static int put(BRF_RCB* r, uint32_t id) {
    std::vector<uint8_t> v = test::make_rec(id, "c" + std::to_string(id), id, 60, 'x');
    return brfput(r, v.data(), static_cast<uint32_t>(v.size()));
  }
  // Ids met by a scan of key 0 from the first record.
  static std::vector<uint32_t> scan_ids(BRF_RCB* r) {
    std::vector<uint32_t> ids;
    uint8_t buf[256];
    uint32_t len = 0;
    if (brfsetkeyN(r, 0) != BRF_OK) return ids;
    for (int st = brffirst(r, buf, sizeof buf, &len); st == BRF_OK; st = brfnext(r, buf, sizeof buf, &len))
      ids.push_back(std::stoul(std::string(reinterpret_cast<char*>(buf), test::kIdLen)));
    return ids;
  }
  test::scratch_dir dir_;
  std::string base_;
  BRF_FILE* file_ = nullptr;
};

TEST_F(SoleMark, MarkOnDiskOverChangesAndAtTheClose) {
  struct row {
    bool exclusive;
    uint8_t during;  // the mark between two changes
  } const rows[] = {{false, 0}, {true, 1}};
  for (const row& w : rows) {
    SCOPED_TRACE(w.exclusive ? "exclusive" : "shared");
    base_ = dir_.file(w.exclusive ? "x" : "s");
    BRF_RCB* r = open(true, w.exclusive);
    ASSERT_NE(r, nullptr);
    for (uint32_t id = 1; id <= kPuts; ++id) {
      ASSERT_EQ(put(r, id), BRF_OK);
      ASSERT_EQ(mark_on_disk() != 0, w.during != 0) << "after put " << id;
    }
    ASSERT_EQ(brfdeaccess(r), BRF_OK);
    ASSERT_EQ(brfclose(file_), BRF_OK);
    EXPECT_EQ(mark_on_disk(), 0);
    std::map<std::string, std::vector<uint8_t>> active;
    EXPECT_EQ(test::check_pair(base_, &active), "");
    EXPECT_EQ(active.size(), kPuts);
  }
}

TEST_F(SoleMark, KilledHolderLeavesTheMarkAndTheNextOpenRebuildsTheKeys) {
  BRF_RCB* r = open(true, false);
  ASSERT_NE(r, nullptr);
  ASSERT_EQ(brfdeaccess(r), BRF_OK);
  ASSERT_EQ(brfclose(file_), BRF_OK);
  pid_t pid = fork();
  if (pid == 0) {
    fd_cache_after_fork();
    alarm(60);
    BRF_RCB* w = open(false, true);
    if (!w || brfsetkeyN(w, 0) != BRF_OK) _exit(10);
    for (uint32_t id = kPuts; id >= 1; --id)
      if (put(w, id) != BRF_OK) _exit(11);
    _exit(0);  // no close: as a kill, the mark stays
  }
  ASSERT_EQ(test::wait_exit(pid), 0);
  EXPECT_NE(mark_on_disk(), 0);
  r = open(false, false);
  ASSERT_NE(r, nullptr);
  std::vector<uint32_t> want(kPuts);
  for (uint32_t i = 0; i < kPuts; ++i) want[i] = i + 1;
  EXPECT_EQ(scan_ids(r), want);
  ASSERT_EQ(brfdeaccess(r), BRF_OK);
  ASSERT_EQ(brfclose(file_), BRF_OK);
  EXPECT_EQ(mark_on_disk(), 0);
  EXPECT_EQ(test::check_pair(base_, nullptr), "");
}

}  // namespace
}  // namespace kivo
