// Comparisons compiled with sc_cmpl_ref / bld_if_and_or and run by the
// interpreter over random records, against a reference evaluator; and a
// selection module of its own that combines three of them.
#include <cmath>
#include <list>
#include <map>
#include <random>
#include <tuple>

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
  std::vector<std::string> consts;  // texts of constants it meets
};
const fdef kFields[] = {{"ID", ALPHA, {"AB", "B", " ", "ABBA"}},
                        {"NAME", ALPHA, {"A", "BA"}},
                        {"CITY", ALPHA, {"AB", "ABABABAB"}},
                        {"FLAGS", ALPHA, {"A", "B"}},
                        {"REGION", NUM, {"-12", "0", "7"}},
                        {"BAL", NUM, {"12.5", "-3.75", "0"}},
                        {"LIMIT", NUM, {"-5", "42"}},
                        {"OPENED", DATE, {"20240315", "20240319"}},
                        {"CLOSED", DATE, {"20240322"}},
                        {"ACTIVE", LOGIC, {"Y", "N"}},
                        {"STATE", CODE, {"OPEN", "CLOSED", "BOGUS", ""}}};

// A model value: the stored bytes and what the reference compares.
struct val {
  std::string s;  // alpha: the bytes
  int64_t n = 0;  // numbers at 2 decimals, dates as days (-1 null), logic byte, codes
};

class PcCompare : public PcFixture {
 protected:
  void SetUp() override {
    PcFixture::SetUp();
    ii_init();
    rt_err_arb = nullptr, rt_init();
    em_->em_pcf_id = 2, memcpy(em_->em_pcf_ap, "TST", 3);
    ASSERT_EQ(pc_prep(&ctx_), 1) << err();
    uint8_t cfi[CFI_LEN];
    ASSERT_EQ(pc_fi(pc_ap("TST", em_, &ctx_), "CUST    ", cfi, &ctx_, PC_FI_OPENED), 1) << err();
    for (const fdef& f : kFields) {
      PC_OPND o;
      ASSERT_EQ(sc_cmpl_fld(&ctx_, "TST", pad(f.name, 22).c_str(), {1, PC_OCC_NUM, {}}, &o, 1), 1) << err();
      off_[f.name] = o.w[0] >> 16, len_[f.name] = o.w[1] >> 16, elem_[f.name].assign(o.elem, o.elem + kElementSize);
    }
  }
  // Binds every area of `m` to a block of its own, or to the same area of
  // `to` when it has one (kind, application, number, type).
  void bind(EM* m, EM* to = nullptr) {
    auto& addr = addr_[m];
    addr.assign(m->em_area_cnt + 1, nullptr);
    for (uint32_t i = 0; i < m->em_area_cnt; ++i) {
      const AREA_DESC& a = m->em_area_tbl[i];
      for (uint32_t j = 0; to && j < to->em_area_cnt && !addr[a.area_no]; ++j) {
        const AREA_DESC& b = to->em_area_tbl[j];
        if (a.kind == b.kind && !memcmp(a.ap, b.ap, 3) && a.number == b.number && a.type == b.type)
          addr[a.area_no] = to->em_area_addr[b.area_no];
      }
      if (!addr[a.area_no]) addr[a.area_no] = blocks_.emplace_back(a.size + 8, '\0').data();
    }
    m->em_area_addr = reinterpret_cast<uint8_t**>(addr.data());
  }
  uint8_t* rec() { return em_->em_area_addr[ld_le32(cfi_area(), 0)]; }
  const uint8_t* cfi_area() {
    static uint8_t key[CFI_LEN];
    memset(key, 0, sizeof key), memcpy(key + 4, "TST", 3), memcpy(key + 9, "CUST    ", 8);
    return em_read_key(em_->em_cfi_arb, 0, key) + CFI_REC_AREA;
  }
  // Outcome of the code at `at` of `m`: 1 true, 2 false.
  uint32_t run(EM* m, em_entry at) {
    PCB pcb{};
    pcb.pcb_em = m;
    EP_CALL call{};
    call.pcb = &pcb, call.entry.at = at, call.ep_no = 7;
    EXPECT_EQ(MARK(MARK_SUBPROCESS, [&] { ii_exec_em(m, &call); }), 1u);
    return (call.result >> 8) & 3;
  }
  // Stores a random value of field `f` (occurrence 1) and returns its model.
  val put(const fdef& f, std::mt19937& g) {
    uint8_t* p = rec() + off_[f.name];
    const uint8_t* e = elem_[f.name].data();
    val v;
    std::string t;
    switch (f.f) {
      case ALPHA: {
        for (uint16_t i = 0; i < len_[f.name]; ++i) v.s += " AB"[g() % (i < 3 ? 3 : 2)];
        memcpy(p, v.s.data(), v.s.size());
        return v;
      }
      case DATE: {
        v.n = g() % 5 ? static_cast<int64_t>(g() % 10) : -1;
        std_date d{};
        d.raw = p, d.raw_len = 4, d.type = 7, d.h24 = 1, d.first = 8, d.last = 5;
        d.at(8) = 20, d.at(7) = 24, d.at(6) = 3, d.at(5) = static_cast<int8_t>(15 + v.n);
        EXPECT_TRUE(v.n < 0 || cv_ston_date(&d));
        return v.n < 0 ? st_le32(p, 0, 0xFFFFFFFFu), v : v;
      }
      case LOGIC: t = "YN"[g() % 2]; break;
      case CODE: v.n = int64_t(g() % 4) - 1, t = std::to_string(v.n); break;
      case NUM: v.n = int64_t(g() % 41) - 20, t = std::to_string(v.n); break;
    }
    EXPECT_EQ(elem_typed_value(e, t, p), 1) << f.name << " " << t;
    if (f.f == LOGIC) v.n = p[0];
    if (f.f == NUM) v.n *= 100;
    return v;
  }
  // The model of a constant met by field `f`.
  val model_const(const fdef& f, const std::string& t) {
    val v;
    if (f.f == ALPHA) return v.s = t, v;
    if (f.f == CODE) return v.n = t == "OPEN" ? 1 : t == "CLOSED" ? 2 : -1, v;
    if (f.f == DATE) return v.n = std::stoi(t.substr(6)) - 15, v;
    if (f.f == LOGIC) {
      uint8_t b[4];
      elem_typed_value(elem_[f.name].data(), t, b);
      return v.n = b[0], v;
    }
    return v.n = std::llround(std::stod(t) * 100), v;
  }

