// Walks in key order, without locks, while other processes insert, delete
// and rewrite (in place and moving, two record sizes so that freed space is
// taken again at once) in a variable-length file with two unique keys. Each
// writer logs in shared memory what it is about to do and what it has done;
// the walker checks every walk against the log as it stood before the walk
// began and after it ended: a record live and untouched throughout is
// delivered exactly once, every record comes in strict key order, carries
// the key the cursor stands on, and is a whole version that was live at
// some moment of the walk. Walks alternate between the two keys.
//
// KIVO_STRESS_SCALE multiplies the writes (150,000 by default; 2 gives the
// 300,000 writes of the load that once lost records).
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "../fixtures/hook_override.h"
#include "foundation/foundation.h"
#include "record_test_util.h"

namespace kivo {
namespace {

using namespace test;

constexpr int kWriters = 3;
constexpr uint32_t kIdsPerWriter = 300;
constexpr uint32_t kKey1Off = 8, kVersionOff = 12, kHead = 16;
constexpr uint32_t kShort = 44, kLong = 124;  // the two record lengths
constexpr uint8_t kOpPut = 1, kOpRewrite = 2, kOpDelete = 3;

KEY_DESC key1_desc() { return key_desc({{static_cast<uint8_t>(kSegBinary | kSegUnsigned), 4, kKey1Off}}); }

// One logged operation: the record it leaves (none for a delete).
struct op_entry {
  uint32_t id, version, key1;
  uint16_t len;
  uint8_t op;
};

// A writer's log: ops[0 .. started) were begun, ops[0 .. done) finished.
struct writer_log {
  std::atomic<uint32_t> started{0};
  std::atomic<uint32_t> done{0};
};

constexpr size_t kFailText = 1 << 16;

// Everything the processes share.
struct shared_area {
  std::atomic<int> stop{0};
  std::atomic<int> walks{0};
  std::atomic<long> delivered{0};
  std::atomic<int> failed_walks{0};
  std::atomic<uint32_t> fail_len{0};
  char fail_text[kFailText];
  writer_log logs[kWriters];
};

// A unique non-zero key 1 for the n-th key a writer hands out: an odd
// multiplier is a bijection on 32 bits.
uint32_t key1_of(int w, uint32_t n) { return ((n + 1) * kWriters + static_cast<uint32_t>(w)) * 0x9E3779B1u; }

uint8_t body_byte(uint32_t id, uint32_t version, uint32_t i) {
  uint32_t h = id * 2654435761u ^ (version + 1) * 40503u;
  return static_cast<uint8_t>((h >> (i % 4 * 8)) + i);
}

// Key 0's value of record `id`: its number in eight digits.
std::vector<uint8_t> id_key_of(uint32_t id) {
  char idt[9];
  snprintf(idt, sizeof idt, "%08u", id);
  return std::vector<uint8_t>(idt, idt + kIdLen);
}

std::vector<uint8_t> record(uint32_t id, uint32_t version, uint32_t key1, uint32_t len) {
  std::vector<uint8_t> r = id_key_of(id);
  r.resize(len);
  st_le32(r.data(), kKey1Off, key1);
  st_le32(r.data(), kVersionOff, version);
  for (uint32_t i = kHead; i < len; ++i) r[i] = body_byte(id, version, i);
  return r;
}

struct live_rec {
  uint32_t version, key1;
  uint16_t len;
};

struct walk_setup {
  std::string base;
  uint32_t ops_per_writer;
  shared_area* area;
  op_entry* logs[kWriters];
};

// The pair with both keys, every id live at version 0 (the writers' and
// the walker's starting state).
std::map<uint32_t, live_rec> prefill(const std::string& base) {
  std::map<uint32_t, live_rec> state;
  int st;
  BRF_FILE* f = brfopen(&st, base.c_str(), BRF_CREATE, 0, false);
  EXPECT_NE(f, nullptr);
  if (!f) return state;
  BRF_RCB* r = brfaccess(&st, f, 0, false);
  EXPECT_EQ(brf_upd_ver(f), BRF_OK);
  KEY_DESC k0 = id_key(), k1 = key1_desc();
  EXPECT_EQ(brfsetkey(r, &k0, true, false, nullptr), BRF_OK);
  EXPECT_EQ(brfsetkey(r, &k1, true, false, nullptr), BRF_OK);
  for (uint32_t id = 0; id < kIdsPerWriter * kWriters; ++id) {
    uint32_t len = id % 2 ? kLong : kShort;
    uint32_t key1 = key1_of(static_cast<int>(id % kWriters), 0x40000000u + id);
    std::vector<uint8_t> rec = record(id, 0, key1, len);
    EXPECT_EQ(brfput(r, rec.data(), len), BRF_OK);
    state[id] = {0, key1, static_cast<uint16_t>(len)};
  }
  brfdeaccess(r);
  brfclose(f);
  return state;
}

// A session on the pair with both keys in use.
struct opened_pair {
  BRF_FILE* f = nullptr;
  BRF_RCB* r = nullptr;
  explicit opened_pair(const std::string& base) {
    int st;
    f = brfopen(&st, base.c_str(), 0, 0, false);
    r = f ? brfaccess(&st, f, 0, false) : nullptr;
    KEY_DESC k0 = id_key(), k1 = key1_desc();
    if (r && (brfsetkey(r, &k1, false, false, nullptr) || brfsetkey(r, &k0, false, false, nullptr))) r = nullptr;
  }
  ~opened_pair() {
    if (r) brfdeaccess(r);
    if (f) brfclose(f);
  }
};

// Writer w: its own ids (id % kWriters == w), puts where none lives, else
// a delete, a rewrite in place (same length; a new key 1 every other time)
// or a moving rewrite (the other length). Exit 0, or the failing step.
int writer(const walk_setup& s, int w, std::map<uint32_t, live_rec> state) {
  opened_pair p(s.base);
  if (!p.r) return 10;
  std::mt19937 rng(static_cast<uint32_t>(w * 7919 + 17));
  std::vector<uint8_t> buf(512);
  writer_log& log = s.area->logs[w];
  op_entry* ops = s.logs[w];
  uint32_t keys_given = 0;
  for (uint32_t i = 0; i < s.ops_per_writer; ++i) {
    uint32_t id = static_cast<uint32_t>(w) + kWriters * (rng() % kIdsPerWriter);
    auto it = state.find(id);
    op_entry e{id, i + 1, 0, 0, kOpPut};
    if (it == state.end()) {
      e.len = rng() % 2 ? kLong : kShort;
      e.key1 = key1_of(w, keys_given++);
    } else {
      uint32_t pick = rng() % 3;
      e.op = pick == 0 ? kOpDelete : kOpRewrite;
      e.len = pick == 2 ? (it->second.len == kShort ? kLong : kShort) : it->second.len;
      e.key1 = rng() % 2 ? key1_of(w, keys_given++) : it->second.key1;
      std::vector<uint8_t> key = id_key_of(id);
      uint32_t len = 0;
      brfsetkeyN(p.r, 0);
      if (brfseek(p.r, kSeekEqual, key.data(), kIdLen, buf.data(), buf.size(), &len) != BRF_OK) return 11;
    }
    ops[i] = e;
    log.started.store(i + 1, std::memory_order_release);
    std::vector<uint8_t> rec = record(id, e.version, e.key1, e.len);
    int st = e.op == kOpPut       ? brfput(p.r, rec.data(), e.len)
             : e.op == kOpRewrite ? brfrewrite(p.r, rec.data(), e.len)
                                  : brfdelete(p.r);
    if (st != BRF_OK) return 12 + e.op;
    log.done.store(i + 1, std::memory_order_release);
    if (e.op == kOpDelete) state.erase(id);
    else state[id] = {e.version, e.key1, e.len};
  }
  return 0;
}

// One delivered record as the walker saw it.
struct seen {
  uint32_t id, version, key1, len;
  std::string fault;  // torn body, or a key other than the cursor's
};

// The checker of one walk of key `key`.
class walk_check {
 public:
  walk_check(int walk, int key, const std::map<uint32_t, live_rec>& before) : walk_(walk), key_(key), before_(before) {}

