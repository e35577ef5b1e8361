// The statement builders of the generated processes: each record against
// the record its statement line gives (with the occurrence bytes the
// builders write differently as golden bytes), the sequence numbers with
// and without TRAP, the constants and labels at their widths, and a write
// that fails.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>

#include "../compiler/stmt_line_util.h"
#include "compiler/stmt_layout.h"
#include "design/db_stmt.h"
#include "design/design_builder.h"
#include "design_test_util.h"
#include "foundation/bytes.h"
#include "foundation/text.h"

namespace kivo::test {
namespace {

FDB_PATH path_of(const char* ap, const char* name) {
  FDB_PATH p{};
  memcpy(p.fdb_ap, ap, 3);
  snprintf(p.fdb_name, sizeof p.fdb_name + 1, "%-8s", name);
  return p;
}

class StmtBuilders : public DesignFiles {
 protected:
  void SetUp() override {
    DesignFiles::SetUp();
    a_ = b_.handle(DF_STMT);
    ASSERT_NE(a_, nullptr) << b_.error();
    stmt_start(st_, PT_ACTION_TYPE, "RESTRUCTURE", 3);
    unsetenv("KIVO_TRAP_RESTRUCT");
  }
  void TearDown() override {
    unsetenv("KIVO_TRAP_RESTRUCT");
    DesignFiles::TearDown();
  }
  static constexpr uint8_t PT_ACTION_TYPE = 4;
  DesignBuilder b_{"0DN", "00", kScope};
  ARB* a_ = nullptr;
  uint8_t st_[kStmtSize];
};

// Every builder's record bytes 78-151 equal the record its line gives, but
// for the occurrence bytes named: none as two blanks and kind 2, STORE and
// RESTORE without an occurrence as four blanks, ENTRY's as four zeros.
TEST_F(StmtBuilders, RecordsEqualTheirLinesRecords) {
  const std::string none("  \2\0", 4), blank4(4, ' '), zero4(4, '\0');
  const FDB_PATH o = path_of("0DO", "CUSTOMER"), n = path_of("0DN", "CUSTOMER");
  struct row {
    std::function<int(uint8_t*, ARB*)> build;
    std::string line;
    std::initializer_list<std::pair<int, std::string>> golden;  // operand offset, bytes
  };
  const row rows[] = {
      {[&](uint8_t* s, ARB* a) { return bld_fi_stmt(s, a, VERB_OPEN, n); },
       line_at("OPEN", {{16, "0DN"}, {20, "CUSTOMER"}, {37, "N"}, {45, "2"}}),
       {}},
      {[&](uint8_t* s, ARB* a) { return bld_fi_stmt(s, a, VERB_CREATE, n); },
       line_at("CREATE", {{16, "0DN"}, {20, "CUSTOMER"}, {37, "N"}, {45, "2"}}),
       {}},
      {[&](uint8_t* s, ARB* a) { return bld_write_stmt(s, a, o); },
       line_at("WRITE", {{16, "0DN"}, {20, "CUSTOMER"}, {45, "2"}}),
       {}},
      {[](uint8_t* s, ARB* a) { return bld_eop_rewrite(s, a); },
       line_at("REWRITE", {{16, "0LA"}, {20, "ENTRY"}, {45, "2"}}),
       {}},
      {[](uint8_t* s, ARB* a) { return bld_read_entry_stmt(s, a); },
       line_at("READ", {{16, "0LA"}, {20, "ENTRY"}, {35, "1"}, {45, "2"}}),
       {}},
      {[](uint8_t* s, ARB* a) { return bld_read_stmt(s, a, "0DO", "CUSTOMER", "CUSTOMER NO           ", 0, nullptr); },
       line_at("READ", {{16, "0DO"}, {20, "CUSTOMER"}, {35, "0"}, {45, "0"}, {58, "CUSTOMER NO"}}),
       {}},
      {[](uint8_t* s, ARB* a) {
         return bld_full_set(s, a, "0DN", "AMOUNT", occ_lit(1), "0DO", "OLD AMOUNT", occ_idx("AI"), nullptr);
       },
       line_at("SET", {{16, "0DN"}, {20, "AMOUNT"}, {43, "  1"}, {50, "0DO"}, {54, "OLD AMOUNT"}, {77, "AI"}}),
       {}},
      {[](uint8_t* s, ARB* a) {
         return bld_token_set(s, a, "0LA", "STATUS CODE", occ_lit(1), nullptr, 104210, occ_none(), nullptr);
       },
       line_at("SET", {{16, "0LA"}, {20, "STATUS CODE"}, {43, "  1"}, {54, "104210"}}),
       {{30, none}}},
      {[](uint8_t* s, ARB* a) {
         return bld_if_stmt(s, a, "0DN", "AMOUNT", occ_lit(1), "0DO", "AMOUNT", occ_none(), nullptr, RELOP_NE);
       },
       line_at("IF", {{16, "0DN"}, {20, "AMOUNT"}, {43, "  1"}, {47, "NE"}, {50, "0DO"}, {54, "AMOUNT"}}),
       {{30, none}}},
      {[](uint8_t* s, ARB* a) { return bld_eop_re_store(s, a, VERB_STORE); },
       line_at("STORE", {{16, "0LA"}, {20, "ENTRY"}, {47, "RECORD"}}),
       {{0, zero4}}},
      {[](uint8_t* s, ARB* a) { return bld_eop_re_store(s, a, VERB_RESTORE); },
       line_at("RESTORE", {{16, "0LA"}, {20, "ENTRY"}, {47, "RECORD"}}),
       {{0, zero4}}},
      {[](uint8_t* s, ARB* a) {
         return bld_restore_stmt(s, a, SR_INIT_FIELD, "AMOUNT", occ_idx("AI"), nullptr, "0DN");
       },
       line_at("RESTORE", {{16, "0DN"}, {20, "AMOUNT"}, {43, "AI"}, {47, "DEFAULT FIELD"}}),
       {}},
      {[](uint8_t* s, ARB* a) {
         return bld_restore_stmt(s, a, SR_INIT_RECORD, "CUSTOMER", occ_blank(), nullptr, "0DN");
       },
       line_at("RESTORE", {{16, "0DN"}, {20, "CUSTOMER"}, {47, "DEFAULT RECORD"}}),
       {{0, blank4}}},
      {[](uint8_t* s, ARB* a) { return bld_overflow_stmt(s, a, "AMOUNT                OVERFLOW", nullptr); },
       line_at("OVERFLOW", {{16, "AMOUNT                OVERFLOW"}}),
       {}},
      {[](uint8_t* s, ARB* a) { return bld_goto_stmt(s, a, "A NAME OF 22 CHARACTERCONTINUE", nullptr); },
       line_at("GOTO", {{16, "A NAME OF 22 CHARACTERCONTINUE"}}),
       {}},
      {[](uint8_t* s, ARB* a) {
         char l[kLabelLen];
         stmt_label("A NAME OF 22 CHARACTER", "OVERFLOW", l);
         return bld_label_stmt(s, a, l);
       },
       line_at("LABEL", {{16, "A NAME OF 22 CHARACTEROVERFLOW"}}),
       {}},
      {[](uint8_t* s, ARB* a) { return bld_msg_stmt(s, a, VERB_WARNING, "FIELD CHANGED", "TF"); },
       line_at("WARNING", {{16, "FIELD CHANGED"}}, "TF"),
       {}},
      {[](uint8_t* s, ARB* a) { return bld_vfy_stmt(s, a, "0DN", "AMOUNT", occ_lit(2)); },
       line_at("VERIFY", {{16, "0DN"}, {20, "AMOUNT"}, {43, "  2"}, {52, "FIELD"}, {72, "1"}}),
       {}},
      {[](uint8_t* s, ARB* a) { return bld_end_stmt(s, a, VERB_END_PROC, "T"); }, line_at("END PROC", {}, "T"), {}},
      {[](uint8_t* s, ARB* a) { return bld_end_stmt(s, a, VERB_END, "F"); }, line_at("END", {}, "F"), {}},
      {[&](uint8_t* s, ARB* a) { return bld_read_loop(s, a, VERB_BEG_READ, o); },
       line_at("BEG READ", {{16, "0DO"}, {20, "CUSTOMER"}, {35, "1"}}),
       {}},
      {[](uint8_t* s, ARB* a) {
         return bld_cnv_txt(s, a, "0DN", "TEXT", occ_lit(1), "0DO", "AMOUNT", kOccZero, nullptr);
       },
       line_at("CNV TEXT", {{16, "0DN"}, {20, "TEXT"}, {43, "  1"}, {50, "0DO"}, {54, "AMOUNT"}, {77, "  0"}}),
       {}},
  };
  uint32_t seq = 0;
  for (const row& r : rows) {
    uint8_t want[kStmtSize] = {};
    stmt_error err{};
    ASSERT_EQ(stmt_degen(r.line.data(), r.line.size(), want, &err), 1) << r.line;
    for (auto& [off, bytes] : r.golden) memcpy(want + STMT_OPND + off, bytes.data(), bytes.size());
    SET_BLANK(st_ + STMT_PREFIX, 5);  // builders without a condition keep the buffer's
    ASSERT_EQ(r.build(st_, a_), 1) << r.line;
    EXPECT_EQ(hex(st_ + STMT_PREFIX, kStmtSize - STMT_PREFIX), hex(want + STMT_PREFIX, kStmtSize - STMT_PREFIX))
        << r.line;
    EXPECT_EQ(ld_le32(st_, STMT_SEQ), ++seq) << r.line;
  }
  // What was written is the buffer: the key as started, sequences 1 ...
  const auto recs = records(DF_STMT, "00");
  ASSERT_EQ(recs.size(), seq);
  for (uint32_t i = 0; i < seq; ++i) {
    EXPECT_EQ(recs[i][STMT_PROC_TYPE], 4);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(recs[i].data() + STMT_PROC_NAME), 30),
              "RESTRUCTURE                   ");
    EXPECT_EQ(recs[i][STMT_EP], 3);
    EXPECT_EQ(ld_le32(recs[i].data(), STMT_SEQ), i + 1);
    EXPECT_EQ(hex(recs[i].data() + STMT_SPARE, 26), std::string(52, '0'));
  }
}

