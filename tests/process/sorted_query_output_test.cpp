// An OUTPUT process ranged on a QUERY process, run through the executive:
// the query runs automatically once, the records come in the order of a
// reference sort of the selected ones, with level breaks exactly at the
// group boundaries.
#include <algorithm>
#include <functional>
#include <map>
#include <sstream>
#include <tuple>
#include <utility>

#include "../fixtures/hook_override.h"
#include "compiler/compiler.h"
#include "op_test_util.h"
#include "process/pb.h"
#include "process/pb_fqry.h"
#include "process/pi_suspend.h"
#include "process/qp.h"
#include "process/qs.h"

namespace kivo::test {
namespace {

struct read_step {
  uint32_t status, level;
  uint16_t id;
  bool operator==(const read_step&) const = default;
};
std::vector<read_step> g_log;
uint32_t (*g_saved)(PCB*, uint32_t*);
// Run once when the report has read its query to the end, while the query
// and its scope are still there.
std::function<void()> g_at_end;

class SortedQueryOutput : public OpFixture {
 protected:
  void SetUp() override {
    OpFixture::SetUp();
    levels = 0;
    qp_init();
    g_saved = process_seams.op_rdnxt, g_log.clear();
    hooks_.set(process_seams.op_rdnxt, [](PCB* p, uint32_t* level) {
      const uint32_t st = g_saved(p, level);
      const uint16_t id = st == OP_RECORD ? ld_le16(p->pcb_pcf_arb->arb_rec, C_ID) : 0;
      g_log.push_back({st, st == OP_RECORD ? 0 : *level, id});
      if (st == OP_EOF && g_at_end) std::exchange(g_at_end, nullptr)();
      return st;
    });
  }
  uint32_t run_ranged(const char* query) {
    INVOC v = inv("REPORT", PT_OUTPUT, nullptr, 2, "0DN");
    memcpy(v.b + INVOC_VER, "01", 2);
    memcpy(v.b + INVOC_RNG_AP, "0DN", 3), memcpy(v.b + INVOC_RNG_NAM, s30(query).data(), 30);
    return run(v);
  }
  // The reads a reference sort gives: balance >= 0 (and `keep`), region
  // ascending, district descending, equal ones in file order.
  std::vector<read_step> reference(const std::function<bool(const customer&)>& keep = nullptr) const {
    std::vector<customer> sel;
    for (const customer& c : data)
      if (c.cents >= 0 && (!keep || keep(c))) sel.push_back(c);
    std::stable_sort(sel.begin(), sel.end(), [](const customer& a, const customer& b) {
      return a.region != b.region ? a.region < b.region : a.district > b.district;
    });
    std::vector<read_step> out;
    for (size_t i = 0; i < sel.size(); ++i) {
      const int lv = i == 0                                   ? 0
                     : sel[i].region != sel[i - 1].region     ? 1
                     : sel[i].district != sel[i - 1].district ? 2
                                                              : 3;
      if (i)
        for (int l = 2; l >= lv; --l) out.push_back({OP_LEVEL_END, uint32_t(l), 0});
      for (int l = lv; l <= 2; ++l) out.push_back({OP_LEVEL_START, uint32_t(l), 0});
      out.push_back({OP_RECORD, 0, sel[i].id});
    }
    if (!sel.empty())
      for (int l = 2; l >= 0; --l) out.push_back({OP_LEVEL_END, uint32_t(l), 0});
    out.push_back({OP_EOF, 0, 0});
    return out;
  }
};

// 10,000 customers over the regions and districts of the fixture.
std::vector<customer> many() {
  std::vector<customer> out;
  const char* regions[] = {"EAST", "NORTH", "SOUTH", "WEST"};
  for (int id = 1; id <= 10000; ++id) {
    const int64_t cents = (int64_t(id) * 7919 % 200001) - 100000;
    out.push_back({uint16_t(id), "CUSTOMER " + std::to_string(id), regions[(id * 13) % 4], (id * 7) % 3 ? "A" : "B",
                   cents, 1 + id % 28});
  }
  return out;
}

// The cached modules still in use, one "name count" line each.
std::string modules_in_use() {
  char* text = nullptr;
  size_t len = 0;
  FILE* f = open_memstream(&text, &len);
  pl_dump(f);
  fclose(f);
  std::string out, line;
  for (std::istringstream in(std::string(text, len)); std::getline(in, line);) {
    int n = 0;
    char name[31] = {};
    if (sscanf(line.c_str(), "EM - %d %*3c/%*2c/%30c", &n, name) == 2 && n != 0) {
      std::string proc(name);
      out += proc.erase(proc.find_last_not_of(' ') + 1) + " " + std::to_string(n) + "\n";
    }
  }
  free(text);
  return out;
}

TEST_F(SortedQueryOutput, QueryRunsOnceAndRecordsComeInReferenceOrderWithLevels) {
  data = many();
  for (const char* mem : {"", "100"}) {
    if (*mem) setenv("KIVO_RUN_MEM", mem, 1);
    g_log.clear();
    EXPECT_EQ(run_ranged("CUSTQ"), uint32_t(PI_END_PROCESS)) << mem;
    EXPECT_EQ(g_log, reference()) << "run memory " << mem;
    EXPECT_EQ(fq_count(), 0u) << "the query ends with the scope of its reader";
    EXPECT_TRUE(qp_pend_of(com.sys_scope).empty());
    EXPECT_EQ(modules_in_use(), "") << "every module's use, the query's included, is released";
    std::error_code ec;
    if (*mem) {
      EXPECT_TRUE(std::filesystem::exists(data_ + "/Data")) << "the merge's work files were there";
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(data_ + "/Data", ec), {}), 0)
        << "no work or pointer file is left";
  }
  unsetenv("KIVO_RUN_MEM");
  run_mem = kRunMemDefault;
}

// The report's own constraint (as linking fields give it) goes with the
// query: only its records are selected, in the reference order. Its entries
// name offsets in the record; a field outside the key or not leading it
// constrains as well as the key itself.
TEST_F(SortedQueryOutput, ConstraintOfTheReaderSelectsOnlyItsRecordsWhereverItsFieldLies) {
  data = many();
  PCB k{};
  k.invoc = inv("REPORT", PT_OUTPUT, nullptr, 2, "0DN");
  memcpy(k.invoc.b + INVOC_VER, "01", 2), memcpy(k.pcb_lang, "ENG", 3);
  ASSERT_TRUE(pl_get(&k, 1));
  const uint32_t pcf_id = k.pcb_em->em_pcf_id;
  pl_free(k.pcb_em);
  struct row {
    const char* what;
    uint16_t off, len;
    std::vector<uint8_t> value;
    std::function<bool(const customer&)> keep;
  };
  const row rows[] = {
      {"the region, no key field",
       C_REGION,
       5,
       {'W', 'E', 'S', 'T', ' '},
       [](const customer& c) { return c.region == "WEST"; }},
      {"the district, no key field", C_DISTRICT, 1, {'B'}, [](const customer& c) { return c.district == "B"; }},
      {"the id, the whole key", C_ID, 2, {42, 0}, [](const customer& c) { return c.id == 42; }},
  };
  for (const row& r : rows) {
    uint8_t seg[6] = {};
    st_le16(seg, 0, 1), st_le16(seg, 2, r.off), st_le16(seg, 4, r.len);
    std::vector<uint8_t> value = r.value;
    cnstr_fld fld{};
    fld.addr = value.data(), fld.len = r.len, fld.given = 1;
    INVOC v = inv("REPORT", PT_OUTPUT, nullptr, 2, "0DN");
    memcpy(v.b + INVOC_VER, "01", 2);
    memcpy(v.b + INVOC_RNG_AP, "0DN", 3), memcpy(v.b + INVOC_RNG_NAM, s30("CUSTQ").data(), 30);
    const uint32_t hs = ih_put(HK_CNSTR_SEGS, seg), hf = ih_put(HK_CNSTR_FLDS, &fld);
    st_le32(v.b, INVOC_CNSTR_CNT, 1), st_le32(v.b, INVOC_CNSTR_LEN, r.len);
    st_le32(v.b, INVOC_CNSTR_SEGS, hs), st_le32(v.b, INVOC_CNSTR_FLDS, hf);
    memcpy(v.b + INVOC_CNSTR_AP, "0DN", 3), st_le32(v.b, 128, pcf_id);
    g_log.clear();
    EXPECT_EQ(run(v), uint32_t(PI_END_PROCESS)) << r.what;
    ih_drop(hs), ih_drop(hf);
    EXPECT_EQ(g_log, reference(r.keep)) << r.what;
    EXPECT_GT(g_log.size(), 1u) << r.what;
    EXPECT_EQ(fq_count(), 0u);
  }
}

std::vector<std::string> g_texts;

TEST_F(SortedQueryOutput, ProgressShownAtOneToTenAndTwentyOfTwentyFive) {
  data.resize(25);
  for (customer& c : data) c.cents = c.cents < 0 ? -c.cents : c.cents;
  pb_show_progress = true;
  g_texts.clear();
  {
    kivo_test::scoped_hook texts(process_seams.pb_progress, [](const std::string& t) { g_texts.push_back(t); });
    EXPECT_EQ(run_ranged("CUSTQ"), uint32_t(PI_END_PROCESS));
  }
  pb_show_progress = false;
  std::vector<std::string> want;
  for (int n : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 20})
    want.push_back("Selecting record " + std::to_string(n) + " of " + std::to_string(n) + " processed");
  for (int n : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 20})
    want.push_back("Processing record " + std::to_string(n) + " of 25 selected");
  want.push_back("");  // the window removed at the end
  EXPECT_EQ(g_texts, want);
}

