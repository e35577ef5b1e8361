// Helpers of the analyser tests: a keyed file pair built straight through the
// data-file space manager and the B-tree (so the analyser is checked against
// the storage layers, not against itself), byte-level edits of the files, and
// a verification run in a forked child under an alarm.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/bytes.h"
#include "store/analyser.h"
#include "store/btree.h"
#include "store/data_file.h"
#include "store/fd_cache.h"

namespace kivo::test {

// Record layout of the test pairs: a 6-character id at 0 (key 0), a 4-byte
// unsigned binary number at 6 (key 1, null when zero), then free text.
inline std::vector<uint8_t> make_rec(int id, uint32_t num, const std::string& text) {
  char idb[16];
  snprintf(idb, sizeof idb, "%06d", id);
  std::vector<uint8_t> r(idb, idb + 6);
  r.resize(10);
  st_le32(r.data(), 6, num);
  r.insert(r.end(), text.begin(), text.end());
  return r;
}

struct pair_builder {
  std::string base;
  BRF_FILE* dat = nullptr;
  BT_FILE* kf = nullptr;
  BT_CURSOR* cur = nullptr;
  int nkeys = 0;

  explicit pair_builder(const std::string& b, int keys = 2) : base(b), nkeys(keys) {
    int st = 0;
    dat = brfopen(&st, base.c_str(), BRF_CREATE | BRF_NO_KEYS, 0, true);
    EXPECT_NE(dat, nullptr) << st;
    EXPECT_EQ(brf_upd_ver(dat), BRF_OK);
    if (keys == 0) return;
    kf = bopen(&st, (base + ".key").c_str(), kBtCreate);
    EXPECT_NE(kf, nullptr) << st;
    cur = baccess(&st, kf, 0);
    KEY_DESC k0;
    k0.nsegs = 1;
    k0.seg[0] = {kSegChars, 6, 0};
    EXPECT_EQ(bsetkey(cur, &k0, true), BRF_KEY_CREATED);
    if (keys > 1) {
      KEY_DESC k1;
      k1.nsegs = 1;
      k1.seg[0] = {static_cast<uint8_t>(kSegBinary | kSegUnsigned), 4, 6};
      EXPECT_EQ(bsetkey(cur, &k1, true), BRF_KEY_CREATED);
    }
  }
  ~pair_builder() { close(); }

  void close() {
    if (cur) bdeaccess(cur);
    if (kf) bclose(kf);
    if (dat) brfclose(dat);
    cur = nullptr;
    kf = nullptr;
    dat = nullptr;
  }

  // Writes a complete record and indexes it (key 1 only when not null).
  uint32_t put(const std::vector<uint8_t>& r) {
    rec_hdr h;
    uint32_t seek = 0;
    EXPECT_EQ(brf_rcd_alloc(dat, static_cast<uint32_t>(r.size()), &h, &seek, true, false), BRF_OK);
    EXPECT_EQ(kivo_pwrite(dat->slot, r.data(), r.size(), seek + kRecHdrSize), static_cast<ssize_t>(r.size()));
    h.flags = 0;
    EXPECT_EQ(brf_write_rec_hdr(dat, seek, h), BRF_OK);
    for (int k = 0; k < nkeys; ++k) {
      if (k == 1 && ld_le32(r.data(), 6) == 0) continue;
      bsetkeyN(cur, k);
      EXPECT_EQ(binsert(cur, r.data(), seek), BRF_OK);
    }
    return seek;
  }

  void del(uint32_t seek, const std::vector<uint8_t>& r) {
    for (int k = 0; k < nkeys; ++k) {
      if (k == 1 && ld_le32(r.data(), 6) == 0) continue;
      bsetkeyN(cur, k);
      EXPECT_EQ(bdelete(cur, r.data(), seek), BRF_OK);
    }
    EXPECT_EQ(brf_rcd_free(dat, seek, false), BRF_OK);
  }
};

inline std::vector<uint8_t> slurp(const std::string& path) {
  std::vector<uint8_t> out;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return out;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
  fclose(f);
  return out;
}

inline void spill(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  if (!bytes.empty()) {
    ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  }
  fclose(f);
}

// Verification in a forked child, which must end within `seconds`: the
// verdict (1 good, 0 bad), or -1 for a crash and -2 for a hang.
inline int verify_in_child(const std::string& base, unsigned seconds = 20) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    alarm(seconds);
    fd_cache_after_fork();
    int32_t n = 0;
    _exit(brfanal((base + ".dat").c_str(), 0, 0, &n));
  }
  int st = 0;
  waitpid(pid, &st, 0);
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  return WIFSIGNALED(st) && WTERMSIG(st) == SIGALRM ? -2 : -1;
}

// The root page seek of key k in a key file image.
inline uint32_t key_root(const std::vector<uint8_t>& key, int k) {
  return ld_le32(key.data(), kHdrKeys + static_cast<size_t>(k) * kKeyDescSize + kKdRoot);
}

}  // namespace kivo::test
