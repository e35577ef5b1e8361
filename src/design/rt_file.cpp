// Create, scratch and path of a data file through its native descriptor.
#include "design/rt_file.h"

#include <cstring>

#include "design/dd_msg.h"
#include "design/mu_xlate.h"
#include "fm/dict_records.h"
#include "fm/fm_open.h"
#include "fm/fm_status.h"
#include "fm/fm_switch.h"
#include "fm/fm_sysadm.h"
#include "fm/struct_file.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"

namespace kivo {

namespace {

struct native_desc {
  FDB fdb;
  KDB kdb[kFileMaxKeys];
  SDB sdb[kMuMaxSegs];
};

// The descriptor from the file's structure when it has one, else from the
// dictionary (mode 1).
bool describe(const FDB_PATH& path, ARB* msg1, ARB* msg2, native_desc* d, int mode) {
  return mu_bld_native_fdb(&d->fdb, d->kdb, d->sdb, path, mode, msg1, msg2) == 1;
}

const char* msg_ap(const FDB_PATH& p) { return memcmp(p.fdb_ap, "0AD", 3) == 0 ? p.fdb_src_ap : p.fdb_ap; }
const char* msg_ver(const FDB_PATH& p) { return memcmp(p.fdb_ap, "0AD", 3) == 0 ? p.fdb_src_ver : p.fdb_ver; }

int filed(uint32_t status, const FDB_PATH& path, ARB* msg1, ARB* msg2) {
  db_err(status ? status : FM_NO_FILE_DEF, path, msg1, msg2);
  return 0;
}

}  // namespace

int rt_create(PCB*, const FDB_PATH& path, ARB* msg1, ARB* msg2, char flag) {
  if (!msg1_start(msg1, msg2, msg_ap(path), msg_ver(path), path.fdb_name)) return 0;
  native_desc d;
  if (!describe(path, msg1, msg2, &d, 1)) return filed(d.fdb.fdb_stat, path, msg1, msg2);
  if (flag == '0') {
    // The structure alone: what the file manager writes when it creates a
    // structure file of the file's path.
    FDB s;
    struct_fdb(&d.fdb, &s);
    if (!FM_CREATE(&s, com.mark_scope, 0, LFB_OPEN_NEW | LFB_ANY_DIR, 0x0f, 0x0f))
      return filed(s.fdb_stat, path, msg1, msg2);
    FM_CLOSE(s.fdb_arb, 0);
    return 1;
  }
  if (!FM_CREATE(&d.fdb, com.mark_scope, 0, LFB_OPEN_NEW | LFB_ANY_DIR, 0x0f, 0x0f))
    return filed(d.fdb.fdb_stat, path, msg1, msg2);
  FM_CLOSE(d.fdb.fdb_arb, 0);
  return 1;
}

int rt_scratch(PCB*, const FDB_PATH& path, ARB* msg1, ARB* msg2) {
  native_desc d;
  if (!describe(path, msg1, msg2, &d, 2) && !describe(path, msg1, msg2, &d, 1))
    return filed(d.fdb.fdb_stat, path, msg1, msg2);
  if (!FM_SCRATCH(&d.fdb, LFB_ANY_DIR)) return filed(d.fdb.fdb_stat, path, msg1, msg2);
  return 1;
}

std::string rt_get_path(PCB*, const FDB_PATH& path, ARB* msg1, ARB* msg2) {
  native_desc d;
  if (!describe(path, msg1, msg2, &d, 1)) return filed(d.fdb.fdb_stat, path, msg1, msg2), std::string();
  std::string os = rt_os_path(d.fdb.path);
  if (os.empty()) return filed(FM_IO_ERR, path, msg1, msg2), std::string();
  return os;
}

std::string rt_os_path(const FDB_PATH& path) {
  uint8_t key[16], sysdir[kSysdirLen];
  memset(key, ' ', sizeof key);
  memcpy(key + SYSDIR_DB, path.fdb_db, 3);
  memcpy(key + SYSDIR_AP, path.fdb_ap, 3);
  memcpy(key + SYSDIR_NAME, path.fdb_name, 8);
  const bool listed = sa_read_sysdir(key, sysdir) == 1;
  const cstr* root = com.path_root.ptr && com.path_root.len && com.path_root.ptr[0] ? &com.path_root : &com.data_dir;
  int st = 0;
  const cstr* p = ss_bld_path(&path, 0, root, listed ? sysdir : nullptr, nullptr, &st);
  return p ? std::string(p->ptr) : std::string();
}

}  // namespace kivo
