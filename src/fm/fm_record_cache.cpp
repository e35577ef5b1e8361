// The record cache (see record_cache.h) and the list of open scoped files.
//
// A cache block is allocated here and written to "PROTO   " in locate
// mode, so the memory file's record is the block itself; the use count is
// changed in place. The INITIAL file of one application is kept open in a
// single handle for the session and reopened when another one is asked for.
#include "fm/fm_record_cache.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "foundation/bytes.h"

namespace kivo {

namespace {

ARB* g_init;  // the INITIAL handle, null when none is open
char g_init_ap[3], g_init_ver[2];

// INITIAL records: a 13-byte key part (file name, kind, sequence), then data.
constexpr size_t kInitNameLen = 8;
constexpr size_t kInitKeyLen = 13;
constexpr uint16_t kUsesSaturated = 0xFFFF;

const uint8_t* fail_cache(FDB* fdb, uint32_t stat, uint32_t stat2 = 0) {
  fdb->fdb_stat = stat;
  fdb->fdb_stat2 = stat2;
  return nullptr;
}

void cache_key(const FDB* fdb, uint8_t kind, uint8_t* key) {
  memcpy(key + CACHE_AP, fdb->path.fdb_ap, 3);
  memcpy(key + CACHE_VER, fdb->path.fdb_ver, 2);
  memcpy(key + CACHE_NAME, fdb->path.fdb_name, 8);
  key[CACHE_KIND] = kind;
}

// The INITIAL file of the descriptor's application and version, opened
// when needed; null with the open's codes in the descriptor.
ARB* init_handle(FDB* fdb) {
  const FDB_PATH& p = fdb->path;
  if (g_init && memcmp(g_init_ap, p.fdb_ap, 3) == 0 && memcmp(g_init_ver, p.fdb_ver, 2) == 0) return g_init;
  if (g_init) fm_checkstat(FM_CLOSE(g_init, 0), __LINE__, "close failed");
  g_init = nullptr;
  char ap[4] = {}, ver[3] = {};
  memcpy(ap, p.fdb_ap, 3);
  memcpy(ver, p.fdb_ver, 2);
  FDB d;
  KDB kdb[kInitMaxKeys];
  SDB sdb[8];
  INIT_DINIT_FDB(&d, kdb, sdb, ap, ver);
  if (!FM_OPEN(&d, 0, LFB_NO_STRUCT_CHK, 0x01, 0x0f)) {
    fail_cache(fdb, d.fdb_stat, d.fdb_stat2);
    return nullptr;
  }
  memcpy(g_init_ap, p.fdb_ap, 3);
  memcpy(g_init_ver, p.fdb_ver, 2);
  return g_init = d.fdb_arb;
}

// Gathers the INITIAL records of (name, kind) into `out` (rec_len bytes):
// 0 when they are all read and add up to exactly rec_len, else the status.
uint32_t gather(ARB* h, const FDB* fdb, uint8_t kind, uint8_t* out) {
  // A start reads its key from a whole record: a remote back-end sends the
  // record's length of it.
  std::vector<uint8_t> rec(std::max<size_t>(kInitKeyLen, arb_pfb(h)->pfb_rec_len), 0);
  uint8_t* key = rec.data();
  memcpy(key, fdb->path.fdb_name, kInitNameLen);
  key[kInitNameLen] = kind;
  h->arb_keyno = 0;
  if (!fm_slot(h, &fms_fn::start, 0, key)) return h->arb_stat;
  size_t have = 0;
  while (fm_slot(h, &fms_fn::rdnxt, ARB_LOCATE, nullptr)) {
    const uint8_t* r = h->arb_rec;
    size_t len = h->arb_var_len ? h->arb_var_len : h->arb_len;
    if (len < kInitNameLen + 1 || memcmp(r, key, kInitNameLen + 1) != 0) break;
    size_t n = len > kInitKeyLen ? len - kInitKeyLen : 0;
    if (n > fdb->fdb_rec_len - have) return FM_BAD_INIT;
    memcpy(out + have, r + kInitKeyLen, n);
    have += n;
  }
  return have == fdb->fdb_rec_len ? 0 : uint32_t{FM_BAD_INIT};
}

// Step 1: the block already cached, its use count raised.
const uint8_t* cache_hit(FDB* fdb, const uint8_t* key) {
  ARB* c = fm_cache_arb;
  c->arb_keyno = 0;
  if (!fm_slot(c, &fms_fn::read, ARB_EQUAL | ARB_LOCATE, const_cast<uint8_t*>(key))) return nullptr;
  uint8_t* blk = c->arb_rec;
  if (ld_le16(blk, CACHE_LEN) != fdb->fdb_rec_len) return fail_cache(fdb, FM_BAD_INIT);
  // A saturated count is never lowered again: the block then stays.
  uint16_t uses = ld_le16(blk, CACHE_USES);
  if (uses != kUsesSaturated) st_le16(blk, CACHE_USES, uint16_t(uses + 1));
  return blk + kCacheHdrSize;
}

}  // namespace

void fm_cache_reset() { g_init = nullptr; }

const uint8_t* fm_cache(FDB* fdb, uint8_t kind) {
  fdb->fdb_stat = fdb->fdb_stat2 = 0;
  // An application id that starts with a blank is the engine's own (module
  // sub-files, control files): it has no design files to look in.
  if ((fdb->fdb_opt & LFB_NO_STRUCT_CHK) || !fm_cache_arb || fdb->path.fdb_ap[0] == ' ') return nullptr;
  uint8_t key[kCacheHdrSize] = {};
  cache_key(fdb, kind, key);
  if (const uint8_t* hit = cache_hit(fdb, key)) return hit;
  if (fdb->fdb_stat) return nullptr;
  ARB* h = init_handle(fdb);
  if (!h) return nullptr;
  auto* blk = static_cast<uint8_t*>(fm_zalloc(kCacheHdrSize + fdb->fdb_rec_len));
  if (uint32_t st = gather(h, fdb, kind == CACHE_INITIAL ? CACHE_INITIAL : CACHE_NULL, blk + kCacheHdrSize)) {
    mm_free(blk);
    return fail_cache(fdb, st, st == FM_BAD_INIT ? 0 : h->arb_stat2);
  }
  memcpy(blk, key, kCacheKeyLen);
  st_le16(blk, CACHE_LEN, fdb->fdb_rec_len);
  st_le16(blk, CACHE_USES, 1);
  if (!fm_slot(fm_cache_arb, &fms_fn::write, ARB_LOCATE, blk)) {
    fm_checkstat(0, __LINE__, "write failed");
    mm_free(blk);
    return fail_cache(fdb, fm_cache_arb->arb_stat, fm_cache_arb->arb_stat2);
  }
  return blk + kCacheHdrSize;
}

int fm_uncache(const uint8_t* ref) {
  if (!ref || !fm_cache_arb) return 1;
  uint8_t* blk = const_cast<uint8_t*>(ref) - kCacheHdrSize;
  uint8_t key[kCacheHdrSize];
  memcpy(key, blk, kCacheHdrSize);
  ARB* c = fm_cache_arb;
  c->arb_keyno = 0;
  if (!fm_slot(c, &fms_fn::read, ARB_EQUAL | ARB_HOLD | ARB_LOCATE, key)) {
    fm_checkstat(0, __LINE__, "fm_uncache() - read failed");
    return 1;
  }
  uint16_t uses = ld_le16(blk, CACHE_USES);
  if (uses == kUsesSaturated || uses > 1) {
    if (uses != kUsesSaturated) st_le16(blk, CACHE_USES, uint16_t(uses - 1));
    fm_slot(c, &fms_fn::release, 0, blk);
    return 1;
  }
  fm_checkstat(fm_slot(c, &fms_fn::del, ARB_LOCATE, blk), __LINE__, "fm_uncache() - delete failed");
  mm_free(blk);
  return 1;
}

namespace {

struct fis_walk {
  ARB* out;
  uint8_t rec[kFdbStoredSize];
};

bool blank(const char* p, size_t n) {
  return std::all_of(p, p + n, [](char c) { return c == ' '; });
}

// Writes the record, replacing one with the same key.
void put_fis(ARB* out, uint8_t* rec) {
  out->arb_len = kFdbStoredSize;
  out->arb_rec = rec;
  out->arb_mod = 0;
  out->arb_var_len = 0;
  if (fm_write(out) || out->arb_stat != FM_DUP_KEY) return;
  uint8_t key[kFdbStoredSize];
  memcpy(key, rec, sizeof key);
  out->arb_rec = key;
  out->arb_mod = ARB_EQUAL | ARB_HOLD;
  fm_checkstat(fm_read(out), __LINE__, "can't find tmp fdb");
  fm_checkstat(fm_del(out), __LINE__, "can't delete tmp fdb");
  out->arb_rec = rec;
  out->arb_mod = 0;
  fm_checkstat(fm_write(out), __LINE__, "can't replace tmp fdb");
}

void fis_one(LFN* lfn, void* ctx) {
  auto* w = static_cast<fis_walk*>(ctx);
  const PFB* pfb = lfn->lfn_pfb;
  const FDB_PATH& p = lfn->lfn_path;
  if (!pfb || !pfb->pfb_owner_scope || p.fdb_class != PATH_DATA || p.fdb_ap[0] == ' ') return;
  if (p.fdb_db[0] == ' ' && !blank(p.fdb_db, sizeof p.fdb_db)) return;
  static FDB d;
  d = FDB{};
  d.path = p;
  d.fdb_kdb = pfb->pfb_kdb;
  d.fdb_nkeys = uint8_t(pfb->pfb_nkeys);
  d.fdb_rec_len = pfb->pfb_rec_len;
  d.fdb_var = pfb->pfb_var;
  d.fdb_fs_type = pfb->TYPE;
  d.fdb_org = pfb->ORG;
  d.fdb_fmt = pfb->pfb_fmt;
  d.fdb_acc = 0x01;
  d.fdb_shr = 0x0f;
  d.fdb_opt = LFB_SCOPED | LFB_NO_STRUCT_CHK | LFB_ANY_DIR;
  d.fdb_struct_date[0] = pfb->pfb_stamp[0];
  d.fdb_struct_date[1] = pfb->pfb_stamp[1];
  fdb_store(d, w->rec);
  put_fis(w->out, w->rec);
}

}  // namespace

int fm_find_fis(ARB* arb) {
  fis_walk w{arb, {}};
  uint8_t* rec = arb->arb_rec;
  const uint16_t len = arb->arb_len;
  ctl_each_lfn(fis_one, &w);
  arb->arb_rec = rec;
  arb->arb_len = len;
  arb->arb_keyno = 0;
  arb->arb_mod = ARB_FIRST;
  return fm_start(arb);
}

}  // namespace kivo
