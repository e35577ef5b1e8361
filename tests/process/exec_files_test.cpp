// A process's files opened before it runs, the report of one that cannot
// be, the look-ups of areas, constraint values and the status line.
#include "exec_test_util.h"
#include "interp/ii_run.h"

namespace kivo::test {
namespace {

constexpr uint32_t kRecArea = kFirstArea + 1, kFbArea = kFirstArea + 2, kFileNo = 1000001;
std::string str(const uint8_t* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

class ProcessFiles : public ExecFixture {
 protected:
  // A process "F" with one compiled file CUST: record area 18 at its first
  // number, file block 19 at its second; `exists` makes the file.
  void filed(uint8_t fs, uint8_t acc, uint8_t req, bool exists = false, const char* ap = "TST") {
    EM* em = proc("F", -1, {{1, ap, 1, 12, 0}, {1, ap, 2, uint32_t(sizeof(pi_file_blk)), 1}});
    test_file f("CUST", 0, 12);
    INIT_DB_PATH(&f.fdb.path, "DB1", ap, "00", "CUST", PATH_DATA);
    f.fdb.fdb_fs_type = fs, f.fdb.fdb_acc = acc, f.fdb.fdb_opt = kAnyFile;
    uint8_t cfi[CFI_LEN] = {};
    st_le32(cfi, CFI_FILE_NO, kFileNo), st_le32(cfi, CFI_FILE_NO2, kFileNo + 1);
    st_le32(cfi, CFI_REC_AREA, kRecArea), st_le32(cfi, CFI_FB_AREA, kFbArea);
    cfi[CFI_REQUIRED] = req;
    EXPECT_NE(em_cfi_add(em, f.fdb, cfi), 0);
    memcpy(em->em_pcf_ap, ap, 3), em->em_pcf_id = kFileNo, em->em_pcf_key = 0;
    cfi_rec = pi_get_cfi(em, cfi);
    if (exists && FM_CREATE(&f.fdb, com.sys_scope, 10, kAnyFile | LFB_OPEN_NEW, 15, 15)) FM_CLOSE(f.fdb.fdb_arb, 0);
  }
  // The open of a placed PCB of "F" (its range pointer stale); the end code.
  uint32_t open(PCB** out, uint8_t type = PT_SUBROUTINE, uint8_t key = 255) {
    PCB* p = *out = pcb(mods["F"], nullptr, 2);
    p->invoc.b[INVOC_PROC_TYPE] = type, p->invoc.b[INVOC_PCF_KEY_NO] = key;
    place(p);
    memcpy(p->pcb_areas[9], "DB1", 3), memcpy(p->pcb_areas[9] + 124, "DSN07", 5);
    p->pcb_rng = p;
    return MARK(MARK_RECOVERY, [&] { pi_open_fi_run(p); });
  }
  static pi_file_blk* fb(PCB* p) { return reinterpret_cast<pi_file_blk*>(p->pcb_areas[kFbArea]); }
  uint8_t* cfi_rec = nullptr;
};
class StatusLine : public ExecFixture {};

TEST_F(ProcessFiles, OptionalRequiredAndAccessOnNativeAndMemoryFiles) {
  // clang-format off
  struct row { uint8_t fs, acc, req; bool exists, all; uint32_t want; bool handle; const char* db; } rows[] = {
      {FS_DISK, 15, 0, false, false, 1, false, "DB1"}, {FS_DISK, 15, 1, false, false, 4, false, "DB1"},
      {FS_DISK, 15, 1, true, false, 1, true, "DB1"},   {FS_DISK, 0, 0, true, false, 1, false, "DB1"},
      {FS_DISK, 0, 0, true, true, 1, true, "DB1"},     {FS_MEMORY, 15, 1, false, false, 4, false, "   "}};
  // clang-format on
  for (const row& r : rows) {
    filed(r.fs, r.acc, r.req, r.exists);
    access_all_files = r.all;
    PCB* p;
    EXPECT_EQ(open(&p), r.want) << r.fs << r.req;
    EXPECT_EQ(fb(p)->arb ? fb(p)->arb->arb_rec : nullptr, r.handle ? p->pcb_areas[kRecArea] : nullptr);
    EXPECT_EQ(str(cfi_rec + FDB_DB, 3), r.db);
    EXPECT_EQ(reported("cannot open"), r.want == PI_END_CANCEL);
    captured_errors().clear();
  }
  access_all_files = 0;
}

TEST_F(ProcessFiles, ErrorBlockAndTheFamilyRemovedOnce) {
  filed(FS_DISK, 15, 1, false, "0LA");
  const uint32_t blocks = pi_pool->blocks;
  EXPECT_EQ(run(inv("F")), PI_END_CANCEL);
  EXPECT_EQ(log, "");
  EXPECT_EQ(pi_pool->blocks, blocks);
  // no database for 0LA; the status's class, the message's and the status's texts
  EXPECT_EQ(str(rt_last_err, 49), "\x01---CUST       0SU" + s30("F") + "\x06");
  EXPECT_EQ(str(rt_last_err + 49, 19) + str(rt_last_err + 657, 22), "ERROR - cannot openWARNING - no such file");
  captured_errors().clear();
  filed(FS_DISK, 15, 0, false, "0AD");
  PCB* p;
  EXPECT_EQ(open(&p), PI_END_NORMAL);
  EXPECT_EQ(str(cfi_rec + FDB_SRC_AP, 5), "DSN07");
}

TEST_F(ProcessFiles, PcfKeyRangeLookUpsAndConstraints) {
  filed(FS_MEMORY, 15, 0, true);
  PCB* p;
  for (uint8_t k : {255, 7}) {
    EXPECT_EQ(open(&p, PT_OUTPUT, k), PI_END_NORMAL);
    ASSERT_NE(p->pcb_pcf_arb, nullptr);
    EXPECT_EQ(p->pcb_pcf_arb->arb_keyno, k == 255 ? 0 : 7);
    EXPECT_EQ(p->pcb_pcf_blk, fb(p));
    EXPECT_EQ(p->pcb_rng, nullptr);  // a blank range name builds no blocks
  }
  uint32_t no = 0;
  EXPECT_EQ(pi_find_addr(p, "TST", kFileNo, 0, 3, &no), p->pcb_areas[kRecArea] + 3);
  EXPECT_EQ(no, kRecArea);
  EXPECT_EQ(pi_find_addr(p, "TST", kFileNo + 1, 1, 0, &no), p->pcb_areas[kFbArea]);
  EXPECT_EQ(no, kFbArea);
  EXPECT_EQ(pi_find_addr(p, "TST", kFileNo + 1, 0, 0, nullptr), nullptr);
  EXPECT_EQ(pi_find_rec(p, "TST", "CUST    "), p->pcb_areas[kRecArea]);
  // the constraint block: its values one after another, none past the record
  uint8_t segs[12] = {0, 0, 2, 0, 3, 0, 0, 0, 9, 0, 4, 0}, vals[7] = {'A', 'B', 'C', 'W', 'X', 'Y', 'Z'}, rec[12];
  PCF_SCB blk{};
  blk.kind = SCB_CNSTR, blk.val_len = 7, blk.vals = vals, blk.seg_cnt = 2, blk.segs = segs;
  void* own = p->pcb_scb;
  p->pcb_scb = &blk;
  memset(rec, '.', 12), pi_set_cns(p, rec);
  EXPECT_EQ(str(rec, 12), "..ABC.......");
  p->pcb_scb = own;
  // the automatic run: given values from the value buffer
  cnstr_fld f[2] = {};
  f[0].val_off = 3, f[0].len = 3, f[0].given = 1, f[1].len = 4;
  uint8_t* v = p->invoc.b;
  v[INVOC_AUTO_RUN] = 1;
  st_le32(v, 104, 2), st_le32(v, 116, 7), st_le32(v, INVOC_CNSTR_SEGS, ih_put(HK_CNSTR_SEGS, segs));
  st_le32(v, INVOC_CNSTR_FLDS, ih_put(HK_CNSTR_FLDS, f)), st_le32(v, INVOC_CNSTR_VALS, ih_put(HK_CNSTR_VALS, vals));
  memset(rec, '.', 12), pi_set_cns(p, rec);
  EXPECT_EQ(str(rec, 12), "..WXY.......");
  for (size_t at : {INVOC_CNSTR_SEGS, INVOC_CNSTR_FLDS, INVOC_CNSTR_VALS}) ih_drop(ld_le32(v, at));
}

// The context of the nearest invoker that is not of 0LA, by its application.
TEST_F(StatusLine, NearestProcessOutside0laGivesTheContext) {
  proc("Q"), proc("L");
  std::string got;
  eps["L/1"] = [&](PCB* l) { pi_upd_stat(l), got = str(reinterpret_cast<uint8_t*>(com.cur_db), 8); };
  eps["Q/1"] = [&](PCB* q) {
    memcpy(q->pcb_areas[5] + 30, "DB5", 3), memcpy(q->pcb_areas[9] + 124, "DSN07", 5);
    call(inv("L", PT_SUBROUTINE, q, 2, "0LA"));
  };
  const char* rows[][2] = {
      {"0AD", "   DSN07"}, {"0SA", "   0SA00"}, {"0DB", "   0DB00"}, {"0SU", "DB50SU00"}, {"0LA", "        "}};
  for (auto& r : rows) {
    run(inv("Q", PT_SUBROUTINE, nullptr, 2, r[0]));
    EXPECT_EQ(got, r[1]) << r[0];
  }
}

}  // namespace
}  // namespace kivo::test
