// Statements as text: every verb's golden line read and shown back, in the
// built-in and a respelled language; prefixes, "C" lines, BOLD, "---", the
// relational words, required fields, a new line's defaults; a row's runs and
// items; the coded constants.
#include <fstream>
#include <sstream>

#include "fm/fm_open.h"
#include "fm/la.h"
#include "se_test_util.h"

namespace kivo::test {
namespace {

const std::string kGolden = std::string(KIVO_SOURCE_DIR) + "/tests/compiler/stmt_golden.txt";

// Each line's record bytes 78-151 and the line shown back, with `respell`
// applied to the verb columns of what is typed and shown.
std::string convert_all(SeText* t, const std::string& text, std::string (*respell)(std::string)) {
  std::istringstream in(text);
  std::string l, out;
  while (std::getline(in, l)) {
    if (l.rfind("= ", 0) == 0 || l.rfind("> ", 0) == 0) continue;
    uint8_t rec[kStmtSize];
    SeText::fresh(rec);
    int col = 0;
    const bool ok = t->read(respell(l), rec, &col);
    out += l + "\n= " + (ok ? hex(rec + STMT_PREFIX, kStmtSize - STMT_PREFIX) : "refused at " + std::to_string(col)) +
           "\n> " + respell(t->shown(rec)) + "\n";
  }
  return out;
}

std::string same(std::string l) { return l; }

// "*" is "REM" and "SET" is "LET" in language 01.
std::string to_01(std::string l) {
  if (l.size() >= 14 && l.compare(6, 8, "*       ") == 0) l.replace(6, 8, "REM     ");
  else if (l.size() >= 14 && l.compare(6, 8, "SET     ") == 0) l.replace(6, 8, "LET     ");
  return l;
}
std::string from_01(std::string l) {
  if (l.size() >= 14 && l.compare(6, 8, "REM     ") == 0) l.replace(6, 8, "*       ");
  else if (l.size() >= 14 && l.compare(6, 8, "LET     ") == 0) l.replace(6, 8, "SET     ");
  return l;
}

void message_file(const char* lang, std::initializer_list<std::pair<uint32_t, const char*>> rows) {
  FDB f;
  KDB k[kInitMaxKeys];
  SDB s[kInitMaxSegs];
  INIT_DMSG_FDB(&f, k, s, lang);
  ASSERT_EQ(FM_CREATE(&f, com.sys_scope, 0, kAnyFile | LFB_OPEN_NEW, 15, 15), 1);
  for (auto [n, text] : rows) {
    uint8_t rec[kMsgRecMax] = {};
    st_le32(rec, MSG_NUMBER, n);
    memcpy(rec + MSG_TEXT, text, strlen(text));
    f.fdb_arb->arb_rec = rec;
    f.fdb_arb->arb_var_len = static_cast<uint16_t>(MSG_TEXT + strlen(text));
    ASSERT_EQ(fm_write(f.fdb_arb), 1);
  }
  FM_CLOSE(f.fdb_arb, ARB_CLOSE_NOW);
}

void use_language(const char* lang) {
  ASSERT_EQ(la_slct(lang, com.mark_scope), 1);
  memcpy(com.lang_id, lang, 3);
  load_zel_spellings();
}

class StmtText : public SeText {};

TEST_F(StmtText, GoldenLinesOfEveryVerbReadAndShowBackInEachLanguage) {
  const std::string want = read_text("tests/compiler/stmt_golden.txt");
  const std::string got = convert_all(this, want, same);
  if (getenv("KIVO_UPDATE_GOLDEN")) std::ofstream(kGolden) << got;
  EXPECT_EQ(got, want);
  // Every verb has a line.
  bool verbs[kVerbCount] = {};
  std::istringstream in(want);
  for (std::string l; std::getline(in, l);)
    if (l.rfind("= ", 0) == 0) verbs[std::stoi(l.substr(2 + 12, 2), nullptr, 16)] = true;
  for (int v = 0; v < kVerbCount; ++v) EXPECT_TRUE(verbs[v]) << se_get_verb_spell(v);
  // Language 01 respells "*" and "SET": display and lookup follow; every
  // other word, whose message is missing, stays the built-in one.
  message_file("00", {});
  message_file("01", {{105000, "REM"}, {105690, "LET"}});
  use_language("01 ");
  std::string back;
  std::istringstream rin(convert_all(this, want, to_01));
  for (std::string l; std::getline(rin, l);)
    back += (l.rfind("> ", 0) == 0 ? "> " + from_01(l.substr(2)) : from_01(l)) + "\n";
  EXPECT_EQ(back, want);
  uint8_t rec[kStmtSize];
  fresh(rec);
  int col = 0;
  EXPECT_EQ(read(line_at("*", {{16, "NOTE"}}), rec, &col), 0);
  EXPECT_EQ(col, 7);
  // A changed language reloads the spellings.
  use_language("00 ");
  EXPECT_EQ(read(line_at("*", {{16, "NOTE"}}), rec, &col), 1);
  EXPECT_EQ(shown(rec), "      *        NOTE");
  // The language's level ends: no language is left for the next test.
  if (la_lang* l = la_current()) FM_CLOSE(l->arb, 0), l->arb = nullptr;
  const uint32_t level = com.mark_scope;
  com.mark_scope = level - 1;
  char buf[8];
  la_get_str(buf, sizeof buf, 1);
  com.mark_scope = level;
  ASSERT_EQ(la_current(), nullptr);
  captured_errors().clear();
}

}  // namespace
}  // namespace kivo::test

