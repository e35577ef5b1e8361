// Addresses from operands, the stamp and report helpers, and compiled-file
// descriptors. Records are read by number through MADDR.
#include "compiler/em_access.h"

#include <cstring>

#include "compiler/inst.h"
#include "foundation/com.h"
#include "foundation/maddr.h"
#include "foundation/text.h"
#include "types/date_mask.h"

namespace kivo {

namespace {

bool blank(const char* p, size_t n) { return ut_is_all(p, ' ', n) || ut_is_all(p, 0, n); }

}  // namespace

uint8_t* INST_RLOC(em_entry at, ARB* inst_arb) {
  if (at.blk == 0 || at.blk == kNoCode || at.off + kInstHead > kInstRecLen) return nullptr;
  uint8_t* blk = MADDR(inst_arb, at.blk);
  return blk ? blk + at.off : nullptr;
}

uint8_t* CNST_RLOC(const EM* em, uint32_t no) {
  if (no >= kComConstBase && no < kComConstBase + kComConstAreaSize)
    return reinterpret_cast<uint8_t*>(&com) + (no - kComConstBase);
  if (no == 0 || no >= kComConstBase || no > em->em_cnst_cnt) return nullptr;
  return MADDR(em->em_cnst_arb, no);
}

bool HAS_RPT_PROC(const EM* em) {
  if (blank(em->em_rpt_nam, sizeof em->em_rpt_nam)) return false;
  return memcmp(em->em_rpt_nam, em->em_proc_nam, sizeof em->em_rpt_nam) != 0 ||
         memcmp(em->em_rpt_ap, em->em_ap, sizeof em->em_rpt_ap) != 0;
}

int STAMP_DATE(std_date* desc, const EM* em, int chg, uint8_t* base) {
  const em_stamp& s = chg ? em->em_chg_stamp : em->em_add_stamp;
  uint32_t mask_no = chg ? em->em_chg_stamp_msk : em->em_add_stamp_msk;
  if (s.off < 0 || !is_date_type(s.type)) return 0;
  *desc = std_date{};
  desc->raw = base + s.off;
  desc->raw_len = s.size;
  desc->type = s.type;
  desc->first = s.first;
  desc->last = s.last;
  desc->h24 = 1;
  bool needs_mask = s.type == DT_TEXT_DOY || s.type == DT_TEXT || s.type == DT_PD_DOY || s.type == DT_PD;
  if (needs_mask) {
    const uint8_t* mask = mask_no ? CNST_RLOC(em, mask_no) : nullptr;
    if (!mask) return 0;
    desc->mask = reinterpret_cast<const char*>(mask);
    desc->mask_len = date_mask_used(desc->mask);
    desc->doy = s.type == DT_TEXT_DOY || s.type == DT_PD_DOY;
  }
  return 1;
}

uint16_t em_cfi_add(EM* em, const FDB& fdb, uint8_t* cfi) {
  uint8_t kd[kInstRecLen], sd[kInstRecLen];
  size_t nsegs = 0;
  for (int k = 0; k < fdb.fdb_nkeys; ++k) {
    const KDB& kdb = fdb.fdb_kdb[k];
    if (nsegs + kdb.kdb_nsegs > kMaxKeySegs) return 0;
    kdb_store(kdb, kd + k * kKdbStoredSize);
    for (int s = 0; s < kdb.kdb_nsegs; ++s) sdb_store(kdb.kdb_sdb[s], sd + (nsegs++) * kSdbStoredSize);
  }
  uint32_t keys = 0;
  if (fdb.fdb_nkeys) {
    keys = em_append(em, EM_KD, kd, static_cast<uint16_t>(fdb.fdb_nkeys * kKdbStoredSize));
    if (!keys || em_append(em, EM_SD, sd, static_cast<uint16_t>(nsegs * kSdbStoredSize)) != keys) return 0;
  }
  uint16_t index = static_cast<uint16_t>(em->em_cfi_cnt + 1);
  fdb_store(fdb, cfi + CFI_FDB);
  st_le16(cfi, CFI_INDEX, index);
  st_le16(cfi, CFI_KEYS, static_cast<uint16_t>(keys));
  cfi[CFI_NKEYS] = fdb.fdb_nkeys;
  if (em_append(em, EM_FI, cfi, CFI_LEN) != index) return 0;
  em->em_cfi_cnt = index;
  em->em_cfi_native = nullptr;  // built for fewer files: em_cfi_load_keys again
  return index;
}

namespace {

// Native keys of one file from its KD and SD records.
bool load_keys(EM* em, const uint8_t* cfi, em_cfi_keys* out) {
  uint16_t rec = ld_le16(cfi, CFI_KEYS);
  uint8_t nkeys = cfi[CFI_NKEYS];
  *out = {nullptr, nullptr, 0, nullptr, cfi};
  if (rec == 0) return nkeys == 0;
  const uint8_t* kd = MADDR(em->em_kdb_arb, rec);
  const uint8_t* sd = MADDR(em->em_sdb_arb, rec);
  if (!kd || !sd || nkeys == 0 || nkeys * kKdbStoredSize > kInstRecLen) return false;
  KDB* kdb = static_cast<KDB*>(MM_ALLOC(em->em_pool, nkeys * sizeof(KDB)));
  SDB* sdb = static_cast<SDB*>(MM_ALLOC(em->em_pool, kMaxKeySegs * sizeof(SDB)));
  if (!kdb || !sdb) return false;
  size_t nsegs = 0;
  for (int k = 0; k < nkeys; ++k) {
    kdb_load(kd + k * kKdbStoredSize, &kdb[k]);
    if (nsegs + kdb[k].kdb_nsegs > kMaxKeySegs) return false;
    kdb[k].kdb_sdb = &sdb[nsegs];
    for (int s = 0; s < kdb[k].kdb_nsegs; ++s, ++nsegs) sdb_load(sd + nsegs * kSdbStoredSize, &sdb[nsegs]);
  }
  *out = {kdb, sdb, nkeys, nullptr, cfi};
  return true;
}

}  // namespace

int em_cfi_load_keys(EM* em) {
  if (!em->em_cfi_cnt) return 1;
  auto* keys = static_cast<em_cfi_keys*>(MM_ALLOC(em->em_pool, em->em_cfi_cnt * sizeof(em_cfi_keys)));
  if (!keys) return 0;
  memset(keys, 0, em->em_cfi_cnt * sizeof(em_cfi_keys));
  em->em_cfi_native = keys;
  uint8_t key[CFI_LEN] = {};
  for (uint32_t i = 1; i <= em->em_cfi_cnt; ++i) {
    st_le16(key, CFI_INDEX, static_cast<uint16_t>(i));
    const uint8_t* cfi = em_read_key(em->em_cfi_arb, kCfiIndexKey, key);
    if (!cfi || ld_le16(cfi, CFI_INDEX) != i || !load_keys(em, cfi, &keys[i - 1])) return 0;
  }
  return 1;
}

const uint8_t* em_cfi_at(EM* em, uint16_t index) {
  if (index == 0 || index > em->em_cfi_cnt) return nullptr;
  if (!em->em_cfi_native && !em_cfi_load_keys(em)) return nullptr;
  return em->em_cfi_native[index - 1].cfi;
}

int em_cfi_desc(EM* em, const uint8_t* cfi, FDB* out) {
  uint16_t index = ld_le16(cfi, CFI_INDEX);
  if (index == 0 || index > em->em_cfi_cnt || !em->em_cfi_native) return 0;
  const em_cfi_keys& k = em->em_cfi_native[index - 1];
  if (k.nkeys != cfi[CFI_NKEYS]) return 0;
  fdb_load(cfi + CFI_FDB, out);
  out->fdb_kdb = k.kdb;
  out->fdb_nkeys = k.nkeys;
  return 1;
}

}  // namespace kivo
