// Processes sharing one file, killed, stopped and run beside each other:
// engines changing their own records are never refused, a repair killed in
// its rebuild leaves no reader a short scan, rewrites of files without keys
// are never read torn, and the utilities run beside a writing engine.
// Sizes grow with KIVO_STRESS_SCALE.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <random>

#include "crash_test_util.h"
#include "store/btree_page.h"
#include "store/flat_file.h"

namespace kivo {
namespace {

class ProcessesShareAFile : public test::process_fixture {};

// Reads the record of `id` by key 0: the status, its length in *len.
int seek_id(BRF_RCB* r, uint32_t id, uint32_t* len = nullptr) {
  static std::vector<uint8_t> buf(4096);
  uint32_t n = 0;
  const std::vector<uint8_t> key = test::make_rec(id, "", 0, 0, 0);
  const int st = brfseek(r, kSeekEqual, key.data(), kWholeRecord, buf.data(), buf.size(), &n);
  if (len) *len = n;
  return st;
}

// Engine `w` of three changes only the ids of its own remainder: each read
// asks for the record's lock without waiting, as a data-entry screen does,
// and each rewrite takes a new length now and then, so that records move and
// their space is taken again. Exit 0, or 30 + the step refused.
int own_records(const std::string& base, uint32_t w, uint32_t ids, int ops) {
  test::session s(base);
  if (!s.r) return 2;
  std::mt19937 rng(w * 7919 + 1);
  for (int i = 0; i < ops; ++i) {
    const uint32_t id = w + 3 * (rng() % ids);
    uint32_t len = 0;
    brf_want_lock(s.r, false);
    if (int st = seek_id(s.r, id, &len)) return st == BRF_LOCK_REFUSED ? 30 : 40;
    std::vector<uint8_t> rec = test::make_rec(id, "", 0, 20 + (rng() % 4 == 0 ? rng() % 300 : len % 7), 0x41);
    if (brfrewrite(s.r, rec.data(), static_cast<uint32_t>(rec.size())) != BRF_OK) return 31;
  }
  return 0;
}

TEST_F(ProcessesShareAFile, EnginesChangingTheirOwnRecordsAreNeverRefused) {
  const uint32_t ids = 300;
  test::record_model model;
  test::make_pair(base_, 3 * ids, 40, &model);
  const int ops = 20000 * static_cast<int>(test::stress_scale());
  pid_t pids[3];
  for (uint32_t w = 0; w < 3; ++w) pids[w] = spawn([&] { return own_records(base_, w, ids, ops); });
  for (pid_t p : pids) EXPECT_EQ(test::wait_exit(p), 0) << "30: refused \"record locked\"";
  EXPECT_EQ(test::check_pair(base_, nullptr), "");
}

// Every record of the pair in key order: the count, -1 when the scan failed.
long scan_count(const test::session& s) {
  std::vector<uint8_t> buf(4096);
  uint32_t len = 0;
  long n = 0;
  int st = s.r ? brffirst(s.r, buf.data(), buf.size(), &len) : -1;
  for (; st == BRF_OK; st = brfnext(s.r, buf.data(), buf.size(), &len)) ++n;
  return st == BRF_EOF ? n : -1;
}
long scan_count(const std::string& base) { return scan_count(test::session(base)); }

// A repair that dies inside its rebuild: the update lock and the tree lock
// taken, every tree emptied under an odd change count, then it waits to be
// killed. `ready` hears when it is so.
int dying_rebuild(const std::string& base, int ready) {
  test::session s(base);
  if (!s.r || !bt_share_at(s.f->slot, kUpdateLockByte, 1, 1, LOCK_UPDATE)) return 2;
  BT_FILE* k = s.f->key;
  if (!block(s.r->cursor, true)) return 3;
  k->in_change = true;
  k->hold_count = true;
  if (bt_reset_trees(s.r->cursor) != BRF_OK) return 4;
  if (write(ready, "x", 1) != 1) return 5;
  pause();
  return 0;
}

std::string kivo(const std::string& args) {
  std::string out;
  FILE* p = popen((std::string(KIVO_BINARY) + " " + args + " 2>&1").c_str(), "r");
  char line[512];
  while (p && fgets(line, sizeof line, p)) out += line;
  const int st = p ? pclose(p) : -1;
  return std::to_string(WIFEXITED(st) ? WEXITSTATUS(st) : -1) + ":" + out;
}

TEST_F(ProcessesShareAFile, ARepairKilledInItsRebuildLeavesNoReaderAShortScan) {
  const uint32_t n = 3000 * static_cast<uint32_t>(test::stress_scale());
  test::record_model model;
  test::make_pair(base_, n, 30, &model);
  struct {
    const char* how;
    bool real_repair, waiting_writer;
  } rows[] = {{"rebuild cut, no writer", false, false},
              {"rebuild cut, a writer waiting", false, true},
              {"kivo -r killed at a random moment", true, false}};
  std::mt19937 rng(5);
  for (const auto& row : rows) {
    for (int round = 0; round < (row.real_repair ? 8 : 1); ++round) {
      test::signal_pipe ready;
      pid_t dying;
      if (row.real_repair) {
        // The pair marked as a dead writer leaves it: the repair rebuilds.
        const uint8_t one = 1;
        FILE* key = fopen((base_ + ".key").c_str(), "r+b");
        ASSERT_TRUE(key && fseek(key, kHdrInUse, SEEK_SET) == 0 && fwrite(&one, 1, 1, key) == 1);
        fclose(key);
        dying = spawn([&] { return execl(KIVO_BINARY, KIVO_BINARY, ("-r=" + base_).c_str(), nullptr); });
        usleep(rng() % 40000);
      } else {
        dying = spawn([&] { return dying_rebuild(base_, ready.fd[1]); });
        ASSERT_EQ(ready.receive(), 'x') << row.how;
      }
      // A writer waiting for the update lock takes it at the kill and keeps
      // it a while, as one slow to begin its change.
      pid_t writer = -1;
      if (row.waiting_writer) {
        writer = spawn([&] {
          test::session s(base_);
          if (!s.r || !bt_share_at(s.f->slot, kUpdateLockByte, 1, 1, LOCK_UPDATE)) return 9;
          usleep(300000);
          return 0;
        });
        usleep(20000);
      }
      test::session reader(base_);
      kill(dying, SIGKILL);
      test::wait_exit(dying);
      EXPECT_EQ(scan_count(reader), n) << row.how;
      if (writer > 0) {
        EXPECT_EQ(test::wait_exit(writer), 0) << row.how;
      }
    }
  }
  EXPECT_EQ(test::check_pair(base_, nullptr), "");
}

// Files without keys whose records cross pages: a variable-length file with
// a header, and a relative file.
constexpr uint32_t kLong = 2900;
constexpr uint32_t kLongRecords = 40;

BRF_FILE* open_long(const std::string& base, bool relative, bool create, BRF_RCB** r) {
  int st;
  BRF_FILE* f = brfopen(&st, base.c_str(), (create ? BRF_CREATE : 0) | BRF_NO_KEYS, relative ? kLong : 0, false);
  if (f && create && !relative && brf_upd_ver(f) != BRF_OK) return nullptr;
  if (f && !relative) brf_set_has_header(f);
  *r = f ? brfaccess(&st, f, 0, false) : nullptr;
  return *r ? f : nullptr;
}

// Rewrites records in place, each with one byte all through, until killed.
int rewriter(const std::string& base, bool relative) {
  BRF_RCB* r = nullptr;
  if (!open_long(base, relative, false, &r)) return 2;
  std::vector<uint8_t> rec(kLong);
  for (uint32_t i = 0;; ++i) {
    r->cur_rec = i * 7 % kLongRecords;
    std::fill(rec.begin(), rec.end(), static_cast<uint8_t>('a' + i % 26));
    if (brfrewrite(r, rec.data(), kLong) != BRF_OK) return 3;
  }
}

// "" when every record read by number is one byte all through; a record
// read as damaged (17) is named in *torn.
std::string read_all_whole(BRF_RCB* r, std::vector<int64_t>* torn) {
  std::vector<uint8_t> buf(kLong);
  uint32_t len = 0;
  r->last_rec = -1;
  for (uint32_t n = 0; n < kLongRecords; ++n) {
    r->cur_rec = n;
    const int st = brfget(r, buf.data(), buf.size(), &len);
    if (st == BRF_BAD_DATA && torn) torn->push_back(brffindrcd(r, n));
    else if (st != BRF_OK) return "record " + std::to_string(n) + ": status " + std::to_string(st);
    else if (len != kLong || std::count(buf.begin(), buf.end(), buf[0]) != kLong)
      return "torn record " + std::to_string(n);
  }
  return "";
}

TEST_F(ProcessesShareAFile, RecordsRewrittenInPlaceAreNeverReadTornNorLeftTornUnnamed) {
  struct {
    const char* kind;
    bool relative;
  } rows[] = {{"without keys", false}, {"relative", true}};
  const int rounds = 6 * static_cast<int>(test::stress_scale());
  std::mt19937 rng(11);
  for (const auto& row : rows) {
    const std::string base = dir_.file(row.relative ? "rel" : "flat");
    BRF_RCB* r = nullptr;
    BRF_FILE* f = open_long(base, row.relative, true, &r);
    ASSERT_NE(f, nullptr) << row.kind;
    std::vector<uint8_t> rec(kLong, 'a');
    for (uint32_t n = 0; n < kLongRecords; ++n) ASSERT_EQ(brfput(r, rec.data(), kLong), BRF_OK);
    for (int round = 0; round < rounds; ++round) {
      pid_t w = spawn([&] { return rewriter(base, row.relative); });
      // Readers without locks and the export beside the writer.
      for (int pass = 0; pass < 20; ++pass) ASSERT_EQ(read_all_whole(r, nullptr), "") << row.kind;
      if (!row.relative) {
        const std::string said = kivo("-e=" + base);
        ASSERT_EQ(said.substr(0, 2), "0:") << said;
        std::ifstream in(base);
        for (std::string line; std::getline(in, line);)
          ASSERT_EQ(std::count(line.begin(), line.end(), line[0]), kLong) << "exported torn";
      }
      usleep(rng() % 3000);
      kill(w, SIGKILL);
      test::wait_exit(w);
      // A file without a header cannot name a record its writer's kill
      // tore: the next round starts from whole records.
      if (row.relative) {
        for (uint32_t n = 0; n < kLongRecords; ++n) {
          r->cur_rec = n;
          ASSERT_EQ(brfrewrite(r, rec.data(), kLong), BRF_OK);
        }
        continue;
      }
      std::vector<int64_t> torn;
      ASSERT_EQ(read_all_whole(r, &torn), "") << row.kind;
      const std::string said = kivo("-v=" + base);
      for (int64_t seek : torn)
        EXPECT_NE(said.find("at seek " + std::to_string(seek) + " "), std::string::npos) << said;
      if (torn.empty()) {
        EXPECT_EQ(said.substr(0, 2), "1:") << said;
        continue;
      }
      ASSERT_EQ(kivo("-r=" + base).substr(0, 2), "1:");  // the torn record set aside
      break;
    }
    brfdeaccess(r);
    brfclose(f);
  }
}

// An engine that opens the pair, adds a record and closes it, again and
// again until `stop` is readable, each step bounded; a byte to `done` for
// each. Exit 0, or 30 when an open was refused.
int opening_writer(const std::string& base, int done, int stop) {
  fcntl(stop, F_SETFL, O_NONBLOCK);
  char c;
  for (uint32_t i = 0; read(stop, &c, 1) != 1; ++i) {
    alarm(30);  // no step waits that long but behind a starved lock
    test::session s(base);
    if (!s.r) return 30;
    std::vector<uint8_t> rec = test::make_rec(900000 + i, "", 0, 10, 1);
    if (brfput(s.r, rec.data(), static_cast<uint32_t>(rec.size())) != BRF_OK) return 31;
    if (write(done, "x", 1) != 1) return 32;
  }
  return 0;
}

TEST_F(ProcessesShareAFile, UtilitiesRunBesideAnEngineThatOpensAndWritesAndNeverStarveIt) {
  test::record_model model;
  test::make_pair(base_, 4000 * static_cast<uint32_t>(test::stress_scale()), 60, &model);
  test::signal_pipe done, stop;
  pid_t engine = spawn([&] { return opening_writer(base_, done.fd[1], stop.fd[0]); });
  ASSERT_EQ(done.receive(), 'x');
  // The records' binary fields make some lines an import would not read
  // back: the export still writes every one.
  struct {
    const char* option;
    const char* says;
  } rows[] = {{"-e=", " records\n"}, {"-v=", "1:"}, {"-r=", "1:"}};
  for (const auto& row : rows) {
    for (int i = 0; i < 3; ++i) {
      const std::string said = kivo(row.option + base_);
      EXPECT_NE(said.find(row.says), std::string::npos) << said;
      EXPECT_EQ(said.find("Can"), std::string::npos) << said;
    }
  }
  // Two verifications' holds back to back, each taken before the other is
  // given back, so that one is always held: the engine's adds go on.
  pid_t loops[3];
  for (int i = 0; i < 3; ++i) {
    loops[i] = spawn([&] {
      usleep(i * 17000);
      for (;;) {
        pair_hold hold(base_ + ".dat", false);
        usleep(50000);
      }
      return 0;
    });
  }
  usleep(100000);
  fcntl(done.fd[0], F_SETFL, O_NONBLOCK);  // the adds made before
  for (char c; read(done.fd[0], &c, 1) == 1;) {}
  fcntl(done.fd[0], F_SETFL, 0);
  // Each add waits for one hold at most: far less than the bound.
  pollfd p{done.fd[0], POLLIN, 0};
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(poll(&p, 1, 5000) == 1 && done.receive() == 'x') << "the engine starved";
  for (pid_t l : loops) kill(l, SIGKILL), test::wait_exit(l);
  stop.send();
  EXPECT_EQ(test::wait_exit(engine), 0) << "30: an open refused";
  EXPECT_EQ(test::check_pair(base_, nullptr), "");
}

// Rewrites in place the even ids of the pair, one after another, until
// stopped for good.
int even_rewriter(const std::string& base, uint32_t ids) {
  test::session s(base);
  for (uint32_t i = 0; s.r; ++i) {
    std::vector<uint8_t> rec = test::make_rec(2 * (i % (ids / 2)), "", 0, 30, static_cast<uint8_t>(i));
    if (seek_id(s.r, 2 * (i % (ids / 2))) || brfrewrite(s.r, rec.data(), static_cast<uint32_t>(rec.size()))) return 3;
  }
  return 2;
}

TEST_F(ProcessesShareAFile, AWriterStoppedInARewriteHoldsUpNoOtherRecordAndKilledLeavesNoReaderSlow) {
  const uint32_t ids = 2000;
  test::record_model model;
  test::make_pair(base_, ids, 30, &model);
  std::mt19937 rng(3);
  for (int round = 0; round < 5 * static_cast<int>(test::stress_scale()); ++round) {
    pid_t w = spawn([&] { return even_rewriter(base_, ids); });
    // Stopped outside a tree operation: one stopped holding the tree lock
    // holds every search of the trees up.
    do {
      kill(w, SIGCONT);
      usleep(2000 + rng() % 20000);
      kill(w, SIGSTOP);
    } while (!test::other_process_can_lock(base_ + ".key", kTreeLockByte));
    // Readers of the records it does not write go on while it is stopped.
    pid_t reader = spawn([&] {
      test::session s(base_);
      for (uint32_t id = 1; s.r && id < ids; id += 2)
        if (seek_id(s.r, id)) return 3;
      return s.r ? 0 : 2;
    });
    EXPECT_EQ(test::wait_exit(reader), 0) << "round " << round;
    kill(w, SIGKILL);
    test::wait_exit(w);
    // Killed there, it leaves no record that every reader takes the locked
    // way for: the first reader puts the rewrite word back to rest.
    EXPECT_EQ(scan_count(base_), ids);
    test::session s(base_);
    EXPECT_EQ(brf_rewrite_now(s.f) & kRewriteBusy, 0u) << "round " << round;
  }
  EXPECT_EQ(test::check_pair(base_, nullptr), "");
}

}  // namespace
}  // namespace kivo
