// Compiled references over a scratch data directory with the shipped "0LA" dictionary and the fixture
// application TST (pc_tst.dsgn): areas in comp_dlf order with their counts, a compiled file whose keys
// read its data file, CELEMs, and comparisons run against a reference, also in a selection module.
#include <cmath>
#include <filesystem>
#include <list>
#include <map>
#include <random>

#include "../design/design_test_util.h"
#include "../fixtures/hook_override.h"
#include "compiler/compiler.h"
#include "compiler/design_records.h"
#include "compiler/em_access.h"
#include "compiler/em_records.h"
#include "compiler/pc.h"
#include "em_test_util.h"
#include "fm/fm_open.h"
#include "foundation/foundation.h"
#include "interp/ii_run.h"
#include "types/std_date.h"
#include "types/typed_value.h"

namespace kivo::test {
namespace {

std::string pad(const std::string& s, size_t n) { return (s + std::string(n, ' ')).substr(0, n); }
std::string hex(const uint8_t* p, size_t n, std::string s = "") {
  for (char b[4]; n--; s += b) snprintf(b, sizeof b, "%02x", *p++);
  return s + "\n";
}

class PcFixture : public DesignFiles {
 protected:
  void SetUp() override {
    DesignFiles::SetUp();
    copy_dictionary();
    build(golden("compiler/pc_tst.dsgn"), "TST");
    fm_clr_scope(kScope);       // the builder's files closed: the compile opens its own
    compiler_register_hooks();  // the module files' layout and MADDR's reader
    ii_init();
    rt_err_arb = nullptr, rt_init(), interp_register_hooks();
    fresh();
  }
  void TearDown() override { pc_cmpl_finish(&ctx_), em_destroy(em_), DesignFiles::TearDown(); }
  // A new module and context for a process of TST whose PCF is CUST (2).
  void fresh() {
    ctx_ = {}, ctx_.em = em_ = em_create();
    ASSERT_NE(em_, nullptr);
    memcpy(ctx_.ap, "TST", 3), memcpy(ctx_.ver, "01", 2), memcpy(em_->em_ap, "TST", 3), memcpy(em_->em_ver, "01", 2);
    em_->em_pcf_id = 2, memcpy(em_->em_pcf_ap, "TST", 3);
  }
  void prep() { ASSERT_EQ(pc_prep(&ctx_), 1) << err(); }
  int fi(const char* name, uint8_t* cfi, uint8_t acc = kPcAccUpdate) {
    return pc_fi(pc_ap("TST", em_, &ctx_), pad(name, 8).c_str(), cfi, &ctx_, PC_FI_OPENED, acc);
  }
  static std::string err(const PC_CTX& c) {
    std::string s(c.err_text, 80);
    return s.erase(s.find_last_not_of(' ') + 1);
  }
  std::string err() const { return err(ctx_); }
  // pc_fld's output, empty when refused.
  std::vector<uint8_t> fld(const char* name, pc_occ occ = {0, PC_OCC_NONE, {}}) {
    std::vector<uint8_t> out(kPcFldOut);
    if (!pc_fld("TST", pad(name, 22).c_str(), occ, out.data(), &ctx_)) out.clear();
    return out;
  }
  // sc_cmpl_ref of a reference {occurrence, 0, application, name} as selections hold it.
  int opnd(PC_CTX& c, const std::string& name, PC_OPND* o, int no = 1, const char* ap = "TST", uint16_t occ = 1) {
    uint8_t r[kRefSize];
    st_le32(r, REF_OCC, occ), memcpy(r + REF_AP, ap, 3), memcpy(r + REF_NAME, pad(name, 22).data(), 22);
    return sc_cmpl_ref(&c, r, o, no, nullptr, 0);
  }
  // Each area of `m` gets a block, or the same area (kind, application, number, type) of `to`.
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
  // The outcome of the code at `at`: 1 true, 2 false.
  uint32_t run(EM* m, em_entry at) {
    PCB pcb{};
    EP_CALL call{};
    pcb.pcb_em = m, call.pcb = &pcb, call.entry.at = at, call.ep_no = 7;
    return MARK(MARK_SUBPROCESS, [&] { ii_exec_em(m, &call); }), (call.result >> 8) & 3;
  }

