// Texts of the storage engine and its record rules: key-file buffers, the
// analyser and a failed key delete name what failed; the locks of a rewrite
// and a put; a first read past deleted records of a pair without its key file.
#include <gtest/gtest.h>
#include <limits.h>

#include <set>

#include "../fixtures/hook_override.h"
#include "crash_test_util.h"
#include "foundation/foundation.h"
#include "foundation/os_calls.h"
#include "store/analyser.h"
#include "store/flat_file.h"

namespace kivo::test {
namespace {

std::vector<std::string> g_texts;
long g_calls, g_fail_at;
std::vector<std::pair<char, off_t>> g_locks;  // (last letter of the file's name, byte) locked

struct StorageTexts : ::testing::Test {
  void SetUp() override {
    com_fill(0, nullptr);
    brfinit();
    g_texts.clear();
    g_locks.clear();
    hooks_.set(foundation_seams.err_presenter, [](const char*, int, const char* t) { g_texts.push_back(t); });
    make_pair(base_, 3, 10, &m_);
  }
  bool said(const std::string& t) { return std::find(g_texts.begin(), g_texts.end(), t) != g_texts.end(); }
  scratch_dir dir_;
  std::string base_ = dir_.file("st");
  record_model m_;
  kivo_test::hook_overrides hooks_;
};

// Buffers that do not fit their kind; then the analyser's second read of the
// first record's header, then of its trailer, fails after its walk (the
// files not mapped: the analyser then reads them by calls).
TEST_F(StorageTexts, BuffersAndTheAnalyserNameWhatFailed) {
  session s(base_);
  uint8_t area[kPageSize], *slot = s.r->cursor->pages[0].data;
  bool changed;
  for (auto [type, len, data, text] : {std::tuple{kBufHeader, 100u, area, "bad hdr len"},
                                       {kBufPage, 100u, area, "bad idx len"},
                                       {kBufPageHead, 9u, area, "bad idx hdr len"},
                                       {kBufPageHead, 8u, slot, "bwork type"}}) {
    bt_buf b{data, len, 0, 0, type};
    EXPECT_EQ(biread(s.r->cursor, &b, kBtHdrBlock, &changed), 0);
    EXPECT_TRUE(said(text)) << text;
  }
  for (g_fail_at = 0; g_fail_at < 2; ++g_fail_at) {
    g_calls = 0;  // each text's second read fails
    {
      kivo_test::scoped_hook unmapped(os_sys.mmap, [](void*, size_t, int, int, int, off_t) -> void* {
        errno = ENOMEM;
        return MAP_FAILED;
      });
      kivo_test::scoped_hook failing(os_sys.pread, [](int fd, void* b, size_t n, off_t at) -> ssize_t {
        bool hit = at == (g_fail_at ? 512 + 12 + kFixedPart + 10 : 512) && n == (g_fail_at ? 4u : 12u);
        return hit && ++g_calls % 2 == 0 ? (errno = EIO, -1) : pread(fd, b, n, at);
      });
      testing::internal::CaptureStderr();
      EXPECT_EQ(brfanal((base_ + ".dat").c_str(), 0, 0, nullptr), 0);
    }
    std::string text = g_fail_at ? "trailer" : "header";
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Can't read record " + text + " at 512\n"), std::string::npos) << text << err;
  }
}

// Each write of a delete fails in turn: another key's failure and the
// current key's (key 0, done last) have their own texts.
TEST_F(StorageTexts, FailedKeyDeleteSaysWhetherItWasTheCurrentKey) {
  session s(base_);
  std::vector<uint8_t> rec = m_.begin()->second, buf(200);
  for (g_fail_at = 1, g_calls = 0; g_calls >= g_fail_at - 1; ++g_fail_at) {
    uint32_t len = 0;
    ASSERT_EQ(brfseek(s.r, kSeekEqual, rec.data(), kWholeRecord, buf.data(), buf.size(), &len), BRF_OK);  // still there
    g_calls = 0;
    int st;
    {
      kivo_test::scoped_hook failing(os_sys.pwrite, [](int fd, const void* b, size_t n, off_t at) -> ssize_t {
        return ++g_calls == g_fail_at ? (errno = EIO, -1) : pwrite(fd, b, n, at);
      });
      st = brfdelete(s.r);
    }
    EXPECT_TRUE(st != BRF_OK || brfput(s.r, rec.data(), static_cast<uint32_t>(rec.size())) == BRF_OK);
  }
  EXPECT_TRUE(said("key delete failed") && said("key delete failed."));
}

// A rewrite in place takes the update lock as a moving one does (else the
// record could be freed and its space reused between the check that it
// lives and the write of its body); each key of a put takes the tree lock.
TEST_F(StorageTexts, RewriteInPlaceTakesTheUpdateLockAndEachKeyTheTreeLock) {
  session s(base_);
  std::vector<uint8_t> rec = m_.begin()->second, buf(200), added = record_of(50, 52, 10);
  uint32_t len = 0;
  ASSERT_EQ(brfseek(s.r, kSeekEqual, rec.data(), kWholeRecord, buf.data(), buf.size(), &len), BRF_OK);
  rec.back() ^= 1;  // same length, same keys
  {
    kivo_test::scoped_hook recording(os_sys.fcntl_lock, [](int fd, int cmd, struct flock* fl) {
      char path[PATH_MAX] = {};
      ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path - 1);
      if (fl->l_type == F_WRLCK && n > 0) g_locks.push_back({path[n - 1], fl->l_start});
      return fcntl(fd, cmd, fl);
    });
    EXPECT_EQ(brfrewrite(s.r, rec.data(), static_cast<uint32_t>(rec.size())), BRF_OK);
    EXPECT_EQ(brfput(s.r, added.data(), static_cast<uint32_t>(added.size())), BRF_OK);
  }
  std::pair<char, off_t> update{'t', kUpdateLockByte}, tree{'y', kTreeLockByte};
  EXPECT_EQ(g_locks, (std::vector{update, update, tree, tree, tree}));
}

// A fixed-length keyed pair without its key file keeps its header: a first
// read by number passes over a deleted record as the next read does and
// gives the stored length beside the bytes delivered; the export reads its
// records, not the header's bytes as a relative file's.
TEST_F(StorageTexts, FirstReadPassesOverDeletedRecordsOfAPairWithoutItsKeyFile) {
  std::string fixed = dir_.file("fix"), expected;
  int st;
  BRF_FILE* f = brfopen(&st, fixed.c_str(), BRF_CREATE, 24, false);
  ASSERT_EQ(brf_upd_ver(f), BRF_OK);
  BRF_RCB* r = brfaccess(&st, f, 0, false);
  KEY_DESC k = id_key();
  ASSERT_EQ(brfsetkey(r, &k, true, false, nullptr), BRF_OK);
  for (int i = 0; i < 4; ++i) {
    char rec[25];
    snprintf(rec, sizeof rec, "%08d fixed rec %05d", i, i);
    ASSERT_EQ(brfput(r, reinterpret_cast<uint8_t*>(rec), 24), BRF_OK);
    expected += i ? std::string(rec) + "\n" : "";
  }
  brfdeaccess(r);
  brfclose(f);
  ASSERT_EQ(unlink((fixed + ".key").c_str()), 0);
  f = brfopen(&st, fixed.c_str(), BRF_NO_KEYS, 24, false);
  ASSERT_EQ(brf_set_has_header(f), BRF_OK);
  r = brfaccess(&st, f, 0, false);
  uint8_t buf[8];
  uint32_t len = 0;
  ASSERT_EQ(brffirst(r, buf, sizeof buf, &len), BRF_OK);
  ASSERT_EQ(brfdelete(r), BRF_OK);
  EXPECT_EQ(brffirst(r, buf, sizeof buf, &len), BRF_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), len) + "/" + std::to_string(r->stored_len), "00000001/24");
  brfdeaccess(r);
  brfclose(f);
  EXPECT_EQ(brf2flat_run((fixed + ".dat").c_str()), 0);
  std::vector<uint8_t> out = read_file(fixed);
  EXPECT_EQ(std::string(out.begin(), out.end()), expected);
}

}  // namespace
}  // namespace kivo::test
