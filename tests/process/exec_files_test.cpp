// A process's files opened before it runs, the report of one that cannot
// be, the look-ups of compiled files and areas, constraint values and the
// status line, on native and memory files.
#include "exec_test_util.h"
#include "interp/ii_run.h"
#include "screen/wm.h"

namespace kivo::test {
namespace {

constexpr uint32_t kRecArea = kFirstArea + 1, kFbArea = kFirstArea + 2, kFileNo = 1000001;

class ProcessFiles : public ExecFixture {
 protected:
  // A process with one compiled file: record area 18 (private: a record
  // area and a file block of one number would share one SAA entry), file
  // block 19.
  EM* filed(const std::string& proc_name, uint8_t fs, uint8_t acc, uint8_t req, const char* ap = "TST",
            uint32_t opt = 0) {
    EM* em = proc(proc_name, -1, {{1, ap, 1, 12, 2}, {1, ap, 1, uint32_t(sizeof(pi_file_blk)), 1}});
    file = std::make_unique<test_file>("CUST", 0, 12);
    INIT_DB_PATH(&file->fdb.path, "DB1", ap, "00", "CUST", PATH_DATA);
    file->fdb.fdb_fs_type = fs, file->fdb.fdb_acc = acc, file->fdb.fdb_opt = kAnyFile | opt;
    uint8_t cfi[CFI_LEN] = {};
    st_le32(cfi, CFI_FILE_NO, kFileNo), st_le32(cfi, CFI_REC_AREA, kRecArea), st_le32(cfi, CFI_FB_AREA, kFbArea);
    cfi[CFI_REQUIRED] = req;
    EXPECT_NE(em_cfi_add(em, file->fdb, cfi), 0);
    memcpy(em->em_pcf_ap, ap, 3), em->em_pcf_id = kFileNo, em->em_pcf_key = 0;
    cfi_rec = pi_get_cfi(em, cfi + 0);
    return em;
  }
  void make_file() {
    FDB f = file->fdb;
    ASSERT_EQ(FM_CREATE(&f, com.sys_scope, 10, kAnyFile | LFB_OPEN_NEW, 15, 15), 1);
    FM_CLOSE(f.fdb_arb, 0);
  }
  // The open of a placed PCB of `em`; the end code.
  uint32_t open(EM* em, PCB** out = nullptr, uint8_t type = PT_SUBROUTINE) {
    PCB* p = pcb(em, nullptr, 2);
    p->invoc.b[INVOC_PROC_TYPE] = type;
    place(p);
    memcpy(p->pcb_areas[9], "DB1", 3), memcpy(p->pcb_areas[9] + 124, "DSN07", 5);
    if (out) *out = p;
    if (out) (*out)->pcb_rng = p;  // a stale range pointer the open must clear for OUTPUT
    return MARK(MARK_RECOVERY, [&] { pi_open_fi_run(p); });
  }
  static pi_file_blk* fb(PCB* p) { return reinterpret_cast<pi_file_blk*>(p->pcb_areas[kFbArea]); }

  std::unique_ptr<test_file> file;
  uint8_t* cfi_rec = nullptr;
};
class StatusLine : public ExecFixture {
 protected:
  // pi_upd_stat of `p` through an invoker of 0LA: the database, application and version.
  static void call_stat(PCB* p, std::string* out) {
    pi_upd_stat(p);
    *out = std::string(com.cur_db, 3) + std::string(com.cur_ap, 3) + std::string(com.cur_ver, 2);
  }
};

TEST_F(ProcessFiles, OptionalRequiredAndAccessOnNativeAndMemoryFiles) {
  // clang-format off
  struct row { uint8_t fs; uint8_t acc; uint8_t req; bool exists; bool all; uint32_t want; bool handle; const char* db; } rows[] = {
      {FS_DISK, 15, 0, false, false, 1, false, "DB1"}, {FS_DISK, 15, 1, false, false, 4, false, "DB1"},
      {FS_DISK, 15, 1, true, false, 1, true, "DB1"},   {FS_DISK, 0, 0, true, false, 1, false, "DB1"},
      {FS_DISK, 0, 0, true, true, 1, true, "DB1"},     {FS_MEMORY, 15, 0, false, false, 1, false, "   "},
      {FS_MEMORY, 15, 1, false, false, 4, false, "   "},
  };
  // clang-format on
  int i = 0;
  for (const row& r : rows) {
    filed("F", r.fs, r.acc, r.req);
    if (r.exists) make_file();
    access_all_files = r.all;
    PCB* p;
    EXPECT_EQ(open(mods["F"], &p), r.want) << "row " << i;
    EXPECT_EQ(fb(p)->arb != nullptr, r.handle) << "row " << i;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(cfi_rec + FDB_DB), 3), r.db) << "row " << i;
    if (r.handle) {
      EXPECT_EQ(fb(p)->arb->arb_rec, p->pcb_areas[kRecArea]) << "row " << i;
    }
    EXPECT_EQ(reported("cannot open"), r.want == PI_END_CANCEL) << "row " << i;
    captured_errors().clear();
    ++i;
  }
  access_all_files = 0;
}

