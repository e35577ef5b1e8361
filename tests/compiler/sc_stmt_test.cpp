// Statements of the fixture application TST compiled by sc_cmpl_ep and run through the interpreter on bound areas:
// prefix levels, moves and arithmetic, loops and labels, messages, the errors that keep a module from being built, and
// the trap records.
#include <filesystem>

#include "../fixtures/hook_override.h"
#include "foundation/end_codes.h"
#include "interp/rt_fns.h"
#include "sc_stmt_util.h"

namespace kivo::test {
namespace {

using ScPrefix = ScFixture;
using ScMove = ScFixture;
using ScLoopLabel = ScFixture;
using ScStoreMsg = ScFixture;
using ScErrors = ScFixture;
using ScTraps = ScFixture;

struct total_row {
  const char* stmts;
  const char* total;
};

TEST_F(ScPrefix, TestsLevelsAndCombiningChooseTheStatements) {
  for (auto [text, total] : std::initializer_list<total_row>{
           {"IF BAL 12.5; T:SET TOTAL 1; F:SET TOTAL 2", "1"},
           {"IF BAL 3; T:SET TOTAL 1; F:SET TOTAL 2", "2"},
           {"IF BAL 12.5; T:IF LIMIT 5; TT:SET TOTAL 3; TF:SET TOTAL 4", "4"},
           {"IF BAL 3; F:IF LIMIT 0; FT:SET TOTAL 5; T:SET TOTAL 6", "5"},
           {"IF BAL 12.5; AND LIMIT 1; T:SET TOTAL 7; F:SET TOTAL 8", "8"},
           {"IF BAL 3; OR LIMIT 0; T:SET TOTAL 9", "9"},
           {"IF BAL 12.5; T:IF LIMIT 0; T:AND BAL 3; TF:SET TOTAL 10", "10"},
           {"IF BAL 12.5; T:IF LIMIT 1; T:OR BAL =BAL; TT:SET TOTAL 11", "11"},
           {"IF BAL 12.5; -T:SET TOTAL 12; -F:SET TOTAL 13", "0"},  // level 2 unset: skipped under T and F
           {"IF BAL 3; SET LIMIT 4; F:SET TOTAL 14", "14"},         // SET leaves the TF word
           {"IF BAL 3; VERIFY BAL FIELD 3; F:SET TOTAL 15", "15"},  // FAIL 3: the outcome ignored
           {"IF BAL 3; VERIFY BAL FIELD 2; T:SET TOTAL 16", "16"},
           {"IF BAL 3; F:VERIFY BAL FIELD 1; FT:SET TOTAL 17", "17"},
       })
    expect_total(text, total);
}

// A value that does not fit takes the OVERFLOW path and leaves the field; RESTORE gives its initial value.
TEST_F(ScMove, ArithmeticAndOverflowPaths) {
  for (auto [text, total] : std::initializer_list<total_row>{
           {"TOTAL TOTAL =BAL +; COMPUTE TOTAL 4 *", "50"},
           {"SET REGION -7; COMPUTE TOTAL =REGION -; COMPUTE TOTAL 8 /", "0.88"},
           {"SET LIMIT 99999; SET TOTAL =LIMIT; COMPUTE TOTAL 3 +; OVERFLOW OV; COMPUTE LIMIT 1 +; SET TOTAL 9; "
            "LABEL OV",
            "100002"},
           {"SET TOTAL 5; OVERFLOW OV; COMPUTE TOTAL 0 /; SET TOTAL 9; LABEL OV", "5"},
           {"OVERFLOW OV; SET TOTAL =OPENED; SET TOTAL 9; LABEL OV", "0"},
           {"SET BAL 1; OVERFLOW OV; SET BAL =NAME; GOTO GO; LABEL OV; RESTORE BAL; LABEL GO; SET TOTAL =BAL", "12.5"},
           {"SET BAL 1; OVERFLOW OV; SET BAL =LIMIT; GOTO GO; LABEL OV; RESTORE BAL; LABEL GO; SET TOTAL =BAL", "0"},
           {"CNVT NAME =BAL; SET BAL 0; CNVT BAL =NAME; SET TOTAL =BAL", "12.5"},
           {"SET REGION -7; CNVT CITY =REGION; CNVT TOTAL =CITY", "-7"},
           {"SET CITY _42; CNVT LIMIT =CITY; SET TOTAL =LIMIT", "42"},
           {"SET TOTAL 5; SET CITY abc; OVERFLOW OV; CNVT TOTAL =CITY; SET TOTAL 9; LABEL OV", "5"},
           {"SET TOTAL 5; SET NAME 1234567; OVERFLOW OV; CNVT LIMIT =NAME; SET TOTAL 9; LABEL OV", "5"},
       })
    expect_total(text, total);
}

// A restructure's move block from "0DO" to "0DN": what does not fit (MNAME) or converts not (MQTY) keeps its
// initial value, 3 of 5 occurrences come in a loop, and the other fields are still moved.
TEST_F(ScMove, RestructureBlockMovesTheOldRecord) {
  const char* kMoved =
      "FILE MOVED number=5 fs=1 org=3\n  MKEY A8 key=primary\n  MNAME %s init=\"none\"\n"
      "  MAMT %s\n  MTAGS A2 occurs=%d init=\"--\"\n  MQTY %s\nEND\n";
  char src[512];
  snprintf(src, sizeof src, kMoved, "A6", "P5.2S", 5, "P5S init=\"7\"");
  build(std::string("APPLICATION TST 01\n") + src);
  snprintf(src, sizeof src, kMoved, "A10", "B9.2S", 3, "L");
  build(std::string("APPLICATION TST 01\n") + src, "0DO");
  std::string block, checks;
  for (std::string f : {"MKEY", "MNAME", "MAMT", "MTAGS", "MQTY"}) {
    const std::string o = f == "MTAGS" ? "(AI)" : "(1)", lo = f + "_OVERFLOW", lc = f + "_CONTINUE";
    block += (f == "MTAGS" ? "BEGL AI 1 3 1; OVERFLOW " : "OVERFLOW ") + lo + "; SET 0DN." + f + o + " =0DO." + f + o +
             "; GOTO " + lc + "; LABEL " + lo + "; RESTORE 0DN." + f + o + "; LABEL " + lc +
             (f == "MTAGS" ? "; ENDL AI; " : "; ");
  }
  for (const char* c :
       {"MKEY K1", "MNAME none", "MAMT 12.34", "MTAGS(1) a1", "MTAGS(3) a3", "MTAGS(4) --", "MTAGS(5) --", "MQTY 7"})
    checks += std::string("IF 0DN.") + c + "; T:TOTAL TOTAL 1 +; ";
  expect_total(checks.c_str(), "8",
               "RESTORE 0DN.MOVED DEFAULT_RECORD; RESTORE 0DO.MOVED DEFAULT_RECORD; SET 0DO.MKEY K1; SET 0DO.MNAME "
               "ABCDEFGHIJ; SET 0DO.MAMT 12.34; SET 0DO.MTAGS(1) a1; SET 0DO.MTAGS(2) a2; SET 0DO.MTAGS(3) a3; "
               "SET 0DO.MQTY Y|" +
                   block);
}

TEST_F(ScLoopLabel, LoopsAndJumpsCountThePasses) {
  for (auto [text, total] : std::initializer_list<total_row>{
           {"BEGL A 1 3 1; TOTAL TOTAL 1 +; ENDL A", "3"},
           {"BEGL A 1 3 1; BEGL BI A 3 1; TOTAL TOTAL 1 +; ENDL BI; ENDL A", "6"},
           {"BEGL A 10 1 -3; TOTAL TOTAL 1 +; ENDL A", "4"},
           {"BEGL A 3 1 1; TOTAL TOTAL 1 +; ENDL A", "0"},
           {"BEGL A 2 1 -1; BEGL BI 1 0 1; TOTAL TOTAL 1 +; ENDL BI; TOTAL TOTAL 1 +; ENDL A", "2"},
           {"BEGL A 1 3 1; GOTO SKIP; TOTAL TOTAL 1 +; LABEL SKIP; TOTAL TOTAL 1 +; ENDL A", "3"},
           {"BEGL A 1 9 1; TOTAL TOTAL 1 +; IF TOTAL 2; T:GOTO OUT; ENDL A; LABEL OUT", "2"},
           {"LABEL TOP; TOTAL TOTAL 1 +; IF TOTAL 4 LT; T:GOTO TOP", "4"},
           {"CALC AI 2*(3+4)-10/3; BEGL A 1 AI 1; TOTAL TOTAL 1 +; ENDL A", "11"},
           {"CALC A 5; CALC BI A*A-1; BEGL A BI 1 -1; TOTAL TOTAL 1 +; ENDL A", "24"},
       })
    expect_total(text, total);
}

// READ stubbed as the record's return to its initial values, CLOSE and REWRITE as nothing.
int stub_read(PC_CTX* ctx, sc_stmt* st) {
  uint8_t r[kStmtSize];
  memcpy(r, st->rec, kStmtSize), memset(r + STMT_OPND, ' ', kStmtOpndLen);
  memcpy(r + STMT_OPND + 4, st->rec + STMT_OPND, 11), r[STMT_OPND + 30] = 6, st_le16(r, STMT_VERB, VERB_RESTORE);
  sc_stmt s{r, st->level, 0};
  return cmpl_[VERB_RESTORE](ctx, &s);
}
int stub_none(PC_CTX*, sc_stmt*) { return 1; }

// Saved copies of fields and records come back in the same and in a later event point and leave the TF
// word; RESTORE 6 and 7 give the initial record and value.
TEST_F(ScStoreMsg, SavedCopiesAndInitialValues) {
  cmpl_[VERB_READ] = stub_read, cmpl_[VERB_CLOSE] = cmpl_[VERB_REWRITE] = stub_none;
  const struct {
    const char *before, *stmts, *total;
  } rows[] = {
      {"", "SET BAL 3; STORE BAL; SET BAL 7; RESTORE BAL FIELD; SET TOTAL =BAL", "3"},
      {"", "SET LIMIT 4; STORE CUST RECORD; SET LIMIT 9; RESTORE CUST RECORD; SET TOTAL =LIMIT", "4"},
      {"", "SET LIMIT 4; RESTORE CUST DEFAULT_RECORD; COMPUTE BAL =LIMIT +; SET TOTAL =BAL", "12.5"},
      {"SET BAL 3; STORE BAL", "SET BAL 7; RESTORE BAL FIELD; SET TOTAL =BAL", "3"},
      {"", "IF BAL 12.5; STORE BAL; RESTORE BAL FIELD; RESTORE BAL; T:SET TOTAL 1; F:SET TOTAL 2", "1"},
      {"", "IF BAL 3; STORE CUST RECORD; RESTORE CUST RECORD; F:SET TOTAL 2; T:SET TOTAL 1", "2"},
      {"", "SET 0LA.ENTRY_RESTRUCT_STAT1 104260; READ 0LA.ENTRY; SET TOTAL =0LA.ENTRY_RESTRUCT_STAT1", "0"},
      {"SET 0LA.ENTRY_RESTRUCT_STAT1 104260",
       "CLOSE 0DN.NEW; CLOSE 0DO.OLD; STORE 0LA.ENTRY RECORD; READ 0LA.ENTRY; RESTORE 0LA.ENTRY RECORD; "
       "REWRITE 0LA.ENTRY; SET TOTAL =0LA.ENTRY_RESTRUCT_STAT1",
       "104260"},
  };
  for (auto& r : rows) expect_total(r.stmts, r.total, r.before);
  sc_init();
}

// A sound record gives no finding; a bad packed sign, a binary past its digits, a date that does not convert
// and an unknown token code give one each, with a class-1 message, and the statement still succeeds.
TEST_F(ScStoreMsg, VerifyCountsEachFinding) {
  kivo_test::scoped_hook messages(interp_seams.add_msg, capture);
  stmts(1, "RESTORE CUST DEFAULT_RECORD; SET STATE 2");
  stmts(2, "SET TOTAL 0; SET 0LA.WARNINGS 1; VERIFY CUST RECORD 1; T:COMPUTE TOTAL =0LA.WARNINGS +; VERIFY BAL FIELD");
  ASSERT_EQ(compile({1, 2}), 1) << (errs_.empty() ? "" : errs_[0].msg);
  msgs_.clear(), run(0), run(1, false);
  EXPECT_TRUE(msgs_.empty() && total_is("1")) << msgs_;
  run(0);
  field("BAL")[5] = 0x15, st_le16(field("REGION"), 0, 20000), st_le32(field("OPENED"), 0, 0x7FFFFFFF);
  field("STATE")[0] = 7;
  EXPECT_EQ(run(1, false), 1);
  EXPECT_EQ(msgs_,
            "1:REGION: value not valid;1:BAL: value not valid;1:OPENED: value not valid;1:STATE: value not valid;"
            "1:BAL: value not valid;");
  EXPECT_TRUE(total_is("5"));
}

// WARNING, MESSAGE and ERROR post classes 1, 4 and 3, ERROR asking the statements to stop; CANCEL posts
// class 3 and unwinds with 4.
TEST_F(ScStoreMsg, MessagesAndCancel) {
  kivo_test::scoped_hook messages(interp_seams.add_msg, capture);
  const struct {
    const char *stmts, *msgs;
    uint32_t stop, unwind;
  } rows[] = {
      {"WARNING careful; MESSAGE note_it", "1:careful;4:note it;", 0, 1},
      {"ERROR bad___value; MESSAGE after", "3:bad   value;4:after;", kResultStop, 1},
      {"SET BAL 0; IF BAL 1; MESSAGE x; F:CANCEL gone; WARNING never", "4:x;3:gone;", 0, PI_END_CANCEL},
  };
  for (auto& r : rows) {
    stmts(++ep_, r.stmts);
    ASSERT_EQ(compile({ep_}), 1) << (errs_.empty() ? "" : errs_[0].msg);
    msgs_.clear();
    EXPECT_EQ(run(0), r.unwind);
    EXPECT_EQ(msgs_, r.msgs);
    EXPECT_EQ(result_ & kResultStop, r.stop);
  }
}

// Each bad statement is named with its sequence number; the others are still checked; no module is built.
TEST_F(ScErrors, BadStatementsAreCollectedAndNoModuleIsBuilt) {
  const std::pair<const char*, const char*> rows[] = {
      {"RETURN; SET TOTAL 1; DISPLAY; GOSUB SUB",
       "1 verb not supported: RETURN|3 DISPLAY names no field|4 verb not supported: GOSUB"},
      {"SET FLAGS(4) Y; SET FLAGS(3) =FLAGS(5); STORE NOTE(6); STORE CUST RECORD",
       "1 occurrence 4 of FLAGS|2 occurrence 5 of FLAGS|3 occurrence 6 of NOTE"},
      {"TTTTT:VERIFY BAL FIELD; CNVT BAL =LIMIT; VERIFY BAL FILE",
       "1 a test at level 5|2 CNV TEXT needs one alpha|3 VERIFY kind 2"},
      {"*; #105", "2 verb index 105 above 104"},
      {"TTTTT:IF BAL 1", "1 a test at level 5"},
      {"IF BAL =NAME; SET NOSUCH 1", "1 BAL and NAME cannot be compared|2 field NOSUCH"},
      {"GOTO NOWHERE; LABEL TWICE; LABEL TWICE", "3 label TWICE defined twice|1 label NOWHERE not defined"},
      {"BEGL A 1 3 0; COMPUTE BAL 1 P; ENDL BI; STORE BAL DEFAULT_FIELD",
       "1 loop step 0|2 operator P|3 END LOOP without|4 STORE kind"},
      {"CALC AI 2+; CALC A (1; CALC A 1)", "1 number or index expected|2 ) missing|3 ) unexpected"},
      {"CALL NO~SUCH; PASS REGION; CALL MM~ALLOC~INFO; CALL ../x%add2; CALL a/b%add2; PASS BAL Y STORE_FIELD",
       "1 unknown routine NO_SUCH|3 MM_ALLOC_INFO takes 3 arguments, 1 passed|4 bad library name|5 bad library "
       "name|6 area kind 5"},
      {"READ NOSUCH; CLOSE CUST; REWRITE CUST; #33", "1 file NOSUCH|4 END READ without BEG READ"},
  };
  for (auto [text, want] : rows) {
    stmts(++ep_, text);
    EXPECT_EQ(compile({ep_}), 0) << text;
    std::istringstream in(want);
    size_t i = 0;
    for (std::string w; std::getline(in, w, '|'); ++i) {
      ASSERT_LT(i, errs_.size()) << w;
      const sc_error& e = errs_[i];
      // Line n of an event point is stored as sequence n x 100.
      EXPECT_TRUE(e.key[STMT_EP] == ep_ &&
                  std::to_string(ld_le32(e.key, STMT_SEQ) / kStmtSeqStep) == w.substr(0, w.find(' ')));
      const std::string m(e.msg, strnlen(e.msg, sizeof e.msg));  // a C string without the padding
      EXPECT_TRUE(m.size() < sizeof e.msg && m.back() != ' ' && m.find(w.substr(w.find(' ') + 1)) != m.npos) << m;
    }
    EXPECT_EQ(errs_.size(), i) << text;
  }
}

// The event-point slot is one byte: past 256 event points with statements the module is refused.
TEST_F(ScErrors, EventPointSlotsEndAt256) {
  stmts(1, "EXIT");
  toc_before_ = 256;
  EXPECT_EQ(compile({2}), 1);  // no statements: no slot
  EXPECT_EQ(compile({1}), 0);
  EXPECT_EQ(err(), "process P: over 256 event points with code");
  ASSERT_EQ(errs_.size(), 1u);  // the event point's own error, without a statement
  EXPECT_EQ(sc_err_text(errs_[0]), "P ep 1: process P: over 256 event points with code");
  toc_before_ = 255;
  EXPECT_TRUE(compile({2, 1}) && em_->em_toc_cnt == 256u);
}

// Comments, labels, prefixed statements and three event points with statements: the TO rows and TP
// records, a prefixed statement's entry at its TFTEST; no flag bits set in the code.
TEST_F(ScTraps, TrapRecordsAndEventPointRows) {
  stmts(1, "*; IF BAL 1; T:SET TOTAL 2");
  stmts(3, "LABEL A; **; F:END; GOTO A");
  stmts(4, "EXIT");
  ASSERT_EQ(compile({1, 2, 3, 4}), 1) << (errs_.empty() ? "" : errs_[0].msg);
  std::string got;
  for (uint32_t i = 1; i <= em_->em_toc_cnt + em_->em_trap_cnt; ++i) {
    const bool to = i <= em_->em_toc_cnt;
    const uint8_t* r = MADDR(to ? em_->em_toc_arb : em_->em_trap_arb, to ? i : i - em_->em_toc_cnt);
    for (size_t b = 0; b < (to ? size_t{TOC_LEN} : size_t{TRAP_LEN}); ++b)
      got += "0123456789abcdef"[r[b] >> 4], got += "0123456789abcdef"[r[b] & 15];
    got += ' ';
  }
  EXPECT_EQ(got,
            "010000000100000003000000 030100000400000007000000 040200000800000008000000 000000006400000001000000 "
            "01000000c800000001000000 010020002c01000001000000 000000006400000003000100 00000000c800000003000100 "
            "010048002c01000003000100 010058009001000003000100 010068006400000004000200 ");
  for (em_entry at = {1, 0}; at.off < ctx_.bld.pos.off; at.off += inst_len(INST_RLOC(at, em_->em_inst_arb)))
    EXPECT_EQ(INST_RLOC(at, em_->em_inst_arb)[2], 0) << at.off;
}

// Built-in routines through the routine file, external ones from the test library in KIVO_LIB_DIR, the pass
// list with and without copies, and the checks of names and argument counts made at run time.
class BuiltinRoutines : public ScFixture {
 protected:
  void SetUp() override {
    ScFixture::SetUp();
    setenv("KIVO_LIB_DIR", KVTEST_LIB_DIR, 1);
  }
  void TearDown() override { unsetenv("KIVO_LIB_DIR"), ScFixture::TearDown(); }
};

TEST_F(BuiltinRoutines, CallsTakeThePassListAndSetTheirOutcome) {
  // Separators of a language that writes "1.234,5": the mask routine rewrites them into the stored form.
  const char dec = com.dec_sep, thou = com.thou_sep;
  com.dec_sep = ',', com.thou_sep = '.';
  for (auto [text, total] : std::initializer_list<total_row>{
           {"PASS ONO; PASS ONO; PASS CITY; CALL MM~ALLOC~INFO; T:IF ONO 0 GT; TT:SET TOTAL 1", "1"},
           {"PASS REGION; PASS ONO; PASS CITY; CALL MM~ALLOC~INFO 2; F:SET TOTAL 7", "7"},  // REGION: 2 bytes
           {"SET ONO 5; PASS ONO; PASS ONO; CALL libkvtest%add2; T:SET TOTAL =ONO", "10"},
           {"SET ONO 5; PASS ONO N; PASS ONO; CALL libkvtest%add2; T:SET TOTAL =ONO", "5"},  // SHARE? N: a copy
           {"SET NAME libkvtest%add2; SET ONO 1; PASS ONO; PASS ONO; CALL =NAME; T:SET TOTAL =ONO", "2"},
           {"PASS ONO; CALL libkvtest%add2 2; F:SET TOTAL 4", "4"},    // add2 refuses one argument
           {"PASS BAL; CALL CV~XLATE~NUM~MSK 2; F:SET TOTAL 5", "5"},  // a field shorter than the mask area
           {"SET MSK ZZ.ZZ9,99; PASS MSK; CALL CV~XLATE~NUM~MSK; SET NOTE(1) ZZ,ZZ9.99; T:IF NOTE(1) =MSK IN; TT:SET "
            "TOTAL 3",
            "3"},
           {"PASS REGION; PASS NAME; CALL GET~ADDR; T:SET TOTAL 9", "9"},
           {"PASS REGION; PASS CITY; CALL GET~ADDR 2; F:SET TOTAL 8", "8"},       // CITY cannot hold an address
           {"PASS CUST Y RECORD; PASS NAME; CALL GET~ADDR; T:SET TOTAL 6", "6"},  // a record by its address
       })
    expect_total(text, total);
  com.dec_sep = dec, com.thou_sep = thou;
}

TEST_F(BuiltinRoutines, NamesFromFieldsAreCheckedAtEachCall) {
  const std::pair<const char*, const char*> rows[] = {
      {"SET NAME MM~ALLOC~INFO; PASS REGION; CALL =NAME", "MM_ALLOC_INFO takes 3 arguments, 1 passed"},
      {"SET NAME NO~SUCH; CALL =NAME", "unknown routine NO_SUCH"},
      {"SET NAME ..~kvtest%add2; CALL =NAME", "bad library name in .._kvtest:add2"},
      {"SET NAME /tmp/x%add2; CALL =NAME", "bad library name in /tmp/x:add2"},
      {"SET NAME nolib%add2; CALL =NAME", "routine add2 of libnolib.so not loaded"},
      {"SET NAME libkvtest%add2; PASS ONO; CALL =NAME 1", "statement failed"},  // FAIL 1: F is an error
  };
  for (auto [text, want] : rows) {
    stmts(++ep_, text);
    ASSERT_EQ(compile({ep_}), 1) << text;
    EXPECT_EQ(run(0), 4) << text;
    const std::vector<std::string> e = std::exchange(captured_errors(), {});
    EXPECT_TRUE(e.size() == 1 && e[0].find(want) != std::string::npos) << text;
  }
}

// Every row is in the routine file under its index and count; a row added later joins it and is called.
TEST_F(BuiltinRoutines, TableRowsAreFoundInTheRoutineFile) {
  size_t n;
  const rt_fn_row* t = int_fns_tbl(&n);
  for (size_t i = 0; i < n; ++i) {
    rt_fn_ref ref{};
    ASSERT_EQ(rt_fn_find(t[i].name, strlen(t[i].name), &ref), 1) << t[i].name;
    EXPECT_TRUE(ref.row == i && ref.argc == t[i].argc) << t[i].name;
  }
  static int seen = 0;
  const rt_fn_row row{"KV_TEST_ROW", [](RT_CALL& c) { return seen = c.argc, 1; }, 2, 0};
  if (rt_fn_ref ref{}; !rt_fn_find(row.name, strlen(row.name), &ref)) {
    ASSERT_EQ(rt_add_fn(row), 1);
  }
  EXPECT_EQ(rt_add_fn(row), 0);  // a name added twice is refused
  EXPECT_EQ(rt_add_fn({"A_NAME_LONGER_THAN_23_CHARS", row.adapter, 0, 0}), 0);
  expect_total("PASS REGION; PASS BAL; CALL KV~TEST~ROW; T:SET TOTAL 6", "6");
  EXPECT_EQ(seen, 2);
}

using StmtInvoke = BuiltinRoutines;

// RUN: T when the command exits 0; END? "Y" ends the process after it.
TEST_F(StmtInvoke, RunTakesTheCommandsExitStatus) {
  for (auto [text, total] : std::initializer_list<total_row>{
           {"RUN true; T:SET TOTAL 1", "1"},
           {"RUN exit_3; F:SET TOTAL 2", "2"},
           {"SET NAME exit_0; RUN =NAME; T:SET TOTAL 3", "3"},
           {"RUN true Y; SET TOTAL 4", "0"},
       })
    expect_total(text, total);
}

// The invocation verbs reach the executive through its hook with the verb's process type, the invocation type and
// END?; end codes 1 and 2 are T, 24 and 25 end the invoker with them, and without an executive the verb fails.
TEST_F(StmtInvoke, InvocationVerbsCallTheExecutive) {
  static std::string seen;
  static uint32_t code;
  struct row {
    const char *text, *seen;
    uint32_t code, end;
    const char* total;
  };
  const row rows[] = {
      {"SUBR PROC_A; T:SET TOTAL 1", "0DN PROC A 6 0 0", 1, 1, "1"},
      {"MENU TST.M1 RELATED Y; F:SET TOTAL 2", "TST M1 1 1 1", 4, 1, "2"},
      {"INQUIRY X DETACHED; T:SET TOTAL 3", "0DN X 9 2 0", 2, 1, "3"},
      {"STATUS X; SET TOTAL 4", "0DN X 10 0 0", 25, 25, "0"},
      {"JOB X; SET TOTAL 5", "0DN X 8 0 0", 24, 24, "0"},
  };
  {
    kivo_test::scoped_hook invoke(ii_hooks.invoke, [](PCB*, const char* ap, const char* name, uint8_t type, uint8_t inv,
                                                      uint8_t chain) {
      seen = std::string(ap, 3) + " " + std::string(name, 30).erase(std::string(name, 30).find_last_not_of(' ') + 1) +
             " " + std::to_string(type) + " " + std::to_string(inv) + " " + std::to_string(chain);
      return code;
    });
    for (const row& r : rows) {
      stmts(++ep_, std::string("SET TOTAL 0; ") + r.text);
      ASSERT_EQ(compile({ep_}), 1) << r.text;
      code = r.code;
      EXPECT_EQ(run(0), static_cast<int>(r.end)) << r.text;
      EXPECT_TRUE(seen == r.seen && total_is(r.total)) << r.text << ": " << seen;
    }
  }
  kivo_test::scoped_hook no_invoke(ii_hooks.invoke, nullptr);  // the verbs with no executive
  EXPECT_EQ(run(0), 4);
  EXPECT_EQ(std::exchange(captured_errors(), {}).size(), 1u);
}

}  // namespace
}  // namespace kivo::test
