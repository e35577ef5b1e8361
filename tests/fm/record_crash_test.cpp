// Crash safety: a writer process is killed with SIGKILL at random moments.
// After each kill the pair must be sound as it stands, or sound once its key
// file is removed and the keys are built again from the data; and every write
// the writer acknowledged (after brfput/brfrewrite/brfdelete returned 0) must
// be found. The writer opens the pair shared, or exclusively (no lock calls,
// the key file's change count kept in memory), 50 rounds each; KIVO_STRESS_SCALE
// multiplies them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <random>

#include "record_test_util.h"

namespace kivo {
namespace {

enum : uint8_t { kIntent = 1, kDone = 2 };
enum : uint8_t { kPut = 1, kRewrite = 2, kDelete = 3 };

// One message of the writer: what it is about to do, or that it is done.
struct wire_msg {
  uint8_t kind, op;
  uint16_t body;
  uint32_t id, num, status;
};
static_assert(sizeof(wire_msg) == 16);

std::vector<uint8_t> record_of(uint32_t id, uint32_t num, uint16_t body) {
  char code[8];
  snprintf(code, sizeof code, "K%05u", id);
  return test::make_rec(id, num % 3 == 0 ? "" : code, num % 5 == 0 ? 0 : num, body, static_cast<uint8_t>(id + num));
}

std::string id_text(uint32_t id) { return std::string(reinterpret_cast<const char*>(record_of(id, 1, 0).data()), 8); }

void send(int fd, const wire_msg& m) {
  if (write(fd, &m, sizeof m) != sizeof m) _exit(3);
}

// The writer: random inserts, rewrites in place and deletes on 300 ids until
// it is killed.
[[noreturn]] void writer(const std::string& base, int fd, uint32_t seed, bool exclusive) {
  fd_cache_after_fork();
  set_sys_err_presenter(test::quiet);
  int st;
  BRF_FILE* f = brfopen(&st, base.c_str(), 0, 0, exclusive);
  if (!f) _exit(4);
  BRF_RCB* r = brfaccess(&st, f, 0, false);
  if (!r || test::set_three_keys(r) != BRF_OK) _exit(5);
  std::mt19937 rng(seed);
  std::vector<uint8_t> buf(70000);
  for (uint32_t n = 1;; ++n) {
    uint32_t id = rng() % 300;
    uint8_t op = static_cast<uint8_t>(1 + rng() % 3);
    uint32_t num = id * 1000 + 1 + rng() % 999;  // unique to the id: no duplicates
    // Rewrites keep the length (in place): a moving rewrite has a window of
    // two header writes in which both copies are live, which a rebuild from
    // the data alone cannot settle.
    uint16_t body = static_cast<uint16_t>(id % 150);
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
  set_sys_err_presenter(test::quiet);
  brfinit();
  test::scratch_dir dir;
  std::string base = dir.file("crash");
  {
    int st;
    BRF_FILE* f = brfopen(&st, base.c_str(), BRF_CREATE, 0, false);
    ASSERT_NE(f, nullptr);
    BRF_RCB* r = brfaccess(&st, f, 0, false);
    ASSERT_EQ(brf_upd_ver(f), BRF_OK);
    ASSERT_EQ(test::set_three_keys(r), BRF_OK);
    brfdeaccess(r);
    brfclose(f);
  }
  const int rounds = 50 * static_cast<int>(test::stress_scale());
  std::mt19937 rng(7);
  std::map<std::string, std::vector<uint8_t>> model;  // acknowledged state
  int rebuilt = 0;
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

    // Everything the writer said before it died.
    wire_msg m{};
    bool pending = false;
    wire_msg intent{};
    while (read(p[0], &m, sizeof m) == static_cast<ssize_t>(sizeof m)) {
      if (m.kind == kIntent) {
        intent = m;
        pending = true;
        continue;
      }
      pending = false;
      ASSERT_EQ(m.status, 0u) << "round " << round << " op " << int(m.op);
      ++acked;
      if (m.op == kDelete) model.erase(id_text(m.id));
      else model[id_text(m.id)] = record_of(m.id, m.num, m.body);
    }
    close(p[0]);

    std::map<std::string, std::vector<uint8_t>> active;
    std::string err = test::check_pair(base, &active);
    if (!err.empty()) {
      // Rebuild the indexes from the data file.
      ++rebuilt;
      ASSERT_EQ(unlink((base + ".key").c_str()), 0);
      int st;
      BRF_FILE* f = brfopen(&st, base.c_str(), BRF_CREATE, 0, false);
      ASSERT_NE(f, nullptr);
      BRF_RCB* r = brfaccess(&st, f, 0, false);
      ASSERT_EQ(test::set_three_keys(r), BRF_OK) << "round " << round << " after: " << err;
      brfdeaccess(r);
      brfclose(f);
      active.clear();
      ASSERT_EQ(test::check_pair(base, &active), "") << "round " << round;
    }
    // The write in flight may or may not have happened; every other one has.
    std::string pid_key = pending ? id_text(intent.id) : std::string();
    for (const auto& [id, bytes] : model) {
      if (id == pid_key) continue;
      ASSERT_TRUE(active.count(id)) << "round " << round << " lost " << id;
      ASSERT_EQ(active[id], bytes) << "round " << round << " id " << id;
    }
    for (const auto& [id, bytes] : active) {
      if (id == pid_key) {
        bool old_state = model.count(id) && model[id] == bytes;
        bool new_state = intent.op != kDelete && bytes == record_of(intent.id, intent.num, intent.body);
        ASSERT_TRUE(old_state || new_state) << "round " << round << " id " << id;
        continue;
      }
      ASSERT_TRUE(model.count(id)) << "round " << round << " record never written " << id;
    }
    if (pending) {
      if (active.count(pid_key)) model[pid_key] = active[pid_key];
      else model.erase(pid_key);
    }
  }
  EXPECT_GT(acked, rounds * 5);
  ::testing::Test::RecordProperty("rebuilt", rebuilt);
  printf("%d rounds, %ld acknowledged writes, %d rebuilds\n", rounds, acked, rebuilt);
  set_sys_err_presenter(nullptr);
}

TEST(RecordCrash, KilledWriterLeavesASoundPairHoldingEveryAcknowledgedWrite) { killed_writer_rounds(false); }

TEST(RecordCrash, KilledExclusiveWriterLeavesASoundPairHoldingEveryAcknowledgedWrite) { killed_writer_rounds(true); }

}  // namespace
}  // namespace kivo
