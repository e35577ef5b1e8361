// The native storage engine beside SQLite on the same work: N records of a
// 10-byte key and a 100-byte body (KIVO_BENCH_RECORDS, default 1,000,000):
// random inserts, random point reads, a full scan in key order, and a 90/10
// read/rewrite mix. SQLite runs a WITHOUT ROWID table in WAL mode with
// synchronous=OFF, one statement a transaction (the native files'
// per-operation locking and durability), and also batched in one
// transaction. At the end the ratios of the medians are printed: the engine's
// rate over SQLite's, per statement and batched.
//
// The same four operations run through the file manager too (BM_Fm*): a
// native file opened by fm_init's native back-end, the mix's rewrites under
// holds, to show what the file manager adds to the storage engine.
//
// Each native benchmark also reports calls_per_op: the system calls the
// storage engine made per operation (per record for a scan), counted on the
// engine's system-call table. Inserts and the scan run again on an
// exclusively opened file, and whole processes are timed side by side: "kivo -i" of N lines
// beside the sqlite3 shell's .import of the same file, and "kivo -e" beside
// the shell writing the table out (wall time; user and system seconds).
//
// A sorted query over N native records (KIVO_BENCH_QUERY_RECORDS, default
// 1,000,000): one statement keeping half, two sort fields, the pointers read
// back and each record read by its id, beside SQLite on the same rows (no
// index, SELECT rowid ... WHERE ... ORDER BY both fields, each row then read
// by rowid). Reported: the time to the first and to the last record, and for
// the query how the first splits into selecting and sorting.
//
// A user's report scans once, so the end also gives the rate of the first
// exclusive scan beside the medians of the exclusive and the shared scan.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include <fcntl.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "compiler/pc.h"
#include "fm/fm.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/unix_fm.h"
#include "foundation/com.h"
#include "foundation/os_calls.h"
#include "foundation/pool.h"
#include "process/pb.h"
#include "process/qs.h"
#include "store/record_ops.h"

extern char** environ;

namespace {

// A storage failure makes every figure meaningless: stop the run.
void check(int status) {
  if (status == kivo::BRF_OK) return;
  fprintf(stderr, "storage status %d\n", status);
  abort();
}

using namespace kivo;

// --- system calls per operation ---

long g_calls = 0;
os_call_table g_real = os_sys;

template <class R, class... A>
struct counted;
template <class R, class... A>
struct counted<R (*)(A...)> {
  template <R (*os_call_table::*Entry)(A...)>
  static R call(A... a) {
    ++g_calls;
    return (g_real.*Entry)(a...);
  }
};
#define KIVO_COUNT(t, name) t.name = counted<decltype(t.name)>::template call<&T::name>

// Puts a counting wrapper around every entry of the table.
template <class T>
void count_calls(T& t) {
  KIVO_COUNT(t, open);
  KIVO_COUNT(t, close);
  KIVO_COUNT(t, pread);
  KIVO_COUNT(t, pwrite);
  KIVO_COUNT(t, read);
  KIVO_COUNT(t, write);
  KIVO_COUNT(t, readv);
  KIVO_COUNT(t, lseek);
  KIVO_COUNT(t, fcntl_lock);
  KIVO_COUNT(t, fstat);
  KIVO_COUNT(t, stat);
  KIVO_COUNT(t, fsync);
  KIVO_COUNT(t, ftruncate);
  KIVO_COUNT(t, rename);
  KIVO_COUNT(t, unlink);
  if constexpr (requires { t.pwritev; }) KIVO_COUNT(t, pwritev);
  if constexpr (requires { t.mmap; }) KIVO_COUNT(t, mmap);
  if constexpr (requires { t.munmap; }) KIVO_COUNT(t, munmap);
  if constexpr (requires { t.sync_file_range; }) KIVO_COUNT(t, sync_file_range);
}

// Counts the calls of the timed loop that follows; report() sets the counter.
struct call_meter {
  long start;
  call_meter() {
    static bool installed = [] {
      count_calls(os_sys);
      return true;
    }();
    (void)installed;
    start = g_calls;
  }
  void report(benchmark::State& state, double ops) const {
    state.counters["calls_per_op"] = ops > 0 ? static_cast<double>(g_calls - start) / ops : 0;
  }
};

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

// The work directory (about 1 GB after a whole run) goes when the run ends
// and when a signal stops it; the handler only forks and execs, which a
// signal handler may.
char g_work_dir[64];

void remove_work_dir() {
  pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/rm", "rm", "-rf", g_work_dir, static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid > 0) waitpid(pid, nullptr, 0);
}

void remove_work_dir_and_die(int sig) {
  remove_work_dir();
  signal(sig, SIG_DFL);
  raise(sig);
}

std::string dir() {
  static std::string d = [] {
    snprintf(g_work_dir, sizeof g_work_dir, "/tmp/kivo_bench_XXXXXX");
    if (!mkdtemp(g_work_dir)) {
      perror("mkdtemp");
      exit(1);
    }
    atexit(remove_work_dir);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) signal(sig, remove_work_dir_and_die);
    return std::string(g_work_dir);
  }();
  return d;
}

