// The compile of a query's sort: sort lines (groups, switched-off and empty
// lines, bad names) into key descriptors, the alternate key as identifier,
// null values from the file's initial record, and a whole sort through the
// compiled selection.
#include <filesystem>
#include <list>
#include <tuple>

#include "../design/design_test_util.h"
#include "compiler/em.h"
#include "compiler/em_records.h"
#include "compiler/pcb.h"
#include "compiler/seams.h"
#include "foundation/maddr.h"
#include "interp/ii_run.h"
#include "process/pb_slct.h"
#include "process/qs.h"

namespace kivo::test {
namespace {

const char* kDesign = R"(APPLICATION TST 01
STAMP 739591 0
FILE CUST number=2 fs=1 org=3 class=200
  ID      A8    key=primary
  NAME    G10 @8
  CITY    A6  @8
  REGION  B9S @14
  BAL     P9.2S init=5 null=0
END
)";

// A sort line: sequence, field, order, switched on.
// clang-format off
struct line { uint32_t seq; const char* field; char order; bool on = true; };
struct desc { uint8_t level, type; uint32_t key_len; char order; };
// clang-format on

std::string pad(const std::string& s, size_t n) { return (s + std::string(n, ' ')).substr(0, n); }

class QuerySortCmpl : public DesignFiles {
 protected:
  QRY_SLCT s;
  QRY_SORT q;
  std::vector<uint8_t*> addr;
  std::list<std::vector<uint8_t>> blocks;
  uint32_t rec_area = 0;

