// Reads under scan restrictions on a memory file: key ranges, equal ranges,
// segment lists, record-id matches, holds met by a scan, null tails.
#include <string>
#include <vector>

#include "fm/whole_file.h"
#include "fm_record_test_util.h"

namespace kivo::test {
namespace {

// Record i: id %04d, then key 1's segments S(i%4) T(i%3) U((i/4)%2), "zz".
std::string rec_of(int i, const char* k1 = nullptr) {
  char b[16];
  snprintf(b, sizeof b, "%04dS%dT%dU%dzz", i, i % 4, i % 3, (i / 4) % 2);
  if (k1) memcpy(b + 4, k1, 6);
  return std::string(b, kRecLen);
}

class FmScan : public FmRec {
 protected:
  void SetUp() override {
    FmRec::SetUp();
    h = create(d, buf);
    ASSERT_TRUE(h);
    for (int i = 0; i < 20; ++i) ASSERT_EQ(put(h, rec_of(i).c_str()), 1);
  }
  // Read-next until failure: "id,id|status".
  std::string rest(ARB* a, uint16_t mod = 0) {
    std::string out;
    a->arb_mod = mod;
    while (call(a, fm_rdnxt)) out += id(a) + ",";
    return out + "|" + std::to_string(a->arb_stat);
  }
  rec_desc d{"SCAN"};
  uint8_t buf[kRecLen], buf2[kRecLen];
  ARB* h = nullptr;
};

TEST_F(FmScan, RangesReadFromBoundsAndStopAtThem) {
  struct row {
    uint8_t keyno, flags, flags2;
    const char *lo, *hi, *read;  // read: key of a first fm_read, null = read-next from the attach
    const char* want;
  } rows[] = {
      {0, 0, 0, "0005", "0008", nullptr, "0005,0006,0007,0008,|200360"},
      {0, SCAN_EXCLUSIVE, 0, "0005", "0008", nullptr, "0006,0007,0008,|200360"},
      {0, 0, SCAN_EXCLUSIVE, "0005", "0008", nullptr, "0005,0006,0007,|200360"},
      {0, 0, 0, "0005", "0008", "0001", "r0005,0006,0007,0008,|200360"},  // before the lower bound
      {0, 0, 0, "0005", "0008", "0006", "r0006,0007,0008,|200360"},
      {0, 0, 0, "0005", "0008", "0009", "r200450|200540"},  // above the upper bound
      {0, 0, 0, nullptr, "0002", nullptr, "0000,0001,0002,|200360"},
      {0, 0, SCAN_EXCLUSIVE, "0005", "001", "0005", "r0005,0006,0007,0008,0009,|200360"},
      {1, SCAN_EQUAL, 0, "S1", nullptr, nullptr, "0009,0001,0013,0017,0005,|200360"},
      {1, SCAN_EQUAL, 0, "S1", nullptr, "S0T0U0", "r200450|200540"},  // before an equal range
      {1, SCAN_EQUAL, 0, "S1", nullptr, "S1T1U1", "r0013,0017,0005,|200360"},
  };
  for (const row& r : rows) {
    SCAN_REQ q{};
    q.type = SCAN_KEY;
    q.keyno = r.keyno;
    q.flags = r.flags;
    q.flags2 = r.flags2;
    q.lo = reinterpret_cast<const uint8_t*>(r.lo);
    q.lo_len = r.lo ? uint16_t(strlen(r.lo)) : 0;
    q.hi = reinterpret_cast<const uint8_t*>(r.hi);
    q.hi_len = r.hi ? uint16_t(strlen(r.hi)) : 0;
    ARB* a = attach(h, &q, buf2);
    ASSERT_TRUE(a);
    std::string got;
    if (r.read) {
      memcpy(buf2 + (r.keyno ? 4 : 0), r.read, strlen(r.read));
      a->arb_keyno = r.keyno;
      a->arb_mod = 0;
      got = call(a, fm_read) ? "r" + id(a) + "," : "r" + std::to_string(a->arb_stat);
    }
    EXPECT_EQ(got + rest(a), r.want) << r.lo << " " << (r.read ? r.read : "-");
    EXPECT_EQ(fm_detach(a), 1);
  }
}

TEST_F(FmScan, SegmentListsWithAndWithoutPrefix) {
  struct row {
    std::vector<SCAN_SEG> segs;
    const char* kbuf;
    const char* want;
  } rows[] = {
      {{{1, 0, 2, 0}}, "S1", "0009,0001,0013,0017,0005,|200360"},              // a prefix
      {{{1, 0, 2, 0}, {3, 2, 2, 0}}, "S1U0", "0009,0001,0017,|200360"},        // a gap: seg 2 missing
      {{{2, 0, 2, 0}}, "T1", "0016,0004,0001,0013,0010,0019,0007,|200360"},    // no prefix
      {{{1, 0, 2, 0}, {2, 2, 2, 0}, {3, 4, 2, 0}}, "S2T0U0", "0018,|200360"},  // the whole key
  };
  for (const row& r : rows) {
    SCAN_REQ q{};
    q.type = SCAN_SEGS;
    q.keyno = 1;
    q.kbuf = reinterpret_cast<const uint8_t*>(r.kbuf);
    q.kbuf_len = uint16_t(strlen(r.kbuf));
    q.segs = r.segs.data();
    q.nsegs = uint16_t(r.segs.size());
    ARB* a = attach(h, &q, buf2);
    ASSERT_TRUE(a);
    a->arb_keyno = 1;
    EXPECT_EQ(rest(a), r.want) << r.kbuf;
    // A read from the first record is steered to the same records.
    a->arb_keyno = 1;
    a->arb_mod = ARB_FIRST;
    ASSERT_EQ(call(a, fm_read), 1) << r.kbuf;
    EXPECT_EQ(id(a), std::string(r.want, 4)) << r.kbuf;
    EXPECT_EQ(fm_detach(a), 1);
  }
}

TEST_F(FmScan, MatchIdDeliversTheThirdDuplicate) {
  for (int i = 100; i < 103; ++i) ASSERT_EQ(put(h, rec_of(i, "D0D0D0").c_str()), 1);
  h->arb_keyno = 1;
  memcpy(buf + 4, "D0D0D0", 6);
  h->arb_mod = ARB_EQUAL;
  ASSERT_EQ(fm_read(h), 1);
  EXPECT_EQ(id(h), "0100");
  h->arb_mod = 0;
  ASSERT_TRUE(fm_rdnxt(h) && fm_rdnxt(h));
  uint8_t third[8];
  memcpy(third, h->arb_rec_id_area, 8);
  h->arb_mod = ARB_FIRST;
  ASSERT_EQ(fm_read(h), 1);
  memcpy(buf + 4, "D0D0D0", 6);
  memcpy(h->arb_rec_id_area, third, 8);
  h->arb_mod = ARB_MATCH_ID;
  ASSERT_EQ(call(h, fm_read), 1);
  EXPECT_EQ(id(h), "0102");
}

TEST_F(FmScan, PartialEqualRdnxtStopsAndReleasesItsHold) {
  h->arb_keyno = 1;
  uint8_t key[] = "S1";
  h->arb_key = key;
  h->arb_key_len = 2;
  h->arb_mod = ARB_PARTIAL;
  ASSERT_EQ(fm_start(h), 1);
  EXPECT_EQ(rest(h, ARB_EQUAL | ARB_PARTIAL | ARB_HOLD), "0009,0001,0013,0017,0005,|200360");
  // The record that ended it is free for another stream.
  ARB* b = attach(h, nullptr, buf2);
  memcpy(buf2, buf, 4);
  b->arb_keyno = 0;
  b->arb_mod = ARB_EQUAL | ARB_HOLD | ARB_NO_STEAL;
  EXPECT_EQ(fm_read(b), 1) << b->arb_stat;
  EXPECT_EQ(id(b), "0018");
}

TEST_F(FmScan, ScanMeetingAHeldRecord) {
  memcpy(buf, "0006", 4);
  h->arb_keyno = 0;
  h->arb_mod = ARB_EQUAL | ARB_HOLD;
  ASSERT_EQ(fm_read(h), 1);
  SCAN_REQ q{};
  q.type = SCAN_KEY;
  q.lo = reinterpret_cast<const uint8_t*>("0005");
  q.lo_len = 4;
  q.hi = reinterpret_cast<const uint8_t*>("0008");
  q.hi_len = 4;
  ARB* b = attach(h, &q, buf2);
  b->arb_mod = ARB_HOLD | ARB_NO_STEAL;
  ASSERT_EQ(call(b, fm_rdnxt), 1);
  EXPECT_EQ(id(b), "0005");
  for (int i = 0; i < 2; ++i) {  // stays on it
    EXPECT_EQ(call(b, fm_rdnxt), 0);
    EXPECT_EQ(b->arb_stat, FM_HELD_SELF);
    EXPECT_EQ(id(b), "0006");
  }
  b->arb_mod = ARB_HOLD;
  ASSERT_EQ(call(b, fm_rdnxt), 1);  // takes the hold over
  EXPECT_EQ(id(b), "0006");
  EXPECT_EQ(fm_rewrite(h), 0);
  EXPECT_EQ(h->arb_stat, FM_NOT_HELD);
  EXPECT_EQ(fm_rewrite(b), 1);
}

TEST_F(FmScan, StatusesWithoutPosition) {
  memcpy(buf, "0050", 4);
  h->arb_keyno = 0;
  h->arb_mod = ARB_EQUAL;
  EXPECT_EQ(fm_read(h), 0);
  EXPECT_EQ(h->arb_stat, FM_NOT_FOUND);
  h->arb_mod = 0;
  EXPECT_EQ(fm_rdnxt(h), 0);
  EXPECT_EQ(h->arb_stat, FM_NO_POS);
  STRM* s = h->arb_sarb->sarb_cur_strm;
  h->arb_sarb->sarb_cur_strm = nullptr;
  for (int (*op)(ARB*) : {fm_read, fm_start, fm_rdnxt, fm_write, fm_rewrite, fm_del, fm_release}) {
    h->arb_stat = 0;
    EXPECT_EQ(op(h), 0);
    EXPECT_EQ(h->arb_stat, FM_NOT_OPEN);
  }
  h->arb_sarb->sarb_cur_strm = s;
}

TEST_F(FmScan, NullTailTrimmedAndRestored) {
  static const uint8_t null_rec[kRecLen] = {'n', 'n', 'n', 'n', 'n', 'n', 'n', 'n', 'n', 'n', 'N', 'M'};
  struct row {
    bool with_null;
    const char* rec;
    uint16_t arb_len, stored;
    const char* back;
  } rows[] = {
      {false, "0001S0T0U0\0\0", kRecLen, 10, "0001S0T0U0\0\0"},
      {false, "0002S0T0\0\0\0\0", kRecLen, 10, "0002S0T0\0\0\0\0"},  // never below the shortest record
      {false, "0003S0T0U0a\0", kRecLen, 11, "0003S0T0U0a\0"},
      {false, "0004S0T0U0\0\0", 11, 10, "0004S0T0U0\0x"},  // only as far as the buffer goes
      {true, "0005S0T0U0NM", kRecLen, 10, "0005S0T0U0NM"},
      {true, "0006S0T0U0N\0", kRecLen, 12, "0006S0T0U0N\0"},
  };
  rec_desc v{"VAR", 1};
  uint8_t vb[kRecLen];
  ARB* a = create(v, vb);
  ASSERT_TRUE(a);
  for (const row& r : rows) {
    a->arb_sarb->sarb_cur_strm->strm_lfb->lfb_pfb->pfb_null_rec = r.with_null ? null_rec : nullptr;
    a->arb_len = kRecLen;
    ASSERT_EQ(put(a, r.rec), 1) << r.rec;
    a->arb_keyno = 0;
    ASSERT_TRUE(fm_read_fast(a, ARB_EQUAL));
    EXPECT_EQ(a->arb_var_len, r.stored) << r.rec;
    memset(vb, 'x', kRecLen);
    memcpy(vb, r.rec, 4);
    a->arb_rec = vb;
    a->arb_len = r.arb_len;
    a->arb_mod = ARB_EQUAL;
    ASSERT_EQ(fm_read(a), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(vb), kRecLen), std::string(r.back, kRecLen)) << r.rec;
  }
}

TEST_F(FmScan, StartOnRangeAndFastReads) {
  SCAN_REQ q{};
  q.type = SCAN_KEY;
  q.lo = reinterpret_cast<const uint8_t*>("0010");
  q.lo_len = 4;
  ARB* a = attach(h, &q, buf2);
  struct row {
    uint16_t mod;
    const char* key;
    int result;
    const char* next;
  } rows[] = {
      {ARB_FIRST, "", 1, "0010"},
      {0, "0003", 1, "0010"},
      {0, "0012", 1, "0012"},
      {ARB_MUST_FIND | ARB_EQUAL, "0030", 0, nullptr},
  };
  for (const row& r : rows) {
    memcpy(buf2, r.key, strlen(r.key));
    a->arb_mod = r.mod;
    EXPECT_EQ(call(a, fm_start), r.result) << r.key;
    if (!r.next) continue;
    uint8_t* rec = fm_rdnxt_fast(a, 0);
    ASSERT_TRUE(rec) << r.key;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rec), 4), r.next);
    a->arb_rec = buf2;
  }
}

}  // namespace
}  // namespace kivo::test

