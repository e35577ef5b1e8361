// Shared data areas: which area kinds a child shares with its invoker, data
// passed down and handed over, SAA records that grow, initial values,
// system areas, PCF selection blocks, the full release, and the copy of
// every area through one buffer.
#include <fstream>
#include <sstream>

#include "compiler/inst.h"
#include "fm/fm_record_cache.h"
#include "pi_test_util.h"
#include "process/pb.h"

namespace kivo::test {
namespace {

class SaaSharing : public PiFixture {};
class SharedAreas : public PiFixture {
 protected:
  void TearDown() override {
    if (hs_) ih_drop(hs_), ih_drop(hf_);
    PiFixture::TearDown();
  }
  // A SUBPROCESS INPUT PCB over a module whose PCF (file 5 of TST) has a
  // 40-byte record, invoked with one constraint: the segment segs_ (4 bytes
  // at offset 8), value "C1"; null when the module cannot be made.
  PCB* constrained_input() {
    EM* em = module({});
    memcpy(em->em_pcf_ap, "TST", 3);
    em->em_pcf_id = 5;
    uint8_t cfi[CFI_LEN] = {};
    st_le32(cfi, CFI_FILE_NO, 5);
    if (!em_cfi_add(em, pcf_.fdb, cfi)) return nullptr;
    fld_.addr = vals_, fld_.len = 4, fld_.given = 1;
    hs_ = ih_put(HK_CNSTR_SEGS, segs_), hf_ = ih_put(HK_CNSTR_FLDS, &fld_);
    PCB* p = pcb(em, nullptr, 0);
    uint8_t* v = p->invoc.b;
    v[INVOC_PROC_TYPE] = PT_INPUT;
    st_le32(v, 104, 1), st_le32(v, INVOC_CNSTR_SEGS, hs_), st_le32(v, INVOC_CNSTR_FLDS, hf_);
    st_le32(v, 116, 4), memcpy(v + INVOC_CNSTR_AP, "TST", 3), st_le32(v, 128, 5);
    return p;
  }
  test_file pcf_{"PCF"};
  uint8_t segs_[6] = {0, 0, 8, 0, 4, 0}, vals_[4] = {'C', '1', ' ', ' '};
  cnstr_fld fld_{};
  uint32_t hs_ = 0, hf_ = 0;
};
class StoreRestore : public PiFixture {};

// One 8-byte area of each kind 0-12, number 1, of application TST.
std::vector<area_row> one_of_each(uint8_t cls = 0) {
  std::vector<area_row> r;
  for (uint8_t k = 0; k < kSaaKinds; ++k) r.push_back({k, "TST", 1, 8, 0, 0, cls});
  return r;
}

TEST_F(SaaSharing, NonSharedTableEqualsTheRowsOfSharedKinds) {
  // invocation type x receive class; '1' = kind 0..12 not shared
  const char* rows[9] = {"1111011101110", "1110011001100", "1100010001000", "1111111101110", "1111111001100",
                         "1111110001000", "1111111111110", "1111111111100", "1111111111000"};
  for (int cell = 0; cell < 117; ++cell) EXPECT_EQ(saa_non_shr_tbl[cell], rows[cell / 13][cell % 13] - '0') << cell;
  EXPECT_EQ(saa_pass_tbl[0] | saa_pass_tbl[1] << 8 | saa_pass_tbl[2] << 16, 0x406070);
  EXPECT_EQ(saa_rcv_tbl[0] | saa_rcv_tbl[1] << 8 | saa_rcv_tbl[2] << 16, 0x0E0C08);
}

// For each invocation type and receive class, and a background run: the
// child sees its invoker's bytes in exactly the shared kinds, fresh zeroes
// in the others, and its changes reach the invoker in exactly those.
TEST_F(SaaSharing, ChildSharesExactlyTheKindsOfItsInvocation) {
  PCB* top = pcb(module(one_of_each()), nullptr, 2);
  place(top);
  for (int c = 0; c < 10; ++c) {
    const uint8_t type = c < 9 ? uint8_t(c / 3) : 0, rcv = c < 9 ? uint8_t(c % 3) : 2, bg = c == 9;
    for (uint8_t k = 0; k < kSaaKinds; ++k) memset(top->pcb_areas[kFirstArea + k], 0x40 + k, 8);
    PCB* child = pcb(module(one_of_each(), rcv), top, type, bg, 1);
    place(child);
    for (uint8_t k = 0; k < kSaaKinds; ++k) {
      const bool shared = !bg && saa_shared(type, rcv, k);
      uint8_t* mine = child->pcb_areas[kFirstArea + k];
      EXPECT_EQ(mine[7], shared ? 0x40 + k : 0) << "case " << c << " kind " << int(k);
      memset(mine, 0x70 + k, 8);
      EXPECT_EQ(top->pcb_areas[kFirstArea + k][0], shared ? 0x70 + k : 0x40 + k) << "case " << c << " kind " << int(k);
      EXPECT_EQ(child->pcb_saa_parent[k], bg || shared ? nullptr : top) << "case " << c << " kind " << int(k);
    }
    end(child);
  }
}

TEST_F(SharedAreas, GrandchildReadsItsGrandparentsAreaAsBorrowedData) {
  // kind 2 is private to a SUBPROCESS of receive class 0: passed (0x10), received (0x08)
  PCB* g = pcb(module({{2, "TST", 1, 8, 0, 0, 0x18}}), nullptr, 2);
  place(g);
  memcpy(g->pcb_areas[kFirstArea], "GRANDMA!", 8);
  PCB* c = pcb(module({{12, "TST", 1, 4}}), g, 0);  // no kind-2 area of its own
  place(c);
  PCB* d = pcb(module({{2, "TST", 1, 8, 0, 0, 0x18}}), c, 0);
  place(d);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(d->pcb_areas[kFirstArea]), 8), "GRANDMA!");
  SAA_REC* r = saa_read(2, d->pcb_handle, "TST", "00");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->e[1].borrowed, g->pcb_areas[kFirstArea]);
  EXPECT_NE(r->e[1].own, r->e[1].borrowed);  // a copy of its own
}

