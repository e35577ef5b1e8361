// A designer's application as it runs, through the real kivo, kivo_design
// and kivo_install under tmux on copies of the shipped installation, with a
// design of these tests' own (application and database DRM):
//  - a file in a shared data area, used by one process of the menu, is read
//    by the next one (the order line is stored);
//  - a menu line whose process cannot run says so on the message line and
//    in the system-error log;
//  - after an interrupted sorted report, the next run prints every record;
//  - windowed and plain reports with blank lines after their heading and
//    their blocks keep every page within its length, and a page too short
//    for the heading and one block still holds a block;
//  - SIGTERM and SIGHUP during a report leave no print that looks complete,
//    put the terminal back and end with 128 + the signal;
//  - a first process that fails ends the session with its end code;
//  - a process whose optional file is not listed for the database runs on.
#include <signal.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "../compiler/stmt_line_util.h"
#include "input_test_util.h"

namespace kivo::test {
namespace {

using kivo_test::shell_quote;
using kivo_test::slurp;

std::string stmt(const char* verb, cols at, const char* prefix = "") { return line_at(verb, at, prefix) + "\n"; }

std::string set_stmt(const char* ap, const char* field, const char* value) {
  return stmt("SET", {{16, ap}, {20, field}, {47, "="}, {54, value}});
}

// ---- the design ----

// The menu's lines: a product screen and an order screen (PRODUCT lies in
// data area `area`, which both share with the menu when `invoc` is 0, a
// SUBPROCESS, and kind 8 when it is 1, RELATED), a process that does not
// compile, one that does not exist, and a sorted report.
std::string menu(int invoc) {
  const std::string i = std::to_string(invoc);
  std::string m =
      "PROCESS 1 \"DRM MENU\"\nFRAME 1 \"DRM MENU\" 0 1\n"
      "IMAGE 1 \"DRM MENU\" 0 1 1 kind=1 rows=6 cols=40 win_row=2 win_col=5\n";
  const char* lines[] = {"1 PRODUCT ENTRY", "2 ORDER ENTRY", "3 BROKEN", "4 MISSING", "5 SORTED LIST", "DRM MENU"};
  for (int r = 0; r < 6; ++r) m += "ROW 1 \"DRM MENU\" 0 1 1 " + std::to_string(r + 1) + " \"" + lines[r] + "\"\n";
  m += "CHILD 1 \"DRM MENU\" 0 1 0 1 1 ap=DRM proc_type=2 name=\"PRODUCT ENTRY\" invoc=" + i + " option=1\n";
  m += "CHILD 1 \"DRM MENU\" 0 1 0 2 2 ap=DRM proc_type=2 name=\"ORDER ENTRY\" invoc=" + i + " option=2\n";
  m += "CHILD 1 \"DRM MENU\" 0 1 0 5 5 ap=DRM proc_type=3 name=\"SORTED LIST\" invoc=0 option=5 range_ap=DRM "
       "range_name=\"BIG QUERY\"\n";
  return m;
}

// An entry screen of `rows` "label:field" pairs over `file`.
std::string entry(const std::string& name, const char* file,
                  std::initializer_list<std::pair<const char*, const char*>> rows) {
  const std::string q = "\"" + name + "\"";
  std::string s = "PROCESS 2 " + q + " pcf_ap=DRM pcf_file=" + file + " pcf_update=1 pcf_required=1\n" + "FRAME 2 " +
                  q + " 0 1\nIMAGE 2 " + q + " 0 1 1 kind=1 rows=3 cols=40 win_row=9 win_col=5\n" + "ROW 2 " + q +
                  " 0 1 1 1 " + q + "\n";
  int r = 2;
  for (const auto& [label, field] : rows) {
    s += "ROW 2 " + q + " 0 1 1 " + std::to_string(r) + " \"" + label + "\"\n";
    s += "ITEM 2 " + q + " 0 1 1 " + std::to_string(r) + " 12 ap=DRM field=\"" + field + "\" input=1\n";
    ++r;
  }
  return s;
}

// A report over BIGCUST: a one-row heading with a blank line after it, a
// detail image of `detail` (attributes of its IMAGE), the name on a second
// row when `two_rows`, a total of the records read unless `total` is false,
// more statements of the detail and more PROCESS attributes.
struct report_spec {
  std::string name;
  std::string detail;
  int page_len;
  bool two_rows;
  bool total;
  std::string detail_stmts;
  std::string attrs;
};
report_spec spec(const std::string& name, const std::string& detail, int page_len = 0, bool two_rows = false,
                 bool total = true, const std::string& detail_stmts = "", const std::string& attrs = "") {
  return {name, detail, page_len, two_rows, total, detail_stmts, attrs};
}

std::string report(const report_spec& r) {
  const std::string q = "\"" + r.name + "\"", p = "3 " + q + " 0 ";
  std::string s = "PROCESS 3 " + q + " pcf_ap=DRM pcf_file=BIGCUST" + r.attrs + "\n";
  s += "FRAME " + p + "1 enabled=1 kind=3\nIMAGE " + p + "1 1 kind=3 rows=1 cols=40 blank_after=1\n";
  s += "ROW " + p + "1 1 1 " + q + "\n";
  s += "FRAME " + p + "2 enabled=1 kind=0\nIMAGE " + p + "2 1 kind=3 " + r.detail + "\n";
  s += "ITEM " + p + "2 1 1 1 ap=DRM field=\"BIG NO\"\n";
  s += "ITEM " + p + "2 1 " + std::string(r.two_rows ? "2 1" : "1 10") + " ap=DRM field=\"BIG NAME\"\n";
  if (r.total) {
    s += "FRAME " + p + "3 enabled=1 kind=2\nIMAGE " + p + "3 1 kind=3 rows=1 cols=40\n";
    s += "ROW " + p + "3 1 1 TOTAL\nITEM " + p + "3 1 1 10 ap=DRM field=\"BIG COUNT\"\n";
  }
  s += "STMTS 3 " + q + " ep=1\n" + set_stmt("0LA", "OUT1 MODE", "3");
  if (r.page_len) s += set_stmt("0LA", "PAGE LENGTH", std::to_string(r.page_len).c_str());
  s += "END\nSTMTS 3 " + q + " ep=21 frame=0,2\n" + r.detail_stmts;
  if (r.total) s += stmt("TOTAL", {{16, "DRM"}, {20, "BIG COUNT"}, {47, "+"}, {54, "1"}});
  return s + "END\n";
}

// The label reports: scroll type, window rows, page length. A page of 3
// holds the heading and its blank line, and no block of two rows.
struct label_case {
  const char* name;
  int scroll, win_rows, page_len;
};
const label_case kLabels[] = {{"LBL DOWN", 1, 6, 10},     {"LBL ACROSS", 2, 15, 10}, {"LBL FLOW", 3, 15, 10},
                              {"SHORT ACROSS", 2, 15, 3}, {"SHORT FLOW", 3, 0, 3},   {"SHORT PLAIN", 0, 0, 3}};

// The record the failing report stops at: its READ of a product that is
// not there must succeed (FAIL 1).
constexpr const char* kFailAt = "B000050";

std::string design(int area, int invoc) {
  std::string s = "APPLICATION DRM 01\nFILE PRODUCT area=" + std::to_string(area) +
                  "\n  \"PROD NO\" A6 key=primary\n  \"PROD NAME\" A20\nEND\n"
                  "FILE ORDLINE\n  \"LINE NO\" A6 key=primary\n  \"LINE PROD\" A6\nEND\n"
                  "FILE BIGCUST org=2\n  \"BIG NO\" A7\n  \"BIG NAME\" A12\nEND\n"
                  "FILE UNLISTED\n  \"UL NO\" A4 key=primary\nEND\n"
                  "WORK \"BIG COUNT\" P9\n";
  s += menu(invoc);
  s += entry("PRODUCT ENTRY", "PRODUCT", {{"PRODUCT:", "PROD NO"}, {"NAME:", "PROD NAME"}});
  s += entry("ORDER ENTRY", "ORDLINE", {{"LINE:", "LINE NO"}, {"PRODUCT:", "LINE PROD"}});
  // The order line's product must exist: a READ of the shared file.
  s += "STMTS 2 \"ORDER ENTRY\" ep=4\n" +
       stmt("SET", {{16, "DRM"}, {20, "PROD NO"}, {47, "="}, {50, "DRM"}, {54, "LINE PROD"}}) +
       stmt("READ", {{16, "DRM"}, {20, "PRODUCT"}, {35, "0"}, {45, "0"}}) +
       stmt("ERROR", {{16, "NO SUCH PRODUCT"}}, "F") + "END\n";
  // Sorted by name, descending; the user may interrupt it (area 3).
  s += "PROCESS 5 \"BIG QUERY\" pcf_ap=DRM pcf_file=BIGCUST area3=1\n"
       "SELECT 5 \"BIG QUERY\" 0 0 1 kind=2 @49=ABC @52:u32=1 @56=DRM @59=\"BIG NAME              \" @82:u16=1 "
       "@84=- @103=1\n";
  s += report(spec("SORTED LIST", "rows=1 cols=30"));
  s += report(spec("PLAIN LIST", "rows=1 cols=30"));
  // The user may interrupt it (area 3).
  s += report(spec("STOPPABLE LIST", "rows=1 cols=30", 0, false, true, "", " area3=1"));
  s += report(spec("FAILING LIST", "rows=1 cols=30", 0, false, true,
                   stmt("IF", {{16, "DRM"}, {20, "BIG NO"}, {47, "EQ"}, {54, kFailAt}}) +
                       stmt("READ", {{16, "DRM"}, {20, "PRODUCT"}, {35, "0"}, {45, "1"}}, "T")));
  for (const label_case& c : kLabels) {
    std::string d = "rows=2 cols=20 start_col=2 blank_after=1";
    if (c.scroll) d += " scroll=" + std::to_string(c.scroll) + " win_row=" + std::to_string(c.win_rows);
    s += report(spec(c.name, d, c.page_len, true, false));
  }
  s += "PROCESS 3 \"UNLISTED LIST\" pcf_ap=DRM pcf_file=UNLISTED\nFRAME 3 \"UNLISTED LIST\" 0 1 enabled=1 kind=1\n"
       "IMAGE 3 \"UNLISTED LIST\" 0 1 1 kind=3 rows=1 cols=30\nROW 3 \"UNLISTED LIST\" 0 1 1 1 \"UNLISTED LIST\"\n"
       "STMTS 3 \"UNLISTED LIST\" ep=1\n" +
       set_stmt("0LA", "OUT1 MODE", "3") + "END\n";
  return s;
}

// A SUBROUTINE whose statement names no field of the application, and the
// menu lines of it and of a process that is not there: loaded without the
// checks, which refuse each.
const std::string kBroken = "APPLICATION DRM 01\nPROCESS 6 BROKEN\nSTMTS 6 BROKEN ep=1\n" +
                            set_stmt("DRM", "NOSUCHFIELD", "5") +
                            "END\n"
                            "CHILD 1 \"DRM MENU\" 0 1 0 3 3 ap=DRM proc_type=6 name=BROKEN invoc=0 option=3\n"
                            "CHILD 1 \"DRM MENU\" 0 1 0 4 4 ap=DRM proc_type=2 name=\"NO SUCH PROCESS\" invoc=0 "
                            "option=4\n";

// The database's records and files; UNLISTED is none of its files.
constexpr const char* kApps = R"(APPL DRM 01 "Run mends"
DATABASE DRM DRM 01
DBXAP DRM DRM 1
DATAFILE DRM DRM 01 PRODUCT
DATAFILE DRM DRM 01 ORDLINE
DATAFILE DRM DRM 01 BIGCUST
)";

int run(const std::string& cmd, const kivo_test::data_dir& d) {
  return system((cmd + " >>" + d.file("install.out") + " 2>&1").c_str());
}

// The shipped installation in `d` with the design written by kivo_design
// (checked; BROKEN without the checks) and installed by kivo_install, and
// `records` customers in BIGCUST.
void install(const kivo_test::data_dir& d, int records, int area = 4, int invoc = 0) {
  ASSERT_TRUE(kivo_test::copy_shipped_installation(d.path));
  std::ofstream(d.file("drm.dsgn")) << design(area, invoc);
  std::ofstream(d.file("broken.dsgn")) << kBroken;
  std::ofstream(d.file("drm.txt")) << kApps;
  const std::string tools = KIVO_TOOLS_DIR, at = " -d " + shell_quote(d.path) + " ";
  ASSERT_EQ(run(tools + "/kivo_design" + at + d.file("drm.dsgn"), d), 0) << slurp(d.file("install.out"));
  ASSERT_EQ(run(tools + "/kivo_design -n" + at + d.file("broken.dsgn"), d), 0) << slurp(d.file("install.out"));
  ASSERT_EQ(run(tools + "/kivo_install" + at + "-a " + d.file("drm.txt"), d), 0) << slurp(d.file("install.out"));
  write_big_customers(d.file("DRM/DRM/Data/BIGCUST.dat"), records);
}

std::unique_ptr<kivo_test::tmux_pane> start(const kivo_test::data_dir& d, const std::string& proc,
                                            const kivo_test::env_list& more = {}) {
  return print_engine(d, "-d=DRM -a=DRM " + proc, more);
}
std::unique_ptr<kivo_test::tmux_pane> drm_menu(const kivo_test::data_dir& d, const kivo_test::env_list& more = {}) {
  auto p = start(d, "-t=menu -p=DRM_MENU", more);
  EXPECT_TRUE(p->wait_for("DRM MENU")) << p->capture();
  return p;
}

// The print files of `d`/prt: `cfg` those with ".cfg", else the others.
std::vector<std::string> prints(const kivo_test::data_dir& d, bool cfg = false) {
  std::vector<std::string> out;
  find_files(d.file("prt"), std::regex(cfg ? ".*\\.cfg" : ".*[^g]$"), &out);
  return out;
}

// Waits for the one print that is complete (its ".cfg" written); its text.
std::string finished_print(const kivo_test::data_dir& d) {
  std::vector<std::string> cfg;
  if (!kivo_test::wait_until([&] { return cfg = prints(d, true), !cfg.empty(); }, kivo_test::kScreenWait)) return "";
  EXPECT_EQ(cfg.size(), 1u);
  return slurp(cfg[0].substr(0, cfg[0].size() - 4));
}

size_t count(const std::string& text, const std::string& re) {
  const std::regex r(re);
  return size_t(std::distance(std::sregex_iterator(text.begin(), text.end(), r), std::sregex_iterator()));
}

// The process in the tree under `pid` whose name is "kivo"; 0 none.
pid_t kivo_below(pid_t pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  if (comm >> name && name == "kivo") return pid;
  std::ifstream kids("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  for (pid_t k; kids >> k;)
    if (pid_t found = kivo_below(k)) return found;
  return 0;
}
pid_t engine_pid(kivo_test::tmux_pane& p) { return kivo_below(pid_t(atoi(p.display("#{pane_pid}").c_str()))); }

// Screen row `r` (1-based) once it starts with `text`; false when not in time.
bool row_starts(kivo_test::tmux_pane& p, size_t r, const std::string& text) {
  return kivo_test::wait_until([&] { return p.row(r).rfind(text, 0) == 0; }, kivo_test::kScreenWait);
}

// ADD MODE, then the two fields and ENTER.
void add(kivo_test::tmux_pane& p, const char* a, const char* b) {
  p.send_keys("F10");
  ASSERT_TRUE(p.wait_for("ADD")) << p.capture();
  p.send_text(a), p.send_keys("Tab"), p.send_text(b), p.send_keys("Enter");
}

// ---- a file of a shared area ----

// A product added and inquired in PRODUCT ENTRY, then the order lines of
// ORDER ENTRY, whose check reads PRODUCT: an existing product's line is
// stored, an unknown one refused; back in PRODUCT ENTRY (its file now
// placed by ORDER ENTRY) the product still reads. Area 4 with SUBPROCESS
// lines, and area 8 with RELATED ones, each ending its file with its level.
TEST(DesignerRunMends, OrderLineIsStoredAfterTheProductScreenUsedTheSharedFile) {
  const struct { int area, invoc; } cases[] = {{4, 0}, {8, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE("area " + std::to_string(c.area));
    kivo_test::data_dir d;
    ASSERT_NO_FATAL_FAILURE(install(d, 1, c.area, c.invoc));
    auto p = drm_menu(d);
    p->send_keys("Enter");
    ASSERT_TRUE(p->wait_for("PRODUCT:")) << p->capture();
    ASSERT_NO_FATAL_FAILURE(add(*p, "P1", "BOLT"));
    ASSERT_TRUE(p->wait_for("RECORD ADDED")) << p->capture();
    p->send_keys("F12"), p->send_text("P1"), p->send_keys("Enter");
    ASSERT_TRUE(p->wait_for("RECORD READ")) << p->capture();
    p->send_keys("S-F1");
    ASSERT_TRUE(p->wait_for("MENU ENTRY")) << p->capture();
    p->send_keys("F1 2");
    ASSERT_TRUE(p->wait_for("LINE:")) << p->capture();
    ASSERT_NO_FATAL_FAILURE(add(*p, "L1", "P1"));
    EXPECT_TRUE(row_starts(*p, 23, "RECORD ADDED")) << p->capture();
    p->send_text("L2"), p->send_keys("Tab"), p->send_text("P9"), p->send_keys("Enter");
    EXPECT_TRUE(row_starts(*p, 23, "NO SUCH PRODUCT")) << p->capture();
    p->send_keys("S-F1");
    ASSERT_TRUE(p->wait_for("MENU ENTRY")) << p->capture();
    p->send_keys("F1 1");
    ASSERT_TRUE(p->wait_for("PRODUCT:")) << p->capture();
    p->send_keys("F12"), p->send_text("P1"), p->send_keys("Enter");
    EXPECT_TRUE(p->wait_for("BOLT")) << p->capture();
    p->send_keys("S-F1");
    ASSERT_TRUE(p->wait_for("MENU ENTRY")) << p->capture();
    p->send_keys("S-F1");
    EXPECT_EQ(p->exit_status(), 0) << p->capture();
    const auto lines = kivo_test::native_records(d.file("DRM/DRM/Data/ORDLINE.dat")).records;
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "L1    P1    ");
    EXPECT_EQ(slurp(d.file("syserr")), "");
  }
}

// ---- menu lines that cannot run ----

// Each line's process and why, from the start of the message row (the
// rest behind the message key), and the whole line in the log; the menu
// stays.
TEST(DesignerRunMends, MenuLineWhoseProcessCannotRunSaysSo) {
  const struct {
    const char* option;
    const char* row;
    const char* logged;
  } cases[] = {
      {"3", "process DRM/01 type 6 \"BROKEN\" cannot be loaded: BROKEN ep 1",
       "process DRM/01 type 6 \"BROKEN\" cannot be loaded: BROKEN ep 1 stmt 100 col 20: field NOSUCHFIELD of DRM "
       "not found\n"},
      {"4", "process DRM/01 type 2 \"NO SUCH PROCESS\" does not exist:",
       "process DRM/01 type 2 \"NO SUCH PROCESS\" does not exist: no PROCESS design record\n"},
  };
  kivo_test::data_dir d;
  ASSERT_NO_FATAL_FAILURE(install(d, 1));
  auto p = drm_menu(d);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.option);
    p->send_keys(std::string("F1 ") + c.option);
    EXPECT_TRUE(row_starts(*p, 23, c.row)) << p->capture();
    EXPECT_NE(slurp(d.file("syserr")).find(c.logged), std::string::npos) << slurp(d.file("syserr"));
    EXPECT_NE(p->capture().find("5 SORTED LIST"), std::string::npos) << p->capture();
  }
  p->send_keys("S-F1");
  EXPECT_EQ(p->exit_status(), 0) << p->capture();
}

