// The invocation verbs' way into the executive: the child runs with the verb's process type under the invoker as
// its parent (what RECEIVE reads), and the invoker gets the child's end code back.
// The invocation verbs and RUN compiled from statements and run by the executive: the child's end code becomes the
// verb's outcome (T for 1 and 2, F for 4), a logout is passed up, END? "Y" chains (the invoker ends with 19 and the
// child runs in its place), and RUN takes the command's exit status.
#include "compiler/compiler.h"
#include "stmt_files_test.h"

namespace kivo::test {
namespace {

std::string verb(const std::string& pfx, const std::string& v, const std::string& name, const std::string& type,
                 const std::string& end = "N") {
  return L(pfx, v, {{16, "0DN"}, {20, name}, {53, type}, {71, end}, {79, "0"}});
}
std::string run_stmt(const std::string& pfx, const std::string& cmd, const std::string& end = "N") {
  return L(pfx, "RUN", {{20, cmd}, {65, end}, {73, "0"}});
}
std::string sub(const std::string& name, const std::string& stmts) {
  return "PROCESS 6 " + name + "\nSTMTS 6 " + name + " ep=1\n" + stmts + "END\n";
}

class StmtInvokeRun : public FileStmtFixture {
 protected:
  // The processes above compiled from statements; every load logged as "NAME/process type/invocation type".
  void compiled() {
    std::string src = "APPLICATION 0DN 01\n";
    src += sub("KID2", msg("", "kid2") + L("", "END PROC", {}));
    src += sub("KID4", msg("", "kid4") + L("", "CANCEL", {{16, "stop"}}));
    src += sub("KID25", L("", "LOGOUT", {{24, "N"}}));
    src += sub("OUTCOMES", verb("", "SUBR", "KID2", "DETACHED") + msg("T", "t2") +
                               verb("", "SUBR", "KID4", "SUBPROCESS") + msg("F", "f4") + msg("", "end"));
    src += sub("PASSUP", verb("", "SUBR", "KID25", "SUBPROCESS") + msg("", "after"));
    src += sub("CHAINS", verb("", "SUBR", "KID2", "SUBPROCESS", "Y") + msg("", "after"));
    src += sub("RUNS", run_stmt("", "true") + msg("T", "zero") + run_stmt("", "exit 3") + msg("F", "three") +
                           run_stmt("", "true", "Y") + msg("", "after"));
    start(src);
    real_get_ = compiler_seams.pl_get;
    hooks_.set(compiler_seams.pl_get, [](PCB* p, int f) {
      loads_ += name_of(p) + "/" + std::to_string(p->invoc.b[INVOC_PROC_TYPE]) + "/" +
                std::to_string(p->invoc.b[INVOC_INVOC_TYPE]) + " ";
      return real_get_(p, f);
    });
  }
  static inline int (*real_get_)(PCB*, int) = nullptr;
  static inline std::string loads_;
};
using StmtInvoke = StmtInvokeRun;

TEST_F(StmtInvoke, VerbRunsTheChildUnderTheInvoker) {
  proc("A"), proc("B");
  PCB* invoker = nullptr;
  std::string seen;
  uint32_t code = 0;
  eps["B/1"] = [&](PCB* p) {
    seen = std::to_string(p->invoc.b[INVOC_PROC_TYPE]) + (invoc_parent(p->invoc) == invoker ? " parent" : " orphan");
  };
  eps["A/1"] = [&](PCB* p) {
    invoker = p;
    ASSERT_TRUE(ii_hooks.invoke);
    code = ii_hooks.invoke(p, "0SU", s30("B").c_str(), PT_SUBROUTINE, 0, 0);
  };
  EXPECT_EQ(run(inv("A")), PI_END_PROCESS);
  EXPECT_EQ(seen, "6 parent");
  EXPECT_EQ(code, PI_END_PROCESS);
}

TEST_F(StmtInvoke, ChildEndCodesBecomeOutcomesChainsAndLogoutsPassUp) {
  struct row {
    const char *proc, *heard;
    uint32_t end;
    const char* loads;
  };
  const row rows[] = {
      {"OUTCOMES", "kid2 t2 kid4 stop f4 end", PI_END_PROCESS, "OUTCOMES/6/2 KID2/6/2 KID4/6/0 "},
      {"PASSUP", "", PI_END_LOGOUT, "PASSUP/6/2 KID25/6/0 "},
      {"CHAINS", "kid2", PI_END_PROCESS, "CHAINS/6/2 KID2/6/0 "},
  };
  compiled();
  for (const row& r : rows) {
    loads_.clear();
    EXPECT_EQ(go(r.proc), r.end) << r.proc;
    EXPECT_EQ(heard(), r.heard) << r.proc;
    EXPECT_EQ(loads_, r.loads) << r.proc;
    captured_errors().clear();  // the cancel's message
  }
}

TEST_F(StmtInvoke, RunTakesTheExitStatusAndEndsTheProcessOnEnd) {
  compiled();
  EXPECT_EQ(go("RUNS"), PI_END_PROCESS);
  EXPECT_EQ(heard(), "zero three");
}

}  // namespace
}  // namespace kivo::test