// The common block filled once: the file manager keeps its scopes in it.
void engine_started() {
  static bool done = [] {
    com_fill(0, nullptr);
    mm_init();
    return true;
  }();
  (void)done;
}

// --- native ---

struct native {
  BRF_FILE* f = nullptr;
  BRF_RCB* r = nullptr;
  void open(bool create, bool exclusive = false) {
    engine_started();
    brfinit();
    std::string base = dir() + "/native";
    if (create) {
      std::filesystem::remove(base + ".dat");
      std::filesystem::remove(base + ".key");
    }
    int st;
    f = brfopen(&st, base.c_str(), create ? BRF_CREATE : 0, 0, exclusive);
    r = brfaccess(&st, f, 0, false);
    if (create) check(brf_upd_ver(f));
    KEY_DESC d{};
    d.nsegs = 1;
    d.seg[0] = {kSegChars, kKeyLen, 0};
    check(brfsetkey(r, &d, create, false, nullptr));
  }
  void close() {
    check(brfdeaccess(r));
    check(brfclose(f));
    r = nullptr;
    f = nullptr;
  }
  // The operations the shared benchmarks below run, with their names for errors.
  static constexpr const char *kPut = "brfput", *kGet = "brfseek", *kRewrite = "brfrewrite";
  uint8_t key[kRecLen], buf[kRecLen];
  uint32_t len = 0;
  bool put(const uint8_t* rec) { return brfput(r, rec, kRecLen) == BRF_OK; }
  bool get(uint32_t k, bool /*hold*/) {
    make(key, k, 0);
    return brfseek(r, kSeekEqual, key, kWholeRecord, buf, sizeof buf, &len) == BRF_OK;
  }
  bool rewrite(uint32_t k, uint8_t fill) {
    make(buf, k, fill);
    return brfrewrite(r, buf, kRecLen) == BRF_OK;
  }
  long count() {
    long c = 0;
    for (int st = brffirst(r, buf, sizeof buf, &len); st == BRF_OK; st = brfnext(r, buf, sizeof buf, &len)) ++c;
    return c;
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

void BM_NativeRewrite(benchmark::State& state) {
  native& n = loaded_native();
  std::mt19937 rng(3);
  uint8_t key[kRecLen], buf[kRecLen];
  uint32_t len;
  long rewrites = 0;
  long before = 0;
  call_meter counting;
  for (auto _ : state) {
    state.PauseTiming();
    uint32_t k = rng() % records();
    make(key, k, 0);
    if (brfseek(n.r, kSeekEqual, key, kWholeRecord, buf, sizeof buf, &len) != BRF_OK) state.SkipWithError("brfseek");
    make(buf, k, static_cast<uint8_t>('b' + rng() % 20));
    long at = g_calls;
    state.ResumeTiming();
    if (brfrewrite(n.r, buf, kRecLen) != BRF_OK) state.SkipWithError("brfrewrite");
    before += g_calls - at;
    ++rewrites;
  }
  state.counters["calls_per_op"] = rewrites ? static_cast<double>(before) / rewrites : 0;
  state.SetItemsProcessed(state.iterations());
}

// Deletes and puts back random records: calls per delete.
void BM_NativeDelete(benchmark::State& state) {
  native& n = loaded_native();
  std::mt19937 rng(4);
  uint8_t key[kRecLen], buf[kRecLen];
  uint32_t len;
  long calls = 0;
  call_meter counting;
  for (auto _ : state) {
    state.PauseTiming();
    uint32_t k = rng() % records();
    make(key, k, 0);
    if (brfseek(n.r, kSeekEqual, key, kWholeRecord, buf, sizeof buf, &len) != BRF_OK) state.SkipWithError("brfseek");
    long at = g_calls;
    state.ResumeTiming();
    if (brfdelete(n.r) != BRF_OK) state.SkipWithError("brfdelete");
    state.PauseTiming();
    calls += g_calls - at;
    if (brfput(n.r, buf, kRecLen) != BRF_OK) state.SkipWithError("brfput");
    state.ResumeTiming();
  }
  state.counters["calls_per_op"] = state.iterations() ? static_cast<double>(calls) / state.iterations() : 0;
  state.SetItemsProcessed(state.iterations());
}

// --- through the file manager ---

// A native file of the same records, opened through the file manager.
struct fm_file {
  FDB fdb{};
  KDB kdb{};
  SDB sdb{};
  ARB* a = nullptr;
  uint8_t buf[kRecLen];
  void open(bool create) {
    static std::string data = [] {
      engine_started();
      std::string d = dir() + "/fm";
      std::filesystem::create_directories(d);
      return d;
    }();
    static bool started = [] {
      com.data_dir = cstr{static_cast<uint16_t>(data.size()), data.data()};
      return fm_init() == 1;
    }();
    if (!started) abort();
    INIT_FDB(&fdb, FS_DISK, kRecLen, 1, &kdb, 1);
    fdb.fdb_org = ORG_INDEXED;
    fdb.fdb_struct_date[0] = fdb.fdb_struct_date[1] = 0;
    INIT_TMP_PATH(&fdb.path, "0DN", "00", "FMBENCH", 0);
    INIT_KDB(&kdb, 0, '+', 0, &sdb, 1);
    init_sdb_func(&sdb, 1, 0, kKeyLen, SDB_CHARS, '+');
    constexpr uint32_t opt = LFB_NO_STRUCT_CHK | LFB_ANY_DIR;
    if (create) FM_SCRATCH(&fdb, opt);
    int ok = create ? FM_CREATE(&fdb, com.sys_scope, 0, opt | LFB_OPEN_NEW, 0x0f, 0x0f)
                    : FM_OPEN(&fdb, com.sys_scope, opt, 0x0f, 0x0f);
    if (!ok) {
      fprintf(stderr, "file manager status %u\n", fdb.fdb_stat);
      abort();
    }
    a = fdb.fdb_arb;
    a->arb_lock_wait = 0;
  }
  void close() { FM_CLOSE(a, 0); }
  static constexpr const char *kPut = "fm_write", *kGet = "fm_read", *kRewrite = "fm_rewrite";
  bool put(const uint8_t* rec) {
    a->arb_rec = const_cast<uint8_t*>(rec), a->arb_var_len = kRecLen, a->arb_mod = 0;
    return fm_write(a);
  }
  bool get(uint32_t k, bool hold) {
    make(buf, k, 0);
    a->arb_rec = buf, a->arb_len = kRecLen, a->arb_keyno = 0, a->arb_key = nullptr;
    a->arb_mod = ARB_EQUAL | (hold ? ARB_HOLD : 0);
    return fm_read(a);
  }
  bool rewrite(uint32_t k, uint8_t fill) {
    make(buf, k, fill);
    a->arb_rec = buf, a->arb_var_len = kRecLen, a->arb_mod = 0;
    return fm_rewrite(a);
  }
  // Reads in key order from the first record; -1 when the start fails.
  long count() {
    a->arb_keyno = 0, a->arb_mod = ARB_FIRST;
    if (!fm_start(a)) return -1;
    long c = 0;
    for (;;) {
      a->arb_rec = buf, a->arb_len = kRecLen, a->arb_mod = 0;
      if (!fm_rdnxt(a)) break;
      ++c;
    }
    return c;
  }
};

fm_file& loaded_fm() {
  static fm_file f = [] {
    fm_file x;
    x.open(true);
    uint8_t rec[kRecLen];
    for (uint32_t k : order()) {
      make(rec, k, 'a');
      if (!x.put(rec)) abort();
    }
    return x;
  }();
  return f;
}

// --- the same work on either: native or fm_file ---

template <class File>
void insert(benchmark::State& state) {
  File f;
  uint8_t rec[kRecLen];
  size_t i = 0;
  long opens = 0;
  call_meter meter;
  for (auto _ : state) {
    if (i == 0) {
      state.PauseTiming();
      long before = g_calls;
      f.open(true);
      opens += g_calls - before;
      state.ResumeTiming();
    }
    make(rec, order()[i], 'a');
    if (!f.put(rec)) state.SkipWithError(File::kPut);
    if (++i == order().size()) {
      state.PauseTiming();
      f.close();
      i = 0;
      state.ResumeTiming();
    }
  }
  if (i) f.close();
  g_calls -= opens;  // the opens and closes are not inserts
  meter.report(state, static_cast<double>(state.iterations()));
  state.SetItemsProcessed(state.iterations());
}

template <class File>
void point_read(benchmark::State& state, File& f) {
  std::mt19937 rng(1);
  call_meter meter;
  for (auto _ : state)
    if (!f.get(static_cast<uint32_t>(rng() % records()), false)) state.SkipWithError(File::kGet);
  meter.report(state, static_cast<double>(state.iterations()));
  state.SetItemsProcessed(state.iterations());
}

template <class File>
void scan(benchmark::State& state, File& f) {
  long total = 0;
  call_meter meter;
  for (auto _ : state) {
    long c = f.count();
    if (c != records()) state.SkipWithError("scan count");
    total += c;
  }
  meter.report(state, static_cast<double>(total));
  state.SetItemsProcessed(total);
}

// 90% reads, 10% reads and rewrites (held first where the file has holds).
template <class File>
void mix(benchmark::State& state, File& f) {
  std::mt19937 rng(2);
  long ops = 0;
  call_meter meter;
  for (auto _ : state) {
    uint32_t k = static_cast<uint32_t>(rng() % records());
    bool update = rng() % 10 == 0;
    if (!f.get(k, update)) state.SkipWithError(File::kGet);
    if (update) {
      if (!f.rewrite(k, static_cast<uint8_t>('b' + rng() % 20))) state.SkipWithError(File::kRewrite);
      ++ops;
    }
    ++ops;
  }
  meter.report(state, static_cast<double>(ops));
  state.SetItemsProcessed(state.iterations());
}

// The pair opened exclusively, as an import or a batch job holds it: the
// engine's like of SQLite holding its write lock over a batch.
struct native_alone : native {
  void open(bool create) { native::open(create, true); }
};

void BM_NativeInsert(benchmark::State& state) { insert<native>(state); }
void BM_NativeInsertExclusive(benchmark::State& state) { insert<native_alone>(state); }
void BM_NativePointRead(benchmark::State& state) { point_read(state, loaded_native()); }
void BM_NativeScan(benchmark::State& state) { scan(state, loaded_native()); }
void BM_NativeMix(benchmark::State& state) { mix(state, loaded_native()); }
void BM_FmInsert(benchmark::State& state) { insert<fm_file>(state); }
void BM_FmPointRead(benchmark::State& state) { point_read(state, loaded_fm()); }
void BM_FmScan(benchmark::State& state) { scan(state, loaded_fm()); }
void BM_FmMix(benchmark::State& state) { mix(state, loaded_fm()); }

// The same file opened exclusively, as an export or a report does: the
// shared open is closed first and opened again after, so a repetition, or a
// benchmark after this one, finds it as before.
void BM_NativeScanExclusive(benchmark::State& state) {
  native& shared = loaded_native();
  shared.close();
  native n;
  n.open(false, true);
  scan(state, n);
  n.close();
  shared.open(false);
}

// --- SQLite ---

struct lite {
  sqlite3* db = nullptr;
  sqlite3_stmt *ins = nullptr, *get = nullptr, *upd = nullptr, *scan = nullptr;
  void open(bool create) {
    std::string path = dir() + "/lite.db";
    if (create)
      for (const char* end : {"", "-wal", "-shm"}) std::filesystem::remove(path + end);
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
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

// --- whole processes: import and export ---

// The flat file of the N records in random order, one line each.
const std::string& flat_lines() {
  static std::string path = [] {
    std::string p = dir() + "/lines.txt";
    FILE* out = fopen(p.c_str(), "w");
    uint8_t rec[kRecLen];
    for (uint32_t k : order()) {
      make(rec, k, 'a');
      fwrite(rec, 1, kRecLen, out);
      fputc('\n', out);
    }
    fclose(out);
    return p;
  }();
  return path;
}

struct run_times {
  double wall = 0, user = 0, sys = 0;
  int status = -1;
};

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

// Runs argv as a child process with its output thrown away.
run_times run(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  run_times t;
  auto start = std::chrono::steady_clock::now();
  pid_t pid;
  if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) return t;
  int st = 0;
  struct rusage ru {};
  wait4(pid, &st, 0, &ru);
  t.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  t.user = seconds(ru.ru_utime);
  t.sys = seconds(ru.ru_stime);
  t.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  posix_spawn_file_actions_destroy(&fa);
  return t;
}

// Times one whole process per iteration; `prepare` runs untimed before it.
template <class Prepare>
void whole_process(benchmark::State& state, Prepare prepare, const std::vector<std::string>& args) {
  double user = 0, sys = 0;
  for (auto _ : state) {
    prepare();
    run_times t = run(args);
    if (t.status != 0) state.SkipWithError(("exit status " + std::to_string(t.status)).c_str());
    state.SetIterationTime(t.wall);
    user += t.user;
    sys += t.sys;
  }
  state.counters["user_s"] = benchmark::Counter(user, benchmark::Counter::kAvgIterations);
  state.counters["sys_s"] = benchmark::Counter(sys, benchmark::Counter::kAvgIterations);
  state.SetItemsProcessed(state.iterations() * records());
}

std::string sqlite_shell() {
  const char* v = getenv("KIVO_SQLITE3");
  return v ? v : "/usr/bin/sqlite3";
}

void BM_KivoImport(benchmark::State& state) {
  std::string base = dir() + "/flat";
  whole_process(state,
                [&] {
                  std::filesystem::remove(base + ".dat");
                  std::filesystem::copy_file(flat_lines(), base, std::filesystem::copy_options::overwrite_existing);
                },
                {KIVO_BINARY, "-i", base});
}

void BM_SqliteImport(benchmark::State& state) {
  std::string db = dir() + "/flat.db";
  whole_process(state, [&] { std::filesystem::remove(db); },
                {sqlite_shell(), db, "CREATE TABLE t(line TEXT);", ".import --csv " + flat_lines() + " t"});
}

// Export of what the imports above made (they run first).
void BM_KivoExport(benchmark::State& state) {
  std::string base = dir() + "/flat";
  whole_process(state, [] {}, {KIVO_BINARY, "-e", base});
}

void BM_SqliteExport(benchmark::State& state) {
  std::string db = dir() + "/flat.db";
  whole_process(state, [] {}, {sqlite_shell(), db, ".output " + dir() + "/flat.out", "SELECT line FROM t;"});
}

// --- a sorted query beside SELECT ... ORDER BY ---

// Record: a (alpha 8) at 0, b (u32) at 8, amount (u32) at 12, a body to 64.
constexpr uint16_t kQryRecLen = 64;

size_t query_records() {
  static size_t n = [] {
    const char* v = getenv("KIVO_BENCH_QUERY_RECORDS");
    return v ? static_cast<size_t>(atol(v)) : size_t(1000000);
  }();
  return n;
}
void query_rec(uint8_t* r, uint32_t i) {
  memset(r, 'x', kQryRecLen);
  std::mt19937 g(i);
  char a[9];
  snprintf(a, sizeof a, "K%07u", unsigned(g() % 5000));
  memcpy(r, a, 8);
  st_le32(r, 8, g() % 1000), st_le32(r, 12, g() % 1000);
}
bool keeps(const uint8_t* r) { return ld_le32(r, 12) < 500; }

// The native file of the query's records, made once.
ARB* query_file() {
  static ARB* a = [] {
    fm_file warm;  // starts the file manager on the benchmark's directory
    warm.open(true);
    warm.close();
    FDB fdb;
    INIT_FDB(&fdb, FS_DISK, kQryRecLen, 0, nullptr, 0);
    INIT_TMP_PATH(&fdb.path, "0DN", "00", "QRYBENCH", 0);
    fdb.fdb_struct_date[0] = fdb.fdb_struct_date[1] = 0;
    constexpr uint32_t opt = LFB_NO_STRUCT_CHK | LFB_ANY_DIR;
    FM_SCRATCH(&fdb, opt);
    if (!FM_CREATE(&fdb, com.sys_scope, 0, opt | LFB_OPEN_NEW, 0x0f, 0x0f)) abort();
    ARB* f = fdb.fdb_arb;
    static uint8_t rec[kQryRecLen];
    for (uint32_t i = 0; i < query_records(); ++i) {
      query_rec(rec, i);
      f->arb_rec = rec, f->arb_len = f->arb_var_len = kQryRecLen, f->arb_mod = 0;
      if (!fm_write(f)) abort();
    }
    return f;
  }();
  return a;
}

uint8_t g_area[kQryRecLen];
int select_half(void*) { return keeps(g_area) ? QS_SELECT : QS_REJECT; }

void BM_SortedQuery(benchmark::State& state) {
  ARB* pcf = query_file();
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    QRY_SORT q;
    q.pcf_arb = pcf, q.rec_area = g_area, q.rec_len = kQryRecLen, q.select = select_half;
    q.wrk_no = 0x100, q.scope = com.sys_scope, memcpy(q.ap, "0DN", 3);
    uint8_t se[kSortElemLen] = {};
    se[SE_LEVEL] = 1, se[SE_ORDER] = '+';
    uint8_t* c = se + SE_FLD + PCF_CELEM;
    c[CEL_TYPE] = 1, st_le16(c, CEL_SIZE, 8), st_le16(c, CEL_OFF, 0), memset(c + CEL_MASK, ' ', 60);
    if (!qs_add_elem(&q, se)) state.SkipWithError("sort field");
    se[SE_LEVEL] = 2, c[CEL_TYPE] = 5, c[CEL_SIGNED] = '0', c[CEL_HI] = 9, st_le16(c, CEL_SIZE, 4),
    st_le16(c, CEL_OFF, 8);
    if (!qs_add_elem(&q, se)) state.SkipWithError("sort field");
    qs_close_key(&q, 2);
    q.id_len = pcf->arb_rec_id_len ? pcf->arb_rec_id_len : 4;
    pcf->arb_mod = ARB_FIRST, pcf->arb_key = nullptr;
    if (!fm_start(pcf) || qs_sort(&q) != 1) state.SkipWithError("sort");
    const auto sorted = std::chrono::steady_clock::now();
    PB_ATTACH b;
    FAD fad{nullptr, nullptr};
    b.ptr = FM_ATTACH(q.ptr_arb, &fad, com.sys_scope);
    b.data = pcf, b.id_len = uint16_t(q.id_len), b.map = {0, 1, 2};
    pb_restart(&b);
    uint8_t rec[kQryRecLen];
    double first = 0;
    long got = 0;
    for (;;) {
      uint16_t len = kQryRecLen;
      uint32_t st = 0, level = 0;
      if (pb_rdnxt(&b, rec, &len, &st, &level)) {
        if (!got++) first = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        continue;
      }
      if (st == PB_LEVEL_START || st == PB_LEVEL_END) continue;
      break;
    }
    const double last = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(last);
    state.counters["first_s"] = first;
    state.counters["select_sort_s"] = std::chrono::duration<double>(sorted - start).count();
    state.counters["merge_passes"] = q.passes;
    state.counters["records"] = double(got);
    fm_detach(b.ptr);
    FM_CLOSE(q.ptr_arb, ARB_SCRATCH | ARB_CLOSE_NOW);
  }
}

void BM_SqliteSortedQuery(benchmark::State& state) {
  static sqlite3* db = [] {
    sqlite3* d = nullptr;
    std::string path = dir() + "/query.db";
    std::filesystem::remove(path);
    sqlite3_open(path.c_str(), &d);
    sqlite3_exec(d, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr);
    sqlite3_exec(d, "CREATE TABLE q(a BLOB, b INTEGER, amount INTEGER, body BLOB)", nullptr, nullptr, nullptr);
    sqlite3_exec(d, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* ins = nullptr;
    sqlite3_prepare_v2(d, "INSERT INTO q VALUES(?1, ?2, ?3, ?4)", -1, &ins, nullptr);
    uint8_t r[kQryRecLen];
    for (uint32_t i = 0; i < query_records(); ++i) {
      query_rec(r, i);
      sqlite3_bind_blob(ins, 1, r, 8, SQLITE_STATIC);
      sqlite3_bind_int64(ins, 2, ld_le32(r, 8)), sqlite3_bind_int64(ins, 3, ld_le32(r, 12));
      sqlite3_bind_blob(ins, 4, r + 16, kQryRecLen - 16, SQLITE_STATIC);
      sqlite3_step(ins), sqlite3_reset(ins);
    }
    sqlite3_finalize(ins);
    sqlite3_exec(d, "COMMIT", nullptr, nullptr, nullptr);
    return d;
  }();
  sqlite3_stmt *sel = nullptr, *get = nullptr;
  sqlite3_prepare_v2(db, "SELECT rowid FROM q WHERE amount < 500 ORDER BY a, b", -1, &sel, nullptr);
  sqlite3_prepare_v2(db, "SELECT a, b, amount, body FROM q WHERE rowid = ?1", -1, &get, nullptr);
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    double first = 0;
    long got = 0;
    while (sqlite3_step(sel) == SQLITE_ROW) {
      sqlite3_bind_int64(get, 1, sqlite3_column_int64(sel, 0));
      if (sqlite3_step(get) == SQLITE_ROW) benchmark::DoNotOptimize(sqlite3_column_blob(get, 3));
      sqlite3_reset(get);
      if (!got++) first = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    sqlite3_reset(sel);
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    state.counters["first_s"] = first;
    state.counters["records"] = double(got);
  }
  sqlite3_finalize(sel), sqlite3_finalize(get);
}

BENCHMARK(BM_NativeInsert)->Iterations(200000);
BENCHMARK(BM_NativeInsertExclusive)->Iterations(200000);
BENCHMARK(BM_FmInsert)->Iterations(200000);
BENCHMARK(BM_SqliteInsert)->Iterations(200000);
BENCHMARK(BM_SqliteInsertBatched)->Iterations(200000);
BENCHMARK(BM_NativePointRead);
BENCHMARK(BM_FmPointRead);
BENCHMARK(BM_SqlitePointRead);
BENCHMARK(BM_SqlitePointReadBatched);
BENCHMARK(BM_NativeScan)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FmScan)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteScan)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NativeMix);
BENCHMARK(BM_FmMix);
BENCHMARK(BM_SqliteMix);
BENCHMARK(BM_SqliteMixBatched);
BENCHMARK(BM_NativeRewrite)->Iterations(20000);
BENCHMARK(BM_NativeDelete)->Iterations(20000);
BENCHMARK(BM_NativeScanExclusive)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KivoImport)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteImport)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KivoExport)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteExport)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SortedQuery)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteSortedQuery)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// --- the ratios ---

