// A designer's run, mended (DesignerRunMends): the image editor opens,
// changes and saves DEM's "CUSTOMER ENTRY" (a date, a number and alpha
// items) through the editor's callers; the statement editor says which
// application it does not know and what ENTER does then; a reload and an applications
// file that are refused change nothing; the selection editor takes a date
// as its field shows dates, and kivo_design refuses a design whose query
// holds one it cannot compile. Each through the real kivo, kivo_design and
// kivo_install under tmux, on copies of the shipped installation.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <filesystem>
#include <map>
#include <regex>

#include "../fixtures/inventory_design.h"
#include "compiler/design_records.h"
#include "fm/fm_sysadm.h"
#include "foundation/bytes.h"
#include "ie_install.h"
#include "se_run_util.h"

namespace kivo::test {
namespace {

using kivo_test::shell_quote;
using kivo_test::slurp;
using kivo_test::tmux_pane;

constexpr size_t kMessageRow = 23;  // under the status line

struct run_result {
  int status;
  std::string out;
};

// A build-time program of the tools directory with `args`, its output and
// exit status.
run_result tool(const std::string& name, const std::string& args) {
  FILE* p = popen(("ASAN_OPTIONS=detect_leaks=0 " + tools_dir() + "/" + name + " " + args + " 2>&1").c_str(), "r");
  std::string out;
  char buf[512];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int st = pclose(p);
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

// Every file under `dir` (relative name to its bytes).
std::map<std::string, std::string> files_under(const std::string& dir) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir, ec))
    if (e.is_regular_file()) out[e.path().lexically_relative(dir).string()] = slurp(e.path().string());
  return out;
}

// The names of two file maps that differ, or are in one only.
std::string differing(const std::map<std::string, std::string>& a, const std::map<std::string, std::string>& b) {
  std::string out;
  for (const auto& [name, bytes] : a)
    if (!b.count(name) || b.at(name) != bytes) out += " " + name;
  for (const auto& [name, bytes] : b)
    if (!a.count(name)) out += " +" + name;
  return out;
}

kivo_test::env_list engine_env(const kivo_test::data_dir& d) {
  return {{"TERM", "tmux-256color"},
          {"HOME", d.path},
          {"KIVOPATH", d.path},
          {"KIVO_0SA_PATH", d.path},
          {"KIVO_SYS_ERR_LOG", d.file("syserr")},
          {"KIVO_PRT_FI_DIR", d.file("prt") + "/"}};
}

// ---- the image editor ----

// The records of DEM's design file `file` that belong to the image.
std::vector<std::string> image_records(const kivo_test::data_dir& d, const std::string& file) {
  return exported(d, "DEM", file, std::string("\2CUSTOMER ENTRY"));
}

// Its ITEM records, a size left to the field (0, or 32767 as the editor
// saves it) read as 0.
std::vector<std::string> image_items(const kivo_test::data_dir& d) {
  std::vector<std::string> out = image_records(d, "ITEM");
  for (std::string& r : out)
    for (size_t at : {size_t{IT_ROWS}, size_t{IT_COLS}})
      if (ld_le32(reinterpret_cast<const uint8_t*>(r.data()), at) == 32767) r.replace(at, 4, 4, '\0');
  return out;
}

