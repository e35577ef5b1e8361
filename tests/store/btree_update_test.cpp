// B-tree updates beyond what btree_model_test's random run checks: shifts to
// neighbours, page reuse, clean failure when no page can be had, stale cached
// pages, the first entry of an empty index, two processes on one key file.
#include <gtest/gtest.h>

#include <cerrno>

#include "../fixtures/hook_override.h"
#include "btree_test_util.h"
#include "foundation/com.h"
#include "foundation/os_calls.h"
#include "foundation/sys_err.h"

namespace kivo {
namespace {

using test::scratch_dir;

constexpr int kM10 = bt_max_entries(10);  // 113

std::vector<uint8_t> rec(uint32_t n) {
  std::vector<uint8_t> r(10, 'k');
  // Big-endian in a character segment, so numeric order is key order.
  st_be32(r.data(), 2, n);
  return r;
}

class BtreeUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    com_fill(0, nullptr);
    int st;
    f_ = bopen(&st, path_.c_str(), kBtCreate);
    ASSERT_NE(f_, nullptr);
    c_ = baccess(&st, f_, 0);
    KEY_DESC d = test::key_desc({{kSegChars, 10, 0}});
    ASSERT_EQ(bsetkey(c_, &d, true), BRF_KEY_CREATED);
  }
  void TearDown() override {
    bdeaccess(c_);
    bclose(f_);
  }
  void insert_range(uint32_t from, uint32_t to) {
    for (uint32_t i = from; i < to; ++i) ASSERT_EQ(binsert(c_, rec(i).data(), 512 + i), BRF_OK) << i;
  }
  test::tree_report report() {
    test::tree_report rep;
    std::string err = test::check_key_file(path_, &rep);
    EXPECT_EQ(err, "");
    return rep;
  }
  uint32_t root() { return ld_le32(test::read_file(path_).data(), kHdrKeys + kKdRoot); }
  int page_count(uint32_t seek) { return ld_le16(test::read_file(path_).data() + seek, kPgCount); }

  scratch_dir dir_;
  std::string path_ = dir_.file("u.key");
  BT_FILE* f_ = nullptr;
  BT_CURSOR* c_ = nullptr;
};

TEST_F(BtreeUpdate, FullLeafShiftsEntriesToANeighbourInsteadOfSplitting) {
  insert_range(0, kM10);  // root and two leaves
  std::vector<uint8_t> f = test::read_file(path_);
  uint32_t right = ld_le32(f.data() + root(), kPgHdrSize + bt_entry_size(10));
  int r = page_count(right);
  // Keys above every other key fill the right leaf to its maximum; its left
  // neighbour has room, so entries move there and no page is added.
  insert_range(kM10, kM10 + (kM10 - r));
  test::tree_report rep = report();
  EXPECT_EQ(rep.pages_in_trees, 3u);
  EXPECT_LT(page_count(right), kM10 - 1);
  EXPECT_EQ(rep.entries[0].size(), static_cast<size_t>(2 * kM10 - r));
}

TEST_F(BtreeUpdate, FreedPageIsTheNextOneTakenAndAgesOnFromWhereItWasFreed) {
  insert_range(0, kM10);  // root split: 3 pages
  for (uint32_t i = 0; i < kM10; ++i) ASSERT_EQ(bdelete(c_, rec(i).data(), 512 + i), BRF_OK);
  test::tree_report rep = report();
  ASSERT_EQ(rep.free_pages.size(), 2u);
  std::vector<std::pair<uint32_t, uint16_t>> freed;
  std::vector<uint8_t> f = test::read_file(path_);
  for (uint32_t seek : rep.free_pages) freed.emplace_back(seek, ld_le16(f.data() + seek, kPgAge));
  insert_range(0, kM10);  // splits again: the new root is the newest free page
  EXPECT_EQ(root(), rep.free_pages[0]);
  // Another opener may still hold a freed page as it was; a reused page whose
  // age started again could come to match that copy and be trusted.
  f = test::read_file(path_);
  for (auto [seek, age] : freed) EXPECT_GT(ld_le16(f.data() + seek, kPgAge), age) << seek;
}

TEST_F(BtreeUpdate, DuplicateChangesNothingAndAnEmptiedIndexGivesEndTwice) {
  insert_range(0, 300);
  std::vector<uint8_t> before = test::read_file(path_);
  EXPECT_EQ(binsert(c_, rec(5).data(), 9999), BRF_DUP_KEY);
  EXPECT_EQ(test::read_file(path_), before);
  // The first entry of an emptied index reports the end and leaves no position.
  ASSERT_EQ(bfirst(c_), BRF_OK);
  for (uint32_t i = 0; i < 300; ++i) ASSERT_EQ(bdelete(c_, rec(i).data(), 512 + i), BRF_OK);
  EXPECT_EQ(bfirst(c_), BRF_EOF);
  EXPECT_EQ(c_->dseek, kNoSeek);
  EXPECT_EQ(bnext(c_), BRF_EOF);
}

