// Shared fixture of the record-operation tests: a session with the file
// manager up and a memory file of 12-byte records, key 0 the 4-byte id
// (unique), key 1 three 2-byte segments at 4, 6 and 8 (duplicates).
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "compiler/compiler.h"
#include "fm/fm.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/memfile.h"
#include "fm_objects_test_util.h"
#include "fm_started.h"
#include "foundation/scope.h"
#include "interp/interp.h"
#include "process/process.h"

namespace kivo::test {

constexpr uint16_t kRecLen = 12;

struct rec_desc : owned_fdb {
  explicit rec_desc(const char* name, uint8_t var = 0)
      : owned_fdb(kRecLen, {{0, '+', {{0, 4}}}, {1, '+', {{4, 2}, {6, 2}, {8, 2}}, 0, KDB_DUP}}) {
    fdb.fdb_fs_type = FS_MEMORY;
    fdb.fdb_var = var;
    fdb.fdb_org = ORG_INDEXED;
    INIT_TMP_PATH(&fdb.path, "0DN", "00", name, 0);  // its INITIAL file is a memory file
  }
};

// The caller's request fields every operation must give back.
struct request {
  uint16_t mod;
  uint8_t* key;
  uint16_t key_len;
  uint32_t lock_wait;
  bool operator==(const request&) const = default;
};
inline request request_of(const ARB* a) { return {a->arb_mod, a->arb_key, a->arb_key_len, a->arb_lock_wait}; }

class FmRec : public FmStarted {
 protected:
  // Opens a new file on `buf` (kRecLen bytes).
  // Creates the file and opens it with options `opt`.
  static ARB* create(rec_desc& d, uint8_t* buf, uint32_t opt = 0) {
    if (!FM_CREATE(&d.fdb, 1, 0, 0, 0x0f, 0x0f) || !FM_OPEN(&d.fdb, 1, opt, 0x0f, 0x0f)) return nullptr;
    return with_buf(d.fdb.fdb_arb, buf);
  }
  static ARB* with_buf(ARB* a, uint8_t* buf) {
    a->arb_rec = buf;
    a->arb_len = kRecLen;
    return a;
  }
  // A further handle with the scan chain `scan` (null = none).
  static ARB* attach(ARB* h, SCAN_REQ* scan, uint8_t* buf) {
    FAD fad{scan, nullptr};
    ARB* a = FM_ATTACH(h, &fad, 1);
    return a ? with_buf(a, buf) : nullptr;
  }
  static int put(ARB* a, const char* rec) {
    memcpy(a->arb_rec, rec, kRecLen);
    a->arb_mod = 0;
    a->arb_var_len = 0;
    return fm_write(a);
  }
  static std::string id(const ARB* a) { return std::string(reinterpret_cast<const char*>(a->arb_rec), 4); }
  // Runs `op` and checks that the caller's request comes back unchanged.
  template <class F>
  static int call(ARB* a, F op) {
    request before = request_of(a);
    int r = op(a);
    EXPECT_TRUE(request_of(a) == before) << "request fields changed";
    return r;
  }
};

}  // namespace kivo::test
