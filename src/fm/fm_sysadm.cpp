// The system administration files (see fm_sysadm.h). Records are read by
// their whole key with an exact read; every key lies at the head of its
// record as the key is laid out, so the key bytes go straight into the
// record area.
#include "fm/fm_sysadm.h"

#include <cstring>

#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_switch.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"

namespace kivo {

fm_sa_hook_table fm_sa_hooks;

namespace {

enum { SA_SYSDIR, SA_SYSDFLT, SA_APPL, SA_DATABASE, kSaFiles };
ARB* g_sa[kSaFiles];

constexpr uint32_t kSysdirOpts = LFB_NO_STRUCT_CHK | LFB_NOT_REQUIRED | LFB_DEFER;
constexpr uint32_t kOtherOpts = kSysdirOpts | LFB_ANY_DIR;

int open_sa(int which, void (*init)(FDB*, KDB*, SDB*), uint32_t opts) {
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  init(&fdb, kdb, sdb);
  int ok = FM_OPEN(&fdb, com.sys_scope, opts, 0x0f, 0x0f);
  fm_checkstat(ok, __LINE__, "open failed");
  g_sa[which] = ok ? fdb.fdb_arb : nullptr;
  return ok;
}

// Exact read of the record whose key is already at the head of `rec`.
int read_exact(int which, uint8_t* rec, uint16_t len, uint16_t hold = 0) {
  ARB* a = g_sa[which];
  if (!a) return 0;
  a->arb_rec = rec;
  a->arb_len = len;
  a->arb_keyno = 0;
  a->arb_key = nullptr;
  a->arb_key_end = nullptr;
  a->arb_mod = ARB_EQUAL | hold;
  a->arb_lock_wait = 0;
  int r = fm_read(a);
  a->arb_mod = 0;
  return r;
}

}  // namespace

int sa_read_sysdir(const uint8_t* key, uint8_t* rec) {
  memset(rec, ' ', kSysdirLen);
  memcpy(rec, key, 16);
  return read_exact(SA_SYSDIR, rec, kSysdirLen);
}

int sa_read_sysdflt(const uint8_t* key, uint8_t* rec) {
  memset(rec, ' ', kSysdfltLen);
  memcpy(rec, key, SYSDFLT_CHECK);
  return read_exact(SA_SYSDFLT, rec, kSysdfltLen);
}

int sa_read_appl(const char* ap, const char* ver, uint8_t* rec) {
  memset(rec, ' ', kApplRecLen);
  memcpy(rec + APPL_AP, ap, 3);
  memcpy(rec + APPL_VER, ver, 2);
  return read_exact(SA_APPL, rec, kApplRecLen);
}

int sa_read_database(const char* db, uint8_t* rec) {
  memset(rec, ' ', kDatabaseRecLen);
  memcpy(rec, db, 3);
  return read_exact(SA_DATABASE, rec, kDatabaseRecLen);
}

uint32_t sa_update_stamp(const uint8_t* key, uint32_t stamp0, uint32_t stamp1) {
  ARB* a = g_sa[SA_SYSDIR];
  uint8_t rec[kSysdirLen];
  memset(rec, ' ', kSysdirLen);
  memcpy(rec, key, 16);
  if (!a || !read_exact(SA_SYSDIR, rec, kSysdirLen, ARB_HOLD)) return 0;
  if (ld_le32(rec, SYSDIR_STAMP) == stamp0 && ld_le32(rec, SYSDIR_STAMP + 4) == stamp1) {
    fm_release(a);
    return 0;
  }
  st_le32(rec, SYSDIR_STAMP, stamp0);
  st_le32(rec, SYSDIR_STAMP + 4, stamp1);
  a->arb_rec = rec;
  a->arb_var_len = kSysdirLen;
  return fm_rewrite(a) ? 0 : a->arb_stat;
}

int fm_sysadm_init() {
  for (ARB*& a : g_sa) a = nullptr;
  com.dap_stream = nullptr;
  if (!fms_table(FMS_NATIVE)) return 1;
  open_sa(SA_SYSDIR, INIT_DSYSDIR_FDB, kSysdirOpts);
  open_sa(SA_SYSDFLT, INIT_DSYSDFLT_FDB, kOtherOpts);
  int ok = open_sa(SA_APPL, INIT_DAP_FDB, kOtherOpts);
  ok = open_sa(SA_DATABASE, INIT_DDB_FDB, kOtherOpts) && ok;
  com.dap_stream = g_sa[SA_APPL];
  fms_select.read_sysdir = sa_read_sysdir;
  fms_select.read_sysdflt = sa_read_sysdflt;
  fms_select.get_dap = fm_sa_hooks.get_dap;
  fms_select.get_ddb = fm_sa_hooks.get_ddb;
  return ok;
}

}  // namespace kivo
