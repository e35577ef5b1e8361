// The portable load and the restructure on a file whose primary key is
// flagged "duplicates" while the native index keeps it unique, on the test
// application (tests/design/restruct_app.dsgn) compiled by kivo_design.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "../design/db_run_util.h"
#include "../fixtures/kivo_fixture.h"
#include "../screen/term_harness.h"
#include "foundation/os_calls.h"

namespace kivo::test {
namespace {

namespace fs = std::filesystem;
using kivo_test::shell_quote;

class DesignerLoaderChecks : public DbRunFixture {
 protected:
  // The files under the data directory whose names end in `tail`.
  std::vector<std::string> files_ending(const std::string& tail) const {
    std::vector<std::string> out;
    for (auto& e : fs::recursive_directory_iterator(data_))
      if (e.path().string().ends_with(tail)) out.push_back(e.path().string());
    return out;
  }
};

// Each step in turn on one file: three loads, then two restructures, the
// first with the rename of the new structure file over the old refused.
TEST_F(DesignerLoaderChecks, LoadsPassOverWhatIsThereAndARestructureLeftHalfDoneIsFinished) {
  // The test application with its primary key flagged "duplicates", its ID
  // widened for the restructures.
  const std::string flagged = with(app_source(), "key_role=0 key_flag=0", "key_role=0 key_flag=1");
  compile_app(flagged, true);
  create();
  sysdir_entry();
  fill(8);
  // DATA's portable lines, header first, made by the migration in process.
  uint8_t req[kMuReqSize] = {}, stored[kFdbStoredSize] = {};
  fdb_path_store(path(), stored);
  memcpy(req + MU_PATH, stored, kMuPathSize);
  req[MU_DIR] = 0, req[MU_MODE] = MU_ADD_STOP, req[MU_STRUCT] = '0';
  ASSERT_EQ(mu_xlate(nullptr, req, m1_, m2_), 1) << findings();
  ASSERT_EQ(files_ending("Portdata/DATA.dat").size(), 1u);
  const std::vector<std::string> all = kivo_test::native_records(files_ending("Portdata/DATA.dat")[0]).records;
  ASSERT_EQ(all.size(), 9u);  // the header and eight records
  scratch();
  // Record 7 with record 0's key and its own values.
  std::string changed = all[8];
  ASSERT_NE(changed.find("R0000007"), std::string::npos);
  changed.replace(changed.find("R0000007"), 8, "R0000000");
  auto head = [&](size_t n) { return std::vector<std::string>(all.begin(), all.begin() + 1 + n); };
  static bool refuse = false;
  kivo_test::scoped_hook rename(os_sys.rename, [](const char* from, const char* to) {
    if (refuse && strstr(to, "/Struct/DATA.dat")) return errno = EIO, -1;
    return ::rename(from, to);
  });
  const struct {
    const char* what;
    std::vector<std::string> lines;  // a load; none: a restructure
    bool refused;                    // the structure's rename refused: the run's note stays
    uint32_t result;                 // exit status, or the restructure's verdict
    const char* said;
    size_t records;
  } rows[] = {
      {"three records", head(3), false, 0, "3 records added to DATA, 0 there already", 3},
      {"the same three and two new", head(5), false, 0, "2 records added to DATA, 3 there already", 5},
      {"a new record, then one whose key is there with other values",
       {all[0], all[6], changed},
       false,
       3,
       "in.port:3: a record of its key is there already with other values; nothing was added",
       5},
      {"a restructure whose structure file cannot follow its data", {}, true, RS_FAILED, "", 5},
      {"the next restructure", {}, false, RS_SAME, "", 5},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    if (!r.lines.empty()) {  // kivo_design -l into DATA
      std::string said;
      for (const std::string& l : r.lines) said += l + "\n";
      std::ofstream(data_ + "/in.port") << said;
      const int status =
          kivo_test::run_status("ASAN_OPTIONS=detect_leaks=0 " KIVO_DESIGN " -d " + shell_quote(data_) +
                                    " -l DB1 APP 01 DATA " + shell_quote(data_ + "/in.port") + " </dev/null",
                                &said);
      EXPECT_EQ(uint32_t(status), r.result) << said;
      EXPECT_NE(said.find(r.said), std::string::npos) << said;
    } else {
      if (r.refused)
        compile_app(with(flagged, "CODE   kind=4 sub_kind=1 size=8", "CODE   kind=4 sub_kind=1 size=12"), true);
      refuse = r.refused;
      EXPECT_EQ(db_restruct(nullptr, path(), m1_, m2_), r.result) << findings();
      refuse = false;
      captured_errors().clear();
    }
    EXPECT_EQ(files_ending(".run").size(), r.refused ? 1u : 0u);
    if (r.refused) continue;  // the data is converted, its structure not yet
    uint16_t len = 0;
    const auto recs = all_records(&len);
    ASSERT_EQ(recs.size(), r.records);
    const auto at = layout();
    for (size_t i = 0; i < recs.size(); ++i) {
      char id[24];
      snprintf(id, sizeof id, "R%07zu", i);
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(recs[i].data() + at.at("ID").offset), 8), id);
    }
  }
  // The finished run took the new layout and left none of its files.
  EXPECT_EQ(layout().at("ID").size, 12);
  for (const std::string& f : files_ending("DATA.dat")) EXPECT_EQ(f[f.size() - 9], '/') << f;
}

}  // namespace
}  // namespace kivo::test
