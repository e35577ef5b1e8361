// Event points of a file's own process around record operations, through a
// double of the loader and the interpreter: refusals, record changes, the
// event depth and the caller field.
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "compiler/compiler.h"
#include "fm_record_test_util.h"
#include "foundation/bytes.h"
#include "foundation/end_codes.h"

namespace kivo::test {
namespace {

struct seen {
  uint8_t ep, op, mode;
  std::string file, caller, rec;
};
std::vector<seen> g_seen;
std::function<uint32_t(uint8_t ep, uint8_t* area)> g_on;
uint8_t g_areas[4][kRecLen];
int g_loaded, g_stores, g_restores;

uint8_t* area_of(const uint8_t* pcb) {
  uint8_t* a;
  memcpy(&a, pcb + FPCB_REC, sizeof a);
  return a;
}

int pl_double(PCB* pcb, int) {
  auto* b = reinterpret_cast<uint8_t*>(pcb);
  uint8_t* area = g_areas[g_loaded++ % 4];
  memcpy(b + FPCB_REC, &area, sizeof area);
  st_le16(b, FPCB_EP_PRE, 0);
  st_le16(b, FPCB_EP_POST, 0);
  return 1;
}

uint32_t exec_double(PROC_EXEC_BLK* blk) {
  auto* b = reinterpret_cast<uint8_t*>(blk->pcb);
  if (blk->ep_no < EP_READ || blk->ep_no > EP_POST_UPD) return PI_END_NORMAL;
  uint8_t* area = area_of(b);
  g_seen.push_back({blk->ep_no, b[FPCB_OPER], b[FPCB_MODE], std::string(reinterpret_cast<char*>(b + INVOC_PROC_NAM), 1),
                    std::string(reinterpret_cast<char*>(b + INVOC_CALLER_CODE), 4),
                    std::string(reinterpret_cast<char*>(area), 4)});
  return g_on ? g_on(blk->ep_no, area) : PI_END_NORMAL;
}

class FmRecordEvents : public FmRec {
 protected:
  void SetUp() override {
    FmRec::SetUp();
    g_seen.clear();
    g_on = nullptr;
    g_loaded = g_stores = g_restores = 0;
    hooks_.set(compiler_seams.pl_get, pl_double);
    hooks_.set(interp_seams.proc_exec, exec_double);
    hooks_.set(pi_hooks.store_data, [](PCB*, uint8_t*, size_t, void*) { ++g_stores; });
    hooks_.set(pi_hooks.restore_data, [](PCB*, const uint8_t*, void*) { ++g_restores; });
    f = create(fd, fb, LFB_FILE_PROC);
    g = create(gd, gb, LFB_FILE_PROC);
    ASSERT_TRUE(f && g);
    for (const char* r : {"0000aaaaaaaa", "0001aaaaaaaa", "0002aaaaaaaa", "0003aaaaaaaa"}) {
      ASSERT_EQ(put(f, r), 1);
      ASSERT_EQ(put(g, r), 1);
    }
    g_seen.clear();
    g_stores = g_restores = 0;
  }
  static int read_key(ARB* a, const char* key, uint16_t mod) {
    memcpy(a->arb_rec, key, 4);
    a->arb_keyno = 0;
    a->arb_mod = mod;
    return fm_read(a);
  }
  rec_desc fd{"F"}, gd{"G"};
  uint8_t fb[kRecLen], gb[kRecLen], xb[kRecLen];
  ARB *f = nullptr, *g = nullptr;
};

TEST_F(FmRecordEvents, ReadEventThatCancels) {
  bool cancel = true;
  g_on = [&](uint8_t ep, uint8_t* area) {
    return ep == EP_READ && cancel && !memcmp(area, "0002", 4) ? PI_END_CANCEL : PI_END_NORMAL;
  };
  EXPECT_EQ(read_key(f, "0002", ARB_EQUAL | ARB_HOLD), 0);
  EXPECT_EQ(f->arb_stat, FM_NOT_FOUND);
  cancel = false;
  ARB* x = attach(f, nullptr, xb);
  EXPECT_EQ(read_key(x, "0002", ARB_EQUAL | ARB_HOLD | ARB_NO_STEAL), 1) << "the refused record stayed held";
  cancel = true;
  f->arb_mod = ARB_FIRST;
  ASSERT_EQ(fm_start(f), 1);
  std::string ids;
  for (f->arb_mod = 0; fm_rdnxt(f);) ids += id(f) + ",";
  EXPECT_EQ(ids, "0000,0001,0003,");
  EXPECT_EQ(f->arb_stat, FM_EOF);
}

TEST_F(FmRecordEvents, OperationCodesAndChangesBeforeUpdate) {
  g_on = [](uint8_t ep, uint8_t* area) {
    if (ep == EP_PRE_UPD) area[11] = 'Q';
    return PI_END_NORMAL;
  };
  struct row {
    std::function<int()> op;
    std::vector<std::array<uint8_t, 3>> want;  // event point, operation, mode
  } rows[] = {
      {[&] { return read_key(f, "0001", ARB_EQUAL); }, {{EP_READ, 3, 3}}},
      {[&] { return read_key(f, "0001", ARB_EQUAL | ARB_HOLD); }, {{EP_READ, 4, 7}}},
      {[&] { return f->arb_mod = 0, fm_rewrite(f); }, {{EP_PRE_UPD, 4, 7}, {EP_POST_UPD, 4, 7}}},
      {[&] { return put(f, "0009bbbbbbbb"); }, {{EP_PRE_UPD, 1, 1}, {EP_POST_UPD, 1, 1}}},
      {[&] { return read_key(f, "0002", ARB_EQUAL | ARB_HOLD) && fm_del(f); }, {{EP_READ, 4, 7}, {EP_POST_UPD, 2, 2}}},
  };
  for (row& r : rows) {
    g_seen.clear();
    ASSERT_EQ(r.op(), 1);
    ASSERT_EQ(g_seen.size(), r.want.size());
    for (size_t i = 0; i < r.want.size(); ++i)
      EXPECT_EQ((std::array<uint8_t, 3>{g_seen[i].ep, g_seen[i].op, g_seen[i].mode}), r.want[i]);
  }
  EXPECT_EQ(g_stores, 4);    // after each held read and each before-update
  EXPECT_EQ(g_restores, 5);  // before each update event point
  g_on = nullptr;
  for (const char* k : {"0001", "0009"}) {
    ASSERT_EQ(read_key(f, k, ARB_EQUAL), 1);
    EXPECT_EQ(fb[11], 'Q') << k;
  }
}

// In locate mode the caller sees the file's own copy: what the read event
// does to its area must not reach the stored record.
TEST_F(FmRecordEvents, LocateReadEventLeavesTheStoredRecord) {
  g_on = [](uint8_t ep, uint8_t* area) {
    if (ep == EP_READ) area[11] = 'Q';
    return PI_END_NORMAL;
  };
  memcpy(fb, "0001", 4);
  f->arb_keyno = 0;
  const uint8_t* r = fm_read_fast(f, ARB_EQUAL);
  ASSERT_TRUE(r);
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_EQ(r[11], 'a');
  g_on = nullptr;
  ARB* x = attach(f, nullptr, xb);
  ASSERT_EQ(read_key(x, "0001", ARB_EQUAL), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(xb), kRecLen), "0001aaaaaaaa");
}

TEST_F(FmRecordEvents, EventReadingItsOwnFileRunsNoEventOfIt) {
  ARB* x = attach(f, nullptr, xb);
  g_on = [&](uint8_t ep, uint8_t*) {
    if (ep == EP_READ) {
      EXPECT_EQ(read_key(x, "0003", ARB_EQUAL), 1);
    }
    return PI_END_NORMAL;
  };
  ASSERT_EQ(read_key(f, "0001", ARB_EQUAL), 1);
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_EQ(g_seen[0].rec, "0001");
}

TEST_F(FmRecordEvents, CallerFieldIsFileOnlyInsideAnotherFileEvent) {
  g_on = [&](uint8_t ep, uint8_t* area) {
    if (ep == EP_READ && !memcmp(area, "0001", 4) && g_seen.back().file == "F") read_key(g, "0002", ARB_EQUAL);
    return PI_END_NORMAL;
  };
  ASSERT_EQ(read_key(f, "0001", ARB_EQUAL), 1);
  ASSERT_EQ(g_seen.size(), 2u);
  EXPECT_EQ(g_seen[0].file + g_seen[0].caller, "F    ");
  EXPECT_EQ(g_seen[1].file + g_seen[1].caller, "GFILE");
  ASSERT_EQ(read_key(g, "0003", ARB_EQUAL), 1);
  EXPECT_EQ(g_seen.back().caller, "    ");
}

}  // namespace
}  // namespace kivo::test
