// Two engines under tmux on one installation run the same report ranged on
// the same QUERY at once: 10,000 native customers, the query selecting those
// with a balance of at least 0 by region, then district descending, through
// a merge on work files (a small run memory). Each engine's print script
// keeps its report and then waits until the other engine has printed too, so
// both queries are alive together; each report must list exactly the
// reference order with a heading and an end line per region.
#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "input_test_util.h"

namespace kivo::test {
namespace {

// The query of the region and district levels over CUSTOMER, the report
// that heads, lists and ends each region, and the menu whose option 1 runs
// the report ranged on the query.
constexpr const char* kDesign = R"(APPLICATION DMQ 01
FILE CUSTOMER
  "CUST NO"   A6  key=primary
  NAME        A20
  REGION      A5
  DISTRICT    A1
  BALANCE     P7.2S
END
PROCESS 1 "QRY MENU"
FRAME 1 "QRY MENU" 0 1
IMAGE 1 "QRY MENU" 0 1 1 kind=1 rows=2 cols=30 win_row=2 win_col=5
ROW 1 "QRY MENU" 0 1 1 1 "1 CUSTOMER REPORT"
ROW 1 "QRY MENU" 0 1 1 2 "QUERY MENU"
CHILD 1 "QRY MENU" 0 1 0 1 1 ap=DMQ proc_type=3 name="CUST REPORT" invoc=1 option=1 range_ap=DMQ range_name="CUST QUERY"
PROCESS 5 "CUST QUERY" pcf_ap=DMQ pcf_file=CUSTOMER
SELECT 5 "CUST QUERY" 0 0 1 kind=1 @49:u8=9 @50:u32=1 @54:u16=1 @56=DMQ @59="BALANCE               " @84:u16=1 @86="   " @89="0                             " @119:u8=2 @120=1
SELECT 5 "CUST QUERY" 0 0 2 kind=2 @49=ABC @52:u32=1 @56=DMQ @59="REGION                " @82:u16=1 @84=+ @87=1 @89=1 @103=1
SELECT 5 "CUST QUERY" 0 0 3 kind=2 @49=ABC @52:u32=2 @56=DMQ @59="DISTRICT              " @82:u16=1 @84=- @103=1
PROCESS 3 "CUST REPORT" pcf_ap=DMQ pcf_file=CUSTOMER
FRAME 3 "CUST REPORT" 0 1 enabled=1 kind=1 range_ap=DMQ range_field=REGION count=1
IMAGE 3 "CUST REPORT" 0 1 1 kind=3 rows=1 cols=20
ROW 3 "CUST REPORT" 0 1 1 1 "R"
ITEM 3 "CUST REPORT" 0 1 1 1 3 ap=DMQ field=REGION
FRAME 3 "CUST REPORT" 0 2 enabled=1 kind=0
IMAGE 3 "CUST REPORT" 0 2 1 kind=3 rows=1 cols=20
ITEM 3 "CUST REPORT" 0 2 1 1 1 ap=DMQ field="CUST NO"
ITEM 3 "CUST REPORT" 0 2 1 1 8 ap=DMQ field=DISTRICT
FRAME 3 "CUST REPORT" 0 3 enabled=1 kind=2 range_ap=DMQ range_field=REGION count=1
IMAGE 3 "CUST REPORT" 0 3 1 kind=3 rows=1 cols=20
ROW 3 "CUST REPORT" 0 3 1 1 "E"
ITEM 3 "CUST REPORT" 0 3 1 1 3 ap=DMQ field=REGION
STMTS 3 "CUST REPORT" ep=1
      SET      0LA OUT1 MODE                  =      2
END
)";

struct customer {
  std::string no, region;
  char district;
  int64_t cents;
};

std::vector<customer> customers() {
  std::vector<customer> out;
  const char* regions[] = {"EAST", "NORTH", "SOUTH", "WEST"};
  for (int id = 1; id <= 10000; ++id) {
    char no[8];
    snprintf(no, sizeof no, "C%05d", id);
    out.push_back({no, regions[(id * 13) % 4], (id * 7) % 3 ? 'A' : 'B', (int64_t(id) * 7919 % 200001) - 100000});
  }
  return out;
}

// A CUSTOMER record in hexadecimal: the fields one after another, the
// balance packed (9 digits and the sign).
std::string hex_rec(const customer& c) {
  std::string r(37, ' ');
  r.replace(0, 6, c.no);
  const std::string name = "CUSTOMER " + c.no;
  r.replace(6, name.size(), name);
  r.replace(26, c.region.size(), c.region);
  r[31] = c.district;
  uint64_t v = uint64_t(c.cents < 0 ? -c.cents : c.cents);
  r[36] = char((v % 10) << 4 | (c.cents < 0 ? 0x0D : 0x0C));
  v /= 10;
  for (int i = 35; i >= 32; --i, v /= 100) r[size_t(i)] = char((v / 10 % 10) << 4 | v % 10);
  std::string hex;
  char b[3];
  for (char ch : r) snprintf(b, sizeof b, "%02X", uint8_t(ch)), hex += b;
  return hex;
}

// The report's lines a reference sort gives.
std::vector<std::string> reference(const std::vector<customer>& all) {
  std::vector<customer> sel;
  for (const customer& c : all)
    if (c.cents >= 0) sel.push_back(c);
  std::stable_sort(sel.begin(), sel.end(), [](const customer& a, const customer& b) {
    return a.region != b.region ? a.region < b.region : a.district > b.district;
  });
  std::vector<std::string> out;
  for (size_t i = 0; i < sel.size(); ++i) {
    if (i == 0 || sel[i].region != sel[i - 1].region) out.push_back("R " + sel[i].region);
    out.push_back(sel[i].no + " " + sel[i].district);
    if (i + 1 == sel.size() || sel[i + 1].region != sel[i].region) out.push_back("E " + sel[i].region);
  }
  return out;
}

// A print file's lines without their trailing blanks, empty ones and page
// feeds left out.
std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::string l;
  std::istringstream in(text);
  while (std::getline(in, l)) {
    l.erase(std::remove(l.begin(), l.end(), '\f'), l.end());
    l.erase(l.find_last_not_of(" \r") + 1);
    if (!l.empty()) out.push_back(l);
  }
  return out;
}