// A second attach on the query the report read: unchanged criteria reuse
// it without sorting again; each changed, added or removed selection or sort
// line builds it anew, which sorts once more (a sort shows the progress of
// its first record processed).
using recs_t = std::vector<std::vector<uint8_t>>;

recs_t qfi_recs(const QFI& f, uint16_t len) {
  recs_t out;
  std::vector<uint8_t> r(len);
  ARB* a = f.strm;
  a->arb_mod = ARB_FIRST, a->arb_key = nullptr;
  if (fm_start(a))
    for (a->arb_rec = r.data(), a->arb_len = len, a->arb_mod = 0; fm_rdnxt(a); a->arb_mod = 0) out.push_back(r);
  a->arb_mod = 0;
  return out;
}

// Changes a work file of the query's criteria: the record `old` becomes
// `rec` (neither empty: a rewrite; `old` empty: a write; `rec` empty: a delete).
void change_qfi(ACTIVE_QRY* q, const char* name, std::vector<uint8_t> old, std::vector<uint8_t> rec) {
  QFI f = open_qfi(q->scope, name, q->ap, q->proc);
  ASSERT_NE(f.file, nullptr);
  ARB* a = f.file;
  if (!old.empty()) {
    a->arb_rec = old.data(), a->arb_len = uint16_t(old.size()), a->arb_keyno = 0, a->arb_key = nullptr;
    a->arb_mod = ARB_EQUAL | ARB_HOLD;
    ASSERT_EQ(fm_read(a), 1) << name;
  }
  a->arb_mod = 0;
  if (old.empty()) {
    a->arb_rec = rec.data(), a->arb_len = a->arb_var_len = uint16_t(rec.size());
    EXPECT_EQ(fm_write(a), 1) << name;
  } else if (rec.empty()) {
    EXPECT_EQ(fm_del(a), 1) << name;
  } else {
    a->arb_rec = rec.data(), a->arb_len = a->arb_var_len = uint16_t(rec.size());
    EXPECT_EQ(fm_rewrite(a), 1) << name;
  }
  a->arb_mod = 0;
  f.strm->arb_mod = 0, fm_detach(f.strm);
  FM_CLOSE(f.file, 0);
}

