// A long key-order scan of a pair held exclusively reads from a private copy
// of the data file: every change made meanwhile through another control
// block of the holder (a rewrite in place, an insert ahead, a delete ahead)
// shows in what the scan delivers, exactly as from the file; a shared scan
// never copies, so a writer in another process is seen as ever; and no copy
// is made past the budget.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>

#include "../fixtures/hook_override.h"
#include "foundation/foundation.h"
#include "record_test_util.h"
#include "store_test_util.h"

namespace kivo {
namespace {

constexpr uint32_t kRecords = 6000;  // past the reads after which a scan copies
constexpr uint32_t kChangeAt = 5000;

class ScanCopy : public ::testing::Test {
 public:
  void put(BRF_RCB* r, uint32_t id, uint8_t fill) {
    std::vector<uint8_t> v = test::make_rec(id, "", 0, 90, fill);
    ASSERT_EQ(brfput(r, v.data(), static_cast<uint32_t>(v.size())), BRF_OK);
    model_[id] = fill;
  }
  // The record of `id` found by its key, then rewritten or deleted.
  void put_over(BRF_RCB* r, uint32_t id, uint8_t fill) {
    std::vector<uint8_t> v = test::make_rec(id, "", 0, 90, fill);
    uint32_t n = 0;
    ASSERT_EQ(brfseek(r, kSeekEqual, v.data(), kWholeRecord, buf_, sizeof buf_, &n), BRF_OK);
    ASSERT_EQ(brfrewrite(r, v.data(), static_cast<uint32_t>(v.size())), BRF_OK);
    model_[id] = fill;
  }
  void erase(BRF_RCB* r, uint32_t id) {
    std::vector<uint8_t> v = test::make_rec(id, "", 0, 0, 0);
    uint32_t n = 0;
    ASSERT_EQ(brfseek(r, kSeekEqual, v.data(), kWholeRecord, buf_, sizeof buf_, &n), BRF_OK);
    ASSERT_EQ(brfdelete(r), BRF_OK);
    model_.erase(id);
  }

 protected:
  void SetUp() override {
    com_fill(0, nullptr);
    brfinit();
    base_ = dir_.file("s");
  }
  void TearDown() override {
    for (BRF_RCB* r : rcbs_) brfdeaccess(r);
    if (file_) brfclose(file_);
    brf_scan_copy_max = kScanCopyMax;
  }
  // The pair with kRecords records of ids in random order (so the data
  // file's order is not the key's), and a second control block.
  void fill(bool exclusive) {
    int st;
    file_ = brfopen(&st, base_.c_str(), BRF_CREATE, 0, exclusive);
    ASSERT_NE(file_, nullptr);
    for (int i = 0; i < 2; ++i) rcbs_.push_back(brfaccess(&st, file_, 0, false));
    ASSERT_EQ(brf_upd_ver(file_), BRF_OK);
    ASSERT_EQ(test::set_three_keys(rcbs_[0]), BRF_OK);
    ASSERT_EQ(brfsetkeyN(rcbs_[1], 0), BRF_OK);
    std::vector<uint32_t> ids(kRecords);
    for (uint32_t i = 0; i < kRecords; ++i) ids[i] = 2 * i + 2;  // odd ids are free for inserts
    std::shuffle(ids.begin(), ids.end(), std::mt19937(7));
    for (uint32_t id : ids) put(rcbs_[0], id, 'a');
  }
  // The scan's first kChangeAt records, each id with its body fill.
  void scan_first(BRF_RCB* r, std::vector<std::pair<uint32_t, uint8_t>>* seen) {
    ASSERT_EQ(brffirst(r, buf_, sizeof buf_, &len_), BRF_OK);
    seen->push_back({2, buf_[test::kFixedPart]});
    for (uint32_t i = 1; i < kChangeAt; ++i) {
      ASSERT_EQ(brfnext(r, buf_, sizeof buf_, &len_), BRF_OK);
      seen->push_back({2 * i + 2, buf_[test::kFixedPart]});
    }
  }
  // Reads on from the scan's place to its end: id -> body fill, in order.
  void scan_rest(BRF_RCB* r, std::vector<std::pair<uint32_t, uint8_t>>* seen) {
    for (;;) {
      int st = brfnext(r, buf_, sizeof buf_, &len_);
      if (st == BRF_EOF) return;
      ASSERT_EQ(st, BRF_OK);
      seen->push_back(
          {static_cast<uint32_t>(atoi(std::string(reinterpret_cast<char*>(buf_), 8).c_str())), buf_[test::kFixedPart]});
    }
  }
  std::vector<std::pair<uint32_t, uint8_t>> expected() const { return {model_.begin(), model_.end()}; }
  bool copied() {
    size_t len = 0;
    return fd_cache_copy(file_->slot, &len) != nullptr;
  }