// ---- reports ----

// The run memory (KIVO_RUN_MEM 471,852) holds 13,107 entries: the first run
// goes to work file 2 well before the end of 40,000 customers, where the
// engine is held and interrupted. The query lives at the menu's level.
constexpr int kSortRecords = 40000;
kivo_test::env_list sort_gate(const kivo_test::data_dir& d) {
  kivo_test::env_list e = gate_env(d, "/00000002-");
  e.push_back({"KIVO_RUN_MEM", "471852"});
  return e;
}

// Interrupted, the report leaves no print; run again from the same menu,
// it sorts anew and prints every customer, its total the count.
TEST(DesignerRunMends, InterruptedSortedReportIsBuiltAnewOnTheNextRun) {
  kivo_test::data_dir d;
  ASSERT_NO_FATAL_FAILURE(install(d, kSortRecords));
  auto p = drm_menu(d, sort_gate(d));
  p->send_keys("F1 5");
  ASSERT_TRUE(held_at_gate(d)) << p->capture();
  kill(engine_pid(*p), SIGINT);
  std::ofstream(d.file("go")) << "";
  ASSERT_TRUE(p->wait_for("Cancelled at the user's request")) << p->capture();
  EXPECT_EQ(prints(d), std::vector<std::string>{});
  p->send_keys("F1 5");
  const std::string text = finished_print(d);
  EXPECT_EQ(count(text, "\nB[0-9]{6} "), size_t(kSortRecords));
  EXPECT_NE(text.find("TOTAL    " + std::to_string(kSortRecords)), std::string::npos) << text.substr(text.size() - 80);
  p->send_keys("S-F1");
  EXPECT_EQ(p->exit_status(), 0) << p->capture();
  EXPECT_EQ(slurp(d.file("syserr")), "");
}