// A chain (mode 2) into another family moves the invoker's records; they
// keep their bytes after the old family's PCBs are freed.
TEST_F(SharedAreas, HandOverAcrossFamiliesMovesTheRecords) {
  PCB* old = pcb(module({{12, "TST", 1, 8}}), nullptr, 2, 0, 1);
  old->pcb_pool_owner = 1;
  place(old);
  memcpy(old->pcb_areas[kFirstArea], "HANDOVER", 8);
  PCB* next = pcb(module({{12, "TST", 1, 8}}), old, 2, 0, 2);
  next->invoc.b[INVOC_CHAIN_MODE] = 2;
  place(next);
  EXPECT_EQ(next->pcb_saa_owner[12], next);
  EXPECT_EQ(saa_read(12, old->pcb_handle, "TST", "00"), nullptr);
  end(old);
  SAA_REC* r = saa_read(12, next->pcb_handle, "TST", "00");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(r->e[1].own), 8), "HANDOVER");
  EXPECT_EQ(next->pcb_areas[kFirstArea], r->e[1].own);
}

TEST_F(SharedAreas, RecordGrowsKeepingItsEntriesAndLogsIt) {
  const std::string log = dir_.path() + "/saa.log";
  setenv("KIVO_SAA_LOG", log.c_str(), 1);
  PCB* top = pcb(module({{4, "TST", 3, 8}}), nullptr, 2);
  place(top);
  memcpy(top->pcb_areas[kFirstArea], "ENTRY 3!", 8);
  PCB* child = pcb(module({{4, "TST", 3, 8}, {4, "TST", 7, 8}}), top, 0);  // kind 4 shared
  place(child);
  unsetenv("KIVO_SAA_LOG");
  SAA_REC* r = saa_read(4, top->pcb_handle, "TST", "00");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->count, 7u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(child->pcb_areas[kFirstArea]), 8), "ENTRY 3!");
  EXPECT_EQ(child->pcb_areas[kFirstArea + 1], r->e[7].own);
  std::stringstream s;
  s << std::ifstream(log).rdbuf();
  const std::string name = "NAME" + std::string(26, ' ');
  EXPECT_EQ(s.str(), "(2)4 TST 00 TST " + name + " - cnt = 3\n(3)4 TST 00 TST " + name + " - cnt = 7\n");
}