namespace kivo::test {
namespace {

// One restricted handle and the records its restriction lets through.
struct model_handle {
  SCAN_REQ q{};
  std::vector<SCAN_SEG> segs;
  ARB* a = nullptr;
  uint8_t buf[kRecLen];
  std::vector<std::string> pass;  // in key order
  int pos = -2;                   // -2 start pending, -1 no position, else index in pass
};

int cmp_over(const std::string& key, const uint8_t* b, size_t n) {
  return memcmp(key.data(), b, std::min(n, key.size()));
}

bool passes(const SCAN_REQ& q, const std::string& rec) {
  if (q.type == SCAN_SEGS) {
    for (uint16_t i = 0; i < q.nsegs; ++i)
      if (memcmp(rec.data() + 4 + 2 * (q.segs[i].seg_no - 1), q.kbuf + q.segs[i].offset, 2)) return false;
    return true;
  }
  std::string key = q.keyno ? rec.substr(4, 6) : rec.substr(0, 4);
  if (q.flags & SCAN_EQUAL) return cmp_over(key, q.lo, q.lo_len) == 0;
  int lo = q.lo ? cmp_over(key, q.lo, q.lo_len) : 1, hi = q.hi ? cmp_over(key, q.hi, q.hi_len) : -1;
  return (lo > 0 || (lo == 0 && !(q.flags & SCAN_EXCLUSIVE))) && (hi < 0 || (hi == 0 && !(q.flags2 & SCAN_EXCLUSIVE)));
}

class FmScanModel : public FmScan {};

TEST_F(FmScanModel, RandomOperationsAgainstAFilteringModel) {
  std::vector<std::string> recs;
  for (int i = 20; i < 200; ++i) ASSERT_EQ(put(h, rec_of(i).c_str()), 1);
  for (int i = 0; i < 200; ++i) recs.push_back(rec_of(i));
  static const SCAN_SEG prefix[] = {{1, 0, 2, 0}}, gap[] = {{1, 0, 2, 0}, {3, 2, 2, 0}}, none[] = {{2, 0, 2, 0}};
  struct cfg {
    uint8_t type, keyno, flags, flags2;
    const char *lo, *hi;
    const SCAN_SEG* segs;
    uint16_t nsegs;
  } cfgs[] = {
      {SCAN_KEY, 0, 0, 0, "0040", "0120", nullptr, 0},
      {SCAN_KEY, 0, SCAN_EXCLUSIVE, SCAN_EXCLUSIVE, "0040", "012", nullptr, 0},
      {SCAN_KEY, 1, 0, SCAN_EXCLUSIVE, "S1T1", "S2T2U1", nullptr, 0},
      {SCAN_KEY, 1, SCAN_EXCLUSIVE, 0, "S1T1U0", "S3", nullptr, 0},
      {SCAN_KEY, 1, SCAN_EQUAL, 0, "S2T0", nullptr, nullptr, 0},
      {SCAN_SEGS, 1, 0, 0, "S2", nullptr, prefix, 1},
      {SCAN_SEGS, 1, 0, 0, "S3U1", nullptr, gap, 2},
      {SCAN_SEGS, 1, 0, 0, "T2", nullptr, none, 1},
  };
  std::vector<model_handle> hs(std::size(cfgs));
  for (size_t i = 0; i < hs.size(); ++i) {
    const cfg& c = cfgs[i];
    SCAN_REQ& q = hs[i].q;
    q.type = c.type, q.keyno = c.keyno, q.flags = c.flags, q.flags2 = c.flags2;
    auto bytes = [](const char* s) { return reinterpret_cast<const uint8_t*>(s); };
    q.lo = bytes(c.lo), q.lo_len = c.lo ? uint16_t(strlen(c.lo)) : 0;
    q.hi = bytes(c.hi), q.hi_len = c.hi ? uint16_t(strlen(c.hi)) : 0;
    q.kbuf = q.lo, q.kbuf_len = q.lo_len, q.segs = c.segs, q.nsegs = c.nsegs;
    hs[i].a = attach(h, &q, hs[i].buf);
    ASSERT_TRUE(hs[i].a);
    hs[i].a->arb_keyno = c.keyno;
    for (const std::string& r : recs)
      if (passes(q, r)) hs[i].pass.push_back(r);
    auto key = [&](const std::string& r) { return c.keyno ? r.substr(4, 6) : r.substr(0, 4); };
    std::stable_sort(hs[i].pass.begin(), hs[i].pass.end(), [&](auto& x, auto& y) { return key(x) < key(y); });
  }
  uint32_t seed = 12345;
  auto rnd = [&](uint32_t n) { return (seed = seed * 1103515245 + 12345) / 65536 % n; };
  for (int op = 0; op < 100000; ++op) {
    model_handle& m = hs[rnd(uint32_t(hs.size()))];
    ARB* a = m.a;
    a->arb_lock_wait = rnd(2) ? 7 : 0xFFFFFFFF;
    uint32_t kind = rnd(6);
    std::string want;
    if (kind == 0) {  // back to the start of the restriction
      a->arb_mod = ARB_FIRST;
      ASSERT_EQ(call(a, fm_start), 1);
      m.pos = -2;
      continue;
    }
    if (kind == 1) {  // a read by a partial or whole key
      size_t keylen = m.q.keyno ? 6 : 4, n = 1 + rnd(uint32_t(keylen));
      std::string k;
      for (size_t i = 0; i < n; ++i) {
        if (m.q.keyno) k += i % 2 ? char('0' + rnd(5)) : (rnd(8) ? "STU"[i / 2] : "RZ"[rnd(2)]);
        else k += char('0' + (i == 0 ? 0 : rnd(i == 1 ? 3 : 10)));
      }
      a->arb_key = reinterpret_cast<uint8_t*>(k.data());
      a->arb_key_len = uint16_t(n);
      a->arb_mod = ARB_PARTIAL;
      int r = call(a, fm_read);
      a->arb_key = nullptr;
      bool below_equal = (m.q.flags & SCAN_EQUAL) && cmp_over(k, m.q.lo, m.q.lo_len) < 0;
      m.pos = -1;
      for (size_t i = 0; !below_equal && i < m.pass.size() && m.pos < 0; ++i)
        if ((m.q.keyno ? m.pass[i].substr(4, n) : m.pass[i].substr(0, n)) >= k) m.pos = int(i);
      want = m.pos < 0 ? "450" : m.pass[size_t(m.pos)];
      // Past the end of the key path the back-end reports the end of file.
      uint32_t st = a->arb_stat == FM_EOF ? FM_NOT_FOUND : a->arb_stat;
      ASSERT_EQ(r ? std::string(reinterpret_cast<char*>(a->arb_rec), kRecLen) : std::to_string(st % 1000), want)
          << "op " << op << " read " << k;
      continue;
    }
    a->arb_mod = 0;
    int r = call(a, fm_rdnxt);
    int next = m.pos == -2 ? 0 : m.pos + 1;
    if (m.pos == -1) want = "540";
    else if (size_t(next) >= m.pass.size()) want = "360", m.pos = -1;
    else want = m.pass[size_t(m.pos = next)];
    ASSERT_EQ(r ? std::string(reinterpret_cast<char*>(a->arb_rec), kRecLen) : std::to_string(a->arb_stat % 1000), want)
        << "op " << op << " rdnxt";
  }
}

}  // namespace
}  // namespace kivo::test
