// Process hooks that replace one process by another for a database or a
// user, and the process language.
//
// Invariant: the hook memory file holds only active hooks of this user (or
// of every user), loaded once at start-up; hook_proc tries its four keys in
// a fixed order and applies the first hook found.
#include <cstring>

#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "process/pi.h"
#include "process/pi_hooks.h"
#include "process/pi_internal.h"

namespace kivo {

namespace {

constexpr size_t kLangLen = 3;
constexpr size_t kNextLang = 664;  // area 7: a language for the next process, used once
constexpr size_t kWorkLang = offsetof(PCB, pcb_lang);

bool hook_is_mine(const uint8_t* h) {
  return h[HOOK_ACTIVE] == '1' && (is_blank(h + HOOK_USER, 3) || memcmp(h + HOOK_USER, com.user_id, 3) == 0);
}

// A language property: `len` bytes read once, then given from the cache.
struct lang_cache {
  char key[8];
  char lang[kLangLen];
  bool read;
};

// The property value of (type, key) in the "0SA" ATRIBUTE file, its first
// three bytes.
bool lang_prop(lang_cache& c, const char* type, const char* key, size_t key_len) {
  char k[8] = {};
  memcpy(k, key, key_len);
  if (!c.read || memcmp(c.key, k, sizeof k) != 0) {
    uint8_t v[kLangLen];
    pi_get_sa_prop(type, key, key_len, "DEF LANG ID   ", v, kLangLen);
    memcpy(c.lang, v, kLangLen);
    memcpy(c.key, k, sizeof k);
    c.read = true;
  }
  return c.lang[0] != ' ' && c.lang[0] != 0;
}

lang_cache g_user_lang, g_dbxap_lang, g_db_lang, g_sys_lang;

}  // namespace

void pi_reset_lang() {
  for (lang_cache* c : {&g_user_lang, &g_dbxap_lang, &g_db_lang, &g_sys_lang}) c->read = false;
}

int fill_mhook(ARB* mhook) {
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  INIT_DHOOK_FDB(&fdb, kdb, sdb);
  if (!FM_OPEN(&fdb, com.mark_scope, kSaOpts, 1, 15)) return 0;
  ARB* a = fdb.fdb_arb;
  uint8_t rec[kHookRecLen];
  PROTO_FULL(a, 0, rec);
  a->arb_len = kHookRecLen;
  a->arb_mod = ARB_FIRST;
  if (fm_start(a))
    while (a->arb_mod = 0, PROTO_FULL(a, 0, rec), a->arb_len = kHookRecLen, fm_rdnxt(a)) {
      if (!mhook || !hook_is_mine(rec)) continue;
      PROTO_FULL(mhook, 0, rec);
      mhook->arb_len = mhook->arb_var_len = kHookRecLen;
      mhook->arb_mod = 0;
      fm_write(mhook);
    }
  a->arb_mod = 0;
  return FM_CLOSE(a, 0);
}

int use_hook(PCB* work, const uint8_t* h, char* db) {
  uint8_t* k = reinterpret_cast<uint8_t*>(work);
  memcpy(k + WK_AP, h + HOOK_TARGET, 3);
  memcpy(k + WK_VER, h + HOOK_TARGET + 3, 2);
  k[WK_TYPE] = h[HOOK_TARGET + 5];
  memcpy(k + WK_NAME, h + HOOK_TARGET + 6, 30);
  if (db && !is_blank(h + HOOK_TARGET_DB, 3)) memcpy(db, h + HOOK_TARGET_DB, 3);
  return 1;
}

int hook_proc(PCB* work, uint8_t kind, char* db) {
  if (kind != 3 || !mhook_arb) return 0;
  char d[3] = {' ', ' ', ' '};
  if (db) memcpy(d, db, 3);
  uint8_t key[kHookRecLen];
  memcpy(key, reinterpret_cast<const uint8_t*>(work) + WK_AP, 36);
  // database and user, blank database and user, database and any user, neither
  const char* tries[4][2] = {{d, com.user_id}, {"   ", com.user_id}, {d, "   "}, {"   ", "   "}};
  for (auto& t : tries) {
    memcpy(key + HOOK_DB, t[0], 3);
    memcpy(key + HOOK_USER, t[1], 3);
    PROTO_FULL(mhook_arb, 0, key);
    mhook_arb->arb_len = kHookRecLen;
    mhook_arb->arb_mod = ARB_EQUAL;
    if (fm_read(mhook_arb)) return use_hook(work, key, db);
  }
  return 0;
}

void dflt_lang(PCB* work, PCB* invoker, const char* db) {
  char lang[kLangLen] = {' ', ' ', ' '};
  uint8_t* a7 = pi_area(invoker, AREA_NEXT, kNextLang + kLangLen);
  const char* ap = reinterpret_cast<const char*>(work) + WK_AP;
  char dbxap[6];
  if (db) memcpy(dbxap, db, 3), memcpy(dbxap + 3, ap, 3);
  if (a7 && !is_blank(a7 + kNextLang, kLangLen)) {
    memcpy(lang, a7 + kNextLang, kLangLen);
    memset(a7 + kNextLang, ' ', kLangLen);
  } else if (lang_prop(g_user_lang, "USER    ", com.user_id, 3)) {
    memcpy(lang, g_user_lang.lang, kLangLen);
  } else if (db && lang_prop(g_dbxap_lang, "DBXAP   ", dbxap, 6)) {
    memcpy(lang, g_dbxap_lang.lang, kLangLen);
  } else if (db && lang_prop(g_db_lang, "DATABASE", db, 3)) {
    memcpy(lang, g_db_lang.lang, kLangLen);
  } else if (lang_prop(g_sys_lang, "SYSPARM ", "", 0)) {
    memcpy(lang, g_sys_lang.lang, kLangLen);
  }
  memcpy(reinterpret_cast<uint8_t*>(work) + kWorkLang, lang, kLangLen);
  memcpy(com.lang_id, lang, kLangLen);
}

}  // namespace kivo
