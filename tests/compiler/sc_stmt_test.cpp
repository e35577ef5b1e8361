// Statements of the fixture application TST built with the design builder,
// compiled by sc_cmpl_ep and run through the interpreter on bound areas:
// the T/F prefix and its levels, moves, labels, and the errors that keep
// the module from being built.
#include <filesystem>
#include <list>
#include <map>

#include "../design/design_test_util.h"
#include "compiler/em_records.h"
#include "compiler/sc.h"
#include "em_test_util.h"
#include "foundation/end_codes.h"
#include "interp/ii_run.h"
#include "types/typed_value.h"

namespace kivo::test {
namespace {

std::string pad(const std::string& s, size_t n) { return (s + std::string(n, ' ')).substr(0, n); }
std::string hex(const uint8_t* p, size_t n, std::string s = "") {
  for (char b[4]; n--; s += b) snprintf(b, sizeof b, "%02x", *p++);
  return s + "\n";
}

// A statement line: prefix, verb, then {column, text} operands.
std::string line(const char* pfx, const char* verb, std::initializer_list<std::pair<int, const char*>> ops = {}) {
  std::string l = pad(pfx, 6) + pad(verb, 8);
  for (auto [col, text] : ops) l = pad(l, col - 1).replace(col - 1, strlen(text), text);
  return l;
}
// SET or a comparison of field `a` of TST with the constant or TST field `b` ("=name").
std::string two(const char* pfx, const char* verb, const char* a, const char* b, const char* rel = "EQ") {
  const bool fld = b[0] == '=';
  if (!strcmp(verb, "SET")) rel = "";
  return line(pfx, verb, {{16, "TST"}, {20, a}, {47, rel}, {50, fld ? "TST" : "   "}, {54, b + fld}});
}
std::string lab(const char* verb, const char* name) { return line("", verb, {{16, name}}); }

class ScFixture : public DesignFiles {
 protected:
  void SetUp() override {
    DesignFiles::SetUp();
    std::string kivo = KIVO_BINARY;
    std::filesystem::copy(kivo.substr(0, kivo.rfind('/')) + "/data/00", data_ + "/00",
                          std::filesystem::copy_options::recursive);
    build(golden("compiler/pc_tst.dsgn"), "TST");
    fm_clr_scope(kScope);
    set_maddr_reader(nullptr);
    ii_init(), sc_init();
    rt_err_arb = nullptr, rt_init();
  }
  void TearDown() override { em_destroy(em_), DesignFiles::TearDown(); }
  // Writes the statements of event point `ep` of process 4 P; statement `raw_at` (1-based, not the
  // first) is the one before it with the raw verb index `raw` instead.
  void stmts(uint8_t ep, const std::vector<std::string>& lines, size_t raw_at = 0, uint16_t raw = 0) {
    DesignBuilder b("TST", "01", kScope);
    stmt_key k;
    k.proc_type = 4, k.proc_name = "P", k.ep = ep;
    for (size_t i = 0; i < lines.size(); ++i) {
      if (i + 1 != raw_at) {
        ASSERT_EQ(b.stmt(k, lines[i]), 1) << b.error();
        continue;
      }
      std::vector<uint8_t> r = records(DF_STMT, "01", "TST").back();  // the statement before, renumbered
      st_le32(r.data(), STMT_SEQ, static_cast<uint32_t>(raw_at)), st_le16(r.data(), STMT_VERB, raw);
      ASSERT_EQ(b.put(DF_STMT, r.data(), kStmtSize), 1) << b.error();
    }
    b.close_all();
    fm_clr_scope(kScope);
  }
  // Compiles event points `eps` into a new module; 1 when it was built.
  int compile(std::initializer_list<uint8_t> eps) {
    em_destroy(em_);
    ctx_ = {}, ctx_.em = em_ = em_create();
    memcpy(ctx_.ap, "TST", 3), memcpy(ctx_.ver, "01", 2), memcpy(em_->em_ap, "TST", 3), memcpy(em_->em_ver, "01", 2);
    em_->em_pcf_id = 2, memcpy(em_->em_pcf_ap, "TST", 3), memcpy(ctx_.proc_nam, pad("P", 30).data(), 30);
    EXPECT_EQ(pc_prep(&ctx_), 1);
    em_->em_toc_cnt = toc_before_;
    uint8_t owner[STMT_EP] = {4};
    memcpy(owner + STMT_PROC_NAME, pad("P", 30).data(), 30), memcpy(owner + STMT_BLANK1, "  ", 2);
    errs_.clear(), entry_.clear();
    for (uint8_t ep : eps) {
      entry_.push_back(ctx_.bld.pos);
      sc_cmpl_ep(&ctx_, owner, ep, &errs_);
    }
    for (const char* f : {"TOTAL", "BAL", "LIMIT"}) {
      uint8_t out[kPcFldOut];
      if (!errs_.empty() || !pc_fld("TST", pad(f, 22).c_str(), {0, PC_OCC_NONE, {}}, out, &ctx_)) break;
      fld_[f] = {ld_le16(out + PCF_CELEM, CEL_ADDR), ld_le16(out + PCF_CELEM, CEL_OFF)};
    }
    return pc_cmpl_finish(&ctx_);
  }
  // Runs the code of the i-th event point compiled, on zeroed areas; 1 when it returned, else the
  // code it unwound with.
  int run(size_t i) {
    addr_.assign(em_->em_area_cnt + 1, nullptr), blocks_.clear();
    for (const AREA_DESC* a = em_->em_area_tbl; a < em_->em_area_tbl + em_->em_area_cnt; ++a)
      addr_[a->area_no] = blocks_.emplace_back(a->size + 8, '\0').data();
    em_->em_area_addr = addr_.data();
    PCB pcb{};
    EP_CALL call{};
    pcb.pcb_em = em_, call.pcb = &pcb, call.entry.at = entry_[i], call.ep_no = 1;
    pcb.pcb_err_fi = reinterpret_cast<ARB*>(&msgs_);  // only passed on to the message hook
    result_ = 0;
    const uint32_t code = MARK(MARK_SUBPROCESS, [&] { ii_exec_em(em_, &call); });
    result_ = call.result;
    return static_cast<int>(code);
  }
  // Field `f` of TST (a packed field) holds `text`.
  bool holds(const char* f, const char* text) {
    uint8_t elem[kElementSize], want[32];
    char found[3];
    PC_CTX c{};
    memcpy(c.ap, "TST", 3), memcpy(c.ver, "01", 2);
    if (!pc_elem(&c, "TST", pad(f, 22).c_str(), elem, found) || !elem_typed_value(elem, text, want)) return false;
    for (auto& d : c.design)
      for (ARB* a : d.arb)
        if (a) FM_CLOSE(a, 0);
    auto [area, off] = fld_[f];
    return !memcmp(addr_[area] + off, want, ld_le16(elem, ELEM_SIZE));
  }