  test::scratch_dir dir_;
  kivo_test::scoped_hook<sys_err_presenter> quiet_{foundation_seams.err_presenter, test::quiet};
  std::string base_;
  BRF_FILE* file_ = nullptr;
  std::vector<BRF_RCB*> rcbs_;
  std::map<uint32_t, uint8_t> model_;  // id -> body fill
  uint8_t buf_[512];
  uint32_t len_ = 0;
};

// Each change, made through the other control block after the copy is
// taken: the scan delivers the file as it is after the change.
TEST_F(ScanCopy, ExclusiveScanSeesTheHoldersChanges) {
  struct change {
    const char* what;
    void (*make)(ScanCopy* t, BRF_RCB* other, uint32_t ahead);
  } changes[] = {
      {"rewrite in place", [](ScanCopy* t, BRF_RCB* o, uint32_t id) { t->put_over(o, id, 'b'); }},
      {"insert ahead", [](ScanCopy* t, BRF_RCB* o, uint32_t id) { t->put(o, id + 1, 'c'); }},
      {"delete ahead", [](ScanCopy* t, BRF_RCB* o, uint32_t id) { t->erase(o, id); }},
      {"nothing", [](ScanCopy*, BRF_RCB*, uint32_t) {}},
  };
  for (const change& c : changes) {
    SCOPED_TRACE(c.what);
    TearDown(), rcbs_.clear(), file_ = nullptr, model_.clear();
    std::filesystem::remove(base_ + ".dat"), std::filesystem::remove(base_ + ".key");
    fill(true);
    BRF_RCB* r = rcbs_[0];
    std::vector<std::pair<uint32_t, uint8_t>> seen;
    ASSERT_NO_FATAL_FAILURE(scan_first(r, &seen));
    EXPECT_TRUE(copied());
    c.make(this, rcbs_[1], 2 * kChangeAt + 200);
    scan_rest(r, &seen);
    EXPECT_EQ(seen, expected());
    EXPECT_FALSE(copied());  // given back at the end of the scan
  }
}

TEST_F(ScanCopy, NoCopyForASharedPairOrPastTheBudget) {
  for (bool exclusive : {false, true}) {
    SCOPED_TRACE(exclusive ? "over budget" : "shared");
    TearDown(), rcbs_.clear(), file_ = nullptr, model_.clear();
    std::filesystem::remove(base_ + ".dat"), std::filesystem::remove(base_ + ".key");
    fill(exclusive);
    brf_scan_copy_max = exclusive ? file_->hdr.eofseek - 1 : kScanCopyMax;
    BRF_RCB* r = rcbs_[0];
    ASSERT_EQ(brffirst(r, buf_, sizeof buf_, &len_), BRF_OK);
    for (uint32_t i = 1; i < kChangeAt; ++i) ASSERT_EQ(brfnext(r, buf_, sizeof buf_, &len_), BRF_OK);
    EXPECT_FALSE(copied());
  }
}

// A scan of a shared pair, long past the point where an exclusive one
// copies, meets a rewrite and an insert that another process makes ahead of
// it.
TEST_F(ScanCopy, SharedScanSeesAnotherProcesssWrites) {
  fill(false);
  BRF_RCB* r = rcbs_[0];
  std::vector<std::pair<uint32_t, uint8_t>> seen;
  ASSERT_NO_FATAL_FAILURE(scan_first(r, &seen));
  const uint32_t ahead = 2 * kChangeAt + 200;
  pid_t pid = fork();
  if (pid == 0) {
    fd_cache_after_fork();
    alarm(60);
    int st;
    BRF_FILE* f = brfopen(&st, base_.c_str(), 0, 0, false);
    BRF_RCB* w = f ? brfaccess(&st, f, 0, false) : nullptr;
    if (!w || brfsetkeyN(w, 0) != BRF_OK) _exit(10);
    std::vector<uint8_t> v = test::make_rec(ahead + 1, "", 0, 90, 'p');
    if (brfput(w, v.data(), static_cast<uint32_t>(v.size())) != BRF_OK) _exit(11);
    v = test::make_rec(ahead, "", 0, 90, 'q');
    uint32_t n = 0;
    if (brfseek(w, kSeekEqual, v.data(), kWholeRecord, buf_, sizeof buf_, &n) != BRF_OK) _exit(12);
    if (brfrewrite(w, v.data(), static_cast<uint32_t>(v.size())) != BRF_OK) _exit(13);
    brfdeaccess(w);
    brfclose(f);
    _exit(0);
  }
  ASSERT_EQ(test::wait_exit(pid), 0);
  model_[ahead + 1] = 'p', model_[ahead] = 'q';
  scan_rest(r, &seen);
  EXPECT_EQ(seen, expected());
}

}  // namespace
}  // namespace kivo
