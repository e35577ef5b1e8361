// The sort of a sorted query: key orderings per data type, level numbers,
// runs and cascade passes against a stable-sort reference, broken runs,
// failures and interrupts that leave no work file, and two engine processes
// sorting with the same work-file numbers.
#include <algorithm>
#include <filesystem>
#include <numeric>
#include <random>

#include "../fixtures/hook_override.h"
#include "../fm/fm_native_util.h"
#include "compiler/pc.h"
#include "foundation/os_calls.h"
#include "foundation/scope.h"
#include "process/qs.h"
#include "types/std_date.h"

namespace kivo::test {
namespace {

constexpr uint16_t kRec = 64;
constexpr size_t kIdOff = 60;  // the record's input index, used as its identifier
using rec = std::vector<uint8_t>;

struct elem_spec {
  uint8_t type, hi, lo, sign;
  uint16_t size, off;
  uint8_t order = '+', level = 1, null_src = 0;
  const char* mask = "";
};

class QuerySort : public NativeFm {
 protected:
  QRY_SORT q;
  uint8_t area[kRec] = {};
  std::vector<std::pair<uint16_t, uint16_t>> lv;  // pointer records' level words

  void SetUp() override {
    NativeFm::SetUp();
    run_mem = kRunMemDefault;
    unsetenv("KIVO_RUN_MEM");
  }
  // The PCF of `recs` (a memory file), and the query over it.
  void load(const std::vector<rec>& recs, std::vector<elem_spec> el, uint16_t levels = 1) {
    FDB fdb;
    INIT_FDB(&fdb, FS_MEMORY, kRec, 0, nullptr, 0);
    INIT_UNIQUE_PATH(&fdb.path, "QT", "PC", PATH_DATA);
    ASSERT_EQ(FM_CREATE(&fdb, com.sys_scope, 0, LFB_OPEN_NEW, 15, 15), 1);
    q.pcf_arb = fdb.fdb_arb;
    for (size_t i = 0; i < recs.size(); ++i) {
      memset(area, ' ', kRec);
      memcpy(area, recs[i].data(), std::min<size_t>(recs[i].size(), kIdOff));
      st_le32(area, kIdOff, uint32_t(i));
      q.pcf_arb->arb_rec = area, q.pcf_arb->arb_len = q.pcf_arb->arb_var_len = kRec;
      ASSERT_EQ(fm_write(q.pcf_arb), 1);
    }
    q.pcf_arb->arb_mod = ARB_FIRST, q.pcf_arb->arb_key = nullptr;
    ASSERT_EQ(fm_start(q.pcf_arb), 1);
    q.rec_area = area, q.rec_len = kRec, q.ids = {{area + kIdOff, 4}}, q.id_len = 4;
    q.wrk_no = 0x10, q.scope = com.sys_scope, memcpy(q.ap, "TST", 3);
    for (const elem_spec& e : el) {
      uint8_t se[kSortElemLen] = {}, *c = se + SE_FLD + PCF_CELEM;
      se[SE_LEVEL] = e.level, se[SE_ORDER] = e.order;
      c[CEL_TYPE] = e.type, c[CEL_SIGNED] = e.sign ? '1' : '0', c[CEL_HI] = e.hi, c[CEL_LO] = e.lo;
      st_le16(c, CEL_SIZE, e.size), st_le16(c, CEL_OFF, e.off);
      memset(c + CEL_MASK, ' ', 60), memcpy(c + CEL_MASK, e.mask, strlen(e.mask)),
          c[CEL_NULL_IND] = e.null_src ? '1' : ' ', c[CEL_NULL_SRC] = e.null_src;
      ASSERT_TRUE(qs_add_elem(&q, se));
    }
    qs_close_key(&q, levels);
  }
  // The identifiers of the pointer file in order; lv gets the level words.
  std::vector<uint32_t> result() {
    std::vector<uint32_t> ids;
    lv.clear();
    ARB* a = q.ptr_arb;
    uint8_t r[64];
    a->arb_mod = ARB_FIRST, a->arb_key = nullptr;
    if (!a || !fm_start(a)) return ids;
    for (a->arb_rec = r, a->arb_len = sizeof r, a->arb_mod = 0; fm_rdnxt(a); a->arb_mod = 0)
      ids.push_back(ld_le32(r, PT_ID)), lv.emplace_back(ld_le16(r, PT_PREV), ld_le16(r, PT_NEXT));
    return ids;
  }
  // The pointer file and the PCF scratched, and a new query.
  void finish() {
    if (q.ptr_arb) FM_CLOSE(q.ptr_arb, ARB_SCRATCH);
    FM_CLOSE(q.pcf_arb, ARB_SCRATCH), q = QRY_SORT();
  }
  // Files of this process left in the work directory (the pointer file too).
  size_t files() const {
    std::error_code ec;
    return size_t(std::distance(std::filesystem::directory_iterator(data_ + "/TST/Tmpdata", ec), {}));
  }
};

rec le(int64_t v, int n) {
  rec r(static_cast<size_t>(n), 0);
  for (int i = 0; i < n; ++i) r[size_t(i)] = uint8_t(uint64_t(v) >> (8 * i));
  return r;
}
rec txt(const char* s) { return rec(s, s + strlen(s)); }
// The input's indexes in a stable sort of the records.
std::vector<uint32_t> stable(const std::vector<rec>& in) {
  std::vector<uint32_t> want(in.size());
  std::iota(want.begin(), want.end(), 0);
  std::stable_sort(want.begin(), want.end(), [&](uint32_t a, uint32_t b) { return in[a] < in[b]; });
  return want;
}
// A binary date and time at midnight of y-m-d.
rec date(int y, int m, int d) {
  rec raw(8);
  std_date s{8, raw.data(), 0, nullptr, {int8_t(y / 100), int8_t(y % 100), int8_t(m), int8_t(d)}, 8, 1, DT_BIN,
             0, 1,          0, 0};
  EXPECT_EQ(cv_ston_date(&s), 1);
  return raw;
}

TEST_F(QuerySort, KeysOrderEveryTypeByValue) {
  using pd = rec;
  struct row {
    const char* what;
    elem_spec e;
    std::vector<rec> in;
    std::vector<uint32_t> want;
  };
  // clang-format off
  const row rows[] = {
      {"alpha, blank first", {1, 0, 0, 0, 3, 0}, {txt("bb "), txt("   "), txt("a  ")}, {1, 2, 0}},
      {"alpha descending, blank last", {1, 0, 0, 0, 3, 0, '-'}, {txt("bb "), txt("   "), txt("a  ")}, {0, 2, 1}},
      {"signed binary", {5, 9, 0, 1, 2, 0}, {le(1, 2), le(-1, 2), le(0, 2), le(-300, 2)}, {3, 1, 2, 0}},
      {"unsigned binary as written", {5, 9, 0, 0, 2, 0}, {le(1, 2), le(-1, 2), le(0, 2)}, {2, 0, 1}},
      {"packed, odd digits", {8, 3, 0, 0, 2, 0}, {pd({0x00, 0x3C}), pd({0x00, 0x5D}), pd({0x00, 0x3D}), pd({0x12, 0x3C})}, {1, 2, 0, 3}},
      {"packed, even digits", {8, 2, 2, 0, 3, 0}, {pd({0x00, 0x50, 0x0C}), pd({0x00, 0x50, 0x0D}), pd({0x01, 0x00, 0x0D}), pd({0x00, 0x00, 0x0C})}, {2, 1, 3, 0}},
      {"variable point by value", {12, 5, 0, 0, 4, 0}, {pd({0x00, 0x01, 0x5C, 1}), pd({0x00, 0x12, 0x5C, 2}), pd({0x00, 0x01, 0x5D, 1}), pd({0x00, 0x00, 0x2C, 0})}, {2, 1, 0, 3}},
      {"variable point, scale over the digits", {12, 2, 0, 0, 3, 0}, {pd({0x12, 0x3C, 3}), pd({0x00, 0x1C, 0}), pd({0x00, 0x5C, 2})}, {2, 0, 1}},
      {"dates across centuries", {7, 8, 5, 0, 8, 0, '+', 1, 0, "8877/66/55"}, {date(2001, 1, 1), date(1999, 12, 31), date(1899, 6, 1)}, {2, 1, 0}},
  };
  // clang-format on
  for (const row& r : rows) {
    load(r.in, {r.e});
    ASSERT_EQ(qs_sort(&q), 1u) << r.what;
    EXPECT_EQ(result(), r.want) << r.what;
    finish();
  }
}

TEST_F(QuerySort, NullValuesFirstEqualFieldsKeepSelectionOrderWithLevelsAtEachField) {
  // field 1 alpha at 0, field 3 binary at 1 with the null value 9: level 2 is a gap
  q.null_value = [](void*, const uint8_t*, std::vector<uint8_t>* out) { return *out = {9}, 1; };
  std::vector<rec> in = {txt("b\x05"), txt("a\x09"), txt("a\x02"), txt("a\x02"), txt("b\x09")};
  load(in, {{1, 0, 0, 0, 1, 0}, {5, 2, 0, 0, 1, 1, '+', 3, 2}}, 3);
  ASSERT_EQ(qs_sort(&q), 1u);
  EXPECT_EQ(result(), (std::vector<uint32_t>{1, 2, 3, 4, 0}));
  EXPECT_EQ(lv, (decltype(lv){{0, 3}, {3, 4}, {4, 1}, {1, 3}, {3, 0}}));
}

// Records with random 2-byte alpha keys (many equal) through budgets of
// entries; the pointer file equals a stable sort of the input. A one-run
// sort keeps its pointer file in memory only when it fits in the budget
// beside the run's entries; else it is on disk, as after a merge.
TEST_F(QuerySort, RunsAndCascadePassesGiveTheStableOrder) {
  struct row {
    uint32_t entries, records, passes;
    bool ptr_on_disk;
  };
  const uint32_t big = 10000 * uint32_t(std::max(1, atoi(getenv("KIVO_STRESS_SCALE") ?: "1")));
  const row rows[] = {{100, 0, 0, false},  {100, 99, 0, true},   {1000, 99, 0, false}, {100, 100, 1, true},
                      {100, 500, 1, true}, {100, 1500, 2, true}, {100, 501, 2, true},  {2, big, 5, true}};
  std::mt19937 rng(7);
  for (const row& r : rows) {
    std::vector<rec> in;
    for (uint32_t i = 0; i < r.records; ++i) in.push_back({uint8_t('A' + rng() % 20), uint8_t('A' + rng() % 20)});
    load(in, {{1, 0, 0, 0, 2, 0}});
    run_mem = r.entries * qs_entry_cost(&q);
    ASSERT_EQ(qs_sort(&q), 1u) << r.records;
    EXPECT_EQ(q.capacity, std::max(r.entries, 2u));
    EXPECT_EQ(result(), stable(in)) << r.records;
    EXPECT_TRUE(r.entries == 2 ? q.passes >= r.passes : q.passes == r.passes) << r.records << " " << q.passes;
    EXPECT_EQ(files(), r.ptr_on_disk ? 1u : 0u) << r.records << ": the pointer file alone stays";
    finish();
  }
}

// A budget that is not a positive number leaves the budget as it was; one
// below two entries sorts with two. An entry here is 9 bytes and its slot
// 16: the budget pays both.
TEST_F(QuerySort, RunBudgetFromTheEnvironment) {
  const std::pair<const char*, uint32_t> rows[] = {{"abc", 360}, {"0", 360}, {"-5", 360}, {"99999999999", 360},
                                                   {"1", 2},     {"100", 4}, {"124", 4}};
  for (const auto& [text, capacity] : rows) {
    run_mem = 9000;
    setenv("KIVO_RUN_MEM", text, 1);
    load({txt("c"), txt("a"), txt("b"), txt("a"), txt("d")}, {{1, 0, 0, 0, 1, 0}});
    ASSERT_EQ(qs_sort(&q), 1u) << text;
    EXPECT_EQ(q.capacity, capacity) << text;
    EXPECT_EQ(result(), (std::vector<uint32_t>{1, 3, 2, 0, 4})) << text;
    finish();
  }
}

// A damaged run, a read failure of the PCF and the user's break each end the
// sort unfinished: the query is not marked sorted and no work file stays.
TEST_F(QuerySort, FailuresAndInterruptsLeaveNoWorkFileAndSortAgain) {
  enum { kMagic, kRead, kBreak };
  for (int kind : {kMagic, kRead, kBreak}) {
    std::vector<rec> in(50, txt("x"));
    load(in, {{1, 0, 0, 0, 1, 0}});
    run_mem = 10 * qs_entry_cost(&q);
    static QRY_SORT* cur;
    static int fired;
    cur = &q, fired = kind;
    q.select = [](void*) {
      if (cur->selected == 25 && fired == kMagic && cur->f[0].arb) {  // rewrite the first run header
        ARB* a = cur->f[0].arb;
        uint8_t h[12];
        a->arb_mod = ARB_FIRST, a->arb_key = nullptr, a->arb_rec = h, a->arb_len = 12;
        EXPECT_TRUE(fm_start(a) && (a->arb_mod = ARB_HOLD, fm_rdnxt(a)));
        st_le32(h, RH_MAGIC, 0), a->arb_mod = 0, fired = -1;
        EXPECT_EQ(fm_rewrite(a), 1);
      }
      if (cur->selected == 30 && fired == kRead) cur->rec_len = 10, fired = -1;  // the next record is cut
      return int(QS_SELECT);
    };
    q.interrupt = [](void*) { return fired == kBreak && cur->selected == 30; };
    uint32_t st = 0;
    EXPECT_EQ(MARK(MARK_RECOVERY, [&] { st = qs_sort(&q); }), kind == kBreak ? QS_INTERRUPTED : 1u);
    EXPECT_EQ(st, kind == kMagic ? QS_FAILED : kind == kRead ? uint32_t(FM_REC_TOO_LONG) : 0u);
    EXPECT_TRUE(!q.executed && files() == 0) << kind;
    EXPECT_EQ(reported("merge file not positioned at SOR"), kind == kMagic);
    captured_errors().clear();
    q.rec_len = kRec, q.pcf_arb->arb_mod = ARB_FIRST, q.pcf_arb->arb_key = nullptr, fired = -1;
    ASSERT_EQ(fm_start(q.pcf_arb), 1);
    EXPECT_EQ(qs_sort(&q), 1u) << "the next read sorts again";
    EXPECT_EQ(result().size(), 50u);
    finish();
  }
}

// A disk that fails at any one write of the sort: the sort reports the
// failure, never a short order as complete or the lost records as an end.
TEST_F(QuerySort, FailingWriteNeverGivesAShortCompleteSort) {
  std::vector<rec> in;
  for (int i = 0; i < 60; ++i) in.push_back({uint8_t('A' + (i * 37) % 26)});
  static long left;
  for (long nth = 1; nth < 12; ++nth) {
    load(in, {{1, 0, 0, 0, 1, 0}});
    run_mem = 10 * qs_entry_cost(&q);
    left = nth;
    uint32_t st;
    {
      kivo_test::scoped_hook failing(os_sys.pwrite, [](int fd, const void* b, size_t n, off_t o) {
        return --left ? ::pwrite(fd, b, n, o) : (errno = EIO, -1);
      });
      st = qs_sort(&q);
    }
    EXPECT_TRUE(st == 1 ? left > 0 && result().size() == in.size() : left <= 0 && st != FM_EOF) << nth << " " << st;
    captured_errors().clear();
    finish();
  }
}

TEST_F(QuerySort, TwoProcessesSortWithTheSameWorkFileNumbers) {
  std::vector<rec> in;
  for (int i = 0; i < 3000; ++i) in.push_back({uint8_t('A' + (i * 7919) % 26), uint8_t('A' + i % 26)});
  const std::vector<uint32_t> want = stable(in);
  signal_pipe go;
  auto sorter = [&] {
    load(in, {{1, 0, 0, 0, 2, 0}});
    run_mem = 20 * qs_entry_cost(&q);
    go.receive();
    return qs_sort(&q) == 1 && result() == want ? 0 : 1;
  };
  pid_t a = fork_engine(sorter), b = fork_engine(sorter);
  go.send(), go.send();
  EXPECT_EQ(wait_exit(a) + wait_exit(b), 0);
}

}  // namespace
}  // namespace kivo::test
