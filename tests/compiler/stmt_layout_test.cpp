// The operand layouts: coverage of every layout, statement lines against
// golden records, the records the generators' statement builders write, the
// occurrence rules and the columns that refused lines point at.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <utility>

#include "compiler/stmt_layout.h"
#include "em_test_util.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "stmt_line_util.h"

namespace kivo {
namespace {

using test::cols;
using test::hex;
using test::line_at;

// The record bytes 78-151 a line gives, or the refusal's column.
std::string degen(const std::string& l, int* column = nullptr) {
  uint8_t rec[kStmtSize] = {};
  stmt_error err{};
  int ok = stmt_degen(l.data(), l.size(), rec, &err);
  if (column) *column = err.column;
  return ok ? hex(rec + STMT_PREFIX, kStmtSize - STMT_PREFIX) : "refused at " + std::to_string(err.column);
}

// Every verb has one of the 46 layouts, whose fields and fillers cover each
// operand byte and column once; the fillers named here are what the fields
// leave, including the four layouts whose written fillers overlapped fields.
TEST(StmtLayout, FieldsAndDerivedFillersCoverTheOperandAreaOnce) {
  bool layout_seen[kLayoutCount + 1] = {};
  for (int v = 0; v < kVerbCount; ++v) {
    int bytes[kStmtOpndLen] = {}, columns[kStmtOpndLen] = {};
    for (const xme_stmt* e = xme_stmt_desc[v]; e->type; ++e) {
      for (int i = 0; i < e->rec_len; ++i) ++bytes[e->rec_off + i];
      for (int i = 0; i < e->scr_width; ++i) ++columns[e->scr_col + i];
    }
    for (size_t i = 0; i < kStmtOpndLen; ++i) {
      ASSERT_EQ(bytes[i], 1) << "verb " << v << " byte " << i;
      ASSERT_EQ(columns[i], 1) << "verb " << v << " column " << i + kOpndCol;
    }
    layout_seen[stmt_layout_no(v)] = true;
  }
  for (int l = 1; l <= kLayoutCount; ++l) EXPECT_TRUE(layout_seen[l]) << l;
  // verb, the filler record bytes as "offset+length ...", filler column count
  const std::tuple<int, const char*, int> rows[] = {{VERB_ACTION, "36+28", 19},
                                                    {VERB_IF, "61+3", 6},
                                                    {VERB_SET, "60+4", 8},
                                                    {VERB_BEG_LOOP, "16+48", 53},
                                                    {VERB_END, "0+64", 64},
                                                    {VERB_SET_TEMP, "51+13", 18},
                                                    {VERB_DATE_ADD, "61+3", 7},
                                                    {VERB_DEBUG, "50+14", 14},
                                                    {VERB_PUTATTR, "25+3 58+6", 11},
                                                    {VERB_DELATTR, "25+39", 39},
                                                    {VERB_MOVEATTR, "11+17 58+6", 25},
                                                    {VERB_GETATTRS, "22+42", 42}};
  for (auto [verb, runs, ncols] : rows) {
    std::string got;
    int width = 0;
    for (const xme_stmt* e = xme_stmt_desc[verb]; e->type; ++e) {
      if (e->type != XT_FILLER) continue;
      if (e->rec_len) got += (got.empty() ? "" : " ") + std::to_string(e->rec_off) + "+" + std::to_string(e->rec_len);
      width += e->scr_width;
    }
    EXPECT_EQ(got, runs) << se_get_verb_spell(verb);
    EXPECT_EQ(width, ncols) << se_get_verb_spell(verb);
  }
  EXPECT_EQ(std::string(se_get_verb_spell(VERB_REFRESH)), "REFRESH ");
  EXPECT_EQ(verb_spell_tbl[kVerbCount], nullptr);
  EXPECT_EQ(se_get_verb_spell(kVerbCount), nullptr);
}

// One line per verb, against the golden record bytes 78-151 (prefix, blank,
// verb, zero, operands); the line shown back ("> ") is the editor's test's.
TEST(StmtLayout, LinesGiveTheirGoldenRecords) {
  const std::string path = std::string(KIVO_SOURCE_DIR) + "/tests/compiler/stmt_golden.txt";
  std::ifstream in(path);
  std::string l, all, got;
  std::string line;
  while (std::getline(in, l)) {
    all += l + "\n";
    if (l.rfind("= ", 0) == 0) {
      got += "= " + degen(line) + "\n";
    } else if (l.rfind("> ", 0) == 0) {
      got += l + "\n";
    } else {
      line = l;
      got += l + "\n";
    }
  }
  ASSERT_FALSE(all.empty());
  if (getenv("KIVO_UPDATE_GOLDEN")) std::ofstream(path) << got;
  EXPECT_EQ(got, all);
}

// The records the restructure and verify generators write, built from lines.
TEST(StmtLayout, GeneratorStatementsFromLinesByteForByte) {
  struct row {
    std::string line;
    uint16_t verb;
    std::initializer_list<std::pair<int, std::string>> opnd;  // over a blank area
  };
  const std::string none("\0\0\2\0", 4), one("\1\0\0\0", 4), ai("AI\1\0", 4);
  const row rows[] = {
      {line_at("OPEN", {{16, "0DN"}, {20, "CUSTOMER"}, {37, "N"}, {45, "2"}}),
       VERB_OPEN,
       {{0, "0DNCUSTOMER"}, {11, "0"}, {12, "\2"}}},
      {line_at("CLOSE", {{16, "0DO"}, {20, "CUSTOMER"}, {45, "Y"}}), VERB_CLOSE, {{0, "0DOCUSTOMER"}, {11, "1"}}},
      {line_at("WRITE", {{16, "0DN"}, {20, "CUSTOMER"}, {45, "2"}}), VERB_WRITE, {{0, "0DNCUSTOMER"}, {11, "\2"}}},
      {line_at("REWRITE", {{16, "0LA"}, {20, "ENTRY"}, {45, "2"}}), VERB_REWRITE, {{0, "0LAENTRY   "}, {11, "\2"}}},
      {line_at("READ", {{16, "0LA"}, {20, "ENTRY"}, {35, "1"}, {45, "2"}}),
       VERB_READ,
       {{0, "0LAENTRY   "}, {11, "\1"}, {12, "\2"}}},
      {line_at("READ", {{16, "0DO"}, {20, "CUSTOMER"}, {35, "0"}, {45, "0"}, {58, "CUSTOMER NO"}}),
       VERB_READ,
       {{0, "0DOCUSTOMER"}, {11, std::string(2, '\0')}, {13, "CUSTOMER NO"}}},
      {line_at("SET", {{16, "0DN"}, {20, "AMOUNT"}, {43, "  1"}, {50, "0DO"}, {54, "OLD AMOUNT"}, {77, "AI"}}),
       VERB_SET,
       {{0, one}, {4, "0DNAMOUNT"}, {30, ai}, {34, "0DOOLD AMOUNT"}}},
      {line_at("SET", {{16, "0LA"}, {20, "STATUS CODE"}, {43, "  1"}, {54, "104210"}}),
       VERB_SET,
       {{0, one}, {4, "0LASTATUS CODE"}, {30, none}, {37, "104210"}}},
      {line_at("IF", {{16, "0DN"}, {20, "AMOUNT"}, {43, "  1"}, {47, "NE"}, {50, "0DO"}, {54, "AMOUNT"}}),
       VERB_IF,
       {{0, one}, {4, "0DNAMOUNT"}, {30, none}, {34, "0DOAMOUNT"}, {60, "\6"}}},
      {line_at("STORE", {{16, "0LA"}, {20, "ENTRY"}, {47, "RECORD"}}),
       VERB_STORE,
       {{0, none}, {4, "0LAENTRY"}, {30, "\3"}}},
      {line_at("RESTORE", {{16, "0DN"}, {20, "AMOUNT"}, {43, "AI"}, {47, "DEFAULT FIELD"}}),
       VERB_RESTORE,
       {{0, ai}, {4, "0DNAMOUNT"}, {30, "\7"}}},
      {line_at("BEG LOOP", {{16, "AI"}, {21, "  1"}, {28, " 12"}, {38, "  1"}}),
       VERB_BEG_LOOP,
       {{0, ai}, {4, one}, {8, std::string("\14\0\0\0", 4)}, {12, one}}},
      {line_at("END LOOP", {{16, "AI"}}), VERB_END_LOOP, {{0, ai}}},
      {line_at("OVERFLOW", {{16, "AMOUNT                OVERFLOW"}}),
       VERB_OVERFLOW,
       {{0, "AMOUNT                OVERFLOW"}}},
      {line_at("WARNING", {{16, "FIELD CHANGED"}}, "TF"), VERB_WARNING, {{0, "FIELD CHANGED"}}},
      {line_at("VERIFY", {{16, "0DN"}, {20, "AMOUNT"}, {43, "  2"}, {52, "FIELD"}, {72, "1"}}),
       VERB_VERIFY,
       {{0, std::string("\2\0\0\0", 4)}, {4, "0DNAMOUNT"}, {30, "\1\1"}}},
      {line_at("END PROC", {}, "T"), VERB_END_PROC, {}},
      {line_at("CREATE", {{16, "0DN"}, {20, "CUSTOMER"}, {37, "N"}, {45, "2"}}),
       VERB_CREATE,
       {{0, "0DNCUSTOMER"}, {11, "0"}, {12, "\2"}}},
      {line_at("BEG READ", {{16, "0DO"}, {20, "CUSTOMER"}, {35, "1"}}),
       VERB_BEG_READ,
       {{0, "0DOCUSTOMER"}, {11, "\1"}}},
      {line_at("CNV TEXT", {{16, "0DN"}, {20, "TEXT"}, {43, "  1"}, {50, "0DO"}, {54, "AMOUNT"}, {77, "  0"}}),
       VERB_CNV_TEXT,
       {{0, one}, {4, "0DNTEXT"}, {30, std::string(4, '\0')}, {34, "0DOAMOUNT"}}},
      {line_at("RESTORE", {{16, "0DN"}, {20, "CUSTOMER"}, {47, "DEFAULT RECORD"}}),
       VERB_RESTORE,
       {{0, none}, {4, "0DNCUSTOMER"}, {30, "\6"}}},
      {line_at("GOTO", {{16, "A NAME OF 22 CHARACTERCONTINUE"}}), VERB_GOTO, {{0, "A NAME OF 22 CHARACTERCONTINUE"}}},
      {line_at("LABEL", {{16, "A NAME OF 22 CHARACTEROVERFLOW"}}), VERB_LABEL, {{0, "A NAME OF 22 CHARACTEROVERFLOW"}}},
      {line_at("TRAP", {}), VERB_TRAP, {}},
      {line_at("END", {}, "F"), VERB_END, {}},
  };
  for (const row& r : rows) {
    uint8_t want[kStmtSize] = {};
    memcpy(want + STMT_PREFIX, r.line.data(), 5);
    want[STMT_SPARE2] = ' ';
    st_le16(want, STMT_VERB, r.verb);
    memset(want + STMT_OPND, ' ', kStmtOpndLen);
    for (auto& [off, bytes] : r.opnd) memcpy(want + STMT_OPND + off, bytes.data(), bytes.size());
    EXPECT_EQ(degen(r.line), hex(want + STMT_PREFIX, kStmtSize - STMT_PREFIX)) << r.line;
  }
}

// Occurrence text: numbers, index letters, none, and what is refused.
TEST(StmtLayout, OccurrenceTextRules) {
  // text, type, keep a typed 0, state, value bytes, kind
  const std::tuple<const char*, uint16_t, bool, int, const char*, uint16_t> rows[] = {
      {" 5 ", XT_OCC, false, FLD_PRESENT, "\5\0", OCC_NUMBER},
      {"-12", XT_OCC, false, FLD_PRESENT, "\xF4\xFF", OCC_NUMBER},
      {"AI ", XT_OCC, false, FLD_PRESENT, "AI", OCC_INDEX},
      {" A ", XT_LOOP_BOUND, false, FLD_PRESENT, "A ", OCC_INDEX},
      {"A5 ", XT_OCC, false, FLD_INVALID, "\0\0", OCC_NONE},
      {"5A ", XT_OCC, false, FLD_INVALID, "\0\0", OCC_NONE},
      {"-A ", XT_OCC, false, FLD_INVALID, "\0\0", OCC_NONE},
      {"AB ", XT_OCC, false, FLD_INVALID, "\0\0", OCC_NONE},
      {"AII", XT_OCC, false, FLD_INVALID, "\0\0", OCC_NONE},
      {"a  ", XT_OCC, false, FLD_INVALID, "\0\0", OCC_NONE},
      {"-  ", XT_OCC, false, FLD_INVALID, "\0\0", OCC_NONE},
      {"1-2", XT_OCC, false, FLD_INVALID, "\0\0", OCC_NONE},
      {"   ", XT_OCC, false, FLD_BLANK, "\0\0", OCC_NONE},
      {"  0", XT_OCC, false, FLD_PRESENT, "\0\0", OCC_NONE},
      {"  0", XT_LOOP_BOUND, true, FLD_PRESENT, "\0\0", OCC_NUMBER},
      {"-5 ", XT_NUMBER, false, FLD_INVALID, "\0\0", OCC_NONE},
      {"-5 ", XT_LOOP_BOUND, true, FLD_PRESENT, "\xFB\xFF", OCC_NUMBER},
      {"5  ", XT_LOOP_INDEX, true, FLD_INVALID, "\0\0", OCC_NONE},
      {"ZI ", XT_LOOP_INDEX, true, FLD_PRESENT, "ZI", OCC_INDEX},
  };
  for (auto [text, type, keep, state, value, kind] : rows) {
    uint8_t occ[4];
    EXPECT_EQ(get_occ(text, 3, type, keep, occ), state) << text;
    if (state == FLD_INVALID) continue;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(occ), 2), std::string(value, 2)) << text;
    EXPECT_EQ(ld_le16(occ, 2), kind) << text;
  }
  // A typed 0 is none on SET, a number on BEG LOOP and CNV TEXT's second operand.
  int col = 0;
  std::string cnv =
      degen(line_at("CNV TEXT", {{16, "BEN"}, {20, "T"}, {43, "  0"}, {50, "BEN"}, {54, "R"}, {77, "  0"}}), &col);
  ASSERT_EQ(col, 0) << cnv;
  EXPECT_EQ(cnv.substr(2 * (STMT_OPND - STMT_PREFIX), 8), "00000200");
  EXPECT_EQ(cnv.substr(2 * (STMT_OPND - STMT_PREFIX + 30), 8), "00000000");
  // value, kind, shown
  const std::tuple<int16_t, uint16_t, const char*> shown[] = {{5, 0, "005"},    {999, 0, "999"},  {-12, 0, "-12"},
                                                              {-150, 0, "???"}, {1000, 0, "???"}, {0, 2, "   "},
                                                              {7, 3, "   "}};
  for (auto [v, k, want] : shown) {
    uint8_t occ[4];
    st_le16(occ, 0, static_cast<uint16_t>(v));
    st_le16(occ, 2, k);
    char out[3];
    put_occ(occ, out);
    EXPECT_EQ(std::string(out, 3), want) << v;
  }
  uint8_t occ[4] = {'A', 'I', 1, 0};
  char out[3];
  put_occ(occ, out);
  EXPECT_EQ(std::string(out, 3), "AI ");
}

