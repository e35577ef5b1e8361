// The interpreter on hand-built code: simple instructions (NOP, JMP,
// TFTEST) as items per second, MOVE, CMP with a conditional branch, packed
// COMPUTE, and the benchmark loop of 1,000,000 passes, hand-built and as
// statements through the statement compiler.
//
//   interp_bench                       the benchmarks
//   interp_bench --loop-totals         runs the hand-built loop once and prints its totals
//   interp_bench --stmt-loop-totals    the same from statements: written with the design
//                                      builder, compiled and run once
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <filesystem>
#include <list>
#include <string>

#include "compiler/bld.h"
#include "compiler/compiler.h"
#include "compiler/em_records.h"
#include "compiler/sc.h"
#include "design/design_builder.h"
#include "design/design_source.h"
#include "fm/fm.h"
#include "fm/fm_switch.h"
#include "fm/unix_fm.h"
#include "foundation/com.h"
#include "foundation/end_codes.h"
#include "foundation/foundation.h"
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
  foundation_hooks.maddr = mf_read;
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

// ---- the loop as statements ----

// A statement line: the verb at column 7, then each text at its column.
std::string stmt_line(const char* verb, std::initializer_list<std::pair<int, const char*>> at) {
  std::string l(80, ' ');
  l.replace(6, strlen(verb), verb);
  for (auto [col, t] : at) l.replace(static_cast<size_t>(col - 1), strlen(t), t);
  return l;
}

// The work fields and statements of "0DN" (memory design files at the
// session level, which a run's levels stay above).
bool write_loop() {
  const char* src = "APPLICATION 0DN 01\nWORK RATE P5.4 area=4\nWORK TOTAL P13.4 area=4\nWORK HIGH P9 area=4\n";
  const design_source_result r = design_source_build(src, "bench", com.sys_scope, "0DN");
  if (!r.ok) return fprintf(stderr, "%s\n", r.error.c_str()), false;
  DesignBuilder b("0DN", "01", com.sys_scope);
  stmt_key k;
  k.proc_type = 4, k.proc_name = "LOOP", k.ep = 1;
  auto compute = [](const char* f, const char* op, const char* v) {
    return stmt_line("COMPUTE", {{16, "0DN"}, {20, f}, {47, op}, {54, v}});
  };
  auto if_gt = [](const char* v) { return stmt_line("IF", {{16, "0DN"}, {20, "RATE"}, {47, "GT"}, {54, v}}); };
  const std::string lines[] = {
      stmt_line("SET", {{16, "0DN"}, {20, "RATE"}, {54, "1"}}),
      stmt_line("SET", {{16, "0DN"}, {20, "TOTAL"}, {54, "0"}}),
      stmt_line("SET", {{16, "0DN"}, {20, "HIGH"}, {54, "0"}}),
      stmt_line("CALC", {{16, "N"}, {21, "1000000"}}),
      stmt_line("BEG LOOP", {{16, "AI"}, {21, "1"}, {28, "N"}, {38, "1"}}),
      compute("RATE", "+", "0.0137"),
      if_gt("500"),
      "T" + compute("RATE", "-", "499.9991").substr(1),
      stmt_line("COMPUTE", {{16, "0DN"}, {20, "TOTAL"}, {47, "+"}, {50, "0DN"}, {54, "RATE"}}),
      if_gt("250"),
      "T" + compute("HIGH", "+", "1").substr(1),
      stmt_line("END LOOP", {{16, "AI"}}),
  };
  for (const std::string& l : lines)
    if (!b.stmt(k, l)) return fprintf(stderr, "%s\n%s\n", l.c_str(), b.error().c_str()), false;
  return true;
}

// Area and offset of work field `name` of the compiled loop.
bool place_of(PC_CTX* ctx, const char* name, std::pair<uint16_t, uint16_t>* at) {
  char n[22];
  memset(n, ' ', sizeof n), memcpy(n, name, strlen(name));
  uint8_t out[kPcFldOut];
  if (!pc_fld("0DN", n, {0, PC_OCC_NONE, {}}, out, ctx)) return false;
  *at = {ld_le16(out + PCF_CELEM, CEL_ADDR), ld_le16(out + PCF_CELEM, CEL_OFF)};
  return true;
}

// Compiles event point 1 of process LOOP, runs it once on fresh areas and
// prints its totals. 0 when it ran to its end.
int compile_and_run() {
  ii_init(), sc_init();
  PC_CTX ctx{};
  EM* em = ctx.em = em_create();
  memcpy(ctx.ap, "0DN", 3), memcpy(ctx.ver, "01", 2), memcpy(em->em_ap, "0DN", 3), memcpy(em->em_ver, "01", 2);
  memset(ctx.proc_nam, ' ', 30), memcpy(ctx.proc_nam, "LOOP", 4);
  uint8_t owner[STMT_EP] = {4};
  memcpy(owner + STMT_PROC_NAME, ctx.proc_nam, 30), memcpy(owner + STMT_BLANK1, "  ", 2);
  std::vector<sc_error> errs;
  std::pair<uint16_t, uint16_t> total, high;
  bool ok = pc_prep(&ctx);
  const em_entry entry = ctx.bld.pos;
  ok = ok && sc_cmpl_ep(&ctx, owner, 1, &errs) && place_of(&ctx, "TOTAL", &total) && place_of(&ctx, "HIGH", &high);
  ok = pc_cmpl_finish(&ctx) && ok;
  for (const sc_error& e : errs) fprintf(stderr, "statement %u: %.80s\n", ld_le32(e.key, STMT_SEQ), e.msg);
  if (!ok) return fprintf(stderr, "not compiled: %.80s\n", ctx.err_text), 1;
  std::list<std::vector<uint8_t>> blocks;
  std::vector<uint8_t*> addr(em->em_area_cnt + 1, nullptr);
  for (const AREA_DESC* a = em->em_area_tbl; a < em->em_area_tbl + em->em_area_cnt; ++a)
    addr[a->area_no] = blocks.emplace_back(a->size + 8, '\0').data();
  em->em_area_addr = addr.data();
  PCB pcb{};
  EP_CALL call{};
  pcb.pcb_em = em, call.pcb = &pcb, call.entry.at = entry, call.ep_no = 1;
  const uint32_t rc = MARK(MARK_SUBPROCESS, [&] { ii_exec_em(em, &call); });
  print_digits("total", addr[total.first] + total.second, 9, 4);
  print_digits("high", addr[high.first] + high.second, 5, 0);
  return rc == PI_END_NORMAL ? 0 : 1;
}

// Starts the file manager on a copy of the built system dictionary, writes
// the loop, compiles and runs it.
int stmt_loop_totals() {
  namespace fs = std::filesystem;
  const fs::path data = fs::temp_directory_path() / ("kivo_stmt_loop." + std::to_string(getpid()));
  fs::create_directories(data);
  fs::copy(fs::path(KIVO_DATA_DIR) / "00", data / "00", fs::copy_options::recursive);
  std::string dir = data.string();
  com_fill(0, nullptr);
  mm_init();
  // The upward calls the file manager and the compiler fill, as at a start.
  fm_register_hooks();
  compiler_register_hooks();
  com.data_dir = cstr{static_cast<uint16_t>(dir.size()), dir.data()}, com.path_root = cstr{0, nullptr};
  const bool started = fm_init();
  if (!started) fprintf(stderr, "file manager not started\n");
  const int rc = started && write_loop() ? compile_and_run() : 1;
  fs::remove_all(data);
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], "--stmt-loop-totals") == 0) return stmt_loop_totals();
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
