// Reports, queries and the action log as a user meets them, through the
// real engine under tmux, on installations of their own test designs
// (kivo_design and input_fixture) or on a copy of the shipped one:
//  - detail images written through windows of scroll types 1, 2 and 3 on
//    paged reports keep every page within its length and print each record
//    once;
//  - the interrupt key during the sort of a sorted OUTPUT cancels it: the
//    menu says so and no print file is left;
//  - a selection that does not compile ends the report with one message on
//    the menu, never a system-error screen;
//  - the action log shows what its run was doing, and a run without a title
//    its progress window's text;
//  - the query editors of the demonstration's ledger refuse at ENTER what
//    the query could not run.
#include <signal.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "input_test_util.h"

namespace kivo::test {
namespace {

using kivo_test::shell_quote;
using kivo_test::slurp;

// The print files in `d`/prt, their ".cfg" files left out.
std::vector<std::string> prints(const kivo_test::data_dir& d) {
  std::vector<std::string> out;
  find_files(d.file("prt"), std::regex(".*[^g]$"), &out);
  return out;
}

// ---- report windows on paged reports ----

// A paged OUTPUT process over LABEL (type 3): a page heading, its name,
// with a blank line after it; a detail image of the label's number and
// name on two rows from column 2, written through a window of scroll type
// `scroll` and `win_rows` rows, more than a page leaves room for.
struct window_case {
  const char* proc;
  int scroll;
  int win_rows;
  size_t page_len;
};
const window_case kWindowCases[] = {{"DOWN", 1, 6, 5}, {"ACROSS", 2, 15, 10}, {"COLUMNS", 3, 15, 10}};

std::string window_design() {
  std::string out = "APPLICATION DMP 01\nFILE LABEL\n  \"LBL NO\" A4 key=primary\n  \"LBL NAME\" A14\nEND\n";
  for (const window_case& c : kWindowCases) {
    const std::string p = std::string("3 ") + c.proc + " 0 ";
    char detail[160];
    snprintf(detail, sizeof detail, "IMAGE %s2 1 kind=3 rows=2 cols=18 start_col=2 scroll=%d win_row=%d\n", p.c_str(),
             c.scroll, c.win_rows);
    out += std::string("PROCESS 3 ") + c.proc + " pcf_ap=DMP pcf_file=LABEL\n";
    out += "FRAME " + p + "1 enabled=1 kind=3\nIMAGE " + p + "1 1 kind=3 rows=1 cols=60 blank_after=1\n";
    out += "ROW " + p + "1 1 1 " + c.proc + "\nFRAME " + p + "2 enabled=1 kind=0\n" + detail;
    out += "ITEM " + p + "2 1 1 1 ap=DMP field=\"LBL NO\"\nITEM " + p + "2 1 2 1 ap=DMP field=\"LBL NAME\"\n";
    out += std::string("STMTS 3 ") + c.proc + " ep=1\n      SET      0LA OUT1 MODE                  =      3\n";
    out += "      SET      0LA PAGE LENGTH                =      " + std::to_string(c.page_len) + "\nEND\n";
  }
  return out;
}

constexpr int kLabels = 60;

std::string label_no(int i) {
  char no[8];
  snprintf(no, sizeof no, "L%03d", i);
  return no;
}

// Every page holds at most its length, beginning with its heading, and
// every label is printed once.
TEST(ReportQueryMends, WindowedReportKeepsEveryPageWithinItsLength) {
  kivo_test::data_dir d;
  {
    hex_file recs(d.file("labels.hex"));
    for (int i = 1; i <= kLabels; ++i) recs.add({{label_no(i), 4}, {"NAME " + std::to_string(i * 37), 14}});
  }
  ASSERT_NO_FATAL_FAILURE(install_design(
      d, window_design(), "DB7 DMP 01 3:DOWN 3:ACROSS 3:COLUMNS " + shell_quote("+LABEL=" + d.file("labels.hex"))));
  for (const window_case& r : kWindowCases) {
    SCOPED_TRACE(r.proc);
    ASSERT_EQ(system(("rm -rf " + d.file("prt")).c_str()), 0);
    auto p = print_engine(d, std::string("-d=DB7 -a=DMP -t=output -p=") + r.proc);
    ASSERT_EQ(p->exit_status(), 0) << p->capture();
    const std::vector<std::string> files = prints(d);
    ASSERT_EQ(files.size(), 1u);
    const std::string text = slurp(files[0]);
    const auto pages = pages_of(text);
    EXPECT_GT(pages.size(), 1u) << text;
    for (size_t i = 0; i < pages.size(); ++i) {
      EXPECT_LE(pages[i].size(), r.page_len) << "page " << i + 1 << "\n" << text;
      EXPECT_TRUE(!pages[i].empty() && pages[i][0] == r.proc) << "page " << i + 1 << "\n" << text;
    }
    for (int i = 1; i <= kLabels; ++i) {
      const std::regex no("\\b" + label_no(i) + "\\b");
      const auto found = std::distance(std::sregex_iterator(text.begin(), text.end(), no), std::sregex_iterator());
      EXPECT_EQ(found, 1) << label_no(i) << "\n" << text;
    }
  }
  EXPECT_EQ(slurp(d.file("syserr")), "");
}

// ---- an interrupted sorted report ----

// BIG REPORT lists BIGCUST ranged on BIG QUERY, which sorts the customers
// by name, descending, and lets the user interrupt it (area 3); a bad
// selection's report, BAD REPORT, reads BAD QUERY, whose one statement
// compares a numeric field with "abc". Both keep their print files (mode 3).
constexpr const char* kSortDesign = R"(APPLICATION DMS 01
FILE BIGCUST org=2
  "BIG NO"    A7
  "BIG NAME"  A12
END
FILE AMOUNTS
  "AMT NO"    A4  key=primary
  "AMT SUM"   P7.2S
END
PROCESS 1 "BIG MENU"
FRAME 1 "BIG MENU" 0 1
IMAGE 1 "BIG MENU" 0 1 1 kind=1 rows=3 cols=30 win_row=2 win_col=5
ROW 1 "BIG MENU" 0 1 1 1 "1 SORTED REPORT"
ROW 1 "BIG MENU" 0 1 1 2 "2 BAD SELECTION"
ROW 1 "BIG MENU" 0 1 1 3 "BIG MENU"
CHILD 1 "BIG MENU" 0 1 0 1 1 ap=DMS proc_type=3 name="BIG REPORT" invoc=1 option=1 range_ap=DMS range_name="BIG QUERY"
CHILD 1 "BIG MENU" 0 1 0 1 2 ap=DMS proc_type=3 name="BAD REPORT" invoc=1 option=2 range_ap=DMS range_name="BAD QUERY"
PROCESS 5 "BIG QUERY" pcf_ap=DMS pcf_file=BIGCUST area3=1
SELECT 5 "BIG QUERY" 0 0 1 kind=2 @49=ABC @52:u32=1 @56=DMS @59="BIG NAME              " @82:u16=1 @84=- @103=1
PROCESS 3 "BIG REPORT" pcf_ap=DMS pcf_file=BIGCUST
FRAME 3 "BIG REPORT" 0 1 enabled=1 kind=3
IMAGE 3 "BIG REPORT" 0 1 1 kind=3 rows=1 cols=30
ROW 3 "BIG REPORT" 0 1 1 1 "BIG REPORT"
FRAME 3 "BIG REPORT" 0 2 enabled=1 kind=0
IMAGE 3 "BIG REPORT" 0 2 1 kind=3 rows=1 cols=30
ITEM 3 "BIG REPORT" 0 2 1 1 1 ap=DMS field="BIG NO"
ITEM 3 "BIG REPORT" 0 2 1 1 10 ap=DMS field="BIG NAME"
STMTS 3 "BIG REPORT" ep=1
      SET      0LA OUT1 MODE                  =      3
END
PROCESS 5 "BAD QUERY" pcf_ap=DMS pcf_file=AMOUNTS
SELECT 5 "BAD QUERY" 0 0 1 kind=1 @49:u8=9 @50:u32=1 @54:u16=1 @56=DMS @59="AMT SUM               " @84:u16=1 @86="   " @89="abc                           " @119:u8=3 @120=1
PROCESS 3 "BAD REPORT" pcf_ap=DMS pcf_file=AMOUNTS
FRAME 3 "BAD REPORT" 0 1 enabled=1 kind=0
IMAGE 3 "BAD REPORT" 0 1 1 kind=3 rows=1 cols=30
ITEM 3 "BAD REPORT" 0 1 1 1 1 ap=DMS field="AMT NO"
STMTS 3 "BAD REPORT" ep=1
      SET      0LA OUT1 MODE                  =      3
END
)";

// The run memory (KIVO_RUN_MEM 471,852) holds 13,107 entries of 20 bytes
// and their 16-byte slots: the sort writes its first run, long before its
// end, to its work file 2 (the engine's first query numbers its pointer
// file 1), where the engine is held; the interrupt comes then.
constexpr int kBigRecords = 200000;

// The interrupt ends the sort with 104250, and the report with it: the
// menu's message line says the run was cancelled, and no print file (nor
// its ".cfg") is left to pass for a complete, empty report.
TEST(ReportQueryMends, InterruptedSortedReportSaysSoAndLeavesNoPrint) {
  kivo_test::data_dir d;
  ASSERT_NO_FATAL_FAILURE(install_design(d, kSortDesign, "DB8 DMS 01 '3:BIG REPORT' '3:BAD REPORT'"));
  write_big_customers(d.file("DB8/DMS/Data/BIGCUST.dat"), kBigRecords);
  kivo_test::env_list e = gate_env(d, "/00000002-");
  e.push_back({"KIVO_RUN_MEM", "471852"});
  auto p = print_engine(d, "-d=DB8 -a=DMS -t=menu " + shell_quote("-p=BIG MENU"), e);
  ASSERT_TRUE(p->wait_for("BIG MENU")) << p->capture();
  p->send_keys("F1 1");
  ASSERT_TRUE(held_at_gate(d)) << p->capture();
  p->kill_command(SIGINT);
  std::ofstream(d.file("go")) << "";
  EXPECT_TRUE(p->wait_for("Cancelled at the user's request")) << p->capture();
  EXPECT_NE(p->capture().find("1 SORTED REPORT"), std::string::npos) << p->capture();
  std::vector<std::string> left;
  find_files(d.file("prt"), std::regex(".*"), &left);
  EXPECT_EQ(left, std::vector<std::string>{});
  p->send_keys("S-F1");
  EXPECT_EQ(p->exit_status(), 0) << p->capture();
  EXPECT_EQ(slurp(d.file("syserr")), "");
}

// A selection whose statement cannot compile (a numeric field against
// "abc") builds no query: the report ends with the one message on the
// menu's line, and no system error is shown or logged.
TEST(ReportQueryMends, SelectionThatCannotCompileEndsTheReportWithOneMessage) {
  kivo_test::data_dir d;
  ASSERT_NO_FATAL_FAILURE(install_design(d, kSortDesign, "DB8 DMS 01 '3:BIG REPORT' '3:BAD REPORT'"));
  auto p = print_engine(d, "-d=DB8 -a=DMS -t=menu " + shell_quote("-p=BIG MENU"));
  ASSERT_TRUE(p->wait_for("BIG MENU")) << p->capture();
  p->send_keys("F1 2");
  EXPECT_TRUE(p->wait_for("Query selection statement 1 (AMT SUM): value does not suit the field")) << p->capture();
  EXPECT_NE(p->capture().find("2 BAD SELECTION"), std::string::npos) << p->capture();
  EXPECT_EQ(prints(d), std::vector<std::string>{});
  p->send_keys("S-F1");
  EXPECT_EQ(p->exit_status(), 0) << p->capture();
  EXPECT_EQ(slurp(d.file("syserr")), "");
}

// ---- the action log's texts ----

// LOG ACTION, without a title, posts a message at its heading, at each of
// its two records and at its total; each record's frame writes a NOTE,
// where a test can hold it.
constexpr const char* kLogDesign = R"(APPLICATION DMA 01
FILE ITEMS
  "ITEM NO"   A4  key=primary
END
FILE NOTES org=2
  "NOTE NO"   A4
END
PROCESS 1 "LOG MENU"
FRAME 1 "LOG MENU" 0 1
IMAGE 1 "LOG MENU" 0 1 1 kind=1 rows=2 cols=30 win_row=2 win_col=5
ROW 1 "LOG MENU" 0 1 1 1 "1 LOGGED ACTION"
ROW 1 "LOG MENU" 0 1 1 2 "LOG MENU"
CHILD 1 "LOG MENU" 0 1 0 1 1 ap=DMA proc_type=4 name="LOG ACTION" invoc=1 option=1
PROCESS 4 "LOG ACTION" pcf_ap=DMA pcf_file=ITEMS
FRAME 4 "LOG ACTION" 0 1 enabled=1 kind=1
FRAME 4 "LOG ACTION" 0 2 enabled=1 kind=0
FRAME 4 "LOG ACTION" 0 3 enabled=1 kind=2
STMTS 4 "LOG ACTION" ep=21 frame=0,1
      MESSAGE  POSTED AT THE HEADING
END
STMTS 4 "LOG ACTION" ep=21 frame=0,2
      SET      DMA NOTE NO                    =  DMA ITEM NO
      WRITE    DMA NOTES                    0
      MESSAGE  POSTED AT A RECORD
END
STMTS 4 "LOG ACTION" ep=21 frame=0,3
      MESSAGE  POSTED AT THE TOTAL
END
)";

