// Compiled references against golden bytes and listings: the areas of a
// module in comp_dlf order with the AP counts, a compiled file whose key
// records open and read its data file, and the CELEM of each kind of field.
#include <cstdio>

#include "compiler/design_records.h"
#include "compiler/em_access.h"
#include "compiler/em_records.h"
#include "em_test_util.h"
#include "fm/fm_open.h"
#include "pc_test_util.h"

namespace kivo::test {
namespace {

using PcAreas = PcFixture;
using PcFiles = PcFixture;
using PcFields = PcFixture;

std::string hex(const uint8_t* p, size_t n) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < n; ++i) snprintf(b, sizeof b, "%02x", p[i]), s += b;
  return s;
}

// A process of TST with its PCF CUST, the file ORDERS through a field, work
// fields of kinds 4 and 7, and "0LA" fields: a system record, an index
// variable and ENTRY.
TEST_F(PcAreas, TableIsListedInKeyOrderWithSystemAreasFirst) {
  em_->em_pcf_id = 2, memcpy(em_->em_pcf_ap, "TST", 3);
  ASSERT_EQ(pc_prep(&ctx_), 1) << err();
  uint8_t* cap = pc_ap("TST", em_, &ctx_);
  ASSERT_NE(cap, nullptr);
  uint8_t cfi[CFI_LEN];
  ASSERT_EQ(pc_fi(cap, "CUST    ", cfi, &ctx_, PC_FI_OPENED, kPcAccUpdate), 1) << err();
  for (const char* f : {"AMOUNT", "TOTAL", "NOTE", "STATUS CODE", "AI", "ENTRY RESTRUCT STAT1", "BAL"})
    ASSERT_FALSE(fld("TST", f, {1, PC_OCC_NUM, {}}).empty()) << f << ": " << err();
  // A work field numbered after the counts were read: the count follows it.
  DesignBuilder late("TST", "01", kScope);
  dd_field w;
  w.name = "LATE", w.type = 1, w.size = 4;
  const uint32_t late_no = late.work_field(w, 4);
  ASSERT_GT(late_no, 4000001u) << late.error();
  late.close_all();
  ASSERT_FALSE(fld("TST", "LATE").empty()) << err();
  ASSERT_EQ(pc_cmpl_finish(&ctx_), 1) << err();

  std::string list;
  for (uint32_t i = 0; i < em_->em_area_cnt; ++i) {
    const AREA_DESC& a = em_->em_area_tbl[i];
    char line[96];
    snprintf(line, sizeof line, "%2u %.3s %7u %u %5u %2u %u %u %u\n", a.kind, a.ap, a.number, a.rel_off, a.size,
             a.area_no, a.type, a.init, a.cls);
    list += line;
  }
  EXPECT_EQ(list, golden("compiler/pc_areas_golden.txt"));
  // Every number used is within its application's count of its kind.
  for (uint32_t i = 0; i < em_->em_area_cnt; ++i) {
    const AREA_DESC& a = em_->em_area_tbl[i];
    const uint8_t* ap = pc_ap(std::string(a.ap, 3).c_str(), em_, nullptr);
    ASSERT_NE(ap, nullptr);
    EXPECT_GE(ld_le32(ap, CAP_AREA_CNT + 4u * a.kind), a.number) << i;
  }
  EXPECT_EQ(ld_le32(pc_ap("TST", em_, nullptr), CAP_AREA_CNT + 16), late_no % kAreaSpan);
}

// pc_cmpl_finish closes the work files: the error file is gone, and a
// second finish finds nothing prepared.
TEST_F(PcAreas, FinishLeavesNoWorkFileOpen) {
  ASSERT_EQ(pc_prep(&ctx_), 1) << err();
  ARB* errs = ctx_.err_arb;
  ASSERT_NE(errs, nullptr);
  ASSERT_EQ(pc_cmpl_finish(&ctx_), 1);
  EXPECT_EQ(ctx_.err_arb, nullptr);
  for (auto& d : ctx_.design)
    for (ARB* a : d.arb) EXPECT_EQ(a, nullptr);
  EXPECT_EQ(em_->em_area_cnt, kSysAreas);
  EXPECT_EQ(pc_cmpl_finish(&ctx_), 0);
  // A compile error fails the finish, after closing just the same.
  PC_CTX bad{};
  bad.em = em_, memcpy(bad.ap, "TST", 3), memcpy(bad.ver, "01", 2);
  EM* keep = em_;
  em_ = bad.em = em_create();
  ASSERT_EQ(pc_prep(&bad), 1);
  EXPECT_TRUE(fld("TST", "NOSUCH").empty());
  EXPECT_EQ(pc_fld("TST", pad("NOSUCH", 22).c_str(), {}, std::vector<uint8_t>(kPcFldOut).data(), &bad), 0);
  EXPECT_EQ(pc_cmpl_finish(&bad), 0);
  EXPECT_EQ(bad.err_arb, nullptr);
  em_destroy(keep);
}