int g_sorts = 0;

TEST_F(SortedQueryOutput, UnchangedCriteriaReuseTheQueryAndEachChangedLineSortsAnew) {
  pb_show_progress = true;
  g_sorts = 0;
  hooks_.set(process_seams.pb_progress, [](const std::string& t) {
    const std::string first = " of 1 processed";  // the first record of a sort's selection
    g_sorts += t.size() > first.size() && t.compare(t.size() - first.size(), first.size(), first) == 0;
  });

  struct change {
    const char* what;
    const char* file;
    std::function<std::pair<std::vector<uint8_t>, std::vector<uint8_t>>(const recs_t&)> edit;  // old, new
  };

  auto with = [](std::vector<uint8_t> r, size_t at, std::string v) {
    memcpy(r.data() + at, v.data(), v.size());
    return r;
  };
  const change changes[] = {
      {"a changed selection line", "QSLCT   ",
       [&](const recs_t& l) { return std::pair(l[0], with(l[0], QSLCT_R_VALUE, "1")); }},
      {"an added selection line", "QSLCT   ",
       [&](const recs_t& l) {
         std::vector<uint8_t> r = with(l[0], QSLCT_ON, "0");
         st_le32(r.data(), QSLCT_NO, 2);
         return std::pair(std::vector<uint8_t>{}, r);
       }},
      {"a removed selection line", "QSLCT   ",
       [&](const recs_t& l) { return std::pair(l.back(), std::vector<uint8_t>{}); }},
      {"a changed sort line", "QSORT   ",
       [&](const recs_t& l) { return std::pair(l.back(), with(l.back(), QSORT_ORDER, "+")); }},
      {"an added sort line", "QSORT   ",
       [&](const recs_t& l) {
         std::vector<uint8_t> r = with(l.back(), QSORT_OFF, "0");
         st_le32(r.data(), QSORT_SEQ, 3);
         return std::pair(std::vector<uint8_t>{}, r);
       }},
      {"a removed sort line", "QSORT   ", [&](const recs_t& l) { return std::pair(l.back(), std::vector<uint8_t>{}); }},
  };
  int sorts_before = -1;
  bool checked = false;
  g_at_end = [&] {
    sorts_before = g_sorts;
    const std::vector<ACTIVE_QRY*> all = fq_all();
    ASSERT_EQ(all.size(), 1u);
    ACTIVE_QRY* q = all[0];
    uint8_t qb[kQblkLen] = {};
    qb[QB_KIND] = 2, qb[QB_BREAKS] = 1, qb[QB_UPDATE] = 1;
    st_le32(qb, QB_SCOPE, q->scope);
    memcpy(qb + QB_AP, q->ap, 3), memcpy(qb + QB_VER, q->ver, 2), memcpy(qb + QB_PROC, q->proc, 30);
    // An attach that reads the first record: 1 when it came.
    auto attach_read = [&](const char* what, bool anew) {
      PB_ATTACH b;
      b.breaks = true;
      const int before = g_sorts;
      ASSERT_EQ(process_seams.pb_build(nullptr, nullptr, qb, &b), 1) << what;
      uint8_t buf[C_LEN];
      uint32_t st = 0, level = 0;
      int got = 0;
      for (int i = 0; i < 10 && !got && st != FM_EOF; ++i) {
        uint16_t len = C_LEN;
        got = pb_rdnxt(&b, buf, &len, &st, &level);
      }
      EXPECT_EQ(got, 1) << what;
      EXPECT_EQ(g_sorts - before, anew ? 1 : 0) << what;
      process_seams.pb_unbuild(&b);
    };
    attach_read("unchanged criteria", false);
    EXPECT_EQ(fq_all(), all) << "the same query";
    for (const change& c : changes) {
      ACTIVE_QRY* now = fq_all().at(0);
      QFI f = open_qfi(now->scope, c.file, now->ap, now->proc);
      ASSERT_NE(f.strm, nullptr);
      const recs_t lines = qfi_recs(f, c.file[2] == 'L' ? uint16_t(kQslctLen) : uint16_t(kQsortLen));
      f.strm->arb_mod = 0, fm_detach(f.strm), FM_CLOSE(f.file, 0);
      ASSERT_FALSE(lines.empty()) << c.what;
      auto [old, rec] = c.edit(lines);
      change_qfi(now, c.file, old, rec);
      attach_read(c.what, true);
      attach_read(c.what, false);  // and the new query is reused as it is
      EXPECT_EQ(fq_count(), 1u) << c.what;
    }
    checked = true;
  };
  EXPECT_EQ(run_ranged("CUSTQ"), uint32_t(PI_END_PROCESS));
  g_at_end = nullptr;
  pb_show_progress = false;
  EXPECT_TRUE(checked);
  EXPECT_EQ(sorts_before, 1) << "the report's own read sorted once";
  EXPECT_EQ(fq_count(), 0u);
}

