// Crash safety: a writer process is killed with SIGKILL at random moments
// while it puts, rewrites (in place, moving, changing keys) and deletes.
// After each kill a second session opens the pair (repairing it when the
// writer died inside a change): every write the writer acknowledged must be
// found, the one in flight old or new, nothing else, and an insert of the
// victim's id refused exactly when its record survived, and every live
// record of the data file one that some writer wrote, whole. The writer
// opens the pair shared, or exclusively (no lock calls, the change count
// kept in memory), 50 rounds each; three writers on ids of their own are
// killed together in 100 rounds. KIVO_STRESS_SCALE multiplies the rounds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <random>

#include "../fixtures/hook_override.h"
#include "crash_test_util.h"
#include "foundation/foundation.h"

namespace kivo {
namespace {

using namespace test;

// The writer: random inserts, rewrites and deletes on the ids `first`,
// `first` + `stride` ... below 300 until it is killed. A rewrite keeps the
// length, changes it (the record moves) or changes the keys.
[[noreturn]] void writer(const std::string& base, int fd, uint32_t seed, bool exclusive, uint32_t first = 0,
                         uint32_t stride = 1) {
  fd_cache_after_fork();
  kivo_test::scoped_hook presenter(foundation_seams.err_presenter, quiet);
  int st;
  BRF_FILE* f = brfopen(&st, base.c_str(), 0, 0, exclusive);
  if (!f) _exit(4);
  BRF_RCB* r = brfaccess(&st, f, 0, false);
  if (!r || set_three_keys(r) != BRF_OK) _exit(5);
  std::mt19937 rng(seed);
  std::vector<uint8_t> buf(70000);
  for (uint32_t n = 1;; ++n) {
    uint32_t id = first + stride * (rng() % (300 / stride));
    uint8_t op = static_cast<uint8_t>(1 + rng() % 3);
    uint32_t num = id * 1000 + 1 + rng() % 999;  // unique to the id: no duplicates
    uint16_t body = static_cast<uint16_t>(rng() % 4 ? id % 150 : rng() % 600);
    std::vector<uint8_t> key = record_of(id, 1, 0);
    uint32_t len = 0;
    brfsetkeyN(r, 0);
    int found = brfseek(r, kSeekEqual, key.data(), kWholeRecord, buf.data(), buf.size(), &len);
    if (op == kPut && found == BRF_OK) op = kRewrite;
    if (op != kPut && found != BRF_OK) op = kPut;
    std::vector<uint8_t> rec = record_of(id, num, body);
    send(fd, {kIntent, op, body, id, num, 0});
    if (op == kPut) st = brfput(r, rec.data(), static_cast<uint32_t>(rec.size()));
    else if (op == kRewrite) st = brfrewrite(r, rec.data(), static_cast<uint32_t>(rec.size()));
    else st = brfdelete(r);
    send(fd, {kDone, op, body, id, num, static_cast<uint32_t>(st)});
  }
}

void killed_writer_rounds(bool exclusive) {
  com_fill(0, nullptr);
  kivo_test::scoped_hook presenter(foundation_seams.err_presenter, count_repairs);
  brfinit();
  scratch_dir dir;
  std::string base = dir.file("crash");
  record_model none;
  make_pair(base, 0, 0, &none);
  const int rounds = 50 * static_cast<int>(stress_scale());
  std::mt19937 rng(7);
  record_model model;  // acknowledged state
  written_set written;
  repairs_seen() = 0;
  long acked = 0;
  for (int round = 0; round < rounds; ++round) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(p[0]);
      writer(base, p[1], static_cast<uint32_t>(round * 7919 + 1), exclusive);
    }
    close(p[1]);
    usleep(1000 + rng() % 20000);
    kill(pid, SIGKILL);
    int wst = 0;
    waitpid(pid, &wst, 0);
    ASSERT_TRUE(WIFSIGNALED(wst)) << "writer ended with " << WEXITSTATUS(wst);
    bool pending = false;
    wire_msg intent{};
    std::string err = read_messages(p[0], &model, &pending, &intent, &acked, &written);
    close(p[0]);
    ASSERT_EQ(err, "") << "round " << round;
    ASSERT_EQ(check_after_kill(base, &model, pending, intent, &written), "") << "round " << round;
  }
  EXPECT_GT(acked, rounds * 5);
  ::testing::Test::RecordProperty("repairs", repairs_seen());
  printf("%d kills, %ld acknowledged writes, %d repairs\n", rounds, acked, repairs_seen());
}

TEST(RecordCrash, KilledWriterLeavesAPairHoldingEveryAcknowledgedWrite) { killed_writer_rounds(false); }

TEST(RecordCrash, KilledExclusiveWriterLeavesAPairHoldingEveryAcknowledgedWrite) { killed_writer_rounds(true); }

// Three writers on ids of their own, killed one after another at random
// moments: a writer that meets the mark of one killed before it repairs the
// pair while the others write on.
TEST(RecordCrash, WritersKilledTogetherLeaveOnlyRecordsSomeWriterWrote) {
  com_fill(0, nullptr);
  kivo_test::scoped_hook presenter(foundation_seams.err_presenter, count_repairs);
  brfinit();
  scratch_dir dir;
  std::string base = dir.file("crash3");
  record_model model;
  make_pair(base, 0, 0, &model);
  constexpr int kWriters = 3;
  const int rounds = 100 * static_cast<int>(stress_scale());
  std::mt19937 rng(11);
  written_set written;
  long acked = 0;
  repairs_seen() = 0;
  for (int round = 0; round < rounds; ++round) {
    int p[kWriters][2];
    pid_t pid[kWriters];
    for (int w = 0; w < kWriters; ++w) {
      ASSERT_EQ(pipe(p[w]), 0);
      pid[w] = fork();
      ASSERT_GE(pid[w], 0);
      if (pid[w] == 0) {
        for (int v = 0; v <= w; ++v) close(p[v][0]);
        writer(base, p[w][1], static_cast<uint32_t>(round * 104729 + w), false, static_cast<uint32_t>(w), kWriters);
      }
      close(p[w][1]);
    }
    usleep(2000 + rng() % 20000);
    for (int w = 0; w < kWriters; ++w) {
      kill(pid[w], SIGKILL);
      usleep(rng() % 3000);
    }
    std::vector<wire_msg> pending;
    for (int w = 0; w < kWriters; ++w) {
      int wst = 0;
      waitpid(pid[w], &wst, 0);
      ASSERT_TRUE(WIFSIGNALED(wst)) << "writer ended with " << WEXITSTATUS(wst);
      bool in_flight = false;
      wire_msg intent{};
      std::string err = read_messages(p[w][0], &model, &in_flight, &intent, &acked, &written);
      close(p[w][0]);
      ASSERT_EQ(err, "") << "round " << round << " writer " << w;
      if (in_flight) pending.push_back(intent);
    }
    ASSERT_EQ(check_after_kills(base, &model, pending, &written), "") << "round " << round;
  }
  EXPECT_GT(acked, rounds * 5);
  printf("%d rounds of %d kills, %ld acknowledged writes, %d repairs\n", rounds, kWriters, acked, repairs_seen());
}

}  // namespace
}  // namespace kivo
