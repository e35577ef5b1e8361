// An OUTPUT process ranged on a QUERY process, run through the executive:
// the query runs automatically once, the records come in the order of a
// reference sort of the selected ones, with level breaks exactly at the
// group boundaries.
#include <algorithm>
#include <tuple>

#include "op_test_util.h"
#include "process/pb.h"
#include "process/pb_fqry.h"
#include "process/qp.h"
#include "process/qs.h"

namespace kivo::test {
namespace {

struct read_step {
  uint32_t status, level;
  uint16_t id;
  bool operator==(const read_step&) const = default;
};
std::vector<read_step> g_log;
op_read_hooks g_saved;

class SortedQueryOutput : public OpFixture {
 protected:
  void SetUp() override {
    OpFixture::SetUp();
    levels = 0;
    qp_init();
    g_saved = op_reader, g_log.clear();
    op_reader.rdnxt = [](PCB* p, uint32_t* level) {
      const uint32_t st = g_saved.rdnxt(p, level);
      const uint16_t id = st == OP_RECORD ? ld_le16(p->pcb_pcf_arb->arb_rec, C_ID) : 0;
      g_log.push_back({st, st == OP_RECORD ? 0 : *level, id});
      return st;
    };
  }
  uint32_t run_ranged(const char* query) {
    INVOC v = inv("REPORT", PT_OUTPUT, nullptr, 2, "0DN");
    memcpy(v.b + INVOC_VER, "01", 2);
    memcpy(v.b + INVOC_RNG_AP, "0DN", 3), memcpy(v.b + INVOC_RNG_NAM, s30(query).data(), 30);
    return run(v);
  }
  // The reads a reference sort gives: balance >= 0, region ascending,
  // district descending, equal ones in file order.
  std::vector<read_step> reference() const {
    std::vector<customer> sel;
    for (const customer& c : data)
      if (c.cents >= 0) sel.push_back(c);
    std::stable_sort(sel.begin(), sel.end(), [](const customer& a, const customer& b) {
      return a.region != b.region ? a.region < b.region : a.district > b.district;
    });
    std::vector<read_step> out;
    for (size_t i = 0; i < sel.size(); ++i) {
      const int lv = i == 0                                   ? 0
                     : sel[i].region != sel[i - 1].region     ? 1
                     : sel[i].district != sel[i - 1].district ? 2
                                                              : 3;
      if (i)
        for (int l = 2; l >= lv; --l) out.push_back({OP_LEVEL_END, uint32_t(l), 0});
      for (int l = lv; l <= 2; ++l) out.push_back({OP_LEVEL_START, uint32_t(l), 0});
      out.push_back({OP_RECORD, 0, sel[i].id});
    }
    if (!sel.empty())
      for (int l = 2; l >= 0; --l) out.push_back({OP_LEVEL_END, uint32_t(l), 0});
    out.push_back({OP_EOF, 0, 0});
    return out;
  }
};

// 10,000 customers over the regions and districts of the fixture.
std::vector<customer> many() {
  std::vector<customer> out;
  const char* regions[] = {"EAST", "NORTH", "SOUTH", "WEST"};
  for (int id = 1; id <= 10000; ++id) {
    const int64_t cents = (int64_t(id) * 7919 % 200001) - 100000;
    out.push_back({uint16_t(id), "CUSTOMER " + std::to_string(id), regions[(id * 13) % 4], (id * 7) % 3 ? "A" : "B",
                   cents, 1 + id % 28});
  }
  return out;
}

TEST_F(SortedQueryOutput, QueryRunsOnceAndRecordsComeInReferenceOrderWithLevels) {
  data = many();
  for (const char* mem : {"", "100"}) {
    if (*mem) setenv("KIVO_RUN_MEM", mem, 1);
    g_log.clear();
    EXPECT_EQ(run_ranged("CUSTQ"), uint32_t(PI_END_PROCESS)) << mem;
    EXPECT_EQ(g_log, reference()) << "run memory " << mem;
    EXPECT_EQ(fq_count(), 0u) << "the query ends with the scope of its reader";
    EXPECT_TRUE(qp_pend_of(com.sys_scope).empty());
    std::error_code ec;
    if (*mem) {
      EXPECT_TRUE(std::filesystem::exists(data_ + "/Data")) << "the merge's work files were there";
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(data_ + "/Data", ec), {}), 0)
        << "no work or pointer file is left";
  }
  unsetenv("KIVO_RUN_MEM");
  run_mem = kRunMemDefault;
}

std::vector<std::string> g_texts;

TEST_F(SortedQueryOutput, ProgressShownAtOneToTenAndTwentyOfTwentyFive) {
  data.resize(25);
  for (customer& c : data) c.cents = c.cents < 0 ? -c.cents : c.cents;
  pb_show_progress = true;
  g_texts.clear();
  const auto saved = pb_progress_show;
  pb_progress_show = [](const std::string& t) { g_texts.push_back(t); };
  EXPECT_EQ(run_ranged("CUSTQ"), uint32_t(PI_END_PROCESS));
  pb_show_progress = false;
  pb_progress_show = saved;
  std::vector<std::string> want;
  for (int n : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 20})
    want.push_back("Selecting record " + std::to_string(n) + " of " + std::to_string(n) + " processed");
  for (int n : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 20})
    want.push_back("Processing record " + std::to_string(n) + " of 25 selected");
  want.push_back("");  // the window removed at the end
  EXPECT_EQ(g_texts, want);
}

