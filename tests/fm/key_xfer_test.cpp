// Key compare and copy: the run-map compare against the key file's own
// segment-by-segment compare on random keys, copies between layouts, the
// length of a key up to a record byte, and the handle's key operations.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "fm/key_xfer.h"
#include "fm_objects_test_util.h"
#include "store/key_segment.h"

namespace kivo {
namespace {

using test::key_def;
using test::owned_fdb;
using test::seg_def;

class FmKeyCompare : public test::FmFresh {};

int sgn(int v) { return (v > 0) - (v < 0); }

// Random keys of every segment kind, mostly laid end to end so that runs merge.
struct random_key {
  std::mt19937& rng;
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

  key_def make(uint16_t* rec_len) {
    static const uint8_t orders[] = {'+', '-', ' '};
    key_def k{0, orders[pick(0, 2)], {}};
    int nsegs = pick(1, 16);
    int pos = 0, sum = 0;
    for (int i = 0; i < nsegs; ++i) {
      seg_def s{0, 0};
      switch (pick(0, 5)) {
        case 0:
        case 1: s.type = pick(0, 1) ? SDB_CHARS : SDB_TEXT, s.len = uint16_t(pick(1, 12)); break;
        case 2: s.type = SDB_BINARY, s.len = uint16_t(1 << pick(0, 2)); break;
        case 3: s.type = SDB_UBINARY, s.len = uint16_t(1 << pick(0, 2)); break;
        default: s.type = SDB_PACKED, s.len = uint16_t(pick(1, 16)); break;
      }
      if (sum + s.len > 255) break;
      s.order = orders[pick(0, 5) < 4 ? 0 : pick(1, 2)];
      if (pick(0, 7) == 0) pos += pick(1, 3);  // a gap stops a merge
      s.off = uint16_t(pos);
      pos += s.len;
      sum += s.len;
      k.segs.push_back(s);
    }
    if (k.segs.size() > 2 && pick(0, 3) == 0) std::swap(k.segs[0], k.segs[k.segs.size() - 1]);
    *rec_len = uint16_t(pos);
    return k;
  }