  static inline std::string msgs_;  // "class:text;" of each message posted
  uint32_t result_ = 0;
  // Sets BAL to 12.5 and TOTAL to 0, runs `lines` as the next event point and checks TOTAL.
  void expect_total(const std::vector<std::string>& lines, const char* total) {
    std::vector<std::string> l = {two("", "SET", "BAL", "12.5"), two("", "SET", "TOTAL", "0")};
    l.insert(l.end(), lines.begin(), lines.end());
    stmts(++ep_, l);
    ASSERT_EQ(compile({ep_}), 1) << int{ep_} << ": " << (errs_.empty() ? "" : errs_[0].msg);
    run(0);
    EXPECT_TRUE(holds("TOTAL", total)) << "event point " << int{ep_} << " wants " << total;
  }

  std::string err() const {
    std::string t(ctx_.err_text, sizeof ctx_.err_text);
    return t.erase(t.find_last_not_of(' ') + 1);
  }
  uint8_t ep_ = 0;
  uint32_t toc_before_ = 0;  // event-point rows the module holds before the compile
  EM* em_ = nullptr;
  PC_CTX ctx_{};
  std::vector<sc_error> errs_;
  std::vector<em_entry> entry_;
  std::map<std::string, std::pair<uint16_t, uint16_t>> fld_;
  std::vector<uint8_t*> addr_;
  std::list<std::vector<uint8_t>> blocks_;
};
using ScPrefix = ScFixture;
using ScMove = ScFixture;
using ScLoopLabel = ScFixture;
using ScStoreMsg = ScFixture;
using ScErrors = ScFixture;
using ScTraps = ScFixture;

// Each row sets BAL to 12.5 and TOTAL to 0 first, then runs its statements; TOTAL holds the result.
TEST_F(ScPrefix, TestsLevelsAndCombiningChooseTheStatements) {
  const std::string yes = two("", "IF", "BAL", "12.5"), no = two("", "IF", "BAL", "3");
  const struct {
    std::vector<std::string> lines;
    const char* total;
  } rows[] = {
      {{yes, two("T", "SET", "TOTAL", "1"), two("F", "SET", "TOTAL", "2")}, "1"},
      {{no, two("T", "SET", "TOTAL", "1"), two("F", "SET", "TOTAL", "2")}, "2"},
      {{yes, two("T", "IF", "LIMIT", "5"), two("TT", "SET", "TOTAL", "3"), two("TF", "SET", "TOTAL", "4")}, "4"},
      {{no, two("F", "IF", "LIMIT", "0"), two("FT", "SET", "TOTAL", "5"), two("T", "SET", "TOTAL", "6")}, "5"},
      {{yes, two("", "AND", "LIMIT", "1"), two("T", "SET", "TOTAL", "7"), two("F", "SET", "TOTAL", "8")}, "8"},
      {{no, two("", "OR", "LIMIT", "0"), two("T", "SET", "TOTAL", "9")}, "9"},
      {{yes, two("T", "IF", "LIMIT", "0"), two("T", "AND", "BAL", "3"), two("TF", "SET", "TOTAL", "10")}, "10"},
      {{yes, two("T", "IF", "LIMIT", "1"), two("T", "OR", "BAL", "=BAL"), two("TT", "SET", "TOTAL", "11")}, "11"},
      // Level 2 is unset after the IF at level 1: skipped under T and under F.
      {{yes, two("-T", "SET", "TOTAL", "12"), two("-F", "SET", "TOTAL", "13")}, "0"},
      // Statements without an outcome leave the level: the F test after a SET still sees the IF.
      {{no, two("", "SET", "LIMIT", "4"), two("F", "SET", "TOTAL", "14")}, "14"},
      {{yes, lab("GOTO", "ON"), two("", "SET", "TOTAL", "15"), lab("LABEL", "ON"), line("", "*")}, "0"},
      {{lab("GOTO", "B"), lab("LABEL", "A"), two("", "SET", "TOTAL", "16"), line("", "END"), lab("LABEL", "B"),
        two("", "SET", "TOTAL", "17"), lab("GOTO", "A")},
       "16"},
  };
  for (auto& r : rows) expect_total(r.lines, r.total);
}

// COMPUTE and TOTAL over packed and binary fields; a value that does not fit takes the OVERFLOW path
// and leaves the destination; division by zero and a move between kinds without a conversion too.
TEST_F(ScMove, ArithmeticAndOverflowPaths) {
  const std::string ovfl = lab("OVERFLOW", "OV"), mark = two("", "SET", "TOTAL", "99");
  const struct {
    std::vector<std::string> lines;
    const char* total;
  } rows[] = {
      {{two("", "TOTAL", "TOTAL", "=BAL", "+"), two("", "COMPUTE", "TOTAL", "4", "*")}, "50"},
      {{two("", "SET", "REGION", "-7"), two("", "COMPUTE", "TOTAL", "=REGION", "-"),
        two("", "COMPUTE", "TOTAL", "8", "/")},
       "0.88"},
      {{two("", "SET", "LIMIT", "99999"), ovfl, two("", "SET", "TOTAL", "=LIMIT"),
        two("", "COMPUTE", "TOTAL", "3", "+"), ovfl, two("", "COMPUTE", "LIMIT", "1", "+"), mark, lab("LABEL", "OV")},
       "100002"},
      {{two("", "SET", "TOTAL", "5"), ovfl, two("", "COMPUTE", "TOTAL", "0", "/"), mark, lab("LABEL", "OV")}, "5"},
      {{ovfl, two("", "SET", "TOTAL", "=OPENED"), mark, lab("LABEL", "OV")}, "0"},
      // A value that does not fit leaves the field at its initial value (RESTORE of its default).
      {{two("", "SET", "BAL", "1"), ovfl, two("", "SET", "BAL", "=NAME"), lab("GOTO", "CONT"), lab("LABEL", "OV"),
        line("", "RESTORE", {{16, "TST"}, {20, "BAL"}, {47, "DEFAULT FIELD"}}), lab("LABEL", "CONT"),
        two("", "SET", "TOTAL", "=BAL")},
       "12.5"},
      {{two("", "SET", "BAL", "1"), ovfl, two("", "SET", "BAL", "=LIMIT"), lab("GOTO", "CONT"), lab("LABEL", "OV"),
        line("", "RESTORE", {{16, "TST"}, {20, "BAL"}, {47, "DEFAULT FIELD"}}), lab("LABEL", "CONT"),
        two("", "SET", "TOTAL", "=BAL")},
       "0"},
  };
  for (auto& r : rows) expect_total(r.lines, r.total);
}

// Loops with literal and index bounds, nested, stepping down, without a pass; GOTO out of a loop and back.
TEST_F(ScLoopLabel, LoopsAndJumpsCountThePasses) {
  auto beg = [](const char* i, const char* from, const char* to, const char* step = "1") {
    return line("", "BEG LOOP", {{16, i}, {21, from}, {28, to}, {38, step}});
  };
  const std::string add = two("", "TOTAL", "TOTAL", "1", "+"), end_a = lab("END LOOP", "A"),
                    end_b = lab("END LOOP", "BI");
  const struct {
    std::vector<std::string> lines;
    const char* total;
  } rows[] = {
      {{beg("A", "1", "3"), add, end_a}, "3"},
      {{beg("A", "1", "3"), beg("BI", "A", "3"), add, end_b, end_a}, "6"},
      {{beg("A", "10", "1", "-3"), add, end_a}, "4"},
      {{beg("A", "3", "1"), add, end_a}, "0"},
      {{beg("A", "2", "1", "-1"), beg("BI", "1", "0"), add, end_b, add, end_a}, "2"},
      {{beg("A", "1", "3"), lab("GOTO", "SKIP"), add, lab("LABEL", "SKIP"), add, end_a}, "3"},
      {{beg("A", "1", "9"), add, two("", "IF", "TOTAL", "2"), line("T", "GOTO", {{16, "OUT"}}), end_a,
        lab("LABEL", "OUT")},
       "2"},
      {{lab("LABEL", "TOP"), add, two("", "IF", "TOTAL", "4", "LT"), line("T", "GOTO", {{16, "TOP"}})}, "4"},
  };
  for (auto& r : rows) expect_total(r.lines, r.total);
}

// WARNING, MESSAGE and ERROR post classes 1, 4 and 3; ERROR asks the statements to stop; CANCEL
// posts class 3 and unwinds with 4; statements without an outcome leave the TF word.
TEST_F(ScStoreMsg, MessagesAndCancel) {
  ii_hooks.add_msg = [](int cls, ARB* fi, const char* t, size_t n) {
    return *reinterpret_cast<std::string*>(fi) += std::to_string(cls) + ":" + std::string(t, n) + ";", 1;
  };
  const struct {
    std::vector<std::string> lines;
    const char* msgs;
    uint32_t stop, unwind;
  } rows[] = {
      {{line("", "WARNING", {{16, "careful"}}), line("", "MESSAGE", {{16, "note it"}})}, "1:careful;4:note it;", 0, 1},
      {{line("", "ERROR", {{16, "bad   value"}}), line("", "MESSAGE", {{16, "after"}})},
       "3:bad   value;4:after;",
       kResultStop,
       1},
      {{two("", "SET", "BAL", "0"), two("", "IF", "BAL", "1"), line("", "MESSAGE", {{16, "x"}}),
        line("F", "CANCEL", {{16, "gone"}}), line("", "WARNING", {{16, "never"}})},
       "4:x;3:gone;",
       0,
       PI_END_CANCEL},
  };
  for (auto& r : rows) {
    stmts(++ep_, r.lines);
    ASSERT_EQ(compile({ep_}), 1) << (errs_.empty() ? "" : errs_[0].msg);
    msgs_.clear();
    EXPECT_EQ(run(0), r.unwind);
    EXPECT_EQ(msgs_, r.msgs);
    EXPECT_EQ(result_ & kResultStop, r.stop);
  }
  ii_hooks.add_msg = nullptr;
}

// Each bad statement is named with its sequence number and column; the others are still checked,
// and no module is built.
TEST_F(ScErrors, BadStatementsAreCollectedAndNoModuleIsBuilt) {
  const struct {
    std::vector<std::string> lines;
    size_t raw_at;
    uint16_t raw;
    std::vector<std::pair<uint32_t, std::string>> want;  // sequence, message start
  } rows[] = {
      {{line("", "GOSUB", {{20, "X"}}), two("", "SET", "TOTAL", "1"), line("", "DISPLAY")},
       0,
       0,
       {{1, "statement 1: verb not supported: GOSUB"}, {3, "statement 3: verb not supported: DISPLAY"}}},
      {{line("", "*"), line("", "*")}, 2, 105, {{2, "statement 2: verb index 105 above 104"}}},
      {{line("TTTTT", "IF", {{16, "TST"}, {20, "BAL"}, {47, "EQ"}, {54, "1"}})},
       0,
       0,
       {{1, "statement 1: a test at level 5"}}},
      {{two("", "IF", "BAL", "=NAME"), two("", "SET", "NOSUCH", "1")},
       0,
       0,
       {{1, "BAL and NAME cannot be compared"}, {2, "field NOSUCH"}}},
      {{lab("GOTO", "NOWHERE"), lab("LABEL", "TWICE"), lab("LABEL", "TWICE")},
       0,
       0,
       {{3, "label TWICE defined twice"}, {1, "statement 1: label NOWHERE not defined"}}},
      {{line("", "BEG LOOP", {{16, "A"}, {21, "1"}, {28, "3"}, {38, "0"}}), two("", "COMPUTE", "BAL", "1", "P"),
        lab("END LOOP", "BI")},
       0,
       0,
       {{1, "loop step 0"}, {2, "operator P"}, {3, "END LOOP without BEG LOOP"}}},
  };
  uint8_t ep = 1;
  for (auto& r : rows) {
    stmts(ep, r.lines, r.raw_at, r.raw);
    EXPECT_EQ(compile({ep}), 0) << int{ep};
    ASSERT_EQ(errs_.size(), r.want.size()) << int{ep};
    for (size_t i = 0; i < r.want.size(); ++i) {
      EXPECT_EQ(errs_[i].key[STMT_EP], ep);
      EXPECT_EQ(ld_le32(errs_[i].key, STMT_SEQ), r.want[i].first) << int{ep};
      EXPECT_NE(std::string(errs_[i].msg, 80).find(r.want[i].second), std::string::npos) << errs_[i].msg;
    }
    ++ep;
  }
}

// Comments, labels, prefixed statements and three event points (one without statements): the TO rows
// and TP records, a prefixed statement's entry at its TFTEST; no flag bits set in the code.
TEST_F(ScTraps, TrapRecordsAndEventPointRows) {
  stmts(1, {line("", "*"), two("", "IF", "BAL", "1"), two("T", "SET", "TOTAL", "2")});
  stmts(3, {lab("LABEL", "A"), line("", "**"), line("F", "END"), lab("GOTO", "A")});
  stmts(4, {line("", "EXIT")});
  ASSERT_EQ(compile({1, 2, 3, 4}), 1) << (errs_.empty() ? "" : errs_[0].msg);
  std::string got;
  for (uint32_t i = 1; i <= em_->em_toc_cnt; ++i) got += hex(MADDR(em_->em_toc_arb, i), TOC_LEN);
  for (uint32_t i = 1; i <= em_->em_trap_cnt; ++i) got += hex(MADDR(em_->em_trap_arb, i), TRAP_LEN);
  EXPECT_EQ(got,
            "010000000100000003000000\n030100000400000007000000\n040200000800000008000000\n"
            "000000000100000001000000\n010000000200000001000000\n010020000300000001000000\n"
            "000000000100000003000100\n000000000200000003000100\n010048000300000003000100\n"
            "010058000400000003000100\n010068000100000004000200\n");
  for (em_entry at = {1, 0}; at.off < ctx_.bld.pos.off; at.off += inst_len(INST_RLOC(at, em_->em_inst_arb)))
    EXPECT_EQ(INST_RLOC(at, em_->em_inst_arb)[2], 0) << at.off;
}

}  // namespace
}  // namespace kivo::test

namespace kivo::test {
namespace {
// The event-point slot is one byte: a module that holds 256 event points with statements refuses another,
// naming the process; an event point without statements takes no slot.
TEST_F(ScErrors, EventPointSlotsEndAt256) {
  stmts(1, {line("", "EXIT")});
  toc_before_ = 256;
  EXPECT_EQ(compile({2}), 1);
  EXPECT_EQ(compile({1}), 0);
  EXPECT_EQ(err(), "process P: over 256 event points with code");
  toc_before_ = 255;
  EXPECT_EQ(compile({2, 1}), 1);
  EXPECT_EQ(em_->em_toc_cnt, 256u);
}
}  // namespace
}  // namespace kivo::test
