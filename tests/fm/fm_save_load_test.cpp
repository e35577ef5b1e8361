// Whole files saved into a record stream and loaded back, and the record
// cache filled from the INITIAL file of application "0DN". Disk files are
// native files under a scratch data directory.
#include <string>
#include <tuple>
#include <vector>

#include "fm/fm_record_cache.h"
#include "fm/whole_file.h"
#include "fm_native_util.h"
#include "fm_record_test_util.h"
#include "foundation/bytes.h"

namespace kivo::test {
namespace {

using namespace std::string_literals;
using recs = std::vector<std::string>;

// Records keyed (unique) on their first byte, or a keyless stream file.
struct file_desc : owned_fdb {
  file_desc(const char* name, uint16_t len, uint8_t var, bool keyed, uint8_t fs = FS_MEMORY)
      : owned_fdb(len, keyed ? std::vector<key_def>{{0, '+', {{0, 1}}}} : std::vector<key_def>{}) {
    fdb.fdb_fs_type = fs;
    fdb.fdb_var = var;
    fdb.fdb_org = keyed ? ORG_INDEXED : ORG_SEQUENTIAL;
    fdb.fdb_opt = LFB_NO_STRUCT_CHK;                      // for the loads
    fdb.fdb_struct_date[0] = fdb.fdb_struct_date[1] = 0;  // no design to look the stamp up in
    INIT_TMP_PATH(&fdb.path, "0DN", "00", name, 0);
  }
};

class FmStream : public FmRec {
 protected:
  void SetUp() override {
    FmRec::SetUp();
    ASSERT_EQ(start_native(data_), 1);
  }
  void TearDown() override {
    stop_native();
    FmRec::TearDown();
  }
  static ARB* make(file_desc& d) {
    return FM_CREATE(&d.fdb, 1, 0, LFB_OPEN_NEW | LFB_NO_STRUCT_CHK, 0x0f, 0x0f) ? d.fdb.fdb_arb : nullptr;
  }
  static int put(ARB* a, const std::string& r) {
    a->arb_rec = reinterpret_cast<uint8_t*>(const_cast<char*>(r.data()));
    a->arb_len = a->arb_var_len = uint16_t(r.size());
    a->arb_mod = 0;
    return fm_write(a);
  }
  static void fill(ARB* a, const recs& rs) {
    for (auto& r : rs) ASSERT_EQ(put(a, r), 1) << r;
  }
  static void rewind(ARB* a) {
    a->arb_keyno = 0;
    a->arb_mod = ARB_FIRST;
    ASSERT_EQ(fm_start(a), 1);
  }
  static recs all(ARB* a) {
    recs out;
    rewind(a);
    while (uint8_t* r = fm_rdnxt_fast(a, 0)) out.emplace_back(reinterpret_cast<char*>(r), a->arb_len);
    return out;
  }
  static bool exists(const file_desc& d) {
    FDB f = d.fdb;
    return FM_OPEN(&f, 1, LFB_NO_STRUCT_CHK, 0x0f, 0x0f) && FM_CLOSE(f.fdb_arb, 0);
  }
  scratch_dir dir_;
  std::string data_ = dir_.path();
  file_desc stream{"STREAM", 16, 1, false};
};

using FmSaveLoad = FmStream;

TEST_F(FmSaveLoad, FilesRoundTripAndCopyRecordForRecord) {
  // memory stream, record length, variable, records, stream records, loaded
  // through the disk descriptor of a "0DN" design file
  const std::tuple<bool, uint16_t, uint8_t, recs, size_t, bool> rows[] = {
      {false, 1, 0, {"c", "a", "b"}, 7, false},  // an escape before each
      {false, 12, 1, {"b23456789012", "a", "cc"}, 5, false},
      {false, 12, 1, {}, 1, false},  // the end record alone
      {true, 1, 0, {"c", "a", "b"}, 4, false},
      {true, 12, 1, {"b23456789012", "a", "cc"}, 4, false},
      {true, 12, 1, {}, 1, false},  // the count record alone
      {true, 12, 1, {"b23456789012", "a"}, 3, true},
  };
  int n = 0;
  for (const auto& [memory, len, var, in, stream_recs, design] : rows) {
    std::string tag = std::to_string(n++);
    const uint8_t fs = memory ? FS_MEMORY : FS_DISK;
    file_desc src(("S" + tag).c_str(), len, var, true, fs), copy(("C" + tag).c_str(), len, var, true, fs);
    if (design) memcpy(copy.fdb.path.fdb_src_ap, "0DN", 3), copy.fdb.fdb_fs_type = FS_DISK;
    ARB *a = make(src), *s = make(stream);
    ASSERT_TRUE(a && s);
    fill(a, in);
    ASSERT_EQ(fm_save_fi(s, a), 1) << tag;
    EXPECT_EQ(all(s).size(), stream_recs) << tag;
    rewind(s);
    ASSERT_EQ(fm_load_fi(&copy.fdb, s, 1), 1) << tag << " " << copy.fdb.fdb_stat;
    if (memory && in.empty()) {
      EXPECT_EQ(copy.fdb.fdb_arb, nullptr);  // a count of 0 creates nothing
    } else {
      EXPECT_EQ(all(copy.fdb.fdb_arb), all(a)) << tag;
      EXPECT_EQ(FM_CLOSE(copy.fdb.fdb_arb, ARB_SCRATCH), 1);
    }
    file_desc dup(("K" + tag).c_str(), len, var, true);
    ASSERT_EQ(fm_copy(&dup.fdb, &src.fdb), 1) << tag << " " << src.fdb.fdb_stat;
    ASSERT_TRUE(FM_OPEN(&dup.fdb, 1, 0, 0x0f, 0x0f));
    EXPECT_EQ(all(dup.fdb.fdb_arb), all(a)) << tag;
    EXPECT_EQ(FM_CLOSE(dup.fdb.fdb_arb, ARB_SCRATCH), 1);
    EXPECT_EQ(FM_CLOSE(s, ARB_SCRATCH), 1);
    EXPECT_EQ(FM_CLOSE(a, ARB_SCRATCH), 1);
  }
}

TEST_F(FmSaveLoad, DamagedStreamsFailAndLeaveNoFile) {
  // memory stream, variable, stream, status (0: loaded), records loaded
  const std::tuple<bool, uint8_t, recs, uint32_t, recs> rows[] = {
      {true, 1, {"\x02\0\0"s}, FM_REC_LEN_DIFF, {}},  // a count record of 3 bytes
      {true, 1, {"\x02\0\0\0"s, "a"}, FM_EOF, {}},
      {true, 1, {"\x01\0\0\0"s, "abcd"}, FM_REC_TOO_LONG, {}},
      {true, 0, {"\x01\0\0\0"s, "ab"}, FM_REC_LEN_DIFF, {}},
      {true, 1, {"\x01\0\0\0"s, "ab", "cd"}, 0, {"ab"}},  // what the count says, no more
      {false, 1, {"ab"}, FM_EOF, {}},                     // no end record
      {false, 1, {"ab", "\0"s}, FM_EOF, {}},              // an escape at the end
      {false, 1, {"abcd", "\x01"}, FM_REC_TOO_LONG, {}},
      {false, 0, {"ab", "\x01"}, FM_REC_LEN_DIFF, {}},
      {false, 1, {"\0"s, "\x01", "ab", "\x01", "cd"}, 0, {"\x01", "ab"}},  // an escaped end
  };
  for (const auto& [memory, var, in, want, loaded] : rows) {
    file_desc copy("COPY", 3, var, true, memory ? FS_MEMORY : FS_DISK);
    ARB* s = make(stream);
    ASSERT_TRUE(s);
    fill(s, in);
    rewind(s);
    int ok = fm_load_fi(&copy.fdb, s, 1);
    EXPECT_EQ(ok, want == 0) << in.back();
    if (ok) {
      EXPECT_EQ(all(copy.fdb.fdb_arb), loaded);
      EXPECT_EQ(FM_CLOSE(copy.fdb.fdb_arb, ARB_SCRATCH), 1);
    } else {
      EXPECT_EQ(copy.fdb.fdb_stat, want) << in[0];
      EXPECT_EQ(copy.fdb.fdb_arb, nullptr);
      EXPECT_FALSE(exists(copy));
    }
    EXPECT_EQ(FM_CLOSE(s, ARB_SCRATCH), 1);
  }
}

TEST_F(FmSaveLoad, SaveWhoseWriteFailsWritesNoEndAndItsLoadFails) {
  file_desc src("SRC", 1, 0, true, FS_DISK), keyed("KEYED", 16, 1, true), copy("COPY", 1, 0, true, FS_DISK);
  ARB *a = make(src), *s = make(keyed);
  ASSERT_TRUE(a && s);
  fill(a, {"a", "b"});
  EXPECT_EQ(fm_save_fi(s, a), 0);  // the second escape duplicates the first
  EXPECT_EQ(s->arb_stat, FM_DUP_KEY);
  EXPECT_EQ(all(s), (recs{"\0"s, "a"}));
  rewind(s);
  EXPECT_EQ(fm_load_fi(&copy.fdb, s, 1), 0);
  EXPECT_EQ(copy.fdb.fdb_stat, FM_EOF);
  EXPECT_FALSE(exists(copy));
}

TEST_F(FmSaveLoad, MemorySaveThatCountsWrongFails) {
  file_desc src("SRC", 4, 1, true), copy("COPY", 4, 1, true);
  ARB *a = make(src), *s = make(stream);
  ASSERT_TRUE(a && s);
  fill(a, {"a", "b"});
  auto* f = static_cast<mfb*>(a->arb_sarb->sarb_cur_strm->strm_lfb->lfb_pfb->pfb_fms_data);
  ++f->nrecs;
  EXPECT_EQ(mm_save_fi(s, a), 0);
  EXPECT_EQ(s->arb_stat, FM_IO_ERR);
  --f->nrecs;
  ASSERT_EQ(FM_CLOSE(s, ARB_SCRATCH), 1);
  s = make(stream);
  EXPECT_EQ(mm_save_fi(s, nullptr), 1);  // no memory file: a count of 0
  EXPECT_EQ(all(s), (recs{"\0\0\0\0"s}));
  rewind(s);
  EXPECT_EQ(mm_load_fi(&copy.fdb, s, 1), 1);
  EXPECT_EQ(copy.fdb.fdb_arb, nullptr);
}

TEST_F(FmSaveLoad, DelAllOpensADeferredFileAndStopsOnlyAtItsEnd) {
  rec_desc d{"DELALL"};
  uint8_t buf[kRecLen], buf2[kRecLen];
  ARB* h = FmRec::create(d, buf);
  ASSERT_TRUE(h);
  for (int i = 0; i < 20; ++i)
    ASSERT_EQ(put(h, std::string(4 - std::to_string(i).size(), '0') + std::to_string(i) + "S0T0U0zz"), 1);
  ASSERT_EQ(FM_CLOSE(h, 0), 1);
  ASSERT_TRUE(FM_OPEN(&d.fdb, 1, LFB_DEFER, 0x0f, 0x0f));
  ARB* a = with_buf(d.fdb.fdb_arb, buf);
  EXPECT_EQ(a->arb_sarb->sarb_cur_strm->strm_active, kStrmInactive);
  ARB* b = attach(a, nullptr, buf2);
  memcpy(buf2, "0007", 4);
  b->arb_mod = ARB_EQUAL | ARB_HOLD;
  ASSERT_EQ(fm_read(b), 1);
  EXPECT_EQ(fm_del_all(a), 0);  // a record it cannot hold
  EXPECT_EQ(a->arb_stat, FM_HELD_SELF);
  ASSERT_EQ(fm_release(b), 1);
  a->arb_mod = ARB_KEEP_POS;
  EXPECT_EQ(fm_del_all(a), 1);
  EXPECT_EQ(a->arb_mod, ARB_KEEP_POS);
  EXPECT_EQ(a->arb_rec, buf);
  a->arb_mod = ARB_FIRST;
  EXPECT_EQ(fm_read(a), 0);
}

// INITIAL records: file name, kind, sequence, then the data.
class FmRecordCache : public FmStream {
 protected:
  void SetUp() override {
    FmStream::SetUp();
    INIT_DINIT_FDB(&init, kdb, sdb, "0DN", "00");  // a disk descriptor: made a memory file, no structure file
    ASSERT_TRUE(FM_CREATE(&init, 0, 0, LFB_OPEN_NEW, 0x0f, 0x0f));
    ASSERT_TRUE(FM_CLOSE(init.fdb_arb, 0));
    INIT_DINIT_FDB(&init, kdb, sdb, "0DN", "00");
    ASSERT_TRUE(FM_OPEN(&init, 0, 0, 0x0f, 0x0f));
    const PFB* p = init.fdb_arb->arb_sarb->sarb_cur_strm->strm_lfb->lfb_pfb;
    ASSERT_TRUE(p->TYPE == FS_MEMORY && p->pfb_rec_len == 1013 && p->pfb_var == 1 && p->pfb_nkeys == 1);
  }
  void add(const char* name, uint8_t kind, const recs& pieces) {
    uint32_t seq = 0;
    for (const std::string& d : pieces) {
      std::string r = std::string(name) + std::string(8 - strlen(name), ' ') + char(kind) + "0000" + d;
      st_be32(reinterpret_cast<uint8_t*>(r.data()), 9, ++seq);
      ASSERT_EQ(put(init.fdb_arb, r), 1);
    }
  }
  static uint16_t uses(const uint8_t* ref) { return ld_le16(ref - kCacheHdrSize, CACHE_USES); }
  FDB init;
  KDB kdb[kInitMaxKeys];
  SDB sdb[8];
};

TEST_F(FmRecordCache, OpensShareOneNullRecordFreedAtTheLastUncache) {
  add("CUST", CACHE_NULL, {"nnnnnn", "nnnnNM"});
  add("CUST", CACHE_INITIAL, {"iiiiiiiiiiii"});
  rec_desc d{"CUST", 1};
  uint8_t b[kRecLen];
  ARB* a = FmRec::create(d, b);
  ASSERT_TRUE(a);
  const uint8_t* null = a->arb_sarb->sarb_cur_strm->strm_lfb->lfb_pfb->pfb_null_rec;
  ASSERT_TRUE(null);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(null), kRecLen), "nnnnnnnnnnNM");
  const uint8_t* again = fm_cache(&d.fdb, CACHE_NULL);
  EXPECT_EQ(again, null);
  EXPECT_EQ(uses(null), 2);
  const uint8_t* initial = fm_cache(&d.fdb, CACHE_INITIAL);
  ASSERT_TRUE(initial);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(initial), kRecLen), "iiiiiiiiiiii");
  EXPECT_EQ(fm_uncache(initial), 1);
  ASSERT_EQ(put(a, "0001S0T0U0"), 1);  // a short record reads back with the null tail
  memset(b, 'x', kRecLen);
  memcpy(b, "0001", 4);
  a->arb_rec = b, a->arb_len = kRecLen, a->arb_mod = ARB_EQUAL;
  ASSERT_EQ(fm_read(a), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(b), kRecLen), "0001S0T0U0NM");
  EXPECT_EQ(fm_uncache(again), 1);
  EXPECT_EQ(uses(null), 1);
  ASSERT_EQ(FM_CLOSE(a, 0), 1);  // the PFB goes, and the block with it
  uint8_t key[kCacheHdrSize] = {};
  memcpy(key, null - kCacheHdrSize, kCacheKeyLen);
  EXPECT_EQ(fm_slot(fm_cache_arb, &fms_fn::start, ARB_FIRST, key), 1);
  EXPECT_EQ(fm_slot(fm_cache_arb, &fms_fn::rdnxt, ARB_LOCATE, nullptr), 0);
}