// DEM's "CUSTOMER ENTRY" has alpha items (the number and the name), a
// number (the packed balance) and a date (SINCE): the editor shows each at
// its field's display width, takes a typed row and saves it, and its items
// stay as they were.
TEST(DesignerRunMends, ImageEditorOpensChangesAndSavesAnImageWithADateItem) {
  kivo_test::data_dir d;
  write_installation(d, {ie_caller("CUSTOMER ENTRY", 9, 60)});
  const std::vector<std::string> items = image_items(d);
  ASSERT_EQ(items.size(), 4u);
  tmux_pane p(shell_quote(KIVO_BINARY) + " -d=DB1 -a=0LA -t=subroutine -p=IEC_RUN", d.path, engine_env(d));
  ASSERT_TRUE(p.wait_for("SINCE:")) << p.capture() << slurp(d.file("syserr"));
  // Each item's cells at its width: 6 and 30 for the alpha fields, 11 for
  // the balance's mask, 10 for a date as MM/DD/CCYY.
  const struct {
    int row;
    const char* shown;
  } rows[] = {{3, "CUSTOMER NO:  ......"},
              {4, "NAME:         .............................."},
              {5, "BALANCE:      ..........."},
              {6, "SINCE:        .........."}};
  for (const auto& r : rows) EXPECT_EQ(p.row(size_t(r.row)), r.shown) << p.capture();
  ASSERT_TRUE(move_cursor(p, 7, 1)) << p.cursor();
  p.send_text("Since is a date");
  ASSERT_TRUE(kivo_test::wait_until([&] { return p.row(7) == "Since is a date"; }, kivo_test::kScreenWait))
      << p.capture();
  p.send_keys("F1 F1 1 6");  // OPTION 16: save
  p.send_keys("S-F1");
  ASSERT_EQ(p.exit_status(), 0) << p.capture();
  EXPECT_EQ(slurp(d.file("syserr")), "");
  std::map<uint32_t, std::string> saved;
  for (const std::string& r : image_records(d, "ROW")) {
    std::string text = r.substr(RO_TEXT);
    saved[ld_le32(reinterpret_cast<const uint8_t*>(r.data()), RI_ROW)] = text.erase(text.find_last_not_of(' ') + 1);
  }
  EXPECT_EQ(saved[6], "SINCE:");
  EXPECT_EQ(saved[7], "Since is a date");
  EXPECT_EQ(image_items(d), items);
}

// ---- the statement editor ----

// SeRun's installation and harness, outside a fixture: the group shares
// its name with tests of other files, all plain TESTs.
struct se_session : SeRun {
  void TestBody() override {}
  using SeRun::before_;
  using SeRun::d_;
  using SeRun::env;
  using SeRun::install;
  using SeRun::start;
  using SeRun::stmts;
};

// An application id the editor does not know, a number or letters, gets
// the warning page over its line and, on the message row, which id it is
// and that ENTER keeps the line: CANCEL then drops the line, ENTER keeps it.
TEST(DesignerRunMends, StatementEditorSaysWhyItWarnsOfAnUnknownApplication) {
  const struct {
    const char* ap;
    const char* then;  // the key after the warning
    size_t added;      // lines stored
  } rows[] = {{"100", "F2 S-F1", 0}, {"XYZ", "Enter", 1}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.ap);
    se_session s;
    ASSERT_NO_FATAL_FAILURE(s.install());
    std::unique_ptr<tmux_pane> p = s.start(se_call{}, s.env("tst"));
    ASSERT_TRUE(p->wait_for("[END]")) << p->capture();
    // IF <ap> SE NAME EQ A: a full field moves on to the next by itself.
    p->send_keys("F10");
    p->send_text("IF");
    p->send_keys("Enter Tab");
    p->send_text(r.ap);
    p->send_text("SE NAME");
    p->send_keys("Tab Tab");
    p->send_text("EQ");
    p->send_text("   A");
    p->send_keys("Enter");
    const std::string want =
        std::string("WARNING - Application ") + r.ap + " is not in the application file: ENTER keeps the line";
    EXPECT_TRUE(kivo_test::wait_until([&] { return p->row(kMessageRow) == want; }, kivo_test::kScreenWait))
        << p->capture();
    EXPECT_TRUE(p->wait_for("WARNING - Application not found in application file")) << p->capture();
    EXPECT_TRUE(kivo_test::wait_until([&] { return p->cursor() == "2 16"; }, kivo_test::kScreenWait)) << p->cursor();
    p->send_keys(r.then);
    if (r.added) {
      EXPECT_TRUE(p->wait_for(std::string("IF       ") + r.ap + " SE NAME")) << p->capture();
      p->send_keys("F2 S-F1");  // CANCEL of the insert on its next line
    }
    p->send_keys("S-F1");
    EXPECT_EQ(p->exit_status(), 0) << p->capture();
    EXPECT_EQ(s.stmts().size(), s.before_.size() + r.added);
    EXPECT_EQ(slurp(s.d_.file("syserr")), "");
  }
}

// ---- a reload that is refused ----

using kivo_test::inventory_design;
using kivo_test::kInventoryApps;

// The source `text` written into `d` and loaded with `flags`.
run_result load(const kivo_test::data_dir& d, const std::string& text, const std::string& flags) {
  std::ofstream(d.file("inv.dsgn")) << text;
  return tool("kivo_design", flags + " -d " + shell_quote(d.path) + " " + shell_quote(d.file("inv.dsgn")));
}