// Update byte 2 shuts the query down and builds it with its old work-file
// number; 3 leaves the old one unlisted and builds on a stream of its PCF.
// Either sorts anew and reads the report's order.
TEST_F(SortedQueryOutput, UpdateBytesTwoAndThreeBuildAnewOnTheOldNumberOrTheOldStream) {
  pb_show_progress = true;
  g_sorts = 0;
  hooks_.set(process_seams.pb_progress, [](const std::string& t) {
    const std::string first = " of 1 processed";
    g_sorts += t.size() > first.size() && t.compare(t.size() - first.size(), first.size(), first) == 0;
  });
  bool checked = false;
  g_at_end = [&] {
    std::vector<uint16_t> want;
    for (const read_step& r : g_log)
      if (r.status == OP_RECORD) want.push_back(r.id);
    for (const uint8_t upd : {2, 3}) {
      SCOPED_TRACE(int(upd));
      const std::vector<ACTIVE_QRY*> before = fq_all();
      ASSERT_EQ(before.size(), 1u);
      ACTIVE_QRY* old = before[0];
      const uint32_t old_wrk = old->wrk_no, next_wrk = pb_wrk_no;
      SARB* old_strm = old->pcf_arb->arb_sarb;
      uint8_t qb[kQblkLen] = {};
      qb[QB_KIND] = 2, qb[QB_BREAKS] = 1, qb[QB_UPDATE] = upd;
      st_le32(qb, QB_SCOPE, old->scope);
      memcpy(qb + QB_AP, old->ap, 3), memcpy(qb + QB_VER, old->ver, 2), memcpy(qb + QB_PROC, old->proc, 30);
      PB_ATTACH b;
      b.breaks = true;
      const int sorts = g_sorts;
      ASSERT_EQ(process_seams.pb_build(nullptr, nullptr, qb, &b), 1);
      const std::vector<ACTIVE_QRY*> after = fq_all();
      ASSERT_EQ(after.size(), 1u) << "one query listed";
      ACTIVE_QRY* q = after[0];
      EXPECT_EQ(b.query, q);
      if (upd == 2) {
        EXPECT_EQ(q->wrk_no, old_wrk) << "the old work-file number";
        EXPECT_EQ(pb_wrk_no, next_wrk) << "no number taken";
      } else {
        EXPECT_NE(q, old);
        EXPECT_NE(q->wrk_no, old_wrk) << "a number of its own";
        ASSERT_NE(q->pcf_arb, nullptr);
        EXPECT_EQ(q->pcf_arb->arb_sarb->sarb_marb, old_strm->sarb_marb) << "a stream of the old query's PCF";
        EXPECT_NE(q->pcf_arb, q->pcb.pcb_pcf_arb) << "read through the alternate handle";
      }
      std::vector<uint16_t> got;
      uint8_t buf[C_LEN];
      uint32_t st = 0, level = 0;
      for (int guard = 0; guard < 1000 && st != FM_EOF; ++guard) {
        uint16_t len = C_LEN;
        if (pb_rdnxt(&b, buf, &len, &st, &level)) got.push_back(ld_le16(buf, C_ID));
      }
      EXPECT_EQ(got, want);
      EXPECT_EQ(g_sorts - sorts, 1) << "sorted anew";
      process_seams.pb_unbuild(&b);
    }
    checked = true;
  };
  EXPECT_EQ(run_ranged("CUSTQ"), uint32_t(PI_END_PROCESS));
  g_at_end = nullptr;
  pb_show_progress = false;
  EXPECT_TRUE(checked);
  EXPECT_EQ(fq_count(), 0u);
  std::error_code ec;
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(data_ + "/Data", ec), {}), 0)
      << "no work or pointer file is left";
}