// Every page begins with its heading and holds at most its length, blank
// lines counted; where the length cannot hold the heading, its blank line
// and one block of two rows, the page holds those, never the heading
// alone. Every label is printed once.
TEST(DesignerRunMends, ReportPagesWithBlankLinesKeepTheirLength) {
  constexpr int kRecords = 50;
  kivo_test::data_dir d;
  ASSERT_NO_FATAL_FAILURE(install(d, kRecords));
  for (const label_case& c : kLabels) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(system(("rm -rf " + d.file("prt")).c_str()), 0);
    std::string proc = c.name;
    for (char& ch : proc) ch = ch == ' ' ? '_' : ch;
    auto p = start(d, "-t=output -p=" + proc);
    ASSERT_EQ(p->exit_status(), 0) << p->capture();
    const std::string text = finished_print(d);
    const auto pages = pages_of(text);
    ASSERT_GT(pages.size(), 1u) << text;
    const size_t most = std::max<size_t>(size_t(c.page_len), 4);
    for (size_t i = 0; i < pages.size(); ++i) {
      const auto& pg = pages[i];
      EXPECT_LE(pg.size(), most) << "page " << i + 1 << "\n" << text;
      EXPECT_TRUE(!pg.empty() && pg[0] == c.name) << "page " << i + 1 << "\n" << text;
      EXPECT_GT(std::count_if(pg.begin(), pg.end(), [](const std::string& l) { return l.find('B') != l.npos; }), 0)
          << "page " << i + 1 << " holds only its heading\n"
          << text;
    }
    for (int i = 0; i < kRecords; ++i) {
      char no[16];
      snprintf(no, sizeof no, "B%06d", i);
      EXPECT_EQ(count(text, std::string("\\b") + no + "\\b"), 1u) << no << "\n" << text;
    }
  }
  EXPECT_EQ(slurp(d.file("syserr")), "");
}