TEST_F(FmRecordCache, InitialRecordsNotMakingUpTheLengthGive200250) {
  const std::tuple<const char*, recs, uint32_t> rows[] = {
      {"EXACT", {"nnnnnn", "", "nnnnnn"}, 0},
      {"SHORT", {"nnnnnn", "nnnnn"}, FM_BAD_INIT},
      {"LONG", {"nnnnnn", "nnnnnnn"}, FM_BAD_INIT},
      {"MORE", {"nnnnnnnnnnnn", "n"}, FM_BAD_INIT},
      {"NONE", {}, FM_BAD_INIT},
  };
  add("EXACU", CACHE_NULL, {"nnnnnn"});  // the next name's records do not count
  for (const auto& [name, pieces, want] : rows) {
    add(name, CACHE_NULL, pieces);
    rec_desc d{name, 1};
    const uint8_t* ref = fm_cache(&d.fdb, CACHE_NULL);
    EXPECT_EQ(d.fdb.fdb_stat, want) << name;
    EXPECT_EQ(ref != nullptr, want == 0) << name;
    if (!ref) continue;
    d.fdb.fdb_rec_len = kRecLen - 1;  // cached for another length
    EXPECT_EQ(fm_cache(&d.fdb, CACHE_NULL), nullptr);
    EXPECT_EQ(d.fdb.fdb_stat, FM_BAD_INIT);
    EXPECT_EQ(fm_uncache(ref), 1);
  }
}