  EM* em_ = nullptr;
  PC_CTX ctx_{};
  std::map<EM*, std::vector<uint8_t*>> addr_;
  std::list<std::vector<uint8_t>> blocks_;
};
using PcAreas = PcFixture;
using PcFiles = PcFixture;
using PcFields = PcFixture;

// The PCF, ORDERS by a field, work fields of kinds 4 and 7, "0LA" fields (a system record, an index,
// ENTRY), a private area, and a work field numbered after the counts were read (BITMAP behind).
TEST_F(PcAreas, TableIsListedInKeyOrderAndCountsCoverEveryNumber) {
  prep();
  uint8_t cfi[CFI_LEN];
  ASSERT_EQ(fi("CUST", cfi), 1) << err();
  for (const char* f : {"AMOUNT", "TOTAL", "NOTE", "STATUS CODE", "AI", "ENTRY RESTRUCT STAT1", "BAL"})
    ASSERT_FALSE(fld(f, {1, PC_OCC_NUM, {}}).empty()) << f << ": " << err();
  ASSERT_NE(pc_private_area(&ctx_, 30), 0u);
  build("APPLICATION TST 01\nWORK LATE A4 area=4\n", "TST");  // number 4000002
  fm_clr_scope(kScope);
  ASSERT_FALSE(fld("LATE").empty()) << err();
  ASSERT_EQ(pc_cmpl_finish(&ctx_), 1) << err();
  std::string list;
  for (const AREA_DESC* a = em_->em_area_tbl; a < em_->em_area_tbl + em_->em_area_cnt; ++a) {
    char line[96];
    snprintf(line, sizeof line, "%2u %.3s %7u %u %5u %2u %u %u %u\n", a->kind, a->ap, a->number, a->rel_off, a->size,
             a->area_no, a->type, a->init, a->cls);
    list += line;
    const uint8_t* cap = pc_ap(std::string(a->ap, 3).c_str(), em_);
    EXPECT_TRUE(a->type > 1 || ld_le32(cap, CAP_AREA_CNT + 4u * a->kind) >= a->number) << line;
  }
  EXPECT_EQ(list, golden("compiler/pc_areas_golden.txt"));
  EXPECT_EQ(ld_le32(pc_ap("TST", em_), CAP_AREA_CNT + 16), 2u);
}

// pc_cmpl_finish closes every work and design file, after an error too; nothing is left with the module.
TEST_F(PcAreas, FinishLeavesNoWorkFileOpen) {
  for (int bad : {0, 1}) {
    em_destroy(em_);
    const uint32_t blocks = mm_total_blocks();
    fresh(), prep();
    EXPECT_EQ(fld(bad ? "NOSUCH" : "BAL").empty(), bad == 1);
    EXPECT_EQ(pc_cmpl_finish(&ctx_), 1 - bad);
    EXPECT_EQ(ctx_.err_arb, nullptr);
    for (auto& d : ctx_.design)
      for (ARB* a : d.arb) EXPECT_EQ(a, nullptr);
    EXPECT_EQ(pc_cmpl_finish(&ctx_), 0);  // nothing prepared any more
    em_destroy(em_), em_ = nullptr;
    EXPECT_EQ(mm_total_blocks(), blocks) << bad;
  }
}

// The PCF's CFI record at every offset; its KD and SD rebuild a descriptor that
// creates the file and reads it by each key; PK lists its key fields.
TEST_F(PcFiles, CompiledFileMatchesAndItsKeysReadTheFile) {
  prep();
  uint8_t cfi[CFI_LEN];
  ASSERT_EQ(fi("ORDERS", cfi, kPcAccRead), 1) << err();
  ASSERT_EQ(fi("CUST", cfi), 1) << err();
  EXPECT_EQ(hex(cfi, CFI_LEN), golden("compiler/pc_cfi_golden.txt"));
  ASSERT_EQ(pc_cmpl_finish(&ctx_), 1) << err();
  for (uint8_t key : {0, 1}) {  // ID and NAME, the FL records after the four of ORDERS
    uint8_t k[PK_LEN] = {key, 0, 1, 0};
    const uint8_t* r = em_read_key(em_->em_pcf_key_arb, 0, k);
    EXPECT_TRUE(r && ld_le32(r, PK_FLD) == key + 5u) << int{key};
  }
  FDB fdb;
  ASSERT_TRUE(em_cfi_load_keys(em_) && em_cfi_desc(em_, cfi, &fdb));
  memcpy(fdb.path.fdb_db, "DB1", 3);
  ASSERT_EQ(FM_CREATE(&fdb, com.sys_scope, 0, kAnyFile | LFB_OPEN_NEW, 0x0f, 0x0f), 1) << fdb.fdb_stat;
  ARB* a = fdb.fdb_arb;
  auto rec = [&](int i) { return pad(rec_id(i) + "NAME" + std::to_string(2 - i), fdb.fdb_rec_len); };
  for (std::string r : {rec(0), rec(1), rec(2)}) {
    a->arb_rec = reinterpret_cast<uint8_t*>(r.data()), a->arb_len = a->arb_var_len = fdb.fdb_rec_len, a->arb_mod = 0;
    ASSERT_EQ(fm_write(a), 1) << a->arb_stat;
  }
  for (uint8_t key : {0, 1}) {  // the last record by its ID, then by its NAME
    std::string want = rec(2), got = pad(key ? "        " + want.substr(8, 20) : want.substr(0, 8), want.size());
    PROTO_FULL(a, key, reinterpret_cast<uint8_t*>(got.data())), a->arb_len = fdb.fdb_rec_len, a->arb_mod = ARB_EQUAL;
    EXPECT_TRUE(fm_read(a) && got == want) << int{key} << " " << a->arb_stat;
  }
  FM_CLOSE(a, 0);
}

// The CELEM of a packed field, a binary date, an alpha field with a mask (literal and index occurrence),
// a coded field, a group header, a "0LA" field by the fallback; occurrences the field lacks refused.
TEST_F(PcFields, CompiledElementsMatchGoldenBytes) {
  prep();
  const std::pair<const char*, pc_occ> rows[] = {
      {"BAL", {0, PC_OCC_NONE, {}}},           {"OPENED", {0, PC_OCC_NONE, {}}}, {"NOTE", {3, PC_OCC_NUM, {}}},
      {"NOTE", {0, PC_OCC_INDEX, {'A', 'I'}}}, {"STATE", {1, PC_OCC_NUM, {}}},   {"OKEY", {0, PC_OCC_NONE, {}}},
      {"STATUS CODE", {0, PC_OCC_NONE, {}}},   {"FLAGS", {3, PC_OCC_NUM, {}}},
  };
  std::string got;
  for (auto& [name, occ] : rows) {
    auto out = fld(name, occ);
    ASSERT_FALSE(out.empty()) << name << ": " << err();
    got += hex(out.data(), kPcFldOut);
  }
  EXPECT_EQ(got, golden("compiler/pc_fields_golden.txt"));
  for (auto [occ, text] : {std::pair<uint16_t, std::string>{4, "occurrence 4 of FLAGS above its 3"},
                           {0, "field FLAGS has 3 occurrences: name one"}}) {
    PC_CTX c = ctx_;
    PC_OPND o;
    EXPECT_TRUE(!opnd(c, "FLAGS", &o, 1, "TST", occ) && err(c) == text) << err(c);
  }
}

enum fam { ALPHA, NUM, DATE, LOGIC, CODE };
struct fdef {
  const char* name;
  fam f;
  std::vector<std::string> consts;  // texts of the constants it meets
};
// clang-format off
const fdef kFields[] = {
    {"ID", ALPHA, {"AB", "B", " ", "ABBA"}}, {"NAME", ALPHA, {"A", "BA"}}, {"CITY", ALPHA, {"AB", "ABABABAB"}},
    {"REGION", NUM, {"-12", "0", "7"}}, {"BAL", NUM, {"12.5", "-3.75"}}, {"LIMIT", NUM, {"-5", "42"}},
    {"OPENED", DATE, {"20240315", "20240319"}}, {"CLOSED", DATE, {"20240322"}}, {"ACTIVE", LOGIC, {"Y", "N"}},
    {"STATE", CODE, {"OPEN", "CLOSED", "BOGUS", ""}}, {"FLAGS", ALPHA, {"A", "B"}}};  // FLAGS(AI)
// clang-format on

// A model value: alpha bytes, or numbers at 2 decimals, days from 2024-03-15 (-1 null), logic byte, code.
struct val {
  std::string s;
  int64_t n = 0;
};
using record = std::map<std::string, val>;

class PcCompare : public PcFixture {
 protected:
  void SetUp() override {
    PcFixture::SetUp();
    prep();
    uint8_t cfi[CFI_LEN];
    ASSERT_EQ(fi("CUST", cfi), 1) << err();
    rec_area_ = ld_le32(cfi, CFI_REC_AREA), rec_em_ = em_;
    for (const fdef& f : kFields) ASSERT_EQ(opnd(ctx_, f.name, &op_[f.name]), 1) << err();
  }
  // Random values stored into the record, and their model.
  record put(std::mt19937& g) {
    record m;
    for (const fdef& f : kFields) {
      const PC_OPND& o = op_[f.name];
      uint8_t* p = rec_em_->em_area_addr[rec_area_] + (o.w[0] >> 16);
      val& v = m[f.name];
      if (f.f == ALPHA) {
        const uint32_t ai = 1 + g() % 3, flags = !strcmp(f.name, "FLAGS");  // AI of INDEX, area 2
        for (uint32_t i = 0; i < (flags ? 3 : o.w[1] >> 16); ++i) v.s += " AB"[g() % (i < 3 ? 3 : 2)];
        memcpy(p, v.s.data(), v.s.size());
        if (flags) st_le32(rec_em_->em_area_addr[2], 208, ai), v.s = v.s.substr(ai - 1, 1);
      } else if (f.f == DATE) {
        std_date d{};
        v.n = g() % 5 ? int64_t(g() % 10) : -1;
        d.raw = p, d.raw_len = 4, d.type = 7, d.h24 = 1, d.first = 8, d.last = 5;
        d.at(8) = 20, d.at(7) = 24, d.at(6) = 3, d.at(5) = static_cast<int8_t>(15 + v.n);
        EXPECT_TRUE(v.n < 0 ? (st_le32(p, 0, 0xFFFFFFFF), true) : cv_ston_date(&d) == 1);
      } else {
        v.n = f.f == LOGIC ? 0 : f.f == CODE ? int64_t(g() % 4) - 1 : int64_t(g() % 41) - 20;
        const std::string t = f.f == LOGIC ? std::string(1, "YN"[g() % 2]) : std::to_string(v.n);
        EXPECT_EQ(elem_typed_value(o.elem, t, p), 1) << f.name << " " << t;
        v.n = f.f == LOGIC ? p[0] : f.f == NUM ? v.n * 100 : v.n;
      }
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
  EM* rec_em_ = nullptr;  // the module whose areas hold the record
  std::map<std::string, PC_OPND> op_;
};

bool blank(const std::string& s) { return s.find_first_not_of(' ') == s.npos; }

// Alpha by bytes, blank-padded to the longer with pad, else over the first operand; the rest by value.
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

// 500 comparisons (field to field and to constants of every family, relations 1-8, pad on and off, token
// texts known and unknown, an index occurrence) over 200 random records agree with the reference.
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
    PC_OPND l, r;
    auto side = [&](const char* name, PC_OPND* o, int no) {  // FLAGS by index AI: IDX into register no - 1
      const pc_occ occ = strcmp(name, "FLAGS") ? pc_occ{1, PC_OCC_NUM, {}} : pc_occ{0, PC_OCC_INDEX, {'A', 'I'}};
      return sc_cmpl_fld(&ctx_, "TST", pad(name, 22).c_str(), occ, o, no);
    };
    ASSERT_EQ(side(c.a->name, &l, 1), 1) << err();
    if (g() % 2 && c.a->f != CODE) {
      do c.b = &kFields[g() % std::size(kFields)];
      while (c.b->f != c.a->f);
      ASSERT_EQ(side(c.b->name, &r, 2), 1) << err();
    } else {
      std::string t = c.text = c.a->consts[g() % c.a->consts.size()];
      if (c.a->f == CODE) t = std::to_string(sc_token_code(&ctx_, "TST", l.elem, t.data(), t.size()));
      ASSERT_EQ(opnd(ctx_, t, &r, 2, "   "), 1) << c.text << ": " << err();
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
      const val b = c.b ? m[c.b->name] : model(*c.a, c.text);
      const bool want = reference(c.a->f == CODE ? NUM : c.a->f, m[c.a->name], b, c.relop, c.pad);
      ASSERT_EQ(run(em_, c.at), want ? 1u : 2u) << c.a->name << " " << c.relop << " pad " << c.pad << " "
                                                << (c.b ? c.b->name : "\"" + c.text + "\"") << " record " << n;
    }
  }
}

// A selection module of its own (zeroed block, own pool, INST file, areas) for
// "1 AND (2 OR 3)", bound to the process's areas by an address table, selects as the reference.
TEST_F(PcCompare, SelectionModuleSelectsWhatTheReferenceSelects) {
  ASSERT_EQ(pc_cmpl_finish(&ctx_), 1) << err();
  bind(em_);
  EM* proc = em_;
  uint8_t cfi[CFI_LEN];
  fresh(), prep();
  ASSERT_EQ(fi("CUST", cfi, kPcAccRead), 1) << err();
  const em_entry entry = ctx_.bld.pos;
  // 1: BAL GT 0; 2: CITY EQ "AB" (padded); 3: REGION LT LIMIT.
  const std::tuple<const char*, const char*, const char*, int> leaves[] = {
      {"BAL", "   ", "0", 3}, {"CITY", "   ", "AB", 1}, {"REGION", "TST", "LIMIT", 5}};
  em_entry br[3];
  for (int i = 0; i < 3; ++i) {
    auto [left, ap, right, relop] = leaves[i];
    PC_OPND l, r;
    ASSERT_TRUE(opnd(ctx_, left, &l) && opnd(ctx_, right, &r, 2, ap)) << err();
    ASSERT_TRUE(bld_if_and_or(&ctx_, &l, &r, relop, 38, relop == 1) && bld_br_cond(&ctx_.bld, &br[i])) << err();
  }
  bld_end(&ctx_.bld, 0);
  // 1 false ends false, 2 true ends true, 3 true ends true; else the end gives 3's false.
  for (auto [i, sense] : {std::pair{0, 2}, {1, 1}, {2, 1}})
    ASSERT_EQ(bld_patch(&ctx_.bld, br[i], static_cast<uint8_t>(sense), {}, 1), 1);
  ASSERT_EQ(pc_cmpl_finish(&ctx_), 1) << err();
  bind(em_, rec_em_ = proc);
  std::mt19937 g(11);
  for (int n = 0, selected = 0; n < 200 || selected < 10; ++n) {
    record m = put(g);
    const bool want = m["BAL"].n > 0 && (m["CITY"].s == "AB    " || m["REGION"].n < m["LIMIT"].n);
    selected += want;
    ASSERT_EQ(run(em_, entry), want ? 1u : 2u) << n;
  }
  em_destroy(proc);
}

}  // namespace
}  // namespace kivo::test
