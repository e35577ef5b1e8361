// INPUT processes in real engines: an installation of application "DMO" 01
// under database "DB1" (the default installation, the design below written
// by kivo_design, and input_fixture's APPL, DATABASE, SYSDIR and messages
// with the native CUSTOMER and ORDERS files), and engines started on its
// menu in tmux panes of 80 x 24. Keys are the default keymap's: ENTER
// Return, TAB Tab, ADD MODE F10, DELETE MODE F11, INQUIRE MODE F12, CHANGE
// MODE Shift-F2, NEXT RECORD F9, SELECT KEY F6, ACK DEL F2 F11, OPTION F1,
// END Shift-F1.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "../fixtures/gate_env.h"
#include "../fixtures/kivo_fixture.h"
#include "../screen/term_harness.h"
#include "../screen/tm_test_util.h"

namespace kivo::test {

// CUSTOMER lies in data area 4, which a SUBPROCESS shares with its invoker:
// the balance check sees the record being written. Its Pre-PCF Update runs
// that SUBROUTINE, which cancels below zero, and then refuses the write with
// its ERROR. Start of Process makes the database one that protects records
// from deletion. ORDER LINK carries a changed customer number into the
// orders and deletes them with their customer; ORDER ENTRY (OPTION 1) adds
// orders of the customer shown.
constexpr const char* kInputDesign = R"(APPLICATION DMO 01
FILE CUSTOMER area=4
  "CUST NO"   A6  key=primary
  NAME        A30
  BALANCE     P9.2S
  SINCE       D7:8-5
  DELFLG      A1 special=1
END
FILE ORDERS
  "ORD KEY"   G10 key=primary
  "ORD CUST"  A6  @0
  "ORD NO"    A4  @6
  "ORD TEXT"  A20
END
PROCESS 1 "DMO MENU"
FRAME 1 "DMO MENU" 0 1
IMAGE 1 "DMO MENU" 0 1 1 kind=1 rows=2 cols=30 win_row=2 win_col=5
ROW 1 "DMO MENU" 0 1 1 1 "1 CUSTOMER ENTRY"
ROW 1 "DMO MENU" 0 1 1 2 "DEMO MENU"
CHILD 1 "DMO MENU" 0 1 0 1 1 ap=DMO proc_type=2 name="CUSTOMER ENTRY" invoc=1 option=1
PROCESS 2 "CUSTOMER ENTRY" pcf_ap=DMO pcf_file=CUSTOMER pcf_update=1 pcf_required=1
FRAME 2 "CUSTOMER ENTRY" 0 1
IMAGE 2 "CUSTOMER ENTRY" 0 1 1 kind=1 rows=6 cols=50 win_row=3 win_col=3
ROW 2 "CUSTOMER ENTRY" 0 1 1 1 "CUST NO:"
ROW 2 "CUSTOMER ENTRY" 0 1 1 2 "NAME:"
ROW 2 "CUSTOMER ENTRY" 0 1 1 3 "BALANCE:"
ROW 2 "CUSTOMER ENTRY" 0 1 1 4 "SINCE:"
ROW 2 "CUSTOMER ENTRY" 0 1 1 5 "PROTECT:"
ROW 2 "CUSTOMER ENTRY" 0 1 1 6 "CUSTOMER ENTRY"
ITEM 2 "CUSTOMER ENTRY" 0 1 1 1 10 ap=DMO field="CUST NO" input=1
ITEM 2 "CUSTOMER ENTRY" 0 1 1 2 10 ap=DMO field=NAME input=1
ITEM 2 "CUSTOMER ENTRY" 0 1 1 3 10 ap=DMO field=BALANCE input=1
ITEM 2 "CUSTOMER ENTRY" 0 1 1 4 10 ap=DMO field=SINCE
ITEM 2 "CUSTOMER ENTRY" 0 1 1 5 10 ap=DMO field=DELFLG input=1
CHILD 2 "CUSTOMER ENTRY" 0 1 0 1 1 ap=DMO proc_type=2 name="ORDER LINK" invoc=0 on_change=3 on_delete=1 links=1 link1_ap=DMO link1_field="CUST NO"
CHILD 2 "CUSTOMER ENTRY" 0 1 0 1 2 ap=DMO proc_type=2 name="ORDER ENTRY" invoc=0 option=1 links=1 link1_ap=DMO link1_field="CUST NO"
STMTS 2 "CUSTOMER ENTRY" ep=1
      SET      0LA DBAREA TYPE                =      2
END
STMTS 2 "CUSTOMER ENTRY" ep=4
      SUBR     DMO CHECK BALANCE                    SUBPROCESS        N       0
F     ERROR    NEGATIVE BALANCE
END
PROCESS 6 "CHECK BALANCE"
STMTS 6 "CHECK BALANCE" ep=1
      IF       DMO BALANCE                    LT     0
T     CANCEL   BALANCE BELOW ZERO
END
PROCESS 2 "ORDER LINK" pcf_ap=DMO pcf_file=ORDERS pcf_update=1 pcf_required=1
PROCESS 2 "ORDER ENTRY" pcf_ap=DMO pcf_file=ORDERS pcf_update=1 pcf_required=1
FRAME 2 "ORDER ENTRY" 0 1
IMAGE 2 "ORDER ENTRY" 0 1 1 kind=2 rows=4 cols=40 win_row=12 win_col=20
ROW 2 "ORDER ENTRY" 0 1 1 1 "CUSTOMER:"
ROW 2 "ORDER ENTRY" 0 1 1 2 "ORDER NO:"
ROW 2 "ORDER ENTRY" 0 1 1 3 "TEXT:"
ROW 2 "ORDER ENTRY" 0 1 1 4 "ORDER ENTRY"
ITEM 2 "ORDER ENTRY" 0 1 1 1 11 ap=DMO field="ORD CUST"
ITEM 2 "ORDER ENTRY" 0 1 1 2 11 ap=DMO field="ORD NO" input=1
ITEM 2 "ORDER ENTRY" 0 1 1 3 11 ap=DMO field="ORD TEXT" input=1
FRAME 6 "IP OTHER" 0 1
SELECT 6 "IP OTHER" 0 1 1
CHR 6 "IP OTHER" 0 1 1 1 1
)";

