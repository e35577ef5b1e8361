// The default-record caches of the system-administration files: one record
// per cache and the key it was read for, read again only for another key.
//
// Invariant: a failed read clears the cache's key (or, for DATABASE and
// PROFILE, records the key as absent), so no call returns a record that was
// read for another key. pi_hooks entries replace the APPL, DATABASE and
// SYSPARM caches (tests).
#include <cstring>

#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_sysadm.h"
#include "fm/la.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/sysparm_record.h"
#include "process/pi_hooks.h"
#include "process/pi_internal.h"
#include "process/process.h"

namespace kivo {

pi_read_counts pi_reads;

namespace {

constexpr char kModule[] = "PIDFLT";
constexpr uint16_t kUserLen = 436;

using init_fn = void (*)(FDB*, KDB*, SDB*);

struct file_desc {
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
};

// One keyed (or, with relno, numbered) read of a file opened for it and
// closed again; 1 found.
int read_once(file_desc& d, uint8_t* rec, uint16_t len, uint32_t relno, const char* close_text) {
  if (!FM_OPEN(&d.fdb, com.mark_scope, kSaOpts, 1, 15)) return 0;
  ARB* a = d.fdb.fdb_arb;
  PROTO_FULL(a, 0, rec);
  a->arb_len = len;
  a->arb_relno = relno;
  a->arb_mod = relno ? ARB_FIRST : ARB_EQUAL;
  const int found = fm_read(a);
  a->arb_mod = 0;
  if (!FM_CLOSE(a, 0)) checkstat(a->arb_stat, close_text, kModule, __LINE__);
  return found;
}

int read_sa(init_fn init, uint8_t* rec, uint16_t len, const char* close_text) {
  file_desc d;
  init(&d.fdb, d.kdb, d.sdb);
  return read_once(d, rec, len, 0, close_text);
}

// A cache of one record keyed by `klen` bytes at `koff`; `absent` keeps a
// key known to be missing so it is not read again.
struct one_rec {
  uint8_t rec[kProfRecLen];
  uint8_t key[40];
  bool have;
  bool absent;
};

bool same_key(const one_rec& c, const void* key, size_t n) {
  return (c.have || c.absent) && memcmp(c.key, key, n) == 0;
}

one_rec g_ddb, g_ddbxap, g_dprof, g_dusr, g_dap;
uint8_t g_sysparm[kSysparmRecLen];
bool g_sysparm_have;

}  // namespace

void pi_reset_caches() {
  for (one_rec* c : {&g_ddb, &g_ddbxap, &g_dprof, &g_dusr, &g_dap}) c->have = c->absent = false;
  g_sysparm_have = false;
  pi_reads = {};
  pi_reset_lang();
  pi_fproc_forget();
}

const uint8_t* pi_get_dap(const char* ap, const char* ver) { return process_seams.get_dap(ap, ver); }
const uint8_t* pi_get_ddb(const char* db) { return process_seams.get_ddb(db); }
const uint8_t* pi_get_dsysparm() { return process_seams.get_dsysparm(); }

const uint8_t* pi_get_dap_own(const char* ap, const char* ver) {
  char key[5];
  memcpy(key, ap, 3), memcpy(key + 3, ver, 2);
  if (g_dap.have && memcmp(g_dap.key, key, 5) == 0) return g_dap.rec;
  ++pi_reads.dap;
  g_dap.have = sa_read_appl(ap, ver, g_dap.rec);
  memcpy(g_dap.key, key, 5);
  return g_dap.have ? g_dap.rec : nullptr;
}

const uint8_t* pi_get_ddb_own(const char* db) {
  if (!db || is_blank(db, 3)) return nullptr;
  if (same_key(g_ddb, db, 3)) return g_ddb.have ? g_ddb.rec : nullptr;
  ++pi_reads.ddb;
  memcpy(g_ddb.key, db, 3);
  g_ddb.have = sa_read_database(db, g_ddb.rec);
  g_ddb.absent = !g_ddb.have;
  return g_ddb.have ? g_ddb.rec : nullptr;
}

const uint8_t* pi_get_dsysparm_own() {
  if (g_sysparm_have) return g_sysparm;
  ++pi_reads.dsysparm;
  file_desc d;
  INIT_DSYSPARM_FDB(&d.fdb, d.kdb, d.sdb);
  g_sysparm_have = read_once(d, g_sysparm, kSysparmRecLen, 1, "sysparm close failed");
  return g_sysparm_have ? g_sysparm : nullptr;
}

const uint8_t* pi_get_ddbxap(const char* db, const char* ap) {
  if (!db) {
    g_ddbxap.have = false;
    return nullptr;
  }
  char key[6];
  memcpy(key, db, 3), memcpy(key + 3, ap, 3);
  if (g_ddbxap.have && memcmp(g_ddbxap.key, key, 6) == 0) return g_ddbxap.rec;
  ++pi_reads.ddbxap;
  memcpy(g_ddbxap.rec, key, 6);
  g_ddbxap.have = read_sa(INIT_DDBXAP_FDB, g_ddbxap.rec, kDbxapRecLen, "ddbxap close failed");
  memcpy(g_ddbxap.key, key, 6);
  return g_ddbxap.have ? g_ddbxap.rec : nullptr;
}

const uint8_t* pi_get_dparm(const char* ap, const char* ver) {
  static uint8_t rec[kParmRecLen];
  ++pi_reads.dparm;
  file_desc d;
  INIT_DPARM_FDB(&d.fdb, d.kdb, d.sdb, ap, ver);
  return read_once(d, rec, kParmRecLen, 1, "dparm close failed") ? rec : nullptr;
}

const uint8_t* pi_get_dprof(const char* profile, const char* db) {
  char key[33];
  memcpy(key, profile, 30), memcpy(key + 30, db, 3);
  if (same_key(g_dprof, key, 33)) return g_dprof.have ? g_dprof.rec : nullptr;
  ++pi_reads.dprof;
  memcpy(g_dprof.rec, key, 33);
  g_dprof.have = read_sa(INIT_DPROF_FDB, g_dprof.rec, kProfRecLen, "dprof close failed");
  if (!g_dprof.have) {
    // A profile without a record of this database: its blank-database record.
    ++pi_reads.dprof;
    memcpy(g_dprof.rec, profile, 30), memset(g_dprof.rec + 30, ' ', 3);
    g_dprof.have = read_sa(INIT_DPROF_FDB, g_dprof.rec, kProfRecLen, "dprof close failed");
  }
  memcpy(g_dprof.key, key, 33);
  g_dprof.absent = !g_dprof.have;
  return g_dprof.have ? g_dprof.rec : nullptr;
}

const uint8_t* pi_get_dusr(const char* user_id) {
  if (g_dusr.have && memcmp(g_dusr.key, user_id, 3) == 0) return g_dusr.rec;
  ++pi_reads.dusr;
  memcpy(g_dusr.rec, user_id, 3);
  g_dusr.have = read_sa(INIT_DUSR_FDB, g_dusr.rec, kUserLen, "dusr close failed");
  memcpy(g_dusr.key, user_id, 3);
  return g_dusr.have ? g_dusr.rec : nullptr;
}

}  // namespace kivo
