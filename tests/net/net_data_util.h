// Remote data tests: a client engine (this process) with the native and the
// remote back-end, a server installation in a scratch directory, and the
// test listener starting "kivo -fms_server" on it.
#pragma once

#include <fstream>
#include <memory>
#include <sstream>

#include "../fixtures/kivo_fixture.h"
#include "../fm/fm_native_util.h"
#include "net/net.h"
#include "net/netio.h"
#include "net_test_util.h"

namespace kivo::test {

constexpr uint16_t kRtLen = 60;

// A variable-length file of two keys: the id at 0 and a group at 8
// (duplicates), a binary word at 16 and a binary half-word at 20.
struct rt_file {
  FDB fdb{};
  KDB kdb[2]{};
  SDB sdb[2]{};
  explicit rt_file(const char* name, uint8_t var = 1) {
    INIT_FDB(&fdb, FS_DISK, kRtLen, var, kdb, 2);
    INIT_KDB(&kdb[0], 0, '+', 0, &sdb[0], 1);
    INIT_KDB(&kdb[1], 1, '+', KDB_DUP, &sdb[1], 1);
    init_sdb_func(&sdb[0], 1, 0, 8, SDB_CHARS, ' ');
    init_sdb_func(&sdb[1], 1, 8, 6, SDB_CHARS, ' ');
    INIT_DB_PATH(&fdb.path, "DB1", "TST", "00", name, PATH_DATA);
  }
};

// Record i of group g: its length varies from 24 to 60.
inline uint16_t rt_fill(uint8_t* r, int i, int g) {
  memset(r, 'x', kRtLen);
  snprintf(reinterpret_cast<char*>(r), 16, "R%07dG%05d", i, g);
  st_le32(r, 16, static_cast<uint32_t>(i) | 0x80808080u);  // no line feed in any byte
  st_le16(r, 20, static_cast<uint16_t>(0x8080 | g));
  r[22] = 'a', r[23] = 'b';
  return static_cast<uint16_t>(24 + i % 37);
}

class NetData : public NativeFm {
 protected:
  void SetUp() override {
    hooks_.set(fms_backends.remote, net_fm_init);
    NativeFm::SetUp();
    install(server_.path());
    setenv("KIVO_UID", "tester", 1);
  }
  void TearDown() override {
    net_fm_reset();
    fms_set_data_server(nullptr);
    unsetenv("KIVO_DATA_SERVER");
    unsetenv("KIVO_UID");
    NativeFm::TearDown();
  }
  // A server installation: the fixtures' message file of language 00.
  void install(const std::string& dir) {
    cstr saved = com.data_dir;
    com.data_dir = cstr{static_cast<uint16_t>(dir.size()), const_cast<char*>(dir.c_str())};
    ASSERT_EQ(kivo_test::write_messages(), 1);
    com.data_dir = saved;
  }
  void start_server() {
    setenv("KIVOPATH", server_.path().c_str(), 1);
    lsn_ = std::make_unique<listener>(false, std::vector<std::string>{KIVO_BINARY}, nullptr);
    unsetenv("KIVOPATH");
    addr_ = "127.0.0.1:" + lsn_->port;
  }
  // Opens (or creates) through the data server at addr_.
  ARB* remote(FDB* fdb, bool make) {
    fms_set_data_server(addr_.c_str());
    setenv("KIVO_DATA_SERVER", addr_.c_str(), 1);
    ARB* arb = local(fdb, make);
    fms_set_data_server(nullptr);
    return arb;
  }
  ARB* local(FDB* fdb, bool make) {
    int ok = make ? FM_CREATE(fdb, com.sys_scope, 0, kAnyFile | LFB_OPEN_NEW, 0x0f, 0x0f)
                  : FM_OPEN(fdb, com.sys_scope, kAnyFile, 0x0f, 0x0f);
    return ok ? fdb->fdb_arb : nullptr;
  }
  // The data servers the listener runs now.
  std::vector<pid_t> servers() const {
    std::ifstream in("/proc/" + std::to_string(lsn_->pid) + "/task/" + std::to_string(lsn_->pid) + "/children");
    std::vector<pid_t> out;
    for (pid_t p; in >> p;) out.push_back(p);
    return out;
  }
  // Waits until the listener's children satisfy `done`; false only when a
  // fault keeps them from it past the deadline.
  template <typename F>
  bool servers_become(F done) const {
    for (int ms = 0; ms < kDeadlineMs; ms += 10, poll(nullptr, 0, 10))
      if (done(servers())) return true;
    return false;
  }
  std::string server_file(const char* name) const { return server_.path() + "/DB1/TST/Data/" + name; }

  scratch_dir server_;
  std::unique_ptr<listener> lsn_;
  std::string addr_;
};

// One record operation on a handle over its own buffer.
struct rt_side {
  ARB* arb;
  uint8_t rec[kRtLen + 4] = {};
  uint8_t key[16] = {};
  uint8_t id[4] = {};
};

inline int rt_put(rt_side& s, int i, int g) {
  s.arb->arb_var_len = rt_fill(s.rec, i, g);
  s.arb->arb_rec = s.rec;
  return fm_write(s.arb);
}

// A read by key 0 in record form with `mod`; the record id is kept.
inline int rt_get(rt_side& s, int i, uint16_t mod = 0) {
  rt_fill(s.rec, i, 0);
  ARB* a = s.arb;
  a->arb_rec = s.rec, a->arb_len = kRtLen, a->arb_keyno = 0, a->arb_key = nullptr, a->arb_key_end = nullptr;
  a->arb_mod = ARB_EQUAL | mod;
  int ok = fm_read(a);
  a->arb_mod = 0;
  if (ok) memcpy(s.id, a->arb_rec_id_area, 4);
  return ok;
}

using kivo_test::slurp;

}  // namespace kivo::test
