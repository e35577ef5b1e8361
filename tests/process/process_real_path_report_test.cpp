// Action information, report windows and the sort's interrupt through the
// real engine under tmux, each on an installation of its own test design
// (kivo_design and input_fixture, native files with their records):
//  - an ACTION ranged on a QUERY takes the query's "RANGE CODE" into its
//    system area 17, which its detail frame writes into a file;
//  - OUTPUT processes whose detail image scrolls through a window (labels
//    down then across, labels side by side, columns of flowing text on a
//    paged report) print their golden files;
//  - the interrupt key during the sort of 200,000 records ends it with
//    104250, long before it is done, and leaves no work file.
#include <dirent.h>
#include <signal.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "input_test_util.h"

namespace kivo::test {
namespace {

using kivo_test::shell_quote;
using kivo_test::slurp;

// ---- system area 17 ----

// PAID QUERY sets its range code at its start, PLAIN QUERY sets none; the
// menu runs CODE ACTION ranged on each in turn, and the action writes each
// customer's number with its area 17 into CODES.
constexpr const char* kCodeDesign = R"(APPLICATION DMR 01
FILE CUSTOMER
  "CUST NO"   A6  key=primary
  REGION      A5
END
FILE CODES org=2
  "CODE CUST" A6
  "CODE TEXT" A4
END
PROCESS 1 "CODE MENU"
FRAME 1 "CODE MENU" 0 1
IMAGE 1 "CODE MENU" 0 1 1 kind=1 rows=3 cols=30 win_row=2 win_col=5
ROW 1 "CODE MENU" 0 1 1 1 "1 PAID ACTION"
ROW 1 "CODE MENU" 0 1 1 2 "2 PLAIN ACTION"
ROW 1 "CODE MENU" 0 1 1 3 "CODE MENU"
CHILD 1 "CODE MENU" 0 1 0 1 1 ap=DMR proc_type=4 name="CODE ACTION" invoc=1 option=1 range_ap=DMR range_name="PAID QUERY"
CHILD 1 "CODE MENU" 0 1 0 1 2 ap=DMR proc_type=4 name="CODE ACTION" invoc=1 option=2 range_ap=DMR range_name="PLAIN QUERY"
PROCESS 5 "PAID QUERY" pcf_ap=DMR pcf_file=CUSTOMER
SELECT 5 "PAID QUERY" 0 0 1 kind=2 @49=ABC @52:u32=1 @56=DMR @59="REGION                " @82:u16=1 @84=+ @87=1 @103=1
STMTS 5 "PAID QUERY" ep=1
      SET      0LA RANGE CODE                 =      PAID
END
PROCESS 5 "PLAIN QUERY" pcf_ap=DMR pcf_file=CUSTOMER
SELECT 5 "PLAIN QUERY" 0 0 1 kind=2 @49=ABC @52:u32=1 @56=DMR @59="REGION                " @82:u16=1 @84=+ @87=1 @103=1
PROCESS 4 "CODE ACTION" pcf_ap=DMR pcf_file=CUSTOMER
FRAME 4 "CODE ACTION" 0 1 enabled=1 kind=0
STMTS 4 "CODE ACTION" ep=21 frame=0,1
      SET      DMR CODE CUST                  =  DMR CUST NO
      SET      DMR CODE TEXT                  =  0LA RANGE CODE
      WRITE    DMR CODES                    0
END
)";

TEST(ProcessRealPath, RangedActionHoldsItsQuerysCodeInArea17) {
  kivo_test::data_dir d;
  {
    hex_file recs(d.file("customers.hex"));
    for (const char* r : {"C00003 WEST ", "C00001 EAST ", "C00002 NORTH"})
      recs.add({{std::string(r, 6), 6}, {std::string(r + 7), 5}});
  }
  ASSERT_NO_FATAL_FAILURE(install_design(
      d, kCodeDesign, "DB4 DMR 01 '4:CODE ACTION' " + shell_quote("+CUSTOMER=" + d.file("customers.hex"))));
  auto p = print_engine(d, "-d=DB4 -a=DMR -t=menu " + shell_quote("-p=CODE MENU"));
  ASSERT_TRUE(p->wait_for("CODE MENU")) << p->capture();
  // CODES is a sequential file of 10-byte records; each run adds three.
  const std::string codes = d.file("DB4/DMR/Data/CODES.dat");
  for (const char* option : {"F1 1", "F1 2"}) {
    const size_t before = slurp(codes).size();
    p->send_keys(option);
    EXPECT_TRUE(kivo_test::wait_until([&] { return slurp(codes).size() == before + 30; }, kivo_test::kScreenWait))
        << option << "\n"
        << p->capture();
  }
  p->send_keys("S-F1");
  EXPECT_EQ(p->exit_status(), 0) << p->capture();
  EXPECT_EQ(slurp(d.file("syserr")), "");
  // The sort by region: EAST, NORTH, WEST; the plain query's run leaves
  // the area blank.
  EXPECT_EQ(slurp(codes), "C00001PAIDC00002PAIDC00003PAIDC00001    C00002    C00003    ");
}

// ---- report windows ----

// Three OUTPUT processes over LABEL, each with a 60-column page heading
// (the report's width) and a detail image written through a window:
//  - DOWN: 3-row labels from column 2, two rows of them (window rows 6),
//    placed down, then across, as each window of six is complete;
//  - ACROSS: the same labels side by side with a blank line after them,
//    one row at a time;
//  - COLUMNS: 2-row entries flowing down three columns of a 12-line page;
//  - GRID: ACROSS's labels as an INQUIRY, on the screen.
constexpr const char* kWindowDesign = R"(APPLICATION DMW 01
FILE LABEL
  "LBL NO"    A4  key=primary
  "LBL NAME"  A14
  "LBL CITY"  A10
END
PROCESS 3 DOWN pcf_ap=DMW pcf_file=LABEL
FRAME 3 DOWN 0 1 enabled=1 kind=3
IMAGE 3 DOWN 0 1 1 kind=3 rows=1 cols=60 blank_after=1
ROW 3 DOWN 0 1 1 1 "LABELS DOWN THEN ACROSS"
FRAME 3 DOWN 0 2 enabled=1 kind=0
IMAGE 3 DOWN 0 2 1 kind=3 rows=3 cols=18 start_col=2 scroll=1 win_row=6
ITEM 3 DOWN 0 2 1 1 1 ap=DMW field="LBL NO"
ITEM 3 DOWN 0 2 1 2 1 ap=DMW field="LBL NAME"
ITEM 3 DOWN 0 2 1 3 1 ap=DMW field="LBL CITY"
STMTS 3 DOWN ep=1
      SET      0LA OUT1 MODE                  =      3
END
PROCESS 3 ACROSS pcf_ap=DMW pcf_file=LABEL
FRAME 3 ACROSS 0 1 enabled=1 kind=3
IMAGE 3 ACROSS 0 1 1 kind=3 rows=1 cols=60 blank_after=1
ROW 3 ACROSS 0 1 1 1 "LABELS ACROSS"
FRAME 3 ACROSS 0 2 enabled=1 kind=0
IMAGE 3 ACROSS 0 2 1 kind=3 rows=3 cols=18 start_col=2 scroll=2 blank_after=1
ITEM 3 ACROSS 0 2 1 1 1 ap=DMW field="LBL NO"
ITEM 3 ACROSS 0 2 1 2 1 ap=DMW field="LBL NAME"
ITEM 3 ACROSS 0 2 1 3 1 ap=DMW field="LBL CITY"
FRAME 3 ACROSS 0 3 enabled=1 kind=2
IMAGE 3 ACROSS 0 3 1 kind=3 rows=1 cols=20
ROW 3 ACROSS 0 3 1 1 "END OF LABELS"
STMTS 3 ACROSS ep=1
      SET      0LA OUT1 MODE                  =      3
END
PROCESS 9 GRID pcf_ap=DMW pcf_file=LABEL
FRAME 9 GRID 0 1 enabled=1 kind=3
IMAGE 9 GRID 0 1 1 kind=3 rows=1 cols=60 blank_after=1
ROW 9 GRID 0 1 1 1 "LABELS ON THE SCREEN"
FRAME 9 GRID 0 2 enabled=1 kind=0
IMAGE 9 GRID 0 2 1 kind=3 rows=3 cols=18 start_col=2 scroll=2 blank_after=1
ITEM 9 GRID 0 2 1 1 1 ap=DMW field="LBL NO"
ITEM 9 GRID 0 2 1 2 1 ap=DMW field="LBL NAME"
ITEM 9 GRID 0 2 1 3 1 ap=DMW field="LBL CITY"
PROCESS 3 COLUMNS pcf_ap=DMW pcf_file=LABEL
FRAME 3 COLUMNS 0 1 enabled=1 kind=3
IMAGE 3 COLUMNS 0 1 1 kind=3 rows=1 cols=60 blank_after=1
ROW 3 COLUMNS 0 1 1 1 "CITY LIST"
FRAME 3 COLUMNS 0 2 enabled=1 kind=0
IMAGE 3 COLUMNS 0 2 1 kind=3 rows=2 cols=20 scroll=3
ITEM 3 COLUMNS 0 2 1 1 1 ap=DMW field="LBL NO"
ITEM 3 COLUMNS 0 2 1 1 6 ap=DMW field="LBL NAME"
ITEM 3 COLUMNS 0 2 1 2 3 ap=DMW field="LBL CITY"
STMTS 3 COLUMNS ep=1
      SET      0LA OUT1 MODE                  =      3
      SET      0LA PAGE LENGTH                =      12
END
)";

