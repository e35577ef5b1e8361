// The module block's life: creation with its pool and sub-files, the stored
// block, and destruction. The sub-file table ties each sub-file to its
// handle field and its descriptor.
#include "compiler/em.h"

#include "compiler/em_item.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "fm/fm_record_cache.h"
#include "foundation/com.h"
#include "foundation/sys_err.h"

namespace kivo {

namespace {

using fdb_init = void (*)(FDB*, KDB*, SDB*);

struct sub_row {
  ARB* EM::*arb;
  fdb_init init;
};

// In em_sub order.
const sub_row kSubs[EM_SUB_COUNT] = {
    {&EM::em_inst_arb, INIT_INST_FDB},     {&EM::em_cnst_arb, em_cnst_fdb},
    {&EM::em_cnv_arb, em_cnv_fdb},         {&EM::em_cfi_arb, em_cfi_fdb},
    {&EM::em_kdb_arb, em_kdb_fdb},         {&EM::em_sdb_arb, em_sdb_fdb},
    {&EM::em_cfld_arb, em_cfld_fdb},       {&EM::em_cap_arb, em_cap_fdb},
    {&EM::em_dlf_arb, em_dlf_fdb},         {&EM::em_cfrm_arb, em_cfrm_fdb},
    {&EM::em_cimg_arb, em_cimg_fdb},       {&EM::em_citm_arb, em_citm_fdb},
    {&EM::em_cchr_arb, em_cchr_fdb},       {&EM::em_cchld_arb, em_cchld_fdb},
    {&EM::em_toc_arb, em_toc_fdb},         {&EM::em_trap_arb, em_trap_fdb},
    {&EM::em_clib_arb, em_clib_fdb},       {&EM::em_qslct_arb, em_em_qslct_fdb},
    {&EM::em_qsort_arb, em_em_qsort_fdb},  {&EM::em_pcf_key_arb, em_pcf_key_fdb},
    {&EM::em_sum_ref_arb, em_sum_ref_fdb}, {&EM::em_ctoken_arb, em_ctoken_fdb},
    {&EM::em_cdlu_arb, em_cdlu_fdb},       {&EM::em_recurse_arb, em_recurse_fdb},
    {&EM::em_scan_arb, em_scan_fdb},       {&EM::em_scan_bud_arb, em_scan_bud_fdb},
};

uint32_t g_serial;  // modules made so far

// The memory of a sub-file is found by its application and name: the tag
// and the module's serial in six base-36 digits make the name unique.
void name_sub(FDB_PATH* p, uint32_t serial) {
  memcpy(p->fdb_name, p->fdb_db + 1, 2);
  for (int i = 7; i >= 2; --i, serial /= 36) p->fdb_name[i] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"[serial % 36];
}

void close_subs(EM* em) {
  for (const sub_row& r : kSubs) {
    ARB*& arb = em->*r.arb;
    if (arb && em_files.close) em_files.close(arb);
    arb = nullptr;
  }
}

}  // namespace

void em_store(const EM& em, uint8_t* out) { memcpy(out, &em, kEmStoredSize); }
void em_load(const uint8_t* in, EM* em) { memcpy(static_cast<void*>(em), in, kEmStoredSize); }

ARB*& em_sub_arb(EM* em, em_sub sub) { return em->*kSubs[sub].arb; }

void em_sub_fdb(em_sub sub, FDB* fdb, KDB* kdb, SDB* sdb) { kSubs[sub].init(fdb, kdb, sdb); }

EM* em_create() {
  POOL* pool = mm_create_pool(nullptr, com.sys_scope);
  if (!pool) return nullptr;
  EM* em = static_cast<EM*>(MM_ALLOC(pool, sizeof(EM)));
  if (!em) {
    mm_destroy_pool(pool);
    return nullptr;
  }
  memset(static_cast<void*>(em), 0, sizeof(EM));
  em->em_pool = pool;
  em->em_format = kEmFormat;
  for (em_entry& e : em->em_ep) e = {kNoCode, 0};
  if (!em_files.create) {
    sys_err("PL", __LINE__, "em_create - module sub-files need the file manager's open");
    em_destroy(em);
    return nullptr;
  }
  ++g_serial;
  for (int s = 0; s < EM_SUB_COUNT; ++s) {
    FDB fdb;
    KDB kdb[kInitMaxKeys];
    SDB sdb[kInitMaxSegs];
    em_sub_fdb(static_cast<em_sub>(s), &fdb, kdb, sdb);
    name_sub(&fdb.path, g_serial);
    ARB* arb = em_files.create(&fdb, com.sys_scope);
    if (!arb) {
      sys_err("PL", __LINE__, "em_create - sub-file %d not created (status %u)", s, fdb.fdb_stat);
      em_destroy(em);
      return nullptr;
    }
    em->*kSubs[s].arb = arb;
  }
  return em;
}

namespace {
std::vector<std::pair<EM*, uint32_t>> g_guarded;  // a module being built and its level
}  // namespace

void em_guard(EM* em) {
  if (em) g_guarded.emplace_back(em, com.mark_scope);
}

void em_unguard(EM* em) {
  std::erase_if(g_guarded, [em](const auto& g) { return g.first == em; });
}

void em_clr_scope(uint32_t level) {
  while (true) {
    auto it = std::find_if(g_guarded.begin(), g_guarded.end(), [level](const auto& g) { return g.second >= level; });
    if (it == g_guarded.end()) return;
    em_destroy(it->first);  // drops the entry
  }
}

void em_destroy(EM* em) {
  if (!em) return;
  em_unguard(em);
  for (uint32_t i = 0; em->em_cfi_native && i < em->em_cfi_cnt; ++i)
    if (em->em_cfi_native[i].dflt_rec) fm_uncache(em->em_cfi_native[i].dflt_rec);  // the use its first area took
  close_subs(em);
  mm_destroy_pool(em->em_pool);  // the block itself lies in it
}

uint32_t em_append(EM* em, em_sub sub, const uint8_t* rec, uint16_t len) {
  ARB* arb = em_sub_arb(em, sub);
  if (!arb || !em_files.append) return 0;
  return em_files.append(arb, rec, len);
}

}  // namespace kivo
