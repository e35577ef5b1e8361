// The sorted-query file type: level breaks between pointer records, the
// reader against a reference sort of a memory PCF with group totals, the
// stream through the file manager (statuses as failed reads that the next
// read goes on from, writes refused, no query), progress counts and the
// expression check.
#include <algorithm>
#include <map>
#include <numeric>
#include <random>

#include "../fm/fm_started.h"
#include "compiler/compiler.h"
#include "compiler/rt_names.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "foundation/bytes.h"
#include "process/pb.h"
#include "process/pb_fqry.h"
#include "process/process.h"
#include "process/qp.h"
#include "process/qs.h"

namespace kivo::test {
namespace {

using status_list = std::vector<std::pair<uint32_t, uint32_t>>;
constexpr uint32_t S = PB_LEVEL_START, E = PB_LEVEL_END;

TEST(SortedQueryLevels, BreaksBetweenRecordsDeepestEndFirstOutermostStartFirst) {
  struct row {
    const char* what;
    pb_level_map map;
    bool have_prev;
    uint16_t prev_next;
    bool have_rec;
    uint16_t rec_prev;
    status_list want;
  };
  const row rows[] = {
      {"first record", {0, 1, 2}, false, 0, true, 0, {{S, 0}, {S, 1}, {S, 2}}},
      {"second field differs", {0, 1, 2}, true, 2, true, 2, {{E, 2}, {S, 2}}},
      {"first field differs", {0, 1, 2}, true, 1, true, 1, {{E, 2}, {E, 1}, {S, 1}, {S, 2}}},
      {"equal sort fields", {0, 1, 2}, true, 3, true, 3, {}},
      {"end of the file", {0, 1, 2}, true, 3, false, 0, {{E, 2}, {E, 1}, {E, 0}}},
      {"no record at all", {0, 1, 2}, false, 0, false, 0, {}},
      {"level without a range entry", {0, -1, 1}, true, 1, true, 1, {{E, 1}, {S, 1}}},
      {"tag mode", {}, true, kTagLevel, true, kTagLevel, {}},
      {"tag mode at the end", {}, true, kTagLevel, false, 0, {}},
  };
  for (const row& r : rows) {
    status_list got;
    pb_breaks(r.map, r.have_prev, r.prev_next, r.have_rec, r.rec_prev, &got);
    EXPECT_EQ(got, r.want) << r.what;
  }
}

TEST(SortedQueryLevels, ProgressAtOneToTenThenEveryTen) {
  PB_PROGRESS s;
  std::vector<uint32_t> shown;
  for (uint32_t n = 1; n <= 25; ++n)
    if (!pb_progress_text(&s, 1, n, n, 0).empty()) shown.push_back(n);
  EXPECT_EQ(shown, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 20}));
  EXPECT_EQ(pb_progress_text(&s, 3, 1, 25, 1), "Processing record 1 of 25 selected");
  EXPECT_TRUE(pb_progress_text(&s, 4, 0, 0, 0).empty());
  PB_PROGRESS t;
  EXPECT_EQ(pb_progress_text(&t, 1, 1, 0, 0), "Selecting record 0 of 1 processed");
  uint32_t count = 0;
  for (uint32_t n = 1; n <= 1000; ++n) count += !pb_progress_text(&t, 1, n, 0, 0).empty();
  EXPECT_EQ(count, 27u);  // 2-10 (1 was shown already), 20-100 by ten, 200-1000 by a hundred
}

// Two sort fields over a memory PCF, pointer records written from a
// reference stable sort of the selected records.
class SortedQuery : public FmStarted {
 protected:
  static constexpr uint16_t kLen = 16;  // a (u8) at 0, b (u8) at 1, amount (u32) at 4, index at 8
  struct rec {
    uint8_t a, b;
    uint32_t amount, index;
    std::vector<uint8_t> rid;
  };
  std::vector<rec> recs;
  ARB* pcf = nullptr;
  ARB* ptr = nullptr;
  uint16_t id_len = 0;

