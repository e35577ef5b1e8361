// The dictionary check of a typed line against dictionaries written from
// design sources: files and their kinds, fields and occurrences, types by
// verb, constants, the "0LA" fallback, the combinations of optional fields;
// the files a check opens are closed after it.
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "se_test_util.h"
#include "types/element.h"

namespace kivo::test {
namespace {

class StmtCheck : public SeText {
 protected:
  // Gives field `name` of TST the occurrence count `count`.
  static void set_occurs(const char* name, uint16_t count) {
    FDB fdb;
    KDB kdb[kInitMaxKeys];
    SDB sdb[kInitMaxSegs];
    INIT_DELEM_FDB(&fdb, kdb, sdb, "TST", "01");
    ASSERT_EQ(FM_OPEN(&fdb, com.sys_scope, LFB_ANY_DIR, 0x0f, 0x0f), 1);
    uint8_t e[kElementSize] = {};
    memset(e + ELEM_NAME, ' ', 22);
    memcpy(e + ELEM_NAME, name, strlen(name));
    ARB* a = fdb.fdb_arb;
    PROTO_FULL(a, 0, e);
    a->arb_len = kElementSize, a->arb_mod = ARB_EQUAL | ARB_HOLD;
    ASSERT_EQ(fm_read(a), 1);
    a->arb_mod = 0;
    st_le16(e, ELEM_OCCURS, count);
    ASSERT_EQ(fm_rewrite(a), 1);
    FM_CLOSE(a, ARB_CLOSE_NOW);
  }
};

struct row {
  std::string line;
  int col;     // refused at, or the warning's column when `kept`
  int second;  // the application id of a refused field
  bool kept;
  bool file_warning = false;
};

TEST_F(StmtCheck, LinesAgainstTheDictionary) {
  dictionary();
  set_occurs("RATE", 0);
  const uint32_t open_before = ctl_count_lfn();
  auto two = [](const char* verb, const char* f1, const char* op, const char* ap2, const char* f2,
                const char* occ1 = "", const char* occ2 = "") {
    return line_at(verb, {{16, "TST"}, {20, f1}, {43, occ1}, {47, op}, {50, ap2}, {54, f2}, {77, occ2}});
  };
  auto file = [](const char* verb, const char* ap, const char* name, const char* key) {
    return line_at(verb, {{16, ap}, {20, name}, {35, "0"}, {45, "0"}, {58, key}});
  };
  const row rows[] = {
      // Files: kind 1 takes no key, kind 2 warns of a key missing or
      // given, kind 3 takes a key field; a missing file or application warns.
      {file("READ", "TST", "SINGLE", "S1"), 58, 0, false},
      {file("READ", "TST", "SINGLE", ""), 0, 0, true},
      {file("READNEXT", "TST", "SEQ", "Q1"), 58, 0, true},
      {file("READNEXT", "TST", "SEQ", ""), 0, 0, true},
      {file("READ", "TST", "SEQ", ""), 58, 0, true},
      {file("READ", "TST", "CUST", "ID"), 0, 0, true},
      {file("READ", "TST", "CUST", "RATE"), 58, 0, false},
      {file("READ", "TST", "NOFILE", ""), 20, 0, true, true},
      {file("READ", "ZZZ", "CUST", ""), 16, 0, true},
      {two("SET", "RATE", "", "ZZZ", "RATE"), 50, 0, true},
      {line_at("SET", {{16, "ZZZ"}, {20, "RATE"}}), 16, 0, true},
      {line_at("BEG AT", {{16, "TST"}, {20, "SINGLE"}, {29, "IN"}}), 20, 0, true, true},
      {line_at("BEG AT", {{16, "TST"}, {20, "SEQ"}, {29, "IN"}, {32, "TST"}, {36, "NAME"}}), 36, 32, false},
      {line_at("BEG AT", {{16, "TST"}, {20, "SEQ"}, {29, "IN"}, {32, "TST"}, {36, "RATE"}}), 0, 0, true},
      {line_at("BEG AT", {{16, "TST"}, {20, "CUST"}, {29, "IN"}, {32, "TST"}, {36, "NAME"}}), 0, 0, true},
      // Occurrences: above the count refused, any of a count 0 accepted,
      // a negative one refused, first or second.
      {two("SET", "FLAGS", "", "TST", "NAME", "  5"), 43, 0, false},
      {two("SET", "FLAGS", "", "TST", "NAME", "  4"), 0, 0, true},
      {two("SET", "RATE", "", "", "7", "900"), 0, 0, true},
      {two("SET", "FLAGS", "", "TST", "NAME", " -1"), 43, 0, false},
      {two("SET", "NAME", "", "TST", "FLAGS", "", " -2"), 77, 0, false},
      {two("SET", "RATE", "", "", "7", "", "  1"), 77, 0, false},
      // Types of the first and second field.
      {two("COMPUTE", "NAME", "+", "TST", "TEXT1"), 20, 16, false},
      {two("COMPUTE", "NAME", "P", "TST", "TEXT1"), 0, 0, true},
      {two("COMPUTE", "NAME", "M", "TST", "RATE"), 54, 50, false},
      {two("COMPUTE", "RATE", "+", "TST", "RATE"), 0, 0, true},
      {two("IF", "RATE", "EQ", "", "ABC"), 54, 50, false},
      {two("IF", "RATE", "EQ", "", "12.5"), 0, 0, true},
      {two("IF", "RATE", "EQ", "TST", "NAME"), 54, 50, false},
      {two("DATE ADD", "DUE", "1", "", "1234"), 0, 0, true},
      {two("DATE ADD", "DUE", "1", "", "12345"), 54, 50, false},
      {two("DATE ADD", "NAME", "1", "", "30"), 20, 16, false},
      {two("SET", "NAME", "", "TST", "NOSUCH"), 54, 50, false},
      {two("SET", "NOSUCH", "", "", "1"), 20, 16, false},
      // Coded constants: a token text, never a negative code.
      {two("SET", "STATE", "", "", "OPEN"), 0, 0, true},
      {two("SET", "STATE", "", "", "NOPE"), 54, 50, false},
      {two("SET", "STATE", "", "", "MINUS"), 54, 50, false},
      // MODE of "0LA" is not set; COPY copies a SUBROUTINE.
      {line_at("SET", {{16, "---"}, {20, "MODE"}, {54, "1"}}), 20, 0, false},
      {line_at("COPY", {{16, "TST"}, {20, "COMMON SUB"}}), 0, 0, true},
      {line_at("COPY", {{16, "TST"}, {20, "MAIN MENU"}}), 20, 0, false},
      // Another application's fields.
      {two("IF", "RATE", "EQ", "OTH", "AMOUNT"), 0, 0, true},
      {two("IF", "RATE", "EQ", "OTH", "NOTE"), 54, 50, false},
  };
  for (const row& r : rows) {
    uint8_t rec[kStmtSize];
    fresh(rec);
    int col = 0, second = 0;
    const int ok = read(r.line, rec, &col, &second);
    EXPECT_EQ(ok, r.kept ? 1 : 0) << r.line;
    EXPECT_EQ(col, r.col) << r.line;
    if (!r.kept) {
      EXPECT_EQ(second, r.second) << r.line;
    } else {
      EXPECT_EQ(ed.warning, r.col != 0) << r.line;
    }
    EXPECT_EQ(ed.file_warning, r.file_warning) << r.line;
  }
  // Every file opened for a check is closed after it.
  EXPECT_EQ(ctl_count_lfn(), open_before);
}

// A field found only in "0LA" is put there, and the line shows "---".
TEST_F(StmtCheck, FieldOfTheSystemApplicationShownAsDashes) {
  dictionary();
  uint8_t rec[kStmtSize];
  fresh(rec);
  ASSERT_EQ(read(line_at("IF", {{16, "TST"}, {20, "STATUS CODE"}, {47, "EQ"}, {54, "0"}}), rec), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(rec + STMT_OPND + 4), 3), "0LA");
  EXPECT_EQ(std::string(ed.line.data(), 30), "      IF       --- STATUS CODE");
  EXPECT_EQ(is_pdf("0LA", "STATUS CODE           "), 1);
  EXPECT_EQ(is_pdf("TST", "STATUS CODE           "), 0);
  EXPECT_EQ(is_pdf("0LA", "NO SUCH FIELD         "), 0);
}

// When a line is refused, the allowed combinations of each verb group may
// point further left than the first faulty column.
TEST_F(StmtCheck, OptionalFieldCombinationsMoveTheErrorLeft) {
  dictionary();
  const std::pair<std::string, int> rows[] = {
      {line_at("DISPLAY", {{20, "RATE"}, {64, "A5"}}), 20},               // a field without its application
      {line_at("DISPLAY", {{16, "TST"}, {20, "RATE"}, {64, "A5"}}), 64},  // the appearance itself
      {line_at("CALL", {{16, "TST"}, {43, "A5"}}), 20},                   // an application without its field
      {line_at("RUN", {{16, "TST"}, {43, "A5"}}), 20},
      {line_at("RETURN", {{20, "DONE"}, {43, "A5"}}), 20},  // no application: no field either
      {line_at("CALL", {{20, "ROUTINE"}, {43, "A5"}}), 43},
      {line_at("TIMEOUT", {{16, "WAIT"}, {50, "TST"}, {77, "A5"}}), 54},
      {line_at("SET", {{16, "TST"}, {20, "RATE"}, {43, "A5"}}), 43},  // no combination rule
  };
  for (auto& [l, want] : rows) {
    uint8_t rec[kStmtSize];
    fresh(rec);
    int col = 0;
    EXPECT_EQ(read(l, rec, &col), 0) << l;
    EXPECT_EQ(col, want) << l;
  }
}

}  // namespace
}  // namespace kivo::test
