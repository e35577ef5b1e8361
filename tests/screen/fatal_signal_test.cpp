// A fatal signal with recovery not armed, on a terminal under curses: the
// process ends with its line and leaves the terminal modes as the shell had
// them, for a fault and for a stack overflow (the handler's own stack).
#include <gtest/gtest.h>

#include <algorithm>

#include "tm_driver_util.h"

namespace kivo_test {
namespace {

void ends_with_line_and_modes_back(const std::string& how) {
  driver_run run("text 1 1 READY\n" + how + "\n");
  std::string cmd =
      "sh -c " + shell_quote("ulimit -c 0; stty -g > before; " + run.command() + "; stty -g > after; echo DONE");
  // The sanitizers of a checked build leave these signals to the engine.
  env_list env = {{"TERM", "screen"}, {"HOME", "hm"}, {"ASAN_OPTIONS", "handle_segv=0:allow_user_segv_handler=1"}};
  tmux_pane pane(cmd, run.dir.path, env);
  ASSERT_TRUE(pane.wait_for("DONE")) << pane.capture();
  std::string shown = pane.capture();
  shown.erase(std::remove(shown.begin(), shown.end(), '\n'), shown.end());  // the line wraps at 80
  EXPECT_NE(shown.find("OS - KIVOMSG - An unrecoverable Memory Reference error has occurred, KIVO will now exit"),
            std::string::npos)
      << shown;
  EXPECT_FALSE(run.read("before").empty());
  EXPECT_EQ(run.read("before"), run.read("after"));
}

TEST(FatalSignalTmux, FaultEndsWithItsLineAndTheModesBack) { ends_with_line_and_modes_back("fault"); }

TEST(FatalSignalTmux, StackOverflowEndsWithItsLineAndTheModesBack) { ends_with_line_and_modes_back("overflow"); }

}  // namespace
}  // namespace kivo_test
