// The storage engine's own texts (key-file buffer checks, the analyser's
// unreadable record, a failed key delete) and its rules where record
// operations go their own way: the update lock around every rewrite, a
// first read past deleted records, the tree lock per B-tree operation; the
// stored length every read gives, and a keyed pair read without its key file.
#include <gtest/gtest.h>
#include <limits.h>
#include <unistd.h>

#include <functional>
#include <set>

#include "crash_test_util.h"
#include "fm/analyser.h"
#include "fm/flat_file.h"
#include "foundation/os_calls.h"

namespace kivo {
namespace {

using namespace test;

std::vector<std::string>& texts() {
  static std::vector<std::string> t;
  return t;
}
void keep_text(const char*, int, const char* text) { texts().push_back(text); }

class StorageTexts : public ::testing::Test {
 protected:
  void SetUp() override {
    com_fill(0, nullptr);
    brfinit();
    texts().clear();
    set_sys_err_presenter(keep_text);
  }
  void TearDown() override {
    os_sys = os_real_calls();
    set_sys_err_presenter(nullptr);
  }
  bool said(const std::string& t) { return std::find(texts().begin(), texts().end(), t) != texts().end(); }
  scratch_dir dir_;
  std::string base_ = dir_.file("st");
};

TEST_F(StorageTexts, KeyFileBufferThatDoesNotFitItsKindIsReported) {
  record_model m;
  make_pair(base_, 5, 10, &m);
  session s(base_);
  BT_CURSOR* c = s.r->cursor;
  uint8_t area[kPageSize];
  const struct {
    int type;
    uint32_t len;
    bool cursor_slot;
    const char* text;  // null: read
  } rows[] = {
      {kBufHeader, kBtHdrSize, false, nullptr},   {kBufHeader, 100, false, "bad hdr len"},
      {kBufPage, kPageSize, false, nullptr},      {kBufPage, 100, false, "bad idx len"},
      {kBufPageHead, kPgHdrSize, false, nullptr}, {kBufPageHead, 9, false, "bad idx hdr len"},
      {kBufPage, kPageSize, true, nullptr},       {kBufPageHead, kPgHdrSize, true, "bwork type"},
  };
  for (const auto& row : rows) {
    texts().clear();
    bt_buf b{row.cursor_slot ? c->pages[0].data : area, row.len, 0, 0, row.type};
    uint32_t seek = row.type == kBufHeader ? 0 : kBtHdrBlock;
    bool changed = false;
    EXPECT_EQ(biread(c, &b, seek, &changed), row.text ? 0 : 1) << row.type << " " << row.len;
    EXPECT_EQ(changed, !row.text);
    EXPECT_EQ(texts(), row.text ? std::vector<std::string>{row.text} : std::vector<std::string>{});
  }
  // A page read before costs its head only while its age stands.
  bt_buf b{area, kPageSize, 0, 0, kBufPage};
  bool changed = false;
  ASSERT_EQ(biread(c, &b, kBtHdrBlock, &changed), 1);
  ASSERT_EQ(biread(c, &b, kBtHdrBlock, &changed), 1);
  EXPECT_FALSE(changed);
  b.age = static_cast<uint16_t>(b.age + 1);  // as if the file had moved on
  ASSERT_EQ(biread(c, &b, kBtHdrBlock, &changed), 1);
  EXPECT_TRUE(changed);
}

// The n-th read of (offset, length) fails: the analyser's second look at a
// record, after its walk read it whole.
off_t g_fail_off = -1;
size_t g_fail_len = 0;
int g_seen = 0;
ssize_t pread_once_more(int fd, void* buf, size_t n, off_t off) {
  if (off == g_fail_off && n == g_fail_len && ++g_seen == 2) {
    errno = EIO;
    return -1;
  }
  return pread(fd, buf, n, off);
}

TEST_F(StorageTexts, AnalyserNamesTheUnreadableRecordHeaderOrTrailer) {
  record_model m;
  make_pair(base_, 5, 10, &m);
  const uint32_t first = kDataHeaderSize, len = static_cast<uint32_t>(m.begin()->second.size());
  const struct {
    off_t off;
    size_t n;
    std::string text;
  } rows[] = {
      {first, kRecHdrSize, "Can't read record header at 512\n"},
      {static_cast<off_t>(first + kRecHdrSize + len), kRecTrailerSize, "Can't read record trailer at 512\n"},
  };
  for (const auto& row : rows) {
    g_fail_off = row.off;
    g_fail_len = row.n;
    g_seen = 0;
    os_sys.pread = pread_once_more;
    testing::internal::CaptureStderr();
    int good = brfanal((base_ + ".dat").c_str(), 0, 0, nullptr);
    std::string out = testing::internal::GetCapturedStderr();
    os_sys = os_real_calls();
    EXPECT_EQ(good, 0) << row.text;
    EXPECT_NE(out.find(row.text), std::string::npos) << out;
  }
}

// Every write of a delete failing in turn: a key other than the current one
// and the current one (key 0, done last) each name their failure, and a
// failed delete leaves the record whole.
long g_writes = 0, g_fail_at = 0;
ssize_t pwrite_failing(int fd, const void* buf, size_t n, off_t off) {
  if (++g_writes == g_fail_at) {
    errno = EIO;
    return -1;
  }
  return pwrite(fd, buf, n, off);
}

TEST_F(StorageTexts, FailedKeyDeleteSaysWhetherItWasTheCurrentKey) {
  record_model m;
  make_pair(base_, 3, 10, &m);
  session s(base_);
  std::vector<uint8_t> want = m.begin()->second, buf(200);
  std::set<std::string> seen;
  for (g_fail_at = 1;; ++g_fail_at) {
    uint32_t len = 0;
    ASSERT_EQ(brfseek(s.r, kSeekEqual, want.data(), kWholeRecord, buf.data(), buf.size(), &len), BRF_OK)
        << "write " << g_fail_at;
    ASSERT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + len), want);
    texts().clear();
    g_writes = 0;
    os_sys.pwrite = pwrite_failing;
    int st = brfdelete(s.r);
    os_sys = os_real_calls();
    for (const std::string& t : texts()) seen.insert(t);
    if (g_writes < g_fail_at) break;  // got through without meeting the failure
    // A failure the delete could pass over: the record is put back for the next round.
    if (st == BRF_OK) {
      ASSERT_EQ(brfput(s.r, want.data(), static_cast<uint32_t>(want.size())), BRF_OK);
    }
    ASSERT_LT(g_fail_at, 100);
  }
  EXPECT_TRUE(seen.count("key delete failed"));
  EXPECT_TRUE(seen.count("key delete failed."));
  EXPECT_EQ(check_pair(base_, nullptr), "");
}

