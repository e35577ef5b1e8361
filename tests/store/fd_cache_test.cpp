// The descriptor cache: evictions and reopens, files that keep their
// descriptor because they carry locks, one descriptor per file whatever the
// path, and the cache's refusals.
#include <gtest/gtest.h>
#include <utility>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "../fixtures/hook_override.h"
#include "foundation/foundation.h"
#include "foundation/os_calls.h"
#include "store/fd_cache.h"
#include "store/lock.h"
#include "store_test_util.h"

namespace kivo {
namespace {

using test::other_process_can_lock;
using test::scratch_dir;

std::vector<int> g_open_flags;
int recording_open(const char* path, int flags, mode_t mode) {
  g_open_flags.push_back(flags);
  return os_real_calls().open(path, flags, mode);
}
int refusing_open(const char*, int, mode_t) {
  errno = EMFILE;
  return -1;
}

class FdCache : public ::testing::Test {
 protected:
  void SetUp() override {
    com_fill(0, nullptr);
    hooks_.set(foundation_seams.err_presenter, test::quiet_presenter);
    fd_cache_after_fork();  // a clean table, whatever earlier tests left
  }
  void TearDown() override {
    hooks_.restore();
    for (int s : slots_) kivo_close(s);
    unsetenv("KIVO_MAX_FILES");
    unsetenv("KIVO_FD_CACHE_LOG");
    unsetenv("KIVO_FD_CACHE_CODE");
    fd_cache_configure();
  }
  void set_max(const char* n) {
    setenv("KIVO_MAX_FILES", n, 1);
    fd_cache_configure();
  }
  std::string make_file(const std::string& name, const std::string& text) {
    std::string p = dir_.file(name);
    std::ofstream(p) << text;
    return p;
  }
  int open_slot(const std::string& path, int flags = O_RDWR) {
    int s = kivo_open(path.c_str(), flags, 0666);
    EXPECT_GE(s, 0) << path << ": " << strerror(errno);
    if (s >= 0) slots_.push_back(s);
    return s;
  }
  std::string read_all(int slot) {
    char buf[64] = {};
    ssize_t n = kivo_pread(slot, buf, sizeof buf - 1, 0);
    return n < 0 ? std::string("<error>") : std::string(buf, static_cast<size_t>(n));
  }
  scratch_dir dir_;
  std::vector<int> slots_;
  kivo_test::hook_overrides hooks_;
};

TEST_F(FdCache, LeastRecentlyUsedFileLosesDescriptorAndReopensWithoutCreateAtItsPosition) {
  set_max("2");
  int a = open_slot(make_file("a", "alpha"), O_RDWR | O_CREAT);
  int b = open_slot(make_file("b", "beta"));
  EXPECT_EQ(read_all(a), "alpha");  // a is now the most recently used
  int c = open_slot(make_file("c", "gamma"));
  EXPECT_TRUE(fd_cache_is_open(a));
  EXPECT_FALSE(fd_cache_is_open(b));
  EXPECT_EQ(fd_cache_open_count(), 2);
  hooks_.set(os_sys.open, recording_open);
  g_open_flags.clear();
  EXPECT_EQ(read_all(b), "beta");
  ASSERT_EQ(g_open_flags.size(), 1u);
  EXPECT_EQ(g_open_flags[0] & O_CREAT, 0);
  EXPECT_FALSE(fd_cache_is_open(a));
  EXPECT_EQ(read_all(c), "gamma");
  // A slot's position survives the eviction of its descriptor.
  int d = open_slot(make_file("d", "0123456789"));
  char two[3] = {};
  ASSERT_EQ(kivo_read(d, two, 2), 2);
  EXPECT_EQ(read_all(a), "alpha");
  EXPECT_EQ(read_all(b), "beta");
  EXPECT_FALSE(fd_cache_is_open(d));
  ASSERT_EQ(kivo_read(d, two, 2), 2);
  EXPECT_STREQ(two, "23");
  EXPECT_EQ(kivo_seek(d, 0, SEEK_END), 10);
}

TEST_F(FdCache, FileWithAnyLockKeepsItsDescriptor) {
  set_max("1");
  std::string pa = make_file("a", "alpha");
  std::string ph = make_file("h", "header");
  int a = open_slot(pa);
  ASSERT_EQ(bt_share_at(a, 600, 0, 1, LOCK_RECORD), 1);
  int h = open_slot(ph);
  ASSERT_EQ(lock_hdr(h, 1), 1);
  for (int i = 0; i < 3; ++i) open_slot(make_file("p" + std::to_string(i), "plain"));
  EXPECT_TRUE(fd_cache_is_open(a));
  EXPECT_TRUE(fd_cache_is_open(h));
  EXPECT_FALSE(other_process_can_lock(pa, 600));
  EXPECT_FALSE(other_process_can_lock(ph, kHeaderLockByte));
  // Released: now it may go.
  ASSERT_EQ(bt_share_at(a, 600, 0, 0, LOCK_RECORD), 1);
  open_slot(make_file("q1", "plain"));  // evicts the last plain file, used before a
  open_slot(make_file("q2", "plain"));
  EXPECT_FALSE(fd_cache_is_open(a));
}

TEST_F(FdCache, OneFileByTwoPathsIsOneDescriptorAndClosingOnePathKeepsLocks) {
  std::string p = make_file("f", "data");
  ASSERT_EQ(::link(p.c_str(), dir_.file("hard").c_str()), 0);
  int s1 = kivo_open(p.c_str(), O_RDWR, 0);
  int s2 = kivo_open((dir_.path() + "/./f").c_str(), O_RDWR, 0);
  int s3 = kivo_open(dir_.file("hard").c_str(), O_RDWR, 0);
  ASSERT_GE(s1, 0);
  ASSERT_GE(s2, 0);
  ASSERT_GE(s3, 0);
  EXPECT_NE(s1, s2);
  EXPECT_EQ(fd_cache_open_count(), 1);
  ASSERT_EQ(bt_share_at(s1, 700, 0, 1, LOCK_RECORD), 1);
  // The lock is the file's: the other slots see it as held by this session.
  EXPECT_EQ(bt_share_at(s3, 700, 0, 1, LOCK_RECORD), 0);
  EXPECT_EQ(kivo_close(s2), 0);
  EXPECT_EQ(kivo_close(s3), 0);
  EXPECT_FALSE(other_process_can_lock(p, 700));
  EXPECT_EQ(kivo_close(s1), 0);
  EXPECT_TRUE(other_process_can_lock(p, 700));
  EXPECT_EQ(fd_cache_open_count(), 0);
}

TEST_F(FdCache, RefusalsOfAFullTableADoubleCloseAndAnOverlongPath) {
  std::string p = make_file("many", "m");
  for (int i = 0; i < kFdCacheSlots; ++i) ASSERT_GE(open_slot(p), 0) << i;
  errno = 0;
  EXPECT_EQ(kivo_open(p.c_str(), O_RDWR, 0), -1);
  EXPECT_EQ(errno, ENFILE);
  EXPECT_EQ(fd_cache_open_count(), 1);  // one file, one descriptor
  int s = slots_.back();
  slots_.pop_back();
  EXPECT_EQ(kivo_close(s), 0);
  unsigned errs = sys_err_count();
  EXPECT_EQ(kivo_close(s), -1);
  EXPECT_EQ(sys_err_count(), errs + 1);
  EXPECT_STREQ(ut_dbg, "Trying to close unopened descriptor");
  EXPECT_EQ(kivo_open(std::string(300, 'a').c_str(), O_RDONLY, 0), -1);
  EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST_F(FdCache, ReplacedFileIsNotReopenedUnderTheOldSlot) {
  set_max("1");
  std::string p = make_file("r", "original");
  int s = open_slot(p);
  open_slot(make_file("other", "o"));
  ASSERT_FALSE(fd_cache_is_open(s));
  std::string q = make_file("new", "impostor");
  ASSERT_EQ(::rename(q.c_str(), p.c_str()), 0);
  unsigned errs = sys_err_count();
  EXPECT_EQ(read_all(s), "<error>");
  EXPECT_EQ(sys_err_count(), errs + 1);
}

TEST_F(FdCache, NoDescriptorToFreeGivesUpWithLog) {
  std::string log = dir_.file("cache.log");
  setenv("KIVO_FD_CACHE_LOG", log.c_str(), 1);
  setenv("KIVO_FD_CACHE_CODE", "0x3", 1);
  fd_cache_configure();
  int a = open_slot(make_file("a", "a"));
  ASSERT_EQ(bt_share_at(a, 5, 0, 1, LOCK_RECORD), 1);
  {
    kivo_test::scoped_hook refusing(os_sys.open, refusing_open);
    errno = 0;
    EXPECT_EQ(kivo_open(make_file("b", "b").c_str(), O_RDWR, 0), -1);
    EXPECT_EQ(errno, EMFILE);
  }
  std::stringstream text;
  text << std::ifstream(log).rdbuf();
  EXPECT_NE(text.str().find("Bypassing for locks"), std::string::npos);
  EXPECT_NE(text.str().find("free_fd said sorry\n"), std::string::npos);
  EXPECT_NE(text.str().find("giving up (24)\n"), std::string::npos);
  EXPECT_NE(text.str().find("Adding lock at 5 to 1 for"), std::string::npos);
}

TEST_F(FdCache, DumpListsOpenFiles) {
  open_slot(make_file("d1", "x"));
  open_slot(make_file("d2", "y"));
  char* buf = nullptr;
  size_t len = 0;
  FILE* out = open_memstream(&buf, &len);
  brf_dump_files(out);
  fclose(out);
  std::string text(buf, len);
  free(buf);
  EXPECT_EQ(text.find("Open files in process " + std::to_string(getpid())), 0u);
  EXPECT_NE(text.find("001 - " + dir_.file("d1") + "\r\n"), std::string::npos);
  EXPECT_NE(text.find("002 - " + dir_.file("d2") + "\r\n"), std::string::npos);
}

}  // namespace
}  // namespace kivo