TEST(ProcessRealPath, WindowedImagesPrintTheirGoldens) {
  kivo_test::data_dir d;
  {
    hex_file recs(d.file("labels.hex"));
    const char* cities[] = {"ARDEN", "BRISTOL", "CALAIS", "DOVER", "ELY", "FLINT", "GOUDA"};
    for (int i = 1; i <= 20; ++i) {
      char no[8];
      snprintf(no, sizeof no, "L%03d", i);
      recs.add({{no, 4}, {"NAME " + std::to_string(i * 37), 14}, {cities[i % 7], 10}});
    }
  }
  ASSERT_NO_FATAL_FAILURE(
      install_design(d, kWindowDesign,
                     "DB5 DMW 01 3:DOWN 3:ACROSS 3:COLUMNS 9:GRID " + shell_quote("+LABEL=" + d.file("labels.hex"))));
  struct row {
    const char* proc;
    const char* golden;
  } rows[] = {{"DOWN", "window_down.prt"}, {"ACROSS", "window_across.prt"}, {"COLUMNS", "window_columns.prt"}};
  for (const row& r : rows) {
    SCOPED_TRACE(r.proc);
    ASSERT_EQ(system(("rm -rf " + d.file("prt")).c_str()), 0);
    auto p = print_engine(d, std::string("-d=DB5 -a=DMW -t=output -p=") + r.proc);
    ASSERT_EQ(p->exit_status(), 0) << p->capture();
    std::vector<std::string> prints;
    find_files(d.file("prt"), std::regex(".*[^g]$"), &prints);  // the ".cfg" files left out
    ASSERT_EQ(prints.size(), 1u);
    const std::string golden = std::string(KIVO_SOURCE_DIR) + "/tests/process/golden/" + r.golden;
    if (getenv("KIVO_UPDATE_GOLDEN")) std::ofstream(golden) << slurp(prints[0]);
    EXPECT_EQ(slurp(prints[0]), slurp(golden));
  }
  // The INQUIRY's first page of 21 lines: the heading and five rows of
  // three labels (the last one's blank line after them left out).
  auto p = print_engine(d, "-d=DB5 -a=DMW -t=inquiry -p=GRID");
  ASSERT_TRUE(p->wait_for("L015")) << p->capture();
  const std::vector<std::string> lines = p->lines();
  const std::string golden = slurp(std::string(KIVO_SOURCE_DIR) + "/tests/process/golden/window_across.prt");
  for (const char* row : {" L001              L002              L003", " NAME 148          NAME 185          NAME 222",
                          " GOUDA             ARDEN             BRISTOL"}) {
    EXPECT_NE(golden.find(row), std::string::npos) << row;
    EXPECT_NE(std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(row) == 0; }),
              lines.end())
        << row << "\n"
        << p->capture();
  }
  EXPECT_EQ(p->capture().find("L016"), std::string::npos) << "a sixth row fits no 21-line page";
  p->send_keys("S-F1");
  EXPECT_EQ(p->exit_status(), 0) << p->capture();
  EXPECT_EQ(slurp(d.file("syserr")), "");
}