// The lock calls of one operation, as (file kind, byte) of each lock taken.
std::vector<std::pair<char, off_t>> g_locks;
int lock_noting(int fd, int cmd, struct flock* fl) {
  char link[64], path[PATH_MAX] = {};
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, path, sizeof path - 1);
  if (fl->l_type == F_WRLCK && n > 4) g_locks.push_back({path[n - 3], fl->l_start});
  return fcntl(fd, cmd, fl);
}

// A rewrite in place takes the update lock as a moving one does: without it
// the record could be freed and its space given to another record between
// the check that it lives and the write of its body.
TEST_F(StorageTexts, RewriteInPlaceTakesTheUpdateLock) {
  record_model m;
  make_pair(base_, 3, 10, &m);
  session s(base_);
  std::vector<uint8_t> rec = m.begin()->second, buf(200);
  uint32_t len = 0;
  ASSERT_EQ(brfseek(s.r, kSeekEqual, rec.data(), kWholeRecord, buf.data(), buf.size(), &len), BRF_OK);
  rec.back() ^= 1;  // same length, same keys: in place
  g_locks.clear();
  os_sys.fcntl_lock = lock_noting;
  EXPECT_EQ(brfrewrite(s.r, rec.data(), static_cast<uint32_t>(rec.size())), BRF_OK);
  os_sys = os_real_calls();
  EXPECT_EQ(g_locks, (std::vector<std::pair<char, off_t>>{{'d', kUpdateLockByte}}));
}

// Each key's change takes the tree lock for itself: a put into three keys
// locks the tree three times inside one update lock.
TEST_F(StorageTexts, TreeLockIsTakenPerBTreeOperation) {
  record_model m;
  make_pair(base_, 3, 10, &m);
  session s(base_);
  std::vector<uint8_t> rec = record_of(50, 52, 10);
  g_locks.clear();
  os_sys.fcntl_lock = lock_noting;
  EXPECT_EQ(brfput(s.r, rec.data(), static_cast<uint32_t>(rec.size())), BRF_OK);
  os_sys = os_real_calls();
  std::pair<char, off_t> tree{'k', kTreeLockByte}, update{'d', kUpdateLockByte};
  EXPECT_EQ(g_locks, (std::vector<std::pair<char, off_t>>{update, tree, tree, tree}));
}

