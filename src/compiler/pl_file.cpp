// The module file and the debug file of a saved module.
//
// Module file: a disk file of variable records (at most 32767 bytes, no
// key). Record 1: "KVEM", u32 format version, u32 layout hash, the 1348
// stored bytes of the module block. Then per sub-file in em_sub order a
// record {two-letter tag, u16 0} followed by the memory file's record stream
// (its count record, then its records). Debug file: records of at most 16
// bytes: {stamp word 1, stamp word 2, N, M}, the N TO rows, the M TP records.
//
// Invariants: a module is written right after its compile, before it runs,
// so nothing in it is relocated; nothing read from a file is used before
// pl_check_em has passed it.
#include <cstring>

#include "compiler/compiler.h"
#include "compiler/design_records.h"
#include "compiler/em_access.h"
#include "compiler/em_item.h"
#include "compiler/em_records.h"
#include "compiler/inst.h"
#include "compiler/pc.h"
#include "compiler/pl.h"
#include "fm/fm_objects.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/whole_file.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/maddr.h"
#include "foundation/paths.h"
#include "foundation/sys_err.h"
#include "types/cnv.h"

namespace kivo {

namespace {

constexpr char kMagic[4] = {'K', 'V', 'E', 'M'};
// 2: number operands mark a field without sign (kOpndNoSign); files of 1
// would read such a field as signed, so they are compiled again.
constexpr uint32_t kFileVersion = 2;
enum : size_t { MF_MAGIC = 0, MF_VERSION = 4, MF_HASH = 8, MF_BLOCK = 12, kHeadLen = MF_BLOCK + kEmStoredSize };
constexpr uint16_t kModuleRecMax = 32767;
constexpr size_t kTagLen = 4;
constexpr const char* kTags = "INCNCVFIKDSDFLAPLFFRIMITCRCLTOTPLIQLQOPKSRCTDLRCSCSB";
static_assert(sizeof("INCNCVFIKDSDFLAPLFFRIMITCRCLTOTPLIQLQOPKSRCTDLRCSCSB") - 1 == 2 * EM_SUB_COUNT);

void em_stamp_bytes(const EM* em, uint8_t* stamp) {
  st_le32(stamp, 0, em->em_stamp1), st_le32(stamp, 4, em->em_stamp2);
}

// The descriptor of a module (kind 3) or debug (kind 4) file of a stamp.
void file_fdb(FDB* fdb, const char* ap, const char* ver, const uint8_t* stamp, uint8_t kind) {
  INIT_FDB(fdb, FS_DISK, kind == PATH_EM ? kModuleRecMax : kDebugRecMax, 1, nullptr, 0);
  char name[9] = {};
  pl_gen_nam(0, stamp, name);
  char a[4] = {}, v[3] = {};
  memcpy(a, ap, 3), memcpy(v, ver, 2);
  INIT_SRC_PATH(&fdb->path, a, v, name, kind);
}

// A new file in the place of any old one, open for writing at the session level.
ARB* create_file(FDB* fdb) {
  FDB old = *fdb;
  if (FM_OPEN(&old, com.sys_scope, LFB_NO_STRUCT_CHK, 0x0f, 0x0f)) FM_CLOSE(old.fdb_arb, ARB_SCRATCH);
  return FM_CREATE(fdb, com.sys_scope, 0, LFB_OPEN_NEW | LFB_NO_STRUCT_CHK, 0x0f, 0x0f) ? fdb->fdb_arb : nullptr;
}

bool put(ARB* a, const uint8_t* rec, uint16_t len) {
  a->arb_mod = 0, a->arb_rec = const_cast<uint8_t*>(rec), a->arb_len = len, a->arb_var_len = len;
  a->arb_key_end = nullptr;
  return fm_write(a) != 0;
}

// The next record of a file read in order, with its length; null at the end.
const uint8_t* next(ARB* a, uint8_t* buf, uint16_t cap, uint16_t* len) {
  a->arb_rec = buf, a->arb_len = cap, a->arb_mod = 0;
  if (!fm_rdnxt(a)) return nullptr;
  *len = a->arb_var_len ? a->arb_var_len : a->arb_len;
  return buf;
}

bool write_module(EM* em, FDB* fdb) {
  ARB* a = create_file(fdb);
  if (!a) return false;
  uint8_t head[kHeadLen];
  memcpy(head + MF_MAGIC, kMagic, 4);
  st_le32(head, MF_VERSION, kFileVersion);
  st_le32(head, MF_HASH, pl_layout_hash());
  em_store(*em, head + MF_BLOCK);
  head[MF_BLOCK + offsetof(EM, em_cache_state)] = 0;
  bool ok = put(a, head, kHeadLen);
  for (int s = 0; ok && s < EM_SUB_COUNT; ++s) {
    uint8_t tag[kTagLen] = {static_cast<uint8_t>(kTags[2 * s]), static_cast<uint8_t>(kTags[2 * s + 1]), 0, 0};
    ok = put(a, tag, kTagLen) && fm_save_fi(a, em_sub_arb(em, static_cast<em_sub>(s)));
  }
  if (!FM_CLOSE(a, ok ? 0 : ARB_SCRATCH)) ok = false;
  return ok;
}

bool write_debug(EM* em, FDB* fdb) {
  std::vector<pl_dbg_rec> recs;
  if (!pl_debug_records(em, &recs)) return false;
  ARB* a = create_file(fdb);
  if (!a) return false;
  bool ok = true;
  for (const pl_dbg_rec& r : recs)
    if (ok) ok = put(a, r.data(), static_cast<uint16_t>(r.size()));
  if (!FM_CLOSE(a, ok ? 0 : ARB_SCRATCH)) ok = false;
  return ok;
}

// Each sub-file of `em` replaced by the one the stream holds next.
bool read_subs(EM* em, ARB* a) {
  for (int s = 0; s < EM_SUB_COUNT; ++s) {
    uint8_t buf[kTagLen + 4];
    uint16_t len = 0;
    if (!next(a, buf, sizeof buf, &len) || len != kTagLen || buf[0] != kTags[2 * s] || buf[1] != kTags[2 * s + 1] ||
        buf[2] || buf[3])
      return false;
    ARB*& arb = em_sub_arb(em, static_cast<em_sub>(s));
    FDB fdb;
    KDB kdb[kInitMaxKeys];
    SDB sdb[kInitMaxSegs];
    em_sub_fdb(static_cast<em_sub>(s), &fdb, kdb, sdb);
    fdb.path = arb_strm(arb)->strm_lfb->lfb_lfn->lfn_path;
    em_files.close(arb);
    arb = nullptr;
    if (!fm_load_fi(&fdb, a, com.sys_scope)) return false;
    // A sub-file saved empty comes back without a handle: made empty again.
    arb = fdb.fdb_arb ? fdb.fdb_arb : em_files.create(&fdb, com.sys_scope);
    if (!arb) return false;
  }
  return true;
}

bool same_identity(const EM* em, const char* ap, const char* ver, uint8_t type, const char* name, const char* lang,
                   const uint8_t* stamp) {
  return memcmp(em->em_ap, ap, 3) == 0 && memcmp(em->em_ver, ver, 2) == 0 && em->em_proc_type == type &&
         memcmp(em->em_proc_nam, name, 30) == 0 && memcmp(em->em_lang, lang, 3) == 0 &&
         em->em_stamp1 == ld_le32(stamp, 0) && em->em_stamp2 == ld_le32(stamp, 4) && em->em_format == kEmFormat;
}

EM* read_module(ARB* a, const char* ap, const char* ver, uint8_t type, const char* name, const char* lang,
                const uint8_t* stamp, std::string* why) {
  static uint8_t buf[kModuleRecMax];
  uint16_t len = 0;
  if (!next(a, buf, kModuleRecMax, &len) || len != kHeadLen || memcmp(buf, kMagic, 4) != 0 ||
      ld_le32(buf, MF_VERSION) != kFileVersion || ld_le32(buf, MF_HASH) != pl_layout_hash())
    return *why = "header, version or layout hash", nullptr;
  EM* em = em_create();
  if (!em) return *why = "module not created", nullptr;
  em_guard(em);
  em_load(buf + MF_BLOCK, em);
  em->em_cache_state = 0;
  em->em_use_cnt = 0;
  if (!same_identity(em, ap, ver, type, name, lang, stamp)) *why = "another process, language or stamp";
  else if (!read_subs(em, a)) *why = "sub-files";
  else if (pl_check_em(em, why)) return em;
  em_destroy(em);
  return nullptr;
}

}  // namespace

uint32_t pl_layout_hash() {
  // FNV-1a over the native figures a module file depends on.
  uint32_t h = 2166136261u;
  auto mix = [&h](uint32_t v) {
    for (int i = 0; i < 4; ++i, v >>= 8) h = (h ^ (v & 0xFF)) * 16777619u;
  };
  for (uint32_t v :
       {uint32_t{sizeof(CNV)}, uint32_t{sizeof(CITM)}, uint32_t{offsetof(CITM, citm_ap)},
        uint32_t{offsetof(CITM, citm_fld)}, uint32_t{offsetof(CITM, citm_occ)}, uint32_t{offsetof(CITM, citm_elem)},
        uint32_t{offsetof(CITM, citm_itemno)}, uint32_t{kEmStoredSize}, uint32_t{EM_SUB_COUNT}})
    mix(v);
  size_t n = 0;
  for (const op_info* o = op_table(&n); n--; ++o) {
    mix(o->op);
    for (const char* k = o->kinds; *k; ++k) mix(static_cast<uint8_t>(*k));
  }
  return h;
}

void pl_file_fdb(FDB* fdb, const EM* em, uint8_t kind) {
  uint8_t stamp[8];
  em_stamp_bytes(em, stamp);
  file_fdb(fdb, em->em_ap, em->em_ver, stamp, kind);
}

std::string pl_file_name(const EM* em) {
  uint8_t stamp[8];
  em_stamp_bytes(em, stamp);
  char name[9] = {};
  pl_gen_nam(0, stamp, name);
  return name;
}

bool pl_debug_records(const EM* em, std::vector<pl_dbg_rec>* out) {
  out->assign(1, pl_dbg_rec(kDbgHeadLen));
  uint8_t* head = out->front().data();
  st_le32(head, DBG_STAMP1, em->em_stamp1), st_le32(head, DBG_STAMP2, em->em_stamp2);
  st_le32(head, DBG_N, em->em_toc_cnt), st_le32(head, DBG_M, em->em_trap_cnt);
  const std::pair<ARB*, uint32_t> subs[] = {{em->em_toc_arb, em->em_toc_cnt}, {em->em_trap_arb, em->em_trap_cnt}};
  for (const auto& [arb, count] : subs)
    for (uint32_t n = 1; n <= count; ++n) {
      const uint8_t* r = arb ? MADDR(arb, n) : nullptr;
      if (!r) return false;
      out->emplace_back(r, r + TOC_LEN);
    }
  return true;
}

bool pl_read_debug_file(const EM* em, std::vector<pl_dbg_rec>* out) {
  FDB fdb;
  pl_file_fdb(&fdb, em, PATH_DBG);
  if (!FM_OPEN(&fdb, com.mark_scope, LFB_NO_STRUCT_CHK, 0x01, 0x0f)) return false;
  ARB* a = fdb.fdb_arb;
  a->arb_keyno = 0, a->arb_key = nullptr, a->arb_mod = ARB_FIRST;
  out->clear();
  bool ok = fm_start(a) != 0;
  uint8_t buf[kDebugRecMax];
  uint16_t len = 0;
  while (ok && next(a, buf, kDebugRecMax, &len)) out->emplace_back(buf, buf + len);
  // A read that failed part-way leaves the records short: no debug file.
  if (ok && pc_read_failed(a->arb_stat)) ok = false;
  if (!FM_CLOSE(a, 0)) sys_err("DBG", __LINE__, "dbg_init() - Can't close .DBG file");
  return ok;
}

int build_em(EM* em, const uint8_t* process) {
  em->em_dbg_flag = process[PR_SAVE] == '1';
  return 1;
}

int pl_write_module_file(EM* em) {
  FDB mod;
  pl_file_fdb(&mod, em, PATH_EM);
  return write_module(em, &mod);
}

int write_em(EM* em) {
  uint8_t stamp[8];
  em_stamp_bytes(em, stamp);
  FDB dbg;
  file_fdb(&dbg, em->em_ap, em->em_ver, stamp, PATH_DBG);
  const bool ok = pl_write_module_file(em) && write_debug(em, &dbg);
  em->em_saved = ok;
  if (!ok) em->em_dbg_flag = 0;  // the debugger builds its file from TO and TP
  return ok;
}

EM* pl_read_em(const char* ap, const char* ver, uint8_t type, const char* name, const char* lang, const uint8_t* stamp,
               std::string* why) {
  std::string local;
  if (!why) why = &local;
  FDB fdb;
  file_fdb(&fdb, ap, ver, stamp, PATH_EM);
  if (!FM_OPEN(&fdb, com.mark_scope, LFB_NO_STRUCT_CHK, 0x01, 0x0f)) return *why = "no module file", nullptr;
  ARB* a = fdb.fdb_arb;
  a->arb_keyno = 0, a->arb_key = nullptr, a->arb_mod = ARB_FIRST;
  EM* em = fm_start(a) ? read_module(a, ap, ver, type, name, lang, stamp, why) : nullptr;
  FM_CLOSE(a, 0);
  return em;
}

}  // namespace kivo
