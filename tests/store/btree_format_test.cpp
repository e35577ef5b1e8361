// Key file format: the bytes of a new key file and of a page, key
// declarations and their refusals, and damaged files.
#include <gtest/gtest.h>
#include <utility>

#include <array>

#include "../fixtures/hook_override.h"
#include "btree_test_util.h"
#include "foundation/com.h"
#include "foundation/foundation.h"
#include "foundation/sys_err.h"

namespace kivo {
namespace {

using test::scratch_dir;

class BtreeFormat : public ::testing::Test {
 protected:
  void SetUp() override {
    com_fill(0, nullptr);
    hooks_.set(foundation_seams.err_presenter, test::quiet_presenter);
  }
  void TearDown() override {
    if (c_) bdeaccess(c_);
    if (f_) bclose(f_);
  }
  void open(int expect_status = BRF_NOT_FOUND_FILE) {
    int st;
    f_ = bopen(&st, path_.c_str(), kBtCreate);
    ASSERT_NE(f_, nullptr);
    ASSERT_EQ(st, expect_status);
    c_ = baccess(&st, f_, 0);
  }
  // Key 0 of these tests: 6 characters at 0, unsigned 4-byte binary at 6.
  void declare() {
    KEY_DESC d = test::key_desc({{kSegChars, 6, 0}, {kSegBinary | kSegUnsigned, 4, 6}});
    ASSERT_EQ(bsetkey(c_, &d, true), BRF_KEY_CREATED);
  }
  static std::vector<uint8_t> rec(const char* six, uint32_t n) {
    std::vector<uint8_t> r(10);
    memcpy(r.data(), six, 6);
    st_le32(r.data(), 6, n);
    return r;
  }