// A reload refused for a line that does not read (an unknown record kind
// on line 2, a verb late in the source), a load refused by the design
// files (a second load without -r), a reload while a session has the
// design files open, and a load that adds to a design file cut short:
// every design file of the version is as it was, byte for byte, and the
// refusal says why in words. The session's end lets the reload through,
// and a reload writes the damaged file anew.
TEST(DesignerRunMends, RefusedReloadLeavesEveryDesignFileAsItWas) {
  kivo_test::data_dir d;
  ASSERT_TRUE(kivo_test::copy_shipped_installation(d.path));
  ASSERT_EQ(load(d, inventory_design(), "-r").status, 0);
  std::ofstream(d.file("apps.txt")) << kInventoryApps;
  ASSERT_EQ(tool("kivo_install", "-d " + shell_quote(d.path) + " -a " + shell_quote(d.file("apps.txt"))).status, 0);
  const std::string process = d.file("01/INV/Data/PROCESS");
  enum { plain, session, damaged };
  const struct {
    const char* what;
    std::string source;
    const char* flags;
    int kind;
    std::string said;
  } cases[] = {
      {"an unknown record kind on line 2", inventory_design("ROWW 2 \"PART ENTRY\" 0 1 1 2 \"X\"\n"), "-r", plain,
       "inv.dsgn:2: unknown record kind \"ROWW\""},
      {"a bad verb late in the source", inventory_design("", "ERORR"), "-r", plain,
       "inv.dsgn:22: column 7: verb not in the verb table"},
      {"a record the design files refuse", inventory_design(), "", plain,
       "status 200170 (Duplicate key)\nkivo_design: " + d.file("inv.dsgn") + ": nothing was changed"},
      {"a session holding the files", inventory_design(), "-r", session,
       "design file of INV/01 is in use by another process (a session running the application?): end it and load "
       "again"},
      {"a design file cut short", inventory_design(), "", damaged,
       "the PROCESS design file of INV/01 does not open: status 200650 (" + d.file("01/INV/Data/PROCESS.dat") +
           " is damaged: header's end of file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<tmux_pane> p;
    if (c.kind == session) {
      p = std::make_unique<tmux_pane>(shell_quote(KIVO_BINARY) + " -d=INV -a=INV -t=Menu -p=INV_MENU", d.path,
                                      engine_env(d));
      ASSERT_TRUE(p->wait_for("1 PART ENTRY")) << p->capture();
      p->send_keys("Enter");
      ASSERT_TRUE(p->wait_for("PART NO:")) << p->capture();
    }
    if (c.kind == damaged) std::filesystem::resize_file(process + ".dat", 600);
    const std::map<std::string, std::string> design = files_under(d.file("01/INV"));
    ASSERT_GT(design.size(), 20u);
    const run_result r = load(d, c.source, c.flags);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find(c.said), std::string::npos) << r.out;
    EXPECT_EQ(differing(design, files_under(d.file("01/INV"))), "") << r.out;
    if (c.kind == plain) continue;
    if (p) {
      p->send_keys("S-F1");
      ASSERT_TRUE(p->wait_for("1 PART ENTRY")) << p->capture();
      p->send_keys("S-F1");
      EXPECT_EQ(p->exit_status(), 0) << p->capture();
    }
    const run_result again = load(d, inventory_design(), "-r");
    EXPECT_EQ(again.status, 0) << again.out;
    EXPECT_EQ(tool("../kivo", "-v=" + shell_quote(process)).status, 1);
  }
  EXPECT_EQ(slurp(d.file("syserr")), "");
}

// ---- an applications file that is refused ----

// The description of application `ap`'s APPL record (30 characters from
// byte 14).
std::string appl_text(const kivo_test::data_dir& d, const std::string& ap) {
  constexpr size_t kApplDesc = 14;
  for (const std::string& r : kivo_test::native_records(d.file("0SA/Data/APPL.dat")).records)
    if (r.compare(APPL_AP, 3, ap) == 0) {
      std::string t = r.substr(kApplDesc, 30);
      return t.erase(t.find_last_not_of(' ') + 1);
    }
  return "";
}

