// The invocation verbs' way into the executive: the child runs with the verb's process type under the invoker as
// its parent (what RECEIVE reads), and the invoker gets the child's end code back.
#include "exec_test_util.h"

namespace kivo::test {
namespace {

using StmtInvoke = ExecFixture;

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

}  // namespace
}  // namespace kivo::test