// The constants and labels at their exact widths.
TEST_F(StmtBuilders, ConstantsAndLabelsFillTheirWidths) {
  ASSERT_EQ(bld_token_set(st_, a_, "0LA", "ENTRY RESTRUCT STAT1", occ_lit(1), nullptr, 104210, occ_none(), "F"), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(st_ + STMT_OPND + 37), 22), "104210" + std::string(16, ' '));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(st_ + STMT_PREFIX), 5), "F    ");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(st_ + STMT_OPND + 34), 3), "   ");  // a constant's application

  // value, length, constant
  const std::tuple<std::string, size_t, std::string> pdf[] = {
      {std::string("\0AB", 3), 3, std::string(22, ' ')},
      {"NAT", 3, "NAT" + std::string(19, ' ')},
      {std::string(30, 'V'), 30, std::string(22, 'V')},
  };
  for (auto& [value, len, constant] : pdf) {
    ASSERT_EQ(bld_pdf_set(st_, a_, "OLD FI AP", reinterpret_cast<const uint8_t*>(value.data()), len), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(st_ + STMT_OPND + 37), 22), constant);
    EXPECT_EQ(hex(st_ + STMT_OPND, 7), "01000000304C41") << "occurrence 1 of 0LA";
    EXPECT_EQ(hex(st_ + STMT_OPND + 30, 4), "20200200");
  }

  char l[kLabelLen + 1] = {};
  stmt_label("ABCDEFGHIJKLMNOPQRSTUV", "OVERFLOW", l);
  EXPECT_EQ(std::string(l), "ABCDEFGHIJKLMNOPQRSTUVOVERFLOW");
  ASSERT_EQ(bld_overflow_stmt(st_, a_, l, nullptr), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(st_ + STMT_OPND), 34), "ABCDEFGHIJKLMNOPQRSTUVOVERFLOW    ");

  // A warning text of 69 characters keeps its first 64.
  const std::string text = std::string(22, 'X') + " does not match existing " + std::string(22, 'Y');
  ASSERT_EQ(text.size(), 69u);
  ASSERT_EQ(bld_msg_stmt(st_, a_, VERB_WARNING, text.c_str(), "TF"), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(st_ + STMT_OPND), 64), text.substr(0, 64));
}

