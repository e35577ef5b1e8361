// The back-end selection on real SYSDIR, SYSDFLT, APPL and DATABASE files
// opened by the file manager's start-up.
#include "fm_native_util.h"

namespace kivo::test {
namespace {

class FmNativeSelect : public NativeFm {
 protected:
  void SetUp() override {
    NativeFm::SetUp();
    write_sysadm(
        {entry("DB1", "LISTED", 1), entry("DB1", "RED", 1, "DB2"), entry("DB2", "RED", 1), entry("DB1", "FOUR", 4)});
  }
  // Creates (then opens) a data file of database DB1 with `opt`.
  uint32_t make(const char* name, uint32_t opt = LFB_NO_STRUCT_CHK) {
    test_file t(name);
    if (!FM_CREATE(&t.fdb, com.sys_scope, 0, opt, 0x0f, 0x0f)) return t.fdb.fdb_stat;
    if (!FM_OPEN(&t.fdb, com.sys_scope, opt, 0x0f, 0x0f)) return t.fdb.fdb_stat;
    FM_CLOSE(t.fdb.fdb_arb, 0);
    return 0;
  }
};

TEST_F(FmNativeSelect, ListedFileOpensAndUnlistedIsRefused) {
  EXPECT_EQ(make("LISTED"), 0u);
  EXPECT_EQ(access(path("LISTED.dat").c_str(), F_OK), 0);
  EXPECT_EQ(make("UNLISTED"), uint32_t{FM_NOT_IN_SYSDIR});
  EXPECT_NE(access(path("UNLISTED.dat").c_str(), F_OK), 0);
  EXPECT_NE(com.dap_stream, nullptr);
}

// Without an entry there is no stamp to trust: the any-directory option
// lets the file open, but its structure is checked against the caller's
// stamp, and this one has no structure file.
TEST_F(FmNativeSelect, UnlistedFileWithAnyDirectoryOpensAndIsChecked) {
  EXPECT_EQ(make("UNLISTED", kAnyFile), 0u);
  test_file t("UNLISTED");
  t.fdb.fdb_struct_date[0] = 100, t.fdb.fdb_struct_date[1] = 200;
  EXPECT_EQ(FM_OPEN(&t.fdb, com.sys_scope, LFB_ANY_DIR, 0x0f, 0x0f), 0);
  EXPECT_EQ(t.fdb.fdb_stat, uint32_t{FM_NO_STRUCT_FILE});
  EXPECT_EQ(FM_OPEN(&t.fdb, com.sys_scope, kAnyFile, 0x0f, 0x0f), 1);
  FM_CLOSE(t.fdb.fdb_arb, 0);
}

TEST_F(FmNativeSelect, RedirectionToAnAlternateDatabaseIsFollowed) {
  EXPECT_EQ(make("RED"), 0u);
  EXPECT_EQ(access((data_ + "/DB2/TST/Data/RED.dat").c_str(), F_OK), 0);
  EXPECT_NE(access(path("RED.dat").c_str(), F_OK), 0);
}

TEST_F(FmNativeSelect, FileSystemTypeFourHasNoBackEnd) {
  EXPECT_EQ(make("FOUR"), uint32_t{FM_NO_FMS});
  EXPECT_NE(access(path("FOUR.dat").c_str(), F_OK), 0);
}

}  // namespace
}  // namespace kivo::test
