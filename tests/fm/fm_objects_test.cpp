// File-manager objects: the PFB built from a descriptor, its key-number map
// and key-run map, scan-control chains, scope entries and the handle block.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fm/key_xfer.h"
#include "fm_objects_test_util.h"

namespace kivo {
namespace {

using test::key_def;
using test::owned_fdb;
using test::seg_def;

// Every test gets a scan file: key 1 of chars 10+3, binary 0+2, chars 20+4
// and 24+2 (one run), and two bound records.
class FmObjects : public test::FmFresh {
 protected:
  void SetUp() override {
    FmFresh::SetUp();
    file_ = std::make_unique<owned_fdb>(
        40, std::vector<key_def>{{1, '+', {{10, 3}, {0, 2, SDB_BINARY}, {20, 4}, {24, 2}}}});
    pfb_ = create_pfb(&file_->fdb);
    memset(lo_, 0, sizeof lo_);
    memcpy(lo_ + 10, "abc", 3);
    lo_[0] = 0x34, lo_[1] = 0x12;
    memcpy(lo_ + 20, "wxyz", 4);
    memcpy(lo_ + 24, "!?", 2);
    memcpy(hi_, lo_, sizeof hi_);
    hi_[25] = '#';
  }
  std::unique_ptr<owned_fdb> file_;
  PFB* pfb_ = nullptr;
  uint8_t lo_[40], hi_[40];
};

TEST_F(FmObjects, RefusedKeysFailWith200410AndLeaveThePoolAsItWas) {
  std::vector<seg_def> seventeen;
  for (int i = 0; i < 17; ++i) seventeen.push_back({uint16_t(i), 1});
  struct row {
    const char* what;
    uint16_t rec_len;
    std::vector<key_def> keys;
  };
  const std::vector<row> rows = {
      {"stated length differs from the sum", 100, {{0, '+', {{0, 3}, {3, 4}}, 6}}},
      {"stated length over the sum", 100, {{0, '+', {{0, 3}}, 4}}},
      {"sum of lengths over 255", 600, {{0, '+', {{0, 200}, {200, 56}}}}},
      {"more than 16 segments", 100, {{0, '+', seventeen}}},
      {"segment past the record", 100, {{0, '+', {{90, 11}}}}},
      {"binary segment of 3 bytes", 100, {{0, '+', {{0, 3, SDB_BINARY}}}}},
      {"packed segment of 17 bytes", 100, {{0, '+', {{0, 17, SDB_PACKED}}}}},
      {"unknown segment type", 100, {{0, '+', {{0, 4, 9}}}}},
      {"key number used twice", 100, {{0, '+', {{0, 4}}}, {0, '+', {{4, 4}}}}},
      {"second key bad, first good", 100, {{0, '+', {{0, 4}}}, {1, '+', {{96, 8}}}}},
  };
  for (const row& r : rows) {
    owned_fdb f(r.rec_len, r.keys);
    uint32_t blocks = mm_total_blocks(), bytes = mm_total_bytes();
    f.fdb.fdb_stat = 0;
    EXPECT_EQ(create_pfb(&f.fdb), nullptr) << r.what;
    EXPECT_EQ(f.fdb.fdb_stat, uint32_t{FM_BAD_KEY_LEN}) << r.what;
    EXPECT_EQ(mm_total_blocks(), blocks) << r.what;
    EXPECT_EQ(mm_total_bytes(), bytes) << r.what;
  }
  // At the limits the same shapes are accepted.
  std::vector<seg_def> sixteen(seventeen.begin(), seventeen.end() - 1);
  const std::vector<row> fine = {
      {"sum of 255", 600, {{0, '+', {{0, 200}, {200, 55}}}}},
      {"16 segments", 100, {{0, '+', sixteen}}},
      {"segment ending at the record's end", 100, {{0, '+', {{89, 11}}}}},
      {"stated length equal to the sum", 100, {{0, '+', {{0, 3}, {3, 4}}, 7}}},
  };
  for (const row& r : fine) {
    owned_fdb f(r.rec_len, r.keys);
    PFB* pfb = create_pfb(&f.fdb);
    ASSERT_NE(pfb, nullptr) << r.what;
    free_pfb_block(pfb);
  }
}

TEST_F(FmObjects, PfbCopiesTheDescriptorWithSummedLengthsAndInheritedOrders) {
  uint32_t blocks0 = mm_total_blocks();
  owned_fdb f(120, {{2, '-', {{10, 4, SDB_CHARS, ' '}, {0, 2, SDB_BINARY, '+'}, {20, 3, SDB_PACKED, '-'}}},
                    {0, '+', {{50, 8, SDB_CHARS, ' '}, {60, 4, SDB_UBINARY, '-'}}, 12, KDB_DUP}});
  f.fdb.fdb_opt = LFB_SCOPED;
  f.fdb.path.fdb_tmp_id = 6;
  f.fdb.fdb_struct_date[0] = 11;
  f.fdb.fdb_struct_date[1] = 12;
  PFB* pfb = create_pfb(&f.fdb);
  ASSERT_NE(pfb, nullptr);
  const KDB* k = pfb->pfb_kdb;
  // Stated 0 becomes the sum; blank segment orders take the key's; key
  // numbers 0 and 2 with 1 a gap (255).
  char got[80];
  snprintf(got, sizeof got, "scope %u stamp %u min %d lens %d %d orders %c%c%c map %d: %d %d %d", pfb->pfb_owner_scope,
           pfb->pfb_stamp[1], pfb->pfb_min_len, k[0].kdb_len, k[1].kdb_len, k[0].kdb_sdb[0].sdb_order,
           k[0].kdb_sdb[1].sdb_order, k[1].kdb_sdb[0].sdb_order, pfb->pfb_keymap_len, pfb->pfb_keymap[0],
           pfb->pfb_keymap[1], pfb->pfb_keymap[2]);
  EXPECT_STREQ(got, "scope 6 stamp 12 min 64 lens 9 12 orders -++ map 3: 1 255 0");
  EXPECT_EQ(pfb_key(pfb, 3), nullptr);
  // The caller's descriptor is untouched, the copy lies in the PFB's block.
  EXPECT_TRUE(f.kdb[0].kdb_len == 0 && f.sdb[0].sdb_order == ' ');
  EXPECT_NE(pfb->pfb_kdb, f.kdb.data());

  owned_fdb unscoped(120, {{0, '+', {{0, 4}}}});
  unscoped.fdb.path.fdb_tmp_id = 6;
  PFB* p2 = create_pfb(&unscoped.fdb);
  EXPECT_EQ(p2->pfb_owner_scope, 0u);
  owned_fdb no_keys(30, {});
  PFB* p3 = create_pfb(&no_keys.fdb);
  EXPECT_EQ(p3->pfb_pkb, nullptr);
  EXPECT_TRUE(p3->pfb_keymap_len == 0 && p3->pfb_min_len == 1);
  for (PFB* p : {pfb, p2, p3}) free_pfb_block(p);
  EXPECT_EQ(mm_total_blocks(), blocks0) << "a PFB and its run map are freed whole";
}

std::string runs_of(const PKB& k) {
  std::string s;
  for (int i = 0; i < k.pkb_nruns; ++i) {
    const SSB& r = k.pkb_runs[i];
    s += std::to_string(r.ssb_offset) + "+" + std::to_string(r.ssb_len) + "/" + std::to_string(r.ssb_code) +
         char(r.ssb_order) + " ";
  }
  return s;
}

TEST_F(FmObjects, KeyRunMapMergesContiguousCharacterSegmentsOfOneOrder) {
  struct row {
    const char* what;
    key_def key;
    const char* runs;
  };
  const row rows[] = {
      {"contiguous characters", {0, '+', {{0, 3}, {3, 4}, {7, 2, SDB_TEXT}}}, "0+9/8+ "},
      {"blank order takes the other's", {0, '+', {{0, 3, SDB_CHARS, ' '}, {3, 4}}}, "0+7/8+ "},
      {"blank order under a descending key", {0, '-', {{0, 3, SDB_CHARS, ' '}, {3, 4, SDB_CHARS, '-'}}}, "0+7/8+ "},
      {"orders differ", {0, '+', {{0, 3}, {3, 4, SDB_CHARS, '-'}}}, "0+3/8+ 3+4/8- "},
      {"gap between segments", {0, '+', {{0, 3}, {4, 4}}}, "0+3/8+ 4+4/8+ "},
      {"out of record order", {0, '+', {{4, 4}, {0, 4}}}, "4+4/8+ 0+4/8+ "},
      {"binary never merges", {0, '+', {{0, 2, SDB_BINARY}, {2, 2, SDB_BINARY}, {4, 3}}}, "0+2/6+ 2+2/6+ 4+3/8+ "},
      {"unsigned binary",
       {0, '+', {{0, 1, SDB_UBINARY}, {1, 2, SDB_UBINARY}, {3, 4, SDB_UBINARY}}},
       "0+1/1+ 1+2/2+ 3+4/3+ "},
      {"signed binary widths", {0, '+', {{0, 1, SDB_BINARY}, {1, 4, SDB_BINARY}}}, "0+1/5+ 1+4/7+ "},
      {"packed never merges", {0, '+', {{0, 3}, {3, 2, SDB_PACKED}, {5, 2, SDB_PACKED}}}, "0+3/8+ 3+2/4+ 5+2/4+ "},
      {"descending key inverts", {0, '-', {{0, 3}, {3, 4, SDB_BINARY, '-'}}}, "0+3/8- 3+4/7+ "},
  };
  for (const row& r : rows) {
    owned_fdb f(100, {r.key});
    PFB* pfb = create_pfb(&f.fdb);
    ASSERT_NE(pfb, nullptr) << r.what;
    EXPECT_EQ(runs_of(*pfb_runs(pfb, 0)), r.runs) << r.what;
    free_pfb_block(pfb);
  }
}

TEST_F(FmObjects, RecordLayoutBoundsAreConvertedThroughTheRunMap) {
  struct row {
    const char* what;
    int lo_last, hi_last;  // -1: no length map
    const char* lo;
    const char* hi;
  };
  const row rows[] = {
      {"whole key", -1, -1, "abc\x34\x12wxyz!?", "abc\x34\x12wxyz!#"},
      {"length map inside the first run", 11, 12, "ab", "abc"},
      {"length map in the binary run", 1, 0, "abc\x34\x12", "abc\x34"},
      {"length map in the merged run", 22, 25, "abc\x34\x12wxy", "abc\x34\x12wxyz!#"},
      {"length map outside every run", 30, -1, "abc\x34\x12wxyz!?", "abc\x34\x12wxyz!#"},
  };
  for (const row& r : rows) {
    SCAN_REQ req{};
    req.type = SCAN_RECORD;
    req.keyno = 1;
    req.flags = SCAN_EXCLUSIVE | 0x01;
    req.flags2 = SCAN_EXCLUSIVE | 0x02;
    req.lo = lo_;
    req.hi = hi_;
    req.lo_last = r.lo_last < 0 ? nullptr : lo_ + r.lo_last;
    req.hi_last = r.hi_last < 0 ? nullptr : hi_ + r.hi_last;
    uint32_t st = 0;
    FSCB* f = create_fscb(&req, pfb_, &st);
    ASSERT_NE(f, nullptr) << r.what;
    EXPECT_EQ((std::vector<int>{f->fscb_type, f->fscb_keyno, f->fscb_flags, f->fscb_flags2}),
              (std::vector<int>{FSCB_RANGE, 1, SCAN_EXCLUSIVE, SCAN_EXCLUSIVE}));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(f->fscb_lo), f->fscb_lo_len), r.lo) << r.what;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(f->fscb_hi), f->fscb_hi_len), r.hi) << r.what;
    free_fscb(f);
  }
}