class SortedQueryEngines : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      std::ofstream recs(d_.file("customers.hex"));
      for (const customer& c : data_) recs << hex_rec(c) << "\n";
    }
    ASSERT_NO_FATAL_FAILURE(install_design(
        d_, kDesign, "DB2 DMQ 01 '3:CUST REPORT' " + kivo_test::shell_quote("+CUSTOMER=" + d_.file("customers.hex"))));
    // The print script: the report kept, then held until the other engine's
    // is there (a bound only a fault reaches).
    std::ofstream(d_.file("report.sh")) << "#!/bin/sh\n"
                                        << "cp \"$2\" \"$KIVO_TST_DIR/report.new\" || exit 1\n"
                                        << "mv \"$KIVO_TST_DIR/report.new\" \"$KIVO_TST_DIR/report.txt\"\n"
                                        << "i=0\n"
                                        << "while [ ! -f \"$OTHER/report.txt\" ] && [ $i -lt 1200 ]; do\n"
                                        << "  sleep 0.05; i=$((i + 1))\n"
                                        << "done\n";
    ASSERT_EQ(system(("chmod +x " + d_.file("report.sh")).c_str()), 0);
  }
  void TearDown() override { EXPECT_EQ(kivo_test::slurp(d_.file("syserr")), "") << "system errors"; }

  // An engine on the menu, its snapshots, print files and kept report in
  // `tst`, the other engine's in `other`.
  std::unique_ptr<kivo_test::tmux_pane> start(const std::string& tst, const std::string& other) {
    if (system(("mkdir -p " + d_.file(tst)).c_str()) != 0) ADD_FAILURE() << tst;
    kivo_test::env_list e = kivo_test::engine_env(d_.path, tst);
    e.push_back({"KIVO_PRT_FI_DIR", d_.file(tst) + "/"});
    e.push_back({"KIVO_PRT_SCRIPT", "report.sh"});
    e.push_back({"KIVO_RUN_MEM", "2000"});
    e.push_back({"OTHER", d_.file(other)});
    auto p = std::make_unique<kivo_test::tmux_pane>(
        kivo_test::shell_quote(KIVO_BINARY) + " -d=DB2 -a=DMQ -t=menu " + kivo_test::shell_quote("-p=QRY MENU"),
        d_.path, e);
    EXPECT_TRUE(p->wait_for("QUERY MENU")) << p->capture();
    return p;
  }
  bool printed(const std::string& tst) const {
    return kivo_test::wait_until([&] { return std::ifstream(d_.file(tst + "/report.txt")).good(); }, 120);
  }

  std::vector<customer> data_ = customers();
  kivo_test::data_dir d_;
};

TEST_F(SortedQueryEngines, TwoEnginesRunningTheSameQueryAtOnceEachGetTheirOrder) {
  auto a = start("a", "b");
  auto b = start("b", "a");
  a->send_keys("Enter");
  b->send_keys("Enter");
  ASSERT_TRUE(printed("a")) << a->capture() << kivo_test::slurp(d_.file("syserr"));
  ASSERT_TRUE(printed("b")) << b->capture() << kivo_test::slurp(d_.file("syserr"));
  const std::vector<std::string> want = reference(data_);
  EXPECT_EQ(lines_of(kivo_test::slurp(d_.file("a/report.txt"))), want);
  EXPECT_EQ(lines_of(kivo_test::slurp(d_.file("b/report.txt"))), want);
  for (auto* p : {a.get(), b.get()}) {
    ASSERT_TRUE(p->wait_for("QUERY MENU")) << p->capture();
    p->send_keys("S-F1");
    EXPECT_EQ(p->exit_status(), 0) << p->capture();
  }
}

}  // namespace
}  // namespace kivo::test
