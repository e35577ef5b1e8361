// Space management under many random allocations and frees, checked against
// the file's own structure: every deleted record sits on exactly one chain of
// its length, live records are exactly the model's, and the file ends at
// eofseek. Then the upgrade that rebuilds the list, on files built by hand.
#include <gtest/gtest.h>
#include <utility>

#include <map>
#include <random>
#include <set>
#include <vector>

#include "../fixtures/hook_override.h"
#include "foundation/bytes.h"
#include "foundation/foundation.h"
#include "record_test_util.h"
#include "store/brf_status.h"
#include "store/data_file.h"
#include "store_test_util.h"

namespace kivo {
namespace {

using test::scratch_dir;

struct walk_result {
  std::map<uint32_t, uint16_t> deleted;  // seek -> length
  std::set<uint32_t> live;
  std::set<uint32_t> blocks;  // FREE_BLOCK records (flag 0x02 only)
};

// Walks the file as stored, with every check of the record tests' walk in
// its strict form: whole records ending at eofseek, record numbers in
// order, each deleted record on exactly one chain, of its length.
walk_result walk(const std::string& path) {
  walk_result w;
  std::vector<test::data_record> recs;
  EXPECT_EQ(test::walk_data(test::read_file(path), &recs, true), "");
  for (const auto& r : recs) {
    if (r.flags & kRecDeleted) w.deleted[r.seek] = static_cast<uint16_t>(r.body.size());
    else if (r.flags & kRecNotUser) w.blocks.insert(r.seek);
    else w.live.insert(r.seek);
  }
  return w;
}

class Space : public ::testing::Test {
 protected:
  void SetUp() override {
    com_fill(0, nullptr);
    hooks_.set(foundation_seams.err_presenter, test::quiet_presenter);
    errs_ = sys_err_count();
  }
  void TearDown() override {
    if (f_) brfclose(f_);
  }
  BRF_FILE* open(uint16_t extra = BRF_CREATE) {
    int status = -1;
    f_ = brfopen(&status, dir_.file("s").c_str(), extra | BRF_NO_KEYS, 0, false);
    EXPECT_NE(f_, nullptr) << status;
    return f_;
  }
  std::string dat() { return dir_.file("s") + ".dat"; }
  scratch_dir dir_;
  BRF_FILE* f_ = nullptr;
  kivo_test::hook_overrides hooks_;
  unsigned errs_;
};

TEST_F(Space, RandomAllocateAndFreeKeepsEveryDeletedRecordOnOneChainOfItsLength) {
  BRF_FILE* f = open();
  ASSERT_EQ(brf_upd_ver(f), BRF_OK);
  const long ops = 200000 * test::stress_scale();
  std::mt19937 rng(12345);
  // More lengths than one FREE_BLOCK serves, so blocks chain.
  std::uniform_int_distribution<int> len_dist(1, 120);
  std::vector<uint32_t> live;
  std::map<uint32_t, uint16_t> live_len;
  for (long i = 0; i < ops; ++i) {
    bool do_free = !live.empty() && (rng() % 100) < (live.size() > 2000 ? 60 : 45);
    if (do_free) {
      size_t k = rng() % live.size();
      uint32_t s = live[k];
      live[k] = live.back();
      live.pop_back();
      live_len.erase(s);
      ASSERT_EQ(brf_rcd_free(f, s, false), BRF_OK) << "op " << i;
    } else {
      uint16_t len = static_cast<uint16_t>(len_dist(rng));
      rec_hdr h;
      uint32_t s = 0;
      ASSERT_EQ(brf_rcd_alloc(f, len, &h, &s, true, false), BRF_OK) << "op " << i;
      ASSERT_EQ(h.length, len);
      h.flags = 0;
      ASSERT_EQ(brf_write_rec_hdr(f, s, h), BRF_OK);
      ASSERT_TRUE(live_len.emplace(s, len).second) << "space given twice at " << s;
      live.push_back(s);
    }
  }
  ASSERT_EQ(brfgethdr(f), BRF_OK);
  walk_result w = walk(dat());
  struct stat st;
  ASSERT_EQ(::stat(dat().c_str(), &st), 0);
  EXPECT_EQ(st.st_size, static_cast<off_t>(f->hdr.eofseek));
  std::set<uint32_t> model;
  for (auto& [s, len] : live_len) model.insert(s);
  EXPECT_EQ(w.live, model);
  EXPECT_GE(w.blocks.size(), 2u);
  EXPECT_EQ(sys_err_count(), errs_);
}

// --- upgrades of files built by hand ---

void put_rec(std::vector<uint8_t>& file, uint8_t flags, uint16_t length, uint32_t link, uint32_t recno) {
  size_t at = file.size();
  file.resize(at + 16 + length, 0xAB);
  st_u8(file.data(), at, flags);
  st_u8(file.data(), at + 1, 0);
  st_le16(file.data(), at + 2, length);
  st_le32(file.data(), at + 4, link);
  st_le32(file.data(), at + 8, recno);
  st_le32(file.data(), at + 12 + length, length);
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(fd);
}

TEST_F(Space, VersionZeroFileIsUpgradedWithLengthsMovedAndDeletedRecordsFreed) {
  // Version 0: no version flag; the length lives in the low half of the link.
  std::vector<uint8_t> file(512, 0);
  put_rec(file, 0, 10, 0, 0);
  put_rec(file, kRecDeleted, 20, 0, 1);
  put_rec(file, 0, 30, 0, 2);
  for (size_t at = 512; at < file.size();) {  // move lengths into the link word
    uint16_t len = ld_le16(file.data(), at + 2);
    st_le32(file.data(), at + 4, len);
    st_le16(file.data(), at + 2, 0);
    at += 16 + len;
  }
  file[512 + 2] = 0xEE;  // junk where the length field now goes
  uint32_t end = static_cast<uint32_t>(file.size());
  file.resize(file.size() + 7, 0);  // a torn header at the end is no record
  write_file(dat(), file);

  BRF_FILE* f = open(0);
  ASSERT_EQ(f->hdr.version, 0);
  ASSERT_EQ(brf_upd_ver(f), BRF_OK);
  ASSERT_EQ(brfgethdr(f), BRF_OK);
  EXPECT_EQ(f->hdr.version, kBrfVersion);
  EXPECT_EQ(f->hdr.flags, kHdrHasVersion);
  rec_hdr h;
  ASSERT_EQ(brf_read_rec_hdr(f, 512, &h), BRF_OK);
  EXPECT_EQ(h.length, 10);
  EXPECT_EQ(h.link, 512u);
  ASSERT_EQ(brf_read_rec_hdr(f, 512 + 26 + 36, &h), BRF_OK);
  EXPECT_EQ(h.length, 30);
  // The deleted record of 20 is on the rebuilt list, in a block at the end.
  EXPECT_EQ(f->hdr.freelist, end);
  uint32_t seek = 0;
  ASSERT_EQ(brf_rcd_alloc(f, 20, &h, &seek, true, false), BRF_OK);
  EXPECT_EQ(seek, 512u + 26);
  EXPECT_EQ(h.recno, 1u);
  walk(dat());
}

TEST_F(Space, VersionOneFileGetsAFreshListHoldingDeletedRecordsAndOldBlocks) {
  std::vector<uint8_t> file(512, 0);
  put_rec(file, 0, 40, 512, 0);          // live
  put_rec(file, kRecDeleted, 40, 0, 1);  // deleted, 40
  uint32_t old_block = static_cast<uint32_t>(file.size());
  put_rec(file, kRecNotUser, 496, 0, 2);  // the old FREE_BLOCK
  std::fill(file.begin() + old_block + 12, file.begin() + old_block + 12 + 496, 0);
  uint32_t dead = static_cast<uint32_t>(file.size());
  put_rec(file, kRecNotUser, 8, dead, 3);  // an incomplete allocation
  uint32_t eof = static_cast<uint32_t>(file.size());
  st_le16(file.data(), 0, kHdrHasVersion);
  st_le16(file.data(), 2, 1);
  st_le32(file.data(), 8, old_block);
  st_le32(file.data(), 12, eof);
  write_file(dat(), file);

  BRF_FILE* f = open(0);
  ASSERT_EQ(f->hdr.version, 1);
  ASSERT_EQ(brf_upd_ver(f), BRF_OK);
  ASSERT_EQ(brfgethdr(f), BRF_OK);
  EXPECT_EQ(f->hdr.version, kBrfVersion);
  EXPECT_EQ(f->hdr.freelist, eof);  // a new block, appended
  walk_result w = walk(dat());
  EXPECT_EQ(w.live, (std::set<uint32_t>{512}));
  EXPECT_EQ(w.deleted.size(), 3u);
  EXPECT_EQ(w.deleted.at(old_block), 496);
  EXPECT_EQ(w.deleted.at(dead), 8);
  EXPECT_EQ(w.blocks, (std::set<uint32_t>{eof}));
}

TEST_F(Space, UpgradeStopsAtARecordRunningPastEndOfFile) {
  std::vector<uint8_t> file(512, 0);
  put_rec(file, 0, 40, 512, 0);
  st_le16(file.data(), 0, kHdrHasVersion);
  st_le16(file.data(), 2, 1);
  st_le32(file.data(), 12, static_cast<uint32_t>(file.size()));
  st_le16(file.data(), 512 + 2, 60000);  // a length that runs past eofseek
  write_file(dat(), file);
  BRF_FILE* f = open(0);
  EXPECT_EQ(brf_upd_ver(f), BRF_BAD_DATA);
}

}  // namespace
}  // namespace kivo