// A fault on line 4 writes nothing of lines 1-3; the corrected file writes
// them all, and a later run replaces the records the file names.
TEST(DesignerRunMends, RefusedAppsFileLeavesTheSystemFilesAndACorrectedRunReplacesItsRecords) {
  kivo_test::data_dir d;
  ASSERT_TRUE(kivo_test::copy_shipped_installation(d.path));
  ASSERT_EQ(load(d, inventory_design(), "-r").status, 0);
  const std::string apps = d.file("apps.txt"), install = "-d " + shell_quote(d.path) + " -a " + shell_quote(apps);
  const std::map<std::string, std::string> sa = files_under(d.file("0SA"));
  const struct {
    const char* what;
    std::string text;
    int status;
    const char* said;
    const char* description;  // of INV's APPL record afterwards; null: none
  } runs[] = {
      {"a data file without its design", std::string(kInventoryApps) + "DATAFILE INV INV 01 NOPART\n", 1,
       "apps.txt:5: no FILE record of NOPART in the design of INV/01", nullptr},
      {"a record kind it does not know", std::string(kInventoryApps) + "APPLICATION INV\n", 1,
       "apps.txt:5: unknown record \"APPLICATION\"", nullptr},
      {"the corrected file", kInventoryApps, 0, "", "Inventory"},
      {"a description changed",
       std::regex_replace(std::string(kInventoryApps), std::regex("\"Inventory\""), "\"Inventory and parts\""), 0, "",
       "Inventory and parts"},
  };
  for (const auto& r : runs) {
    SCOPED_TRACE(r.what);
    std::ofstream(apps) << r.text;
    const run_result got = tool("kivo_install", install);
    EXPECT_EQ(got.status, r.status) << got.out;
    EXPECT_NE(got.out.find(r.said), std::string::npos) << got.out;
    if (!r.description) {
      EXPECT_NE(got.out.find("nothing was written"), std::string::npos) << got.out;
      EXPECT_EQ(differing(sa, files_under(d.file("0SA"))), "");
      EXPECT_FALSE(std::filesystem::exists(d.file("INV/INV/Data/PART.dat")));
      continue;
    }
    EXPECT_EQ(appl_text(d, "INV"), r.description);
    EXPECT_TRUE(std::filesystem::exists(d.file("INV/INV/Data/PART.dat")));
  }
  // Once installed the application runs.
  tmux_pane p(shell_quote(KIVO_BINARY) + " -d=INV -a=INV -t=Input -p=PART_ENTRY", d.path, engine_env(d));
  ASSERT_TRUE(p.wait_for("PART NO:")) << p.capture();
  p.send_keys("S-F1");
  EXPECT_EQ(p.exit_status(), 0) << p.capture();
}

// ---- a query's date ----

// A query of DEM's ledger selecting the accounts opened after a date, and
// the list of those it selects; `value` is the date the design gives.
std::string since_query(const std::string& value) {
  std::string v = value;
  v.resize(30, ' ');
  return R"(APPLICATION DEM 01
PROCESS 1 "SINCE MENU"
FRAME 1 "SINCE MENU" 0 1
IMAGE 1 "SINCE MENU" 0 1 1 kind=1 rows=2 cols=40 win_row=3 win_col=10
ROW 1 "SINCE MENU" 0 1 1 1 "1 SINCE QUERY"
ROW 1 "SINCE MENU" 0 1 1 2 "2 SINCE LIST"
CHILD 1 "SINCE MENU" 0 1 0 1 1 ap=DEM proc_type=5 name="SINCE QUERY" invoc=0 option=1
CHILD 1 "SINCE MENU" 0 1 0 2 2 ap=DEM proc_type=3 name="SINCE LIST" invoc=1 option=2 range_ap=DEM range_name="SINCE QUERY"
PROCESS 5 "SINCE QUERY" pcf_ap=DEM pcf_file=ACCOUNT rcv_class=1 rpt_ap=DEM rpt_name="SINCE LIST" qry_mode=3
FRAME 5 "SINCE QUERY" 0 1 enabled=1 kind=8
SELECT 5 "SINCE QUERY" 0 0 1 kind=1 @49:u8=9 @50:u32=1 @54:u16=1 @56=DEM @59="ACCT SINCE            " @84:u16=1 @86="   " @89=")" +
         v + R"(" @119:u8=3 @120=1
PROCESS 3 "SINCE LIST" pcf_ap=DEM pcf_file=ACCOUNT rcv_class=1
FRAME 3 "SINCE LIST" 0 2 enabled=1 kind=0
IMAGE 3 "SINCE LIST" 0 2 1 kind=3 rows=1 cols=40
ITEM 3 "SINCE LIST" 0 2 1 1 1 ap=DEM field="ACCT NO"
ITEM 3 "SINCE LIST" 0 2 1 1 10 ap=DEM field="ACCT SINCE"
STMTS 3 "SINCE LIST" ep=1
      SET      0LA OUT1 MODE                  =      3
END
)";
}