TEST_F(ProcessFiles, ErrorBlockAndTheFamilyRemovedOnce) {
  filed("F", FS_DISK, 15, 1, "0LA");
  const uint32_t blocks = pi_pool->blocks;
  EXPECT_EQ(run(inv("F")), PI_END_CANCEL);
  EXPECT_EQ(log, "");
  EXPECT_EQ(pi_pool->blocks, blocks);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(rt_last_err), 49),
            "\x01---CUST       0SU" + s30("F") + "\x06");  // no database for 0LA; the status's class
  EXPECT_EQ(std::string(reinterpret_cast<char*>(rt_last_err + 49), 19), "ERROR - cannot open");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(rt_last_err + 657), 22), "WARNING - no such file");
  captured_errors().clear();
  filed("G", FS_DISK, 15, 0, "0AD");
  EXPECT_EQ(open(mods["G"]), PI_END_NORMAL);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(cfi_rec + FDB_SRC_AP), 5), "DSN07");
}

TEST_F(ProcessFiles, PcfKeyRangeLookUpsAndConstraints) {
  filed("F", FS_MEMORY, 15, 0);
  make_file();
  for (uint8_t k : {255, 7}) {
    PCB* p = pcb(mods["F"], nullptr, 2);
    p->invoc.b[INVOC_PROC_TYPE] = PT_OUTPUT, p->invoc.b[INVOC_PCF_KEY_NO] = k;
    place(p);
    p->pcb_rng = p;
    EXPECT_EQ(MARK(MARK_RECOVERY, [&] { pi_open_fi_run(p); }), PI_END_NORMAL);
    ASSERT_NE(p->pcb_pcf_arb, nullptr);
    EXPECT_EQ(p->pcb_pcf_arb->arb_keyno, k == 255 ? 0 : 7);
    EXPECT_EQ(p->pcb_pcf_blk, fb(p));
    EXPECT_EQ(p->pcb_rng, nullptr);  // a blank range name builds no blocks
    uint32_t no = 0;
    EXPECT_EQ(pi_find_addr(p, "TST", kFileNo, 2, 3, &no), p->pcb_areas[kRecArea] + 3);
    EXPECT_EQ(no, kRecArea);
    EXPECT_EQ(pi_find_addr(p, "TST", kFileNo, 1, 0, &no), p->pcb_areas[kFbArea]);
    EXPECT_EQ(no, kFbArea);
    EXPECT_EQ(pi_find_addr(p, "TST", kFileNo + 1, 2, 0, nullptr), nullptr);
    EXPECT_EQ(pi_find_rec(p, "TST", "CUST    "), nullptr);  // no record area of type 0
    EXPECT_EQ(pi_find_rec(p, "TST", "NONE    "), nullptr);
    // the constraint block: values one after another; the automatic run: the value buffer
    uint8_t segs[12] = {0, 0, 2, 0, 3, 0, 0, 0, 9, 0, 4, 0}, vals[7] = {'A', 'B', 'C', 'W', 'X', 'Y', 'Z'};
    PCF_SCB blk{};
    blk.kind = SCB_CNSTR, blk.val_len = 7, blk.vals = vals, blk.seg_cnt = 2, blk.segs = segs;
    void* saved = p->pcb_scb;
    p->pcb_scb = &blk;
    uint8_t rec[12];
    memset(rec, '.', 12);
    pi_set_cns(p, rec);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rec), 12), "..ABC.......");  // WXYZ would pass the record's end
    p->pcb_scb = saved;
    cnstr_fld f[2] = {};
    f[0].val_off = 3, f[0].len = 3, f[0].given = 1, f[1].len = 4;
    uint8_t* v = p->invoc.b;
    v[INVOC_AUTO_RUN] = 1;
    st_le32(v, 104, 2), st_le32(v, 116, 7), st_le32(v, INVOC_CNSTR_SEGS, ih_put(HK_CNSTR_SEGS, segs));
    st_le32(v, INVOC_CNSTR_FLDS, ih_put(HK_CNSTR_FLDS, f)), st_le32(v, INVOC_CNSTR_VALS, ih_put(HK_CNSTR_VALS, vals));
    memset(rec, '.', 12);
    pi_set_cns(p, rec);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rec), 12), "..WXY.......");  // the second is not given
    for (size_t at : {INVOC_CNSTR_SEGS, INVOC_CNSTR_FLDS, INVOC_CNSTR_VALS}) ih_drop(ld_le32(v, at));
  }
}

// The context of the nearest invoker that is not of 0LA, by its application.
TEST_F(StatusLine, NearestProcessOutside0laGivesTheContext) {
  proc("Q"), proc("L");
  // clang-format off
  struct row { const char* ap; std::string want; } rows[] = {
      {"0AD", "   DSN07"}, {"0SA", "   0SA00"}, {"0DB", "   0DB00"}, {"0SU", "DB50SU00"}, {"0LA", "        "}};
  // clang-format on
  for (const row& r : rows) {
    std::string got;
    eps["L/1"] = [&](PCB* l) { call_stat(l, &got); };
    eps["Q/1"] = [&](PCB* q) {
      memcpy(q->pcb_areas[5] + 30, "DB5", 3), memcpy(q->pcb_areas[9] + 124, "DSN07", 5);
      INVOC v = inv("L", PT_SUBROUTINE, q, 2, "0LA");
      pi_exec(&v);
    };
    com.cur_db[0] = 'X';
    run(inv("Q", PT_SUBROUTINE, nullptr, 2, r.ap));
    EXPECT_EQ(got, r.want) << r.ap;
  }
}

}  // namespace
}  // namespace kivo::test