// Init 2: a field's constant per occurrence; the blank constant over 255
// bytes fills blanks; anything else zeroes.
TEST_F(SharedAreas, InitialValuesFromFieldConstants) {
  EM* em = module({{3, "TST", 1, 6, 2, 2}, {3, "TST", 2, 300, 2, 2}, {3, "TST", 3, 5, 2, 0}});
  em->em_cnst_cnt = em_append(em, EM_CN, reinterpret_cast<const uint8_t*>("AB"), 2);
  init_field(em, 3 * 1000000 + 1, em->em_cnst_cnt, 3);
  init_field(em, 3 * 1000000 + 2, kBlankConst);
  PCB* p = pcb(em, nullptr, 2);
  place(p);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(p->pcb_areas[kFirstArea]), 6), "ABABAB");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(p->pcb_areas[kFirstArea + 1]), 300), std::string(300, ' '));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(p->pcb_areas[kFirstArea + 2]), 5), std::string(5, '\0'));
}

// Init 1: the file's initial record, taken from the record cache at the
// first use of each compiled file and copied from there ever after.
TEST_F(SharedAreas, InitialRecordCachedOncePerFile) {
  auto init = [](FDB* f, KDB* k, SDB* s) { INIT_DINIT_FDB(f, k, s, "TST", "00"); };
  std::string r = std::string("CUST    ") + char(CACHE_INITIAL) + "0000" + "iiiiiiiiiiii";
  st_be32(reinterpret_cast<uint8_t*>(r.data()), 9, 1);
  ASSERT_TRUE(write_rec(init, std::vector<uint8_t>(r.begin(), r.end())));
  EM* em = module({{1, "TST", 1, 12, 2, 1}, {1, "TST", 2, 12, 2, 1}});
  test_file cust("CUST", 0, 12);
  memcpy(cust.fdb.path.fdb_ver, "00", 2);
  for (uint32_t no : {1, 2}) {
    uint8_t cfi[CFI_LEN] = {};
    st_le32(cfi, CFI_FILE_NO, 1000000 + no);
    ASSERT_NE(em_cfi_add(em, cust.fdb, cfi), 0);
  }
  for (int run = 0; run < 2; ++run) {
    PCB* p = pcb(em, nullptr, 2);
    place(p);
    for (uint32_t a : {kFirstArea, kFirstArea + 1})
      EXPECT_EQ(std::string(reinterpret_cast<char*>(p->pcb_areas[a]), 12), "iiiiiiiiiiii");
    const uint8_t* ref = em->em_cfi_native[0].dflt_rec;
    ASSERT_TRUE(ref && ref == em->em_cfi_native[1].dflt_rec);
    EXPECT_EQ(ld_le16(ref - kCacheHdrSize, CACHE_USES), 2) << "run " << run;  // one use per compiled file
  }
}