  void SetUp() override {
    DesignFiles::SetUp();
    std::string kivo = KIVO_BINARY;
    std::filesystem::copy(kivo.substr(0, kivo.rfind('/')) + "/data/00", data_ + "/00",
                          std::filesystem::copy_options::recursive);
    build(kDesign, "TST");
    fm_clr_scope(kScope);
    set_maddr_reader(nullptr);
    ii_init(), rt_err_arb = nullptr, rt_init();
    s.pcf_id = 2, s.qparm_arb = file("QP", kQparmLen, {{0, 33, SDB_CHARS}});
    s.qslct_arb =
        file("QS", kQslctLen, {{0, 33, SDB_CHARS}, {33, 1, SDB_UBINARY}, {34, 2, SDB_CHARS}, {36, 4, SDB_UBINARY}});
    q.qsort_arb = file("QO", kQsortLen, {{0, 33, SDB_CHARS}, {33, 3, SDB_CHARS}, {36, 4, SDB_UBINARY}});
    memcpy(s.ap, "TST", 3), memcpy(s.ver, "01", 2), memcpy(s.pcf_ap, "TST", 3), memcpy(s.pcf_name, "CUST    ", 8);
    reset();
  }
  // A new query whose field addresses lie in blocks made for the module's
  // areas once it is finished; the work files emptied.
  void reset() {
    for (ARB* a : {s.qparm_arb, s.qslct_arb, q.qsort_arb}) {
      uint8_t rec[kQparmLen];
      a->arb_mod = ARB_FIRST, a->arb_key = nullptr;
      if (fm_start(a))
        for (a->arb_rec = rec, a->arb_len = sizeof rec, a->arb_mod = ARB_HOLD; fm_rdnxt(a); a->arb_mod = ARB_HOLD)
          fm_del(a);
    }
    if (s.em) s.em->em_area_addr = nullptr;
    pb_slct_free(&s), addr.clear(), blocks.clear();
    ARB* keep = q.qsort_arb;
    q = QRY_SORT(), q.qsort_arb = keep, q.ctx = this;
    q.field_addr = [](void* ctx, const uint8_t* c) -> const uint8_t* {
      auto* t = static_cast<QuerySortCmpl*>(ctx);
      if (t->addr.empty()) t->areas();
      return t->addr[ld_le16(c, CEL_ADDR)] + ld_le16(c, CEL_ADDR + 2);
    };
  }
  void TearDown() override {
    if (s.em) s.em->em_area_addr = nullptr;
    pb_slct_free(&s), DesignFiles::TearDown();
  }
  void areas() {
    addr.assign(s.em->em_area_cnt + 1, nullptr);
    for (const AREA_DESC* a = s.em->em_area_tbl; a < s.em->em_area_tbl + s.em->em_area_cnt; ++a) {
      addr[a->area_no] = blocks.emplace_back(a->size + 8, '\0').data();
      if (!memcmp(a->ap, "TST", 3) && a->number == 2 && a->type == 0) rec_area = a->area_no;
    }
    s.em->em_area_addr = addr.data();
  }
  ARB* file(const char* tag, uint16_t len, std::vector<std::tuple<uint16_t, uint16_t, uint8_t>> segs) {
    FDB f;
    KDB k[1];
    SDB sd[5];
    INIT_FDB(&f, FS_MEMORY, len, 0, k, 1);
    INIT_UNIQUE_PATH(&f.path, "QT", tag, PATH_DATA);
    INIT_KDB(k, 0, '+', 0, sd, uint8_t(segs.size()));
    for (size_t i = 0; i < segs.size(); ++i)
      init_sdb_func(&sd[i], uint16_t(i + 1), std::get<0>(segs[i]), std::get<1>(segs[i]), std::get<2>(segs[i]), '+');
    EXPECT_EQ(FM_CREATE(&f, com.sys_scope, 0, LFB_OPEN_NEW, 15, 15), 1);
    return f.fdb_arb;
  }
  static void write(ARB* a, uint8_t* rec, uint16_t len) {
    a->arb_rec = rec, a->arb_len = a->arb_var_len = len, a->arb_mod = 0;
    ASSERT_EQ(fm_write(a), 1);
  }
  // The query's selection (expression 9 over statement 1, when given) and
  // sort lines, compiled.
  int compile(const std::vector<line>& lines, const std::string& e9 = "", const char* alt_key = nullptr) {
    uint8_t r[kQparmLen];
    memset(r, ' ', sizeof r), memcpy(r, "TSTQ", 4), memcpy(r + QPARM_EXPR9, e9.data(), e9.size());
    write(s.qparm_arb, r, kQparmLen);
    if (!e9.empty()) {
      uint8_t x[kQslctLen];
      memset(x, ' ', sizeof x), memcpy(x, "TSTQ", 4);
      x[QSLCT_KIND] = 9, st_le32(x, QSLCT_NO, 1), st_le16(x, QSLCT_L_OCC, 1), st_le16(x, QSLCT_R_OCC, 1);
      memcpy(x + QSLCT_L_AP, "TST", 3), memcpy(x + QSLCT_L_NAME, pad("REGION", 22).data(), 22);
      memcpy(x + QSLCT_R_VALUE, pad("0", 30).data(), 30), x[QSLCT_RELOP] = 3, x[QSLCT_ON] = '1';
      write(s.qslct_arb, x, kQslctLen);
    }
    for (const line& l : lines) {
      uint8_t x[kQsortLen];
      memset(x, ' ', sizeof x), memcpy(x, "TSTQ", 4), st_le32(x, QSORT_SEQ, l.seq);
      memcpy(x + QSORT_F_AP, "TST", 3), memcpy(x + QSORT_F_NAME, pad(l.field, 22).data(), 22);
      st_le16(x, QSORT_OCC, 0), x[QSORT_ORDER] = uint8_t(l.order), x[QSORT_OFF] = l.on ? '1' : '0';
      write(q.qsort_arb, x, kQsortLen);
    }
    if (!cmpl_slct(&s)) return 0;
    if (alt_key)
      memcpy(s.em->em_alt_ap, "TST", 3), memcpy(s.em->em_alt_fi, "CUST    ", 8),
          memcpy(s.em->em_alt_key, pad(alt_key, 22).data(), 22);
    return cmpl_sort(&q, &s);
  }
};

TEST_F(QuerySortCmpl, SortLinesCompileIntoKeyDescriptors) {
  struct row {
    const char* what;
    std::vector<line> lines;
    const char* alt_key;
    int ok;
    std::vector<desc> want;  // the closing element follows
    uint16_t levels, id_len;
  };
  // clang-format off
  const row rows[] = {
      {"fields in line order", {{1, "CITY", '+'}, {2, "REGION", '-'}}, nullptr, 1, {{1, 1, 6, '+'}, {2, 5, 5, '-'}}, 2, 0},
      {"a group gives its members", {{1, "NAME", '-'}, {2, "BAL", '+'}}, "ID", 1, {{1, 1, 6, '-'}, {1, 5, 5, '-'}, {2, 8, 7, '+'}}, 2, 8},
      {"switched-off and empty lines", {{1, "CITY", '+', false}, {0, "REGION", '+'}, {3, "BAL", '-'}}, "NAME", 1, {{1, 8, 7, '-'}}, 1, 10},
      {"an unknown field fails", {{1, "NOSUCH", '+'}}, nullptr, 0, {}, 0, 0},
  };
  // clang-format on
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    ASSERT_EQ(compile(r.lines, "", r.alt_key), r.ok);
    EXPECT_EQ(reported("bad sort field name"), !r.ok);
    captured_errors().clear();
    if (r.ok) {
      std::vector<desc> got;
      for (const QS_DESC& d : q.desc) got.push_back({d.level, d.key_type, d.key_len, char(d.order)});
      std::vector<desc> want = r.want;
      want.push_back({0, 0, 4, '+'});
      ASSERT_EQ(got.size(), want.size());
      uint32_t key_len = 0;
      for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(std::tie(got[i].level, got[i].type, got[i].key_len, got[i].order),
                  std::tie(want[i].level, want[i].type, want[i].key_len, want[i].order))
            << i;
        EXPECT_EQ(q.desc[i].key_off, key_len);
        key_len += q.desc[i].key_len;
        for (uint32_t b = 0; b < q.desc[i].key_len; ++b) EXPECT_EQ(q.level_tab[q.desc[i].key_off + b], want[i].level);
      }
      EXPECT_EQ(q.key_len, key_len);
      EXPECT_EQ(q.levels, r.levels);
      EXPECT_EQ(q.id_len, r.id_len);
    }
    reset();
  }
}

