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
  INIT_TMP_PATH(&f.fdb.path, "APP", "00", "CFITEST", 0);
  FDB plain;
  INIT_FDB(&plain, FS_DISK, 100, 1, nullptr, 0);
  uint8_t rec[CFI_LEN] = {}, rec2[CFI_LEN] = {};
  ASSERT_EQ(em_cfi_add(m, f.fdb, rec), 1);
  ASSERT_EQ(em_cfi_add(m, plain, rec2), 2);
  FDB out;
  EXPECT_EQ(em_cfi_desc(m, rec, &out), 0) << "keys not built yet";
  ASSERT_EQ(em_cfi_load_keys(m), 1);
  uint8_t* stored = em_read_key(m->em_cfi_arb, kCfiIndexKey, rec);
  EXPECT_EQ(MADDR(m->em_cfi_arb, 1), nullptr) << "a keyed file read by number";
  stored[FDB_ACC] = 0x0F;  // as the executive changes them before an open
  stored[FDB_SHR] = 0x03;
  ASSERT_EQ(em_cfi_desc(m, stored, &out), 1);
  EXPECT_EQ(out.fdb_acc, 0x0F);
  EXPECT_EQ(out.fdb_shr, 0x03);
  EXPECT_EQ(out.fdb_rec_len, 64);
  EXPECT_EQ(memcmp(&out.path, &f.fdb.path, offsetof(FDB_PATH, fdb_class) + 1), 0);
  uint8_t again[CFI_LEN] = {};  // the native keys store back as they came
  ASSERT_EQ(em_cfi_add(m, out, again), 3);
  EXPECT_EQ(memcmp(MADDR(m->em_kdb_arb, 1), MADDR(m->em_kdb_arb, 2), 3 * kKdbStoredSize), 0);
  EXPECT_EQ(memcmp(MADDR(m->em_sdb_arb, 1), MADDR(m->em_sdb_arb, 2), 5 * kSdbStoredSize), 0);

  // The file manager makes the file from the descriptor and opens it a second
  // time from a fresh one; a record comes back by each key.
  uint8_t recs[3][64] = {{"KEY00000"}, {"KEY00001"}, {"KEY00002"}};
  for (int r = 0; r < 3; ++r) {
    recs[r][8] = r < 2 ? 5 : 7;                                                         // key 1 (duplicates)
    memcpy(recs[r] + 12, r == 1 ? "\x00\x00\x00\x12\x3C" : "\x00\x00\x04\x56\x7C", 5);  // key 2, packed
    recs[r][20] = static_cast<uint8_t>(r);
  }
  ASSERT_EQ(FM_CREATE(&out, com.sys_scope, 0, LFB_OPEN_NEW, 0x0f, 0x0f), 1) << out.fdb_stat;
  for (auto& r : recs) ASSERT_NE(em_files.append(out.fdb_arb, r, 64), 0u);
  FDB again_fdb;
  ASSERT_EQ(em_cfi_desc(m, stored, &again_fdb), 1);
  ASSERT_EQ(FM_OPEN(&again_fdb, com.sys_scope, 0, 0x0f, 0x0f), 1) << again_fdb.fdb_stat;
  for (auto [keyno, r] : {std::pair{0, 2}, {1, 2}, {1, 0}, {2, 0}, {2, 1}}) {
    const uint8_t* got = em_read_key(again_fdb.fdb_arb, static_cast<uint8_t>(keyno), recs[r]);
    ASSERT_NE(got, nullptr) << keyno << " " << r;
    if (keyno == 1 && r == 0) EXPECT_TRUE(!memcmp(got, recs[0], 64) || !memcmp(got, recs[1], 64));
    else EXPECT_EQ(memcmp(got, recs[r], 64), 0) << keyno << " " << r;
  }
  ASSERT_EQ(FM_CLOSE(again_fdb.fdb_arb, 0), 1);
  ASSERT_EQ(FM_CLOSE(out.fdb_arb, ARB_SCRATCH), 1);
  ASSERT_EQ(em_cfi_desc(m, em_read_key(m->em_cfi_arb, kCfiIndexKey, rec2), &out), 1);
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