// The QUERY process's suspend file loses its last record after it is
// written: the build refuses it and the reader gets no record.
std::vector<std::vector<uint8_t>> g_kept;
FDB_PATH g_path;

TEST_F(SortedQueryOutput, TruncatedSuspendFileFailsTheBuildBeforeAnyRead) {
  const pi_type_row saved = pi_type_rows[PT_QUERY];
  pi_type_rows[PT_QUERY].cleanup = [](PCB* p, uint8_t*) -> uint32_t {
    suspend(p);
    PCB* owner = p->pcb_saa_owner[7] ? p->pcb_saa_owner[7] : p;
    const std::vector<FDB_PATH> pend = qp_pend_of(owner->pcb_pool->level);
    if (pend.size() != 1) return 0;
    g_path = pend[0];
    FDB fdb;
    INIT_FDB(&fdb, FS_MEMORY, kQpSuspRecMax, 1, nullptr, 0);
    fdb.path = g_path;
    if (!FM_OPEN(&fdb, g_path.fdb_tmp_id, 0, 15, 15)) return 0;
    ARB* a = fdb.fdb_arb;
    std::vector<uint8_t> buf(kQpSuspRecMax);
    std::vector<std::vector<uint8_t>> recs;
    a->arb_mod = ARB_FIRST, a->arb_key = nullptr;
    if (fm_start(a))
      for (a->arb_rec = buf.data(), a->arb_len = kQpSuspRecMax, a->arb_mod = 0; fm_rdnxt(a); a->arb_mod = 0)
        recs.emplace_back(buf.begin(), buf.begin() + a->arb_var_len);
    FM_CLOSE(a, ARB_SCRATCH | ARB_CLOSE_NOW);
    recs.pop_back();
    fdb.path = g_path;
    if (!FM_CREATE(&fdb, g_path.fdb_tmp_id, 0, LFB_SCOPED | LFB_OPEN_NEW, 15, 0)) return 0;
    for (auto& r : recs) {
      fdb.fdb_arb->arb_rec = r.data(), fdb.fdb_arb->arb_len = fdb.fdb_arb->arb_var_len = uint16_t(r.size());
      fdb.fdb_arb->arb_mod = 0;
      fm_write(fdb.fdb_arb);
    }
    FM_CLOSE(fdb.fdb_arb, 0);
    g_kept = recs;
    return 0;
  };
  g_kept.clear();
  EXPECT_EQ(run_ranged("CUSTQ"), uint32_t(PI_END_CANCEL)) << "the PCF cannot be opened";
  pi_type_rows[PT_QUERY] = saved;
  EXPECT_FALSE(g_kept.empty());
  EXPECT_TRUE(g_log.empty()) << "no record and no level was read";
  EXPECT_EQ(fq_count(), 0u);
  bool refused = false;
  for (const std::string& e : captured_errors()) refused |= e.find("does not fit its module") != std::string::npos;
  EXPECT_TRUE(refused) << "refused for its records, not for want of a file";
  captured_errors().clear();
}

}  // namespace
}  // namespace kivo::test
