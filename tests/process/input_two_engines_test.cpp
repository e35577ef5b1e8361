// Two engines under tmux on one native CUSTOMER file: a record held in
// change mode by one is refused to the other's change with the lock's
// message (the record still shown, inquire mode kept), its new values reach
// the other after ENTER, a holder killed with SIGKILL leaves no lock
// behind, and what one adds the other finds.
#include <csignal>

#include "input_test_util.h"

namespace kivo::test {
namespace {

using InputTwoEngines = InputRun;

TEST_F(InputTwoEngines, LocksChangesAndAddsSeenAcrossEngines) {
  auto a = start("a");
  auto b = start("b");
  a->send_keys("F10");
  add(*a, "C1", "ADAMS", "10");
  ASSERT_TRUE(after(*a, "RECORD ADDED", "|||")) << a->capture();
  add(*a, "C7", "GRANT", "70");
  ASSERT_TRUE(after(*a, "RECORD ADDED", "|||")) << a->capture();
  inquire(*b, "C7");
  ASSERT_TRUE(after(*b, "RECORD READ", "C7|GRANT|70.00|")) << b->capture();

  // A holds C1 in change mode: B reads it, but cannot change it.
  inquire(*a, "C1");
  ASSERT_TRUE(after(*a, "RECORD READ", "C1|ADAMS|10.00|")) << a->capture();
  a->send_keys("S-F2");
  ASSERT_TRUE(after(*a, "CHANGE MODE", "C1|ADAMS|10.00|")) << a->capture();
  inquire(*b, "C1");
  ASSERT_TRUE(after(*b, "RECORD READ", "C1|ADAMS|10.00|")) << b->capture();
  b->send_keys("S-F2");
  ASSERT_TRUE(after(*b, "ERROR - Record locked by another user", "C1|ADAMS|10.00|")) << b->capture();
  EXPECT_EQ(mode(*b), "INQUIRE");

  // A's ENTER writes and lets go: B reads the new name.
  a->send_keys("Tab");
  type(*a, "ADAMZ");
  a->send_keys("Enter");
  ASSERT_TRUE(after(*a, "RECORD CHANGED", "C1|ADAMZ|10.00|")) << a->capture();
  inquire(*b, "C1");
  ASSERT_TRUE(after(*b, "RECORD READ", "C1|ADAMZ|10.00|")) << b->capture();

  // A holds it again and dies: its lock goes with it.
  a->send_keys("S-F2");
  ASSERT_TRUE(after(*a, "CHANGE MODE", "C1|ADAMZ|10.00|")) << a->capture();
  a->kill_command(SIGKILL);
  ASSERT_EQ(a->exit_status(), 128 + SIGKILL);
  b->send_keys("S-F2");
  ASSERT_TRUE(after(*b, "CHANGE MODE", "C1|ADAMZ|10.00|")) << b->capture();
  EXPECT_EQ(mode(*b), "CHANGE");
  b->send_keys("Tab");
  type(*b, "ADLER");
  b->send_keys("Enter");
  ASSERT_TRUE(after(*b, "RECORD CHANGED", "C1|ADLER|10.00|")) << b->capture();
  inquire(*b, "C1");
  ASSERT_TRUE(after(*b, "RECORD READ", "C1|ADLER|10.00|")) << b->capture();

  b->send_keys("S-F1");
  ASSERT_TRUE(b->wait_for("DEMO MENU")) << b->capture();
  b->send_keys("S-F1");
  EXPECT_EQ(b->exit_status(), 0) << b->capture();
}

}  // namespace
}  // namespace kivo::test
