// The bootstrap of the system applications: the creates it relies on, the
// summary readers, the INITIAL chunks and the choice of files.
#include <array>

#include "bs_test_util.h"
#include "compiler/design_records.h"
#include "design/bs_boot.h"

namespace kivo::test {
namespace {

using Bootstrap = DesignFiles;

// Creating a file that exists, as the bootstrap does once its records are
// in, succeeds and keeps them: with 0x800 for any file it builds, with
// 0x1882 for the INITIAL file it loads chunk by chunk.
TEST_F(Bootstrap, CreatesOfExistingFilesSucceedAndKeepTheirRecords) {
  struct row {
    const char* what;
    uint32_t opts;
    bool open_after;
  };
  const row rows[] = {
      {"0LA data file, 0x800", 0x800, false}, {"design file, 0x800", 0x800, false}, {"INITIAL, 0x1882", 0x1882, true}};
  for (const row& r : rows) {
    bs_file f("BOOTED", kInitRecMax, 1);
    if (r.opts == 0x1882) INIT_DINIT_FDB(&f.fdb, f.kdb, f.sdb, "TST", "01");
    else if (strstr(r.what, "design")) INIT_SRC_PATH(&f.fdb.path, "TST", "01", "BOOTED", PATH_DATA);
    else INIT_LA_PATH(&f.fdb.path, "00", "BOOTED", PATH_DATA);
    std::vector<std::vector<uint8_t>> recs;
    for (int i = 0; i < 3; ++i) {
      std::vector<uint8_t> rec(20, 'r');
      memcpy(rec.data(), "BOOTED  ", 8), rec[7] = static_cast<uint8_t>('0' + i), rec[8] = 1,
                                         st_le32(rec.data(), 9, static_cast<uint32_t>(i + 1));
      recs.push_back(rec);
    }
    ASSERT_EQ(write_all(f.fdb, recs), 1) << r.what;
    FDB again = f.fdb;
    ASSERT_EQ(FM_CREATE(&again, com.sys_scope, 0, r.opts, 0x0f, 0), 1) << r.what << ": status " << again.fdb_stat;
    if (r.open_after) {
      ASSERT_NE(again.fdb_arb, nullptr);
      FM_CLOSE(again.fdb_arb, ARB_CLOSE_NOW);
    }
    EXPECT_EQ(read_all(f.fdb), recs) << r.what;
  }
}

// INITIAL records of one file and kind as {chunk, length, first data byte}.
std::vector<std::array<uint32_t, 3>> chunks(const char* name, uint8_t kind) {
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  INIT_DINIT_FDB(&fdb, kdb, sdb, "TST", "01");
  std::vector<std::array<uint32_t, 3>> out;
  for (auto& r : read_all(fdb))
    if (memcmp(r.data(), name, strlen(name)) == 0 && r[INIT_KIND] == kind)
      out.push_back({ld_le32(r.data(), INIT_CHUNK), static_cast<uint32_t>(r.size()), r[INIT_DATA]});
  return out;
}

TEST_F(Bootstrap, ImagesAreCutIntoChunksThatReplaceTheirKindOnly) {
  std::vector<uint8_t> image(2500);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i / 1000 + 1);
  ASSERT_EQ(upd_init("TST", "01", "CUST", image.data(), 2500, INIT_NULLS), 1);
  ASSERT_EQ(upd_init("TST", "01", "OTHER", image.data(), 1001, INIT_VALUES), 1);
  using rows = std::vector<std::array<uint32_t, 3>>;
  struct row {
    size_t len;
    rows want;
  };
  const row rows_[] = {{1000, {{1, 1013, 1}}}, {2500, {{1, 1013, 1}, {2, 1013, 2}, {3, 513, 3}}}, {1, {{1, 14, 1}}}};
  for (const row& r : rows_) {
    ASSERT_EQ(upd_init("TST", "01", "CUST", image.data(), r.len, INIT_VALUES), 1);
    EXPECT_EQ(chunks("CUST", INIT_VALUES), r.want) << r.len;
    EXPECT_EQ(chunks("CUST", INIT_NULLS).size(), 3u);
    EXPECT_EQ(chunks("OTHER", INIT_VALUES), (rows{{1, 1013, 1}, {2, 14, 2}}));
  }
}

}  // namespace
}  // namespace kivo::test
