// A designer's mistakes, caught where they are made (DesignerLoaderChecks):
// a library-loans application written by kivo_design and installed by
// kivo_install on a copy of the shipped installation; each bad line added
// to it is refused by kivo_design with its line and what is wrong, every
// design file left byte for byte; the engine's texts for a number with
// too many decimals, a date constant its field cannot take and a script
// line naming no key; and a report whose totals open a page below its
// heading prints the heading's blank line only.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../compiler/stmt_line_util.h"
#include "../fixtures/kivo_fixture.h"
#include "../foundation/test_dir.h"
#include "../screen/term_harness.h"

namespace kivo::test {
namespace {

using kivo_test::shell_quote;
using kivo_test::slurp;

std::string stmt(const char* verb, cols at, const char* prefix = "") { return line_at(verb, at, prefix) + "\n"; }

// The loans application; `extra` goes at line 2, `page_len` (0: none) is
// the report's page length.
std::string loans(const std::string& extra = "", int page_len = 0) {
  std::string s = "APPLICATION LIB 01\n" + extra + R"(FILE LOAN
  "LOAN NO"   A6 key=primary
  BORROWER    A20
  "LOAN DATE" D7:8-5
  FINE        P5.2
END
WORK "LOAN COUNT" P9
PROCESS 5 "LOAN QUERY" pcf_ap=LIB pcf_file=LOAN
PROCESS 2 "LOAN ENTRY" pcf_ap=LIB pcf_file=LOAN pcf_update=1 pcf_required=1
FRAME 2 "LOAN ENTRY" 0 1
IMAGE 2 "LOAN ENTRY" 0 1 1 kind=1 rows=4 cols=40 win_row=3 win_col=10
ROW 2 "LOAN ENTRY" 0 1 1 1 "LOAN ENTRY"
ROW 2 "LOAN ENTRY" 0 1 1 3 "LOAN NO:"
ROW 2 "LOAN ENTRY" 0 1 1 4 "FINE:"
ITEM 2 "LOAN ENTRY" 0 1 1 3 15 ap=LIB field="LOAN NO" input=1
ITEM 2 "LOAN ENTRY" 0 1 1 4 15 ap=LIB field=FINE input=1
PROCESS 2 "LATE CHECK" pcf_ap=LIB pcf_file=LOAN
STMTS 2 "LATE CHECK" ep=4
)" + stmt("IF", {{16, "LIB"}, {20, "LOAN DATE"}, {47, "LT"}, {54, "2026-12-31"}}) +
                  R"(END
PROCESS 3 "LOAN REPORT" pcf_ap=LIB pcf_file=LOAN
FRAME 3 "LOAN REPORT" 0 1 enabled=1 kind=3
IMAGE 3 "LOAN REPORT" 0 1 1 kind=3 rows=1 cols=40 blank_after=1
ROW 3 "LOAN REPORT" 0 1 1 1 LOANS
FRAME 3 "LOAN REPORT" 0 2 enabled=1 kind=0
IMAGE 3 "LOAN REPORT" 0 2 1 kind=3 rows=1 cols=40
ITEM 3 "LOAN REPORT" 0 2 1 1 1 ap=LIB field="LOAN NO"
FRAME 3 "LOAN REPORT" 0 3 enabled=1 kind=2
IMAGE 3 "LOAN REPORT" 0 3 1 kind=3 rows=1 cols=40 blank_before=1
ROW 3 "LOAN REPORT" 0 3 1 1 TOTAL
ITEM 3 "LOAN REPORT" 0 3 1 1 10 ap=LIB field="LOAN COUNT"
STMTS 3 "LOAN REPORT" ep=1
)" + stmt("SET", {{16, "0LA"}, {20, "OUT1 MODE"}, {47, "="}, {54, "3"}});
  if (page_len) s += stmt("SET", {{16, "0LA"}, {20, "PAGE LENGTH"}, {47, "="}, {54, std::to_string(page_len).c_str()}});
  return s + "END\nSTMTS 3 \"LOAN REPORT\" ep=21 frame=0,2\n" +
         stmt("TOTAL", {{16, "LIB"}, {20, "LOAN COUNT"}, {47, "+"}, {54, "1"}}) + "END\n";
}

constexpr const char* kApps =
    "APPL LIB 01 \"Library loans\"\nDATABASE LIB LIB 01\nDBXAP LIB LIB 1\n"
    "DATAFILE LIB LIB 01 LOAN\n";

struct run_result {
  int status;
  std::string out;
};