// A line that does not fit its verb's layout is refused at the column of
// its first fault.
// Every line of an event point of up to a thousand lines gets a number
// above the line before's with no line-feed byte in its stored form, which
// a flat export would refuse; the lines around 26 to 28 show the skip.
TEST(StmtLayout, SequenceNumbersRiseAndHoldNoLineFeed) {
  const struct {
    uint32_t n, want;
  } rows[] = {{1, 100}, {25, 2500}, {26, 2816}, {27, 2817}, {28, 2818}, {29, 2900}, {100, 10000}};
  for (const auto& r : rows) {
    uint32_t seq = 0;
    for (uint32_t n = 1; n <= r.n; ++n) seq = stmt_seq(n, seq);
    EXPECT_EQ(seq, r.want) << r.n;
  }
  uint32_t seq = 0;
  for (uint32_t n = 1; n <= 1000; ++n) {
    const uint32_t next = stmt_seq(n, seq);
    ASSERT_GT(next, seq) << n;
    uint8_t b[4];
    st_le32(b, 0, next);
    ASSERT_EQ(memchr(b, '\n', 4), nullptr) << n;
    seq = next;
  }
}

TEST(StmtLayout, RefusedLinesNameTheirColumn) {
  const std::pair<std::string, int> rows[] = {
      {line_at("SET", {{20, "RATE"}}, "X"), 1},
      {line_at("SET", {{20, "RATE"}}, "T F"), 1},
      {line_at("SETT", {{20, "RATE"}}), 7},
      {line_at("SET", {{20, "RATE"}}, "C"), 16},  // unchecked prefix: the application is still required
      {line_at("SET", {{16, "BEN"}}), 20},
      {line_at("SET", {{16, "BEN"}, {20, "RATE"}, {43, "A1"}}), 43},
      {line_at("SET", {{16, "BEN"}, {20, "RATE"}, {77, "-A"}}), 77},
      {line_at("IF", {{16, "BEN"}, {20, "RATE"}, {47, "XX"}, {54, "1"}}), 47},
      {line_at("IF", {{16, "BEN"}, {20, "RATE"}, {54, "1"}}), 47},
      {line_at("OPEN", {{16, "APP"}, {20, "FILE"}, {37, "Q"}}), 37},
      {line_at("READ", {{16, "APP"}, {20, "FILE"}, {35, "3"}}), 35},
      {line_at("BEG LOOP", {{16, "5"}, {21, "1"}, {28, "9"}}), 16},
      {line_at("SET TEMP", {{16, " 1 2 "}, {25, "1"}, {33, "1"}, {37, "FROM"}, {42, "1"}}), 16},
      {line_at("SET TEMP", {{16, " 129 "}, {25, "1"}, {33, "1"}, {37, "FROM"}, {42, "1"}}), 16},
      {line_at("SET TEMP", {{16, "  8  "}, {25, "1"}, {33, "1"}, {37, "ONTO"}, {42, "1"}}), 37},
      {line_at("STORE", {{16, "APP"}, {20, "F"}, {47, "FILE"}}), 47},
      {line_at("MENU", {{20, "MAIN"}, {53, "NEARBY"}}), 53},
      {line_at("LOGOUT", {{24, "N"}}) + "x", 81},
  };
  for (auto& [l, want] : rows) {
    int col = 0;
    degen(l, &col);
    EXPECT_EQ(col, want) << l;
  }
  // Lines are read in the language's spelling of the verbs.
  memcpy(opcode_tbl[VERB_COMMENT], "REM     ", kVerbLen);
  int rem = -1, star = -1;
  degen(line_at("REM", {{16, "NOTE"}}), &rem);
  degen(line_at("*", {{16, "NOTE"}}), &star);
  memset(opcode_tbl[VERB_COMMENT], 0, kVerbLen);  // back to the built-in spelling
  EXPECT_EQ(rem, 0);
  EXPECT_EQ(star, 7);
  int col = 0;
  EXPECT_EQ(degen(line_at("SET TEMP", {{16, " 123 "}, {25, "1"}, {33, "1"}, {37, "INTO"}, {42, "1"}}), &col).size(),
            2 * (kStmtSize - STMT_PREFIX));
  EXPECT_EQ(degen(line_at("SET TEMP", {{16, "  8  "}, {25, "1"}, {33, "1"}, {37, "FROM"}, {42, "1"}}), &col).size(),
            2 * (kStmtSize - STMT_PREFIX));
}

}  // namespace
}  // namespace kivo
