// Crash safety: a writer process is killed with SIGKILL at random moments
// while it puts, rewrites (in place, moving, changing keys) and deletes.
// After each kill a second session opens the pair (repairing it when the
// writer died inside a change): every write the writer acknowledged must be
// found, the one in flight old or new, nothing else, and an insert of the
// victim's id refused exactly when its record survived. The writer opens the
// pair shared, or exclusively (no lock calls, the change count kept in
// memory), 50 rounds each; KIVO_STRESS_SCALE multiplies them.
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

// The writer: random inserts, rewrites and deletes on 300 ids until it is
// killed. A rewrite keeps the length, changes it (the record moves) or
// changes the keys.
[[noreturn]] void writer(const std::string& base, int fd, uint32_t seed, bool exclusive) {
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
    uint32_t id = rng() % 300;
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
    std::string err = read_messages(p[0], &model, &pending, &intent, &acked);
    close(p[0]);
    ASSERT_EQ(err, "") << "round " << round;
    ASSERT_EQ(check_after_kill(base, &model, pending, intent), "") << "round " << round;
  }
  EXPECT_GT(acked, rounds * 5);
  ::testing::Test::RecordProperty("repairs", repairs_seen());
  printf("%d kills, %ld acknowledged writes, %d repairs\n", rounds, acked, repairs_seen());
}

TEST(RecordCrash, KilledWriterLeavesAPairHoldingEveryAcknowledgedWrite) { killed_writer_rounds(false); }

TEST(RecordCrash, KilledExclusiveWriterLeavesAPairHoldingEveryAcknowledgedWrite) { killed_writer_rounds(true); }

}  // namespace
}  // namespace kivo