run_result run(const std::string& cmd) {
  FILE* p = popen(("ASAN_OPTIONS=detect_leaks=0 " + cmd + " 2>&1").c_str(), "r");
  std::string out;
  char buf[512];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int st = pclose(p);
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

// The source `text` loaded into `d` by kivo_design.
run_result load(const kivo_test::scratch_dir& d, const std::string& text, const std::string& flags = "") {
  return run(std::string(KIVO_DESIGN) + " " + flags + " -d " + shell_quote(d.path) + " " +
             shell_quote(d.write("lib.dsgn", text)));
}

// The shipped installation in `d` with the loans design and its database.
void install(const kivo_test::scratch_dir& d, int page_len = 0) {
  ASSERT_TRUE(kivo_test::copy_shipped_installation(d.path));
  const run_result r = load(d, loans("", page_len), "-r");
  ASSERT_EQ(r.status, 0) << r.out;
  const run_result i =
      run(std::string(KIVO_INSTALL) + " -d " + shell_quote(d.path) + " -a " + shell_quote(d.write("lib.txt", kApps)));
  ASSERT_EQ(i.status, 0) << i.out;
}

std::map<std::string, std::string> files_under(const std::string& dir) {
  std::map<std::string, std::string> out;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
    if (e.is_regular_file()) out[e.path().lexically_relative(dir).string()] = slurp(e.path().string());
  return out;
}

// An engine on `d` under tmux, its print files in `d`/prt.
std::unique_ptr<kivo_test::tmux_pane> engine(const kivo_test::scratch_dir& d, const std::string& args,
                                             const kivo_test::env_list& more = {}) {
  std::filesystem::create_directories(d.file("prt"));
  std::filesystem::create_directories(d.file("tst"));
  kivo_test::env_list e = kivo_test::engine_env(d.path);
  e.push_back({"KIVO_PRT_FI_DIR", d.file("prt") + "/"});
  e.insert(e.end(), more.begin(), more.end());
  return std::make_unique<kivo_test::tmux_pane>(shell_quote(KIVO_BINARY) + " -d=LIB -a=LIB " + args, d.path, e);
}

// Each bad line, added at line 2 of the loans design, is refused with that
// line and what is wrong; no design file of LIB changes.
TEST(DesignerLoaderChecks, BadDesignLineIsRefusedWithItsLineAndNothingChanges) {
  const std::string sel = "SELECT 5 \"LOAN QUERY\" 0 0 1 ";
  const struct {
    const char* what;
    std::string line;
    int at;  // the line refused
    std::string said;
  } cases[] = {
      {"a child's range naming no query",
       "CHILD 2 \"LOAN ENTRY\" 0 1 0 1 1 ap=LIB proc_type=3 name=\"LOAN REPORT\" range_ap=LIB range_name=LOANS", 2,
       "range_name LOANS is no QUERY process (type 5) of LIB"},
      {"a selection on a field that is not there",
       sel + "kind=1 @50:u32=1 @54:u16=1 @56=LIB @59=RETURNED @86=\"   \" @89=0 @119:u8=1 @120=1", 2,
       "selection 1: field RETURNED of LIB not found"},
      {"a selection with relation 9",
       sel + "kind=1 @50:u32=1 @54:u16=1 @56=LIB @59=FINE @86=\"   \" @89=0 @119:u8=9 @120=1", 2,
       "selection 1: relation 9 is none of 1 EQ"},
      {"a sort line on a field that is not there", sel + "kind=2 @52:u32=1 @56=LIB @59=TITLE @82:u16=1 @84=+", 2,
       "sort line 1: field TITLE of LIB not found"},
      {"an indexed file without a primary key", "FILE BOOK\n  ISBN A13\nEND", 2,
       "indexed file BOOK has no field with key=primary"},
      {"a numeric mask that does not parse", "WORK \"FINE DUE\" P5.2 mask=\"-9,99.99\"", 2,
       "field FINE DUE: numeric mask \"-9,99.99\" is not one the conversions take"},
      {"a row longer than its image", "ROW 2 \"LOAN ENTRY\" 0 1 1 2 \"ENTER THE LOAN NUMBER AND THE FINE, THEN ENTER\"",
       2, "row 2: text of 46 characters runs past the 40 columns of the image of 4 x 40"},
      {"a row below the image", "ROW 2 \"LOAN ENTRY\" 0 1 1 5 \"BORROWER:\"", 2,
       "row 5 lies outside the rows 1 to 4 of the image of 4 x 40"},
      {"two items on the same cells", "ITEM 2 \"LOAN ENTRY\" 0 1 1 3 18 ap=LIB field=BORROWER", 17,
       "item LOAN NO at 3/15 lies on the cells of item BORROWER at 3/18 (line 2)"},
      {"a constant longer than its columns",
       "STMTS 2 \"LOAN ENTRY\" ep=4\n" +
           stmt("IF", {{16, "LIB"}, {20, "BORROWER"}, {47, "EQ"}, {54, "TWENTYTHREECHARACTERSXY"}}) + "END",
       3, "column 54: constant or name of 23 characters is longer than its 22 columns"},
  };
  kivo_test::scratch_dir d;
  ASSERT_NO_FATAL_FAILURE(install(d));
  const std::map<std::string, std::string> design = files_under(d.file("01/LIB"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const run_result r = load(d, loans(c.line + "\n"));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("lib.dsgn:" + std::to_string(c.at) + ": " + c.said), std::string::npos) << r.out;
    EXPECT_EQ(files_under(d.file("01/LIB")), design);
  }
}

// What the engine says: a number typed with more decimals than its field,
// a statement comparing a date with a constant its field cannot read (the
// text whole), and keystroke scripts: one naming a key as the key table
// does plays it, one naming no key is refused before the session.
TEST(DesignerLoaderChecks, EngineTextsSayWhatIsWrong) {
  struct key {
    bool text;
    const char* what;
  };
  const struct {
    const char* what;
    const char* process;
    const char* script;  // null: none
    std::vector<key> keys;
    std::string said;
    int status;  // -1: the session runs on (ended with END)
  } cases[] = {
      {"12.345 in a 2-decimal field",
       "-t=Input -p=LOAN_ENTRY",
       nullptr,
       {{false, "F10"}, {true, "L1"}, {false, "Tab"}, {true, "12.345"}, {false, "Enter"}},
       "Too many decimals for the field",
       -1},
      {"a date constant its field cannot read",
       "-t=Input -p=LATE_CHECK",
       nullptr,
       {},
       "col 54: date \"2026-12-31\" is neither CCYYMMDD nor as LOAN DATE shows dates",
       -2},
      {"a script naming the key as the table does",
       "-t=Input -p=LOAN_ENTRY",
       "#INQUIRE MODE\nL1\n#ENTER\n",
       {},
       "Record not found",
       -1},
      {"a script naming no key",
       "-t=Input -p=LOAN_ENTRY",
       "#INQUIRY MODE\n",
       {},
       "line 1: unknown option \"INQUIRY MODE\"",
       1},
  };
  kivo_test::scratch_dir d;
  ASSERT_NO_FATAL_FAILURE(install(d));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    kivo_test::env_list env;
    if (c.script) env.push_back({"KIVO_SCRIPT_IN", d.write("keys.scr", c.script)});
    std::remove(d.file("syserr").c_str());
    auto p = engine(d, c.process, env);
    if (c.status == -1) {
      ASSERT_TRUE(p->wait_for("LOAN NO:")) << p->capture();
    }
    for (const key& k : c.keys) k.text ? p->send_text(k.what) : p->send_keys(k.what);
    if (c.status == -2) {
      EXPECT_NE(p->exit_status(), 0) << p->capture();
      EXPECT_NE(slurp(d.file("syserr")).find(c.said), std::string::npos) << slurp(d.file("syserr"));
      continue;
    }
    EXPECT_TRUE(p->wait_for(c.said)) << p->capture();
    if (c.status == -1) p->send_keys("F2 S-F1");  // CANCEL: out, whatever the field holds
    EXPECT_EQ(p->exit_status(), c.status == -1 ? 0 : c.status) << p->capture();
  }
}

// LOAN is empty: the totals come right below the heading. The heading's
// blank line is printed, the totals' blank line before them is not, paged
// or not.
TEST(DesignerLoaderChecks, BlankLinesOpeningAPageBelowItsHeadingAreNotPrinted) {
  for (int page_len : {0, 20}) {
    SCOPED_TRACE(page_len);
    kivo_test::scratch_dir d;
    ASSERT_NO_FATAL_FAILURE(install(d, page_len));
    auto p = engine(d, "-t=output -p=LOAN_REPORT");
    ASSERT_EQ(p->exit_status(), 0) << p->capture();
    std::string text;
    for (const auto& e : std::filesystem::directory_iterator(d.file("prt")))
      if (e.path().extension() != ".cfg") text = slurp(e.path().string());
    const size_t heading = text.find("LOANS\n");
    ASSERT_NE(heading, std::string::npos) << text;
    EXPECT_EQ(text.substr(heading, 12), "LOANS\n\nTOTAL") << text;
  }
}

}  // namespace
}  // namespace kivo::test
