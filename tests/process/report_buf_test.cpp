// Report buffers: pages printed against golden print files, stacks pushed
// and popped, the refusals of printing, window regions, and the clean-up.
#include <gtest/gtest.h>
#include <unistd.h>

#include "../fixtures/hook_override.h"
#include "fm/fm_open.h"
#include "process/rm_internal.h"
#include "report_test_util.h"

namespace kivo {
namespace {

using test::img_spec;
using test::sink_log;

class ReportBuf : public test::Report {
 protected:
  void expect_golden(RPT_BLK* r, const std::string& name) { EXPECT_EQ(finish(r), golden(name)); }
};

// paged.prt, page length 12:
//   "\nL1\nL2\nL3"      three lines; 9 lines left, so the block of 10 after them is refused
//   "\f"                the new page of position -1
//   "\nB01" .. "\nB10"  lines 1-3 are placeholders now: B01 advances one from line 3
TEST_F(ReportBuf, PagedBlockRefusedThenPrintedWholeOnANewPage) {
  RPT_BLK* r = report(20, 12);
  for (const char* t : {"L1", "L2", "L3"}) ASSERT_EQ(write(r, {{t}}), 1);
  img_spec block;
  for (int i = 1; i <= 10; ++i) block.rows.push_back(i < 10 ? "B0" + std::to_string(i) : "B10");
  ASSERT_EQ(write(r, block), 1);
  EXPECT_EQ(rm_print(r, 0, 0), 0);
  EXPECT_EQ(r->status, RM_NO_FIT);
  EXPECT_EQ(sink_log().size(), 3u) << "nothing of the block printed";
  EXPECT_EQ(rm_print(r, 0, -1), 1);
  EXPECT_EQ(r->lines_left, 2);
  expect_golden(r, "paged.prt");
}

// placeholder.prt: "\nAAA" (its two reserved lines print nothing), then
// "\nCCC" of the next print, one line feed later: no gap.
TEST_F(ReportBuf, ReservedPlaceholdersPrintNothingAndLeaveNoGap) {
  RPT_BLK* r = report(10);
  img_spec a{{"AAA"}};
  a.reserved = 2;
  ASSERT_EQ(write(r, a), 1);
  EXPECT_EQ(r->rpt_top->last_line, 3u);
  ASSERT_EQ(rm_print(r, 0, 0), 1);
  ASSERT_EQ(write(r, {{"CCC"}}), 1);
  ASSERT_EQ(rm_print(r, 0, 0), 1);
  EXPECT_EQ(sink_log(), (std::vector<std::string>{"2 1 AAA", "2 1 CCC"}));
  expect_golden(r, "placeholder.prt");
}

// labels.prt, a 3-across window of 2 x 10 regions over a 5-row image at column 11:
//   "\nLab1      T1        Lab5"  first row of the flush: region 3 (Lab3) meets T1-T5 and waits
//   "\nx1        T2        x5"
//   "\n          T3" .. "T5"
//   "\nLab2      Lab4      Lab6"  second row, below the highest column
//   "\nx2        x4        x6"
//   "\nLab3\nx3"                  renumbered 1, placed by the flush of the print
//   "\nLab7\nx7"                  the seventh label, region 2 after the renumbering
TEST_F(ReportBuf, LabelWindowPlacesARegionThatDidNotFitInTheNextFlush) {
  RPT_BLK* r = report(30);
  img_spec tall{{"T1", "T2", "T3", "T4", "T5"}};
  tall.col = 11;
  ASSERT_EQ(write(r, tall), 1);
  RPT_WND w{};
  w.type = 1, w.rows = 4, w.cols = 30, w.reg_rows = 2, w.reg_cols = 10;
  ASSERT_EQ(rm_attach(r, 0, &w), 1);
  EXPECT_EQ(w.regions, 6u);
  for (int i = 1; i <= 7; ++i) ASSERT_EQ(write(r, {{"Lab" + std::to_string(i), "x" + std::to_string(i)}}, 0, &w), 1);
  EXPECT_EQ(w.cur_region, 2) << "one region left over, renumbered 1, and the seventh label";
  ASSERT_EQ(rm_print(r, 0, 0), 1);
  expect_golden(r, "labels.prt");
}

// columns.prt, windows of 2 x 10 regions over 4 x 20:
//   "\nA1        A2\nA3        A4"  type 2: regions side by side, row by row
//   "\nA5"                          the fifth restarts the window below
//   "\nC1        C3\nc1        c3"  type 3: text flows down the first column, then the next
//   "\nC2        C4\nc2        c4"
//   "\nC5\nc5"                      no room left: refused, then written on the next page
TEST_F(ReportBuf, SideBySideAndFlowingWindowsRestartWhenFull) {
  RPT_BLK* r = report(20);
  RPT_WND w2{}, w3{};
  w2.type = 2, w2.rows = 4, w2.cols = 20, w2.reg_rows = 2, w2.reg_cols = 10;
  w3 = w2;
  w3.type = 3;
  ASSERT_EQ(rm_attach(r, 0, &w2), 1);
  for (int i = 1; i <= 5; ++i) ASSERT_EQ(write(r, {{"A" + std::to_string(i)}}, 0, &w2), 1);
  ASSERT_EQ(rm_print(r, 0, 0), 1);
  ASSERT_EQ(rm_attach(r, 0, &w3), 1);
  for (int i = 1; i <= 4; ++i) ASSERT_EQ(write(r, {{"C" + std::to_string(i), "c" + std::to_string(i)}}, 0, &w3), 1);
  EXPECT_EQ(write(r, {{"C5", "c5"}}, 0, &w3), 0);
  EXPECT_EQ(r->status, RM_NO_FIT);
  EXPECT_EQ(r->rpt_top->last_line, 4u) << "nothing of the refused image written";
  ASSERT_EQ(rm_print(r, 0, 0), 1);
  ASSERT_EQ(write(r, {{"C5", "c5"}}, 0, &w3), 1);
  ASSERT_EQ(rm_print(r, 0, 0), 1);
  expect_golden(r, "columns.prt");
}

// merge.prt, buffer 1 (20 wide) merged into a base 10 wide:
//   "\n0123456" then 7, 8, 9 each struck three times (bold cut from 8-12 to 8-10;
//   the underline at 15-18 is dropped with the text beyond column 10)
//   "\n" b, o, l, d struck three times, " ", then u, n, d, e, r each followed by BS "_"
TEST_F(ReportBuf, WiderBufferMergedClipsTextAndCharacteristics) {
  RPT_BLK* r = report(20);
  ASSERT_EQ(rm_start(r), 1);
  r->rpt_top->width = 10;
  ARB* chrs = rm_work_file(RM_FILE_CHRS, 1);
  test::put_chr(chrs, 1, 8, 1, 5, PM_ATTR_BOLD);
  test::put_chr(chrs, 1, 15, 1, 4, PM_ATTR_UNDERLINE);
  ASSERT_EQ(write(r, {{"0123456789ABCDEFGHIJ"}}, 1, nullptr, chrs), 1);
  rm_close(chrs);
  chrs = rm_work_file(RM_FILE_CHRS, 1);
  test::put_chr(chrs, 1, 1, 1, 4, PM_ATTR_BOLD);
  test::put_chr(chrs, 1, 6, 1, 5, PM_ATTR_UNDERLINE);
  ASSERT_EQ(write(r, {{"bold under"}}, 1, nullptr, chrs), 1);
  rm_close(chrs);
  ASSERT_EQ(rm_print(r, 1, 0), 1);
  EXPECT_EQ(sink_log(), (std::vector<std::string>{"2 1 0123456789 [64@8+3]", "2 1 bold under [64@1+4] [256@6+5]"}));
  expect_golden(r, "merge.prt");
}

// gap.prt:
//   "\nTOP", 301 line feeds (255 + 46), "BOT"   300 blank lines between them
//   "\f", 255 + 45 line feeds to line 300, "\nEND"   a skip beyond line 255
TEST_F(ReportBuf, LongAdvancesAndSkipsGoOutInStepsOf255) {
  RPT_BLK* r = report(10);
  img_spec top{{"TOP"}}, space{{}, 1, 3};
  top.after = 255;
  space.after = 45;
  for (const img_spec& s : {top, space, img_spec{{"BOT"}}}) ASSERT_EQ(write(r, s), 1);
  ASSERT_EQ(rm_print(r, 0, 0), 1);
  ASSERT_EQ(rm_print(r, 0, -1), 1);
  ASSERT_EQ(write(r, {{"END"}}), 1);
  ASSERT_EQ(rm_print(r, 0, 300), 1);
  EXPECT_EQ(sink_log(), (std::vector<std::string>{"2 1 TOP", "2 255", "2 46 BOT", "1 0", "3 255", "2 45", "2 1 END"}));
  expect_golden(r, "gap.prt");
}

TEST_F(ReportBuf, PoppedBufferReturnsAsTheSameEmptyBlockAndLevelAboveTopIsRefused) {
  RPT_BLK* r = report(10);
  ASSERT_EQ(rm_start(r), 1);
  ASSERT_EQ(rm_start(r), 1);
  RPT_BUF* b2 = r->rpt_top->below;
  ASSERT_EQ(write(r, {{"X"}}, 2), 1);
  EXPECT_EQ(rm_empty(r, 5, 0, 0), 0);
  EXPECT_EQ(r->status, RM_NO_LEVEL);
  EXPECT_EQ(r->rpt_top->below, b2);
  ASSERT_EQ(rm_empty(r, 1, 0, 1), 1);
  EXPECT_EQ(r->rpt_top->below->id, 1);
  EXPECT_EQ(rm_find_buf(r, 1)->last_line, 1u) << "merged down";
  ASSERT_EQ(rm_start(r), 1);
  EXPECT_EQ(r->rpt_top->below, b2);
  EXPECT_EQ(b2->id, 2);
  EXPECT_EQ(b2->above, r->rpt_top);
  EXPECT_EQ(rm_from(b2->line_arb, nullptr, false), nullptr);
  EXPECT_EQ(b2->last_line, 0u);
  rm_cleanup(r);
}

TEST_F(ReportBuf, HoldAndPageFitRefusals) {
  struct row {
    uint8_t hold, pending;
    int rows;  // of a block written into the base (0: none)
    bool page_stack;
    uint16_t page_len;
    int32_t lines_left;
    uint32_t refusal;  // 0: printed
  } rows[] = {
      {1, 0, 0, false, 0, 0, 0},           {1, 0, 1, false, 0, 0, RM_NOT_READY}, {1, 2, 0, false, 0, 0, RM_NOT_READY},
      {0, 0, 10, false, 12, 9, RM_NO_FIT}, {0, 0, 10, true, 12, 9, 0},           {0, 0, 10, false, 0, 0, 0},
      {0, 3, 0, false, 12, 3, RM_NO_FIT},
  };
  for (const row& t : rows) {
    RPT_BLK* r = report(10, t.page_len);
    if (t.page_stack) r->rpt_top = r->rpt_page;
    img_spec block;
    block.rows.assign(size_t(t.rows), "b");
    if (t.rows) {
      ASSERT_EQ(write(r, block), 1);
    }
    r->hold = t.hold;
    r->rpt_top->pending = t.pending;
    r->lines_left = t.lines_left;
    r->status = 1;
    EXPECT_EQ(rm_print(r, 0, 0), t.refusal ? 0 : 1) << t.rows << " rows, hold " << int(t.hold);
    EXPECT_EQ(r->status, t.refusal ? t.refusal : 1);
    r->rpt_top = r->rpt_main;
    rm_cleanup(r);
  }
}

int g_creates;
ARB* second_create_fails(FDB* fdb, uint32_t scope, uint32_t size, uint32_t options) {
  if (++g_creates == 2) return nullptr;
  return FM_CREATE(fdb, scope, size, options, 0x0f, 0x0f) ? fdb->fdb_arb : nullptr;
}

TEST_F(ReportBuf, FailedStartLeavesTheStackAndFreesWhatItMade) {
  RPT_BLK* r = report(10);
  RPT_BUF* base = r->rpt_top;
  const uint32_t blocks = mm_total_blocks(), files = ctl_count_pfb();
  g_creates = 0;
  {
    kivo_test::scoped_hook failing(process_seams.rm_create, second_create_fails);
    EXPECT_EQ(rm_start(r), 0);
  }
  EXPECT_EQ(r->status, RM_NO_FILE);
  EXPECT_EQ(g_creates, 2);
  EXPECT_EQ(base->below, base);
  EXPECT_EQ(base->spare, nullptr);
  EXPECT_EQ(mm_total_blocks(), blocks);
  EXPECT_EQ(ctl_count_pfb(), files);
  ASSERT_EQ(rm_start(r), 1);
  EXPECT_EQ(base->below->id, 1);
  rm_cleanup(r);
}

TEST_F(ReportBuf, CleanupLeavesNothingEvenWhenThePrintFails) {
  rm_cleanup(report(30));  // the report file's first record makes its lasting holder array
  const uint32_t blocks = mm_total_blocks(), files = ctl_count_pfb();
  RPT_BLK* r = report(30);
  ASSERT_EQ(rm_start(r), 1);
  ASSERT_EQ(rm_start(r), 1);
  RPT_WND w{};
  w.type = 1, w.rows = 4, w.cols = 30, w.reg_rows = 2, w.reg_cols = 10;
  ASSERT_EQ(rm_attach(r, 1, &w), 1);
  ASSERT_EQ(write(r, {{"label"}}, 1, &w), 1);
  ASSERT_EQ(write(r, {{"line"}}, 2), 1);
  close(open((path_ + ".cfg").c_str(), O_CREAT | O_WRONLY, 0600));  // the options file cannot be made
  r->set.print = '1';
  rm_cleanup(r);
  EXPECT_TRUE(refused("rm_cleanup - pm cleanup failed(0x" + [] {
    char hex[16];
    snprintf(hex, sizeof hex, "%x)", PM_CFG_FAILED + EEXIST);
    return std::string(hex);
  }()));
  EXPECT_EQ(rm_from(com.rpt_arb, nullptr, false), nullptr) << "report record left";
  EXPECT_EQ(ctl_count_pfb(), files) << "a report file left";
  EXPECT_EQ(mm_total_blocks(), blocks);
}

}  // namespace
}  // namespace kivo
