// The interpreter on hand-built code: simple instructions (NOP, JMP,
// TFTEST) as items per second, MOVE, CMP with a conditional branch, packed
// COMPUTE, and the benchmark loop of 1,000,000 passes.
//
//   interp_bench                  the benchmarks
//   interp_bench --loop-totals    runs the loop once and prints its totals
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "compiler/bld.h"
#include "foundation/com.h"
#include "foundation/end_codes.h"
#include "foundation/maddr.h"
#include "foundation/pool.h"
#include "foundation/scope.h"
#include "interp/ii_run.h"

using namespace kivo;

namespace {

// Module sub-files as plain records in memory.
struct mem_file {
  FDB fdb;
  std::vector<std::vector<uint8_t>> recs;
};
std::vector<std::unique_ptr<mem_file>> files;

ARB* mf_create(FDB* fdb, uint32_t) {
  files.push_back(std::make_unique<mem_file>(mem_file{*fdb, {}}));
  return reinterpret_cast<ARB*>(files.back().get());
}
uint32_t mf_append(ARB* a, const uint8_t* rec, uint16_t len) {
  auto* f = reinterpret_cast<mem_file*>(a);
  f->recs.emplace_back(rec, rec + len);
  return static_cast<uint32_t>(f->recs.size());
}
void mf_close(ARB*) {}
uint8_t* mf_read(void* h, uint32_t n) {
  auto* f = static_cast<mem_file*>(h);
  return n >= 1 && n <= f->recs.size() ? f->recs[n - 1].data() : nullptr;
}

uint8_t area[256];
uint8_t* areas[2] = {nullptr, area};

struct program {
  EM* em;
  BLD_CTX ctx;
  uint32_t k(std::initializer_list<uint8_t> v) { return bld_cnst(&ctx, v.begin(), static_cast<uint16_t>(v.size())); }
  em_entry e(const inst_buf& b) { return bld_emit(&ctx, b); }
};

void setup() {
  static bool done = false;
  if (done) return;
  done = true;
  com_fill(0, nullptr);
  mm_init();
  em_files = {mf_create, mf_append, mf_close};
  set_maddr_reader(mf_read);
  ii_init();
}

program start() {
  setup();
  program p{em_create(), {}};
  bld_start(&p.ctx, p.em);
  p.em->em_area_cnt = 1;
  p.em->em_area_addr = areas;
  return p;
}

void run(EM* em) {
  EP_CALL call{};
  call.entry.at = {1, 0};
  call.ep_no = 1;
  ii_exec_em(em, &call);
}

// `body` emitted `reps` times inside a loop of `passes`.
EM* looped(int passes, int reps, void (*body)(program&)) {
  program p = start();
  uint8_t n[4];
  st_le32(n, 0, static_cast<uint32_t>(passes));
  uint32_t one = p.k({1, 0, 0, 0}), cnt = p.k({n[0], n[1], n[2], n[3]});
  int32_t out = bld_label(&p.ctx);
  em_entry beg = p.e(inst_buf(OP_LOOPBEG)
                         .f(1, 0, 5, 0, 4)
                         .k(one, 5 | kOpndConst, 0, 4)
                         .k(cnt, 5 | kOpndConst, 0, 4)
                         .k(one, 5 | kOpndConst, 0, 4)
                         .to(out));
  for (int i = 0; i < reps; ++i) body(p);
  p.e(inst_buf(OP_LOOPEND).r(beg));
  bld_bind(&p.ctx, out);
  p.e(inst_buf(OP_END));
  bld_finish(&p.ctx);
  return p.em;
}

void simple(program& p) {
  p.e(inst_buf(OP_NOP));
  em_entry next{p.ctx.pos.blk, static_cast<uint16_t>(p.ctx.pos.off + 8)};
  p.e(inst_buf(OP_JMP).r(next));
  em_entry after{p.ctx.pos.blk, static_cast<uint16_t>(p.ctx.pos.off + 12)};
  p.e(inst_buf(OP_TFTEST).i(0).r(after));  // mask 0: never skips
}

void move(program& p) { p.e(inst_buf(OP_MOVE).f(1, 16, 8, 2, 5).f(1, 32, 8, 2, 5)); }

void cmp_branch(program& p) {
  p.e(inst_buf(OP_CMP).f(1, 16, 8, 2, 5).f(1, 32, 8, 2, 5).i(3));
  em_entry next{p.ctx.pos.blk, static_cast<uint16_t>(p.ctx.pos.off + 12)};
  p.e(inst_buf(OP_BR_COND).i(1).r(next));
}

void compute(program& p) { p.e(inst_buf(OP_COMPUTE).f(1, 48, 8, 4, 9).f(1, 32, 8, 2, 5).i('+')); }

// Instructions per pass: the body's plus LOOPEND.
void bench(benchmark::State& state, void (*body)(program&), int body_insts) {
  constexpr int kPasses = 10000, kReps = 16;
  EM* em = looped(kPasses, kReps, body);
  memset(area, 0, sizeof area);
  area[20] = 0x0C, area[36] = 0x0C;
  for (auto _ : state) run(em);
  state.SetItemsProcessed(state.iterations() * int64_t{kPasses} * (kReps * body_insts + 1));
}

void BM_Simple(benchmark::State& s) { bench(s, simple, 3); }
void BM_Move(benchmark::State& s) { bench(s, move, 1); }
void BM_CmpBranch(benchmark::State& s) { bench(s, cmp_branch, 2); }
void BM_ComputePacked(benchmark::State& s) { bench(s, compute, 1); }

BENCHMARK(BM_Simple)->Name("Dispatch/Simple");
BENCHMARK(BM_Move)->Name("Dispatch/Move");
BENCHMARK(BM_CmpBranch)->Name("Dispatch/CmpBranch");
BENCHMARK(BM_ComputePacked)->Name("Dispatch/ComputePacked");

// RATE (9 digits, 4 decimals) at 0, TOTAL (17, 4) at 8, HIGH (9, 0) at 24,
// N at 32, AI at 36.
EM* totals_loop() {
  program p = start();
  auto pk = [&](std::initializer_list<uint8_t> v, uint8_t scale) {
    return inst_buf(0).k(p.k(v), 8 | kOpndConst, scale, static_cast<uint16_t>(v.size())).o[0];
  };
  auto with = [](inst_buf b, bld_opnd o) {
    b.o[b.n++] = o;
    return b;
  };
  const uint16_t rate = 0, total = 8, high = 24;
  p.e(with(inst_buf(OP_MOVEK).f(1, rate, 8, 4, 5), pk({0x1C}, 0)));
  p.e(with(inst_buf(OP_MOVEK).f(1, total, 8, 4, 9), pk({0x0C}, 0)));
  p.e(with(inst_buf(OP_MOVEK).f(1, high, 8, 0, 5), pk({0x0C}, 0)));
  p.e(inst_buf(OP_CPUSH).k(p.k({0x40, 0x42, 0x0F, 0}), 5 | kOpndConst, 0, 4));
  p.e(inst_buf(OP_CPOP).f(1, 32, 5, 0, 4));
  uint32_t one = p.k({1, 0, 0, 0});
  int32_t out = bld_label(&p.ctx);
  em_entry beg = p.e(inst_buf(OP_LOOPBEG)
                         .f(1, 36, 5, 0, 4)
                         .k(one, 5 | kOpndConst, 0, 4)
                         .f(1, 32, 5, 0, 4)
                         .k(one, 5 | kOpndConst, 0, 4)
                         .to(out));
  p.e(with(inst_buf(OP_COMPUTE).f(1, rate, 8, 4, 5), pk({0x00, 0x13, 0x7C}, 4)).i('+'));
  auto when_gt = [&](std::initializer_list<uint8_t> lit, const inst_buf& then) {
    int32_t skip = bld_label(&p.ctx);
    p.e(with(inst_buf(OP_CMPK).f(1, rate, 8, 4, 5), pk(lit, 0)).i(3));
    p.e(inst_buf(OP_SETTF).i(1));
    p.e(inst_buf(OP_TFTEST).i(0x300 | 0x100u << 16).to(skip));
    p.e(then);
    bld_bind(&p.ctx, skip);
  };
  when_gt({0x50, 0x0C}, with(inst_buf(OP_COMPUTE).f(1, rate, 8, 4, 5), pk({0x49, 0x99, 0x99, 0x1C}, 4)).i('-'));
  p.e(inst_buf(OP_COMPUTE).f(1, total, 8, 4, 9).f(1, rate, 8, 4, 5).i('+'));
  when_gt({0x25, 0x0C}, with(inst_buf(OP_COMPUTE).f(1, high, 8, 0, 5), pk({0x1C}, 0)).i('+'));
  p.e(inst_buf(OP_LOOPEND).r(beg));
  bld_bind(&p.ctx, out);
  p.e(inst_buf(OP_END));
  if (!bld_finish(&p.ctx)) return nullptr;
  return p.em;
}

// The packed digits of a field as text, a point before the last `dec`.
void print_digits(const char* name, const uint8_t* p, int len, int dec) {
  char d[32];
  int n = 2 * len - 1;
  for (int i = 0; i < n; ++i) d[i] = static_cast<char>('0' + ((i % 2) ? (p[i / 2] & 0xF) : (p[i / 2] >> 4)));
  printf("%s %.*s%s%.*s\n", name, n - dec, d, dec ? "." : "", dec, d + n - dec);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], "--loop-totals") == 0) {
    EM* em = totals_loop();
    if (!em) return 1;
    uint32_t rc = MARK(MARK_SUBPROCESS, [&] { run(em); });
    print_digits("total", area + 8, 9, 4);
    print_digits("high", area + 24, 5, 0);
    return rc == PI_END_NORMAL ? 0 : 1;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
