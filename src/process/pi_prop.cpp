// Object properties in the ATRIBUTE design files: the file of an
// application, of a database and application, or of "0SA", opened once per
// run and kept in the property cache; get, put, delete and move.
//
// Invariant: every ATRIBUTE file is opened at most once per run: the cache
// write cannot fail on the requester's word (key 1 allows duplicates).
#include <cstring>

#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "process/pi.h"
#include "process/pi_hooks.h"
#include "process/pi_internal.h"

namespace kivo {

namespace {

struct prop_rec {
  uint8_t b[kPropRecLen];
};

// A record image keyed by (type, key padded with blanks, name).
void prop_key(prop_rec& r, const char* type, const char* key, size_t key_len, const char* name) {
  memset(r.b, ' ', sizeof r.b);
  memcpy(r.b + PROP_TYPE, type, 8);
  memcpy(r.b + PROP_KEY, key, key_len < kPropKeyLen ? key_len : kPropKeyLen);
  memcpy(r.b + PROP_NAME, name, kPropNameLen);
}

int read_prop(ARB* a, prop_rec& r, uint16_t mod) {
  PROTO_FULL(a, 0, r.b);
  a->arb_len = kPropRecLen;
  a->arb_mod = mod;
  int ok = fm_read(a);
  a->arb_mod = 0;
  return ok;
}

void prop_path(FDB* fdb, const char* ap, const char* ver, const char* db) {
  char a[4] = {}, v[3] = {}, d[4] = {};
  memcpy(a, ap, 3), memcpy(v, ver, 2), memcpy(d, db, 3);
  if (memcmp(ap, "0SA", 3) == 0) return;  // the system-administration path of the initialiser
  if (is_blank(db, 3)) INIT_SRC_PATH(&fdb->path, a, v, "ATRIBUTE", PATH_DATA);
  else INIT_DB_PATH(&fdb->path, d, a, v, "ATRIBUTE", PATH_DATA);
}

}  // namespace

ARB* pi_get_prop_arb(const char* ap, const char* ver, const char* db, uint32_t owner) {
  if (!pi_prop_cache) return nullptr;
  uint8_t c[kPropCacheLen] = {};
  memcpy(c + PRC_AP, ap, 3), memcpy(c + PRC_VER, ver, 2), memcpy(c + PRC_DB, db, 3);
  PROTO_FULL(pi_prop_cache, 0, c);
  pi_prop_cache->arb_len = kPropCacheLen;
  pi_prop_cache->arb_mod = ARB_EQUAL;
  if (fm_read(pi_prop_cache)) {
    ARB* a;
    memcpy(&a, c + PRC_ARB, sizeof a);
    return a;
  }
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  INIT_DPROP_FDB(&fdb, kdb, sdb);
  prop_path(&fdb, ap, ver, db);
  if (!FM_OPEN(&fdb, com.sys_scope, kSaOpts, 15, 15)) return nullptr;
  memcpy(c + PRC_OWNER, &owner, 4);
  memcpy(c + PRC_ARB, &fdb.fdb_arb, sizeof fdb.fdb_arb);
  PROTO_FULL(pi_prop_cache, 0, c);
  pi_prop_cache->arb_len = pi_prop_cache->arb_var_len = kPropCacheLen;
  pi_prop_cache->arb_mod = 0;
  fm_write(pi_prop_cache);
  return fdb.fdb_arb;
}

int pi_get_prop(ARB* a, const char* type, const char* key, size_t key_len, const char* name, uint8_t* out) {
  memset(out, ' ', kPropValueLen);
  if (!a) return 0;
  prop_rec r;
  prop_key(r, type, key, key_len, name);
  if (!read_prop(a, r, ARB_EQUAL)) return 0;
  memcpy(out, r.b + PROP_VALUE, kPropValueLen);
  return 1;
}

int pi_put_prop(ARB* a, const char* type, const char* key, size_t key_len, const char* name, const uint8_t* value) {
  if (!a) return 0;
  if (is_blank(value, kPropValueLen)) return pi_del_prop(a, type, key, key_len, name);
  prop_rec r;
  prop_key(r, type, key, key_len, name);
  const bool found = read_prop(a, r, ARB_EQUAL | ARB_HOLD);
  if (!found) prop_key(r, type, key, key_len, name);
  memcpy(r.b + PROP_VALUE, value, kPropValueLen);
  PROTO_FULL(a, 0, r.b);
  a->arb_len = a->arb_var_len = kPropRecLen;
  a->arb_mod = 0;
  return found ? fm_rewrite(a) : fm_write(a);
}

int pi_del_prop(ARB* a, const char* type, const char* key, size_t key_len, const char* name) {
  if (!a) return 0;
  prop_rec r;
  prop_key(r, type, key, key_len, name);
  if (!read_prop(a, r, ARB_EQUAL | ARB_HOLD)) return a->arb_stat == FM_NOT_FOUND;
  return fm_del(a);
}

int pi_move_prop(ARB* a, const char* type, const char* new_key, size_t key_len, const char* name, const char* old_key) {
  if (!a) return 0;
  if (key_len > kPropKeyLen) key_len = kPropKeyLen;
  // A rewritten record moves to its new key, so each round starts again at
  // the old key and takes the first record still under it.
  for (;;) {
    prop_rec r;
    prop_key(r, type, old_key, key_len, name);
    PROTO_FULL(a, 0, r.b);
    a->arb_len = kPropRecLen;
    a->arb_mod = 0;
    if (!fm_start(a)) return 1;
    PROTO_FULL(a, 0, r.b);
    a->arb_len = kPropRecLen;
    a->arb_mod = ARB_HOLD;
    const bool more =
        fm_rdnxt(a) && memcmp(r.b + PROP_TYPE, type, 8) == 0 && memcmp(r.b + PROP_KEY, old_key, key_len) == 0;
    a->arb_mod = 0;
    if (!more) {
      fm_release(a);
      return 1;
    }
    memcpy(r.b + PROP_KEY, new_key, key_len);
    if (!fm_rewrite(a)) return 0;
  }
}

int pi_get_sa_prop(const char* type, const char* key, size_t key_len, const char* name, uint8_t* out, size_t out_len) {
  ARB* a = pi_get_prop_arb("0SA", "00", "   ", com.sys_scope);
  uint8_t v[kPropValueLen];
  const int found = pi_get_prop(a, type, key, key_len, name, v);
  memcpy(out, v, out_len < kPropValueLen ? out_len : kPropValueLen);
  return found;
}

}  // namespace kivo
