// Compiled references against golden bytes and listings: the areas of a
// module in comp_dlf order with the AP counts, a compiled file whose key
// records open and read its data file, and the CELEM of each kind of field.
#include <cstdio>

#include "compiler/design_records.h"
#include "compiler/em_access.h"
#include "compiler/em_records.h"
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

// The PCF, ORDERS through a field, work fields of kinds 4 and 7, "0LA"
// fields of a system record, an index variable and ENTRY, and a work field
// numbered after the counts were read (the BITMAP behind the module).
TEST_F(PcAreas, TableIsListedInKeyOrderAndCountsCoverEveryNumber) {
  prep();
  uint8_t cfi[CFI_LEN];
  ASSERT_EQ(fi("CUST", cfi), 1) << err();
  for (const char* f : {"AMOUNT", "TOTAL", "NOTE", "STATUS CODE", "AI", "ENTRY RESTRUCT STAT1", "BAL"})
    ASSERT_FALSE(fld("TST", f, {1, PC_OCC_NUM, {}}).empty()) << f << ": " << err();
  DesignBuilder late("TST", "01", kScope);
  dd_field w;
  w.name = "LATE", w.size = 4;
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
    EXPECT_GE(ld_le32(pc_ap(std::string(a.ap, 3).c_str(), em_), CAP_AREA_CNT + 4u * a.kind), a.number) << i;
  }
  EXPECT_EQ(list, golden("compiler/pc_areas_golden.txt"));
  EXPECT_EQ(ld_le32(pc_ap("TST", em_), CAP_AREA_CNT + 16), late_no % kAreaSpan);
}

// pc_cmpl_finish closes every work and design file, after an error too, and
// the compile leaves no block behind once its module is gone.
TEST_F(PcAreas, FinishLeavesNoWorkFileOpen) {
  for (int bad : {0, 1}) {
    em_destroy(em_);
    const uint32_t blocks = mm_total_blocks();
    ctx_ = {}, ctx_.em = em_ = em_create(), memcpy(ctx_.ap, "TST", 3), memcpy(ctx_.ver, "01", 2);
    prep();
    ASSERT_NE(ctx_.err_arb, nullptr);
    EXPECT_EQ(fld("TST", bad ? "NOSUCH" : "BAL").empty(), bad == 1);
    EXPECT_EQ(pc_cmpl_finish(&ctx_), 1 - bad);
    EXPECT_EQ(ctx_.err_arb, nullptr);
    for (auto& d : ctx_.design)
      for (ARB* a : d.arb) EXPECT_EQ(a, nullptr);
    EXPECT_EQ(pc_cmpl_finish(&ctx_), 0);  // nothing prepared any more
    em_destroy(em_), em_ = nullptr;
    EXPECT_EQ(mm_total_blocks(), blocks) << bad;
  }
}