// ---- the sort's interrupt ----

// BIG ACTION reads BIGCUST ranged on BIG QUERY, which sorts all 200,000
// customers by name, descending, and lets the user interrupt it (area 3).
// BIGCUST is a sequential file: its records one after another, no header.
constexpr const char* kBigDesign = R"(APPLICATION DMI 01
FILE BIGCUST org=2
  "BIG NO"    A7
  "BIG NAME"  A12
END
PROCESS 1 "BIG MENU"
FRAME 1 "BIG MENU" 0 1
IMAGE 1 "BIG MENU" 0 1 1 kind=1 rows=2 cols=30 win_row=2 win_col=5
ROW 1 "BIG MENU" 0 1 1 1 "1 SORTED RUN"
ROW 1 "BIG MENU" 0 1 1 2 "BIG MENU"
CHILD 1 "BIG MENU" 0 1 0 1 1 ap=DMI proc_type=4 name="BIG ACTION" invoc=1 option=1 range_ap=DMI range_name="BIG QUERY"
PROCESS 5 "BIG QUERY" pcf_ap=DMI pcf_file=BIGCUST area3=1
SELECT 5 "BIG QUERY" 0 0 1 kind=2 @49=ABC @52:u32=1 @56=DMI @59="BIG NAME              " @82:u16=1 @84=- @103=1
PROCESS 4 "BIG ACTION" pcf_ap=DMI pcf_file=BIGCUST
FRAME 4 "BIG ACTION" 0 1 enabled=1 kind=0
)";