using kivo_test::engine_dir;

// Records of alpha fields as input_fixture reads them: hexadecimal, one a
// line, each field blank-padded to its width.
struct hex_file {
  std::ofstream out;
  explicit hex_file(const std::string& path) : out(path) {}
  void add(std::initializer_list<std::pair<std::string, size_t>> fields) {
    std::string line;
    char b[3];
    for (const auto& [text, width] : fields)
      for (size_t i = 0; i < width; ++i)
        snprintf(b, sizeof b, "%02X", uint8_t(i < text.size() ? text[i] : ' ')), line += b;
    out << line << '\n';
  }
};

// An installation in `d`: the default one, the design source `design`
// written by kivo_design and completed by input_fixture with `args` (the
// database, application, version and processes, shell-quoted).
inline void install_design(const kivo_test::data_dir& d, const std::string& design, const std::string& args) {
  ASSERT_TRUE(kivo_test::copy_shipped_installation(d.path));
  std::ofstream(d.file("design.dsgn")) << design;
  const std::string out = " >>" + d.file("fixture.out") + " 2>&1";
  ASSERT_EQ(system((engine_dir() + "/tools/kivo_design -d " + kivo_test::shell_quote(d.path) + " " +
                    d.file("design.dsgn") + out)
                       .c_str()),
            0)
      << kivo_test::slurp(d.file("fixture.out"));
  ASSERT_EQ(system((std::string(INPUT_FIXTURE) + " " + kivo_test::shell_quote(d.path) + " " + args + out).c_str()), 0)
      << kivo_test::slurp(d.file("fixture.out"));
}

// An engine in a tmux pane on `d`'s installation, with its print files in
// `d`/prt and `more` in its environment.
inline std::unique_ptr<kivo_test::tmux_pane> print_engine(const kivo_test::data_dir& d, const std::string& args,
                                                          const kivo_test::env_list& more = {}) {
  EXPECT_EQ(system(("mkdir -p " + d.file("tst") + " " + d.file("prt")).c_str()), 0);
  kivo_test::env_list e = kivo_test::engine_env(d.path);
  e.push_back({"KIVO_PRT_FI_DIR", d.file("prt") + "/"});
  e.insert(e.end(), more.begin(), more.end());
  return std::make_unique<kivo_test::tmux_pane>(kivo_test::shell_quote(KIVO_BINARY) + " " + args, d.path, e);
}

// The files of `dir` and below whose names match `re`.
inline void find_files(const std::string& dir, const std::regex& re, std::vector<std::string>* out) {
  DIR* h = opendir(dir.c_str());
  if (!h) return;
  while (dirent* e = readdir(h)) {
    const std::string n = e->d_name;
    if (n == "." || n == "..") continue;
    if (e->d_type == DT_DIR) find_files(dir + "/" + n, re, out);
    else if (std::regex_match(n, re)) out->push_back(dir + "/" + n);
  }
  closedir(h);
}

// The lines of each page of a print file: a line's feed comes before its
// text, so what stands before a page's first feed is no line.
inline std::vector<std::vector<std::string>> pages_of(const std::string& text) {
  std::vector<std::vector<std::string>> out;
  std::istringstream pages(text);
  for (std::string page; std::getline(pages, page, '\f');) {
    std::vector<std::string> lines;
    std::istringstream in(page);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    if (!page.empty() && page.back() == '\n') lines.push_back("");
    if (!lines.empty()) lines.erase(lines.begin());
    out.push_back(lines);
  }
  return out;
}

