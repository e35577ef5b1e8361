// The native storage engine beside SQLite on the same work: N records of a
// 10-byte key and a 100-byte body (KIVO_BENCH_RECORDS, default 1,000,000):
// random inserts, random point reads, a full scan in key order, and a 90/10
// read/rewrite mix. SQLite runs a WITHOUT ROWID table with synchronous=OFF,
// one statement a transaction (the native files' per-operation locking and
// durability), and also batched in one transaction.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "fm/record_ops.h"
#include "foundation/com.h"

namespace {

// A storage failure makes every figure meaningless: stop the run.
void check(int status) {
  if (status == kivo::BRF_OK) return;
  fprintf(stderr, "storage status %d\n", status);
  abort();
}

using namespace kivo;

constexpr int kKeyLen = 10;
constexpr int kBodyLen = 100;
constexpr int kRecLen = kKeyLen + kBodyLen;

long records() {
  const char* v = getenv("KIVO_BENCH_RECORDS");
  long n = v ? atol(v) : 1000000;
  return n > 0 ? n : 1000000;
}

// Random order of the keys 0..n-1.
const std::vector<uint32_t>& order() {
  static std::vector<uint32_t> o = [] {
    std::vector<uint32_t> v(records());
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint32_t>(i);
    std::shuffle(v.begin(), v.end(), std::mt19937(42));
    return v;
  }();
  return o;
}

void make(uint8_t* rec, uint32_t k, uint8_t fill) {
  char key[16];
  snprintf(key, sizeof key, "%010u", k);
  memcpy(rec, key, kKeyLen);
  memset(rec + kKeyLen, fill, kBodyLen);
}

std::string dir() {
  static std::string d = [] {
    char t[] = "/tmp/kivo_bench_XXXXXX";
    return std::string(mkdtemp(t));
  }();
  return d;
}

// --- native ---

struct native {
  BRF_FILE* f = nullptr;
  BRF_RCB* r = nullptr;
  void open(bool create) {
    com_fill(0, nullptr);
    brfinit();
    std::string base = dir() + "/native";
    if (create) {
      std::filesystem::remove(base + ".dat");
      std::filesystem::remove(base + ".key");
    }
    int st;
    f = brfopen(&st, base.c_str(), create ? BRF_CREATE : 0, 0, false);
    r = brfaccess(&st, f, 0, false);
    if (create) check(brf_upd_ver(f));
    KEY_DESC d{};
    d.nsegs = 1;
    d.seg[0] = {kSegChars, kKeyLen, 0};
    check(brfsetkey(r, &d, create, false, nullptr));
  }
  void close() {
    brfdeaccess(r);
    brfclose(f);
  }
};

native& loaded_native() {
  static native n = [] {
    native x;
    x.open(true);
    uint8_t rec[kRecLen];
    for (uint32_t k : order()) {
      make(rec, k, 'a');
      check(brfput(x.r, rec, kRecLen));
    }
    return x;
  }();
  return n;
}

void BM_NativeInsert(benchmark::State& state) {
  native n;
  uint8_t rec[kRecLen];
  size_t i = 0;
  for (auto _ : state) {
    if (i == 0) {
      state.PauseTiming();
      n.open(true);
      state.ResumeTiming();
    }
    make(rec, order()[i], 'a');
    if (brfput(n.r, rec, kRecLen) != BRF_OK) state.SkipWithError("brfput");
    if (++i == order().size()) {
      state.PauseTiming();
      n.close();
      i = 0;
      state.ResumeTiming();
    }
  }
  if (i) n.close();
  state.SetItemsProcessed(state.iterations());
}

void BM_NativePointRead(benchmark::State& state) {
  native& n = loaded_native();
  std::mt19937 rng(1);
  uint8_t key[kRecLen], buf[kRecLen];
  uint32_t len;
  for (auto _ : state) {
    make(key, rng() % records(), 0);
    if (brfseek(n.r, kSeekEqual, key, kWholeRecord, buf, sizeof buf, &len) != BRF_OK) state.SkipWithError("brfseek");
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_NativeScan(benchmark::State& state) {
  native& n = loaded_native();
  uint8_t buf[kRecLen];
  uint32_t len;
  long total = 0;
  for (auto _ : state) {
    long c = 0;
    for (int st = brffirst(n.r, buf, sizeof buf, &len); st == BRF_OK; st = brfnext(n.r, buf, sizeof buf, &len)) ++c;
    if (c != records()) state.SkipWithError("scan count");
    total += c;
  }
  state.SetItemsProcessed(total);
}

void BM_NativeMix(benchmark::State& state) {
  native& n = loaded_native();
  std::mt19937 rng(2);
  uint8_t key[kRecLen], buf[kRecLen];
  uint32_t len;
  for (auto _ : state) {
    uint32_t k = rng() % records();
    make(key, k, 0);
    if (brfseek(n.r, kSeekEqual, key, kWholeRecord, buf, sizeof buf, &len) != BRF_OK) state.SkipWithError("brfseek");
    if (rng() % 10 == 0) {
      make(buf, k, static_cast<uint8_t>('b' + rng() % 20));
      if (brfrewrite(n.r, buf, kRecLen) != BRF_OK) state.SkipWithError("brfrewrite");
    }
  }
  state.SetItemsProcessed(state.iterations());
}

// --- SQLite ---

struct lite {
  sqlite3* db = nullptr;
  sqlite3_stmt *ins = nullptr, *get = nullptr, *upd = nullptr, *scan = nullptr;
  void open(bool create) {
    std::string path = dir() + "/lite.db";
    if (create) std::filesystem::remove(path);
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr);
    if (create) sqlite3_exec(db, "CREATE TABLE t(k BLOB PRIMARY KEY, v BLOB) WITHOUT ROWID", nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO t VALUES(?1, ?2)", -1, &ins, nullptr);
    sqlite3_prepare_v2(db, "SELECT v FROM t WHERE k = ?1", -1, &get, nullptr);
    sqlite3_prepare_v2(db, "UPDATE t SET v = ?2 WHERE k = ?1", -1, &upd, nullptr);
    sqlite3_prepare_v2(db, "SELECT k, v FROM t ORDER BY k", -1, &scan, nullptr);
  }
  void close() {
    for (auto* s : {ins, get, upd, scan}) sqlite3_finalize(s);
    sqlite3_close(db);
  }
  bool put(sqlite3_stmt* s, const uint8_t* rec) {
    sqlite3_bind_blob(s, 1, rec, kKeyLen, SQLITE_STATIC);
    sqlite3_bind_blob(s, 2, rec + kKeyLen, kBodyLen, SQLITE_STATIC);
    bool ok = sqlite3_step(s) == SQLITE_DONE;
    sqlite3_reset(s);
    return ok;
  }
  bool read(const uint8_t* key, uint8_t* out) {
    sqlite3_bind_blob(get, 1, key, kKeyLen, SQLITE_STATIC);
    bool ok = sqlite3_step(get) == SQLITE_ROW;
    if (ok) memcpy(out, sqlite3_column_blob(get, 0), kBodyLen);
    sqlite3_reset(get);
    return ok;
  }
};

lite& loaded_lite() {
  static lite l = [] {
    lite x;
    x.open(true);
    uint8_t rec[kRecLen];
    sqlite3_exec(x.db, "BEGIN", nullptr, nullptr, nullptr);
    for (uint32_t k : order()) {
      make(rec, k, 'a');
      x.put(x.ins, rec);
    }
    sqlite3_exec(x.db, "COMMIT", nullptr, nullptr, nullptr);
    return x;
  }();
  return l;
}

void lite_insert(benchmark::State& state, bool batched) {
  lite l;
  uint8_t rec[kRecLen];
  size_t i = 0;
  for (auto _ : state) {
    if (i == 0) {
      state.PauseTiming();
      l.open(true);
      if (batched) sqlite3_exec(l.db, "BEGIN", nullptr, nullptr, nullptr);
      state.ResumeTiming();
    }
    make(rec, order()[i], 'a');
    if (!l.put(l.ins, rec)) state.SkipWithError("insert");
    if (++i == order().size()) {
      if (batched) sqlite3_exec(l.db, "COMMIT", nullptr, nullptr, nullptr);
      state.PauseTiming();
      l.close();
      i = 0;
      state.ResumeTiming();
    }
  }
  if (i) {
    if (batched) sqlite3_exec(l.db, "COMMIT", nullptr, nullptr, nullptr);
    l.close();
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_SqliteInsert(benchmark::State& state) { lite_insert(state, false); }
void BM_SqliteInsertBatched(benchmark::State& state) { lite_insert(state, true); }

void lite_read(benchmark::State& state, bool batched) {
  lite& l = loaded_lite();
  std::mt19937 rng(1);
  uint8_t key[kRecLen], buf[kRecLen];
  if (batched) sqlite3_exec(l.db, "BEGIN", nullptr, nullptr, nullptr);
  for (auto _ : state) {
    make(key, rng() % records(), 0);
    if (!l.read(key, buf)) state.SkipWithError("select");
  }
  if (batched) sqlite3_exec(l.db, "COMMIT", nullptr, nullptr, nullptr);
  state.SetItemsProcessed(state.iterations());
}
void BM_SqlitePointRead(benchmark::State& state) { lite_read(state, false); }
void BM_SqlitePointReadBatched(benchmark::State& state) { lite_read(state, true); }

void BM_SqliteScan(benchmark::State& state) {
  lite& l = loaded_lite();
  long total = 0;
  for (auto _ : state) {
    long c = 0;
    while (sqlite3_step(l.scan) == SQLITE_ROW) {
      benchmark::DoNotOptimize(sqlite3_column_blob(l.scan, 1));
      ++c;
    }
    sqlite3_reset(l.scan);
    if (c != records()) state.SkipWithError("scan count");
    total += c;
  }
  state.SetItemsProcessed(total);
}

void lite_mix(benchmark::State& state, bool batched) {
  lite& l = loaded_lite();
  std::mt19937 rng(2);
  uint8_t key[kRecLen], buf[kRecLen];
  if (batched) sqlite3_exec(l.db, "BEGIN", nullptr, nullptr, nullptr);
  for (auto _ : state) {
    uint32_t k = rng() % records();
    make(key, k, 0);
    if (!l.read(key, buf)) state.SkipWithError("select");
    if (rng() % 10 == 0) {
      make(buf, k, static_cast<uint8_t>('b' + rng() % 20));
      if (!l.put(l.upd, buf)) state.SkipWithError("update");
    }
  }
  if (batched) sqlite3_exec(l.db, "COMMIT", nullptr, nullptr, nullptr);
  state.SetItemsProcessed(state.iterations());
}
void BM_SqliteMix(benchmark::State& state) { lite_mix(state, false); }
void BM_SqliteMixBatched(benchmark::State& state) { lite_mix(state, true); }

BENCHMARK(BM_NativeInsert)->Iterations(200000);
BENCHMARK(BM_SqliteInsert)->Iterations(200000);
BENCHMARK(BM_SqliteInsertBatched)->Iterations(200000);
BENCHMARK(BM_NativePointRead);
BENCHMARK(BM_SqlitePointRead);
BENCHMARK(BM_SqlitePointReadBatched);
BENCHMARK(BM_NativeScan)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteScan)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NativeMix);
BENCHMARK(BM_SqliteMix);
BENCHMARK(BM_SqliteMixBatched);

}  // namespace

BENCHMARK_MAIN();