// The CFI record of the PCF at every offset, its key records rebuilt into a
// descriptor that creates, writes and reads the file by each key, and the
// PCF's key fields in PK.
TEST_F(PcFiles, CompiledFileMatchesAndItsKeysReadTheFile) {
  prep();
  uint8_t cfi[CFI_LEN];
  ASSERT_EQ(fi("ORDERS", cfi, PC_FI_OPENED, kPcAccRead), 1) << err();
  ASSERT_EQ(fi("CUST", cfi), 1) << err();
  EXPECT_EQ(hex(cfi, CFI_LEN) + "\n", golden("compiler/pc_cfi_golden.txt"));
  ASSERT_EQ(pc_cmpl_finish(&ctx_), 1) << err();
  for (auto [key, name] : {std::pair<uint16_t, const char*>{0, "ID"}, {1, "NAME"}}) {
    uint8_t k[PK_LEN] = {}, f[CFLD_LEN] = {};
    st_le16(k, PK_KEY, key), st_le16(k, PK_SEG, 1);
    const uint8_t* r = em_read_key(em_->em_pcf_key_arb, 0, k);
    ASSERT_NE(r, nullptr) << name;
    memcpy(f, "TST", 3), memcpy(f + CFLD_NAME, pad(name, 22).data(), 22);
    ASSERT_NE(em_read_key(em_->em_cfld_arb, 0, f), nullptr);
    EXPECT_EQ(ld_le32(em_->em_cfld_arb->arb_rec_id_area, 4) + 1, ld_le32(r, PK_FLD)) << name;
  }
  FDB fdb;
  ASSERT_EQ(em_cfi_load_keys(em_), 1);
  ASSERT_EQ(em_cfi_desc(em_, cfi, &fdb), 1);
  memcpy(fdb.path.fdb_db, "DB1", 3);
  ASSERT_EQ(FM_CREATE(&fdb, com.sys_scope, 0, kAnyFile | LFB_OPEN_NEW, 0x0f, 0x0f), 1) << fdb.fdb_stat;
  ARB* a = fdb.fdb_arb;
  const uint16_t len = fdb.fdb_rec_len;
  auto rec = [len](int i) {
    std::vector<uint8_t> r(len, ' ');
    memcpy(r.data(), rec_id(i).data(), 8), memcpy(r.data() + 8, ("NAME" + std::to_string(2 - i)).data(), 5);
    return r;
  };
  for (int i = 0; i < 3; ++i) {
    std::vector<uint8_t> r = rec(i);
    a->arb_rec = r.data(), a->arb_len = a->arb_var_len = len, a->arb_mod = 0;
    ASSERT_EQ(fm_write(a), 1) << a->arb_stat;
  }
  for (uint8_t key : {0, 1}) {
    std::vector<uint8_t> got(len, ' '), want = rec(2);
    memcpy(got.data() + (key ? 8 : 0), want.data() + (key ? 8 : 0), key ? 20 : 8);
    PROTO_FULL(a, key, got.data());
    a->arb_len = len, a->arb_mod = ARB_EQUAL;
    ASSERT_EQ(fm_read(a), 1) << int{key} << " " << a->arb_stat;
    EXPECT_EQ(got, want) << int{key};
  }
  FM_CLOSE(a, 0);
}

// The CELEM of a packed field, a binary date, an alpha field with a mask
// (literal and index occurrence), a coded field, a group header, a "0LA"
// field found through the fallback; occurrences above the count refused.
TEST_F(PcFields, CompiledElementsMatchGoldenBytes) {
  ASSERT_EQ(pc_prep(&ctx_), 1) << err();
  const std::pair<const char*, pc_occ> rows[] = {
      {"BAL", {0, PC_OCC_NONE, {}}},           {"OPENED", {0, PC_OCC_NONE, {}}}, {"NOTE", {3, PC_OCC_NUM, {}}},
      {"NOTE", {0, PC_OCC_INDEX, {'A', 'I'}}}, {"STATE", {1, PC_OCC_NUM, {}}},   {"OKEY", {0, PC_OCC_NONE, {}}},
      {"STATUS CODE", {0, PC_OCC_NONE, {}}},   {"FLAGS", {3, PC_OCC_NUM, {}}},
  };
  std::string got;
  for (auto& [name, occ] : rows) {
    auto out = fld("TST", name, occ);
    ASSERT_FALSE(out.empty()) << name << ": " << err();
    got += hex(out.data(), kPcFldOut) + "\n";
  }
  EXPECT_EQ(got, golden("compiler/pc_fields_golden.txt"));
  const std::tuple<const char*, uint16_t, const char*> refused[] = {
      {"FLAGS", 4, "occurrence 4 of FLAGS above its 3"}, {"NOTE", 0, "field NOTE has 5 occurrences: name one"}};
  for (auto [name, occ, text] : refused) {
    PC_CTX c = ctx_;
    PC_OPND o;
    EXPECT_EQ(sc_cmpl_ref(&c, ref("TST", name, occ).data(), &o, 1, nullptr, 0), 0);
    EXPECT_EQ(std::string(c.err_text, strlen(text)), text);
  }
}

}  // namespace
}  // namespace kivo::test