TEST_F(FmRecordCache, OpenScopedFilesAreListedOnceAsDescriptors) {
  file_desc sc("SCOPED", 4, 0, true), plain("PLAIN", 4, 0, true), out("FIS", kFdbStoredSize, 0, true);
  out.kdb[0].kdb_len = out.sdb[0].sdb_len = 28;  // keyed by the path
  sc.fdb.path.fdb_tmp_id = 1;
  ASSERT_TRUE(FM_CREATE(&sc.fdb, 1, 0, LFB_OPEN_NEW | LFB_SCOPED, 0x0f, 0x0f) && make(plain) && make(out));
  uint8_t buf[kFdbStoredSize];
  ARB* o = with_buf(out.fdb.fdb_arb, buf);
  EXPECT_EQ(fm_find_fis(o), 1);
  EXPECT_EQ(fm_find_fis(o), 1);  // the record there is replaced
  recs r = all(o);
  ASSERT_EQ(r.size(), 1u);
  const auto* d = reinterpret_cast<const uint8_t*>(r[0].data());
  EXPECT_EQ(r[0].substr(FDB_NAME, 6), "SCOPED");
  EXPECT_EQ(ld_le32(d, FDB_OPT), uint32_t{LFB_SCOPED | LFB_NO_STRUCT_CHK | LFB_ANY_DIR});
  EXPECT_EQ(ld_le16(d, FDB_REC_LEN), 4);
}

}  // namespace
}  // namespace kivo::test
