// Comparisons compiled with sc_cmpl_ref / bld_if_and_or and run by the
// interpreter over random records, against a reference evaluator; an index
// occurrence through IDX; and a selection module of its own.
#include <cmath>
#include <list>
#include <map>
#include <random>

#include "compiler/em_access.h"
#include "compiler/em_records.h"
#include "foundation/scope.h"
#include "interp/ii_run.h"
#include "pc_test_util.h"
#include "types/std_date.h"
#include "types/typed_value.h"

namespace kivo::test {
namespace {

enum fam { ALPHA, NUM, DATE, LOGIC, CODE };
struct fdef {
  const char* name;
  fam f;
  std::vector<std::string> consts;  // texts of the constants it meets
};
const fdef kFields[] = {{"ID", ALPHA, {"AB", "B", " ", "ABBA"}},
                        {"NAME", ALPHA, {"A", "BA"}},
                        {"CITY", ALPHA, {"AB", "ABABABAB"}},
                        {"REGION", NUM, {"-12", "0", "7"}},
                        {"BAL", NUM, {"12.5", "-3.75"}},
                        {"LIMIT", NUM, {"-5", "42"}},
                        {"OPENED", DATE, {"20240315", "20240319"}},
                        {"CLOSED", DATE, {"20240322"}},
                        {"ACTIVE", LOGIC, {"Y", "N"}},
                        {"STATE", CODE, {"OPEN", "CLOSED", "BOGUS", ""}}};

// A model value: alpha bytes, or numbers at 2 decimals, days from
// 2024-03-15 (-1 null), the logic byte, the code.
struct val {
  std::string s;
  int64_t n = 0;
};
using record = std::map<std::string, val>;

class PcCompare : public PcFixture {
 protected:
  void SetUp() override {
    PcFixture::SetUp();
    ii_init();
    rt_err_arb = nullptr, rt_init();
    prep();
    uint8_t cfi[CFI_LEN];
    ASSERT_EQ(fi("CUST", cfi), 1) << err();
    rec_area_ = ld_le32(cfi, CFI_REC_AREA);
    for (const fdef& f : kFields) ASSERT_EQ(opnd(ctx_, f.name, &op_[f.name]), 1) << err();
  }
  int opnd(PC_CTX& c, const std::string& name, PC_OPND* o, int no = 1, const PC_OPND* first = nullptr,
           const char* ap = "TST") {
    return sc_cmpl_ref(&c, ref(ap, name).data(), o, no, first, 0);
  }
  // Every area of `m` gets a block of its own, or the same area of `to`
  // (kind, application, number, type), as the query's binding does.
  void bind(EM* m, EM* to = nullptr) {
    auto& addr = addr_[m];
    addr.assign(m->em_area_cnt + 1, nullptr);
    for (const AREA_DESC* a = m->em_area_tbl; a < m->em_area_tbl + m->em_area_cnt; ++a) {
      for (const AREA_DESC* b = to ? to->em_area_tbl : a; to && b < to->em_area_tbl + to->em_area_cnt; ++b)
        if (a->kind == b->kind && !memcmp(a->ap, b->ap, 3) && a->number == b->number && a->type == b->type)
          addr[a->area_no] = to->em_area_addr[b->area_no];
      if (!addr[a->area_no]) addr[a->area_no] = blocks_.emplace_back(a->size + 8, '\0').data();
    }
    m->em_area_addr = addr.data();
  }
  // The outcome of the code at `at` (1 true, 2 false) and its end code.
  uint32_t run(EM* m, em_entry at, uint32_t* end = nullptr) {
    PCB pcb{};
    pcb.pcb_em = m;
    EP_CALL call{};
    call.pcb = &pcb, call.entry.at = at, call.ep_no = 7;
    const uint32_t e = MARK(MARK_SUBPROCESS, [&] { ii_exec_em(m, &call); });
    if (end) *end = e;
    return (call.result >> 8) & 3;
  }
  // Random values stored into the record, and their model.
  record put(std::mt19937& g) {
    record m;
    for (const fdef& f : kFields) {
      const PC_OPND& o = op_[f.name];
      uint8_t* p = em_->em_area_addr[rec_area_] + (o.w[0] >> 16);
      val& v = m[f.name];
      std::string t;
      if (f.f == ALPHA) {
        for (uint32_t i = 0; i < o.w[1] >> 16; ++i) v.s += " AB"[g() % (i < 3 ? 3 : 2)];
        memcpy(p, v.s.data(), v.s.size());
        continue;
      }
      if (f.f == DATE) {
        std_date d{};
        v.n = g() % 5 ? int64_t(g() % 10) : -1;
        d.raw = p, d.raw_len = 4, d.type = 7, d.h24 = 1, d.first = 8, d.last = 5;
        d.at(8) = 20, d.at(7) = 24, d.at(6) = 3, d.at(5) = static_cast<int8_t>(15 + v.n);
        EXPECT_TRUE(v.n < 0 ? (st_le32(p, 0, 0xFFFFFFFF), true) : cv_ston_date(&d) == 1);
        continue;
      }
      v.n = f.f == LOGIC ? 0 : f.f == CODE ? int64_t(g() % 4) - 1 : int64_t(g() % 41) - 20;
      t = f.f == LOGIC ? std::string(1, "YN"[g() % 2]) : std::to_string(v.n);
      EXPECT_EQ(elem_typed_value(o.elem, t, p), 1) << f.name << " " << t;
      v.n = f.f == LOGIC ? p[0] : f.f == NUM ? v.n * 100 : v.n;
    }
    return m;
  }
  // The model of constant `t` met by field `f`.
  val model(const fdef& f, const std::string& t) {
    val v;
    uint8_t b[4];
    if (f.f == ALPHA) v.s = t;
    if (f.f == CODE) v.n = t == "OPEN" ? 1 : t == "CLOSED" ? 2 : -1;
    if (f.f == DATE) v.n = std::stoi(t.substr(6)) - 15;
    if (f.f == LOGIC) elem_typed_value(op_[f.name].elem, t, b), v.n = b[0];
    if (f.f == NUM) v.n = std::llround(std::stod(t) * 100);
    return v;
  }