  // The versions the overlapping operations of a writer made, and the ids
  // they touched.
  void overlap(const op_entry& e) {
    touched_.insert(e.id);
    if (e.op != kOpDelete) made_.insert({e.id, e.version});
  }

  // Every fault of the walk, one line each.
  std::vector<std::string> faults(const std::vector<seen>& got, int end_status) const {
    std::vector<std::string> out;
    auto say = [&](const std::string& what) { out.push_back(name() + " " + what); };
    if (end_status != BRF_EOF) say("ended with status " + std::to_string(end_status));
    std::map<uint32_t, int> times;
    for (size_t i = 0; i < got.size(); ++i) {
      const seen& g = got[i];
      ++times[g.id];
      if (!g.fault.empty()) say("id " + std::to_string(g.id) + ": " + g.fault);
      if (i > 0 && !ascending(got[i - 1], g))
        say("delivered id " + std::to_string(g.id) + " out of key order after id " + std::to_string(got[i - 1].id));
      auto b = before_.find(g.id);
      bool was = b != before_.end() && b->second.version == g.version;
      if (!was && !made_.count({g.id, g.version}))
        say("delivered id " + std::to_string(g.id) + " version " + std::to_string(g.version) +
            ", live at no moment of the walk");
    }
    for (const auto& [id, rec] : before_) {
      if (touched_.count(id)) continue;
      int n = times.count(id) ? times.at(id) : 0;
      if (n == 0) say("missed id " + std::to_string(id) + ", live and untouched throughout");
      else if (n > 1) say("delivered id " + std::to_string(id) + " " + std::to_string(n) + " times");
    }
    return out;
  }

