// The selection compiler: expressions parsed into trees with the statements
// they leave out, and compiled code run by the interpreter against a
// reference evaluator over random expressions and records.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <random>

#include "../design/design_test_util.h"
#include "compiler/em_records.h"
#include "compiler/seams.h"
#include "foundation/maddr.h"
#include "interp/ii_run.h"
#include "process/pb_slct.h"
#include "types/std_date.h"
#include "types/typed_value.h"

namespace kivo::test {
namespace {

const char* kDesign = R"(APPLICATION TST 01
STAMP 739591 0
FILE CUST number=2 fs=1 org=3 class=200
  ID      A8    key=primary
  CITY    A6
  REGION  B4S
  COUNT   B2
  BAL     P9.2S
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
    std::string kivo = KIVO_BINARY;
    std::filesystem::copy(kivo.substr(0, kivo.rfind('/')) + "/data/00", data_ + "/00",
                          std::filesystem::copy_options::recursive);
    build(kDesign, "TST");
    fm_clr_scope(kScope);
    set_maddr_reader(nullptr);
    ii_init(), rt_err_arb = nullptr, rt_init();
    q.pcf_id = 2, q.qparm_arb = file("QP", kQparmLen, {{0, 33, SDB_CHARS}});
    q.qslct_arb =
        file("QS", kQslctLen, {{0, 33, SDB_CHARS}, {33, 1, SDB_UBINARY}, {34, 2, SDB_CHARS}, {36, 4, SDB_UBINARY}});
    memcpy(q.ap, "TST", 3), memcpy(q.ver, "01", 2), memcpy(q.pcf_ap, "TST", 3), memcpy(q.pcf_name, "CUST    ", 8);
  }
  void TearDown() override { pb_slct_free(&q), DesignFiles::TearDown(); }
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
      {at_end, "200000"},
      {"AND 1", "200010"},
      {"(1 AND 2", "200000"},
      {"1 2", "200000"},
      {"7", "200000"},
      {"4294967297", "200010"},
      {"4294967295", "200000"},
  };
  for (const auto& [text, want] : rows) {
    query(text, {});
    SLCT_NODE* t = nullptr;
    const int ok = pb_slct_tree(&q, &t);
    EXPECT_EQ(ok ? shape(t) : std::to_string(q.status), want) << text;
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

}  // namespace
}  // namespace kivo::test
