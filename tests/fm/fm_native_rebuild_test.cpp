// Opening through the file manager a pair whose key file is gone rebuilds
// every index, and one a dead writer left marked is repaired; files of older
// formats are upgraded.
#include <utility>

#include "../store/analyser_test_util.h"
#include "fm_native_util.h"
#include "store/analyser.h"
#include "store/lock.h"
#include "store/store.h"

namespace kivo::test {
namespace {

std::vector<std::string> g_lines;
void keep_line(const char* text) {
  if (text) g_lines.push_back(text);
}

class FmNativeRebuild : public NativeFm {
 protected:
  void SetUp() override {
    NativeFm::SetUp();
    g_lines.clear();
    hooks_.set(store_hooks.lock_status, keep_line);
  }
  // A two-key file (id; counter as a second key with duplicates) of n records.
  void two_keys(test_file& t) {
    t.fdb.fdb_nkeys = 2;
    INIT_KDB(t.kdb + 1, 1, '+', KDB_DUP, t.sdb + 1, 1);
    init_sdb_func(t.sdb + 1, 1, 8, 4, SDB_UBINARY, ' ');
  }
  void fill(test_file& t, int n) {
    ARB* a = create(t);
    ASSERT_NE(a, nullptr);
    for (int i = 0; i < n; ++i) ASSERT_EQ(put(a, i, uint32_t(i % 7)), 1) << a->arb_stat;
    ASSERT_EQ(FM_CLOSE(a, 0), 1);
  }
  // Every record found by each key, the pair verified.
  void check(test_file& t, int n, const char* name) {
    ARB* a = open(t);
    ASSERT_NE(a, nullptr) << t.fdb.fdb_stat;
    for (int i = 0; i < n; ++i) ASSERT_EQ(get(a, i), 1) << i;
    a->arb_keyno = t.fdb.fdb_nkeys - 1;
    a->arb_mod = ARB_FIRST;
    ASSERT_EQ(fm_start(a), 1);
    a->arb_mod = 0;
    int seen = 0;
    while (fm_rdnxt(a)) ++seen;
    EXPECT_EQ(seen, n);
    a->arb_keyno = 0;
    FM_CLOSE(a, 0);
    EXPECT_EQ(brfanal(path(name).c_str(), 0, 0, nullptr), 1);
  }
  bool shown(const char* what) const {
    for (auto& l : g_lines)
      if (l.find(what) != std::string::npos) return true;
    return false;
  }
};

TEST_F(FmNativeRebuild, MissingKeyFileOfVariableAndFixedPairsIsRebuiltAtOpen) {
  for (uint8_t var : {1, 0}) {
    const char* name = var ? "VARPAIR" : "FIXPAIR";
    test_file t(name, var);
    two_keys(t);
    fill(t, 300);
    ASSERT_EQ(unlink((path(name) + ".key").c_str()), 0);
    g_lines.clear();
    check(t, 300, name);
    EXPECT_TRUE(shown("Performing Some Routine Maintenance (Rebuilding Data Index) ... Please Wait")) << name;
  }
}

TEST_F(FmNativeRebuild, PairLeftMarkedByADeadWriterIsRepairedAtItsOpening) {
  test_file t("MARKED");
  two_keys(t);
  fill(t, 300);
  std::string key = path("MARKED") + ".key";
  std::vector<uint8_t> k = slurp(key);
  k[kHdrInUse] = 1;  // as a writer killed inside a change leaves it
  spill(key, k);
  EXPECT_EQ(brfanal(path("MARKED").c_str(), 0, 0, nullptr), 0);
  ARB* a = open(t);
  ASSERT_NE(a, nullptr) << t.fdb.fdb_stat;
  EXPECT_EQ(slurp(key)[kHdrInUse], 0);
  EXPECT_TRUE(reported("2 keys rebuilt, 300 records indexed"));
  captured_errors().clear();  // the repair's announcement, expected
  FM_CLOSE(a, 0);
  check(t, 300, "MARKED");
}

TEST_F(FmNativeRebuild, OlderFormatsOpenedAfterACurrentFileAreUpgraded) {
  test_file cur("CURRENT");
  fill(cur, 3);
  check(cur, 3, "CURRENT");  // a current file has been checked in this session
  for (int version : {1, 0}) {
    // A system application's data file, as the storage tests make old ones.
    test_file t("OLDFMT");
    INIT_DB_PATH(&t.fdb.path, "   ", "0SA", "00", "OLDFMT", PATH_DATA);
    fill(t, 40);
    std::string dat = data_ + "/0SA/Data/OLDFMT.dat";
    std::vector<uint8_t> d = slurp(dat);
    ASSERT_GT(d.size(), 512u);
    st_le16(d.data(), kHdrVersionOff, uint16_t(version));
    if (version == 0) st_le16(d.data(), kHdrFlagsOff, 0);  // version 0 has no version flag
    for (size_t s = 512; version == 0 && s + 16 <= d.size(); s += ld_le16(d.data(), s + 2) + 16u)
      st_le32(d.data(), s + 4, ld_le16(d.data(), s + 2));  // the length in the link word
    spill(dat, d);
    unlink((data_ + "/0SA/Data/OLDFMT.key").c_str());
    g_lines.clear();
    ARB* a = open(t);
    ASSERT_NE(a, nullptr) << t.fdb.fdb_stat;
    for (int i = 0; i < 40; ++i) ASSERT_EQ(get(a, i), 1) << version << " " << i;
    FM_CLOSE(a, 0);
    EXPECT_TRUE(shown("Upgrading File Format")) << version;
    EXPECT_EQ(ld_le16(slurp(dat).data(), kHdrVersionOff), kBrfVersion);
    EXPECT_EQ(brfanal((data_ + "/0SA/Data/OLDFMT").c_str(), 0, 0, nullptr), 1);
    FM_SCRATCH(&t.fdb, kAnyFile);
  }
}

}  // namespace
}  // namespace kivo::test
