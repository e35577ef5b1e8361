// Memory files beside std::multimap on the same work: N records of 100 bytes
// with one 10-byte key (N is the argument: 10,000, 100,000, 1,000,000):
// random inserts into an empty file, point reads by key, deletes of every
// record in random order, and a full scan in key order. Each side copies
// the 100-byte record on a read, as a memory-file read does.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "fm/memfile.h"
#include "foundation/com.h"
#include "foundation/pool.h"

namespace {

using namespace kivo;

constexpr int kKeyLen = 10;
constexpr int kRecLen = 100;
using record = std::array<uint8_t, kRecLen>;

void start_engine() {
  static bool done = [] {
    com_fill(0, nullptr);
    mm_init();
    fm_objects_init();
    mm_fms_install();
    return true;
  }();
  (void)done;
}

// The keys 0..n-1 in a random order, as 10 digits.
const std::vector<std::string>& keys(long n) {
  static std::map<long, std::vector<std::string>> cache;
  auto& v = cache[n];
  if (v.empty()) {
    std::vector<uint32_t> order(static_cast<size_t>(n));
    for (size_t i = 0; i < order.size(); ++i) order[i] = uint32_t(i);
    std::shuffle(order.begin(), order.end(), std::mt19937(42));
    char k[16];
    for (uint32_t o : order) {
      snprintf(k, sizeof k, "%010u", o);
      v.emplace_back(k, kKeyLen);
    }
  }
  return v;
}

void make(record& r, const std::string& key) {
  memcpy(r.data(), key.data(), kKeyLen);
  memset(r.data() + kKeyLen, 'b', kRecLen - kKeyLen);
}

// One memory file with one handle, driven through its slots.
class mem_file {
 public:
  mem_file() {
    start_engine();
    kdb_ = KDB{0, '+', 0, 0, 1, &sdb_};
    sdb_ = SDB{1, 0, kKeyLen, SDB_CHARS, '+'};
    FDB fdb{};
    INIT_FDB(&fdb, FS_MEMORY, kRecLen, 0, &kdb_, 1);
    pfb_ = create_pfb(&fdb);
    static int serial = 0;
    char name[16];
    snprintf(name, sizeof name, "B%07d", ++serial);
    INIT_SA_PATH(&lfn_.lfn_path, name, PATH_DATA);
    lfb_.lfb_pfb = pfb_;
    lfb_.lfb_lfn = &lfn_;
    lfb_.lfb_cr_size = 500;
    lfb_.lfb_opt = LFB_OPEN_NEW;
    ut_add_to_lst(&lfb_, &lfb_.lfb_in_pfb, &pfb_->pfb_lfb);
    mm_alloc_id(&lfb_, nullptr, nullptr, nullptr, nullptr);
    sarb_ = alloc_sarb();
    arb_ = sarb_->sarb_arb;
    strm_.strm_sarb = sarb_;
    strm_.strm_lfb = &lfb_;
    ut_add_to_lst(&strm_, &strm_.strm_in_lfb, &lfb_.lfb_strm);
    sarb_->sarb_cur_strm = &strm_;
    mm_attach(arb_, &strm_);
    mm_create(arb_, &strm_);
  }
  ~mem_file() {
    mm_detach(arb_, &strm_);
    mm_free(sarb_);
    static_cast<mfb*>(pfb_->pfb_fms_data)->exists = 0;
    mm_free_id(pfb_);
    free_pfb_block(pfb_);
  }
  void insert(record& r) {
    arb_->arb_rec = r.data();
    arb_->arb_len = kRecLen;
    arb_->arb_mod = 0;
    if (!mm_write(arb_, &strm_)) abort();
  }
  bool read(const std::string& key, record& out, uint16_t mod = 0) {
    memcpy(out.data(), key.data(), kKeyLen);
    arb_->arb_rec = out.data();
    arb_->arb_len = kRecLen;
    arb_->arb_keyno = 0;
    arb_->arb_mod = uint16_t(ARB_EQUAL | mod);
    return mm_read(arb_, &strm_);
  }
  void erase(const std::string& key, record& buf) {
    if (!read(key, buf, ARB_HOLD)) abort();
    arb_->arb_mod = 0;
    if (!mm_del(arb_, &strm_)) abort();
  }
  long scan(record& out) {
    arb_->arb_keyno = 0;
    arb_->arb_mod = ARB_FIRST;
    mm_start(arb_, &strm_);
    arb_->arb_rec = out.data();
    arb_->arb_len = kRecLen;
    arb_->arb_mod = 0;
    long n = 0;
    while (mm_rdnxt(arb_, &strm_)) ++n;
    return n;
  }