// A tag-mode query: the automatic run tags customers in QTAG (as a scan
// would); the report reads exactly those in QTAG's key order, without a
// level status, and the read consumes QTAG.
struct tag {
  uint32_t no;
  uint16_t id;
};
const tag kTags[] = {{5, 7}, {1, 3}, {4, 42}, {2, 19}, {3, 50}};

TEST_F(SortedQueryOutput, TagModeReadsTheTaggedRecordsInKeyOrderAndEmptiesQtag) {
  kivo_test::hook_overrides rows;
  rows.set(pi_type_rows[PT_QUERY].auto_exec, [](PCB* p, uint8_t*) {
    std::map<uint16_t, std::vector<uint8_t>> rid;
    ARB* pcf = p->pcb_pcf_arb;
    std::vector<uint8_t> r(C_LEN);
    pcf->arb_mod = ARB_FIRST, pcf->arb_key = nullptr;
    if (fm_start(pcf))
      for (pcf->arb_rec = r.data(), pcf->arb_len = C_LEN, pcf->arb_mod = 0; fm_rdnxt(pcf); pcf->arb_mod = 0)
        rid[ld_le16(r.data(), C_ID)].assign(pcf->arb_rec_id_area, pcf->arb_rec_id_area + pcf->arb_rec_id_len);
    pcf->arb_mod = 0;
    ARB* t = get_qfi_arb(p, "QTAG    ");
    ASSERT_NE(t, nullptr);
    for (const tag& g : kTags) {
      std::vector<uint8_t> rec(1064, ' ');
      memcpy(rec.data(), p->invoc.b + INVOC_AP_ID, 3), memcpy(rec.data() + 3, p->invoc.b + INVOC_PROC_NAM, 30);
      st_le32(rec.data(), 36, g.no);
      ASSERT_FALSE(rid[g.id].empty()) << g.id;
      memcpy(rec.data() + 40, rid[g.id].data(), rid[g.id].size());
      t->arb_rec = rec.data(), t->arb_len = t->arb_var_len = uint16_t(rec.size()), t->arb_mod = 0;
      EXPECT_EQ(fm_write(t), 1);
    }
    t->arb_mod = 0, FM_CLOSE(t, 0);
  });
  int left = -1;
  g_at_end = [&] {
    const std::vector<ACTIVE_QRY*> all = fq_all();
    ASSERT_EQ(all.size(), 1u);
    QFI f = open_qfi(all[0]->scope, "QTAG    ", all[0]->ap, all[0]->proc);
    ASSERT_NE(f.strm, nullptr) << "QTAG is still there";
    left = int(qfi_recs(f, 1064).size());
    f.strm->arb_mod = 0, fm_detach(f.strm), FM_CLOSE(f.file, 0);
  };
  EXPECT_EQ(run_ranged("CUSTQTG"), uint32_t(PI_END_PROCESS));
  rows.restore();
  g_at_end = nullptr;
  std::vector<tag> order(std::begin(kTags), std::end(kTags));
  std::sort(order.begin(), order.end(), [](const tag& a, const tag& b) { return a.no < b.no; });
  std::vector<read_step> want;
  for (const tag& g : order) want.push_back({OP_RECORD, 0, g.id});
  want.push_back({OP_EOF, 0, 0});
  EXPECT_EQ(g_log, want);
  EXPECT_EQ(left, 0) << "QTAG left empty";
  EXPECT_EQ(fq_count(), 0u);
}

