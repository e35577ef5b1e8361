// The restructure's comparison of a data file's old layout (its STRUCT
// file, made when the file was created) with the dictionary's new one:
// the verdicts of unchanged, compatible and converting changes, a file not
// compiled, and the INITIAL chunks a STRUCT file of a long record holds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "dd_test_util.h"
#include "design/db_restruct.h"
#include "design/mu_xlate.h"
#include "fm/fm_switch.h"
#include "fm/struct_file.h"
#include "foundation/com.h"
#include "types/element.h"

namespace kivo::test {
namespace {

const char* const kOld = R"(APPLICATION APP 01
STAMP 9000 100
FILE DATA
  ID      A8    key=primary
  AMT     P7.2
  CNT     B5S
  WHEN    D7:8-1
  LIST    A4    occurs=3
END
)";

class Restructure : public DictFiles {
 protected:
  void SetUp() override {
    DictFiles::SetUp();
    fms_select.get_ddb = [](const char*) -> const uint8_t* {
      static uint8_t db[512];
      memset(db, ' ', sizeof db);
      return db;
    };
    unsetenv("KIVO_VFY_RESTRUCT");
  }
  void TearDown() override {
    unsetenv("KIVO_VFY_RESTRUCT");
    mu_forget();
    DictFiles::TearDown();
  }
  static FDB_PATH data_path(const char* name) {
    FDB_PATH p{};
    char n[9];
    snprintf(n, sizeof n, "%-8s", name);
    INIT_DB_PATH(&p, "DB1", "APP", "01", n, PATH_DATA);
    return p;
  }
  // The dictionary of APP 01 from `src` afresh, every FILE record with
  // structure date `date`.
  void dictionary(const std::string& src, uint32_t date) {
    {
      DesignBuilder b("APP", "01", kScope);
      ASSERT_EQ(b.scratch_all(), 1) << b.error();
    }
    fm_clr_scope(kScope);
    build(src, "APP");
    fm_clr_scope(kScope);
    DesignBuilder b("APP", "01", kScope);
    ARB* a = b.handle(DF_FILE);
    ASSERT_NE(a, nullptr);
    for (auto& r : records(DF_FILE, "01", "APP")) {
      std::vector<uint8_t> fi = r;
      ASSERT_EQ(dd_read(a, 0, fi.data(), kFileRecSize, true), 1);
      st_le32(fi.data(), FI_STRUCT, date), st_le32(fi.data(), FI_STRUCT + 4, date);
      ASSERT_EQ(dd_rewrite(a, fi.data(), kFileRecSize), 1);
    }
    b.close_all();
  }
  // The data file created from the dictionary, with its STRUCT file.
  void create(const char* name) {
    ASSERT_EQ(mu_init(), 1);
    FDB f;
    KDB k[kFileMaxKeys];
    SDB s[kMuMaxSegs];
    ASSERT_EQ(mu_bld_native_fdb(&f, k, s, data_path(name), 1, m1_, m2_), 1) << f.fdb_stat;
    ASSERT_EQ(FM_CREATE(&f, com.sys_scope, 0, LFB_OPEN_NEW | LFB_ANY_DIR, 15, 15), 1) << f.fdb_stat;
    FM_CLOSE(f.fdb_arb, 0);
  }
  uint32_t compare(const char* name, restruct_ctx* keep = nullptr) {
    restruct_ctx ctx{};
    uint32_t fm = 0;
    const uint32_t open = db_open_files(data_path(name), &ctx, &fm);
    if (open) return db_close_files(&ctx), open;
    const uint32_t r = comp_struct_fi(data_path(name), &ctx);
    if (keep) *keep = ctx;
    else db_close_files(&ctx);
    return r;
  }
};

// Each change of the dictionary against the verdict it must give.
TEST_F(Restructure, TheComparisonGivesEachChangeItsVerdict) {
  auto with = [](const char* from, const char* to) {
    std::string s = kOld;
    return s.replace(s.find(from), strlen(from), to);
  };
  // new source, structure date, forced, verdict
  const std::tuple<std::string, uint32_t, bool, uint32_t> rows[] = {
      {kOld, 1, false, RS_SAME},
      {kOld, 2, false, RS_COMPATIBLE},
      {kOld, 1, true, RS_CONVERT},
      {with("ID      A8", "ID      A10"), 2, false, RS_CONVERT},
      {with("AMT     P7.2", "AMT     P9.2"), 2, false, RS_CONVERT},
      {with("LIST    A4    occurs=3", "LIST    A4    occurs=5"), 2, false, RS_CONVERT},
      {with("AMT     P7.2", "AMT     P7.2 mask=\"-999999.99\""), 2, false, RS_CONVERT},
      {with("END", "  EXTRA   A2\nEND"), 2, false, RS_CONVERT},
      {with("CNT     B5S", "CNT     B5"), 2, false, RS_CONVERT},
  };
  for (auto& [src, date, forced, verdict] : rows) {
    SCOPED_TRACE(src);
    dictionary(kOld, 1);
    create("DATA");
    dictionary(src, date);
    if (forced) setenv("KIVO_VFY_RESTRUCT", "", 1);
    else unsetenv("KIVO_VFY_RESTRUCT");
    EXPECT_EQ(compare("DATA"), verdict);
    FDB f;
    KDB k[kFileMaxKeys];
    SDB s[kMuMaxSegs];
    ASSERT_EQ(mu_bld_native_fdb(&f, k, s, data_path("DATA"), 2, m1_, m2_), 1);
    ASSERT_EQ(FM_SCRATCH(&f, LFB_ANY_DIR), 1) << f.fdb_stat;
  }
}

// A dictionary whose FILE was never compiled, or whose elements carry
// another stamp, is not compared; files that do not open are named.
TEST_F(Restructure, AFileNotCompiledOrNotThereIsRefused) {
  dictionary(kOld, 1);
  create("DATA");
  {
    DesignBuilder b("APP", "01", kScope);
    ARB* a = b.handle(DF_FILE);
    uint8_t fi[kFileRecSize] = {};
    memcpy(fi + FI_NAME, "DATA    ", 8);
    ASSERT_EQ(dd_read(a, 0, fi, kFileRecSize, true), 1);
    st_le32(fi, FI_STAMP + 4, ld_le32(fi, FI_STAMP + 4) + 1);  // no element has it
    ASSERT_EQ(dd_rewrite(a, fi, kFileRecSize), 1);
    b.close_all();
  }
  EXPECT_EQ(compare("DATA"), RS_NOT_COMPILED);
  EXPECT_EQ(compare("NONE"), RS_NO_STRUCT);
  captured_errors().clear();
}

// A record of 2500 bytes keeps three chunks per image in its STRUCT file,
// of 1013, 1013 and 513 bytes; loaded into 0DO they keep those lengths.
TEST_F(Restructure, LongRecordsCarryTheirInitialChunksWithTheirLengths) {
  // record length, chunk count, lengths
  const std::tuple<size_t, uint32_t, std::vector<size_t>> rows[] = {
      {2500, 6, {1013, 1013, 513, 1013, 1013, 513}},
      {2000, 4, {1013, 1013, 1013, 1013}},
      {1000, 2, {1013, 1013}},
      {40, 2, {53, 53}},
      {1001, 4, {1013, 14, 1013, 14}},
  };
  for (auto& [len, count, lengths] : rows)
    for (uint32_t i = 0; i < count; ++i) EXPECT_EQ(struct_chunk_len(i, count, len), lengths[i]) << len << " " << i;

  dictionary("APPLICATION APP 01\nFILE LONG\n  ID A8 key=primary\n  BODY A2492\nEND\n", 1);
  create("LONG");
  restruct_ctx ctx{};
  EXPECT_EQ(compare("LONG", &ctx), RS_SAME);
  ARB* a = ctx.arb[RC_OLD_INIT];
  ASSERT_NE(a, nullptr);
  std::vector<uint8_t> rec(kInitRecMax);
  PROTO_FULL(a, 0, rec.data());
  a->arb_len = kInitRecMax, a->arb_mod = ARB_FIRST;
  ASSERT_EQ(fm_start(a), 1);
  std::string got;
  for (;;) {
    a->arb_rec = rec.data(), a->arb_len = kInitRecMax, a->arb_var_len = 0, a->arb_mod = 0;
    if (!fm_rdnxt(a)) break;
    got += std::to_string(rec[INIT_KIND]) + "." + std::to_string(ld_le32(rec.data(), INIT_CHUNK)) + ":" +
           std::to_string(a->arb_var_len) + " ";
  }
  EXPECT_EQ(got, "1.1:1013 1.2:1013 1.3:513 2.1:1013 2.2:1013 2.3:513 ");
  db_close_files(&ctx);
}

}  // namespace
}  // namespace kivo::test