  // The routine file of an earlier test goes with the memory files.
  void TearDown() override {
    rt_ifns_arb = nullptr;
    FmStarted::TearDown();
  }
  ARB* mem(const char* tag, uint16_t len) {
    FDB f;
    INIT_FDB(&f, FS_MEMORY, len, 0, nullptr, 0);
    INIT_UNIQUE_PATH(&f.path, "ST", tag, PATH_DATA);
    EXPECT_EQ(FM_CREATE(&f, com.sys_scope, 0, LFB_OPEN_NEW, 15, 15), 1);
    return f.fdb_arb;
  }
  void fill(int n, uint32_t seed) {
    std::mt19937 g(seed);
    pcf = mem("PC", kLen);
    uint8_t r[kLen];
    for (int i = 0; i < n; ++i) {
      rec x{uint8_t(g() % 4), uint8_t(g() % 3), uint32_t(g() % 1000), uint32_t(i), {}};
      memset(r, 0, kLen);
      r[0] = x.a, r[1] = x.b, st_le32(r, 4, x.amount), st_le32(r, 8, x.index);
      pcf->arb_rec = r, pcf->arb_len = pcf->arb_var_len = kLen, pcf->arb_mod = 0;
      ASSERT_EQ(fm_write(pcf), 1);
      x.rid.assign(pcf->arb_rec_id_area, pcf->arb_rec_id_area + pcf->arb_rec_id_len);
      recs.push_back(x);
    }
    id_len = uint16_t(recs.empty() ? 8 : recs[0].rid.size());
  }
  // The pointer file of the records with a odd selected, sorted by (a, b).
  std::vector<uint32_t> sorted() {
    std::vector<uint32_t> order;
    for (uint32_t i = 0; i < recs.size(); ++i)
      if (recs[i].amount % 2) order.push_back(i);
    std::stable_sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) {
      return std::tie(recs[x].a, recs[x].b) < std::tie(recs[y].a, recs[y].b);
    });
    auto level = [&](uint32_t x, uint32_t y) -> uint16_t {
      return recs[x].a != recs[y].a ? 1 : recs[x].b != recs[y].b ? 2 : 3;
    };
    ptr = mem("PT", uint16_t(id_len + kPtrExtra));
    std::vector<uint8_t> p(id_len + kPtrExtra, 0);
    for (size_t k = 0; k < order.size(); ++k) {
      st_le16(p.data(), PT_PREV, k ? level(order[k - 1], order[k]) : 0);
      st_le16(p.data(), PT_NEXT, k + 1 < order.size() ? level(order[k], order[k + 1]) : 0);
      memcpy(p.data() + PT_ID, recs[order[k]].rid.data(), id_len);
      ptr->arb_rec = p.data(), ptr->arb_len = ptr->arb_var_len = uint16_t(p.size()), ptr->arb_mod = 0;
      EXPECT_EQ(fm_write(ptr), 1);
    }
    return order;
  }
  PB_ATTACH attach(bool breaks) {
    PB_ATTACH b;
    FAD fad{nullptr, nullptr};
    b.ptr = FM_ATTACH(ptr, &fad, com.sys_scope);
    b.data = pcf, b.breaks = breaks, b.id_len = id_len, b.map = {0, 1, 2};
    EXPECT_EQ(pb_restart(&b), 1);
    return b;
  }
  // Reads the whole query: the records' indexes, and checks that every
  // level total equals the reference's sum of its group.
  std::vector<uint32_t> read_all(const std::function<int(uint8_t*, uint32_t*, uint32_t*)>& rd, uint32_t rec_status) {
    std::vector<uint32_t> got;
    std::vector<uint64_t> sums(3, 0);
    std::vector<bool> open(3, false);
    std::map<std::pair<int, int>, uint64_t> ref_b;
    std::map<int, uint64_t> ref_a;
    uint64_t ref_all = 0;
    for (const rec& r : recs)
      if (r.amount % 2) ref_b[{r.a, r.b}] += r.amount, ref_a[r.a] += r.amount, ref_all += r.amount;
    uint8_t buf[kLen];
    int last_a = -1, last_b = -1;
    for (int guard = 0; guard < 100000; ++guard) {
      uint32_t st = 0, level = 0;
      memset(buf, 0xEE, kLen);
      if (rd(buf, &st, &level)) {
        EXPECT_EQ(st, rec_status);
        const uint32_t i = ld_le32(buf, 8);
        got.push_back(i);
        for (int l = 0; l < 3; ++l) EXPECT_TRUE(open[size_t(l)]) << "record outside level " << l;
        for (uint64_t& s : sums) s += recs[i].amount;
        last_a = recs[i].a, last_b = recs[i].b;
        continue;
      }
      if (st == FM_EOF) break;
      EXPECT_TRUE(st == S || st == E) << st;
      EXPECT_LT(level, 3u);
      if (st == S) {
        EXPECT_FALSE(open[level]) << "level " << level << " started twice";
        open[level] = true, sums[level] = 0;
      } else {
        EXPECT_TRUE(open[level]);
        for (uint32_t d = level + 1; d < 3; ++d) EXPECT_FALSE(open[d]) << "deeper level still open";
        open[level] = false;
        const uint64_t want = level == 0 ? ref_all : level == 1 ? ref_a[last_a] : ref_b[{last_a, last_b}];
        EXPECT_EQ(sums[level], want) << "total of level " << level;
      }
    }
    for (bool o : open) EXPECT_FALSE(o);
    return got;
  }
};