// Held at its first NOTE, the run shows its progress window's text; then
// the ACTION LOG shows each line with what the run was doing, in order.
TEST(ReportQueryMends, ActionLogShowsWhatTheRunWasDoing) {
  kivo_test::data_dir d;
  {
    hex_file recs(d.file("items.hex"));
    for (const char* no : {"I001", "I002"}) recs.add({{no, 4}});
  }
  ASSERT_NO_FATAL_FAILURE(
      install_design(d, kLogDesign, "DB9 DMA 01 '4:LOG ACTION' " + shell_quote("+ITEMS=" + d.file("items.hex"))));
  auto p = print_engine(d, "-d=DB9 -a=DMA -t=menu " + shell_quote("-p=LOG MENU"), gate_env(d, "/NOTES"));
  ASSERT_TRUE(p->wait_for("LOG MENU")) << p->capture();
  p->send_keys("F1 1");
  ASSERT_TRUE(held_at_gate(d)) << p->capture();
  EXPECT_TRUE(p->wait_for("Processing - please wait")) << p->capture();
  std::ofstream(d.file("go")) << "";
  struct line {
    const char* text;
    const char* context;
  } lines[] = {{"POSTED AT THE HEADING", "Processing heading"},
               {"POSTED AT A RECORD", "Processing record"},
               {"POSTED AT A RECORD", "Processing record"},
               {"POSTED AT THE TOTAL", "Processing totals"}};
  ASSERT_TRUE(p->wait_for("ACTION LOG")) << p->capture();
  for (size_t i = 0; i < std::size(lines); ++i) {
    SCOPED_TRACE(i);
    p->send_keys("F9");  // NEXT RECORD
    const std::string want = std::string("WHILE:   ") + lines[i].context;
    const bool shown = kivo_test::wait_until(
        [&] {
          const std::string s = p->capture();
          return s.find(lines[i].text) != std::string::npos && s.find(want) != std::string::npos &&
                 (i != 1 || s.find("I001") != std::string::npos) && (i != 2 || s.find("I002") != std::string::npos);
        },
        kivo_test::kScreenWait);
    EXPECT_TRUE(shown) << want << "\n" << p->capture();
  }
  p->send_keys("S-F1");
  ASSERT_TRUE(p->wait_for("LOG MENU")) << p->capture();
  p->send_keys("S-F1");
  EXPECT_EQ(p->exit_status(), 0) << p->capture();
  EXPECT_EQ(slurp(d.file("syserr")), "");
}

