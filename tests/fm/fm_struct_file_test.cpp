// Structure files of native data files: written from the design records at
// create, checked against the expected stamp at open, the SYSDIR entry's
// stamp kept up to date.
#include <fstream>
#include <iterator>

#include "fm/struct_file.h"
#include "fm_native_util.h"

namespace kivo::test {
namespace {

constexpr uint32_t kStamp[2] = {100, 200};
constexpr uint32_t kElemStamp[2] = {7, 8};

class FmStructFiles : public NativeFm {
 protected:
  void SetUp() override {
    NativeFm::SetUp();
    write_sysadm({entry("DB1", "STRUCTD", 1)});
    design(INIT_DFI_FDB, {file_rec("STRUCTD"), file_rec("NOENTRY")}, kDfiRecLen);
    design(INIT_DINIT_FDB, {init_rec("STRUCTD")}, kInitLen);
    design(INIT_DELEM_FDB, {elem_rec("STRUCTD", 1), elem_rec("STRUCTD", 2)}, kDelemRecLen);
  }
  static constexpr uint16_t kInitLen = 20;
  void design(void (*init)(FDB*, KDB*, SDB*, const char*, const char*), std::initializer_list<uint8_t*> recs,
              uint16_t len) {
    FDB fdb;
    KDB kdb[kInitMaxKeys];
    SDB sdb[kInitMaxSegs];
    init(&fdb, kdb, sdb, "TST", "00");
    write_recs(fdb, recs, len);
  }
  uint8_t* rec(size_t len) { return entries_.emplace_back(len, ' ').data(); }
  uint8_t* file_rec(const char* name) {
    uint8_t* r = rec(kDfiRecLen);
    memcpy(r + DFI_NAME, name, strlen(name));
    st_le32(r, 100, name[0]), st_le32(r, 104, name[0]);  // keys 1 and 2 are unique
    for (int i = 0; i < 2; ++i) st_le32(r, DFI_ELEM_STAMP + 4 * i, kElemStamp[i]);
    for (int i = 0; i < 2; ++i) st_le32(r, DFI_STAMP + 4 * i, kStamp[i]);
    return r;
  }
  uint8_t* init_rec(const char* name) {
    uint8_t* r = rec(kInitLen);
    memcpy(r, name, strlen(name));
    memcpy(r + 13, "INITIAL", 7);
    return r;
  }
  uint8_t* elem_rec(const char* file, uint8_t n) {
    uint8_t* r = rec(kDelemRecLen);
    memcpy(r + 5, "FIELD", 5);
    r[10] = '0' + n;
    memcpy(r + DELEM_FILE, file, strlen(file));
    st_le32(r, 64, n), st_le32(r, 68, n), st_le32(r, 72, 0);
    for (int i = 0; i < 2; ++i) st_le32(r, DELEM_STAMP + 4 * i, kElemStamp[i]);
    return r;
  }
  // Create (and close) the data file `name`; its status.
  uint32_t make(const char* name, uint32_t opt = LFB_ANY_DIR) {
    test_file t(name);
    return FM_CREATE(&t.fdb, com.sys_scope, 0, opt, 0x0f, 0x0f) ? 0 : t.fdb.fdb_stat;
  }
  uint32_t reopen(const char* name, uint32_t opt = LFB_ANY_DIR) {
    test_file t(name);
    if (!FM_OPEN(&t.fdb, com.sys_scope, opt, 0x0f, 0x0f)) return t.fdb.fdb_stat;
    FM_CLOSE(t.fdb.fdb_arb, 0);
    return 0;
  }
  // The structure file's bytes on disk ("" when it is missing).
  std::string struct_bytes(const char* name) {
    std::ifstream in(data_ + "/DB1/TST/Struct/" + name + ".dat", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  uint32_t sysdir_stamp(const char* name) {
    uint8_t key[16], out[kSysdirLen];
    memset(key, ' ', sizeof key);
    memcpy(key, "DB1TST", 6);
    memcpy(key + 8, name, strlen(name));
    return sa_read_sysdir(key, out) ? ld_le32(out, SYSDIR_STAMP) : 0xDEAD;
  }
  // The file's FILE record takes a new stamp.
  void restamp(const char* name, uint32_t stamp) {
    uint8_t* r = file_rec(name);
    st_le32(r, DFI_STAMP, stamp);
    FDB fdb;
    KDB kdb[kInitMaxKeys];
    SDB sdb[kInitMaxSegs];
    INIT_DFI_FDB(&fdb, kdb, sdb, "TST", "00");
    ASSERT_EQ(FM_OPEN(&fdb, com.sys_scope, kAnyFile, 0x0f, 0x0f), 1);
    ARB* a = fdb.fdb_arb;
    uint8_t old[kDfiRecLen];
    memcpy(old, r, sizeof old);
    a->arb_rec = old, a->arb_len = kDfiRecLen, a->arb_keyno = 0, a->arb_key = nullptr;
    a->arb_mod = ARB_EQUAL | ARB_HOLD, a->arb_lock_wait = 0;
    ASSERT_EQ(fm_read(a), 1);
    a->arb_rec = r, a->arb_mod = 0;
    ASSERT_EQ(fm_rewrite(a), 1);
    FM_CLOSE(a, 0);
  }
};

TEST_F(FmStructFiles, CreateWritesTheDesignRecordsAndStampsSysdir) {
  ASSERT_EQ(make("STRUCTD"), 0u);
  // Golden: the counts, FILE, INITIAL and both ELEMENT records, each
  // zero-filled to a whole structure record.
  std::string want;
  auto add = [&](const uint8_t* r, size_t n) {
    std::string one(kStructFileRecLen, '\0');
    memcpy(one.data(), r, n);
    want += one;
  };
  const uint8_t counts[8] = {1, 0, 0, 0, 2, 0, 0, 0};
  add(counts, 8);
  add(entries_[1].data(), kDfiRecLen);  // after the SYSDIR entry
  for (size_t i = 3; i < 6; ++i) add(entries_[i].data(), entries_[i].size());
  EXPECT_EQ(struct_bytes("STRUCTD"), want);
  EXPECT_EQ(sysdir_stamp("STRUCTD"), kStamp[0]);
}

TEST_F(FmStructFiles, OpenChecksTheStampAgainstTheStructureFile) {
  ASSERT_EQ(make("STRUCTD"), 0u);
  EXPECT_EQ(reopen("STRUCTD"), 0u);
  restamp("STRUCTD", 101);
  EXPECT_EQ(reopen("STRUCTD"), uint32_t{FM_STAMP_DIFF});
  EXPECT_EQ(reopen("STRUCTD", LFB_ANY_DIR | LFB_NO_STRUCT_CHK), 0u);
}

TEST_F(FmStructFiles, MissingStructureFileFailsUnlessDeferred) {
  ASSERT_EQ(make("STRUCTD"), 0u);
  ASSERT_EQ(unlink((data_ + "/DB1/TST/Struct/STRUCTD.dat").c_str()), 0);
  restamp("STRUCTD", 101);  // so the entry's stamp no longer vouches for it
  EXPECT_EQ(reopen("STRUCTD"), uint32_t{FM_NO_STRUCT_FILE});
  EXPECT_EQ(reopen("STRUCTD", LFB_ANY_DIR | LFB_DEFER), 0u);
}

TEST_F(FmStructFiles, FileWithoutSysdirEntryStillGetsItsStructureFile) {
  ASSERT_EQ(make("NOENTRY"), 0u);
  EXPECT_EQ(struct_bytes("NOENTRY").size(), 2u * kStructFileRecLen);
  EXPECT_EQ(reopen("NOENTRY"), 0u);
  EXPECT_EQ(make("NODESIGN"), uint32_t{FM_NO_FILE_DEF});
  EXPECT_EQ(struct_bytes("NODESIGN"), "");
}

}  // namespace
}  // namespace kivo::test
