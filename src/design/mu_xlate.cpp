// "MU_INIT" and "MU_XLATE": the work area of the runs, and one file carried
// between its native and its portable form, record by record.
//
// Invariants: a portable record is written only when every field converted;
// in replace mode the native file is built under a temporary name and put
// in place only after the last portable record was read and written.
#include "design/mu_xlate.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "design/dd_msg.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/la.h"
#include "fm/whole_file.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/pool.h"
#include "foundation/sys_err.h"
#include "foundation/trace.h"

namespace kivo {

namespace {

POOL* g_pool = nullptr;

void INIT_MSK_FDB(FDB* fdb, KDB* kdb, SDB* sdb) {
  init_sdb_func(sdb, 1, MSK_KEY, 2, SDB_UBINARY, '+');
  INIT_KDB(kdb, 0, '+', 0, sdb, 1);
  INIT_FDB(fdb, FS_MEMORY, kMskSize, 0, kdb, 1);
  INIT_SRC_PATH(&fdb->path, " MU", "00", "MSK", PATH_DATA);
}

}  // namespace

POOL* mu_pool() { return g_pool; }

void mu_forget() { g_pool = nullptr, mu_msk_arb = nullptr; }

int mu_init() {
  if (!g_pool) g_pool = mm_create_pool(" TRAN_POOL ", com.sys_scope);
  if (mu_msk_arb) return 1;
  FDB fdb;
  KDB kdb[1];
  SDB sdb[1];
  INIT_MSK_FDB(&fdb, kdb, sdb);
  if (!FM_CREATE(&fdb, com.sys_scope, 0, LFB_OPEN_NEW | LFB_NO_STRUCT_CHK, 0x0f, 0x0f))
    return checkstat(fdb.fdb_stat, "Bad MSK file create ", "MU", __LINE__), 0;
  mu_msk_arb = fdb.fdb_arb;
  return 1;
}

}  // namespace kivo