// ---- the query editors of the ledger ----

// The demonstration's ledger on a copy of the shipped installation in `d`:
// its menu, and the selection editor on the balance's criterion (relation
// 3, value 0) after ENTER on line 1 and NEXT RECORD.
std::unique_ptr<kivo_test::tmux_pane> selection_editor(const kivo_test::data_dir& d) {
  EXPECT_EQ(system(("cp -rn " + kivo_test::shipped_installation() + "/. " + d.path).c_str()), 0);
  auto p = print_engine(d, "-d=DEM -a=DEM -t=Menu -p=ACCOUNT_MENU");
  EXPECT_TRUE(p->wait_for("ACCOUNT MENU")) << p->capture();
  p->send_keys("Enter");
  EXPECT_TRUE(p->wait_for("QSLCT EDIT")) << p->capture();
  p->send_keys("F9");
  EXPECT_TRUE(p->wait_for("ACCT BALANCE")) << p->capture();
  return p;
}

// CHANGE MODE, then each key (false) or text (true) in turn.
void change(kivo_test::tmux_pane* p, std::initializer_list<std::pair<bool, std::string>> input) {
  p->send_keys("S-F2");
  ASSERT_TRUE(p->wait_for("CHANGE MODE")) << p->capture();
  for (const auto& [typed, s] : input) typed ? p->send_text(s) : p->send_keys(s);
}

