// The data file's stored bytes and its space management, case by case.
#include <gtest/gtest.h>
#include <utility>

#include <cstring>
#include <vector>

#include "../fixtures/hook_override.h"
#include "foundation/bytes.h"
#include "foundation/foundation.h"
#include "store/brf_status.h"
#include "store/data_file.h"
#include "store_test_util.h"

namespace kivo {
namespace {

using test::scratch_dir;

std::vector<uint8_t> file_bytes(const std::string& path, off_t off, size_t n) {
  std::vector<uint8_t> v(n);
  int fd = ::open(path.c_str(), O_RDONLY);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(pread(fd, v.data(), n, off), static_cast<ssize_t>(n));
  close(fd);
  return v;
}

off_t file_size(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

class DataFile : public ::testing::Test {
 protected:
  void SetUp() override {
    com_fill(0, nullptr);
    hooks_.set(foundation_seams.err_presenter, test::quiet_presenter);
  }
  void TearDown() override {
    for (BRF_FILE* f : open_) brfclose(f);
  }
  // A new, upgraded (version 2) file without keys.
  BRF_FILE* make(const std::string& name, uint32_t rec_len = 0) {
    int status = -1;
    BRF_FILE* f = brfopen(&status, dir_.file(name).c_str(), BRF_CREATE | BRF_NO_KEYS, rec_len, false);
    EXPECT_NE(f, nullptr);
    EXPECT_EQ(status, BRF_NOT_FOUND_FILE);  // created
    if (f) open_.push_back(f);
    return f;
  }
  BRF_FILE* make_v2(const std::string& name) {
    BRF_FILE* f = make(name);
    EXPECT_EQ(brf_upd_ver(f), BRF_OK);
    return f;
  }
  // Completes an allocation the way a record write does.
  void complete(BRF_FILE* f, uint32_t seek) {
    rec_hdr h;
    ASSERT_EQ(brf_read_rec_hdr(f, seek, &h), BRF_OK);
    h.flags = 0;
    ASSERT_EQ(brf_write_rec_hdr(f, seek, h), BRF_OK);
  }
  uint32_t alloc(BRF_FILE* f, uint32_t len, bool search = true) {
    rec_hdr h;
    uint32_t seek = 0;
    EXPECT_EQ(brf_rcd_alloc(f, len, &h, &seek, search, false), BRF_OK);
    complete(f, seek);
    return seek;
  }
  std::string dat(const std::string& name) { return dir_.file(name) + ".dat"; }

  scratch_dir dir_;
  std::vector<BRF_FILE*> open_;
  kivo_test::hook_overrides hooks_;
};

TEST_F(DataFile, NewFileReadsUnversionedAndRefusesAllocationUntilUpgraded) {
  BRF_FILE* f = make("v");
  EXPECT_EQ(f->hdr.version, kVersionUnread);
  EXPECT_EQ(file_size(dat("v")), 0);
  rec_hdr h;
  uint32_t seek;
  EXPECT_EQ(brf_rcd_alloc(f, 10, &h, &seek, true, false), BRF_BAD_DATA);
  ASSERT_EQ(brf_upd_ver(f), BRF_OK);
  EXPECT_EQ(brf_rcd_alloc(f, 10, &h, &seek, true, false), BRF_OK);
}

TEST_F(DataFile, HeaderRecordHeaderAndTrailerBytesAreExact) {
  make_v2("var");
  BRF_FILE* fix = make("fix", 100);
  fix->has_keys = true;  // a keyed fixed file: it has a header
  brfinithdr(&fix->hdr, 100);
  ASSERT_EQ(brfputhdr(fix), BRF_OK);

  std::vector<uint8_t> expect(512, 0);
  const uint8_t var16[16] = {0x02, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x02, 0, 0};
  memcpy(expect.data(), var16, 16);
  EXPECT_EQ(file_bytes(dat("var"), 0, 512), expect);
  const uint8_t fix16[16] = {0x03, 0, 0x02, 0, 100, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x02, 0, 0};
  memcpy(expect.data(), fix16, 16);
  EXPECT_EQ(file_bytes(dat("fix"), 0, 512), expect);
  EXPECT_EQ(file_size(dat("var")), 512);

  BRF_FILE* f = make_v2("r");
  rec_hdr h;
  uint32_t s0, s1;
  ASSERT_EQ(brf_rcd_alloc(f, 5, &h, &s0, true, false), BRF_OK);
  ASSERT_EQ(brf_rcd_alloc(f, 0x0102, &h, &s1, true, false), BRF_OK);
  EXPECT_EQ(s0, 512u);
  EXPECT_EQ(s1, 512u + 5 + 16);
  // flags 0x02 (incomplete), age 0, length, link = own seek, record number
  const std::vector<uint8_t> hdr0 = {0x02, 0x00, 0x05, 0x00, 0x00, 0x02, 0, 0, 0, 0, 0, 0};
  const std::vector<uint8_t> hdr1 = {0x02, 0x00, 0x02, 0x01, 0x15, 0x02, 0, 0, 1, 0, 0, 0};
  EXPECT_EQ(file_bytes(dat("r"), s0, 12), hdr0);
  EXPECT_EQ(file_bytes(dat("r"), s0 + 12 + 5, 4), (std::vector<uint8_t>{5, 0, 0, 0}));
  EXPECT_EQ(file_bytes(dat("r"), s1, 12), hdr1);
  EXPECT_EQ(file_bytes(dat("r"), s1 + 12 + 0x102, 4), (std::vector<uint8_t>{2, 1, 0, 0}));
  // eofseek in the header follows the appends, and the file ends there.
  uint32_t eof = 512 + 21 + 0x102 + 16;
  auto head = file_bytes(dat("r"), 0, 16);
  EXPECT_EQ(ld_le32(head.data(), 12), eof);
  EXPECT_EQ(file_size(dat("r")), static_cast<off_t>(eof));
}

TEST_F(DataFile, FreeBlockBodyFillsWholeRecordPositionsInFixedKeyedFile) {
  BRF_FILE* f = make("k", 100);
  f->has_keys = true;
  brfinithdr(&f->hdr, 100);
  EXPECT_EQ(free_block_body_size(f), 564u);  // 564 + 16 = 5 x 116
  f->hdr.rec_len = 600;
  EXPECT_EQ(free_block_body_size(f), 600u);
  BRF_FILE* v = make("v");
  EXPECT_EQ(free_block_body_size(v), 496u);
}

TEST_F(DataFile, FreedRecordIsTakenAgainWithSameNumberAndAgePlusOne) {
  BRF_FILE* f = make_v2("a");
  uint32_t a = alloc(f, 30);
  uint32_t b = alloc(f, 40);
  ASSERT_EQ(brf_rcd_free(f, a, false), BRF_OK);
  // The first free made a FREE_BLOCK at the end, its entry 0 serves length 30.
  ASSERT_NE(f->hdr.freelist, 0u);
  auto blk = file_bytes(dat("a"), f->hdr.freelist + 12, 496);
  EXPECT_EQ(ld_le32(blk.data(), 4), a);
  EXPECT_EQ(ld_le16(blk.data(), 332), 30);
  rec_hdr h;
  ASSERT_EQ(brf_read_rec_hdr(f, a, &h), BRF_OK);
  EXPECT_EQ(h.flags, kRecDeleted);
  EXPECT_EQ(h.link, 0u);

  // Another length has an empty chain: appended at the end.
  uint32_t c = alloc(f, 31);
  EXPECT_GT(c, b);
  uint32_t again = 0;
  ASSERT_EQ(brf_rcd_alloc(f, 30, &h, &again, true, false), BRF_OK);
  EXPECT_EQ(again, a);
  EXPECT_EQ(h.recno, 0u);
  EXPECT_EQ(h.age, 1);
  EXPECT_EQ(h.flags, kRecNotUser);
  // The entry keeps its length with an empty chain; a new free of 30 uses it.
  complete(f, a);
  ASSERT_EQ(brf_rcd_free(f, a, false), BRF_OK);
  blk = file_bytes(dat("a"), f->hdr.freelist + 12, 496);
  EXPECT_EQ(ld_le32(blk.data(), 4), a);
  EXPECT_EQ(ld_le16(blk.data(), 336), 0);  // entry 1 unused: length 31 was never freed
}

TEST_F(DataFile, ActiveRecordOnFreeListAndDoubleFreeAreRefused) {
  BRF_FILE* f = make_v2("bad");
  uint32_t a = alloc(f, 20);
  ASSERT_EQ(brf_rcd_free(f, a, false), BRF_OK);
  // Damage: the chained record is live again behind the list's back.
  rec_hdr h;
  ASSERT_EQ(brf_read_rec_hdr(f, a, &h), BRF_OK);
  h.flags = 0;
  h.link = a;
  ASSERT_EQ(brf_write_rec_hdr(f, a, h), BRF_OK);
  unsigned errs = sys_err_count();
  uint32_t eof = f->hdr.eofseek;
  uint32_t seek = 0;
  ASSERT_EQ(brf_rcd_alloc(f, 20, &h, &seek, true, false), BRF_OK);
  EXPECT_EQ(seek, eof);
  EXPECT_EQ(sys_err_count(), errs + 1);
  EXPECT_STREQ(ut_dbg, ("Found active record on free list at " + std::to_string(a)).c_str());
  rec_hdr live;
  ASSERT_EQ(brf_read_rec_hdr(f, a, &live), BRF_OK);
  EXPECT_EQ(live.flags, 0);  // untouched
  auto blk = file_bytes(dat("bad"), f->hdr.freelist + 12, 496);
  EXPECT_EQ(ld_le32(blk.data(), 4), 0u);  // the entry was dropped
  // Freeing a deleted record or something that is not a record is refused.
  uint32_t b = alloc(f, 20);
  ASSERT_EQ(brf_rcd_free(f, b, false), BRF_OK);
  EXPECT_EQ(brf_rcd_free(f, b, false), BRF_DELETED);
  EXPECT_EQ(brf_rcd_free(f, b + 4, false), BRF_BAD_DATA);
  EXPECT_EQ(brf_rcd_free(f, 100, false), BRF_BAD_DATA);
}

TEST_F(DataFile, GrowthPastTwoGigabytesIsRefused) {
  BRF_FILE* f = make("big", 4);
  f->has_keys = true;  // fixed keyed: record positions of 20 bytes
  brfinithdr(&f->hdr, 4);
  uint32_t eof = kMaxSeek - 20;
  eof -= (eof - 512) % 20;
  f->hdr.eofseek = eof;
  rec_hdr h;
  uint32_t seek;
  ASSERT_EQ(brf_rcd_alloc(f, 4, &h, &seek, false, true), BRF_OK);
  EXPECT_EQ(seek, eof);
  EXPECT_EQ(brf_rcd_alloc(f, 4, &h, &seek, false, true), BRF_NO_SPACE);
  EXPECT_EQ(f->hdr.eofseek, eof + 20);  // unchanged by the refusal
  EXPECT_EQ(brf_rcd_alloc(f, 70000, &h, &seek, false, true), BRF_BAD_DATA);
}

TEST_F(DataFile, RelativeFileHasNoHeaderAndCannotFree) {
  BRF_FILE* f = make("rel", 8);
  EXPECT_EQ(f->hdr.version, kBrfVersion);
  rec_hdr h;
  uint32_t seek;
  ASSERT_EQ(brf_rcd_alloc(f, 8, &h, &seek, true, false), BRF_OK);
  EXPECT_EQ(seek, 0u);
  EXPECT_EQ(file_size(dat("rel")), 0);  // the caller writes the raw record
  ASSERT_EQ(kivo_pwrite(f->slot, "ABCDEFGHIJKL", 12, 0), 12);
  ASSERT_EQ(brf_rcd_alloc(f, 8, &h, &seek, true, false), BRF_OK);
  EXPECT_EQ(seek, 8u);  // whole records only
  EXPECT_EQ(h.recno, 1u);
  EXPECT_EQ(brf_rcd_free(f, 0, false), BRF_BAD_DATA);
  EXPECT_EQ(brfputhdr(f), BRF_OK);
  EXPECT_EQ(file_size(dat("rel")), 12);
}

TEST_F(DataFile, DamagedHeaderReadsAsUnreadable) {
  BRF_FILE* f = make_v2("dmg");
  f->hdr.eofseek = 100;  // below the header
  ASSERT_EQ(brfputhdr(f), BRF_OK);
  EXPECT_EQ(brfgethdr(f), BRF_BAD_DATA);
  EXPECT_EQ(f->hdr.version, kVersionUnread);
}

TEST_F(DataFile, OpenErrorsMapToStatuses) {
  int status = -1;
  EXPECT_EQ(brfopen(&status, dir_.file("none").c_str(), BRF_NO_KEYS, 0, false), nullptr);
  EXPECT_EQ(status, BRF_NOT_FOUND_FILE);
  std::string long_name(300, 'x');
  EXPECT_EQ(brfopen(&status, long_name.c_str(), BRF_NO_KEYS, 0, false), nullptr);
  EXPECT_EQ(status, BRF_SYS_ERR);
  // Keys without a key-file module: refused, nothing created.
  {
    kivo_test::scoped_hook no_key_file(brf_key_file.open, nullptr);
    EXPECT_EQ(brfopen(&status, dir_.file("keyed").c_str(), BRF_CREATE, 0, false), nullptr);
  }
  EXPECT_EQ(file_size(dat("keyed")), -1);
}

TEST_F(DataFile, KeyedCreateMakesTheDataAndKeyFilePair) {
  int status = -1;
  BRF_FILE* f = brfopen(&status, dir_.file("pair").c_str(), BRF_CREATE, 0, false);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(status, BRF_NOT_FOUND_FILE);  // created
  EXPECT_TRUE(f->has_keys);
  EXPECT_EQ(file_size(dat("pair")), 0);
  EXPECT_EQ(file_size(dir_.file("pair.key")), 0);  // no header until the first key
  brfclose(f);
  // Opened again: the empty key file still counts as new, the data file exists.
  f = brfopen(&status, dir_.file("pair").c_str(), 0, 0, false);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(status, BRF_OK);
  brfclose(f);
  // A key file that must exist is not created beside a lone data file.
  f = brfopen(&status, dir_.file("lone").c_str(), BRF_CREATE | BRF_NO_KEYS, 0, false);
  ASSERT_NE(f, nullptr);
  brfclose(f);
  EXPECT_EQ(brfopen(&status, dir_.file("lone").c_str(), BRF_KEY_MUST_EXIST | BRF_CREATE, 0, false), nullptr);
  EXPECT_EQ(status, BRF_NOT_FOUND_FILE);
  EXPECT_EQ(file_size(dir_.file("lone.key")), -1);
}

}  // namespace
}  // namespace kivo
