// A designer's mistakes caught where they are made, on a library-loans
// application written by kivo_design and installed by kivo_install: each
// bad line is refused with its line and no design file changes; the
// engine's texts name what is wrong; blank lines do not open a page below
// its heading.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

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
