// Record operations between real processes and between opens of one process:
// two writers and a scanning reader on one shared pair (the scan never
// returns a key out of order, twice, or a body torn between two writes); a
// pair held exclusively against other processes, which are refused as ever
// and afterwards find everything the holder wrote; a second open in the
// holder's own process; and the system calls an operation makes on a shared
// and on an exclusively held pair.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

#include <map>
#include <random>

#include "../fixtures/hook_override.h"
#include "crash_test_util.h"
#include "foundation/foundation.h"
#include "foundation/os_calls.h"
#include "store/flat_file.h"
#include "store_test_util.h"

namespace kivo {
namespace {

// A body byte that only the record's own number gives: a body torn between
// two writes, or one of another record, shows.
uint8_t fill_of(uint32_t num) { return static_cast<uint8_t>(num * 31 + 7); }

std::vector<uint8_t> rec_of(uint32_t id, uint32_t num, size_t body) {
  return test::make_rec(id, "", num, body, fill_of(num));
}

// "" when the record is whole: its body all the fill of its number.
std::string torn(const uint8_t* rec, uint32_t len) {
  if (len < test::kFixedPart) return "short record";
  uint8_t want = fill_of(ld_le32(rec, test::kNumOff));
  for (uint32_t i = test::kFixedPart; i < len; ++i)
    if (rec[i] != want) return "torn body at byte " + std::to_string(i);
  return "";
}

BRF_FILE* open_pair(const std::string& base, bool exclusive, BRF_RCB** r, int* st) {
  BRF_FILE* f = brfopen(st, base.c_str(), BRF_CREATE, 0, exclusive);
  if (!f) return nullptr;
  *r = brfaccess(st, f, 0, false);
  if (f->hdr.version == kVersionUnread && brf_upd_ver(f) != BRF_OK) *st = -1;
  if (test::set_three_keys(*r) != BRF_OK) *st = -1;
  return f;
}

void close_pair(BRF_FILE* f, BRF_RCB* r) {
  brfdeaccess(r);
  brfclose(f);
}

class RecordProcess : public test::process_fixture {};

// Writer `w` of two: puts, rewrites (in place and moving) and deletes on
// the ids of its own parity; at the end sends id, number and body length
// of every record it left.
int two_writer(const std::string& base, int w, int ops, int out) {
  int st;
  BRF_RCB* r = nullptr;
  BRF_FILE* f = open_pair(base, false, &r, &st);
  if (!f || st != BRF_OK) return 10;
  std::mt19937 rng(static_cast<uint32_t>(w * 101 + 5));
  std::map<uint32_t, std::pair<uint32_t, uint32_t>> have;  // id -> number, body
  std::vector<uint8_t> buf(4096);
  for (int i = 0; i < ops; ++i) {
    uint32_t id = 2 * (rng() % 150) + static_cast<uint32_t>(w);
    uint32_t num = static_cast<uint32_t>(i) * 300 + id + 1;  // unique: key 2 takes no duplicate
    uint32_t body = 20 + rng() % 200;
    std::vector<uint8_t> key = rec_of(id, 0, 0);
    uint32_t len = 0;
    brfsetkeyN(r, 0);
    bool found = brfseek(r, kSeekEqual, key.data(), kWholeRecord, buf.data(), buf.size(), &len) == BRF_OK;
    if (found != (have.count(id) != 0)) return 11;
    std::vector<uint8_t> rec = rec_of(id, num, body);
    if (!found) {
      if (brfput(r, rec.data(), static_cast<uint32_t>(rec.size())) != BRF_OK) return 12;
      have[id] = {num, body};
    } else if (rng() % 3 == 0) {
      if (brfdelete(r) != BRF_OK) return 13;
      have.erase(id);
    } else {
      if (rng() % 2) rec = rec_of(id, num, have[id].second);  // in place
      if (brfrewrite(r, rec.data(), static_cast<uint32_t>(rec.size())) != BRF_OK) return 14;
      have[id] = {num, static_cast<uint32_t>(rec.size() - test::kFixedPart)};
    }
  }
  for (const auto& [id, v] : have) {
    uint32_t m[3] = {id, v.first, v.second};
    if (write(out, m, sizeof m) != static_cast<ssize_t>(sizeof m)) return 15;
  }
  close_pair(f, r);
  return 0;
}

// The reader: scans by key 0 until told to stop; exit 0 when every scan was
// in strictly ascending order with whole bodies, and at least one record was
// seen. Writes the records it saw to `out`.
int scanner(const std::string& base, int stop, int out) {
  int st;
  BRF_RCB* r = nullptr;
  BRF_FILE* f = open_pair(base, false, &r, &st);
  if (!f || st != BRF_OK) return 20;
  fcntl(stop, F_SETFL, O_NONBLOCK);
  std::vector<uint8_t> buf(4096);
  long seen = 0;
  char c;
  while (read(stop, &c, 1) != 1) {
    std::string last;
    uint32_t len = 0;
    for (st = brffirst(r, buf.data(), buf.size(), &len); st == BRF_OK; st = brfnext(r, buf.data(), buf.size(), &len)) {
      std::string key(reinterpret_cast<char*>(buf.data()), test::kIdLen);
      if (!last.empty() && key <= last) return 21;  // out of order or twice
      if (!torn(buf.data(), len).empty()) return 22;
      last = key;
      ++seen;
    }
    if (st != BRF_EOF) return 23;
  }
  if (write(out, &seen, sizeof seen) != static_cast<ssize_t>(sizeof seen)) return 24;
  close_pair(f, r);
  return seen > 0 ? 0 : 25;
}

TEST_F(RecordProcess, TwoWritersAndAScanningReaderLoseNothingAndSeeNoTornOrDisorderedRecord) {
  {
    int st;
    BRF_RCB* r = nullptr;
    BRF_FILE* f = open_pair(base_, false, &r, &st);
    ASSERT_EQ(st, BRF_OK);
    close_pair(f, r);
  }
  const int ops = 1500 * static_cast<int>(test::stress_scale());
  int results[2][2], stop[2], seen_pipe[2];
  ASSERT_EQ(pipe(results[0]), 0);
  ASSERT_EQ(pipe(results[1]), 0);
  ASSERT_EQ(pipe(stop), 0);
  ASSERT_EQ(pipe(seen_pipe), 0);
  pid_t reader = spawn([&] { return scanner(base_, stop[0], seen_pipe[1]); });
  pid_t writers[2];
  for (int w = 0; w < 2; ++w) writers[w] = spawn([&] { return two_writer(base_, w, ops, results[w][1]); });
  for (int w = 0; w < 2; ++w) {
    close(results[w][1]);
    EXPECT_EQ(test::wait_exit(writers[w]), 0) << "writer " << w;
  }
  close(seen_pipe[1]);  // a reader that dies then leaves nothing to wait for
  ASSERT_EQ(write(stop[1], "x", 1), 1);
  EXPECT_EQ(test::wait_exit(reader), 0) << "21 out of order, 22 torn, 23 failed scan, 25 nothing seen";
  long seen = 0;
  EXPECT_EQ(read(seen_pipe[0], &seen, sizeof seen), static_cast<ssize_t>(sizeof seen));
  RecordProperty("records_scanned", static_cast<int>(seen));

  // What the writers left is exactly what the pair holds, soundly indexed.
  std::map<std::string, std::vector<uint8_t>> want;
  for (int w = 0; w < 2; ++w) {
    uint32_t m[3];
    while (read(results[w][0], m, sizeof m) == static_cast<ssize_t>(sizeof m)) {
      std::vector<uint8_t> rec = rec_of(m[0], m[1], m[2]);
      want[std::string(rec.begin(), rec.begin() + test::kIdLen)] = rec;
    }
    close(results[w][0]);
  }
  std::map<std::string, std::vector<uint8_t>> active;
  ASSERT_EQ(test::check_pair(base_, &active), "");
  EXPECT_EQ(active, want);
  for (int fd : {stop[0], stop[1], seen_pipe[0]}) close(fd);
}

TEST_F(RecordProcess, PairHeldExclusivelyRefusesOtherProcessesAndHandsOverEverythingAtClose) {
  int st;
  BRF_RCB* r = nullptr;
  BRF_FILE* f = open_pair(base_, true, &r, &st);
  ASSERT_EQ(st, BRF_OK);
  ASSERT_TRUE(brf_alone(f));
  for (uint32_t id = 0; id < 400; ++id) {
    std::vector<uint8_t> rec = rec_of(id, id + 1, id % 90);
    ASSERT_EQ(brfput(r, rec.data(), static_cast<uint32_t>(rec.size())), BRF_OK);
  }
  // Another process is refused at once, shared or exclusive, as ever.
  struct {
    bool exclusive;
  } tries[] = {{false}, {true}};
  for (const auto& t : tries) {
    pid_t pid = spawn([&] {
      int s = 0;
      BRF_FILE* g = brfopen(&s, base_.c_str(), 0, 0, t.exclusive);
      return g ? 1 : s;
    });
    EXPECT_EQ(test::wait_exit(pid), BRF_FILE_LOCKED) << "exclusive " << t.exclusive;
  }
  close_pair(f, r);
  // Afterwards another process finds every record by each key and in order,
  // and its own writes land in a sound pair.
  pid_t pid = spawn([&] {
    BRF_RCB* q = nullptr;
    int s = 0;
    BRF_FILE* g = open_pair(base_, false, &q, &s);
    if (!g || s != BRF_OK) return 30;
    std::vector<uint8_t> buf(4096);
    uint32_t len = 0;
    uint32_t n = 0;
    for (s = brffirst(q, buf.data(), buf.size(), &len); s == BRF_OK; s = brfnext(q, buf.data(), buf.size(), &len))
      if (ld_le32(buf.data(), test::kNumOff) != ++n) return 31;
    if (n != 400) return 32;
    brfsetkeyN(q, 2);
    std::vector<uint8_t> probe = rec_of(0, 200, 0);
    if (brfseek(q, kSeekEqual, probe.data(), kWholeRecord, buf.data(), buf.size(), &len) != BRF_OK) return 33;
    std::vector<uint8_t> rec = rec_of(1000, 1001, 10);
    if (brfput(q, rec.data(), static_cast<uint32_t>(rec.size())) != BRF_OK) return 34;
    close_pair(g, q);
    return 0;
  });
  EXPECT_EQ(test::wait_exit(pid), 0);
  std::map<std::string, std::vector<uint8_t>> active;
  EXPECT_EQ(test::check_pair(base_, &active), "");
  EXPECT_EQ(active.size(), 401u);
}

TEST_F(RecordProcess, SecondOpenInTheHoldersProcessSeesAndKeepsEveryWrite) {
  int st;
  BRF_RCB *a = nullptr, *b = nullptr;
  BRF_FILE* fa = open_pair(base_, true, &a, &st);
  ASSERT_EQ(st, BRF_OK);
  for (uint32_t id = 0; id < 300; id += 2) {
    std::vector<uint8_t> rec = rec_of(id, id + 1, 30);
    ASSERT_EQ(brfput(a, rec.data(), static_cast<uint32_t>(rec.size())), BRF_OK);
  }
  BRF_FILE* fb = open_pair(base_, false, &b, &st);
  ASSERT_EQ(st, BRF_OK);
  for (uint32_t id = 1; id < 300; id += 2) {
    std::vector<uint8_t> rec = rec_of(id, id + 1, 40);
    ASSERT_EQ(brfput(b, rec.data(), static_cast<uint32_t>(rec.size())), BRF_OK);
  }
  // Each open sees the other's records, in order, and goes on writing.
  for (BRF_RCB* r : {a, b}) {
    std::vector<uint8_t> buf(4096);
    uint32_t len = 0;
    uint32_t n = 0;
    for (st = brffirst(r, buf.data(), buf.size(), &len); st == BRF_OK; st = brfnext(r, buf.data(), buf.size(), &len))
      ASSERT_EQ(ld_le32(buf.data(), test::kNumOff), ++n);
    EXPECT_EQ(n, 300u);
  }
  std::vector<uint8_t> rec = rec_of(7, 8, 99);
  std::vector<uint8_t> buf(4096);
  uint32_t len = 0;
  ASSERT_EQ(brfseek(a, kSeekEqual, rec.data(), kWholeRecord, buf.data(), buf.size(), &len), BRF_OK);
  ASSERT_EQ(brfrewrite(a, rec.data(), static_cast<uint32_t>(rec.size())), BRF_OK);
  ASSERT_EQ(brfseek(b, kSeekEqual, rec.data(), kWholeRecord, buf.data(), buf.size(), &len), BRF_OK);
  EXPECT_EQ(len, rec.size());
  close_pair(fb, b);
  close_pair(fa, a);
  std::map<std::string, std::vector<uint8_t>> active;
  EXPECT_EQ(test::check_pair(base_, &active), "");
  EXPECT_EQ(active.size(), 300u);
}

// System calls by kind, counted on the engine's table.
long g_locks = 0, g_reads = 0, g_writes = 0;
int count_lock(int fd, int cmd, struct flock* fl) {
  ++g_locks;
  return os_real_calls().fcntl_lock(fd, cmd, fl);
}
ssize_t count_pread(int fd, void* b, size_t n, off_t o) {
  ++g_reads;
  return os_real_calls().pread(fd, b, n, o);
}
ssize_t count_pwrite(int fd, const void* b, size_t n, off_t o) {
  ++g_writes;
  return os_real_calls().pwrite(fd, b, n, o);
}
ssize_t count_pwritev(int fd, const struct iovec* v, int n, off_t o) {
  ++g_writes;
  return os_real_calls().pwritev(fd, v, n, o);
}

TEST_F(RecordProcess, CallsPerOperationOnASharedAndAnExclusivePair) {
  enum op_kind { kSeek, kNext, kPut, kRewrite, kDelete };
  struct row {
    bool exclusive;
    op_kind op;
    long locks, reads, writes;  // at most
  } rows[] = {
      // Shared: the tree lock (take and give back) around a read; the update
      // lock too around a change. A read of a mapped file makes no call. The
      // pairs have two keys a record is in (its code is null).
      {false, kSeek, 0, 0, 0},  // without the lock: nothing changed meanwhile
      {false, kNext, 0, 0, 0},  // along a leaf read under the lock before
      // A rewrite in place moves the key file's change count to odd and
      // back around the body, for readers without the lock.
      {false, kRewrite, 2, 0, 3},
      // A change that writes the key file clears the in-use mark at its end;
      // each key's B-tree operation takes the tree lock for itself.
      {false, kPut, 6, 0, 10},
      {false, kDelete, 6, 0, 14},
      // Exclusive: no lock calls; the key file's change count is not written,
      // except with the in-use mark that the change sets and clears.
      {true, kSeek, 0, 0, 0},
      {true, kNext, 0, 0, 0},
      {true, kRewrite, 0, 0, 1},
      {true, kPut, 0, 0, 7},
      {true, kDelete, 0, 0, 11},
  };
  for (const row& t : rows) {
    SCOPED_TRACE(testing::Message() << "exclusive " << t.exclusive << " op " << t.op);
    std::string base = dir_.file("c" + std::to_string(&t - rows));
    int st;
    BRF_RCB* r = nullptr;
    BRF_FILE* f = open_pair(base, t.exclusive, &r, &st);
    ASSERT_EQ(st, BRF_OK);
    for (uint32_t id = 0; id < 20; ++id) {
      std::vector<uint8_t> rec = rec_of(id, id + 1, 40);
      ASSERT_EQ(brfput(r, rec.data(), static_cast<uint32_t>(rec.size())), BRF_OK);
    }
    std::vector<uint8_t> buf(4096);
    uint32_t len = 0;
    std::vector<uint8_t> rec = rec_of(5, 6, 40);
    ASSERT_EQ(brfseek(r, kSeekEqual, rec.data(), kWholeRecord, buf.data(), buf.size(), &len), BRF_OK);
    g_locks = g_reads = g_writes = 0;
    kivo_test::hook_overrides counting;
    counting.set(os_sys.fcntl_lock, count_lock);
    counting.set(os_sys.pread, count_pread);
    counting.set(os_sys.pwrite, count_pwrite);
    counting.set(os_sys.pwritev, count_pwritev);
    switch (t.op) {
      case kSeek: st = brfseek(r, kSeekEqual, rec.data(), kWholeRecord, buf.data(), buf.size(), &len); break;
      case kNext: st = brfnext(r, buf.data(), buf.size(), &len); break;
      case kPut:
        rec = rec_of(100, 101, 40);
        st = brfput(r, rec.data(), static_cast<uint32_t>(rec.size()));
        break;
      case kRewrite: st = brfrewrite(r, rec.data(), static_cast<uint32_t>(rec.size())); break;
      case kDelete: st = brfdelete(r); break;
    }
    counting.restore();
    EXPECT_EQ(st, BRF_OK);
    EXPECT_LE(g_locks, t.locks);
    EXPECT_LE(g_reads, t.reads);
    EXPECT_LE(g_writes, t.writes);
    close_pair(f, r);
    EXPECT_EQ(test::check_pair(base, nullptr), "");
  }
}

TEST_F(RecordProcess, ExportOfAFileAnotherProcessHasOpenFallsBackToASharedOpen) {
  {
    FILE* out = fopen(base_.c_str(), "w");
    for (int i = 0; i < 50; ++i) fprintf(out, "line %d\n", i);
    fclose(out);
    ASSERT_EQ(flat2brf_run(base_.c_str()), 0);
  }
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  pid_t holder = spawn([&] {
    int s = 0;
    BRF_FILE* g = brfopen(&s, base_.c_str(), BRF_NO_KEYS, 0, false);
    if (!g || write(ready[1], "x", 1) != 1) return 1;
    char c;
    if (read(done[0], &c, 1) != 1) return 2;
    brfclose(g);
    return 0;
  });
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  EXPECT_EQ(brf2flat_run(base_.c_str()), 0);
  ASSERT_EQ(write(done[1], "x", 1), 1);
  for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
  EXPECT_EQ(test::wait_exit(holder), 0);
  std::vector<uint8_t> out = test::read_file(base_);
  EXPECT_EQ(std::string(out.begin(), out.begin() + 14), "line 0\nline 1\n");
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 50);
}

}  // namespace
}  // namespace kivo
