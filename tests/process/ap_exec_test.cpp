// The loop of ACTION-type processes: the detail frame per record (once
// without a PCF), the heading and total frames without ranges and at the
// range levels the stream reports, the interrupt key, the error count that
// cancels, and reads that fail.
#include "ap_test_util.h"

namespace kivo::test {
namespace {

using ActionProcess = ApFixture;

TEST_F(ActionProcess, WithoutPcfDetailFrameRunsOnce) {
  EXPECT_EQ(run_ap("NOPCF"), PI_END_PROCESS);
  EXPECT_EQ(runs("NOPCF", 1), 1) << flog;
  EXPECT_EQ(rolls, "");
}

TEST_F(ActionProcess, HeadingOnceDetailPerRecordTotalOnce) {
  records = 100;
  EXPECT_EQ(run_ap("ACTS"), PI_END_PROCESS);
  EXPECT_EQ(runs("ACTS", 1), 1);
  EXPECT_EQ(runs("ACTS", 3), 100);
  EXPECT_EQ(runs("ACTS", 5), 1);
  EXPECT_EQ(runs("ACTS", 2) + runs("ACTS", 4), 0) << "range frames without ranges";
  EXPECT_EQ(rolls, "0 ");
  // The heading before the first record, the total after the last.
  EXPECT_EQ(flog.find("ACTS:1/21"), 0u);
  EXPECT_EQ(flog.rfind("ACTS:5/21"), flog.rfind("ACTS:3/25") + std::string("ACTS:3/25 ").size());
}

// Each row: area 3 byte 0, INVOC.interrupt_ok, the end code and the
// detail frames that ran; the key is pressed during the first record.
TEST_F(ActionProcess, InterruptEndsOnlyAfterTheFirstRecord) {
  const struct {
    char a3;
    uint8_t ok;
    uint32_t end;
    int details;
  } rows[] = {{'1', 1, PI_END_CANCEL, 1}, {'0', 1, PI_END_PROCESS, 5}, {'1', 0, PI_END_PROCESS, 5}};
  records = 5;
  for (const auto& r : rows) {
    flog.clear();
    com_dbg_ctl_bits = 0;
    eps["ACTS/1"] = [&](PCB* p) {
      uint8_t* a3 = pi_area(p, AREA_PCF_FLAG, 1);
      ASSERT_NE(a3, nullptr);
      a3[0] = uint8_t(r.a3);
      p->invoc.b[INVOC_INTERRUPT_OK] = r.ok;
    };
    frames["ACTS:3/21"] = [](PCB*) {
      com_dbg_ctl_bits |= kDbgBreakRequest;
      return 0u;
    };
    EXPECT_EQ(run_ap("ACTS"), r.end) << r.a3 << int(r.ok);
    EXPECT_EQ(runs("ACTS", 3), r.details) << r.a3 << int(r.ok);
  }
}

TEST_F(ActionProcess, ErrorCountWithCancelFlagEndsWithFour) {
  records = 3;
  for (const uint32_t errors : {0u, 2u}) {
    eps["CANCELS/1"] = [&](PCB* p) {
      uint8_t* a7 = pi_area(p, AREA_NEXT, 4);
      ASSERT_NE(a7, nullptr);
      st_le32(a7, 0, errors);
    };
    EXPECT_EQ(run_ap("CANCELS"), errors ? PI_END_CANCEL : PI_END_PROCESS) << errors;
    EXPECT_EQ(runs("CANCELS", 1), errors ? 6 : 3);
  }
}

// The end code after the log's end (here "ACTION LOG"'s): a cancel stands,
// an end of menu is kept, anything else is an end of process; an error
// count with the cancel flag turns either of the last two into 4.
TEST_F(ActionProcess, EndCodeKeepsTheLogsEndOfMenu) {
  proc("ACTION LOG");
  const struct {
    const char* name;
    uint32_t log_end, errors, want;
  } rows[] = {{"LOGGED", PI_END_PROCESS, 0, PI_END_PROCESS}, {"LOGGED", PI_END_MENU, 0, PI_END_MENU},
              {"LOGGED", PI_END_CANCEL, 0, PI_END_CANCEL},   {"LOGGED", PI_END_EXIT, 0, PI_END_PROCESS},
              {"LOGGEDC", PI_END_MENU, 0, PI_END_MENU},      {"LOGGEDC", PI_END_MENU, 3, PI_END_CANCEL},
              {"LOGGEDC", PI_END_PROCESS, 3, PI_END_CANCEL}};
  for (const auto& r : rows) {
    kivo_test::scoped_hook log_end(pi_seam_end[PT_INPUT], r.log_end);
    eps[std::string(r.name) + "/1"] = [&](PCB* p) {
      uint8_t* a7 = pi_area(p, AREA_NEXT, 4);
      ASSERT_NE(a7, nullptr);
      st_le32(a7, 0, r.errors);
    };
    EXPECT_EQ(run_ap(r.name), r.want) << r.name << " " << r.log_end << " " << r.errors;
  }
}

// A read that fails before the end, with ranges or without, ends the run
// with 4 before any total frame; its status is the process's message,
// handed over with the lines of the frame before. Each row: the levels,
// the range flags, the script, the details and totals that ran, and the
// frame starts.
TEST_F(ActionProcess, ReadFailingPartWayEndsWithFourAndSaysWhy) {
  const struct {
    uint32_t levels;
    int flags;
    std::vector<step> script;
    int details, totals;
    const char* says;
    const char* starts;
  } rows[] = {
      {0, 0, {{kRecord, 0}, {200999, 0}}, 1, 0, "DISK TROUBLE", "1 3 "},
      {1,
       3,
       {{200620, 0}, {200620, 1}, {kRecord, 0}, {kRecord, 0}, {200370, 1}, {200620, 1}, {kRecord, 0}, {FM_LOCKED, 0}},
       3,
       1,
       "LOCKED BY ANOTHER",
       "1 2 3 3 4 2 3 "},
  };
  capture_handover();
  records = 10;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.says);
    flog.clear(), rolls.clear(), made_.clear(), cap.texts.clear();
    levels = r.levels, rng_flags = r.flags;
    script = {r.script.begin(), r.script.end()};
    EXPECT_EQ(run_ap("ACTS"), PI_END_CANCEL);
    EXPECT_EQ(runs("ACTS", 3), r.details) << flog;
    EXPECT_EQ(runs("ACTS", 4) + runs("ACTS", 5), r.totals) << flog;
    std::string starts;
    for (size_t at = 0; (at = flog.find("/21 ", at)) != std::string::npos; at += 4)
      starts += flog.substr(flog.rfind(':', at) + 1, at - flog.rfind(':', at) - 1) + " ";
    EXPECT_EQ(starts, r.starts) << flog;
    ASSERT_EQ(cap.texts.size(), 1u);
    EXPECT_NE(cap.texts[0].find("DETAIL:"), std::string::npos) << cap.texts[0];
    EXPECT_NE(cap.texts[0].find(r.says), std::string::npos) << cap.texts[0];
    EXPECT_NE(std::string(os_run_failure()).find("its primary file could not be read to its end: "), std::string::npos);
    os_clear_run_failure();
  }
}