constexpr int kBigRecords = 200000;

// The highest count of "Selecting record N of M processed" on the screen.
uint32_t selecting(const std::string& screen) {
  static const std::regex re("Selecting record [0-9]+ of ([0-9]+) processed");
  uint32_t top = 0;
  for (std::sregex_iterator it(screen.begin(), screen.end(), re), end; it != end; ++it)
    top = std::max<uint32_t>(top, uint32_t(std::stoul((*it)[1])));
  return top;
}

// The sort's work files (the pointer file and six run files): eight
// hexadecimal digits and the engine's tag for a name.
std::vector<std::string> work_files(const kivo_test::data_dir& d) {
  std::vector<std::string> out;
  find_files(d.path, std::regex("[0-9A-F]{8}-[0-9A-F]+\\.[a-z]+"), &out);
  return out;
}

// The engine's first query numbers its pointer file 1 and its run files 2
// to 7; the run memory (KIVO_RUN_MEM 471,852: 13,107 entries of 20 bytes
// and their 16-byte slots) fills after that many records, and the sort
// writes its first run to file 2.
// The engine is held at that write; the interrupt comes then. The sort
// ends with 104250, which the action posts and its log shows, before the
// selection counted 20,000 records (shown every 10,000) of the 200,000, and
// none of its files is left.
TEST(ProcessRealPath, InterruptKeyEndsALongSortWithItsStatusAndNoWorkFile) {
  kivo_test::data_dir d;
  ASSERT_NO_FATAL_FAILURE(install_design(d, kBigDesign, "DB6 DMI 01 '4:BIG ACTION'"));
  write_big_customers(d.file("DB6/DMI/Data/BIGCUST.dat"), kBigRecords);
  kivo_test::env_list e = gate_env(d, "/00000002-");
  e.insert(e.end(), {{"KIVO_SHOW_PROGRESS", "1"}, {"KIVO_RUN_MEM", "471852"}});
  auto p = print_engine(d, "-d=DB6 -a=DMI -t=menu " + shell_quote("-p=BIG MENU"), e);
  ASSERT_TRUE(p->wait_for("BIG MENU")) << p->capture();
  p->send_keys("F1 1");
  ASSERT_TRUE(held_at_gate(d)) << p->capture();
  EXPECT_GE(work_files(d).size(), 6u);
  p->kill_command(SIGINT);
  std::ofstream(d.file("go")) << "";
  // Until the action log shows the line, the count the screen shows.
  uint32_t top = 0;
  std::string screen;
  const bool logged = kivo_test::wait_until(
      [&] {
        screen = p->capture();
        top = std::max(top, selecting(screen));
        return screen.find("ACTION LOG") != std::string::npos;
      },
      kivo_test::kScreenWait);
  ASSERT_TRUE(logged) << screen;
  EXPECT_LT(top, 20000u) << screen;
  EXPECT_EQ(screen.find("Processing record"), std::string::npos) << screen;
  p->send_keys("F9");  // NEXT RECORD: the line
  EXPECT_TRUE(p->wait_for("ERROR - Cancelled at the user's request")) << p->capture();
  p->send_keys("S-F1");
  ASSERT_TRUE(p->wait_for("BIG MENU")) << p->capture();
  p->send_keys("S-F1");
  EXPECT_EQ(p->exit_status(), 0) << p->capture();
  EXPECT_EQ(work_files(d), std::vector<std::string>{});
  EXPECT_EQ(slurp(d.file("syserr")), "");
}

}  // namespace
}  // namespace kivo::test
