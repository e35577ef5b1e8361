// Locks between real engine processes on one file: the header lock shared
// against exclusive, record locks refused, waited for and granted on release
// or on the holder's death, a deadlock refused, the wait's status line, and
// evictions under KIVO_MAX_FILES that lose no lock.
//
// Children run as engine processes of their own (fd_cache_after_fork) and
// report by exit code; the steps are ordered through pipes, never by sleeps.
#include <gtest/gtest.h>
#include <utility>

#include <sys/time.h>

#include <cstring>
#include <string>
#include <vector>

#include "../fixtures/hook_override.h"
#include "editors/editors.h"
#include "foundation/foundation.h"
#include "store/brf_status.h"
#include "store/data_file.h"
#include "store/lock.h"
#include "store/store.h"
#include "store_test_util.h"

namespace kivo {
namespace {

using test::scratch_dir;
using test::signal_pipe;
using test::wait_exit;

// The pipe that a waiting process's status line is written to.
int g_status_fd = -1;
void status_to_pipe(const char* text) {
  if (!text || g_status_fd < 0) return;
  std::string line = std::string(text) + "\n";
  if (write(g_status_fd, line.data(), line.size()) < 0) return;
}

std::string read_line(int fd) {
  std::string s;
  char c;
  while (read(fd, &c, 1) == 1 && c != '\n') s += c;
  return s;
}

template <typename Fn>
pid_t spawn(Fn fn) {
  pid_t pid = fork();
  if (pid == 0) {
    fd_cache_after_fork();
    _exit(fn());
  }
  return pid;
}

class Locks : public ::testing::Test {
 protected:
  void SetUp() override {
    com_fill(0, nullptr);
    editors_register_hooks();  // the user's break request reaches the lock wait
    hooks_.set(foundation_seams.err_presenter, test::quiet_presenter);
    fd_cache_after_fork();
    base_ = dir_.file("d");
    make_data_file(base_);
  }
  // A data file with two records, at rec_[0] and rec_[1].
  void make_data_file(const std::string& base) {
    int status = -1;
    BRF_FILE* f = brfopen(&status, base.c_str(), BRF_CREATE | BRF_NO_KEYS, 0, false);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(brf_upd_ver(f), BRF_OK);
    rec_hdr h;
    ASSERT_EQ(brf_rcd_alloc(f, 10, &h, &rec_[0], false, false), BRF_OK);
    ASSERT_EQ(brf_rcd_alloc(f, 10, &h, &rec_[1], false, false), BRF_OK);
    brfclose(f);
  }
  void TearDown() override {
    lock_wait_notice_ms = 10000;
    com_dbg_ctl_bits = 0;
    g_status_fd = -1;
    unsetenv("KIVO_MAX_FILES");
    fd_cache_after_fork();
  }
  BRF_FILE* open_data(bool exclusive, int* status, const std::string& base = "") {
    return brfopen(status, (base.empty() ? base_ : base).c_str(), BRF_NO_KEYS, 0, exclusive);
  }
  // A record lock through a fresh control-block lock.
  int lock_record(BRF_FILE* f, uint32_t seek, bool wait) {
    rec_lock rl;
    rl.flags = RCB_LOCK_WANTED | (wait ? RCB_LOCK_WAIT : 0);
    return brflock(f->slot, &rl, seek, false);
  }
  // A child that holds the record lock at `seek` until it is killed; it
  // signals `ready` once the lock is held.
  pid_t spawn_holder(uint32_t seek, signal_pipe& ready) {
    return spawn([&] {
      int st = -1;
      BRF_FILE* g = open_data(false, &st);
      if (!g || lock_record(g, seek, false) != BRF_OK) return 1;
      ready.send();
      for (;;) pause();
    });
  }
  // A child that finds the record at `seek` locked, then waits for it with
  // its status line going to `status_line`; it exits 0 once granted.
  pid_t spawn_waiter(uint32_t seek, signal_pipe& status_line, uint32_t free_seek = 0) {
    return spawn([&, seek, free_seek] {
      int st = -1;
      BRF_FILE* g = open_data(false, &st);
      if (!g) return 90;
      if (lock_record(g, seek, false) != BRF_LOCK_REFUSED) return 91;
      if (free_seek && lock_record(g, free_seek, false) != BRF_OK) return 92;  // another record is free
      lock_wait_notice_ms = 50;
      g_status_fd = status_line.fd[1];
      kivo_test::scoped_hook to_pipe(store_hooks.lock_status, status_to_pipe);
      return lock_record(g, seek, true) == BRF_OK ? 0 : 93;
    });
  }
  std::string waiting_text(pid_t holder) {
    return "Waiting for lock held by process " + std::to_string(holder) + " in " + base_ + ".dat";
  }
  scratch_dir dir_;
  std::string base_;
  uint32_t rec_[2] = {};
  kivo_test::hook_snapshot all_;  // what editors_register_hooks fills goes back too
  kivo_test::hook_overrides hooks_;
};

TEST_F(Locks, HeaderLockSharedOpensTogetherExclusiveOpensAlone) {
  int status = -1;
  BRF_FILE* shared = open_data(false, &status);
  ASSERT_NE(shared, nullptr);
  auto try_open = [this](bool exclusive) {
    return spawn([this, exclusive] {
      int st = -1;
      BRF_FILE* f = open_data(exclusive, &st);
      return f ? 0 : st;
    });
  };
  EXPECT_EQ(wait_exit(try_open(false)), 0);
  EXPECT_EQ(wait_exit(try_open(true)), BRF_FILE_LOCKED);
  brfclose(shared);
  BRF_FILE* alone = open_data(true, &status);
  ASSERT_NE(alone, nullptr);
  EXPECT_EQ(wait_exit(try_open(false)), BRF_FILE_LOCKED);
  brfclose(alone);
  EXPECT_EQ(wait_exit(try_open(true)), 0);
}

TEST_F(Locks, RecordLockRefusedWithoutWaitAndGrantedAfterRelease) {
  int status = -1;
  BRF_FILE* f = open_data(false, &status);
  ASSERT_NE(f, nullptr);
  rec_lock held;
  held.flags = RCB_LOCK_WANTED;
  ASSERT_EQ(brflock(f->slot, &held, rec_[0], false), BRF_OK);
  EXPECT_EQ(held.flags, RCB_LOCK_HELD);
  EXPECT_EQ(held.seek, rec_[0]);

  signal_pipe status_line;
  pid_t child = spawn_waiter(rec_[0], status_line, rec_[1]);
  // The child is waiting once its status line appears.
  EXPECT_EQ(read_line(status_line.fd[0]), waiting_text(getpid()));
  brfunlock(f->slot, &held, false);
  EXPECT_EQ(held.seek, -1);
  EXPECT_EQ(wait_exit(child), 0);
  brfclose(f);
}

TEST_F(Locks, WaitIsGrantedWhenTheHolderIsKilled) {
  signal_pipe ready, status_line;
  pid_t holder = spawn_holder(rec_[1], ready);
  ASSERT_EQ(ready.receive(), 'x');
  pid_t waiter = spawn_waiter(rec_[1], status_line);
  EXPECT_EQ(read_line(status_line.fd[0]), waiting_text(holder));
  kill(holder, SIGKILL);
  EXPECT_EQ(wait_exit(holder), 128 + SIGKILL);
  EXPECT_EQ(wait_exit(waiter), 0);
}

TEST_F(Locks, DeadlockPairIsRefusedToOneOfTheWaiters) {
  int status = -1;
  BRF_FILE* f = open_data(false, &status);
  ASSERT_NE(f, nullptr);
  rec_lock held;
  held.flags = RCB_LOCK_WANTED;
  ASSERT_EQ(brflock(f->slot, &held, rec_[0], false), BRF_OK);
  signal_pipe child_holds, parent_waits;
  pid_t child = spawn([&] {
    int st = -1;
    BRF_FILE* g = open_data(false, &st);
    if (!g) return 90;
    rec_lock mine;
    mine.flags = RCB_LOCK_WANTED;
    if (brflock(g->slot, &mine, rec_[1], false) != BRF_OK) return 91;
    child_holds.send();
    if (parent_waits.receive() != 'x') return 92;
    // Each now waits for the other's record: the system refuses whichever
    // request closes the circle, and the refused side lets go.
    int rc = lock_record(g, rec_[0], true);
    brfunlock(g->slot, &mine, false);
    return rc == BRF_LOCK_REFUSED ? 0 : rc == BRF_OK ? 1 : 93;
  });
  ASSERT_EQ(child_holds.receive(), 'x');
  lock_wait_notice_ms = 50;
  g_status_fd = parent_waits.fd[1];
  kivo_test::scoped_hook shown(store_hooks.lock_status, [](const char* text) {
    if (text) status_to_pipe("x");
  });
  // The parent's status line tells the child that the parent is waiting.
  int rc = lock_record(f, rec_[1], true);
  if (rc != BRF_OK) brfunlock(f->slot, &held, false);
  int child_rc = wait_exit(child);
  if (rc == BRF_OK) {
    EXPECT_EQ(child_rc, 0) << "the child was refused";
  } else {
    EXPECT_EQ(rc, BRF_LOCK_REFUSED);
    EXPECT_EQ(child_rc, 1) << "the parent was refused, the child granted";
  }
  brfclose(f);
}

TEST_F(Locks, TwoStreamsOfOneSessionConflict) {
  int status = -1;
  BRF_FILE* f = open_data(false, &status);
  BRF_FILE* g = open_data(false, &status);  // the same file opened again
  ASSERT_NE(f, nullptr);
  ASSERT_NE(g, nullptr);
  rec_lock first;
  first.flags = RCB_LOCK_WANTED;
  ASSERT_EQ(brflock(f->slot, &first, rec_[0], false), BRF_OK);
  EXPECT_EQ(brflock(f->slot, &first, rec_[0], false), BRF_OK);  // not wanted again: nothing to do
  first.flags |= RCB_LOCK_WANTED;
  EXPECT_EQ(brflock(f->slot, &first, rec_[1], false), BRF_LOCK_HELD);
  // Even a waiting request fails at once instead of waiting for itself.
  EXPECT_EQ(lock_record(f, rec_[0], true), BRF_LOCK_REFUSED);
  EXPECT_EQ(lock_record(g, rec_[0], true), BRF_LOCK_REFUSED);
  brfunlock(f->slot, &first, false);
  EXPECT_EQ(lock_record(g, rec_[0], false), BRF_OK);
  brfclose(g);
  brfclose(f);
}

TEST_F(Locks, DebuggerBreakAbortsAWait) {
  signal_pipe ready;
  pid_t holder = spawn_holder(rec_[0], ready);
  ASSERT_EQ(ready.receive(), 'x');
  int status = -1;
  BRF_FILE* f = open_data(false, &status);
  ASSERT_NE(f, nullptr);
  lock_wait_notice_ms = 20;
  // The user breaks in while the status line shows; a later signal (here a
  // timer) interrupts the wait again, and the wait gives up and stops it.
  kivo_test::scoped_hook shown(store_hooks.lock_status, [](const char* text) {
    if (!text) return;
    com_dbg_ctl_bits |= kDbgBreakRequest;
    struct itimerval it {};
    it.it_value.tv_usec = 20000;
    it.it_interval.tv_usec = 20000;  // repeats, so no signal can fall between two waits
    setitimer(ITIMER_REAL, &it, nullptr);
  });
  EXPECT_EQ(lock_record(f, rec_[0], true), BRF_LOCK_REFUSED);
  kill(holder, SIGKILL);
  wait_exit(holder);
  brfclose(f);
}

TEST_F(Locks, EvictionsUnderMaxFilesLoseNoLock) {
  // Four data files, each process locking records in its own two of them
  // while both hold shared header locks on all four.
  std::vector<std::string> bases;
  for (int i = 0; i < 4; ++i) {
    bases.push_back(dir_.file("m" + std::to_string(i)));
    make_data_file(bases.back());  // the same two seeks in each
  }
  for (int i = 0; i < 3; ++i) {
    std::string p = dir_.file("plain" + std::to_string(i));
    FILE* out = fopen(p.c_str(), "w");
    fputs("plain", out);
    fclose(out);
  }
  setenv("KIVO_MAX_FILES", "2", 1);
  signal_pipe to_a, to_b, from_a, from_b;
  const long rounds = 200 * test::stress_scale();
  // who 0 locks record 0 of files 0 and 1; who 1 locks record 1 of files 2 and 3.
  auto run = [&](int who, signal_pipe& in, signal_pipe& out) {
    return spawn([&, who] {
      std::vector<BRF_FILE*> files;
      for (auto& b : bases) {
        int st = -1;
        BRF_FILE* f = brfopen(&st, b.c_str(), BRF_NO_KEYS, 0, false);
        if (!f) return 10;
        files.push_back(f);
      }
      uint32_t mine = who == 0 ? rec_[0] : rec_[1];
      uint32_t theirs = who == 0 ? rec_[1] : rec_[0];
      for (int i = 0; i < 2; ++i)
        if (lock_record(files[static_cast<size_t>(2 * who + i)], mine, false) != BRF_OK) return 11;
      std::vector<int> plain;
      for (int i = 0; i < 3; ++i)
        plain.push_back(kivo_open(dir_.file("plain" + std::to_string(i)).c_str(), O_RDONLY, 0));
      out.send();
      if (in.receive() != 'x') return 12;
      bool evicted = false;
      for (long r = 0; r < rounds; ++r) {
        for (int p : plain) {
          char buf[5];
          if (kivo_pread(p, buf, 5, 0) != 5 || memcmp(buf, "plain", 5) != 0) return 13;
        }
        evicted = evicted || !fd_cache_is_open(plain[0]);
        // The other process's locks stay out of reach throughout.
        size_t other = static_cast<size_t>(2 * (1 - who) + r % 2);
        if (lock_record(files[other], theirs, false) != BRF_LOCK_REFUSED) return 14;
        int st = -1;
        if (brfopen(&st, bases[static_cast<size_t>(r % 4)].c_str(), BRF_NO_KEYS, 0, true) || st != BRF_FILE_LOCKED)
          return 15;
      }
      if (!evicted) return 16;
      out.send();
      if (in.receive() != 'x') return 17;  // hold until the other is done too
      return 0;
    });
  };
  pid_t a = run(0, to_a, from_a);
  pid_t b = run(1, to_b, from_b);
  ASSERT_EQ(from_a.receive(), 'x');
  ASSERT_EQ(from_b.receive(), 'x');
  to_a.send();
  to_b.send();
  from_a.receive();
  from_b.receive();
  // Both still hold everything: a third process can take none of it.
  for (int i = 0; i < 4; ++i) {
    EXPECT_FALSE(test::other_process_can_lock(bases[static_cast<size_t>(i)] + ".dat", i < 2 ? rec_[0] : rec_[1]));
    EXPECT_FALSE(test::other_process_can_lock(bases[static_cast<size_t>(i)] + ".dat", kHeaderLockByte));
  }
  to_a.send();
  to_b.send();
  EXPECT_EQ(wait_exit(a), 0);
  EXPECT_EQ(wait_exit(b), 0);
}

}  // namespace
}  // namespace kivo