  void fill(uint8_t* p, const seg_def& s) {
    if (s.type != SDB_PACKED) {
      // Few distinct byte values, so equal prefixes are common.
      for (int i = 0; i < s.len; ++i) p[i] = uint8_t(pick(0, 3) == 0 ? pick(0, 255) : pick(0, 2) * 0x7F);
      return;
    }
    for (int i = 0; i < s.len; ++i) p[i] = uint8_t(pick(0, 1) * pick(0, 9) * 16 + pick(0, 1) * pick(0, 9));
    static const uint8_t signs[] = {0x0C, 0x0F, 0x0D};
    p[s.len - 1] = uint8_t((p[s.len - 1] & 0xF0) | signs[pick(0, 2)]);
  }
};

// The key file's declaration of a segment: its type byte, then its kind.
key_seg declared(const KDB& k, const SDB& s) {
  uint8_t type = type_to_bktype(s.sdb_type, GET_SEG_ORD(k.kdb_order, s.sdb_order));
  key_seg seg;
  seg.kind = seg_kind_of_type(type);
  seg.descending = type & kSegDescending;
  seg.len = s.sdb_len;
  return seg;
}

// Key layout built byte by byte from the segment descriptors.
std::vector<uint8_t> key_of(const KDB& k, const uint8_t* rec) {
  std::vector<uint8_t> key;
  for (int j = 0; j < k.kdb_nsegs; ++j)
    key.insert(key.end(), rec + k.kdb_sdb[j].sdb_offset, rec + k.kdb_sdb[j].sdb_offset + k.kdb_sdb[j].sdb_len);
  return key;
}

// The unmerged compare over a partial length: whole segments by key_compare,
// a character segment cut by the limit over its remaining bytes.
int model_cmp(const std::vector<key_seg>& segs, const uint8_t* a, const uint8_t* b, int limit) {
  int off = 0, left = limit ? limit : 1 << 20;
  for (const key_seg& s : segs) {
    if (left <= 0) break;
    if (left >= s.len) {
      if (int c = key_compare(&s, 1, a + off, b + off)) return c;
    } else {
      if (s.kind != seg_kind::chars) return 0;
      int c = sgn(memcmp(a + off, b + off, left));
      return s.descending ? -c : c;
    }
    left -= s.len;
    off += s.len;
  }
  return 0;
}

TEST_F(FmKeyCompare, RunMapCompareAgreesWithTheKeyFilesSegmentCompare) {
  std::mt19937 rng(20261207);
  random_key gen{rng};
  int pairs = 0, nonzero = 0, partial = 0;
  while (pairs < 100000) {
    uint16_t rec_len;
    key_def kd = gen.make(&rec_len);
    owned_fdb f(rec_len, {kd});
    PFB* pfb = create_pfb(&f.fdb);
    ASSERT_NE(pfb, nullptr);
    const KDB& k = pfb->pfb_kdb[0];
    const PKB& runs = pfb->pfb_pkb[0];
    std::vector<key_seg> segs;
    for (int j = 0; j < k.kdb_nsegs; ++j) segs.push_back(declared(k, k.kdb_sdb[j]));
    std::vector<uint8_t> ra(rec_len), rb(rec_len);
    for (int n = 0; n < 50; ++n, ++pairs) {
      for (auto& s : kd.segs) gen.fill(ra.data() + s.off, s);
      rb = ra;
      int changes = gen.pick(0, 2);
      for (int c = 0; c < changes; ++c) {
        const seg_def& s = kd.segs[gen.pick(0, int(kd.segs.size()) - 1)];
        gen.fill(rb.data() + s.off, s);
      }
      int limit = gen.pick(0, 2) ? 0 : gen.pick(1, k.kdb_len);
      partial += limit != 0;
      std::vector<uint8_t> ka = key_of(k, ra.data()), kb = key_of(k, rb.data());
      int want = model_cmp(segs, ka.data(), kb.data(), limit);
      nonzero += want != 0;
      // Record against key layout, and key against record layout.
      KEY_XFER x{ra.data(), kb.data(), 0, 1, uint8_t(limit), uint8_t(runs.pkb_nruns), runs.pkb_runs};
      ASSERT_EQ(sgn(fm_cmp(x)), want) << "pair " << pairs << " limit " << limit;
      KEY_XFER y{kb.data(), ra.data(), 1, 0, uint8_t(limit), uint8_t(runs.pkb_nruns), runs.pkb_runs};
      ASSERT_EQ(sgn(fm_cmp(y)), -want) << "pair " << pairs;
    }
    free_pfb_block(pfb);
  }
  EXPECT_GT(nonzero, pairs / 4);
  EXPECT_LT(nonzero, pairs - pairs / 10) << "equal keys must be common too";
  EXPECT_GT(partial, pairs / 4);
}

// The key file's type bytes of descriptor types (a stored format); the run
// map's codes come from the same kinds and are checked with the run map.
TEST_F(FmKeyCompare, DescriptorTypesGiveTheKeyFilesTypeBytes) {
  EXPECT_EQ(type_to_bktype(SDB_CHARS, '+'), 1);
  EXPECT_EQ(type_to_bktype(SDB_TEXT, '-'), 0x81);
  EXPECT_EQ(type_to_bktype(SDB_PACKED, '+'), 3);
  EXPECT_EQ(type_to_bktype(SDB_BINARY, '+'), 2);
  EXPECT_EQ(type_to_bktype(7, '-'), 0);
  uint8_t z = 0;
  EXPECT_EQ(seg_cmp(9, &z, &z, 1, '+'), 0);
  EXPECT_TRUE(reported("seg_cmp entered default"));
}

TEST_F(FmKeyCompare, CopyBetweenLayoutsRoundTripsOverPartialLengths) {
  // Key: 3 chars at 10, a binary word at 0, 5 packed bytes at 20.
  owned_fdb f(30, {{0, '+', {{10, 3}, {0, 2, SDB_BINARY}, {20, 5, SDB_PACKED}}}});
  PFB* pfb = create_pfb(&f.fdb);
  const PKB& runs = pfb->pfb_pkb[0];
  uint8_t rec[30];
  for (int i = 0; i < 30; ++i) rec[i] = uint8_t(0x40 + i);
  for (int limit = 0; limit <= 10; ++limit) {
    uint8_t key[12], back[30], key2[12];
    memset(key, 0xEE, sizeof key);
    memset(back, 0xEE, sizeof back);
    memset(key2, 0xEE, sizeof key2);
    KEY_XFER to_key{key, rec, 1, 0, uint8_t(limit), uint8_t(runs.pkb_nruns), runs.pkb_runs};
    fm_cpy(to_key);
    int n = limit ? limit : 10;
    const uint8_t want[10] = {0x4A, 0x4B, 0x4C, 0x40, 0x41, 0x54, 0x55, 0x56, 0x57, 0x58};
    EXPECT_EQ(memcmp(key, want, n), 0) << limit;
    for (int i = n; i < 12; ++i) EXPECT_EQ(key[i], 0xEE) << "copy past the limit " << limit;
    KEY_XFER to_rec{back, key, 0, 1, uint8_t(limit), uint8_t(runs.pkb_nruns), runs.pkb_runs};
    fm_cpy(to_rec);
    for (int i = 0; i < 30; ++i) {
      int kpos = i >= 10 && i < 13 ? i - 10 : i < 2 ? 3 + i : i >= 20 && i < 25 ? 5 + i - 20 : -1;
      uint8_t expect = kpos >= 0 && kpos < n ? rec[i] : 0xEE;
      EXPECT_EQ(back[i], expect) << "record byte " << i << " limit " << limit;
    }
    KEY_XFER key_to_key{key2, key, 1, 1, uint8_t(limit), uint8_t(runs.pkb_nruns), runs.pkb_runs};
    fm_cpy(key_to_key);
    EXPECT_EQ(memcmp(key2, key, n), 0);
    EXPECT_EQ(key2[n], 0xEE);
  }
  free_pfb_block(pfb);
}

TEST_F(FmKeyCompare, LengthUpToARecordByteAtEveryRunBoundary) {
  const SSB runs[] = {{10, 3, 8, '+'}, {0, 2, 6, '+'}, {20, 6, 8, '+'}};
  uint8_t rec[40];
  struct row {
    int byte, want;
  };
  const row rows[] = {{10, 1}, {11, 2},  {12, 3}, {13, 11}, {9, 11},  {0, 4},  {1, 5},
                      {2, 11}, {19, 11}, {20, 6}, {25, 11}, {26, 11}, {39, 11}};
  for (const row& r : rows) EXPECT_EQ(fm_lsb_to_len(rec, rec + r.byte, 3, runs), r.want) << "byte " << r.byte;
  EXPECT_EQ(fm_lsb_to_len(rec, rec + 10, 0, runs), 0);
}

TEST_F(FmKeyCompare, HandleKeyOperationsWorkOnTheCurrentStreamsKey) {
  owned_fdb f(30, {{3, '+', {{10, 3}, {0, 2, SDB_BINARY}}}});
  f.fdb.fdb_var = 1;
  PFB* pfb = create_pfb(&f.fdb);
  LFB lfb{};
  lfb.lfb_pfb = pfb;
  STRM strm{};
  strm.strm_lfb = &lfb;
  SARB* sarb = alloc_sarb();
  ARB* arb = sarb->sarb_arb;
  uint8_t rec[30] = {}, key[5] = {};
  memcpy(rec + 10, "abc", 3);
  rec[0] = 5;
  arb->arb_rec = rec;
  arb->arb_keyno = 3;
  arb->arb_var_len = 17;
  arb->arb_len = 9;

  EXPECT_EQ(get_rec_len(arb), 9) << "no stream: the handle's own length";
  EXPECT_EQ(fm_key_cmp(arb), 0);
  EXPECT_TRUE(reported("fm_key_cmp() - missing current stream"));
  sarb->sarb_cur_strm = &strm;
  EXPECT_EQ(get_rec_len(arb), 17);

  arb->arb_key = key;
  EXPECT_EQ(fm_cmprs(arb), 5);
  EXPECT_EQ(memcmp(key, "abc\x05\x00", 5), 0);
  EXPECT_EQ(fm_key_cmp(arb), 0);
  key[3] = 6;
  EXPECT_EQ(fm_key_cmp(arb), -1);
  arb->arb_key_len = 2;
  key[1] = 'a';
  EXPECT_EQ(fm_key_cmp(arb), 1) << "partial key of 2";
  arb->arb_key_len = 300;
  EXPECT_EQ(fm_cmprs(arb), 5) << "a partial length beyond the key is the key";
  memcpy(key, "xyz\x07\x09", 5);
  arb->arb_key_len = 4;
  fm_uncmprs(arb);
  EXPECT_EQ(memcmp(rec + 10, "xyz", 3), 0);
  EXPECT_EQ(rec[0], 7) << "the binary word is cut by the partial length: its first byte only";
  EXPECT_EQ(rec[1], 0);
  arb->arb_key = nullptr;
  arb->arb_key_end = rec + 11;
  EXPECT_EQ(fm_cmprs(arb), 2);
  arb->arb_key_end = nullptr;
  EXPECT_EQ(fm_cmprs(arb), 5);
  mm_free(sarb);
  free_pfb_block(pfb);
}

}  // namespace
}  // namespace kivo
