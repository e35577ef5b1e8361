// Native files through the file manager over a scratch data directory: a
// keyed test file (id at 0, u32 counter at 8) and forked child engines.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "../store/store_test_util.h"
#include "fm/fm.h"
#include "fm/fm_record.h"
#include "fm/fm_switch.h"
#include "fm/fm_sysadm.h"
#include "fm/unix_fm.h"
#include "fm_started.h"
#include "foundation/bytes.h"
#include "store/fd_cache.h"

namespace kivo::test {

constexpr uint16_t kTestRecLen = 40;

// A data file "name" of application TST, database DB1: keyed on the id.
struct test_file {
  FDB fdb{};
  KDB kdb[2]{};
  SDB sdb[2]{};
  explicit test_file(const char* name, uint8_t var = 1, uint16_t len = kTestRecLen) {
    INIT_FDB(&fdb, FS_DISK, len, var, kdb, 1);
    INIT_KDB(kdb, 0, '+', 0, sdb, 1);
    init_sdb_func(sdb, 1, 0, 8, SDB_CHARS, ' ');
    INIT_DB_PATH(&fdb.path, "DB1", "TST", "00", name, PATH_DATA);
  }
};
constexpr uint32_t kAnyFile = LFB_ANY_DIR | LFB_NO_STRUCT_CHK;

inline std::string rec_id(int i) {
  char b[16];
  snprintf(b, sizeof b, "R%07d", i);
  return b;
}

// A record image of id i, counter c.
inline void fill_rec(uint8_t* r, int i, uint32_t c, const char* text = "") {
  memset(r, ' ', kTestRecLen);
  memcpy(r, rec_id(i).c_str(), 8);
  st_le32(r, 8, c);
  memcpy(r + 12, text, std::min<size_t>(strlen(text), kTestRecLen - 12));
}

// The file manager started again on files under `data` (which must outlive
// the test), and the native back-end dropped after it.
inline int start_native(std::string& data) {
  com.data_dir = cstr{static_cast<uint16_t>(data.size()), data.data()}, com.path_root = cstr{0, nullptr};
  return fm_init();
}
inline void stop_native() { fms_install(FMS_NATIVE, nullptr); }

class NativeFm : public FmStarted {
 protected:
  void SetUp() override {
    FmStarted::SetUp();
    data_ = dir_.path();
    ASSERT_EQ(start_native(data_), 1);
  }
  void TearDown() override {
    stop_native();
    FmStarted::TearDown();
  }
  ARB* open(test_file& t, uint32_t opt = kAnyFile) {
    return FM_OPEN(&t.fdb, com.sys_scope, opt, 0x0f, 0x0f) ? t.fdb.fdb_arb : nullptr;
  }
  ARB* create(test_file& t, uint32_t opt = kAnyFile) {
    return FM_CREATE(&t.fdb, com.sys_scope, 0, opt | LFB_OPEN_NEW, 0x0f, 0x0f) ? t.fdb.fdb_arb : nullptr;
  }
  int put(ARB* a, int i, uint32_t c, const char* text = "") {
    fill_rec(buf_, i, c, text);
    a->arb_rec = buf_, a->arb_var_len = kTestRecLen;
    return fm_write(a);
  }
  // An equal read of id i with `mod` bits and lock wait `wait`.
  int get(ARB* a, int i, uint16_t mod = 0, uint32_t wait = 0) {
    fill_rec(buf_, i, 0);
    a->arb_rec = buf_, a->arb_len = kTestRecLen, a->arb_keyno = 0, a->arb_key = nullptr;
    a->arb_mod = ARB_EQUAL | mod, a->arb_lock_wait = wait;
    int r = fm_read(a);
    a->arb_mod = 0;
    return r;
  }
  uint32_t counter() const { return ld_le32(buf_, 8); }
  // A new file "name" holding the records of `ids`, closed.
  void make(const char* name, const std::vector<int>& ids) {
    test_file t(name);
    ARB* a = create(t);
    ASSERT_TRUE(a);
    for (int i : ids) ASSERT_EQ(put(a, i, 1), 1);
    ASSERT_EQ(FM_CLOSE(a, 0), 1);
  }
  // The ids of the records `a` reads from the first in key order.
  std::vector<int> ids(ARB* a) {
    std::vector<int> out;
    a->arb_keyno = 0, a->arb_mod = ARB_FIRST;
    EXPECT_EQ(fm_start(a), 1);
    while ((a->arb_rec = buf_, a->arb_len = kTestRecLen, a->arb_mod = 0, fm_rdnxt(a)))
      out.push_back(std::stoi(std::string(reinterpret_cast<char*>(buf_) + 1, 7)));
    return out;
  }
  std::string path(const char* name) const { return data_ + "/DB1/TST/Data/" + name; }