namespace kivo::test {
namespace {

std::string opnd_text(const uint8_t* rec, size_t off, size_t n) {
  return std::string(reinterpret_cast<const char*>(rec + STMT_OPND + off), n);
}

// Prefixes, "C" lines, BOLD and NO BOLD, "---", the relational words and
// required fields: what is stored, the column refused, what is shown back.
TEST_F(StmtText, PrefixesCommentLinesAndWords) {
  struct row {
    std::string line;
    uint8_t bold;
    int col;            // 0 stored, else the column refused
    int verb;           // stored verb
    const char* shown;  // shown back, trailing blanks dropped
  };
  const std::string c_long = line_at("SETT", {{16, "0LA"}, {20, "RATE"}, {70, "Z"}}, "C");
  const row rows[] = {
      {line_at("SET", {{16, "BEN"}, {20, "RATE"}}, "X"), 0, 1, 0, ""},
      {line_at("SET", {{16, "BEN"}, {20, "RATE"}}, "T F"), 0, 1, 0, ""},
      {line_at("SETT", {{16, "BEN"}, {20, "RATE"}}), 0, 7, 0, ""},
      {line_at("SET", {{16, "BEN"}, {20, "RATE"}}, "TF-"), 0, 0, VERB_SET,
       "TF-   SET      BEN RATE                       ="},
      // A "C" line: no prefix, verb or dictionary check; an unknown verb
      // is kept as a comment of the typed verb and columns 16-70.
      {c_long, 0, 0, VERB_COMMENT, "C     *        SETT     0LA RATE                                              Z"},
      {line_at("SETT", {{16, "0LA"}, {71, "X"}}, "C"), 0, 71, 0, ""},
      {line_at("SET", {{20, "RATE"}}, "C"), 0, 16, 0, ""},
      // BOLD and NO BOLD are BRIGHT and DIM of an OUTPUT process only.
      {line_at("BOLD", {{16, "BEN"}, {20, "RATE"}}), 1, 0, VERB_BRIGHT,
       "      BOLD     BEN RATE                       (AT APPEARANCE #    )"},
      {line_at("NO BOLD", {{16, "BEN"}, {20, "RATE"}}), 1, 0, VERB_DIM,
       "      NO BOLD  BEN RATE                       (AT APPEARANCE #    )"},
      {line_at("BRIGHT", {{16, "BEN"}, {20, "RATE"}}), 0, 0, VERB_BRIGHT,
       "      BRIGHT   BEN RATE                       (AT APPEARANCE #    )"},
      {line_at("DIM", {{16, "BEN"}, {20, "RATE"}}), 0, 0, VERB_DIM,
       "      DIM      BEN RATE                       (AT APPEARANCE #    )"},
      {line_at("BOLD", {{16, "BEN"}, {20, "RATE"}}), 0, 7, 0, ""},
      // "---" is "0LA" both ways; EX and IN.
      {line_at("IF", {{16, "---"}, {20, "STATUS CODE"}, {47, "EX"}, {50, "0LA"}, {54, "ERROR COUNT"}}), 0, 0, VERB_IF,
       "      IF       --- STATUS CODE                EX --- ERROR COUNT"},
      {line_at("IF", {{16, "BEN"}, {20, "TEXT1"}, {47, "IN"}, {54, "ABC"}}), 0, 0, VERB_IF,
       "      IF       BEN TEXT1                      IN     ABC"},
      // A blank required field is refused at its column; a blank optional one is not.
      {line_at("SET", {{16, "BEN"}, {54, "1"}}), 0, 20, 0, ""},
      {line_at("IF", {{16, "BEN"}, {20, "RATE"}, {54, "1"}}), 0, 47, 0, ""},
      {line_at("SET", {{16, "BEN"}, {20, "RATE"}}), 0, 0, VERB_SET, "      SET      BEN RATE                       ="},
  };
  for (const row& r : rows) {
    uint8_t rec[kStmtSize];
    fresh(rec);
    ed.bold = r.bold;
    int col = 0;
    const int ok = read(r.line, rec, &col);
    if (r.col) {
      EXPECT_EQ(ok, 0) << r.line;
      EXPECT_EQ(col, r.col) << r.line;
      uint8_t before[kStmtSize];
      fresh(before);
      EXPECT_EQ(hex(rec, kStmtSize), hex(before, kStmtSize)) << "a refused line changed the record: " << r.line;
      continue;
    }
    ASSERT_EQ(ok, 1) << r.line << " col " << col;
    EXPECT_EQ(ld_le16(rec, STMT_VERB), r.verb) << r.line;
    EXPECT_EQ(shown(rec), r.shown) << r.line;
  }
  uint8_t rec[kStmtSize];
  fresh(rec);
  ASSERT_EQ(read(c_long, rec), 1);
  EXPECT_EQ(opnd_text(rec, 0, 64), "SETT     0LA RATE                                              Z");
  fresh(rec);
  ASSERT_EQ(read(line_at("IF", {{16, "---"}, {20, "STATUS CODE"}, {47, "EX"}, {54, "1"}}), rec), 1);
  EXPECT_EQ(opnd_text(rec, 4, 3), "0LA");
  EXPECT_EQ(rec[STMT_OPND + 60], 8);
}

// A new line's fields get their defaults before they are shown; a verb
// index past the table is shown as LABEL.
TEST_F(StmtText, NewLineDefaultsAndUnknownVerbIndex) {
  const std::pair<int, const char*> rows[] = {
      {VERB_MENU, "      MENU     TST                                  DETACHED     END? N  FAIL 0"},
      {VERB_APPEND, "      APPEND   TST                            1  TST"},
      {VERB_CLOSE, "      CLOSE    TST           PHYSICAL?      Y"},
      {VERB_OPEN, "      OPEN     TST           SHARE? Y  FAIL 0"},
      {VERB_BEG_LOOP, "      BEG LOOP    =     TO      STEP 001"},
  };
  ed.state = SE_NEW_LINE;
  for (auto [verb, want] : rows) {
    uint8_t rec[kStmtSize];
    fresh(rec);
    st_le16(rec, STMT_VERB, static_cast<uint16_t>(verb));
    EXPECT_EQ(shown(rec), want) << verb;
  }
  ed.state = SE_NORMAL;
  uint8_t rec[kStmtSize];
  fresh(rec);
  memcpy(rec + STMT_PREFIX, "T    ", 5);
  memcpy(rec + STMT_OPND, "THE END", 7);
  st_le16(rec, STMT_VERB, kVerbCount);
  EXPECT_EQ(shown(rec), "      LABEL    THE END");
}

// A row's characteristic runs and items in the states that draw it apart,
// with upper-case folding on and off, against the golden file.
TEST_F(StmtText, RowRunsAndItemsAtTheLayoutsColumns) {
  const std::string path = std::string(KIVO_SOURCE_DIR) + "/tests/editors/stmt_rows_golden.txt";
  std::string got;
  const std::string lines[] = {line_at("SET", {{16, "BEN"}, {20, "RATE"}, {43, "  2"}, {54, "1"}}, "T"),
                               line_at("*", {{16, "A NOTE"}})};
  for (const std::string& l : lines) {
    uint8_t rec[kStmtSize];
    fresh(rec);
    ASSERT_EQ(read(l, rec), 1);
    for (uint16_t state : {SE_NORMAL, SE_EDIT_LINE, SE_EDIT_VERB, SE_NEW_LINE, SE_RANGE_SHOWN})
      for (uint8_t upper : {1, 0}) {
        ed.stmt_chr.clear(), ed.stmt_itm.clear();
        ed.state = state, ed.upper = upper;
        se_gen_stmt(&ed, rec, 3, 0);
        char head[64];
        snprintf(head, sizeof head, "%.14s state %u upper %u\n", l.c_str(), state, upper);
        got += head;
        for (const CHR_BLK& b : ed.stmt_chr) {
          char run[64];
          snprintf(run, sizeof run, "  run %d %d+%d %04X item %d\n", b.row, b.col, b.cols, b.value, b.item_col);
          got += run;
        }
        for (const TITM& t : ed.stmt_itm) {
          char item[96];
          snprintf(item, sizeof item, "  item %d %d-%d \"%.*s\"\n", t.tl_row, t.tl_col, t.br_col, t.cnv.int_len,
                   reinterpret_cast<const char*>(t.cnv.int_addr));
          got += item;
        }
      }
  }
  if (getenv("KIVO_UPDATE_GOLDEN")) std::ofstream(path) << got;
  EXPECT_EQ(got, read_text("tests/editors/stmt_rows_golden.txt"));
}

}  // namespace
}  // namespace kivo::test

