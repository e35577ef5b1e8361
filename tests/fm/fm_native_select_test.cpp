// The back-end selection on real SYSDIR, SYSDFLT, APPL and DATABASE files
// opened by the file manager's start-up.
#include "fm/fm_sysadm.h"
#include "fm_native_util.h"

namespace kivo::test {
namespace {

class FmNativeSelect : public NativeFm {
 protected:
  void SetUp() override {
    NativeFm::SetUp();
    uint8_t db1[kDatabaseRecLen], db2[kDatabaseRecLen];
    memset(db1, ' ', sizeof db1);
    memcpy(db1, "DB1", 3);
    memcpy(db1 + DDB_CODE, "00", 2);
    memcpy(db2, db1, sizeof db2);
    memcpy(db2, "DB2", 3);
    write_sa(INIT_DDB_FDB, {db1, db2}, kDatabaseRecLen);
    write_sa(
        INIT_DSYSDIR_FDB,
        {entry("DB1", "LISTED", 1), entry("DB1", "RED", 1, "DB2"), entry("DB2", "RED", 1), entry("DB1", "FOUR", 4)},
        kSysdirLen);
    uint8_t ap[kApplRecLen];
    memset(ap, ' ', sizeof ap);
    write_sa(INIT_DAP_FDB, {ap}, kApplRecLen);
    write_sa(INIT_DSYSDFLT_FDB, {}, kSysdfltLen);
    ASSERT_EQ(fm_init(), 1);  // a new start finds them
  }
  uint8_t* entry(const char* db, const char* name, uint16_t type, const char* alt = "   ") {
    auto& e = entries_.emplace_back(kSysdirLen, ' ');
    memcpy(e.data(), db, 3);
    memcpy(e.data() + SYSDIR_AP, "TST", 3);
    memcpy(e.data() + SYSDIR_NAME, name, strlen(name));
    st_le32(e.data(), SYSDIR_REDIRECT, memcmp(alt, "   ", 3) ? 0 : 1);
    st_le16(e.data(), SYSDIR_FS_TYPE, type);
    memcpy(e.data() + SYSDIR_ALT_DB, alt, 3);
    e[SYSDIR_CHECK] = '0';
    st_le32(e.data(), SYSDIR_STAMP, 0);
    st_le32(e.data(), SYSDIR_STAMP + 4, 0);
    return e.data();
  }
  void write_sa(void (*init)(FDB*, KDB*, SDB*), std::initializer_list<uint8_t*> recs, uint16_t len) {
    FDB fdb;
    KDB kdb[kInitMaxKeys];
    SDB sdb[kInitMaxSegs];
    init(&fdb, kdb, sdb);
    ASSERT_EQ(FM_CREATE(&fdb, com.sys_scope, 0, LFB_OPEN_NEW | kAnyFile, 0x0f, 0x0f), 1) << fdb.fdb_stat;
    ARB* a = fdb.fdb_arb;
    for (uint8_t* r : recs) {
      a->arb_rec = r;
      a->arb_var_len = len;
      ASSERT_EQ(fm_write(a), 1) << a->arb_stat;
    }
    ASSERT_EQ(FM_CLOSE(a, ARB_CLOSE_NOW), 1);
  }
  // Creates (then opens) a data file of database DB1 with `opt`.
  uint32_t make(const char* name, uint32_t opt = LFB_NO_STRUCT_CHK) {
    test_file t(name);
    if (!FM_CREATE(&t.fdb, com.sys_scope, 0, opt, 0x0f, 0x0f)) return t.fdb.fdb_stat;
    if (!FM_OPEN(&t.fdb, com.sys_scope, opt, 0x0f, 0x0f)) return t.fdb.fdb_stat;
    FM_CLOSE(t.fdb.fdb_arb, 0);
    return 0;
  }
  std::vector<std::vector<uint8_t>> entries_;
};

TEST_F(FmNativeSelect, ListedFileOpensAndUnlistedNeedsAnyDirectory) {
  EXPECT_EQ(make("LISTED"), 0u);
  EXPECT_EQ(access(path("LISTED.dat").c_str(), F_OK), 0);
  EXPECT_EQ(make("UNLISTED"), uint32_t{FM_NOT_IN_SYSDIR});
  EXPECT_EQ(make("UNLISTED", kAnyFile), 0u);
  EXPECT_NE(com.dap_stream, nullptr);
}

TEST_F(FmNativeSelect, RedirectionToAnAlternateDatabaseIsFollowed) {
  EXPECT_EQ(make("RED"), 0u);
  EXPECT_EQ(access((data_ + "/DB2/TST/Data/RED.dat").c_str(), F_OK), 0);
  EXPECT_NE(access(path("RED.dat").c_str(), F_OK), 0);
}

TEST_F(FmNativeSelect, FileSystemTypeFourIsNotAvailable) { EXPECT_EQ(make("FOUR"), uint32_t{FM_NO_FMS}); }

}  // namespace
}  // namespace kivo::test
