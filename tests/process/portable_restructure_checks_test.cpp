// The portable load and the restructure on a file whose primary key is
// flagged "duplicates" while the native index keeps it unique: the real
// kivo_design -l passes over the records already there and checks every
// line before it adds the first, and a restructure whose structure file
// fails to follow its swapped data is a failure that the next run finishes.
// The test application (tests/design/restruct_app.dsgn) with its key so
// flagged, compiled by kivo_design; its records made portable in process.
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
    for (auto& e : fs::recursive_directory_iterator(data_)) {
      const std::string p = e.path().string();
      if (p.size() >= tail.size() && p.compare(p.size() - tail.size(), tail.size(), tail) == 0) out.push_back(p);
    }
    return out;
  }
  // The portable lines of DATA's records, header first, made by the
  // migration in process; DATA is then scratched.
  std::vector<std::string> portable_lines() {
    uint8_t req[kMuReqSize] = {};
    uint8_t stored[kFdbStoredSize] = {};
    fdb_path_store(path(), stored);
    memcpy(req + MU_PATH, stored, kMuPathSize);
    req[MU_DIR] = 0, req[MU_MODE] = MU_ADD_STOP, req[MU_STRUCT] = '0';
    EXPECT_EQ(mu_xlate(nullptr, req, m1_, m2_), 1) << findings();
    const std::vector<std::string> port = files_ending("Portdata/DATA.dat");
    EXPECT_EQ(port.size(), 1u);
    std::vector<std::string> lines =
        port.empty() ? std::vector<std::string>{} : kivo_test::native_records(port[0]).records;
    scratch();
    return lines;
  }
  // kivo_design -l of `lines` into DATA: its exit status and what it said.
  std::pair<int, std::string> load(const std::vector<std::string>& lines) {
    std::ofstream in(data_ + "/in.port");
    for (const std::string& l : lines) in << l << "\n";
    in.close();
    std::string out;
    const int st = kivo_test::run_status("ASAN_OPTIONS=detect_leaks=0 " KIVO_DESIGN " -d " + shell_quote(data_) +
                                             " -l DB1 APP 01 DATA " + shell_quote(data_ + "/in.port") + " </dev/null",
                                         &out);
    return {st, out};
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
  std::vector<std::string> all = portable_lines();
  ASSERT_EQ(all.size(), 9u);  // the header and eight records
  // Record 7 with record 0's key and its own values.
  std::string changed = all[8];
  ASSERT_NE(changed.find("R0000007"), std::string::npos);
  changed.replace(changed.find("R0000007"), 8, "R0000000");
  const std::vector<std::string> first3 = {all[0], all[1], all[2], all[3]};
  const std::vector<std::string> then5 = {all[0], all[1], all[2], all[3], all[4], all[5]};
  const std::vector<std::string> clash = {all[0], all[6], changed};
  static bool refuse = false;
  kivo_test::scoped_hook rename(os_sys.rename, [](const char* from, const char* to) {
    if (refuse && strstr(to, "/Struct/DATA.dat")) return errno = EIO, -1;
    return ::rename(from, to);
  });
  const struct {
    const char* what;
    const std::vector<std::string>* lines;  // a load; null: a restructure
    bool refused;                           // the structure's rename refused
    uint32_t result;                        // exit status, or the restructure's verdict
    const char* said;
    size_t records;
    bool note_left;
  } rows[] = {
      {"three records", &first3, false, 0, "3 records added to DATA, 0 there already", 3, false},
      {"the same three and two new", &then5, false, 0, "2 records added to DATA, 3 there already", 5, false},
      {"a new record, then one whose key is there with other values", &clash, false, 3,
       "in.port:3: a record of its key is there already with other values; nothing was added", 5, false},
      {"a restructure whose structure file cannot follow its data", nullptr, true, RS_FAILED, "", 5, true},
      {"the next restructure", nullptr, false, RS_SAME, "", 5, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    if (r.lines) {
      const auto [status, said] = load(*r.lines);
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
    EXPECT_EQ(files_ending(".run").size(), r.note_left ? 1u : 0u);
    if (r.note_left) continue;  // the data is converted, its structure not yet
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
