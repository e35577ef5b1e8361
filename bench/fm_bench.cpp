// The file manager's record operations beside the memory back-end's slots
// called directly, on one memory file of 1,000,000 records of 32 bytes
// with an 8-digit unique key: a read by a random key, a read-next (no scan
// restriction), a write of a new key; each pair does the same work per
// iteration. Then a key compare of one to four segments and a hit in the
// record cache.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "fm/fm.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_record_cache.h"
#include "fm/key_xfer.h"
#include "foundation/com.h"
#include "foundation/pool.h"

namespace {

using namespace kivo;

constexpr int kRecords = 1000000;
constexpr uint16_t kRecLen = 32;

struct bench_file {
  FDB fdb{};
  KDB kdb{};
  SDB sdb{};
  ARB* arb = nullptr;
  uint8_t buf[kRecLen];
};

void key_of(uint8_t* rec, int i) {
  char k[16];
  snprintf(k, sizeof k, "%08d", i);
  memcpy(rec, k, 8);
}

ARB* create(bench_file& f, const char* name) {
  INIT_FDB(&f.fdb, FS_MEMORY, kRecLen, 0, &f.kdb, 1);
  f.fdb.fdb_org = ORG_INDEXED;
  INIT_TMP_PATH(&f.fdb.path, "0DN", "00", name, 0);
  INIT_KDB(&f.kdb, 0, '+', 0, &f.sdb, 1);
  init_sdb_func(&f.sdb, 1, 0, 8, SDB_CHARS, '+');
  if (!FM_CREATE(&f.fdb, 0, 500, LFB_OPEN_NEW | LFB_NO_STRUCT_CHK, 0x0f, 0x0f)) abort();
  f.arb = f.fdb.fdb_arb;
  f.arb->arb_rec = f.buf;
  f.arb->arb_len = kRecLen;
  memset(f.buf, 'r', kRecLen);
  return f.arb;
}

bench_file& big() {
  static bench_file f;
  static bool done = [] {
    com_fill(0, nullptr);
    mm_init();
    if (!fm_init()) abort();
    ARB* a = create(f, "BIG");
    for (int i = 0; i < kRecords; ++i) {
      key_of(f.buf, i);
      a->arb_mod = 0;
      if (!fm_write(a)) abort();
    }
    return true;
  }();
  (void)done;
  return f;
}

STRM* strm(ARB* a) { return a->arb_sarb->sarb_cur_strm; }

template <bool kSlot>
void read_by_key(benchmark::State& state) {
  bench_file& f = big();
  ARB* a = f.arb;
  STRM* s = strm(a);
  std::mt19937 rng(7);
  for (auto _ : state) {
    key_of(f.buf, int(rng() % kRecords));
    a->arb_keyno = 0;
    a->arb_mod = ARB_EQUAL;
    int r = kSlot ? s->strm_fms->read(a, s) : fm_read(a);
    benchmark::DoNotOptimize(r);
  }
}
void BM_FmRead(benchmark::State& state) { read_by_key<false>(state); }
void BM_SlotRead(benchmark::State& state) { read_by_key<true>(state); }

template <bool kSlot>
void read_next(benchmark::State& state) {
  bench_file& f = big();
  ARB* a = f.arb;
  STRM* s = strm(a);
  auto start = [&] {
    a->arb_keyno = 0;
    a->arb_mod = ARB_FIRST;
    if (!(kSlot ? s->strm_fms->start(a, s) : fm_start(a))) abort();
  };
  start();
  for (auto _ : state) {
    a->arb_mod = 0;
    if (!(kSlot ? s->strm_fms->rdnxt(a, s) : fm_rdnxt(a))) start();
  }
}
void BM_FmRdnxt(benchmark::State& state) { read_next<false>(state); }
void BM_SlotRdnxt(benchmark::State& state) { read_next<true>(state); }

// Writes of ascending new keys into a file of its own, emptied afterwards.
template <bool kSlot>
void write_new(benchmark::State& state) {
  big();
  static int no;
  char name[16];
  snprintf(name, sizeof name, "W%07d", ++no);
  bench_file f;
  ARB* a = create(f, name);
  STRM* s = strm(a);
  int i = 0;
  for (auto _ : state) {
    key_of(f.buf, i++);
    a->arb_mod = 0;
    if (!(kSlot ? s->strm_fms->write(a, s) : fm_write(a))) abort();
  }
  FM_CLOSE(a, ARB_SCRATCH);
}
void BM_FmWrite(benchmark::State& state) { write_new<false>(state); }
void BM_SlotWrite(benchmark::State& state) { write_new<true>(state); }

// Two records in record layout that differ only in the last segment's last
// byte, under a key of state.range(0) segments of 4 bytes.
void BM_FmCmp(benchmark::State& state) {
  const int n = int(state.range(0));
  SSB segs[4];
  for (int i = 0; i < n; ++i) segs[i] = SSB{uint16_t(i * 6), 4, 8, '+'};
  uint8_t a[32], b[32];
  memset(a, 'k', sizeof a);
  memcpy(b, a, sizeof b);
  b[(n - 1) * 6 + 3] = 'l';
  KEY_XFER k{a, b, 0, 0, 0, uint8_t(n), segs};
  for (auto _ : state) benchmark::DoNotOptimize(fm_cmp(k));
}

// One hit per iteration on an initial record already cached.
void BM_FmCacheHit(benchmark::State& state) {
  big();
  static FDB d = [] {
    FDB init;
    KDB kdb[kInitMaxKeys];
    SDB sdb[8];
    INIT_DINIT_FDB(&init, kdb, sdb, "0DN", "00");
    if (!FM_CREATE(&init, 0, 0, LFB_OPEN_NEW | LFB_NO_STRUCT_CHK, 0x0f, 0x0f)) abort();
    uint8_t rec[13 + kRecLen];
    memcpy(rec, "CACHED  \x01\0\0\0\x01", 13);
    memset(rec + 13, 'i', kRecLen);
    ARB* h = init.fdb_arb;
    h->arb_rec = rec;
    h->arb_len = h->arb_var_len = sizeof rec;
    h->arb_mod = 0;
    if (!fm_write(h)) abort();
    FDB f{};
    INIT_FDB(&f, FS_MEMORY, kRecLen, 0, nullptr, 0);
    INIT_TMP_PATH(&f.path, "0DN", "00", "CACHED", 0);
    return f;
  }();
  if (!fm_cache(&d, CACHE_INITIAL)) abort();
  for (auto _ : state) benchmark::DoNotOptimize(fm_cache(&d, CACHE_INITIAL));
}

}  // namespace

BENCHMARK(BM_FmRead);
BENCHMARK(BM_SlotRead);
BENCHMARK(BM_FmRdnxt);
BENCHMARK(BM_SlotRdnxt);
BENCHMARK(BM_FmWrite)->Iterations(300000);
BENCHMARK(BM_SlotWrite)->Iterations(300000);
BENCHMARK(BM_FmCmp)->DenseRange(1, 4);
BENCHMARK(BM_FmCacheHit);

BENCHMARK_MAIN();
