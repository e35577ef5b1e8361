// Compiled-file records: a descriptor stored with its keys in FI, KD and SD
// comes back as a native FDB with key arrays, from the record's current
// bytes, and the file manager makes, opens and reads a memory file and a
// native data file through it.
#include <cstring>
#include <utility>

#include "../fixtures/hook_override.h"
#include "../fm/fm_native_util.h"
#include "compiler/compiler.h"
#include "compiler/em_access.h"
#include "foundation/foundation.h"
#include "foundation/maddr.h"

namespace kivo {
namespace {

class EmCfi : public test::NativeFm {
 protected:
  void SetUp() override {
    NativeFm::SetUp();
    compiler_register_hooks();  // the module files' layout and MADDR's reader
    em_ = em_create();
    ASSERT_NE(em_, nullptr);
  }
  void TearDown() override {
    em_destroy(em_);
    NativeFm::TearDown();
  }
  EM* em_ = nullptr;
};

// 64-byte records; key 0 chars, key 1 binary and chars with duplicates, key 2
// descending packed and unsigned binary.
struct three_keys {
  FDB fdb;
  KDB kdb[3];
  SDB sdb[5];
  explicit three_keys(uint8_t fs) {
    init_sdb_func(&sdb[0], 1, 0, 8, SDB_CHARS, '+');
    init_sdb_func(&sdb[1], 1, 8, 4, SDB_BINARY, '+');
    init_sdb_func(&sdb[2], 2, 0, 8, SDB_CHARS, '+');
    init_sdb_func(&sdb[3], 1, 12, 5, SDB_PACKED, '-');
    init_sdb_func(&sdb[4], 2, 20, 2, SDB_UBINARY, '+');
    INIT_KDB(&kdb[0], 0, '+', 0, &sdb[0], 1);
    INIT_KDB(&kdb[1], 1, '+', KDB_DUP, &sdb[1], 2);
    INIT_KDB(&kdb[2], 2, '-', 0, &sdb[3], 2);
    INIT_FDB(&fdb, fs, 64, 0, kdb, 3);
    if (fs == FS_MEMORY) INIT_TMP_PATH(&fdb.path, "APP", "00", "CFITEST", 0);
    else INIT_DB_PATH(&fdb.path, "DB1", "TST", "00", "CFITEST", PATH_DATA);
  }
};

// The file manager makes the file from the descriptor `made` and opens it a
// second time from `fresh`; a record comes back by each key.
void make_open_and_read(FDB* made, FDB* fresh) {
  uint8_t recs[3][64] = {{"KEY00000"}, {"KEY00001"}, {"KEY00002"}};
  for (int r = 0; r < 3; ++r) {
    recs[r][8] = r < 2 ? 5 : 7;                                                         // key 1 (duplicates)
    memcpy(recs[r] + 12, r == 1 ? "\x00\x00\x00\x12\x3C" : "\x00\x00\x04\x56\x7C", 5);  // key 2, packed
    recs[r][20] = static_cast<uint8_t>(r);
  }
  ASSERT_EQ(FM_CREATE(made, com.sys_scope, 0, LFB_OPEN_NEW | test::kAnyFile, 0x0f, 0x0f), 1) << made->fdb_stat;
  for (auto& r : recs) {
    made->fdb_arb->arb_rec = r, made->fdb_arb->arb_var_len = 64;
    ASSERT_EQ(fm_write(made->fdb_arb), 1) << made->fdb_arb->arb_stat;
  }
  ASSERT_EQ(FM_OPEN(fresh, com.sys_scope, test::kAnyFile, 0x0f, 0x0f), 1) << fresh->fdb_stat;
  ARB* a = fresh->fdb_arb;
  for (auto [keyno, r] : {std::pair{0, 2}, {1, 2}, {1, 0}, {2, 0}, {2, 1}}) {
    uint8_t got[64];
    memcpy(got, recs[r], 64);
    a->arb_rec = got, a->arb_len = 64, a->arb_keyno = static_cast<uint8_t>(keyno), a->arb_mod = ARB_EQUAL;
    ASSERT_EQ(fm_read(a), 1) << keyno << " " << r << " " << a->arb_stat;
    if (keyno == 1 && r == 0) EXPECT_TRUE(!memcmp(got, recs[0], 64) || !memcmp(got, recs[1], 64));
    else EXPECT_EQ(memcmp(got, recs[r], 64), 0) << keyno << " " << r;
  }
  a->arb_mod = 0;
  ASSERT_EQ(FM_CLOSE(a, 0), 1);
  ASSERT_EQ(FM_CLOSE(made->fdb_arb, 0), 1);
}

TEST_F(EmCfi, DescriptorComesBackFromTheRecordsCurrentBytes) {
  EM* m = em_;
  three_keys mem(FS_MEMORY), disk(FS_DISK);
  FDB plain;
  INIT_FDB(&plain, FS_DISK, 100, 1, nullptr, 0);
  uint8_t rec[3][CFI_LEN] = {};
  ASSERT_EQ(em_cfi_add(m, mem.fdb, rec[0]), 1);
  ASSERT_EQ(em_cfi_add(m, disk.fdb, rec[1]), 2);
  ASSERT_EQ(em_cfi_add(m, plain, rec[2]), 3);
  FDB out;
  EXPECT_EQ(em_cfi_desc(m, rec[0], &out), 0) << "keys not built yet";
  ASSERT_EQ(em_cfi_load_keys(m), 1);
  EXPECT_EQ(MADDR(m->em_cfi_arb, 1), nullptr) << "a keyed file read by number";
  EXPECT_TRUE(reported("MADDR - record 1 of a keyed file asked by number"));
  test::captured_errors().clear();
  uint8_t* stored[2];
  for (int i = 0; i < 2; ++i) {
    const FDB& want = i ? disk.fdb : mem.fdb;
    stored[i] = em_read_key(m->em_cfi_arb, kCfiIndexKey, rec[i]);
    stored[i][FDB_ACC] = 0x0F;  // as the executive changes them before an open
    stored[i][FDB_SHR] = 0x03;
    ASSERT_EQ(em_cfi_desc(m, stored[i], &out), 1);
    EXPECT_EQ(out.fdb_acc * 1000 + out.fdb_shr, 0x0F * 1000 + 0x03);
    EXPECT_EQ(out.fdb_rec_len * 10 + out.fdb_fs_type, 640 + want.fdb_fs_type);
    EXPECT_EQ(memcmp(&out.path, &want.path, offsetof(FDB_PATH, fdb_class) + 1), 0);
    FDB fresh;
    ASSERT_EQ(em_cfi_desc(m, stored[i], &fresh), 1);
    make_open_and_read(&out, &fresh);
  }
  EXPECT_EQ(access(path("CFITEST.dat").c_str(), F_OK), 0) << "the native file was made where its path says";
  ASSERT_EQ(em_cfi_desc(m, em_read_key(m->em_cfi_arb, kCfiIndexKey, rec[2]), &out), 1);
  EXPECT_EQ(out.fdb_nkeys * 10 + out.fdb_var, 1);

  // The native keys store back as they came; a file added since the keys were
  // built has none until they are built again.
  uint8_t again[CFI_LEN] = {};
  ASSERT_EQ(em_cfi_desc(m, stored[1], &out), 1);
  ASSERT_EQ(em_cfi_add(m, out, again), 4);
  EXPECT_EQ(memcmp(MADDR(m->em_kdb_arb, 1), MADDR(m->em_kdb_arb, 3), 3 * kKdbStoredSize), 0);
  EXPECT_EQ(memcmp(MADDR(m->em_sdb_arb, 1), MADDR(m->em_sdb_arb, 3), 5 * kSdbStoredSize), 0);
  EXPECT_EQ(em_cfi_desc(m, again, &out), 0);
  ASSERT_EQ(em_cfi_load_keys(m), 1);
  EXPECT_EQ(em_cfi_desc(m, again, &out), 1);

  // No index, past the count, key count changed.
  for (auto [index, nkeys] : {std::pair{0, 3}, {5, 3}, {1, 2}}) {
    memcpy(rec[0], stored[0], CFI_LEN);
    st_le16(rec[0], CFI_INDEX, static_cast<uint16_t>(index));
    rec[0][CFI_NKEYS] = static_cast<uint8_t>(nkeys);
    EXPECT_EQ(em_cfi_desc(m, rec[0], &out), 0) << index;
  }
  // Keys whose segments do not fit one SD record.
  static SDB sdb[16];
  static KDB kdb[16];
  for (auto& sd : sdb) init_sdb_func(&sd, 1, 0, 1, SDB_CHARS, '+');
  for (int k = 0; k < 16; ++k) INIT_KDB(&kdb[k], static_cast<uint8_t>(k), '+', 0, sdb, 16);
  INIT_FDB(&plain, FS_MEMORY, 16, 0, kdb, 16);  // 256 segments
  EXPECT_EQ(em_cfi_add(m, plain, rec[0]), 0);
  plain.fdb_nkeys = 15;  // 240 fit
  EXPECT_EQ(em_cfi_add(m, plain, rec[0]), 5);
}

}  // namespace
}  // namespace kivo
