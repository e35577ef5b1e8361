// Signals reach the terminal session through the key reader.
#include <gtest/gtest.h>

#include "tm_driver_util.h"

namespace kivo_test {
namespace {

TEST(TmSignals, TermDuringReadEndsTheLevelWith24AndRestoresModes) {
  driver_run run;
  auto child = run.pty();
  ASSERT_TRUE(child->wait_for("READY"));
  ASSERT_EQ(0, kill(child->pid(), SIGTERM));
  ASSERT_EQ(0, child->finish());
  auto res = result_map(run.read("res"));
  EXPECT_EQ("24", res["end"]);
  EXPECT_EQ("8", res["status"]);
  EXPECT_EQ("restored", res["modes"]);
}

}  // namespace
}  // namespace kivo_test