  std::map<std::string, uint16_t> off_, len_;
  std::map<std::string, std::vector<uint8_t>> elem_;
  std::map<EM*, std::vector<uint8_t*>> addr_;
  std::list<std::vector<uint8_t>> blocks_;
};

bool blank(const std::string& s) { return s.find_first_not_of(' ') == s.npos; }

// The reference: alpha by bytes, blank-padded (to the longer with pad,
// else over the first operand); the rest by value, a null date lowest.
int reference(fam f, const val& a, const val& b, int relop, int pad) {
  if (relop == 8) return f == ALPHA ? !blank(a.s) : f == DATE ? a.n >= 0 : f == LOGIC ? a.n != ' ' : a.n != 0;
  if (relop == 7) {
    std::string t = a.s.substr(0, a.s.find_last_not_of(' ') + 1);
    return !blank(a.s) && b.s.find(t) != b.s.npos;
  }
  int c;
  if (f == ALPHA) {
    std::string x = a.s, y = pad ? b.s : b.s.substr(0, std::min(a.s.size(), b.s.size()));
    const size_t n = std::max(x.size(), y.size());
    x.resize(n, ' '), y.resize(n, ' ');
    c = x.compare(y);
  } else {
    c = a.n < b.n ? -1 : a.n > b.n;
  }
  const bool r[] = {c == 0, c >= 0, c > 0, c <= 0, c < 0, c != 0};
  return r[relop - 1];
}

struct cmp_case {
  const fdef *a, *b;  // b null: a constant
  std::string text;
  int relop, pad;
  em_entry at;
};

// 500 comparisons (field against field and against constants of every
// family, relations 1-8, pad on and off, token texts known and unknown) over
// 200 random records agree with the reference.
TEST_F(PcCompare, ComparisonsAgreeWithReferenceOverRandomRecords) {
  std::mt19937 g(7);
  std::vector<cmp_case> cases;
  const size_t nf = std::size(kFields);
  for (int i = 0; i < 500; ++i) {
    cmp_case c{&kFields[g() % nf], nullptr, "", 0, int(g() % 2), ctx_.bld.pos};
    const fam f = c.a->f;
    c.relop = f == ALPHA ? 1 + g() % 8 : g() % 7 ? 1 + g() % 6 : 8;
    PC_OPND l, r;
    ASSERT_EQ(sc_cmpl_fld(&ctx_, "TST", pad(c.a->name, 22).c_str(), {1, PC_OCC_NUM, {}}, &l, 1), 1) << err();
    if (g() % 2 && f != CODE) {
      do c.b = &kFields[g() % nf];
      while (c.b->f != f);
      ASSERT_EQ(sc_cmpl_fld(&ctx_, "TST", pad(c.b->name, 22).c_str(), {1, PC_OCC_NUM, {}}, &r, 2), 1) << err();
    } else {
      c.text = c.a->consts[g() % c.a->consts.size()];
      std::string t = c.text;
      if (f == CODE) t = std::to_string(sc_token_code(&ctx_, "TST", l.elem, t.data(), t.size()));
      uint8_t ref[kRefSize];
      memset(ref, ' ', sizeof ref), memset(ref, 0, 4), memcpy(ref + REF_NAME, t.data(), t.size());
      ASSERT_EQ(sc_cmpl_ref(&ctx_, ref, &r, 2, &l, 0), 1) << c.text << ": " << err();
    }
    ASSERT_EQ(bld_if_and_or(&ctx_, &l, &r, c.relop, 38, c.pad), 1) << err();
    bld_end(&ctx_.bld, 0);
    cases.push_back(c);
  }
  ASSERT_EQ(pc_cmpl_finish(&ctx_), 1) << err();
  bind(em_);
  for (int n = 0; n < 200; ++n) {
    std::map<std::string, val> m;
    for (const fdef& f : kFields) m[f.name] = put(f, g);
    for (const cmp_case& c : cases) {
      const fam f = c.a->f == CODE ? NUM : c.a->f;
      const val b = c.b ? m[c.b->name] : model_const(*c.a, c.text);
      const int want = reference(f, m[c.a->name], b, c.relop, c.pad);
      ASSERT_EQ(run(em_, c.at), want ? 1u : 2u)
          << c.a->name << " " << c.relop << " pad " << c.pad << " " << (c.b ? c.b->name : "\"" + c.text + "\"")
          << " record " << n << " value " << m[c.a->name].n << " vs " << b.n;
    }
  }
}