// Level words as a sorted query delivers them: the flagged heading and
// total frames of each level, one roll per level end, nothing for a level
// past the range entries.
TEST_F(ActionProcess, RangeLevelsRunTheirFrames) {
  // Each row: the flags of level 1, the frames that start, the rolls.
  const struct {
    int flags;
    const char* starts;
  } rows[] = {{3, "1 2 3 3 4 2 3 4 "}, {1, "1 2 3 3 2 3 "}, {2, "1 3 3 4 3 4 "}};
  records = 10, levels = 1;
  for (const auto& row : rows) {
    flog.clear(), rolls.clear(), made_.clear();
    rng_flags = row.flags;
    script = {{200620, 0},  {200620, 1}, {kRecord, 0}, {kRecord, 0}, {200370, 1}, {200620, 1},
              {kRecord, 0}, {200620, 2}, {200370, 2},  {200370, 1},  {FM_EOF, 0}};
    EXPECT_EQ(run_ap("ACTS"), PI_END_PROCESS);
    std::string starts;
    for (size_t at = 0; (at = flog.find("/21 ", at)) != std::string::npos; at += 4)
      starts += flog.substr(flog.rfind(':', at) + 1, at - flog.rfind(':', at) - 1) + " ";
    EXPECT_EQ(starts, row.starts) << row.flags << ": " << flog;
    EXPECT_EQ(rolls, "1 1 ") << row.flags;
  }
}

}  // namespace
}  // namespace kivo::test