// Relation 3 with "abc", and 7 (IN) with "51" or "51.00,127.50", are
// refused at ENTER with the reason and no record is changed; 3 with 500 is
// taken. The refused statement leaves the ranking as it was: its 40
// accounts print.
TEST(ReportQueryMends, SelectionEditorRefusesWhatTheQueryCannotCompile) {
  kivo_test::data_dir d;
  struct row {
    const char* relation;
    const char* value;
    const char* message;  // null: taken
  } rows[] = {
      {"3", "abc", "VALUE MUST BE A NUMBER"},
      {"7", "51", "IN IS FOR TEXT FIELDS"},
      {"7", "51.00,127.50", "IN IS FOR TEXT FIELDS"},
      {"3", "500", nullptr},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(std::string(r.relation) + " " + r.value);
    auto p = selection_editor(d);
    ASSERT_NO_FATAL_FAILURE(change(p.get(), {{true, r.relation}, {false, "Tab"}, {true, r.value}}));
    ASSERT_TRUE(p->wait_for(std::string("VALUE:     ") + r.value)) << p->capture();
    p->send_keys("Enter");
    EXPECT_TRUE(p->wait_for(r.message ? r.message : "RECORD CHANGED")) << p->capture();
    if (r.message) {
      EXPECT_EQ(p->capture().find("RECORD CHANGED"), std::string::npos) << p->capture();
      // Left unchanged, the query runs as designed: the ranking prints.
      p->send_keys("S-F1");
      ASSERT_TRUE(p->wait_for("QSORT EDIT")) << p->capture();
      p->send_keys("S-F1");
      ASSERT_TRUE(kivo_test::wait_until([&] { return p->capture().find("QSORT EDIT") == std::string::npos; },
                                        kivo_test::kScreenWait))
          << p->capture();
      p->send_keys("Down Enter");
      // Its ".cfg" comes once the print is whole.
      std::vector<std::string> cfg;
      ASSERT_TRUE(kivo_test::wait_until(
          [&] { return cfg.clear(), find_files(d.file("prt"), std::regex(".*\\.cfg"), &cfg), cfg.size() == 1; },
          kivo_test::kScreenWait))
          << p->capture();
      const std::string text = slurp(cfg[0].substr(0, cfg[0].size() - 4));
      const std::regex account("A[0-9]{5} ");
      EXPECT_EQ(std::distance(std::sregex_iterator(text.begin(), text.end(), account), std::sregex_iterator()), 40)
          << text;
      ASSERT_EQ(system(("rm -rf " + d.file("prt")).c_str()), 0);
    }
    p->send_keys("S-F1");
  }
}

// An ORDER of "x" is refused at ENTER with the two orders named.
TEST(ReportQueryMends, SortEditorRefusesAnUnknownOrder) {
  kivo_test::data_dir d;
  auto p = selection_editor(d);
  p->send_keys("S-F1");
  ASSERT_TRUE(p->wait_for("QSORT EDIT")) << p->capture();
  p->send_keys("F9");
  ASSERT_TRUE(p->wait_for("REGION")) << p->capture();
  ASSERT_NO_FATAL_FAILURE(change(p.get(), {{true, "x"}}));
  ASSERT_TRUE(p->wait_for("ORDER:     x")) << p->capture();
  p->send_keys("Enter");
  EXPECT_TRUE(p->wait_for("ORDER IS + (ASCENDING) OR - (DESCENDING)")) << p->capture();
  EXPECT_EQ(p->capture().find("RECORD CHANGED"), std::string::npos) << p->capture();
}

}  // namespace
}  // namespace kivo::test
