// Edge cases of record operations: deleted records by number and in
// sequence, duplicates in a second index, moving rewrites, fixed lengths,
// null keys, preload, refused rewrites of deleted records, failed index
// removal, a key that cannot be built, and the relative-file count.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "../fixtures/hook_override.h"
#include "foundation/foundation.h"
#include "record_test_util.h"

namespace kivo {
namespace {

class RecordEdge : public ::testing::Test {
 protected:
  void SetUp() override {
    com_fill(0, nullptr);
    hooks_.set(foundation_seams.err_presenter, test::quiet);
    brfinit();
  }
  void TearDown() override {
    for (BRF_RCB* r : rcbs_) brfdeaccess(r);
    for (BRF_FILE* f : files_) brfclose(f);
  }
  BRF_RCB* open(const char* name, uint16_t mode, uint32_t rec_len, bool keys) {
    int st;
    BRF_FILE* f = brfopen(&st, dir_.file(name).c_str(), mode | BRF_CREATE, rec_len, false);
    EXPECT_NE(f, nullptr);
    files_.push_back(f);
    BRF_RCB* r = brfaccess(&st, f, 0, false);
    rcbs_.push_back(r);
    if (!brf_relative(f)) {
      EXPECT_EQ(brf_upd_ver(f), BRF_OK);
    }
    if (keys) {
      EXPECT_EQ(test::set_three_keys(r), BRF_OK);
    }
    return r;
  }
  int put(BRF_RCB* r, const std::vector<uint8_t>& v) { return brfput(r, v.data(), static_cast<uint32_t>(v.size())); }
  int seek_id(BRF_RCB* r, uint32_t id) {
    brfsetkeyN(r, 0);
    std::vector<uint8_t> k = test::make_rec(id, "", 0, 0, 0);
    return brfseek(r, kSeekEqual, k.data(), kWholeRecord, buf_, sizeof buf_, &len_);
  }
  test::scratch_dir dir_;
  std::vector<BRF_FILE*> files_;
  std::vector<BRF_RCB*> rcbs_;
  uint8_t buf_[4096];
  uint32_t len_ = 0;
  kivo_test::hook_overrides hooks_;
};

TEST_F(RecordEdge, DeletedRecordByNumberGives16AndSequenceSkipsIt) {
  BRF_RCB* r = open("var", BRF_NO_KEYS, 0, false);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(put(r, test::make_rec(i, "", 0, 10 * i, 'x')), BRF_OK);
  r->cur_rec = 1;
  ASSERT_EQ(brfdelete(r), BRF_OK);
  r->cur_rec = 1;
  EXPECT_EQ(brfget(r, buf_, sizeof buf_, &len_), BRF_DELETED);
  // The rewrite of a deleted record is refused: its space is on the free list.
  r->cur_rec = 1;
  std::vector<uint8_t> v = test::make_rec(9, "", 0, 10, 'y');
  EXPECT_EQ(brfrewrite(r, v.data(), static_cast<uint32_t>(v.size())), BRF_DELETED);
  ASSERT_EQ(brffirst(r, buf_, sizeof buf_, &len_), BRF_OK);
  EXPECT_EQ(r->cur_rec, 0);
  ASSERT_EQ(brfnext(r, buf_, sizeof buf_, &len_), BRF_OK);
  EXPECT_EQ(r->cur_rec, 2);
  EXPECT_EQ(brfnext(r, buf_, sizeof buf_, &len_), BRF_EOF);  // past the free-list record
  EXPECT_EQ(brfrcdcnt(r), 4);                                // the free-list record the delete appended counts
}

TEST_F(RecordEdge, DuplicateInSecondIndexLeavesNothingBehind) {
  BRF_RCB* r = open("dup", 0, 0, true);
  ASSERT_EQ(put(r, test::make_rec(1, "AAA", 5, 20, 'a')), BRF_OK);
  EXPECT_EQ(put(r, test::make_rec(2, "AAA", 6, 20, 'b')), BRF_DUP_KEY);
  EXPECT_EQ(put(r, test::make_rec(3, "BBB", 5, 20, 'c')), BRF_DUP_KEY);  // duplicate in the last key
  EXPECT_EQ(seek_id(r, 2), BRF_NO_RECORD);
  EXPECT_EQ(seek_id(r, 3), BRF_NO_RECORD);
  std::map<std::string, std::vector<uint8_t>> active;
  ASSERT_EQ(test::check_pair(dir_.file("dup"), &active), "");
  EXPECT_EQ(active.size(), 1u);
}

TEST_F(RecordEdge, FixedKeyedRewriteOfAnotherLengthGives17) {
  BRF_RCB* r = open("fix", 0, 40, true);
  ASSERT_EQ(put(r, test::make_rec(1, "AAA", 5, 22, 'a')), BRF_OK);
  ASSERT_EQ(seek_id(r, 1), BRF_OK);
  std::vector<uint8_t> v = test::make_rec(1, "AAA", 5, 10, 'b');
  EXPECT_EQ(brfrewrite(r, v.data(), static_cast<uint32_t>(v.size())), BRF_BAD_DATA);
  v = test::make_rec(1, "AAA", 5, 22, 'c');
  EXPECT_EQ(brfrewrite(r, v.data(), static_cast<uint32_t>(v.size())), BRF_OK);
}

TEST_F(RecordEdge, PreloadFirstDeliversNothingAndNextRecordZero) {
  BRF_RCB* r = open("pre", BRF_NO_KEYS, 0, false);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(put(r, test::make_rec(i, "", 0, 4, 'p')), BRF_OK);
  brf_preload(r);
  ASSERT_NE(r->preload, nullptr);
  EXPECT_EQ(brffirst(r, buf_, sizeof buf_, &len_), BRF_OK);
  EXPECT_EQ(len_, 0u);
  ASSERT_EQ(brfnext(r, buf_, sizeof buf_, &len_), BRF_OK);
  EXPECT_EQ(r->cur_rec, 0);
  EXPECT_EQ(std::vector<uint8_t>(buf_, buf_ + len_), test::make_rec(0, "", 0, 4, 'p'));
  ASSERT_EQ(brfnext(r, buf_, sizeof buf_, &len_), BRF_OK);
  ASSERT_EQ(brfnext(r, buf_, sizeof buf_, &len_), BRF_OK);
  EXPECT_EQ(brfnext(r, buf_, sizeof buf_, &len_), BRF_EOF);
}

TEST_F(RecordEdge, DeleteWhoseIndexRemovalFailsPutsEntriesBackAndKeepsTheRecord) {
  BRF_RCB* r = open("del", 0, 0, true);
  std::vector<uint8_t> v = test::make_rec(1, "AAA", 5, 8, 'a');
  ASSERT_EQ(put(r, v), BRF_OK);
  uint32_t seek = static_cast<uint32_t>(r->last_seek);
  // Key 2's entry goes missing behind the record's back.
  int st;
  BRF_RCB* other = brfaccess(&st, r->file, 0, false);
  rcbs_.push_back(other);
  bsetkeyN(other->cursor, 2);
  ASSERT_EQ(bdelete(other->cursor, v.data(), seek), BRF_OK);
  ASSERT_EQ(seek_id(r, 1), BRF_OK);
  EXPECT_EQ(brfdelete(r), BRF_NO_RECORD);
  ASSERT_EQ(seek_id(r, 1), BRF_OK);  // still there, still under key 0
  test::tree_report rep;
  ASSERT_EQ(test::check_key_file(dir_.file("del") + ".key", &rep), "");
  EXPECT_EQ(rep.entries[0].size(), 1u);
  EXPECT_EQ(rep.entries[1].size(), 1u);
  std::vector<uint8_t> d = test::read_file(dir_.file("del") + ".dat");
  EXPECT_EQ(d[seek], 0);  // not freed
}

TEST_F(RecordEdge, KeyThatCannotBeBuiltIsRemovedAgain) {
  BRF_RCB* r = open("build", 0, 0, false);
  KEY_DESC id = test::id_key();
  ASSERT_EQ(brfsetkey(r, &id, true, false, nullptr), BRF_OK);
  ASSERT_EQ(put(r, test::make_rec(1, "SAME", 0, 3, 'a')), BRF_OK);
  ASSERT_EQ(put(r, test::make_rec(2, "SAME", 0, 3, 'b')), BRF_OK);
  KEY_DESC code = test::code_key();
  EXPECT_EQ(brfsetkey(r, &code, true, false, nullptr), BRF_DUP_KEY);
  test::tree_report rep;
  ASSERT_EQ(test::check_key_file(dir_.file("build") + ".key", &rep), "");
  EXPECT_EQ(rep.entries.size(), 1u);  // only the key that was built
  EXPECT_EQ(brfsetkey(r, &code, false, false, nullptr), BRF_NO_KEY);
  // A key that can be built is built over the records already there.
  KEY_DESC num = test::num_key();
  EXPECT_EQ(brfsetkey(r, &num, true, false, nullptr), BRF_OK);
  ASSERT_EQ(test::check_key_file(dir_.file("build") + ".key", &rep), "");
  ASSERT_EQ(rep.entries.size(), 2u);
  EXPECT_EQ(rep.entries[1].size(), 0u);  // both numbers are the null value 0
}

TEST_F(RecordEdge, RelativeFileCountsEveryWholeRecord) {
  BRF_RCB* r = open("rel", BRF_NO_KEYS, 10, false);
  EXPECT_EQ(brfrcdcnt(r), 0);
  uint8_t rec[10] = {'r'};
  for (int i = 0; i < 3; ++i) ASSERT_EQ(brfput(r, rec, 10), BRF_OK);
  EXPECT_EQ(brfrcdcnt(r), 3);
  EXPECT_EQ(r->last_seek, 20);
  EXPECT_EQ(brffindrcd(r, 2), 20);
  EXPECT_EQ(brffindrcd(r, 3), -1);
  r->cur_rec = 2;
  EXPECT_EQ(brfget(r, buf_, sizeof buf_, &len_), BRF_OK);
  EXPECT_EQ(len_, 10u);
}

TEST_F(RecordEdge, RecordNumbersFindTheirSeeksFromAnyStart) {
  BRF_RCB* r = open("walk", BRF_NO_KEYS, 0, false);
  std::vector<int64_t> seeks;
  for (int i = 0; i < 700; ++i) {
    ASSERT_EQ(put(r, test::make_rec(i, "", 0, i % 37, 'w')), BRF_OK);
    seeks.push_back(r->last_seek);
  }
  for (int n : {0, 699, 350, 10, 690, 300, 301, 5}) {
    EXPECT_EQ(brffindrcd(r, n), seeks[n]) << n;
    r->cur_rec = n;
    ASSERT_EQ(brfget(r, buf_, sizeof buf_, &len_), BRF_OK);
  }
}

TEST_F(RecordEdge, ReadByNumberRefusesARecordOfAnotherNumber) {
  BRF_RCB* r = open("num", BRF_NO_KEYS, 0, false);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(put(r, test::make_rec(i, "", 0, 10, 'n')), BRF_OK);
  int64_t seek = brffindrcd(r, 1);
  // Record 1's space now says it holds record 2: a reader must not take it for 1.
  uint8_t recno[4];
  st_le32(recno, 0, 2);
  int fd = ::open((dir_.file("num") + ".dat").c_str(), O_RDWR);
  ASSERT_EQ(pwrite(fd, recno, 4, seek + kRhRecnoOff), 4);
  ::close(fd);
  r->cur_rec = 1;
  brf_want_lock(r, false);
  EXPECT_EQ(brfget(r, buf_, sizeof buf_, &len_), BRF_SYS_ERR);  // the data file's damage, named
  EXPECT_FALSE(r->lock.flags & RCB_LOCK_HELD);
}

}  // namespace
}  // namespace kivo