// The output defaults of a DETACHED process (rt_dflt_disp), row by row, from the
// first of USER, APPL and SYSPARM that sets the field (a missing APPL
// passed over); the database area of another application from DATABASE.
TEST_F(SharedAreas, SystemAreasFromTheDesignRecords) {
  static uint8_t user[436], appl[324], sysparm[508], db[424];
  static bool have_appl;
  memset(user, ' ', sizeof user), memset(appl, ' ', sizeof appl), memset(sysparm, ' ', sizeof sysparm);
  uint8_t* src[3] = {user, appl, sysparm};
  const uint16_t base[2][3] = {{268, 44, 104}, {316, 92, 152}};
  // field: offset, length, area-1 place of group 1 and 2; 0xFF/0 "unset" for the numbers
  struct fld {
    uint8_t off, len;
    uint16_t at[2];
  } flds[] = {{6, 2, {16, 328}},   {5, 1, {60, 372}},   {4, 1, {49, 361}},  {3, 1, {18, 330}},
              {0, 1, {61, 0}},     {1, 1, {62, 0}},     {2, 1, {319, 628}}, {28, 10, {19, 331}},
              {18, 10, {29, 341}}, {38, 10, {39, 351}}, {8, 10, {50, 362}}};
  for (int g = 0; g < 2; ++g)
    for (int s = 0; s < 3; ++s) {
      uint8_t* b = src[s] + base[g][s];
      st_le16(b, 6, 0), b[5] = b[4] = 0xFF;
    }
  for (int g = 0; g < 2; ++g)
    for (size_t i = 0; i < std::size(flds); ++i)
      for (int s = int(i + g) % 4; s < 3; ++s) memset(src[s] + base[g][s] + flds[i].off, 'a' + s, flds[i].len);
  com.user_rec = user;
  hooks_.set(process_seams.get_dap,
             [](const char*, const char*) -> const uint8_t* { return have_appl ? appl : nullptr; });
  hooks_.set(process_seams.get_dsysparm, []() -> const uint8_t* { return sysparm; });
  for (int run = 0; run < 4; ++run) {
    const bool with_appl = run % 2 == 0;
    const char* ap = run < 2 ? "0AD" : "TST";  // a design process and any other take the same defaults
    have_appl = with_appl;
    EM* em = module({}, 0, {{0, ap, 1, 629, 2}, {0, ap, 9, 132, 2, 2}});
    blank_field(em, 9, ap);
    PCB* p = pcb(em, nullptr, 2, 0, 1, ap);
    place(p);
    for (int g = 0; g < 2; ++g)
      for (size_t i = 0; i < std::size(flds); ++i) {
        if (!flds[i].at[g]) continue;
        int s = int(i + g) % 4;
        if (s == 1 && !with_appl) ++s;
        const uint8_t want = s == 3 ? 0 : uint8_t('a' + s);
        EXPECT_EQ(p->pcb_areas[1][flds[i].at[g]], want) << "row " << i << " group " << g << " appl " << with_appl;
      }
  }
  memset(db, ' ', sizeof db);
  memcpy(db + 8, "FIRST", 5), memcpy(db + 98, "FOURTH", 6);
  hooks_.set(process_seams.get_ddb,
             [](const char* id) -> const uint8_t* { return memcmp(id, "DB1", 3) ? nullptr : db; });
  memcpy(com.cur_db, "DB1", 3);
  memcpy(user + 190, "APPV1", 5);
  EM* em = module({}, 0, {{0, "TST", 5, 38, 2, 2}, {0, "TST", 9, 132, 2, 2}});
  for (uint32_t no : {5, 9}) blank_field(em, no);
  PCB* p = pcb(em, nullptr, 2);
  place(p);
  const std::string dba(reinterpret_cast<char*>(p->pcb_areas[9]), 132);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(p->pcb_areas[5]) + 30, 3), "DB1");
  EXPECT_EQ(dba.substr(0, 3) + char('0' + dba[3]), "DB12");  // no DBXAP record: type 2
  EXPECT_EQ(dba.substr(94, 5) + dba.substr(64, 6) + dba.substr(124, 5), "FIRSTFOURTHAPPV1");
  com.user_rec = nullptr;
}

// An application's version: "00" for a system one, else a choice left in
// area 7, else the process's own, else (for a system process) its invoker's.
TEST_F(SharedAreas, VersionOfAnApplicationForTheProcess) {
  EM* em = module({}, 0, {{0, "TST", 7, 71, 2, 2}});
  blank_field(em, 7);
  PCB* top = pcb(em, nullptr, 2);
  memcpy(top->invoc.b + INVOC_VER, "05", 2);
  place(top);
  PCB* sys = pcb(em, top, 0, 0, 1, "0AD");
  place(sys);
  PCB* alone = pcb(em, nullptr, 2, 0, 2, "0AD");
  memcpy(alone->invoc.b + INVOC_VER, "03", 2);
  place(alone);
  // clang-format off
  struct row { PCB* p; const char* ap; const char* area7; const char* want; } rows[] = {
      {top, "0LA", "  ", "00"}, {top, "APP", "  ", "05"}, {top, "APP", "07", "07"},
      {sys, "APP", "  ", "05"}, {alone, "APP", "  ", "03"}};
  // clang-format on
  for (const row& r : rows) {
    memcpy(top->pcb_areas[7] + 69, r.area7, 2);
    char ver[2];
    pi_get_ver(r.p, r.ap, ver);
    EXPECT_EQ(std::string(ver, 2), r.want) << r.ap << r.area7;
  }
}

