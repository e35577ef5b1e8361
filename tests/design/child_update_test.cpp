// A report ranged on a query, run twice from one menu with a part added
// between the runs, as its CHILD's update= asks, through the real
// kivo_design, kivo_install and kivo under tmux on copies of the shipped
// installation: without it, or with 1 (the query's criteria unchanged), the
// second run prints the selection the first built; with 2 or 3 it selects
// again. A value outside 0-3 is refused at load with its line, and no file
// of the installation changes.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "../fixtures/kivo_fixture.h"
#include "../foundation/test_dir.h"
#include "../screen/term_harness.h"

namespace kivo::test {
namespace {

using kivo_test::scratch_dir;
using kivo_test::shell_quote;
using kivo_test::slurp;

// Menu line 1 adds parts; line 2 lists them through PART QUERY, sorted by
// number, with `update` on its CHILD (line 13).
std::string design(const std::string& update) {
  return R"(APPLICATION UPD 01
FILE PART
  "PART NO"   A6  key=primary
  "PART NAME" A12
END
PROCESS 1 "UPD MENU"
FRAME 1 "UPD MENU" 0 1
IMAGE 1 "UPD MENU" 0 1 1 kind=1 rows=3 cols=30 win_row=2 win_col=5
ROW 1 "UPD MENU" 0 1 1 1 "1 PART ENTRY"
ROW 1 "UPD MENU" 0 1 1 2 "2 PART LIST"
ROW 1 "UPD MENU" 0 1 1 3 "UPD MENU"
CHILD 1 "UPD MENU" 0 1 0 1 1 ap=UPD proc_type=2 name="PART ENTRY" invoc=0 option=1
CHILD 1 "UPD MENU" 0 1 0 2 2 ap=UPD proc_type=3 name="PART LIST" invoc=0 option=2 range_ap=UPD range_name="PART QUERY" )" +
         update + R"(
PROCESS 2 "PART ENTRY" pcf_ap=UPD pcf_file=PART pcf_update=1 pcf_required=1
FRAME 2 "PART ENTRY" 0 1
IMAGE 2 "PART ENTRY" 0 1 1 kind=1 rows=3 cols=40 win_row=9 win_col=5
ROW 2 "PART ENTRY" 0 1 1 1 "PART ENTRY"
ROW 2 "PART ENTRY" 0 1 1 2 "NO:"
ROW 2 "PART ENTRY" 0 1 1 3 "NAME:"
ITEM 2 "PART ENTRY" 0 1 1 2 12 ap=UPD field="PART NO" input=1
ITEM 2 "PART ENTRY" 0 1 1 3 12 ap=UPD field="PART NAME" input=1
PROCESS 5 "PART QUERY" pcf_ap=UPD pcf_file=PART
SELECT 5 "PART QUERY" 0 0 1 kind=2 @49=ABC @52:u32=1 @56=UPD @59="PART NO               " @82:u16=1 @84=+ @103=1
PROCESS 3 "PART LIST" pcf_ap=UPD pcf_file=PART
FRAME 3 "PART LIST" 0 1 enabled=1 kind=0
IMAGE 3 "PART LIST" 0 1 1 kind=3 rows=1 cols=30
ITEM 3 "PART LIST" 0 1 1 1 1 ap=UPD field="PART NO"
STMTS 3 "PART LIST" ep=1
      SET      0LA OUT1 MODE                  =      3
END
)";
}

constexpr const char* kApps = R"(APPL UPD 01 "Fresh selection"
DATABASE UPD UPD 01
DBXAP UPD UPD 1
DATAFILE UPD UPD 01 PART
)";

struct ran {
  int status;
  std::string out;
};