// Without KIVO_TRAP_RESTRUCT a TRAP writes nothing and leaves no gap; with
// it the TRAP is a statement of its own. The loop block's eight statements.
TEST_F(StmtBuilders, TrapOnlyWhenAskedAndTheLoopBlockInOrder) {
  for (const char* env : {static_cast<const char*>(nullptr), "0"}) {
    if (env) setenv("KIVO_TRAP_RESTRUCT", env, 1);
    stmt_start(st_, 4, env ? "TRAPPED" : "PLAIN", 1);
    ASSERT_EQ(bld_trap_stmt(st_, a_, nullptr), 1);
    ASSERT_EQ(bld_loop(st_, a_, "QTY                   ", "OLD QTY               ", 3), 1);
    ASSERT_EQ(bld_trap_stmt(st_, a_, nullptr), 1);
    ASSERT_EQ(bld_end_stmt(st_, a_, VERB_END, nullptr), 1);
  }
  std::map<std::string, std::string> verbs;
  for (auto& r : records(DF_STMT, "00")) {
    const std::string name(reinterpret_cast<const char*>(r.data() + STMT_PROC_NAME), 7);
    verbs[name] += std::to_string(ld_le32(r.data(), STMT_SEQ)) + ":" +
                   std::string(se_get_verb_spell(ld_le16(r.data(), STMT_VERB))).substr(0, 8) + "|";
  }
  const std::string loop = "BEG LOOP|2:OVERFLOW|3:SET     |4:GOTO    |5:LABEL   |6:RESTORE |7:LABEL   |8:END LOOP|";
  EXPECT_EQ(verbs["PLAIN  "], "1:" + loop + "9:END     |");
  EXPECT_EQ(verbs["TRAPPED"],
            "1:TRAP    |2:BEG LOOP|3:OVERFLOW|4:SET     |5:GOTO    |6:LABEL   |7:RESTORE |8:LABEL   |9:END LOOP|"
            "10:TRAP    |11:END     |");
}

