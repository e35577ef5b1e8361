// OUTPUT processes run through the executive: the print file of a paged
// report against its golden file, page headings, blocks and level totals
// against sums of the data, the PRINT and DISPLAY statements, and the ends
// of a run that fails or is interrupted; and the level totals of an ACTION
// process, which share the report's.
#include <array>

#include "../fixtures/hook_override.h"
#include "foundation/pool.h"
#include "op_test_util.h"
#include "process/ap.h"
#include "process/qp.h"
#include "process/qs.h"
#include "process/rm_internal.h"
#include "types/pd.h"

namespace kivo::test {
namespace {

class OutputProc : public OpFixture {
 protected:
  // TOTS of ACTTOT: kind, region and district, then three sums.
  enum : size_t { T_NAMES_LEN = 8, T_DSUM = 8, T_RSUM = 14, T_GSUM = 20, T_SUM_LEN = 6 };

  // The files of ACTTOT, with TOTS made first as a memory file held open so
  // that its records outlast the run.
  static void open_with_tots(PCB* p) {
    auto& self = *static_cast<OutputProc*>(op);
    EM* em = p->pcb_em;
    pi_each_rec(em->em_cfi_arb, [&](uint8_t* c) {
      if (self.tots || memcmp(c + FDB_NAME, "TOTS    ", 8)) return;
      memset(c + FDB_DB, ' ', 3);
      FDB f;
      ASSERT_EQ(em_cfi_desc(em, c, &f), 1);
      ASSERT_EQ(FM_CREATE(&f, com.sys_scope, 0, kAnyFile | LFB_OPEN_NEW, 15, 15), 1);
      self.tots = f.fdb_arb;
    });
    self.open_fi(p);
  }

  // The TOTS records in the order written: "H2 0 0 13813" for a heading,
  // "T2 EAST B 13813 13813 0" for a total (the sums district, region, all).
  std::vector<std::string> tots_written() {
    std::vector<std::string> out;
    PROTO_FULL(tots, 0, nullptr);
    tots->arb_mod = ARB_FIRST;
    if (!fm_start(tots)) return out;
    while (const uint8_t* r = fm_rdnxt_fast(tots, 0)) {
      const std::string k(reinterpret_cast<const char*>(r), T_NAMES_LEN);
      std::string line = k.substr(0, 2);
      line += " " + trim(k.substr(2, 5)) + " " + k.substr(7, 1);
      for (size_t at : {T_DSUM, T_RSUM, T_GSUM}) line += " " + std::to_string(pd_cvb(r + at, T_SUM_LEN));
      out.push_back(line);
    }
    return out;
  }

