// "kivo -v" and "kivo -r" as real processes on scratch files: what is no data
// file, or a pair damaged at one place of its key file or its records, fails
// verification with a line naming the fault; sound files keep their verdict;
// a repaired pair verifies good.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <functional>

#include "analyser_test_util.h"
#include "fm_test_util.h"
#include "foundation/com.h"

namespace kivo {
namespace {

using bytes = std::vector<uint8_t>;
using test::make_rec;
using test::slurp;
using test::spill;

struct run_result {
  int status;
  std::string err;
};

run_result run_kivo(const std::string& args) {
  std::string cmd = std::string(KIVO_BINARY) + " " + args + " 2>&1 >/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  int st = pclose(p);
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

class VerifyRefuses : public ::testing::Test {
 public:
  void SetUp() override {
    com_fill(0, nullptr);
    set_sys_err_presenter(test::quiet_presenter);
  }
  void TearDown() override { set_sys_err_presenter(nullptr); }

  // 600 records on two keys (trees of two levels); every fifth is deleted.
  void build() {
    seeks_.clear();
    test::pair_builder b(base_, 2);
    for (int i = 0; i < 600; ++i) {
      auto r = make_rec(i, i % 7 == 0 ? 0 : 1000 + i, std::string(static_cast<size_t>(i % 13), 'x'));
      seeks_.push_back(b.put(r));
      if (i % 5 == 4) b.del(seeks_.back(), r);
    }
  }
  run_result verify() { return run_kivo("-v=" + base_); }

  uint32_t root(const bytes& k, int key) { return test::key_root(k, key); }
  uint32_t down(const bytes& k, uint32_t page, int i) { return ld_le32(k.data(), page + kPgHdrSize + i * kEntry); }
  uint32_t first_leaf(const bytes& k, int key) {
    uint32_t seek = root(k, key);
    while (down(k, seek, 0) != 0) seek = down(k, seek, 0);
    return seek;
  }

  static constexpr size_t kEntry = 6 + 8;  // an entry of key 0
  test::scratch_dir dir_;
  std::string base_ = dir_.file("cust");
  std::vector<uint32_t> seeks_;
};

TEST_F(VerifyRefuses, WhatIsNoDataFileFailsWithItsReason) {
  const struct {
    const char* what;
    bytes dat;
    const char* line;
  } cases[] = {
      {"a 0-byte file", {}, "it is empty"},
      {"a text file", bytes(600, 'a'), "not a data file"},
      {"a short text file", {'h', 'i', '\n'}, "shorter than the 512-byte header"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    spill(base_ + ".dat", c.dat);
    run_result r = verify();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(c.line), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("failed verification"), std::string::npos) << r.err;
  }
}

TEST_F(VerifyRefuses, AnOverwrittenHeaderFailsAndSoundFilesKeepTheirVerdict) {
  build();
  EXPECT_EQ(verify().status, 1);
  const bytes d = slurp(base_ + ".dat");
  const struct {
    const char* what;
    std::function<void(bytes&)> edit;
    int status;
    const char* line;
  } cases[] = {
      {"text over the header", [](bytes& x) { memset(x.data(), 'Q', 512); }, 0, "not a data file"},
      {"ones over the header fields", [](bytes& x) { memset(x.data(), 0xff, 16); }, 0, "header flags 0xffff"},
      {"an end of file of 0", [](bytes& x) { st_le32(x.data(), kHdrEofseekOff, 0); }, 0, "header's end of file 0"},
      {"a stray byte in the header block", [](bytes& x) { x[300] = 7; }, 0, "header byte 300"},
      {"a free list past the records", [](bytes& x) { st_le32(x.data(), kHdrFreelistOff, 0x7fff0000); }, 0,
       "free list"},
      {"a fixed length of 0", [](bytes& x) { st_le16(x.data(), kHdrFlagsOff, kHdrFixed | kHdrHasVersion); }, 0,
       "record length 0"},
      // An older version is upgraded at its next open, not verified.
      {"a sound older-version file", [](bytes& x) { st_le16(x.data(), kHdrVersionOff, 1); }, 1, ""},
      {"a newer version", [](bytes& x) { st_le16(x.data(), kHdrVersionOff, 3); }, 0, "Invalid internal file format"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    bytes x = d;
    c.edit(x);
    spill(base_ + ".dat", x);
    run_result r = verify();
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.line), std::string::npos) << r.err;
  }
}

// One fault at a time in a sound pair; after "kivo -r" the pair is good.
TEST_F(VerifyRefuses, EachDamagedPlaceOfAKeyedPairIsNamedAndRepaired) {
  const struct {
    const char* what;
    const char* line;
    std::function<void(VerifyRefuses*, bytes& d, bytes& k)> damage;
  } cases[] = {
      {"page type: the root branch made a leaf", "not referenced by key 0",
       [](VerifyRefuses* t, bytes&, bytes& k) {
         const uint32_t r = t->root(k, 0);
         ASSERT_NE(t->down(k, r, 0), 0u);
         for (int i = 0; i <= ld_le16(k.data(), r + kPgCount); ++i) st_le32(k.data(), r + kPgHdrSize + i * kEntry, 0);
       }},
      {"entry count over the page", "Bad page header",
       [](VerifyRefuses* t, bytes&, bytes& k) { st_le16(k.data(), t->first_leaf(k, 0) + kPgCount, 200); }},
      {"an entry out of order", "out of order",
       [](VerifyRefuses* t, bytes&, bytes& k) {
         auto at = k.begin() + t->first_leaf(k, 0) + kPgHdrSize + 4;
         std::swap_ranges(at, at + (kEntry - 4), at + kEntry);
       }},
      {"a child link naming its neighbour", "Key out of order",
       [](VerifyRefuses* t, bytes&, bytes& k) {
         const uint32_t r = t->root(k, 0);
         st_le32(k.data(), r + kPgHdrSize, t->down(k, r, 1));
       }},
      {"a root naming a leaf", "not the top of its tree",
       [](VerifyRefuses* t, bytes&, bytes& k) { st_le32(k.data(), kHdrKeys + kKdRoot, t->first_leaf(k, 0)); }},
      {"an entry naming a deleted record", "deleted record",
       [](VerifyRefuses* t, bytes&, bytes& k) {
         st_le32(k.data(), t->first_leaf(k, 0) + kPgHdrSize + 4,
                 t->seeks_[599]);  // deleted last: its space is not taken again
       }},
      {"a record's key bytes changed", "wrong record",
       [](VerifyRefuses* t, bytes& d, bytes&) { d[t->seeks_[0] + kRecHdrSize + 5] = '9'; }},
      {"an entry removed", "not referenced by key 0",
       [](VerifyRefuses* t, bytes&, bytes& k) {
         const uint32_t leaf = t->first_leaf(k, 0);
         const uint16_t n = ld_le16(k.data(), leaf + kPgCount);
         auto at = k.begin() + leaf + kPgHdrSize;
         std::copy(at + kEntry, at + n * kEntry + 4, at);
         st_le16(k.data(), leaf + kPgCount, static_cast<uint16_t>(n - 1));
       }},
      {"a page in no key", "in no key and not on the free page list",
       [](VerifyRefuses*, bytes&, bytes& k) {
         const uint32_t eof = ld_le32(k.data(), kHdrEofseek);
         k.resize(eof + kPageSize, 0);
         st_le32(k.data(), kHdrEofseek, eof + kPageSize);
       }},
      {"a free page that is in a tree", "on the free page list and in key 0",
       [](VerifyRefuses* t, bytes&, bytes& k) { st_le32(k.data(), kHdrFreePage, t->first_leaf(k, 0)); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    unlink((base_ + ".dat").c_str());
    unlink((base_ + ".key").c_str());
    build();
    bytes d = slurp(base_ + ".dat"), k = slurp(base_ + ".key");
    c.damage(this, d, k);
    spill(base_ + ".dat", d);
    spill(base_ + ".key", k);
    run_result r = verify();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(c.line), std::string::npos) << r.err;
    EXPECT_EQ(run_kivo("-r=" + base_).status, 1);
    r = verify();
    EXPECT_EQ(r.status, 1) << r.err;
  }
}

}  // namespace
}  // namespace kivo
