// Readers racing writers between real processes: a writer deletes records
// and inserts others of the same length, which take the freed space at once,
// while readers look records up by key with a record lock wanted. A reader
// must get the record whose key it searched or a status, and hold a lock
// only on the record it got.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "../fixtures/hook_override.h"
#include "crash_test_util.h"
#include "foundation/foundation.h"

namespace kivo {
namespace {

using namespace test;

constexpr uint32_t kIds = 16;  // ids 0..15 come and go

// Swaps live and gone ids for ever: deletes a live one, puts a gone one.
[[noreturn]] void swapper(const std::string& base, uint32_t seed) {
  fd_cache_after_fork();
  kivo_test::scoped_hook presenter(foundation_seams.err_presenter, quiet);
  session s(base);
  BRF_RCB* r = s.r;
  if (!r) _exit(5);
  std::mt19937 rng(seed);
  std::vector<uint8_t> buf(256);
  for (;;) {
    uint32_t id = rng() % kIds;
    std::vector<uint8_t> key = record_of(id, 1, 0);
    uint32_t len = 0;
    int st = brfseek(r, kSeekEqual, key.data(), kWholeRecord, buf.data(), buf.size(), &len);
    if (st == BRF_OK) {
      static_cast<void>(brfdelete(r));  // another swapper may have taken it
      continue;
    }
    std::vector<uint8_t> rec = record_of(id, id * 1000 + 1, 40);
    static_cast<void>(brfput(r, rec.data(), static_cast<uint32_t>(rec.size())));  // or already put by the other
  }
}

// Looks ids up with a lock wanted; the exit status counts the reads that
// delivered another record or kept a lock they should not.
[[noreturn]] void reader(const std::string& base, uint32_t seed, int reads) {
  fd_cache_after_fork();
  kivo_test::scoped_hook presenter(foundation_seams.err_presenter, quiet);
  session s(base);
  BRF_RCB* r = s.r;
  if (!r) _exit(5);
  std::mt19937 rng(seed);
  std::vector<uint8_t> buf(256);
  int wrong = 0;
  for (int i = 0; i < reads; ++i) {
    uint32_t id = rng() % kIds;
    std::vector<uint8_t> key = record_of(id, 1, 0);
    uint32_t len = 0;
    brf_want_lock(r, false);
    int st = brfseek(r, kSeekEqual, key.data(), kWholeRecord, buf.data(), buf.size(), &len);
    bool held = (r->lock.flags & RCB_LOCK_HELD) && r->lock.seek >= 0;
    if (st == BRF_OK || st == BRF_LOCK_REFUSED) {
      if (len < kIdLen || memcmp(buf.data(), key.data(), kIdLen) != 0) ++wrong;
      if (held && r->lock.seek != r->last_seek) ++wrong;
    } else if (held) {
      ++wrong;
    }
    brf_release(r);
  }
  _exit(wrong > 250 ? 250 : wrong);
}

TEST(RecordRace, ReaderNeverGetsAnotherRecordThanItsKeyNames) {
  com_fill(0, nullptr);
  kivo_test::scoped_hook presenter(foundation_seams.err_presenter, quiet);
  brfinit();
  scratch_dir dir;
  std::string base = dir.file("race");
  record_model none;
  make_pair(base, 0, 0, &none);
  std::vector<pid_t> swappers, readers;
  for (uint32_t i = 0; i < 2; ++i) {
    pid_t pid = fork();
    if (pid == 0) swapper(base, 11 + i);
    swappers.push_back(pid);
  }
  for (uint32_t i = 0; i < 3; ++i) {
    pid_t pid = fork();
    if (pid == 0) reader(base, 101 + i, 4000 * static_cast<int>(stress_scale()));
    readers.push_back(pid);
  }
  for (pid_t pid : readers) EXPECT_EQ(wait_exit(pid), 0) << "reads that got another record or kept a lock";
  for (pid_t pid : swappers) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  // Swappers killed inside a change leave the pair for the next session.
  record_model active;
  EXPECT_EQ(reopen_and_check(base, &active), "");
}

}  // namespace
}  // namespace kivo