// An alternate file: the query selects and sorts CUSTG, and its pointers
// carry the elementary fields of the group GKEY (the id and, under a
// subgroup, the name), by which the report reads CUSTX, the primary key of
// which is the same group. CUSTX is written in the other order, with a
// decoy of each id whose name sorts first: a read by record id or by the
// id alone would find another record than the one whose note names it.
std::map<std::string, ARB*> g_files;
std::vector<std::string> g_notes;
std::vector<customer> g_data;

TEST_F(SortedQueryOutput, AlternateFileIsReadThroughTheGroupKeyIdentifier) {
  g_files.clear(), g_notes.clear(), g_data = data;
  hooks_.set(process_seams.open_fi, [](PCB* p) {
    EM* em = p->pcb_em;
    pi_each_rec(em->em_cfi_arb, [&](uint8_t* c) {
      const std::string name(reinterpret_cast<const char*>(c + FDB_NAME), 8);
      if ((name != "CUSTG   " && name != "CUSTX   ") || g_files.count(name)) return;
      memset(c + FDB_DB, ' ', 3);
      FDB f;
      ASSERT_EQ(em_cfi_desc(em, c, &f), 1);
      ASSERT_EQ(FM_CREATE(&f, com.sys_scope, 0, kAnyFile | LFB_OPEN_NEW, 15, 15), 1);
      ARB* a = g_files[name] = f.fdb_arb;
      std::vector<std::vector<uint8_t>> recs;
      for (const customer& cu : g_data) {
        std::vector<uint8_t> r = cust_rec(cu);
        if (name == "CUSTX   ") {
          r.resize(22);
          const std::string note = "N" + std::to_string(cu.id), decoy = "A" + std::to_string(cu.id);
          memcpy(r.data() + 14, (note + std::string(8 - note.size(), ' ')).data(), 8);
          std::vector<uint8_t> d = r;
          memset(d.data() + 2, ' ', 12), memcpy(d.data() + 2, decoy.data(), decoy.size());
          memcpy(d.data() + 14, "DECOY   ", 8);
          recs.insert(recs.begin(), r), recs.insert(recs.begin(), d);
        } else {
          recs.push_back(r);
        }
      }
      for (std::vector<uint8_t>& r : recs) {
        PROTO_FULL(a, 0, r.data());
        a->arb_len = a->arb_var_len = uint16_t(r.size()), a->arb_mod = 0;
        ASSERT_EQ(fm_write(a), 1);
      }
    });
    pi_open_fi_run(p);
  });
  kivo_test::hook_overrides noting;
  noting.set(process_seams.op_rdnxt, [](PCB* p, uint32_t* level) {
    const uint32_t st = g_saved(p, level);
    const uint8_t* r = p->pcb_pcf_arb->arb_rec;
    if (st == OP_RECORD) g_notes.emplace_back(reinterpret_cast<const char*>(r) + 14, 8);
    g_log.push_back({st, st == OP_RECORD ? 0 : *level, st == OP_RECORD ? ld_le16(r, 0) : uint16_t(0)});
    if (st == OP_EOF && g_at_end) std::exchange(g_at_end, nullptr)();
    return st;
  });
  uint32_t id_len = 0;
  g_at_end = [&] {
    const std::vector<ACTIVE_QRY*> all = fq_all();
    ASSERT_EQ(all.size(), 1u);
    id_len = all[0]->sort.id_len;
  };
  INVOC v = inv("REPORTX", PT_OUTPUT, nullptr, 2, "0DN");
  memcpy(v.b + INVOC_VER, "01", 2);
  memcpy(v.b + INVOC_RNG_AP, "0DN", 3), memcpy(v.b + INVOC_RNG_NAM, s30("CUSTQA").data(), 30);
  EXPECT_EQ(run(v), uint32_t(PI_END_PROCESS));
  noting.restore();
  g_at_end = nullptr;
  EXPECT_EQ(id_len, 14u) << "the id and the name, not the subgroup over the name";
  EXPECT_EQ(g_log, reference());
  std::vector<std::string> want;
  for (const read_step& r : g_log)
    if (r.status == OP_RECORD) {
      const std::string n = "N" + std::to_string(r.id);
      want.push_back(n + std::string(8 - n.size(), ' '));
    }
  EXPECT_EQ(g_notes, want) << "each record read from CUSTX by its whole key";
  EXPECT_EQ(fq_count(), 0u);
}

