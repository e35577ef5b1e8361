// Ranges of lines (delete, move, copy, with the respecify point) and browse
// jumps, typed as keystroke scripts through the tool harness; the records
// left behind are read back through the flat export.
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
)";

class StmtRange : public SeRun {
 protected:
  // The harness on "SET SIX" (or `proc`) driven by `script`; no golden.
  void run(const std::string& name, const std::string& script, const std::string& proc = "SET SIX") {
    std::ofstream(d_.file(name + ".script")) << script;
    ASSERT_EQ(system(("mkdir -p " + d_.file(name)).c_str()), 0);
    kivo_test::env_list e = env(name);
    e.push_back({"KIVO_SCRIPT_IN", d_.file(name + ".script")});
    se_call c;
    c.proc = proc;
    auto p = start(c, e);
    EXPECT_EQ(p->exit_status(60), 0) << p->capture();
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
      {"move_before_1", keys("DOWN", 2) + "#OPTION 2\n" + keys("DOWN", 2) + "#ENTER\n" + keys("UP", 4) + "#ENTER\n#END\n",
       lines({3, 4, 5, 1, 2, 6})},
      // 3-5 before 4: refused; CANCEL leaves the lines.
      {"move_into_itself", keys("DOWN", 2) + "#OPTION 2\n" + keys("DOWN", 2) + "#ENTER\n#UP\n#ENTER\n#CANCEL\n#END\n",
       lines({1, 2, 3, 4, 5, 6})},
      // Marked upward: 5 back to 2, after the last line.
      {"move_upward_to_end", keys("DOWN", 4) + "#OPTION 2\n" + keys("UP", 3) + "#ENTER\n" + keys("DOWN", 5) +
                                 "#ENTER\n#END\n",
       lines({1, 6, 2, 3, 4, 5})},
      // 1-2 copied before 6.
      {"copy_before_6", "#OPTION 3\n#DOWN\n#ENTER\n" + keys("DOWN", 4) + "#ENTER\n#END\n",
       lines({1, 2, 3, 4, 5, 1, 2, 6})},
      // Respecify: the move starts again at line 3, now only 3.
      {"move_respecify", keys("DOWN", 2) + "#OPTION 2\n#DOWN\n#ENTER\n#OPTION 7\n#ENTER\n" + keys("DOWN", 3) +
                             "#ENTER\n#END\n",
       lines({1, 2, 4, 5, 3, 6})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    install(kSix);
    run(c.name, c.script);
    const auto got = stmts("SET SIX", 1);
    EXPECT_EQ(texts(), c.want);
    // Unchanged lines are not rewritten (the design writes 1, 2, 3 ...).
    const uint32_t step = c.want == was() ? 1 : 100;
    std::vector<uint32_t> want_seq;
    for (size_t i = 1; i <= c.want.size(); ++i) want_seq.push_back(uint32_t(i) * step);
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

}  // namespace
}  // namespace kivo::test
