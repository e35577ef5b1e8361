// Reading and changing the USER record's password field.
//
// Each call opens USER for itself and closes it again, so no handle outlives
// the level or the session that opened it.
#include "fm/user_pwd.h"

#include <cstring>

#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "foundation/password.h"

namespace kivo {

namespace {

struct user_file {
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  ARB* arb = nullptr;

  // 1, or 0 with the status in fdb_stat. USER's layout is the engine's
  // own, so no structure check.
  int open(uint32_t level) {
    INIT_DUSR_FDB(&fdb, kdb, sdb);
    if (!FM_OPEN(&fdb, level, LFB_ANY_DIR | LFB_NO_STRUCT_CHK, 0x0f, 0x0f)) return 0;
    arb = fdb.fdb_arb;
    return 1;
  }
  ~user_file() {
    if (arb) FM_CLOSE(arb, 0);
  }
  // Reads the record of `user_id`, or of the system id when it is null.
  int read(uint8_t* rec, const char* user_id, const char* system_id, size_t len, uint16_t mod) {
    memset(rec, ' ', kUserRecLen);
    if (user_id) memcpy(rec, user_id, kUserIdLen);
    else memcpy(rec + kUserSysIdOffset, system_id, len < kUserSysIdLen ? len : kUserSysIdLen);
    PROTO_FULL(arb, user_id ? 0 : 1, rec);
    arb->arb_mod = mod | ARB_EQUAL;
    arb->arb_len = kUserRecLen;
    return fm_read(arb);
  }
};

}  // namespace

size_t ut_get_pwd(char* out, size_t out_len, const char* user_id, const char* system_id, size_t len) {
  memset(out, ' ', out_len);
  user_file f;
  uint8_t rec[kUserRecLen];
  if (!f.open(com.sys_scope) || !f.read(rec, user_id, system_id, len, 0)) return 0;
  return ut_pwd_unscramble(rec + kUserPwdOffset, reinterpret_cast<const char*>(rec), out, out_len);
}

int ut_set_pwd(const char* user_id, const char* old_pwd, size_t old_len, const char* new_pwd, size_t new_len) {
  char stored[kPwdFieldLen];
  size_t n = ut_get_pwd(stored, sizeof stored, user_id, nullptr, 0);
  int check = ut_pwd_check_old(stored, n, old_pwd, old_len);
  memset(stored, ' ', sizeof stored);
  if (check != PWD_OK) return check;
  user_file f;
  if (!f.open(com.mark_scope)) return static_cast<int>(f.fdb.fdb_stat);
  uint8_t rec[kUserRecLen];
  if (!f.read(rec, user_id, nullptr, 0, ARB_HOLD)) return static_cast<int>(f.arb->arb_stat);
  if (!ut_pwd_scramble(rec + kUserPwdOffset, user_id, new_pwd, new_len)) return 0;
  f.arb->arb_rec = rec;
  return fm_rewrite(f.arb) ? 1 : 0;
}

int ut_get_pass(const char* user_id, char* pwd) { return ut_get_pwd(pwd, kPwdFieldLen, user_id, nullptr, 0) ? 1 : 0; }

int ut_set_pass(const char* user_id, const char* old_pwd, const char* new_pwd) {
  return ut_set_pwd(user_id, old_pwd, kPwdFieldLen, new_pwd, kPwdFieldLen) == 1 ? 1 : 0;
}

}  // namespace kivo
