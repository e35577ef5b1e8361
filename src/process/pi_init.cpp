// The executive's start-up: the invocation template, the sharing tables,
// and the session's work files (SAA, PCB, property cache, hooks).
//
// The work files live at the session level; their handles are the globals
// below, null until pi_init has run.
#include <cstdlib>
#include <cstring>

#include "fm/fm_open.h"
#include "fm/la.h"
#include "foundation/app_date_mask.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/end_codes.h"
#include "foundation/foundation.h"
#include "process/pi.h"
#include "process/pi_hooks.h"
#include "process/pi_pcf.h"
#include "process/process.h"

namespace kivo {

POOL* pi_pool;
ARB* pi_pcb_arb;
ARB* pi_saa_arb[kSaaKinds];
ARB* pi_prop_cache;
ARB* mhook_arb;
uint16_t pi_nxt_family;
uint8_t use_subproc_for_related;
uint8_t access_all_files;

uint8_t saa_pass_tbl[kInvocTypes];
uint8_t saa_rcv_tbl[kRcvClasses];
uint8_t saa_non_shr_tbl[kNonShrCells];

namespace {

constexpr char kPoolName[] = " PIPOOL    ";
constexpr uint32_t kCreateOpts = 2;

// The kinds each invocation type shares, by receive class; every other
// cell of the table is "not shared".
constexpr uint16_t bits(std::initializer_list<int> kinds) {
  uint16_t b = 0;
  for (int k : kinds) b = static_cast<uint16_t>(b | 1u << k);
  return b;
}
constexpr uint16_t kShared[kInvocTypes][kRcvClasses] = {
    {bits({4, 8, 12}), bits({3, 4, 7, 8, 11, 12}), bits({2, 3, 4, 6, 7, 8, 10, 11, 12})},
    {bits({8, 12}), bits({7, 8, 11, 12}), bits({6, 7, 8, 10, 11, 12})},
    {bits({12}), bits({11, 12}), bits({10, 11, 12})},
};

// A session-level memory file; null after the CHECK_FI report.
ARB* create_work(FDB* fdb, const char* title) {
  if (FM_CREATE(fdb, com.sys_scope, 20, kCreateOpts, 15, 15) && fdb->fdb_arb) return fdb->fdb_arb;
  CHECK_FI(0, fdb, title);
  return nullptr;
}

}  // namespace

void pi_fill_invoc() {
  INVOC* b = &pi_invoc;
  memset(b, 0, kInvocSize);
  memset(b->ap_id(), ' ', 3);
  memcpy(b->ver(), "00", 2);
  b->set_proc_type(PT_MENU);
  memset(b->proc_nam(), ' ', kProcNameLen);
  b->set_invoc_type(2);
  b->set_chain_mode(1);
  b->set_interrupt_ok(1);
  memset(b->caller_code(), ' ', 4);
  b->b[INVOC_BYTE_64] = 255;
  b->set_pcf_key_no(255);
  memset(b->rng_ap(), ' ', 3);
  memset(b->rng_nam(), ' ', kProcNameLen);
  memset(b->cnstr_ap(), ' ', 3);
}

bool saa_shared(uint8_t invoc_type, uint8_t rcv_class, uint8_t kind) {
  if (invoc_type >= kInvocTypes || rcv_class >= kRcvClasses || kind >= kSaaKinds) return false;
  return saa_non_shr_tbl[39 * invoc_type + 13 * rcv_class + kind] == 0;
}

void pi_tbl_init() {
  saa_pass_tbl[0] = 0x70, saa_pass_tbl[1] = 0x60, saa_pass_tbl[2] = 0x40;
  saa_rcv_tbl[0] = 0x08, saa_rcv_tbl[1] = 0x0C, saa_rcv_tbl[2] = 0x0E;
  for (int t = 0; t < kInvocTypes; ++t)
    for (int c = 0; c < kRcvClasses; ++c)
      for (int k = 0; k < kSaaKinds; ++k) saa_non_shr_tbl[39 * t + 13 * c + k] = !(kShared[t][c] >> k & 1);
}

int pi_init() {
  pi_pool = mm_create_pool(kPoolName, com.sys_scope);
  pi_fproc_forget();  // a new session looks for every file's process again
  pi_fill_invoc();
  process_start_hooks();
  pi_tbl_init();
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  for (uint8_t k = 0; k < kSaaKinds; ++k) {
    INIT_SAA_FDB(&fdb, kdb, sdb, k, static_cast<uint16_t>(saa_rec_len(kSaaMaxEntries)));
    pi_saa_arb[k] = create_work(&fdb, "pi_init() - bad SAA create");
  }
  INIT_PCB_FDB(&fdb, kdb, sdb, sizeof(PCB));
  pi_pcb_arb = create_work(&fdb, "PCB file creation/open failed");
  use_subproc_for_related = getenv("KIVO_184_IPC") != nullptr;
  access_all_files = getenv("KIVO_ACCESS_ALL_FILES") != nullptr;
  INIT_PROP_CACHE_FDB(&fdb, kdb, sdb, kPropCacheLen);
  pi_prop_cache = create_work(&fdb, "Can't create properties cache");
  INIT_MHOOK_FDB(&fdb, kdb, sdb);
  mhook_arb = FM_CREATE(&fdb, com.sys_scope, 20, kCreateOpts, 15, 15) ? fdb.fdb_arb : nullptr;
  pi_pcf_register();
  return fill_mhook(mhook_arb);
}

}  // namespace kivo
