// Signals reach the terminal session through the key reader: the handler
// only records them, and the blocked read acts once it returns.
#include <gtest/gtest.h>

#include "tm_driver_util.h"

namespace kivo_test {
namespace {

TEST(TmSignals, SignalDuringReadActsAfterTheReadReturns) {
  struct {
    int sig;
    const char* end;  // the level's end code
    const char* status;
    const char* field;  // after typing "q" and RETURN, when input goes on
  } cases[] = {
      {SIGTERM, "24", "8", "[]"},  // ends the level; nothing more is read
      {SIGTSTP, "1", "1", "[q]"},  // suspends, resumes, reads on
      {SIGINT, "1", "1", "[q]"},   // a debugger break; input goes on
  };
  for (auto& c : cases) {
    driver_run run;
    auto child = run.pty();
    ASSERT_TRUE(child->wait_for("READY"));
    ASSERT_EQ(0, kill(child->pid(), c.sig));
    kill(child->pid(), SIGCONT);  // in case the suspension stopped it
    if (c.sig != SIGTERM) child->send("q\r");
    ASSERT_EQ(0, child->finish()) << c.sig;
    auto res = result_map(run.read("res"));
    EXPECT_EQ(c.end, res["end"]) << c.sig;
    EXPECT_EQ(c.status, res["status"]) << c.sig;
    EXPECT_EQ(c.field, res["field 1"]) << c.sig;
    EXPECT_EQ("restored", res["modes"]) << c.sig;
  }
}

}  // namespace
}  // namespace kivo_test