// Keeps each benchmark's rates (items per second) of its repetitions while
// the console reporter shows them as usual.
struct rate_keeper : benchmark::ConsoleReporter {
  std::map<std::string, std::vector<double>> rates;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      auto it = run.counters.find("items_per_second");
      if (it != run.counters.end()) rates[run.run_name.function_name].push_back(it->second.value);
    }
    ConsoleReporter::ReportRuns(runs);
  }
  // The rate of the benchmark's first repetition: 0 when it did not run.
  double first(const std::string& name) const {
    auto it = rates.find(name);
    return it == rates.end() || it->second.empty() ? 0 : it->second.front();
  }
  double median(const std::string& name) const {
    auto it = rates.find(name);
    if (it == rates.end() || it->second.empty()) return 0;
    std::vector<double> v = it->second;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  }
};

// One line per comparison: the engine's median rate over the peer's (above
// 1: the engine is faster). A benchmark filtered out shows "-".
void print_ratios(const rate_keeper& k) {
  struct pair {
    const char* what;
    const char* kivo;
    const char* peer;
  };
  const pair pairs[] = {
      {"insert / SQLite WAL per statement", "BM_NativeInsert", "BM_SqliteInsert"},
      {"insert / SQLite WAL batched", "BM_NativeInsert", "BM_SqliteInsertBatched"},
      {"insert exclusive / SQLite WAL batched", "BM_NativeInsertExclusive", "BM_SqliteInsertBatched"},
      {"point read / SQLite WAL per statement", "BM_NativePointRead", "BM_SqlitePointRead"},
      {"point read / SQLite WAL batched", "BM_NativePointRead", "BM_SqlitePointReadBatched"},
      {"scan shared / SQLite WAL", "BM_NativeScan", "BM_SqliteScan"},
      {"scan exclusive / SQLite WAL", "BM_NativeScanExclusive", "BM_SqliteScan"},
      {"90/10 mix / SQLite WAL per statement", "BM_NativeMix", "BM_SqliteMix"},
      {"90/10 mix / SQLite WAL batched", "BM_NativeMix", "BM_SqliteMixBatched"},
      {"import / sqlite3 shell", "BM_KivoImport", "BM_SqliteImport"},
      {"export / sqlite3 shell", "BM_KivoExport", "BM_SqliteExport"},
  };
  printf("\nratios of median rates, engine over peer (%ld records, %ld cores):\n", records(),
         sysconf(_SC_NPROCESSORS_ONLN));
  for (const pair& p : pairs) {
    double a = k.median(p.kivo), b = k.median(p.peer);
    if (a > 0 && b > 0) printf("  %-40s %6.2f\n", p.what, a / b);
    else printf("  %-40s %6s\n", p.what, "-");
  }
}

// A user's report scans once: the process's first exclusive scan, which
// pays for everything a scan sets up (the file opened and mapped anew),
// beside the first shared scan and the medians.
void print_first_scan(const rate_keeper& k) {
  const double first = k.first("BM_NativeScanExclusive"), shared_first = k.first("BM_NativeScan");
  const double exclusive = k.median("BM_NativeScanExclusive"), shared = k.median("BM_NativeScan");
  if (first <= 0) return;
  printf("\nfirst exclusive scan: %.0f records/s (exclusive median %.0f", first, exclusive);
  if (shared > 0)
    printf("; shared first %.0f, median %.0f; first exclusive over shared median %.2f", shared_first, shared,
           first / shared);
  printf(")\n");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  rate_keeper keeper;
  benchmark::RunSpecifiedBenchmarks(&keeper);
  benchmark::Shutdown();
  print_ratios(keeper);
  print_first_scan(keeper);
  return 0;
}