TEST_F(BtreeUpdate, MoveAndReinsertRepointEntries) {
  insert_range(0, 50);
  ASSERT_EQ(bmove_rec(c_, rec(7).data(), 519, 7000), BRF_OK);
  ASSERT_EQ(bseek(c_, kSeekEqual, rec(7).data(), 10, kKeyFormKey), BRF_OK);
  EXPECT_EQ(c_->dseek, 7000u);
  ASSERT_EQ(breinsert(c_, rec(7).data(), rec(5000).data(), 7000, 8000), BRF_OK);
  EXPECT_EQ(bseek(c_, kSeekEqual, rec(7).data(), 10, kKeyFormKey), BRF_NO_RECORD);
  ASSERT_EQ(bseek(c_, kSeekEqual, rec(5000).data(), 10, kKeyFormKey), BRF_OK);
  EXPECT_EQ(c_->dseek, 8000u);
  EXPECT_EQ(bdelete(c_, rec(8).data(), 1), BRF_NO_RECORD);  // wrong DSEEK
}

// A failing append of a page.
uint32_t g_fail_from;
ssize_t pwrite_failing_past(int fd, const void* buf, size_t n, off_t off) {
  if (n == kPageSize && off >= static_cast<off_t>(g_fail_from)) {
    errno = ENOSPC;
    return -1;
  }
  return os_real_calls().pwrite(fd, buf, n, off);
}

TEST_F(BtreeUpdate, NoPageForASplitFailsTheInsertAndLeavesTheTreeAsItWas) {
  insert_range(0, kM10 - 1);  // the root leaf one short of full
  test::tree_report before = report();
  g_fail_from = static_cast<uint32_t>(test::read_file(path_).size());
  {
    kivo_test::scoped_hook failing(os_sys.pwrite, pwrite_failing_past);
    EXPECT_EQ(binsert(c_, rec(500).data(), 9000), BRF_NO_SPACE);
  }
  test::tree_report after = report();
  ASSERT_EQ(after.entries[0].size(), before.entries[0].size());
  for (size_t i = 0; i < after.entries[0].size(); ++i) EXPECT_EQ(after.entries[0][i].dseek, before.entries[0][i].dseek);
  // The page stays below its maximum, so the next insert works and splits.
  EXPECT_EQ(page_count(root()), kM10 - 1);
  ASSERT_EQ(binsert(c_, rec(500).data(), 9000), BRF_OK);
  // The full root split: a new root with one entry over two leaves.
  test::tree_report split = report();
  EXPECT_EQ(split.entries[0].size(), static_cast<size_t>(kM10));
  EXPECT_EQ(split.pages_in_trees, 3u);
  EXPECT_EQ(page_count(root()), 1);
}

TEST_F(BtreeUpdate, CachedPageOfAnotherOpenerIsReReadAfterAChangeAndAfterItsAgeWrapped) {
  insert_range(0, 20);
  int st;
  BT_FILE* f2 = bopen(&st, path_.c_str(), 0);
  BT_CURSOR* c2 = baccess(&st, f2, 0);
  bsetkeyN(c2, 0);
  ASSERT_EQ(bseek(c2, kSeekEqual, rec(3).data(), 10, kKeyFormKey), BRF_OK);
  ASSERT_EQ(bmove_rec(c_, rec(3).data(), 515, 4242), BRF_OK);
  ASSERT_EQ(bseek(c2, kSeekEqual, rec(3).data(), 10, kKeyFormKey), BRF_OK);
  EXPECT_EQ(c2->dseek, 4242u);
  uint16_t age = ld_le16(test::read_file(path_).data() + root(), kPgAge);
  // 65,536 writes of the page bring its age back to the value cached above.
  uint32_t seek = 4242;
  for (int i = 0; i < 65536; ++i) {
    uint32_t next = i == 65535 ? 77777 : 600000 + (i & 1);
    ASSERT_EQ(bmove_rec(c_, rec(3).data(), seek, next), BRF_OK);
    seek = next;
  }
  ASSERT_EQ(ld_le16(test::read_file(path_).data() + root(), kPgAge), age);
  ASSERT_EQ(bseek(c2, kSeekEqual, rec(3).data(), 10, kKeyFormKey), BRF_OK);
  EXPECT_EQ(c2->dseek, 77777u);
  bdeaccess(c2);
  bclose(f2);
}

TEST_F(BtreeUpdate, TwoProcessesInsertingUnderTheTreeLockLoseNothing) {
  bdeaccess(c_);
  bclose(f_);
  c_ = nullptr;
  f_ = nullptr;
  constexpr uint32_t kEach = 3000;
  auto work = [&](uint32_t base) {
    int st;
    BT_FILE* f = bopen(&st, path_.c_str(), 0);
    if (!f) return 1;
    BT_CURSOR* c = baccess(&st, f, 0);
    bsetkeyN(c, 0);
    for (uint32_t i = 0; i < kEach; ++i) {
      uint32_t n = 2 * i + base;  // interleaved keys: both write the same pages
      if (int st2 = binsert(c, rec(n).data(), 512 + n); st2 != BRF_OK) return 100 + st2;
    }
    bdeaccess(c);
    bclose(f);
    return 0;
  };
  pid_t pid = fork();
  if (pid == 0) _exit(work(1));
  EXPECT_EQ(work(0), 0);
  EXPECT_EQ(test::wait_exit(pid), 0);
  test::tree_report rep = report();
  ASSERT_EQ(rep.entries[0].size(), 2 * kEach);
  for (uint32_t i = 0; i < 2 * kEach; ++i) EXPECT_EQ(rep.entries[0][i].dseek, 512 + i);
  int st;
  f_ = bopen(&st, path_.c_str(), 0);
  c_ = baccess(&st, f_, 0);
}

}  // namespace
}  // namespace kivo