// `tool args` run in `d`.
ran tool(const scratch_dir& d, const std::string& tool, const std::string& args) {
  FILE* p = popen(
      ("cd " + shell_quote(d.path) + " && ASAN_OPTIONS=detect_leaks=0 " + tool + " " + args + " 2>&1").c_str(), "r");
  std::string out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int st = pclose(p);
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

// The print that the one ".cfg" in `d`/prt says is complete, removed once read.
std::string take_print(const scratch_dir& d) {
  std::vector<std::string> cfg;
  kivo_test::wait_until(
      [&] {
        cfg.clear();
        for (const auto& e : std::filesystem::recursive_directory_iterator(d.file("prt")))
          if (e.path().extension() == ".cfg") cfg.push_back(e.path().string());
        return !cfg.empty();
      },
      kivo_test::kScreenWait);
  if (cfg.size() != 1) return ADD_FAILURE() << cfg.size() << " prints", "";
  const std::string print = cfg[0].substr(0, cfg[0].size() - 4), text = slurp(print);
  std::filesystem::remove(cfg[0]), std::filesystem::remove(print);
  return text;
}

// Part `no` added in PART ENTRY from the menu, and back at the menu.
void add_part(kivo_test::tmux_pane& p, const char* no) {
  p.send_keys("F1 1");
  ASSERT_TRUE(p.wait_for("NAME:")) << p.capture();
  p.send_keys("F10");
  ASSERT_TRUE(p.wait_for("ADD")) << p.capture();
  p.send_text(no), p.send_keys("Tab"), p.send_text("BOLT"), p.send_keys("Enter");
  ASSERT_TRUE(p.wait_for("RECORD ADDED")) << p.capture();
  p.send_keys("S-F1");
  ASSERT_TRUE(p.wait_for("MENU ENTRY")) << p.capture();
}

TEST(DesignerLoaderChecks, ChildUpdateAsksARangedReportForAFreshSelection) {
  const struct {
    const char* update;
    const char* refused;  // the load's fault; null: loaded and run
    bool fresh;           // the second print holds the part added before it
  } cases[] = {
      {"", nullptr, false},
      {"update=1", nullptr, false},
      {"update=2", nullptr, true},
      {"update=3", nullptr, true},
      {"update=4", "update \"4\" is not a number 0-3", false},
      {"update=-1", "update \"-1\" is not a number 0-3", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("\"") + c.update + "\"");
    scratch_dir d;
    ASSERT_TRUE(kivo_test::copy_shipped_installation(d.path));
    d.write("upd.dsgn", design(c.refused ? "" : c.update));
    d.write("upd.txt", kApps);
    ran r = tool(d, KIVO_DESIGN, "-d . upd.dsgn");
    ASSERT_EQ(r.status, 0) << r.out;
    ASSERT_EQ((r = tool(d, KIVO_INSTALL, "-d . -a upd.txt")).status, 0) << r.out;
    if (c.refused) {
      d.write("upd.dsgn", design(c.update));
      const auto before = kivo_test::tree_sums(d.path);
      r = tool(d, KIVO_DESIGN, "-r -d . upd.dsgn");
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, std::string("kivo_design: upd.dsgn:13: ") + c.refused + "\n");
      EXPECT_EQ(kivo_test::tree_changes(before, kivo_test::tree_sums(d.path)), std::vector<std::string>{});
      continue;
    }
    std::filesystem::create_directories(d.file("prt")), std::filesystem::create_directories(d.file("tst"));
    kivo_test::env_list e = kivo_test::engine_env(d.path);
    e.push_back({"KIVO_PRT_FI_DIR", d.file("prt") + "/"});
    kivo_test::tmux_pane p(shell_quote(KIVO_BINARY) + " -d=UPD -a=UPD -t=menu " + shell_quote("-p=UPD MENU"), d.path,
                           e);
    ASSERT_TRUE(p.wait_for("UPD MENU")) << p.capture();
    ASSERT_NO_FATAL_FAILURE(add_part(p, "P1"));
    p.send_keys("F1 2");
    const std::string first = take_print(d);
    ASSERT_NO_FATAL_FAILURE(add_part(p, "P2"));
    p.send_keys("F1 2");
    const std::string second = take_print(d);
    EXPECT_NE(first.find("P1"), std::string::npos) << first;
    EXPECT_EQ(first.find("P2"), std::string::npos) << first;
    EXPECT_NE(second.find("P1"), std::string::npos) << second;
    EXPECT_EQ(second.find("P2") != std::string::npos, c.fresh) << second;
    p.send_keys("S-F1");
    EXPECT_EQ(p.exit_status(), 0) << p.capture();
    EXPECT_EQ(slurp(d.file("syserr")), "");
  }
}

}  // namespace
}  // namespace kivo::test