// REGION > 0 selects; sorted by BAL (null value: its initial 5.00) and CITY
// descending; the identifier is the ID field.
TEST_F(QuerySortCmpl, SortsTheRecordsTheCompiledSelectionKeeps) {
  ASSERT_EQ(compile({{1, "BAL", '+'}, {2, "CITY", '-'}}, "1", "ID"), 1);
  ASSERT_TRUE(q.desc[0].has_null);
  EXPECT_EQ(q.desc[0].null_val, (std::vector<uint8_t>{0, 0, 0, 0, 0x50, 0x0C}));
  uint8_t* area = addr[rec_area];
  FDB fdb;
  INIT_FDB(&fdb, FS_MEMORY, 32, 0, nullptr, 0);
  INIT_UNIQUE_PATH(&fdb.path, "QT", "PC", PATH_DATA);
  ASSERT_EQ(FM_CREATE(&fdb, com.sys_scope, 0, LFB_OPEN_NEW, 15, 15), 1);
  // id, city, region, BAL in cents: 500 is the null value
  const std::tuple<const char*, const char*, int32_t, uint8_t> recs[] = {
      {"A", "PARIS", 3, 0x10}, {"B", "OSLO", -1, 0x10}, {"C", "ROME", 7, 0x50},
      {"D", "BERN", 2, 0x10},  {"E", "ZUG", 1, 0x01},   {"F", "ROME", 4, 0x10},
  };
  for (const auto& [id, city, region, bal] : recs) {
    memset(area, ' ', 32), memcpy(area, pad(id, 8).data(), 8), memcpy(area + 8, pad(city, 6).data(), 6);
    st_le32(area, 14, uint32_t(region));
    const uint8_t b[6] = {0, 0, 0, 0, bal, 0x0C};
    memcpy(area + 18, b, 6);
    write(fdb.fdb_arb, area, 32);
  }
  PCB pcb{};
  pcb.pcb_em = s.em, pcb.pcb_areas = addr.data();
  QS_SLCT_CTX sel;
  sel.slct = &pcb, sel.entry_blk = s.entry.blk, sel.entry_off = s.entry.off;
  q.pcf_arb = fdb.fdb_arb, q.rec_area = area, q.rec_len = 32, q.select = qs_select, q.ctx = &sel;
  q.scope = com.sys_scope, q.wrk_no = 0x20, memcpy(q.ap, "TST", 3);
  q.pcf_arb->arb_mod = ARB_FIRST, q.pcf_arb->arb_key = nullptr;
  ASSERT_EQ(fm_start(q.pcf_arb), 1);
  ASSERT_EQ(MARK(MARK_SUBPROCESS, [&] { EXPECT_EQ(qs_sort(&q), 1u); }), 1u);
  std::string got;
  uint8_t r[32];
  ARB* a = q.ptr_arb;
  a->arb_mod = ARB_FIRST, a->arb_key = nullptr;
  ASSERT_EQ(fm_start(a), 1);
  for (a->arb_rec = r, a->arb_len = sizeof r, a->arb_mod = 0; fm_rdnxt(a); a->arb_mod = 0) got += char(r[PT_ID]);
  EXPECT_EQ(got, "CEFAD");  // C at its null value first, ZUG's 0.10, then 1.00 by city descending
  FM_CLOSE(q.ptr_arb, ARB_SCRATCH), FM_CLOSE(fdb.fdb_arb, ARB_SCRATCH);
}

}  // namespace
}  // namespace kivo::test
