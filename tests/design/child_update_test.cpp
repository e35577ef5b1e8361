// A report ranged on a query, run twice from one menu with a loan added
// between the runs, as its CHILD's update= asks: without it, or with 1 (the
// query's criteria unchanged), the second run prints the selection the
// first built; with 2 or 3 it selects again. (A value outside 0-3 is among
// the refused design lines.)
#include <gtest/gtest.h>

#include <string>

#include "../fixtures/loans_design.h"

namespace kivo::test {
namespace {

using namespace kivo_test;

// Menu line 1 adds loans; line 2 prints them in REPORT through LOAN QUERY,
// sorted by number, with `update` on its CHILD.
std::string with_menu(const std::string& update) {
  return loans() + R"(PROCESS 1 "LIB MENU"
FRAME 1 "LIB MENU" 0 1
IMAGE 1 "LIB MENU" 0 1 1 kind=1 rows=3 cols=30 win_row=9 win_col=5
ROW 1 "LIB MENU" 0 1 1 1 "1 LOAN ENTRY"
ROW 1 "LIB MENU" 0 1 1 2 "2 REPORT"
ROW 1 "LIB MENU" 0 1 1 3 "LIB MENU"
CHILD 1 "LIB MENU" 0 1 0 1 1 ap=LIB proc_type=2 name="LOAN ENTRY" invoc=0 option=1
CHILD 1 "LIB MENU" 0 1 0 2 2 ap=LIB proc_type=3 name=REPORT invoc=0 option=2 range_ap=LIB range_name="LOAN QUERY" )" +
         update + R"(
SELECT 5 "LOAN QUERY" 0 0 1 kind=2 @49=ABC @52:u32=1 @56=LIB @59="LOAN NO               " @82:u16=1 @84=+ @103=1
)";
}

// Loan `no` added in LOAN ENTRY from the menu, and back at the menu.
void add_loan(tmux_pane& p, const char* no) {
  p.send_keys("F1 1");
  ASSERT_TRUE(p.wait_for("FINE:")) << p.capture();
  p.send_keys("F10");
  ASSERT_TRUE(p.wait_for("ADD")) << p.capture();
  p.send_text(no), p.send_keys("Tab"), p.send_text("1"), p.send_keys("Enter");
  ASSERT_TRUE(p.wait_for("RECORD ADDED")) << p.capture();
  p.send_keys("S-F1");
  ASSERT_TRUE(p.wait_for("MENU ENTRY")) << p.capture();
}

TEST(DesignerLoaderChecks, ChildUpdateAsksARangedReportForAFreshSelection) {
  // fresh: the second print holds the loan added before it.
  const std::pair<const char*, bool> cases[] = {
      {"", false}, {"update=1", false}, {"update=2", true}, {"update=3", true}};
  for (const auto& [update, fresh] : cases) {
    SCOPED_TRACE(update);
    scratch_dir d;
    ASSERT_NO_FATAL_FAILURE(install_loans(d, with_menu(update)));
    auto p = loans_engine(d, "-t=menu " + shell_quote("-p=LIB MENU"));
    ASSERT_TRUE(p.wait_for("LIB MENU")) << p.capture();
    ASSERT_NO_FATAL_FAILURE(add_loan(p, "P1"));
    p.send_keys("F1 2");
    const std::string first = take_print(d);
    ASSERT_NO_FATAL_FAILURE(add_loan(p, "P2"));
    p.send_keys("F1 2");
    const std::string second = take_print(d);
    EXPECT_NE(first.find("P1"), std::string::npos) << first;
    EXPECT_EQ(first.find("P2"), std::string::npos) << first;
    EXPECT_NE(second.find("P1"), std::string::npos) << second;
    EXPECT_EQ(second.find("P2") != std::string::npos, fresh) << second;
    p.send_keys("S-F1");
    EXPECT_EQ(p.exit_status(), 0) << p.capture();
    EXPECT_EQ(slurp(d.file("syserr")), "");
  }
}

}  // namespace
}  // namespace kivo::test