TEST_F(FmObjects, KeyLayoutBoundsFlagsAndChainsFollowTheRequest) {
  const uint8_t lo[] = "abc", hi[] = "abd";
  uint8_t params[5] = {1, 2, 3, 4, 5};
  uint8_t kbuf[10] = "012345678";
  SCAN_SEG segs[2] = {{1, 2, 3, 0}, {2, 6, 4, 0}};
  SCAN_REQ equal{}, plain{}, sorted{}, list{};
  equal.type = SCAN_KEY, equal.keyno = 1, equal.flags = SCAN_EQUAL | SCAN_EXCLUSIVE, equal.flags2 = SCAN_EXCLUSIVE;
  equal.lo = lo, equal.lo_len = 3, equal.hi = hi, equal.hi_len = 3;
  plain.type = SCAN_KEY, plain.keyno = 1, plain.flags2 = SCAN_EXCLUSIVE, plain.lo = lo, plain.lo_len = 2;
  sorted.type = SCAN_SORTED, sorted.sq_len = 5, sorted.sq_parms = params;
  list.type = SCAN_SEGS, list.kbuf = kbuf, list.kbuf_len = 10, list.nsegs = 2, list.segs = segs;
  equal.next = &plain, plain.next = &sorted, sorted.next = &list;
  uint32_t st = 0;
  FSCB* f = create_fscb(&equal, pfb_, &st);
  ASSERT_NE(f, nullptr);
  // Equal range: no upper bound and no upper flag; no upper bound: its
  // exclusive flag is dropped.
  FSCB *g = f->fscb_next, *h = g->fscb_next, *l = h->fscb_next;
  EXPECT_EQ(f->fscb_flags, SCAN_EQUAL | SCAN_EXCLUSIVE);
  EXPECT_TRUE(!f->fscb_hi && !f->fscb_flags2 && !g->fscb_hi && !g->fscb_flags2);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(f->fscb_lo), 3) + char('0' + g->fscb_lo_len), "abc2");
  EXPECT_EQ(h->fscb_type, FSCB_SORTED);
  ASSERT_EQ(h->fscb_sq_len, 5);
  EXPECT_EQ(memcmp(h->fscb_sq, params, 5), 0);
  EXPECT_EQ(l->fscb_type, FSCB_SEGS);
  EXPECT_EQ(memcmp(l->fscb_lo, kbuf, 10), 0);
  EXPECT_NE(l->fscb_hi, nullptr);
  ASSERT_EQ(l->fscb_nsegs, 2);
  EXPECT_EQ(runs_of(PKB{&l->fscb_segs[1], 1}), "6+4/8+ ");
  EXPECT_EQ(l->fscb_next, nullptr);
  free_fscb(f);

  // Refusals free what was built before them.
  uint32_t blocks = mm_total_blocks();
  SCAN_SEG wide = {1, 8, 3, 0};
  SCAN_REQ bad_seg = list;
  bad_seg.segs = &wide, bad_seg.nsegs = 1;
  SCAN_REQ bad_key = plain;
  bad_key.keyno = 0;
  SCAN_REQ long_bound = plain;
  long_bound.lo_len = 12;
  struct row {
    SCAN_REQ* req;
    uint32_t stat;
  } rows[] = {{&bad_seg, FM_BAD_KEY_LEN}, {&bad_key, FM_KEY_NO_DIFF}, {&long_bound, FM_BAD_KEY_LEN}};
  for (auto& r : rows) {
    SCAN_REQ first = sorted;
    first.next = r.req;
    r.req->next = nullptr;
    st = 0;
    EXPECT_EQ(create_fscb(&first, pfb_, &st), nullptr);
    EXPECT_EQ(st, r.stat);
    EXPECT_EQ(mm_total_blocks(), blocks);
  }
}

TEST_F(FmObjects, ScopeEntriesAndHandleBlocks) {
  FM_SCOPE* a = get_clean(4);
  FM_SCOPE* b = get_clean(2);
  EXPECT_EQ(get_clean(4), a);
  EXPECT_EQ(fm_scope_list.head, a);
  EXPECT_EQ(fm_scope_list.tail, b);
  EXPECT_EQ(a->lfb.head, nullptr);
  EXPECT_EQ(b->scope, 2u);
  SARB* s = alloc_sarb();
  ARB* arb = s->sarb_arb;
  EXPECT_EQ(reinterpret_cast<uint8_t*>(arb), reinterpret_cast<uint8_t*>(s) + offsetof(SARB_ARB, arb));
  EXPECT_EQ(arb->arb_sarb, s);
  EXPECT_EQ(s->sarb_cur_strm, nullptr);
  uint32_t blocks = mm_total_blocks();
  mm_free(s);
  EXPECT_EQ(mm_total_blocks(), blocks - 1) << "SARB and ARB are one allocation";
}

}  // namespace
}  // namespace kivo