  scratch_dir dir_;
  std::string path_ = dir_.file("t.key");
  BT_FILE* f_ = nullptr;
  BT_CURSOR* c_ = nullptr;
  kivo_test::hook_overrides hooks_;
};

TEST_F(BtreeFormat, NewKeyFileIsEmptyUntilItsFirstKeyThenHeaderRootAndLeafGolden) {
  open();
  EXPECT_EQ(test::read_file(path_).size(), 0u);
  declare();
  std::vector<uint8_t> f = test::read_file(path_);
  ASSERT_EQ(f.size(), 3584u);
  const uint8_t head[] = {
      0x01, 0x00,              // version 1
      0x02, 0x00,              // age: two header writes (page taken, key stored)
      0x00, 0x00, 0x00, 0x00,  // no free page
      0x00, 0x0E, 0x00, 0x00,  // eofseek 3584
      0x00, 0x08,              // page size 2048
      0x01,                    // one key
      0x00,                    // in-use byte
      0x00, 0x06, 0x00, 0x00,  // key 0: root 1536
      0x00, 0x02, 0x0A, 0x00,  // key number 0, 2 segments, key length 10
      0x01, 0x06, 0x00, 0x00,  // characters, 6 bytes at 0
      0x42, 0x04, 0x06, 0x00,  // unsigned binary, 4 bytes at 6
  };
  EXPECT_EQ(std::vector<uint8_t>(f.begin(), f.begin() + sizeof head), std::vector<uint8_t>(head, head + sizeof head));
  for (size_t i = sizeof head; i < kHdrChangeCount; ++i) ASSERT_EQ(f[i], 0) << "header byte " << i;
  EXPECT_EQ(ld_le32(f.data(), kHdrChangeCount), 8u);  // odd 1 while it ran, then even: 2 + 2 x 3 more writes
  for (size_t i = kBtHdrSize; i < kBtHdrBlock; ++i) ASSERT_EQ(f[i], 0) << "header byte " << i;
  const uint8_t root[] = {0, 0, 0, 0, 0, 0, 0x03, 0x00, 0, 0, 0, 0};  // parent, count, age 3, last DOWN
  EXPECT_EQ(std::vector<uint8_t>(f.begin() + 1536, f.begin() + 1548), std::vector<uint8_t>(root, root + 12));
  for (size_t i = 1548; i < f.size(); ++i) ASSERT_EQ(f[i], 0x82) << "page byte " << i;

  // The root as a leaf with two entries.
  ASSERT_EQ(binsert(c_, rec("bbbbbb", 2).data(), 0x1234), BRF_OK);
  ASSERT_EQ(binsert(c_, rec("aaaaaa", 7).data(), 0x200), BRF_OK);
  f = test::read_file(path_);
  const uint8_t page[] = {
      0,   0,   0,   0,                            // parent: root
      2,   0,                                      // two entries
      5,   0,                                      // age: 3 + two inserts
      0,   0,   0,   0,   0x00, 0x02, 0, 0,        // DOWN 0, DSEEK 0x200
      'a', 'a', 'a', 'a', 'a',  'a',  7, 0, 0, 0,  // key
      0,   0,   0,   0,   0x34, 0x12, 0, 0,        // DOWN 0, DSEEK 0x1234
      'b', 'b', 'b', 'b', 'b',  'b',  2, 0, 0, 0,  // key
      0,   0,   0,   0,                            // last DOWN
  };
  EXPECT_EQ(std::vector<uint8_t>(f.begin() + 1536, f.begin() + 1536 + sizeof page),
            std::vector<uint8_t>(page, page + sizeof page));
  EXPECT_EQ(f[1536 + sizeof page], 0x82);
}

TEST_F(BtreeFormat, KeyOf300BytesIsRefusedAtDeclaration) {
  open();
  KEY_DESC d = test::key_desc({{kSegChars, 255, 0}, {kSegChars, 45, 255}});
  EXPECT_EQ(bsetkey(c_, &d, true), BRF_BAD_DATA);
  EXPECT_EQ(test::read_file(path_).size(), 0u);  // nothing written
  char why[100];
  d.keylen = 300;
  EXPECT_EQ(bt_check_key_desc(d, 2, why, sizeof why), BRF_BAD_DATA);
  EXPECT_STREQ(why, "key length 300 over 255 at key 2");
  // Binary segments other than 1, 2 or 4 bytes, unknown kinds, packed over 16.
  for (BT_SEG bad : {BT_SEG{kSegBinary, 3, 0}, BT_SEG{7, 4, 0}, BT_SEG{kSegPacked, 17, 0}}) {
    KEY_DESC b = test::key_desc({bad});
    EXPECT_EQ(bsetkey(c_, &b, true), BRF_BAD_DATA) << int(bad.type);
  }
  // 255 bytes is the most, with 7 entries a page.
  KEY_DESC ok = test::key_desc({{kSegChars, 255, 0}});
  EXPECT_EQ(bsetkey(c_, &ok, true), BRF_KEY_CREATED);
}

TEST_F(BtreeFormat, SeventeenthKeyIsRefusedAndKnownKeysAreFound) {
  open();
  for (int k = 0; k < 16; ++k) {
    KEY_DESC d = test::key_desc({{kSegChars, 4, static_cast<uint16_t>(k)}});
    ASSERT_EQ(bsetkey(c_, &d, true), BRF_KEY_CREATED);
    EXPECT_EQ(d.keyno, k);
  }
  KEY_DESC d17 = test::key_desc({{kSegChars, 4, 100}});
  EXPECT_EQ(bsetkey(c_, &d17, true), BRF_NO_KEY);
  KEY_DESC again = test::key_desc({{kSegChars, 4, 5}});
  EXPECT_EQ(bsetkey(c_, &again, false), BRF_OK);
  EXPECT_EQ(again.keyno, 5);
  EXPECT_EQ(c_->key, 5);
  KEY_DESC unknown = test::key_desc({{kSegChars, 5, 5}});
  EXPECT_EQ(bsetkey(c_, &unknown, false), BRF_NO_KEY);
}

// Damage one field of a sound file and reopen it.
class BtreeDamage : public BtreeFormat {
 protected:
  void build(int n) {
    open();
    declare();
    for (int i = 0; i < n; ++i) ASSERT_EQ(binsert(c_, rec("dddddd", i).data(), 512 + i), BRF_OK);
    bdeaccess(c_);
    bclose(f_);
    c_ = nullptr;
    f_ = nullptr;
  }
  // Writes the low `n` bytes of `v` at `off`, little-endian.
  void poke(size_t off, uint32_t v, size_t n = 4) {
    int fd = ::open(path_.c_str(), O_RDWR);
    uint8_t b[4];
    st_le32(b, 0, v);
    ASSERT_EQ(pwrite(fd, b, n, static_cast<off_t>(off)), static_cast<ssize_t>(n));
    close(fd);
  }
  BT_CURSOR* reopen() {
    int st;
    f_ = bopen(&st, path_.c_str(), 0);
    if (!f_) return nullptr;
    c_ = baccess(&st, f_, 0);
    bsetkeyN(c_, 0);
    return c_;
  }
};

TEST_F(BtreeDamage, HeaderFieldsOutOfBoundsRefuseTheOpen) {
  // Seventeen keys, a page size not 2048, a key length not the sum of its
  // segments.
  for (auto [off, v, n] :
       {std::array<uint32_t, 3>{kHdrKeyCount, 17, 1}, {kHdrPageSize, 4096, 4}, {kHdrKeys + kKdKeyLen, 200, 1}}) {
    unlink(path_.c_str());
    build(3);
    poke(off, v, n);
    int st;
    EXPECT_EQ(bopen(&st, path_.c_str(), 0), nullptr) << off;
    EXPECT_EQ(st, BRF_BAD_DATA) << off;
  }
}

TEST_F(BtreeDamage, TruncatedHeaderIsNotTakenForANewFile) {
  build(1);
  ASSERT_EQ(truncate(path_.c_str(), 100), 0);
  int st;
  EXPECT_EQ(bopen(&st, path_.c_str(), kBtCreate), nullptr);
  EXPECT_EQ(st, BRF_BAD_DATA);
  EXPECT_EQ(test::read_file(path_).size(), 100u);
}

// A wild count or link in a page gives a status, never a hang or a wild read.
TEST_F(BtreeDamage, WildCountsAndLinksInPagesGiveStatus) {
  const struct {
    const char* what;
    int n;           // keys inserted; 150 make a root with two leaves
    bool root_link;  // poke the root's first link, else the first page's count
    uint32_t value;  // 0: the root itself
  } cases[] = {{"count over the page maximum", 3, false, 60000},
               {"first child is the root itself", 150, true, 0},
               {"link outside the file", 150, true, 0x7FFFF800}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    unlink(path_.c_str());
    build(c.n);
    uint32_t root = ld_le32(test::read_file(path_).data(), kHdrKeys + kKdRoot);
    if (c.root_link) poke(root + kPgHdrSize, c.value ? c.value : root);
    else poke(1536 + kPgCount, c.value);
    ASSERT_NE(reopen(), nullptr);
    // The key file's damage, named: never a file "of another organisation".
    EXPECT_EQ(bfirst(c_), BRF_SYS_ERR);
    EXPECT_EQ(bseek(c_, kSeekEqual, rec("dddddd", 0).data(), 10, kKeyFormKey), BRF_SYS_ERR);
    if (!c.root_link) {
      EXPECT_EQ(binsert(c_, rec("eeeeee", 1).data(), 9000), BRF_SYS_ERR);
    }
    bdeaccess(c_);
    bclose(f_);
    c_ = nullptr;
    f_ = nullptr;
  }
}

}  // namespace
}  // namespace kivo