// The CFI record of the PCF at every offset the record defines, then its
// key records rebuilt into a descriptor that creates, writes and reads the
// file by each key; the PCF's key fields in PK.
TEST_F(PcFiles, CompiledFileMatchesAndItsKeysReadTheFile) {
  em_->em_pcf_id = 2, memcpy(em_->em_pcf_ap, "TST", 3);
  ASSERT_EQ(pc_prep(&ctx_), 1) << err();
  uint8_t cfi[CFI_LEN];
  ASSERT_EQ(pc_fi(pc_ap("TST", em_, &ctx_), "ORDERS  ", cfi, &ctx_, PC_FI_OPENED, kPcAccRead), 1) << err();
  ASSERT_EQ(pc_fi(pc_ap("TST", em_, &ctx_), "CUST    ", cfi, &ctx_, PC_FI_OPENED, kPcAccUpdate), 1) << err();
  EXPECT_EQ(hex(cfi, CFI_LEN), golden("compiler/pc_cfi_golden.txt").substr(0, 2 * CFI_LEN));
  // PK: key 0 is ID, key 1 NAME; each names the FL record of its field.
  ASSERT_EQ(pc_cmpl_finish(&ctx_), 1) << err();
  const std::pair<uint16_t, const char*> pk[] = {{0, "ID"}, {1, "NAME"}};
  for (auto [key, name] : pk) {
    uint8_t k[PK_LEN] = {};
    st_le16(k, PK_KEY, key), st_le16(k, PK_SEG, 1);
    const uint8_t* r = em_read_key(em_->em_pcf_key_arb, 0, k);
    ASSERT_NE(r, nullptr) << name;
    uint8_t f[CFLD_LEN] = {};
    memcpy(f, "TST", 3), memcpy(f + CFLD_NAME, pad(name, 22).data(), 22);
    ASSERT_NE(em_read_key(em_->em_cfld_arb, 0, f), nullptr);
    EXPECT_EQ(ld_le32(em_->em_cfld_arb->arb_rec_id_area, 4) + 1, ld_le32(r, PK_FLD)) << name;
  }
  ASSERT_EQ(em_cfi_load_keys(em_), 1);
  FDB fdb;
  ASSERT_EQ(em_cfi_desc(em_, cfi, &fdb), 1);
  memcpy(fdb.path.fdb_db, "DB1", 3);
  ASSERT_EQ(FM_CREATE(&fdb, com.sys_scope, 0, kAnyFile | LFB_OPEN_NEW, 0x0f, 0x0f), 1) << fdb.fdb_stat;
  ARB* a = fdb.fdb_arb;
  const uint16_t len = fdb.fdb_rec_len;
  std::vector<uint8_t> rec(len, ' ');
  for (int i = 0; i < 3; ++i) {
    memcpy(rec.data(), rec_id(i).data(), 8);
    memcpy(rec.data() + 8, ("NAME" + std::to_string(2 - i)).data(), 5);
    a->arb_rec = rec.data(), a->arb_len = len, a->arb_var_len = len, a->arb_mod = 0;
    ASSERT_EQ(fm_write(a), 1) << a->arb_stat;
  }
  for (uint8_t key : {0, 1}) {
    std::vector<uint8_t> want(len, ' ');
    memcpy(want.data(), rec_id(2).data(), 8), memcpy(want.data() + 8, "NAME0", 5);
    std::vector<uint8_t> got = want;
    PROTO_FULL(a, key, got.data());
    a->arb_len = len, a->arb_mod = ARB_EQUAL;
    ASSERT_EQ(fm_read(a), 1) << int{key} << " " << a->arb_stat;
    EXPECT_EQ(got, want) << int{key};
  }
  FM_CLOSE(a, 0);
}

// The CELEM of each kind of field, with literal, index and no occurrence;
// a literal occurrence above the count is refused with the field named.
TEST_F(PcFields, CompiledElementsMatchGoldenBytes) {
  ASSERT_EQ(pc_prep(&ctx_), 1) << err();
  const struct {
    const char* name;
    pc_occ occ;
  } rows[] = {
      {"BAL", {0, PC_OCC_NONE, {}}},           {"OPENED", {0, PC_OCC_NONE, {}}}, {"NOTE", {3, PC_OCC_NUM, {}}},
      {"NOTE", {0, PC_OCC_INDEX, {'A', 'I'}}}, {"STATE", {1, PC_OCC_NUM, {}}},   {"OKEY", {0, PC_OCC_NONE, {}}},
      {"STATUS CODE", {0, PC_OCC_NONE, {}}},   {"FLAGS", {3, PC_OCC_NUM, {}}},
  };
  std::string got;
  for (auto& r : rows) {
    auto out = fld("TST", r.name, r.occ);
    ASSERT_FALSE(out.empty()) << r.name << ": " << err();
    got += hex(out.data(), kPcFldOut) + "\n";
  }
  EXPECT_EQ(got, golden("compiler/pc_fields_golden.txt"));
  EXPECT_TRUE(fld("TST", "FLAGS", {4, PC_OCC_NUM, {}}).empty());
  EXPECT_EQ(err(), "occurrence 4 of FLAGS above its 3");
}

}  // namespace
}  // namespace kivo::test
