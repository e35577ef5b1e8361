// "kivo -v" and "kivo -r" as real processes on scratch files: what is no data
// file, or a pair damaged at one place of its key file or its records, fails
// verification with a line naming the fault; sound files keep their verdict;
// a repaired pair verifies good. Files without a header verify by their
// records' length.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <functional>

#include "../fixtures/hook_override.h"
#include "../store/analyser_test_util.h"
#include "../store/store_test_util.h"
#include "fm/dict_records.h"
#include "fm/struct_file.h"
#include "foundation/com.h"
#include "foundation/foundation.h"

namespace kivo {
namespace {

using bytes = std::vector<uint8_t>;
using test::make_rec;
using test::slurp;
using test::spill;

struct run_result {
  int status;
  std::string err;
};

run_result run_kivo(const std::string& args) {
  std::string cmd = std::string(KIVO_BINARY) + " " + args + " 2>&1 >/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  int st = pclose(p);
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

class VerifyRefuses : public ::testing::Test {
 public:
  void SetUp() override {
    com_fill(0, nullptr);
    hooks_.set(foundation_seams.err_presenter, test::quiet_presenter);
  }

  // 600 records on two keys (trees of two levels); every fifth is deleted.
  void build() {
    seeks_.clear();
    test::pair_builder b(base_, 2);
    for (int i = 0; i < 600; ++i) {
      auto r = make_rec(i, i % 7 == 0 ? 0 : 1000 + i, std::string(static_cast<size_t>(i % 13), 'x'));
      seeks_.push_back(b.put(r));
      if (i % 5 == 4) b.del(seeks_.back(), r);
    }
  }
  run_result verify() { return run_kivo("-v=" + base_); }

  uint32_t root(const bytes& k, int key) { return test::key_root(k, key); }
  uint32_t down(const bytes& k, uint32_t page, int i) { return ld_le32(k.data(), page + kPgHdrSize + i * kEntry); }
  uint32_t first_leaf(const bytes& k, int key) {
    uint32_t seek = root(k, key);
    while (down(k, seek, 0) != 0) seek = down(k, seek, 0);
    return seek;
  }

  static constexpr size_t kEntry = 6 + 8;  // an entry of key 0
  test::scratch_dir dir_;
  std::string base_ = dir_.file("cust");
  std::vector<uint32_t> seeks_;
  kivo_test::hook_overrides hooks_;
};

TEST_F(VerifyRefuses, WhatIsNoDataFileFailsWithItsReason) {
  const struct {
    const char* what;
    bytes dat;
    const char* line;
  } cases[] = {
      {"a 0-byte file", {}, "it is empty"},
      {"a text file", bytes(600, 'a'), "not a data file"},
      {"a short text file", {'h', 'i', '\n'}, "shorter than the 512-byte header"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    spill(base_ + ".dat", c.dat);
    run_result r = verify();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(c.line), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("failed verification"), std::string::npos) << r.err;
  }
}

TEST_F(VerifyRefuses, AnOverwrittenHeaderFailsAndSoundFilesKeepTheirVerdict) {
  build();
  EXPECT_EQ(verify().status, 1);
  const bytes d = slurp(base_ + ".dat");
  const struct {
    const char* what;
    std::function<void(bytes&)> edit;
    int status;
    const char* line;
  } cases[] = {
      {"text over the header", [](bytes& x) { memset(x.data(), 'Q', 512); }, 0, "not a data file"},
      {"ones over the header fields", [](bytes& x) { memset(x.data(), 0xff, 16); }, 0, "header flags 0xffff"},
      {"an end of file of 0", [](bytes& x) { st_le32(x.data(), kHdrEofseekOff, 0); }, 0, "header's end of file 0"},
      {"a stray byte in the header block", [](bytes& x) { x[300] = 7; }, 0, "header byte 300"},
      {"a free list past the records", [](bytes& x) { st_le32(x.data(), kHdrFreelistOff, 0x7fff0000); }, 0,
       "free list"},
      {"a fixed length of 0", [](bytes& x) { st_le16(x.data(), kHdrFlagsOff, kHdrFixed | kHdrHasVersion); }, 0,
       "record length 0"},
      // An older version is verified, and upgraded at its next open.
      {"a sound older-version file", [](bytes& x) { st_le16(x.data(), kHdrVersionOff, 1); }, 1, ""},
      {"a newer version", [](bytes& x) { st_le16(x.data(), kHdrVersionOff, 3); }, 0, "Invalid internal file format"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    bytes x = d;
    c.edit(x);
    spill(base_ + ".dat", x);
    run_result r = verify();
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.line), std::string::npos) << r.err;
  }
}

// One fault at a time in a sound pair; after "kivo -r" the pair is good.
TEST_F(VerifyRefuses, EachDamagedPlaceOfAKeyedPairIsNamedAndRepaired) {
  const struct {
    const char* what;
    const char* line;
    std::function<void(VerifyRefuses*, bytes& d, bytes& k)> damage;
  } cases[] = {
      {"page type: the root branch made a leaf", "not referenced by key 0",
       [](VerifyRefuses* t, bytes&, bytes& k) {
         const uint32_t r = t->root(k, 0);
         ASSERT_NE(t->down(k, r, 0), 0u);
         for (int i = 0; i <= ld_le16(k.data(), r + kPgCount); ++i) st_le32(k.data(), r + kPgHdrSize + i * kEntry, 0);
       }},
      {"entry count over the page", "Bad page header",
       [](VerifyRefuses* t, bytes&, bytes& k) { st_le16(k.data(), t->first_leaf(k, 0) + kPgCount, 200); }},
      {"an entry out of order", "out of order",
       [](VerifyRefuses* t, bytes&, bytes& k) {
         auto at = k.begin() + t->first_leaf(k, 0) + kPgHdrSize + 4;
         std::swap_ranges(at, at + (kEntry - 4), at + kEntry);
       }},
      {"a child link naming its neighbour", "Key out of order",
       [](VerifyRefuses* t, bytes&, bytes& k) {
         const uint32_t r = t->root(k, 0);
         st_le32(k.data(), r + kPgHdrSize, t->down(k, r, 1));
       }},
      {"a root naming a leaf", "not the top of its tree",
       [](VerifyRefuses* t, bytes&, bytes& k) { st_le32(k.data(), kHdrKeys + kKdRoot, t->first_leaf(k, 0)); }},
      {"an entry naming a deleted record", "deleted record",
       [](VerifyRefuses* t, bytes&, bytes& k) {
         st_le32(k.data(), t->first_leaf(k, 0) + kPgHdrSize + 4,
                 t->seeks_[599]);  // deleted last: its space is not taken again
       }},
      {"a record's key bytes changed", "wrong record",
       [](VerifyRefuses* t, bytes& d, bytes&) { d[t->seeks_[0] + kRecHdrSize + 5] = '9'; }},
      {"an entry removed", "not referenced by key 0",
       [](VerifyRefuses* t, bytes&, bytes& k) {
         const uint32_t leaf = t->first_leaf(k, 0);
         const uint16_t n = ld_le16(k.data(), leaf + kPgCount);
         auto at = k.begin() + leaf + kPgHdrSize;
         std::copy(at + kEntry, at + n * kEntry + 4, at);
         st_le16(k.data(), leaf + kPgCount, static_cast<uint16_t>(n - 1));
       }},
      {"a page in no key", "in no key and not on the free page list",
       [](VerifyRefuses*, bytes&, bytes& k) {
         const uint32_t eof = ld_le32(k.data(), kHdrEofseek);
         k.resize(eof + kPageSize, 0);
         st_le32(k.data(), kHdrEofseek, eof + kPageSize);
       }},
      {"a free page that is in a tree", "on the free page list and in key 0",
       [](VerifyRefuses* t, bytes&, bytes& k) { st_le32(k.data(), kHdrFreePage, t->first_leaf(k, 0)); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    unlink((base_ + ".dat").c_str());
    unlink((base_ + ".key").c_str());
    build();
    bytes d = slurp(base_ + ".dat"), k = slurp(base_ + ".key");
    c.damage(this, d, k);
    spill(base_ + ".dat", d);
    spill(base_ + ".key", k);
    run_result r = verify();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(c.line), std::string::npos) << r.err;
    EXPECT_EQ(run_kivo("-r=" + base_).status, 1);
    r = verify();
    EXPECT_EQ(r.status, 1) << r.err;
  }
}

// Files without a header, known by their structure file or as the engine's
// own: whole records verify good, a cut or overlong file names its fault.
class HeaderlessFiles : public VerifyRefuses {
 protected:
  // A structure file of `initial` + `elements` counted records, whose FILE
  // record describes `name`; `extra` records more (negative: fewer).
  static bytes structure(const char* name, uint8_t org, char var, uint16_t len, uint8_t keys, int extra = 0) {
    bytes s(kStructFileRecLen * 3, 0);
    st_le32(s.data(), STRUCT_N_INITIAL, 1);
    uint8_t* f = s.data() + kStructFileRecLen;
    memset(f, ' ', kFileRecSize);
    memcpy(f + FI_NAME, name, strlen(name));
    f[FI_ORG] = org, f[FI_VAR] = static_cast<uint8_t>(var), f[FI_NKEYS] = keys;
    st_le16(f, FI_REC_LEN, len);
    s.resize(s.size() + static_cast<size_t>(extra) * kStructFileRecLen);
    return s;
  }
  std::string put(const std::string& rel, const bytes& b) {
    const std::string path = dir_.file(rel);
    EXPECT_EQ(system(("mkdir -p " + path.substr(0, path.rfind('/'))).c_str()), 0);
    spill(path, b);
    return path;
  }
};

TEST_F(HeaderlessFiles, WholeRecordsVerifyGoodAndACutOrOverlongFileFails) {
  const bytes single = structure("ONE", 1, '0', 40, 0), seq = structure("SEQ", 2, '0', 40, 0);
  const bytes keyed = structure("KEYED", 3, '0', 40, 1);
  const struct {
    const char* what;
    const char* file;
    size_t size;
    int status;
    const char* line;
    const bytes* structure = nullptr;
  } cases[] = {
      {"an empty PARAM", "01/DEM/Data/PARAM.dat", 0, 1, ""},
      {"PARAM holding its record", "01/DEM/Data/PARAM.dat", 232, 1, ""},
      {"a cut PARAM", "01/DEM/Data/PARAM.dat", 100, 0, "100 bytes, but a single-record file holds 0 or 232"},
      {"PARAM of two records", "01/DEM/Data/PARAM.dat", 464, 0, "464 bytes, but a single-record file holds 0 or 232"},
      {"SYSPARM holding its record", "0SA/Data/SYSPARM.dat", 508, 1, ""},
      {"SYSPARM a byte over", "0SA/Data/SYSPARM.dat", 509, 0, "509 bytes, but a single-record file holds 0 or 508"},
      {"an empty file of a single record", "DB/AP/Data/ONE.dat", 0, 1, "", &single},
      {"a file holding its single record", "DB/AP/Data/ONE.dat", 40, 1, "", &single},
      {"a cut single record", "DB/AP/Data/ONE.dat", 39, 0, "39 bytes, but a single-record file holds 0 or 40", &single},
      {"two single records", "DB/AP/Data/ONE.dat", 80, 0, "a single-record file holds 0 or 40", &single},
      {"three fixed-length records", "DB/AP/Data/SEQ.dat", 120, 1, "", &seq},
      {"a cut fixed-length record", "DB/AP/Data/SEQ.dat", 100, 0, "no whole number of 40-byte records", &seq},
      {"a keyed file keeps its header", "DB/AP/Data/KEYED.dat", 40, 0, "shorter than the 512-byte header", &keyed},
      {"a PARAM elsewhere is no data file", "PARAM.dat", 232, 0, "shorter than the 512-byte header"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = put(c.file, bytes(c.size, 'r'));
    if (c.structure) {
      std::string st = c.file;
      st.replace(st.find("/Data/"), 6, "/Struct/");
      put(st, *c.structure);
    }
    run_result r = run_kivo("-v=" + path);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.line), std::string::npos) << r.err;
    // The repair leaves a file without a header as it is, good or not.
    EXPECT_EQ(run_kivo("-r=" + path).status, c.status);
    EXPECT_EQ(slurp(path), bytes(c.size, 'r'));
  }
  // Cut records that begin with what reads as a header are not "repaired"
  // into a headered file.
  bytes cut(13 * 40 - 1, 'r');
  st_le16(cut.data(), kHdrFlagsOff, kHdrFixed | kHdrHasVersion);
  st_le16(cut.data(), kHdrVersionOff, kBrfVersion);
  st_le32(cut.data(), kHdrRecLenOff, 40);
  st_le32(cut.data(), kHdrFreelistOff, 0);
  st_le32(cut.data(), kHdrEofseekOff, kDataHeaderSize);
  const std::string path = put("DB/AP/Data/SEQ.dat", cut);
  EXPECT_EQ(run_kivo("-r=" + path).status, 0);
  EXPECT_EQ(slurp(path), cut);
  // The structure files themselves: their count of records against their size.
  const struct {
    int extra;
    int status;
    const char* line;
  } counts[] = {{0, 1, ""}, {1, 0, "4 records, but it should hold 3"}, {-1, 0, "2 records, but it should hold 3"}};
  for (const auto& c : counts) {
    SCOPED_TRACE(c.extra);
    bytes s = structure("ONE", 1, '0', 40, 0, c.extra);
    run_result r = run_kivo("-v=" + put("DB/AP/Struct/ONE.dat", s));
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.line), std::string::npos) << r.err;
  }
  bytes s = structure("ONE", 1, '0', 40, 0);
  s.resize(s.size() - 1);
  EXPECT_NE(run_kivo("-v=" + put("DB/AP/Struct/ONE.dat", s)).err.find("no whole number of 1016-byte records"),
            std::string::npos);
}