// A first read by record number passes over deleted records, as the next
// read does: a file whose first record was deleted is not "not found".
TEST_F(StorageTexts, FirstReadWithoutKeyPassesOverDeletedRecords) {
  int st;
  BRF_FILE* f = brfopen(&st, base_.c_str(), BRF_CREATE | BRF_NO_KEYS, 0, false);
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(brf_upd_ver(f), BRF_OK);
  BRF_RCB* r = brfaccess(&st, f, 0, false);
  const std::string recs[] = {"first", "second", "third"};
  for (const std::string& t : recs) ASSERT_EQ(brfput(r, reinterpret_cast<const uint8_t*>(t.data()), 5 + 1), BRF_OK);
  uint8_t buf[16];
  uint32_t len = 0;
  ASSERT_EQ(brffirst(r, buf, sizeof buf, &len), BRF_OK);
  ASSERT_EQ(brfdelete(r), BRF_OK);
  EXPECT_EQ(brffirst(r, buf, sizeof buf, &len), BRF_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 6), std::string("second", 6));
  EXPECT_EQ(brfnext(r, buf, sizeof buf, &len), BRF_OK);
  EXPECT_EQ(brfnext(r, buf, sizeof buf, &len), BRF_EOF);
  brfdeaccess(r);
  brfclose(f);
}

// Every read gives the stored length beside the count delivered into a
// buffer shorter than the record.
TEST(StorageRules, EveryReadGivesTheStoredLength) {
  com_fill(0, nullptr);
  set_sys_err_presenter(quiet);
  brfinit();
  scratch_dir dir;
  std::string base = dir.file("len");
  record_model m;
  make_pair(base, 4, 30, &m);
  session s(base);
  const uint32_t stored = static_cast<uint32_t>(m.begin()->second.size());
  std::vector<uint8_t> key = m.begin()->second, buf(stored);
  const std::pair<const char*, std::function<int(size_t, uint32_t*)>> reads[] = {
      {"brffirst", [&](size_t n, uint32_t* len) { return brffirst(s.r, buf.data(), n, len); }},
      {"brfget", [&](size_t n, uint32_t* len) { return brfget(s.r, buf.data(), n, len); }},
      {"brfnext", [&](size_t n, uint32_t* len) { return brfnext(s.r, buf.data(), n, len); }},
      {"brfseek",
       [&](size_t n, uint32_t* len) { return brfseek(s.r, kSeekEqual, key.data(), kWholeRecord, buf.data(), n, len); }},
  };
  for (const auto& [name, read] : reads) {
    for (size_t size : {size_t{stored}, size_t{kFixedPart}}) {
      uint32_t len = 0;
      ASSERT_EQ(read(size, &len), BRF_OK) << name;
      EXPECT_EQ(len, size) << name;
      EXPECT_EQ(s.r->stored_len, stored) << name;
    }
  }
  uint32_t len = 0;
  for (int i = 0; i < 4; ++i) brfnext(s.r, buf.data(), buf.size(), &len);
  EXPECT_EQ(brfnext(s.r, buf.data(), buf.size(), &len), BRF_EOF);
  EXPECT_EQ(s.r->stored_len, 0u);
  set_sys_err_presenter(nullptr);
}

// A fixed-length keyed pair whose key file is missing keeps its header: the
// export reads its records, not the header's bytes as a relative file's.
TEST(StorageRules, FixedLengthPairWithoutItsKeyFileExportsItsRecords) {
  com_fill(0, nullptr);
  set_sys_err_presenter(quiet);
  brfinit();
  scratch_dir dir;
  std::string base = dir.file("fix");
  constexpr uint32_t kLen = 24;
  std::string expected;
  {
    int st;
    BRF_FILE* f = brfopen(&st, base.c_str(), BRF_CREATE, kLen, false);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(brf_upd_ver(f), BRF_OK);
    BRF_RCB* r = brfaccess(&st, f, 0, false);
    KEY_DESC k = id_key();
    ASSERT_EQ(brfsetkey(r, &k, true, false, nullptr), BRF_OK);
    for (int i = 0; i < 5; ++i) {
      char rec[kLen + 1];
      snprintf(rec, sizeof rec, "%08d fixed rec %05d", i, i);
      ASSERT_EQ(brfput(r, reinterpret_cast<uint8_t*>(rec), kLen), BRF_OK);
      expected += std::string(rec, kLen) + "\n";
    }
    brfdeaccess(r);
    brfclose(f);
  }
  ASSERT_EQ(unlink((base + ".key").c_str()), 0);
  EXPECT_EQ(brf2flat_run((base + ".dat").c_str()), 0);
  std::vector<uint8_t> out = read_file(base);
  EXPECT_EQ(std::string(out.begin(), out.end()), expected);
  set_sys_err_presenter(nullptr);
}

}  // namespace
}  // namespace kivo
