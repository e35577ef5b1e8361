// The stored form of the descriptors, their templates and the generic
// initialisers (see descriptors.h).
#include "foundation/descriptors.h"

#include <cstring>

#include "foundation/bytes.h"

namespace kivo {

FDB fm_fdb;
KDB fm_kdb;
SDB fm_sdb;

void fdb_path_store(const FDB_PATH& path, uint8_t* out) {
  memset(out, 0, FDB_KDB);
  st_le32(out, FDB_TMP_ID, path.fdb_tmp_id);
  memcpy(out + FDB_AP, path.fdb_ap, 3);
  memcpy(out + FDB_VER, path.fdb_ver, 2);
  memcpy(out + FDB_NAME, path.fdb_name, 8);
  memcpy(out + FDB_DB, path.fdb_db, 3);
  memcpy(out + FDB_SRC_AP, path.fdb_src_ap, 3);
  memcpy(out + FDB_SRC_VER, path.fdb_src_ver, 2);
  out[FDB_CLASS] = path.fdb_class;
}

void fdb_path_load(const uint8_t* in, FDB_PATH* path) {
  path->fdb_tmp_id = ld_le32(in, FDB_TMP_ID);
  memcpy(path->fdb_ap, in + FDB_AP, 3);
  memcpy(path->fdb_ver, in + FDB_VER, 2);
  memcpy(path->fdb_name, in + FDB_NAME, 8);
  memcpy(path->fdb_db, in + FDB_DB, 3);
  memcpy(path->fdb_src_ap, in + FDB_SRC_AP, 3);
  memcpy(path->fdb_src_ver, in + FDB_SRC_VER, 2);
  path->fdb_class = in[FDB_CLASS];
}

void fdb_store(const FDB& fdb, uint8_t* out) {
  memset(out, 0, kFdbStoredSize);
  fdb_path_store(fdb.path, out);
  out[FDB_NKEYS] = fdb.fdb_nkeys;
  st_le32(out, FDB_CR_SIZE, fdb.fdb_cr_size);
  st_le16(out, FDB_REC_LEN, fdb.fdb_rec_len);
  out[FDB_VAR] = fdb.fdb_var;
  out[FDB_FMT] = fdb.fdb_fmt;
  out[FDB_FS_TYPE] = fdb.fdb_fs_type;
  out[FDB_ORG] = fdb.fdb_org;
  out[FDB_ACC] = fdb.fdb_acc;
  out[FDB_SHR] = fdb.fdb_shr;
  st_le32(out, FDB_OPT, fdb.fdb_opt);
  st_le32(out, FDB_DATE, fdb.fdb_struct_date[0]);
  st_le32(out, FDB_DATE + 4, fdb.fdb_struct_date[1]);
  st_le32(out, FDB_STAT, fdb.fdb_stat);
  st_le32(out, FDB_STAT2, fdb.fdb_stat2);
}

void fdb_load(const uint8_t* in, FDB* fdb) {
  *fdb = FDB{};
  fdb_path_load(in, &fdb->path);
  fdb->fdb_nkeys = in[FDB_NKEYS];
  fdb->fdb_cr_size = ld_le32(in, FDB_CR_SIZE);
  fdb->fdb_rec_len = ld_le16(in, FDB_REC_LEN);
  fdb->fdb_var = in[FDB_VAR];
  fdb->fdb_fmt = in[FDB_FMT];
  fdb->fdb_fs_type = in[FDB_FS_TYPE];
  fdb->fdb_org = in[FDB_ORG];
  fdb->fdb_acc = in[FDB_ACC];
  fdb->fdb_shr = in[FDB_SHR];
  fdb->fdb_opt = ld_le32(in, FDB_OPT);
  fdb->fdb_struct_date[0] = ld_le32(in, FDB_DATE);
  fdb->fdb_struct_date[1] = ld_le32(in, FDB_DATE + 4);
  fdb->fdb_stat = ld_le32(in, FDB_STAT);
  fdb->fdb_stat2 = ld_le32(in, FDB_STAT2);
}

void kdb_store(const KDB& kdb, uint8_t* out) {
  memset(out, 0, kKdbStoredSize);
  out[KDB_KEYNO] = kdb.kdb_keyno;
  out[KDB_ORDER] = kdb.kdb_order;
  out[KDB_LEN] = kdb.kdb_len;
  out[KDB_FLAGS] = kdb.kdb_flags;
  out[KDB_NSEGS] = kdb.kdb_nsegs;
}

void kdb_load(const uint8_t* in, KDB* kdb) {
  *kdb = KDB{};
  kdb->kdb_keyno = in[KDB_KEYNO];
  kdb->kdb_order = in[KDB_ORDER];
  kdb->kdb_len = in[KDB_LEN];
  kdb->kdb_flags = in[KDB_FLAGS];
  kdb->kdb_nsegs = in[KDB_NSEGS];
}

void sdb_store(const SDB& sdb, uint8_t* out) {
  st_le16(out, SDB_SEGNO, sdb.sdb_segno);
  st_le16(out, SDB_OFFSET, sdb.sdb_offset);
  st_le16(out, SDB_LEN, sdb.sdb_len);
  out[SDB_TYPE] = sdb.sdb_type;
  out[SDB_ORDER] = sdb.sdb_order;
}

void sdb_load(const uint8_t* in, SDB* sdb) {
  sdb->sdb_segno = ld_le16(in, SDB_SEGNO);
  sdb->sdb_offset = ld_le16(in, SDB_OFFSET);
  sdb->sdb_len = ld_le16(in, SDB_LEN);
  sdb->sdb_type = in[SDB_TYPE];
  sdb->sdb_order = in[SDB_ORDER];
}

void INIT_FDB(FDB* fdb, uint8_t fs_type, uint16_t rec_len, uint8_t var, KDB* kdb, uint8_t nkeys) {
  *fdb = fm_fdb;
  fdb->fdb_fs_type = fs_type;
  fdb->fdb_rec_len = rec_len;
  fdb->fdb_var = var;
  fdb->fdb_kdb = kdb;
  fdb->fdb_nkeys = nkeys;
  if (nkeys == 0) fdb->fdb_org = ORG_SEQUENTIAL;
}

void INIT_KDB(KDB* kdb, uint8_t keyno, uint8_t order, uint8_t flags, SDB* sdb, uint8_t nsegs) {
  *kdb = fm_kdb;
  kdb->kdb_keyno = keyno;
  kdb->kdb_order = order;
  kdb->kdb_flags = flags;
  kdb->kdb_sdb = sdb;
  kdb->kdb_nsegs = nsegs;
}

void init_sdb_func(SDB* sdb, uint16_t segno, uint16_t offset, uint16_t length, uint8_t type, uint8_t order) {
  sdb->sdb_segno = segno;
  sdb->sdb_offset = offset;
  sdb->sdb_len = length;
  sdb->sdb_type = type;
  sdb->sdb_order = order;
}

bool IS_BOB_AP(const char* ap) {
  static const char* const kSystemAps[] = {"0AD", "0SU", "0DF", "0SA", "0DB", "SQL", "1LT", "0RG", "0LA"};
  for (const char* s : kSystemAps)
    if (memcmp(ap, s, 3) == 0) return true;
  return false;
}

}  // namespace kivo
