// Native files through the file manager over a scratch data directory: a
// keyed test file (id at 0, u32 counter at 8) and forked child engines.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "fm/fd_cache.h"
#include "fm/fm_record.h"
#include "fm/fm_switch.h"
#include "fm/scope_clear.h"
#include "fm/unix_fm.h"
#include "fm_started.h"
#include "fm_test_util.h"
#include "foundation/bytes.h"

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

class NativeFm : public FmStarted {
 protected:
  void SetUp() override {
    fms_backends.native = unix_fm_init;
    FmStarted::SetUp();
    data_ = dir_.path();
    com.data_dir = cstr{static_cast<uint16_t>(data_.size()), data_.data()};
    com.path_root = cstr{0, nullptr};
    ASSERT_EQ(fm_init(), 1);  // again, so the start-up's files are looked for here
  }
  void TearDown() override {
    fms_backends = {};
    fms_install(FMS_NATIVE, nullptr);
    fms_select = {};
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
  std::string path(const char* name) const { return data_ + "/DB1/TST/Data/" + name; }

  scratch_dir dir_;
  std::string data_;
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
