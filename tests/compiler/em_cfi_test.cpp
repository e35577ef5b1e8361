// Compiled-file records: a descriptor stored with its keys in FI, KD and SD
// comes back as a native FDB with key arrays, from the record's current
// bytes.
#include <cstring>
#include <utility>

#include "compiler/em_access.h"
#include "em_test_util.h"

namespace kivo {
namespace {

class EmCfi : public test::EmFixture {};

TEST_F(EmCfi, DescriptorComesBackFromTheRecordsCurrentBytes) {
  EM* m = module();
  struct {
    FDB fdb;
    KDB kdb[3];
    SDB sdb[5];
  } f;
  init_sdb_func(&f.sdb[0], 1, 0, 8, SDB_CHARS, '+');
  init_sdb_func(&f.sdb[1], 1, 8, 4, SDB_BINARY, '+');
  init_sdb_func(&f.sdb[2], 2, 0, 8, SDB_CHARS, '+');
  init_sdb_func(&f.sdb[3], 1, 12, 5, SDB_PACKED, '-');
  init_sdb_func(&f.sdb[4], 2, 20, 2, SDB_UBINARY, '+');
  INIT_KDB(&f.kdb[0], 0, '+', 0, &f.sdb[0], 1);
  INIT_KDB(&f.kdb[1], 1, '+', KDB_DUP, &f.sdb[1], 2);
  INIT_KDB(&f.kdb[2], 2, '-', 0, &f.sdb[3], 2);
  INIT_FDB(&f.fdb, FS_MEMORY, 64, 0, f.kdb, 3);
  INIT_UNIQUE_PATH(&f.fdb.path, "CF", "T1", PATH_DATA);
  FDB plain;
  INIT_FDB(&plain, FS_DISK, 100, 1, nullptr, 0);
  uint8_t rec[CFI_LEN] = {}, rec2[CFI_LEN] = {};
  ASSERT_EQ(em_cfi_add(m, f.fdb, rec), 1);
  ASSERT_EQ(em_cfi_add(m, plain, rec2), 2);
  FDB out;
  EXPECT_EQ(em_cfi_desc(m, rec, &out), 0) << "keys not built yet";
  ASSERT_EQ(em_cfi_load_keys(m), 1);
  uint8_t* stored = MADDR(m->em_cfi_arb, 1);
  stored[FDB_FS_TYPE] = FS_DISK;  // as the executive changes it before an open
  stored[FDB_ACC] = 0x0F;
  ASSERT_EQ(em_cfi_desc(m, stored, &out), 1);
  EXPECT_EQ(out.fdb_fs_type, FS_DISK);
  EXPECT_EQ(out.fdb_acc, 0x0F);
  EXPECT_EQ(out.fdb_rec_len, 64);
  EXPECT_EQ(memcmp(&out.path, &f.fdb.path, sizeof(FDB_PATH)), 0);
  uint8_t again[CFI_LEN] = {};  // the native keys store back as they came
  ASSERT_EQ(em_cfi_add(m, out, again), 3);
  EXPECT_EQ(memcmp(MADDR(m->em_kdb_arb, 1), MADDR(m->em_kdb_arb, 2), 3 * kKdbStoredSize), 0);
  EXPECT_EQ(memcmp(MADDR(m->em_sdb_arb, 1), MADDR(m->em_sdb_arb, 2), 5 * kSdbStoredSize), 0);
  ASSERT_EQ(em_cfi_desc(m, MADDR(m->em_cfi_arb, 2), &out), 1);
  EXPECT_EQ(out.fdb_nkeys, 0);
  EXPECT_EQ(out.fdb_var, 1);

  // No index, past the count, key count changed.
  for (auto [index, nkeys] : {std::pair{0, 3}, {4, 3}, {1, 2}}) {
    memcpy(rec, stored, CFI_LEN);
    st_le16(rec, CFI_INDEX, static_cast<uint16_t>(index));
    rec[CFI_NKEYS] = static_cast<uint8_t>(nkeys);
    EXPECT_EQ(em_cfi_desc(m, rec, &out), 0) << index;
  }
  // Keys whose segments do not fit one SD record.
  static SDB sdb[16];
  static KDB kdb[16];
  for (auto& sd : sdb) init_sdb_func(&sd, 1, 0, 1, SDB_CHARS, '+');
  for (int k = 0; k < 16; ++k) INIT_KDB(&kdb[k], static_cast<uint8_t>(k), '+', 0, sdb, 16);
  INIT_FDB(&plain, FS_MEMORY, 16, 0, kdb, 16);  // 256 segments
  EXPECT_EQ(em_cfi_add(m, plain, rec), 0);
  plain.fdb_nkeys = 15;  // 240 fit
  EXPECT_EQ(em_cfi_add(m, plain, rec), 4);
}

}  // namespace
}  // namespace kivo
