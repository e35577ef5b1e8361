// Ranges of lines (delete, move, copy, with the respecify point) and browse
// jumps, typed as keystroke scripts through the tool harness; the records
// left behind are read back through the flat export.
#include "../fixtures/hook_override.h"
#include "editors/se_edit.h"
#include "se_run_util.h"

namespace kivo::test {
namespace {

// Six comment lines "line 1" ... "line 6", and a block of jumps.
constexpr const char* kSix = R"(PROCESS 6 "SET SIX"
STMTS 6 "SET SIX" ep=1
      *        line 1
      *        line 2
      *        line 3
      *        line 4
      *        line 5
      *        line 6
END
PROCESS 6 "SET JUMPS"
STMTS 6 "SET JUMPS" ep=1
      GOTO     DONE
      BEG LOOP I    001    003       001
      *        inside
      END LOOP I
      END READ DEM SEFILE
      GOSUB        DONE
      LABEL    DONE
END
PROCESS 6 "SET EMPTY"
PROCESS 6 "SET BROWSE"
STMTS 6 "SET BROWSE" ep=1
      SUBR     DEM SET OTHER                        SUBPROCESS        N       0
      SET      DEM SE NAME                    =      HELLO
      SET      DEM SE FILED                   =      HELLO
      CLOSE    DEM SEFILE                   N
      *        nothing here
END
FILE SEFILE number=7 fs=1 org=3
  "SE FILED" A4 key=primary
END
)";

// A context naming event point 1 of process `proc` (type 6) of DEM 01.
std::string context(const std::string& proc) {
  std::string c(kSeContextSize, '\0');
  c.replace(0, 5, "DEM01");
  std::string p = proc;
  p.resize(30, ' ');
  c.replace(SEC_PROC, 30, p);
  c[SEC_TYPE] = 6;
  c[SEC_EP] = 1;
  return c;
}

class StmtRange : public SeRun {
 protected:
  // The harness on "SET SIX" (or `proc`) driven by `script`; no golden.
  void run(const std::string& name, const std::string& script, const std::string& proc = "SET SIX",
           kivo_test::env_list extra = {}) {
    se_call c;
    c.proc = proc;
    play(name, c, script, extra);
  }
  std::vector<std::string> texts(const std::string& proc = "SET SIX") {
    std::vector<std::string> out;
    for (auto& r : stmts(proc, 1)) out.push_back(r.opnd());
    return out;
  }
  static std::string keys(const char* k, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += std::string("#") + k + "\n";
    return s;
  }
  std::vector<std::string> was(const std::string& proc = "SET SIX") {
    std::vector<std::string> out;
    for (auto& r : before_)
      if (r.proc() == proc && r.ep() == 1) out.push_back(r.opnd());
    return out;
  }
  static std::vector<std::string> lines(std::initializer_list<int> order) {
    std::vector<std::string> out;
    for (int i : order) out.push_back("line " + std::to_string(i));
    return out;
  }
};

// Moves and copies: the order stored after each (cursor starts on line 1).
TEST_F(StmtRange, MoveAndCopyOrder) {
  const struct {
    const char* name;
    std::string script;
    std::vector<std::string> want;
  } cases[] = {
      // 3-5 before 1.
      {"move_before_1",
       keys("DOWN", 2) + "#OPTION 2\n" + keys("DOWN", 2) + "#ENTER\n" + keys("UP", 4) + "#ENTER\n#END\n",
       lines({3, 4, 5, 1, 2, 6})},
      // 3-5 before 4: refused; CANCEL leaves the lines.
      {"move_into_itself", keys("DOWN", 2) + "#OPTION 2\n" + keys("DOWN", 2) + "#ENTER\n#UP\n#ENTER\n#CANCEL\n#END\n",
       lines({1, 2, 3, 4, 5, 6})},
      // Marked upward: 5 back to 2, after the last line.
      {"move_upward_to_end",
       keys("DOWN", 4) + "#OPTION 2\n" + keys("UP", 3) + "#ENTER\n" + keys("DOWN", 5) + "#ENTER\n#END\n",
       lines({1, 6, 2, 3, 4, 5})},
      // 1-2 copied before 6.
      {"copy_before_6", "#OPTION 3\n#DOWN\n#ENTER\n" + keys("DOWN", 4) + "#ENTER\n#END\n",
       lines({1, 2, 3, 4, 5, 1, 2, 6})},
      // The target found by a search: it is only the target, the lines
      // moved stay 1-2.
      {"move_target_searched", "#OPTION 2\n#DOWN\n#ENTER\n#OPTION 4\n#OPTION 6\nline 5\n#ENTER\n#ENTER\n#END\n",
       lines({3, 4, 1, 2, 5, 6})},
      // Respecify: the move starts again at line 3, now only 3.
      {"move_respecify",
       keys("DOWN", 2) + "#OPTION 2\n#DOWN\n#ENTER\n#OPTION 7\n#ENTER\n" + keys("DOWN", 3) + "#ENTER\n#END\n",
       lines({1, 2, 4, 5, 3, 6})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    install(kSix);
    run(c.name, c.script);
    const auto got = stmts("SET SIX", 1);
    EXPECT_EQ(texts(), c.want);
    // The design numbers its lines as the editor does: 100, 200, 300 ...
    std::vector<uint32_t> want_seq;
    for (size_t i = 1; i <= c.want.size(); ++i) want_seq.push_back(uint32_t(i) * 100);
    EXPECT_EQ(seqs(got), want_seq);
    EXPECT_EQ(log(), c.want == was() ? "SE_EDIT 1 status=0 changed=0\n" : "SE_EDIT 1 status=0 changed=1\n");
  }
}

// Pasted lines are new lines with the run's added stamp and user; their
// sources keep theirs (none here).
TEST_F(StmtRange, PastedLinesGetNewStamps) {
  install(kSix);
  run("copy_stamps", "#OPTION 3\n#DOWN\n#ENTER\n" + keys("DOWN", 4) + "#ENTER\n#END\n");
  const auto r = stmts("SET SIX", 1);
  ASSERT_EQ(r.size(), 8u);
  for (size_t i = 0; i < r.size(); ++i) {
    const bool pasted = i == 5 || i == 6;
    EXPECT_EQ(r[i].stamp_none(STMT_ADD_STAMP), !pasted) << i;
    EXPECT_TRUE(r[i].stamp_none(STMT_CHG_STAMP)) << i;
    EXPECT_EQ(r[i].user(STMT_ADD_USER), pasted ? "TST" : "   ") << i;
    EXPECT_EQ(r[i].b.substr(0, kStmtKeyPrefix), r[0].b.substr(0, kStmtKeyPrefix)) << i;
  }
}

// Deletes: one line asks nothing; several ask, CANCEL skips, option 7
// starts again at the respecify point; DELETE MODE on row 1 or on "[END]"
// starts nothing.
TEST_F(StmtRange, DeleteConfirmation) {
  const struct {
    const char* name;
    std::string script;
    std::vector<std::string> want;
  } cases[] = {
      {"delete_one", "#DOWN\n#DELETE MODE\n#ENTER\n#END\n", lines({1, 3, 4, 5, 6})},
      {"delete_three", "#DOWN\n#DELETE MODE\n" + keys("DOWN", 2) + "#ENTER\n#ENTER\n#END\n", lines({1, 5, 6})},
      {"delete_cancelled", "#DOWN\n#DELETE MODE\n" + keys("DOWN", 2) + "#ENTER\n#CANCEL\n#END\n",
       lines({1, 2, 3, 4, 5, 6})},
      // Option 7: the range is again line 2 alone.
      {"delete_respecify", "#DOWN\n#DELETE MODE\n" + keys("DOWN", 2) + "#ENTER\n#OPTION 7\n#ENTER\n#END\n",
       lines({1, 3, 4, 5, 6})},
      // Row 1 (the context line) and "[END]": ENTER afterwards does nothing.
      {"delete_row_1", "#UP\n#DELETE MODE\n#ENTER\n#END\n", lines({1, 2, 3, 4, 5, 6})},
      {"delete_end_row", keys("DOWN", 6) + "#DELETE MODE\n#ENTER\n#END\n", lines({1, 2, 3, 4, 5, 6})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    install(kSix);
    run(c.name, c.script);
    EXPECT_EQ(texts(), c.want);
  }
}

// The cursor row (from 1) before each key of a run.
std::vector<int> cursor_rows(const std::string& snap) {
  std::vector<int> out;
  for (size_t at = snap.find("Cursor is at row "); at != std::string::npos; at = snap.find("Cursor is at row ", at + 1))
    out.push_back(atoi(snap.substr(at + 17, 2).c_str()) + 1);
  return out;
}

// Browse jumps within the list and back: the cursor row after each key.
TEST_F(StmtRange, BrowseJumpsAndBack) {
  const struct {
    const char* name;
    std::string script;
    std::vector<int> rows;  // the cursor rows at each function key
  } cases[] = {
      // GOTO to its label, PREV IMAGE back.
      {"browse_goto", "#OPTION 94\n#PREV IMAGE\n#END\n", {2, 8, 2}},
      // BEG LOOP forward to END LOOP, and back.
      {"browse_loop", "#DOWN\n#OPTION 94\n#OPTION 94\n#END\n", {3, 5, 3}},
      // END READ without a BEG READ above: nothing.
      {"browse_read", keys("DOWN", 4) + "#OPTION 94\n#END\n", {6, 6}},
      // GOSUB to a label of the list.
      {"browse_gosub", keys("DOWN", 5) + "#OPTION 94\n#PREV IMAGE\n#END\n", {7, 8, 7}},
      // The line jumped from is deleted: PREV IMAGE finds it gone.
      {"browse_deleted",
       "#OPTION 94\n" + keys("UP", 6) + "#DELETE MODE\n#ENTER\n#DOWN\n#PREV IMAGE\n#END\n",
       {2, 2, 2, 3, 3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    install(kSix);
    run(c.name, c.script, "SET JUMPS");
    EXPECT_EQ(cursor_rows(kivo_test::slurp(d_.file(std::string(c.name) + "/actual/snapshot"))), c.rows);
  }
  EXPECT_EQ(texts("SET JUMPS").size(), 6u);
}

// External copy: lines 1-2 of "SET SIX" chosen in the nested editor and
// pasted before line 2 of "SET TEST": they take its key and new stamps,
// the lines after them renumbered.
TEST_F(StmtRange, ExternalCopyPastesTheChosenLines) {
  install(kSix);
  std::ofstream(d_.file("xcopy.ctx"), std::ios::binary) << context("SET SIX");
  run("xcopy", "#OPTION 6\n#ENTER\n#DOWN\n#ENTER\n#DOWN\n#ENTER\n#END\n", "SET TEST",
      {{"KIVO_XCOPY_CONTEXT", d_.file("xcopy.ctx")}});
  const auto r = stmts("SET TEST", 1);
  ASSERT_EQ(r.size(), 5u);
  const char* want[] = {"first line", "line 1", "line 2", "", "third line"};
  for (size_t i = 0; i < 5; ++i) {
    if (*want[i]) {
      EXPECT_EQ(r[i].opnd(), want[i]) << i;
    }
    EXPECT_EQ(r[i].seq(), (i + 1) * 100) << i;
    EXPECT_EQ(r[i].b.substr(0, kStmtKeyPrefix), r[0].b.substr(0, kStmtKeyPrefix)) << i;
    EXPECT_EQ(r[i].stamp_none(STMT_ADD_STAMP), i != 1 && i != 2) << i;
  }
  EXPECT_EQ(texts(), lines({1, 2, 3, 4, 5, 6}));  // the source is untouched
  EXPECT_EQ(log(),
            "EXEC ZEL EDITOR (XCOPY) editor=DEM01\nSE_EDIT 1 status=0 changed=0 editor=DEM01\n"
            "SE_EDIT 1 status=0 changed=1\n");
}

// What ends an external copy without a change: the choice ended ("E"),
// CANCEL in the nested editor, CANCEL at "XCopy To Where?", a nested
// editor without lines (ENTER beeps, CANCEL ends it).
TEST_F(StmtRange, ExternalCopyThatEndsWithoutChange) {
  const struct {
    const char* name;
    const char* source;  // null: no choice
    std::string script;
    const char* log;
  } cases[] = {
      {"xcopy_ended", nullptr, "#OPTION 6\n#END\n",
       "EXEC ZEL EDITOR (XCOPY) editor=DEM01\nSE_EDIT 1 status=0 changed=0\n"},
      {"xcopy_nested_cancel", "SET SIX", "#OPTION 6\n#ENTER\n#CANCEL\n#END\n",
       "EXEC ZEL EDITOR (XCOPY) editor=DEM01\nSE_EDIT 0 status=0 changed=0 editor=DEM01\nSE_EDIT 1 status=0 "
       "changed=0\n"},
      {"xcopy_target_cancel", "SET SIX", "#OPTION 6\n#ENTER\n#ENTER\n#CANCEL\n#END\n",
       "EXEC ZEL EDITOR (XCOPY) editor=DEM01\nSE_EDIT 1 status=0 changed=0 editor=DEM01\nSE_EDIT 1 status=0 "
       "changed=0\n"},
      {"xcopy_no_lines", "SET EMPTY", "#OPTION 6\n#ENTER\n#CANCEL\n#END\n",
       "EXEC ZEL EDITOR (XCOPY) editor=DEM01\nSE_EDIT 0 status=0 changed=0 editor=DEM01\nSE_EDIT 1 status=0 "
       "changed=0\n"},
      // The nested run does not start (no such application): the outer
      // run goes on with its lines, and a copy of its own still works.
      {"xcopy_no_start", "ZZZ", "#OPTION 6\n#OPTION 3\n#ENTER\n#CANCEL\n#END\n",
       "EXEC ZEL EDITOR (XCOPY) editor=DEM01\nSE_EDIT 0 status=148 changed=0 editor=DEM01\nSE_EDIT 1 status=0 "
       "changed=0\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    install(kSix);
    kivo_test::env_list e;
    if (c.source) {
      std::string source = context(c.source);
      if (std::string(c.source) == "ZZZ") source.replace(0, 3, "ZZZ");
      std::ofstream(d_.file("xcopy.ctx"), std::ios::binary) << source;
      e.push_back({"KIVO_XCOPY_CONTEXT", d_.file("xcopy.ctx")});
    }
    run(c.name, c.script, "SET TEST", e);
    std::vector<std::string> was_all, now;
    for (auto& r : before_) was_all.push_back(r.b);
    for (auto& r : stmts()) now.push_back(r.b);
    EXPECT_EQ(now, was_all);
    EXPECT_EQ(log(), c.log);
  }
}

// The nested editor runs on the outer one's block and screen: the string
// searched for in the outer run is there to search again, the source's
// context line stands on row 1, and afterwards the outer run's lines,
// cursor and context line are back.
TEST_F(StmtRange, ExternalCopyRunsOnTheOuterBlock) {
  const struct {
    const char* name;
    std::string script;
    std::vector<std::string> want;  // SET TEST's lines stored
  } cases[] = {
      // "line 2" is not in SET TEST; found again in the nested run, it is
      // where the copy starts.
      {"xcopy_search_kept",
       "#OPTION 4\n#OPTION 6\nline 2\n#ENTER\n#CANCEL\n#OPTION 6\n#OPTION 4\n#ENTER\n#CANCEL\n#ENTER\n#DOWN\n#"
       "ENTER\n#ENTER\n#END\n",
       {"line 2", "line 3", "first line", "", "third line"}},
      // From line 3 of SET TEST: the outer cursor is back for the paste.
      {"xcopy_cursor_back",
       "#DOWN\n#DOWN\n#OPTION 6\n#ENTER\n#ENTER\n#ENTER\n#END\n",
       {"first line", "", "line 1", "third line"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    install(kSix);
    std::ofstream(d_.file("xcopy.ctx"), std::ios::binary) << context("SET SIX");
    run(c.name, c.script, "SET TEST", {{"KIVO_XCOPY_CONTEXT", d_.file("xcopy.ctx")}});
    std::vector<std::string> got = texts("SET TEST");
    for (size_t i = 0; i < got.size() && i < c.want.size(); ++i)
      if (c.want[i].empty()) got[i] = "";
    EXPECT_EQ(got, c.want);
    // Row 1: the source's context line while the nested run goes on, the
    // outer one's after it.
    const auto s = screens(c.name);
    std::vector<std::string> firsts;
    for (const auto& screen : s) {
      const std::string r = row_text(screen, 1);
      if (firsts.empty() || firsts.back() != r) firsts.push_back(r);
      // The nested run's option lines are never the normal menu, also
      // after a search.
      if (r.compare(0, 8, "SET SIX ") == 0) {
        EXPECT_NE(row_text(screen, 21).compare(0, 10, "1) Toolbox"), 0);
      }
    }
    const std::string sub = "Subroutine  (Subroutine)";
    const auto ctx_line = [&](const std::string& p) { return p + std::string(80 - p.size() - sub.size(), ' ') + sub; };
    EXPECT_EQ(firsts, (std::vector<std::string>{ctx_line("SET TEST"), ctx_line("SET SIX"), ctx_line("SET TEST")}));
    EXPECT_EQ(log(),
              "EXEC ZEL EDITOR (XCOPY) editor=DEM01\nSE_EDIT 1 status=0 changed=0 editor=DEM01\n"
              "SE_EDIT 1 status=0 changed=1\n");
  }
}

// Browse of what a line names: the pass records "ZEL EDITOR (BROWSE)" was
// given. An invocation verb names the process; a work field "WRK", a file's
// field "FLD" with its file, a file "FIL"; all with process type 255 but the
// process.
TEST_F(StmtRange, BrowsePassRecords) {
  install(kSix);
  run("browse_pass",
      "#OPTION 94\n#DOWN\n" + keys("RIGHT", 19) + "#OPTION 94\n#DOWN\n#OPTION 94\n#DOWN\n#OPTION 94\n#END\n",
      "SET BROWSE", {{"KIVO_BROWSE_KEEP", d_.file("browse.keep")}});
  const std::string kept = kivo_test::slurp(d_.file("browse.keep"));
  ASSERT_EQ(kept.size(), 4 * kSeContextSize) << log();
  auto rec = [&](size_t i) { return kept.substr(i * kSeContextSize, kSeContextSize); };
  auto pad = [](std::string s, size_t n) { return s.resize(n, ' '), s; };
  // SUBR: the process, type 6, no owner, no event point.
  EXPECT_EQ(rec(0).substr(0, 5), "DEM01");
  EXPECT_EQ(rec(0).substr(SEC_PROC, 30), pad("SET OTHER", 30));
  EXPECT_EQ(uint8_t(rec(0)[SEC_TYPE]), 6);
  EXPECT_EQ(rec(0).substr(SEC_FRM_PART, SEC_CHANGED - SEC_FRM_PART), std::string(SEC_CHANGED - SEC_FRM_PART, '\0'));
  const struct {
    const char* kind;
    std::string proc;
  } want[] = {{"WRK", pad("", 8) + pad("SE NAME", 22)},
              {"FLD", pad("SEFILE", 8) + pad("SE FILED", 22)},
              {"FIL", pad("SEFILE", 30)}};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(want[i].kind);
    const std::string r = rec(i + 1);
    EXPECT_EQ(r.substr(0, 3), "DEM");
    EXPECT_EQ(uint8_t(r[SEC_TYPE]), 255);
    EXPECT_EQ(r.substr(SEC_FRM_PART + 1, 3), want[i].kind);
    EXPECT_EQ(r.substr(SEC_PROC, 30), want[i].proc);
  }
}

// A browse into another application (a nested run over "0LA"'s "SE RUN")
// leaves the outer run's state as it was: a line added afterwards takes the
// edited application as its default and is checked against it.
TEST_F(StmtRange, LineAfterBrowseDefaultsToTheEditedApplication) {
  install(kSix);
  std::string other = context("SE RUN");
  other.replace(0, 5, "0LA00");
  std::ofstream(d_.file("xcopy.ctx"), std::ios::binary) << other;
  run("browse_other",
      keys("DOWN", 4) +
          "#OPTION 94\n#END\n#ADD MODE\nSET\n#ENTER\n#TAB\n#TAB\nSE NAME\n#TAB\n#TAB\n   "
          "WORLD\n#ENTER\n#CANCEL\n#END\n",
      "SET BROWSE", {{"KIVO_XCOPY_CONTEXT", d_.file("xcopy.ctx")}});
  const auto r = stmts("SET BROWSE", 1);
  ASSERT_EQ(r.size(), 6u) << log();
  EXPECT_EQ(r[4].opnd().substr(4, 10), "DEMSE NAME");
  EXPECT_EQ(r[4].opnd().substr(37), "WORLD");
  EXPECT_EQ(log(),
            "EXEC ZEL EDITOR (XCOPY) editor=DEM01\nSE_EDIT 1 status=0 changed=0 editor=DEM01\n"
            "SE_EDIT 1 status=0 changed=1\n");
}

}  // namespace
}  // namespace kivo::test