// The accounts the list printed (one "A000nn" a line); -1 while no print
// is whole (its ".cfg" comes last).
int printed_accounts(const kivo_test::data_dir& d) {
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(d.file("prt"), ec)) {
    if (e.path().extension() != ".cfg") continue;
    const std::string text = slurp(std::filesystem::path(e.path()).replace_extension("").string());
    const std::regex account("\\nA[0-9]{5} ");
    return int(std::distance(std::sregex_iterator(text.begin(), text.end(), account), std::sregex_iterator()));
  }
  return -1;
}

// kivo_design refuses the query whose date the selection cannot compile,
// and writes nothing; loaded with a date it takes, the selection editor
// takes a date as ACCT SINCE shows dates (MM/DD/CCYY) or as CCYYMMDD and
// the list prints the 31 accounts opened after 01/20/2020; any other form
// is refused at ENTER saying which forms it takes.
TEST(DesignerRunMends, QuerySelectionTakesADateAsItsFieldShowsIt) {
  kivo_test::data_dir d;
  ASSERT_TRUE(kivo_test::copy_shipped_installation(d.path));
  const std::map<std::string, std::string> design = files_under(d.file("01/DEM"));
  std::ofstream(d.file("since.dsgn")) << since_query("2020-01-01");
  const std::string source = "-d " + shell_quote(d.path) + " " + shell_quote(d.file("since.dsgn"));
  run_result r = tool("kivo_design", source);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("since.dsgn:11: selection 1: \"2020-01-01\" is neither CCYYMMDD digits nor a date as ACCT "
                       "SINCE shows one"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(differing(design, files_under(d.file("01/DEM"))), "");
  std::ofstream(d.file("since.dsgn")) << since_query("01/01/2020");
  r = tool("kivo_design", source);
  ASSERT_EQ(r.status, 0) << r.out;
  const struct {
    const char* typed;
    int printed;  // -1: refused
  } rows[] = {{"2020-01-20", -1}, {"01/20/2020", 31}, {"20200120", 31}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.typed);
    std::filesystem::remove_all(d.file("prt"));
    std::filesystem::create_directory(d.file("prt"));
    tmux_pane p(shell_quote(KIVO_BINARY) + " -d=DEM -a=DEM -t=Menu -p=SINCE_MENU", d.path, engine_env(d));
    ASSERT_TRUE(p.wait_for("2 SINCE LIST")) << p.capture();
    p.send_keys("Enter");
    ASSERT_TRUE(p.wait_for("QSLCT EDIT")) << p.capture();
    p.send_keys("F9");
    ASSERT_TRUE(p.wait_for("ACCT SINCE")) << p.capture();
    p.send_keys("S-F2");
    ASSERT_TRUE(p.wait_for("CHANGE MODE")) << p.capture();
    p.send_keys("Tab");
    p.send_text(row.typed);
    ASSERT_TRUE(p.wait_for(std::string("VALUE:     ") + row.typed)) << p.capture();
    p.send_keys("Enter");
    const char* said = row.printed < 0 ? "VALUE MUST BE A DATE AS THE FIELD SHOWS IT, OR CCYYMMDD" : "RECORD CHANGED";
    EXPECT_TRUE(kivo_test::wait_until([&] { return p.row(kMessageRow) == said; }, kivo_test::kScreenWait))
        << p.capture();
    p.send_keys("S-F1");
    ASSERT_TRUE(kivo_test::wait_until([&] { return p.capture().find("QSLCT EDIT") == std::string::npos; },
                                      kivo_test::kScreenWait))
        << p.capture();
    p.send_keys("Down Enter");
    // Refused, the design's date stands: every account after 01/01/2020.
    const int want = row.printed < 0 ? 50 : row.printed;
    EXPECT_TRUE(kivo_test::wait_until([&] { return printed_accounts(d) == want; }, kivo_test::kScreenWait))
        << printed_accounts(d) << "\n"
        << p.capture();
    p.send_keys("S-F1");
    EXPECT_EQ(p.exit_status(), 0) << p.capture();
  }
  EXPECT_EQ(slurp(d.file("syserr")), "");
}

}  // namespace
}  // namespace kivo::test