// A write that fails returns 0 with the builder's text as a system error
// and does not count the statement twice.
TEST_F(StmtBuilders, AFailedWriteIsASystemErrorWithTheBuildersText) {
  ASSERT_EQ(bld_end_stmt(st_, a_, VERB_END, nullptr), 1);
  st_le32(st_, STMT_SEQ, 0);  // the same key again
  const std::pair<std::function<int()>, const char*> rows[] = {
      {[&] { return bld_end_stmt(st_, a_, VERB_END, nullptr); }, "Statement write "},
      {[&] { return bld_full_set(st_, a_, "0DN", "A", occ_lit(1), "0DO", "A", occ_lit(1), nullptr); },
       "SET stmt write failed"},
      {[&] { return bld_eop_rewrite(st_, a_); }, "Bad stmt write "},
      {[&] { return bld_fi_stmt(st_, a_, VERB_OPEN, path_of("0DO", "X")); }, "Statement write - failed"},
      {[&] { return bld_vfy_stmt(st_, a_, "0DN", "A", occ_lit(1)); }, "VERIFY stmt write failed"},
  };
  for (auto& [build, text] : rows) {
    captured_errors().clear();
    st_le32(st_, STMT_SEQ, 0);
    EXPECT_EQ(build(), 0) << text;
    ASSERT_EQ(captured_errors().size(), 1u) << text;
    EXPECT_EQ(captured_errors()[0].rfind(text, 0), 0u) << captured_errors()[0];
  }
  captured_errors().clear();
  EXPECT_EQ(records(DF_STMT, "00").size(), 1u);
}

}  // namespace
}  // namespace kivo::test
