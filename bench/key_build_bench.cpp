// A whole key file built over N records already in their data file
// (KIVO_BENCH_RECORDS, default 1,000,000; a 10-byte unique key in random
// order, a 100-byte body): in bulk, as the import, kivo -r and the first
// open build it (the values sorted, the pages written bottom up), beside the
// build that inserts record after record into the tree. Each reports the
// records a second and the system calls a record took.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "foundation/com.h"
#include "foundation/os_calls.h"
#include "store/btree.h"
#include "store/lock.h"
#include "store/record_ops.h"

namespace {

using namespace kivo;

constexpr int kKeyLen = 10;
constexpr int kBodyLen = 100;

void check(int status) {
  if (status == BRF_OK) return;
  fprintf(stderr, "storage status %d\n", status);
  abort();
}

long records() {
  const char* v = getenv("KIVO_BENCH_RECORDS");
  const long n = v ? atol(v) : 1000000;
  return n > 0 ? n : 1000000;
}

long g_calls = 0;
os_call_table g_real;
void count_calls() {
  g_real = os_sys;
  os_sys.pread = [](int fd, void* b, size_t n, off_t o) { return ++g_calls, g_real.pread(fd, b, n, o); };
  os_sys.pwrite = [](int fd, const void* b, size_t n, off_t o) { return ++g_calls, g_real.pwrite(fd, b, n, o); };
  os_sys.fcntl_lock = [](int fd, int cmd, struct flock* l) { return ++g_calls, g_real.fcntl_lock(fd, cmd, l); };
}

KEY_DESC key_of_records() {
  KEY_DESC d;
  d.nsegs = 1;
  d.seg[0] = BT_SEG{1, kKeyLen, 0};  // characters
  return d;
}

// The data file of N records in random key order, with a key file that
// holds no key yet; made once, copied for each run.
const std::string& loaded() {
  static std::string base = [] {
    std::string dir = std::filesystem::temp_directory_path() / ("kivo_keybuild_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::string b = dir + "/made";
    int st;
    BRF_FILE* f = brfopen(&st, b.c_str(), BRF_CREATE, 0, true);
    if (!f) check(st);
    BRF_RCB* r = brfaccess(&st, f, 0, false);
    check(brf_upd_ver(f));
    std::vector<uint32_t> ids(static_cast<size_t>(records()));
    std::iota(ids.begin(), ids.end(), 0u);
    std::shuffle(ids.begin(), ids.end(), std::mt19937(42));
    std::vector<uint8_t> rec(kKeyLen + kBodyLen, 'x');
    for (uint32_t id : ids) {
      snprintf(reinterpret_cast<char*>(rec.data()), kKeyLen + 1, "%010u", id);
      rec[kKeyLen] = 'x';
      check(brfput(r, rec.data(), static_cast<uint32_t>(rec.size())));
    }
    brfdeaccess(r);
    brfclose(f);
    return b;
  }();
  return base;
}

// A fresh copy of the loaded pair, opened alone.
struct work_pair {
  BRF_FILE* f = nullptr;
  BRF_RCB* r = nullptr;
  std::string base;
  work_pair() {
    base = loaded() + "_run";
    std::filesystem::copy_file(loaded() + ".dat", base + ".dat", std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(loaded() + ".key", base + ".key", std::filesystem::copy_options::overwrite_existing);
    int st;
    f = brfopen(&st, base.c_str(), 0, 0, true);
    if (!f) check(st);
    r = brfaccess(&st, f, 0, false);
  }
  ~work_pair() {
    brfdeaccess(r);
    brfclose(f);
  }
};

// Times `build` (the key `d` built on a fresh copy of the pair) once per
// iteration; the copy is made outside the timing.
template <class Build>
void timed_builds(benchmark::State& state, Build build) {
  for (auto _ : state) {
    state.PauseTiming();
    work_pair w;
    KEY_DESC d = key_of_records();
    const long before = g_calls;
    state.ResumeTiming();
    build(w, d);
    state.PauseTiming();
    state.counters["records_per_second"] =
        benchmark::Counter(static_cast<double>(records()), benchmark::Counter::kIsIterationInvariantRate);
    state.counters["calls_per_record"] = static_cast<double>(g_calls - before) / static_cast<double>(records());
    state.ResumeTiming();
  }
}

// The key defined on the file and its index built in bulk (brfsetkey).
void BM_KeyBuildBulk(benchmark::State& state) {
  timed_builds(state, [](work_pair& w, KEY_DESC& d) { check(brfsetkey(w.r, &d, true, false, nullptr)); });
}

// The same key built record after record: defined empty, then each live
// record's value inserted into the tree under one tree lock.
void BM_KeyBuildInsertByInsert(benchmark::State& state) {
  timed_builds(state, [](work_pair& w, KEY_DESC& d) {
    check(bt_share_at(w.f->slot, kUpdateLockByte, 1, 1, LOCK_UPDATE) ? BRF_OK : BRF_LOCK_REFUSED);
    check(brf_change_begin(w.r));
    if (bsetkey(w.r->cursor, &d, true) != BRF_KEY_CREATED) check(BRF_NO_KEY);
    brfnullkey(w.f, d.keyno, false, nullptr);
    BT_CURSOR* c = w.r->cursor;
    if (!block(c, true)) check(c->status);
    std::vector<uint8_t> buf(kKeyLen + kBodyLen);
    BRF_RCB* scan = brfaccess(&w.r->status, w.f, 0, false);
    uint32_t len = 0;
    for (int st = brffirst(scan, buf.data(), buf.size(), &len); st == BRF_OK;
         st = brfnext(scan, buf.data(), buf.size(), &len)) {
      bsetkeyN(c, d.keyno);
      check(buinsert(c, buf.data(), static_cast<uint32_t>(scan->last_seek)));
    }
    bunlock(c, true);
    brfdeaccess(scan);
    check(brf_change_end(w.r, BRF_OK));
    bt_share_at(w.f->slot, kUpdateLockByte, 0, 0, LOCK_UPDATE);
  });
}

BENCHMARK(BM_KeyBuildBulk)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KeyBuildInsertByInsert)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  com_fill(0, nullptr);
  brfinit();
  count_calls();
  loaded();
  benchmark::RunSpecifiedBenchmarks();
  std::filesystem::remove_all(std::filesystem::path(loaded()).parent_path());
  return 0;
}
