// A designer's mistakes caught where they are made, on a library-loans
// application written by kivo_design and installed by kivo_install: each
// bad line is refused with its line and no design file changes; the
// engine's texts name what is wrong; blank lines do not open a page below
// its heading.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "../fixtures/kivo_fixture.h"
#include "../foundation/test_dir.h"
#include "../screen/term_harness.h"

namespace kivo::test {
namespace {

using kivo_test::shell_quote;

// The design with `extra` at line 2; `page` sets the report's page length.
std::string loans(const std::string& extra = "", const std::string& page = "") {
  return "APPLICATION LIB 01\n" + extra + R"(FILE LOAN
  "LOAN NO" A6 key=primary
  LOANER A20
  "LOAN DATE" D7:8-5
  FINE P5.2
END
PROCESS 5 "LOAN QUERY" pcf_ap=LIB pcf_file=LOAN
PROCESS 2 "LOAN ENTRY" pcf_ap=LIB pcf_file=LOAN pcf_update=1
FRAME 2 "LOAN ENTRY" 0 1
IMAGE 2 "LOAN ENTRY" 0 1 1 kind=1 rows=4 cols=40
ROW 2 "LOAN ENTRY" 0 1 1 3 "LOAN NO:"
ROW 2 "LOAN ENTRY" 0 1 1 4 FINE:
ITEM 2 "LOAN ENTRY" 0 1 1 3 15 ap=LIB field="LOAN NO" input=1
ITEM 2 "LOAN ENTRY" 0 1 1 4 15 ap=LIB field=FINE input=1
PROCESS 2 LATE pcf_ap=LIB pcf_file=LOAN
STMTS 2 LATE ep=4
      IF       LIB LOAN DATE                  LT     2026-12-31
END
PROCESS 3 REPORT pcf_ap=LIB pcf_file=LOAN
FRAME 3 REPORT 0 1 enabled=1 kind=3
IMAGE 3 REPORT 0 1 1 kind=3 rows=1 cols=40 blank_after=1
ROW 3 REPORT 0 1 1 1 LOANS
FRAME 3 REPORT 0 3 enabled=1 kind=2
IMAGE 3 REPORT 0 3 1 kind=3 rows=1 cols=40 blank_before=1
ROW 3 REPORT 0 3 1 1 TOTAL
STMTS 3 REPORT ep=1
      SET      0LA OUT1 MODE                  =      3
)" + page +
         "END\n";
}

int tool(const kivo_test::scratch_dir& d, const std::string& program, const std::string& args, std::string* out) {
  *out = kivo_test::run_output(program + " -d " + shell_quote(d.path) + " " + args + " 2>&1; echo $?");
  return atoi(out->substr(out->rfind('\n', out->size() - 2) + 1).c_str());
}

int load(const kivo_test::scratch_dir& d, const std::string& text, std::string* out, const char* flags = "") {
  return tool(d, KIVO_DESIGN + std::string(" ") + flags, d.write("lib.dsgn", text), out);
}

// `design` loaded with `flags` (-n: unchecked, as records changed later are).
void install(const kivo_test::scratch_dir& d, const std::string& page = "", const std::string& design = "",
             const char* flags = "-r") {
  std::string out;
  ASSERT_TRUE(kivo_test::copy_shipped_installation(d.path));
  ASSERT_EQ(load(d, design.empty() ? loans("", page) : design, &out, flags), 0) << out;
  d.write("lib.txt", "APPL LIB 01 Loans\nDATABASE LIB LIB 01\nDBXAP LIB LIB 1\nDATAFILE LIB LIB 01 LOAN\n");
  ASSERT_EQ(tool(d, KIVO_INSTALL, "-a " + d.file("lib.txt"), &out), 0) << out;
  std::filesystem::create_directories(d.file("prt"));
}

kivo_test::tmux_pane engine(const kivo_test::scratch_dir& d, const std::string& args, const std::string& script = "") {
  kivo_test::env_list e = kivo_test::engine_env(d.path);
  e.push_back({"KIVO_PRT_FI_DIR", d.file("prt") + "/"});
  if (!script.empty()) e.push_back({"KIVO_SCRIPT_IN", d.write("keys", script)});
  return kivo_test::tmux_pane(shell_quote(KIVO_BINARY) + " -d=LIB -a=LIB " + args, d.path, e);
}

TEST(DesignerLoaderChecks, BadDesignLineIsRefusedWithItsLineAndNothingChanges) {
  const std::string sel = "SELECT 5 \"LOAN QUERY\" 0 0 1 kind=", item = "ITEM 2 \"LOAN ENTRY\" 0 1 1 ";
  const struct {
    std::string line;
    int at;
    const char* said;
  } cases[] = {
      {"CHILD 2 \"LOAN ENTRY\" 0 1 0 1 1 name=X range_ap=LIB range_name=LOANS", 2,
       "range_name LOANS is no QUERY process (type 5) of LIB"},
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
  kivo_test::scratch_dir d;
  ASSERT_NO_FATAL_FAILURE(install(d));
  const auto design = kivo_test::tree_sums(d.file("01/LIB"));
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(load(d, loans(c.line + "\n"), &out), 1) << out;
    EXPECT_NE(out.find("lib.dsgn:" + std::to_string(c.at) + ": " + c.said), std::string::npos) << out;
    EXPECT_EQ(kivo_test::tree_changes(kivo_test::tree_sums(d.file("01/LIB")), design), std::vector<std::string>{});
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
  kivo_test::scratch_dir d;
  ASSERT_NO_FATAL_FAILURE(install(d));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.said);
    auto p = engine(d, std::string("-t=") + c.proc, c.script);
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
    const std::string shown = p.capture() + kivo_test::slurp(d.file("syserr"));
    EXPECT_NE(kivo_test::squeezed(shown).find(kivo_test::squeezed(c.said)), std::string::npos) << shown;
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
  kivo_test::scratch_dir d;
  ASSERT_NO_FATAL_FAILURE(install(d, "", loans() + menu, "-r -n"));
  auto p = engine(d, "-t=menu -p=LOAN_MENU");
  option = 0;
  for (const auto& c : cases) {
    ASSERT_TRUE(p.wait_for("LOAN MENU")) << p.capture();
    p.send_keys("F1 " + std::to_string(++option));
    EXPECT_TRUE(p.wait_for(std::string("Query selection ") + c.said)) << p.capture();
  }
  p.send_keys("S-F1");
  EXPECT_EQ(p.exit_status(), 0) << p.capture();
  EXPECT_EQ(kivo_test::slurp(d.file("syserr")), "");
}

// LOAN is empty: the totals come right below the heading and its blank line.
TEST(DesignerLoaderChecks, BlankLinesOpeningAPageBelowItsHeadingAreNotPrinted) {
  for (const std::string page : {"", "      SET      0LA PAGE LENGTH                =      20\n"}) {
    kivo_test::scratch_dir d;
    ASSERT_NO_FATAL_FAILURE(install(d, page));
    auto p = engine(d, "-t=output -p=REPORT");
    ASSERT_EQ(p.exit_status(), 0) << p.capture();
    std::string text;
    for (const auto& e : std::filesystem::directory_iterator(d.file("prt")))
      if (e.path().extension() != ".cfg") text = kivo_test::slurp(e.path().string());
    EXPECT_NE(text.find("LOANS\n\nTOTAL"), std::string::npos) << page << text;
  }
}

}  // namespace
}  // namespace kivo::test