 private:
  std::string name() const { return "walk " + std::to_string(walk_) + " of key " + std::to_string(key_); }
  bool ascending(const seen& a, const seen& b) const { return key_ == 0 ? a.id < b.id : a.key1 < b.key1; }
  int walk_, key_;
  const std::map<uint32_t, live_rec>& before_;
  std::set<uint32_t> touched_;
  std::set<std::pair<uint32_t, uint32_t>> made_;
};

// The record just delivered: whole, and under the key the cursor stands on.
seen look_at(BRF_RCB* r, int key, const uint8_t* rec, uint32_t len) {
  seen g{0, 0, 0, len, ""};
  if (len < kHead) {
    g.fault = "record of " + std::to_string(len) + " bytes";
    return g;
  }
  g.id = static_cast<uint32_t>(atoi(std::string(reinterpret_cast<const char*>(rec), kIdLen).c_str()));
  g.key1 = ld_le32(rec, kKey1Off);
  g.version = ld_le32(rec, kVersionOff);
  if (len != kShort && len != kLong) g.fault = "length " + std::to_string(len);
  for (uint32_t i = kHead; i < len && g.fault.empty(); ++i)
    if (rec[i] != body_byte(g.id, g.version, i)) g.fault = "torn body at byte " + std::to_string(i);
  const uint8_t* under = r->cursor->keybuf;
  bool same = key == 0 ? memcmp(under, rec, kIdLen) == 0 : memcmp(under, rec + kKey1Off, 4) == 0;
  if (!same && g.fault.empty()) g.fault = "delivered under another key than the cursor's";
  return g;
}

void note_faults(shared_area* a, const std::vector<std::string>& faults) {
  if (faults.empty()) return;
  a->failed_walks.fetch_add(1);
  for (const std::string& f : faults) {
    uint32_t at = a->fail_len.load();
    if (at + f.size() + 2 >= kFailText) return;
    memcpy(a->fail_text + at, f.data(), f.size());
    a->fail_text[at + f.size()] = '\n';
    a->fail_len.store(static_cast<uint32_t>(at + f.size() + 1));
  }
}

// The walker: walks keys 0 and 1 in turn until told to stop, each walk
// checked against the writers' logs. Exit 0, or the failing step.
int walker(const walk_setup& s, std::map<uint32_t, live_rec> state) {
  opened_pair p(s.base);
  if (!p.r) return 20;
  uint32_t applied[kWriters] = {};
  std::vector<uint8_t> buf(512);
  for (int walk = 0; !s.area->stop.load(std::memory_order_acquire); ++walk) {
    int key = walk % 2;
    uint32_t done[kWriters];
    for (int w = 0; w < kWriters; ++w) {
      done[w] = s.area->logs[w].done.load(std::memory_order_acquire);
      for (; applied[w] < done[w]; ++applied[w]) {
        const op_entry& e = s.logs[w][applied[w]];
        if (e.op == kOpDelete) state.erase(e.id);
        else state[e.id] = {e.version, e.key1, e.len};
      }
    }
    std::vector<seen> got;
    brfsetkeyN(p.r, key);
    uint32_t len = 0;
    int st = brffirst(p.r, buf.data(), buf.size(), &len);
    for (; st == BRF_OK; st = brfnext(p.r, buf.data(), buf.size(), &len))
      got.push_back(look_at(p.r, key, buf.data(), len));
    walk_check check(walk, key, state);
    for (int w = 0; w < kWriters; ++w) {
      uint32_t started = s.area->logs[w].started.load(std::memory_order_acquire);
      for (uint32_t i = done[w]; i < started; ++i) check.overlap(s.logs[w][i]);
    }
    note_faults(s.area, check.faults(got, st));
    s.area->walks.fetch_add(1);
    s.area->delivered.fetch_add(static_cast<long>(got.size()));
  }
  return 0;
}

template <typename Fn>
pid_t spawn(Fn fn) {
  pid_t pid = fork();
  if (pid == 0) {
    fd_cache_after_fork();
    kivo_test::scoped_hook presenter(foundation_seams.err_presenter, quiet);
    alarm(static_cast<unsigned>(600 * stress_scale()));  // a hang fails the test instead of stopping it
    _exit(fn());
  }
  return pid;
}

TEST(KeyOrderWalks, EveryRecordLiveThroughoutAWalkIsDeliveredOnceInKeyOrder) {
  com_fill(0, nullptr);
  kivo_test::scoped_hook presenter(foundation_seams.err_presenter, quiet);
  brfinit();
  scratch_dir dir;
  walk_setup s;
  s.base = dir.file("walk");
  s.ops_per_writer = static_cast<uint32_t>(50000 * stress_scale());
  size_t log_bytes = sizeof(op_entry) * s.ops_per_writer;
  void* area = mmap(nullptr, sizeof(shared_area) + kWriters * log_bytes, PROT_READ | PROT_WRITE,
                    MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(area, MAP_FAILED);
  s.area = new (area) shared_area;
  for (int w = 0; w < kWriters; ++w)
    s.logs[w] = reinterpret_cast<op_entry*>(static_cast<uint8_t*>(area) + sizeof(shared_area) + w * log_bytes);
  std::map<uint32_t, live_rec> start = prefill(s.base);
  ASSERT_EQ(start.size(), kIdsPerWriter * kWriters);

  pid_t walker_pid = spawn([&] { return walker(s, start); });
  pid_t writers[kWriters];
  for (int w = 0; w < kWriters; ++w) writers[w] = spawn([&] { return writer(s, w, start); });
  for (int w = 0; w < kWriters; ++w) EXPECT_EQ(wait_exit(writers[w]), 0) << "writer " << w;
  s.area->stop.store(1, std::memory_order_release);
  EXPECT_EQ(wait_exit(walker_pid), 0) << "walker";

  int walks = s.area->walks.load();
  printf("%u writes, %d walks delivering %ld records, %d walks failed\n", s.ops_per_writer * kWriters, walks,
         s.area->delivered.load(), s.area->failed_walks.load());
  EXPECT_GT(walks, 2);
  EXPECT_EQ(s.area->failed_walks.load(), 0) << std::string(s.area->fail_text, s.area->fail_len.load()).substr(0, 4000);

  // What the writers left is what the pair holds, soundly indexed.
  std::map<uint32_t, live_rec> end = start;
  for (int w = 0; w < kWriters; ++w)
    for (uint32_t i = 0; i < s.area->logs[w].done.load(); ++i) {
      const op_entry& e = s.logs[w][i];
      if (e.op == kOpDelete) end.erase(e.id);
      else end[e.id] = {e.version, e.key1, e.len};
    }
  tree_report rep;
  ASSERT_EQ(check_key_file(s.base + ".key", &rep), "");
  std::vector<data_record> recs;
  ASSERT_EQ(walk_data(read_file(s.base + ".dat"), &recs), "");
  std::map<uint32_t, std::vector<uint8_t>> active, want;
  for (const data_record& r : recs)
    if (!(r.flags & (kRecDeleted | kRecNotUser)))
      active[static_cast<uint32_t>(atoi(std::string(r.body.begin(), r.body.begin() + kIdLen).c_str()))] = r.body;
  for (const auto& [id, l] : end) want[id] = record(id, l.version, l.key1, l.len);
  EXPECT_EQ(active.size(), want.size());
  EXPECT_TRUE(active == want);
  ASSERT_EQ(rep.entries.size(), 2u);
  EXPECT_EQ(rep.entries[0].size(), want.size());
  EXPECT_EQ(rep.entries[1].size(), want.size());
  munmap(area, sizeof(shared_area) + kWriters * log_bytes);
}

}  // namespace
}  // namespace kivo
