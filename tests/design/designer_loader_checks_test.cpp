// A designer's mistakes caught where they are made, on a library-loans
// application written by kivo_design and installed by kivo_install: each
// bad line is refused with its line and no design file changes; the
// engine's texts name what is wrong; blank lines do not open a page below
// its heading.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../compiler/stmt_line_util.h"
#include "../fixtures/loans_design.h"

namespace kivo::test {
namespace {

using namespace kivo_test;

TEST(DesignerLoaderChecks, BadDesignLineIsRefusedWithItsLineAndNothingChanges) {
  const std::string sel = "SELECT 5 \"LOAN QUERY\" 0 0 1 kind=", item = "ITEM 2 \"LOAN ENTRY\" 0 1 1 ";
  const struct {
    std::string line;
    int at;
    const char* said;
  } cases[] = {
      {"CHILD 2 \"LOAN ENTRY\" 0 1 0 1 1 name=X range_ap=LIB range_name=LOANS", 2,
       "range_name LOANS is no QUERY process (type 5) of LIB"},
      {"CHILD 2 \"LOAN ENTRY\" 0 1 0 1 1 name=X update=4", 2, "update \"4\" is not a number 0-3"},
      {"CHILD 2 \"LOAN ENTRY\" 0 1 0 1 1 name=X update=-1", 2, "update \"-1\" is not a number 0-3"},
      {sel + "1 @50:u32=1 @56=LIB @59=RETURNED @89=0 @119:u8=1", 2, "selection 1: field RETURNED of LIB not found"},
      {sel + "1 @50:u32=1 @56=LIB @59=FINE @89=0 @119:u8=9", 2, "selection 1: relation 9 is none of 1 EQ"},
      {sel + "2 @52:u32=1 @56=LIB @59=TITLE @84=+", 2, "sort line 1: field TITLE of LIB not found"},
      {"FILE BOOK\n  ISBN A13\nEND", 2, "indexed file BOOK has no field with key=primary"},
      {"WORK DUE P5.2 mask=\"-9,99.99\"", 2, "field DUE: numeric mask \"-9,99.99\" is not one the conversions take"},
      {"ROW 2 \"LOAN ENTRY\" 0 1 1 2 \"LOAN NUMBER, THEN THE FINE; ENTER ADDS IT\"", 2,
       "row 2: text of 41 characters runs past the 40 columns of the image of 4 x 40"},
      {"ROW 2 \"LOAN ENTRY\" 0 1 1 5 LOANER:", 2, "row 5 lies outside the rows 1 to 4 of the image of 4 x 40"},
      {item + "3 18 ap=LIB field=LOANER", 15, "item LOAN NO at 3/15 lies on the cells of item LOANER at 3/18 (line 2)"},
      {"STMTS 2 LATE ep=5\n      IF       LIB LOANER                     EQ     TWENTYTHREECHARACTERSXY\nEND", 3,
       "column 54: constant or name of 23 characters is longer than its 22 columns"},
  };
  scratch_dir d;
  ASSERT_NO_FATAL_FAILURE(install_loans(d));
  const auto design = tree_sums(d.file("01/LIB"));
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(load_design(d, loans(c.line + "\n"), &out), 1) << out;
    EXPECT_NE(out.find("lib.dsgn:" + std::to_string(c.at) + ": " + c.said), std::string::npos) << out;
    EXPECT_EQ(tree_changes(tree_sums(d.file("01/LIB")), design), std::vector<std::string>{});
  }
}

// Over LOAN with records: each design that would misread them, skip its
// own checks or fail only when it runs is refused with its line (a number
// mask narrower than its field warns and loads); the empty source ends
// without a signal. An export after shows the records as they were loaded.
TEST(DesignerLoaderChecks, DesignThatWouldMisreadOrSkipItsChecksIsRefusedAtItsLine) {
  auto stmts = [](const char* verb, cols at) { return "STMTS 2 \"LOAN ENTRY\" ep=4\n" + line_at(verb, at) + "\nEND"; };
  const std::string item = "ITEM 2 \"LOAN ENTRY\" 0 1 ", child = "PROCESS 1 M\nCHILD 1 M 0 1 0 1 1 ap=LIB ";
  std::string reordered = loans();  // LOANER moved below LOAN DATE, the record as long
  reordered.erase(reordered.find("  LOANER A20\n"), 14);
  reordered.insert(reordered.find("  FINE"), "  LOANER A20\n");
  const struct {
    std::string source;  // appended to the design at line 2; "!" first: the whole source
    const char* flags;
    int at, status;
    const char* said;
  } cases[] = {
      {"!", "-r", 0, 1, "the source holds nothing"},
      {"!# a comment alone\n", "", 0, 1, "the source holds nothing"},
      {"!" + reordered, "-r", 2, 1, "file LOAN: its data file "},
      {"!" + reordered, "", 2, 1, "holds records, and fields LOAN DATE, LOANER change their place, length or type"},
      {"STMTS 2 \"LOAN ENTRY\" ep=99\nEND", "", 2, 1, "event point 99 never runs here"},
      {"STMTS 2 \"LOAN ENTRY\" ep=7\nEND", "", 2, 1, "event points 7 to 10 are a QUERY's"},
      {item + "2 1 1 ap=LIB field=LOANER", "", 2, 1, "image 2 of frame 0/1 is not there"},
      {"IMAGE 2 \"LOAN ENTRY\" 0 1 1 kind=1 rows=4 cols=40 win_row=22", "", 2, 1, "ends at 25/40, off the screen"},
      {"FILE BOOK\n  ISBN A13 key=primary\n  CODE A4 key=primary\nEND", "", 4, 1, "ISBN is FILE BOOK's primary key"},
      {"FILE \"ORD ERS\"\n  ONO A6 key=primary\nEND", "", 2, 1, "file name \"ORD ERS\" holds a blank"},
      {"FILE BOOK\n  ISBN A13 key=primary\n  ISBN A4\nEND", "", 4, 1, "field ISBN is defined at line 3 already"},
      {"!APPLICATION LIB 01\nWORK LOANER A5\n", "", 2, 1,
       "field LOANER is in the design already (a field of FILE LOAN): field names are unique"},
      {"FILE BOOK\n  ISBN A13 key=primary", "", 4, 1, "FILE BOOK (line 2) has no END before this FILE line"},
      {"FRAME 3 REPORT 0 4 kind=2 range_ap=LIB range_field=NOSUCH", "", 2, 1,
       "range_field NOSUCH of LIB names no field"},
      {"FRAME 3 REPORT 0 4 kind=2 range_ap=LIB range_field=LOANER", "", 2, 1, "REPORT is ranged on no query"},
      {stmts("READ", {{16, "LIB"}, {20, "LOAN"}, {30, "HOLD 0"}, {40, "FAIL 0"}, {51, "KEY IS"}, {58, "LOANER"}}), "-r",
       3, 1, "col 58: LOANER is not a key"},
      {stmts("GOTO", {{16, "NOWHERE"}}), "-r", 3, 1, "label NOWHERE"},
      {stmts("IF", {{16, "LIB"}, {20, "LOAN DATE"}, {47, "EQ"}, {50, "LIB"}, {54, "LOANER"}}), "-r", 3, 1,
       "LOAN DATE and LOANER cannot be compared"},
      {stmts("SET", {{16, "LIB"}, {20, "LOAN DATE"}, {47, "="}, {50, "LIB"}, {54, "FINE"}}), "-r", 3, 1,
       "FINE is a number: SET cannot put it into the date LOAN DATE"},
      {child + "proc_type=2 name=NOSUCH", "", 3, 1, "process NOSUCH of LIB is not there"},
      {child + "proc_type=3 name=\"LOAN ENTRY\"", "", 3, 1, "LOAN ENTRY of LIB is of type 2, not 3"},
      {"WORK DUE D7:8-5 mask=QQ/ZZ", "", 2, 1, "field DUE: date mask \"QQ/ZZ\" does not compile"},
      {"!APPLICATION LIB 01\nWORK DUE P5.2S mask=-99.99\n", "", 2, 0,
       "warning: field DUE: mask \"-99.99\" shows 2 digits"},
  };
  scratch_dir d;
  ASSERT_NO_FATAL_FAILURE(install_loans(d));
  const std::string port = "0 LOAN     000045+\nL00001 ALICE                20261201 0584392 \n";
  std::string out;
  ASSERT_EQ(design_tool(d, KIVO_DESIGN, "-l LIB LIB 01 LOAN " + d.write("loan.port", port), &out), 0) << out;
  const auto design = tree_sums(d.file("01/LIB"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    const std::string text = c.source[0] == '!' ? c.source.substr(1) : loans(c.source + "\n");
    EXPECT_EQ(load_design(d, text, &out, c.flags), c.status) << out;
    EXPECT_NE(out.find(c.at ? "lib.dsgn:" + std::to_string(c.at) + ": " : ""), std::string::npos) << out;
    EXPECT_NE(out.find(c.said), std::string::npos) << out;
    EXPECT_EQ(out.find("bad field type"), std::string::npos) << out;
    if (c.status) {
      EXPECT_EQ(tree_changes(tree_sums(d.file("01/LIB")), design), std::vector<std::string>{});
    }
  }
  ASSERT_EQ(design_tool(d, KIVO_DESIGN, "-l LIB LIB 01 LOAN " + d.write("loan.port", port), &out), 0) << out;
  EXPECT_NE(out.find("all 1 records were in LOAN already"), std::string::npos) << out;
}

// Typed, compiled, scripted: each said on the screen or in the log.
TEST(DesignerLoaderChecks, EngineTextsSayWhatIsWrong) {
  const struct {
    const char *proc, *script, *keys, *text, *said;
    int status;  // -1: running, ended by CANCEL
  } cases[] = {
      {"Input -p=LOAN_ENTRY", "", "F10 L 1 Tab", "12.345", "Too many decimals for the field", -1},
      {"Input -p=LATE", "", "", "", "col 54: date \"2026-12-31\" is neither CCYYMMDD nor as LOAN DATE shows dates", 4},
      {"Input -p=LOAN_ENTRY", "#INQUIRE MODE\nL1\n#ENTER\n", "", "", "Record not found", -1},
      {"Input -p=LOAN_ENTRY", "#INQUIRY MODE\n", "", "", "line 1: unknown option \"INQUIRY MODE\"", 1},
  };
  scratch_dir d;
  ASSERT_NO_FATAL_FAILURE(install_loans(d, loans(kLate), "-r -n"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.said);
    auto p = loans_engine(d, std::string("-t=") + c.proc, c.script);
    if (*c.keys) {
      ASSERT_TRUE(p.wait_for("LOAN NO:")) << p.capture();
      p.send_keys(c.keys), p.send_text(c.text), p.send_keys("Enter");
    }
    if (c.status == -1) {
      EXPECT_TRUE(p.wait_for(c.said)) << p.capture();
      p.send_keys("F2 S-F1");
    }
    EXPECT_EQ(p.exit_status(), std::max(c.status, 0)) << p.capture();
    if (c.status == -1) continue;
    const std::string shown = p.capture() + slurp(d.file("syserr"));
    EXPECT_NE(squeezed(shown).find(squeezed(c.said)), std::string::npos) << shown;
  }
}

// A query whose statement the user changed after the design was checked:
// the report over it ends, and the menu names the statement, its field and
// why; nothing is a system error.
TEST(DesignerLoaderChecks, RefusedSelectionNamesItsStatementAndField) {
  const struct {
    const char *query, *stmt, *compare, *said;
  } cases[] = {
      {"NO FIELD", "3", "@59=RETURNED @89=0 @119:u8=1", "statement 3 (RETURNED): no such field"},
      {"BAD VALUE", "7", "@59=FINE @89=abc @119:u8=3", "statement 7 (FINE): value does not suit the field"},
  };
  std::string menu = R"(PROCESS 1 "LOAN MENU"
FRAME 1 "LOAN MENU" 0 1
IMAGE 1 "LOAN MENU" 0 1 1 kind=1 rows=3 cols=30 win_row=2 win_col=5
ROW 1 "LOAN MENU" 0 1 1 3 "LOAN MENU"
)";
  int option = 0;
  for (const auto& c : cases) {
    const std::string q = "\"" + std::string(c.query) + "\"", no = std::to_string(++option);
    menu = "PROCESS 5 " + q + " pcf_ap=LIB pcf_file=LOAN\nSELECT 5 " + q + " 0 0 " + c.stmt +
           " kind=1 @49:u8=9 @50:u32=" + c.stmt + " @54:u16=1 @56=LIB @84:u16=1 " + c.compare + " @120=1\n" + menu;
    menu += "ROW 1 \"LOAN MENU\" 0 1 1 " + no + " \"" + no + " " + c.query + "\"\n";
    menu += "CHILD 1 \"LOAN MENU\" 0 1 0 1 " + no + " ap=LIB proc_type=3 name=REPORT invoc=1 option=" + no +
            " range_ap=LIB range_name=" + q + "\n";
  }
  scratch_dir d;
  ASSERT_NO_FATAL_FAILURE(install_loans(d, loans() + menu, "-r -n"));
  auto p = loans_engine(d, "-t=menu -p=LOAN_MENU");
  option = 0;
  for (const auto& c : cases) {
    ASSERT_TRUE(p.wait_for("LOAN MENU")) << p.capture();
    p.send_keys("F1 " + std::to_string(++option));
    EXPECT_TRUE(p.wait_for(std::string("Query selection ") + c.said)) << p.capture();
  }
  p.send_keys("S-F1");
  EXPECT_EQ(p.exit_status(), 0) << p.capture();
  EXPECT_EQ(slurp(d.file("syserr")), "");
}

// LOAN is empty: on a paged report the totals come right below the heading
// and its blank line; without pages every blank line prints.
TEST(DesignerLoaderChecks, BlankLinesOpeningAPageBelowItsHeadingAreNotPrinted) {
  const struct {
    std::string page;
    const char* printed;
  } cases[] = {
      {"", "LOANS\n\n\nTOTAL"},
      {"      SET      0LA PAGE LENGTH                =      20\n", "LOANS\n\nTOTAL"},
  };
  for (const auto& c : cases) {
    scratch_dir d;
    ASSERT_NO_FATAL_FAILURE(install_loans(d, loans("", c.page)));
    auto p = loans_engine(d, "-t=output -p=REPORT");
    ASSERT_EQ(p.exit_status(), 0) << p.capture();
    const std::string text = take_print(d);
    EXPECT_NE(text.find(c.printed), std::string::npos) << c.page << text;
  }
}

}  // namespace
}  // namespace kivo::test
