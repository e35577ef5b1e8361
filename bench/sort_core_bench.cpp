// The sorted query's sort core on lines of 100 bytes, for bench/sort_vs_gnu.sh
// and as a benchmark of its own.
//
//   sort_core_bench --sort <lines> <dir> <out>
//     loads the lines into a keyless data file under <dir> (not timed), sorts
//     them (entries of 100 bytes: the first 92 characters as an alpha key, the
//     selection number, the record's id as identifier; six work files and
//     the pointer file under <dir>), writes the lines to <out> in the order
//     the sorted query's reader delivers their records (pb_rdnxt: each
//     pointer, then its record read by id) and prints "kivo_s=T out_s=W passes=P io_bytes=B rss_kb=K
//     anon_kb=A": T the sort alone, W the sort and the write of the output
//     together, B the bytes read and written on the work files, K the peak
//     resident size, A the peak of anonymous memory while sorting and
//     writing (sampled every millisecond) over what the process held before
//     the sort began (base_kb, printed too): the sort's own.
//   sort_core_bench [benchmark flags]
//     BM_SortCore: the same sort of N random lines in a temporary directory.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "compiler/pc.h"
#include "fm/fm.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_switch.h"
#include "fm/unix_fm.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/pool.h"
#include "foundation/scope.h"
#include "process/pb.h"
#include "process/process.h"
#include "process/qs.h"

namespace {

using namespace kivo;

constexpr uint16_t kLine = 100, kKey = 92, kRec = kLine + 4;

std::string g_dir;

void start_engine(const std::string& dir) {
  g_dir = dir;
  com_fill(0, nullptr);
  mm_init();
  ut_clear_hooks.files = fm_clr_scope;
  process_register_hooks();
  if (!fm_init()) abort();
  com.data_dir = cstr{uint16_t(g_dir.size()), g_dir.data()}, com.path_root = cstr{0, nullptr};
  if (!fm_init()) abort();
}

struct input {
  ARB* arb = nullptr;
  uint8_t rec[kRec] = {};
};

// The lines of `path` (or n random ones) as records: the line, then its ordinal.
void load(input& in, const char* path, uint32_t n) {
  FDB fdb;
  INIT_FDB(&fdb, FS_DISK, kRec, 0, nullptr, 0);
  INIT_DB_PATH(&fdb.path, "DB1", "BEN", "00", "LINES", PATH_DATA);
  FM_SCRATCH(&fdb, LFB_ANY_DIR | LFB_NO_STRUCT_CHK);
  if (!FM_CREATE(&fdb, com.sys_scope, 0, LFB_ANY_DIR | LFB_NO_STRUCT_CHK | LFB_OPEN_NEW, 15, 15)) abort();
  in.arb = fdb.fdb_arb;
  FILE* f = path ? fopen(path, "rb") : nullptr;
  std::mt19937 rng(11);
  for (uint32_t i = 0; path ? fread(in.rec, 1, kLine, f) == kLine : i < n; ++i) {
    if (!path)
      for (int k = 0; k < kLine; ++k) in.rec[k] = uint8_t(k < 10 ? 33 + rng() % 94 : '.');
    st_le32(in.rec, kLine, i);
    in.arb->arb_rec = in.rec, in.arb->arb_len = in.arb->arb_var_len = kRec, in.arb->arb_mod = 0;
    if (!fm_write(in.arb)) abort();
  }
  if (f) fclose(f);
}

void prepare(QRY_SORT& q, input& in) {
  q.pcf_arb = in.arb, q.rec_area = in.rec, q.rec_len = kRec;
  q.id_len = in.arb->arb_rec_id_len ? in.arb->arb_rec_id_len : 4;
  q.wrk_no = 0x100, q.scope = com.sys_scope, memcpy(q.ap, "BEN", 3);
  uint8_t se[kSortElemLen] = {}, *c = se + SE_FLD + PCF_CELEM;
  se[SE_LEVEL] = 1, se[SE_ORDER] = '+', c[CEL_TYPE] = 1;
  st_le16(c, CEL_SIZE, kKey);
  if (!qs_add_elem(&q, se)) abort();
  qs_close_key(&q, 1);
  in.arb->arb_mod = ARB_FIRST, in.arb->arb_key = nullptr;
  if (!fm_start(in.arb)) abort();
}

// The lines as the sorted query's reader delivers their records.
void write_out(QRY_SORT& q, input& in, const char* out) {
  FILE* o = fopen(out, "wb");
  if (!o) abort();
  PB_ATTACH b;
  FAD fad{nullptr, nullptr};
  b.ptr = FM_ATTACH(q.ptr_arb, &fad, com.sys_scope);
  b.data = in.arb, b.id_len = uint16_t(q.id_len);
  pb_restart(&b);
  uint8_t rec[kRec];
  for (;;) {
    uint16_t len = kRec;
    uint32_t st = 0, level = 0;
    if (pb_rdnxt(&b, rec, &len, &st, &level)) {
      fwrite(rec, 1, kLine, o);
      continue;
    }
    if (st != FM_EOF) abort();
    break;
  }
  fm_detach(b.ptr);
  fclose(o);
}

// The process's anonymous resident memory in KB (RssAnon), or 0.
long anon_kb() {
  FILE* f = fopen("/proc/self/status", "r");
  if (!f) return 0;
  char line[256];
  long kb = 0;
  while (fgets(line, sizeof line, f))
    if (sscanf(line, "RssAnon: %ld", &kb) == 1) break;
  fclose(f);
  return kb;
}

// Samples anonymous memory every millisecond from its start to its stop.
struct anon_peak {
  std::atomic<bool> stop{false};
  std::atomic<long> peak{0};
  std::thread t{[this] {
    while (!stop.load()) {
      const long kb = anon_kb();
      if (kb > peak.load()) peak.store(kb);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }};
  long finish() {
    stop.store(true);
    t.join();
    return std::max(peak.load(), anon_kb());
  }
};

int sort_lines(const char* lines, const char* dir, const char* out) {
  start_engine(dir);
  input in;
  load(in, lines, 0);
  QRY_SORT q;
  prepare(q, in);
  anon_peak sampler;  // its own thread and buffers are in the base
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const long base = anon_kb();
  const auto t0 = std::chrono::steady_clock::now();
  if (qs_sort(&q) != 1) return fprintf(stderr, "sort failed: %u\n", q.status), 1;
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  write_out(q, in, out);
  const double w = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const long anon = sampler.finish();
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  printf("kivo_s=%.3f out_s=%.3f passes=%u io_bytes=%llu rss_kb=%ld anon_kb=%ld base_kb=%ld\n", s, w, q.passes,
         static_cast<unsigned long long>(q.wrk_io), ru.ru_maxrss, anon - base, base);
  return 0;
}

void BM_SortCore(benchmark::State& state) {
  static std::string dir = [] {
    char t[] = "/tmp/kivo_sort_XXXXXX";
    std::string d = mkdtemp(t);
    start_engine(d);
    return d;
  }();
  input in;
  load(in, nullptr, uint32_t(state.range(0)));
  for (auto _ : state) {
    QRY_SORT q;
    prepare(q, in);
    if (qs_sort(&q) != 1) abort();
    FM_CLOSE(q.ptr_arb, ARB_SCRATCH);
  }
  FM_CLOSE(in.arb, ARB_SCRATCH);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SortCore)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && !strcmp(argv[1], "--sort")) return sort_lines(argv[2], argv[3], argv[4]);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