// ---- signals and failures ----

// PLAIN LIST over 40,000 customers, held at its print file's first write,
// gets the signal there. The session ends through its levels: the print is
// removed (no ".cfg" beside a print without its total), the terminal's
// modes are those `stty -g` saw before, the alternate screen is left, one
// line names the signal, and the status is 128 + the signal.
TEST(DesignerRunMends, SignalDuringAReportLeavesNoPrintAndPutsTheTerminalBack) {
  const struct {
    int sig;
    const char* name;
  } cases[] = {{SIGTERM, "Terminated"}, {SIGHUP, "Hangup"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    kivo_test::data_dir d;
    ASSERT_NO_FATAL_FAILURE(install(d, kSortRecords));
    ASSERT_EQ(system(("mkdir -p " + d.file("tst") + " " + d.file("prt")).c_str()), 0);
    kivo_test::env_list e = kivo_test::engine_env(d.path);
    e.push_back({"KIVO_PRT_FI_DIR", d.file("prt") + "/"});
    const kivo_test::env_list gate = gate_env(d, "/PRTFI");
    e.insert(e.end(), gate.begin(), gate.end());
    const std::string script = "stty -g >" + shell_quote(d.file("modes.before")) + "; " + shell_quote(KIVO_BINARY) +
                               " -d=DRM -a=DRM -t=output -p=PLAIN_LIST; st=$?; stty -g >" +
                               shell_quote(d.file("modes.after")) + "; exit $st";
    kivo_test::tmux_pane p("sh -c " + shell_quote(script), d.path, e);
    ASSERT_TRUE(held_at_gate(d)) << p.capture();
    EXPECT_EQ(p.display("#{alternate_on}"), "1");
    ASSERT_EQ(kill(engine_pid(p), c.sig), 0);
    std::ofstream(d.file("go")) << "";
    EXPECT_EQ(p.exit_status(), 128 + c.sig) << p.capture();
    EXPECT_NE(p.capture_history().find(std::string("kivo: the session was ended by ") + c.name), std::string::npos)
        << p.capture_history();
    EXPECT_EQ(prints(d, true), std::vector<std::string>{});
    EXPECT_EQ(prints(d), std::vector<std::string>{});
    const std::string before = slurp(d.file("modes.before"));
    EXPECT_FALSE(before.empty());
    EXPECT_EQ(slurp(d.file("modes.after")), before);
    EXPECT_EQ(p.display("#{alternate_on}"), "0");
  }
}

// A first process that a run-time error ends (met by the debugger, which
// CANCEL, GO then END, leaves; then the error's window), or that the user
// interrupts (held at its print's first write): no print is left, the
// session ends with end code 4 as its status, and one line names the
// process and the failure.
TEST(DesignerRunMends, FirstProcessThatFailsEndsTheSessionWithItsEndCode) {
  const struct {
    const char* proc;
    bool interrupt;
    const char* line;
  } cases[] = {
      {"FAILING_LIST", false,
       "process DRM/01 type 3 \"FAILING LIST\" failed: statement failed, statement 200 of event point 21"},
      {"STOPPABLE_LIST", true, "process DRM/01 type 3 \"STOPPABLE LIST\" failed: cancelled at the user's request"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.proc);
    kivo_test::data_dir d;
    ASSERT_NO_FATAL_FAILURE(install(d, c.interrupt ? kSortRecords : 100));
    auto p =
        start(d, std::string("-t=output -p=") + c.proc, c.interrupt ? gate_env(d, "/PRTFI") : kivo_test::env_list{});
    if (c.interrupt) {
      ASSERT_TRUE(held_at_gate(d)) << p->capture();
      kill(engine_pid(*p), SIGINT);
      std::ofstream(d.file("go")) << "";
    } else {
      ASSERT_TRUE(p->wait_for("statement failed")) << p->capture();
      p->send_keys("F2 S-F1");
      ASSERT_TRUE(p->wait_for("ENTER, END or CANCEL goes back")) << p->capture();
      p->send_keys("Enter");
    }
    EXPECT_EQ(p->exit_status(), 4) << p->capture();
    // The line may wrap at the pane's width, and scroll off its top.
    std::string shown = p->capture_history();
    shown.erase(std::remove(shown.begin(), shown.end(), '\n'), shown.end());
    EXPECT_NE(shown.find(c.line), std::string::npos) << p->capture();
    EXPECT_NE(shown.find("end code: 4"), std::string::npos) << p->capture();
    EXPECT_EQ(prints(d), std::vector<std::string>{});
  }
}

// ---- an optional file that is not there ----

// UNLISTED is no file of the database: the report runs on without it,
// prints its heading and ends 0.
TEST(DesignerRunMends, ProcessWhoseOptionalFileIsNotListedRunsOn) {
  kivo_test::data_dir d;
  ASSERT_NO_FATAL_FAILURE(install(d, 1));
  auto p = start(d, "-t=output -p=UNLISTED_LIST");
  EXPECT_EQ(p->exit_status(), 0) << p->capture();
  EXPECT_NE(finished_print(d).find("UNLISTED LIST"), std::string::npos);
  EXPECT_EQ(slurp(d.file("syserr")), "");
}

}  // namespace
}  // namespace kivo::test
