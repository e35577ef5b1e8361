// fp_init: the "0LA" ENTRY memory file of the session, record 1 written, on
// which generated processes hand back their statuses and the watch trigger
// finds the watched field.
#include <cstring>

#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/sys_err.h"
#include "process/fp.h"

namespace kivo {

ARB* ENTRY;

namespace {

// Binary fields of the record; the rest is text, blank.
enum : size_t { ENTRY_WATCH_OCC = 3, ENTRY_STAT1 = 884, ENTRY_STAT2 = 888 };

}  // namespace

void fp_init() {
  ENTRY = nullptr;
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  INIT_ENTRY_FDB(&fdb, kdb, sdb);
  if (!FM_CREATE(&fdb, com.sys_scope, 0, LFB_OPEN_NEW, 0x0f, 0x0f) || !fdb.fdb_arb)
    return sys_err("FP", __LINE__, "fp_init() - ENTRY file create failed");
  static uint8_t rec[kEntryRecLen];
  memset(rec, ' ', sizeof rec);
  st_le16(rec, ENTRY_WATCH_OCC, 0), st_le32(rec, ENTRY_STAT1, 0), st_le32(rec, ENTRY_STAT2, 0);
  ARB* a = fdb.fdb_arb;
  a->arb_keyno = 0, a->arb_relno = 1, a->arb_key = nullptr, a->arb_mod = 0;
  a->arb_rec = rec, a->arb_len = a->arb_var_len = kEntryRecLen;
  if (!fm_write(a)) return sys_err("FP", __LINE__, "fp_init() - ENTRY record 1 write failed (%u)", a->arb_stat);
  ENTRY = a;
}

}  // namespace kivo