// Constraint and range blocks; a constraint of another file, a segment
// outside the record or a value past the buffer is refused (end code 2).
TEST_F(SharedAreas, SelectionBlocksTakeOnlyConstraintsOfTheirRecord) {
  EM* em = module({});
  memcpy(em->em_pcf_ap, "TST", 3);
  em->em_pcf_id = 5;
  test_file pcf("PCF");
  uint8_t cfi[CFI_LEN] = {};
  st_le32(cfi, CFI_FILE_NO, 5);
  ASSERT_NE(em_cfi_add(em, pcf.fdb, cfi), 0);  // a 40-byte record
  uint8_t segs[12] = {0, 0, 8, 0, 4, 0, 0, 0, 36, 0, 4, 0};
  uint8_t vals[2][4] = {{'A', 'B', 'C', 'D'}, {'W', 'X', 'Y', 'Z'}};
  cnstr_fld f[2] = {};
  for (int i = 0; i < 2; ++i) f[i].addr = vals[i], f[i].len = 4, f[i].given = 1;
  const uint32_t hs = ih_put(HK_CNSTR_SEGS, segs), hf = ih_put(HK_CNSTR_FLDS, f);
  // clang-format off
  struct row { uint32_t stamp; uint8_t seg_off; uint32_t val_len; int ok; } rows[] = {
      {5, 36, 8, 1}, {6, 36, 8, 0} /* another file */, {5, 37, 8, 0} /* past the record */,
      {5, 36, 7, 0} /* past the values */};
  // clang-format on
  for (const row& r : rows) {
    PCB* p = pcb(em, nullptr, 2);
    uint8_t* v = p->invoc.b;
    v[INVOC_PROC_TYPE] = PT_INPUT;
    memcpy(v + INVOC_RNG_AP, "TST", 3);
    segs[8] = r.seg_off;
    st_le32(v, 104, 2), st_le32(v, INVOC_CNSTR_SEGS, hs), st_le32(v, INVOC_CNSTR_FLDS, hf);
    st_le32(v, 116, r.val_len), memcpy(v + INVOC_CNSTR_AP, "TST", 3), st_le32(v, 128, r.stamp);
    place(p);
    auto* b = static_cast<PCF_SCB*>(p->pcb_scb);
    EXPECT_EQ(ld_le32(v, INVOC_END_CODE), r.ok ? 0u : uint32_t(PI_END_PROCESS)) << r.stamp << r.seg_off;
    if (!r.ok) {
      EXPECT_EQ(b, nullptr);
      continue;
    }
    ASSERT_TRUE(b && b->kind == SCB_RANGE && b->next && b->next->kind == SCB_CNSTR);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b->next->vals), b->next->val_len), "ABCDWXYZ");
    EXPECT_EQ(b->next->seg_cnt, 2);
    ASSERT_NE(p->pcb_cdb_arb, nullptr);
    uint8_t key[6] = {0};
    PROTO_FULL(p->pcb_cdb_arb, 0, key);
    p->pcb_cdb_arb->arb_len = 6, p->pcb_cdb_arb->arb_mod = ARB_EQUAL;
    EXPECT_EQ(fm_read(p->pcb_cdb_arb), 1);
    EXPECT_EQ(key[2], 8);
  }
  ih_drop(hs), ih_drop(hf);
}

// A SUBPROCESS PCB is reused by its next run, after the scope of the last
// one took the sub pool its selection blocks lived in: the new run's chain
// holds only its own blocks, and only a range block asks the PCF's attach
// for a sorted scan (with the chain) even when an earlier chain is waiting.
TEST_F(SharedAreas, ReusedPcbChainsOnlyItsOwnRunsSelectionBlocks) {
  PCB* p = constrained_input();
  ASSERT_NE(p, nullptr);
  uint8_t* v = p->invoc.b;
  for (int run = 0; run < 3; ++run) {
    if (run) mm_destroy_pool(p->pcb_sub_pool);  // the end of the last run's scope
    if (run == 2) memcpy(v + INVOC_RNG_AP, "TST", 3);
    place(p);
    auto* b = static_cast<PCF_SCB*>(p->pcb_scb);
    ASSERT_NE(b, nullptr) << run;
    if (run == 2) {
      ASSERT_EQ(b->kind, SCB_RANGE);
      b = b->next;
      ASSERT_NE(b, nullptr);
    }
    EXPECT_EQ(b->kind, SCB_CNSTR) << run;
    ASSERT_EQ(b->next, nullptr) << run;  // a stale link: the walk below would follow it
    FAD fad{nullptr, nullptr};
    pb_attach_chain = run == 1 ? b : nullptr;  // a chain no attach took
    pb_auto_setup(p, &fad);
    if (run < 2) {
      EXPECT_EQ(fad.fad_scan, nullptr) << run;
      EXPECT_EQ(pb_attach_chain, nullptr) << run;
    } else {
      ASSERT_NE(fad.fad_scan, nullptr);
      EXPECT_EQ(fad.fad_scan->type, SCAN_SORTED);
      EXPECT_EQ(pb_attach_chain, p->pcb_scb);
      pb_attach_chain = nullptr;
    }
  }
  end(p);
  EXPECT_EQ(p->pcb_scb, nullptr);
}

