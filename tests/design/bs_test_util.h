// Native files for the import and bootstrap tests: descriptors of a keyed
// test file, its records read back in key order, and raw files written by
// hand, byte by byte, as the distribution's machine stores them.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "design/bs_raw.h"
#include "design_test_util.h"
#include "foundation/bytes.h"

namespace kivo::test {

// A data file of TST/00 in DB1, keyed on bytes 0-7 (none with `keys` 0).
struct keyed_file {
  FDB fdb{};
  KDB kdb[kInitMaxKeys]{};
  SDB sdb[kInitMaxSegs]{};
  keyed_file(const char* name, uint16_t len, uint8_t var, uint8_t keys = 1, uint8_t org = ORG_INDEXED) {
    INIT_FDB(&fdb, FS_DISK, len, var, kdb, keys);
    INIT_KDB(kdb, 0, '+', 0, sdb, 1);
    init_sdb_func(sdb, 1, 0, 8, SDB_CHARS, ' ');
    INIT_DB_PATH(&fdb.path, "DB1", "TST", "00", name, PATH_DATA);
    fdb.fdb_org = org;
  }
  FDB_PATH raw() const {
    FDB_PATH p = fdb.path;
    p.fdb_class = PATH_PORTDATA;
    return p;
  }
};

// Every record of the file, in the order of its first key (of its record
// numbers without keys); empty when it does not open.
inline std::vector<std::vector<uint8_t>> read_all(FDB fdb) {
  std::vector<std::vector<uint8_t>> out;
  if (!FM_OPEN(&fdb, com.sys_scope, LFB_ANY_DIR | LFB_NO_STRUCT_CHK, 0x0f, 0x0f)) return out;
  ARB* a = fdb.fdb_arb;
  std::vector<uint8_t> buf(fdb.fdb_rec_len);
  a->arb_rec = buf.data(), a->arb_len = fdb.fdb_rec_len, a->arb_keyno = 0, a->arb_key = nullptr;
  a->arb_mod = ARB_FIRST;
  if (fm_start(a)) {
    a->arb_mod = 0;
    while (fm_rdnxt(a)) out.emplace_back(buf.begin(), buf.begin() + (fdb.fdb_var ? a->arb_var_len : fdb.fdb_rec_len));
  }
  FM_CLOSE(a, ARB_CLOSE_NOW);
  return out;
}

// Writes the records into the file, created afresh; 1 when all went in.
inline int write_all(FDB fdb, const std::vector<std::vector<uint8_t>>& recs) {
  if (!FM_CREATE(&fdb, com.sys_scope, 0, LFB_ANY_DIR | LFB_NO_STRUCT_CHK | LFB_OPEN_NEW, 0x0f, 0x0f)) return 0;
  ARB* a = fdb.fdb_arb;
  int ok = 1;
  for (auto r : recs) {
    a->arb_rec = r.data(), a->arb_len = fdb.fdb_rec_len, a->arb_var_len = static_cast<uint16_t>(r.size());
    a->arb_mod = 0;
    ok &= fm_write(a);
  }
  FM_CLOSE(a, ARB_CLOSE_NOW);
  return ok;
}

// A raw record file built by hand.
struct raw_bytes {
  std::vector<uint8_t> b;
  explicit raw_bytes(bool short_len = true) : b(kRawFileHdr, 0) {
    st_be16(b.data(), RAW_FLAGS, short_len ? kRawShortAllowed : 0);
    st_be16(b.data(), RAW_SHORT, short_len ? 1 : 0);
  }
  raw_bytes& rec(const std::vector<uint8_t>& data, uint8_t state = 0, int len = -1) {
    size_t at = b.size();
    b.resize(at + kRawRecHdr);
    const uint32_t n = len < 0 ? static_cast<uint32_t>(data.size()) : static_cast<uint32_t>(len);
    b[at + RAW_STATE] = state;
    st_be16(b.data() + at, RAW_LEN16, static_cast<uint16_t>(n));
    st_be32(b.data() + at, RAW_LEN32, n);
    b.insert(b.end(), data.begin(), data.end());
    b.insert(b.end(), {0, 0, 0, 0});
    return *this;
  }
  void save(const std::string& path) const {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    FILE* f = fopen(path.c_str(), "wb");
    fwrite(b.data(), 1, b.size(), f);
    fclose(f);
  }
};

// The operating-system path of a descriptor path under the test's data.
inline std::string os_path(std::string data, const FDB_PATH& p) {
  cstr root{static_cast<uint16_t>(data.size()), data.data()};
  const cstr* s = ss_bld_path(&p, 0, &root, nullptr, nullptr);
  return s ? std::string(s->ptr) : std::string();
}

inline std::vector<uint8_t> slurp(const std::string& path) {
  std::vector<uint8_t> out;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return out;
  int c;
  while ((c = fgetc(f)) != EOF) out.push_back(static_cast<uint8_t>(c));
  fclose(f);
  return out;
}

}  // namespace kivo::test