// The QUERY process's suspend file loses its last record after it is
// written: the build refuses it and the reader gets no record.
std::vector<std::vector<uint8_t>> g_kept;
FDB_PATH g_path;

TEST_F(SortedQueryOutput, TruncatedSuspendFileFailsTheBuildBeforeAnyRead) {
  kivo_test::hook_overrides rows;
  rows.set(pi_type_rows[PT_QUERY].cleanup, [](PCB* p, uint8_t*) -> uint32_t {
    suspend(p);
    PCB* owner = p->pcb_saa_owner[7] ? p->pcb_saa_owner[7] : p;
    const std::vector<FDB_PATH> pend = qp_pend_of(owner->pcb_pool->level);
    if (pend.size() != 1) return 0;
    g_path = pend[0];
    FDB fdb;
    INIT_FDB(&fdb, FS_MEMORY, kQpSuspRecMax, 1, nullptr, 0);
    fdb.path = g_path;
    if (!FM_OPEN(&fdb, g_path.fdb_tmp_id, 0, 15, 15)) return 0;
    ARB* a = fdb.fdb_arb;
    std::vector<uint8_t> buf(kQpSuspRecMax);
    std::vector<std::vector<uint8_t>> recs;
    a->arb_mod = ARB_FIRST, a->arb_key = nullptr;
    if (fm_start(a))
      for (a->arb_rec = buf.data(), a->arb_len = kQpSuspRecMax, a->arb_mod = 0; fm_rdnxt(a); a->arb_mod = 0)
        recs.emplace_back(buf.begin(), buf.begin() + a->arb_var_len);
    FM_CLOSE(a, ARB_SCRATCH | ARB_CLOSE_NOW);
    recs.pop_back();
    fdb.path = g_path;
    if (!FM_CREATE(&fdb, g_path.fdb_tmp_id, 0, LFB_SCOPED | LFB_OPEN_NEW, 15, 0)) return 0;
    for (auto& r : recs) {
      fdb.fdb_arb->arb_rec = r.data(), fdb.fdb_arb->arb_len = fdb.fdb_arb->arb_var_len = uint16_t(r.size());
      fdb.fdb_arb->arb_mod = 0;
      fm_write(fdb.fdb_arb);
    }
    FM_CLOSE(fdb.fdb_arb, 0);
    g_kept = recs;
    return 0;
  });
  g_kept.clear();
  EXPECT_EQ(run_ranged("CUSTQ"), uint32_t(PI_END_CANCEL)) << "the PCF cannot be opened";
  rows.restore();
  EXPECT_FALSE(g_kept.empty());
  EXPECT_TRUE(g_log.empty()) << "no record and no level was read";
  EXPECT_EQ(fq_count(), 0u);
  bool refused = false;
  for (const std::string& e : captured_errors()) refused |= e.find("does not fit its module") != std::string::npos;
  EXPECT_TRUE(refused) << "refused for its records, not for want of a file";
  captured_errors().clear();
}

}  // namespace
}  // namespace kivo::test