// `count` customers of 19 bytes in the sequential file at `path`: a number
// "B000000" up, and a name "N" and 11 digits scattered over 0 .. count - 1.
inline void write_big_customers(const std::string& path, int count) {
  std::ofstream recs(path, std::ios::binary | std::ios::trunc);
  char rec[32];  // room for any int, though a count below 1,000,000 fills 19
  for (int i = 0; i < count; ++i) {
    snprintf(rec, sizeof rec, "B%06dN%011d", i, int((int64_t(i) * 7919) % count));
    recs.write(rec, 19);
  }
}

using kivo_test::gate_env;
using kivo_test::held_at_gate;

class InputRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(install_design(d_, kInputDesign, "DB1 DMO 01 'CUSTOMER ENTRY' 'ORDER ENTRY'"));
    ASSERT_EQ(system(("mkdir -p " + d_.file("tst")).c_str()), 0);
  }
  void TearDown() override { EXPECT_EQ(kivo_test::slurp(d_.file("syserr")), "") << "system errors"; }

  kivo_test::env_list env(const std::string& tst = "tst") const { return kivo_test::engine_env(d_.path, tst); }
  std::unique_ptr<kivo_test::tmux_pane> engine(const kivo_test::env_list& e) const {
    return std::make_unique<kivo_test::tmux_pane>(
        kivo_test::shell_quote(KIVO_BINARY) + " -d=DB1 -a=DMO -t=menu " + kivo_test::shell_quote("-p=DMO MENU"),
        d_.path, e);
  }
  // An engine on CUSTOMER ENTRY, shown in inquire mode; its snapshots in `tst`.
  std::unique_ptr<kivo_test::tmux_pane> start(const std::string& tst = "tst") const {
    if (system(("mkdir -p " + d_.file(tst)).c_str()) != 0) ADD_FAILURE() << tst;
    auto p = engine(env(tst));
    EXPECT_TRUE(p->wait_for("DEMO MENU")) << p->capture();
    p->send_keys("Enter");
    EXPECT_TRUE(p->wait_for("INQUIRE")) << p->capture();
    return p;
  }

  // The screen's rows (1-based), each without its trailing blanks.
  static std::string row(kivo_test::tmux_pane& p, size_t r) {
    const std::vector<std::string> rows = p.lines();
    if (r == 0 || r > rows.size()) return "";
    std::string s = rows[r - 1];
    return s.substr(0, s.find_last_not_of(' ') + 1);
  }
  // Waits until row `r` reads `text`; false when it does not in time.
  static bool row_is(kivo_test::tmux_pane& p, size_t r, const std::string& text) {
    return kivo_test::wait_until([&] { return row(p, r) == text; }, kivo_test::kScreenWait);
  }
  // The record as the image shows it: "number|name|balance|protect".
  static std::string shown(kivo_test::tmux_pane& p) {
    auto v = [&](size_t r) {
      std::string s = row(p, r);
      s = s.size() > 11 ? s.substr(11) : "";
      s.erase(0, s.find_first_not_of(' '));
      return s;
    };
    return v(3) + "|" + v(4) + "|" + v(5) + "|" + v(7);
  }
  // The mode field and the message row.
  static std::string mode(kivo_test::tmux_pane& p) {
    std::string s = row(p, 22);
    return s.size() > 70 ? s.substr(70) : "";
  }
  // Waits until the message row reads `text` and the image `record`.
  static bool after(kivo_test::tmux_pane& p, const std::string& msg, const std::string& record) {
    return kivo_test::wait_until([&] { return row(p, 23) == msg && shown(p) == record; }, kivo_test::kScreenWait);
  }
  // Text typed as it stands (a leading "-" is no option of tmux's).
  static void type(kivo_test::tmux_pane& p, const std::string& text) {
    p.send_keys("-l -- " + kivo_test::shell_quote(text));
  }
  // A customer typed in add mode (TAB between the fields) and ENTER.
  static void add(kivo_test::tmux_pane& p, const std::string& no, const std::string& name, const std::string& bal) {
    type(p, no);
    p.send_keys("Tab");
    type(p, name);
    p.send_keys("Tab");
    type(p, bal);
    p.send_keys("Enter");
  }
  // The customer read by key in inquire mode.
  static void inquire(kivo_test::tmux_pane& p, const std::string& no) {
    p.send_keys("F12");
    type(p, no);
    p.send_keys("Enter");
  }

  kivo_test::data_dir d_;
};

}  // namespace kivo::test