 private:
  KDB kdb_;
  SDB sdb_;
  PFB* pfb_;
  LFN lfn_{};
  LFB lfb_{};
  SARB* sarb_;
  ARB* arb_;
  STRM strm_{};
};

using multimap = std::multimap<std::string, record>;

// The keys in key order: a scan walks records written in that order.
std::vector<std::string> sorted_keys(long n) {
  std::vector<std::string> k = keys(n);
  std::sort(k.begin(), k.end());
  return k;
}

std::unique_ptr<mem_file> filled_file(const std::vector<std::string>& k) {
  auto f = std::make_unique<mem_file>();
  record r;
  for (const std::string& key : k) make(r, key), f->insert(r);
  return f;
}

multimap filled_map(const std::vector<std::string>& k) {
  multimap m;
  record r;
  for (const std::string& key : k) make(r, key), m.emplace(key, r);
  return m;
}

void BM_MemFileInsert(benchmark::State& state) {
  const auto& k = keys(state.range(0));
  record r;
  for (auto _ : state) {
    state.PauseTiming();
    auto f = std::make_unique<mem_file>();
    state.ResumeTiming();
    for (const std::string& key : k) make(r, key), f->insert(r);
    state.PauseTiming();
    f.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * state.range(0));
}

void BM_MultimapInsert(benchmark::State& state) {
  const auto& k = keys(state.range(0));
  record r;
  for (auto _ : state) {
    state.PauseTiming();
    auto m = std::make_unique<multimap>();
    state.ResumeTiming();
    for (const std::string& key : k) make(r, key), m->emplace(key, r);
    state.PauseTiming();
    m.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * state.range(0));
}

void BM_MemFilePointRead(benchmark::State& state) {
  auto f = filled_file(keys(state.range(0)));
  const auto& k = keys(state.range(0));
  std::mt19937 rng(7);
  record out;
  for (auto _ : state) {
    if (!f->read(k[rng() % k.size()], out)) abort();
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
}

void BM_MultimapPointRead(benchmark::State& state) {
  multimap m = filled_map(keys(state.range(0)));
  const auto& k = keys(state.range(0));
  std::mt19937 rng(7);
  record out;
  for (auto _ : state) {
    auto it = m.find(k[rng() % k.size()]);
    if (it == m.end()) abort();
    memcpy(out.data(), it->second.data(), kRecLen);
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
}

void BM_MemFileDelete(benchmark::State& state) {
  const auto& k = keys(state.range(0));
  std::vector<std::string> order(k.rbegin(), k.rend());
  record buf;
  for (auto _ : state) {
    state.PauseTiming();
    auto f = filled_file(k);
    state.ResumeTiming();
    for (const std::string& key : order) f->erase(key, buf);
    state.PauseTiming();
    f.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * state.range(0));
}

void BM_MultimapDelete(benchmark::State& state) {
  const auto& k = keys(state.range(0));
  std::vector<std::string> order(k.rbegin(), k.rend());
  record buf;
  for (auto _ : state) {
    state.PauseTiming();
    auto m = std::make_unique<multimap>(filled_map(k));
    state.ResumeTiming();
    for (const std::string& key : order) {
      auto it = m->find(key);
      memcpy(buf.data(), it->second.data(), kRecLen);
      m->erase(it);
    }
    state.PauseTiming();
    m.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * state.range(0));
}

void BM_MemFileScan(benchmark::State& state) {
  auto f = filled_file(sorted_keys(state.range(0)));
  record out;
  for (auto _ : state) {
    if (f->scan(out) != state.range(0)) abort();
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * state.range(0));
}

void BM_MultimapScan(benchmark::State& state) {
  multimap m = filled_map(sorted_keys(state.range(0)));
  record out;
  for (auto _ : state) {
    long n = 0;
    for (auto& [key, rec] : m) memcpy(out.data(), rec.data(), kRecLen), ++n;
    if (n != state.range(0)) abort();
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * state.range(0));
}

#define KIVO_SIZES ->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)
BENCHMARK(BM_MemFileInsert) KIVO_SIZES;
BENCHMARK(BM_MultimapInsert) KIVO_SIZES;
BENCHMARK(BM_MemFilePointRead) KIVO_SIZES;
BENCHMARK(BM_MultimapPointRead) KIVO_SIZES;
BENCHMARK(BM_MemFileDelete) KIVO_SIZES;
BENCHMARK(BM_MultimapDelete) KIVO_SIZES;
BENCHMARK(BM_MemFileScan) KIVO_SIZES;
BENCHMARK(BM_MultimapScan) KIVO_SIZES;

}  // namespace

BENCHMARK_MAIN();
