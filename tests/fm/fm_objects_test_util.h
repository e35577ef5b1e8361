// Helpers of the file-manager object tests: a fresh session with the file
// manager's pool and templates, and descriptors built from short lists.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "../foundation/test_support.h"
#include "fm/fm_objects.h"

namespace kivo::test {

class FmFresh : public Fresh {
 protected:
  void SetUp() override {
    Fresh::SetUp();
    fm_objects_init();
  }
};

struct seg_def {
  uint16_t off, len;
  uint8_t type = SDB_CHARS;
  uint8_t order = '+';
};
struct key_def {
  uint8_t keyno;
  uint8_t order;
  std::vector<seg_def> segs;
  uint8_t len = 0;
  uint8_t flags = 0;
};

// A descriptor that owns its KDB and SDB arrays.
struct owned_fdb {
  FDB fdb{};
  std::vector<KDB> kdb;
  std::vector<SDB> sdb;

  owned_fdb(uint16_t rec_len, const std::vector<key_def>& keys) {
    size_t nsegs = 0;
    for (auto& k : keys) nsegs += k.segs.size();
    kdb.resize(keys.size());
    sdb.resize(nsegs + 1);
    SDB* s = sdb.data();
    for (size_t i = 0; i < keys.size(); ++i) {
      const key_def& k = keys[i];
      INIT_KDB(&kdb[i], k.keyno, k.order, k.flags, s, static_cast<uint8_t>(k.segs.size()));
      kdb[i].kdb_len = k.len;
      for (size_t j = 0; j < k.segs.size(); ++j)
        init_sdb_func(s++, static_cast<uint16_t>(j + 1), k.segs[j].off, k.segs[j].len, k.segs[j].type, k.segs[j].order);
    }
    INIT_FDB(&fdb, FS_DISK, rec_len, 0, kdb.data(), static_cast<uint8_t>(keys.size()));
  }
};

}  // namespace kivo::test