// The export reads such a file by its records; an import into one is
// refused and makes no file.
TEST_F(HeaderlessFiles, ExportReadsTheRecordsAndImportIntoOneIsRefused) {
  const std::string param = put("01/DEM/Data/PARAM.dat", bytes(232, 'p'));
  put("DB/AP/Struct/SEQ.dat", structure("SEQ", 2, '0', 4, 0));
  const std::string seq = put("DB/AP/Data/SEQ.dat", {'a', 'a', 'a', 'a', 'b', 'b', 'b', 'b', 'c', 'c', 'c', 'c'});
  const struct {
    std::string dat;
    std::string lines;
  } cases[] = {{param, std::string(232, 'p') + "\n"}, {seq, "aaaa\nbbbb\ncccc\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dat);
    const std::string flat = c.dat.substr(0, c.dat.size() - 4);
    EXPECT_EQ(run_kivo("-e=" + c.dat).status, 0);
    const bytes got = slurp(flat);
    EXPECT_EQ(std::string(got.begin(), got.end()), c.lines);
    ASSERT_EQ(unlink(c.dat.c_str()), 0);
    run_result r = run_kivo("-i=" + flat);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("it keeps no header"), std::string::npos) << r.err;
    EXPECT_NE(access(c.dat.c_str(), F_OK), 0);
  }
}

}  // namespace
}  // namespace kivo