TEST_F(SortedQuery, ReaderGivesTheReferenceOrderWithTotalsAtEveryGroupBoundary) {
  fill(2000, 7);
  const std::vector<uint32_t> want = sorted();
  for (const bool breaks : {true, false}) {
    PB_ATTACH b = attach(breaks);
    auto rd = [&](uint8_t* buf, uint32_t* st, uint32_t* level) {
      uint16_t len = kLen;
      return pb_rdnxt(&b, buf, &len, st, level);
    };
    EXPECT_EQ(read_all(rd, breaks ? PB_RECORD : 1u), want);
    uint32_t st = 0, level = 0;
    uint8_t buf[kLen];
    uint16_t len = kLen;
    EXPECT_EQ(pb_rdnxt(&b, buf, &len, &st, &level), 0);
    EXPECT_EQ(st, FM_EOF) << "the end stays the end";
    ASSERT_EQ(pb_restart(&b), 1);
    EXPECT_EQ(read_all(rd, breaks ? PB_RECORD : 1u), want) << "a start reads it all again";
  }
}

TEST_F(SortedQuery, EmptyQueryIsTheEndAtOnceAndAMissingRecordIsItsStatus) {
  fill(10, 3);
  for (rec& r : recs) r.amount &= ~1u;  // nothing selected
  sorted();
  PB_ATTACH b = attach(true);
  uint8_t buf[kLen];
  uint16_t len = kLen;
  uint32_t st = 0, level = 0;
  EXPECT_EQ(pb_rdnxt(&b, buf, &len, &st, &level), 0);
  EXPECT_EQ(st, FM_EOF);

  // A pointer to a record that is no longer there: the read's own status.
  recs.clear(), FM_CLOSE(pcf, ARB_SCRATCH), FM_CLOSE(ptr, ARB_SCRATCH);
  fill(3, 5);
  for (rec& r : recs) r.amount = 1;
  recs[0].rid.assign(id_len, 0x7F);
  sorted();
  PB_ATTACH c = attach(true);
  std::vector<uint32_t> seq;
  st = 0;
  for (int i = 0; i < 20 && st != FM_EOF; ++i) {
    len = kLen;
    pb_rdnxt(&c, buf, &len, &st, &level);
    seq.push_back(st);
  }
  ASSERT_FALSE(seq.empty());
  EXPECT_EQ(seq[0], S);
  EXPECT_TRUE(std::find(seq.begin(), seq.end(), uint32_t(FM_NOT_FOUND)) != seq.end());
}