  ARB* tots = nullptr;
};

// Sums of the fixture's balances by a key of a customer.
template <typename K>
std::map<std::string, int64_t> sums(const std::vector<customer>& data, K key) {
  std::map<std::string, int64_t> m;
  for (const customer& c : data) m[key(c)] += c.cents;
  return m;
}

// The amount at column 20 of a total line.
std::string amount_at(const std::string& line) { return line.size() > 19 ? trim(line.substr(19)) : ""; }
std::string lstrip(std::string s) { return s.erase(0, s.find_first_not_of(' ')); }

// Region totals, the report total and the detail ids of a REPORT print.
struct report_view {
  std::map<std::string, std::string> region_totals;
  std::string report_total;
  std::vector<int> ids;
};
report_view read_report(const std::vector<std::vector<std::string>>& pages) {
  report_view v;
  std::string region;
  for (const auto& page : pages)
    for (const std::string& l : page) {
      if (l.rfind("REGION TOTAL", 0) == 0) {
        v.region_totals[region] = lstrip(amount_at(l));
      } else if (l.rfind("REGION ", 0) == 0) {
        region = l.substr(7);
      } else if (l.rfind("REPORT TOTAL", 0) == 0) {
        v.report_total = lstrip(amount_at(l));
      } else if (!l.empty() && isdigit(static_cast<unsigned char>(l[0]))) {
        v.ids.push_back(std::stoi(l));
      }
    }
  return v;
}

// Every total of REPORT equals the sum of its customers, each detail line
// comes once in file order, and every page holds the heading first and no
// more lines than the page.
void check_report(const std::vector<customer>& data, const std::vector<std::vector<std::string>>& pages,
                  size_t page_len) {
  const report_view v = read_report(pages);
  std::map<std::string, std::string> want;
  for (auto& [region, cents] : sums(data, [](const customer& c) { return c.region; })) want[region] = amount(cents);
  EXPECT_EQ(v.region_totals, want);
  EXPECT_EQ(v.report_total, amount(sums(data, [](const customer&) { return std::string(); })[""]));
  std::vector<int> ids;
  for (const customer& c : data) ids.push_back(c.id);
  EXPECT_EQ(v.ids, ids);
  for (size_t n = 0; n < pages.size(); ++n) {
    ASSERT_FALSE(pages[n].empty()) << "page " << n + 1;
    EXPECT_EQ(pages[n][0], "CUSTOMER BALANCES") << "page " << n + 1;
    EXPECT_LE(pages[n].size(), page_len ? page_len : SIZE_MAX) << "page " << n + 1;
    // The two rows of a region total are one block: never parted by a page.
    for (size_t i = 0; i < pages[n].size(); ++i) {
      if (pages[n][i].rfind("REGION TOTAL", 0) != 0) continue;
      EXPECT_TRUE(i + 1 < pages[n].size() && pages[n][i + 1].rfind("-----", 0) == 0) << "page " << n + 1;
    }
  }
}

std::string golden(const std::string& name) {
  std::ifstream in(std::string(KIVO_SOURCE_DIR) + "/tests/process/golden/" + name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The print file of REPORT at page length 20 (op_report.prt), line by line:
//  page 1: the page heading (two rows and a blank line after), the report
//  heading "ALL REGIONS" and its blank line, the blank line before and the
//  heading of region EAST, then customers 1-13 fill the 20 lines;
//  page 2: the heading, customer 14, EAST's total block (its total and the
//  dashes), a blank line, NORTH's heading and customers 15-26;
//  page 3: the heading, 27, NORTH's total, SOUTH with 28-39;
//  page 4: the heading, 40 and 41, SOUTH's total, WEST with 42-50 and its
//  total: 20 lines, so that the report total opens page 5 under the
//  heading, without its blank line before (no blank line opens a page).
TEST_F(OutputProc, PagedReportEqualsGoldenWithHeadingsWholeBlocksAndTotals) {
  page_len = 20;
  ASSERT_EQ(run_proc("REPORT"), PI_END_PROCESS);
  const std::string text = print_text();
  EXPECT_EQ(text, golden("op_report.prt"));
  const auto pages = pages_of(text);
  EXPECT_EQ(pages.size(), 5u);
  check_report(data, pages, 20);
  for (auto& e : captured_errors()) ADD_FAILURE() << e;
}

TEST_F(OutputProc, WithoutPagingOneHeadingAndTheSameTotals) {
  ASSERT_EQ(run_proc("REPORT"), PI_END_PROCESS);
  const std::string text = print_text();
  EXPECT_EQ(text.find('\f'), std::string::npos);
  const auto pages = pages_of(text);
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(std::count(pages[0].begin(), pages[0].end(), "CUSTOMER BALANCES"), 1);
  check_report(data, pages, 0);
  for (auto& e : captured_errors()) ADD_FAILURE() << e;
}

// District totals roll into their region's, regions into the report's; each
// level's summary field starts again at zero after its total.
TEST_F(OutputProc, ThreeLevelTotalsEqualIndependentSums) {
  levels = 2;
  ASSERT_EQ(run_proc("REPORT3"), PI_END_PROCESS);
  std::vector<std::string> got;
  for (const auto& page : pages_of(print_text()))
    for (const std::string& l : page)
      if (!l.empty()) got.push_back(l.substr(0, 1) + " " + trim(l.substr(2, 6)) + " " + lstrip(amount_at(l)));
  std::vector<std::string> want;
  const auto district = sums(data, [](const customer& c) { return c.region + "/" + c.district; });
  const auto region = sums(data, [](const customer& c) { return c.region; });
  int64_t all = 0;
  for (auto& [r, cents] : region) {
    for (const char* d : {"A", "B"}) want.push_back(std::string("D ") + d + " " + amount(district.at(r + "/" + d)));
    want.push_back("R " + r + " " + amount(cents));
    all += cents;
  }
  want.push_back("T  " + amount(all));
  EXPECT_EQ(got, want);
  for (auto& e : captured_errors()) ADD_FAILURE() << e;
}

// PRINT at AT, ROWS and COLUMNS values (0 takes the default), then the
// image whose item DISPLAY fixed at 12.50 before the field became 99.
TEST_F(OutputProc, PrintPlacesTheFieldAndDisplayFixesAnItemBeforeItsLine) {
  ASSERT_EQ(run_proc("PRINTS"), PI_END_PROCESS);
  const auto pages = pages_of(print_text());
  ASSERT_EQ(pages.size(), 1u);
  const std::vector<std::string> want = {
      "ABCDEFGHIJ",      // AT 0, ROWS 0, COLUMNS 0: column 1, the whole text
      "    ABCDEFGHIJ",  // AT 5
      "",
      "",
      "  ABCDEFGHIJ",                // AT 3, ROWS 3: two blank lines first
      std::string(37, ' ') + "ABC",  // AT 38, COLUMNS 4: cut at the width of 40
      "",
      "ABCDEFGHIJ",       // ROWS 2
      "ABC",              // COLUMNS 3
      "SHOWN     12.50",  // DISPLAY's value, not the later 99
  };
  EXPECT_EQ(pages[0], want);
  for (auto& e : captured_errors()) ADD_FAILURE() << e;
}

int g_lines;
int write_fails_at_20(PM_BLK* blk, const PM_LINE* l) {
  if (++g_lines == 20) {
    blk->status = PM_FILE_FAILED + ENOSPC;
    return 0;
  }
  return pm_write(blk, l);
}
const rm_sink kFailingSink = {pm_bld, write_fails_at_20, pm_cleanup};
// The print script's end of the print fails.
int cleanup_fails(PM_BLK* blk) {
  pm_cleanup(blk);
  blk->status = PM_CFG_FAILED + ENOSPC;
  return 0;
}
const rm_sink kFailingCleanup = {pm_bld, pm_write, cleanup_fails};

// A print failure and an interrupt both end the run with 4 and leave no
// report file, report record or pool block; a failed print posts 300580,
// an interrupt 104250, and neither's incomplete file is handed on.
TEST_F(OutputProc, FailureOrInterruptEndsWithFourAndLeavesNothing) {
  page_len = 20;
  ASSERT_EQ(run_proc("REPORT"), PI_END_PROCESS);  // the lasting holders of the files
  for (const std::string& f : prints()) std::filesystem::remove(f), std::filesystem::remove(f + ".cfg");
  hooks_.set(pi_type_rows[PT_OUTPUT].cleanup, watched_cleanup);
  struct row {
    const char* what;
    const rm_sink* sink;
    int interrupt_at;
    uint32_t posted;
  } rows[] = {
      {"pm_write fails", &kFailingSink, 0, RM_NO_FILE},
      {"pm_cleanup fails", &kFailingCleanup, 0, RM_NO_FILE},
      {"interrupted", nullptr, 10, QS_INTERRUPTED},
  };
  for (const row& r : rows) {
    const uint32_t blocks = mm_total_blocks(), files = ctl_count_pfb();
    interrupt_at = r.interrupt_at, g_lines = 0, posted = 0, err_lines = 0;
    {
      kivo_test::scoped_hook sink(process_seams.op_sink, r.sink);
      EXPECT_EQ(run_proc("REPORT"), PI_END_CANCEL) << r.what;
    }
    com_dbg_ctl_bits = 0;
    EXPECT_EQ(posted, r.posted) << r.what;
    EXPECT_EQ(err_lines, r.posted ? 1 : 0) << r.what;
    EXPECT_TRUE(second) << r.what;
    EXPECT_EQ(rm_from(com.rpt_arb, nullptr, false), nullptr) << r.what << ": report record left";
    EXPECT_EQ(ctl_count_pfb(), files) << r.what << ": a report file left";
    EXPECT_EQ(mm_total_blocks(), blocks) << r.what;
    if (r.sink != &kFailingCleanup) {
      EXPECT_TRUE(prints().empty()) << r.what << ": an incomplete print kept";
    }
    for (const std::string& f : prints()) std::filesystem::remove(f), std::filesystem::remove(f + ".cfg");
    captured_errors().clear();
  }
}

// A page of 4 lines holds the heading (3) and not the two rows of a region
// total: the block goes out whole with paging off, the next print starts a
// new page, and nothing is lost.
TEST_F(OutputProc, BlockLongerThanAPageGoesOutWhole) {
  page_len = 4;
  ASSERT_EQ(run_proc("REPORT"), PI_END_PROCESS);
  const auto pages = pages_of(print_text());
  const report_view v = read_report(pages);
  EXPECT_EQ(v.ids.size(), data.size());
  EXPECT_EQ(v.region_totals.size(), 4u);
  EXPECT_EQ(v.report_total, amount(sums(data, [](const customer&) { return std::string(); })[""]));
  for (const auto& page : pages) EXPECT_EQ(page[0], "CUSTOMER BALANCES");
  for (auto& e : captured_errors()) ADD_FAILURE() << e;
}

// ACTTOT ranged on CUSTQT (balance at least 0, by region, then district
// descending). Each district and region total equals the sum of its
// customers and has been added into the level above; a level's sum is zero
// again at the next heading of its level and at the total of the level
// above, so a roll that zeroes nothing, or the wrong level, shows in the
// next group's figures.
TEST_F(OutputProc, ActionLevelTotalsRollUpAndStartAgainAtZero) {
  // ap_init fills the ACTION, UPDATE, JOB and STATUS rows over files of
  // this test's session: every row goes back, or the next test's JOB runs
  // the action loop on files that are gone.
  kivo_test::hook_overrides rows;
  for (pi_type_row& row : pi_type_rows) rows.keep(row);
  ap_init(), qp_init();
  levels = 0;  // the query gives the levels
  hooks_.set(process_seams.open_fi, open_with_tots);
  INVOC v = inv("ACTTOT", PT_ACTION, nullptr, 2, "0DN");
  memcpy(v.b + INVOC_VER, "01", 2);
  memcpy(v.b + INVOC_RNG_AP, "0DN", 3), memcpy(v.b + INVOC_RNG_NAM, s30("CUSTQT").data(), 30);
  const uint32_t end = run(v);
  rows.restore();
  ASSERT_EQ(end, uint32_t(PI_END_PROCESS));
  ASSERT_TRUE(tots);

  std::map<std::string, std::map<std::string, int64_t, std::greater<>>> sums;  // region, district descending
  for (const customer& c : data)
    if (c.cents >= 0) sums[c.region][c.district] += c.cents;
  auto line = [](std::string head, int64_t d, int64_t r, int64_t all) {
    return head + " " + std::to_string(d) + " " + std::to_string(r) + " " + std::to_string(all);
  };
  std::vector<std::string> want;
  int64_t all = 0;
  for (const auto& [r, districts] : sums) {
    want.push_back(line("H1 " + r + " " + districts.begin()->first, 0, 0, all));
    int64_t in_region = 0;
    for (const auto& [d, cents] : districts) {
      want.push_back(line("H2 " + r + " " + d, 0, in_region, all));
      in_region += cents;
      want.push_back(line("T2 " + r + " " + d, cents, in_region, all));
    }
    all += in_region;
    want.push_back(line("T1 " + r + " " + districts.rbegin()->first, 0, in_region, all));
  }
  EXPECT_EQ(tots_written(), want);
  for (auto& e : captured_errors()) ADD_FAILURE() << e;
}

}  // namespace
}  // namespace kivo::test
