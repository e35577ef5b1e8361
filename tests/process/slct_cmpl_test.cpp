// The selection compiler: expressions parsed into trees with the statements
// they leave out, and compiled code run by the interpreter against a
// reference evaluator over random expressions and records. Then the sort
// lines compiled into the same module, and a sort through both.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <random>

#include "../design/design_test_util.h"
#include "compiler/compiler.h"
#include "compiler/em_records.h"
#include "compiler/rt_names.h"
#include "foundation/foundation.h"
#include "foundation/maddr.h"
#include "interp/ii_run.h"
#include "process/pb_slct.h"
#include "process/qs.h"
#include "types/std_date.h"
#include "types/typed_value.h"

namespace kivo::test {
namespace {

const char* kDesign = R"(APPLICATION TST 01
STAMP 739591 0
FILE CUST number=2 fs=1 org=3 class=200
  ID      A8    key=primary
  NAME    G8 @8
  CITY    A6
  REGION  B4S
  COUNT   B2
  BAL     P9.2S init=5 null=0
  OPENED  D7:8-5
  STATE   B2S   code=8
END
TOKEN STATE 1 OPEN
TOKEN STATE 2 CLOSED
)";

std::string pad(const std::string& s, size_t n) { return (s + std::string(n, ' ')).substr(0, n); }

// A statement of kind 9: number, left field, right field or constant, operator, on.
// clang-format off
struct stmt { uint32_t no; std::string left, right; bool field; uint8_t relop; bool on = true; };
// clang-format on

class SlctCmpl : public DesignFiles {
 protected:
  QRY_SLCT q;
  void SetUp() override {
    DesignFiles::SetUp();
    copy_dictionary();
    build(kDesign, "TST");
    fm_clr_scope(kScope);
    compiler_register_hooks();  // the module files' layout and MADDR's reader
    ii_init(), rt_err_arb = nullptr, rt_init(), interp_register_hooks();
    q.pcf_id = 2, q.qparm_arb = file("QP", kQparmLen, {{0, 33, SDB_CHARS}});
    q.qslct_arb =
        file("QS", kQslctLen, {{0, 33, SDB_CHARS}, {33, 1, SDB_UBINARY}, {34, 2, SDB_CHARS}, {36, 4, SDB_UBINARY}});
    memcpy(q.ap, "TST", 3), memcpy(q.ver, "01", 2), memcpy(q.pcf_ap, "TST", 3), memcpy(q.pcf_name, "CUST    ", 8);
  }
  void TearDown() override {
    q.em && (q.em->em_area_addr = nullptr), pb_slct_free(&q);
    rt_ifns_arb = nullptr;  // the routine and error files go with the session's files
    rt_err_arb = nullptr;
    DesignFiles::TearDown();
  }
  ARB* file(const char* tag, uint16_t len, std::vector<std::tuple<uint16_t, uint16_t, uint8_t>> segs) {
    FDB f;
    KDB k[1];
    SDB s[5];
    INIT_FDB(&f, FS_MEMORY, len, 0, k, 1);
    INIT_UNIQUE_PATH(&f.path, "QT", tag, PATH_DATA);
    INIT_KDB(k, 0, '+', 0, s, uint8_t(segs.size()));
    for (size_t i = 0; i < segs.size(); ++i)
      init_sdb_func(&s[i], uint16_t(i + 1), std::get<0>(segs[i]), std::get<1>(segs[i]), std::get<2>(segs[i]), '+');
    EXPECT_EQ(FM_CREATE(&f, com.sys_scope, 0, LFB_OPEN_NEW, 15, 15), 1);
    return f.fdb_arb;
  }
  // Writes the record, or rewrites the one with its key.
  void put(ARB* a, uint8_t* rec, uint16_t len) {
    std::vector<uint8_t> old(rec, rec + len);
    a->arb_rec = old.data(), a->arb_len = len, a->arb_keyno = 0, a->arb_key = nullptr,
    a->arb_mod = ARB_EQUAL | ARB_HOLD;
    const int found = fm_read(a);
    a->arb_rec = rec, a->arb_len = a->arb_var_len = len, a->arb_mod = 0;
    ASSERT_EQ(found ? fm_rewrite(a) : fm_write(a), 1);
  }
  void query(const std::string& e9, const std::vector<stmt>& st) {
    uint8_t r[kQparmLen];
    memset(r, ' ', sizeof r), memcpy(r, "TSTQ", 4);
    memcpy(r + QPARM_EXPR9, e9.data(), std::min(e9.size(), kExprLen));
    put(q.qparm_arb, r, kQparmLen);
    for (const stmt& s : st) {
      uint8_t x[kQslctLen];
      memset(x, ' ', sizeof x), memcpy(x, "TSTQ", 4);
      x[QSLCT_KIND] = 9, st_le32(x, QSLCT_NO, s.no), st_le16(x, QSLCT_L_OCC, 1), st_le16(x, QSLCT_R_OCC, 1);
      memcpy(x + QSLCT_L_AP, "TST", 3), memcpy(x + QSLCT_L_NAME, pad(s.left, 22).data(), 22);
      if (s.field) memcpy(x + QSLCT_R_AP, "TST", 3);
      memcpy(x + QSLCT_R_VALUE, pad(s.right, 30).data(), 30);
      x[QSLCT_RELOP] = s.relop, x[QSLCT_ON] = s.on ? '1' : '0';
      put(q.qslct_arb, x, kQslctLen);
    }
  }
};

std::string shape(const SLCT_NODE* n) {
  if (!n) return "-";
  if (n->kind == NODE_LEAF) return std::to_string(ld_le32(n->rec, QSLCT_NO));
  return std::string(n->op == OP_AND ? "AND(" : "OR(") + shape(n->left) + "," + shape(n->right) + ")";
}

// Statements 1-3 and 6 complete, 4 incomplete, 5 switched off; rows run in
// turn, so a statement that one expression named is ANDed by the next.
TEST_F(SlctCmpl, ParsesIntoTreesWithTheStatementsLeftOut) {
  std::vector<stmt> st;
  for (uint32_t n = 1; n <= 6; ++n) st.push_back({n, "CITY", "AB", false, uint8_t(n == 4 ? ' ' : 1), n != 5});
  query("", st);
  const std::string at_end = std::string(kExprLen - 5, ' ') + "1 AND";
  const std::pair<std::string, std::string> rows[] = {
      {"1 AND 2 OR 3", "AND(6,OR(AND(1,2),3))"},
      {"6", "AND(AND(AND(1,2),3),6)"},
      {"1 AND (2 OR 3) OR 6", "OR(AND(1,OR(2,3)),6)"},
      {"1AND 2 OR(3AND 6)", "OR(AND(1,2),AND(3,6))"},
      {"(1 OR 4) AND (5 OR 2 OR 3)", "AND(6,AND(1,OR(2,3)))"},
      {"", "AND(AND(AND(1,2),3),6)"},
      {"1 OR 2 AND 3 OR 6", "OR(OR(1,AND(2,3)),6)"},
      {"1 AND", "200010"},
      {at_end, "200000 expression: text after the expression"},
      {"AND 1", "200010"},
      {"(1 AND 2", "200000 expression: missing \")\""},
      {"1 2", "200000 expression: text after the expression"},
      {"7", "200000 statement 7: no such statement"},
      {"4294967297", "200010"},
      {"4294967295", "200000 statement 4294967295: no such statement"},
  };
  for (const auto& [text, want] : rows) {
    query(text, {});
    SLCT_NODE* t = nullptr;
    const int ok = pb_slct_tree(&q, &t);
    std::string got = ok ? shape(t) : std::to_string(q.status);
    if (!ok && q.status == PB_SYNTAX) got += " " + slct_fault_where(q.fault) + ": " + slct_fault_why(q.fault.why);
    EXPECT_EQ(got, want) << text;
  }
}

// The record's values and a reference comparison, by family: numbers in
// hundredths, dates as days of March 2024, codes, alpha blank-padded.
enum fam { ALPHA, NUM, DATE, CODE };
struct fdef {
  const char* name;
  fam f;
  std::vector<std::string> consts;
};
// clang-format off
const fdef kFields[] = {{"CITY", ALPHA, {"AB", "B", " ", "ABBA"}}, {"REGION", NUM, {"-12", "0", "7"}}, {"COUNT", NUM, {"0", "7", "30"}},
                        {"BAL", NUM, {"12.5", "-3.75", "0"}}, {"OPENED", DATE, {"20240315", "20240319"}}, {"STATE", CODE, {"OPEN", "CLOSED", "BOGUS"}}};
// clang-format on

int64_t model(fam f, const std::string& t) {
  if (f == CODE) return t == "OPEN" ? 1 : t == "CLOSED" ? 2 : -1;
  if (f == DATE) return std::stoi(t.substr(6));
  return std::llround(std::stod(t) * 100);
}

TEST_F(SlctCmpl, CompiledSelectionsSelectWhatTheReferenceSelects) {
  std::mt19937 g(5);
  std::map<std::string, std::pair<std::vector<uint8_t>, uint16_t>> elem;  // ELEMENT and offset
  for (const fdef& f : kFields) {
    PC_CTX c{};
    uint8_t out[kPcFldOut], e[kElementSize];
    c.em = em_create(), memcpy(c.ap, "TST", 3), memcpy(c.ver, "01", 2);
    ASSERT_EQ(pc_prep(&c), 1);
    ASSERT_EQ(pc_fld("TST", pad(f.name, 22).c_str(), {1, PC_OCC_NUM, {}}, out, &c, e), 1) << f.name;
    elem[f.name] = {std::vector<uint8_t>(e, e + kElementSize), ld_le16(out + PCF_CELEM, CEL_OFF)};
    pc_cmpl_finish(&c), em_destroy(c.em);
  }
  // 200 records of random values and their models.
  std::vector<std::vector<uint8_t>> recs;
  std::vector<std::map<std::string, std::string>> texts;
  for (int n = 0; n < 200; ++n) {
    auto& t = texts.emplace_back();
    std::vector<uint8_t>& r = recs.emplace_back(512, ' ');
    for (const fdef& f : kFields) {
      std::string v = f.f == ALPHA  ? std::string(kFields[0].consts[g() % 4])
                      : f.f == DATE ? "202403" + std::to_string(15 + g() % 6)
                      : f.f == CODE
                          ? std::string(g() % 4 ? kFields[5].consts[g() % 3] : "")
                          : std::to_string(int(g() % (f.name[0] == 'C' ? 40 : 50)) - (f.name[0] == 'C' ? 0 : 25)) +
                                (f.name[0] == 'B' ? ".5" : "");
      uint8_t* p = r.data() + elem[f.name].second;
      if (f.f == CODE) v = v.empty() ? "X" : v, st_le16(p, 0, uint16_t(model(CODE, v)));
      if (f.f == ALPHA) memcpy(p, pad(v, 6).data(), 6);
      if (f.f == DATE) {
        std_date d{};
        d.raw = p, d.raw_len = 4, d.type = 7, d.h24 = 1, d.first = 8, d.last = 5;
        d.at(8) = 20, d.at(7) = 24, d.at(6) = 3, d.at(5) = int8_t(model(DATE, v));
        ASSERT_EQ(cv_ston_date(&d), 1);
      }
      if (f.f == NUM) {
        ASSERT_EQ(elem_typed_value(elem[f.name].first.data(), v, p), 1) << f.name << " " << v;
      }
      t[f.name] = v;
    }
  }
  for (int e = 0; e < 500; ++e) {
    // Ten statements: a random field against a constant or a field of its family.
    std::vector<stmt> st;
    for (uint32_t n = 1; n <= 10; ++n) {
      const fdef& f = kFields[g() % std::size(kFields)];
      const fdef* r = f.f == NUM && g() % 2 ? &kFields[1 + g() % 3] : nullptr;
      st.push_back({n, f.name, r ? r->name : f.consts[g() % f.consts.size()], r != nullptr,
                    uint8_t(g() % 8 ? 1 + g() % 6 : ' '), g() % 8 != 0});
    }
    // A random expression of depth up to 5 over them, parenthesised where needed.
    std::function<std::string(int, bool*)> gen = [&](int d, bool* named) -> std::string {
      if (d == 0 || g() % 3 == 0) {
        const uint32_t n = 1 + g() % 10;
        named[n] = true;
        return std::to_string(n);
      }
      const char* op = g() % 2 ? " AND " : " OR ";
      return "(" + gen(d - 1, named) + op + gen(d - 1, named) + ")";
    };
    bool named[11] = {};
    const std::string text = gen(5, named);
    query(text, st);
    ASSERT_EQ(cmpl_slct(&q) && pb_slct_finish(&q), 1) << text;
    std::vector<uint8_t*> addr(q.em->em_area_cnt + 1, nullptr);
    std::list<std::vector<uint8_t>> blocks;
    uint32_t rec_area = 0, rec_size = 0;
    for (const AREA_DESC* a = q.em->em_area_tbl; a < q.em->em_area_tbl + q.em->em_area_cnt; ++a) {
      addr[a->area_no] = blocks.emplace_back(a->size + 8, '\0').data();
      if (!memcmp(a->ap, "TST", 3) && a->number == 2 && a->type == 0) rec_area = a->area_no, rec_size = a->size;
    }
    ASSERT_NE(rec_area, 0u);
    q.em->em_area_addr = addr.data();
    for (size_t n = 0; n < recs.size(); ++n) {
      memcpy(addr[rec_area], recs[n].data(), std::min<size_t>(rec_size, 512));
      auto cmp = [&](const stmt& s) {
        const fdef& f =
            *std::find_if(std::begin(kFields), std::end(kFields), [&](const fdef& x) { return s.left == x.name; });
        int c;
        if (f.f == ALPHA) c = pad(texts[n][f.name], 30).compare(pad(s.right, 30));
        else {
          const int64_t a = model(f.f, texts[n][f.name]), b = model(f.f, s.field ? texts[n][s.right] : s.right);
          c = a < b ? -1 : a > b;
        }
        const bool r[] = {c == 0, c >= 0, c > 0, c <= 0, c < 0, c != 0};
        return r[s.relop - 1];
      };
      auto live = [&](const stmt& s) { return s.on && s.relop != ' '; };
      // The expression's value, its dropped statements left out; -1 when all dropped.
      size_t at = 0;
      std::function<int()> eval = [&]() -> int {
        if (text[at] != '(') {
          size_t len = 0;
          const uint32_t no = uint32_t(std::stoul(text.substr(at), &len));
          at += len;
          return live(st[no - 1]) ? cmp(st[no - 1]) : -1;
        }
        ++at;
        const int a = eval();
        const bool is_and = text[at + 1] == 'A';
        at += is_and ? 5 : 4;
        const int b = eval();
        ++at;
        if (a < 0 || b < 0) return a < 0 ? b : a;
        return is_and ? (a && b) : (a || b);
      };
      int want = eval();  // then AND the complete statements it does not name
      for (const stmt& s : st)
        if (!named[s.no] && live(s) && s.right.find_first_not_of(' ') != std::string::npos)
          want = want < 0 ? cmp(s) : want && cmp(s);
      PCB pcb{};
      EP_CALL call{};
      pcb.pcb_em = q.em, call.pcb = &pcb, call.entry.at = q.entry, call.ep_no = 7;
      const uint32_t got = q.entry.blk == kNoSelection
                               ? 1
                               : (MARK(MARK_SUBPROCESS, [&] { ii_exec_em(q.em, &call); }), (call.result >> 8) & 3);
      ASSERT_EQ(got, want != 0 ? 1u : 2u) << text << " record " << n;
    }
    q.em->em_area_addr = nullptr;
  }
}

using qline = std::tuple<uint32_t, const char*, char, bool>;  // sequence, field, order, on

// The sort of a query, compiled into its selection module; field addresses
// lie in blocks made for the module's areas once it is finished.
class QuerySortCmpl : public SlctCmpl {
 protected:
  QRY_SORT qs;
  std::vector<uint8_t*> addr;
  std::list<std::vector<uint8_t>> blocks;
  uint32_t rec_area = 0;
  void SetUp() override {
    SlctCmpl::SetUp();
    qs.qsort_arb = file("QO", kQsortLen, {{0, 33, SDB_CHARS}, {33, 3, SDB_CHARS}, {36, 4, SDB_UBINARY}});
  }
  // Sort lines and the alternate key, compiled.
  int compile(const std::vector<qline>& lines, const char* alt) {
    ARB* a = qs.qsort_arb;
    qs = QRY_SORT(), qs.qsort_arb = a, qs.ctx = this, addr.clear(), blocks.clear();
    qs.field_addr = [](void* ctx, const uint8_t* c) -> const uint8_t* {
      auto* t = static_cast<QuerySortCmpl*>(ctx);
      if (t->addr.empty()) t->areas();
      return t->addr[ld_le16(c, CEL_ADDR)] + ld_le16(c, CEL_ADDR + 2);
    };
    uint8_t x[kQsortLen];
    for (const auto& [seq, field, order, on] : lines) {
      memset(x, ' ', sizeof x), memcpy(x, "TSTQ", 4), st_le32(x, QSORT_SEQ, seq), st_le16(x, QSORT_OCC, 0);
      memcpy(x + QSORT_F_AP, "TST", 3), memcpy(x + QSORT_F_NAME, pad(field, 22).data(), 22);
      x[QSORT_ORDER] = uint8_t(order), x[QSORT_OFF] = on ? '1' : '0';
      put(a, x, kQsortLen);
    }
    if (!cmpl_slct(&q)) return 0;
    memcpy(q.em->em_alt_ap, alt ? "TST" : "   ", 3), memcpy(q.em->em_alt_fi, "CUST    ", 8);
    memcpy(q.em->em_alt_key, pad(alt ? alt : "", 22).data(), 22);
    const int ok = cmpl_sort(&qs, &q);
    a->arb_rec = x, a->arb_len = kQsortLen, a->arb_key = nullptr;
    while (a->arb_mod = ARB_FIRST, fm_start(a) && (a->arb_mod = ARB_HOLD, fm_rdnxt(a))) fm_del(a);
    return ok;
  }
  void areas() {
    addr.assign(q.em->em_area_cnt + 1, nullptr);
    for (const AREA_DESC* a = q.em->em_area_tbl; a < q.em->em_area_tbl + q.em->em_area_cnt; ++a) {
      addr[a->area_no] = blocks.emplace_back(a->size + 8, '\0').data();
      if (!memcmp(a->ap, "TST", 3) && a->number == 2 && a->type == 0) rec_area = a->area_no;
    }
    q.em->em_area_addr = addr.data();
  }
};

TEST_F(QuerySortCmpl, SortLinesCompileIntoKeyDescriptors) {
  query("", {});
  struct row {
    std::vector<qline> lines;
    const char* alt;
    std::vector<std::tuple<int, int, uint32_t, char>> want;  // level, type, key length, order; closing follows
    uint16_t levels, id_len;
  };
  // clang-format off
  const row rows[] = {
      {{{1, "CITY", '+', true}, {2, "REGION", '-', true}}, nullptr, {{1, 1, 6, '+'}, {2, 5, 3, '-'}}, 2, 0},
      {{{1, "NAME", '-', true}, {2, "BAL", '+', true}}, "ID", {{1, 1, 6, '-'}, {1, 5, 3, '-'}, {2, 8, 7, '+'}}, 2, 8},
      {{{1, "CITY", '+', false}, {0, "REGION", '+', true}, {3, "BAL", '-', true}}, "NAME", {{1, 8, 7, '-'}}, 1, 8},
      {{{1, "NOSUCH", '+', true}}, nullptr, {}, 0, 0},
  };
  // clang-format on
  for (const row& r : rows) {
    const bool ok = !r.want.empty();
    ASSERT_EQ(compile(r.lines, r.alt), ok ? 1 : 0) << r.lines.size();
    EXPECT_EQ(reported("bad sort field name"), !ok);
    captured_errors().clear();
    if (!ok) continue;
    auto want = r.want;
    want.emplace_back(0, 0, 4, '+');
    std::vector<std::tuple<int, int, uint32_t, char>> got;
    uint32_t off = 0;
    for (const QS_DESC& d : qs.desc) {
      got.emplace_back(d.level, d.key_type, d.key_len, char(d.order));
      EXPECT_EQ(d.key_off, off);
      EXPECT_EQ(std::count(qs.level_tab.begin() + off, qs.level_tab.begin() + off + d.key_len, d.level), d.key_len);
      off += d.key_len;
    }
    EXPECT_EQ(got, want);
    EXPECT_EQ(std::make_tuple(qs.key_len, qs.levels, qs.id_len), std::make_tuple(off, r.levels, r.id_len));
  }
}

// REGION > 0 selects; sorted by BAL (its null value the initial 5.00) and
// CITY descending; the identifier is the ID field.
TEST_F(QuerySortCmpl, SortsTheRecordsTheCompiledSelectionKeeps) {
  query("1", {{1, "REGION", "0", false, 3}});
  ASSERT_EQ(compile({{1, "BAL", '+', true}, {2, "CITY", '-', true}}, "ID"), 1);
  EXPECT_EQ(qs.desc[0].null_val, (std::vector<uint8_t>{0, 0, 0, 0, 0x50, 0x0C}));
  uint8_t* area = addr[rec_area];
  FDB fdb;
  INIT_FDB(&fdb, FS_MEMORY, 32, 0, nullptr, 0);
  INIT_UNIQUE_PATH(&fdb.path, "QT", "PC", PATH_DATA);
  ASSERT_EQ(FM_CREATE(&fdb, com.sys_scope, 0, LFB_OPEN_NEW, 15, 15), 1);
  // id, city, region and the BAL byte of 1.00 (0x10), 5.00 (the null value) or 0.10
  const std::tuple<char, const char*, int16_t, uint8_t> recs[] = {{'A', "PARIS", 3, 0x10}, {'B', "OSLO", -1, 0x10},
                                                                  {'C', "ROME", 7, 0x50},  {'D', "BERN", 2, 0x10},
                                                                  {'E', "ZUG", 1, 0x01},   {'F', "ROME", 4, 0x10}};
  for (const auto& [id, city, region, bal] : recs) {
    const uint8_t b[6] = {0, 0, 0, 0, bal, 0x0C};
    memset(area, ' ', 32), area[0] = uint8_t(id), memcpy(area + 8, pad(city, 6).data(), 6);
    st_le16(area, 14, uint16_t(region)), memcpy(const_cast<uint8_t*>(qs.desc[0].addr), b, 6);
    ARB* p = fdb.fdb_arb;
    p->arb_rec = area, p->arb_len = p->arb_var_len = 32, p->arb_mod = 0;
    ASSERT_EQ(fm_write(p), 1);
  }
  PCB pcb{};
  pcb.pcb_em = q.em, pcb.pcb_areas = addr.data();
  QS_SLCT_CTX sel;
  sel.slct = &pcb, sel.entry_blk = q.entry.blk, sel.entry_off = q.entry.off;
  qs.pcf_arb = fdb.fdb_arb, qs.rec_area = area, qs.rec_len = 32, qs.select = qs_select, qs.ctx = &sel;
  qs.scope = com.sys_scope, qs.wrk_no = 0x20, memcpy(qs.ap, "TST", 3);
  qs.pcf_arb->arb_mod = ARB_FIRST, qs.pcf_arb->arb_key = nullptr;
  ASSERT_EQ(fm_start(qs.pcf_arb), 1);
  ASSERT_EQ(MARK(MARK_SUBPROCESS, [&] { EXPECT_EQ(qs_sort(&qs), 1u); }), 1u);
  std::string got;
  uint8_t r[32];
  ARB* a = qs.ptr_arb;
  for (a->arb_mod = ARB_FIRST, a->arb_key = nullptr, fm_start(a);
       a->arb_rec = r, a->arb_len = 32, a->arb_mod = 0, fm_rdnxt(a);)
    got += char(r[PT_ID]);
  EXPECT_EQ(got, "CEFAD");  // C at its null value first, ZUG's 0.10, then 1.00 by city descending
  FM_CLOSE(qs.ptr_arb, ARB_SCRATCH), FM_CLOSE(fdb.fdb_arb, ARB_SCRATCH);
}

}  // namespace
}  // namespace kivo::test