// A reused INPUT SUBPROCESS makes a CDB file for each constrained run: the
// last run's is closed and scratched by the next, so the files open stay as
// many over fifty runs as after the first, and the one open holds this
// run's constraint alone. The last goes with the family.
TEST_F(SharedAreas, ReusedInputSubprocessKeepsOneConstraintFile) {
  PCB* p = constrained_input();
  ASSERT_NE(p, nullptr);
  const uint32_t before = ctl_count_pfb();
  uint32_t after_first = 0;
  for (int run = 0; run < 50; ++run) {
    if (run) mm_destroy_pool(p->pcb_sub_pool);
    segs_[2] = uint8_t(8 + run % 4);  // each run constrains its own offset
    place(p);
    ASSERT_NE(p->pcb_cdb_arb, nullptr) << run;
    if (!run) after_first = ctl_count_pfb();
    ASSERT_EQ(ctl_count_pfb(), after_first) << "run " << run << ": a CDB file of an earlier run left open";
    size_t entries = 0;
    uint8_t seg[6] = {};
    PROTO_FULL(p->pcb_cdb_arb, 0, seg);
    p->pcb_cdb_arb->arb_len = 6, p->pcb_cdb_arb->arb_mod = ARB_FIRST;
    ASSERT_EQ(fm_start(p->pcb_cdb_arb), 1);
    p->pcb_cdb_arb->arb_mod = 0;
    while (fm_rdnxt(p->pcb_cdb_arb)) {
      ++entries;
      EXPECT_EQ(seg[2], 8 + run % 4) << run;
    }
    EXPECT_EQ(entries, 1u) << run;
  }
  EXPECT_GT(after_first, before);
  end(p);
  EXPECT_EQ(p->pcb_cdb_arb, nullptr);
  EXPECT_EQ(ctl_count_pfb(), before);
}

// After a family's PCBs are freed with the full flag none of their SAA
// records and no pool block made for them remains (a first run lets the
// SAA files grow their indexes).
TEST_F(SharedAreas, FullReleaseLeavesNoRecordAndNoBlock) {
  uint32_t blocks = 0;
  for (int run = 0; run < 2; ++run) {
    if (run) blocks = mm_total_blocks();
    EM* m[2] = {module(one_of_each(0x18)), module(one_of_each(0x18), 2)};
    PCB* top = pcb(m[0], nullptr, 2);
    place(top);
    PCB* child = pcb(m[1], top, 0);
    place(child);
    const uint32_t handles[2] = {top->pcb_handle, child->pcb_handle};
    end(child), end(top);
    for (uint8_t k = 0; k < kSaaKinds; ++k)
      for (uint32_t h : handles) EXPECT_TRUE(saa_of(k, h).empty()) << int(k);
    for (EM* em : m) em_destroy(em);
    mods_.clear();
  }
  EXPECT_EQ(mm_total_blocks(), blocks);
}

TEST_F(StoreRestore, EveryAreaRoundTripsAndAShortBufferTouchesNothing) {
  PCB* p = pcb(module({{0, "TST", 1, 3}, {5, "TST", 1, 300}, {12, "TST", 2, 1}, {12, "TST", 1, 5}}), nullptr, 2);
  place(p);
  const size_t n = pi_data_size(p);
  ASSERT_EQ(n, 309u);
  for (uint32_t a = 0; a < 4; ++a)
    memset(p->pcb_areas[kFirstArea + a], 'a' + a, a == 1 ? 300 : a == 3 ? 5 : a + 2 > 3 ? 1 : 3);
  std::vector<uint8_t> buf(n + 2, '#');
  ASSERT_EQ(pi_store_data(p, buf.data() + 1, n), 1);
  for (uint32_t a = 0; a < 4; ++a) p->pcb_areas[kFirstArea + a][0] = '-';
  ASSERT_EQ(pi_restore_data(p, buf.data() + 1, n), 1);
  for (uint32_t a = 0; a < 4; ++a) EXPECT_EQ(p->pcb_areas[kFirstArea + a][0], 'a' + a);
  std::vector<uint8_t> shorter(n + 1, '#');
  EXPECT_EQ(pi_store_data(p, shorter.data() + 1, n - 1), 0);
  EXPECT_EQ(std::string(shorter.begin(), shorter.end()), std::string(n + 1, '#'));
  EXPECT_EQ(pi_restore_data(p, shorter.data() + 1, n - 1), 0);
  EXPECT_EQ(p->pcb_areas[kFirstArea][0], 'a');
  EXPECT_TRUE(reported("too much data"));
  captured_errors().clear();
}

}  // namespace
}  // namespace kivo::test