namespace kivo::test {
namespace {

// A SET of `field` of TST to the constant `text` at column 54, read.
void set_line(StmtText* t, const char* field, const char* text, uint8_t* rec) {
  StmtText::fresh(rec);
  ASSERT_EQ(t->read(line_at("SET", {{16, "TST"}, {20, field}, {54, text}}), rec), 1) << field << " " << text;
}

std::string constant(const uint8_t* rec) {
  return std::string(reinterpret_cast<const char*>(rec + STMT_OPND + 37), 22);
}

void put_constant(uint8_t* rec, const std::string& stored) {
  memset(rec + STMT_OPND + 37, ' ', 22);
  memcpy(rec + STMT_OPND + 37, stored.data(), std::min<size_t>(stored.size(), 23));
}

std::string pad22(const std::string& s) { return (s + std::string(22, ' ')).substr(0, 22); }

// Coded constants: the token's text shown, its code stored in the field's
// digits; no code and unknown codes; a constant left as it was when it
// cannot be converted, and an unknown code kept through a save.
TEST_F(StmtText, CodedConstantsStoredAsCodesShownAsTokens) {
  dictionary();
  uint8_t rec[kStmtSize];
  // 7 with 3 integer digits: four digits, which read as 7.
  set_line(this, "STATE", "OPEN", rec);
  cnv_token(rec, "01", 2, 1, nullptr);
  EXPECT_EQ(constant(rec), pad22("0007"));
  EXPECT_EQ(std::stol(constant(rec)), 7);
  se_tok_kept kept{};
  cnv_token(rec, "01", 1, 1, &kept);
  EXPECT_EQ(constant(rec), pad22("OPEN"));
  // Blank is no code: "-1", shown blank.
  set_line(this, "STATE", "", rec);
  cnv_token(rec, "01", 2, 1, nullptr);
  EXPECT_EQ(constant(rec), pad22("-1"));
  cnv_token(rec, "01", 1, 1, nullptr);
  EXPECT_EQ(constant(rec), pad22(""));
  // stored, field, shown
  const std::tuple<std::string, const char*, std::string> loads[] = {
      {"12", "STATE", "CLOS"},                      // cut to the code length
      {" 12", "STATE", "CLOS"},                     // from byte 38 when 37 is blank
      {"99", "STATE", "????"},                      // no TOKEN record
      {"5", "BIG", std::string(22, '?')},           // at most 22
      {"1234567890123456789012", "STATE", "????"},  // past 32 bits: not found
      {"0000000000000000000007"
       "9",
       "STATE", "OPEN"},  // byte 59 is not the constant's
      {"-1", "STATE", ""},
  };
  for (auto& [stored, field, want] : loads) {
    set_line(this, field, "", rec);
    put_constant(rec, stored);
    se_tok_kept k{};
    cnv_token(rec, "01", 1, 1, &k);
    EXPECT_EQ(constant(rec), pad22(want)) << stored;
    // Saved without retyping, the stored code stays.
    const std::string before = pad22(stored.substr(0, 22));
    cnv_token(rec, "01", 2, 1, &k);
    EXPECT_EQ(constant(rec), before) << stored;
  }
  // Another field to meet is a retyped constant: "????" has no code.
  set_line(this, "STATE", "", rec);
  put_constant(rec, "99");
  cnv_token(rec, "01", 1, 1, &kept);
  memcpy(rec + STMT_OPND + 7, "BIG  ", 5);
  cnv_token(rec, "01", 2, 1, &kept);
  EXPECT_EQ(constant(rec), pad22("????"));
  // Retyped, the text is converted again.
  set_line(this, "STATE", "", rec);
  put_constant(rec, "99");
  cnv_token(rec, "01", 1, 1, &kept);
  put_constant(rec, "CLOSED");
  cnv_token(rec, "01", 2, 1, &kept);
  EXPECT_EQ(constant(rec), pad22("0012"));
  // A text with no token leaves the constant as typed; so do a negative
  // code, which has no stored form, and a field without codes.
  for (auto [field, text] : {std::pair{"STATE", "NOPE"}, {"STATE", "MINUS"}, {"NAME", "OPEN"}}) {
    set_line(this, field, "", rec);
    put_constant(rec, text);
    cnv_token(rec, "01", 2, 1, nullptr);
    EXPECT_EQ(constant(rec), pad22(text)) << field << " " << text;
  }
  EXPECT_FALSE(reported("Bad token read"));
}

}  // namespace
}  // namespace kivo::test

namespace kivo::test {
namespace {

// The editor's start: its pool, the spellings, a cleared scan context; and
// the language's process-type names.
TEST_F(StmtText, StartAndProcessTypeNames) {
  se_init();
  ASSERT_NE(se_pool, nullptr);
  EXPECT_EQ(se_scan[0], 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(se_scan + 1), kSeScanLen - 1), std::string(kSeScanLen - 1, ' '));
  EXPECT_STREQ(area_spell_tbl[AREA_DEFAULT_FIELD], "DEFAULT FIELD ");
  char name[30];
  memset(name, ' ', sizeof name);
  memcpy(name, "Output process", 14);
  com.ptype_names[3] = {sizeof name, name};
  // width, type, upper-cased, text, length
  const std::tuple<size_t, int, int, const char*, int> rows[] = {
      {20, 3, 0, "Output process      ", 14}, {10, 3, 1, "OUTPUT PRO", 10}, {8, 13, 1, "        ", 0}};
  for (auto [width, type, upper, want, len] : rows) {
    char buf[32];
    EXPECT_EQ(alp_proc_type(buf, width, type, upper), len) << want;
    EXPECT_EQ(std::string(buf, width), want);
  }
}

}  // namespace
}  // namespace kivo::test