// A selection module of its own (zeroed block, own pool, own INST file and
// areas) for "1 AND (2 OR 3)", its areas bound to the process's through an
// address table, selects what the reference selects.
TEST_F(PcCompare, SelectionModuleSelectsWhatTheReferenceSelects) {
  ASSERT_EQ(pc_cmpl_finish(&ctx_), 1) << err();
  bind(em_);
  PC_CTX q{};
  q.em = em_create();
  ASSERT_NE(q.em, nullptr);
  memcpy(q.ap, "TST", 3), memcpy(q.ver, "01", 2);
  q.em->em_pcf_id = 2, memcpy(q.em->em_pcf_ap, "TST", 3);
  ASSERT_EQ(pc_prep(&q), 1);
  uint8_t cfi[CFI_LEN];
  ASSERT_EQ(pc_fi(pc_ap("TST", q.em, &q), "CUST    ", cfi, &q), 1) << q.err_text;
  const em_entry entry = q.bld.pos;
  // 1: BAL GT 0; 2: CITY EQ "AB" (padded); 3: REGION LT LIMIT.
  const std::tuple<const char*, const char*, const char*, int> leaves[] = {
      {"BAL", "   ", "0", 3}, {"CITY", "   ", "AB", 1}, {"REGION", "TST", "LIMIT", 5}};
  em_entry br[3];
  for (int i = 0; i < 3; ++i) {
    auto [left, ap, right, relop] = leaves[i];
    uint8_t ref[kRefSize];
    PC_OPND l, r;
    memset(ref, ' ', sizeof ref), memset(ref, 0, 4), memcpy(ref + REF_NAME, left, strlen(left)),
        memcpy(ref + REF_AP, "TST", 3);
    ASSERT_EQ(sc_cmpl_ref(&q, ref, &l, 1, nullptr, 0), 1) << q.err_text;
    memset(ref + REF_NAME, ' ', 22), memcpy(ref + REF_NAME, right, strlen(right)), memcpy(ref + REF_AP, ap, 3);
    ASSERT_EQ(sc_cmpl_ref(&q, ref, &r, 2, &l, 0), 1) << q.err_text;
    ASSERT_EQ(bld_if_and_or(&q, &l, &r, relop, 38, relop == 1), 1) << q.err_text;
    ASSERT_EQ(bld_br_cond(&q.bld, &br[i]), 1);
  }
  bld_end(&q.bld, 0);
  // 1 false ends false; 2 true ends true; 3 true ends true, else the end
  // gives its false.
  ASSERT_EQ(bld_patch(&q.bld, br[0], 2, {}, 1), 1);
  ASSERT_EQ(bld_patch(&q.bld, br[1], 1, {}, 1), 1);
  ASSERT_EQ(bld_patch(&q.bld, br[2], 1, {}, 1), 1);
  ASSERT_EQ(pc_cmpl_finish(&q), 1) << q.err_text;
  bind(q.em, em_);
  std::mt19937 g(11);
  int selected = 0;
  for (int n = 0; n < 200; ++n) {
    std::map<std::string, val> m;
    for (const fdef& f : kFields) m[f.name] = put(f, g);
    const bool city = m["CITY"].s.substr(0, 2) == "AB" && blank(m["CITY"].s.substr(2));
    const bool want = m["BAL"].n > 0 && (city || m["REGION"].n < m["LIMIT"].n);
    selected += want;
    ASSERT_EQ(run(q.em, entry), want ? 1u : 2u) << n;
  }
  EXPECT_GT(selected, 10);
  em_destroy(q.em);
}

}  // namespace
}  // namespace kivo::test