// The reader takes pointers ahead of the record it delivers: a query of
// any length round that window, started again part way, reads it all again
// in order and ends once.
TEST_F(SortedQuery, StartedAgainPartWayReadsItAllAgain) {
  for (const int n : {1, 15, 16, 17, 32, 33, 100}) {
    SCOPED_TRACE(n);
    recs.clear();
    fill(n, uint32_t(n));
    for (rec& r : recs) r.amount |= 1;  // every record selected
    const std::vector<uint32_t> want = sorted();
    ASSERT_EQ(want.size(), size_t(n));
    PB_ATTACH b = attach(false);
    auto rd = [&](uint8_t* buf, uint32_t* st, uint32_t* level) {
      uint16_t len = kLen;
      return pb_rdnxt(&b, buf, &len, st, level);
    };
    uint8_t buf[kLen];
    uint32_t st = 0, level = 0;
    for (int got = 0, guard = 0; got < n / 2 && guard < 10 * n; ++guard) got += rd(buf, &st, &level);
    ASSERT_EQ(pb_restart(&b), 1);
    EXPECT_EQ(read_all(rd, 1u), want);
    EXPECT_EQ(rd(buf, &st, &level), 0);
    EXPECT_EQ(st, FM_EOF);
    FM_CLOSE(pcf, ARB_SCRATCH), FM_CLOSE(ptr, ARB_SCRATCH);
  }
}

// The stream of a sorted scan through the file manager, the query's build a
// test's own.
TEST_F(SortedQuery, StreamThroughTheFileManagerGoesOnAfterEachLevelStatus) {
  fill(300, 11);
  const std::vector<uint32_t> want = sorted();
  uint8_t qb[kQblkLen] = {};
  qb[QB_KIND] = 2, qb[QB_BREAKS] = 1;
  SCAN_REQ req{};
  req.type = SCAN_SORTED, req.sq_len = kQblkLen, req.sq_parms = qb;

  hooks_.set(process_seams.pb_build, [](ARB*, STRM*, const uint8_t*, PB_ATTACH*) { return 0; });
  FAD fad{&req, nullptr};
  EXPECT_EQ(FM_ATTACH(pcf, &fad, com.sys_scope), nullptr);
  EXPECT_EQ(pcf->arb_stat, PB_NO_QUERY) << "no query can be built";

  static PB_ATTACH ready;
  ready = attach(true);
  hooks_.set(process_seams.pb_build, [](ARB*, STRM*, const uint8_t* q, PB_ATTACH* out) {
    if (q[QB_KIND] != 2) return 0;
    *out = ready;
    return 1;
  });
  hooks_.set(process_seams.pb_unbuild, [](PB_ATTACH*) {});
  fad = FAD{&req, nullptr};
  ARB* a = FM_ATTACH(pcf, &fad, com.sys_scope);
  ASSERT_NE(a, nullptr);
  auto rd = [&](uint8_t* buf, uint32_t* st, uint32_t* level) {
    a->arb_rec = buf, a->arb_len = kLen, a->arb_mod = 0;
    const int r = fm_rdnxt(a);
    *st = a->arb_stat, *level = a->arb_stat2;
    return r;
  };
  EXPECT_EQ(read_all(rd, PB_RECORD), want);
  uint8_t r[kLen] = {};
  a->arb_rec = r, a->arb_len = a->arb_var_len = kLen, a->arb_mod = 0;
  EXPECT_EQ(fm_write(a), 0);
  EXPECT_EQ(a->arb_stat, PB_NO_QUERY) << "a sorted query takes no new record";
  a->arb_mod = ARB_FIRST, a->arb_key = nullptr;
  ASSERT_EQ(fm_start(a), 1);
  EXPECT_EQ(read_all(rd, PB_RECORD), want) << "a start restarts the pointers";
  EXPECT_EQ(fm_detach(a), 1);
}

TEST(SortedQueryExpr, ValidExpressionsAndTheParsePositionOfAnError) {
  struct row {
    const char* text;
    uint32_t result;
    uint32_t pos;
  };
  const row rows[] = {
      {"1 AND 2 OR 3", 1, 0},   {"", 1, 0},
      {"(1 OR 2) AND 3", 1, 0}, {"1 AND", PB_DIGIT, 800},
      {"AND 1", PB_DIGIT, 0},   {"(1 AND 2", PB_SYNTAX, 800},
      {"1 2", PB_SYNTAX, 2},
  };
  for (const row& r : rows) {
    uint32_t pos = 0;
    EXPECT_EQ(pb_valid_expr(r.text, uint16_t(strlen(r.text)), &pos), r.result) << r.text;
    if (r.result != 1) {
      EXPECT_EQ(pos, r.pos) << r.text;
    }
  }
}

}  // namespace
}  // namespace kivo::test
