// The file manager's control files and the check of a descriptor against an
// open physical file.
//
// PFB and LFN are memory files written and read in locate mode: the record
// is the live block, so a read hands back the PFB or LFN itself. Their keys
// hold the back-end's identity, the path and the PFB's number; nothing keyed
// is an address. Opens made before both files exist (the control files'
// own) are entered once both are up.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "fm/fm_open.h"
#include "fm/fm_record_cache.h"
#include "fm/fm_switch.h"
#include "foundation/com.h"
#include "foundation/sys_err.h"

namespace kivo {

uint32_t fm_rlevel;
ARB* fm_cache_arb;

namespace {

// The control files' handles: the first reads by key 0, the second by key 1.
ARB* g_pfb_arb;
ARB* g_pfb_arb2;
ARB* g_lfn_arb;
ARB* g_lfn_arb2;
ARB* g_struct_arb;

constexpr uint32_t kCtlSize = 500;
constexpr uint32_t kStructSize = 40;
constexpr size_t kStructRecLen = 24;
constexpr size_t kStampKey = 13;  // application, version, name
constexpr size_t kStampAt = 16;   // two u32 as the machine keeps them
constexpr size_t kProtoRecLen = 18;

// Exact read in locate mode: the live record, or null.
void* ctl_read(ARB* arb, uint8_t keyno, void* key, uint16_t extra) {
  arb->arb_keyno = keyno;
  if (!fm_slot(arb, &fms_fn::read, ARB_EQUAL | ARB_LOCATE | extra, key)) return nullptr;
  return arb->arb_rec;
}

int ctl_del(ARB* arb, uint8_t keyno, void* key) {
  if (!ctl_read(arb, keyno, key, ARB_HOLD)) return 0;
  return fm_slot(arb, &fms_fn::del, 0, arb->arb_rec);
}

// Reads a control file in key order from its first record, or from `key`
// while the records keep `cmp_len` bytes of it at `cmp_off`.
template <class Fn>
uint32_t ctl_scan(ARB* arb, uint8_t keyno, const uint8_t* key, size_t cmp_off, size_t cmp_len, Fn fn) {
  if (!arb) return 0;
  uint32_t n = 0;
  arb->arb_keyno = keyno;
  if (!fm_slot(arb, &fms_fn::start, key ? 0 : ARB_FIRST, const_cast<uint8_t*>(key))) return 0;
  while (fm_slot(arb, &fms_fn::rdnxt, ARB_LOCATE, nullptr)) {
    if (key && memcmp(arb->arb_rec + cmp_off, key + cmp_off, cmp_len) != 0) break;
    ++n;
    fn(arb->arb_rec);
  }
  return n;
}

uint32_t ctl_count(ARB* arb) {
  return ctl_scan(arb, 0, nullptr, 0, 0, [](uint8_t*) {});
}

void seg(SDB* s, uint16_t no, size_t off, size_t len, uint8_t type) {
  init_sdb_func(s, no, static_cast<uint16_t>(off), static_cast<uint16_t>(len), type, ' ');
}

// Creates one control file open with a second handle when `second` is given.
int ctl_create(void (*init)(FDB*, KDB*, SDB*), uint32_t scope, uint32_t size, ARB** first, ARB** second) {
  FDB fdb;
  KDB kdb[2];
  SDB sdb[10];
  init(&fdb, kdb, sdb);
  if (!FM_CREATE(&fdb, scope, size, LFB_OPEN_NEW, 0x0f, 0)) return 0;
  *first = fdb.fdb_arb;
  if (!second) return 1;
  FAD fad{};
  *second = FM_ATTACH(*first, &fad, scope);
  return *second != nullptr;
}

// Enters the opens made before the control files were up.
void ctl_enter_early() {
  for (auto* p = static_cast<PFB*>(fm_pfb_list.head); p; p = static_cast<PFB*>(p->pfb_all.next)) {
    fm_checkstat(ctl_write_pfb(p), __LINE__, "can't write pfb");
    for (auto* l = static_cast<LFB*>(p->pfb_lfb.head); l; l = static_cast<LFB*>(l->lfb_in_pfb.next))
      if (!ctl_find_lfn(l->lfb_lfn->lfn_path))
        fm_checkstat(ctl_write_lfn(l->lfb_lfn), __LINE__, "can't write LFN record");
  }
}

void init_proto_fdb(FDB* fdb, KDB* kdb, SDB* sdb) {
  INIT_FDB(fdb, FS_MEMORY, kProtoRecLen, 0, kdb, 1);
  INIT_SA_PATH(&fdb->path, "PROTO", PATH_DATA);
  INIT_KDB(kdb, 0, '+', 0, sdb, 4);
  seg(sdb, 1, 0, 3, SDB_CHARS);
  seg(sdb + 1, 2, 3, 2, SDB_CHARS);
  seg(sdb + 2, 3, 5, 8, SDB_CHARS);
  seg(sdb + 3, 4, 13, 1, SDB_CHARS);
}

// A segment of a key of the descriptor agrees with the PFB's copy; a blank
// order counts as its key's.
bool same_seg(const KDB& k, const SDB& s, const SDB& p) {
  uint8_t order = s.sdb_order == ' ' ? k.kdb_order : s.sdb_order;
  return s.sdb_offset == p.sdb_offset && s.sdb_len == p.sdb_len && s.sdb_type == p.sdb_type && order == p.sdb_order;
}

uint32_t key_diff(const KDB& k, const PFB* pfb) {
  if (k.kdb_keyno >= pfb->pfb_keymap_len || pfb->pfb_keymap[k.kdb_keyno] == kKeyUnused) return FM_KEY_NO_DIFF;
  const KDB& p = pfb->pfb_kdb[pfb->pfb_keymap[k.kdb_keyno]];
  if (k.kdb_order != p.kdb_order) return FM_KEY_ORDER_DIFF;
  if (k.kdb_nsegs != p.kdb_nsegs) return FM_NSEGS_DIFF;
  for (int j = 0; j < k.kdb_nsegs; ++j)
    if (!same_seg(k, k.kdb_sdb[j], p.kdb_sdb[j])) return FM_SEG_DIFF;
  return 0;
}

// The descriptor's key-number map must be the PFB's.
bool same_keymap(const FDB* fdb, const PFB* pfb) {
  uint8_t map[256];
  int len = 0;
  memset(map, kKeyUnused, sizeof map);
  for (int i = 0; i < fdb->fdb_nkeys; ++i) {
    map[fdb->fdb_kdb[i].kdb_keyno] = static_cast<uint8_t>(i);
    len = std::max(len, fdb->fdb_kdb[i].kdb_keyno + 1);
  }
  if (fdb->fdb_nkeys == 0) return true;
  return len == pfb->pfb_keymap_len && memcmp(map, pfb->pfb_keymap, len) == 0;
}

uint32_t pfb_diff(const FDB* fdb, const PFB* pfb) {
  if (fdb->fdb_rec_len != pfb->pfb_rec_len) return FM_REC_LEN_DIFF;
  if (fdb->fdb_var != pfb->pfb_var) return FM_VAR_DIFF;
  if (fdb->fdb_fmt != pfb->pfb_fmt) return FM_FMT_DIFF;
  if (fdb->fdb_org != pfb->ORG) return FM_ORG_DIFF;
  if (fdb->fdb_nkeys != pfb->pfb_nkeys) return FM_NKEYS_DIFF;
  for (int i = 0; i < fdb->fdb_nkeys; ++i)
    if (uint32_t st = key_diff(fdb->fdb_kdb[i], pfb)) return st;
  return same_keymap(fdb, pfb) ? 0 : uint32_t{FM_KEY_MAP_DIFF};
}

}  // namespace

int fm_slot(ARB* arb, fms_slot fms_fn::*slot, uint16_t mod, void* rec) {
  STRM* s = arb_strm(arb);
  arb->arb_mod = mod;
  arb->arb_rec = static_cast<uint8_t*>(rec);
  arb->arb_key_end = nullptr;
  return (s->strm_fms->*slot)(arb, s);
}

void fm_checkstat(int ok, int line, const char* text) {
  if (!ok) sys_err("FMFI", line, "%s", text);
}

bool verify_pfb(FDB* fdb, const PFB* pfb) {
  uint32_t st = pfb_diff(fdb, pfb);
  if (st) fdb->fdb_stat = st;
  return st == 0;
}

void INIT_PFB_FDB(FDB* fdb, KDB* kdb, SDB* sdb) {
  INIT_FDB(fdb, FS_MEMORY, sizeof(PFB), 0, kdb, 1);
  INIT_UNIQUE_PATH(&fdb->path, "FM", "PF", PATH_DATA);
  INIT_KDB(kdb, 0, '+', 0, sdb, 2);
  seg(sdb, 1, offsetof(PFB, pfb_id16), 2, SDB_BINARY);
  seg(sdb + 1, 2, offsetof(PFB, pfb_id32), 4, SDB_BINARY);
}

void INIT_LFN_FDB(FDB* fdb, KDB* kdb, SDB* sdb) {
  INIT_FDB(fdb, FS_MEMORY, sizeof(LFN), 0, kdb, 2);
  INIT_UNIQUE_PATH(&fdb->path, "FM", "LF", PATH_DATA);
  constexpr size_t p = offsetof(LFN, lfn_path);
  INIT_KDB(kdb, 0, '+', 0, sdb, 8);
  seg(sdb, 1, p + offsetof(FDB_PATH, fdb_tmp_id), 4, SDB_BINARY);
  seg(sdb + 1, 2, p + offsetof(FDB_PATH, fdb_ap), 3, SDB_CHARS);
  seg(sdb + 2, 3, p + offsetof(FDB_PATH, fdb_ver), 2, SDB_CHARS);
  seg(sdb + 3, 4, p + offsetof(FDB_PATH, fdb_name), 8, SDB_CHARS);
  seg(sdb + 4, 5, p + offsetof(FDB_PATH, fdb_db), 3, SDB_CHARS);
  seg(sdb + 5, 6, p + offsetof(FDB_PATH, fdb_src_ap), 3, SDB_CHARS);
  seg(sdb + 6, 7, p + offsetof(FDB_PATH, fdb_src_ver), 2, SDB_CHARS);
  seg(sdb + 7, 8, p + offsetof(FDB_PATH, fdb_class), 1, SDB_BINARY);
  INIT_KDB(kdb + 1, 1, '+', KDB_DUP, sdb + 8, 1);
  seg(sdb + 8, 1, offsetof(LFN, lfn_pfb_no), 4, SDB_BINARY);
}

void INIT_STRUCT_FDB(FDB* fdb, KDB* kdb, SDB* sdb) {
  INIT_FDB(fdb, FS_MEMORY, kStructRecLen, 0, kdb, 1);
  INIT_UNIQUE_PATH(&fdb->path, "FM", "ST", PATH_DATA);
  INIT_KDB(kdb, 0, '+', 0, sdb, 3);
  seg(sdb, 1, 0, 3, SDB_CHARS);
  seg(sdb + 1, 2, 3, 2, SDB_CHARS);
  seg(sdb + 2, 3, 5, 8, SDB_CHARS);
}

int fm_ctl_init() {
  g_pfb_arb = g_pfb_arb2 = g_lfn_arb = g_lfn_arb2 = g_struct_arb = fm_cache_arb = nullptr;
  fm_cache_reset();
  ARB *pfb = nullptr, *pfb2 = nullptr, *lfn = nullptr, *lfn2 = nullptr;
  fm_checkstat(ctl_create(INIT_PFB_FDB, com.sys_scope, kCtlSize, &pfb, &pfb2), __LINE__, "can't create PFB file");
  fm_checkstat(ctl_create(INIT_LFN_FDB, com.sys_scope, kCtlSize, &lfn, &lfn2), __LINE__, "can't create lfn file");
  if (!pfb || !pfb2 || !lfn || !lfn2) return 0;
  g_pfb_arb = pfb, g_pfb_arb2 = pfb2, g_lfn_arb = lfn, g_lfn_arb2 = lfn2;
  ctl_enter_early();
  fm_checkstat(ctl_create(INIT_STRUCT_FDB, 0, kStructSize, &g_struct_arb, nullptr), __LINE__,
               "can't create cache file");
  FDB proto;
  KDB kdb;
  SDB sdb[4];
  init_proto_fdb(&proto, &kdb, sdb);
  if (!FM_CREATE(&proto, 0, 0, LFB_OPEN_NEW, 0x0f, 0x0f)) {
    fm_checkstat(0, __LINE__, "create failed");
    return 0;
  }
  fm_cache_arb = proto.fdb_arb;
  return 1;
}

bool fm_ctl_ready() { return g_pfb_arb && g_lfn_arb; }

int ctl_get_stamp(const uint8_t* key, uint32_t* stamp) {
  uint8_t rec[kStructRecLen] = {};
  memcpy(rec, key, kStampKey);
  if (!g_struct_arb || !ctl_read(g_struct_arb, 0, rec, 0)) return 0;
  memcpy(stamp, g_struct_arb->arb_rec + kStampAt, 8);
  return 1;
}

int ctl_put_stamp(const uint8_t* key, const uint32_t* stamp) {
  if (!g_struct_arb) return 0;
  uint8_t rec[kStructRecLen] = {};
  memcpy(rec, key, kStampKey);
  memcpy(rec + kStampAt, stamp, 8);
  g_struct_arb->arb_len = g_struct_arb->arb_var_len = kStructRecLen;
  return fm_slot(g_struct_arb, &fms_fn::write, 0, rec);
}

int ctl_write_pfb(PFB* pfb) { return fm_slot(g_pfb_arb, &fms_fn::write, ARB_LOCATE, pfb); }

int ctl_del_pfb(const PFB* pfb) {
  PFB key{};
  key.pfb_id16 = pfb->pfb_id16;
  key.pfb_id32 = pfb->pfb_id32;
  return ctl_del(g_pfb_arb, 0, &key);
}

PFB* ctl_find_pfb(uint16_t id16, uint32_t id32) {
  PFB key{};
  key.pfb_id16 = id16;
  key.pfb_id32 = id32;
  return static_cast<PFB*>(ctl_read(g_pfb_arb, 0, &key, 0));
}

int ctl_write_lfn(LFN* lfn) { return fm_slot(g_lfn_arb, &fms_fn::write, ARB_LOCATE, lfn); }

int ctl_del_lfn(const LFN* lfn) {
  LFN key = *lfn;
  return ctl_del(g_lfn_arb, 0, &key);
}

LFN* ctl_find_lfn(const FDB_PATH& path) {
  LFN key{};
  key.lfn_path = path;
  return static_cast<LFN*>(ctl_read(g_lfn_arb, 0, &key, 0));
}

LFN* ctl_lfn_of(uint32_t pfb_no) {
  LFN key{};
  key.lfn_pfb_no = pfb_no;
  return static_cast<LFN*>(ctl_read(g_lfn_arb2, 1, &key, 0));
}

void ctl_each_pfb(void (*fn)(PFB*, void*), void* ctx) {
  ctl_scan(g_pfb_arb2, 0, nullptr, 0, 0, [&](uint8_t* rec) { fn(reinterpret_cast<PFB*>(rec), ctx); });
}

void ctl_each_lfn(void (*fn)(LFN*, void*), void* ctx) {
  ctl_scan(g_lfn_arb2, 0, nullptr, 0, 0, [&](uint8_t* rec) { fn(reinterpret_cast<LFN*>(rec), ctx); });
}

void ctl_each_lfn_of(uint32_t pfb_no, void (*fn)(LFN*, void*), void* ctx) {
  LFN key{};
  key.lfn_pfb_no = pfb_no;
  ctl_scan(g_lfn_arb2, 1, reinterpret_cast<uint8_t*>(&key), offsetof(LFN, lfn_pfb_no), sizeof key.lfn_pfb_no,
           [&](uint8_t* rec) { fn(reinterpret_cast<LFN*>(rec), ctx); });
}

uint32_t ctl_count_pfb() { return ctl_count(g_pfb_arb); }
uint32_t ctl_count_lfn() { return ctl_count(g_lfn_arb); }

}  // namespace kivo
