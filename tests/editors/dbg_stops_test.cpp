// The debugger's stops on hand-built modules: where a TRAP, a step, a
// breakpoint and the run-to modes stop, the step-over key, cancel, a failed
// start; the debug file's tables and refusals; watches.
#include <algorithm>

#include "../compiler/stmt_line_util.h"
#include "../fixtures/hook_override.h"
#include "../interp/interp_test.h"
#include "compiler/em_records.h"
#include "compiler/pl.h"
#include "editors/dbg.h"
#include "editors/editors.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/end_codes.h"
#include "foundation/paths.h"
#include "screen/tm_keys.h"

namespace kivo::test {
namespace {

// One stop as the screen saw it: the statement number and the control word.
struct seen_stop {
  uint32_t stmt;
  uint32_t word;
};
std::vector<seen_stop> g_stops;

std::vector<uint32_t> g_keys;  // answered in order; OPTION 0 when used up

uint32_t scripted(dbg_blk* b, II_RUN* run) {
  const dbg_trap* t = find_prev_trap(b, {run->blk_no, static_cast<uint16_t>(run->ip - run->blk)});
  g_stops.push_back({t ? t->stmt : 0, com_dbg_ctl_bits});
  if (g_stops.size() > 50) return LK_CANCEL;  // a fault: the run would not end
  const size_t n = g_stops.size() - 1;
  return n < g_keys.size() ? g_keys[n] : 0;
}

class DbgFixture : public InterpBase {
 protected:
  void SetUp() override {
    InterpBase::SetUp();
    hooks_.set(ii_dbg_hooks, ii_dbg_hook_table{inst_trap, inst_step_break, dbg_init, dbg_chk_watches});
    hooks_.set(editors_seams.dbg_stmt_guts, scripted);
    g_stops.clear(), g_keys.clear();
    com.no_db_traps = 0;
    m->em_stamp1 = 0x11223344, m->em_stamp2 = 0x55667788;
  }
  void TearDown() override {
    dbg_cleanup(&pcb);
    InterpBase::TearDown();
  }
  // A statement: its first instruction, recorded as a trap entry of `ep`.
  em_entry stmt(uint16_t ep, uint32_t seq, const inst_buf& first) {
    const em_entry at = e(first);
    traps.push_back({ep, seq, at});
    return at;
  }
  // The TO and TP sub-files from the statements, one slot per event point.
  void tables() {
    std::vector<uint16_t> eps;
    for (const auto& t : traps)
      if (std::find(eps.begin(), eps.end(), t.ep) == eps.end()) eps.push_back(t.ep);
    uint32_t index = 1;
    for (size_t s = 0; s < eps.size(); ++s) {
      uint32_t count = 0;
      for (const auto& t : traps) count += t.ep == eps[s];
      uint8_t to[TOC_LEN] = {};
      to[TOC_EP] = static_cast<uint8_t>(eps[s]), to[TOC_SLOT] = static_cast<uint8_t>(s);
      st_le32(to, TOC_FIRST, index), st_le32(to, TOC_LAST, index + count - 1);
      index += count;
      em_append(m, EM_TO, to, TOC_LEN), ++m->em_toc_cnt;
      for (const auto& t : traps) {
        if (t.ep != eps[s]) continue;
        uint8_t tp[TRAP_LEN] = {};
        st_le16(tp, TRAP_CODE, t.at.blk), st_le16(tp, TRAP_CODE + 2, t.at.off);
        st_le32(tp, TRAP_SEQ, t.seq), st_le16(tp, TRAP_EP, t.ep), tp[TRAP_SLOT] = static_cast<uint8_t>(s);
        em_append(m, EM_TP, tp, TRAP_LEN), ++m->em_trap_cnt;
      }
    }
  }
  uint32_t run_ep(em_entry at, uint16_t ep) {
    call = {}, call.pcb = &pcb, call.entry.at = at, call.ep_no = ep;
    return MARK(MARK_SUBPROCESS, [&] { ii_exec_em(m, &call); });
  }
  std::vector<uint32_t> stmts() const {
    std::vector<uint32_t> out;
    for (const auto& s : g_stops) out.push_back(s.stmt);
    return out;
  }
  struct trap_at {
    uint16_t ep;
    uint32_t seq;
    em_entry at;
  };
  std::vector<trap_at> traps;
};

// Event point 1: 100 NOP, 200 TRAP, 300 NOP, 400 NOP, then the end of code.
class DebugStops : public DbgFixture {
 protected:
  void SetUp() override {
    DbgFixture::SetUp();
    stmt(1, 100, inst_buf(OP_NOP));
    trap = stmt(1, 200, inst_buf(OP_TRAP));
    stmt(1, 300, inst_buf(OP_NOP));
    stmt(1, 400, inst_buf(OP_NOP));
    e(inst_buf(OP_END));
  }
  em_entry trap{};
};

TEST_F(DebugStops, TrapsStepsAndRunToEnd) {
  finish();
  tables();
  struct row {
    bool traps_on, toggled, step_pending;
    std::vector<uint32_t> keys, want;
  } rows[] = {
      {false, false, false, {}, {}},                     // traps off: passes
      {true, false, false, {0}, {200}},                  // OPTION 0 continues
      {true, false, false, {1, 1, 0}, {200, 300, 400}},  // OPTION 1 steps
      {true, false, false, {3}, {200, 400}},             // OPTION 3: last statement
      {true, true, false, {}, {}},                       // toggled: no stop by itself
      {true, true, true, {1, 0}, {100, 200}},            // but a pending step stops on it
      {false, false, true, {}, {}},                      // traps off: the start refuses
      {true, false, false, {LK_ENTER, 0}, {200, 300}},   // ENTER steps over a plain statement
  };
  for (const row& r : rows) {
    dbg_cleanup(&pcb);
    dbg_ctl_reset();
    g_stops.clear(), g_keys = r.keys;
    com.no_db_traps = r.traps_on ? 0 : 1;
    uint8_t* t = INST_RLOC(trap, m->em_inst_arb);
    t[2] = static_cast<uint8_t>(r.toggled ? (t[2] | 0x2) : (t[2] & ~0x2));
    if (r.step_pending) dbg_ctl(DBG_STEP);
    EXPECT_EQ(run(), PI_END_NORMAL);
    EXPECT_EQ(stmts(), r.want) << r.traps_on << r.toggled << r.step_pending << " keys " << r.keys.size();
    for (const seen_stop& s : g_stops) EXPECT_EQ(s.word & (kDbgActive | kDbgStep), uint32_t{kDbgActive});
    EXPECT_EQ(com_dbg_ctl_bits & (kDbgStep | kDbgBreakRequest), 0u);
  }
}

// CANCEL ends with 4 and leaves 278 in "DEBUG CANCEL" (area 7, 36-37).
TEST_F(DebugStops, CancelEndsWithFour) {
  finish();
  tables();
  AREA_DESC tbl[7]{};
  for (uint32_t i = 0; i < 7; ++i) tbl[i].area_no = i + 1, tbl[i].size = i == 6 ? 40 : kArea;
  std::vector<uint8_t> a7(40, 0xEE);
  uint8_t* areas[8] = {nullptr, a1.data(), a2.data(), a2.data(), a2.data(), a2.data(), a2.data(), a7.data()};
  m->em_area_tbl = tbl, m->em_area_cnt = 7, m->em_area_addr = areas, pcb.pcb_areas = areas;
  g_keys = {LK_CANCEL};
  EXPECT_EQ(run(), uint32_t{PI_END_CANCEL});
  EXPECT_EQ(stmts(), (std::vector<uint32_t>{200}));
  EXPECT_EQ(ld_le16(a7.data(), 36), 278);
  EXPECT_EQ(a7[35], 0xEE);
  EXPECT_EQ(a7[38], 0xEE);
  m->em_area_tbl = nullptr, m->em_area_cnt = 2, m->em_area_addr = addr, pcb.pcb_areas = nullptr;
}

// Mend: a start that fails with an interrupt pending clears the request,
// so the next statement does not try again and a lock wait waits.
TEST_F(DebugStops, FailedStartClearsTheRequest) {
  finish();  // no TO or TP records and no debug file: the start fails
  m->em_dbg_flag = 1;
  for (uint8_t op : {DBG_BREAK, DBG_STEP}) {
    dbg_ctl_reset();
    dbg_ctl(op);
    EXPECT_EQ(run(), PI_END_NORMAL);
    EXPECT_TRUE(g_stops.empty());
    EXPECT_EQ(com_dbg_ctl_bits & (kDbgStep | kDbgBreakRequest | kDbgActive), 0u);
    EXPECT_FALSE(dbg_break_requested());
    EXPECT_EQ(pcb.pcb_dbg, nullptr);
  }
}

TEST_F(DebugStops, EventPointAbove80DoesNotStart) {
  finish();
  tables();
  m->em_cur_ep = 81;
  EXPECT_EQ(dbg_init(&pcb, 1), 0);
  m->em_cur_ep = 1;
  com.no_db_traps = 1;
  EXPECT_EQ(dbg_init(&pcb, 0), 0);
  EXPECT_EQ(pcb.pcb_dbg, nullptr);
  EXPECT_EQ(dbg_init(&pcb, 1), 1);  // forced: a run-time error's stop
  EXPECT_EQ(dbg_stmt_rows(24), 15);
}

uint32_t g_returns = 0;
void x_test_return(II_RUN* run, uint8_t* p) { ++g_returns, ii_next(run, p); }

// OPTION 2 runs to the next RETURN of its event point; a RETURN of the next
// event point does not stop (every event point clears the run-to bits).
TEST_F(DebugStops, RunToReturnStaysInItsEventPoint) {
  e(inst_buf(OP_NOP));
  const em_entry ep2 = stmt(2, 100, inst_buf(OP_NOP));
  stmt(2, 200, inst_buf(OP_RETURN));
  e(inst_buf(OP_END));
  const em_entry ep3 = stmt(3, 100, inst_buf(OP_TRAP));
  stmt(3, 200, inst_buf(OP_NOP));
  stmt(3, 300, inst_buf(OP_RETURN));
  stmt(3, 400, inst_buf(OP_NOP));
  e(inst_buf(OP_END));
  finish();
  tables();
  const ii_fn saved[2] = {ii_inst_fns[OP_RETURN], ii_inst_fns[OP_RETURN + 1]};
  ii_inst_fns[OP_RETURN] = ii_inst_fns[OP_RETURN + 1] = x_test_return;
  g_returns = 0;  // a repeated run counts its own
  g_keys = {2};
  EXPECT_EQ(run_ep({1, 0}, 1), PI_END_NORMAL);
  EXPECT_EQ(run_ep(ep2, 2), PI_END_NORMAL);
  EXPECT_EQ(stmts(), (std::vector<uint32_t>{200}));
  g_stops.clear(), g_keys = {2, 0};
  EXPECT_EQ(run_ep(ep3, 3), PI_END_NORMAL);
  EXPECT_EQ(stmts(), (std::vector<uint32_t>{100, 300}));
  EXPECT_EQ(g_returns, 2u);
  ii_inst_fns[OP_RETURN] = saved[0], ii_inst_fns[OP_RETURN + 1] = saved[1];
}

// ENTER on a GOSUB plants the one-shot stop on its return point, on a COPY
// on the instruction it names; the control word is left alone.
TEST_F(DebugStops, EnterStepsOverGosubAndCopy) {
  const int32_t ret = bld_label(&ctx), copied = bld_label(&ctx);
  const em_entry gosub = e(inst_buf(OP_GOSUB).r({1, 0}).to(ret));
  const em_entry copy = e(inst_buf(OP_COPY).to(copied).r({1, 0}));
  bld_bind(&ctx, ret);
  const em_entry back = e(inst_buf(OP_NOP));
  bld_bind(&ctx, copied);
  const em_entry named = e(inst_buf(OP_NOP));
  finish();
  II_RUN r{};
  EP_CALL c{};
  c.pcb = &pcb, r.call = &c, r.em = m, r.blk_no = 1, r.blk = MADDR(m->em_inst_arb, 1);
  for (auto [at, want] : {std::pair{gosub, back}, std::pair{copy, named}}) {
    dbg_ctl_reset();
    r.ip = r.blk + at.off, r.state = II_RUNNING;
    dbg_continue(&r, LK_ENTER);
    EXPECT_EQ(INST_RLOC(want, m->em_inst_arb)[2] & 0x8, 0x8);
    EXPECT_EQ(com_dbg_ctl_bits, 0u);
  }
}

// A statement begun in one block and stopped in the next is found by
// position; a position before the first statement finds none.
TEST_F(DebugStops, StopInsideAStatementFindsIt) {
  std::vector<em_entry> nops;
  for (int i = 0; i < 520; ++i) nops.push_back(e(inst_buf(OP_NOP)));
  finish();
  ASSERT_GE(m->em_inst_cnt, 2u);
  const em_entry late = nops[498], second = nops[515];
  ASSERT_EQ(late.blk, 1);
  ASSERT_EQ(second.blk, 2);
  traps = {{1, 100, nops[1]}, {1, 200, late}, {1, 0, {0, 0}}, {1, 300, second}};
  tables();
  m->em_cur_ep = 1;
  ASSERT_EQ(dbg_init(&pcb, 0), 1);
  dbg_blk* b = dbg_block(&pcb);
  struct row {
    em_entry at;
    uint32_t want;  // 0 none
    bool exact;
  } rows[] = {
      {nops[0], 0, false},     {nops[1], 100, true}, {nops[2], 100, false},   {late, 200, true},
      {nops[505], 200, false}, {second, 300, true},  {nops[519], 300, false},
  };
  for (const row& r : rows) {
    const dbg_trap* t = find_prev_trap(b, r.at);
    EXPECT_EQ(t ? t->stmt : 0, r.want) << r.at.blk << "/" << r.at.off;
    EXPECT_EQ(find_trap(b, r.at) != nullptr, r.exact) << r.at.blk << "/" << r.at.off;
  }
  uint32_t idx = 99;
  ASSERT_NE(find_trap(b, second, &idx), nullptr);
  EXPECT_EQ(idx, 3u);
  EXPECT_EQ(INST_RLOC(second, m->em_inst_arb)[2] & 0x5, 0x5);  // a statement, and the last one
  EXPECT_EQ(INST_RLOC(late, m->em_inst_arb)[2] & 0x5, 0x1);
}

// ---- the debug file ----

class DebugFile : public DbgFixture {};

TEST_F(DebugFile, BuiltInMemoryAndRefusals) {
  stmt(1, 100, inst_buf(OP_NOP));
  stmt(1, 200, inst_buf(OP_NOP));
  stmt(2, 100, inst_buf(OP_NOP));
  e(inst_buf(OP_END));
  finish();
  tables();
  std::vector<pl_dbg_rec> good;
  ASSERT_TRUE(dbg_file_records(m, &good));
  ASSERT_EQ(good.size(), 6u);
  std::string hex_all;
  for (const auto& r : good) hex_all += hex_lower(r.data(), r.size()) + "\n";
  EXPECT_EQ(hex_all,
            "4433221188776655"
            "0200000003000000\n"
            "010000000100000002000000\n"
            "020100000300000003000000\n"
            "010000006400000001000000\n"
            "01000400c800000001000000\n"
            "010008006400000002000100\n");
  // clang-format off
  struct row { size_t rec, off; uint8_t value; dbg_load_err want; } rows[] = {
      {0, 0, 0x45, DBG_LOAD_STAMP}, {0, 7, 0x56, DBG_LOAD_STAMP},
      {0, 8, 0, DBG_LOAD_EMPTY},    {0, 12, 0, DBG_LOAD_EMPTY},
      {0, 12, 9, DBG_LOAD_SHORT},   {1, TOC_SLOT, 2, DBG_LOAD_SLOT},
      {1, TOC_FIRST, 0, DBG_LOAD_INDEX}, {1, TOC_LAST, 4, DBG_LOAD_INDEX},
      {2, TOC_FIRST, 3 + 1, DBG_LOAD_INDEX}, {2, TOC_LAST, 2, DBG_LOAD_INDEX},
      {5, TRAP_SLOT, 2, DBG_LOAD_SLOT}, {4, TRAP_CODE, 9, DBG_LOAD_CODE},
      {1, TOC_SLOT, 1, DBG_LOAD_OK},
  };
  // clang-format on
  for (const row& r : rows) {
    std::vector<pl_dbg_rec> recs = good;
    recs[r.rec][r.off] = r.value;
    dbg_blk b;
    EXPECT_EQ(dbg_load_records(m, recs, &b), r.want) << r.rec << "/" << r.off;
  }
  std::vector<pl_dbg_rec> cut(good.begin(), good.end() - 1);
  dbg_blk b;
  EXPECT_EQ(dbg_load_records(m, cut, &b), DBG_LOAD_SHORT);
  EXPECT_EQ(dbg_load_records(m, {}, &b), DBG_LOAD_SHORT);
  // With the flag set the disk file is read; there is none here.
  m->em_dbg_flag = 1;
  EXPECT_FALSE(dbg_file_records(m, &cut));
}

// ---- watches ----

class DebugWatches : public DbgFixture {};

TEST_F(DebugWatches, FiresOnceWithTheNewestBytes) {
  struct fired {
    uint32_t word;
    std::string name;
  };
  static std::vector<fired> fires;
  fires.clear();
  hooks_.set(editors_seams.dbg_watch_trigger, [](PCB*, const dbg_watch& w) {
    fires.push_back({com_dbg_ctl_bits, std::string(w.name, 22)});
  });
  PCB other{};
  EXPECT_EQ(dbg_chk_watches(&pcb), 0);
  dbg_add_watch_at(&pcb, "ABC", "TOTAL", 0, a1.data(), 4);
  dbg_add_watch_at(&other, "0LA", "X", 3, a1.data() + 8, 2);
  EXPECT_EQ(com_dbg_ctl_bits & kDbgWatches, uint32_t{kDbgWatches});
  EXPECT_EQ(dbg_chk_watches(&pcb), 0);
  a1[1] = 7, a1[2] = 9;  // changed twice before the check
  EXPECT_EQ(dbg_chk_watches(&pcb), 1);
  EXPECT_EQ(dbg_chk_watches(&pcb), 0);
  ASSERT_EQ(fires.size(), 1u);
  EXPECT_EQ(fires[0].word & kDbgWatches, 0u);  // the trigger runs with the bit clear
  EXPECT_EQ(fires[0].name, "TOTAL                 ");
  EXPECT_EQ(com_dbg_ctl_bits & kDbgWatches, uint32_t{kDbgWatches});
  std::string got;
  for (const auto& r : dbg_watch_records(&pcb)) got += hex_lower(r.data(), r.size()) + "\n";
  EXPECT_EQ(got,
            "414243544f54414c2020202020202020202020202020202020000100\n"
            "304c4158202020202020202020202020202020202020202020000300\n");
  cleanup_watches(&pcb);
  EXPECT_EQ(dbg_watch_count(), 1u);
  EXPECT_EQ(com_dbg_ctl_bits & kDbgWatches, uint32_t{kDbgWatches});
  cleanup_watches(&other);
  EXPECT_EQ(dbg_watch_count(), 0u);
  EXPECT_EQ(com_dbg_ctl_bits & kDbgWatches, 0u);
}

// The watch list into an open file: one 28-byte record per watch, in list
// order, read back as written; a file that refuses the write says so.
TEST_F(DebugWatches, PopulateWritesTheList) {
  FDB f;
  INIT_FDB(&f, FS_MEMORY, kWatchRecLen, 0, nullptr, 0);
  INIT_UNIQUE_PATH(&f.path, "DB", "W", PATH_DATA);
  ASSERT_TRUE(FM_CREATE(&f, com.sys_scope, 0, LFB_OPEN_NEW | LFB_NO_STRUCT_CHK, 0x0f, 0x0f));
  dbg_add_watch_at(&pcb, "ABC", "TOTAL", 0, a1.data(), 4);
  dbg_add_watch_at(&pcb, "0LA", "X", 3, a1.data() + 8, 2);
  ASSERT_EQ(dbg_populate_watch(&pcb, f.fdb_arb), 1);
  ARB* a = f.fdb_arb;
  uint8_t buf[kWatchRecLen];
  a->arb_keyno = 0, a->arb_key = nullptr, a->arb_mod = ARB_FIRST;
  ASSERT_TRUE(fm_start(a));
  std::string got;
  for (a->arb_rec = buf, a->arb_len = kWatchRecLen, a->arb_mod = 0; fm_rdnxt(a);)
    got += hex_lower(buf, kWatchRecLen) + "\n";
  EXPECT_EQ(got,
            "414243544f54414c2020202020202020202020202020202020000100\n"
            "304c4158202020202020202020202020202020202020202020000300\n");
  FM_CLOSE(a, 0);
  cleanup_watches(&pcb);
}

// A watch fires before the instruction after the change: the stop shows it.
TEST_F(DebugWatches, ChangeStopsTheRun) {
  const uint32_t seven = k(bytes{7});
  stmt(1, 100, inst_buf(OP_MOVEK).f(1, 0, 1, 0, 1).k(seven, 1 | kOpndConst, 0, 1));
  stmt(1, 200, inst_buf(OP_NOP));
  e(inst_buf(OP_END));
  finish();
  tables();
  dbg_add_watch_at(&pcb, "ABC", "F", 1, a1.data(), 1);
  EXPECT_EQ(run(), PI_END_NORMAL);
  EXPECT_EQ(stmts(), (std::vector<uint32_t>{200}));
  EXPECT_EQ(a1[0], 7);
}

}  // namespace
}  // namespace kivo::test
