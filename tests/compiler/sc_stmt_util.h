// Statements of the fixture application TST (in the memory design files of 0DN) written with the design builder,
// compiled by sc_cmpl_ep and run through the interpreter on bound areas. The statement tests of the compiler and the
// interpreter share it.
#pragma once

#include <algorithm>
#include <array>
#include <list>
#include <map>
#include <sstream>
#include <utility>

#include "../design/design_test_util.h"
#include "../fixtures/hook_override.h"
#include "compiler/compiler.h"
#include "compiler/em_records.h"
#include "compiler/sc.h"
#include "em_test_util.h"
#include "fm/token_cache.h"
#include "foundation/foundation.h"
#include "interp/ii_run.h"
#include "types/cnv.h"
#include "types/typed_value.h"
#include "types/types.h"

namespace kivo::test {

inline std::string pad(const std::string& s, size_t n) { return (s + std::string(n, ' ')).substr(0, n); }

// A statement line from "[prefix:]VERB word ...", "_" standing for a blank in a word, "~" for "_" and "%" for ":". SET,
// IF, AND, OR, COMPUTE and TOTAL take a field, a constant or "=field", and the operator; BEGL index from to step; ENDL
// index; CALC index expression; GOSUB a process; STORE and RESTORE a field and its kind (FIELD, DEFAULT_FIELD by
// default); READ, REWRITE and CLOSE a file; the other verbs their one operand at column 16. A field or file of another
// application than 0DN is written "AP.NAME", an occurrence "NAME(3)" or "NAME(AI)". CALL takes a routine name or
// "=field" and its FAIL digit; PASS and RECEIVE a field, SHARE? or the FAIL digit, and the area word; the invocation
// verbs a process, its invocation type and END?; RUN a command or "=field" and END?.
inline std::string line(std::string s) {
  std::string pfx, l;
  if (size_t c = s.find(':'); c != s.npos) pfx = s.substr(0, c), s.erase(0, c + 1);
  std::istringstream in(s);
  std::vector<std::string> w;
  for (std::string t; in >> t; w.push_back(t))
    std::replace(t.begin(), t.end(), '_', ' '), std::replace(t.begin(), t.end(), '~', '_'),
        std::replace(t.begin(), t.end(), '%', ':');
  w.resize(5);
  std::vector<std::pair<int, std::string>> at = {{16, w[1]}};
  const bool fld = w[2][0] == '=';
  if (w[0] == "BEGL") w[0] = "BEG LOOP", at = {{16, w[1]}, {21, w[2]}, {28, w[3]}, {38, w[4]}};
  if (w[0] == "ENDL") w[0] = "END LOOP";
  if (w[0] == "CALC") at = {{16, w[1]}, {21, w[2]}};
  if (w[0] == "GOSUB") at = {{20, w[1]}};
  // Field words "AP.NAME(OCC)": application, name and occurrence texts.
  auto part = [](std::string f, int i) {
    const size_t d = f.find('.') == 3 ? 4 : 0, o = f.find('('), n = i == 2 ? f.find(')') - o - 1 : o - d;
    return i == 0 ? (d ? f.substr(0, 3) : "0DN") : o == f.npos && i == 2 ? "" : f.substr(i == 2 ? o + 1 : d, n);
  };
  const std::string f2 = fld ? w[2].substr(1) : "", a1 = part(w[1], 0), n1 = part(w[1], 1), o1 = part(w[1], 2);
  const std::string op = w[3].empty() && w[0] != "SET" && w[0] != "CNVT" ? "EQ" : w[3];
  const std::string a2 = fld ? part(f2, 0) : "", n2 = fld ? part(f2, 1) : w[2], o2 = part(f2, 2);
  if (w[0] == "RESTORE" || w[0] == "STORE")
    at = {{16, a1}, {20, n1}, {43, o1}, {47, !w[2].empty() ? w[2] : w[0][0] == 'S' ? "FIELD" : "DEFAULT FIELD"}};
  if (w[0] == "VERIFY") at = {{16, a1}, {20, n1}, {52, w[2]}, {72, (w[3] + "0").substr(0, 1)}};
  if (w[0] == "READ" || w[0] == "REWRITE" || w[0] == "CLOSE")
    at = {{16, a1}, {20, n1}, {35, w[0] == "READ" ? "0" : ""}, {45, w[0] == "CLOSE" ? "N" : "0"}};
  if (w[0] == "CALL")  // a routine name, or "=field"; the FAIL digit
    at = {{16, w[1][0] == '=' ? "0DN" : "   "},
          {20, w[1][0] == '=' ? w[1].substr(1) : w[1]},
          {57, "N"},
          {65, "N"},
          {73, (w[2] + "0").substr(0, 1)}};
  if (w[0] == "PASS" || w[0] == "RECEIVE")  // field, then PASS's SHARE? or RECEIVE's FAIL digit, and the area word
    at = {{16, a1},
          {20, n1},
          {43, o1},
          {47, w[3].empty() ? "FIELD" : w[3]},
          {w[0][0] == 'P' ? 71 : 73, (w[2] + (w[0][0] == 'P' ? "Y" : "0")).substr(0, 1)}};
  if (w[0] == "RUN")  // a command or "=field", END? and the FAIL digit
    at = {{16, w[1][0] == '=' ? "0DN" : "   "},
          {20, w[1][0] == '=' ? w[1].substr(1) : w[1]},
          {65, w[2] + "N"},
          {73, "0"}};
  if (std::string(" MENU INPUT OUTPUT ACTION QUERY SUBR UPDATE JOB INQUIRY STATUS ").find(" " + w[0] + " ") != s.npos)
    at = {{16, a1}, {20, n1}, {53, w[2].empty() ? "SUBPROCESS" : w[2]}, {71, w[3] + "N"}, {79, "0"}};
  if (std::string(" SET IF AND OR COMPUTE TOTAL CNVT ").find(" " + w[0] + " ") != std::string::npos)
    at = {{16, a1}, {20, n1}, {43, o1}, {47, op}, {50, a2}, {54, n2}, {77, o2}};
  l = pad(pfx, 6) + pad(w[0] == "CNVT" ? "CNV TEXT" : w[0], 8);
  for (auto& [col, t] : at) l = pad(l, std::max(l.size(), col - 1 + t.size())).replace(col - 1, t.size(), t);
  return l;
}

class ScFixture : public DesignFiles {
 protected:
  void SetUp() override {
    DesignFiles::SetUp();
    copy_dictionary();
    build(golden("compiler/pc_tst.dsgn"));
    // The token cache reads the stamps of a field's domain: an empty DOMAIN file serves.
    FDB dom;
    KDB kdb[kInitMaxKeys];
    SDB sdb[kInitMaxSegs];
    INIT_DDOM_FDB(&dom, kdb, sdb, "0DN", "01");
    ASSERT_EQ(FM_CREATE(&dom, kScope, 0, LFB_OPEN_NEW | LFB_ANY_DIR, 0x0f, 0x0f), 1);
    // The memory design files live at kScope: a run's MARK levels stay above it.
    mark_was_ = com.mark_scope, com.mark_scope = kScope;
    compiler_register_hooks();  // the module files' layout and MADDR's reader
    ii_init(), sc_init(), token_fill_hooks();
    ASSERT_EQ(cv_init(), 1);
    rt_err_arb = nullptr, rt_init(), interp_register_hooks();
  }
  void TearDown() override {
    em_destroy(em_), com.mark_scope = mark_was_;
    DesignFiles::TearDown();
  }
  // Writes the statements ("a; b; ...") of event point `ep` of process 4 P; "#n" is the statement
  // before it renumbered with the raw verb index n.
  void stmts(uint8_t ep, const std::string& text) {
    DesignBuilder b("0DN", "01", kScope);
    stmt_key k;
    k.proc_type = 4, k.proc_name = "P", k.ep = ep;
    std::istringstream in(text);
    for (std::string s; std::getline(in, s, ';');) {
      s.erase(0, s.find_first_not_of(' '));
      if (s.empty()) continue;
      if (s[0] != '#') {
        ASSERT_EQ(b.stmt(k, line(s)), 1) << b.error();
        continue;
      }
      std::vector<uint8_t> r = records(DF_STMT, "01", "0DN").back();
      st_le32(r.data(), STMT_SEQ, ld_le32(r.data(), STMT_SEQ) + kStmtSeqStep),
          st_le16(r.data(), STMT_VERB, std::stoi(&s[1]));
      ASSERT_EQ(b.put(DF_STMT, r.data(), kStmtSize), 1) << b.error();
    }
  }
  // Compiles event points `eps` into a new module; 1 when it was built.
  int compile(const std::vector<uint8_t>& eps) {
    em_destroy(em_);
    ctx_ = {}, ctx_.em = em_ = em_create();
    memcpy(ctx_.ap, "0DN", 3), memcpy(ctx_.ver, "01", 2), memcpy(em_->em_ap, "0DN", 3), memcpy(em_->em_ver, "01", 2);
    em_->em_pcf_id = 2, memcpy(em_->em_pcf_ap, "0DN", 3), memcpy(ctx_.proc_nam, pad("P", 30).data(), 30);
    EXPECT_EQ(pc_prep(&ctx_), 1);
    em_->em_toc_cnt = toc_before_;
    uint8_t owner[STMT_EP] = {4}, out[kPcFldOut];
    memcpy(owner + STMT_PROC_NAME, pad("P", 30).data(), 30), memcpy(owner + STMT_BLANK1, "  ", 2);
    errs_.clear(), entry_.clear();
    for (uint8_t ep : eps) entry_.push_back(ctx_.bld.pos), sc_cmpl_ep(&ctx_, owner, ep, &errs_);
    for (const std::string& f : located_) {
      uint8_t* e = elem_[f].data();
      if (errs_.empty() && pc_fld("0DN", pad(f, 22).c_str(), {0, PC_OCC_NONE, {}}, out, &ctx_, e))
        at_[f] = {ld_le16(out + PCF_CELEM, CEL_ADDR), ld_le16(out + PCF_CELEM, CEL_OFF)};
    }
    memcpy(total_elem_, elem_["TOTAL"].data(), kElementSize);
    return pc_cmpl_finish(&ctx_);
  }
  // Runs the code of the i-th event point compiled on zeroed areas: 1 when it returned, else its unwind code.
  int run(size_t i, bool fresh = true) {
    if (fresh) addr_.assign(em_->em_area_cnt + 1, nullptr), blocks_.clear();
    for (const AREA_DESC* a = em_->em_area_tbl; fresh && a < em_->em_area_tbl + em_->em_area_cnt; ++a)
      addr_[a->area_no] = blocks_.emplace_back(a->size + 8, '\0').data();
    em_->em_area_addr = addr_.data();
    PCB pcb{};
    EP_CALL call{};
    pcb.pcb_em = em_, call.pcb = &pcb, call.entry.at = entry_[i], call.ep_no = 1;
    pcb.pcb_err_fi = reinterpret_cast<ARB*>(&msgs_);  // only passed on to the message hook
    const uint32_t code = MARK(MARK_SUBPROCESS, [&] { ii_exec_em(em_, &call); });
    return result_ = call.result, static_cast<int>(code);
  }
  // Sets BAL to 12.5 and TOTAL to 0, runs `text` as the next event point (after those of `before`, split
  // at "|", on the same areas) and checks TOTAL.
  void expect_total(const char* text, const char* total, const std::string& before = "") {
    std::vector<uint8_t> eps;
    std::istringstream in(before);
    for (std::string b; std::getline(in, b, '|');) stmts(++ep_, b), eps.push_back(ep_);
    stmts(++ep_, std::string("SET BAL 12.5; SET TOTAL 0; ") + text);
    eps.push_back(ep_);
    ASSERT_EQ(compile(eps), 1) << text << ": " << (errs_.empty() ? "" : errs_[0].msg);
    for (size_t i = 0; i < eps.size(); ++i) run(i, i == 0);
    EXPECT_TRUE(total_is(total)) << text << " wants " << total;
  }
  bool total_is(const char* total) {
    uint8_t want[16];
    return elem_typed_value(total_elem_, total, want) && !memcmp(field("TOTAL"), want, ld_le16(total_elem_, ELEM_SIZE));
  }
  std::string err() const {
    std::string t(ctx_.err_text, sizeof ctx_.err_text);
    return t.erase(t.find_last_not_of(' ') + 1);
  }

  static inline std::string msgs_;  // "class:text;" of each message posted
  static int capture(int cls, ARB* fi, const char* t, size_t n) {
    return *reinterpret_cast<std::string*>(fi) += std::to_string(cls) + ":" + std::string(t, n) + ";", 1;
  }
  uint32_t result_ = 0, toc_before_ = 0, mark_was_ = 0;
  uint8_t ep_ = 0, total_elem_[kElementSize] = {};
  // Fields of TST found after each compile: their area and offset, and their ELEMENT records.
  std::vector<std::string> located_ = {"BAL", "REGION", "OPENED", "STATE", "TOTAL"};
  std::map<std::string, std::pair<uint16_t, uint16_t>> at_;
  std::map<std::string, std::array<uint8_t, kElementSize>> elem_;
  uint8_t* field(const std::string& f) { return addr_[at_[f].first] + at_[f].second; }
  EM* em_ = nullptr;
  PC_CTX ctx_{};
  std::vector<sc_error> errs_;
  std::vector<em_entry> entry_;
  std::vector<uint8_t*> addr_;
  std::list<std::vector<uint8_t>> blocks_;
};

}  // namespace kivo::test