  uint32_t rec_area_ = 0;
  std::map<std::string, PC_OPND> op_;
  std::map<EM*, std::vector<uint8_t*>> addr_;
  std::list<std::vector<uint8_t>> blocks_;
};

bool blank(const std::string& s) { return s.find_first_not_of(' ') == s.npos; }

// Alpha by bytes, blank-padded to the longer with pad, else over the first
// operand; the rest by value, a null date lowest.
bool reference(fam f, const val& a, const val& b, int relop, int pad) {
  if (relop == 8) return f == ALPHA ? !blank(a.s) : f == DATE ? a.n >= 0 : f == LOGIC ? a.n != ' ' : a.n != 0;
  if (relop == 7) return !blank(a.s) && b.s.find(a.s.substr(0, a.s.find_last_not_of(' ') + 1)) != b.s.npos;
  int c = a.n < b.n ? -1 : a.n > b.n;
  if (f == ALPHA) {
    std::string x = a.s, y = pad ? b.s : b.s.substr(0, std::min(a.s.size(), b.s.size()));
    const size_t n = std::max(x.size(), y.size());
    x.resize(n, ' '), y.resize(n, ' '), c = x.compare(y);
  }
  const bool r[] = {c == 0, c >= 0, c > 0, c <= 0, c < 0, c != 0};
  return r[relop - 1];
}

// 500 comparisons (field against field and against constants of every
// family, relations 1-8, pad on and off, token texts known and unknown)
// over 200 random records agree with the reference.
TEST_F(PcCompare, ComparisonsAgreeWithReferenceOverRandomRecords) {
  struct cmp_case {
    const fdef *a, *b;  // b null: constant `text`
    std::string text;
    int relop, pad;
    em_entry at;
  };
  std::mt19937 g(7);
  std::vector<cmp_case> cases;
  for (int i = 0; i < 500; ++i) {
    cmp_case c{&kFields[g() % std::size(kFields)], nullptr, "", 0, int(g() % 2), ctx_.bld.pos};
    c.relop = c.a->f == ALPHA ? 1 + g() % 8 : g() % 7 ? 1 + g() % 6 : 8;
    PC_OPND l = op_[c.a->name], r;
    if (g() % 2 && c.a->f != CODE) {
      do c.b = &kFields[g() % std::size(kFields)];
      while (c.b->f != c.a->f);
      ASSERT_EQ(opnd(ctx_, c.b->name, &r, 2), 1) << err();
    } else {
      std::string t = c.text = c.a->consts[g() % c.a->consts.size()];
      if (c.a->f == CODE) t = std::to_string(sc_token_code(&ctx_, "TST", l.elem, t.data(), t.size()));
      ASSERT_EQ(opnd(ctx_, t, &r, 2, &l, "   "), 1) << c.text << ": " << err();
    }
    ASSERT_EQ(bld_if_and_or(&ctx_, &l, &r, c.relop, 38, c.pad), 1) << err();
    bld_end(&ctx_.bld, 0);
    cases.push_back(c);
  }
  ASSERT_EQ(pc_cmpl_finish(&ctx_), 1) << err();
  bind(em_);
  for (int n = 0; n < 200; ++n) {
    record m = put(g);
    for (const cmp_case& c : cases) {
      const bool want = reference(c.a->f == CODE ? NUM : c.a->f, m[c.a->name], c.b ? m[c.b->name] : model(*c.a, c.text),
                                  c.relop, c.pad);
      ASSERT_EQ(run(em_, c.at), want ? 1u : 2u) << c.a->name << " " << c.relop << " pad " << c.pad << " "
                                                << (c.b ? c.b->name : "\"" + c.text + "\"") << " record " << n;
    }
  }
}

// FLAGS(AI) EQ "B": IDX puts the occurrence AI names into the register of
// operand 1; an AI outside 1-3 stops the run with a run-time error.
TEST_F(PcCompare, IndexOccurrenceComparesTheOccurrenceItNames) {
  PC_OPND l, r, whole;
  ASSERT_EQ(opnd(ctx_, "FLAGS", &whole), 1) << err();
  ASSERT_EQ(sc_cmpl_fld(&ctx_, "TST", pad("FLAGS", 22).c_str(), {0, PC_OCC_INDEX, {'A', 'I'}}, &l, 1), 1) << err();
  ASSERT_EQ(opnd(ctx_, "B", &r, 2, &l, "   "), 1) << err();
  ASSERT_EQ(bld_if_and_or(&ctx_, &l, &r, 1, 38, 1), 1);
  bld_end(&ctx_.bld, 0);
  ASSERT_EQ(pc_cmpl_finish(&ctx_), 1) << err();
  bind(em_);
  memcpy(em_->em_area_addr[rec_area_] + (whole.w[0] >> 16), "ABA", 3);
  for (int32_t ai : {1, 2, 3, 4}) {
    st_le32(em_->em_area_addr[2], 208, static_cast<uint32_t>(ai));  // "AI" of INDEX, area 2
    uint32_t end = 0, out = run(em_, {1, 0}, &end);
    EXPECT_EQ(end, ai == 4 ? 4u : 1u) << ai;
    EXPECT_TRUE(ai == 4 || out == (ai == 2 ? 1u : 2u)) << ai;
  }
  EXPECT_TRUE(reported("occurrence 4 of field 18.40 out of range 1-3"));
  captured_errors().clear();
}

// A selection module of its own (zeroed block, own pool, INST file and
// areas) for "1 AND (2 OR 3)", bound to the process's areas through an
// address table, selects what the reference selects.
TEST_F(PcCompare, SelectionModuleSelectsWhatTheReferenceSelects) {
  ASSERT_EQ(pc_cmpl_finish(&ctx_), 1) << err();
  bind(em_);
  PC_CTX q{};
  q.em = em_create(), memcpy(q.ap, "TST", 3), memcpy(q.ver, "01", 2);
  q.em->em_pcf_id = 2, memcpy(q.em->em_pcf_ap, "TST", 3);
  uint8_t cfi[CFI_LEN];
  ASSERT_EQ(pc_prep(&q), 1);
  ASSERT_EQ(pc_fi(pc_ap("TST", q.em, &q), "CUST    ", cfi, &q), 1) << q.err_text;
  const em_entry entry = q.bld.pos;
  // 1: BAL GT 0; 2: CITY EQ "AB" (padded); 3: REGION LT LIMIT.
  const std::tuple<const char*, const char*, const char*, int> leaves[] = {
      {"BAL", "   ", "0", 3}, {"CITY", "   ", "AB", 1}, {"REGION", "TST", "LIMIT", 5}};
  em_entry br[3];
  for (int i = 0; i < 3; ++i) {
    auto [left, ap, right, relop] = leaves[i];
    PC_OPND l, r;
    ASSERT_EQ(opnd(q, left, &l), 1) << q.err_text;
    ASSERT_EQ(opnd(q, right, &r, 2, &l, ap), 1) << q.err_text;
    ASSERT_EQ(bld_if_and_or(&q, &l, &r, relop, 38, relop == 1), 1) << q.err_text;
    ASSERT_EQ(bld_br_cond(&q.bld, &br[i]), 1);
  }
  bld_end(&q.bld, 0);
  // 1 false ends false, 2 true ends true, 3 true ends true; else the end
  // gives 3's false.
  for (auto [i, sense] : {std::pair{0, 2}, {1, 1}, {2, 1}})
    ASSERT_EQ(bld_patch(&q.bld, br[i], static_cast<uint8_t>(sense), {}, 1), 1);
  ASSERT_EQ(pc_cmpl_finish(&q), 1) << q.err_text;
  bind(q.em, em_);
  std::mt19937 g(11);
  int selected = 0;
  for (int n = 0; n < 200; ++n) {
    record m = put(g);
    const bool city = m["CITY"].s == "AB    ";
    const bool want = m["BAL"].n > 0 && (city || m["REGION"].n < m["LIMIT"].n);
    selected += want;
    ASSERT_EQ(run(q.em, entry), want ? 1u : 2u) << n;
  }
  EXPECT_GT(selected, 10);
  em_destroy(q.em);
}

}  // namespace
}  // namespace kivo::test