  // A blank record of `len` bytes, `text` at `off`, kept for the test.
  uint8_t* blank_rec(size_t len, size_t off = 0, const char* text = "") {
    uint8_t* r = entries_.emplace_back(len, ' ').data();
    memcpy(r + off, text, strlen(text));
    return r;
  }
  // DATABASE (DB1, DB2), SYSDIR, APPL and SYSDFLT files, found by a new start.
  void write_sysadm(std::initializer_list<uint8_t*> sysdir) {
    uint8_t *db1 = blank_rec(kDatabaseRecLen, DDB_CODE, "00"), *db2 = blank_rec(kDatabaseRecLen, DDB_CODE, "00");
    memcpy(db1, "DB1", 3), memcpy(db2, "DB2", 3);
    write_sa(INIT_DDB_FDB, {db1, db2}, kDatabaseRecLen);
    write_sa(INIT_DSYSDIR_FDB, sysdir, kSysdirLen);
    write_sa(INIT_DAP_FDB, {blank_rec(kApplRecLen)}, kApplRecLen);
    write_sa(INIT_DSYSDFLT_FDB, {}, kSysdfltLen);
    ASSERT_EQ(fm_init(), 1);
  }
  // A SYSDIR entry of application TST (stamp 0, check flag '0').
  uint8_t* entry(const char* db, const char* name, uint16_t type, const char* alt = "   ") {
    uint8_t* e = blank_rec(kSysdirLen, SYSDIR_NAME, name);
    memcpy(e, db, 3), memcpy(e + SYSDIR_AP, "TST", 3), memcpy(e + SYSDIR_ALT_DB, alt, 3);
    st_le32(e, SYSDIR_REDIRECT, memcmp(alt, "   ", 3) ? 0 : 1);
    st_le16(e, SYSDIR_FS_TYPE, type);
    e[SYSDIR_CHECK] = '0';
    st_le32(e, SYSDIR_STAMP, 0), st_le32(e, SYSDIR_STAMP + 4, 0);
    return e;
  }
  // A new file of records: a system-administration file, or a design file
  // of application TST version "00".
  template <class Init>
  void write_sa(Init init, std::initializer_list<uint8_t*> recs, uint16_t len) {
    FDB fdb;
    KDB kdb[kInitMaxKeys];
    SDB sdb[kInitMaxSegs];
    if constexpr (std::is_invocable_v<Init, FDB*, KDB*, SDB*>) init(&fdb, kdb, sdb);
    else init(&fdb, kdb, sdb, "TST", "00");
    ASSERT_EQ(FM_CREATE(&fdb, com.sys_scope, 0, LFB_OPEN_NEW | kAnyFile, 0x0f, 0x0f), 1) << fdb.fdb_stat;
    ARB* a = fdb.fdb_arb;
    for (uint8_t* r : recs) {
      a->arb_rec = r, a->arb_var_len = len;
      EXPECT_EQ(fm_write(a), 1) << a->arb_stat;
    }
    ASSERT_EQ(FM_CLOSE(a, ARB_CLOSE_NOW), 1);
  }
  scratch_dir dir_;
  std::string data_;
  std::vector<std::vector<uint8_t>> entries_;
  uint8_t buf_[kTestRecLen + 8] = {};
};

// Runs fn in a forked child engine; the child's exit status is fn's result.
template <class Fn>
pid_t fork_engine(Fn fn) {
  pid_t pid = fork();
  if (pid == 0) {
    fd_cache_after_fork();
    fm_init();  // nothing of the parent's opens goes on here
    _exit(fn());
  }
  return pid;
}

}  // namespace kivo::test
