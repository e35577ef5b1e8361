// Structure files of native data files: written from the design records at
// create, checked against the expected stamp at open, the SYSDIR entry's
// stamp kept up to date.
#include <fstream>
#include <iterator>

#include "fm/dict_records.h"
#include "fm/struct_file.h"
#include "fm_native_util.h"
#include "types/element.h"

namespace kivo::test {
namespace {

class FmStructFiles : public NativeFm {
 protected:
  void SetUp() override {
    NativeFm::SetUp();
    write_sysadm({entry("DB1", "STRUCTD", 1)});
    write_sa(INIT_DFI_FDB, {rec(kFileRecSize, "STRUCTD", 'S'), rec(kFileRecSize, "NOENTRY", 'N')}, kFileRecSize);
    write_sa(INIT_DINIT_FDB, {rec(20, "STRUCTD", 0)}, 20);
    write_sa(INIT_DELEM_FDB, {rec(kElementSize, "STRUCTD", 1), rec(kElementSize, "STRUCTD", 2)}, kElementSize);
  }
  // A design record of file `name`: FILE (stamp 100/200, element stamp 7/8,
  // unique keys from `n`), INITIAL, or ELEMENT number n (element stamp 7/8).
  uint8_t* rec(uint16_t len, const char* name, uint8_t n) {
    uint8_t* r = blank_rec(len, len == kElementSize ? size_t{ELEM_FILE} : 0, name);
    if (len == kFileRecSize)
      st_le32(r, FI_NUMBER, n), st_le32(r, FI_NUMBER2, n), st_le32(r, FI_STAMP, 7), st_le32(r, FI_STAMP + 4, 8),
          st_le32(r, FI_STRUCT, 100), st_le32(r, FI_STRUCT + 4, 200);
    if (len == kElementSize)
      r[5] = '0' + n, st_le32(r, 64, n), st_le32(r, 68, n), st_le32(r, ELEM_STAMP, 7), st_le32(r, ELEM_STAMP + 4, 8);
    return r;
  }
  // Create (and close) the data file `name`; its status.
  uint32_t make(const char* name) {
    test_file t(name);
    return FM_CREATE(&t.fdb, com.sys_scope, 0, LFB_ANY_DIR, 0x0f, 0x0f) ? 0 : t.fdb.fdb_stat;
  }
  // Opens with the design's stamp, or with a descriptor that expects
  // another (a design changed since the file was made).
  uint32_t reopen(const char* name, uint32_t opt = LFB_ANY_DIR, uint32_t stamp = kStampUnknown) {
    test_file t(name);
    t.fdb.fdb_struct_date[0] = stamp;
    if (stamp != kStampUnknown) t.fdb.fdb_struct_date[1] = 200;
    if (!FM_OPEN(&t.fdb, com.sys_scope, opt, 0x0f, 0x0f)) return t.fdb.fdb_stat;
    FM_CLOSE(t.fdb.fdb_arb, 0);
    return 0;
  }
  std::string struct_path(const char* name) const { return data_ + "/DB1/TST/Struct/" + name + ".dat"; }
  std::string struct_bytes(const char* name) const {
    std::ifstream in(struct_path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
};

TEST_F(FmStructFiles, CreateWritesTheDesignRecordsAndStampsSysdir) {
  ASSERT_EQ(make("STRUCTD"), 0u);
  // Golden: the counts (1 INITIAL, 2 ELEMENT), the FILE record, the INITIAL
  // and both ELEMENT records, each zero-filled to a whole record.
  std::string want(std::string("\1\0\0\0\2\0\0\0", 8) + std::string(kStructFileRecLen - 8, '\0'));
  const size_t n = entries_.size();  // the design records were made last
  for (size_t i : {n - 5, n - 3, n - 2, n - 1}) {
    want.append(reinterpret_cast<char*>(entries_[i].data()), entries_[i].size());
    want.append(kStructFileRecLen - entries_[i].size(), '\0');
  }
  EXPECT_EQ(struct_bytes("STRUCTD"), want);
  uint8_t key[16] = {'D', 'B', '1', 'T', 'S', 'T', ' ', ' ', 'S', 'T', 'R', 'U', 'C', 'T', 'D', ' '}, out[kSysdirLen];
  ASSERT_EQ(sa_read_sysdir(key, out), 1);
  EXPECT_EQ(ld_le32(out, SYSDIR_STAMP), 100u);
}

TEST_F(FmStructFiles, OpenChecksTheStampAgainstTheStructureFile) {
  ASSERT_EQ(make("STRUCTD"), 0u);
  EXPECT_EQ(reopen("STRUCTD"), 0u);
  EXPECT_EQ(reopen("STRUCTD", LFB_ANY_DIR, 101), uint32_t{FM_STAMP_DIFF});
  EXPECT_EQ(reopen("STRUCTD", LFB_ANY_DIR | LFB_NO_STRUCT_CHK, 101), 0u);
}

TEST_F(FmStructFiles, MissingStructureFileFailsUnlessDeferred) {
  ASSERT_EQ(make("STRUCTD"), 0u);
  ASSERT_EQ(unlink(struct_path("STRUCTD").c_str()), 0);
  // Expecting another stamp than the entry's, the open must check.
  EXPECT_EQ(reopen("STRUCTD", LFB_ANY_DIR, 101), uint32_t{FM_NO_STRUCT_FILE});
  EXPECT_EQ(reopen("STRUCTD", LFB_ANY_DIR | LFB_DEFER, 101), 0u);
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
